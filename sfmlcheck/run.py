"""scripts/run's flow, once scripts/run has installed and built what it needs:
run the program on the user's display or a private one, judge every pixel of
the window and of the frame the program drew before it was presented, count
its frames per second from outside it, close it or wait for it to be closed,
and say in one line what was proven, or what went wrong and what to do; the
same facts go to a JSON file.

  python3 -m sfmlcheck.run --program PATH --counter LIB --output DIR
      [--headless] [--close] [--sfml-source system|built|given] [--system-sfml VERSION]
"""

import argparse
import json
import os
import re
import subprocess
import sys
import time
from contextlib import ExitStack

from . import oracle
from .diagnosis import (DRIVER_OVERRIDES, SOFTWARE, Facts, Failure, explain, field, no_answer,
                        off_screen, runaway, split_display, worth_showing)
from .facts import CLOSE_KEYS, PROGRAM, TITLE
from .pictures import Image
from .procs import Timeout, stop_process, wait_for
from .program import RUNAWAY_MIB, Program, frames_per_second
from .session import SOCKETS, XSession

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
# Below this many frames per second, a person sees the window stutter.
SMOOTH_FPS = 10
# How long the display may take to answer a first or a second question: a
# server that says nothing for that long has stopped answering.
ANSWER_SECONDS = 15
# Where WSLg's server has its socket files.
WSLG_SOCKETS = "/mnt/wslg/.X11-unix"


def say(words):
    print(f"==> {words}", file=sys.stderr, flush=True)


class Failed(Exception):
    """The run failed, for the reason given."""

    def __init__(self, failure):
        super().__init__(failure.words)
        self.failure = failure


def settled(seen):
    """The pictures of the size the last one has: a window being sized may
    show a frame or two drawn for the size before, which is no flicker."""
    size = seen and (seen[-1][0].width, seen[-1][0].height)
    return [pair for pair in seen if (pair[0].width, pair[0].height) == size]


def flickers(where, wrong, looked, judgement):
    """The failure of a picture right on some frames and wrong on others."""
    return Failure("flickers", f"the picture changes from frame to frame: {wrong} of {looked} "
                   f"frames {where} differ from the exact picture, as a driver that presents a "
                   f"stale buffer now and then shows it ({judgement.words}); {SOFTWARE}")


def wayland_without_x():
    """The failure of a desktop session that has Wayland but no X server."""
    session = (os.environ.get("XDG_CURRENT_DESKTOP") or os.environ.get("XDG_SESSION_DESKTOP")
               or "with WAYLAND_DISPLAY=" + os.environ.get("WAYLAND_DISPLAY", ""))
    return Failure("wayland-without-x", f"the Wayland session ({session}) has no X server: "
                   "DISPLAY is not set, and SFML 2 draws through X11 only: turn on or install "
                   "Xwayland (Debian's package xwayland; GNOME and KDE start it by themselves "
                   "once it is installed), or check on a private display with scripts/run "
                   "--headless")


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


def sfml_version(program):
    """The library's release the program runs with, read off the library it
    loads ("2" where it loads none: a static build)."""
    result = subprocess.run(["ldd", program], capture_output=True, text=True, check=False)
    # The path may hold spaces (an SFML built in "My Projects"); the load
    # address closes it.
    library = re.search(r"libsfml-graphics\S* => (.+?) \(0x[0-9a-f]+\)$", result.stdout, re.M)
    found = library and re.search(r"\.so\.(\d[\d.]*)$", os.path.realpath(library.group(1)))
    return found.group(1) if found else "2"


class Run:
    """One run: the facts gathered so far, and where its files go."""

    def __init__(self, args):
        self.args = args
        self.output = args.output
        self.verdict_path = os.path.join(self.output, f"{PROGRAM}-verdict.json")
        self.screenshot = os.path.join(self.output, f"{PROGRAM}-window.png")
        self.drawn_picture = os.path.join(self.output, f"{PROGRAM}-drawn.png")
        self.comparison = os.path.join(self.output, f"{PROGRAM}-comparison.png")
        for path in (self.verdict_path, self.screenshot, self.drawn_picture, self.comparison):
            if os.path.exists(path):
                os.remove(path)
        self.sfml = sfml_version(args.program)
        self.facts = {"sfml": self.sfml, "sfml_source": args.sfml_source}
        self.program = None
        self.x = None

    def report(self, verdict, cause, failure=None):
        facts = {"verdict": verdict, "cause": cause, **self.facts, "failure": failure}
        try:
            with open(self.verdict_path, "w") as f:
                json.dump(facts, f, indent=2, ensure_ascii=False)
                f.write("\n")
        except OSError:
            say(f"Could not write {self.verdict_path}")

    def fail(self, failure):
        raise Failed(failure)

    def failed(self, failure):
        """Say why the run failed, and what the program said."""
        cause = failure.words
        if os.path.exists(self.comparison):
            cause += f"; expected, found and their difference: {self.comparison}"
        self.report("FAILED", cause, failure.id)
        print(f"FAILED: {cause}", file=sys.stderr)
        said = worth_showing(self.program.stderr()) if self.program else []
        if said:
            print(f"{PROGRAM} said:", file=sys.stderr)
            for line in said:
                print(f"  {line}", file=sys.stderr)
        return 1

    def unanswered(self, error):
        """The failure of an X client that had no answer in time: a second,
        short question tells a server that has stopped from a client that hung."""
        for note in getattr(error, "__notes__", ()):
            say(note)
        return no_answer(self.x.display, os.path.basename(error.cmd[0]), round(error.timeout),
                         self.x.answers(ANSWER_SECONDS))

    def alive(self):
        return self.program.running()

    def status(self):
        return self.program.proc.wait()

    def explain(self):
        """Why the program ended, from the display's and the program's words."""
        x = self.x
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
            display=x.display, status=self.status(), server_answered=answered, server=server,
            screens=screens, stderr=self.program.stderr(),
            indirect=os.environ.get("LIBGL_ALWAYS_INDIRECT", ""), sfml=self.sfml,
            ssh=bool(os.environ.get("SSH_CONNECTION")), overrides=" ".join(
                f"{name}={os.environ[name]}" for name in DRIVER_OVERRIDES
                if os.environ.get(name)), **found))

    def ended_early(self):
        """When the program is gone before its picture was proven, fail, and
        say why; a close with status 0 only means it was closed too soon."""
        if self.alive():
            return
        if self.status() == 0:
            self.fail(Failure("closed-early", "the window was closed before its picture was "
                              "proven; run again and close it once told to"))
        self.fail(self.explain())

    def main(self, stack):
        args = self.args
        if not args.headless and not os.environ.get("DISPLAY"):
            self.fail(wayland_without_x())
        if args.headless:
            say("Starting a private X server (Xvfb) with openbox")
            self.x = x = stack.enter_context(XSession(timeout=SHOW_SECONDS))
        else:
            self.x = x = stack.enter_context(XSession(existing=os.environ["DISPLAY"]))
        self.facts["display"] = x.display
        wm = x.window_manager_name(timeout=ANSWER_SECONDS)
        self.facts["window_manager"] = wm or "none"
        close = args.close
        if not wm and x.server_info()[0]:
            # Without a window manager nobody can close the window, so it is
            # closed here once it is proven, as xvfb-run users expect.
            say(f"No window manager runs on {x.display}, so the window has no title bar or "
                "close button: it will be closed for you with a close request, as a window "
                "manager sends it")
            close = True

        say(f"Running {PROGRAM} on {x.display}")
        self.program = program = Program(x, args.program, args.counter, env=dict(x.env),
                                         timeout=SHOW_SECONDS)
        stack.callback(stop_process, program.proc)
        window = self.find_window(wm)
        # Raised at once, so that no other window covers it: a window that is
        # covered whole may present no frame at all.
        if wm:
            x.raise_window(window)
        self.first_frame(window, wm)
        drawn = self.drawn_frames()
        # Frames drawn wrongly decide the verdict whatever the screen shows:
        # then one look at it is enough.
        screen = self.screen_picture(window, patient=not drawn or any(
            not judgement.words for _, judgement in settled(drawn)))
        judged = self.verdict_on(window, drawn, screen)
        say(f"The picture is exact on {judged}; saved to {self.output}")

        say(f"Counting frames for {FPS_SECONDS} s")
        fps = self.frame_rate()
        # Right at first is not right all along: the same again, at the end.
        self.still_right(window, bool(drawn), screen is not None and not screen[-1][1].words)

        closed_by = self.close(window, wm, close)
        status = self.status()
        say(f"{PROGRAM} exited with status {status}")
        if status != 0:
            failure = self.explain()
            if failure.id == "crash":
                self.fail(Failure("crash-at-exit", f"the window, the drawing and the close "
                                  f"all worked, but then {failure.words} as it exited: a "
                                  "known fault of some OpenGL drivers as they unload (WSL's "
                                  f"GPU driver among them); {SOFTWARE}"))
            self.fail(Failure(failure.id, f"the window showed the circle, then {failure.words}"))
        self.proven(judged, fps, closed_by, wm)
        return 0

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

    def still_right(self, window, drawn, screen):
        """Judge the drawn frames, and the screen where it was right, again:
        fail if the picture went wrong, or changes from frame to frame."""
        frames = settled(self.drawn_frames(quiet=True) if drawn else [])
        looks = settled(self.screen_looks(window, SCREEN_LOOKS) if screen else [])
        wrong = [seen for seen in frames + looks if seen[1].words]
        if not wrong:
            return
        image, judgement = wrong[0]
        oracle.comparison(image, judgement.scene).save(self.comparison)
        where = "drawn" if any(seen[1].words for seen in frames) else "shown"
        if len(wrong) < len(frames + looks):
            self.fail(flickers(where, len(wrong), len(frames + looks), judgement))
        self.fail(Failure("went-wrong", f"the picture was right at first, then {where} wrongly: "
                          f"{judgement.words}; {SOFTWARE}"))

    def find_window(self, wm):
        x, program = self.x, self.program
        held_since = None
        since = time.monotonic()

        def shown():
            nonlocal held_since
            window = x.program_window(program.proc.pid)
            if window or not self.alive():
                return window or "ended"
            if program.ran_away():
                return "runaway"
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
            self.fail(Failure("no-window", f'no window titled "{TITLE}" appeared within '
                              f"{SHOW_SECONDS} s"))
        if window == "held":
            stop_process(program.proc)
            self.fail(Failure("never-shown", "the window was made but never shown: the window "
                              f"manager ({wm or 'none'}) or a proxy between it and the screen "
                              "holds it unmapped (xpra does this while no client is attached), "
                              f"and {PROGRAM} waits for it to be shown, so it was ended here; "
                              "attach a client or view the display, or try another window "
                              "manager"))
        if window == "runaway":
            stop_process(program.proc)
            self.fail(runaway(os.environ.get("LIBGL_ALWAYS_INDIRECT", ""), RUNAWAY_MIB // 1024))
        if window == "ended":
            self.fail(self.explain())
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
            cause = f"the window opened but no frame was presented within {SHOW_SECONDS} s"
            cover = self.x.covering_window(window)
            if cover:
                cause += (f"; the window {cover} covers it, and a window covered whole may "
                          "present nothing: move that window away")
            self.fail(Failure("no-frame", cause))
        if isinstance(lost, Failure):
            self.fail(lost)
        self.ended_early()

    def drawn_frames(self, quiet=False):
        """The frames the program drew, DRAWN_FRAMES in a row, each read back
        by the counter before it was presented: what the library and the
        driver made of the drawing, with their judgements; [] where none
        could be read back. The first of them is saved."""
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
        frames = [(image, oracle.judge(image)) for image in frames]
        if frames and not quiet:
            frames[0][0].save(self.drawn_picture)
            self.facts["drawn_picture"] = self.drawn_picture
        elif not quiet:
            say("The drawn frame could not be read back; judging the screen alone")
        self.ended_early()
        return frames

    def screen_looks(self, window, count):
        """The window on the screen, looked at count times in a row, with
        the judgements; fewer where it cannot be read."""
        looks = []
        for _ in range(count):
            try:
                image = self.x.capture(window)
            except (AssertionError, OSError, ValueError):
                break
            looks.append((image, oracle.judge(image)))
        return looks

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
        seen[0][0].save(self.screenshot)
        self.facts["screenshot"] = self.screenshot
        if not seen[0][1].words:
            seen += self.screen_looks(window, SCREEN_LOOKS - 1)
        return seen

    def verdict_on(self, window, drawn, screen):
        """What the picture was proven on; or the failure, worded by what
        was right and what was wrong. drawn and screen are (image,
        judgement) pairs, screen's last look last."""
        drawn, screen = settled(drawn), screen and settled(screen)
        for where, seen in (("drawn", drawn), ("shown", screen or [])):
            wrong = [pair for pair in seen if pair[1].words]
            if wrong and len(wrong) < len(seen):
                oracle.comparison(wrong[0][0], wrong[0][1].scene).save(self.comparison)
                self.fail(flickers(where, len(wrong), len(seen), wrong[0][1]))
        first = drawn[0][1] if drawn else None
        judgement = screen[-1][1] if screen else None
        if (first and first.black) or (first is None and judgement and judgement.black):
            self.fail(Failure("draws-nothing", "the window opened but shows no circle, only "
                              "black: the OpenGL driver takes the drawing but draws nothing "
                              "(as seen with WSL's D3D12 driver and some remote vendor "
                              f"drivers); {SOFTWARE}"))
        if first and first.words:
            oracle.comparison(drawn[0][0], first.scene).save(self.comparison)
            self.fail(Failure("drawn-wrong", "the OpenGL driver drew the picture wrongly: "
                              f"{first.words}; {SOFTWARE}"))
        if judgement is None:
            return "the drawn frame (the screen could not be read)"
        if judgement.words:
            cover = self.x.covering_window(window) if drawn else None
            if cover:
                # The screen shows the other window there, not what was drawn.
                return f"the drawn frame (the window {cover} covers it on the screen)"
            oracle.comparison(screen[-1][0], judgement.scene).save(self.comparison)
            if drawn:
                self.fail(Failure("shown-wrong", "the program drew the picture right, but the "
                                  f"screen shows something else: {judgement.words}; something "
                                  "between the drawing and the screen changes it (a "
                                  "compositor, the remote display or the driver's "
                                  "presentation): try without the compositor, or with "
                                  "LIBGL_ALWAYS_SOFTWARE=1"))
            self.fail(Failure("shown-wrong", "the window does not show the picture: "
                              f"{judgement.words}; {SOFTWARE}"))
        return "the screen and the drawn frame" if drawn else "the screen"

    def close(self, window, wm, close):
        """Close the window, or wait for a person to; who closed it."""
        x = self.x
        if self.args.headless and not close:
            say("Sending a close request through the window manager")
            try:
                x.close_window(window)
            except AssertionError:
                self.fail(Failure("close-failed", "wmctrl could not send the close request"))
            closed_by = "the window manager"
        elif close:
            say("Sending the window a close request, as a window manager does")
            try:
                x.send_close_request(window)
            except OSError:
                self.fail(Failure("close-failed", "could not send the close request"))
            closed_by = "a close request sent to the window"
        else:
            key = CLOSE_KEYS.get(wm.lower())
            if key:
                say(f"The window shows the circle; close it to finish: {wm} draws no close "
                    f"button, so use its close key, {key}")
            else:
                say("The window shows the circle; close it to finish")
            self.program.proc.wait()
            return "you"
        try:
            wait_for(lambda: not self.alive(), CLOSE_SECONDS, f"{PROGRAM} to exit")
        except Timeout:
            self.fail(Failure("close-ignored", f"{PROGRAM} was still running {CLOSE_SECONDS} s "
                              "after the close request"))
        return closed_by

    def proven(self, judged, fps, closed_by, wm):
        """What was proven, in one line, and in the JSON file."""
        x = self.x
        glx = x.glx_info()
        server = x.server_info()[1]
        vendor = field("vendor string", server) or "unknown"
        release = field("vendor release number", server)
        # X.Org servers number their releases 1MMmmppp: 12101007 is 21.1.7.
        xorg = re.match(r"^1(\d{2})(\d{2})(\d{3})$", release)
        if "X.Org" in vendor and xorg:
            release = ".".join(str(int(part)) for part in xorg.groups())
        rendering = "direct" if field("direct rendering", glx).startswith("Yes") else "indirect"
        renderer = field("OpenGL renderer string", glx)
        gl_version = field("OpenGL version string", glx)
        # Whole frames are enough for a smooth stack; a slow one gets a decimal.
        fps = round(fps) if fps >= SMOOTH_FPS else round(fps, 1)
        self.facts.update(server=f"{vendor} {release}", rendering=rendering,
                          renderer=renderer, opengl=gl_version, frames_per_second=fps,
                          judged=judged, closed_by=closed_by)
        self.report("OK", "")
        proven = f"SFML {self.sfml}"
        if self.args.sfml_source == "built":
            proven += " (built from source; " + (
                f"this system's package is SFML {self.args.system_sfml})"
                if self.args.system_sfml else "this system has no SFML package)")
        where = f"a private Xvfb display {x.display}" if self.args.headless else x.display
        rate = f"{fps} frames per second"
        if fps < SMOOTH_FPS:
            rate = (f"only {rate}: slow (a software renderer on a busy machine, a remote "
                    "display over a slow link, or a window the driver throttles while it is "
                    "hidden)")
        print(f"OK: {proven} works on {where}: X server {vendor} {release}, window manager "
              f"{wm or 'none'}, {rendering} rendering by {renderer} with OpenGL {gl_version}, "
              f"{rate}; exact picture on {judged}, window captured to "
              f"{self.screenshot}, closed by {closed_by} with status 0; verdict in "
              f"{self.verdict_path}.", flush=True)


def parse(argv):
    parser = argparse.ArgumentParser(prog="sfmlcheck.run")
    parser.add_argument("--program", required=True)
    parser.add_argument("--counter", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--headless", action="store_true")
    parser.add_argument("--close", action="store_true")
    parser.add_argument("--sfml-source", choices=("system", "built", "given"), default="given")
    parser.add_argument("--system-sfml", default="")
    return parser.parse_args(argv)


def main(argv):
    run = Run(parse(argv))
    with ExitStack() as stack:
        try:
            return run.main(stack)
        except Failed as failed:
            return run.failed(failed.failure)
        except AssertionError as error:
            # A private display that did not start, say.
            return run.failed(Failure("no-x-server", str(error)))
        except subprocess.TimeoutExpired as error:
            return run.failed(run.unanswered(error) if run.x
                              else Failure("no-x-server", str(error)))
        except KeyboardInterrupt:
            return 130


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
