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


def shown(window):
    """The caption, texts and buttons (id, label) of a window as dialog_probe.exe describes it."""
    controls = [c for c in window["controls"] if c["visible"]]
    texts = [c["text"] for c in controls if c["class"].lower() == "static" and c["text"]]
    buttons = sorted((c["id"], c["text"]) for c in controls if c["class"].lower() == "button")
    return window["title"], texts, buttons


def describe(window):
    caption, texts, buttons = shown(window)
    return f"caption {caption!r}, text {texts}, buttons {buttons}"


def dialog_problems(window, expected):
    """What differs between the window shown and dialog `expected`, each with what was shown instead."""
    want = DIALOGS[expected]
    caption, texts, buttons = shown(window)
    problems = []
    if caption != TITLE:
        problems.append(f"caption {caption!r} instead of {TITLE!r}")
    if texts != [want["text"]]:
        other = next((name for name, d in DIALOGS.items() if texts == [d["text"]]), None)
        problems.append(f"text {texts}" + (f" (dialog {other}'s)" if other else "")
                        + f" instead of [{want['text']!r}]")
    if buttons != want["buttons"]:
        problems.append(f"buttons {buttons} instead of {want['buttons']}")
    if window["class"] != "#32770" or window["owner"] != 0:
        problems.append(f"not an unowned message box (class {window['class']}, owner {window['owner']})")
    defaults = [c["id"] for c in window["controls"] if c["visible"] and c["default"]]
    if defaults != [want["default"]] or window["focus_id"] != want["default"]:
        problems.append(f"default button {defaults}, focus on {window['focus_id']}, "
                        f"expected {want['default']}")
    return problems


def output_of(desk):
    """What the last program run printed, for a failure message; nothing if it printed nothing."""
    output = desk.run_output()
    return f" (output: {output})" if output else ""


def run_once(desk, exe, key, dialog, env=None):
    """Runs the program once; dialog `dialog` (None: none at all) must come up and is answered with `key`, and
    then the program must end. Returns its exit code. Raises CaseFailed as soon as the program shows any other
    window, ends without the dialog, or does neither within the desktop's limit. env: as for desk.start."""
    proc = desk.start(exe, env)
    try:
        window, code = desk.watch(proc)
        limit = f"within {desk.window_limit_s} s"
        if window is not None:
            if dialog is None:
                raise CaseFailed(f"a window came up, none expected: {describe(window)}")
            problems = dialog_problems(window, dialog)
            if problems:
                raise CaseFailed(f"not dialog {dialog}: " + "; ".join(problems))
            desk.press(desk.x_window(proc), key)
            again, code = desk.watch(proc, answered=window["window"])
            if again is not None:
                raise CaseFailed(f"after the answer another window came up: {describe(again)}")
            if code is None:
                raise CaseFailed(f"the program did not end {limit} of the answer")
        elif code is None:
            raise CaseFailed(f"the program neither showed a window nor ended {limit}" + output_of(desk))
        elif dialog is not None:
            raise CaseFailed(f"the program ended with exit code {code} without showing dialog {dialog}"
                             + output_of(desk))
        return code
    finally:
        desk.stop(proc)


def run_case(desk, exe, setup, steps):
    reset(desk, setup)
    initial = read_value(desk)
    problems = []
    for number, (key, dialog, expected) in enumerate(steps, 1):
        where = f"run {number}: " if len(steps) > 1 else ""
        before = snapshot(desk)
        try:
            code = run_once(desk, exe, key, dialog)
        except CaseFailed as e:
            raise CaseFailed(where + str(e)) from None
        step_problems = [] if code == 0 else [f"exit code {code}" + output_of(desk)]
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
