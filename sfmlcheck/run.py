"""scripts/run's flow, once scripts/run has installed and built what it needs:
run the program on the user's display or a private one, judge every pixel of
the window and of the frame the program drew before it was presented, count
its frames per second from outside it, close it or wait for it to be closed,
and say in one line what was proven, or what went wrong and what to do; the
same facts go to a JSON file. A run gathers (gather), judges (judge) and
reports (report); this module keeps the order of the steps.
"""

import os
import re
import socket
import subprocess
import sys
from contextlib import ExitStack

from . import judge, options
from .causes import Cause, CheckerError, Failed, ToolFailed, checker_error
from .diagnosis import no_answer, worth_showing
from .facts import CLOSE_KEYS, PROGRAM
from .gather import FPS_SECONDS, SCREEN_LOOKS, SHOW_SECONDS, Watch
from .procs import stop_process
from .program import Program
from .report import Report, say
from .session import UserDisplay, XSession
from .verdict import Proof, Step
from .writers import rate
from .xquery import XRefused

# How long the display may take to answer a first or a second question: a
# server that says nothing for that long has stopped answering.
ANSWER_SECONDS = 15
# How long a program may take to end once its display is gone.
GONE_SECONDS = 5

def wayland_without_x():
    """The failure of a desktop session that has Wayland but no X server."""
    session = (os.environ.get("XDG_CURRENT_DESKTOP") or os.environ.get("XDG_SESSION_DESKTOP")
               or "with WAYLAND_DISPLAY=" + os.environ.get("WAYLAND_DISPLAY", ""))
    return Cause.WAYLAND_WITHOUT_X.found(session=session)


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
    """One run, step by step: what it has proven (proof) and gathered
    (facts) so far, and its files (report)."""

    def __init__(self, args, report):
        self.args, self.report = args, report
        self.sfml = sfml_version(args.program)
        self.proof = Proof()
        self.facts = dict(sfml=self.sfml, sfml_source=args.sfml_source)
        if args.built is None:
            self.proof.skipped(Step.BUILD, "no build in this run: the program was given")
        else:
            self.proof.passed(Step.BUILD)
            self.proof.timed(Step.BUILD, args.built)
        self.x = self.watch = None
        self.closing = False

    def main(self, stack):
        """The steps, in order; each ends the run (Failed) where it fails."""
        self.x, wm, close = self.open_display(stack)
        watch = self.start_program(stack)
        window = watch.window(wm)
        # Raised at once, so that no other window covers it: a window that is
        # covered whole may present no frame at all.
        if wm:
            self.x.raise_window(window)
        watch.first_frame(window, wm)
        self.proof.passed(Step.WINDOW)
        judged, looked = self.first_judgement(window)
        say(f"The picture is exact on {judged}; saved to {self.report.folder}")
        say(f"Counting frames for {FPS_SECONDS} s")
        fps = watch.frame_rate()
        # Right at first is not right all along: the same again, at the end.
        self.later_judgement(window, *looked)
        self.proof.passed(Step.RATE)
        self.closing = True
        closed_by = self.close(window, wm, close)
        self.proof.passed(Step.CLOSE)
        status = watch.program.proc.wait()
        say(f"{PROGRAM} exited with status {status}")
        if status != 0:
            raise Failed(judge.at_exit(watch.explain()))
        self.proof.passed(Step.EXIT)
        return self.proven(judged, fps, closed_by)

    def open_display(self, stack):
        """The display to run on, its window manager's name ("" for none),
        and whether the window is to be closed here."""
        args = self.args
        if not args.headless and not os.environ.get("DISPLAY"):
            raise Failed(wayland_without_x())
        if args.headless:
            say("Starting a private X server (Xvfb) with openbox")
            x = stack.enter_context(XSession(timeout=SHOW_SECONDS))
        else:
            x = stack.enter_context(UserDisplay(os.environ["DISPLAY"]))
        self.x = x
        self.facts.update(display=x.display, private_display=bool(args.headless))
        wm = x.window_manager_name(timeout=ANSWER_SECONDS)
        x.hold(ANSWER_SECONDS)
        self.facts["window_manager"] = wm or "none"
        close = args.close
        if not wm and x.server_info()[0]:
            # Without a window manager nobody can close the window, so it is
            # closed here once it is proven, as xvfb-run users expect.
            say(f"No window manager runs on {x.display}, so the window has no title bar or "
                "close button: it will be closed for you with a close request, as a window "
                "manager sends it")
            close = True
        return x, wm, close

    def start_program(self, stack):
        say(f"Running {PROGRAM} on {self.x.display}")
        program = Program(self.x, self.args.program, self.args.counter, env=dict(self.x.env))
        stack.callback(stop_process, program.proc)
        self.watch = Watch(self.x, program, self.sfml)
        return self.watch

    def fail(self, wrong):
        """End the run on a wrong picture, with its comparison saved."""
        saved = self.report.save_comparison(wrong)
        self.facts.update(saved)
        self.proof.wrong(wrong.step)
        failure = wrong.failure
        if saved:
            failure = failure._replace(words=f"{failure.words}; expected, found and their "
                                       f"difference: {saved['comparison']}")
        raise Failed(failure)

    def first_judgement(self, window):
        """The first drawn frames and looks at the screen, saved and judged:
        what the picture was proven on, and whether frames could be read
        back and the screen was right, to be judged again later."""
        watch = self.watch
        drawn = watch.drawn_frames()
        if drawn:
            self.facts.update(self.report.save_drawn(drawn[0][0]))
        else:
            say("The drawn frame could not be read back; judging the screen alone")
        # Frames drawn wrongly decide the verdict whatever the screen shows:
        # then one look at it is enough.
        screen = watch.screen_picture(window, patient=not drawn or any(
            not judgement.words for _, judgement in judge.settled(drawn)))
        if screen:
            self.facts.update(self.report.save_screen(screen[0][0]))
        cover = self.x.covering_window(window) if drawn and screen and screen[-1][1].words \
            else None
        outcome = judge.first_looks(drawn, screen, cover)
        if isinstance(outcome, judge.Wrong):
            self.fail(outcome)
        self.prove_pictures(outcome, drawn, screen)
        return outcome.on, (bool(drawn), screen is not None and not screen[-1][1].words)

    def prove_pictures(self, proven, drawn, screen):
        """Which pictures the proof stands on; the other passed over, and why."""
        if drawn:
            self.proof.passed(Step.DRAWN)
        else:
            self.proof.skipped(Step.DRAWN, "the drawn frame could not be read back")
        if screen and not screen[-1][1].words:
            self.proof.passed(Step.SHOWN)
        else:
            self.proof.skipped(Step.SHOWN, f"proven on {proven.on}")

    def later_judgement(self, window, drawn, screen):
        """The drawn frames, where they could be read, and the screen, where
        it was right, judged again."""
        frames = self.watch.drawn_frames() if drawn else []
        looks = self.watch.screen_looks(window, SCREEN_LOOKS) if screen else []
        wrong = judge.later_looks(frames, looks)
        if wrong:
            self.fail(wrong)

    def close(self, window, wm, close):
        """Close the window, or wait for a person to; who closed it."""
        x, watch = self.x, self.watch
        if self.args.headless and not close:
            say("Sending a close request through the window manager")
            try:
                x.close_window(window)
            except XRefused as error:
                raise Failed(judge.close_failed("wmctrl", error.said)) from None
            return watch.closed("the window manager")
        if close:
            say("Sending the window a close request, as a window manager does")
            try:
                x.send_close_request(window)
            except OSError as error:
                raise Failed(judge.close_failed("Xlib", str(error))) from None
            return watch.closed("a close request sent to the window")
        key = CLOSE_KEYS.get(wm.lower())
        if key:
            say(f"The window shows the circle; close it to finish: {wm} draws no close "
                f"button, so use its close key, {key}")
        else:
            say("The window shows the circle; close it to finish")
        watch.program.proc.wait()
        return "you"

    def proven(self, judged, fps, closed_by):
        """The verdict of a run that proved every step."""
        self.facts.update(**self.watch.server_facts(), frames_per_second=rate(fps)[0],
                          judged=judged, closed_by=closed_by)
        if self.args.system_sfml:
            self.facts["system_sfml"] = self.args.system_sfml
        return self.verdict()

    def verdict(self, failure=None):
        return self.proof.verdict(failure, self.facts, socket.gethostname())

    def failed(self, failure):
        """The verdict of a run that failed, with what the program said."""
        said = self.said()
        if said:
            self.facts["said"] = said
        return self.verdict(failure)

    def checker_failed(self, error):
        """The verdict of a run whose checker could not do its job."""
        traceback = self.report.save_traceback(error)
        self.facts["traceback"] = traceback
        if isinstance(error, ToolFailed):
            self.facts["command"] = error.argv
        return self.verdict(checker_error(error, self.x.display if self.x else "", traceback))

    # Where a step could not finish: the machine's fault, or the checker's.

    def unanswered(self, error):
        """The failure of an X client that had no answer in time: a second,
        short question tells a server that has stopped from a client that hung."""
        for note in getattr(error, "__notes__", ()):
            say(note)
        if self.x is None:
            return Cause.NO_X_SERVER.found("timed-out", said=str(error))
        return no_answer(self.x.display, os.path.basename(error.cmd[0]), round(error.timeout),
                         self.x.answers(ANSWER_SECONDS))

    def tool_failed(self, error):
        """The failure where a tool failed: where the program has ended before
        its close, or the display has gone, that is the cause; else a tool
        the display refused, or one that failed on its own, is the checker's
        trouble (None)."""
        watch = self.watch
        if watch is None:
            if isinstance(error, XRefused):
                return Cause.NO_X_SERVER.found("refused", said=str(error))
            return None
        try:
            gone = not self.x.answers(ANSWER_SECONDS)
        except CheckerError:
            return None
        if gone or (not watch.alive() and not self.closing):
            return watch.explain(wait=GONE_SECONDS)
        return None

    def said(self):
        return worth_showing(self.watch.program.stderr()) if self.watch else []


def main(argv, prog=None, installed=None):
    args = options.parse(argv, prog, installed)
    report = Report(args.output, args.json, args.junit,
                    github=os.environ.get("GITHUB_ACTIONS") == "true",
                    project_dir=os.environ.get("CI_PROJECT_DIR") or None)
    run = Run(args, report)
    with ExitStack() as stack:
        return report.finish(checked(run, stack))


def checked(run, stack):
    """The run's verdict, however it ends: where a step failed, the
    machine's or the checker's failure, never one for the other."""
    try:
        return run.main(stack)
    except Failed as failed:
        return run.failed(failed.failure)
    except subprocess.TimeoutExpired as error:
        return run.failed(run.unanswered(error))
    except (XRefused, CheckerError) as error:
        failure = run.tool_failed(error)
        return run.failed(failure) if failure else run.checker_failed(error)
    except KeyboardInterrupt:
        sys.exit(130)
    except Exception as error:  # a fault of the checker's own: said as such
        return run.checker_failed(error)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
