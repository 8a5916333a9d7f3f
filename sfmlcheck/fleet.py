"""A fleet's verdicts in one table and one JUnit report, from the folder the
fleet playbook (fleet/check.yml) fetched each host's results into:
HOST.json, sfml-works-check's JSON verdict, with HOST-comparison.png, the
picture a FAILED host saved of its wrong window, where there is one; or
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
from typing import NamedTuple, Union

from .facts import PROGRAM
from .verdict import Verdict
from .writers import Missing, junit

UNREACHABLE = "UNREACHABLE"
NO_RESULT = "NO RESULT"
COLUMNS = ("host", "verdict", "failure", "SFML", "renderer", "fps")
# The order the counts are given in.
VERDICTS = ("OK", "FAILED", NO_RESULT, UNREACHABLE)
COMPARISON = "comparison.png"


class Host(NamedTuple):
    """A host and what came back from it: its verdict, or why there is none."""
    name: str
    result: Union[Verdict, Missing]

    @property
    def word(self):
        return self.result.word if isinstance(self.result, Verdict) else self.result.kind

    def cells(self):
        if not isinstance(self.result, Verdict):
            return (self.name, self.word, "-", "-", "-", "-")
        facts, failure = self.result.facts, self.result.failure
        fps = facts.get("frames_per_second")
        return (self.name, self.word, failure.id if failure else "-",
                str(facts.get("sfml") or "-"), str(facts.get("renderer") or "-"),
                "-" if fps is None else str(fps))

    @property
    def why(self):
        """Why a host has no verdict, or what its failure is; "" if OK."""
        if isinstance(self.result, Verdict):
            return self.result.failure.words if self.result.failure else ""
        return self.result.why


def table(hosts):
    """The fleet as text: a column each, then each host without a verdict or
    with a failure, with its reason, and the counts."""
    cells = [COLUMNS] + [host.cells() for host in hosts]
    widths = [max(len(line[i]) for line in cells) for i in range(len(COLUMNS))]
    lines = ["  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip()
             for line in cells]
    lines.extend(f"{host.name}: {host.why}" for host in hosts if host.why)
    counts = {verdict: 0 for verdict in VERDICTS}
    for host in hosts:
        counts[host.word] = counts.get(host.word, 0) + 1
    lines.append(", ".join(f"{n} {verdict}" for verdict, n in counts.items() if n) +
                 f" of {len(hosts)} hosts")
    return "\n".join(lines) + "\n"


def read_verdict(path):
    """The verdict in a host's JSON file, with its comparison picture where
    one came back beside it; Missing where the file holds no verdict."""
    try:
        with open(f"{path}.json", encoding="utf-8") as f:
            verdict = Verdict.from_json(json.load(f))
    except (ValueError, TypeError) as error:  # not JSON, or JSON that is no verdict
        return Missing(NO_RESULT, f"its verdict cannot be read: {error}")
    picture = f"{path}-{COMPARISON}"
    return verdict.with_facts(comparison=picture) if os.path.exists(picture) else verdict


def gather(folder, names):
    """Each host, with what came back from it."""
    hosts = []
    for name in names:
        path = os.path.join(folder, name)
        if os.path.exists(f"{path}.unreachable"):
            with open(f"{path}.unreachable", encoding="utf-8") as f:
                result = Missing(UNREACHABLE, f.read().strip() or "Ansible could not reach it")
        elif os.path.exists(f"{path}.json"):
            result = read_verdict(path)
        else:
            result = Missing(NO_RESULT, "no verdict came back: the play above says why")
        hosts.append(Host(name, result))
    return hosts


def main(argv):
    parser = argparse.ArgumentParser(prog="sfmlcheck.fleet", description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", help="where the playbook fetched each host's results")
    parser.add_argument("hosts", nargs="+", metavar="HOST", help="the fleet's hosts, in order")
    parser.add_argument("--junit", metavar="FILE", help="the fleet's JUnit report, to FILE")
    args = parser.parse_args(argv)
    hosts = gather(args.folder, args.hosts)
    sys.stdout.write(table(hosts))
    if args.junit:
        with open(args.junit, "w", encoding="utf-8") as f:
            f.write(junit(hosts, name=f"{PROGRAM} fleet",
                          project_dir=os.environ.get("CI_PROJECT_DIR") or None))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
