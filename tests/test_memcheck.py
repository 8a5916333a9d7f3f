"""valgrind memcheck over a whole run: open, draw frames, close."""

import os
import re
import unittest
import xml.etree.ElementTree as ElementTree

from suite import SANITIZED, SOURCE_DIR, XSession

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
            return (error.findtext("kind") + ": " + (error.findtext("what") or
                    error.findtext("xwhat/text") or "") + "\n    " + "\n    ".join(
                        f"{fn} in {obj}" for fn, obj in frames(error)))

        drivers = [e for e in errors if driver_leak(e)]
        print(f"\n{len(drivers)} leak(s) inside the OpenGL driver, the driver's own")
        own = [e for e in errors if e not in drivers]
        self.assertEqual(own, [], "\n".join(map(describe, own)))


# The OpenGL driver's libraries: Mesa's GLX and DRI drivers (Mesa 25 moved
# them into libgallium), the dispatch libraries and LLVM, which they use.
DRIVER = re.compile(r"^(libGLX_mesa|libGLX|libGL|libglapi|libgallium|libLLVM)[-.]|_dri\.so$")


def frames(error):
    return [(f.findtext("fn") or "?", os.path.basename(f.findtext("obj") or "?"))
            for f in error.find("stack").findall("frame")]


def driver_leak(error):
    """Whether error is memory lost by the driver: allocated by its code (the
    first frame past valgrind's allocator), whoever called into it."""
    if error.findtext("kind") != "Leak_DefinitelyLost":
        return False
    allocated = [obj for _, obj in frames(error) if not obj.startswith("vgpreload")]
    return bool(allocated) and DRIVER.search(allocated[0]) is not None
