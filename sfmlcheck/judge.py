"""The run's judgements: pure functions of the pictures gathered, with the
oracle's judgement of each, and of numbers. They say what was proven, or
which failure it is and which picture shows it; they ask nothing of X.

A look is an (image, judgement) pair; drawn frames and screen looks are
lists of them, in the order they were taken.
"""

from typing import NamedTuple, Optional

from . import oracle
from .causes import Cause, Failure
from .facts import PROGRAM, TITLE
from .pictures import Image
from .verdict import Step

class Wrong(NamedTuple):
    """A failure, and where it shows: the picture to compare with the exact
    one (none where there is nothing to compare), and which picture is
    wrong: the step it fails."""
    failure: Failure
    image: Optional[Image] = None
    scene: Optional[tuple] = None
    step: Step = Step.DRAWN


class Proven(NamedTuple):
    """What the picture was proven on, in words."""
    on: str


def settled(seen):
    """The looks of the size the last one has: a window being sized may
    show a frame or two drawn for the size before, which is no flicker."""
    size = seen and (seen[-1][0].width, seen[-1][0].height)
    return [pair for pair in seen if (pair[0].width, pair[0].height) == size]


def wrong_at(look, failure, where="drawn"):
    image, judgement = look
    return Wrong(failure, image, judgement.scene, Step(where))


def flickers(where, wrong, looked, judgement):
    """The failure of a picture right on some frames and wrong on others."""
    return Failure(Cause.FLICKERS, f"the picture changes from frame to frame: {wrong} of "
                   f"{looked} frames {where} differ from the exact picture, as a driver that "
                   f"presents a stale buffer now and then shows it ({judgement.words}); "
                   + Cause.FLICKERS.advice())


def flickering(where, seen):
    """Wrong where some of the looks are right and others wrong, or None."""
    wrong = [look for look in seen if look[1].words]
    if wrong and len(wrong) < len(seen):
        return wrong_at(wrong[0], flickers(where, len(wrong), len(seen), wrong[0][1]), where)
    return None


def first_looks(drawn, screen, cover=None):
    """The verdict on the first drawn frames and looks at the screen: Proven,
    with what it was proven on, or Wrong. screen is None where the screen
    could not be read; cover names a window that covers the program's,
    where one does."""
    drawn, screen = settled(drawn), screen and settled(screen)
    for where, seen in (("drawn", drawn), ("shown", screen or [])):
        flicker = flickering(where, seen)
        if flicker:
            return flicker
    first = drawn[0][1] if drawn else None
    judgement = screen[-1][1] if screen else None
    if (first and first.black) or (first is None and judgement and judgement.black):
        return Wrong(Failure(Cause.DRAWS_NOTHING, "the window opened but shows no circle, only "
                             "black: the OpenGL driver takes the drawing but draws nothing (as "
                             "seen with WSL's D3D12 driver and some remote vendor drivers); "
                             + Cause.DRAWS_NOTHING.advice()))
    if first and first.words:
        return wrong_at(drawn[0], Failure(Cause.DRAWN_WRONG, "the OpenGL driver drew the "
                                          f"picture wrongly: {first.words}; "
                                          + Cause.DRAWN_WRONG.advice()))
    if judgement is None:
        return Proven("the drawn frame (the screen could not be read)")
    if judgement.words and drawn and cover:
        # The screen shows the other window there, not what was drawn.
        return Proven(f"the drawn frame (the window {cover} covers it on the screen)")
    if judgement.words:
        return wrong_at(screen[-1], shown_wrong(judgement, bool(drawn)), "shown")
    return Proven("the screen and the drawn frame" if drawn else "the screen")


def shown_wrong(judgement, drawn):
    """The failure of a screen that shows the picture wrongly; drawn, where
    the frames drawn were right."""
    if drawn:
        return Failure(Cause.SHOWN_WRONG, "the program drew the picture right, but the screen "
                       f"shows something else: {judgement.words}; something between the "
                       "drawing and the screen changes it (a compositor, the remote display or "
                       "the driver's presentation): " + Cause.SHOWN_WRONG.advice("between"))
    return Failure(Cause.SHOWN_WRONG, f"the window does not show the picture: {judgement.words}; "
                   + Cause.SHOWN_WRONG.advice())


def later_looks(frames, looks):
    """The verdict on the drawn frames and screen looks taken once the
    picture was proven: None where all are right, else Wrong, flickering
    where some are right."""
    frames, looks = settled(frames), settled(looks)
    wrong = [seen for seen in frames + looks if seen[1].words]
    if not wrong:
        return None
    where = "drawn" if any(seen[1].words for seen in frames) else "shown"
    if len(wrong) < len(frames + looks):
        return wrong_at(wrong[0], flickers(where, len(wrong), len(frames + looks), wrong[0][1]),
                        where)
    return wrong_at(wrong[0], Failure(Cause.WENT_WRONG, "the picture was right at first, then "
                                      f"{where} wrongly: {wrong[0][1].words}; "
                                      + Cause.WENT_WRONG.advice()), where)


def at_exit(failure):
    """The failure of a program that showed the circle and was closed, and
    then ended badly, from why it ended (failure)."""
    if failure.cause is Cause.CRASH:
        return Failure(Cause.CRASH_AT_EXIT, "the window, the drawing and the close all worked, "
                       f"but then {failure.words} as it exited: a known fault of some OpenGL "
                       "drivers as they unload (WSL's GPU driver among them); "
                       + Cause.CRASH_AT_EXIT.advice())
    return Failure(failure.cause, f"the window showed the circle, then {failure.words}")


def closed_early():
    """The failure of a program closed, with status 0, too soon."""
    return Failure(Cause.CLOSED_EARLY, "the window was closed before its picture was proven; "
                   + Cause.CLOSED_EARLY.advice())


def judged_all(seen):
    """Each look judged by the oracle: (image, judgement) pairs."""
    return [(image, oracle.judge(image)) for image in seen]


def no_window(seconds):
    return Failure(Cause.NO_WINDOW, f'no window titled "{TITLE}" appeared within {seconds} s')


def never_shown(wm):
    """The failure of a window held unmapped by wm ("" for none), for which
    the program was stopped."""
    return Failure(Cause.NEVER_SHOWN, "the window was made but never shown: the window manager "
                   f"({wm or 'none'}) or a proxy between it and the screen holds it unmapped "
                   f"(xpra does this while no client is attached), and {PROGRAM} waits for it "
                   f"to be shown, so it was ended here; {Cause.NEVER_SHOWN.advice()}")


def no_frame(seconds, cover=None):
    """The failure of a window that presented nothing; cover names a window
    above it, where one covers it."""
    words = f"the window opened but no frame was presented within {seconds} s"
    if cover:
        words += (f"; the window {cover} covers it, and a window covered whole may present "
                  f"nothing: {Cause.NO_FRAME.advice('covered')}")
    return Failure(Cause.NO_FRAME, words)


def close_failed(how, said):
    """The failure of a close request that could not be sent: how it was
    sent, and what was said."""
    return Failure(Cause.CLOSE_FAILED, f"{how} could not send the close request ({said})")


def close_ignored(seconds):
    return Failure(Cause.CLOSE_IGNORED, f"{PROGRAM} was still running {seconds} s after the "
                   "close request")
