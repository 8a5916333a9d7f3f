"""The program on the display stacks people really run, one row each
(stack_rows.py), every server, compositor and window manager the real one
from Debian's packages, reached by the row's route (routes.py).

Where drawing can work, the window is shown, its picture is exact for the size
the window manager gave it, and a close sent the way that stack sends it ends
the program with status 0. Where it cannot, the program ends at once with its
status and its own line, presents no frame, and scripts/run names the cause.
"""

import json
import os
import re
import subprocess
import tempfile
import time
import unittest
from contextlib import ExitStack

import pytest

from routes import Row, close_button, free_port
from sfmlcheck import oracle
from sfmlcheck.procs import Timeout, stop_process
from sfmlcheck.program import linked
from stack_files import FILES
from stack_rows import DESKTOPS, SHORTCUT_SERVICES, STACKS, Close, Way
from suite import (CLOSE_DEADLINE, START_TIMEOUT, missing_display, run_script, sanitizer_env,
                   wait_for)

WRONG_DRIVER_LIB = os.environ["WRONG_DRIVER_LIB"]
# Batched after a close request, to show the close is not lost among them:
# key presses and motions, one flush of Xlib's output buffer in all.
BATCHED_EVENTS = 100


@pytest.mark.parametrize("stack", STACKS, ids=lambda stack: stack.name)
def test_stack_works_or_says_why(stack):
    unmet = stack.unmet()
    if unmet:
        pytest.skip(f"{stack.name}: {unmet}")
    status, said, verdict = Checks("run_stack").run_stack(stack)
    print(f"\n{stack.name} | {status} | {said} | {verdict}")


@pytest.mark.parametrize("stack", DESKTOPS, ids=lambda stack: stack.name)
def test_desktop_closes_every_way(stack):
    unmet = stack.unmet()
    if unmet:
        pytest.skip(f"{stack.name}: {unmet}")
    size, exits = Checks("run_desktop").run_desktop(stack)
    print(f"\n{stack.name} | {size} | {exits}")


class Checks(unittest.TestCase):
    """What a row is checked for, with unittest's assertions."""

    def start_row(self, stack, cleanup):
        """The row's folder, files, session and clients: the session, and
        what the route is given of the row."""
        tmp = cleanup.enter_context(tempfile.TemporaryDirectory(prefix="sfml-works-stack-"))
        row = Row(tmp, free_port(), cleanup)
        linked(WRONG_DRIVER_LIB, tmp)
        for name, text in FILES.items():
            with open(os.path.join(tmp, name), "w") as f:
                f.write(text.format(tmp=tmp, port=row.port))
        x = cleanup.enter_context(stack.route.session(stack, tmp, cleanup))
        for client in stack.clients:
            x.spawn([arg.format(tmp=tmp, port=row.port) for arg in client],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return x, row

    def run_stack(self, stack):
        with ExitStack() as cleanup:
            x, row = self.start_row(stack, cleanup)
            if stack.covered:
                # Most of the screen: the window can only be placed partly under it.
                x.spawn(["xmessage", "-geometry", "1280x900+0+0", "-title", "cover", "cover"],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                wait_for(lambda: x.run(["wmctrl", "-r", "cover", "-b", "add,above"],
                                       check=False).returncode == 0,
                         START_TIMEOUT, "the covering window to be kept above")
            env = dict(x.env)
            env.update((name, value.format(tmp=row.tmp)) for name, value in stack.env)
            env["DISPLAY"] = stack.display.format(display=x.display, missing=missing_display())
            if not env["DISPLAY"]:
                del env["DISPLAY"]
            if stack.status == 0 and stack.diagnosis:
                return 0, "", self.check_script(x, env, stack, stack.route.launch(x, env, row))
            launch = stack.route.launch(x, env, row)
            program = x.start_program(env=env, wrapper=launch.wrapper, binary=launch.binary,
                                      user=launch.user)
            if stack.status == 0:
                self.check_works(x, program, stack, launch.viewer)
                return 0, "", ""
            return self.check_fails(x, env, stack, program, launch)

    def check_fails(self, x, env, stack, program, launch):
        """The program ends at once with the row's status and words, having
        presented nothing; scripts/run names the cause."""
        if stack.runaway and wait_for(
                lambda: not program.running() or program.ran_away(), START_TIMEOUT,
                "the program to end") and program.running():
            stop_process(program.proc)
            return "ran away", "", self.check_script(x, env, stack, launch)
        status, _ = program.wait_exit(START_TIMEOUT)
        self.assertEqual(status, stack.status, program.stderr())
        self.assertRegex(program.stderr(), re.compile(stack.says, re.M))
        self.assertEqual(program.frames(), 0)
        said = re.search(f".*(?:{stack.says}).*", program.stderr(), re.M).group(0)
        return status, said, self.check_script(x, env, stack, launch)

    def assert_exact(self, x, window):
        """The window shows the exact picture for the size it was given."""
        image = x.capture(window)
        size = (image.width, image.height)
        _, wrong = oracle.window_mismatches(image)
        self.assertEqual(wrong, [], f"{size}: " + oracle.describe(wrong))

    def wait_exact(self, x, window, viewer=None):
        """Wait until the screen shows the window's exact picture for the size
        it has, as a person waits to see it: a tiling window manager may still
        be sizing it, and a compositor fading it in (mutter's takes a third of
        a second, and ignores a click on the close button meanwhile); return
        that size."""
        seen = []

        def exact():
            image = x.capture(window, composited=True, viewer=viewer)
            _, wrong = oracle.window_mismatches(image)
            seen[:] = [f"{image.width} x {image.height}", oracle.describe(wrong)]
            return not wrong and seen[0]
        try:
            return wait_for(exact, START_TIMEOUT, "the exact picture")
        except Timeout as error:
            raise AssertionError(f"{error}; at {seen[0]}, {seen[1]}") from None

    def check_works(self, x, program, stack, viewer=None):
        window = program.wait_window()
        stack.route.check(self, program)
        self.assert_exact(x, window)
        if viewer:
            # Seen, and closed by its close button, through the client.
            self.wait_exact(x, window, viewer)
            viewer[0].run(["xdotool", "mousemove", *close_button(x, window), "click", "1"])
        else:
            self.close(x, window, stack.close)
        status, _ = program.wait_exit(START_TIMEOUT)
        self.assertEqual(status, 0, program.stderr())

    def close(self, x, window, how):
        if how is Close.WMCTRL:
            x.close_window(window)
        elif how is Close.I3:
            x.run(["i3-msg", f"[id={window}] kill"])
        else:
            x.xpoke("delete", window, BATCHED_EVENTS if how is Close.BATCH else 0)

    def run_desktop(self, stack):
        """The window shown with the exact picture and closed each way in turn,
        each by a program of its own; what was seen, for the table."""
        with ExitStack() as cleanup:
            x, row = self.start_row(stack, cleanup)
            if stack.name in SHORTCUT_SERVICES:
                wait_for(lambda: "boolean true" in x.run(
                    ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                     "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                     f"string:{SHORTCUT_SERVICES[stack.name]}"], check=False).stdout.decode(),
                    START_TIMEOUT, SHORTCUT_SERVICES[stack.name])
            # A window manager that has just started may spend the first key
            # it gets on loading its keyboard map (mutter and kwin lose about
            # one first Alt+F4 in two so); a person's session has had keys
            # pressed long before a window is closed.
            x.run(["xdotool", "key", "shift"])
            display = stack.route.program_display(x, row.tmp)
            program_env = dict(x.env, DISPLAY=display) if display else None
            exits, size = [], None
            for way in stack.closes:
                program = x.start_program(env=program_env)
                window = program.wait_window()
                size = self.wait_exact(x, window)
                start = time.monotonic()
                self.close_as_a_person(x, window, way, stack.key)
                try:
                    status, _ = program.wait_exit(CLOSE_DEADLINE)
                except AssertionError as error:
                    raise AssertionError(f"closed by {way.value}: {error}") from None
                took = time.monotonic() - start
                self.assertEqual(status, 0, f"closed by {way.value}: " + program.stderr())
                exits.append(f"{way.value}: {took:.2f}")
                x.wait_no_windows()
            return size, ", ".join(exits)

    def close_as_a_person(self, x, window, way, key):
        if way is Way.REQUEST:
            x.close_window(window)
        elif way is Way.KEY and len(key) > 1:
            x.run(list(key))
        elif way is Way.KEY:
            # To the focused window, as a keyboard sends it: xdotool's
            # --window would leave the keys held once the window is gone.
            wait_for(lambda: x.run(["xdotool", "getwindowfocus"]).stdout.decode().strip()
                     == str(window), START_TIMEOUT, "the window to have the focus")
            x.run(["xdotool", "key", key[0]])
        else:
            x.run(["xdotool", "mousemove", *close_button(x, window), "click", "1"])

    def check_script(self, x, env, stack, launch):
        """scripts/run on this display, by the row's route: its FAILED line,
        or, on a stack where it shows the window, its whole output once the
        window is closed."""
        argv = stack.route.script([*run_script(x.tmp), *stack.args], launch)
        status, output, _ = x.run_until_shown(
            argv, lambda window: self.close(x, window, stack.close), sanitizer_env(env))
        self.assertRegex(output, re.compile(stack.diagnosis, re.M))
        # The shell's own job messages never reach the user.
        self.assertNotRegex(output, r"line \d+: +\d+ ")
        self.assertEqual(status, 0 if stack.shown else 1, output)
        verdict = re.search("^(OK|FAILED): .*", output, re.M)
        self.assertEqual(verdict.group(1), "OK" if stack.shown else "FAILED", output)
        with open(os.path.join(x.tmp, "latest", "sfml-works-verdict.json")) as f:
            self.assertEqual(json.load(f)["failure"], stack.failure or None, output)
        return verdict.group(0)
