"""The benchmark's floor draws the very picture the program draws, with and
without blending; and one quick round of the benchmark, so that it cannot rot:
it must produce every figure, the report and the chart. No timing is judged
here."""

import json
import math
import os
import subprocess
import sys
import tempfile
import unittest

from sfmlcheck import oracle
from suite import SIZE, XSession

SOURCE_DIR = os.environ["SFML_WORKS_SOURCE_DIR"]
BINARY_DIR = os.environ["SFML_WORKS_BINARY_DIR"]
FLOOR = os.environ["FLOOR_BIN"]
FRAME_COUNTER_LIB = os.environ["FRAME_COUNTER_LIB"]
SUBJECTS = ("sfml-works", "floor --blend", "floor")


class FloorTest(unittest.TestCase):
    def test_floor_draws_the_programs_picture(self):
        # The comparison is only fair if both draw the same frame.
        for args in ((), ("--blend",)):
            with self.subTest(args=args), XSession() as x:
                floor = x.start_program(args, binary=FLOOR)
                window = floor.wait_window()
                floor.wait_frames(2)
                self.assertEqual(x.size(window), (SIZE, SIZE))
                wrong = oracle.mismatches(x.capture(window))
                self.assertEqual(wrong, [], oracle.describe(wrong))
                floor.close()


class BenchSmokeTest(unittest.TestCase):
    def test_one_round_produces_every_figure(self):
        with tempfile.TemporaryDirectory() as tmp:
            prefix = os.path.join(tmp, "install")
            subprocess.run(["cmake", "--install", BINARY_DIR, "--prefix", prefix],
                           check=True, capture_output=True)
            out = os.path.join(tmp, "bench")
            result = subprocess.run(
                [sys.executable, os.path.join(SOURCE_DIR, "bench", "bench.py"),
                 "--program", os.path.join(prefix, "bin", "sfml-works"), "--floor", FLOOR,
                 "--counter", FRAME_COUNTER_LIB, "--out", out, "--rounds", "1",
                 "--steady-seconds", "1", "--warm-up-seconds", "0.2", "--launches", "2",
                 "--short-frames", "10", "--long-frames", "60"],
                capture_output=True, text=True, timeout=1200, stdin=subprocess.DEVNULL)
            self.assertEqual(result.returncode, 0, result.stderr)

            with open(os.path.join(out, "report.json")) as f:
                report = json.load(f)
            with open(os.path.join(out, "report.md")) as f:
                markdown = f.read()
            with open(os.path.join(out, "ratios.png"), "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")

        figures = ("instructions_per_frame", "main_thread_instructions_per_frame", "fps",
                   "first_frame_ms", "cpu_us_per_frame", "peak_rss_mib",
                   "allocations_per_frame", "own_allocations_per_frame")
        for subject in SUBJECTS:
            results = report["results"][subject]
            for figure in figures:
                with self.subTest(subject=subject, figure=figure):
                    value = results[figure]["median"]
                    self.assertTrue(math.isfinite(value) and value >= 0, value)
            # The main thread is one of several: the renderer's own threads
            # fill the pixels, so they must have counted for something.
            self.assertLess(results["main_thread_instructions_per_frame"]["median"],
                            results["instructions_per_frame"]["median"])
            self.assertIn(subject, report["allocations_by_module"])
        # The targets are against the floor that blends, the lean floor is the
        # limit beside it. Instruction counts repeat to a few parts in a
        # million, and blending makes every covered pixel dearer: --blend
        # must not be a no-op.
        results = report["results"]
        self.assertGreater(results["floor --blend"]["instructions_per_frame"]["median"],
                           results["floor"]["instructions_per_frame"]["median"])
        for figure in ("instructions_per_frame", "main_thread_instructions_per_frame", "fps",
                       "first_frame_ms"):
            self.assertIn(figure, report["ratios"])
            self.assertIn(figure, report["ratios_to_limit"])
            self.assertIn(figure, report["targets"])
        self.assertIn("own_allocations_per_frame", report["targets"])
        self.assertIn("| measure | sfml-works: median (min–max) | `floor --blend`: median "
                      "(min–max) | ratio | target | `floor`, the limit: median |", markdown)
        self.assertIn("| Instructions per frame (callgrind) |", markdown)
        self.assertIn(result.stdout.strip(), markdown.strip())
        self.assertIn("renderer", markdown)

