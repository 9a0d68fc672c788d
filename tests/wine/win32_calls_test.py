#!/usr/bin/python3
"""The calls BlackScreenFix.exe makes into Windows, with their arguments, as
Wine's relay trace shows them: the real program under Wine on a private X
server, one run per case, its dialog answered with a key press.

    win32_calls_test.py [--arch win64|win32] --exe BlackScreenFix.exe --tools DIR --workdir DIR

DIR of --tools holds set_raw_value.exe (to put the switch into each case's
state) and dialog_probe.exe (to read the dialog before it is answered);
--workdir is a scratch folder (the prefix is made anew in it). The
Wine loader and prefix are those of tests/wine/wine_desktop.py, so the same
test serves every Windows build that Wine runs. Prints one line per case and
"win32 calls: N passed, M failed"; the exit code is 1 if any case failed,
and 77 (skipped, with the reason) where the machine cannot run that Wine.

Every call from the program's own image into a DLL is traced, except those of
the C runtime (start-up, heap, exit: msvcrt, kernel32 and ntdll; which ones
those may be is pinned by the import check in tests/pe). The rest must be
exactly the sequence the case lists, argument by argument.
"""

import os
import re
import struct
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree

from e2e_test import KEY, NO, REG_DWORD, REG_SZ, RETURN, TEXT_A, TEXT_B, VALUE, output_of, reset, run_once, utf16
from wine_desktop import TITLE, CaseFailed, case_arguments, run_cases

HKEY_CURRENT_USER = 0x80000001
KEY_ALL_ACCESS = 0xF003F
MB_OK, MB_YESNO = 0, 4
ERROR_ACCESS_DENIED = 5

# Wine prints each traced call as "pid:tid:Call dll.function(arg,...) ret=caller" and its end as
# "pid:tid:Ret  dll.function() retval=value ret=caller"; numbers are hex, and an argument that Wine knows to be
# a string is followed by its text, as in 140004120 L"Software\\Drovenal".
TRACE_LINE = re.compile(r"^([0-9a-f]+):([0-9a-f]+):(Call|Ret) +([\w.]+)\.(\w+)\((.*)\)"
                        r"(?: retval=([0-9a-f]+))? ret=([0-9a-f]+)$")
TRACE_ARG = re.compile(r'([0-9a-f]+)(?: L?"((?:[^"\\]|\\.)*)"(?:\.\.\.)?)?(?:,|$)')
STARTING = re.compile(r"^([0-9a-f]+):[0-9a-f]+:Starting thread proc ([0-9A-Fa-f]+) ")

# The C runtime's own calls from the image; see the docstring.
RUNTIME_DLLS = {"msvcrt", "kernel32", "ntdll"}
PROGRAM_PREFIXES = ("Reg", "Co", "Ole", "MessageBox")


# -- the program's image --------------------------------------------------------

def image_layout(exe):
    """(preferred load address, size in memory, entry point address) from the PE headers."""
    with open(exe, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    entry = struct.unpack_from("<I", data, optional + 16)[0]
    if magic == 0x20B:  # PE32+
        base = struct.unpack_from("<Q", data, optional + 24)[0]
    else:
        base = struct.unpack_from("<I", data, optional + 28)[0]
    size = struct.unpack_from("<I", data, optional + 56)[0]
    return base, size, base + entry


# -- reading the trace -----------------------------------------------------------

def unescape(text):
    """Wine's debug strings: \\\\, \\", \\n, \\r, \\t, and \\XXXX (hex) for anything else outside ASCII."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c != "\\":
            out.append(c)
            i += 1
        elif text[i + 1] in '\\"':
            out.append(text[i + 1])
            i += 2
        elif text[i + 1] in "nrt":
            out.append({"n": "\n", "r": "\r", "t": "\t"}[text[i + 1]])
            i += 2
        else:
            out.append(chr(int(text[i + 1:i + 5], 16)))
            i += 5
    return "".join(out)


class Arg:
    def __init__(self, number, text):
        self.value = int(number, 16)
        self.text = None if text is None else unescape(text)

    def __repr__(self):
        return f"{self.value:x}" + ("" if self.text is None else f" {self.text!r}")


class Call:
    def __init__(self, tid, dll, function, args, caller):
        self.tid, self.dll, self.function, self.args, self.caller = tid, dll, function, args, caller
        self.retval = None

    def __repr__(self):
        returned = "" if self.retval is None else f" -> {self.retval:x}"
        return f"{self.dll}.{self.function}({', '.join(map(repr, self.args))}){returned}"


def program_calls(trace, exe):
    """The calls made from the program's image, in order, with what they returned."""
    base, size, entry = image_layout(exe)
    lines = trace.splitlines()
    # The program's process is the one whose first thread starts at the program's entry point.
    pid = next((m.group(1) for m in map(STARTING.match, lines) if m and int(m.group(2), 16) == entry), None)
    if pid is None:
        raise CaseFailed(f"the trace does not show the program starting at {entry:#x} (loaded elsewhere, or "
                         f"not traced); its last lines: {lines[-5:]}")
    calls = []
    for line in lines:
        m = TRACE_LINE.match(line)
        if not m or m.group(1) != pid or not base <= int(m.group(8), 16) < base + size:
            continue
        _, tid, kind, dll, function, args, retval, caller = m.groups()
        if kind == "Call":
            parsed = [Arg(a.group(1), a.group(2)) for a in TRACE_ARG.finditer(args)] if args else []
            calls.append(Call(tid, dll.lower(), function, parsed, caller))
        else:
            opened = next((c for c in reversed(calls) if c.retval is None and (c.tid, c.dll, c.function,
                           c.caller) == (tid, dll.lower(), function, caller)), None)
            if opened is not None and retval is not None:
                opened.retval = int(retval, 16)
    return [c for c in calls if c.dll not in RUNTIME_DLLS or c.function.startswith(PROGRAM_PREFIXES)]


# -- what a call must look like ---------------------------------------------------

def null(arg, _seen):
    return None if arg.value == 0 else f"{arg.value:#x} instead of null"


def pointer(arg, _seen):
    return None if arg.value != 0 else "null instead of an address"


def dword(expected):
    """A 32-bit argument; 64-bit Wine shows the whole register, whose upper half is left over."""
    def check(arg, _seen):
        got = arg.value & 0xFFFFFFFF
        return None if got == expected else f"{got:#x} instead of {expected:#x}"
    return check


def text(expected):
    def check(arg, _seen):
        return None if arg.text == expected else f"{arg.text!r} instead of {expected!r}"
    return check


def the_key(arg, seen):
    """The key the program opened: one handle, the same in every call that uses it."""
    if arg.value == 0 or (arg.value & 0xFFFFFFFF) >= 0x80000000:
        return f"{arg.value:#x} is not a key the program opened"
    first = seen.setdefault("key", arg.value)
    return None if arg.value == first else f"{arg.value:#x}, but the key in use is {first:#x}"


def expect(dll, function, *args, returns=None):
    return (dll, function, args, returns)


COM = expect("ole32", "CoInitialize", null)
OPEN = expect("advapi32", "RegCreateKeyExW", dword(HKEY_CURRENT_USER), text(KEY), dword(0), null, dword(0),
              dword(KEY_ALL_ACCESS), null, pointer, null, returns=0)
OPEN_REFUSED = OPEN[:3] + (ERROR_ACCESS_DENIED,)
SIZE_QUERY = expect("advapi32", "RegQueryValueExW", the_key, text(VALUE), null, pointer, null, pointer)
DATA_QUERY = expect("advapi32", "RegQueryValueExW", the_key, text(VALUE), null, pointer, pointer, pointer)
WRITE_TRUE = expect("advapi32", "RegSetValueExW", the_key, text(VALUE), dword(0), dword(REG_SZ), pointer,
                    dword(10))
WRITE_FALSE = expect("advapi32", "RegSetValueExW", the_key, text(VALUE), dword(0), dword(REG_SZ), pointer,
                     dword(12))
DIALOG_A = expect("user32", "MessageBoxW", null, text(TEXT_A), text(TITLE), dword(MB_OK))
DIALOG_B = expect("user32", "MessageBoxW", null, text(TEXT_B), text(TITLE), dword(MB_YESNO))
CLOSE = expect("advapi32", "RegCloseKey", the_key)

# Starting state (as in e2e_test.py), the key pressed in the dialog (None: none may appear), and every call.
CASES = [
    ("key missing", [], RETURN,
     [COM, OPEN, SIZE_QUERY, WRITE_TRUE, DIALOG_A, CLOSE]),
    ('"false"', [(VALUE, REG_SZ, utf16("false"))], RETURN,
     [COM, OPEN, SIZE_QUERY, DATA_QUERY, WRITE_TRUE, DIALOG_A, CLOSE]),
    ("REG_DWORD 1: no second query", [(VALUE, REG_DWORD, "01000000")], RETURN,
     [COM, OPEN, SIZE_QUERY, WRITE_TRUE, DIALOG_A, CLOSE]),
    ('"true", Yes: nothing written', [(VALUE, REG_SZ, utf16("true"))], RETURN,
     [COM, OPEN, SIZE_QUERY, DATA_QUERY, DIALOG_B, CLOSE]),
    ('"true", No', [(VALUE, REG_SZ, utf16("true"))], NO,
     [COM, OPEN, SIZE_QUERY, DATA_QUERY, DIALOG_B, WRITE_FALSE, CLOSE]),
    ("key not accessible: nothing after the refused open", [("deny",)], None,
     [COM, OPEN_REFUSED]),
]


def call_problems(calls, expected):
    """What differs between the traced calls and the expected ones."""
    seen = {}
    problems = []
    for number, (call, (dll, function, checks, returns)) in enumerate(zip(calls, expected), 1):
        if (call.dll, call.function) != (dll, function):
            problems.append(f"call {number} is {call.dll}.{call.function}, expected {dll}.{function}")
            break
        if len(call.args) != len(checks):
            problems.append(f"call {number}, {function}: {len(call.args)} arguments traced, expected "
                            f"{len(checks)}")
            continue
        for index, (arg, check) in enumerate(zip(call.args, checks), 1):
            problem = check(arg, seen)
            if problem:
                problems.append(f"call {number}, {function} argument {index}: {problem}")
        if returns is not None and call.retval != returns:
            problems.append(f"call {number}, {function} returned {call.retval}, expected {returns}")
    if not problems and len(calls) != len(expected):
        extra = calls[len(expected):]
        problems.append(f"{len(calls)} calls, expected {len(expected)}: "
                        + (f"then {extra}" if extra else f"{expected[len(calls)][1]} and on are missing"))
    if problems:
        problems.append(f"all calls: {calls}")
    return problems


# -- one case ---------------------------------------------------------------------

def run_traced(desk, exe, key, dialog):
    """Runs the program with Wine's relay trace on, answers its dialog with `key`, and returns the trace."""
    code = run_once(desk, exe, key, dialog, env={"WINEDEBUG": "-all,+pid,+relay"})
    if code != 0:
        raise CaseFailed(f"exit code {code}" + output_of(desk))
    with open(os.path.join(desk.workdir, "run.log"), encoding="utf-8", errors="replace") as f:
        return f.read()


def trace_only_the_program(desk, exe):
    """Relay the calls made from the program's own image, not those the DLLs make among themselves.
    Wine's default RelayFromExclude list would win over RelayFromInclude, so it goes."""
    debug = r"HKCU\Software\Wine\Debug"
    desk.wine("reg", "add", debug, "/v", "RelayFromInclude", "/d", os.path.basename(exe), "/f")
    desk.wine("reg", "delete", debug, "/v", "RelayFromExclude", "/f", check=False)


def dialog_called(expected):
    """The dialog that the expected calls show: "A", "B" or None."""
    return next((name for name, call in (("A", DIALOG_A), ("B", DIALOG_B)) if call in expected), None)


def run_case(desk, exe, setup, key, expected):
    reset(desk, setup)
    problems = call_problems(program_calls(run_traced(desk, exe, key, dialog_called(expected)), exe), expected)
    if problems:
        raise CaseFailed("; ".join(problems))


def main():
    args = case_arguments(__doc__.splitlines()[0], "folder with set_raw_value.exe and dialog_probe.exe").parse_args()
    return run_cases("win32 calls", args, CASES, run_case, ["set_raw_value.exe", "dialog_probe.exe"],
                     prepare=trace_only_the_program)


if __name__ == "__main__":
    sys.exit(main())
