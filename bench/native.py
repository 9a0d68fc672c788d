"""The native stand-in build's whole run, against a process that does nothing."""

import os
import shutil
import subprocess
import time

from report import Unmeasured, goal_line, header, timing_row

NATIVE_GOAL = 1.2  # the native utility's whole run, against a process that does nothing
TIME = "/usr/bin/time"  # Debian package time


def spawn_timed(argv, env, stdin_path):
    """(seconds, exit code) of one whole run of argv."""
    with open(stdin_path, "rb") as stdin, open(os.devnull, "wb") as null:
        actions = [(os.POSIX_SPAWN_DUP2, stdin.fileno(), 0), (os.POSIX_SPAWN_DUP2, null.fileno(), 1),
                   (os.POSIX_SPAWN_DUP2, null.fileno(), 2)]
        started = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, env, file_actions=actions)
        _, status = os.waitpid(pid, 0)
        ended = time.perf_counter()
    return ended - started, os.waitstatus_to_exitcode(status)


def peak_memory_kib(argv, env, stdin_path, scratch):
    """Max RSS of one run, from /usr/bin/time. The rusage this process gets for its own children is no use
    here: they start as copies of this interpreter, whose memory their high-water mark keeps."""
    out = os.path.join(scratch, "rss")
    with open(stdin_path, "rb") as stdin:
        done = subprocess.run([TIME, "-f", "%M", "-o", out, *argv], env=env, stdin=stdin,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if done.returncode != 0:
        raise Unmeasured(f"{argv[0]} under {TIME} exited with {done.returncode}")
    with open(out) as f:
        return int(f.read().split()[-1])


def native_report(programs, runs, scratch):
    utility, empty = programs["BlackScreenFix"], programs["empty_program"]
    answer = os.path.join(scratch, "answer")
    with open(answer, "w") as f:
        f.write("\n")
    fresh_home = os.path.join(scratch, "home-fresh")
    set_home = os.path.join(scratch, "home-true")
    os.makedirs(set_home)
    env_fresh = dict(os.environ, XDG_CONFIG_HOME=fresh_home, HOME=fresh_home)
    env_set = dict(os.environ, XDG_CONFIG_HOME=set_home, HOME=set_home)
    # The switch on: every run of the second kind shows the second dialog, Enter keeps it on.
    spawn_timed([utility], env_set, answer)
    store = os.path.join(set_home, "standin-registry")
    if not os.path.isdir(store):
        raise Unmeasured(f"the native utility wrote no store under {store}")

    cases = {"empty": ([empty], env_set), "fresh": ([utility], env_fresh), "set": ([utility], env_set)}
    samples = {k: [] for k in cases}
    for i in range(runs + 3):  # the first three are warm-up
        for name, (argv, env) in cases.items():
            if name == "fresh":
                shutil.rmtree(fresh_home, ignore_errors=True)
                os.makedirs(fresh_home)
            seconds, code = spawn_timed(argv, env, answer)
            if code != 0:
                raise Unmeasured(f"{argv[0]} exited with {code}")
            if i >= 3:
                samples[name].append(seconds)

    rss = {}
    if os.access(TIME, os.X_OK):
        for name, (argv, env) in cases.items():
            peaks = []
            for _ in range(5):
                if name == "fresh":
                    shutil.rmtree(fresh_home, ignore_errors=True)
                    os.makedirs(fresh_home)
                peaks.append(peak_memory_kib(argv, env, answer, scratch))
            rss[name] = f"{max(peaks)} KiB"
    else:
        rss = {name: f"not measured ({TIME} is missing: Debian package time)" for name in cases}

    fresh, warm, empty = samples["fresh"], samples["set"], samples["empty"]
    return ["## Native (stand-in build, `build/native/repair/BlackScreenFix`)", "",
            f"{runs} runs of each after three warm-up runs, interleaved; whole process from spawn to reaped, "
            "standard input a file holding one empty line (Enter), standard output to /dev/null, the store in a "
            "temporary `XDG_CONFIG_HOME`. Peak memory: the largest max RSS of five more runs of each under "
            "`/usr/bin/time -f %M`.", "",
            *header(["measured", "median", "min (µs)", "max (µs)", "÷ empty, medians", "÷ empty, per run",
                     "peak memory"]),
            timing_row("BlackScreenFix, key missing (creates it, writes \"true\", first dialog, Enter)", fresh,
                       [empty], "µs", [rss["fresh"]]),
            timing_row("BlackScreenFix, switch on (second dialog, Enter = Yes, nothing written)", warm, [empty],
                       "µs", [rss["set"]]),
            timing_row("empty program (`int main() { return 0; }`, same compiler and build type)", empty, [None],
                       "µs", [rss["empty"]]),
            "",
            goal_line("the first run ÷ the empty program", fresh, empty, NATIVE_GOAL),
            goal_line("a run that finds the switch on ÷ the empty program", warm, empty, NATIVE_GOAL)]
