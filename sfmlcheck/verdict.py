"""A run's verdict as one value: the outcome of each step, the failure (a
cause of the catalogue, worded) or none, and the facts gathered. The run
builds it with a Proof as it goes; the writers (writers) read nothing else.
It goes to JSON and comes back from it whole, so that a fleet reads each
host's verdict into the same value.
"""

import enum
import time
import types
from dataclasses import dataclass, field, replace
from typing import Mapping, Optional, Tuple

from .causes import Cause, Failure

# The JSON verdict's layout: raised when a field changes meaning or goes.
# Fields may be added without raising it; a reader takes what it knows.
SCHEMA = 1
# The exit statuses: proven; the machine's stack failed; the checker could
# not do its job, or was called wrongly.
OK_STATUS, FAILED_STATUS, CHECKER_STATUS = 0, 1, 2
# Why a step has no outcome of its own.
NOT_REACHED = "not reached: the run ended before it"


class Step(enum.Enum):
    """What a run proves, in order: its identifier (the value) and title."""

    def __new__(cls, identifier, title):
        step = object.__new__(cls)
        step._value_ = identifier
        step.title = title
        return step

    BUILD = ("build", "the build")
    WINDOW = ("window", "the window")
    DRAWN = ("drawn", "the picture drawn")
    SHOWN = ("shown", "the picture shown")
    RATE = ("rate", "the frame rate")
    CLOSE = ("close", "the close")
    EXIT = ("exit", "the exit")


class Outcome(enum.Enum):
    PASSED = "passed"
    FAILED = "failed"  # the machine's stack failed in this step
    ERROR = "error"  # the checker could not do its job in this step
    SKIPPED = "skipped"


@dataclass(frozen=True)
class StepResult:
    outcome: Outcome
    seconds: float = 0.0
    why: str = ""  # why a step was skipped


def frozen(mapping):
    return types.MappingProxyType(dict(mapping))


@dataclass(frozen=True)
class Verdict:
    """A run's verdict. steps holds every Step, in order."""
    steps: Tuple[Tuple[Step, StepResult], ...]
    failure: Optional[Failure] = None
    facts: Mapping[str, object] = field(default_factory=lambda: frozen({}))
    started: str = ""  # when, in local time (ISO 8601, to the second)
    seconds: float = 0.0
    hostname: str = ""

    @property
    def ok(self):
        return self.failure is None

    @property
    def status(self):
        if self.failure is None:
            return OK_STATUS
        return CHECKER_STATUS if self.failure.cause is Cause.CHECKER_ERROR else FAILED_STATUS

    @property
    def word(self):
        """The verdict's own word: OK or FAILED."""
        return "OK" if self.ok else "FAILED"

    def step(self, step):
        return dict(self.steps)[step]

    def with_facts(self, **facts):
        return replace(self, facts=frozen({**self.facts, **facts}))

    def to_json(self):
        """The JSON object: the verdict, its sentence, its facts and the
        failure's identifier, then each step and the run's times."""
        return {"schema": SCHEMA, "verdict": self.word,
                "cause": self.failure.words if self.failure else "", **self.facts,
                "failure": self.failure.id if self.failure else None,
                "steps": {step.value: {"outcome": result.outcome.value,
                                       "seconds": round(result.seconds, 3),
                                       **({"why": result.why} if result.why else {})}
                          for step, result in self.steps},
                "started": self.started, "seconds": round(self.seconds, 3),
                "hostname": self.hostname}

    @classmethod
    def from_json(cls, data):
        """The verdict a JSON object holds, of this schema or an earlier one
        (which had no steps: each is then taken from the verdict's word).
        ValueError where it is no verdict: not an object, an unknown word
        or failure, or a schema of a later release."""
        if not isinstance(data, dict):
            raise ValueError(f"a verdict is a JSON object, not {type(data).__name__}")
        if not isinstance(data.get("schema"), int) or data["schema"] > SCHEMA:
            raise ValueError(f"schema {data.get('schema')!r} is not one this release reads "
                             f"(1 to {SCHEMA})")
        if data.get("verdict") not in ("OK", "FAILED"):
            raise ValueError(f"verdict {data.get('verdict')!r} is neither OK nor FAILED")
        failure = None
        if data["verdict"] == "FAILED":
            failure = Failure(Cause(data.get("failure")), str(data.get("cause") or ""))
        steps = data.get("steps")
        if isinstance(steps, dict):
            results = tuple((step, step_from_json(steps.get(step.value))) for step in Step)
        else:
            results = unrecorded_steps(failure)
        facts = {key: value for key, value in data.items() if key not in RESERVED}
        return cls(results, failure, frozen(facts), str(data.get("started") or ""),
                   float(data.get("seconds") or 0), str(data.get("hostname") or ""))


# The JSON's own fields, which are not facts.
RESERVED = frozenset(("schema", "verdict", "cause", "failure", "steps", "started", "seconds",
                      "hostname"))


def step_from_json(data):
    if not isinstance(data, dict):
        return StepResult(Outcome.SKIPPED, why="not in the verdict")
    return StepResult(Outcome(data.get("outcome")), float(data.get("seconds") or 0),
                      str(data.get("why") or ""))


def unrecorded_steps(failure):
    """The steps of a verdict that did not record them: all passed where it
    is OK; else the failure is the exit's, as nothing says which step."""
    if failure is None:
        return tuple((step, StepResult(Outcome.PASSED)) for step in Step)
    last = Outcome.ERROR if failure.cause is Cause.CHECKER_ERROR else Outcome.FAILED
    return tuple((step, StepResult(last if step is Step.EXIT else Outcome.SKIPPED,
                                   why="" if step is Step.EXIT else "not in the verdict"))
                 for step in Step)


class Proof:
    """What a run has proven so far, step by step: each step decided takes
    the time since the one before it. The one builder of a Verdict."""

    def __init__(self, clock=time.monotonic):
        self.clock = clock
        self.began = self.last = clock()
        self.started = time.strftime("%Y-%m-%dT%H:%M:%S")
        self.results = {}
        self.failing = None  # the step a wrong picture showed, where it did

    def passed(self, *steps):
        for step in steps:
            self.decide(step, Outcome.PASSED)

    def skipped(self, step, why):
        self.decide(step, Outcome.SKIPPED, why)

    def decide(self, step, outcome, why=""):
        now = self.clock()
        self.results[step] = StepResult(outcome, now - self.last, why)
        self.last = now

    def timed(self, step, seconds):
        """A step decided before the run began (the build), with its time,
        which the run's own then holds too."""
        self.results[step] = replace(self.results[step], seconds=seconds)
        self.began -= seconds

    def wrong(self, step):
        """The picture of step, proven or not, is wrong: the failure is its."""
        self.results.pop(step, None)
        self.failing = step

    @property
    def current(self):
        """The step being proven: the failing one, else the first undecided
        (the exit's where all are: a failure after the last step)."""
        return self.failing or next((s for s in Step if s not in self.results), Step.EXIT)

    def verdict(self, failure=None, facts=None, hostname=""):
        """The verdict: each step as decided; where the run failed, the step
        being proven failed (an error, where the checker could not do its
        job) and the rest were not reached."""
        now = self.clock()
        results = dict(self.results)
        if failure is not None:
            outcome = Outcome.ERROR if failure.cause is Cause.CHECKER_ERROR else Outcome.FAILED
            results[self.current] = StepResult(outcome, now - self.last)
        steps = tuple((step, results.get(step, StepResult(Outcome.SKIPPED, why=NOT_REACHED)))
                      for step in Step)
        return Verdict(steps, failure, frozen(facts or {}), self.started, now - self.began,
                       hostname)
