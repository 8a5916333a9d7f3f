"""scripts/run, the README's first command, in both of its modes."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

from sfmlcheck import oracle
from sfmlcheck.session import SCREEN, UserDisplay
from suite import SIZE, START_TIMEOUT, Image, XSession, run_script, sanitizer_env

SCRIPT_TIMEOUT = 600
# The X tools the checker runs on every headless run.
BROKEN_TOOLS = ("xprop", "xwininfo", "import", "glxinfo", "wmctrl", "xdpyinfo")
# What scripts/run says when all went well: what was proven, in one line.
PROVEN = (r"^OK: SFML 2\.[\d.]+ works on {display}: X server .+, window manager Openbox, "
          r"direct rendering by .+ with OpenGL [1-9].*, (\d+) frames per second; "
          r"exact picture on the screen and the drawn frame, window captured to (\S+\.png), "
          r"closed by {closer} with status 0; verdict in (\S+\.json)\.$")


# Xvfb as xvfb-run starts it: it resets whenever its last client leaves.
RESETTING = ("Xvfb", "-screen", "0", f"{SCREEN}x24", "-nolisten", "tcp")


class RunScriptTest(unittest.TestCase):
    def setUp(self):
        self.output = tempfile.mkdtemp(prefix="sfml-works-run-")
        self.addCleanup(shutil.rmtree, self.output, ignore_errors=True)

    def test_headless_run_captures_and_closes_the_window(self):
        env = sanitizer_env({k: v for k, v in os.environ.items() if k != "DISPLAY"})
        junit = os.path.join(self.output, "junit.xml")
        # The JSON on standard output, for a CI step to read; the line then
        # goes to standard error.
        result = subprocess.run([*run_script(self.output), "--json", "-", "--junit", junit],
                                env=env, capture_output=True, text=True,
                                timeout=SCRIPT_TIMEOUT, stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        report = re.search(PROVEN.format(display=r"a private Xvfb display :\d+",
                                         closer="the window manager"), result.stderr, re.M)
        self.assertIsNotNone(report, result.stdout + result.stderr)
        self.assertGreater(int(report.group(1)), 0)
        # The same facts, for machines.
        with open(report.group(3)) as f:
            verdict = json.load(f)
        self.assertEqual(json.loads(result.stdout), verdict)
        self.assertEqual((verdict["schema"], verdict["verdict"], verdict["cause"],
                          verdict["window_manager"], verdict["frames_per_second"],
                          verdict["sfml_source"]),
                         (1, "OK", "", "Openbox", int(report.group(1)), "given"))
        self.assertIsNone(verdict["failure"])
        # Every step a passed case but the build, which a given program skips.
        cases = ElementTree.parse(junit).getroot().iter("testcase")
        self.assertEqual([(case.get("name"), [child.tag for child in case]) for case in cases],
                         [("the build", ["skipped"]), *((name, []) for name in (
                             "the window", "the picture drawn", "the picture shown",
                             "the frame rate", "the close", "the exit"))])

        # The screenshot is the window's picture.
        image = Image.read(report.group(2))
        self.assertEqual((image.width, image.height), (SIZE, SIZE))
        wrong = oracle.mismatches(image)
        self.assertEqual(wrong, [], oracle.describe(wrong))

    def test_run_with_a_display_shows_the_window_and_returns_its_status(self):
        with XSession() as x:
            # The script says when the window shows the circle; a person
            # closes it then, and so does this test.
            def close(window):
                self.assertEqual(x.size(window), (SIZE, SIZE))
                x.close_window(window)
            status, output, shown = x.run_until_shown(run_script(self.output), close,
                                                      sanitizer_env(x.env))
            self.assertTrue(shown, "scripts/run ended before showing the window: " + output)
            self.assertEqual(status, 0, output)
            self.assertIn(f"Running sfml-works on {x.display}", output)
            self.assertNotIn("no window manager", output)
            self.assertRegex(output, re.compile(PROVEN.format(display=re.escape(x.display),
                                                              closer="you"), re.M))

    def test_run_on_a_display_that_stopped_answering_says_so(self):
        # A real server, stopped as a frozen one is: it takes connections and
        # says nothing.
        with XSession(window_manager=False) as x:
            # A stopped server cannot act on the signal that ends it. This
            # guard continues it as the guard is ended: by the session, before
            # the server, or with this test, should the test be killed.
            x.spawn(["sh", "-c", f"trap 'kill -CONT {x.xvfb.pid}; exit' TERM; "
                     "while sleep 1; do :; done"])
            os.kill(x.xvfb.pid, signal.SIGSTOP)
            result = subprocess.run(run_script(self.output), env=sanitizer_env(x.env),
                                    capture_output=True, text=True, timeout=SCRIPT_TIMEOUT,
                                    stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertRegex(result.stderr, re.compile(r"^FAILED: the X server on :\d+ does not "
                                                   r"answer: wmctrl had no reply within", re.M))
        # Where the client waited is said too: in the kernel, for the reply.
        self.assertRegex(result.stderr, re.compile(r"^==> wmctrl was stopped while in state S, "
                                                   r"sleeping in \S+$", re.M))
        with open(os.path.join(self.output, "latest", "sfml-works-verdict.json")) as f:
            self.assertEqual(json.load(f)["failure"], "no-answer")

    def test_a_failing_tool_is_the_checkers_trouble_named_at_once(self):
        # Each X tool the checker runs, broken (a foreign or damaged one
        # first on PATH): the verdict names it, its command and its words,
        # blames no X server, and comes at once, with its own status.
        for tool in BROKEN_TOOLS:
            with self.subTest(tool=tool), tempfile.TemporaryDirectory() as bin_folder:
                broken = os.path.join(bin_folder, tool)
                with open(broken, "w") as f:
                    f.write(f"#!/bin/sh\necho '{tool}: symbol lookup error' >&2\nexit 1\n")
                os.chmod(broken, 0o755)
                env = sanitizer_env({k: v for k, v in os.environ.items() if k != "DISPLAY"})
                env["PATH"] = f"{bin_folder}:{env['PATH']}"
                env["GITHUB_ACTIONS"] = "true"
                result = subprocess.run(run_script(self.output), env=env, capture_output=True,
                                        text=True, timeout=SCRIPT_TIMEOUT,
                                        stdin=subprocess.DEVNULL)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertRegex(result.stderr, re.compile(
                    rf"^FAILED: the checker could not do its job: .*\b{tool} \({tool}\b.*\) "
                    rf"exited with status 1 and said: {tool}: symbol lookup error; this is no "
                    r"fault of the X server", re.M))
                with open(os.path.join(self.output, "latest", "sfml-works-verdict.json")) as f:
                    verdict = json.load(f)
                self.assertEqual((verdict["failure"], verdict["command"][0]),
                                 ("checker-error", tool))
                self.assertTrue(os.path.getsize(verdict["traceback"]))
                # Under GitHub Actions, one annotation of it.
                self.assertRegex(result.stdout, r"^::error title=sfml-works%3A checker-error::"
                                 r"the checker could not do its job: [^\n]*\n$")

    def test_a_display_that_resets_is_held_for_the_run(self):
        # A reset clears the root window's properties: a mark set by a client
        # is gone as that client, the last, leaves; held, it stays.
        mark = ("-root", "-f", "SFML_WORKS_MARK", "8s", "-set", "SFML_WORKS_MARK")
        with XSession(window_manager=False, server=RESETTING) as x:
            x.run(["xprop", *mark, "unheld"])
            self.assertNotIn("unheld", x.xprop_root("SFML_WORKS_MARK"))
            with UserDisplay(x.display) as display:
                display.hold(START_TIMEOUT)
                x.run(["xprop", *mark, "held"])
                self.assertIn("held", x.xprop_root("SFML_WORKS_MARK"))

    def test_runs_side_by_side_keep_their_own_verdicts(self):
        env = sanitizer_env({k: v for k, v in os.environ.items() if k != "DISPLAY"})
        runs = [subprocess.Popen(run_script(self.output), env=env, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True, stdin=subprocess.DEVNULL)
                for _ in range(2)]
        outputs = [run.communicate(timeout=SCRIPT_TIMEOUT)[0] for run in runs]
        verdicts = []
        for run, output in zip(runs, outputs):
            self.assertEqual(run.returncode, 0, output)
            found = re.search(r"^OK: .* works on a private Xvfb display (:\d+): .*verdict in "
                              r"(\S+)\.$", output, re.M)
            with open(found.group(2)) as f:
                verdicts.append(json.load(f))
            self.assertEqual((verdicts[-1]["verdict"], verdicts[-1]["display"]),
                             ("OK", found.group(1)))
        self.assertNotEqual(verdicts[0]["screenshot"], verdicts[1]["screenshot"])
        with open(os.path.join(self.output, "latest", "sfml-works-verdict.json")) as f:
            self.assertIn(json.load(f), verdicts)
