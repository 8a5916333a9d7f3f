"""A fleet's verdicts in one table and one JUnit report, from the folder the
fleet playbook (fleet/check.yml) fetched each host's results into:
HOST.json and HOST.xml, sfml-works-check's JSON and JUnit report, or
HOST.unreachable, Ansible's words where it could not reach the host.

    python3 -m sfmlcheck.fleet FOLDER --junit FILE HOST...

prints the table and writes the fleet's JUnit report. A host that failed the
check is a row like any other; its status is the table's, not this
command's, which ends 0 once it has reported.
"""

import argparse
import json
import os
import sys
import xml.etree.ElementTree as ElementTree
from typing import NamedTuple

from .facts import PROGRAM
from .results import document

UNREACHABLE = "UNREACHABLE"
NO_RESULT = "NO RESULT"
COLUMNS = ("host", "verdict", "failure", "SFML", "renderer", "fps")
# The order the counts are given in.
VERDICTS = ("OK", "FAILED", NO_RESULT, UNREACHABLE)


class Row(NamedTuple):
    host: str
    verdict: str
    failure: str = ""
    sfml: str = ""
    renderer: str = ""
    fps: str = ""
    # Why a host has no verdict: Ansible's words, or what is missing.
    why: str = ""


def row(host, verdict=None, unreachable=None):
    """A host's row, from its JSON verdict (a dict), or Ansible's words where
    it could not reach it; neither: the check did not run or said nothing."""
    if unreachable is not None:
        return Row(host, UNREACHABLE, why=unreachable.strip() or "Ansible could not reach it")
    if verdict is None:
        return Row(host, NO_RESULT, why="no verdict came back: the play above says why")
    fps = verdict.get("frames_per_second")
    return Row(host, verdict.get("verdict", NO_RESULT), verdict.get("failure") or "",
               verdict.get("sfml") or "", verdict.get("renderer") or "",
               "" if fps is None else str(fps), verdict.get("cause") or "")


def table(rows):
    """The fleet as text: a column each, then each host without a verdict or
    with a failure, with its reason, and the counts."""
    cells = [COLUMNS] + [(r.host, r.verdict, r.failure or "-", r.sfml or "-",
                          r.renderer or "-", r.fps or "-") for r in rows]
    widths = [max(len(line[i]) for line in cells) for i in range(len(COLUMNS))]
    lines = ["  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip()
             for line in cells]
    lines.extend(f"{r.host}: {r.why}" for r in rows if r.verdict != "OK" and r.why)
    counts = {verdict: 0 for verdict in VERDICTS}
    for r in rows:
        counts[r.verdict] = counts.get(r.verdict, 0) + 1
    lines.append(", ".join(f"{n} {verdict}" for verdict, n in counts.items() if n) +
                 f" of {len(rows)} hosts")
    return "\n".join(lines) + "\n"


def junit(rows, reports):
    """The fleet's JUnit report: each host's own test suite (its JUnit
    report's, by host), named for the host; a host without one is a suite of
    one case in error, saying why."""
    root = ElementTree.Element("testsuites", name=f"{PROGRAM} fleet")
    for r in rows:
        suites = reports.get(r.host)
        if suites is None:
            suite = ElementTree.SubElement(root, "testsuite", name=r.host, tests="1",
                                           failures="0", errors="1", skipped="0", time="0")
            case = ElementTree.SubElement(suite, "testcase", classname=f"{PROGRAM}.{r.host}",
                                          name="the check", time="0")
            ElementTree.SubElement(case, "error", message=r.verdict, type=r.verdict).text = r.why
            continue
        for suite in suites.iter("testsuite"):
            suite.set("name", f"{r.host}: {suite.get('name', PROGRAM)}")
            for case in suite.iter("testcase"):
                case.set("classname", f"{PROGRAM}.{r.host}")
            root.append(suite)
    for total in ("tests", "failures", "errors", "skipped"):
        root.set(total, str(sum(int(s.get(total, 0)) for s in root.iter("testsuite"))))
    return document(root)


def gather(folder, hosts):
    """Each host's row, and its JUnit report where one came back."""
    rows, reports = [], {}
    for host in hosts:
        path = os.path.join(folder, host)
        unreachable = verdict = None
        if os.path.exists(f"{path}.unreachable"):
            with open(f"{path}.unreachable", encoding="utf-8") as f:
                unreachable = f.read()
        elif os.path.exists(f"{path}.json"):
            try:
                with open(f"{path}.json", encoding="utf-8") as f:
                    verdict = json.load(f)
            except ValueError as error:
                verdict = {"verdict": NO_RESULT, "cause": f"its verdict is not JSON: {error}"}
            if os.path.exists(f"{path}.xml"):
                reports[host] = ElementTree.parse(f"{path}.xml").getroot()
        rows.append(row(host, verdict, unreachable))
    return rows, reports


def main(argv):
    parser = argparse.ArgumentParser(prog="sfmlcheck.fleet", description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", help="where the playbook fetched each host's results")
    parser.add_argument("hosts", nargs="+", metavar="HOST", help="the fleet's hosts, in order")
    parser.add_argument("--junit", metavar="FILE", help="the fleet's JUnit report, to FILE")
    args = parser.parse_args(argv)
    rows, reports = gather(args.folder, args.hosts)
    sys.stdout.write(table(rows))
    if args.junit:
        with open(args.junit, "w", encoding="utf-8") as f:
            f.write(junit(rows, reports))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
