"""What a run leaves behind: a folder of its own under the output folder,
with its pictures and its verdict's JSON, "latest" leading to the last run
that gave a verdict; and the one line a person reads.

Runs side by side in one output folder never touch each other's files: each
has its folder, named by when it started and its process; only finished
runs beyond the newest KEEP_RUNS are removed.
"""

import json
import os
import shutil
import socket
import sys
import time
import traceback

from . import oracle
from .causes import Cause, ToolFailed
from .facts import PROGRAM
from .results import SCHEMA, STEPS, cases, github_error, junit

RUNS = "runs"
LATEST = "latest"
KEEP_RUNS = 10
VERDICT = f"{PROGRAM}-verdict.json"
WINDOW = f"{PROGRAM}-window.png"
DRAWN = f"{PROGRAM}-drawn.png"
COMPARISON = f"{PROGRAM}-comparison.png"
TRACEBACK = f"{PROGRAM}-traceback.txt"
# The exit statuses: proven; the machine's stack failed; the checker could
# not do its job, or was called wrongly.
OK, FAILED, CHECKER_ERROR = 0, 1, 2


def say(words):
    print(f"==> {words}", file=sys.stderr, flush=True)


def run_folder(output):
    """A new folder for one run under output's RUNS."""
    runs = os.path.join(output, RUNS)
    os.makedirs(runs, exist_ok=True)
    stamp = time.strftime("%Y%m%d-%H%M%S")
    for attempt in range(100):
        name = f"{stamp}-{os.getpid()}" + (f"-{attempt}" if attempt else "")
        try:
            os.mkdir(os.path.join(runs, name))
            return os.path.join(runs, name)
        except FileExistsError:
            continue
    raise FileExistsError(f"no free name for a run in {runs}")


def finished_runs(output):
    """The folders of runs that gave a verdict, oldest first."""
    runs = os.path.join(output, RUNS)
    return sorted(os.path.join(runs, name) for name in os.listdir(runs)
                  if os.path.exists(os.path.join(runs, name, VERDICT)))


class Report:
    """One run's files, and how its verdict is said: also as JSON to json_to
    ("-": standard output, the one line then going to standard error), as a
    JUnit report to junit_to, and, under GitHub Actions (github), as an
    annotation of a failure. step is the step the run is proving; proven
    and unproven (with why) the steps it proved and passed over."""

    def __init__(self, output, json_to=None, junit_to=None, github=False):
        self.output = output
        self.json_to, self.junit_to, self.github = json_to, junit_to, github
        self.started, self.timestamp = time.monotonic(), time.strftime("%Y-%m-%dT%H:%M:%S")
        self.step, self.proven, self.unproven = "window", set(), {}
        self.folder = run_folder(output)
        self.verdict_path = os.path.join(self.folder, VERDICT)
        self.screenshot = os.path.join(self.folder, WINDOW)
        self.drawn_picture = os.path.join(self.folder, DRAWN)
        self.comparison = os.path.join(self.folder, COMPARISON)
        self.traceback = os.path.join(self.folder, TRACEBACK)
        self.facts = {}

    def save_drawn(self, image):
        image.save(self.drawn_picture)
        self.facts["drawn_picture"] = self.drawn_picture

    def save_screen(self, image):
        image.save(self.screenshot)
        self.facts["screenshot"] = self.screenshot

    def save_comparison(self, wrong):
        """Expected, found and their difference, where a picture is wrong."""
        if wrong.image is not None:
            oracle.comparison(wrong.image, wrong.scene).save(self.comparison)

    def write(self, verdict, cause, failure=None, **extra):
        """The verdict's JSON, in this run's folder; then latest leads here,
        and the oldest finished runs beyond KEEP_RUNS go."""
        facts = {"schema": SCHEMA, "verdict": verdict, "cause": cause, **self.facts,
                 "failure": failure, **extra}
        self.hand_over(facts)
        try:
            with open(self.verdict_path, "w") as f:
                json.dump(facts, f, indent=2, ensure_ascii=False)
                f.write("\n")
            link = os.path.join(self.output, f".{LATEST}-{os.getpid()}")
            os.symlink(os.path.relpath(self.folder, self.output), link)
            os.replace(link, os.path.join(self.output, LATEST))
        except OSError as error:
            say(f"Could not write {self.verdict_path} or link it as {LATEST}: {error}")
        for old in finished_runs(self.output)[:-KEEP_RUNS]:
            if old != self.folder:
                shutil.rmtree(old, ignore_errors=True)

    def hand_over(self, facts):
        """The verdict as JSON and JUnit where asked for, and GitHub's
        annotation of a failure."""
        text = json.dumps(facts, indent=2, ensure_ascii=False) + "\n"
        if self.json_to == "-":
            sys.stdout.write(text)
        elif self.json_to:
            with open(self.json_to, "w") as f:
                f.write(text)
        if self.junit_to:
            # A failure after the last step (the checker's own, say) is the exit's.
            failed = (self.step or STEPS[-1][0]) if facts["failure"] else None
            outcomes = cases(self.proven, failed, self.unproven)
            with open(self.junit_to, "w") as f:
                f.write(junit(facts, outcomes, time.monotonic() - self.started, self.timestamp,
                              socket.gethostname()))
        if self.github and facts["failure"]:
            # Where standard output holds the JSON, the annotation goes with
            # the one line, to standard error.
            print(github_error(facts["failure"], facts["cause"]), flush=True,
                  file=sys.stderr if self.json_to == "-" else sys.stdout)

    def ok(self, line):
        self.write("OK", "")
        print(f"OK: {line}; verdict in {self.verdict_path}.", flush=True,
              file=sys.stderr if self.json_to == "-" else sys.stdout)
        return OK

    def failed(self, failure, said=()):
        """Say why the run failed, and what the program said."""
        cause = failure.words
        if os.path.exists(self.comparison):
            cause += f"; expected, found and their difference: {self.comparison}"
        self.write("FAILED", cause, failure.id)
        print(f"FAILED: {cause}", file=sys.stderr)
        if said:
            print(f"{PROGRAM} said:", file=sys.stderr)
            for line in said:
                print(f"  {line}", file=sys.stderr)
        return FAILED

    def checker_error(self, error, display=""):
        """Say that the checker could not do its job, naming the tool and its
        words where a tool failed, and keep the traceback beside the verdict."""
        with open(self.traceback, "w") as f:
            f.write("".join(traceback.format_exception(error)))
        on = f" on {display}" if display else ""
        tool = isinstance(error, ToolFailed)
        what = (f"a tool it runs failed in a way it does not understand: {error}" if tool else
                f"it met a fault of its own ({type(error).__name__}: {error})")
        advice = Cause.CHECKER_ERROR.advice(
            "tool" if tool and error.package else "", traceback=self.traceback,
            tool=getattr(error, "tool", ""), package=getattr(error, "package", ""))
        cause = (f"the checker could not do its job: {what}; this is no fault of the X "
                 f"server{on}: {advice}")
        extra = dict(command=error.argv) if isinstance(error, ToolFailed) else {}
        self.write("FAILED", cause, Cause.CHECKER_ERROR.id, traceback=self.traceback, **extra)
        print(f"FAILED: {cause}", file=sys.stderr)
        return CHECKER_ERROR
