#!/usr/bin/env python3
"""Runs the built program as a process, the way a user runs it: a fresh home for each sequence, answers typed on
standard input, the switch checked in the store between runs with registry_tool."""

import os
import subprocess
import sys
import tempfile
import unittest

PROGRAM, TOOL = sys.argv[1], sys.argv[2]
KEY, NAME = r"Software\Drovenal\Lumarest", "use_software_opengl"
CAPTION = "修复黑屏"
DIALOG_A = "环境黑屏问题已尝试修复，重新启动Lumarest，确认是否修复"
DIALOG_B = "将要回到硬解，环境黑屏问题已解决？"
TRUE = "1 7400720075006500" + "0000"
FALSE = "1 660061006c0073006500" + "0000"


class Home:
    """A temporary configuration folder standing for one user's registry."""

    def __init__(self):
        self._dir = tempfile.TemporaryDirectory(prefix="blackscreenfix-e2e-")
        self.env = dict(os.environ, XDG_CONFIG_HOME=self._dir.name, HOME=self._dir.name)

    def run(self, answers):
        done = subprocess.run([PROGRAM], input=answers.encode(), env=self.env, capture_output=True, timeout=30)
        return done.returncode, done.stdout.decode("utf-8")

    def tool(self, *args):
        done = subprocess.run([TOOL, *args], env=self.env, capture_output=True, check=True, timeout=30)
        return done.stdout.decode().strip()

    def switch(self):
        return self.tool("get", KEY, NAME)

    def close(self):
        self._dir.cleanup()


def dialog_of(output):
    shown = [name for name, text in (("A", DIALOG_A), ("B", DIALOG_B)) if text in output]
    if shown and CAPTION not in output:
        raise AssertionError("dialog without its caption:\n" + output)
    return "".join(shown) or None


class EndToEnd(unittest.TestCase):
    def setUp(self):
        self.home = Home()
        self.addCleanup(self.home.close)

    def test_first_run_then_yes_then_no_then_first_run_again(self):
        steps = [  # (typed answer, dialog shown, switch afterwards)
            ("\n", "A", TRUE),
            ("\n", "B", TRUE),
            ("n\n", "B", FALSE),
            ("\n", "A", TRUE),
        ]
        self.assertEqual(self.home.switch(), "missing")
        for number, (answer, dialog, after) in enumerate(steps, 1):
            with self.subTest(run=number):
                code, output = self.home.run(answer)
                self.assertEqual(code, 0)
                self.assertEqual(dialog_of(output), dialog, output)
                self.assertEqual(self.home.switch(), after)

    def test_answers_to_the_yes_no_question(self):
        cases = [  # (typed, switch afterwards)
            ("y\n", TRUE), ("YES\n", TRUE), ("  Yes \r\n", TRUE), ("\n", TRUE),
            ("n\n", FALSE), ("No\n", FALSE), ("maybe\nn\n", FALSE), ("maybe\n\n", TRUE),
            ("", FALSE),  # end of input: the box could not be answered, so the switch goes back off
            ("y", TRUE), ("n", FALSE),  # a last line without its line ending is an answer all the same
            # An answer may take 4096 bytes, more than a terminal sends as one line; a longer line is no answer.
            (" " * 4095 + "y\n", TRUE), (" " * 4096 + "y\n", FALSE),
        ]
        for typed, after in cases:
            with self.subTest(typed=typed if len(typed) < 20 else f"{len(typed)} bytes"):
                self.home.tool("put", KEY, NAME, "1", TRUE.split()[1])
                code, output = self.home.run(typed)
                self.assertEqual(code, 0)
                self.assertEqual(dialog_of(output), "B")
                self.assertEqual(self.home.switch(), after)

    def test_dialog_a_waits_for_its_enter(self):
        # Enter is pressed only once the dialog shows; the dialog must still be there to take it.
        typed_read, typed_write = os.pipe()
        with subprocess.Popen([PROGRAM], stdin=typed_read, stdout=subprocess.PIPE, env=self.home.env) as run:
            shown = b""
            while b"(press Enter)" not in shown:
                chunk = run.stdout.read1(4096)
                self.assertTrue(chunk, f"ended before its dialog asked for Enter: {shown!r}")
                shown += chunk
            os.write(typed_write, b"\n")
            os.close(typed_write)
            run.communicate(timeout=30)
        left = os.read(typed_read, 16)  # the pipe's writer is closed: an empty read means all was taken
        os.close(typed_read)
        self.assertEqual(run.returncode, 0)
        self.assertIn(DIALOG_A, shown.decode("utf-8"))
        self.assertEqual(left, b"", "the program ended without taking the Enter its dialog asked for")

    def test_stored_values_that_are_not_on(self):
        for stored in ("1 5400520055004500" "0000", "4 01000000", FALSE, "1 "):
            with self.subTest(stored=stored):
                kind, _, data = stored.partition(" ")
                self.home.tool("put", KEY, NAME, kind, data)
                code, output = self.home.run("\n")
                self.assertEqual((code, dialog_of(output)), (0, "A"))
                self.assertEqual(self.home.switch(), TRUE)

    def test_unwritable_store_ends_silently(self):
        # A file where the store's folder belongs: nothing can be opened or created.
        with open(os.path.join(self.home.env["XDG_CONFIG_HOME"], "standin-registry"), "w") as blocker:
            blocker.write("not a folder")
        code, output = self.home.run("\n")
        self.assertEqual((code, output), (0, ""))

    def test_closed_output_is_a_dialog_not_shown(self):
        self.home.tool("put", KEY, NAME, "1", TRUE.split()[1])
        reader, writer = os.pipe()
        os.close(reader)
        done = subprocess.run([PROGRAM], input=b"\n", stdout=writer, env=self.home.env, timeout=30)
        os.close(writer)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(self.home.switch(), FALSE)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
