"""What a run leaves behind: a folder of its own under the output folder,
with its pictures and its verdict's JSON, "latest" leading to the last run
that gave a verdict; and where each writer's text goes.

Runs side by side in one output folder never touch each other's files: each
has its folder, named by when it started and its process; only finished
runs beyond the newest KEEP_RUNS are removed.
"""

import os
import shutil
import sys
import time
import traceback

from . import oracle, writers
from .facts import PROGRAM

RUNS = "runs"
LATEST = "latest"
KEEP_RUNS = 10
VERDICT = f"{PROGRAM}-verdict.json"
WINDOW = f"{PROGRAM}-window.png"
DRAWN = f"{PROGRAM}-drawn.png"
COMPARISON = f"{PROGRAM}-comparison.png"
TRACEBACK = f"{PROGRAM}-traceback.txt"


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
    """One run's files, and where its verdict goes: also as JSON to json_to
    ("-": standard output, the one line then going to standard error), as a
    JUnit report to junit_to, and, under GitHub Actions (github), as an
    annotation of a failure; project_dir is CI's folder of the project,
    that the JUnit report's pictures are named relative to."""

    def __init__(self, output, json_to=None, junit_to=None, github=False, project_dir=None):
        self.output = output
        self.json_to, self.junit_to, self.github = json_to, junit_to, github
        self.project_dir = project_dir
        self.folder = run_folder(output)
        self.verdict_path = os.path.join(self.folder, VERDICT)
        self.screenshot = os.path.join(self.folder, WINDOW)
        self.drawn_picture = os.path.join(self.folder, DRAWN)
        self.comparison = os.path.join(self.folder, COMPARISON)
        self.traceback = os.path.join(self.folder, TRACEBACK)

    def save_drawn(self, image):
        """The first frame drawn: the fact naming its file."""
        image.save(self.drawn_picture)
        return {"drawn_picture": self.drawn_picture}

    def save_screen(self, image):
        image.save(self.screenshot)
        return {"screenshot": self.screenshot}

    def save_comparison(self, wrong):
        """Expected, found and their difference, where a picture is wrong."""
        if wrong.image is None:
            return {}
        oracle.comparison(wrong.image, wrong.scene).save(self.comparison)
        return {"comparison": self.comparison}

    def save_traceback(self, error):
        with open(self.traceback, "w") as f:
            f.write("".join(traceback.format_exception(error)))
        return self.traceback

    @property
    def stream(self):
        """Where the one line goes: standard error where standard output
        holds the JSON."""
        return sys.stderr if self.json_to == "-" else sys.stdout

    def finish(self, verdict):
        """Write the verdict everywhere it is asked for, say its line, and
        give the exit status."""
        self.hand_over(verdict)
        self.keep(verdict)
        print(writers.line(verdict, self.verdict_path), flush=True,
              file=self.stream if verdict.ok else sys.stderr)
        return verdict.status

    def keep(self, verdict):
        """The verdict's JSON, in this run's folder; then latest leads here,
        and the oldest finished runs beyond KEEP_RUNS go."""
        try:
            with open(self.verdict_path, "w", encoding="utf-8") as f:
                f.write(writers.json_text(verdict))
            link = os.path.join(self.output, f".{LATEST}-{os.getpid()}")
            os.symlink(os.path.relpath(self.folder, self.output), link)
            os.replace(link, os.path.join(self.output, LATEST))
        except OSError as error:
            say(f"Could not write {self.verdict_path} or link it as {LATEST}: {error}")
        for old in finished_runs(self.output)[:-KEEP_RUNS]:
            if old != self.folder:
                shutil.rmtree(old, ignore_errors=True)

    def hand_over(self, verdict):
        """The verdict as JSON and JUnit where asked for, and GitHub's
        annotation of a failure."""
        if self.json_to == "-":
            sys.stdout.write(writers.json_text(verdict))
        elif self.json_to:
            with open(self.json_to, "w", encoding="utf-8") as f:
                f.write(writers.json_text(verdict))
        if self.junit_to:
            with open(self.junit_to, "w", encoding="utf-8") as f:
                f.write(writers.junit([(None, verdict)], project_dir=self.project_dir))
        if self.github and not verdict.ok:
            print(writers.github_error(verdict), flush=True, file=self.stream)
