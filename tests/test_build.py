"""The build: a hardened executable, an install step, a clear refusal of an
SFML release whose interface the program is not written for, and the
scripts' refusal of an SFML source that is not the one they name."""

import json
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import unittest

from sfmlcheck.facts import VERSION
from sfmlcheck.program import sanitizer_env

BIN = os.environ["SFML_WORKS_BIN"]
SOURCE_DIR = os.environ["SFML_WORKS_SOURCE_DIR"]
BINARY_DIR = os.environ["SFML_WORKS_BINARY_DIR"]
SANITIZED = os.environ.get("SFML_WORKS_SANITIZED") == "1"
OPTIMISED = not SANITIZED and os.environ.get("SFML_WORKS_CONFIG") != "Debug"

# A stand-in SFML 3 package: only its version file and an empty config, which
# is all that find_package reads before it decides.
FAKE_CONFIG_VERSION = """
set(PACKAGE_VERSION "3.0.0")
if(PACKAGE_FIND_VERSION_MAJOR STREQUAL "3")
    set(PACKAGE_VERSION_COMPATIBLE TRUE)
else()
    set(PACKAGE_VERSION_COMPATIBLE FALSE)
endif()
"""


def configure(build_dir, root):
    return subprocess.run(
        ["cmake", "-S", SOURCE_DIR, "-B", build_dir, "-DBUILD_TESTING=OFF",
         # Look for packages only under the test's own root; compilers and
         # tools are still found where they are.
         "-DCMAKE_FIND_ROOT_PATH=" + root, "-DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY",
         "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF"],
        capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL)


@unittest.skipUnless(OPTIMISED, "hardening is checked on the optimised build")
class HardeningTest(unittest.TestCase):
    # What every build must have, whatever the architecture.
    REQUIRED = ("Position Independent Executable", "Stack protected", "Fortify Source functions",
                "Read-only relocations", "Immediate binding")
    # Features of one architecture's processors: hardening-check asks for
    # them everywhere (Debian 13's asks for arm64's branch protection on
    # x86-64 too), and they count only there.
    ONE_ARCHITECTURE = {"Branch Protection": "aarch64", "Control flow integrity": "x86_64"}

    def test_executable_is_hardened(self):
        result = subprocess.run(["hardening-check", BIN], capture_output=True, text=True)
        said = result.stdout + result.stderr
        features = dict(re.findall(r"^ (\S[^:]*): (.*)$", result.stdout, re.M))
        for feature in self.REQUIRED:
            self.assertTrue(features.get(feature, "").startswith("yes"), f"{feature}: {said}")
        machine = os.uname().machine
        for feature, verdict in features.items():
            if self.ONE_ARCHITECTURE.get(feature, machine) == machine:
                self.assertFalse(verdict.startswith("no"), f"{feature}: {said}")


class BuildTest(unittest.TestCase):
    def test_install_puts_the_program_and_its_checker_in_bin(self):
        with tempfile.TemporaryDirectory() as prefix:
            subprocess.run(["cmake", "--install", BINARY_DIR, "--prefix", prefix],
                           check=True, capture_output=True)
            installed = os.path.join(prefix, "bin", "sfml-works")
            self.assertTrue(os.access(installed, os.X_OK), installed)
            # The installed checker finds the program, its frame counter and
            # its modules beside itself, wherever the prefix is.
            check = [os.path.join(prefix, "bin", "sfml-works-check")]
            result = subprocess.run([*check, "--version"], capture_output=True, text=True)
            self.assertEqual(result.stdout, f"sfml-works {VERSION}\n", result.stderr)
            result = subprocess.run([*check, "--headless", "--output", os.path.join(prefix, "out"),
                                     "--json", "-"], capture_output=True, text=True,
                                    timeout=120, cwd=prefix, env=sanitizer_env(
                                        os.environ, sanitized=SANITIZED))
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            verdict = json.loads(result.stdout)
            self.assertEqual((verdict["verdict"], verdict["sfml_source"]), ("OK", "system" if
                             os.environ["SFML_WORKS_SFML_DIR"].startswith("/usr/lib/") else "given"))
            self.assertRegex(result.stderr, r"\nOK: .*exact picture.*verdict in " + re.escape(prefix))

    def test_configure_refuses_sfml_3_and_says_why(self):
        # Where the system's packages hold SFML 3 (found twice, as through a
        # link), it says how to build SFML 2 rather than to install the
        # package that is already there: the scripts first, then the CMake
        # option, then by hand; elsewhere, to install SFML 2.
        for packages, advice in (
                (("usr/lib/cmake/SFML", "usr/share/cmake/SFML"),
                 r"own SFML package\. Let the scripts build SFML 2\.6\.2 for you: scripts/run"
                 r".* -DSFML_WORKS_FETCH_SFML=ON .* build SFML 2\.6 from source by hand"),
                (("opt/sfml-3/lib/cmake/SFML",), r"Install SFML 2\.x .* -DSFML_WORKS_FETCH_SFML=ON")):
            with self.subTest(packages=packages), tempfile.TemporaryDirectory() as tmp:
                root = os.path.join(tmp, "root")
                for folder in packages:
                    package = os.path.join(root, folder)
                    os.makedirs(package)
                    with open(os.path.join(package, "SFMLConfigVersion.cmake"), "w") as f:
                        f.write(FAKE_CONFIG_VERSION)
                    with open(os.path.join(package, "SFMLConfig.cmake"), "w") as f:
                        f.write("set(SFML_FOUND TRUE)\n")
                result = configure(os.path.join(tmp, "build"), root)
                self.assertNotEqual(result.returncode, 0)
                message = " ".join(result.stderr.split())
                self.assertIn("needs SFML 2.x (2.5 or later), but found only SFML 3.0.0.",
                              message)
                self.assertEqual(message.count("3.0.0"), 1, message)
                self.assertRegex(message, advice)

    @unittest.skipUnless(shutil.which("apt-get"), "SFML's source comes from an apt archive")
    def test_scripts_refuse_a_source_that_is_not_the_one_named(self):
        # A tarball left over that is not the one named is fetched again; an
        # index that gives another checksum is refused, and nothing is kept.
        lib = os.path.join(SOURCE_DIR, "scripts", "lib.sh")
        for named, said in (("", "Fetching libsfml_"),
                            ("0" * 64, "gives libsfml_2.6.2+dfsg.orig.tar.xz the SHA-256 ")):
            with self.subTest(named=named), tempfile.TemporaryDirectory() as folder:
                tarball = os.path.join(folder, "libsfml_2.6.2+dfsg.orig.tar.xz")
                with open(tarball, "w") as f:
                    f.write("not SFML\n")
                script = ('. "$1" && read -r p t sha f <<<"$SFML2_SOURCE"'
                          ' && fetch_sources "$2" "$p $t ${3:-$sha} $f"'
                          ' && sha256sum "$2/$t" | grep -q "^$sha "')
                result = subprocess.run(["bash", "-c", script, "sh", lib, folder, named],
                                        capture_output=True, text=True, timeout=300,
                                        stdin=subprocess.DEVNULL)
                self.assertIn(said, result.stderr)
                self.assertEqual(result.returncode, 1 if named else 0, result.stderr)
                self.assertEqual(os.path.exists(tarball), not named, os.listdir(folder))
                self.assertFalse(os.path.exists(tarball + ".part"))

    def test_scripts_name_what_is_missing_on_a_system_without_apt(self):
        # Only cmake on PATH, and a Python without the system's modules
        # (python3 -S) or with them.
        lib = os.path.join(SOURCE_DIR, "scripts", "lib.sh")
        script = ('. "$1" && ln -s "$(command -v cmake)" "$(command -v basename)" "$2"'
                  ' && python=$3 && python_for_tests() { echo "$python"; } && PATH=$2'
                  ' && install_packages cmake g++ python3-pil python3-numpy')
        for python, named in (("bare", "g++ python3-pil python3-numpy"),
                              ("/usr/bin/python3", "g++")):
            with self.subTest(python=python), tempfile.TemporaryDirectory() as bin_dir:
                if python == "bare":
                    python = os.path.join(bin_dir, "python3")
                    with open(python, "w") as f:
                        f.write('#!/bin/sh\nexec /usr/bin/python3 -S "$@"\n')
                    os.chmod(python, 0o755)
                result = subprocess.run(["bash", "-c", script, "sh", lib, bin_dir, python],
                                        capture_output=True, text=True, timeout=60)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertRegex(result.stderr, "^sh: not a Debian or Ubuntu system: .* run me "
                                 f"again: {re.escape(named)}$")

    @unittest.skipUnless(os.geteuid() == 0, "needs root to make folders of root's for nobody")
    def test_scripts_name_a_build_folder_they_cannot_write(self):
        # nobody's clone with the build folder an earlier sudo left, and a
        # clone nobody cannot write.
        nobody = pwd.getpwnam("nobody")
        for owner, said in ((nobody, 'cannot write to {0}/build: it belongs to root, not to you '
                             '(nobody), as an earlier run with sudo leaves it; give the build '
                             'folder back with: sudo chown -R nobody: "{0}/build"'),
                            (pwd.getpwnam("root"), "cannot write the build folder {0}/build (a "
                             "read-only checkout, or a folder of another user's): run from a "
                             "copy")):
            with self.subTest(owner=owner.pw_name), tempfile.TemporaryDirectory() as clone:
                if owner is nobody:
                    os.makedirs(os.path.join(clone, "build", "release"))
                shutil.copytree(os.path.join(SOURCE_DIR, "scripts"),
                                os.path.join(clone, "scripts"))
                os.chown(clone, owner.pw_uid, owner.pw_gid)
                os.chmod(clone, 0o755)
                result = subprocess.run(
                    ["setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}",
                     "--clear-groups", "bash", "-c",
                     ". scripts/lib.sh && configure_and_build release"], cwd=clone,
                    capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(said.format(clone), result.stderr)

    def test_configure_without_sfml_says_what_to_install(self):
        with tempfile.TemporaryDirectory() as tmp:
            result = configure(os.path.join(tmp, "build"), os.path.join(tmp, "empty"))
            self.assertNotEqual(result.returncode, 0)
            self.assertIn("none was found", result.stderr)
            self.assertIn("libsfml-dev", result.stderr)

