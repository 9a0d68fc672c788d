"""Benchmark of BlackScreenFix: size of the release executable, and time to the dialog and to the end, under
64-bit and 32-bit Wine and natively, each next to the least a program doing the same could take.

    bench/run [--wine-runs N] [--native-runs N]

Builds the windows-x86, windows-x64 and native presets (the utility and the programs in bench/), then prints
one Markdown report on standard output; progress goes to standard error. It only measures: the exit code is 0
whenever every number this machine can take was taken, whatever the numbers are; 1 if some could not be (the
report says which); 2 if the build failed. On a machine that cannot run 32-bit programs, the report says so in
place of the 32-bit Wine section.

Needs /usr/bin/python3 with pefile (Debian: python3-pefile) and what tests/wine/wine_desktop.py needs (wine64,
xvfb, xdotool, fonts-wqy-microhei); for the 32-bit section also Debian's wine32:i386.
"""

import argparse
import os
import shutil
import signal
import sys
import tempfile

from build import BuildError, build
from machine import machine_lines
from native import native_report
from report import Unmeasured, log
from size import size_report
from wine import wine32_report, wine64_report
from wine_desktop import DesktopError, Stopped


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine-runs", type=int, default=31, help="timed rounds under each Wine (default 31)")
    parser.add_argument("--native-runs", type=int, default=200, help="timed native runs of each (default 200)")
    args = parser.parse_args()

    def stop(signum, _frame):
        raise Stopped(f"stopped by signal {signum}")

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGALRM):
        signal.signal(sig, stop)

    scratch = tempfile.mkdtemp(prefix="blackscreenfix-bench-")
    logfile = os.path.join(scratch, "build.log")
    try:
        try:
            programs = build(logfile)
        except BuildError as e:
            log(f"bench: {e}; the build's output:")
            with open(logfile) as f:
                sys.stderr.write(f.read())
            return 2
        x86, x64, native = programs["windows-x86"], programs["windows-x64"], programs["native"]
        sections = [
            ("Size", lambda: size_report(x86["BlackScreenFix"], x86["bench_floor"])),
            ("Under 64-bit Wine", lambda: wine64_report(x64, args.wine_runs, scratch)),
            ("Under 32-bit Wine", lambda: wine32_report(x86, args.wine_runs, scratch)),
            ("Native", lambda: native_report(native, args.native_runs, scratch)),
        ]
        report, unmeasured = machine_lines(), 0
        report.append("")
        for name, make in sections:
            try:
                report += make()
            except (Unmeasured, DesktopError, Stopped, OSError, ImportError) as e:
                unmeasured += 1
                report += [f"## {name}", "", f"**Not measured**: {e}"]
                if isinstance(e, Stopped):
                    break
            report.append("")
        start_load = next(i for i, line in enumerate(report) if line.startswith("- load average"))
        report.insert(start_load + 1, "- load average at the end: " + " ".join(f"{x:.2f}" for x in os.getloadavg()))
        print("\n".join(report).rstrip())
    except Stopped as e:
        log(f"bench: {e}")
        return 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if unmeasured else 0


if __name__ == "__main__":
    sys.exit(main())
