"""The run's judgements: pure functions of the pictures gathered, with the
oracle's judgement of each, and of numbers. They say what was proven, or
which failure it is and which picture shows it; they ask nothing of X.

A look is an (image, judgement) pair; drawn frames and screen looks are
lists of them, in the order they were taken.
"""

from typing import NamedTuple, Optional

from . import oracle
from .causes import Cause, Failure
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
    return Cause.FLICKERS.found(wrong=wrong, looked=looked, where=where,
                                judgement=judgement.words)


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
        return Wrong(Cause.DRAWS_NOTHING.found())
    if first and first.words:
        return wrong_at(drawn[0], Cause.DRAWN_WRONG.found(judgement=first.words))
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
    return Cause.SHOWN_WRONG.found("between" if drawn else "", judgement=judgement.words)


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
    return wrong_at(wrong[0], Cause.WENT_WRONG.found(where=where, judgement=wrong[0][1].words),
                    where)


def at_exit(failure):
    """The failure of a program that showed the circle and was closed, and
    then ended badly, from why it ended (failure)."""
    if failure.cause is Cause.CRASH:
        return Cause.CRASH_AT_EXIT.found(ended=failure.words, **failure.facts)
    return failure._replace(words=f"the window showed the circle, then {failure.words}")


def closed_early():
    """The failure of a program closed, with status 0, too soon."""
    return Cause.CLOSED_EARLY.found()


def judged_all(seen):
    """Each look judged by the oracle: (image, judgement) pairs."""
    return [(image, oracle.judge(image)) for image in seen]


def no_window(seconds):
    return Cause.NO_WINDOW.found(seconds=seconds)


def never_shown(wm):
    """The failure of a window held unmapped by wm ("" for none), for which
    the program was stopped."""
    return Cause.NEVER_SHOWN.found(wm=wm or "none")


def no_frame(seconds, cover=None):
    """The failure of a window that presented nothing; cover names a window
    above it, where one covers it."""
    return Cause.NO_FRAME.found("covered" if cover else "", seconds=seconds, cover=cover)


def close_failed(how, said):
    """The failure of a close request that could not be sent: how it was
    sent, and what was said."""
    return Cause.CLOSE_FAILED.found(how=how, said=said)


def close_ignored(seconds):
    return Cause.CLOSE_IGNORED.found(seconds=seconds)
