"""The verdict as each reader takes it: the one line a person reads, the
JSON, the JUnit report (one test case a step; a fleet's is the same report
with a suite a host) and the annotation GitHub Actions shows. Each is a
pure function of verdicts, and of where the files lie.
"""

import json
import os
import xml.etree.ElementTree as ElementTree
from typing import NamedTuple

from .facts import PROGRAM
from .verdict import Outcome, Verdict

# Below this many frames per second, a person sees the window stutter.
SMOOTH_FPS = 10


def rate(fps):
    """The frame rate as said: whole frames on a smooth stack, a decimal on
    a slow one; and its words."""
    fps = round(fps) if fps >= SMOOTH_FPS else round(fps, 1)
    words = f"{fps} frames per second"
    if fps < SMOOTH_FPS:
        words = (f"only {words}: slow (a software renderer on a busy machine, a remote display "
                 "over a slow link, or a window the driver throttles while it is hidden)")
    return fps, words


def ok_words(facts):
    """What an OK verdict proved, in words, from its facts."""
    proven = f"SFML {facts.get('sfml')}"
    if facts.get("sfml_source") == "built":
        system = facts.get("system_sfml")
        proven += " (built from source; " + (
            f"this system's package is SFML {system})" if system
            else "this system has no SFML package)")
    display = facts.get("display")
    where = f"a private Xvfb display {display}" if facts.get("private_display") else display
    return (f"{proven} works on {where}: X server {facts.get('server')}, window manager "
            f"{facts.get('window_manager')}, {facts.get('rendering')} rendering by "
            f"{facts.get('renderer')} with OpenGL {facts.get('opengl')}, "
            f"{rate(facts.get('frames_per_second') or 0)[1]}; exact picture on "
            f"{facts.get('judged')}, window captured to {facts.get('screenshot')}, closed by "
            f"{facts.get('closed_by')} with status 0")


def line(verdict, path):
    """The one line, for the verdict written to path; a failure's line is
    followed by what the program said, where it said anything worth it."""
    if verdict.ok:
        return f"OK: {ok_words(verdict.facts)}; verdict in {path}."
    said = verdict.facts.get("said") or []
    return "\n".join([f"FAILED: {verdict.failure.words}"] +
                     ([f"{PROGRAM} said:"] + [f"  {line}" for line in said] if said else []))


def json_text(verdict):
    return json.dumps(verdict.to_json(), indent=2, ensure_ascii=False) + "\n"


class Missing(NamedTuple):
    """A host of a fleet without a verdict: why (UNREACHABLE or NO RESULT),
    and the words that say so."""
    kind: str
    why: str


def attachment(verdict, project_dir=None):
    """The picture that shows a failed verdict (the comparison, else the
    window), as GitLab and Jenkins attach it: relative to the project's
    folder where it lies under it, absolute otherwise; None where there is
    none."""
    picture = verdict.facts.get("comparison") or verdict.facts.get("screenshot")
    if not picture or not isinstance(picture, str):
        return None
    picture = os.path.abspath(picture)
    if project_dir:
        inside = os.path.relpath(picture, os.path.abspath(project_dir))
        if not inside.startswith(os.pardir):
            return inside
    return picture


def time_attribute(seconds):
    """Seconds as JUnit's time: three decimals at most, as its schema wants."""
    return f"{max(seconds, 0):.3f}"


def junit_suite(parent, host, verdict, project_dir):
    """A verdict's test suite under parent: a case for each step."""
    display = verdict.facts.get("display") or "no display"
    name = f"{PROGRAM} on {verdict.hostname or host or 'this host'} {display}"
    results = [result for _, result in verdict.steps]
    count = {outcome: sum(1 for r in results if r.outcome is outcome) for outcome in Outcome}
    suite = ElementTree.SubElement(
        parent, "testsuite", name=f"{host}: {name}" if host else name, tests=str(len(results)),
        failures=str(count[Outcome.FAILED]), errors=str(count[Outcome.ERROR]),
        skipped=str(count[Outcome.SKIPPED]), time=time_attribute(verdict.seconds),
        timestamp=verdict.started, hostname=verdict.hostname or host or "")
    for step, result in verdict.steps:
        case = ElementTree.SubElement(suite, "testcase", name=step.title,
                                      classname=f"{PROGRAM}.{host}" if host else PROGRAM,
                                      time=time_attribute(result.seconds))
        if result.outcome in (Outcome.FAILED, Outcome.ERROR):
            # GitLab shows the element's text; Jenkins the message, too.
            ElementTree.SubElement(case, "failure" if result.outcome is Outcome.FAILED
                                   else "error", message=verdict.failure.id,
                                   type=verdict.failure.id).text = verdict.failure.words
            picture = attachment(verdict, project_dir)
            if picture:
                ElementTree.SubElement(case, "system-out").text = f"[[ATTACHMENT|{picture}]]"
        elif result.outcome is Outcome.SKIPPED:
            ElementTree.SubElement(case, "skipped", message=result.why).text = result.why
    return suite


def missing_suite(parent, host, missing):
    """A fleet's host without a verdict: one case in error, saying why."""
    suite = ElementTree.SubElement(parent, "testsuite", name=host, tests="1", failures="0",
                                   errors="1", skipped="0", time=time_attribute(0))
    case = ElementTree.SubElement(suite, "testcase", classname=f"{PROGRAM}.{host}",
                                  name="the check", time=time_attribute(0))
    ElementTree.SubElement(case, "error", message=missing.kind,
                           type=missing.kind).text = missing.why


def junit(entries, name=PROGRAM, project_dir=None):
    """The JUnit report of (host, verdict) pairs: one suite each, named for
    its host where there is one (a fleet's; None for a run's own); a host
    with no verdict (Missing) is a suite of one case in error."""
    root = ElementTree.Element("testsuites", name=name)
    for host, verdict in entries:
        if isinstance(verdict, Verdict):
            junit_suite(root, host, verdict, project_dir)
        else:
            missing_suite(root, host, verdict)
    suites = root.findall("testsuite")
    for total in ("tests", "failures", "errors"):
        root.set(total, str(sum(int(suite.get(total)) for suite in suites)))
    root.set("time", time_attribute(sum(float(suite.get("time")) for suite in suites)))
    ElementTree.indent(root)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ElementTree.tostring(
        root, encoding="unicode") + "\n"


def github_error(verdict):
    """GitHub Actions' workflow command for a FAILED verdict: one line, its
    title and message escaped as Actions requires."""
    def data(text):
        return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")

    def prop(text):
        return data(text).replace(":", "%3A").replace(",", "%2C")
    return f"::error title={prop(f'{PROGRAM}: {verdict.failure.id}')}::" \
        f"{data(verdict.failure.words)}"
