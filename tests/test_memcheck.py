"""valgrind memcheck over a whole run: open, draw frames, close."""

import os
import unittest
import xml.etree.ElementTree as ElementTree

from suite import BIN, SANITIZED, SOURCE_DIR, XSession

FRAMES = 100
# Everything runs tens of times slower under valgrind.
SLOW_TIMEOUT = 300


@unittest.skipIf(SANITIZED, "valgrind cannot run a sanitizer build")
class MemcheckTest(unittest.TestCase):
    def test_no_errors_and_no_leak_of_its_own(self):
        with XSession() as x:
            report = os.path.join(x.tmp, "memcheck.xml")
            program = x.start_program(wrapper=[
                "valgrind", "--tool=memcheck", "--leak-check=full",
                "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
                "--keep-debuginfo=yes", "--num-callers=60", "--xml=yes",
                "--xml-file=" + report,
                "--suppressions=" + os.path.join(SOURCE_DIR, "tests", "valgrind.supp")])
            program.wait_window(timeout=SLOW_TIMEOUT)
            program.wait_frames(FRAMES, timeout=SLOW_TIMEOUT)
            program.close(timeout=SLOW_TIMEOUT)
            errors = ElementTree.parse(report).getroot().findall("error")

        def describe(error):
            frames = [(f.findtext("fn") or "?") + " in " +
                      os.path.basename(f.findtext("obj") or "?")
                      for f in error.find("stack").findall("frame")]
            return (error.findtext("kind") + ": " + (error.findtext("what") or
                    error.findtext("xwhat/text") or "") + "\n    " + "\n    ".join(frames))

        own = [e for e in errors if e.findtext("kind") == "Leak_DefinitelyLost" and any(
            f.findtext("obj") == os.path.realpath(BIN)
            for f in e.find("stack").findall("frame"))]
        self.assertEqual(own, [], "\n".join(map(describe, own)))
        self.assertEqual(errors, [], "\n".join(map(describe, errors)))

