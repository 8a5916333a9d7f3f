"""What a run gathers while the program runs on a display: its window, its
frames drawn (read back by the counter) and shown (captured off the screen),
its frame rate, its close and its end, and the display's own facts where it
fails. Each step waits with a deadline and ends the run (Failed) where the
stack fails in that step; the judging is judge's.
"""

import os
import re
import subprocess
import time

from . import judge
from .causes import Failed, Failure
from .diagnosis import DRIVER_OVERRIDES, Facts, explain, field, off_screen, runaway, \
    split_display
from .facts import PROGRAM
from .pictures import Image
from .procs import Timeout, stop_process, wait_for
from .program import RUNAWAY_MIB, frames_per_second
from .session import SOCKETS
from .xquery import XRefused

# How long to wait for the window and its first frame; how long a window may
# exist without being shown before it counts as held back; how long to wait
# for the drawn frames and the exact picture; over how many seconds the frame
# rate is counted, and how much longer to wait for two frames to count; and
# how long a closed window may take to go.
SHOW_SECONDS = 30
UNMAPPED_SECONDS = 10
# How long a window must lie outside the screen, with no frame, to be called
# lost there: a window manager may place a window a moment after it shows.
OFF_SCREEN_SECONDS = 2
DRAW_SECONDS = 5
FPS_SECONDS = 2
SLOW_SECONDS = 10
CLOSE_SECONDS = 10
# The picture is judged at the start and at the end of the frame count, each
# time on this many frames drawn in a row and this many looks at the screen.
DRAWN_FRAMES = 3
SCREEN_LOOKS = 2
# Where WSLg's server has its socket files.
WSLG_SOCKETS = "/mnt/wslg/.X11-unix"


def socket_facts(display):
    """Where DISPLAY names a local server whose socket file is gone: that
    file, where a link on the way to it leads, whether this is WSL, and
    WSLg's own socket for the display where it is there."""
    found = re.match(r"^(?:unix)?:(\d+)(?:\.\d+)?$", display)
    socket = found and f"{SOCKETS}/X{found.group(1)}"
    if not socket or os.path.exists(socket):
        return {}
    link = next((path for path in (socket, SOCKETS) if os.path.islink(path)), "")
    link = link and os.path.join(os.path.dirname(link), os.readlink(link))
    try:
        with open("/proc/sys/kernel/osrelease") as f:
            kernel = f.read().lower()
    except OSError:
        kernel = ""
    wslg = f"{WSLG_SOCKETS}/X{found.group(1)}"
    return dict(socket=socket, link=link, wsl="microsoft" in kernel or os.path.isdir("/mnt/wslg"),
                wslg=wslg if os.path.exists(wslg) else "")


def overrides():
    """The variables that choose Mesa's driver, as NAME=value, where set."""
    return " ".join(f"{name}={os.environ[name]}" for name in DRIVER_OVERRIDES
                    if os.environ.get(name))


class Watch:
    """The program on display x, as the run watches it; sfml is the
    library's release it runs with."""

    def __init__(self, x, program, sfml):
        self.x, self.program, self.sfml = x, program, sfml

    def alive(self):
        return self.program.running()

    def explain(self, wait=None):
        """Why the program ended, from the display's and the program's words;
        waited for up to wait seconds where it still runs (None: for good)."""
        x = self.x
        try:
            status = self.program.proc.wait(timeout=wait)
        except subprocess.TimeoutExpired:
            status = None
        answered, server = x.server_info()
        base, screen = split_display(x.display)
        screens = None
        if not answered and screen is not None:
            base_answered, base_server = x.server_info(base)
            found = field("number of screens", base_server)
            screens = int(found) if base_answered and found.isdigit() else None
        # What the server is, where it answered; where its socket went, if not.
        # GLX is asked for directly: the user's LIBGL_ALWAYS_INDIRECT is a
        # fact of its own, and can make glxinfo run away as the program may.
        found = dict(glx=x.glx_info(indirect=False), agent="".join(
            re.findall(r'= "(.*)"', x.xprop_root("NX_AGENT_VERSION")))) if answered \
            else socket_facts(x.display)
        return explain(Facts(
            display=x.display, status=status, server_answered=answered, server=server,
            screens=screens, stderr=self.program.stderr(),
            indirect=os.environ.get("LIBGL_ALWAYS_INDIRECT", ""), sfml=self.sfml,
            ssh=bool(os.environ.get("SSH_CONNECTION")), overrides=overrides(), **found))

    def ended_early(self):
        """Where the program is gone before its picture was proven, fail, and
        say why; a close with status 0 only means it was closed too soon."""
        if self.alive():
            return
        if self.program.proc.wait() == 0:
            raise Failed(judge.closed_early())
        raise Failed(self.explain())

    def window(self, wm):
        """The program's window, once shown; fail where none comes, where it
        is held back unshown, or where the program runs away or ends first."""
        x, program = self.x, self.program
        held_since, since = None, time.monotonic()

        def shown():
            nonlocal held_since
            window = x.program_window(program.proc.pid)
            if window or not self.alive():
                return window or "ended"
            if program.ran_away():
                return "ran away"
            # A window made but not shown may be held back for good.
            if x.program_window(program.proc.pid, "IsUnMapped"):
                held_since = held_since or time.monotonic()
                if time.monotonic() - held_since >= UNMAPPED_SECONDS:
                    return "held"
            # Wake a window manager that may have lost the request to show it.
            x.nudge(since)
            return None
        try:
            window = wait_for(shown, SHOW_SECONDS, "the window")
        except Timeout:
            raise Failed(judge.no_window(SHOW_SECONDS)) from None
        if window in ("held", "ran away"):
            stop_process(program.proc)
        if window == "held":
            raise Failed(judge.never_shown(wm))
        if window == "ran away":
            raise Failed(runaway(os.environ.get("LIBGL_ALWAYS_INDIRECT", ""), RUNAWAY_MIB // 1024))
        if window == "ended":
            raise Failed(self.explain())
        return window

    def first_frame(self, window, wm):
        """Wait for the first frame; fail where none comes, or where the
        window lies outside the screen, where none can come."""
        screen, outside_since = self.x.screen_size(), None

        def presented():
            nonlocal outside_since
            if self.program.frames() > 0 or not self.alive():
                return True
            lost = off_screen(self.x.area(window), screen, self.sfml, wm)
            outside_since = (outside_since or time.monotonic()) if lost else None
            return lost if lost and time.monotonic() - outside_since >= OFF_SCREEN_SECONDS \
                else None
        try:
            lost = wait_for(presented, SHOW_SECONDS, "the first frame")
        except Timeout:
            raise Failed(judge.no_frame(SHOW_SECONDS, self.x.covering_window(window))) from None
        if isinstance(lost, Failure):
            raise Failed(lost)
        self.ended_early()

    def drawn_frames(self):
        """The frames the program drew, DRAWN_FRAMES in a row, each read back
        by the counter before it was presented: what the library and the
        driver made of the drawing, judged; [] where none could be read."""
        counter = self.program.counter
        numbers = counter.request_captures(DRAWN_FRAMES)
        try:
            wait_for(lambda: counter.read().done >= numbers.stop or not self.alive(),
                     DRAW_SECONDS, "the drawn frames")
        except Timeout:
            pass
        paths = [counter.capture_path(n) for n in numbers]
        frames = [Image.read(path) for path in paths
                  if os.path.exists(path) and os.path.getsize(path)]
        self.ended_early()
        return judge.judged_all(frames)

    def screen_looks(self, window, count):
        """The window on the screen, looked at count times in a row, judged;
        fewer where the display will not give it."""
        looks = []
        for _ in range(count):
            try:
                looks.append(self.x.capture(window))
            except XRefused:
                break
        return judge.judged_all(looks)

    def screen_picture(self, window, patient=True):
        """The window on the screen, judged again until it is right or the
        time is up (when patient; else looked at once): a compositor or a
        remote display may show it a moment later than drawn; then looked at
        again. The looks, in order; None where it could not be read."""
        seen = []

        def exact():
            if not self.alive():
                return True
            seen[:] = self.screen_looks(window, 1) or seen
            return not patient or (seen and not seen[0][1].words)
        try:
            wait_for(exact, DRAW_SECONDS, "the exact picture on the screen")
        except Timeout:
            pass
        self.ended_early()
        if not seen:
            return None
        if not seen[0][1].words:
            seen += self.screen_looks(window, SCREEN_LOOKS - 1)
        return seen

    def frame_rate(self):
        """Frames per second over FPS_SECONDS, or longer, until two frames
        have come, on a stack that presents them seldom."""
        counter = self.program.counter
        before = counter.read()
        time.sleep(FPS_SECONDS)
        try:
            wait_for(lambda: counter.read().frames >= before.frames + 2 or not self.alive(),
                     SLOW_SECONDS, "two frames")
        except Timeout:
            pass
        self.ended_early()
        return frames_per_second(before, counter.read())

    def closed(self, how):
        """Wait for the program to end after a close request sent as how
        says; fail where it does not."""
        try:
            wait_for(lambda: not self.alive(), CLOSE_SECONDS, f"{PROGRAM} to exit")
        except Timeout:
            raise Failed(judge.close_ignored(CLOSE_SECONDS)) from None
        return how

    def server_facts(self):
        """What the OK line says of the server and its OpenGL: vendor,
        release, rendering, renderer and version. glxinfo must answer here:
        the program has just drawn through the same GLX."""
        glx = self.x.glx_info(check=True)
        server = self.x.server_info()[1]
        vendor = field("vendor string", server) or "unknown"
        release = field("vendor release number", server)
        # X.Org servers number their releases 1MMmmppp: 12101007 is 21.1.7.
        xorg = re.match(r"^1(\d{2})(\d{2})(\d{3})$", release)
        if "X.Org" in vendor and xorg:
            release = ".".join(str(int(part)) for part in xorg.groups())
        rendering = "direct" if field("direct rendering", glx).startswith("Yes") else "indirect"
        return dict(server=f"{vendor} {release}", rendering=rendering,
                    renderer=field("OpenGL renderer string", glx),
                    opengl=field("OpenGL version string", glx))
