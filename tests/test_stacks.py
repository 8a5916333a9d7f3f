"""The program on the display stacks people really run, one row each, every
server, compositor and window manager the real one from Debian's packages.

Where drawing can work, the window is shown, its picture is exact for the size
the window manager gave it, and a close sent the way that stack sends it ends
the program with status 0. Where it cannot, the program ends at once with its
status and its own line, presents no frame, and scripts/run names the cause.
"""

import dataclasses
import enum
import getpass
import json
import os
import pathlib
import pwd
import re
import shlex
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import unittest
from contextlib import ExitStack

import pytest

from sfmlcheck import oracle
from sfmlcheck.diagnosis import split_display
from sfmlcheck.procs import stop_process
from sfmlcheck.program import linked
from sfmlcheck.session import NUMBER, SCREEN, xvfb
from suite import (BIN, CLOSE_DEADLINE, SANITIZED, START_TIMEOUT, XSession, missing_display,
                   run_script, sanitizer_env, wait_for)

WRONG_DRIVER_LIB = os.environ["WRONG_DRIVER_LIB"]
XPOKE = os.environ["XPOKE"]
SFML_VERSION = tuple(int(n) for n in os.environ["SFML_WORKS_SFML_VERSION"].split("."))


def xorg_release():
    """The X.Org server's release, from Xvfb's package: (21, 1, 16), or ()."""
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "xvfb"],
                             capture_output=True, text=True, check=False).stdout
    found = re.match(r"(?:\d+:)?(\d+)\.(\d+)\.(\d+)", version)
    return tuple(int(n) for n in found.groups()) if found else ()


XORG_RELEASE = xorg_release()
OPENBOX = ("openbox", "--sm-disable")
PICOM = ("picom", "--backend", "xrender", "--config", "/dev/null")
# Batched after a close request, to show the close is not lost among them:
# key presses and motions, one flush of Xlib's output buffer in all.
BATCHED_EVENTS = 100

FILES = {
    "xorg.conf": """\
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 65536
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Modes "1280x1024"
    EndSubSection
EndSection
""",
    # No bar block, so i3 starts no bar.
    "i3.conf": "# i3 config file (v4)\nfont pango:monospace 8\n",
    # xrdp serving the row's Xorg through xorgxrdp's socket, without a session
    # manager: TLS with the row's own certificate; channels allowed, as with none xrdp
    # cannot read the channel joins FreeRDP sends.
    "xrdp.ini": """\
[Globals]
ini_version=1
fork=false
port=tcp://127.0.0.1:{port}
security_layer=tls
certificate={tmp}/cert.pem
key_file={tmp}/key.pem
autorun=session
allow_channels=true
max_bpp=32
[Logging]
LogFile={tmp}/xrdp.log
EnableSyslog=false
[session]
name=session
lib=libxup.so
username=na
password=na
ip=127.0.0.1
port={tmp}/xrdp_display_{{number}}
code=20
""",
    "sshd_config": """\
ListenAddress 127.0.0.1
Port {port}
HostKey {tmp}/host_key
AuthorizedKeysFile {tmp}/client_key.pub
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PidFile none
X11Forwarding yes
X11UseLocalhost yes
AcceptEnv LD_PRELOAD FRAME_COUNTER_FILE ASAN_OPTIONS UBSAN_OPTIONS
SetEnv XAUTHORITY={tmp}/xauthority
""",
}


class Route(enum.Enum):
    """How the program reaches the display."""
    LOCAL = "local"
    NESTED = "nested"  # in a server nested in a host Xvfb
    WESTON = "weston"  # Xwayland under weston
    WAYLAND = "wayland"  # weston without Xwayland: no X server at all
    SSH = "ssh"  # forwarded by ssh -X, trusted (Debian's ssh by default)
    SSH_UNTRUSTED = "ssh-untrusted"  # the same, untrusted (OpenSSH's own default)
    UNTRUSTED = "untrusted"  # with a cookie made by xauth generate … untrusted
    XPRA = "xpra"  # on xpra's display, shown through a client attached here
    XVFB_RUN = "xvfb-run"  # scripts/run under xvfb-run
    # In network and mount namespaces of its own, where the server's abstract
    # socket is out of reach and /tmp/.X11-unix is the row's: its socket file
    # is the only way there, as WSLg's clients have.
    SOCKET_FILE = "socket-file"
    IPC = "ipc"  # in an IPC namespace of its own, as in a container without --ipc=host
    OTHER_USER = "other-user"  # as another user, who has only the display's cookie
    # On xrdp's Xorg, seen and closed through FreeRDP's client on a display
    # of its own, as a person at another machine does.
    RDP = "rdp"


class Socket(enum.Enum):
    """What the socket-file route's /tmp/.X11-unix holds for the display."""
    WSLG_LINK = "wslg-link"  # a link to the server's socket, kept where WSLg keeps its own
    WSLG_NONE = "wslg-none"  # nothing, the server's socket kept where WSLg keeps its own
    DANGLING = "dangling"  # a link to nothing


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


# What a route runs besides the row's server and window manager; the login
# servers are in MACHINE_SERVERS below.
ROUTE_TOOLS = {Route.WESTON: ("weston",), Route.WAYLAND: ("weston",), Route.SSH: ("ssh",),
               Route.SSH_UNTRUSTED: ("ssh",), Route.UNTRUSTED: ("xauth",),
               Route.XPRA: ("xpra",), Route.XVFB_RUN: ("xvfb-run",),
               Route.OTHER_USER: ("xauth",), Route.SOCKET_FILE: ("mount",)}
# FreeRDP's X client: 3's where the release has it (Debian 13), else 2's.
RDP_CLIENTS = ("xfreerdp3", "xfreerdp")


def rdp_client():
    return next(filter(None, map(shutil.which, RDP_CLIENTS)), None)


@dataclasses.dataclass(frozen=True)
class Stack:
    """One row: in server, wm and env, {tmp} is the row's own folder."""
    name: str
    server: tuple = xvfb()
    wm: tuple = OPENBOX  # () for none
    env: tuple = ()  # (name, value) pairs for the program and scripts/run
    display: str = "{display}"  # DISPLAY as the program sees it
    route: Route = Route.LOCAL
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
    socket: Socket = Socket.WSLG_LINK  # on the socket-file route, what the socket file is
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
        needed = [self.server[0], *(self.wm[:1] or OPENBOX[:1]),
                  *(client[0] for client in self.clients), *ROUTE_TOOLS.get(self.route, ())]
        if self.route is Route.RDP:
            needed.append(rdp_client() or RDP_CLIENTS[0])
        if self.dbus:
            needed.append("dbus-daemon")
        if self.closes:
            needed.append("xdotool")  # presses a key once the manager is up
        return needed


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
          route=Route.NESTED),
    Stack("ssh-x", route=Route.SSH),
    Stack("weston-xwayland", wm=(), route=Route.WESTON, close=Close.DELETE),
    Stack("i3", wm=("i3", "-c", "{tmp}/i3.conf"), close=Close.I3),
    Stack("fluxbox", wm=("fluxbox", "-rc", "{tmp}/none")),
    Stack("icewm", wm=("icewm",)),
    Stack("xvfb-depth-30", server=xvfb(depth=30)),
    Stack("softpipe", env=(("GALLIUM_DRIVER", "softpipe"),)),
    Stack("close-in-a-batch", close=Close.BATCH),
    # Xorg with xorgxrdp's own configuration, as xrdp's session manager starts it.
    Stack("xrdp", server=("/usr/lib/xorg/Xorg", "-auth", "{tmp}/cookies", "-config",
                          "xrdp/xorg.conf", "-noreset", "-nolisten", "tcp",
                          "-logfile", "{tmp}/xorgxrdp.log"), route=Route.RDP),
    Stack("wslg-linked", route=Route.SOCKET_FILE, socket=Socket.WSLG_LINK, shown=True,
          diagnosis=r"^OK: .* works on :[0-9]+: .*exact picture on the screen"),
    Stack("container-ipc", route=Route.IPC),
    Stack("other-user", server=xvfb("-auth", "{tmp}/cookies"), route=Route.OTHER_USER),
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
    Stack("ssh-x-untrusted", route=Route.SSH_UNTRUSTED, status=255, failure="untrusted-client",
          diagnosis=r"the X server on localhost:[0-9.]+ treats this program as an untrusted "
          r"client, as ssh -X makes it where forwarding is untrusted \(.*\), and hides GLX "
          r"from it, .*: log in with ssh -Y instead"),
    Stack("untrusted-cookie", server=xvfb("-auth", "{tmp}/cookies"), route=Route.UNTRUSTED,
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
    Stack("wslg-unlinked", route=Route.SOCKET_FILE, socket=Socket.WSLG_NONE, status=-6,
          says="Failed to open X11 display", failure="missing-socket",
          diagnosis=r"its socket /tmp/\.X11-unix/X([0-9]+) is missing: on WSL, WSLg's X server "
          r"listens on /mnt/wslg/\.X11-unix/X\1: link it there \(ln -sf "),
    Stack("socket-dangling", route=Route.SOCKET_FILE, socket=Socket.DANGLING, status=-6,
          says="Failed to open X11 display", failure="missing-socket",
          diagnosis=r"its socket /tmp/\.X11-unix/X[0-9]+ is a link to /gone/X[0-9]+, which is "
          r"not there: the server has stopped"),
    # X2Go's and NoMachine's server, nested in a host Xvfb as in their clients.
    # SFML 2.5 ends on the X error; 2.6 crashes on the context it could not make.
    Stack("nxagent", server=("nxagent", "-ac", "-nolisten", "tcp", "-noreset", NUMBER),
          route=Route.NESTED, failure="old-glx",
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
    Stack("wayland-without-x", route=Route.WAYLAND, wm=(), display="", failure="wayland-without-x",
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
    Stack("xvfb-run", wm=(), route=Route.XVFB_RUN, shown=True,
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
    Stack("xpra", route=Route.XPRA, dbus=True, closes=EVERY_WAY),
    # openbox shrinks the window to fit; the circle keeps its size, clipped.
    Stack("small-screen", server=xvfb(size="160x120"), closes=EVERY_WAY),
)
# xpra's server and client, with nothing but windows: no sound, tray,
# clipboard, printing, notifications or session bus of their own. The client
# copies pixels losslessly and unscaled, under the window's own title. They
# read no system configuration: Debian 12's starts "/etc/X11/Xsession true"
# with the server, which cannot find "true", shows a message box, and once
# that display is gone falls back to the default session, whose window
# manager then takes whatever display has come to have the same number.
XPRA_SERVER = ("xpra", "start", "--daemon=no", "--dbus-launch=", "--dbus-proxy=no",
               "--dbus-control=no", "--systemd-run=no", "--pulseaudio=no", "--html=off",
               "--resize-display=no", "--xvfb=Xvfb +extension GLX +extension Composite "
               f"-screen 0 {SCREEN}x24+32 -nolisten tcp -noreset")
XPRA_CLIENT = ("xpra", "attach", "--title=@title@", "--opengl=no", "--encoding=rgb",
               "--border=no", "--desktop-scaling=off")
XPRA_QUIET = ("--mdns=no", "--notifications=no", "--clipboard=no", "--printing=no",
              "--file-transfer=no", "--webcam=no", "--speaker=disabled",
              "--microphone=disabled", "--tray=no", "--system-tray=no", "--bell=no")

# What the desktops' own D-Bus services are called, where a close way needs
# one to have started.
SHORTCUT_SERVICES = {"kde-kwin": "org.kde.kglobalaccel"}

# Rows that a sanitizer build cannot run, and why.
UNSANITIZABLE = {
    "indirect-allowed": "Mesa's indirect GLX reads past the end of a buffer (strtol in "
                        "libGLX_mesa), which AddressSanitizer stops before the program can",
}


WAYLAND_SOCKET = "wayland-sfml-works"
# The socket-file route's set-up, in its own mount namespace, given what the
# socket file is ($1), the display's number ($2) and the command: WSLg's
# folder of sockets on /mnt, and /tmp/.X11-unix the row's own.
SOCKET_SETUP = r"""set -e
if [ "$1" != dangling ]; then
    mount -t tmpfs -o mode=755 sfml-works /mnt
    mkdir -p /mnt/wslg/.X11-unix
    mount --bind /tmp/.X11-unix /mnt/wslg/.X11-unix
fi
mount -t tmpfs -o mode=1777 sfml-works /tmp/.X11-unix
case $1 in
    wslg-link) ln -s "/mnt/wslg/.X11-unix/X$2" "/tmp/.X11-unix/X$2" ;;
    dangling) ln -s "/gone/X$2" "/tmp/.X11-unix/X$2" ;;
esac
shift 2
exec "$@"
"""
# The routes whose server a package starts for the whole machine as it
# installs: the program the row runs, and its package.
SSHD = ("/usr/sbin/sshd", "openssh-server")
MACHINE_SERVERS = {Route.SSH: SSHD, Route.SSH_UNTRUSTED: SSHD, Route.RDP: ("xrdp", "xrdp")}
# Whom the other-user route runs the program as.
OTHER_USER = "nobody"


def namespaces(*kinds):
    """unshare's command line for namespaces of these kinds: a user who is
    not root makes them inside a user namespace of their own."""
    return ("unshare", *(() if os.geteuid() == 0 else ("--user", "--map-root-user")), *kinds)


# The namespaces each route makes of its own.
NAMESPACES = {Route.SOCKET_FILE: ("--net", "--mount"), Route.IPC: ("--ipc",)}


def wrapper(stack, x):
    """What the program, and scripts/run, start in on the row's route."""
    if stack.route is Route.SOCKET_FILE:
        return (*namespaces(*NAMESPACES[stack.route]), "sh", "-c", SOCKET_SETUP, "sh",
                stack.socket.value, split_display(x.display)[0].lstrip(":"))
    return namespaces(*NAMESPACES[stack.route]) if stack.route in NAMESPACES else ()


def close_button(x, window):
    """Where the window's close button is, as xdotool's coordinates: at the
    right end of the title bar, as high as the title bar and about as wide."""
    _, right, top, _ = (int(n) for n in re.findall(
        r"\d+", x.xprop(window, "_NET_FRAME_EXTENTS").split("=")[1]))
    assert top > 0, "the window has a title bar"
    left, upper, width, _ = x.area(window)
    return str(left + width + right - top // 2), str(upper - top // 2)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class WestonSession(XSession):
    """weston's headless backend with Xwayland, in a private runtime folder.
    It picks its X display itself and says which in its log; its own X
    window manager manages the windows. Without Xwayland, it is a Wayland
    session with no X server: the clients get its socket and no DISPLAY."""

    def __init__(self, xwayland=True):
        super().__init__(window_manager=False)
        self.xwayland = xwayland

    def _start_server(self):
        runtime = os.path.join(self.tmp, "runtime")
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        self.xvfb = self.spawn(["weston", "--backend=headless-backend.so", "--idle-time=0",
                                *(["--xwayland"] if self.xwayland else []),
                                f"--socket={WAYLAND_SOCKET}"], env=env,
                               stdout=self.log_file("server.log"), stderr=subprocess.STDOUT)

        def listening():
            if self.xvfb.poll() is not None:
                raise AssertionError("weston ended: " + self.log_text("server.log"))
            if not self.xwayland:
                return os.path.exists(os.path.join(runtime, WAYLAND_SOCKET))
            found = re.search(r"xserver listening on display (:\d+)",
                              self.log_text("server.log"))
            return found and found.group(1)
        found = wait_for(listening, START_TIMEOUT, "weston's socket")
        if self.xwayland:
            self.use_display(found, "Xwayland")
        else:
            self.env = dict(env, WAYLAND_DISPLAY=WAYLAND_SOCKET)


@pytest.mark.parametrize("stack", STACKS, ids=lambda stack: stack.name)
def test_stack_works_or_says_why(stack):
    if SANITIZED and stack.name in UNSANITIZABLE:
        pytest.skip(f"{stack.name}: {UNSANITIZABLE[stack.name]}")
    if stack.route is Route.OTHER_USER and os.geteuid() != 0:
        pytest.skip(f"{stack.name}: only root can run the program as another user")
    server = MACHINE_SERVERS.get(stack.route)
    if server and not shutil.which(server[0]):
        pytest.skip(f"{stack.name}: not installed: {server[1]} (its package starts a login "
                    "server for the whole machine, so only .ci/run installs it)")
    missing = [tool for tool in stack.tools() if not shutil.which(tool)]
    if missing:
        pytest.skip(f"{stack.name}: not installed: {' '.join(missing)} (not in this release, "
                    "or scripts/test could not install it)")
    kinds = NAMESPACES.get(stack.route, ())
    if kinds and subprocess.run([*namespaces(*kinds), "true"], capture_output=True).returncode:
        pytest.skip(f"{stack.name}: no namespaces ({' '.join(kinds)}) can be made here, as "
                    "in a container without the right to")
    status, said, verdict = Checks("run_stack").run_stack(stack)
    print(f"\n{stack.name} | {status} | {said} | {verdict}")


@pytest.mark.parametrize("stack", DESKTOPS, ids=lambda stack: stack.name)
def test_desktop_closes_every_way(stack):
    missing = [tool for tool in stack.tools() if not shutil.which(tool)]
    if missing:
        pytest.skip(f"{stack.name}: not installed: {' '.join(missing)} (scripts/test --all "
                    "installs the desktops, where the release has them)")
    size, exits = Checks("run_desktop").run_desktop(stack)
    print(f"\n{stack.name} | {size} | {exits}")


class Checks(unittest.TestCase):
    """What a row is checked for, with unittest's assertions."""

    def run_stack(self, stack):
        with tempfile.TemporaryDirectory(prefix="sfml-works-stack-") as tmp, \
                ExitStack() as cleanup:
            fill = {"tmp": tmp, "port": free_port()}
            linked(WRONG_DRIVER_LIB, tmp)
            for name, text in FILES.items():
                with open(os.path.join(tmp, name), "w") as f:
                    f.write(text.format(**fill))
            x = cleanup.enter_context(self.session(stack, tmp, cleanup))
            for client in stack.clients:
                x.spawn([arg.format(**fill) for arg in client], stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL)
            if stack.covered:
                # Most of the screen: the window can only be placed partly under it.
                x.spawn(["xmessage", "-geometry", "1280x900+0+0", "-title", "cover", "cover"],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                wait_for(lambda: x.run(["wmctrl", "-r", "cover", "-b", "add,above"],
                                       check=False).returncode == 0,
                         START_TIMEOUT, "the covering window to be kept above")
            env = dict(x.env)
            env.update((name, value.format(**fill)) for name, value in stack.env)
            env["DISPLAY"] = stack.display.format(display=x.display, missing=missing_display())
            if not env["DISPLAY"]:
                del env["DISPLAY"]
            if stack.status == 0 and stack.diagnosis:
                return 0, "", self.check_script(x, env, stack)
            prefix, binary, user, ssh = wrapper(stack, x), BIN, None, ()
            if stack.route in (Route.SSH, Route.SSH_UNTRUSTED):
                # ssh hands the command to the remote shell as one line, which
                # would split a path with spaces: the path goes quoted.
                ssh = self.ssh(x, tmp, fill["port"], trusted=stack.route is Route.SSH)
                prefix, binary = ssh, shlex.quote(BIN)
            if stack.route is Route.UNTRUSTED:
                # Run from outside any ssh session, so that only the cookie speaks.
                env["XAUTHORITY"] = os.path.join(tmp, "untrusted-cookie")
                env.pop("SSH_CONNECTION", None)
                x.run(["xauth", "-f", env["XAUTHORITY"], "generate", x.display, ".",
                       "untrusted"])
            if stack.route is Route.OTHER_USER:
                # Only the display's cookie, copied as a container's recipe does.
                user, env["XAUTHORITY"] = OTHER_USER, os.path.join(x.tmp, "user-cookie")
                cookies = x.run(["xauth", "nlist"]).stdout
                subprocess.run(["xauth", "-f", env["XAUTHORITY"], "nmerge", "-"], input=cookies,
                               capture_output=True, check=True)
                shutil.chown(env["XAUTHORITY"], OTHER_USER)
            viewer = self.rdp(x, tmp, fill["port"], cleanup) if stack.route is Route.RDP \
                else None
            program = x.start_program(env=env, wrapper=prefix, binary=binary, user=user)
            if stack.status == 0:
                self.check_works(x, program, stack, viewer)
                return 0, "", ""
            if stack.runaway and wait_for(
                    lambda: not program.running() or program.ran_away(), START_TIMEOUT,
                    "the program to end") and program.running():
                stop_process(program.proc)
                return "ran away", "", self.check_script(x, env, stack, ssh)
            status, _ = program.wait_exit(START_TIMEOUT)
            self.assertEqual(status, stack.status, program.stderr())
            self.assertRegex(program.stderr(), re.compile(stack.says, re.M))
            self.assertEqual(program.frames(), 0)
            said = re.search(f".*(?:{stack.says}).*", program.stderr(), re.M).group(0)
            return status, said, self.check_script(x, env, stack, ssh)

    def session(self, stack, tmp, cleanup):
        server = [arg.replace("{tmp}", tmp) for arg in stack.server]
        wm = [arg.format(tmp=tmp) for arg in stack.wm]
        if stack.route in (Route.WESTON, Route.WAYLAND):
            return WestonSession(xwayland=stack.route is Route.WESTON)
        if stack.route is Route.NESTED:
            host = cleanup.enter_context(XSession(window_manager=False))
            return XSession(window_manager=wm, server=server, server_env=host.env)
        client_env = {}
        if "-auth" in server:
            cookies = server[server.index("-auth") + 1]
            # The server picks its display number only when it starts, so
            # the one cookie serves any address and any display: family
            # FamilyWild (0xffff), address and display number left empty.
            with open(cookies, "wb") as f:
                f.write(struct.pack(">H", 0xFFFF))
                for field in (b"", b"", b"MIT-MAGIC-COOKIE-1", os.urandom(16)):
                    f.write(struct.pack(">H", len(field)) + field)
            client_env["XAUTHORITY"] = cookies
        # xorgxrdp puts its socket for xrdp in the row's folder.
        return XSession(window_manager=wm, server=server, client_env=client_env,
                        dbus=stack.dbus, server_env=dict(os.environ, XRDP_SOCKET_PATH=tmp))

    def ssh(self, x, tmp, port, trusted=True):
        """A real sshd on 127.0.0.1 with X11 forwarding and a throw-away key:
        the program runs on its side and draws through the forwarded display,
        trusted by the X server or not."""
        for key in ("host_key", "client_key"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                            os.path.join(tmp, key)], check=True)
        if os.geteuid() == 0:
            # sshd started by root separates privileges through this folder;
            # started by a user, it serves only that user and needs none.
            os.makedirs("/run/sshd", exist_ok=True)
        sshd = x.spawn([SSHD[0], "-D", "-e", "-f", os.path.join(tmp, "sshd_config")],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def listening():
            self.assertIsNone(sshd.poll(), "sshd ended")
            with socket.socket() as probe:
                return probe.connect_ex(("127.0.0.1", port)) == 0
        wait_for(listening, START_TIMEOUT, "sshd to listen")
        return ("ssh", "-X", "-o", f"ForwardX11Trusted={'yes' if trusted else 'no'}",
                "-i", os.path.join(tmp, "client_key"), "-p", str(port),
                "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                "-o", "BatchMode=yes", "-o", "LogLevel=ERROR",
                "-o", "SendEnv=LD_PRELOAD FRAME_COUNTER_FILE ASAN_OPTIONS UBSAN_OPTIONS",
                f"{getpass.getuser()}@127.0.0.1")

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
        except AssertionError as error:
            raise AssertionError(f"{error}; at {seen[0]}, {seen[1]}") from None

    def check_works(self, x, program, stack, viewer=None):
        window = program.wait_window()
        if stack.route is Route.OTHER_USER:
            self.assertEqual(os.stat(f"/proc/{program.proc.pid}").st_uid,
                             pwd.getpwnam(OTHER_USER).pw_uid, "the program's user")
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
        with tempfile.TemporaryDirectory(prefix="sfml-works-desktop-") as tmp, \
                ExitStack() as cleanup:
            fill = {"tmp": tmp, "port": free_port()}
            x = cleanup.enter_context(self.session(stack, tmp, cleanup))
            for client in stack.clients:
                x.spawn([arg.format(**fill) for arg in client], stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL)
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
            program_env = dict(x.env, DISPLAY=self.xpra(x, tmp)) if stack.route is Route.XPRA \
                else None
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

    def xpra(self, x, tmp):
        """An xpra server on a display of its own, and a client attached to
        it on the session's display; the server's display, once the client
        is attached. Their files stay in the row's folder."""
        home = os.path.join(tmp, "xpra")
        os.mkdir(home, 0o700)
        # On the session's bus, GTK starts no bus of its own, and without
        # accessibility, no bus for that either: nothing outlives the row.
        env = dict(x.env, HOME=home, XDG_RUNTIME_DIR=home, XPRA_SYSTEM_CONF_DIRS=home,
                   NO_AT_BRIDGE="1")
        sockets = (f"--socket-dir={home}", f"--socket-dirs={home}")

        def wait_said(proc, log, line):
            def said():
                if proc.poll() is not None:
                    raise AssertionError(f"{proc.args[:2]} ended with status {proc.returncode}")
                return line in x.log_text(log)
            try:
                wait_for(said, START_TIMEOUT, f"{proc.args[:2]} to say {line!r}")
            except AssertionError as error:
                raise AssertionError(f"{error}: " + x.log_text(log)[-2000:]) from None
        # The server names its display before it takes connections.
        server, display = x.start_display(
            lambda fd: [*XPRA_SERVER, *sockets, *XPRA_QUIET, f"--displayfd={fd}"], env,
            "xpra-server.log", "xpra")
        wait_said(server, "xpra-server.log", "xpra is ready.")
        client = x.spawn([*XPRA_CLIENT, display, *sockets, *XPRA_QUIET], env=env,
                         stdout=x.log_file("xpra-client.log"), stderr=subprocess.STDOUT)
        wait_said(client, "xpra-client.log", "Attached to ")
        return display

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

    def rdp(self, x, tmp, port, cleanup):
        """xrdp on 127.0.0.1:port serving the session's Xorg, and FreeRDP's
        client showing it, at its size, on a display of its own; that
        display and the client's window, once the client is connected."""
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=localhost", "-keyout", f"{tmp}/key.pem",
                        "-out", f"{tmp}/cert.pem"], capture_output=True, check=True)
        ini = os.path.join(tmp, "xrdp.ini")
        with open(ini) as f:
            text = f.read().replace("{number}", split_display(x.display)[0].lstrip(":"))
        with open(ini, "w") as f:
            f.write(text)
        x.spawn(["xrdp", "--nodaemon", "--config", ini], stdout=x.log_file("xrdp.out"),
                stderr=subprocess.STDOUT)
        viewer = cleanup.enter_context(XSession(window_manager=False))
        width, height = re.search(r"dimensions: +(\d+)x(\d+)", x.server_info()[1]).groups()
        viewer.spawn([rdp_client(), f"/v:127.0.0.1:{port}", "/u:na", "/p:na", "/cert:ignore",
                      f"/size:{width}x{height}", "/bpp:32"], stdout=viewer.log_file("rdp.log"),
                     stderr=subprocess.STDOUT)
        title, log = f"FreeRDP: 127.0.0.1:{port}", pathlib.Path(tmp, "xrdp.log")
        # xrdp 0.9 says "connected ok" once its session is joined; 0.10 names
        # the Xorg it joined.
        joined = re.compile(r"connected ok|connected to Xorg_pid=")
        try:
            client = wait_for(lambda: log.exists() and joined.search(log.read_text())
                              and viewer.titled_windows(title), START_TIMEOUT,
                              "the RDP client to connect")[0]
        except AssertionError as error:
            said = log.read_text()[-1500:] if log.exists() else "no log"
            raise AssertionError(f"{error}; xrdp said: {said}; the client said: "
                                 + viewer.log_text("rdp.log")[-1500:]) from None
        return viewer, client

    def check_script(self, x, env, stack, ssh=()):
        """scripts/run on this display, or through ssh: its FAILED line, or, on
        a stack where it shows the window, its whole output once the window is
        closed."""
        script = [*run_script(x.tmp), *stack.args]
        argv = [*ssh, *map(shlex.quote, script)] if ssh else [*wrapper(stack, x), *script]
        if stack.route is Route.XVFB_RUN:
            argv = ["xvfb-run", "-a", "-s", f"-screen 0 {SCREEN}x24 -nolisten tcp", *argv]
        status, output, _ = x.run_until_shown(
            argv, lambda window: self.close(x, window, stack.close), sanitizer_env(env))
        self.assertRegex(output, re.compile(stack.diagnosis, re.M))
        # The shell's own job messages never reach the user.
        self.assertNotRegex(output, r"line \d+: +\d+ ")
        self.assertEqual(status, 0 if stack.shown else 1, output)
        verdict = re.search("^(OK|FAILED): .*", output, re.M)
        self.assertEqual(verdict.group(1), "OK" if stack.shown else "FAILED", output)
        with open(os.path.join(x.tmp, "sfml-works-verdict.json")) as f:
            self.assertEqual(json.load(f)["failure"], stack.failure or None, output)
        return verdict.group(0)

