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

from .causes import Cause
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
# What an X server says when it refuses a client: no cookie, or no room.
CONNECTION_REFUSED = re.compile(r"authoriz|no protocol specified|maximum number of clients", re.I)


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
        return Cause.CRASH.found(signal=-status, name=name)
    return Cause.EXIT_STATUS.found(status=status)


def missing_socket(facts):
    """The failure of a local display whose socket file is gone: WSLg's
    server, for one, is reached through a link to its own folder."""
    return Cause.MISSING_SOCKET.found(
        advice="wslg" if facts.wslg else "wsl" if facts.wsl else "", display=facts.display,
        socket=facts.socket, link=facts.link, wslg=facts.wslg)


def untrusted_client(display, ssh):
    """The failure of a program the X server trusts less, and so hides GLX
    from: one forwarded by ssh -X, untrusted, or one with an untrusted cookie."""
    return Cause.UNTRUSTED_CLIENT.found("ssh" if ssh else "", display=display)


def runaway(indirect, limit_gib):
    """The failure of a program stopped for taking more than limit_gib of
    memory before its window appeared: the driver's doing, as the program
    needs little; Mesa's indirect GLX, where LIBGL_ALWAYS_INDIRECT is on."""
    if truthy(indirect):
        return Cause.INDIRECT.found("ran-away", limit_gib=limit_gib)
    return Cause.RUNAWAY.found(limit_gib=limit_gib)


def off_screen(area, screen, sfml, wm):
    """The failure of a window that lies wholly outside the screen, or None.
    area is the window's x, y, width and height, screen the screen's width
    and height, wm the window manager's name ("" for none)."""
    x, y, width, height = area
    if x < screen[0] and y < screen[1] and x + width > 0 and y + height > 0:
        return None
    placement = not wm and release(sfml) < PLACEMENT_RELEASE
    return Cause.OFF_SCREEN.found("placement" if placement else "", x=x, y=y, width=screen[0],
                                  height=screen[1], sfml=sfml, wm=wm or "none",
                                  needed=".".join(map(str, PLACEMENT_RELEASE)))


def no_answer(display, tool, seconds, answers):
    """The failure of an X client that had no answer within seconds: the
    server has stopped answering, or, where it still answers (answers), the
    client hung on its own."""
    cause = Cause.CLIENT_HUNG if answers else Cause.NO_ANSWER
    return cause.found(display=display, tool=tool, seconds=seconds)


def unanswered(facts):
    """The cause where no X server answered on the display."""
    display = facts.display
    base, screen = split_display(display)
    lost = SERVER_LOST.search(facts.stderr)
    if lost and truthy(facts.indirect):
        return Cause.INDIRECT.found("server-lost", display=display, lost=lost.group(0))
    if screen is not None and facts.screens is not None:
        return Cause.MISSING_SCREEN.found(base=base, screens=facts.screens, screen=screen,
                                          display=display)
    if CONNECTION_REFUSED.search(facts.server):
        return Cause.AUTH_REFUSED.found(display=display)
    if facts.socket:
        return missing_socket(facts)
    return Cause.NO_X_SERVER.found(display=display)


def server_cause(facts, screen):
    """The cause in the server the program reached, or None: a screen too
    shallow, GLX missing, hidden or too old."""
    display = facts.display
    depth = screen_depth(facts.server, screen)
    # A shallow screen has no GLX at all, so its depth is the cause to name.
    if depth is not None and depth < MIN_DEPTH:
        return Cause.SHALLOW_SCREEN.found(screen=screen, display=display, depth=depth,
                                          needed=MIN_DEPTH)
    if not has_glx(facts.server) and hides_extensions(facts.server):
        return untrusted_client(display, facts.ssh)
    if not has_glx(facts.server):
        return Cause.NO_GLX.found(display=display)
    # An old GLX refuses a request OpenGL libraries before Mesa 24 make, and
    # offers none of the framebuffer configurations that later ones look for;
    # glxinfo, asking the server, meets the same as the program.
    refused = "GLXUnsupportedPrivateRequest" in facts.glx
    if not refused and NO_FBCONFIG not in facts.glx:
        return None
    request = re.search(r"Minor opcode of failed request: +\d+ \((\w+)\)", facts.glx)
    return Cause.OLD_GLX.found(display=display, agent=facts.agent, refused=refused,
                               request=request.group(1) if request else "",
                               glxinfo=NO_FBCONFIG)


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
        return Cause.INDIRECT.found("said" if ours else "", advice="", said=ours,
                                    display=display)
    if screen != 0 and release(facts.sfml) < MULTI_SCREEN_RELEASE:
        return Cause.OTHER_SCREEN_NEEDS_2_6.found(
            display=display, screen=screen, sfml=facts.sfml, base=split_display(display)[0],
            needed=".".join(map(str, MULTI_SCREEN_RELEASE)))
    if libgl_error:
        return Cause.NO_DRIVER.found(advice="override" if facts.overrides else "",
                                     display=display, overrides=facts.overrides,
                                     error=libgl_error[:LIBGL_ERROR_LENGTH])
    if ours:
        return Cause.PROGRAM_FAILED.found(said=ours)
    return ended(facts.status)


def explain(facts):
    """The cause of a failed run, and what to do about it."""
    if not facts.server_answered:
        return unanswered(facts)
    screen = split_display(facts.display)[1] or 0
    return server_cause(facts, screen) or client_cause(facts, screen)
