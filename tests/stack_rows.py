"""The display stacks' rows, and the desktops': each a Stack, data only.

In server, wm and env, {tmp} is the row's own folder. Where drawing can
work, the row's status is 0; else the status the program ends with and what
it says, and what scripts/run must say with its failure's identifier.
"""

import dataclasses
import enum
import os
import re
import shutil
import subprocess

from routes import (LOCAL, Ipc, Nested, OtherUser, Rdp, Route, Socket, SocketFile, Ssh,
                    UntrustedCookie, Weston, XvfbRun, Xpra)
from sfmlcheck.session import NUMBER, SCREEN, xvfb
from suite import SANITIZED, XPOKE


def xorg_release():
    """The X.Org server's release, from Xvfb's package: (21, 1, 16), or ()."""
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "xvfb"],
                             capture_output=True, text=True, check=False).stdout
    found = re.match(r"(?:\d+:)?(\d+)\.(\d+)\.(\d+)", version)
    return tuple(int(n) for n in found.groups()) if found else ()


XORG_RELEASE = xorg_release()
SFML_VERSION = tuple(int(n) for n in os.environ["SFML_WORKS_SFML_VERSION"].split("."))
OPENBOX = ("openbox", "--sm-disable")
PICOM = ("picom", "--backend", "xrender", "--config", "/dev/null")


class Close(enum.Enum):
    """How the stacks' rows close the window."""
    WMCTRL = "wmctrl"  # the window manager's close request
    I3 = "i3"  # i3-msg kill
    DELETE = "delete"  # WM_DELETE_WINDOW straight to the window
    BATCH = "batch"  # the same, batched with input


class Way(enum.Enum):
    """The ways a person closes a window on a desktop."""
    REQUEST = "request"  # _NET_CLOSE_WINDOW, as a taskbar sends it
    KEY = "key"
    BUTTON = "button"  # the title bar's close button


EVERY_WAY = tuple(Way)


@dataclasses.dataclass(frozen=True)
class Stack:
    """One row: in server, wm and env, {tmp} is the row's own folder."""
    name: str
    server: tuple = xvfb()
    wm: tuple = OPENBOX  # () for none
    env: tuple = ()  # (name, value) pairs for the program and scripts/run
    display: str = "{display}"  # DISPLAY as the program sees it
    route: Route = LOCAL
    close: Close = Close.WMCTRL
    status: int = 0  # 0 where drawing works; else the status, -N for signal N
    says: str = ""  # what the program's stderr must match
    diagnosis: str = ""  # what scripts/run must say; with status 0, scripts/run alone runs
    failure: str = ""  # the identifier of the cause in scripts/run's JSON, where it fails
    shown: bool = False  # whether scripts/run shows the window and ends well
    args: tuple = ()  # scripts/run's own options
    clients: tuple = ()  # command lines started after the window manager ({port} free)
    dbus: bool = False  # whether the session has a D-Bus session bus, as a desktop's does
    closes: tuple = ()  # the Ways a person closes the window there
    key: tuple = ("alt+F4",)  # the close key for xdotool, or a command that closes
    covered: bool = False  # whether a window kept above the others covers most of the screen
    runaway: bool = False  # whether Mesa's indirect GLX may run away here (see Program.ran_away)

    def __post_init__(self):
        # A row is data: a value of the wrong kind is an error, not another path.
        for field in dataclasses.fields(self):
            value = getattr(self, field.name)
            kind = field.type if isinstance(field.type, type) else type(field.default)
            if not isinstance(value, kind):
                raise TypeError(f"{self.name}: {field.name} is {value!r}, not a {kind.__name__}")
        if not all(isinstance(way, Way) for way in self.closes):
            raise TypeError(f"{self.name}: closes holds {self.closes!r}, not Ways")

    def tools(self):
        """The programs the row needs, beyond the suite's own."""
        return [self.server[0], *(self.wm[:1] or OPENBOX[:1]),
                *(client[0] for client in self.clients), *self.route.tools,
                *(["dbus-daemon"] if self.dbus else []),
                # presses a key once the manager is up
                *(["xdotool"] if self.closes else [])]

    def unmet(self):
        """Why the row cannot run here, or "": the same for stacks and desktops."""
        if SANITIZED and self.name in UNSANITIZABLE:
            return UNSANITIZABLE[self.name]
        missing = [tool for tool in self.tools() if not shutil.which(tool)]
        if missing:
            return (f"not installed: {' '.join(missing)} (not in this release, or scripts/test "
                    "did not install it: the desktops come with --all)")
        return self.route.unmet()


# Rows that a sanitizer build cannot run, and why.
UNSANITIZABLE = {
    "indirect-allowed": "Mesa's indirect GLX reads past the end of a buffer (strtol in "
                        "libGLX_mesa), which AddressSanitizer stops before the program can",
}

STACKS = (
    # Servers and window managers where it works.
    Stack("xorg-dummy", server=("Xorg", "-config", "{tmp}/xorg.conf", "-noreset", "-nolisten",
                                "tcp", "-logfile", "{tmp}/xorg.log")),
    # Every server runs with -noreset: one that resets when its last client
    # leaves would drop the window manager that connects next.
    # Its viewers would connect through a socket in the row's folder: TigerVNC
    # 1.15 will not start with nowhere to listen.
    Stack("xvnc-24", server=("Xvnc", "-geometry", SCREEN, "-depth", "24", "-SecurityTypes",
                             "None", "-rfbport", "-1", "-rfbunixpath", "{tmp}/vnc",
                             "-nolisten", "tcp", "-noreset")),
    Stack("xephyr", server=("Xephyr", "-screen", SCREEN, "-nolisten", "tcp", "-noreset"),
          route=Nested()),
    Stack("ssh-x", route=Ssh()),
    Stack("weston-xwayland", wm=(), route=Weston(), close=Close.DELETE),
    Stack("i3", wm=("i3", "-c", "{tmp}/i3.conf"), close=Close.I3),
    Stack("fluxbox", wm=("fluxbox", "-rc", "{tmp}/none")),
    Stack("icewm", wm=("icewm",)),
    Stack("xvfb-depth-30", server=xvfb(depth=30)),
    Stack("softpipe", env=(("GALLIUM_DRIVER", "softpipe"),)),
    Stack("close-in-a-batch", close=Close.BATCH),
    # Xorg with xorgxrdp's own configuration, as xrdp's session manager starts it.
    Stack("xrdp", server=("/usr/lib/xorg/Xorg", "-auth", "{tmp}/cookies", "-config",
                          "xrdp/xorg.conf", "-noreset", "-nolisten", "tcp",
                          "-logfile", "{tmp}/xorgxrdp.log"), route=Rdp()),
    Stack("wslg-linked", route=SocketFile(Socket.WSLG_LINK), shown=True,
          diagnosis=r"^OK: .* works on :[0-9]+: .*exact picture on the screen"),
    Stack("container-ipc", route=Ipc()),
    Stack("other-user", server=xvfb("-auth", "{tmp}/cookies"), route=OtherUser()),
    # SFML 2.6 makes its window on the screen DISPLAY names; 2.5 cannot. No
    # window manager runs on screen 1, so scripts/run closes the window there.
    Stack("second-screen", server=xvfb(screens=2), display="{display}.1",
          **(dict(shown=True, diagnosis=r"^OK: .* works on :\d+\.1: .*window manager none,"
                  r".*exact picture on the screen") if SFML_VERSION >= (2, 6) else dict(
              status=1, says="BadMatch", failure="other-screen-needs-2.6",
              diagnosis=r"screen 1 of a multi-screen X server, "
              r"where SFML 2\.5\S* cannot make its window; SFML 2\.6 or later can"))),
    # Where it cannot work, and says why.
    # This server's indirect contexts give no OpenGL at all, and now and then
    # (one run in fifty here) Mesa runs away on it before the window appears:
    # then the row stops the program, and scripts/run must still name the cause.
    # The X servers of Debian 13 (21.1.16) and forky (21.1.25) crash as they
    # make the context, where Debian 12's (21.1.7) serves it: there only
    # scripts/run's account, on a server of its own, is checked, as the
    # program's own run would leave it none.
    Stack("indirect-allowed", server=xvfb("+iglx"), env=(("LIBGL_ALWAYS_INDIRECT", "1"),),
          runaway=True, failure="indirect", **(dict(
              diagnosis=r"rendering is indirect, and the X server on :[0-9]+ stopped as the "
              r"program asked it for an indirect OpenGL context \(X connection to :[0-9]+ "
              r"broken\)") if XORG_RELEASE >= (21, 1, 16) else dict(
              status=1, says=r"^sfml-works: the window opened, but its OpenGL context \(version "
              r"0\.0\) cannot draw: drawing needs OpenGL 1\.1$",
              diagnosis="rendering is indirect, and OpenGL 1.1 cannot be had through it"))),
    Stack("indirect-refused", env=(("LIBGL_ALWAYS_INDIRECT", "1"),), status=1,
          says="Failed to create an OpenGL context",
          diagnosis="rendering is indirect, and the X server on :[0-9]+ refuses indirect GLX",
          failure="indirect"),
    Stack("no-glx", server=xvfb("-extension", "GLX"), status=-11,
          diagnosis="has no GLX extension, so SFML cannot make an OpenGL window",
          failure="no-glx"),
    # A server hides GLX from a client it trusts less, whatever way it came.
    # ssh ends with 255 where the remote command is killed by a signal.
    Stack("ssh-x-untrusted", route=Ssh(trusted=False), status=255, failure="untrusted-client",
          diagnosis=r"the X server on localhost:[0-9.]+ treats this program as an untrusted "
          r"client, as ssh -X makes it where forwarding is untrusted \(.*\), and hides GLX "
          r"from it, .*: log in with ssh -Y instead"),
    Stack("untrusted-cookie", server=xvfb("-auth", "{tmp}/cookies"), route=UntrustedCookie(),
          status=-11, failure="untrusted-client",
          diagnosis=r"treats this program as an untrusted client, as its cookie was made "
          r"\(xauth generate … untrusted\), .*: use a trusted cookie \(xauth generate :[0-9]+ "
          r"\. trusted\)"),
    Stack("depth-16", server=xvfb(depth=16), status=1, says="BadMatch",
          diagnosis="screen 0 of :[0-9]+ is 16 bits deep, and SFML needs 24",
          failure="shallow-screen"),
    Stack("depth-8", server=xvfb(depth=8), status=-11,
          diagnosis="screen 0 of :[0-9]+ is 8 bits deep, and SFML needs 24",
          failure="shallow-screen"),
    Stack("no-server", display="{missing}", status=-6, says="Failed to open X11 display",
          diagnosis=r"no X server answers on DISPLAY=:[0-9]+, and its socket "
          r"/tmp/\.X11-unix/X[0-9]+ is missing: the server has stopped", failure="missing-socket"),
    Stack("wslg-unlinked", route=SocketFile(Socket.WSLG_NONE), status=-6,
          says="Failed to open X11 display", failure="missing-socket",
          diagnosis=r"its socket /tmp/\.X11-unix/X([0-9]+) is missing: on WSL, WSLg's X server "
          r"listens on /mnt/wslg/\.X11-unix/X\1: link it there \(ln -sf "),
    Stack("socket-dangling", route=SocketFile(Socket.DANGLING), status=-6,
          says="Failed to open X11 display", failure="missing-socket",
          diagnosis=r"its socket /tmp/\.X11-unix/X[0-9]+ is a link to /gone/X[0-9]+, which is "
          r"not there: the server has stopped"),
    # X2Go's and NoMachine's server, nested in a host Xvfb as in their clients.
    # SFML 2.5 ends on the X error; 2.6 crashes on the context it could not make.
    Stack("nxagent", server=("nxagent", "-ac", "-nolisten", "tcp", "-noreset", NUMBER),
          route=Nested(), failure="old-glx",
          **(dict(status=-11) if SFML_VERSION >= (2, 6)
             else dict(status=1, says="GLXUnsupportedPrivateRequest")),
          diagnosis=r"the X server on :[0-9]+ \(nxagent [0-9.]+, as X2Go and NoMachine run it\) "
          r"has only an old GLX, which (refuses a request OpenGL needs "
          r"\(X_GLXVendorPrivateWithReply, as glxinfo shows\)|offers no framebuffer "
          r"configuration that OpenGL can draw with .*): draw through VirtualGL"),
    Stack("refused", server=xvfb("-auth", "{tmp}/cookies"),
          env=(("XAUTHORITY", "{tmp}/no-cookies"),), status=-6,
          says="Failed to open X11 display",
          diagnosis=r"refused the connection \(authorization\)", failure="auth-refused"),
    # A driver Mesa does not have: Mesa 22 and 25 alike fail to load it for real.
    Stack("no-driver", env=(("GALLIUM_DRIVER", "nosuchdriver"),), status=1,
          says="failed to create drisw screen", failure="no-driver",
          diagnosis=r"no OpenGL driver loads for :[0-9]+ \(.*failed to create drisw screen\): "
          r"GALLIUM_DRIVER=nosuchdriver names a driver"),
    Stack("missing-screen", server=xvfb("+xinerama"), display="{display}.1", status=-6,
          says="Failed to open X11 display",
          diagnosis=r"the X server on :[0-9]+ has 1 screen\(s\), so it has no screen 1 for "
          r"DISPLAY=:[0-9]+\.1: use screen 0", failure="missing-screen"),
    # What only scripts/run can tell: drivers that draw, or show, wrongly.
    *(Stack(f"driver-{fault}", env=(("LD_PRELOAD", "{tmp}/libwrong-driver.so"),
                                    ("WRONG_DRIVER", fault)), diagnosis=said, failure=failure)
      for fault, failure, said in (
          ("nothing", "draws-nothing",
           "the window opened but shows no circle, only black.*LIBGL_ALWAYS_SOFTWARE"),
          ("part", "drawn-wrong", r"the OpenGL driver drew the picture wrongly: part of the "
           r"circle is missing \(\d+ of its pixels\) \(\d+ of 40000 pixels differ\).*comparison"
           r"\.png"),
          ("background", "drawn-wrong", r"drew the picture wrongly: the background is rgb\(128, "
           r"0, 0\), not black \(\d+ of 40000"),
          ("moved", "drawn-wrong", r"drew the picture wrongly: the circle is in the wrong place, "
           r"about [4-6] px right and 0 px down"),
          ("colours", "drawn-wrong",
           r"drew the picture wrongly: the circle is rgb\(0, 0, 255\), not green"),
          ("hidden", "shown-wrong", r"the program drew the picture right, but the screen shows "
           r"something else: only black"),
          # Right at first, then wrong; wrong on every other frame; dead at exit.
          ("late", "went-wrong", r"the picture was right at first, then drawn wrongly: the "
           r"background is rgb\(128, 0, 0\), not black"),
          ("alternate", "flickers", r"the picture changes from frame to frame: [1-9] of [2-9] "
           r"frames drawn differ from the exact picture.*the background is rgb\(128, 0, 0\)"),
          ("crash", "crash-at-exit", r"the window, the drawing and the close all worked, but "
           r"then sfml-works was killed by signal 11 \(SEGV\) as it exited: .*"
           r"LIBGL_ALWAYS_SOFTWARE=1"))),
    # A frame every 1.5 s works, and is called slow.
    Stack("driver-slow", env=(("LD_PRELOAD", "{tmp}/libwrong-driver.so"),
                              ("WRONG_DRIVER", "slow")), shown=True,
          diagnosis=r"^OK: .*, only 0\.[5-7] frames per second: slow \(.*\); exact picture"),
    Stack("wayland-without-x", route=Weston(xwayland=False), wm=(), display="", failure="wayland-without-x",
          diagnosis=r"the Wayland session \(.*\) has no X server: DISPLAY is not set, and SFML 2 "
          r"draws through X11 only: turn on or install Xwayland \(Debian's package xwayland"),
    Stack("never-shown", wm=(XPOKE, "hold", "0", "0"),
          diagnosis=r"the window was made but never shown: the window manager \(hold\) or a "
          r"proxy .* holds it unmapped", failure="never-shown"),
    # Where it works, as scripts/run sees it.
    Stack("no-window-manager", wm=(), shown=True,
          diagnosis=r"No window manager runs on :[0-9]+, so the window has no title bar or "
          r"close button(.|\n)*^OK: .*closed by a close request sent to the window with status 0"),
    # A screen wider than it is tall, with no window manager: SFML 2.5 puts
    # the window below it.
    Stack("wide-screen", server=xvfb(size="2560x1080"), wm=(), **(dict(
        shown=True, diagnosis=r"^OK: .*window manager none,.*exact picture on the screen")
        if SFML_VERSION >= (2, 6) else dict(
        failure="off-screen", diagnosis=r"the window lies wholly outside the screen, at "
        r"\d+,\d+ on a screen of 2560 x 1080, .*SFML 2\.5\S* places a window that no window "
        r"manager places"))),
    Stack("xvfb-run", wm=(), route=XvfbRun(), shown=True,
          diagnosis=r"^OK: .*window manager none,.*closed by a close request sent to the window"),
    Stack("close-switch", args=("--close",), shown=True,
          diagnosis=r"^OK: .*window manager Openbox,.*exact picture on the screen and the drawn "
          r"frame.*closed by a close request sent to the window"),
    Stack("i3-tiled-script", wm=("i3", "-c", "{tmp}/i3.conf"), close=Close.I3, shown=True,
          diagnosis=r"close it to finish: i3 draws no close button, so use its close key"
          r"(.|\n)*^OK: .*window manager i3,.*exact picture on the screen"),
    Stack("xcompmgr", clients=(("xcompmgr",),), shown=True,
          diagnosis=r"^OK: .*window manager Openbox,.*exact picture on the screen"),
    Stack("picom", clients=(PICOM,), shown=True,
          diagnosis=r"^OK: .*window manager Openbox,.*exact picture on the screen"),
    Stack("partly-covered", covered=True, shown=True,
          diagnosis=r"^OK: .*exact picture on the drawn frame \(the window \"cover\" covers it "
          r"on the screen\)"),
)


# The desktops people use, each started as its session starts it, and closed
# in every way it offers a person: the close request (_NET_CLOSE_WINDOW, as a
# taskbar or pager sends it), its close key, and a click on the title bar's
# close button. Each way must end the program with status 0 within 2 s.
DESKTOPS = (
    Stack("gnome-mutter", wm=("mutter", "--x11"), dbus=True, closes=EVERY_WAY),
    # kwin draws no title bar without its decoration (kwin-style-breeze), and
    # takes its keys only once its shortcut service is on the session bus.
    Stack("kde-kwin", wm=("kwin_x11",), dbus=True, closes=EVERY_WAY),
    Stack("xfce-xfwm4", wm=("xfwm4", "--compositor=off"), dbus=True, closes=EVERY_WAY),
    Stack("xfce-xfwm4-compositing", wm=("xfwm4", "--compositor=on"), dbus=True,
          closes=EVERY_WAY),
    Stack("metacity", wm=("metacity",), dbus=True, closes=EVERY_WAY),
    # marco stops at start without its settings schema (mate-settings-daemon-common).
    Stack("mate-marco", wm=("marco",), dbus=True, closes=EVERY_WAY),
    Stack("awesome", wm=("awesome",), closes=EVERY_WAY, key=("super+shift+c",)),
    Stack("bspwm", wm=("bspwm",), closes=(Way.REQUEST, Way.KEY), key=("bspc", "node", "-c")),
    Stack("herbstluftwm", wm=("herbstluftwm",), closes=(Way.REQUEST, Way.KEY),
          key=("alt+shift+c",)),
    # dwm ignores the close request; its key is all there is.
    Stack("dwm", wm=("dwm",), closes=(Way.KEY,), key=("alt+shift+c",)),
    Stack("openbox-picom", clients=(PICOM,), closes=EVERY_WAY),
    Stack("openbox-xcompmgr", clients=(("xcompmgr",),), closes=EVERY_WAY),
    Stack("xinerama", server=xvfb("+xinerama", screens=2), closes=EVERY_WAY),
    Stack("x11vnc", clients=(("x11vnc", "-localhost", "-nopw", "-forever", "-quiet",
                              "-rfbport", "{port}"),), closes=EVERY_WAY),
    # The program draws on xpra's own display; its window is shown, and
    # closed, on this one through a client attached to it.
    Stack("xpra", route=Xpra(), dbus=True, closes=EVERY_WAY),
    # openbox shrinks the window to fit; the circle keeps its size, clipped.
    Stack("small-screen", server=xvfb(size="160x120"), closes=EVERY_WAY),
)
# What the desktops' own D-Bus services are called, where a close way needs
# one to have started.
SHORTCUT_SERVICES = {"kde-kwin": "org.kde.kglobalaccel"}

# Rows that a sanitizer build cannot run, and why.
UNSANITIZABLE = {
    "indirect-allowed": "Mesa's indirect GLX reads past the end of a buffer (strtol in "
                        "libGLX_mesa), which AddressSanitizer stops before the program can",
}
