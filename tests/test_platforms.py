"""The program beyond this machine's own compiler and SFML: built by clang
here, for Windows with MinGW-w64 and run under Wine, and on other Debian
releases in roots made with mmdebstrap, where SFML 3 must be refused with
advice that is true there."""

import os
import pwd
import shutil
import subprocess
import tempfile
import unittest

from sfmlcheck import oracle
from suite import SIZE, START_TIMEOUT, XSession, wait_for

SOURCE_DIR = os.environ["SFML_WORKS_SOURCE_DIR"]
SCRIPTS = os.path.join(SOURCE_DIR, "scripts")
# The SFML the suite's build found, for the builds made here: on a system
# whose package is SFML 3, the SFML 2 the scripts built.
WITH_SFML = (f"-DSFML_DIR={os.environ['SFML_WORKS_SFML_DIR']}",)
BUILD_TIMEOUT = 1800
# Wine's first start of a program in a new prefix takes a while.
WINE_TIMEOUT = 120

# The tree as a user clones it, copied inside the root so that what is built
# there stays apart from this machine's build folder.
CLONE = ("mkdir -p /tmp/clone && tar -C /src --exclude=./build --exclude=./.git -cf - ."
         " | tar -C /tmp/clone -xf - && cd /tmp/clone && ")
# The x11 tests, configured on the build that scripts/run made.
X11_TESTS = ("cmake --preset release -DBUILD_TESTING=ON -DSFML_WORKS_WERROR=ON"
             " -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null"
             " && cmake --build --preset release -j2 >/dev/null"
             " && ctest --preset release -L x11 --no-tests=error")
SFML_3 = r"SFML 3\.\d+\.\d+"

# Debian releases: suite, whether the X tests are installed, the command run
# in the root (by bash), its status, and patterns its output must match.
RELEASES = (
    ("trixie", True,
     "cmake -S /src -B /build -DCMAKE_BUILD_TYPE=Release -DSFML_WORKS_WERROR=ON"
     " -DPython3_EXECUTABLE=/usr/bin/python3"
     " && cmake --build /build -j2 && ctest --test-dir /build --output-on-failure"
     " -R '^(window|picture|close|failures)$'",
     0, (r"Found SFML 2\.6", r"100% tests passed, 0 tests failed out of 4")),
    # SFML 3 only: scripts/run builds SFML 2 from source once, and the second
    # run and the tests use that build.
    ("forky", True,
     CLONE + "scripts/run --headless && scripts/run --headless && " + X11_TESTS,
     0, (SFML_3 + r" is this system's package and the program needs SFML 2: building"
         r" SFML 2\.6\.2 from source, once(?!.*building SFML)",
         r"(OK: SFML 2\.6\.2 \(built from source; this system's package is " + SFML_3
         + r"\) works on .*exact picture on the screen and the drawn frame.*){2}",
         r"100% tests passed, 0 tests failed out of [1-9]")),
    # The CMake route, from a local copy of the source.
    ("forky", True,
     CLONE + ". scripts/lib.sh && install_packages \"${SFML2_BUILD_PACKAGES[@]}\""
     " && fetch_sources /tmp/downloads \"$SFML2_SOURCE\" && unpack_sfml2 /tmp/downloads /tmp/sfml"
     " && cmake -S . -B /tmp/build -DSFML_WORKS_FETCH_SFML=ON -DSFML_WORKS_WERROR=ON"
     " -DFETCHCONTENT_SOURCE_DIR_SFML=/tmp/sfml/SFML-2.6.2 -DPython3_EXECUTABLE=/usr/bin/python3"
     " && cmake --build /tmp/build -j2 >/dev/null && ctest --test-dir /tmp/build"
     " --output-on-failure -R '^(window|picture|close)$'",
     0, (r"Building SFML 2\.6\.2 from /tmp/sfml/SFML-2\.6\.2",
         r"100% tests passed, 0 tests failed out of 3")),
    # No package where the only SFML is 3: it would need the SFML 2 built
    # here, which the machines it goes to do not have.
    ("forky", True, CLONE + "scripts/package", 1,
     (r"package: this system has no SFML 2 package \(libsfml-dev is " + SFML_3 +
      r"\), and a package cannot carry an SFML 2 built here from source",)),
    # A plain cmake: each version found is named once, and the advice is
    # not the package, but the scripts, the CMake option, then by hand.
    ("sid", False, "rm -rf /build && cmake -S /src -B /build", 1,
     (r"needs SFML 2\.x \(2\.5 or later\), but found only " + SFML_3 + r"\. The program",
      r"That release is this system's own SFML package\. Let the scripts build SFML 2\.6\.2"
      r" for you: scripts/run .* -DSFML_WORKS_FETCH_SFML=ON .* git clone",
      r"-DSFML_DIR=")),
)


# Checkouts as people make them: a folder whose path holds spaces, letters
# beyond ASCII and many levels, owned by a user who is not root. The fast
# labels run there, as that user: folder, user (None: whoever runs the suite).
CHECKOUTS = (
    (os.path.join("My Projects", "sfml wörks", *["a-long-way-down"] * 8, "sfml-works"),
     "nobody"),
)
CHECKOUT_LABELS = "x11"


def run(argv, timeout=BUILD_TIMEOUT, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          timeout=timeout, **kwargs)


def assert_shows_and_closes(test, x, program, counted=True):
    """The window is titled, 200 x 200 and shows the exact picture; a close
    through the window manager ends the program with status 0."""
    window = program.wait_window(WINE_TIMEOUT, counted)
    test.assertEqual(x.size(window), (SIZE, SIZE))
    wait_for(lambda: not oracle.mismatches(x.capture(window)), START_TIMEOUT,
             "the exact picture")
    x.close_window(window)
    status, _ = program.wait_exit(START_TIMEOUT)
    test.assertEqual(status, 0, program.stderr())


class PlatformTest(unittest.TestCase):
    def test_clang(self):
        with tempfile.TemporaryDirectory() as build, XSession() as x:
            result = run(["cmake", "-S", SOURCE_DIR, "-B", build, "-DBUILD_TESTING=OFF",
                          "-DSFML_WORKS_WERROR=ON", "-DCMAKE_CXX_COMPILER=clang++", *WITH_SFML])
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            result = run(["cmake", "--build", build])
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            program = x.start_program(binary=os.path.join(build, "sfml-works"))
            assert_shows_and_closes(self, x, program)

    def test_windows(self):
        built = run([os.path.join(SCRIPTS, "windows")])
        self.assertEqual(built.returncode, 0, built.stderr)
        exe = built.stdout.strip().splitlines()[-1]
        with tempfile.TemporaryDirectory() as prefix, XSession() as x:
            env = dict(x.env, WINEPREFIX=prefix, WINEDEBUG="-all",
                       # Ask for neither Mono nor Gecko, which are not to be had.
                       WINEDLLOVERRIDES="mscoree,mshtml=")
            try:
                # The prefix is made first, with no display to show dialogs on.
                made = run(["wineboot", "--init"], timeout=WINE_TIMEOUT,
                            env={k: v for k, v in env.items() if k != "DISPLAY"})
                self.assertEqual(made.returncode, 0, made.stderr)
                # Wine draws through its own OpenGL library, out of the
                # counter's sight, so the picture itself shows the frames.
                program = x.start_program(env=env, wrapper=["wine"], binary=exe)
                assert_shows_and_closes(self, x, program, counted=False)
            finally:
                run(["wineserver", "--kill"], timeout=WINE_TIMEOUT, env=env)

    def test_checkouts(self):
        for folder, user in CHECKOUTS:
            with self.subTest(folder=folder), tempfile.TemporaryDirectory() as tmp:
                os.chmod(tmp, 0o755)
                source = os.path.join(tmp, folder)
                files = run(["git", "-C", SOURCE_DIR, "ls-files", "-z"]).stdout.split("\0")
                for name in filter(None, files):
                    os.makedirs(os.path.dirname(os.path.join(source, name)), exist_ok=True)
                    shutil.copy2(os.path.join(SOURCE_DIR, name), os.path.join(source, name))
                # First on PATH, a python3 without the system's packages, as
                # pyenv's or conda's is on many developers' machines: the
                # configure finds the system's, which has them.
                shims = os.path.join(tmp, "shims")
                os.mkdir(shims)
                with open(os.path.join(shims, "python3"), "w") as f:
                    f.write('#!/bin/sh\nexec /usr/bin/python3 -S "$@"\n')
                os.chmod(os.path.join(shims, "python3"), 0o755)
                env = dict(os.environ, HOME=tmp, PATH=shims + os.pathsep + os.environ["PATH"])
                as_user = []
                if user and os.geteuid() == 0:
                    account = pwd.getpwnam(user)
                    subprocess.run(["chown", "-R", f"{account.pw_uid}:{account.pw_gid}", tmp],
                                   check=True)
                    as_user = ["setpriv", f"--reuid={account.pw_uid}",
                               f"--regid={account.pw_gid}", "--clear-groups", "--"]
                build = os.path.join(source, "build")
                for step in (["cmake", "-S", source, "-B", build, "-DBUILD_TESTING=ON",
                              *WITH_SFML],
                             ["cmake", "--build", build, "-j", str(os.cpu_count() or 2)],
                             ["ctest", "--test-dir", build, "-L", CHECKOUT_LABELS,
                              "--no-tests=error", "--output-on-failure"]):
                    result = run([*as_user, *step], env=env)
                    self.assertEqual(result.returncode, 0, result.stdout[-3000:] + result.stderr)
                self.assertRegex(result.stdout, r"100% tests passed, 0 tests failed out of \d+")

    def test_debian_releases(self):
        if os.geteuid() != 0 and run(["sudo", "-n", "true"]).returncode != 0:
            self.skipTest("making Debian roots needs root, or sudo without a password")
        for suite, tests, command, status, said in RELEASES:
            with self.subTest(suite=suite, command=command[-60:]):
                result = run([os.path.join(SCRIPTS, "debian"),
                              *(["--tests"] if tests else []), suite, "bash", "-c", command])
                output = " ".join((result.stdout + result.stderr).split())
                self.assertEqual(result.returncode, status, output[-3000:])
                for pattern in said:
                    self.assertRegex(output, pattern)

