"""The checker around sfml-works: it runs the program on an X display, judges
every pixel of what it shows, tells why it fails where it does, and says so in
one line and a JSON file. scripts/run, the suite and the benchmark share it.

facts      what the program is and needs
pictures   pictures in and out (Pillow, numpy)
oracle     the exact picture, from geometry, and the judgement of a picture
procs      waiting for conditions, and stopping what was started
xquery     questions to an X display, asked with the standard X tools
session    X servers and window managers, started and stopped; the user's display
program    the program under test, and its frame counter's file
diagnosis  why a run failed, from the facts gathered: pure functions
run        scripts/run's flow, its one-line verdict and its JSON
"""
