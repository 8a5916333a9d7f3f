"""Without a usable display, or with a window that does not open, the program
fails at once, says so, and never hangs."""

import os
import re
import signal
import subprocess
import unittest

from suite import (BIN, NEVER_OPEN_LIB, NO_DISPLAY_DEADLINE, XSession,
                   assert_lost_display_ends_program, missing_display)

class FailureTest(unittest.TestCase):
    def run_without_display(self, display):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "LD_PRELOAD")}
        if display is not None:
            env["DISPLAY"] = display
        try:
            return subprocess.run([BIN], env=env, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=NO_DISPLAY_DEADLINE)
        except subprocess.TimeoutExpired:
            self.fail(f"still running {NO_DISPLAY_DEADLINE} s later with DISPLAY={display}")

    def test_no_display_fails_with_a_message(self):
        for display in (None, missing_display()):
            with self.subTest(DISPLAY=display):
                result = self.run_without_display(display)
                self.assertNotEqual(result.returncode, 0)
                self.assertNotEqual(result.stderr.strip(), b"")
                self.assertEqual(result.stdout, b"")

    def test_display_lost_while_running_ends_the_program(self):
        with XSession() as x:
            program = x.start_program()
            program.wait_window()
            assert_lost_display_ends_program(self, x, program)

    def test_broken_connection_cannot_end_it_silently(self):
        # When the server goes away, the program's next request to it may be a
        # read or a write, whichever comes first. A write to the dead socket
        # would raise SIGPIPE and end the program without a word, and only
        # rarely does a run hit that; so check that the signal is ignored.
        with XSession() as x:
            program = x.start_program()
            program.wait_window()
            with open(f"/proc/{program.proc.pid}/status") as status:
                ignored = int(re.search(r"^SigIgn:\s+([0-9a-f]+)$", status.read(),
                                        re.M).group(1), 16)
            self.assertTrue(ignored & (1 << (signal.SIGPIPE - 1)), f"SigIgn {ignored:x}")
            program.close()

    def test_window_that_does_not_open_fails_without_a_frame(self):
        with XSession() as x:
            program = x.start_program(preload=[NEVER_OPEN_LIB])
            status, _ = program.wait_exit(60)
            self.assertEqual(status, 1, program.stderr())
            # The library may add its own remarks; the program says one line.
            own = [line for line in program.stderr().splitlines()
                   if line.startswith("sfml-works:")]
            self.assertEqual(own, ["sfml-works: the window could not be opened"],
                             program.stderr())
            # The counter makes its file when it is loaded, so the file shows
            # that it was there to see a frame, had one been presented.
            self.assertTrue(os.path.exists(program.counter.path), "frame counter loaded")
            self.assertEqual(program.frames(), 0)
            self.assertEqual(program.stdout(), "")

