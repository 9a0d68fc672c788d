"""The facts about the machine that the numbers depend on."""

import datetime
import os
import platform
import subprocess

from report import ROOT


def machine_lines():
    """The report's title and the facts about this machine, as a Markdown list."""
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    mem = ""
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem = f", {int(line.split()[1]) / 1024 / 1024:.0f} GiB memory"
    try:
        with open("/etc/debian_version") as f:
            system = f"Debian {f.read().strip()}"
    except OSError:
        system = platform.system()
    compiler = subprocess.run(["i686-w64-mingw32-g++-posix", "-dumpfullversion"], capture_output=True,
                              text=True).stdout.strip()
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    probe = subprocess.run([os.path.join(ROOT, "scripts", "runs-32bit-programs")], capture_output=True, text=True)
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return ["# BlackScreenFix benchmark", "",
            "Made by `bench/run` (`bench/run > docs/benchmark.md`). A benchmark, not a test: it prints numbers "
            "beside their goals and fails only when it cannot measure.", "",
            f"- date: {now}",
            f"- machine: {cpu}, {os.cpu_count()} cores{mem}; {system}, Linux {platform.release()}",
            f"- MinGW-w64 g++ {compiler or '?'}; /usr/bin/python3 {platform.python_version()}",
            f"- `scripts/runs-32bit-programs`: {probe.stdout.strip() or probe.stderr.strip()}",
            f"- load average at the start (1, 5, 15 min): {load}"]

