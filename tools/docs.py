#!/usr/bin/env python3
"""The pages made from the checker's own definitions, so that they cannot
drift from what it does:

    tools/docs.py causes            docs/causes.md, from the catalogue of causes
    tools/docs.py manual FILE       sfml-works-check's manual page, from its options

The unit test makes both and fails where a committed page differs; the
build makes the manual page for the package, so every release writes the
same page from the same options.
"""

import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from sfmlcheck.causes import DETAILS, Cause  # noqa: E402
from sfmlcheck.facts import PROGRAM, VERSION  # noqa: E402
from sfmlcheck.options import EPILOG, parser  # noqa: E402

# What a line of each cause looks like: a run's facts for each of its
# sentences and advices (variant, advice, facts), worded by the catalogue.
TRACEBACK = "~/.local/state/sfml-works/runs/20261211-120000-4242/sfml-works-traceback.txt"
EXAMPLES = {
    Cause.NO_X_SERVER: [("", None, dict(display=":0")),
                        ("refused", None, dict(said="xprop (xprop -root) could not open :0")),
                        ("timed-out", None, dict(said="Xvfb did not answer within 30 s")),
                        ("private", None, dict(said="Xvfb found no free display"))],
    Cause.MISSING_SOCKET: [
        ("", "", dict(display=":0", socket="/tmp/.X11-unix/X0", link="", wslg="")),
        ("", "", dict(display=":0", socket="/tmp/.X11-unix/X0", link="/gone/X0", wslg="")),
        ("", "wslg", dict(display=":0", socket="/tmp/.X11-unix/X0", link="",
                          wslg="/mnt/wslg/.X11-unix/X0")),
        ("", "wsl", dict(display=":0", socket="/tmp/.X11-unix/X0", link="", wslg=""))],
    Cause.WAYLAND_WITHOUT_X: [("", None, dict(session="GNOME"))],
    Cause.AUTH_REFUSED: [("", None, dict(display=":0"))],
    Cause.NO_ANSWER: [("", None, dict(display=":0", tool="wmctrl", seconds=15))],
    Cause.CLIENT_HUNG: [("", None, dict(display=":0", tool="import", seconds=60))],
    Cause.MISSING_SCREEN: [("", None, dict(base=":0", screens=1, screen=1, display=":0.1"))],
    Cause.SHALLOW_SCREEN: [("", None, dict(screen=0, display=":1", depth=16, needed=24))],
    Cause.NO_GLX: [("", None, dict(display=":1"))],
    Cause.UNTRUSTED_CLIENT: [("", None, dict(display=":0")),
                             ("ssh", None, dict(display="localhost:10.0"))],
    Cause.OLD_GLX: [
        ("", None, dict(display=":50", agent="3.5.99.26", refused=True,
                        request="X_GLXVendorPrivateWithReply", glxinfo="")),
        ("", None, dict(display=":50", agent="", refused=False, request="",
                        glxinfo="couldn't find RGB GLX visual or fbconfig"))],
    Cause.INDIRECT: [
        ("", None, dict(display=":0")),
        ("said", "", dict(said="the window opened, but its OpenGL context (version 0.0) cannot "
                          "draw: drawing needs OpenGL 1.1")),
        ("ran-away", None, dict(limit_gib=2)),
        ("server-lost", None, dict(display=":0", lost="X connection to :0 broken"))],
    Cause.OTHER_SCREEN_NEEDS_2_6: [("", None, dict(display=":0.1", screen=1, sfml="2.5.1",
                                                   base=":0", needed="2.6"))],
    Cause.NO_DRIVER: [
        ("", "", dict(display=":0", overrides="", error="libGL error: failed to load driver: "
                      "swrast")),
        ("", "override", dict(display=":0", overrides="GALLIUM_DRIVER=nosuchdriver",
                              error="glx: failed to create drisw screen"))],
    Cause.PROGRAM_FAILED: [("", None, dict(said="the window could not be opened"))],
    Cause.NO_WINDOW: [("", None, dict(seconds=30))],
    Cause.RUNAWAY: [("", None, dict(limit_gib=2))],
    Cause.NEVER_SHOWN: [("", None, dict(wm="xpra"))],
    Cause.OFF_SCREEN: [
        ("", None, dict(x=-300, y=10, width=1280, height=1024, wm="Openbox", sfml="2.6.2",
                        needed="2.6")),
        ("placement", None, dict(x=1180, y=1180, width=2560, height=1080, wm="none",
                                 sfml="2.5.1", needed="2.6"))],
    Cause.NO_FRAME: [("", None, dict(seconds=30)),
                     ("covered", None, dict(seconds=30, cover='"Screensaver"'))],
    Cause.CLOSED_EARLY: [("", None, {})],
    Cause.DRAWS_NOTHING: [("", None, {})],
    Cause.DRAWN_WRONG: [("", None, dict(judgement="part of the circle is missing"))],
    Cause.SHOWN_WRONG: [("", None, dict(judgement="the circle is in the wrong place")),
                        ("between", None, dict(judgement="the circle is rgb(0, 0, 255), not "
                                               "green"))],
    Cause.FLICKERS: [("", None, dict(wrong=1, looked=5, where="drawn",
                                     judgement="the background is rgb(40, 40, 40), not black"))],
    Cause.WENT_WRONG: [("", None, dict(where="shown", judgement="part of the circle is "
                                       "missing"))],
    Cause.CLOSE_FAILED: [("", None, dict(how="wmctrl", said="X Error of failed request: "
                                         "BadWindow"))],
    Cause.CLOSE_IGNORED: [("", None, dict(seconds=10))],
    Cause.EXIT_STATUS: [("", None, dict(status=3))],
    Cause.CRASH: [("", None, dict(signal=11, name="SEGV"))],
    Cause.CRASH_AT_EXIT: [("", None, dict(ended="sfml-works was killed by signal 11 (SEGV)"))],
    Cause.CHECKER_ERROR: [
        ("", "tool", dict(tool="xprop", package="x11-utils", display=":0", traceback=TRACEBACK,
                          error="xprop (xprop -root _NET_SUPPORTED) exited with status 1 and "
                          "said: odd words")),
        ("", "", dict(tool="", package="", display="", traceback=TRACEBACK,
                      error="KeyError: 'width'"))],
}

CAUSES_HEAD = f"""# Causes

Every `FAILED` line of `scripts/run` and `sfml-works-check` names one cause
of this catalogue, and its identifier is the JSON verdict's `failure` (see
[output.md](output.md)). The identifiers are stable; the words may be
improved. A line names what it found (the display, the depth, the driver's
words) and ends with what to do.

This page is made from the checker's catalogue (`sfmlcheck/causes.py`) by
`tools/docs.py causes > docs/causes.md`; the unit test fails where it is stale.
To add a cause, see [architecture.md](architecture.md#adding-a-cause).

| identifier | cause |
|---|---|
"""


def worded(cause):
    """The lines of a cause as a run says them, one for each example."""
    return [cause.found(variant, advice, **facts).words
            for variant, advice, facts in EXAMPLES[cause]]


def causes_page():
    """docs/causes.md: an index, then a section for each cause."""
    lines = [CAUSES_HEAD.rstrip("\n")]
    lines += [f"| [`{cause.id}`](#{anchor(cause.id)}) | {cause.summary} |" for cause in Cause]
    for cause in Cause:
        detail = DETAILS[cause]
        lines += ["", f"## `{cause.id}`", "", f"{cause.summary[0].upper()}{cause.summary[1:]}.",
                  "", detail.why]
        if detail.printed:
            lines += ["", f"What the program may print before it: {detail.printed}."]
        lines += ["", "What the line says:", ""]
        lines += [f"    FAILED: {words}" for words in worded(cause)]
        advices = [advice for advice in cause.advices.values() if advice]
        if advices:
            lines += ["", "What to do:", ""]
            lines += [f"- {placeholders(advice)}" for advice in advices]
    return "\n".join(lines) + "\n"


def anchor(identifier):
    """GitHub's and GitLab's anchor of a heading `identifier`."""
    return re.sub(r"[^a-z0-9 -]", "", identifier.lower()).replace(" ", "-")


def placeholders(advice):
    """An advice as a reader takes it: its facts as capitals in italics."""
    return re.sub(r"\{(\w+)\}", lambda m: f"*{m.group(1).upper()}*", advice)


def roff(text):
    """Text as a manual page's: hyphens and a leading dot escaped."""
    text = text.replace("\\", "\\\\").replace("-", "\\-")
    return re.sub(r"^\.", "\\&.", text, flags=re.M)


def release_date():
    """The date of the release, from the package's changelog: the page
    then reads the same on every build of it."""
    with open(os.path.join(ROOT, "packaging", "changelog")) as f:
        trailer = re.search(r"^ -- .*>  \w+, (\d+) (\w+) (\d+)", f.read(), re.M)
    months = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split()
    day, month, year = trailer.groups()
    return f"{year}-{months.index(month) + 1:02d}-{int(day):02d}"


def manual_page(command="sfml-works-check"):
    """The command's manual page, from the one definition of its options."""
    options = [action for action in parser(command)._actions
               if action.help != "==SUPPRESS==" and action.dest != "help"]
    lines = [f'.TH {command.upper()} 1 {release_date()} "{PROGRAM} {VERSION}" "User Commands"',
             ".SH NAME", f"{roff(command)} \\- check that windows, events and OpenGL drawing "
             "work here", ".SH SYNOPSIS", f".B {roff(command)}"]
    for action in options:
        flag = roff(action.option_strings[0])
        lines += [f".RB [ {flag}", f".IR {action.metavar} ]"] if action.metavar \
            else [f".RB [ {flag} ]"]
    lines += [".SH DESCRIPTION", roff(parser(command).description), ".SH OPTIONS"]
    for action in options:
        flag = roff(action.option_strings[0])
        lines += [".TP", f'.BI {flag} " {action.metavar}"' if action.metavar else f".B {flag}",
                  roff(action.help[0].upper() + action.help[1:]) + "."]
    status, environment = EPILOG.split(". Under ", 1)
    lines += [".SH EXIT STATUS", roff(status.split(": ", 1)[1] + "."),
              ".SH ENVIRONMENT", roff("Under " + environment), ".SH SEE ALSO",
              f".BR {PROGRAM} (1)"]
    return "\n".join(lines) + "\n"


def main(argv):
    if argv[:1] == ["causes"] and len(argv) == 1:
        sys.stdout.write(causes_page())
    elif argv[:1] == ["manual"] and len(argv) == 2:
        with open(argv[1], "w") as f:
            f.write(manual_page())
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
