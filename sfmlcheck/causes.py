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
import types
from typing import Mapping, NamedTuple

from .facts import PROGRAM, TITLE

# The advice shared by every cause that lies in the OpenGL driver.
SOFTWARE = ("try Mesa's software renderer: LIBGL_ALWAYS_SOFTWARE=1 scripts/run "
            "(on WSL: GALLIUM_DRIVER=llvmpipe scripts/run)")
HEADLESS = "or check on a private display with scripts/run --headless"
UNSET_INDIRECT = "render directly: unset LIBGL_ALWAYS_INDIRECT"


def old_glx(facts):
    """An old GLX's sentence: nxagent's or another's; a request it refuses,
    or no framebuffer configuration it offers."""
    which = (f"nxagent {facts['agent']}, as X2Go and NoMachine run it" if facts["agent"]
             else "an old one")
    lacks = (f"refuses a request OpenGL needs ({facts['request'] or 'a vendor private request'}"
             ", as glxinfo shows)" if facts["refused"] else
             "offers no framebuffer configuration that OpenGL can draw with (glxinfo: "
             f"{facts['glxinfo']})")
    return (f"the X server on {facts['display']} ({which}) has only an old GLX, which {lacks}: "
            f"{facts['advice']}")


def checker_error_words(facts):
    """The checker's own failure: a tool's, or a fault of its own; never the
    X server's."""
    what = (f"a tool it runs failed in a way it does not understand: {facts['error']}"
            if facts["tool"] else f"it met a fault of its own ({facts['error']})")
    on = f" on {facts['display']}" if facts["display"] else ""
    return (f"the checker could not do its job: {what}; this is no fault of the X server{on}: "
            f"{facts['advice']}")


def missing_socket(facts):
    gone = f"a link to {facts['link']}, which is not there" if facts["link"] else "missing"
    return (f"no X server answers on DISPLAY={facts['display']}, and its socket "
            f"{facts['socket']} is {gone}: {facts['advice']}")


OFF_SCREEN_AT = ("the window lies wholly outside the screen, at {x},{y} on a screen of {width} "
                 "x {height}, so nothing of it can be seen or drawn: ")


class Cause(enum.Enum):
    """A cause: its identifier (the value), summary, sentences and advice.

    says words a failure of this cause from its facts: a template, or a
    function of the facts for a sentence with parts that come and go, or a
    dict of either by variant ("" the default). advice is a template, or a
    dict of them by variant. Templates name facts in braces; every one may
    also name {advice}, {summary}, {program} and {title}."""

    def __new__(cls, identifier, summary, says, advice=""):
        cause = object.__new__(cls)
        cause._value_ = identifier
        cause.summary = summary
        cause.says = says if isinstance(says, dict) else {"": says}
        cause.advices = advice if isinstance(advice, dict) else {"": advice}
        return cause

    @property
    def id(self):
        return self.value

    def advice(self, variant="", **facts):
        return self.advices[variant].format(**facts)

    def found(self, variant="", advice=None, **facts):
        """A failure of this cause, worded for its facts: the variant's
        sentence, with the advice of the same name (or of advice, where
        given; else the default)."""
        advice = variant if advice is None and variant in self.advices else advice or ""
        context = dict(facts, program=PROGRAM, title=TITLE, summary=self.summary)
        context["advice"] = self.advices[advice].format(**context)
        template = self.says[variant]
        words = template(context) if callable(template) else template.format(**context)
        return Failure(self, words, types.MappingProxyType(dict(facts)), variant, advice)

    NO_X_SERVER = (
        "no-x-server", "nothing answers on `DISPLAY` (or a private display did not start)", {
            "": "no X server answers on DISPLAY={display}: {advice}",
            # A tool the display refused before the program ran: its words.
            "refused": "{said}: {advice}",
            "timed-out": "{said}: {advice}",
            "private": "{said}: {advice}"}, {
            "": "start one, log in with ssh -X to get one, or use a private one with "
                "scripts/run --headless",
            "private": "a private display needs Xvfb and a /tmp it can write to: start "
                       "Xvfb -displayfd 1 by hand to see why it does not start, or run on your "
                       "own display without --headless"})
    MISSING_SOCKET = (
        "missing-socket", "nothing answers on a local `DISPLAY=:N`, and its socket "
        "`/tmp/.X11-unix/XN` is missing or a link to nothing (on WSL: WSLg's fix)",
        missing_socket, {
            "": "the server has stopped or its socket was removed (by a cleaner of /tmp, say): "
                "start it again, log in again for a fresh DISPLAY, or use a private display "
                "with scripts/run --headless",
            "wslg": "on WSL, WSLg's X server listens on {wslg}: link it there (ln -sf {wslg} "
                    "{socket}), or restart WSL (wsl --shutdown, in Windows)",
            "wsl": "on WSL, WSLg's X server is not running: restart WSL (wsl --shutdown, in "
                   "Windows), with GUI applications on (guiApplications=true in .wslconfig)"})
    WAYLAND_WITHOUT_X = (
        "wayland-without-x", "a Wayland session with no X server: no `DISPLAY`",
        "the Wayland session ({session}) has no X server: DISPLAY is not set, and SFML 2 draws "
        "through X11 only: {advice}",
        "turn on or install Xwayland (Debian's package xwayland; GNOME and KDE start it by "
        f"themselves once it is installed), {HEADLESS}")
    AUTH_REFUSED = (
        "auth-refused", "the X server refused the connection (authorization)",
        "the X server on {display} refused the connection (authorization): {advice}",
        "run it from the session that owns the display, or give it that session's cookie "
        "(XAUTHORITY, or xauth merge); over SSH, ssh -X sets this up")
    NO_ANSWER = (
        "no-answer", "the X server takes connections but answers nothing (hung, suspended, or "
        "a dead `ssh -X` link)",
        "the X server on {display} does not answer: {tool} had no reply within {seconds} s; it "
        "has hung or been stopped (a frozen desktop, a server suspended with Ctrl+Z), or, "
        "through ssh -X, the connection behind the display is gone: {advice}",
        "restart the server or log in again, or check on a private display with scripts/run "
        "--headless")
    CLIENT_HUNG = (
        "client-hung", "an X tool the checker runs hung, though the server still answers",
        "{tool} hung for {seconds} s on {display}, though its X server still answers: {advice}",
        "run again, and if it hangs again, look at what holds the display (xlsclients -l "
        "shows its clients)")
    MISSING_SCREEN = (
        "missing-screen", "`DISPLAY` names a screen the server does not have",
        "the X server on {base} has {screens} screen(s), so it has no screen {screen} for "
        "DISPLAY={display}: {advice}",
        "use screen 0 (DISPLAY={base}.0)")
    SHALLOW_SCREEN = (
        "shallow-screen", "the screen is less than 24 bits deep",
        "screen {screen} of {display} is {depth} bits deep, and SFML needs {needed}: {advice}",
        "raise it (a VNC server: -depth {needed}; Xvfb: -screen {screen} 1280x1024x{needed}; "
        "Xorg: DefaultDepth {needed})")
    NO_GLX = (
        "no-glx", "the X server has no GLX extension",
        "the X server on {display} has no GLX extension, so SFML cannot make an OpenGL window "
        "there (the library crashes): {advice}",
        "enable GLX in the server (Xvfb and Xvnc: leave out -extension GLX; Xorg: load the glx "
        "module)")
    UNTRUSTED_CLIENT = (
        "untrusted-client", "the X server hides GLX from the program as an untrusted client "
        "(`ssh -X` with untrusted forwarding, or an untrusted cookie)", {
            "": "the X server on {display} treats this program as an untrusted client, as its "
                "cookie was made (xauth generate … untrusted), and hides GLX from it, so SFML "
                "cannot make an OpenGL window: {advice}",
            "ssh": "the X server on {display} treats this program as an untrusted client, as "
                   "ssh -X makes it where forwarding is untrusted (ForwardX11Trusted no, "
                   "OpenSSH's own default), and hides GLX from it, so SFML cannot make an "
                   "OpenGL window: {advice}"}, {
            "": "use a trusted cookie (xauth generate {display} . trusted), or ssh -Y in place "
                "of ssh -X",
            "ssh": "log in with ssh -Y instead, or set ForwardX11Trusted yes for this host in "
                   "~/.ssh/config"})
    OLD_GLX = (
        "old-glx", "the X server's GLX is too old for OpenGL today (nxagent: X2Go, NoMachine)",
        old_glx,
        "draw through VirtualGL (vglrun scripts/run), or use a remote desktop whose X server "
        "has a GLX of today (VNC, xrdp)")
    INDIRECT = (
        "indirect", "rendering is indirect, and OpenGL 1.1 cannot be had through it", {
            "": "rendering is indirect, and the X server on {display} refuses indirect GLX, as "
                "X servers do by default: {advice}",
            # The program's own words say what it could not have.
            "said": "{summary} ({said}): {advice}",
            "ran-away": "{summary}: Mesa's indirect GLX ran away making the window ({program} "
                        "took over {limit_gib} GiB of memory before its window appeared, and "
                        "was stopped): {advice}",
            "server-lost": "rendering is indirect, and the X server on {display} stopped as "
                           "the program asked it for an indirect OpenGL context ({lost}), as "
                           "the indirect GLX of some X servers does (Debian 13's among them): "
                           "{advice}"}, {
            "": f"{UNSET_INDIRECT} (over ssh -X, Mesa then draws on the remote machine and "
                "sends the pixels)",
            "ran-away": UNSET_INDIRECT,
            "server-lost": f"{UNSET_INDIRECT}, and start the server again"})
    OTHER_SCREEN_NEEDS_2_6 = (
        "other-screen-needs-2.6", "a screen other than the first, which SFML 2.5 cannot use",
        "{display} is screen {screen} of a multi-screen X server, where SFML {sfml} cannot make "
        "its window; SFML {needed} or later can: {advice}",
        "use screen 0 (DISPLAY={base}.0), or build against SFML {needed}")
    NO_DRIVER = (
        "no-driver", "no OpenGL driver loads",
        "no OpenGL driver loads for {display} ({error}): {advice}", {
            "": "install Mesa's drivers (sudo apt-get install libgl1-mesa-dri)",
            "override": "{overrides} names a driver that does not load here: unset it, or "
                        "name one that Mesa has (llvmpipe, say)"})
    PROGRAM_FAILED = (
        "program-failed", "the program said why it could not go on (its own `sfml-works:` "
        "line)", "{said}: {advice}",
        "check the OpenGL driver with glxinfo -B, or try Mesa's software renderer "
        "(LIBGL_ALWAYS_SOFTWARE=1 scripts/run)")
    NO_WINDOW = ("no-window", "no window appeared within 30 s",
                 'no window titled "{title}" appeared within {seconds} s')
    RUNAWAY = (
        "runaway", "the program took over 2 GiB of memory before its window appeared, and was "
        "stopped: the OpenGL driver ran away (with `LIBGL_ALWAYS_INDIRECT` set, this is "
        "`indirect`)",
        "{program} took over {limit_gib} GiB of memory before its window appeared, and was "
        "stopped: its OpenGL driver runs away making the window; {advice}", SOFTWARE)
    NEVER_SHOWN = (
        "never-shown", "the window was made but never shown",
        "the window was made but never shown: the window manager ({wm}) or a proxy between it "
        "and the screen holds it unmapped (xpra does this while no client is attached), and "
        "{program} waits for it to be shown, so it was ended here; {advice}",
        "attach a client or view the display, or try another window manager")
    OFF_SCREEN = (
        "off-screen", "the window lies wholly outside the screen (SFML 2.5 with no window "
        "manager, on a screen wider than it is tall)", {
            "": OFF_SCREEN_AT + "the window manager ({wm}) placed it there, or the screen "
                "shrank under it: {advice}",
            "placement": OFF_SCREEN_AT + "SFML {sfml} places a window that no window manager "
                         "places by the screen's width where its height belongs, which on a "
                         "screen wider than it is tall puts it below the bottom: {advice}"}, {
            "": "move it onto the screen, or try another window manager",
            "placement": "run with a window manager (start openbox on this display, or use "
                         "scripts/run --headless), or build against SFML {needed} or later "
                         "(cmake --preset release -DSFML_WORKS_FETCH_SFML=ON)"})
    NO_FRAME = (
        "no-frame", "the window showed but presented no frame within 30 s", {
            "": "the window opened but no frame was presented within {seconds} s",
            "covered": "the window opened but no frame was presented within {seconds} s; the "
                       "window {cover} covers it, and a window covered whole may present "
                       "nothing: {advice}"}, {
            "": "", "covered": "move that window away"})
    CLOSED_EARLY = (
        "closed-early", "the window was closed before its picture was proven",
        "the window was closed before its picture was proven; {advice}",
        "run again and close it once told to")
    DRAWS_NOTHING = (
        "draws-nothing", "the driver draws nothing: only black",
        "the window opened but shows no circle, only black: the OpenGL driver takes the "
        "drawing but draws nothing (as seen with WSL's D3D12 driver and some remote vendor "
        "drivers); {advice}", SOFTWARE)
    DRAWN_WRONG = ("drawn-wrong", "the frame the program drew is already wrong",
                   "the OpenGL driver drew the picture wrongly: {judgement}; {advice}", SOFTWARE)
    SHOWN_WRONG = (
        "shown-wrong", "the drawing is right, the screen shows something else (or no drawn "
        "frame could be read, and the screen is wrong)", {
            "": "the window does not show the picture: {judgement}; {advice}",
            "between": "the program drew the picture right, but the screen shows something "
                       "else: {judgement}; something between the drawing and the screen "
                       "changes it (a compositor, the remote display or the driver's "
                       "presentation): {advice}"}, {
            "": SOFTWARE,
            "between": "try without the compositor, or with LIBGL_ALWAYS_SOFTWARE=1"})
    FLICKERS = (
        "flickers", "the picture is right on some frames and wrong on others",
        "the picture changes from frame to frame: {wrong} of {looked} frames {where} differ "
        "from the exact picture, as a driver that presents a stale buffer now and then shows "
        "it ({judgement}); {advice}", SOFTWARE)
    WENT_WRONG = (
        "went-wrong", "the picture was right at first and wrong after the frames were counted",
        "the picture was right at first, then {where} wrongly: {judgement}; {advice}", SOFTWARE)
    CLOSE_FAILED = ("close-failed", "the close request could not be sent",
                    "{how} could not send the close request ({said})")
    CLOSE_IGNORED = (
        "close-ignored", "the program was still running 10 s after the close request",
        "{program} was still running {seconds} s after the close request")
    EXIT_STATUS = (
        "exit-status", "the program exited with a nonzero status, and nothing above explains "
        "it", "{program} exited with status {status}")
    CRASH = ("crash", "the program was killed by a signal, and nothing above explains it",
             "{program} was killed by signal {signal} ({name})")
    CRASH_AT_EXIT = (
        "crash-at-exit", "the window, the drawing and the close worked, then the program was "
        "killed by a signal as it exited",
        "the window, the drawing and the close all worked, but then {ended} as it exited: a "
        "known fault of some OpenGL drivers as they unload (WSL's GPU driver among them); "
        "{advice}", SOFTWARE)
    CHECKER_ERROR = (
        "checker-error", "the checker itself could not do its job: a tool it runs failed in a "
        "way it does not understand, or a fault of its own; not the machine's X server "
        "(exit status 2)", checker_error_words,
        {"": "run again; if it fails again, report it with the traceback in {traceback}",
         "tool": "reinstall {tool}'s package ({package}) and run again; if it fails again, "
                 "report it with the traceback in {traceback}"})


class Failure(NamedTuple):
    """A run's failure: its cause, the words that tell the user, and the
    facts, sentence and advice they were worded from (none, for a verdict
    read back from its JSON, which keeps the words alone)."""
    cause: Cause
    words: str
    facts: Mapping = types.MappingProxyType({})
    variant: str = ""
    advice: str = ""

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
    tool = isinstance(error, ToolFailed)
    return Cause.CHECKER_ERROR.found(
        "", advice="tool" if tool and error.package else "", tool=tool and error.tool,
        package=getattr(error, "package", ""), display=display, traceback=traceback,
        error=str(error) if tool else f"{type(error).__name__}: {error}")


class Detail(NamedTuple):
    """What the manual says of a cause beyond its line: what the program or
    the library may print of it before the verdict, and why it happens."""
    printed: str
    why: str


# Each cause's detail, for docs/causes.md, which is made from this catalogue.
DETAILS = {
    Cause.NO_X_SERVER: Detail(
        "`Failed to open X11 display; make sure the DISPLAY environment variable is set "
        "correctly`, status 134",
        "No X server answers on `DISPLAY`, or the private display the checker starts did not "
        "start."),
    Cause.MISSING_SOCKET: Detail(
        "", "The server on that display is gone, or its socket was removed (often by "
        "something that cleans `/tmp`). On WSL, WSLg's server may still run with the link to "
        "its socket gone (make the link as the line says), or not run at all (restart WSL with "
        "GUI applications on)."),
    Cause.WAYLAND_WITHOUT_X: Detail(
        "", "SFML 2 draws through X11 only, and this Wayland session has no Xwayland (sway: "
        "`xwayland enable`)."),
    Cause.AUTH_REFUSED: Detail(
        "`Authorization required, but no authorization protocol specified`",
        "The server wants a cookie this user does not have. In a container: `xauth nlist "
        "$DISPLAY | xauth -f FILE nmerge -` and `XAUTHORITY=FILE`."),
    Cause.NO_ANSWER: Detail(
        "", "The server takes connections but says nothing: it has hung or was suspended (a "
        "frozen desktop; a server stopped with Ctrl+Z in its terminal: `fg` it), or, through "
        "`ssh -X`, the connection behind `DISPLAY` is gone (the other machine slept or lost its "
        "network)."),
    Cause.CLIENT_HUNG: Detail(
        "", "A tool the checker runs got no answer, while the server still answers a new "
        "question: rare, and seen only on a busy machine. The line above the verdict says "
        "where the tool waited (`==> import was stopped while in state S, sleeping in …`): a "
        "wait in a poll means the server never answered it; state D, that the tool waited for "
        "the disk. Keep that line with the report."),
    Cause.MISSING_SCREEN: Detail(
        "`Failed to open X11 display`", "`DISPLAY` names a screen the server does not have."),
    Cause.SHALLOW_SCREEN: Detail(
        "`BadMatch` from `X_CreateWindow`, status 1 (or a crash on an 8-bit screen)",
        "SFML needs a screen of 24 bits or more."),
    Cause.NO_GLX: Detail(
        "a crash at once (status 139)", "Without GLX, SFML cannot make an OpenGL window."),
    Cause.UNTRUSTED_CLIENT: Detail(
        "a crash at once (status 139; through `ssh`, 255)",
        "The X server shows an untrusted client almost none of its extensions, GLX among "
        "them. `ssh -X` makes the program one where X11 forwarding is untrusted "
        "(`ForwardX11Trusted no`, OpenSSH's own default; Debian and Ubuntu turn it on); "
        "elsewhere, the cookie in `XAUTHORITY` was made untrusted."),
    Cause.OLD_GLX: Detail(
        "`X Error of failed request: GLXUnsupportedPrivateRequest` "
        "(`X_GLXVendorPrivateWithReply`), status 1",
        "X2Go and NoMachine sessions run on `nxagent`, whose GLX predates what Mesa asks for; "
        "`glxinfo` fails the same way."),
    Cause.INDIRECT: Detail(
        "`sfml-works: the window opened, but its OpenGL context (version 0.0) cannot draw: "
        "drawing needs OpenGL 1.1`; or `Failed to create an OpenGL context for this window`, "
        "then `BadValue` from `X_GLXCreateContext`",
        "`LIBGL_ALWAYS_INDIRECT` is set (a common tip for `ssh -X`), or Mesa fell back to "
        "indirect rendering. Servers refuse indirect GLX by default; one that allows it (Xvfb "
        "and Xvnc with `+iglx`) gives no OpenGL through it, and with Mesa 22 its indirect GLX "
        "now and then fills gigabytes for a garbage count of texture units: the checker stops "
        "it at 2 GiB. Debian 13's Xvfb crashes as the context is made."),
    Cause.OTHER_SCREEN_NEEDS_2_6: Detail(
        "`BadMatch` from `X_CreateColormap` with `DISPLAY=:N.1`",
        "SFML 2.5 cannot use a screen other than the default of a multi-screen server."),
    Cause.NO_DRIVER: Detail(
        "`libGL error: failed to load driver: swrast`, `Failed to create an OpenGL context`; "
        "from Mesa 24 on, without the prefix: `failed to load driver: iris`, `glx: failed to "
        "create dri3 screen`, `MESA: error: ZINK: failed to choose pdev`, `DRI driver not from "
        "this Mesa build`",
        "No OpenGL driver loads. Mesa's drivers include a software renderer that works "
        "everywhere; `glxinfo -B` shows which renderer you get."),
    Cause.PROGRAM_FAILED: Detail("its own line, `sfml-works: …`",
                                 "The program found it could not go on, and said why."),
    Cause.NO_WINDOW: Detail("", "The program ran, but no window of its own appeared."),
    Cause.RUNAWAY: Detail(
        "", "The OpenGL driver filled memory making the window; the checker stops it at "
        "2 GiB, before the kernel runs out."),
    Cause.NEVER_SHOWN: Detail(
        "", "The program waits inside the library for its window to be shown, and cannot end "
        "itself, so the checker ends it. xpra does this while no client is attached. If you "
        "start openbox yourself in a script and its first window never appears, wait for its "
        "`--startup` command rather than for `_NET_SUPPORTING_WM_CHECK`: openbox sets that "
        "before it reads its first events."),
    Cause.OFF_SCREEN: Detail(
        "", "SFML 2.5 (Debian 12, Ubuntu 22.04) places a window that no window manager places "
        "with the screen's width where its height belongs, so on a screen wider than it is "
        "tall (`xvfb-run -s '-screen 0 2560x1080x24'`, two monitors side by side with no "
        "window manager) the window lands below the bottom and presents nothing."),
    Cause.NO_FRAME: Detail("", "The window showed, but the program presented no frame."),
    Cause.CLOSED_EARLY: Detail("", "The window was closed before the checker had seen it "
                                   "right: nothing is proven."),
    Cause.DRAWS_NOTHING: Detail(
        "", "The driver takes the drawing but draws nothing (seen with WSL's D3D12 driver and "
        "some remote vendor drivers)."),
    Cause.DRAWN_WRONG: Detail(
        "", "The frame the program drew is already wrong, so the driver is at fault: "
        "`sfml-works-comparison.png` shows expected, found and their difference."),
    Cause.SHOWN_WRONG: Detail(
        "", "The drawing is right and something between it and the screen changes it: a "
        "compositor, the remote display, the driver's presentation."),
    Cause.FLICKERS: Detail(
        "", "Some frames are right and some are not: a driver presenting a stale buffer now "
        "and then (reported with some drivers under Xwayland), or a compositor between."),
    Cause.WENT_WRONG: Detail(
        "", "The driver, or what shows its frames, goes wrong after a good start: "
        "`sfml-works-comparison.png` shows how."),
    Cause.CLOSE_FAILED: Detail("", "The window manager or Xlib refused the close request."),
    Cause.CLOSE_IGNORED: Detail("", "The program did not end on a close request."),
    Cause.EXIT_STATUS: Detail("", "The program ended with a nonzero status, and neither the "
                                  "display nor its own words say why."),
    Cause.CRASH: Detail("", "The program was killed by a signal, and neither the display nor "
                            "its own words say why."),
    Cause.CRASH_AT_EXIT: Detail(
        "", "Everything a program needs worked; the OpenGL driver crashed as the libraries "
        "unloaded, a known fault of WSL's GPU driver and some old vendor drivers."),
    Cause.CHECKER_ERROR: Detail(
        "", "Not your X server: a tool the checker runs is broken or foreign (another `xprop` "
        "first on `PATH`, a damaged package), or the checker met a fault of its own, a bug "
        "to report with the traceback file the line names."),
}
