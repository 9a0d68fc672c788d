"""Builds the utility and the programs it is measured against, with each preset the benchmark uses."""

import os
import subprocess

from report import ROOT, log

PRESETS = ("windows-x86", "windows-x64", "native")
BENCH_TARGETS = {
    "windows-x86": ["bench_floor", "bench_floor_manifest"],
    "windows-x64": ["bench_floor", "bench_floor_manifest", "set_raw_value"],
    "native": ["empty_program"],
}
# Where each target lands in its preset's build folder.
TARGET_PATHS = {
    "BlackScreenFix": "repair/BlackScreenFix",
    "bench_floor": "bench/bench_floor",
    "bench_floor_manifest": "bench/bench_floor_manifest",
    "empty_program": "bench/empty_program",
    "set_raw_value": "tests/wine/helpers/set_raw_value",
}


class BuildError(Exception):
    pass


def _run_logged(cmd, logfile):
    with open(logfile, "a") as out:
        out.write("$ " + " ".join(cmd) + "\n")
        out.flush()
        return subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                              cwd=ROOT).returncode


def build(logfile):
    """{preset: {target: path}} of the utility and the bench programs; the build's output goes to logfile."""
    programs = {}
    for preset in PRESETS:
        log(f"# building {preset}")
        targets = ["BlackScreenFix", *BENCH_TARGETS[preset]]
        if _run_logged(["cmake", "--preset", preset], logfile) != 0:
            raise BuildError(f"configuring {preset} failed")
        if _run_logged(["cmake", "--build", "--preset", preset, "--target", *targets], logfile) != 0:
            raise BuildError(f"building {' '.join(targets)} with {preset} failed")
        suffix = ".exe" if preset.startswith("windows") else ""
        build_dir = os.path.join(ROOT, "build", preset)
        programs[preset] = {target: os.path.join(build_dir, TARGET_PATHS[target] + suffix) for target in targets}
    return programs
