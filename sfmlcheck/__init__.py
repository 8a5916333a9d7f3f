"""The checker around sfml-works: it runs the program on an X display, judges
every pixel of what it shows, tells why it fails where it does, and says so in
one line and a JSON file. scripts/run, the suite and the benchmark share it.
A run gathers facts and pictures, judges them, and hands one value, its
verdict, to the writers.

facts      what the program is and needs
causes     every cause a run can fail for: identifier, summary, advice; the
           run's typed ends (Failed, CheckerError)
pictures   pictures in and out (Pillow, numpy)
oracle     the exact picture, from geometry, and the judgement of a picture
procs      waiting for conditions, and stopping what was started
xquery     questions to an X display, asked with the standard X tools
session    X servers and window managers, started and stopped; the user's display;
           which of them a run takes
program    the program under test, and its frame counter's file
diagnosis  why the program failed, from the display's and its own words: pure
judge      the verdict on the pictures and numbers gathered: pure
gather     what a run gathers while the program runs: window, frames, close
verdict    the verdict as one value: steps, outcomes, failure, facts; to and from
           JSON; Proof, which a run builds it with
writers    the verdict as each reader takes it: the one line, JSON, JUnit (a run's
           and a fleet's), GitHub's annotation: pure
report     a run's folder and files, and where each writer's text goes
fleet      a fleet's verdicts, as its playbook fetched them: one table, one JUnit
run        scripts/run's flow: the order of the steps, and the exit status
"""
