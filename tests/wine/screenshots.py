#!/usr/bin/python3
"""Screenshots of BlackScreenFix.exe's two dialogs as a user sees them, taken
under Wine on a private X server:

    screenshots.py [--arch win64|win32] --exe BlackScreenFix.exe --tools DIR --workdir DIR --out DIR

writes dialog-a.png (shown when the setting was off) and dialog-b.png (shown
when it was on) into --out. DIR of --tools holds set_raw_value.exe and
dialog_probe.exe; --workdir is a scratch folder for the Wine prefix.
"""

import argparse
import os
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree


from e2e_test import REG_SZ, VALUE, dialog_problems, reset, utf16
from wine_desktop import IMPORT, DesktopError, Stopped, WineDesktop, missing_tools, unavailable

SHOTS = [
    ("dialog-a.png", "A", []),
    ("dialog-b.png", "B", [(VALUE, REG_SZ, utf16("true"))]),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=["win64", "win32"], default="win64")
    parser.add_argument("--exe", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--workdir", required=True)
    parser.add_argument("--out", required=True, help="folder for dialog-a.png and dialog-b.png")
    args = parser.parse_args()

    reason = unavailable(args.arch)
    if reason:
        print(f"screenshots: none taken: {reason}", file=sys.stderr)
        return 1
    problems = missing_tools([
        (IMPORT, "install the Debian package imagemagick"),
        (os.path.abspath(args.exe), "build the project first"),
        (os.path.join(args.tools, "set_raw_value.exe"), "build the project first"),
        (os.path.join(args.tools, "dialog_probe.exe"), "build the project first"),
    ], args.arch)
    if problems:
        for p in problems:
            print("screenshots: " + p, file=sys.stderr)
        return 1
    os.makedirs(args.out, exist_ok=True)

    try:
        with WineDesktop(args.workdir, args.tools, arch=args.arch) as desk:
            for filename, dialog, setup in SHOTS:
                reset(desk, setup)
                proc = desk.start(os.path.abspath(args.exe))
                try:
                    info, _ = desk.watch(proc)
                    if info is None:
                        raise DesktopError(f"dialog {dialog} did not appear")
                    wrong = dialog_problems(info, dialog)
                    if wrong:
                        raise DesktopError(f"not the expected dialog {dialog}: " + "; ".join(wrong))
                    window = desk.x_window(proc)
                    path = os.path.join(args.out, filename)
                    desk.screenshot(window, path)
                    print(f"screenshots: wrote {path}")
                    # OK on dialog A, Yes (nothing written) on dialog B.
                    desk.press(window, "Return")
                    if desk.wait(proc) is None:
                        raise DesktopError("the tool did not exit after the answer")
                finally:
                    desk.stop(proc)
    except (Stopped, DesktopError) as e:
        print(f"screenshots: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
