"""X sessions: a private X server with a window manager, started and stopped
for the length of a with-block; or the user's own display.

Servers pick a free display number themselves (-displayfd), so sessions
running at the same time never meet; openbox manages the display unless told
otherwise, so that close requests and resizes take the same road as on a
desktop. Every process started here is stopped by its PID when the session
ends, whatever happened in it.
"""

import os
import select
import shutil
import stat
import subprocess
import sys
import tempfile
import time

from .causes import Cause, Failed, ToolFailed
from .procs import Timeout, spawn, stop_process, wait_for
from .xquery import Display, XRefused, failed_tool, waiting_in

# Waits for start-up are generous: machines are shared, and a sanitized
# build is several times slower. They bound a wait; they are not measurements.
START_TIMEOUT = 30
SCREEN = "1280x1024"
# In a server's command line, where the display number goes, for a server that
# cannot pick one itself; those are given numbers from FIRST_NUMBER up, well
# above those the others pick.
NUMBER = ":{number}"
FIRST_NUMBER = 100
# Where local X servers put their socket files.
SOCKETS = "/tmp/.X11-unix"
# The connection the checker keeps open to a display: xprop, watching quietly
# a root window property that changes only as a window manager starts or ends.
HOLD = ("xprop", "-root", "-spy", "_NET_SUPPORTING_WM_CHECK")
# How often the connection is tried: a server that resets drops a client
# that connects as it resets, and the checker's own questions make it reset;
# one that refuses it refuses every time.
HOLD_TRIES = 3


def lock_file(number):
    """Where a local server keeps its lock on display number."""
    return f"/tmp/.X{number}-lock"


def display_taken(number):
    """Whether a server holds, or has left, the display's lock file or socket."""
    return os.path.lexists(lock_file(number)) or os.path.lexists(f"{SOCKETS}/X{number}")


def xvfb(*options, depth=24, screens=1, size=SCREEN):
    """Xvfb's command line with this many screens of this size and depth."""
    screen_options = [option for number in range(screens)
                      for option in ("-screen", str(number), f"{size}x{depth}")]
    return ("Xvfb", *screen_options, "-nolisten", "tcp", "-noreset", *options)


def wayland_session(environ=os.environ):
    """Whether a Wayland compositor's socket is there for this session,
    which SFML 2, drawing through X11 only, cannot use by itself."""
    socket = environ.get("WAYLAND_DISPLAY", "")
    if not socket:
        return False
    runtime = environ.get("XDG_RUNTIME_DIR") or f"/run/user/{os.geteuid()}"
    try:
        return stat.S_ISSOCK(os.stat(os.path.join(runtime, socket)).st_mode)
    except OSError:
        return False


def private_display(asked, environ=os.environ):
    """Whether a run uses a private display: where asked to, or where the
    user has none; not on Wayland alone, where the run says why it cannot
    draw, rather than hide that behind a display of its own."""
    return asked or not (environ.get("DISPLAY") or wayland_session(environ))


def did_not_start(words):
    """The failure of a private display that did not start."""
    return Failed(Cause.NO_X_SERVER.found("private", said=words))


def private_folder(prefix):
    """A temporary folder whose path holds no space: the loader splits
    LD_PRELOAD at spaces, and preloads are linked from here."""
    folder = tempfile.mkdtemp(prefix=prefix)
    if any(c.isspace() for c in folder):
        os.rmdir(folder)
        folder = tempfile.mkdtemp(prefix=prefix, dir="/tmp")
    return folder


class UserDisplay(Display):
    """The user's own display, for the length of a with-block: nothing is
    started on it but what its clients start, and only a folder is kept."""

    def __init__(self, display):
        super().__init__(dict(os.environ, DISPLAY=display))
        self.tmp = None
        self.processes = []

    def __enter__(self):
        self.tmp = private_folder("sfml-works-session-")
        return self

    def __exit__(self, *exc):
        for proc in reversed(self.processes):
            stop_process(proc)
        shutil.rmtree(self.tmp, ignore_errors=True)
        return False

    def spawn(self, argv, env=None, **kwargs):
        """Start a process that will be stopped when the block ends."""
        proc = spawn(argv, env=env or self.env, **kwargs)
        self.processes.append(proc)
        return proc

    def hold(self, timeout):
        """Keep a connection open to the display until the block ends. A
        server that resets when its last client leaves (Xvfb as xvfb-run
        starts it, without -noreset) drops a client that connects as it
        resets: the checker's questions come and go, and the program, or the
        next question, would connect as one left. Held, the server does not
        reset under the run. Where the display refuses it (no server, no
        cookie), nothing is held, and the program's run tells why;
        subprocess.TimeoutExpired where it has no answer in timeout seconds;
        ToolFailed where xprop fails on its own."""
        said = os.path.join(self.tmp, "hold")
        for _ in range(HOLD_TRIES):
            with open(said + ".out", "wb") as out, open(said + ".err", "wb") as err:
                proc = self.spawn(HOLD, stdout=out, stderr=err)
            try:
                # Its first words are the property's, read once it is connected.
                wait_for(lambda: proc.poll() is not None or os.path.getsize(said + ".out"),
                         timeout, "the display to answer")
            except Timeout:
                error = subprocess.TimeoutExpired(HOLD, timeout)
                error.add_note(f"{HOLD[0]} was stopped while {waiting_in(proc.pid)}")
                raise error from None
            if proc.poll() is None:
                return
        with open(said + ".err", "rb") as err:
            error = failed_tool(HOLD, proc.returncode, err.read().decode(errors="replace"))
        if not isinstance(error, XRefused):
            raise error


class XSession(UserDisplay):
    """An X server, Xvfb unless told otherwise, with a window manager,
    openbox unless told otherwise, for the length of a with-block.

    server is the server's command line without -displayfd, which is added;
    window_manager is a command line, or False for none; server_env is the
    environment the server starts in (a nested server needs its host's
    DISPLAY); client_env is added to the environment of every client; dbus
    starts a D-Bus session bus for the clients first, as a desktop session
    does. A server that does not start is Failed (no-x-server); a window
    manager or bus that does not is the checker's trouble (ToolFailed).
    """

    def __init__(self, window_manager=True, server=None, server_env=None, client_env=None,
                 dbus=False, timeout=START_TIMEOUT):
        super().__init__("")
        self.env = {}
        self.window_manager = ["openbox", "--sm-disable"] if window_manager is True \
            else window_manager
        self.server = server or xvfb()
        self.server_env = server_env or os.environ
        self.client_env = client_env or {}
        self.dbus = dbus
        self.timeout = timeout
        self.xvfb = None
        self.logs = []

    def __enter__(self):
        super().__enter__()
        try:
            self._start_server()
            if self.dbus:
                start_session_bus(self)
            if self.window_manager:
                start_window_manager(self)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        for proc in reversed(self.processes):
            stop_process(proc)
            if proc.stdout:
                proc.stdout.close()
        self.processes = []
        for log in self.logs:
            log.close()
        return super().__exit__(*exc)

    def log_file(self, name):
        """A log in the session's folder, open for a process's output."""
        log = open(os.path.join(self.tmp, name), "wb")
        self.logs.append(log)
        return log

    def log_text(self, name):
        with open(os.path.join(self.tmp, name), "rb") as log:
            return log.read().decode(errors="replace")

    def _start_server(self):
        """How this session's server starts: a session of another kind
        (weston, say) starts its own here."""
        server = self.server
        name = os.path.basename(server[0])
        if NUMBER in server:
            return start_numbered(self, server, name)
        self.xvfb, display = self.start_display(
            lambda fd: [server[0], "-displayfd", str(fd), *server[1:]], self.server_env,
            "server.log", name)
        self.use_display(display, name)

    def start_display(self, command, env, log, name):
        """Start a server that picks its own display number and writes it to
        the file descriptor given to command(fd); return it and that display."""
        read_end, write_end = os.pipe()
        try:
            server = self.spawn(command(write_end), env=env, pass_fds=(write_end,),
                                stdout=self.log_file(log), stderr=subprocess.STDOUT)
            os.close(write_end)
            write_end = None
            number = read_display_number(read_end, server, self.timeout,
                                         lambda: f"{name}: " + self.log_text(log))
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
        return server, ":" + number

    def use_display(self, display, name="the X server", server=None):
        """Point the session's clients at display and wait until it answers
        (and, given the server's process, while that runs)."""
        self.display = display
        self.env = {k: v for k, v in os.environ.items() if k != "XAUTHORITY"}
        self.env["DISPLAY"] = self.display
        self.env.update(self.client_env)

        def up():
            if server and server.poll() is not None:
                raise did_not_start(f"{name} ended: " + self.log_text("server.log"))
            return self.answers(self.timeout)
        try:
            wait_for(up, self.timeout, f"{name} on {self.display} to answer")
        except Timeout as error:
            raise did_not_start(str(error)) from None

    def stop_server(self):
        """Take the display away from under every client, as a crash would."""
        self.xvfb.kill()
        self.xvfb.wait()


def read_display_number(pipe, server, timeout, log):
    """The display number a server writes to pipe, once the line is whole;
    log() says what the server said, where it gives none."""
    number = b""
    deadline = time.monotonic() + timeout
    while not number.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or server.poll() is not None:
            raise did_not_start(f"{log()} (no display number reported)")
        if select.select([pipe], [], [], left)[0]:
            chunk = os.read(pipe, 16)
            if not chunk:
                raise did_not_start(f"{log()} (its display pipe closed)")
            number += chunk
    return number.decode().strip().lstrip(":")


def start_numbered(session, server, name):
    """Start a server that cannot pick its own display number (nxagent) on
    the first one from FIRST_NUMBER up that holds no lock; where another
    server takes it first, this one ends, and the next is tried."""
    number = FIRST_NUMBER
    deadline = time.monotonic() + session.timeout
    while time.monotonic() < deadline:
        if display_taken(number):
            number += 1
            continue
        session.xvfb = session.spawn([arg.replace(NUMBER, f":{number}") for arg in server],
                                     env=session.server_env,
                                     stdout=session.log_file("server.log"),
                                     stderr=subprocess.STDOUT)
        try:
            return session.use_display(f":{number}", name, session.xvfb)
        except Failed:
            # Only a server that lost the number to another tries the next.
            if session.xvfb.poll() is None or not os.path.lexists(lock_file(number)):
                raise
        number += 1
    raise did_not_start(f"{name} found no free display: " + session.log_text("server.log"))


def start_session_bus(session):
    """A session bus of the session's own, stopped with it by its PID."""
    argv = ["dbus-daemon", "--session", "--nofork", "--print-address"]
    bus = session.spawn(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    address = bus.stdout.readline().decode().strip()
    if not address:
        raise ToolFailed(argv, bus.poll(), "it gave no address", "dbus")
    session.env["DBUS_SESSION_BUS_ADDRESS"] = address


def start_window_manager(session):
    """Start the session's window manager, and wait until it manages."""
    argv = list(session.window_manager)
    name = os.path.basename(argv[0])
    # openbox announces itself on the root window well before it reads its
    # first events; the command it runs just before its event loop marks it
    # really ready. Other managers are taken at their announcement.
    ready = os.path.join(session.tmp, "wm-ready")
    if name == "openbox":
        argv += ["--startup", f"touch '{ready}'"]
    manager = session.spawn(argv, stdout=session.log_file("wm.log"), stderr=subprocess.STDOUT)

    def managing():
        if manager.poll() is not None:
            raise ToolFailed(argv, manager.returncode, session.log_text("wm.log"), name)
        if name == "openbox":
            return os.path.exists(ready)
        return "window id" in session.xprop_root("_NET_SUPPORTING_WM_CHECK")
    try:
        wait_for(managing, session.timeout, f"{name} to manage the display")
    except Timeout as error:
        raise ToolFailed(argv, None, f"{error}: " + session.log_text("wm.log"), name) from None


if __name__ == "__main__":
    # scripts/run asks which display a run will use, to install what a
    # private one needs: "private" or "own".
    print("private" if private_display("--headless" in sys.argv[1:]) else "own")
