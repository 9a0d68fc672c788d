#!/usr/bin/env python3
"""The program as a process on a stand-in store under faults: a full disk, folders it may not enter or write,
several instances at once, and writers killed at random moments. Whatever happens, the run ends with exit code 0,
the switch reads back as one whole value, and no temporary file stays behind once a write has completed."""

import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

PROGRAM, TOOL = sys.argv[1], sys.argv[2]
KEY, NAME = r"Software\Drovenal\Lumarest", "use_software_opengl"
TRUE, FALSE = "1 74007200750065000000", "1 660061006c00730065000000"
NOBODY = 65534


def leftovers(root):
    return [os.path.join(d, f) for d, _, files in os.walk(root) for f in files if f.startswith(".tmp-")]


class Store:
    def __init__(self, root=None):
        self._scratch = None if root else tempfile.TemporaryDirectory(prefix="blackscreenfix-faults-")
        self.root = root or self._scratch.name
        self.env = dict(os.environ, XDG_CONFIG_HOME=self.root, HOME=self.root)

    def run(self, answers="\n", user=None):
        command = [PROGRAM]
        if user is not None:
            command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", PROGRAM]
        done = subprocess.run(command, input=answers.encode(), env=self.env, capture_output=True, timeout=60)
        return done.returncode, done.stdout.decode("utf-8", "replace")

    def switch(self):
        # Read as the store's owner: a store of someone else's is not open to the reader.
        command = [TOOL, "get", KEY, NAME]
        owner = os.stat(self.root).st_uid
        if owner != os.geteuid():
            command = ["setpriv", f"--reuid={owner}", f"--regid={owner}", "--clear-groups", *command]
        done = subprocess.run(command, env=self.env, capture_output=True, check=True, timeout=60)
        return done.stdout.decode().strip()

    def put(self, value):
        kind, data = value.split()
        subprocess.run([TOOL, "put", KEY, NAME, kind, data], env=self.env, check=True, timeout=60)

    def close(self):
        if self._scratch:
            self._scratch.cleanup()


class Faults(unittest.TestCase):
    def setUp(self):
        self.store = Store()
        self.addCleanup(self.store.close)

    def test_full_disk_keeps_the_old_value_and_shows_nothing(self):
        if os.geteuid() != 0:
            self.fail("mounting a small tmpfs needs root (the test command runs as root in CI)")
        script = f"""
            set -e
            mount -t tmpfs -o size=64k tmpfs "$XDG_CONFIG_HOME"
            "$TOOL" put '{KEY}' {NAME} {FALSE}
            dd if=/dev/zero of="$XDG_CONFIG_HOME/filler" bs=4k 2>/dev/null || true
            printf '\\n' | "$PROGRAM" > "$XDG_CONFIG_HOME/../out" ; echo "exit=$?"
            "$TOOL" get '{KEY}' {NAME}
            find "$XDG_CONFIG_HOME" -name '.tmp-*' | sed 's/^/left: /'
        """
        os.makedirs(os.path.join(self.store.root, "store"))
        env = dict(self.store.env, XDG_CONFIG_HOME=os.path.join(self.store.root, "store"), TOOL=TOOL, PROGRAM=PROGRAM)
        done = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script],
                              env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.split("\n")
        self.assertIn("exit=0", lines)
        self.assertIn(FALSE, lines, "the old value must survive the failed write")
        self.assertFalse([line for line in lines if line.startswith("left: ")])
        with open(os.path.join(self.store.root, "out")) as shown:
            self.assertEqual(shown.read(), "", "a write that failed shows no dialog")

    def test_store_that_cannot_be_created_ends_silently(self):
        os.chmod(self.store.root, 0o755)  # nobody may look in, not write
        self.assertEqual(self.store.run(user=NOBODY), (0, ""))
        self.assertFalse(os.path.exists(os.path.join(self.store.root, "standin-registry")))

    def test_key_folder_that_cannot_be_entered_ends_silently(self):
        self.store.put(FALSE)
        shutil.chown(self.store.root, NOBODY, NOBODY)
        for folder, _, _ in os.walk(self.store.root):
            shutil.chown(folder, NOBODY, NOBODY)
        key_folder = os.path.join(self.store.root, "standin-registry", "HKEY_CURRENT_USER", "k_SOFTWARE", "k_DROVENAL")
        shutil.chown(key_folder, 0, 0)  # root's, mode 0700: nobody cannot enter
        self.assertEqual(self.store.run(user=NOBODY), (0, ""))
        # The store's owner reads the switch back, once the store is all its own.
        for folder, _, files in os.walk(self.store.root):
            for entry in [folder] + [os.path.join(folder, name) for name in files]:
                shutil.chown(entry, NOBODY, NOBODY)
        self.assertEqual(self.store.switch(), FALSE)

    def test_unreadable_value_counts_as_not_on_and_is_replaced(self):
        self.store.put(TRUE)
        for folder, _, files in os.walk(self.store.root):
            shutil.chown(folder, NOBODY, NOBODY)
        # The value file stays root's and user-only: nobody cannot read it, but may replace it in its own folder.
        code, output = self.store.run(user=NOBODY)
        self.assertEqual(code, 0)
        self.assertIn("环境黑屏问题已尝试修复", output)
        self.assertEqual(self.store.switch(), TRUE)
        self.assertFalse(leftovers(self.store.root))

    def test_instances_at_once_leave_one_whole_value(self):
        rng = random.Random(1)
        for round_number in range(40):
            count = rng.randint(2, 8)
            runs = [subprocess.Popen([PROGRAM], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                     env=self.store.env) for _ in range(count)]
            for run in runs:
                run.communicate(rng.choice([b"\n", b"n\n"]), timeout=60)
                self.assertEqual(run.returncode, 0)
            with self.subTest(round=round_number, instances=count):
                self.assertIn(self.store.switch(), (TRUE, FALSE))
                self.assertFalse(leftovers(self.store.root))

    def test_writer_killed_at_any_moment_leaves_the_old_or_the_new_value(self):
        rng = random.Random(2)
        # The moments to kill at span a whole run, however long this build takes to start (a sanitised one takes
        # many times longer): the run's write comes just before its dialog, near the end.
        self.store.put(FALSE)
        lifetime = self.whole_run_seconds()
        self.store.put(FALSE)
        before = FALSE
        outcomes = {FALSE: 0, TRUE: 0}
        for attempt in range(150):
            with subprocess.Popen([PROGRAM], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                  env=self.store.env) as run:
                time.sleep(rng.uniform(0, lifetime))
                run.send_signal(signal.SIGKILL)
            after = self.store.switch()
            outcomes[after] = outcomes.get(after, 0) + 1
            # Not on before, so the only write a run can make is "true".
            with self.subTest(attempt=attempt):
                self.assertIn(after, (before, TRUE) if before == FALSE else (before, FALSE))
            before = after
            if after == TRUE:
                self.store.put(FALSE)
                before = FALSE
        print(f"killed before the write: {outcomes[FALSE]}, after it: {outcomes[TRUE]}", file=sys.stderr)
        # Whatever a killed writer left behind goes with the next completed write.
        self.assertEqual(self.store.run()[0], 0)
        self.assertFalse(leftovers(self.store.root))

    def whole_run_seconds(self):
        """How long a run takes from its start to its end, answered at once: the shortest of three."""
        seconds = []
        for _ in range(3):
            started = time.monotonic()
            self.assertEqual(self.store.run()[0], 0)
            seconds.append(time.monotonic() - started)
        return min(seconds)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
