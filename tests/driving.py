"""The program under test driven as the tests and the benchmark drive it:
waits for its window and frames, and a close that must end it well. A wait
that runs out raises Timeout; a program that ends badly, AssertionError."""

import subprocess
import time

from sfmlcheck.procs import wait_for
from sfmlcheck.program import Program

# How long the program may take to end after a close request.
CLOSE_DEADLINE = 2.0


class DrivenProgram(Program):
    """A Program (see sfmlcheck.program) with its waits: timeout bounds each
    wait not given one of its own."""

    def __init__(self, *args, timeout=30, **kwargs):
        super().__init__(*args, **kwargs)
        self.timeout = timeout
        self.window = None

    def wait_frames(self, count, timeout=None):
        self.assert_running()
        wait_for(lambda: self.frames() >= count or not self.running(),
                 timeout or self.timeout, f"{count} frames")
        self.assert_running()

    def wait_window(self, timeout=None, counted=True):
        """Wait for the window to be managed, shown and, where the counter can
        see its frames, drawn; return its id."""
        timeout = timeout or self.timeout
        since = time.monotonic()

        def managed():
            self.assert_running()
            self.session.nudge(since)
            windows = self.session.program_windows()
            return windows[0] if len(windows) == 1 else None
        self.window = wait_for(managed, timeout, "the program's window")
        wait_for(lambda: self.session.window_info(self.window).get("Map State")
                 == "IsViewable", timeout, "the window to be shown")
        if counted:
            self.wait_frames(self.frames() + 2, timeout)
        return self.window

    def assert_running(self):
        status = self.proc.poll()
        if status is not None:
            raise AssertionError(f"the program ended early with status {status}: "
                                 + self.stderr())

    def wait_exit(self, timeout):
        """Wait for the program to end; return its status and how long it took."""
        start = time.monotonic()
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the program was still running {timeout} s later") from None
        return status, time.monotonic() - start

    def close(self, timeout=CLOSE_DEADLINE):
        """Close the window through the window manager, and check that the
        program ends in time with status 0 and printed nothing."""
        self.session.close_window(self.window)
        status, _ = self.wait_exit(timeout)
        if status != 0:
            raise AssertionError(f"the program ended with status {status}: " + self.stderr())
        if self.stdout():
            raise AssertionError(f"the program printed: {self.stdout()!r}")
