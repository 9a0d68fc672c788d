"""A private X server with a fresh Wine prefix on it, for the tests that show
the repair tool's dialogs (e2e_test.py, win32_calls_test.py, screenshots.py).

    with WineDesktop(workdir, tools_dir, arch="win64") as desk:
        proc = desk.start(exe)
        info, rc = desk.watch(proc)       # its first window (caption, text, buttons), or its exit code
        desk.press(desk.x_window(proc), "Return")
        info, rc = desk.watch(proc, answered=info["window"])

Everything it starts (Xvfb, the prefix's wineserver and its processes) is
stopped on leaving the block, also on an exception or SIGTERM/SIGINT/SIGALRM.

arch is "win64" (64-bit Wine) or "win32" (32-bit Wine, for the 32-bit build).
Where 32-bit Wine cannot run, entering the block raises Unavailable, whose
message says why; tests report that as skipped (exit code SKIPPED).

A test that runs a table of cases takes its command line from
case_arguments() and hands the table to run_cases(), which runs each case on
one desktop and reports as CTest expects.
"""

import argparse
import ctypes
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The Wine loader for each kind of prefix, and the Debian package it comes from.
LOADERS = {
    "win64": ("/usr/lib/wine/wine64", "wine64"),
    "win32": ("/usr/lib/wine/wine", "wine32:i386"),
}
# Without its preloader Wine fails to start a program now and then (see wine-env.sh).
PRELOADERS = {
    "win64": ("/usr/lib/wine/wine64-preloader", "wine64-preloader"),
    "win32": ("/usr/lib/wine/wine-preloader", "wine32-preloader:i386"),
}
WINESERVER = "/usr/lib/wine/wineserver"
XVFB = "/usr/bin/Xvfb"
XDOTOOL = "/usr/bin/xdotool"
IMPORT = "/usr/bin/import"
FONT = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"

TITLE = "修复黑屏"

# The exit code with which a test tells CTest that it could not run here.
SKIPPED = 77

# What has to be installed, and from which Debian package.
REQUIRED = [
    (XVFB, "install the Debian package xvfb"),
    (XDOTOOL, "install the Debian package xdotool"),
    (WINESERVER, "install the Debian package wine64"),
    (FONT, "install the Debian package fonts-wqy-microhei"),
]


class DesktopError(Exception):
    pass


class CaseFailed(Exception):
    """One case of a test went wrong; the message says how."""


class Unavailable(Exception):
    """This machine cannot run the requested kind of Wine at all."""


class Stopped(BaseException):
    """Raised from a signal handler so that clean-up code runs."""


def unavailable(arch):
    """Why this machine cannot run Wine of arch at all, or None if it can."""
    if arch != "win32":
        return None
    probe = subprocess.run([os.path.join(HERE, "..", "..", "scripts", "runs-32bit-programs")],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False)
    answer = probe.stdout.decode(errors="replace").strip()
    if probe.returncode != 0:
        return "32-bit Wine cannot run here: " + answer.removeprefix("no: ")
    if answer.startswith("emulated") and not os.environ.get("EMULATED_32BIT"):
        return ("32-bit Wine runs here only under emulation, and this was not started through "
                "tests/emulation/run-emulated")
    return None


def missing_tools(extra=(), arch="win64"):
    """A message for each required file (REQUIRED, the loader of arch, and
    extra, as (path, what to do about it)) that is not there."""
    required = list(REQUIRED) + [(path, f"install the Debian package {package}")
                                 for path, package in (LOADERS[arch], PRELOADERS[arch])] + list(extra)
    return [f"{path} is missing ({remedy})" for path, remedy in required if not os.path.exists(path)]


def _die_with_parent():
    # Xvfb and the long-running Wine processes go away even if this process
    # is killed outright (then the wineserver follows once they are gone).
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def _pids_of_prefix(prefix):
    """Processes that run with this WINEPREFIX: the prefix is made for one
    session, so they are all the session's own."""
    wanted = b"WINEPREFIX=" + os.fsencode(prefix)
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if wanted in f.read().split(b"\0"):
                    pids.append(int(entry))
        except OSError:
            pass
    return pids


def describe_output(proc):
    """What a finished command printed, for a failure message."""
    out = proc.stdout.decode(errors="replace").strip()
    err = proc.stderr.decode(errors="replace").strip()
    if not out and not err:
        return "it printed nothing"
    return "; ".join(f"{name}: {text}" for name, text in (("stdout", out), ("stderr", err)) if text)


def on_signal(signum, _frame):
    raise Stopped(f"stopped by signal {signum}")


def case_arguments(description, tools_help):
    """The command line of a test that runs a table of cases on the program under Wine; add to it as needed."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--arch", choices=["win64", "win32"], default="win64",
                        help="64-bit or 32-bit Wine (default: win64)")
    parser.add_argument("--exe", required=True, help="BlackScreenFix.exe to test")
    parser.add_argument("--tools", required=True, help=tools_help)
    parser.add_argument("--workdir", required=True, help="scratch folder for the Wine prefix")
    parser.add_argument("-k", dest="only", metavar="TEXT", help="run only the cases whose name contains TEXT")
    parser.add_argument("--timeout", type=int, default=1200,
                        help="give up (and clean up) after this many seconds")
    return parser


def run_cases(label, args, cases, run_case, tools, prepare=None, verbose=False):
    """Runs cases, each a tuple of its name and then the arguments of run_case(desk, exe, ...), one after another
    on one WineDesktop, after prepare(desk, exe) if given. tools are the files of --tools the cases need.

    Prints a line per case and "LABEL: N passed, M failed". Returns the exit code: 0, 1 if a case failed or the
    desktop could not be made, SKIPPED (with the reason printed) where this machine cannot run that Wine, and 2
    if no case matches -k."""
    cases = [c for c in cases if not args.only or args.only in c[0]]
    if not cases:
        print(f"{label}: no case name contains {args.only!r}", file=sys.stderr)
        return 2
    reason = unavailable(args.arch)
    if reason:
        print(f"{label}: skipped: {reason}")
        return SKIPPED
    exe = os.path.abspath(args.exe)
    needed = [(exe, "build the project first")]
    needed += [(os.path.join(args.tools, tool), "build the project first") for tool in tools]
    problems = missing_tools(needed, args.arch)
    if problems:
        for p in problems:
            print(f"{label}: {p}", file=sys.stderr)
        print(f"{label}: 0 passed, {len(cases)} failed")
        return 1

    passed = failed = 0
    started = time.monotonic()
    signal.signal(signal.SIGALRM, on_signal)
    signal.alarm(args.timeout)
    try:
        with WineDesktop(args.workdir, args.tools, verbose=verbose, arch=args.arch) as desk:
            if prepare:
                prepare(desk, exe)
            for name, *case in cases:
                case_started = time.monotonic()
                try:
                    run_case(desk, exe, *case)
                    passed += 1
                    print(f"ok   {name} ({time.monotonic() - case_started:.1f} s)", flush=True)
                except (CaseFailed, DesktopError) as e:
                    failed += 1
                    print(f"FAIL {name}: {e}", flush=True)
    except (Stopped, DesktopError) as e:
        print(f"{label}: aborted: {e}", flush=True)
        failed = len(cases) - passed
    signal.alarm(0)
    print(f"# {time.monotonic() - started:.1f} s in all")
    print(f"{label}: {passed} passed, {failed} failed")
    return 1 if failed else 0


class WineDesktop:
    # The longest a program under Wine may take to show its window or to end before a test gives up on it: a
    # limit for giving up, not a time the program is held to. Measured on the 2-core test machine with both
    # cores kept busy, the 64-bit build's dialog is seen at most 4.3 s after the start of the first program on
    # a fresh prefix, 1.9 s for later ones, and 9.4 s under the call trace's relay tracing; this is four times
    # the slowest.
    window_limit_s = 40
    # 32-bit Wine under CPU emulation (tests/emulation) runs about five times slower on the same machine: a
    # fresh prefix takes 145 to 155 s there against 23 to 30 s, and a case 2.5 to 5 times as long.
    EMULATION_SLOWDOWN = 5

    def __init__(self, workdir, tools_dir, log=print, verbose=False, arch="win64"):
        self.arch = arch
        self.loader = LOADERS[arch][0]
        if arch == "win32" and os.environ.get("EMULATED_32BIT"):
            self.window_limit_s = WineDesktop.window_limit_s * WineDesktop.EMULATION_SLOWDOWN
        self.workdir = os.path.abspath(workdir)
        self.tools_dir = os.path.abspath(tools_dir)
        self.prefix = os.path.join(self.workdir, "prefix")
        self.log = log
        self.verbose = verbose
        self.xvfb = None
        self.env = None
        self.keeper = None
        self.xdotool_error = ""
        self._old_handlers = {}

    # -- setting up and tearing down ------------------------------------------

    def __enter__(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGALRM, signal.SIGHUP):
            self._old_handlers[sig] = signal.signal(sig, on_signal)
        try:
            self._start_xvfb()
            self._make_prefix()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _start_xvfb(self):
        os.makedirs(self.workdir, exist_ok=True)
        # Xvfb picks a free display number and writes it to the pipe.
        read_fd, write_fd = os.pipe()
        with open(os.path.join(self.workdir, "xvfb.log"), "w") as log:
            self.xvfb = subprocess.Popen(
                [XVFB, "-displayfd", str(write_fd), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp", "-noreset"],
                pass_fds=[write_fd], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=log, preexec_fn=_die_with_parent)
        os.close(write_fd)
        with os.fdopen(read_fd) as pipe:
            number = pipe.readline().strip()
        if not number:
            code = self.xvfb.poll()
            with open(os.path.join(self.workdir, "xvfb.log"), errors="replace") as log:
                output = log.read().strip()
            raise DesktopError("Xvfb did not start"
                               + (f" (exit code {code})" if code is not None else " (still running)")
                               + ": " + (output or "no output"))
        self.display = ":" + number
        env = dict(os.environ)
        env.update({
            "DISPLAY": self.display,
            # The same settings as wine-env.sh makes for its own commands.
            "WINEPREFIX": self.prefix,
            "WINEARCH": self.arch,
            "WINEDEBUG": "-all,err+all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            # Fixed locale, so Wine's own button labels are always the same.
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
        })
        self.env = env

    def _make_prefix(self):
        # A new prefix for every run. Xvfb is already up: the Wine desktop
        # process started here keeps the display it was started with.
        for stale in (self.prefix, self.prefix + ".lock", self.prefix + ".log"):
            if os.path.isdir(stale):
                shutil.rmtree(stale)
            elif os.path.exists(stale):
                os.remove(stale)
        started = time.monotonic()
        try:
            proc = subprocess.run(["bash", os.path.join(HERE, "wine-env.sh"), self.prefix, self.arch],
                                  env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
        except subprocess.TimeoutExpired:
            raise DesktopError(f"making the Wine prefix did not finish; see {self.prefix}.log")
        output = proc.stdout.decode(errors="replace").strip()
        if proc.returncode == SKIPPED:
            raise Unavailable(output)
        if proc.returncode != 0:
            raise DesktopError(f"making the Wine prefix failed with exit code {proc.returncode}:\n"
                               + (output or "no output"))
        self.log(f"# Wine prefix made in {time.monotonic() - started:.1f} s on display {self.display}")
        # One Wine process runs for the whole session, as on a desktop where
        # Windows is up: otherwise each program would start (and each exit
        # stop) the wineserver, services and desktop process anew, which
        # takes about half a second per program.
        self.keeper = subprocess.Popen([self.loader, "cmd.exe", "/k"], env=self.env,
                                       stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, preexec_fn=_die_with_parent)

    def close(self):
        # A second signal must not cut the clean-up short.
        for sig in self._old_handlers:
            signal.signal(sig, signal.SIG_IGN)
        if self.keeper is not None:
            self.stop(self.keeper)
            self.keeper = None
        if self.env is not None:
            # Ends every process of this prefix (only this one), then the server.
            for flag in ("-k", "-w"):
                try:
                    subprocess.run([WINESERVER, flag], env=self.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, timeout=60)
                except subprocess.TimeoutExpired:
                    pass
            # Processes whose server went away can no longer be reached that way.
            for pid in _pids_of_prefix(self.prefix):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        if self.xvfb is not None and self.xvfb.poll() is None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()
        self.xvfb = None
        for sig, handler in self._old_handlers.items():
            signal.signal(sig, handler)
        self._old_handlers = {}

    # -- running things in the prefix -----------------------------------------

    def _run(self, argv, timeout):
        """subprocess.run with the output collected in files, not pipes: a
        Wine program may start the wineserver or a system service, and those
        keep the inherited descriptors open long after the program is gone."""
        started = time.monotonic()
        try:
            with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
                proc = subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL,
                                      stdout=out, stderr=err, timeout=timeout)
                out.seek(0)
                err.seek(0)
                proc.stdout, proc.stderr = out.read(), err.read()
                return proc
        finally:
            if self.verbose:
                self.log(f"#   {time.monotonic() - started:6.2f} s  {' '.join(argv)}")

    def wine(self, *args, timeout=120, check=True):
        """Runs a Windows program to completion; returns (exit code, stdout)."""
        try:
            proc = self._run([self.loader] + list(args), timeout)
        except subprocess.TimeoutExpired:
            raise DesktopError(f"{' '.join(args)} did not finish within {timeout} s")
        out = proc.stdout.decode("utf-8", errors="replace")
        if check and proc.returncode != 0:
            raise DesktopError(f"{' '.join(args)} failed with exit code {proc.returncode}; "
                               + describe_output(proc))
        return proc.returncode, out

    def tool(self, name, *args, **kw):
        return self.wine(os.path.join(self.tools_dir, name), *args, **kw)

    def start(self, exe, env=None):
        """Starts a program and leaves it running (for one with a dialog).
        What it prints goes to run.log in the work folder (see run_output).
        env: variables for this program only (WINEDEBUG, to trace it)."""
        with open(os.path.join(self.workdir, "run.log"), "wb") as log:
            return subprocess.Popen([self.loader, exe], env=dict(self.env, **(env or {})),
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                    preexec_fn=_die_with_parent)

    def run_output(self):
        """The last lines the program from start() printed (Wine's or X's
        complaints when it could not run), for failure messages."""
        with open(os.path.join(self.workdir, "run.log"), "rb") as log:
            lines = log.read().decode(errors="replace").strip().splitlines()
        return " | ".join(lines[-5:])

    def wait(self, proc, timeout=30):
        """Waits for a started program; returns its exit code, None if it is
        still running after timeout seconds."""
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, proc):
        if proc.poll() is None:
            proc.kill()
            proc.wait()

    # -- the dialog, as a user sees and answers it -----------------------------

    def xdotool(self, *args, timeout=30):
        """xdotool's output as words; None if it failed, with the reason in
        xdotool_error."""
        try:
            proc = self._run([XDOTOOL] + list(args), timeout)
        except subprocess.TimeoutExpired:
            self.xdotool_error = f"xdotool {' '.join(args)} did not finish within {timeout} s"
            return None
        if proc.returncode != 0:
            self.xdotool_error = (f"xdotool {' '.join(args)} failed with exit code {proc.returncode}; "
                                  + describe_output(proc))
            return None
        return proc.stdout.decode().split()

    def watch(self, proc, answered=None):
        """Waits, at most window_limit_s, for the program from start() to show a window or to end. Returns
        (window, exit code): the first visible top-level window of the program, whatever its caption, as
        dialog_probe.exe describes it from inside Wine, or the exit code; (None, None) if it did neither.
        answered: the "window" of a box already answered, which is passed over while it closes."""
        program = os.path.basename(proc.args[-1])
        argv = [self.loader, os.path.join(self.tools_dir, "dialog_probe.exe"),
                str(int(self.window_limit_s * 1000)), program] + ([str(answered)] if answered else [])
        deadline = time.monotonic() + self.window_limit_s
        # Output in files, not pipes, as in _run.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            probe = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                     preexec_fn=_die_with_parent)
            try:
                while probe.poll() is None:
                    if proc.poll() is not None or time.monotonic() > deadline:
                        return None, proc.poll()
                    time.sleep(0.05)
            finally:
                self.stop(probe)
            out.seek(0)
            err.seek(0)
            probe.stdout, probe.stderr = out.read(), err.read()
        if probe.returncode == 2:
            return None, proc.poll()
        if probe.returncode != 0:
            raise DesktopError(f"dialog_probe.exe failed with exit code {probe.returncode}; "
                               + describe_output(probe))
        try:
            return json.loads(probe.stdout), None
        except ValueError:
            raise DesktopError(f"dialog_probe.exe printed no description of the window: {probe.stdout!r}")

    def x_window(self, proc):
        """The X window id of the window that watch() found, once the X server shows it, as a user sees it."""
        ids = self.xdotool("search", "--sync", "--onlyvisible", "--pid", str(proc.pid),
                           timeout=self.window_limit_s)
        if not ids:
            raise DesktopError(f"the program's window is not on the X display: {self.xdotool_error}")
        return ids[0]

    def press(self, window, key):
        """Presses a key in the dialog. Without a window manager the window
        is given the input focus first, then the key is typed (XTEST) like on
        a keyboard; `key --window` would send synthetic events instead."""
        if self.xdotool("windowfocus", "--sync", window) is None:
            raise DesktopError(f"could not focus window {window}: {self.xdotool_error}")
        if self.xdotool("key", key) is None:
            raise DesktopError(f"could not type {key}: {self.xdotool_error}")

    def screenshot(self, window, path):
        """Saves the window (caption included: Wine draws it) as PNG once two
        captures in a row agree, i.e. it has finished painting."""
        previous = None
        for _ in range(50):
            proc = subprocess.run([IMPORT, "-display", self.display, "-window", window, "png:-"],
                                  env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  timeout=30)
            data = proc.stdout
            if data and data == previous:
                break
            previous = data
            time.sleep(0.2)
        if not previous:
            raise DesktopError(f"could not capture window {window}: import failed with exit code "
                               f"{proc.returncode}: {proc.stderr.decode(errors='replace').strip() or 'no output'}")
        with open(path, "wb") as f:
            f.write(previous)
