"""Every cause a run can end FAILED for: its stable identifier, which the JSON
verdict carries, a summary (the README's table of causes holds the same),
and what to do about it. A closed set: an identifier not listed here is an
error, never a new cause.

Also the run's two ways of ending early: Failed, where the machine's stack
failed in a way the catalogue names, and CheckerError, where the checker
could not do its own job (a tool it runs failed in a way it does not
understand, or a fault of its own): never worded as the machine's fault.
"""

import enum
from typing import NamedTuple

# The advice shared by every cause that lies in the OpenGL driver.
SOFTWARE = ("try Mesa's software renderer: LIBGL_ALWAYS_SOFTWARE=1 scripts/run "
            "(on WSL: GALLIUM_DRIVER=llvmpipe scripts/run)")
HEADLESS = "or check on a private display with scripts/run --headless"
UNSET_INDIRECT = "render directly: unset LIBGL_ALWAYS_INDIRECT"


class Cause(enum.Enum):
    """A cause: its identifier (the value), summary and advice. Where the
    advice depends on the facts, it is a dict of variants, "" the default;
    each may name facts in braces, filled in by advice()."""

    def __new__(cls, identifier, summary, advice=""):
        cause = object.__new__(cls)
        cause._value_ = identifier
        cause.summary = summary
        cause.advices = advice if isinstance(advice, dict) else {"": advice}
        return cause

    @property
    def id(self):
        return self.value

    def advice(self, variant="", **facts):
        return self.advices[variant].format(**facts)

    NO_X_SERVER = (
        "no-x-server", "nothing answers on `DISPLAY` (or a private display did not start)",
        "start one, log in with ssh -X to get one, or use a private one with scripts/run "
        "--headless")
    MISSING_SOCKET = (
        "missing-socket", "nothing answers on a local `DISPLAY=:N`, and its socket "
        "`/tmp/.X11-unix/XN` is missing or a link to nothing (on WSL: WSLg's fix)", {
            "": "the server has stopped or its socket was removed (by a cleaner of /tmp, say): "
                "start it again, log in again for a fresh DISPLAY, or use a private display "
                "with scripts/run --headless",
            "wslg": "on WSL, WSLg's X server listens on {wslg}: link it there (ln -sf {wslg} "
                    "{socket}), or restart WSL (wsl --shutdown, in Windows)",
            "wsl": "on WSL, WSLg's X server is not running: restart WSL (wsl --shutdown, in "
                   "Windows), with GUI applications on (guiApplications=true in .wslconfig)"})
    WAYLAND_WITHOUT_X = (
        "wayland-without-x", "a Wayland session with no X server: no `DISPLAY`",
        "turn on or install Xwayland (Debian's package xwayland; GNOME and KDE start it by "
        f"themselves once it is installed), {HEADLESS}")
    AUTH_REFUSED = (
        "auth-refused", "the X server refused the connection (authorization)",
        "run it from the session that owns the display, or give it that session's cookie "
        "(XAUTHORITY, or xauth merge); over SSH, ssh -X sets this up")
    NO_ANSWER = (
        "no-answer", "the X server takes connections but answers nothing (hung, suspended, or "
        "a dead `ssh -X` link)",
        "restart the server or log in again, or check on a private display with scripts/run "
        "--headless")
    CLIENT_HUNG = (
        "client-hung", "an X tool the checker runs hung, though the server still answers",
        "run again, and if it hangs again, look at what holds the display (xlsclients -l "
        "shows its clients)")
    MISSING_SCREEN = (
        "missing-screen", "`DISPLAY` names a screen the server does not have",
        "use screen 0 (DISPLAY={base}.0)")
    SHALLOW_SCREEN = (
        "shallow-screen", "the screen is less than 24 bits deep",
        "raise it (a VNC server: -depth {depth}; Xvfb: -screen {screen} 1280x1024x{depth}; "
        "Xorg: DefaultDepth {depth})")
    NO_GLX = (
        "no-glx", "the X server has no GLX extension",
        "enable GLX in the server (Xvfb and Xvnc: leave out -extension GLX; Xorg: load the glx "
        "module)")
    UNTRUSTED_CLIENT = (
        "untrusted-client", "the X server hides GLX from the program as an untrusted client "
        "(`ssh -X` with untrusted forwarding, or an untrusted cookie)", {
            "": "use a trusted cookie (xauth generate {display} . trusted), or ssh -Y in place "
                "of ssh -X",
            "ssh": "log in with ssh -Y instead, or set ForwardX11Trusted yes for this host in "
                   "~/.ssh/config"})
    OLD_GLX = (
        "old-glx", "the X server's GLX is too old for OpenGL today (nxagent: X2Go, NoMachine)",
        "draw through VirtualGL (vglrun scripts/run), or use a remote desktop whose X server "
        "has a GLX of today (VNC, xrdp)")
    INDIRECT = (
        "indirect", "rendering is indirect, and OpenGL 1.1 cannot be had through it", {
            "": f"{UNSET_INDIRECT} (over ssh -X, Mesa then draws on the remote machine and "
                "sends the pixels)",
            "ran-away": UNSET_INDIRECT,
            "server-lost": f"{UNSET_INDIRECT}, and start the server again"})
    OTHER_SCREEN_NEEDS_2_6 = (
        "other-screen-needs-2.6", "a screen other than the first, which SFML 2.5 cannot use",
        "use screen 0 (DISPLAY={base}.0), or build against SFML {needed}")
    NO_DRIVER = (
        "no-driver", "no OpenGL driver loads", {
            "": "install Mesa's drivers (sudo apt-get install libgl1-mesa-dri)",
            "override": "{overrides} names a driver that does not load here: unset it, or "
                        "name one that Mesa has (llvmpipe, say)"})
    PROGRAM_FAILED = (
        "program-failed", "the program said why it could not go on (its own `sfml-works:` "
        "line)", "check the OpenGL driver with glxinfo -B, or try Mesa's software renderer "
        "(LIBGL_ALWAYS_SOFTWARE=1 scripts/run)")
    NO_WINDOW = ("no-window", "no window appeared within 30 s")
    RUNAWAY = (
        "runaway", "the program took over 2 GiB of memory before its window appeared, and was "
        "stopped: the OpenGL driver ran away (with `LIBGL_ALWAYS_INDIRECT` set, this is "
        "`indirect`)", SOFTWARE)
    NEVER_SHOWN = (
        "never-shown", "the window was made but never shown",
        "attach a client or view the display, or try another window manager")
    OFF_SCREEN = (
        "off-screen", "the window lies wholly outside the screen (SFML 2.5 with no window "
        "manager, on a screen wider than it is tall)", {
            "": "move it onto the screen, or try another window manager",
            "placement": "run with a window manager (start openbox on this display, or use "
                         "scripts/run --headless), or build against SFML {needed} or later "
                         "(cmake --preset release -DSFML_WORKS_FETCH_SFML=ON)"})
    NO_FRAME = (
        "no-frame", "the window showed but presented no frame within 30 s", {
            "": "", "covered": "move that window away"})
    CLOSED_EARLY = (
        "closed-early", "the window was closed before its picture was proven",
        "run again and close it once told to")
    DRAWS_NOTHING = ("draws-nothing", "the driver draws nothing: only black", SOFTWARE)
    DRAWN_WRONG = ("drawn-wrong", "the frame the program drew is already wrong", SOFTWARE)
    SHOWN_WRONG = (
        "shown-wrong", "the drawing is right, the screen shows something else (or no drawn "
        "frame could be read, and the screen is wrong)", {
            "": SOFTWARE,
            "between": "try without the compositor, or with LIBGL_ALWAYS_SOFTWARE=1"})
    FLICKERS = ("flickers", "the picture is right on some frames and wrong on others", SOFTWARE)
    WENT_WRONG = (
        "went-wrong", "the picture was right at first and wrong after the frames were counted",
        SOFTWARE)
    CLOSE_FAILED = ("close-failed", "the close request could not be sent")
    CLOSE_IGNORED = (
        "close-ignored", "the program was still running 10 s after the close request")
    EXIT_STATUS = (
        "exit-status", "the program exited with a nonzero status, and nothing above explains "
        "it")
    CRASH = ("crash", "the program was killed by a signal, and nothing above explains it")
    CRASH_AT_EXIT = (
        "crash-at-exit", "the window, the drawing and the close worked, then the program was "
        "killed by a signal as it exited", SOFTWARE)
    CHECKER_ERROR = (
        "checker-error", "the checker itself could not do its job: a tool it runs failed in a "
        "way it does not understand, or a fault of its own; not the machine's X server "
        "(exit status 2)",
        {"": "run again; if it fails again, report it with the traceback in {traceback}",
         "tool": "reinstall {tool}'s package ({package}) and run again; if it fails again, "
                 "report it with the traceback in {traceback}"})


class Failure(NamedTuple):
    """A run's failure: its cause, and the words that tell the user."""
    cause: Cause
    words: str

    @property
    def id(self):
        return self.cause.id


class Failed(Exception):
    """The stack failed, for the reason given."""

    def __init__(self, failure):
        super().__init__(failure.words)
        self.failure = failure


class CheckerError(Exception):
    """The checker could not do its job: what it was doing, in words."""


class ToolFailed(CheckerError):
    """A tool the checker runs exited with an error the checker does not
    understand: the tool, its command line, its status (None where it did
    not start), its words, and the package it comes from."""

    def __init__(self, argv, status, said, package=""):
        self.argv, self.status, self.said = list(argv), status, said.strip()
        self.tool, self.package = self.argv[0].rsplit("/", 1)[-1], package
        ran = f"{self.tool} ({' '.join(self.argv)})"
        if status is None:
            words = f"{ran} failed: {self.said}"
        else:
            words = f"{ran} exited with status {status}" + (
                f" and said: {self.said[:300]}" if self.said else ", saying nothing")
        super().__init__(words)


def checker_error(error, display, traceback):
    """The failure where the checker could not do its job (error): a tool it
    runs failed in a way it does not understand, or a fault of its own;
    never the fault of the X server on display ("" where none was reached).
    traceback is the file that keeps its traceback."""
    on = f" on {display}" if display else ""
    tool = isinstance(error, ToolFailed)
    what = (f"a tool it runs failed in a way it does not understand: {error}" if tool else
            f"it met a fault of its own ({type(error).__name__}: {error})")
    advice = Cause.CHECKER_ERROR.advice(
        "tool" if tool and error.package else "", traceback=traceback,
        tool=getattr(error, "tool", ""), package=getattr(error, "package", ""))
    return Failure(Cause.CHECKER_ERROR, f"the checker could not do its job: {what}; this is no "
                   f"fault of the X server{on}: {advice}")
