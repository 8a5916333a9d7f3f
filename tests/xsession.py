"""A private X display for the tests, and the program under test running on it.

Xvfb picks a free display number itself (-displayfd), so suites running at the
same time never meet; openbox manages the display so that close requests and
resizes take the same road as on a desktop. Every process started here is
stopped by its PID when the session ends, whatever the test's outcome.
"""

import ctypes
import glob
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import time

from oracle import Image

BIN = os.environ["SFML_WORKS_BIN"]
FRAME_COUNTER_LIB = os.environ["FRAME_COUNTER_LIB"]
NEVER_OPEN_LIB = os.environ["NEVER_OPEN_LIB"]
XPOKE = os.environ["XPOKE"]
SOURCE_DIR = os.environ["SFML_WORKS_SOURCE_DIR"]
SANITIZED = os.environ.get("SFML_WORKS_SANITIZED") == "1"
MESA_DRIVERS = glob.glob("/usr/lib/*/dri/swrast_dri.so")[:1]

TITLE = "SFML works!"
SIZE = 200
# Waits for start-up are generous: the machine is shared and a sanitized build
# is several times slower. They bound a wait; they are not measurements.
START_TIMEOUT = 60 if SANITIZED else 30
# How long the program may take to end after a close request.
CLOSE_DEADLINE = 2.0
POLL_INTERVAL = 0.02
# How often to nudge the window manager while a window has not appeared.
NUDGE_INTERVAL = 1.0
# What Xlib says when the connection to the server breaks, in its two forms.
XLIB_FATAL_IO = r"XIO: +fatal IO error|X connection to \S+ broken"


def wait_for(condition, timeout, what):
    """Return condition()'s first true value, polling until timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"gave up after {timeout} s waiting for {what}")
        time.sleep(POLL_INTERVAL)


_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    """Runs in each child before exec: should the test itself be killed, the
    kernel ends its children too, so no server outlives a lost test."""
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)


def resident_kib(pid, field="VmRSS"):
    """The process's resident memory in KiB: now, or its peak with VmHWM."""
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(rf"^{field}:\s+(\d+) kB", status.read(), re.M).group(1))


def stop_process(proc, grace=5):
    """Stop one process by its PID: politely first, then for good."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def linked(library, folder):
    """A link to library in folder, for LD_PRELOAD: the loader splits that at
    spaces, which the path of a checkout may hold, and a temporary folder's
    does not."""
    link = os.path.join(folder, os.path.basename(library))
    os.symlink(library, link)
    return link


def sanitizer_env(env, preload=()):
    """env for running the program under test, with preload added to
    LD_PRELOAD, and what a sanitizer build needs to run among preloads."""
    env = dict(env)
    preload = [*preload, *env.get("LD_PRELOAD", "").split()]
    if SANITIZED:
        # Preloads go ahead of the sanitizer runtime. Mesa unloads its driver
        # when the display closes, which turns the driver's live allocations
        # into leaks from an unknown module; preloading the driver keeps it,
        # and them, in place until exit. A crash is left to end the process
        # with its signal, as it does in any other build.
        preload += MESA_DRIVERS
        env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=1:handle_segv=0"
        env["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
    env["LD_PRELOAD"] = " ".join(preload)
    return env


class XSession:
    """An X server, Xvfb unless told otherwise, with a window manager,
    openbox unless told otherwise, for the length of a with-block.

    server is the server's command line without -displayfd, which is added;
    window_manager is a command line, or False for none; server_env is the
    environment the server starts in (a nested server needs its host's
    DISPLAY); client_env is added to the environment of every client; dbus
    starts a D-Bus session bus for the clients first, as a desktop session does.
    """

    def __init__(self, window_manager=True, screen="1280x1024", server=None,
                 server_env=None, client_env=None, dbus=False):
        self.window_manager = ["openbox", "--sm-disable"] if window_manager is True \
            else window_manager
        self.server = server or ["Xvfb", "-screen", "0", screen + "x24", "-nolisten", "tcp",
                                 "-noreset"]
        self.server_env = server_env or os.environ
        self.client_env = client_env or {}
        self.dbus = dbus
        self.xvfb = None
        self.processes = []
        self.tmp = None
        self.env = None
        self.display = None

    def __enter__(self):
        self.tmp = tempfile.mkdtemp(prefix="sfml-works-test-")
        try:
            self._start_server()
            if self.dbus:
                self._start_session_bus()
            if self.window_manager:
                self._start_window_manager()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        for proc in reversed(self.processes):
            stop_process(proc)
            if proc.stdout:
                proc.stdout.close()
        for log in getattr(self, "_logs", []):
            log.close()
        shutil.rmtree(self.tmp, ignore_errors=True)
        return False

    def spawn(self, argv, env=None, **kwargs):
        """Start a process that the session will stop when it ends."""
        proc = subprocess.Popen(argv, env=env or self.env, stdin=subprocess.DEVNULL,
                                preexec_fn=_die_with_parent, **kwargs)
        self.processes.append(proc)
        return proc

    def log_file(self, name):
        """A log in the session's folder, open for a process's output."""
        log = open(os.path.join(self.tmp, name), "wb")
        self._logs = getattr(self, "_logs", []) + [log]
        return log

    def _start_server(self):
        server = self.server
        name = os.path.basename(server[0])
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
            number = b""
            deadline = time.monotonic() + START_TIMEOUT
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or server.poll() is not None:
                    raise AssertionError(f"{name} did not report a display number: "
                                         + self.log_text(log))
                if select.select([read_end], [], [], left)[0]:
                    chunk = os.read(read_end, 16)
                    if not chunk:
                        raise AssertionError(f"{name} closed its display pipe: "
                                             + self.log_text(log))
                    number += chunk
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
        return server, ":" + number.decode().strip().lstrip(":")

    def use_display(self, display, name="the X server"):
        """Point the session's clients at display and wait until it answers."""
        self.display = display
        self.env = {k: v for k, v in os.environ.items() if k != "XAUTHORITY"}
        self.env["DISPLAY"] = self.display
        self.env.update(self.client_env)
        wait_for(lambda: self.run(["xprop", "-root", "_NET_SUPPORTED"], check=False)
                 .returncode == 0, START_TIMEOUT, f"{name} on {self.display} to answer")

    def _start_session_bus(self):
        """A session bus of the session's own, stopped with it by its PID."""
        bus = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        address = bus.stdout.readline().decode().strip()
        if not address:
            raise AssertionError("dbus-daemon did not give its address")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address

    def _start_window_manager(self):
        argv = list(self.window_manager)
        name = os.path.basename(argv[0])
        # openbox announces itself on the root window well before it reads its
        # first events; the command it runs just before its event loop marks
        # it really ready. Other managers are taken at their announcement.
        ready = os.path.join(self.tmp, "wm-ready")
        if name == "openbox":
            argv += ["--startup", f"touch '{ready}'"]
        manager = self.spawn(argv, stdout=self.log_file("wm.log"), stderr=subprocess.STDOUT)

        def managing():
            if manager.poll() is not None:
                raise AssertionError(f"{name} ended with status {manager.returncode}: "
                                     + self.log_text("wm.log"))
            if name == "openbox":
                return os.path.exists(ready)
            return "window id" in self.xprop_root("_NET_SUPPORTING_WM_CHECK")
        wait_for(managing, START_TIMEOUT, f"{name} to manage the display")

    def nudge(self):
        """Change a property on the root window: a window manager that left a
        request to show a window unread while it started sleeps until the
        next event comes, and this is one."""
        self.run(["xprop", "-root", "-f", "_SFML_WORKS_NUDGE", "32c", "-set",
                  "_SFML_WORKS_NUDGE", str(int(time.monotonic()))], check=False)

    def stop_server(self):
        """Take the display away from under every client, as a crash would."""
        self.xvfb.kill()
        self.xvfb.wait()

    def log_text(self, name):
        with open(os.path.join(self.tmp, name), "rb") as log:
            return log.read().decode(errors="replace")

    def run(self, argv, check=True, timeout=60, env=None):
        """Run an X client to completion on this display and return its result."""
        result = subprocess.run(argv, env=env or self.env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError(f"{argv} failed with {result.returncode}: "
                                 + result.stderr.decode(errors="replace"))
        return result

    def xprop_root(self, *props):
        return self.run(["xprop", "-root", *props], check=False).stdout.decode()

    def xprop(self, window, *props):
        return self.run(["xprop", "-id", str(window), *props]).stdout.decode()

    def client_windows(self):
        """The top-level windows the window manager manages, in its own list;
        where it keeps none (weston's does not), the windows with our title."""
        listing = self.xprop_root("_NET_CLIENT_LIST")
        if "(WINDOW)" not in listing:
            tree = self.run(["xwininfo", "-root", "-tree"]).stdout.decode()
            return [int(w, 16) for w in re.findall(
                rf'^\s*(0x[0-9a-f]+) "{re.escape(TITLE)}"', tree, re.M)]
        return [int(w, 16) for w in re.findall(r"0x[0-9a-fA-F]+", listing)]

    def program_windows(self):
        """The managed windows titled as the program's: some window managers
        list windows of their own (a toolbar), and others may be open. A
        window destroyed since the list was read has no title to read, and
        is not counted."""
        return [window for window in self.client_windows()
                if f'= "{TITLE}"' in self.run(["xprop", "-id", str(window), "WM_NAME"],
                                              check=False).stdout.decode()]

    def wait_no_windows(self):
        """Wait until the window manager's list of windows holds none of the
        program's: it drops a window a moment after the window is gone, when
        its queue allows. Windows of other programs may stay."""
        wait_for(lambda: not self.program_windows(), START_TIMEOUT,
                 "the window manager to drop the program's window")

    def window_info(self, window):
        """xwininfo's fields for a window, as a dict of strings."""
        text = self.run(["xwininfo", "-id", str(window)]).stdout.decode()
        return dict(re.findall(r"^\s*([^:\n]+):\s*(.*)$", text, re.M))

    def size(self, window):
        info = self.window_info(window)
        return int(info["Width"]), int(info["Height"])

    def capture(self, window):
        """The window's client area as it is on the screen now."""
        return Image(self.run(["import", "-silent", "-window", str(window),
                               "-depth", "8", "ppm:-"]).stdout)

    def close_window(self, window):
        """Ask the window manager to close the window, as its close button does."""
        self.run(["wmctrl", "-i", "-c", hex(window)])

    def resize(self, window, width, height):
        """Ask the window manager to give the window's client area this size."""
        self.run(["wmctrl", "-i", "-r", hex(window), "-e", f"0,-1,-1,{width},{height}"])
        wait_for(lambda: self.size(window) == (width, height), START_TIMEOUT,
                 f"the window to be resized to {width} x {height}")

    def xpoke(self, command, window, count, background=False):
        """Run the Xlib helper: to completion, or in the background with its
        progress reports readable from the returned process's stdout."""
        argv = [XPOKE, command, str(window), str(count)]
        if background:
            return self.spawn(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        return self.run(argv, timeout=300)

    def run_until_shown(self, argv, close, env=None):
        """Run a script that shows the program's window here, as scripts/run
        does. Once it says the window shows the circle, close(window) closes
        it, as a person would. Returns the script's exit status, all that it
        printed, and whether it showed the window."""
        run = self.spawn(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output, shown = "", False
        while not shown:
            line = run.stdout.readline().decode()
            if not line:
                break
            output += line
            shown = "close it to finish" in line
        if shown:
            close(self.program_windows()[0])
        output += run.communicate(timeout=START_TIMEOUT)[0].decode()
        return run.returncode, output, shown

    def start_program(self, args=(), env=None, preload=(), wrapper=(), binary=BIN):
        return Program(self, args, env, preload, wrapper, binary)


class Program:
    """The program under test, started on a session's display.

    A preloaded counter wraps the buffer swap, so the tests can see every
    frame the program presents without changing the program.
    """

    def __init__(self, session, args=(), env=None, preload=(), wrapper=(), binary=BIN):
        self.session = session
        tmp = tempfile.mkdtemp(prefix="program-", dir=session.tmp)
        self.counter_path = os.path.join(tmp, "frames")
        self.stdout_path = os.path.join(tmp, "stdout")
        self.stderr_path = os.path.join(tmp, "stderr")
        preload = [linked(lib, tmp) for lib in (FRAME_COUNTER_LIB, *preload)]
        program_env = sanitizer_env(session.env if env is None else env, preload)
        program_env["FRAME_COUNTER_FILE"] = self.counter_path
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = session.spawn([*wrapper, binary, *args], env=program_env,
                                      stdout=out, stderr=err)
        self.window = None

    def counter(self):
        """Frames presented so far, and the wall-clock times in nanoseconds at
        which the first and the latest of them were presented."""
        try:
            with open(self.counter_path, "rb") as counter:
                data = counter.read(24)
        except FileNotFoundError:
            return 0, 0, 0
        return struct.unpack("<QQQ", data) if len(data) == 24 else (0, 0, 0)

    def frames(self):
        """Frames presented so far."""
        return self.counter()[0]

    def wait_frames(self, count, timeout=START_TIMEOUT):
        self.assert_running()
        wait_for(lambda: self.frames() >= count or self.proc.poll() is not None, timeout,
                 f"{count} frames")
        self.assert_running()

    def wait_window(self, timeout=START_TIMEOUT, counted=True):
        """Wait for the window to be managed, shown and, where the counter can
        see its frames, drawn; return its id."""
        nudged = [time.monotonic()]

        def managed():
            self.assert_running()
            if time.monotonic() - nudged[0] > NUDGE_INTERVAL:
                self.session.nudge()
                nudged[0] = time.monotonic()
            windows = self.session.program_windows()
            return windows[0] if len(windows) == 1 else None
        self.window = wait_for(managed, timeout, "the program's window")
        wait_for(lambda: self.session.window_info(self.window).get("Map State")
                 == "IsViewable", timeout, "the window to be shown")
        if counted:
            self.wait_frames(self.frames() + 2, timeout)
        return self.window

    def assert_running(self):
        status = self.proc.poll()
        if status is not None:
            raise AssertionError(f"the program ended early with status {status}: "
                                 + self.stderr())

    def wait_exit(self, timeout):
        """Wait for the program to end; return its status and how long it took."""
        start = time.monotonic()
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the program was still running {timeout} s later")
        return status, time.monotonic() - start

    def close(self, timeout=CLOSE_DEADLINE):
        """Close the window through the window manager, and check that the
        program ends in time with status 0 and printed nothing."""
        self.session.close_window(self.window)
        status, _ = self.wait_exit(timeout)
        if status != 0:
            raise AssertionError(f"the program ended with status {status}: "
                                 + self.stderr())
        if self.stdout():
            raise AssertionError(f"the program printed: {self.stdout()!r}")

    def stdout(self):
        with open(self.stdout_path, "rb") as out:
            return out.read().decode(errors="replace")

    def stderr(self):
        with open(self.stderr_path, "rb") as err:
            return err.read().decode(errors="replace")
