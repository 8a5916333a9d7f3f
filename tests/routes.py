"""How the program reaches a row's display: one class a route. A route says
what it needs (programs, a login server, root, namespaces), starts its
session, and wraps the program and scripts/run as that road requires; the
rows (stack_rows.py) name a route each, and the checks (test_stacks.py) ask
it. Adding a route is adding a class here.
"""

import enum
import getpass
import os
import pathlib
import pwd
import re
import shlex
import shutil
import socket
import struct
import subprocess
from typing import NamedTuple, Optional

from sfmlcheck.diagnosis import split_display
from sfmlcheck.procs import Timeout
from stack_files import SOCKET_SETUP, WAYLAND_SOCKET, XPRA_CLIENT, XPRA_QUIET, XPRA_SERVER
from sfmlcheck.session import SCREEN
from suite import BIN, START_TIMEOUT, XSession, wait_for

# sshd, which openssh-server starts for the whole machine as it installs.
SSHD = ("/usr/sbin/sshd", "openssh-server")
# FreeRDP's X client: 3's where the release has it (Debian 13), else 2's.
RDP_CLIENTS = ("xfreerdp3", "xfreerdp")
# Whom the other-user route runs the program as.
OTHER_USER = "nobody"


def rdp_client():
    return next(filter(None, map(shutil.which, RDP_CLIENTS)), None)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def close_button(x, window):
    """Where the window's close button is, as xdotool's coordinates: at the
    right end of the title bar, as high as the title bar and about as wide."""
    _, right, top, _ = (int(n) for n in re.findall(
        r"\d+", x.xprop(window, "_NET_FRAME_EXTENTS").split("=")[1]))
    assert top > 0, "the window has a title bar"
    left, upper, width, _ = x.area(window)
    return str(left + width + right - top // 2), str(upper - top // 2)


def write_cookie(path):
    """A cookie file for a server that picks its display number only when it
    starts: family FamilyWild (0xffff), address and display number left
    empty, so that the one cookie serves any address and any display."""
    with open(path, "wb") as f:
        f.write(struct.pack(">H", 0xFFFF))
        for field in (b"", b"", b"MIT-MAGIC-COOKIE-1", os.urandom(16)):
            f.write(struct.pack(">H", len(field)) + field)


def namespaces(*kinds):
    """unshare's command line for namespaces of these kinds: a user who is
    not root makes them inside a user namespace of their own."""
    return ("unshare", *(() if os.geteuid() == 0 else ("--user", "--map-root-user")), *kinds)


class Launch(NamedTuple):
    """How a row starts the program: in front of it (wrapper), which binary
    (as the wrapper needs it named), as whom, through which ssh command line,
    and where a viewer shows it: (viewer's session, client window)."""
    wrapper: tuple = ()
    binary: str = BIN
    user: Optional[str] = None
    ssh: tuple = ()
    viewer: Optional[tuple] = None


class Row(NamedTuple):
    """What a route's set-up is given of the row: its folder, its free port,
    and what cleans up after it."""
    tmp: str
    port: int
    cleanup: object


class Route:
    """The program on the row's own server, in the row's own session."""
    name = "local"
    tools = ()  # programs the route runs besides the row's server and window manager
    login_server = None  # (program, package) of a login server the route needs
    root_only = ""  # why only root can take the route, where only root can

    def unmet(self):
        """Why the route cannot be taken here, or ""."""
        if self.root_only and os.geteuid() != 0:
            return self.root_only
        if self.login_server and not shutil.which(self.login_server[0]):
            return (f"not installed: {self.login_server[1]} (its package starts a login server "
                    "for the whole machine, so only .ci/run installs it)")
        return ""

    def session(self, stack, tmp, cleanup):
        """The row's session, not yet started."""
        server = [arg.replace("{tmp}", tmp) for arg in stack.server]
        wm = [arg.format(tmp=tmp) for arg in stack.wm]
        client_env = {}
        if "-auth" in server:
            client_env["XAUTHORITY"] = server[server.index("-auth") + 1]
            write_cookie(client_env["XAUTHORITY"])
        # xorgxrdp puts its socket for xrdp in the row's folder.
        return XSession(window_manager=wm, server=server, client_env=client_env,
                        dbus=stack.dbus, server_env=dict(os.environ, XRDP_SOCKET_PATH=tmp))

    def launch(self, x, env, row):
        """Set up the road to the display (env may change); how to start the
        program on it."""
        return Launch()

    def script(self, script, launch):
        """scripts/run's command line on this road."""
        return [*launch.wrapper, *script]

    def program_display(self, x, tmp):
        """The display a desktop row's program draws on, where not x's."""
        return None

    def check(self, checks, program):
        """What the route proves of a program that works, beyond the picture."""


class Nested(Route):
    """In a server nested in a host Xvfb, as Xephyr and nxagent run."""
    name = "nested"

    def session(self, stack, tmp, cleanup):
        host = cleanup.enter_context(XSession(window_manager=False))
        return XSession(window_manager=[arg.format(tmp=tmp) for arg in stack.wm],
                        server=[arg.replace("{tmp}", tmp) for arg in stack.server],
                        server_env=host.env)


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


class Weston(Route):
    """Xwayland under weston; or, without Xwayland, no X server at all."""
    tools = ("weston",)

    def __init__(self, xwayland=True):
        self.xwayland = xwayland
        self.name = "weston" if xwayland else "wayland"

    def session(self, stack, tmp, cleanup):
        return WestonSession(xwayland=self.xwayland)


class Ssh(Route):
    """Forwarded by ssh -X through a real sshd on 127.0.0.1 with a throw-away
    key: trusted (Debian's ssh by default), or untrusted (OpenSSH's own
    default). The program runs on sshd's side."""
    tools = ("ssh",)
    login_server = SSHD

    def __init__(self, trusted=True):
        self.trusted = trusted
        self.name = "ssh" if trusted else "ssh-untrusted"

    def launch(self, x, env, row):
        tmp = row.tmp
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
            assert sshd.poll() is None, "sshd ended"
            with socket.socket() as probe:
                return probe.connect_ex(("127.0.0.1", row.port)) == 0
        wait_for(listening, START_TIMEOUT, "sshd to listen")
        ssh = ("ssh", "-X", "-o", f"ForwardX11Trusted={'yes' if self.trusted else 'no'}",
               "-i", os.path.join(tmp, "client_key"), "-p", str(row.port),
               "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
               "-o", "BatchMode=yes", "-o", "LogLevel=ERROR",
               "-o", "SendEnv=LD_PRELOAD FRAME_COUNTER_FILE ASAN_OPTIONS UBSAN_OPTIONS",
               f"{getpass.getuser()}@127.0.0.1")
        # ssh hands the command to the remote shell as one line, which would
        # split a path with spaces: the path goes quoted.
        return Launch(wrapper=ssh, binary=shlex.quote(BIN), ssh=ssh)

    def script(self, script, launch):
        return [*launch.ssh, *map(shlex.quote, script)]


class UntrustedCookie(Route):
    """With a cookie made by xauth generate … untrusted, from outside any
    ssh session, so that only the cookie speaks."""
    name = "untrusted"
    tools = ("xauth",)

    def launch(self, x, env, row):
        env["XAUTHORITY"] = os.path.join(row.tmp, "untrusted-cookie")
        env.pop("SSH_CONNECTION", None)
        x.run(["xauth", "-f", env["XAUTHORITY"], "generate", x.display, ".", "untrusted"])
        return Launch()


class OtherUser(Route):
    """As another user, who has only the display's cookie, copied as a
    container's recipe does."""
    name = "other-user"
    tools = ("xauth",)
    root_only = "only root can run the program as another user"

    def launch(self, x, env, row):
        env["XAUTHORITY"] = os.path.join(x.tmp, "user-cookie")
        cookies = x.run(["xauth", "nlist"]).stdout
        subprocess.run(["xauth", "-f", env["XAUTHORITY"], "nmerge", "-"], input=cookies,
                       capture_output=True, check=True)
        shutil.chown(env["XAUTHORITY"], OTHER_USER)
        return Launch(user=OTHER_USER)

    def check(self, checks, program):
        checks.assertEqual(os.stat(f"/proc/{program.proc.pid}").st_uid,
                           pwd.getpwnam(OTHER_USER).pw_uid, "the program's user")


class Xpra(Route):
    """On xpra's display, shown through a client attached on the row's."""
    name = "xpra"
    tools = ("xpra",)

    def program_display(self, x, tmp):
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
        # The server names its display before it takes connections.
        server, display = x.start_display(
            lambda fd: [*XPRA_SERVER, *sockets, *XPRA_QUIET, f"--displayfd={fd}"], env,
            "xpra-server.log", "xpra")
        wait_said(x, server, "xpra-server.log", "xpra is ready.")
        client = x.spawn([*XPRA_CLIENT, display, *sockets, *XPRA_QUIET], env=env,
                         stdout=x.log_file("xpra-client.log"), stderr=subprocess.STDOUT)
        wait_said(x, client, "xpra-client.log", "Attached to ")
        return display


def wait_said(x, proc, log, line):
    """Wait until proc, still running, has said line in its log in x's folder."""
    def said():
        if proc.poll() is not None:
            raise AssertionError(f"{proc.args[:2]} ended with status {proc.returncode}")
        return line in x.log_text(log)
    try:
        wait_for(said, START_TIMEOUT, f"{proc.args[:2]} to say {line!r}")
    except (AssertionError, Timeout) as error:
        raise AssertionError(f"{error}: " + x.log_text(log)[-2000:]) from None


class XvfbRun(Route):
    """scripts/run under xvfb-run."""
    name = "xvfb-run"
    tools = ("xvfb-run",)

    def script(self, script, launch):
        return ["xvfb-run", "-a", "-s", f"-screen 0 {SCREEN}x24 -nolisten tcp", *script]


class Namespaced(Route):
    """In namespaces of the program's own (unshare's kinds)."""
    kinds = ()

    def unmet(self):
        if subprocess.run([*namespaces(*self.kinds), "true"], capture_output=True).returncode:
            return (f"no namespaces ({' '.join(self.kinds)}) can be made here, as in a "
                    "container without the right to")
        return super().unmet()

    def launch(self, x, env, row):
        return Launch(wrapper=namespaces(*self.kinds))


class Ipc(Namespaced):
    """In an IPC namespace of its own, as in a container without --ipc=host."""
    name = "ipc"
    kinds = ("--ipc",)


class Socket(enum.Enum):
    """What the socket-file route's /tmp/.X11-unix holds for the display."""
    WSLG_LINK = "wslg-link"  # a link to the server's socket, kept where WSLg keeps its own
    WSLG_NONE = "wslg-none"  # nothing, the server's socket kept where WSLg keeps its own
    DANGLING = "dangling"  # a link to nothing


class SocketFile(Namespaced):
    """In network and mount namespaces of its own, where the server's
    abstract socket is out of reach and /tmp/.X11-unix is the row's: its
    socket file is the only way there, as WSLg's clients have."""
    name = "socket-file"
    tools = ("mount",)
    kinds = ("--net", "--mount")

    def __init__(self, socket_file):
        self.socket_file = socket_file

    def launch(self, x, env, row):
        return Launch(wrapper=(*namespaces(*self.kinds), "sh", "-c", SOCKET_SETUP, "sh",
                               self.socket_file.value, split_display(x.display)[0].lstrip(":")))


class Rdp(Route):
    """On xrdp's Xorg, seen and closed through FreeRDP's client on a display
    of its own, as a person at another machine does."""
    name = "rdp"
    login_server = ("xrdp", "xrdp")

    @property
    def tools(self):
        return (rdp_client() or RDP_CLIENTS[0], "openssl")

    def launch(self, x, env, row):
        """xrdp on 127.0.0.1:port serving the session's Xorg, and FreeRDP's
        client showing it, at its size, on a display of its own."""
        tmp, port = row.tmp, row.port
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=localhost", "-keyout", f"{tmp}/key.pem",
                        "-out", f"{tmp}/cert.pem"], capture_output=True, check=True)
        ini = pathlib.Path(tmp, "xrdp.ini")
        ini.write_text(ini.read_text().replace("{number}",
                                               split_display(x.display)[0].lstrip(":")))
        x.spawn(["xrdp", "--nodaemon", "--config", str(ini)], stdout=x.log_file("xrdp.out"),
                stderr=subprocess.STDOUT)
        viewer = row.cleanup.enter_context(XSession(window_manager=False))
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
        except Timeout as error:
            said = log.read_text()[-1500:] if log.exists() else "no log"
            raise AssertionError(f"{error}; xrdp said: {said}; the client said: "
                                 + viewer.log_text("rdp.log")[-1500:]) from None
        return Launch(viewer=(viewer, client))


LOCAL = Route()
