#!/usr/bin/python3
"""End-to-end test of BlackScreenFix.exe: the real program under Wine on a
private X server, the real registry of a fresh Wine prefix, and the dialogs
answered with key presses the way a user would.

    e2e_test.py [--arch win64|win32] --exe BlackScreenFix.exe --tools DIR --workdir DIR

DIR of --tools holds set_raw_value.exe and dialog_probe.exe; --workdir is a
scratch folder (the prefix is made anew in it on every run). Prints one line
per case and "e2e: N passed, M failed"; the exit code is 1 if any case failed,
and 77 (skipped, with the reason) where the machine cannot run that Wine.
"""

import os
import re
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree

from wine_desktop import TITLE, CaseFailed, case_arguments, run_cases

KEY = r"Software\Drovenal\Lumarest"
VALUE = "use_software_opengl"
REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD = 1, 2, 3, 4

TEXT_A = "环境黑屏问题已尝试修复，重新启动Lumarest，确认是否修复"
TEXT_B = "将要回到硬解，环境黑屏问题已解决？"
# Message box button ids (IDOK, IDYES, IDNO) and Wine's English labels; the
# desktop runs with a fixed locale.
DIALOGS = {
    "A": {"text": TEXT_A, "buttons": [(1, "OK")], "default": 1},
    "B": {"text": TEXT_B, "buttons": [(6, "&Yes"), (7, "&No")], "default": 6},
}


def utf16(text, terminator=True):
    """Hex of a registry string: UTF-16LE, normally with its terminator."""
    return (text.encode("utf-16-le") + (b"\0\0" if terminator else b"")).hex()


# The states the tool can leave behind, as set_raw_value.exe get prints them.
TRUE = f"{REG_SZ} {utf16('true')}"      # 10 bytes
FALSE = f"{REG_SZ} {utf16('false')}"    # 12 bytes
DENIED = "denied"
UNCHANGED = "unchanged"                  # the value exactly as the case set it

RETURN, NO = "Return", "n"               # Enter presses the default button

# Starting state: a list of values to create under KEY, ("deny",) for a key
# nobody may open; an empty list leaves the key missing.
# Steps: runs of the tool, each with the key pressed, the dialog that must be
# shown (None: none) and the value afterwards.
CASES = [
    ("key missing", [],
     [(RETURN, "A", TRUE)]),
    ("key without the value, other values stay", [("other_setting", REG_SZ, utf16("keep"))],
     [(RETURN, "A", TRUE)]),
    ('"false"', [(VALUE, REG_SZ, utf16("false"))],
     [(RETURN, "A", TRUE)]),
    ('"TRUE" (case matters)', [(VALUE, REG_SZ, utf16("TRUE"))],
     [(RETURN, "A", TRUE)]),
    ('"truex" (no prefix match)', [(VALUE, REG_SZ, utf16("truex"))],
     [(RETURN, "A", TRUE)]),
    ('"tru"', [(VALUE, REG_SZ, utf16("tru"))],
     [(RETURN, "A", TRUE)]),
    ("empty string", [(VALUE, REG_SZ, utf16(""))],
     [(RETURN, "A", TRUE)]),
    ("REG_DWORD 1", [(VALUE, REG_DWORD, "01000000")],
     [(RETURN, "A", TRUE)]),
    ('REG_EXPAND_SZ "true"', [(VALUE, REG_EXPAND_SZ, utf16("true"))],
     [(RETURN, "A", TRUE)]),
    ('REG_BINARY with the bytes of "true"', [(VALUE, REG_BINARY, utf16("true"))],
     [(RETURN, "A", TRUE)]),
    ('"true", Yes', [(VALUE, REG_SZ, utf16("true"))],
     [(RETURN, "B", UNCHANGED)]),
    ('"true", No', [(VALUE, REG_SZ, utf16("true"))],
     [(NO, "B", FALSE)]),
    ('"true" NUL "x" (text ends at the NUL), Yes', [(VALUE, REG_SZ, utf16("true\0x"))],
     [(RETURN, "B", UNCHANGED)]),
    ('"true" NUL "x", No', [(VALUE, REG_SZ, utf16("true\0x"))],
     [(NO, "B", FALSE)]),
    ('"true" without terminator, Yes', [(VALUE, REG_SZ, utf16("true", terminator=False))],
     [(RETURN, "B", UNCHANGED)]),
    ('"true" and an odd trailing byte, Yes',
     [(VALUE, REG_SZ, utf16("true", terminator=False) + "41")],
     [(RETURN, "B", UNCHANGED)]),
    ("No, then a fresh run", [(VALUE, REG_SZ, utf16("true"))],
     [(NO, "B", FALSE), (RETURN, "A", TRUE)]),
    ("key not accessible: silent, nothing written", [("deny",)],
     [(None, None, DENIED)]),
]


# -- registry snapshots --------------------------------------------------------

OWN_KEYS = ("HKEY_CURRENT_USER\\Software\\Drovenal", "HKEY_CURRENT_USER\\" + KEY)

# Keys that Wine itself rewrites, whatever the program run does: the display
# adapter and monitor classes, which the desktop process fills in (with a
# fresh driver date) when it comes up on the X display, that is at the first
# program with a window. Volatile keys (Wine's temporary system parameters,
# the device map, the video keys) are not in the snapshots at all. The tool
# touches only its own key under HKCU\Software, so this cannot hide one of
# its writes.
_CLASS = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\"
VOLATILE_KEYS = [
    _CLASS + "{4D36E968-E325-11CE-BFC1-08002BE10318}",  # display adapters
    _CLASS + "{4D36E96E-E325-11CE-BFC1-08002BE10318}",  # monitors
]


def is_volatile(key):
    key = key.lower()
    return any(key == v.lower() or key.startswith(v.lower() + "\\") for v in VOLATILE_KEYS)


def parse_saved(text, hive):
    """Keys of a hive that Wine's RegSaveKeyW wrote: full key name -> its value
    lines (the key's last-write time left out)."""
    text = re.sub(r"\\\n[ \t]*", "", text)  # join continued hex lines
    sections, current = {}, None
    for line in text.splitlines():
        if line.startswith("[") and "]" in line:
            name = line[1:line.rindex("]")].replace("\\\\", "\\")
            current = hive + "\\" + name
            sections[current] = []
        elif current is not None and line.strip() and not line.startswith("#time="):
            sections[current].append(line)
    return sections


def snapshot(desk):
    """HKCU and HKLM as they are now. set_raw_value.exe save has the wineserver
    write each hive in one go (exact bytes); regedit /e would take seconds
    per run and shows some strings without their last character."""
    sections = {}
    for short, hive in (("HKCU", "HKEY_CURRENT_USER"), ("HKLM", "HKEY_LOCAL_MACHINE")):
        path = os.path.join(desk.workdir, short + ".saved")
        desk.tool("set_raw_value.exe", "save", short, "Z:" + path.replace("/", "\\"))
        with open(path, encoding="utf-8", errors="replace") as f:
            sections.update(parse_saved(f.read(), hive))
    return {k: v for k, v in sections.items() if not is_volatile(k)}


def not_saved(sections):
    """The editor's key and switch must be in the hive as saved: that is what
    survives a log-off. A key created volatile lives in memory only, and the
    saved hive leaves it out."""
    key = next((k for k in sections if k.lower() == OWN_KEYS[1].lower()), None)
    if key is None:
        return [f"{OWN_KEYS[1]} is not in the saved hive"]
    if not any(line.lower().startswith(f'"{VALUE}"=') for line in sections[key]):
        return [f"{VALUE} is not in the saved hive"]
    return []


def unexpected_changes(before, after):
    """Differences other than the tool's own value (and creating its keys)."""
    own = {k.lower() for k in OWN_KEYS}
    problems = []
    for key in sorted(set(before) | set(after)):
        old, new = before.get(key), after.get(key)
        if key.lower() in own:
            old = [l for l in old or [] if not l.startswith(f'"{VALUE}"=')]
            new = [l for l in new or [] if not l.startswith(f'"{VALUE}"=')]
        if old == new:
            continue
        if old is None or new is None:
            problems.append(f"key {key} {'created' if old is None else 'deleted'}")
        else:
            gone = [l for l in old if l not in new]
            added = [l for l in new if l not in old]
            problems.append(f"key {key} changed: -{gone} +{added}")
    return problems


# -- one case ------------------------------------------------------------------

def reset(desk, setup):
    desk.tool("set_raw_value.exe", "delete", r"Software\Drovenal")
    for entry in setup:
        if entry == ("deny",):
            desk.tool("set_raw_value.exe", "deny", KEY)
        else:
            name, type_code, data = entry
            desk.tool("set_raw_value.exe", "set", KEY, name, str(type_code), data or "-")


def read_value(desk):
    _, out = desk.tool("set_raw_value.exe", "get", KEY, VALUE, check=False)
    return out.strip()


def dialog_problems(info, expected):
    """What differs between the probed dialog and dialog `expected`."""
    want = DIALOGS[expected]
    controls = [c for c in info["controls"] if c["visible"]]
    texts = [c["text"] for c in controls if c["class"].lower() == "static" and c["text"]]
    buttons = sorted((c["id"], c["text"]) for c in controls if c["class"].lower() == "button")
    shown = next((name for name, d in DIALOGS.items() if texts == [d["text"]]), None)
    problems = []
    if shown != expected:
        # The buttons are then wrong as well; the text says enough.
        return [f"expected dialog {expected}, got " +
                (f"dialog {shown}" if shown else f"one with the text {texts}")]
    if info["title"] != TITLE:
        problems.append(f"caption {info['title']!r}")
    if info["class"] != "#32770" or info["owner"] != 0:
        problems.append(f"not an unowned message box (class {info['class']}, owner {info['owner']})")
    if buttons != want["buttons"]:
        problems.append(f"buttons {buttons}, expected {want['buttons']}")
    defaults = [c["id"] for c in controls if c["default"]]
    if defaults != [want["default"]] or info["focus_id"] != want["default"]:
        problems.append(f"default button {defaults}, focus on {info['focus_id']}, "
                        f"expected {want['default']}")
    return problems


def run_step(desk, exe, key, dialog):
    """Runs the tool once and answers its dialog; returns the problems seen.
    A tool that must stay silent has to exit by itself: one that shows a
    dialog after all waits for an answer and is caught by the timeout."""
    problems = []
    proc = desk.start(exe)
    try:
        if dialog is not None:
            window = desk.find_dialog(timeout=120)
            if window is None:
                code = proc.poll()
                details = [f"the tool exited with {code}" if code is not None else "",
                           f"xdotool: {desk.xdotool_error}" if desk.xdotool_error else "",
                           f"output: {desk.run_output()}" if desk.run_output() else ""]
                details = "; ".join(d for d in details if d)
                raise CaseFailed("no dialog appeared" + (f" ({details})" if details else ""))
            info = desk.probe()
            if info is None:
                raise CaseFailed("dialog_probe.exe did not find the dialog")
            problems += dialog_problems(info, dialog)
            desk.press(window, key)
        code = desk.wait(proc, timeout=120)
        if code is None:
            again = desk.probe(timeout_ms=0)
            raise CaseFailed("the tool did not exit" + (
                f"; it shows a dialog with {[c['text'] for c in again['controls']]}" if again else ""))
        if code != 0:
            output = desk.run_output()
            problems.append(f"exit code {code}" + (f" (output: {output})" if output else ""))
    finally:
        desk.stop(proc)
    return problems


def run_case(desk, exe, setup, steps):
    reset(desk, setup)
    initial = read_value(desk)
    problems = []
    for number, (key, dialog, expected) in enumerate(steps, 1):
        where = f"run {number}: " if len(steps) > 1 else ""
        before = snapshot(desk)
        step_problems = run_step(desk, exe, key, dialog)
        value = read_value(desk)
        want = initial if expected == UNCHANGED else expected
        if value != want:
            step_problems.append(f"value is {value!r}, expected {want!r}")
        after = snapshot(desk)
        step_problems += unexpected_changes(before, after)
        if expected != DENIED:
            step_problems += not_saved(after)
        problems += [where + p for p in step_problems]
        initial = value
    if problems:
        raise CaseFailed("; ".join(problems))


def main():
    parser = case_arguments(__doc__.splitlines()[0], "folder with set_raw_value.exe and dialog_probe.exe")
    parser.add_argument("--verbose", action="store_true", help="log every command with its duration")
    args = parser.parse_args()
    return run_cases("e2e", args, CASES, run_case, ["set_raw_value.exe", "dialog_probe.exe"], verbose=args.verbose)


if __name__ == "__main__":
    sys.exit(main())
