"""Two minutes of unthrottled drawing: memory settles and stays put."""

import time
import unittest

from suite import SANITIZED, XSession, resident_kib

SOAK_SECONDS = 120
SETTLE_SECONDS = 10
GROWTH_LIMIT_KIB = 1024
SAMPLE_INTERVAL = 1.0


@unittest.skipIf(SANITIZED, "the sanitizer's quarantine holds freed memory on purpose")
class SoakTest(unittest.TestCase):
    def test_memory_is_flat_over_two_minutes(self):
        with XSession() as x:
            program = x.start_program()
            program.wait_window()
            start = time.monotonic()
            settled_kib = None
            highest_kib = 0
            while time.monotonic() - start < SOAK_SECONDS:
                program.assert_running()
                kib = resident_kib(program.proc.pid)
                if settled_kib is None and time.monotonic() - start >= SETTLE_SECONDS:
                    settled_kib = kib
                if settled_kib is not None:
                    highest_kib = max(highest_kib, kib)
                time.sleep(SAMPLE_INTERVAL)  # sampling period of the measurement
            frames = program.frames()
            print(f"{frames} frames in {SOAK_SECONDS} s; resident memory {settled_kib} KiB "
                  f"after {SETTLE_SECONDS} s, at most {highest_kib} KiB after that")
            self.assertLess(highest_kib - settled_kib, GROWTH_LIMIT_KIB)
            program.close()

