"""How CTest sees a pytest run: one whose every test was skipped exits with
CTest's skip code, so that it is reported as skipped, never as passed."""

SKIPPED = 77


def pytest_sessionfinish(session, exitstatus):
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if exitstatus == 0 and reporter is not None:
        ran = [report for outcome in ("passed", "failed", "error")
               for report in reporter.stats.get(outcome, []) if report.when == "call"]
        if reporter.stats.get("skipped") and not ran:
            session.exitstatus = SKIPPED
