"""The checker's logic without X: the diagnosis on the texts the stacks'
servers, GLX and the program really print, the judgements and the oracle on
pictures made from geometry, the report's files, the frame counter's file,
and the catalogue of causes against the README and the rows."""

import argparse
import itertools
import sys
import json
import os
import xml.etree.ElementTree as ElementTree
import re
import socket
import struct
import subprocess
import tempfile

import pytest

from sfmlcheck import fleet, judge, options, oracle
from sfmlcheck.causes import DETAILS, Cause, Failure, ToolFailed, checker_error
from sfmlcheck.diagnosis import Facts, explain, no_answer, off_screen, runaway, worth_showing
from sfmlcheck.facts import VERSION
from sfmlcheck.judge import settled
from sfmlcheck.pictures import Image
from sfmlcheck.program import Count, Counter, frames_per_second
from sfmlcheck.report import Report
from sfmlcheck.verdict import Proof, Step, Verdict
from sfmlcheck.writers import github_error, json_text, junit, rate
from sfmlcheck.run import wayland_without_x
from sfmlcheck.session import private_display
from stack_rows import DESKTOPS, STACKS
from suite import SOURCE_DIR

sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))
import docs  # noqa: E402  (tools/docs.py: the pages made from the catalogue)

# Jenkins' schema for JUnit reports, beside the checkout where there is one.
JUNIT_XSD = os.path.join(SOURCE_DIR, os.pardir, "shared", "schemas", "junit-10.xsd")

# What xdpyinfo says of an Xvfb, cut to the lines around those the diagnosis
# reads; depth, screens and the GLX line as each stack has them.
XDPYINFO = """name of display:    :1
version number:    11.0
vendor string:    The X.Org Foundation
vendor release number:    12101007
number of extensions:    {count}
{extensions}number of screens:    {screens}
{sections}"""
SCREEN = """screen #{n}:
  dimensions:    1280x1024 pixels (325x260 millimeters)
  depth of root window:    {depth} planes
"""
GLXINFO = """name of display: :1
display: :1  screen: 0
direct rendering: {direct}
OpenGL renderer string: llvmpipe (LLVM 15.0.6, 256 bits)
"""
OUR_LINE = ("sfml-works: the window opened, but its OpenGL context (version 0.0) cannot "
            "draw: drawing needs OpenGL 1.1")
OLD_GLX = ("X Error of failed request:  GLXUnsupportedPrivateRequest\n"
           "  Major opcode of failed request:  143 (GLX)\n"
           "  Minor opcode of failed request:  17 (X_GLXVendorPrivateWithReply)\n")
NO_DRIVER = ("libGL error: MESA-LOADER: failed to open swrast: /tmp/x/swrast_dri.so: cannot "
             "open shared object file: No such file or directory (search paths /tmp/x)\n"
             "libGL error: failed to load driver: swrast\n")


def server(depth=24, glx=True, depths=None, untrusted=False):
    """xdpyinfo's text; untrusted, as a client the server trusts less sees it."""
    depths = depths or [depth]
    extensions = ("BIG-REQUESTS", "XC-MISC") if untrusted else \
        ("Composite", *(("GLX",) if glx else ()), "MIT-SHM", "RENDER")
    return XDPYINFO.format(count=len(extensions),
                           extensions="".join(f"    {name}\n" for name in extensions),
                           screens=len(depths),
                           sections="".join(SCREEN.format(n=n, depth=d)
                                            for n, d in enumerate(depths)))


# Each stack that fails, as the checker sees it: the facts gathered, the
# cause's identifier, and what its failure must be worded from: its sentence
# (variant) and advice, where not the default, and facts.
FAILURES = [
    ("no-server", dict(display=":4000", server_answered=False,
                       server='xdpyinfo:  unable to open display ":4000".\n'),
     "no-x-server", dict(display=":4000")),
    # A local display whose socket file is gone, on WSL or not.
    *((name, dict(display=":0", server_answered=False, socket="/tmp/.X11-unix/X0", **found),
       "missing-socket", dict(socket="/tmp/.X11-unix/X0", **expected))
      for name, found, expected in (
        ("socket-missing", {}, dict(link="", advice="")),
        ("socket-dangling", dict(link="/gone/X0"), dict(link="/gone/X0", advice="")),
        ("wslg-unlinked", dict(wsl=True, wslg="/mnt/wslg/.X11-unix/X0"),
         dict(wslg="/mnt/wslg/.X11-unix/X0", advice="wslg")),
        ("wslg-stopped", dict(wsl=True), dict(wslg="", advice="wsl")))),
    ("refused", dict(server_answered=False, server="Authorization required, but no "
                     'authorization protocol specified\nxdpyinfo:  unable to open display ":1".'),
     "auth-refused", dict(display=":1")),
    ("missing-screen", dict(display=":1.1", server_answered=False, screens=1,
                            server='xdpyinfo:  unable to open display ":1.1".'),
     "missing-screen", dict(base=":1", screens=1, screen=1)),
    ("depth-16", dict(server=server(16), status=1), "shallow-screen",
     dict(screen=0, depth=16, needed=24)),
    # A shallow screen has no GLX: its depth is what to name.
    ("depth-8", dict(server=server(8, glx=False), status=-11), "shallow-screen", dict(depth=8)),
    ("no-glx", dict(server=server(glx=False), status=-11), "no-glx", dict(display=":1")),
    # A server hides GLX, with the rest, from a client it trusts less.
    ("untrusted-ssh", dict(server=server(untrusted=True), status=-11, ssh=True),
     "untrusted-client", dict(variant="ssh", advice="ssh")),
    ("untrusted-cookie", dict(server=server(untrusted=True), status=-11), "untrusted-client",
     dict(variant="", display=":1")),
    # nxagent's GLX refuses what Mesa asks glxinfo and the program alike.
    *((name, dict(glx=OLD_GLX, stderr=OLD_GLX, status=1, agent=agent), "old-glx",
       dict(agent=agent, refused=True, request="X_GLXVendorPrivateWithReply"))
      for name, agent in (("nxagent", "3.5.99.26"), ("old-glx", ""))),
    # Mesa 25 and 26 ask it for a framebuffer configuration, and find none.
    ("nxagent-mesa-25", dict(glx="Error: couldn't find RGB GLX visual or fbconfig\n",
                             status=-11, agent="3.5.99.27"), "old-glx",
     dict(agent="3.5.99.27", refused=False)),
    ("indirect-allowed", dict(indirect="1", glx=GLXINFO.format(direct="No"), stderr=OUR_LINE,
                              status=1),
     "indirect", dict(variant="said", said=OUR_LINE[len("sfml-works: "):])),
    # Debian 13's Xvfb crashes as it makes an indirect context.
    ("indirect-server-crash", dict(display=":0", indirect="1", server_answered=False, status=1,
                                   server='xdpyinfo:  unable to open display ":0".\n',
                                   stderr="X connection to :0 broken (explicit kill or server "
                                   "shutdown).\r\n"), "indirect",
     dict(variant="server-lost", advice="server-lost", lost="X connection to :0 broken")),
    ("indirect-refused", dict(indirect="true", stderr="Failed to create an OpenGL context for "
                              "this window\nX Error of failed request:  BadValue\n", status=1),
     "indirect", dict(variant="", said="")),
    ("indirect-unasked", dict(glx=GLXINFO.format(direct="No (LIBGL_ALWAYS_INDIRECT set)"),
                              status=1), "indirect", dict(variant="")),
    # Mesa renders indirectly when no driver loads: the driver is the cause.
    ("no-driver", dict(glx=GLXINFO.format(direct="No"), stderr=NO_DRIVER, status=1),
     "no-driver", dict(advice="", error=NO_DRIVER.splitlines()[0][:120])),
    # Mesa 24 and later say it without libGL's prefix.
    *((name, dict(glx=GLXINFO.format(direct="No"), stderr=said, status=1), "no-driver",
       dict(error=said.splitlines()[0]))
      for name, said in (
        ("no-driver-mesa-25", "failed to load driver: iris\n"),
        ("no-dri3-screen", "glx: failed to create dri3 screen\nfailed to load driver: iris\n"),
        ("zink", "MESA: error: ZINK: failed to choose pdev\nglx: failed to create drisw screen\n"),
        ("other-mesa-build", "DRI driver not from this Mesa build ('25.0.7' vs '25.2.3')\n"))),
    # A driver named by GALLIUM_DRIVER that Mesa does not have, as Mesa 25 and 26 say it
    # (Debian 13 and forky alike).
    ("driver-override", dict(glx="glx: failed to create drisw screen\nX Error of failed request:"
                             "  BadValue (integer parameter out of range for operation)\n",
                             stderr="Setting vertical sync not supported\nglx: failed to create "
                             "drisw screen\nFailed to create an OpenGL context for this window\n",
                             status=1, overrides="GALLIUM_DRIVER=nosuchdriver"), "no-driver",
     dict(advice="override", overrides="GALLIUM_DRIVER=nosuchdriver",
          error="glx: failed to create drisw screen")),
    # What SFML prints where all is well is no cause.
    ("harmless-lines", dict(stderr="Setting vertical sync not supported\nFailed to create input "
                            "context for window -- TextEntered event won't be able to return "
                            "unicode\n", status=1), "exit-status", dict(status=1)),
    ("second-screen-2.5", dict(display=":1.1", server=server(depths=[24, 24]), stderr=
                               "X Error of failed request:  BadMatch\n", status=1, sfml="2.5.1"),
     "other-screen-needs-2.6", dict(screen=1, sfml="2.5.1", needed="2.6", base=":1")),
    ("second-screen-2.6", dict(display=":1.1", server=server(depths=[24, 24]), status=1,
                               sfml="2.6.2"), "exit-status", dict(status=1)),
    ("program-failed", dict(stderr="sfml-works: the window could not be opened\n", status=1),
     "program-failed", dict(said="the window could not be opened")),
    ("crash", dict(status=-11), "crash", dict(signal=11, name="SEGV")),
    ("aborted", dict(status=-6), "crash", dict(signal=6, name="ABRT")),
]


def worded_from(failure, expected):
    """The failure's variant, advice and facts that expected names."""
    seen = dict(failure.facts, variant=failure.variant, advice=failure.advice)
    return {name: seen.get(name) for name in expected}


@pytest.mark.parametrize("facts, failure, expected", [row[1:] for row in FAILURES],
                         ids=[row[0] for row in FAILURES])
def test_diagnosis_names_the_cause(facts, failure, expected):
    facts = {"display": ":1", "server": server(), "glx": GLXINFO.format(direct="Yes"),
             **facts}
    found = explain(Facts(**facts))
    assert found.id == failure, found
    assert worded_from(found, expected) == expected, found


def stretched(image, columns):
    """The picture moved right by this many columns, black coming in."""
    row = image.width * 3
    pixels = b"".join((b"\0" * 3 * columns + image.pixels[y * row:(y + 1) * row])[:row]
                      for y in range(image.height))
    return Image(image.width, image.height, pixels)


def recoloured(image, old, new):
    array = image.array().copy()
    array[(array == old).all(axis=2)] = new
    return Image.of(array)


# Window sizes and the scenes they may show: the window's own size, the
# initial scene stretched over another size, and a scene of the first of two
# sizes stretched over the second.
SCENES = [((200, 200), (200, 200)), ((1276, 984), (1276, 984)), ((400, 300), (200, 200)),
          ((1274, 1000), (1270, 997)), ((201, 200), (203, 198))]
# Near misses, and the words each must be judged with.
MISSES = [
    (lambda image: stretched(image, 3), r"wrong place|out of (shape|place)"),
    (lambda image: recoloured(image, (0, 255, 0), (0, 0, 255)),
     r"the circle is rgb\(0, 0, 255\), not green"),
    (lambda image: recoloured(image, (0, 0, 0), (128, 0, 0)),
     r"the background is rgb\(128, 0, 0\), not black"),
    (lambda image: Image(image.width, image.height, bytes(len(image.pixels))),
     r"^only black, no circle"),
]


@pytest.mark.parametrize("size, scene", SCENES, ids=[f"{s[0]}x{s[1]}" for s, _ in SCENES])
def test_oracle_takes_the_exact_picture_and_no_near_miss(size, scene):
    image = oracle.expected_image(*size, scene)
    assert oracle.judge(image)[:3] == ("", 0, scene)
    for miss, words in MISSES:
        judgement = oracle.judge(miss(image))
        assert judgement.count > 0 and re.search(words, judgement.words), \
            judgement
        assert judgement.black == words.startswith("^only black")
    # Fewer points, or a smaller circle, are other pictures.
    if size == (200, 200):
        assert len(oracle.mismatches(image, points=40)) > 20
        assert len(oracle.mismatches(image, radius=99.0)) > 20


def test_comparison_shows_expected_found_and_difference():
    image = stretched(oracle.expected_image(200, 200, (200, 200)), 3)
    judgement = oracle.judge(image)
    picture = oracle.comparison(image, judgement.scene)
    assert (picture.width, picture.height) == (3 * 200 + 2 * 8, 200)
    assert picture.array()[:, 208:408].tobytes() == image.pixels
    # Red wherever the pixel is not the expected one's; on an edge, either may be.
    red = (picture.array()[:, 2 * 208:] == (255, 0, 0)).all(axis=2).sum()
    assert judgement.count <= red <= judgement.count + 60


def test_counter_file_is_read_and_asked_for_a_capture():
    with tempfile.TemporaryDirectory() as folder:
        counter = Counter(os.path.join(folder, "frames"))
        assert counter.read() == Count()  # before the program loads it
        with open(counter.path, "wb") as f:
            f.write(struct.pack("<5Q", 120, 10**9, 3 * 10**9, 4, 4))
        assert counter.read() == Count(120, 10**9, 3 * 10**9, 4, 4)
        assert counter.request_captures(3) == range(4, 7)
        assert counter.read().requested == 7 and counter.read().frames == 120
        assert counter.capture_path(5) == counter.path + ".5.ppm"
    before, after = Count(100, 0, 10**9), Count(160, 0, 10**9 + 5 * 10**8)
    assert frames_per_second(before, after) == 120
    # One frame in 1.5 s is 0.7 frames per second, not none.
    assert round(frames_per_second(before, Count(101, 0, 25 * 10**8)), 1) == 0.7
    assert frames_per_second(after, after) == 0


def test_only_pictures_of_the_last_size_count():
    # A frame drawn for the size before a window manager sized the window
    # again is no flicker: the pictures of the size the window settled at count.
    small, large = Image(2, 2, bytes(12)), Image(3, 2, bytes(18))
    seen = [(small, "a"), (large, "b"), (large, "c")]
    assert settled(seen) == seen[1:]
    assert settled([]) == []


# Causes found outside the program's end, worded from what the run saw:
# the failure, its identifier, and what it is worded from.
FOUND = [
    ("runaway-indirect", runaway("1", 2), "indirect",
     dict(variant="ran-away", advice="ran-away", limit_gib=2)),
    ("runaway", runaway("", 2), "runaway", dict(limit_gib=2)),
    ("no-answer", no_answer(":1", "wmctrl", 15, False), "no-answer",
     dict(display=":1", tool="wmctrl", seconds=15)),
    ("client-hung", no_answer(":1", "import", 60, True), "client-hung",
     dict(tool="import", seconds=60)),
    # SFML 2.5 puts a window below a wide screen where no window manager runs.
    ("off-screen-2.5", off_screen((1180, 1180, 200, 200), (2560, 1080), "2.5.1", ""),
     "off-screen", dict(variant="placement", x=1180, y=1180, width=2560, height=1080,
                        needed="2.6")),
    ("off-screen-placed", off_screen((-300, 10, 200, 200), (1280, 1024), "2.6.2", "Openbox"),
     "off-screen", dict(variant="", x=-300, wm="Openbox")),
    ("no-window", judge.no_window(30), "no-window", dict(seconds=30)),
    ("never-shown", judge.never_shown(""), "never-shown", dict(wm="none")),
    ("no-frame", judge.no_frame(30), "no-frame", dict(variant="", seconds=30)),
    ("no-frame-covered", judge.no_frame(30, '"cover"'), "no-frame",
     dict(variant="covered", cover='"cover"')),
    ("closed-early", judge.closed_early(), "closed-early", {}),
    ("close-failed", judge.close_failed("wmctrl", "X Error of failed request: BadWindow"),
     "close-failed", dict(how="wmctrl", said="X Error of failed request: BadWindow")),
    ("close-ignored", judge.close_ignored(10), "close-ignored", dict(seconds=10)),
    ("crash-at-exit", judge.at_exit(Cause.CRASH.found(signal=11, name="SEGV")),
     "crash-at-exit", dict(signal=11, name="SEGV")),
    ("status-at-exit", judge.at_exit(Cause.EXIT_STATUS.found(status=3)), "exit-status",
     dict(status=3)),
    ("wayland-without-x", wayland_without_x(), "wayland-without-x", {}),
]


@pytest.mark.parametrize("found, failure, expected", [row[1:] for row in FOUND],
                         ids=[row[0] for row in FOUND])
def test_causes_found_on_the_way_are_named(found, failure, expected):
    assert found.id == failure and worded_from(found, expected) == expected, found


EXACT = oracle.expected_image(200, 200, (200, 200))
GREY = Image(200, 200, bytes([128]) * 200 * 200 * 3)
BLACK = Image(200, 200, bytes(200 * 200 * 3))
MOVED = stretched(EXACT, 5)
BIGGER = oracle.expected_image(300, 200, (200, 200))


def looks(*images):
    return judge.judged_all(images)


# What the first drawn frames and looks at the screen prove, or which failure
# they show: drawn, screen (None: unreadable), a covering window's name, and
# the identifier or, for a proof, what it was proven on.
FIRST_LOOKS = [
    ("exact", looks(EXACT, EXACT), looks(EXACT, EXACT), None, "the screen and the drawn frame"),
    ("screen-alone", [], looks(EXACT), None, "the screen"),
    ("screen-unread", looks(EXACT), None, None, "the drawn frame (the screen could not be read)"),
    ("covered", looks(EXACT), looks(GREY), '"cover"',
     'the drawn frame (the window "cover" covers it on the screen)'),
    # A frame of the size before a resize is no flicker.
    ("resized", looks(BIGGER, EXACT), looks(EXACT), None, "the screen and the drawn frame"),
    ("draws-nothing", looks(BLACK), looks(BLACK), None, "draws-nothing"),
    ("black-screen-alone", [], looks(BLACK), None, "draws-nothing"),
    ("drawn-wrong", looks(MOVED, MOVED), looks(MOVED), None, "drawn-wrong"),
    ("drawn-flickers", looks(EXACT, MOVED, EXACT), looks(EXACT), None, "flickers"),
    ("shown-flickers", looks(EXACT), looks(EXACT, GREY), None, "flickers"),
    ("shown-wrong", looks(EXACT), looks(GREY), None, "shown-wrong"),
    ("shown-wrong-alone", [], looks(MOVED), None, "shown-wrong"),
]


@pytest.mark.parametrize("drawn, screen, cover, expected", [row[1:] for row in FIRST_LOOKS],
                         ids=[row[0] for row in FIRST_LOOKS])
def test_first_looks_prove_the_picture_or_show_the_failure(drawn, screen, cover, expected):
    outcome = judge.first_looks(drawn, screen, cover)
    if isinstance(outcome, judge.Proven):
        assert outcome.on == expected
        return
    assert outcome.failure.id == expected, outcome.failure
    # The picture to compare is a wrong one, where there is a picture at all.
    assert outcome.image is None or oracle.judge(outcome.image).words


# The same once the frames were counted: right all along, wrong now, or
# wrong on some of them.
LATER_LOOKS = [
    ("still-right", looks(EXACT, EXACT), looks(EXACT), None),
    ("went-wrong-drawn", looks(MOVED, MOVED), [], "went-wrong"),
    # Drawn wrongly now, shown right: wrong on some frames, right on others.
    ("drawn-wrong-shown-right", looks(MOVED, MOVED), looks(EXACT), "flickers"),
    ("went-wrong-shown", [], looks(GREY, GREY), "went-wrong"),
    ("flickers-later", looks(EXACT, MOVED), looks(EXACT), "flickers"),
]


@pytest.mark.parametrize("frames, screen, expected", [row[1:] for row in LATER_LOOKS],
                         ids=[row[0] for row in LATER_LOOKS])
def test_later_looks_find_a_picture_gone_wrong(frames, screen, expected):
    wrong = judge.later_looks(frames, screen)
    assert (wrong and wrong.failure.id) == expected, wrong


def test_frame_rate_is_whole_when_smooth_and_called_slow_below_ten():
    assert rate(1727.6) == (1728, "1728 frames per second")
    fps, words = rate(0.6666)
    assert fps == 0.7 and words.startswith("only 0.7 frames per second: slow (")


# What a run's report writes: the identifier in the JSON, and the exit status.
REPORTS = [
    ("failed", lambda r: Failure(Cause.CRASH, "it crashed"), "crash", 1),
    ("tool-failed", lambda r: checker_error(ToolFailed(["xprop", "-root"], 1, "odd words",
                                                        "x11-utils"), ":3", r.traceback),
     "checker-error", 2),
    ("own-fault", lambda r: checker_error(KeyError("width"), "", r.traceback), "checker-error",
     2),
]


@pytest.mark.parametrize("failure, identifier, status", [row[1:] for row in REPORTS],
                         ids=[row[0] for row in REPORTS])
def test_each_run_reports_in_a_folder_of_its_own(failure, identifier, status, capsys):
    with tempfile.TemporaryDirectory() as output:
        first, second = Report(output), Report(output)
        assert first.folder != second.folder
        assert second.finish(proof_of(PASSED_ALL).verdict()) == 0
        assert first.finish(proof_of([(Step.BUILD, None)]).verdict(
            failure(first), {"traceback": first.traceback})) == status
        with open(os.path.join(output, "latest", "sfml-works-verdict.json")) as f:
            verdict = json.load(f)
        assert (verdict["failure"], verdict["steps"]["window"]["outcome"]) == (
            identifier, "error" if status == 2 else "failed")
        assert Verdict.from_json(verdict).status == status
        with open(second.verdict_path) as f:
            assert json.load(f)["verdict"] == "OK"  # the other run's, untouched
        line = capsys.readouterr().err.splitlines()[-1]
        assert line == f"FAILED: {verdict['cause']}"


def proof_of(decisions, seconds=0.5):
    """A proof of these (step, why skipped or None) in order, each taking
    seconds on a clock of its own."""
    ticks = itertools.count(step=seconds)
    proof = Proof(clock=lambda: next(ticks))
    for step, why in decisions:
        proof.skipped(step, why) if why else proof.passed(step)
    return proof


PASSED_ALL = [(step, None) for step in Step]
WRONG = dict(comparison="/work/ci/out/runs/1/sfml-works-comparison.png")
# The JUnit report of a verdict: the steps decided, the step whose picture
# went wrong, the failure and facts; the counts it must give (failures,
# errors, skipped) and the failed case's name, kind and attachment.
JUNIT = [
    ("ok", PASSED_ALL, None, None, {}, (0, 0, 0), None),
    ("ok-given-program", [(Step.BUILD, "no build in this run")] + PASSED_ALL[1:], None, None,
     {}, (0, 0, 1), None),
    ("drawn-wrong", PASSED_ALL[:2], None, Cause.DRAWN_WRONG, WRONG, (1, 0, 4),
     ("the picture drawn", "failure", "out/runs/1/sfml-works-comparison.png")),
    ("went-wrong-shown", PASSED_ALL[:4], Step.SHOWN, Cause.WENT_WRONG, WRONG, (1, 0, 3),
     ("the picture shown", "failure", "out/runs/1/sfml-works-comparison.png")),
    ("no-window", PASSED_ALL[:1], None, Cause.NO_WINDOW, {}, (1, 0, 5),
     ("the window", "failure", None)),
    ("checker-error", PASSED_ALL[:2], None, Cause.CHECKER_ERROR,
     dict(screenshot="/elsewhere/window.png"), (0, 1, 4),
     ("the picture drawn", "error", "/elsewhere/window.png")),
]


def valid_junit(text):
    """Whether Jenkins' schema for JUnit takes the report: xmllint's words
    where it does not."""
    if not os.path.exists(JUNIT_XSD):
        pytest.skip(f"no JUnit schema to validate against at {JUNIT_XSD}")
    with tempfile.NamedTemporaryFile("w", suffix=".xml") as f:
        f.write(text)
        f.flush()
        result = subprocess.run(["xmllint", "--noout", "--schema", JUNIT_XSD, f.name],
                                capture_output=True, text=True, check=False)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("decisions, wrong, cause, facts, counts, case",
                         [row[1:] for row in JUNIT], ids=[row[0] for row in JUNIT])
def test_junit_report_has_a_case_for_each_step(decisions, wrong, cause, facts, counts, case):
    proof = proof_of(decisions)
    if wrong:
        proof.wrong(wrong)
    failure = Failure(cause, "the driver drew <it> & more") if cause else None
    verdict = proof.verdict(failure, dict(facts, display=":3"), "box")
    text = junit([(None, verdict)], project_dir="/work/ci")
    valid_junit(text)
    root = ElementTree.fromstring(text.encode())
    suite = root.find("testsuite")
    assert root.tag == "testsuites" and suite.get("hostname") == "box"
    testcases = suite.findall("testcase")
    assert [c.get("name") for c in testcases] == [step.title for step in Step]
    assert [float(c.get("time")) for c in testcases] == [
        round(result.seconds, 3) for _, result in verdict.steps]
    for element in (root, suite):
        assert (int(element.get("failures")), int(element.get("errors")),
                int(element.get("tests"))) == (*counts[:2], len(Step))
    assert int(suite.get("skipped")) == counts[2]
    for skipped in suite.iter("skipped"):
        assert skipped.text == skipped.get("message") and skipped.text
    found = [(c.get("name"), child.tag, child.get("type"), child.text,
              c.findtext("system-out")) for c in testcases
             for child in c if child.tag in ("failure", "error")]
    assert found == ([] if case is None else [
        (*case[:2], cause.id, failure.words, case[2] and f"[[ATTACHMENT|{case[2]}]]")])
    assert Verdict.from_json(json.loads(json_text(verdict))) == verdict


def test_verdict_json_follows_its_schema():
    jsonschema = pytest.importorskip("jsonschema")
    with open(os.path.join(SOURCE_DIR, "docs", "verdict.schema.json")) as f:
        schema = json.load(f)
    jsonschema.Draft7Validator.check_schema(schema)
    for name, decisions, wrong, cause, facts, _, _ in JUNIT:
        proof = proof_of(decisions)
        failure = Failure(cause, "words") if cause else None
        jsonschema.validate(proof.verdict(failure, facts).to_json(), schema)
    with pytest.raises(jsonschema.ValidationError):
        jsonschema.validate(dict(proof.verdict().to_json(), verdict="MAYBE"), schema)


# A fleet's hosts as the playbook leaves them: the files that came back
# (a JSON verdict, or its text; Ansible's words), and the host's row in the
# table and its JUnit suite's failures and errors.
OK_FACTS = dict(sfml="2.6.2", renderer="llvmpipe (LLVM 19.1.7, 256 bits)",
                frames_per_second=2890)
# A host of an earlier release: schema 1, with no steps.
OLD_OK = dict(schema=1, verdict="OK", failure=None, cause="", **OK_FACTS)
NO_GLX = proof_of(PASSED_ALL[:1]).verdict(Failure(Cause.NO_GLX, "no GLX there"), dict(
    sfml="2.5.1", renderer=None, frames_per_second=None, comparison="/far/away.png"))
FLEET = [
    ("box-ok", dict(json=proof_of(PASSED_ALL).verdict(None, OK_FACTS).to_json()),
     "box-ok OK - 2.6.2 llvmpipe (LLVM 19.1.7, 256 bits) 2890", (0, 0)),
    ("box-old", dict(json=OLD_OK), "box-old OK - 2.6.2 llvmpipe (LLVM 19.1.7, 256 bits) 2890",
     (0, 0)),
    ("box-no-glx", dict(json=NO_GLX.to_json(), picture=b"png"),
     "box-no-glx FAILED no-glx 2.5.1 - -", (1, 0)),
    ("box-gone", dict(unreachable="Connection refused\n"), "box-gone UNREACHABLE - - - -",
     (0, 1)),
    ("box-silent", {}, "box-silent NO RESULT - - - -", (0, 1)),
    ("box-garbled", dict(text="{not json"), "box-garbled NO RESULT - - - -", (0, 1)),
    ("box-list", dict(json=[1, 2]), "box-list NO RESULT - - - -", (0, 1)),
    ("box-newer", dict(json=dict(OLD_OK, schema=99)), "box-newer NO RESULT - - - -", (0, 1)),
]


def test_fleet_table_and_junit_have_a_row_for_each_host():
    with tempfile.TemporaryDirectory() as folder:
        for host, files, _, _ in FLEET:
            path = os.path.join(folder, host)
            for key, name, data in (("unreachable", ".unreachable", files.get("unreachable")),
                                    ("json", ".json", json.dumps(files.get("json"))),
                                    ("text", ".json", files.get("text"))):
                if key in files:
                    with open(path + name, "w") as f:
                        f.write(data)
            if "picture" in files:
                with open(f"{path}-comparison.png", "wb") as f:
                    f.write(files["picture"])
        hosts = fleet.gather(folder, [host for host, _, _, _ in FLEET])
        text = junit(hosts, project_dir=folder)
    lines = fleet.table(hosts).splitlines()
    assert [" ".join(line.split()) for line in lines[1:len(FLEET) + 1]] == [
        cells for _, _, cells, _ in FLEET]
    assert "box-gone: Connection refused" in lines and "box-no-glx: no GLX there" in lines
    assert lines[-1] == "2 OK, 1 FAILED, 4 NO RESULT, 1 UNREACHABLE of 8 hosts"
    valid_junit(text)
    root = ElementTree.fromstring(text.encode())
    suites = root.findall("testsuite")
    assert [(s.get("name").split(":")[0], int(s.get("failures")), int(s.get("errors")))
            for s in suites] == [(host, *counts) for host, _, _, counts in FLEET]
    assert int(root.get("tests")) == 3 * len(Step) + 5
    failed = suites[2].find("testcase/failure/..")
    assert (failed.find("failure").get("type"), failed.findtext("system-out")) == (
        "no-glx", "[[ATTACHMENT|box-no-glx-comparison.png]]")


def test_github_annotation_is_one_escaped_line():
    verdict = proof_of([]).verdict(Failure(Cause.DRAWN_WRONG, "50% wrong: a, b\nc"))
    assert github_error(verdict) == "::error title=sfml-works%3A drawn-wrong::50%25 wrong: a, " \
        "b%0Ac"


def test_pages_made_from_the_catalogue_and_the_options_are_fresh():
    """docs/causes.md is what tools/docs.py makes of the catalogue today;
    the manual page it makes names every option --help shows."""
    with open(os.path.join(SOURCE_DIR, "docs", "causes.md"), encoding="utf-8") as f:
        assert f.read() == docs.causes_page(), \
            "docs/causes.md is stale: run tools/docs.py causes > docs/causes.md"
    page = docs.manual_page()
    shown = [a.option_strings[0] for a in options.parser()._actions
             if a.help != argparse.SUPPRESS and a.dest != "help"]
    assert shown and all(docs.roff(flag) in page for flag in shown)
    assert "--counter" not in options.parser().format_help()


def test_every_sentence_and_advice_of_the_catalogue_is_worded_whole():
    """The catalogue's own test, the one place that reads its words: each
    sentence and advice of each cause, worded from the examples the docs
    show, names every fact it needs and holds its advice."""
    for cause in Cause:
        examples = docs.EXAMPLES[cause]
        assert {variant for variant, _, _ in examples} == set(cause.says), cause
        used = {cause.found(variant, advice, **facts).advice
                for variant, advice, facts in examples}
        assert used == set(cause.advices), cause
        for variant, advice, facts in examples:
            failure = cause.found(variant, advice, **facts)
            assert failure.words and not re.search(r"[{}]", failure.words), failure
            told = cause.advice(failure.advice, **facts) if cause.advices[failure.advice] \
                else ""
            assert told in failure.words, failure
    assert set(DETAILS) == set(Cause)


# A cause's identifier may be written in one file of the package, the
# catalogue's; these are other facts that happen to share the word.
SHARED_WORDS = {"indirect": {"gather.py"}}  # the rendering fact's value, as glxinfo has it


def test_each_identifier_is_written_once_in_the_package():
    package = os.path.join(SOURCE_DIR, "sfmlcheck")
    texts = {}
    for name in os.listdir(package):
        if name.endswith(".py"):
            with open(os.path.join(package, name), encoding="utf-8") as f:
                texts[name] = f.read()
    for cause in Cause:
        found = {name for name, text in texts.items()
                 if re.search(rf"""["']{re.escape(cause.id)}["']""", text)}
        assert found == {"causes.py"} | SHARED_WORDS.get(cause.id, set()), (cause.id, found)


def test_one_catalogue_of_causes_matches_the_rows():
    catalogue = {cause.id for cause in Cause}
    # A first look proves what it was proven on ("the screen", say), or fails.
    proofs = {row[-1] for row in FIRST_LOOKS if row[-1].startswith("the ")}
    made = {row[2] for row in FAILURES + FOUND + REPORTS} | {
        row[-1] for row in FIRST_LOOKS + LATER_LOOKS} | {stack.failure for stack in STACKS}
    made -= {None, ""} | proofs
    assert made - catalogue == set(), "rows expect causes the catalogue lacks"
    assert catalogue - made == set(), "causes no row makes"
    assert not any(stack.failure for stack in DESKTOPS)
    with pytest.raises(ValueError):
        Cause("no-such-cause")


def test_a_window_partly_on_the_screen_is_not_lost_and_harmless_lines_are_not_shown():
    for area in ((1180, 880, 200, 200), (-199, -199, 200, 200), (0, 0, 200, 200)):
        assert off_screen(area, (1280, 1024), "2.5.1", "") is None, area
    assert worth_showing("Setting vertical sync not supported\nlibGL error: x\n\n") == \
        ["libGL error: x"]


def test_version_is_the_builds():
    with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
        assert re.search(r"^project\(sfml-works\s+VERSION (\S+)", f.read(), re.M).group(1) \
            == VERSION


# Which display a run takes: (asked for a private one, DISPLAY, WAYLAND_DISPLAY
# where {runtime} holds a compositor's socket, wayland-0), and whether private.
DISPLAYS = [
    ("asked", True, ":0", "", True),
    ("x", False, ":0", "", False),
    ("none", False, "", "", True),
    ("wayland-alone", False, "", "wayland-0", False),
    ("wayland-by-path", False, "", "{runtime}/wayland-0", False),
    ("wayland-socket-gone", False, "", "wayland-1", True),
]


@pytest.mark.parametrize("asked, display, wayland, private", [row[1:] for row in DISPLAYS],
                         ids=[row[0] for row in DISPLAYS])
def test_a_private_display_where_asked_or_the_user_has_none(asked, display, wayland, private):
    with tempfile.TemporaryDirectory() as runtime, socket.socket(socket.AF_UNIX) as compositor:
        compositor.bind(os.path.join(runtime, "wayland-0"))
        environ = {"DISPLAY": display, "WAYLAND_DISPLAY": wayland.format(runtime=runtime),
                   "XDG_RUNTIME_DIR": runtime}
        assert private_display(asked, environ) == private


# What scripts/run must build before a run, by its arguments and the files
# there: the plan's two words; None where the arguments are wrong.
PLANS = [
    ("the-build", ["--headless"], [], "private program"),
    ("own-display", [], [], "own program"),
    ("given-with-its-counter", ["--program", "{tmp}/bin/sfml-works"],
     ["bin/sfml-works", "bin/tools/libframe-counter.so"], "own none"),
    ("given-with-the-clones-counter", ["--program", "{tmp}/bin/sfml-works"],
     ["bin/sfml-works", "clone/build/release/tools/libframe-counter.so"], "own none"),
    ("given-alone", ["--program", "{tmp}/bin/sfml-works"], ["bin/sfml-works"], "own counter"),
    ("given-missing", ["--program", "{tmp}/nothing"], [], None),
    ("unknown-option", ["--bogus"], [], None),
]


@pytest.mark.parametrize("argv, files, plan", [row[1:] for row in PLANS],
                         ids=[row[0] for row in PLANS])
def test_scripts_run_builds_only_what_the_run_needs(argv, files, plan, capsys):
    with tempfile.TemporaryDirectory() as tmp:
        for name in files:
            os.makedirs(os.path.dirname(os.path.join(tmp, name)), exist_ok=True)
            open(os.path.join(tmp, name), "w").close()
        argv = ["--clone", os.path.join(tmp, "clone")] + [a.format(tmp=tmp) for a in argv]
        if plan is None:
            with pytest.raises(SystemExit) as ended:
                options.plan(argv, {"DISPLAY": ":0"})
            assert ended.value.code == 2
        else:
            assert options.plan(argv, {"DISPLAY": ":0"}) == plan
