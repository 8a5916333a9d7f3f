"""Storms of input, resizes and close requests, and a display lost in the
middle of one. Each test is run on its own by CTest, with a 60 s bound."""

import re
import unittest

from sfmlcheck import oracle
from suite import (NO_DISPLAY_DEADLINE, SANITIZED, SIZE, XSession, assert_burst_ends_program,
                   assert_lost_display_ends_program, resident_kib, wait_for)

INPUT_STORM = 50_000
# The storm comes in bursts, each drained before the next. Every frame drains
# all pending events before it draws, so input sent faster than it can be
# drained starves the frames. Backlogs of a thousand events and more also make
# glibc's heap fragment: resident memory then moves by up to 3.5 MiB while the
# live heap stays flat (seen with valgrind's DHAT), which measures the
# allocator, not the program. Short bursts keep the storm fast and the
# measurement about the program.
INPUT_BURST = 250
RESIZE_STORM = 300
CLOSE_STORM = 100
# Resident memory may move this much across a storm, no more.
INPUT_STORM_GROWTH_KIB = 2048
WARM_UP_FRAMES = 50
WARM_UP_EVENTS = 200


class StressTest(unittest.TestCase):
    def test_input_storm(self):
        with XSession() as x:
            program = x.start_program()
            window = program.wait_window()
            program.wait_frames(WARM_UP_FRAMES)
            start_kib = resident_kib(program.proc.pid)
            # The first key, text and pointer events load keyboard maps and
            # input-method tables once; measure from after that.
            x.xpoke("input", window, WARM_UP_EVENTS)
            program.wait_frames(program.frames() + 10)
            before_kib = resident_kib(program.proc.pid)

            sent = 0
            while sent < INPUT_STORM:
                report = x.xpoke("input", window, INPUT_BURST).stdout.decode()
                sent += int(re.search(r"sent (\d+) input events\n\Z", report).group(1))
                # Still drawing: two more frames mean the burst was drained.
                program.wait_frames(program.frames() + 2)

            program.wait_frames(program.frames() + 10)
            after_kib = resident_kib(program.proc.pid)
            print(f"resident memory: {start_kib} KiB at start, {before_kib} KiB after "
                  f"{WARM_UP_EVENTS} events, {after_kib} KiB after {sent} more")
            if not SANITIZED:  # the sanitizer's quarantine holds freed memory on purpose
                self.assertLessEqual(after_kib - before_kib, INPUT_STORM_GROWTH_KIB)
            program.close()

    def test_resize_storm(self):
        with XSession(screen="2048x2048") as x:
            program = x.start_program()
            window = program.wait_window()
            x.xpoke("resize", window, RESIZE_STORM)
            program.wait_frames(program.frames() + 3)

            x.resize(window, SIZE, SIZE)
            program.wait_frames(program.frames() + 3)
            wrong = oracle.mismatches(x.capture(window))
            self.assertEqual(wrong, [], oracle.describe(wrong))
            program.close()

    def test_close_storm(self):
        assert_burst_ends_program(self, CLOSE_STORM)

    def test_display_lost_during_input_storm(self):
        with XSession() as x:
            program = x.start_program()
            window = program.wait_window()
            # Far more events than can be sent before the server goes away;
            # its first progress report says the storm is under way.
            storm = x.xpoke("input", window, 100 * INPUT_STORM, background=True)
            self.assertIn(b"so far", storm.stdout.readline())
            self.assertIsNone(storm.poll(), "the storm is still going")

            assert_lost_display_ends_program(self, x, program)
            # Nothing that used the display lingers: not the storm, not openbox.
            wait_for(lambda: all(p.poll() is not None for p in x.processes),
                     NO_DISPLAY_DEADLINE, "every client of the lost display to end")

