"""Why the program failed on a display, and what to do about it, from what
the X server (xdpyinfo), GLX (glxinfo -B) and the program itself said. Pure
functions of those facts, so that every stack's account can be checked on
its captured texts alone.

Each cause has a stable identifier, which the JSON verdict carries; the words
are for people and may be improved.
"""

import re
import signal
from dataclasses import dataclass
from typing import Optional

from .causes import Cause, Failure
from .facts import MIN_DEPTH, MULTI_SCREEN_RELEASE, PLACEMENT_RELEASE, PROGRAM

# The longest part of a driver's error quoted in a verdict.
LIBGL_ERROR_LENGTH = 120
# What Mesa says when no OpenGL driver loads: behind libGL's prefix before
# Mesa 24, bare from Mesa 24 on.
DRIVER_ERROR = re.compile(
    r"^(?:libGL error: .*|.*\bfailed to load driver: .*|glx: failed to create \w+ screen.*"
    r"|MESA: error: ZINK: .*|.*DRI driver not from this Mesa build.*"
    r"|MESA-LOADER: failed to open .*)$", re.M)
# What Mesa 24 and later say of a GLX that offers them nothing to draw with.
NO_FBCONFIG = "couldn't find RGB GLX visual or fbconfig"
# What Xlib says when the X server goes away under a client.
SERVER_LOST = re.compile(r"X connection to \S+ broken")
# What chooses Mesa's driver, where a user may have set it.
DRIVER_OVERRIDES = ("GALLIUM_DRIVER", "MESA_LOADER_DRIVER_OVERRIDE")
# What the library or the driver says on a machine where all is well: an
# input method that XMODIFIERS names but that does not run (SFML 2.6), and
# vertical sync that the server cannot set (Xvfb, SFML 2.5).
HARMLESS = re.compile(
    r"^(?:Failed to create input context for window -- TextEntered event won't be able to "
    r"return unicode|Setting vertical sync not supported)$")
# What indirect rendering cannot give the library.
NO_INDIRECT_GL = "rendering is indirect, and OpenGL 1.1 cannot be had through it"


@dataclass
class Facts:
    """What was gathered about a failed run on display."""
    display: str
    status: Optional[int] = None  # the exit status; -N for signal N
    server_answered: bool = True  # whether xdpyinfo could talk to the display
    server: str = ""  # what xdpyinfo said, errors included
    screens: Optional[int] = None  # screens of the server, where the display names one it lacks
    glx: str = ""  # what glxinfo -B said
    stderr: str = ""  # what the program said
    indirect: str = ""  # LIBGL_ALWAYS_INDIRECT
    sfml: str = "2"  # the library's release
    socket: str = ""  # the display's socket file, where no server answers and it is missing
    link: str = ""  # where that file, or its folder, links to, where the link leads nowhere
    wsl: bool = False  # whether the machine is WSL
    wslg: str = ""  # WSLg's own socket for the display, where it is there
    agent: str = ""  # the server's NX_AGENT_VERSION, where it is nxagent
    ssh: bool = False  # whether the run is in an ssh session (SSH_CONNECTION is set)
    overrides: str = ""  # the variables that choose Mesa's driver, as NAME=value, where set


def truthy(value):
    """Whether an environment switch such as LIBGL_ALWAYS_INDIRECT is on."""
    return bool(value) and value.lower() not in ("0", "false", "no", "n", "f")


def release(version):
    """A release's numbers, for comparing: "2.5.1" is (2, 5, 1)."""
    return tuple(int(n) for n in re.findall(r"\d+", version))


def split_display(display):
    """DISPLAY's server part and screen number: ":3.1" is (":3", 1)."""
    found = re.match(r"^(.*?)(?:\.(\d+))?$", display)
    return found.group(1), int(found.group(2)) if found.group(2) else None


def field(name, text):
    """The value of the first "name: value" line of an X tool's text, or ""."""
    found = re.search(rf"^{re.escape(name)}: *(.*)$", text, re.M)
    return found.group(1) if found else ""


def _first_line(text, prefix):
    return next((line for line in text.splitlines() if line.startswith(prefix)), "")


def screen_depth(server, screen):
    """The depth of the screen's root window, from xdpyinfo's text."""
    section = re.search(rf"^screen #{screen}:$(.*?)(?:^screen #|\Z)", server, re.M | re.S)
    depth = section and re.search(r"depth of root window:\s+(\d+)", section.group(1))
    return int(depth.group(1)) if depth else None


def driver_error(stderr):
    """Mesa's first line saying that no OpenGL driver loads, or ""."""
    found = DRIVER_ERROR.search(stderr)
    return found.group(0) if found else ""


def worth_showing(stderr):
    """The program's lines, without those that are harmless on any machine."""
    return [line for line in stderr.splitlines() if line.strip() and not HARMLESS.match(line)]


def has_glx(server):
    return re.search(r"^ *GLX$", server, re.M) is not None


def hides_extensions(server):
    """Whether the server hides its extensions from this client, as it does
    from an untrusted one: RENDER is in every X server of today."""
    return "number of extensions:" in server and not re.search(r"^ *RENDER$", server, re.M)


def ended(status):
    """How the program ended, in words, from its exit status."""
    if status is not None and status < 0:
        try:
            name = signal.Signals(-status).name[3:]
        except ValueError:
            name = "unknown"
        return Failure(Cause.CRASH, f"{PROGRAM} was killed by signal {-status} ({name})")
    return Failure(Cause.EXIT_STATUS, f"{PROGRAM} exited with status {status}")


def missing_socket(facts):
    """The failure of a local display whose socket file is gone: WSLg's
    server, for one, is reached through a link to its own folder."""
    gone = f"a link to {facts.link}, which is not there" if facts.link else "missing"
    variant = "wslg" if facts.wslg else "wsl" if facts.wsl else ""
    return Failure(Cause.MISSING_SOCKET, f"no X server answers on DISPLAY={facts.display}, and "
                   f"its socket {facts.socket} is {gone}: " + Cause.MISSING_SOCKET.advice(
                       variant, wslg=facts.wslg, socket=facts.socket))


def untrusted_client(display, ssh):
    """The failure of a program the X server trusts less, and so hides GLX
    from: one forwarded by ssh -X, untrusted, or one with an untrusted cookie."""
    why = ("as ssh -X makes it where forwarding is untrusted (ForwardX11Trusted no, OpenSSH's "
           "own default)" if ssh else "as its cookie was made (xauth generate … untrusted)")
    how = Cause.UNTRUSTED_CLIENT.advice("ssh" if ssh else "", display=display)
    return Failure(Cause.UNTRUSTED_CLIENT, f"the X server on {display} treats this program as "
                   f"an untrusted client, {why}, and hides GLX from it, so SFML cannot make an "
                   f"OpenGL window: {how}")


def runaway(indirect, limit_gib):
    """The failure of a program stopped for taking more than limit_gib of
    memory before its window appeared: the driver's doing, as the program
    needs little; Mesa's indirect GLX, where LIBGL_ALWAYS_INDIRECT is on."""
    took = f"{PROGRAM} took over {limit_gib} GiB of memory before its window appeared"
    if truthy(indirect):
        return Failure(Cause.INDIRECT, f"{NO_INDIRECT_GL}: Mesa's indirect GLX ran away making "
                       f"the window ({took}, and was stopped): "
                       + Cause.INDIRECT.advice("ran-away"))
    return Failure(Cause.RUNAWAY, f"{took}, and was stopped: its OpenGL driver runs away making "
                   f"the window; {Cause.RUNAWAY.advice()}")


def off_screen(area, screen, sfml, wm):
    """The failure of a window that lies wholly outside the screen, or None.
    area is the window's x, y, width and height, screen the screen's width
    and height, wm the window manager's name ("" for none)."""
    x, y, width, height = area
    if x < screen[0] and y < screen[1] and x + width > 0 and y + height > 0:
        return None
    words = (f"the window lies wholly outside the screen, at {x},{y} on a screen of "
             f"{screen[0]} x {screen[1]}, so nothing of it can be seen or drawn: ")
    if not wm and release(sfml) < PLACEMENT_RELEASE:
        words += (f"SFML {sfml} places a window that no window manager places by the screen's "
                  "width where its height belongs, which on a screen wider than it is tall "
                  "puts it below the bottom: " + Cause.OFF_SCREEN.advice(
                      "placement", needed=".".join(map(str, PLACEMENT_RELEASE))))
    else:
        words += (f"the window manager ({wm or 'none'}) placed it there, or the screen shrank "
                  "under it: " + Cause.OFF_SCREEN.advice())
    return Failure(Cause.OFF_SCREEN, words)


def no_answer(display, tool, seconds, answers):
    """The failure of an X client that had no answer within seconds: the
    server has stopped answering, or, where it still answers (answers), the
    client hung on its own."""
    if answers:
        return Failure(Cause.CLIENT_HUNG, f"{tool} hung for {seconds} s on {display}, though "
                       f"its X server still answers: {Cause.CLIENT_HUNG.advice()}")
    return Failure(Cause.NO_ANSWER, f"the X server on {display} does not answer: {tool} had "
                   f"no reply within {seconds} s; it has hung or been stopped (a frozen "
                   "desktop, a server suspended with Ctrl+Z), or, through ssh -X, the "
                   f"connection behind the display is gone: {Cause.NO_ANSWER.advice()}")


def unanswered(facts):
    """The cause where no X server answered on the display."""
    display = facts.display
    base, screen = split_display(display)
    lost = SERVER_LOST.search(facts.stderr)
    if lost and truthy(facts.indirect):
        return Failure(Cause.INDIRECT, f"rendering is indirect, and the X server on {display} "
                       f"stopped as the program asked it for an indirect OpenGL context "
                       f"({lost.group(0)}), as the indirect GLX of some X servers does "
                       f"(Debian 13's among them): {Cause.INDIRECT.advice('server-lost')}")
    if screen is not None and facts.screens is not None:
        return Failure(Cause.MISSING_SCREEN, f"the X server on {base} has {facts.screens} "
                       f"screen(s), so it has no screen {screen} for DISPLAY={display}: "
                       + Cause.MISSING_SCREEN.advice(base=base))
    if re.search(r"authoriz|no protocol specified|maximum number of clients",
                 facts.server, re.I):
        return Failure(Cause.AUTH_REFUSED, f"the X server on {display} refused the connection "
                       f"(authorization): {Cause.AUTH_REFUSED.advice()}")
    if facts.socket:
        return missing_socket(facts)
    return Failure(Cause.NO_X_SERVER, f"no X server answers on DISPLAY={display}: "
                   + Cause.NO_X_SERVER.advice())


def server_cause(facts, screen):
    """The cause in the server the program reached, or None: a screen too
    shallow, GLX missing, hidden or too old."""
    display = facts.display
    depth = screen_depth(facts.server, screen)
    # A shallow screen has no GLX at all, so its depth is the cause to name.
    if depth is not None and depth < MIN_DEPTH:
        return Failure(Cause.SHALLOW_SCREEN, f"screen {screen} of {display} is {depth} bits "
                       f"deep, and SFML needs {MIN_DEPTH}: "
                       + Cause.SHALLOW_SCREEN.advice(depth=MIN_DEPTH, screen=screen))
    if not has_glx(facts.server) and hides_extensions(facts.server):
        return untrusted_client(display, facts.ssh)
    if not has_glx(facts.server):
        return Failure(Cause.NO_GLX, f"the X server on {display} has no GLX extension, so SFML "
                       "cannot make an OpenGL window there (the library crashes): "
                       + Cause.NO_GLX.advice())
    # An old GLX refuses a request OpenGL libraries before Mesa 24 make, and
    # offers none of the framebuffer configurations that later ones look for;
    # glxinfo, asking the server, meets the same as the program.
    refused = "GLXUnsupportedPrivateRequest" in facts.glx
    if not refused and NO_FBCONFIG not in facts.glx:
        return None
    request = re.search(r"Minor opcode of failed request: +\d+ \((\w+)\)", facts.glx)
    which = f"nxagent {facts.agent}, as X2Go and NoMachine run it" if facts.agent \
        else "an old one"
    lacks = ("refuses a request OpenGL needs ("
             f"{request.group(1) if request else 'a vendor private request'}, as glxinfo "
             "shows)") if refused else ("offers no framebuffer configuration that OpenGL "
                                        f"can draw with (glxinfo: {NO_FBCONFIG})")
    return Failure(Cause.OLD_GLX, f"the X server on {display} ({which}) has only an old GLX, "
                   f"which {lacks}: {Cause.OLD_GLX.advice()}")


def client_cause(facts, screen):
    """The cause on the program's side of the connection: indirect
    rendering, a screen the library cannot use, a driver that does not
    load, the program's own words; else how it ended."""
    display = facts.display
    direct = field("direct rendering", facts.glx)
    ours = _first_line(facts.stderr, f"{PROGRAM}: ")[len(PROGRAM) + 2:]
    libgl_error = driver_error(facts.stderr)
    # Mesa falls back to indirect rendering when no driver loads; that is not
    # the cause to name then.
    if truthy(facts.indirect) or (direct.startswith("No") and not libgl_error):
        how = Cause.INDIRECT.advice()
        if ours:
            return Failure(Cause.INDIRECT, f"{NO_INDIRECT_GL} ({ours}): {how}")
        return Failure(Cause.INDIRECT, f"rendering is indirect, and the X server on {display} "
                       f"refuses indirect GLX, as X servers do by default: {how}")
    if screen != 0 and release(facts.sfml) < MULTI_SCREEN_RELEASE:
        needed = ".".join(map(str, MULTI_SCREEN_RELEASE))
        base = split_display(display)[0]
        return Failure(Cause.OTHER_SCREEN_NEEDS_2_6, f"{display} is screen {screen} of a "
                       f"multi-screen X server, where SFML {facts.sfml} cannot make its "
                       f"window; SFML {needed} or later can: "
                       + Cause.OTHER_SCREEN_NEEDS_2_6.advice(base=base, needed=needed))
    if libgl_error:
        how = Cause.NO_DRIVER.advice("override" if facts.overrides else "",
                                     overrides=facts.overrides)
        return Failure(Cause.NO_DRIVER, f"no OpenGL driver loads for {display} "
                       f"({libgl_error[:LIBGL_ERROR_LENGTH]}): {how}")
    if ours:
        return Failure(Cause.PROGRAM_FAILED, f"{ours}: {Cause.PROGRAM_FAILED.advice()}")
    return ended(facts.status)


def explain(facts):
    """The cause of a failed run, and what to do about it."""
    if not facts.server_answered:
        return unanswered(facts)
    screen = split_display(facts.display)[1] or 0
    return server_cause(facts, screen) or client_cause(facts, screen)
