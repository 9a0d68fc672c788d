"""Where the time to the dialog goes, from Wine's own trace: a few more runs of the utility and of its floors
with WINEDEBUG=+timestamp,+relay,+loaddll, which logs each DLL as it is loaded and each call the program makes
into Wine's DLLs, all with the time in milliseconds, read from the same clock as CLOCK_MONOTONIC_RAW here."""

import os
import re
import statistics
import time

from report import in_turn

TRACE_RUNS = 7
WINEDEBUG = "+timestamp,+relay,+loaddll"
DEBUG_KEY = r"HKCU\Software\Wine\Debug"
TICKS = 2**32  # Wine's timestamps are a 32-bit count of milliseconds

LINE = re.compile(r"^\s*(\d+)\.(\d{3}):([0-9a-fA-F]+):(.*)$")
LOADED = re.compile(r'Loaded L"([^"]*)" at ([0-9A-Fa-f]+)')
CALL = re.compile(r"^Call ([\w.@]+)\(.*\) ret=([0-9A-Fa-f]+)$")
RET = re.compile(r"^Ret  ([\w.@]+)\(\) retval=[0-9A-Fa-f]+ ret=([0-9A-Fa-f]+)$")
ENTRY = re.compile(r"^Starting (thread proc|process)")
FIXME = re.compile(r"^fixme:\w+:\w+ .*$")
NUMBER = re.compile(r"\b(?=\w*\d)[0-9A-Fa-f]{4,}\b")
DIALOG_CALLS = ("MessageBox", "TaskDialog")

PHASES = [
    ("start", "Wine starts the process, until the executable is mapped"),
    ("load", "loads the DLLs it imports (and those its manifest names)"),
    ("init", "runs their start-up code (DllMain), until the program's entry point"),
    # then one row for each DLL the program calls, before the dialog
    ("own", "the program's own code between those calls"),
    ("show", "the dialog call, until the window is mapped"),
    ("total", "**start → dialog, traced**"),
]


class Trace:
    """One traced run of one program, read from its log. Times are in Wine's milliseconds."""

    def __init__(self, lines, exe, image_size):
        self.exe = exe
        self.thread = None  # the program's main thread, the one that maps the executable
        self.mapped = self.dllmain = self.entry = None
        self.dlls = []  # loaded on the main thread before the entry point
        self.calls = []  # [dll.function, called, returned or None], made by the program itself, outermost only
        self.notes = []  # Wine's fixme messages on the main thread
        self.desktop_started = False
        base = end = None
        stack = []
        for text in lines:
            m = LINE.match(text)
            if not m:
                continue
            ms, thread, what = int(m[1]) * 1000 + int(m[2]), m[3], m[4]
            loaded = LOADED.search(what)
            if loaded:
                name = loaded[1].replace("\\\\", "\\").rsplit("\\", 1)[-1]
                if name.lower() == "explorer.exe":
                    self.desktop_started = True
                if self.thread is None and name.lower() == exe.lower():
                    self.thread, self.mapped = thread, ms
                    base = int(loaded[2], 16)
                    end = base + image_size
                elif thread == self.thread and self.entry is None:
                    self.dlls.append(name)
                continue
            if thread != self.thread:
                continue
            if what.startswith("Call PE DLL ") and self.dllmain is None:
                self.dllmain = ms
            elif ENTRY.match(what) and self.entry is None:
                self.entry = ms
            elif FIXME.match(what):
                # Handles and addresses differ from run to run; the message does not.
                self.notes.append(NUMBER.sub("…", what))
            call, ret = CALL.match(what), RET.match(what)
            # Only the calls that return into the executable are its own; Wine's calls on its behalf (such as the
            # one into its entry point) are left out.
            if call and base <= int(call[2], 16) < end:
                if not stack and self.entry is not None:
                    self.calls.append([call[1], ms, None])
                stack.append((call[1], call[2]))
            elif ret and stack and stack[-1] == (ret[1], ret[2]):
                stack.pop()
                if not stack and self.calls and self.calls[-1][2] is None:
                    self.calls[-1][2] = ms

    def phases(self, launched, shown):
        """{phase or DLL name: milliseconds}; launched and shown are in Wine's milliseconds too."""
        if self.thread is None:
            raise ValueError(f"the trace does not show {self.exe} being loaded")
        if self.entry is None:
            raise ValueError(f"the trace does not show {self.exe} reaching its entry point")
        dialog = next((i for i, (name, _, _) in enumerate(self.calls)
                       if name.split(".")[-1].startswith(DIALOG_CALLS)), None)
        if dialog is None:
            raise ValueError(f"the trace shows no call of {self.exe} to MessageBoxW")
        dialog_at = self.calls[dialog][1]
        dllmain = self.dllmain if self.dllmain is not None else self.entry
        found = {"load": dllmain - self.mapped, "init": self.entry - dllmain}
        spent = 0
        for name, called, returned in self.calls[:dialog]:
            if returned is None:
                raise ValueError(f"the trace shows {name} called by {self.exe} but not returning")
            dll = name.split(".")[0].lower()
            found[dll] = found.get(dll, 0) + returned - called
            spent += returned - called
        found["own"] = dialog_at - self.entry - spent
        found["total"] = (shown - launched) % TICKS
        # The two ends come from this process's clock; they fit Wine's only if the trace lies between them.
        if (self.mapped - launched) % TICKS <= found["total"]:
            found["start"] = (self.mapped - launched) % TICKS
            found["show"] = (shown - dialog_at) % TICKS
        return found

    def functions(self):
        """{dll: [functions]} of the calls before the dialog call."""
        found = {}
        for name, _, _ in self.calls:
            dll, _, function = name.partition(".")
            if function.startswith(DIALOG_CALLS):
                break
            found.setdefault(dll.lower(), [])
            if function not in found[dll.lower()]:
                found[dll.lower()].append(function)
        return found


def wine_ms(monotonic):
    """A time.monotonic() time of this process, on Wine's clock."""
    raw = time.clock_gettime(time.CLOCK_MONOTONIC_RAW) - time.monotonic() + monotonic
    return round(raw * 1000) % TICKS


def breakdown(bench, dialogs, samples, workdir):
    """Markdown lines: the medians of each phase of the way to the dialog, for each program in dialogs, from
    TRACE_RUNS traced runs of each; samples are the untraced times, for comparison."""
    import pefile  # Debian's python3-pefile, for /usr/bin/python3

    # Only the calls the programs make themselves. Wine's default also traces the calls between its own DLLs,
    # hundreds of thousands, which would slow everything down tenfold; its default exclusions would make it
    # ignore the list of programs.
    names = [os.path.basename(path) for path in dialogs.values()]
    bench.desk.wine("reg", "add", DEBUG_KEY, "/v", "RelayFromInclude", "/d", ";".join(names), "/f")
    bench.desk.wine("reg", "delete", DEBUG_KEY, "/v", "RelayFromExclude", "/f", check=False)
    env = dict(bench.desk.env, WINEDEBUG=WINEDEBUG)
    sizes = {name: pefile.PE(path, fast_load=True).OPTIONAL_HEADER.SizeOfImage for name, path in dialogs.items()}
    found = {name: [] for name in dialogs}
    traces = {}
    try:
        for turn in range(TRACE_RUNS):
            bench.forget_key()
            for name in in_turn(dialogs, turn):
                path = os.path.join(workdir, "trace.log")
                with open(path, "wb") as out:
                    launched, shown = bench.to_dialog(dialogs[name], env=env, output=out)
                with open(path, encoding="utf-8", errors="replace") as f:
                    trace = Trace(f, os.path.basename(dialogs[name]), sizes[name])
                found[name].append(trace.phases(wine_ms(launched), wine_ms(shown)))
                traces.setdefault(name, []).append(trace)
    except ValueError as e:
        return ["### Where the time goes", "", f"Not traced: {e}."]
    finally:
        bench.desk.wine("reg", "delete", DEBUG_KEY, "/v", "RelayFromInclude", "/f", check=False)
    return table(dialogs, found, traces, samples)


def listed(functions, most=6):
    more = len(functions) - most
    return ", ".join(functions[:most]) + (f" and {more} more" if more > 0 else "")


def table(dialogs, found, traces, samples):
    programs = ["floor", "manifest floor", "utility"]
    calls = {}
    for name in programs:
        for dll, functions in traces[name][0].functions().items():
            calls.setdefault(dll, [])
            calls[dll] += [f for f in functions if f not in calls[dll]]
    rows = [*PHASES[:3], *((dll, f"calls into {dll}: {listed(fs)}") for dll, fs in calls.items()), *PHASES[3:]]

    def cell(name, key):
        values = [run[key] for run in found[name] if key in run]
        return statistics.median(values) if len(values) == len(found[name]) else None

    lines = ["### Where the time goes", "",
             f"Medians of {TRACE_RUNS} more runs of each under `WINEDEBUG={WINEDEBUG}`, with the trace limited to "
             "the programs' own calls (`RelayFromInclude`), in ms. Tracing slows every traced call, so compare "
             "the columns with each other rather than with the table above. The phases are read from Wine's "
             "timestamps, the total from this process's clock, so they need not add up exactly.", "",
             "| phase | " + " | ".join(programs) + " | utility − manifest floor |",
             "|---|" + "---:|" * (len(programs) + 1)]
    for key, label in rows:
        values = [cell(name, key) for name in programs]
        if all(v is None for v in values):
            continue
        shown = ["–" if v is None else f"{v:.0f}" for v in values]
        utility, manifest = (cell(n, key) or 0 for n in ("utility", "manifest floor"))
        lines.append(f"| {label} | " + " | ".join(shown) + f" | {utility - manifest:+.0f} |")
    lines.append("| same, untraced (median of the rounds above) | "
                 + " | ".join(f"{1000 * statistics.median(samples[n]):.0f}" for n in programs) + " | |")
    if any("start" not in run for runs in found.values() for run in runs):
        lines += ["", "This process's clock and Wine's did not agree on some runs: their start and the time from "
                  "the dialog call to the window are left out there."]

    # What each program loads beyond the bare floor: the manifest's assemblies, and whatever the utility adds.
    loaded = {name: traces[name][0].dlls for name in programs}
    bare = {dll.lower() for dll in loaded["floor"]}
    counts = [f"floor {len(loaded['floor'])}"]
    for name in programs[1:]:
        beyond = ", ".join(dll for dll in loaded[name] if dll.lower() not in bare)
        counts.append(f"{name} {len(loaded[name])} ({'beyond the floor: ' + beyond if beyond else 'the same'})")
    lines += ["", "DLLs loaded before the entry point: " + "; ".join(counts) + "."]
    notes = sorted({note for name in programs for trace in traces[name] for note in trace.notes})
    if notes:
        lines += ["", "Wine's own messages on the programs' main thread (numbers left out): "
                  + "; ".join(f"`{note}`" for note in notes[:8]) + (" and more." if len(notes) > 8 else ".")]
    started = sum(trace.desktop_started for runs in traces.values() for trace in runs)
    if started:
        lines += ["", f"Wine started its desktop process (explorer.exe) during {started} of the traced runs."]
    return lines
