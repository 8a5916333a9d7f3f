"""Questions to one X display, asked with the standard X tools a user has
(xprop, xwininfo, xdpyinfo, glxinfo, wmctrl, ImageMagick's import), and the
close request a window manager sends, made with Xlib itself.

A tool that fails says why: where the display refused it (no server, a
window gone, an X error), XRefused; where it failed in a way not understood
here (a broken or foreign tool, one missing), ToolFailed, the checker's own
trouble, never the display's.
"""

import ctypes
import os
import re
import subprocess
import time

from .causes import ToolFailed
from .diagnosis import CONNECTION_REFUSED
from .facts import TITLE
from .procs import wait_for

# How long a query may take; the waits that use them are longer.
QUERY_TIMEOUT = 60
# How often to nudge the window manager while a window has not appeared.
NUDGE_INTERVAL = 1.0
# Where import keeps the picture it passes through a file: in memory. On a
# disk busy with other programs' writes, import has waited over a minute in the
# kernel for a page, after its picture was out.
MEMORY_FOLDER = "/dev/shm"
# What an X tool says when the display, not the tool, is at fault: no server
# to talk to, a window that is gone, an X error.
REFUSED = re.compile(r"(?:unable to|[Cc]annot) open (?:display|X server)|X Error|[Nn]o (?:such )?window|"
                     r"no window with specified ID|Bad(?:Window|Drawable|Match)|"
                     r"X connection to \S+ broken|XIO|unable to read X window")
# What wmctrl says where no window manager runs.
NO_WINDOW_MANAGER = "Cannot get window manager info"
# The Debian package each tool comes from, for the advice on a broken one.
PACKAGES = {"xprop": "x11-utils", "xwininfo": "x11-utils", "xdpyinfo": "x11-utils",
            "glxinfo": "mesa-utils", "wmctrl": "wmctrl", "import": "imagemagick"}


class XRefused(Exception):
    """The display refused a tool's request: the tool's command line, its
    status and its words."""

    def __init__(self, argv, status, said):
        self.argv, self.status, self.said = list(argv), status, said.strip()
        self.tool = os.path.basename(self.argv[0])
        super().__init__(f"{self.tool} failed with status {status}: {self.said[:300]}")


def failed_tool(argv, status, said):
    """The error for a tool that exited with status, having said said."""
    if REFUSED.search(said):
        return XRefused(argv, status, said)
    return ToolFailed(argv, status, said, PACKAGES.get(os.path.basename(argv[0]), ""))


def waiting_in(pid):
    """A process's scheduler state and the kernel function it sleeps in."""
    try:
        with open(f"/proc/{pid}/stat") as stat, open(f"/proc/{pid}/wchan") as wchan:
            state, sleep = stat.read().rsplit(")", 1)[1].split()[0], wchan.read()
    except OSError:
        return "its state could not be read"
    return f"in state {state}, " + (f"sleeping in {sleep}" if sleep not in ("", "0")
                                    else "not sleeping")


class Client:
    """X clients run on a display, as the environment env names it."""

    def __init__(self, env):
        self.env = env
        self.display = env.get("DISPLAY", "")

    def run(self, argv, check=True, timeout=QUERY_TIMEOUT, env=None):
        """Run an X client to completion on this display and return its
        result; checked, an error (XRefused, ToolFailed) where it fails."""
        try:
            proc = subprocess.Popen(argv, env=env or self.env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        except OSError as error:
            raise ToolFailed(argv, None, f"it could not be started: {error.strerror}",
                             PACKAGES.get(os.path.basename(argv[0]), "")) from None
        with proc:
            try:
                stdout, stderr = proc.communicate(timeout=timeout)
            except BaseException as error:
                # Where the client waits tells a server that never answered
                # from a client stuck in itself; it is read before the kill.
                # Interrupted, the client is stopped too, and left to no one.
                if isinstance(error, subprocess.TimeoutExpired):
                    error.add_note(f"{argv[0]} was stopped while {waiting_in(proc.pid)}")
                proc.kill()
                raise
        result = subprocess.CompletedProcess(argv, proc.returncode, stdout, stderr)
        if check and result.returncode != 0:
            raise failed_tool(argv, result.returncode, result.stderr.decode(errors="replace"))
        return result

    def answers(self, timeout=QUERY_TIMEOUT):
        """Whether the server takes a connection and answers a question
        within timeout seconds; ToolFailed where xprop cannot tell."""
        try:
            self.run(["xprop", "-root", "_NET_SUPPORTED"], timeout=timeout)
        except (subprocess.TimeoutExpired, XRefused):
            return False
        return True

    def xprop_root(self, *props):
        return self.run(["xprop", "-root", *props], check=False).stdout.decode()

    def xprop(self, window, *props, check=True):
        """xprop's words on the window's properties; "" where it is gone, unless checked."""
        return self.run(["xprop", "-id", str(window), *props], check=check).stdout.decode()

    def server_info(self, display=None):
        """What xdpyinfo says of the display (or another), and whether it
        answered; ToolFailed where xdpyinfo failed for a reason of its own."""
        argv = ["xdpyinfo", *(["-display", display] if display else [])]
        result = self.run(argv, check=False)
        said = (result.stdout + result.stderr).decode(errors="replace")
        if result.returncode != 0 and not REFUSED.search(said) \
                and not CONNECTION_REFUSED.search(said):
            raise failed_tool(argv, result.returncode, said)
        return result.returncode == 0, said

    def glx_info(self, indirect=True, check=False):
        """What glxinfo -B says, errors included; not indirect, without
        LIBGL_ALWAYS_INDIRECT."""
        env = self.env if indirect else {k: v for k, v in self.env.items()
                                         if k != "LIBGL_ALWAYS_INDIRECT"}
        result = self.run(["glxinfo", "-B"], check=check, env=env)
        return (result.stdout + result.stderr).decode(errors="replace")


class Windows(Client):
    """The windows on the display: which are the program's, where they are."""

    def client_windows(self):
        """The top-level windows the window manager manages, in its own list;
        where it keeps none (weston's does not), the windows with our title."""
        listing = self.xprop_root("_NET_CLIENT_LIST")
        if "(WINDOW)" not in listing:
            return self.titled_windows()
        return [int(w, 16) for w in re.findall(r"0x[0-9a-fA-F]+", listing)]

    def titled_windows(self, title=TITLE):
        """Every window in the tree with this title, the program's by default."""
        tree = self.run(["xwininfo", "-root", "-tree"]).stdout.decode(errors="replace")
        return [int(w, 16) for w in re.findall(
            rf'^\s*(0x[0-9a-f]+) "{re.escape(title)}"', tree, re.M)]

    def program_windows(self):
        """The managed windows titled as the program's: some window managers
        list windows of their own (a toolbar), and others may be open. A
        window destroyed since the list was read has no title to read, and
        is not counted."""
        return [window for window in self.client_windows()
                if f'= "{TITLE}"' in self.xprop(window, "WM_NAME", check=False)]

    def program_window(self, pid, state="IsViewable"):
        """The window titled as the program's that belongs to process pid, or
        names no process, and is in xwininfo's map state state; None if there
        is none. Looked for in the whole tree, as not every window manager
        keeps a list of the windows it manages."""
        for window in self.titled_windows()[:20]:
            owner = re.search(r"= (\d+)", self.xprop(window, "_NET_WM_PID", check=False))
            if (owner is None or int(owner.group(1)) == pid) \
                    and self.window_info(window, check=False).get("Map State") == state:
                return window
        return None

    def wait_no_windows(self, timeout):
        """Wait until the window manager's list of windows holds none of the
        program's: it drops a window a moment after the window is gone, when
        its queue allows. Windows of other programs may stay."""
        wait_for(lambda: not self.program_windows(), timeout,
                 "the window manager to drop the program's window")

    def window_info(self, window, check=True):
        """xwininfo's fields for a window, as a dict of strings."""
        result = self.run(["xwininfo", "-id", str(window)], check=check)
        return dict(re.findall(r"^\s*([^:\n]+):\s*(.*)$", result.stdout.decode(), re.M))

    def size(self, window):
        info = self.window_info(window)
        return int(info["Width"]), int(info["Height"])

    def area(self, window):
        """The window's place and size on the screen: x, y, width, height."""
        info = self.window_info(window, check=False)
        return tuple(int(info.get(field, 0)) for field in (
            "Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))

    def screen_size(self):
        """The width and height of the display's screen: its root window's."""
        text = self.run(["xwininfo", "-root"]).stdout.decode()
        return tuple(int(re.search(rf"^\s*{name}:\s*(\d+)", text, re.M).group(1))
                     for name in ("Width", "Height"))

    def covering_window(self, window):
        """The name of a shown window that the window manager stacks above
        this one and that overlaps it, or None."""
        x, y, w, h = self.area(window)
        stacking = [int(w, 16) for w in re.findall(
            r"0x[0-9a-fA-F]+", self.xprop_root("_NET_CLIENT_LIST_STACKING"))]
        above = stacking[stacking.index(window) + 1:] if window in stacking else []
        for other in above:
            if self.window_info(other, check=False).get("Map State") != "IsViewable":
                continue
            ox, oy, ow, oh = self.area(other)
            if ox < x + w and x < ox + ow and oy < y + h and y < oy + oh:
                name = re.search(r'= "(.*)"', self.xprop(other, "WM_NAME", check=False))
                return f'"{name.group(1)}"' if name else "(no name)"
        return None


class Captures(Windows):
    """Pictures of windows, as the screen or a viewer shows them."""

    def capture(self, window, composited=False, viewer=None):
        """The window's client area as it is now; composited, as the screen
        shows it, read off the root window: a compositor's effects (a window
        fading in, say) included; or as a viewer, a (display, window) pair,
        shows it, with this screen at its top-left, as a remote desktop's
        client does."""
        where, shown_on = ["-window", str(window)], self
        if composited or viewer:
            # xwininfo places a window by its border's outer corner.
            info = self.window_info(window)
            x, y, width, height, border = (int(info[field]) for field in (
                "Absolute upper-left X", "Absolute upper-left Y", "Width", "Height",
                "Border width"))
            shown_on, shown_in = viewer or (self, "root")
            where = ["-window", str(shown_in), "-crop",
                     f"{width}x{height}+{x + border}+{y + border}"]
        env = dict(shown_on.env, MAGICK_TEMPORARY_PATH=MEMORY_FOLDER) \
            if os.access(MEMORY_FOLDER, os.W_OK | os.X_OK) else None
        argv = ["import", "-silent", *where, "-depth", "8", "ppm:-"]
        data = shown_on.run(argv, env=env).stdout
        try:
            from .pictures import Image  # numpy and Pillow: only once a picture is taken
            return Image.decode(data)
        except (OSError, ValueError) as error:
            raise ToolFailed(argv, 0, f"its output is no picture ({error})",
                             PACKAGES["import"]) from None


class Display(Captures):
    """An X display, as the environment env names it, and what a window
    manager does there, asked of it or done in its place."""

    def __init__(self, env):
        super().__init__(env)
        self.nudged = 0.0

    def window_manager_name(self, timeout=QUERY_TIMEOUT):
        """The name the running window manager gives itself, or "" where
        none runs, or where the display will not say (the program's own run
        then tells why)."""
        argv = ["wmctrl", "-m"]
        result = self.run(argv, check=False, timeout=timeout)
        said = result.stdout.decode(errors="replace")
        if result.returncode != 0:
            complaint = result.stderr.decode(errors="replace")
            if NO_WINDOW_MANAGER in complaint or REFUSED.search(complaint):
                return ""
            raise failed_tool(argv, result.returncode, complaint)
        found = re.search(r"^Name: (.*)$", said, re.M)
        return found.group(1) if found else ""

    def close_window(self, window):
        """Ask the window manager to close the window, as its close button does."""
        self.run(["wmctrl", "-i", "-c", hex(window)])

    def raise_window(self, window):
        self.run(["wmctrl", "-i", "-a", hex(window)], check=False)

    def resize(self, window, width, height, timeout):
        """Ask the window manager to give the window's client area this size."""
        self.run(["wmctrl", "-i", "-r", hex(window), "-e", f"0,-1,-1,{width},{height}"])
        wait_for(lambda: self.size(window) == (width, height), timeout,
                 f"the window to be resized to {width} x {height}")

    def nudge(self, waiting_since):
        """Once a wait that began at waiting_since (time.monotonic()) has gone
        on a while, and now and then after that, change a property on the
        root window: a window manager that left a request to show a window
        unread while it started sleeps until the next event comes, and this
        is one."""
        if time.monotonic() - max(waiting_since, self.nudged) < NUDGE_INTERVAL:
            return
        self.nudged = time.monotonic()
        self.run(["xprop", "-root", "-f", "_SFML_WORKS_NUDGE", "32c", "-set",
                  "_SFML_WORKS_NUDGE", str(int(self.nudged))], check=False)

    def send_close_request(self, window):
        """Ask the window to close, as a window manager does for its close
        button: a WM_DELETE_WINDOW message of the WM_PROTOCOLS kind."""
        send_close_request(self.display, window)


class _ClientMessage(ctypes.Structure):
    """Xlib's XClientMessageEvent, with 32-bit data."""
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
                ("pad", ctypes.c_long * 19)]


_CLIENT_MESSAGE = 33


def send_close_request(display, window):
    """The close request of Display.send_close_request, on display."""
    xlib = ctypes.CDLL("libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XInternAtom.restype = ctypes.c_ulong
    xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                ctypes.POINTER(_ClientMessage)]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    connection = xlib.XOpenDisplay(display.encode())
    if not connection:
        raise OSError(f"cannot open the display {display}")
    event = _ClientMessage(type=_CLIENT_MESSAGE, send_event=1, display=connection,
                           window=window, format=32,
                           message_type=xlib.XInternAtom(connection, b"WM_PROTOCOLS", 0))
    event.data[0] = xlib.XInternAtom(connection, b"WM_DELETE_WINDOW", 0)
    sent = xlib.XSendEvent(connection, window, 0, 0, ctypes.byref(event))
    xlib.XCloseDisplay(connection)  # flushes the request
    if not sent:
        raise OSError("the close request could not be sent")
