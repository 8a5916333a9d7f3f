"""The verdict as CI systems and fleets read it: a JUnit report, one test case
for each thing a run proves, and the one-line annotation GitHub Actions
shows. Pure functions of the verdict's facts and the steps a run proved.
"""

import xml.etree.ElementTree as ElementTree

from .facts import PROGRAM

# The JSON verdict's layout: raised when a field changes meaning or goes.
SCHEMA = 1
# What a run proves, in order, each a test case of the JUnit report.
STEPS = (("build", "the build"), ("window", "the window"), ("drawn", "the picture drawn"),
         ("shown", "the picture shown"), ("rate", "the frame rate"), ("close", "the close"),
         ("exit", "the exit"))
CHECKER_ERROR = "checker-error"


def cases(proven, failed, unproven):
    """Each step's outcome: ("passed" | "failed" | "skipped", why) by step.
    proven: the steps proven; failed: the step that failed, or None;
    unproven: steps passed over, with why (a build not made here, say)."""
    outcomes = {}
    for step, _ in STEPS:
        if step == failed:
            outcomes[step] = ("failed", "")
        elif step in unproven:
            outcomes[step] = ("skipped", unproven[step])
        elif step in proven:
            outcomes[step] = ("passed", "")
        else:
            outcomes[step] = ("skipped", "not reached: the run ended before it")
    return outcomes


def junit(verdict, outcomes, seconds, timestamp, hostname):
    """The JUnit XML report of a verdict (its JSON facts) given each step's
    outcome: a failed step carries the failure's identifier and sentence;
    the checker's own error is an error, not a failure."""
    display = verdict.get("display") or "no display"
    suite_name = f"{PROGRAM} on {hostname} {display}"
    counts = {kind: sum(1 for outcome, _ in outcomes.values() if outcome == kind)
              for kind in ("failed", "skipped")}
    error = verdict.get("failure") == CHECKER_ERROR
    totals = dict(tests=str(len(STEPS)), failures=str(0 if error else counts["failed"]),
                  errors=str(counts["failed"] if error else 0), skipped=str(counts["skipped"]),
                  time=f"{seconds:.3f}")
    root = ElementTree.Element("testsuites", name=PROGRAM, **totals)
    suite = ElementTree.SubElement(root, "testsuite", name=suite_name, timestamp=timestamp,
                                   hostname=hostname, **totals)
    for step, name in STEPS:
        outcome, why = outcomes[step]
        case = ElementTree.SubElement(suite, "testcase", classname=PROGRAM, name=name,
                                      time="0")
        if outcome == "failed":
            kind = "error" if error else "failure"
            ElementTree.SubElement(case, kind, message=verdict["failure"],
                                   type=verdict["failure"]).text = verdict["cause"]
        elif outcome == "skipped":
            ElementTree.SubElement(case, "skipped", message=why)
    return document(root)


def document(root):
    """A JUnit report's text: its tree, indented, after the XML declaration."""
    ElementTree.indent(root)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ElementTree.tostring(
        root, encoding="unicode") + "\n"


def github_error(failure, cause):
    """GitHub Actions' workflow command for a FAILED verdict: one line, its
    title and message escaped as Actions requires."""
    def data(text):
        return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")

    def prop(text):
        return data(text).replace(":", "%3A").replace(",", "%2C")
    return f"::error title={prop(f'{PROGRAM}: {failure}')}::{data(cause)}"
