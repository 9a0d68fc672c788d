#!/usr/bin/python3
"""Each part of qemu_fixes.c is needed, and the parts are independent: check_fixes runs with every part on,
then with each part switched off (QEMU_FIXES_OFF), and exactly the checks of the parts that are off must fail.

    run-emulated DIR fixes_test.py PATH/TO/check_fixes

Runs inside run-emulated's namespace, where check_fixes, a 32-bit program, starts under qemu-i386.
"""

import os
import subprocess
import sys

# Parts switched off, and what the names of the checks that must then fail start with.
CASES = [
    ("", ()),
    ("trapno", ("trapno ",)),
    ("descriptors", ("gs ", "fs ")),
]


def results(program, off):
    """{check name: its problem, or None where it passed} from one run of check_fixes."""
    proc = subprocess.run([program], env=dict(os.environ, QEMU_FIXES_OFF=off), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=60, check=False)
    seen = {}
    for line in proc.stdout.splitlines():
        verdict, _, rest = line.partition(" ")
        name, _, problem = rest.strip().partition(": ")
        seen[name] = problem if verdict == "FAIL" else None
    if not seen:
        raise SystemExit(f"check_fixes printed no results (exit code {proc.returncode}): "
                         f"{proc.stderr.strip() or 'no output'}")
    return seen


def main():
    program = sys.argv[1]
    failed = 0
    for off, must_fail in CASES:
        label = f"with {off} off" if off else "with every part on"
        seen = results(program, off)
        wrong = [f"{name} {'passed' if problem is None else 'failed: ' + problem}"
                 for name, problem in seen.items() if (problem is not None) != any(map(name.startswith, must_fail))]
        print(("FAIL " if wrong else "ok   ") + label + (": " + "; ".join(wrong) if wrong else ""))
        failed += bool(wrong)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
