"""Runs one test script's cases, or one of them, for CTest.

Exits with SKIPPED when every case that was asked for was skipped, so that
CTest reports the test as skipped rather than passed, and names each skipped
case with its reason on a line of its own, which scripts/test repeats."""

import os
import sys
import unittest

# CTest's SKIP_RETURN_CODE for every test of the suite.
SKIPPED = 77


def main(script, *names):
    sys.path.insert(0, os.path.dirname(os.path.abspath(script)))
    module = os.path.splitext(os.path.basename(script))[0]
    loader = unittest.defaultTestLoader
    suite = (loader.loadTestsFromNames([f"{module}.{name}" for name in names]) if names
             else loader.loadTestsFromName(module))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    for case, reason in result.skipped:
        print(f"SKIPPED: {case.id()}: {reason}")
    if not result.wasSuccessful():
        return 1
    if result.testsRun == 0:
        print("no test ran", file=sys.stderr)
        return 1
    # A skipped subtest (one row of a table) leaves its test run, not skipped.
    whole = [case for case, _ in result.skipped if not hasattr(case, "test_case")]
    return SKIPPED if len(whole) == result.testsRun else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
