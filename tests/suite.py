"""The build under test, as CTest names it in the environment, and the
checker's sessions set up for it: every test starts the program through here."""

import os
import subprocess

from driving import CLOSE_DEADLINE, DrivenProgram
from sfmlcheck import program as _program, session as _session
from sfmlcheck.facts import SIZE, TITLE  # noqa: F401  (for the tests)
from sfmlcheck.pictures import Image  # noqa: F401
from sfmlcheck.procs import resident_kib, wait_for  # noqa: F401

BIN = os.environ["SFML_WORKS_BIN"]
FRAME_COUNTER_LIB = os.environ["FRAME_COUNTER_LIB"]
NEVER_OPEN_LIB = os.environ["NEVER_OPEN_LIB"]
XPOKE = os.environ["XPOKE"]
SOURCE_DIR = os.environ["SFML_WORKS_SOURCE_DIR"]
SANITIZED = os.environ.get("SFML_WORKS_SANITIZED") == "1"

# A sanitized build is several times slower to start.
START_TIMEOUT = 60 if SANITIZED else 30
# What Xlib says when the connection to the server breaks, in its two forms.
XLIB_FATAL_IO = r"XIO: +fatal IO error|X connection to \S+ broken"
# How long the program may take to end when it cannot work.
NO_DISPLAY_DEADLINE = 5
RUN = os.path.join(SOURCE_DIR, "scripts", "run")


def run_script(output):
    """scripts/run's command line for the build under test, saving its
    pictures in output."""
    return [RUN, "--program", BIN, "--output", output]


def missing_display():
    """A display name with no server behind it."""
    number = 4000
    while _session.display_taken(number):
        number += 1
    return f":{number}"


def sanitizer_env(env, preload=()):
    return _program.sanitizer_env(env, preload, SANITIZED)


class XSession(_session.XSession):
    """A private session (see sfmlcheck.session) for the build under test."""

    def __init__(self, window_manager=True, screen=_session.SCREEN, server=None, **options):
        super().__init__(window_manager, server or _session.xvfb(size=screen),
                         timeout=START_TIMEOUT, **options)

    def start_program(self, args=(), env=None, preload=(), wrapper=(), binary=BIN, user=None):
        return DrivenProgram(self, binary, FRAME_COUNTER_LIB, args, env, preload, wrapper,
                             SANITIZED, user, timeout=START_TIMEOUT)

    def resize(self, window, width, height):
        super().resize(window, width, height, START_TIMEOUT)

    def wait_no_windows(self):
        super().wait_no_windows(START_TIMEOUT)

    def xpoke(self, command, window, count, background=False):
        """Run the Xlib helper: to completion, or in the background with its
        progress reports readable from the returned process's stdout."""
        argv = [XPOKE, command, str(window), str(count)]
        if background:
            return self.spawn(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        return self.run(argv, timeout=300)

    def run_until_shown(self, argv, close, env=None):
        """Run a script that shows the program's window here, as scripts/run
        does. Once it says the window shows the circle, close(window) closes
        it, as a person would. Returns the script's exit status, all that it
        printed, and whether it showed the window."""
        run = self.spawn(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output, shown = "", False
        while not shown:
            line = run.stdout.readline().decode()
            if not line:
                break
            output += line
            shown = "close it to finish" in line
        if shown:
            close(self.program_windows()[0])
        output += run.communicate(timeout=START_TIMEOUT)[0].decode()
        return run.returncode, output, shown


def assert_burst_ends_program(test, count):
    """Send count close requests at once: the program ends, in time, with
    status 0, having printed nothing, and its window is gone."""
    with XSession() as x:
        program = x.start_program()
        window = program.wait_window()
        x.xpoke("close", window, count)
        status, _ = program.wait_exit(CLOSE_DEADLINE)
        test.assertEqual(status, 0, program.stderr())
        test.assertEqual(program.stdout(), "")
        x.wait_no_windows()


def assert_lost_display_ends_program(test, x, program):
    """Kill the X server under the running program: it must end by itself in
    time, with a nonzero status and Xlib's message."""
    x.stop_server()
    status, _ = program.wait_exit(NO_DISPLAY_DEADLINE)
    test.assertNotEqual(status, 0)
    test.assertRegex(program.stderr(), XLIB_FATAL_IO)
