"""Time to the utility's dialog under Wine, against two floors: the bare program (COM initialised, the same
message box) and the same program carrying the utility's manifest. Each Wine runs in a fresh prefix of its own
on a private X server: 64-bit Wine with the windows-x64 build, 32-bit Wine with the windows-x86 build, which is
the file that ships."""

import os
import signal
import statistics
import subprocess
import threading
import time

import relay
from report import Unmeasured, goal_line, header, in_turn, log, timing_row
from wine_desktop import DesktopError, WineDesktop, missing_tools, unavailable
from xwatch import DialogWatch

KEY_PARENT = r"Software\Drovenal"
KEY = KEY_PARENT + r"\Lumarest"
VALUE = "use_software_opengl"
WINE_GOAL = 1.05  # the utility's time to its dialog, against the bare floor's
TIME_LIMIT = 600  # seconds for one Wine section, its prefix included


# -- timing ---------------------------------------------------------------------------------------------------

class WineBench:
    """Runs programs in one desktop's prefix, with the loader of its kind of Wine, and times them."""

    def __init__(self, desk, watch):
        self.desk, self.watch = desk, watch

    def to_dialog(self, exe, env=None, output=subprocess.DEVNULL):
        """(start, dialog), monotonic times of one run of exe: when it was started and when its dialog was
        mapped. The dialog is then answered with Enter, as a user would, and the program must end by itself."""
        self.watch.drain()
        started = time.monotonic()
        proc = subprocess.Popen([self.desk.loader, exe], env=env or self.desk.env, stdin=subprocess.DEVNULL,
                                stdout=output, stderr=output)
        try:
            seen = self.watch.wait_mapped(started + 30, alive=lambda: proc.poll() is None)
            if seen is None:
                raise Unmeasured(f"{os.path.basename(exe)} showed no dialog (exit code {proc.poll()})")
            self.desk.press(str(seen[1]), "Return")
            code = self.desk.wait(proc, timeout=30)
            if code is None:
                raise Unmeasured(f"{os.path.basename(exe)} did not end after its dialog was answered")
            if code != 0:
                raise Unmeasured(f"{os.path.basename(exe)} exited with {code}")
            return started, seen[0]
        finally:
            self.desk.stop(proc)

    def to_exit(self, *args):
        """Seconds from starting the loader with args to its end. A program that maps any window on the way, or
        fails, leaves the run unmeasured: these are the paths without a dialog."""
        what = " ".join(os.path.basename(a) for a in args)
        self.watch.drain()
        started = time.monotonic()
        proc = subprocess.Popen([self.desk.loader, *args], env=self.desk.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # A blocking wait: Popen.wait with a time-out polls, with sleeps of up to 50 ms between looks. The
        # watchdog ends a program that hangs.
        watchdog = threading.Timer(30, proc.kill)
        watchdog.start()
        try:
            proc.wait()
            ended = time.monotonic()
            if not watchdog.is_alive():
                raise Unmeasured(f"{what} did not end within 30 s")
            if proc.returncode != 0:
                raise Unmeasured(f"{what} exited with {proc.returncode}")
            mapped = self.watch.drain()
            if mapped:
                raise Unmeasured(f"{what} showed a window ({mapped[0][1] or 'already gone'}) where it should show "
                                 "none")
            return ended - started
        finally:
            watchdog.cancel()
            self.desk.stop(proc)

    def forget_key(self):
        """The utility's key gone, as for a new user."""
        code, _ = self.desk.wine("reg", "delete", "HKCU\\" + KEY_PARENT, "/f", check=False)
        if code not in (0, 1):  # 1: there was nothing to delete
            raise Unmeasured(f"reg delete exited with {code}")


def dialog_round(bench, dialogs, samples, turn):
    """Each program of dialogs once to its dialog, the key missing for the utility."""
    bench.forget_key()
    for name in in_turn(dialogs, turn):
        started, shown = bench.to_dialog(dialogs[name])
        samples[name].append(shown - started)


def silent_round(bench, utility, helper, samples):
    """The paths without a dialog: `reg add` setting the value, and the utility on a key nobody may open."""
    samples["reg add"].append(bench.to_exit("reg", "add", "HKCU\\" + KEY, "/v", VALUE, "/t", "REG_SZ", "/d", "true",
                                            "/f"))
    bench.desk.wine(helper, "deny", KEY)
    samples["silent"].append(bench.to_exit(utility))
    bench.desk.wine(helper, "delete", KEY_PARENT)


def first_program(desk):
    """What Wine says it is. The prefix's first program also starts its desktop process; now and then that
    start stalls, and a second try goes through."""
    for attempt in (1, 2):
        try:
            return desk.wine("cmd.exe", "/c", "ver", timeout=60)[1].strip()
        except DesktopError:
            if attempt == 2:
                raise
            log("# Wine: the first program stalled; trying again")


def other_wineservers():
    """How many wineservers are running besides this run's own one."""
    count = 0
    for pid in os.listdir("/proc"):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                argv0 = f.read().split(b"\0")[0]
        except OSError:
            continue
        if os.path.basename(argv0).startswith(b"wineserver"):
            count += 1
    return max(count - 1, 0)


def measure(arch, programs, runs, workdir, name, silent_helper=None):
    """The samples of every row, Wine's version, the number of other Wine prefixes seen running, and the
    breakdown of the utility's way to its dialog (None where it is not slower than its floors)."""
    dialogs = {"utility": programs["BlackScreenFix"], "floor": programs["bench_floor"],
               "manifest floor": programs["bench_floor_manifest"]}
    rows = list(dialogs) + (["reg add", "silent"] if silent_helper else [])
    samples = {row: [] for row in rows}
    with WineDesktop(workdir, workdir, log=log, arch=arch) as desk:
        signal.alarm(TIME_LIMIT)
        version = first_program(desk)
        others = other_wineservers()
        watch = DialogWatch(desk.display)
        try:
            bench = WineBench(desk, watch)
            for turn in range(runs + 1):
                log(f"# {name}: " + (f"round {turn} of {runs}" if turn else "warming up"))
                # The warm-up round's numbers are dropped.
                into = samples if turn else {row: [] for row in rows}
                dialog_round(bench, dialogs, into, turn)
                if silent_helper:
                    silent_round(bench, dialogs["utility"], silent_helper, into)
            utility = statistics.median(samples["utility"])
            floors = min(statistics.median(samples["floor"]), statistics.median(samples["manifest floor"]))
            breakdown = None
            if utility > floors:
                log(f"# {name}: tracing where the time goes")
                breakdown = relay.breakdown(bench, dialogs, samples, workdir)
        finally:
            watch.close()
            signal.alarm(0)
        others = max(others, other_wineservers())
    return samples, version, others, breakdown


# -- the report -----------------------------------------------------------------------------------------------

METHOD = ("{runs} rounds after one warm-up round; in each round the key is deleted, then the utility and both "
          "floors run one after the other, starting with a different one each round{more}. The prefix's "
          "wineserver runs throughout. Start = the process is launched; dialog = the X server maps the window "
          "captioned 修复黑屏 (seen through X events, not by polling); exit = the process is reaped.")
COLUMNS = ["measured", "median", "min (ms)", "max (ms)", "÷ floor, medians", "÷ floor, per round",
           "÷ manifest floor, medians", "÷ manifest floor, per round"]


def dialog_rows(samples, exe):
    floor, manifest = samples["floor"], samples["manifest floor"]
    return [
        timing_row(f"{exe}, key missing: start → dialog", samples["utility"], [floor, manifest], "ms"),
        timing_row("floor (CoInitialize + the same MessageBoxW): start → dialog", floor, [None, manifest], "ms"),
        timing_row("manifest floor (the same, with the utility's manifest): start → dialog", manifest,
                   [floor, None], "ms"),
    ]


def verdict(samples):
    own = statistics.median(samples["utility"]) - statistics.median(samples["manifest floor"])
    return [goal_line("the utility's time to its dialog ÷ the floor's", samples["utility"], samples["floor"],
                      WINE_GOAL),
            f"The utility's own code, its time beyond the manifest floor's (medians): {1000 * own:+.0f} ms."]


def closing(version, others, breakdown):
    lines = [f"Wine reports: {version}."] if version else []
    if others:
        lines += ["", f"Note: {others} other Wine prefix(es) had a wineserver running on this machine during the "
                  "measurement; their load makes these numbers noisier."]
    lines += ["", *breakdown] if breakdown else ["", "The utility is not slower than either floor, so its time is not "
                                                  "broken down."]
    return lines


def wine64_report(programs, runs, scratch):
    problems = missing_tools()
    if problems:
        raise Unmeasured("; ".join(problems))
    samples, version, others, breakdown = measure("win64", programs, runs,
                                                  os.path.join(scratch, "wine64"), "Wine 64-bit",
                                                  silent_helper=programs["set_raw_value"])
    floor = [samples["floor"], samples["manifest floor"]]
    utility, reg = (statistics.median(samples[k]) for k in ("utility", "reg add"))
    return [
        "## Under 64-bit Wine (windows-x64 build, `wine64`, Xvfb, one fresh prefix)", "",
        METHOD.format(runs=runs, more=", then `reg add`, then the utility on a key nobody may open"), "",
        *header(COLUMNS),
        *dialog_rows(samples, "BlackScreenFix.exe"),
        timing_row("BlackScreenFix.exe, key denied: start → exit, no dialog", samples["silent"], floor, "ms"),
        timing_row(f"`wine64 reg add HKCU\\{KEY} /v {VALUE} /t REG_SZ /d true /f`: start → exit",
                   samples["reg add"], floor, "ms"),
        "", *verdict(samples),
        f"The utility reaches its dialog in {utility / reg:.2f}× the time `reg add` takes to set the value without "
        "telling the user anything.",
        "", *closing(version, others, breakdown),
    ]


WINE32_TITLE = ("## Under 32-bit Wine (windows-x86 build, the release executable; `wine` with `WINEARCH=win32`, "
                "Xvfb, one fresh prefix)")


def wine32_report(programs, runs, scratch):
    reason = unavailable("win32")
    if reason:
        log(f"# Wine 32-bit: not measured: {reason}")
        return [WINE32_TITLE, "", f"**Not measured**: {reason} (`scripts/runs-32bit-programs`)."]
    problems = missing_tools(arch="win32")
    if problems:
        raise Unmeasured("; ".join(problems))
    samples, version, others, breakdown = measure("win32", programs, runs,
                                                  os.path.join(scratch, "wine32"), "Wine 32-bit")
    return [
        WINE32_TITLE, "",
        METHOD.format(runs=runs, more=""), "",
        *header(COLUMNS),
        *dialog_rows(samples, "`build/windows-x86/repair/BlackScreenFix.exe`"),
        "", *verdict(samples),
        "", *closing(version, others, breakdown),
    ]
