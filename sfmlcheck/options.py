"""The checker's options, defined once: scripts/run hands its arguments here
untouched, sfml-works-check gives its install's files as defaults, and the
manual page and --help are both made from this one parser.

Importing it costs no more than argparse: scripts/run asks it what a run
needs (plan) before anything is installed.

    python3 -m sfmlcheck.options plan ARGS... 3>FILE

writes to its descriptor 3 two words: "private" or "own" (the display the run takes), and
what of the clone's build must be made first: "program" (the program to
check, and its frame counter), "counter" (only the frame counter, for a
program given) or "none"; or, for --help, --version or a wrong option,
what argparse says, with its status.
"""

import argparse
import os
import sys

from .facts import PROGRAM, VERSION
from .session import private_display
from .verdict import CHECKER_STATUS, FAILED_STATUS, OK_STATUS

DESCRIPTION = (
    f"Runs {PROGRAM} on this display, or on a private Xvfb display with openbox where there "
    "is none, judges every pixel of its window and of the frame it drew, counts its frames "
    "per second, closes the window or waits for you to, and ends with one line: OK and what "
    "was proven, or FAILED, the cause and what to do.")
EPILOG = (
    f"exit status: {OK_STATUS} when the window was proven (OK), {FAILED_STATUS} when this "
    "machine's stack failed (FAILED: the cause and what to do), "
    f"{CHECKER_STATUS} when the checker could not do its job (failure checker-error: a tool it "
    "runs failed, or a fault of its own; never the machine's X server) or was called wrongly. "
    "Under GitHub Actions (GITHUB_ACTIONS=true), a FAILED verdict is also an ::error "
    "annotation; under GitLab (CI_PROJECT_DIR), the JUnit report names its pictures relative "
    "to the project.")
# Where a clone keeps the build scripts/run makes and checks.
BUILD = os.path.join("build", "release")
COUNTER = os.path.join("tools", "libframe-counter.so")


def parser(prog="sfmlcheck.run"):
    """The options: a user's first, then those scripts/run and an install
    give, which --help leaves out."""
    p = argparse.ArgumentParser(prog=prog, description=DESCRIPTION, epilog=EPILOG)
    p.add_argument("--headless", action="store_true", help="use a private virtual display "
                   "even when DISPLAY is set (the default where there is none)")
    p.add_argument("--close", action="store_true", help="close the window once it is proven, "
                   "as a window manager does, instead of waiting for you to (for unattended "
                   "checks)")
    p.add_argument("--program", metavar="PATH", help=f"check this build of {PROGRAM} instead "
                   "(one against your own SFML, say)")
    p.add_argument("--output", metavar="DIR", help="where each run keeps its folder of "
                   "pictures and verdict, under DIR/runs, DIR/latest leading to the last "
                   "(default: beside the program in a clone; else $XDG_STATE_HOME/sfml-works, "
                   "or ~/.local/state/sfml-works)")
    p.add_argument("--json", metavar="FILE", help="write the verdict's JSON to FILE as well "
                   "(-: standard output, the one line then going to standard error)")
    p.add_argument("--junit", metavar="FILE", help="write a JUnit report to FILE, one test "
                   "case for each step proven")
    p.add_argument("--version", action="version", version=f"{PROGRAM} {VERSION}",
                   help="say which release this is")
    hidden = argparse.SUPPRESS
    # A clone's checkout (scripts/run's), whose build gives the defaults.
    p.add_argument("--clone", metavar="DIR", help=hidden)
    p.add_argument("--counter", metavar="PATH", help=hidden)
    # The program was built for this run, in this many seconds.
    p.add_argument("--built", nargs="?", type=float, const=0.0, metavar="SECONDS", help=hidden)
    p.add_argument("--sfml-source", choices=("system", "built", "given"), default="given",
                   help=hidden)
    p.add_argument("--system-sfml", default="", metavar="VERSION", help=hidden)
    return p


def state_folder(environ=os.environ):
    """Where a user's runs go unless told: $XDG_STATE_HOME/sfml-works, by
    default ~/.local/state/sfml-works."""
    state = environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local",
                                                          "state")
    return os.path.join(state, PROGRAM)


def clone_counter(program, clone):
    """The frame counter for a program checked from a clone: the one built
    beside it, else the clone's own build's (None where neither is there)."""
    for counter in (os.path.join(os.path.dirname(program), COUNTER),
                    os.path.join(clone, BUILD, COUNTER)):
        if os.path.isfile(counter):
            return counter
    return None


def with_defaults(args, p, installed, environ):
    """The options, with what a clone's build or an install gives where they
    were not given."""
    for name, value in (installed or {}).items():
        if getattr(args, name) in (None, "given"):
            setattr(args, name, value)
    if args.clone:
        args.program = args.program or os.path.join(args.clone, BUILD, PROGRAM)
        args.counter = args.counter or clone_counter(args.program, args.clone)
    if not args.program or not args.counter:
        p.error("--program and --counter are needed outside a clone or an install")
    if not os.path.isfile(args.program) or not os.access(args.program, os.X_OK):
        p.error(f"no program to run at {args.program}")
    args.program = os.path.abspath(args.program)
    args.headless = private_display(args.headless, environ)
    args.output = args.output or (os.path.dirname(args.program) if args.clone
                                  else state_folder(environ))
    return args


def parse(argv, prog=None, installed=None, environ=os.environ):
    """The options of a run; installed: the program, counter and SFML source
    an install holds, which its command gives unless told otherwise. The
    usage names scripts/run where a clone's is given, unless prog does."""
    p = parser(prog or ("scripts/run" if "--clone" in argv else "sfmlcheck.run"))
    args = with_defaults(p.parse_args(argv), p, installed, environ)
    try:
        os.makedirs(args.output, exist_ok=True)
    except OSError as error:
        p.error(f"cannot make the folder {args.output}: {error.strerror}")
    return args


def plan(argv, environ=os.environ):
    """What scripts/run must do before the run: the display it takes
    (private or own), and what it must build (program, counter or none)."""
    p = parser("scripts/run")
    args = p.parse_args(argv)
    display = "private" if private_display(args.headless, environ) else "own"
    if args.program is not None and not os.path.isfile(args.program):
        p.error(f"no program to run at {args.program}")
    if args.program is None:
        build = "program"
    else:
        build = "none" if clone_counter(args.program, args.clone or ".") else "counter"
    return f"{display} {build}"


if __name__ == "__main__":
    if sys.argv[1:2] != ["plan"]:
        sys.exit("usage: python3 -m sfmlcheck.options plan ARGS... 3>FILE")
    # Standard output is the user's, for --help and --version.
    answer = plan(sys.argv[2:])
    with os.fdopen(3, "w") as f:
        f.write(answer + "\n")
