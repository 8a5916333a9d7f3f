"""The Debian package, as a fleet gets it: made with scripts/package in each
release it is for, checked by lintian there, then installed by the fleet
playbook with Ansible in fresh roots of Debian 12 and 13, where
sfml-works-check runs as a normal user, headless, or on a host's own display
(a session started here); beside them a host whose graphics are broken on
purpose and one that cannot be reached. The table, the JSON
and the JUnit reports are read back by parsing them; the package is removed
as cleanly as it came."""

import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

from sfmlcheck.verdict import Step
from suite import XSession

SOURCE_DIR = os.environ["SFML_WORKS_SOURCE_DIR"]
SCRIPTS = os.path.join(SOURCE_DIR, "scripts")
FLEET = os.path.join(SOURCE_DIR, "fleet")
CHROOT = os.path.join(SOURCE_DIR, "tests", "support", "mounted-chroot")
ROOTS = os.path.join(SOURCE_DIR, "build", "debian")
TIMEOUT = 3000
USER = "checker"
# What the package holds, at least, and what it must not.
HOLDS = ("./usr/bin/sfml-works", "./usr/bin/sfml-works-check",
         "./usr/share/sfml-works/sfmlcheck/run.py", "./usr/share/doc/sfml-works/copyright",
         "./usr/share/doc/sfml-works/changelog.gz", "./usr/share/man/man1/sfml-works-check.1.gz")
# What the checker runs, which no library dependency brings.
TOOLS = {"python3-numpy", "python3-pil", "xvfb", "openbox", "x11-utils", "wmctrl",
         "imagemagick", "mesa-utils", "libgl1-mesa-dri"}
PRIVATE_COUNTER = r"\./usr/lib/[^/]+/sfml-works/libframe-counter\.so\n"

# Stands for the display of the desk host's own session, started by the test.
DESK_DISPLAY = "the desk's display"
# The fleet's hosts: name, the release whose bare root it is a copy of, its
# inventory settings, and what its row must say: verdict, failure, SFML.
HOSTS = (
    ("debian-12", "bookworm", {}, ("OK", "-", r"2\.5\.\d+")),
    ("debian-13", "trixie", {}, ("OK", "-", r"2\.6\.\d+")),
    # A person's session with openbox: checked there, and closed (--close).
    ("desk", "trixie", {"sfml_works_display": DESK_DISPLAY}, ("OK", "-", r"2\.6\.\d+")),
    # Mesa asked for a driver it does not have: the server loses GLX with it.
    ("broken", "bookworm", {"sfml_works_environment": {"GALLIUM_DRIVER": "nosuchdriver"}},
     ("FAILED", "no-glx", r"2\.5\.\d+")),
    ("gone", None, {}, ("UNREACHABLE", "-", "-")),
)


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=TIMEOUT, **kwargs)


def said(result):
    return (result.stdout + result.stderr)[-4000:]


def closed_port():
    """A port of this machine's loopback nobody listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def add_user(root):
    """A normal user in a root that has no useradd, as useradd makes one."""
    for path, line in (("etc/passwd", f"{USER}:x:1000:1000::/home/{USER}:/bin/bash"),
                       ("etc/group", f"{USER}:x:1000:"), ("etc/shadow", f"{USER}:!:20000::::::")):
        with open(os.path.join(root, path), "a") as f:
            f.write(line + "\n")
    os.makedirs(os.path.join(root, "home", USER))
    os.chown(os.path.join(root, "home", USER), 1000, 1000)


def inventory(hosts_dir, desk_display):
    lines = ["all:", "  hosts:"]
    for name, release, settings, _ in HOSTS:
        settings = {key: desk_display if value == DESK_DISPLAY else value
                    for key, value in settings.items()}
        host = (dict(ansible_host=os.path.join(hosts_dir, name)) if release else
                dict(ansible_connection="ssh", ansible_host="127.0.0.1",
                     ansible_port=closed_port()))
        lines.append(f"    {name}: {json.dumps({**host, **settings})}")
    common = dict(ansible_connection="community.general.chroot", ansible_chroot_exe=CHROOT,
                  ansible_become_method="su", sfml_works_user=USER)
    lines += ["  vars:"] + [f"    {key}: {json.dumps(value)}" for key, value in common.items()]
    return "\n".join(lines) + "\n"


@unittest.skipUnless(os.geteuid() == 0, "Ansible's chroot connection and the roots need root")
@unittest.skipUnless(shutil.which("ansible-playbook"), "Ansible is not installed (package ansible)")
class PackageTest(unittest.TestCase):
    def test_fleet_installs_and_checks(self):
        with tempfile.TemporaryDirectory(prefix="sfml-works-fleet.") as tmp:
            packages, hosts_dir = os.path.join(tmp, "packages"), os.path.join(tmp, "hosts")
            for release in sorted({release for _, release, _, _ in HOSTS if release}):
                with self.subTest(make=release):
                    self.make_package(release, os.path.join(packages, release))
                result = run([os.path.join(SCRIPTS, "debian"), "--bare", release, "true"])
                self.assertEqual(result.returncode, 0, said(result))
            for name, release, _, _ in HOSTS:
                if release:
                    os.makedirs(hosts_dir, exist_ok=True)
                    result = run(["cp", "-a", os.path.join(ROOTS, f"{release}-bare"),
                                  os.path.join(hosts_dir, name)])
                    self.assertEqual(result.returncode, 0, said(result))
                    add_user(os.path.join(hosts_dir, name))
            results = os.path.join(tmp, "results")
            # The roots share this machine's abstract X sockets: the desk host
            # reaches a display started here as its own.
            with XSession() as desk:
                with open(os.path.join(tmp, "inventory.yml"), "w") as f:
                    f.write(inventory(hosts_dir, desk.display))
                play = run(["ansible-playbook", "-i", os.path.join(tmp, "inventory.yml"),
                            os.path.join(FLEET, "check.yml"),
                            "-e", f"sfml_works_packages={packages}",
                            "-e", f"sfml_works_results={results}"],
                           env=dict(os.environ, ANSIBLE_CONFIG=os.path.join(FLEET, "ansible.cfg")))
            print(play.stdout[-6000:])
            self.check_fleet(play, results, desk.display)
            self.check_host(os.path.join(hosts_dir, "debian-13"))

    def make_package(self, release, into):
        result = run([os.path.join(SCRIPTS, "debian"), "--tests", "--clone", release,
                      "scripts/package"])
        self.assertEqual(result.returncode, 0, said(result))
        inside = result.stdout.strip().splitlines()[-1]
        self.assertRegex(inside, r"^/srv/sfml-works/build/release/sfml-works_[^/]+\.deb$")
        os.makedirs(into)
        deb = shutil.copy(os.path.join(ROOTS, release, inside.lstrip("/")), into)
        listing = run(["dpkg-deb", "--contents", deb]).stdout
        paths = "".join(line.split()[5] + "\n" for line in listing.splitlines())
        for path in HOLDS:
            self.assertIn(path + "\n", paths)
        self.assertRegex(paths, PRIVATE_COUNTER)
        self.assertNotRegex(paths, r"\.pyc\n|__pycache__")
        depends = run(["dpkg-deb", "--field", deb, "Depends"]).stdout
        names = {d.split()[0] for d in depends.strip().split(", ")}
        self.assertLessEqual(TOOLS, names, depends)
        self.assertRegex(depends, r"\blibsfml-graphics2\.[56]\b")

    def check_fleet(self, play, results, desk_display):
        hosts = [name for name, _, _, _ in HOSTS]
        # A failed check and an unreachable host are rows, not a failed play.
        self.assertEqual(play.returncode, 0, said(play))
        self.assertNotRegex(play.stdout, r"fatal: \[(?!gone\])", said(play))
        for name, _, _, (verdict, failure, sfml) in HOSTS:
            self.assertRegex(play.stdout, rf"\n *{name} +{verdict} +{failure} +{sfml} ", name)
        self.assertRegex(play.stdout, r"3 OK, 1 FAILED, 1 UNREACHABLE of 5 hosts")
        verdicts = {}
        for name in ("debian-12", "debian-13", "desk", "broken"):
            with open(os.path.join(results, f"{name}.json")) as f:
                verdict = verdicts[name] = json.load(f)
            self.assertEqual(verdict["schema"], 1)
            if verdict["verdict"] == "OK":
                self.assertTrue(verdict["renderer"])
                self.assertGreater(verdict["frames_per_second"], 0)
        self.assertEqual((verdicts["desk"]["display"], verdicts["desk"]["window_manager"]),
                         (desk_display, "Openbox"))
        fleet = ElementTree.parse(os.path.join(results, "fleet.xml")).getroot()
        suites = fleet.findall("testsuite")
        self.assertEqual([s.get("name").split(":")[0] for s in suites], hosts)
        by_host = {s.get("name").split(":")[0]: s for s in suites}
        for name in ("debian-12", "debian-13", "desk"):
            self.assertEqual([c.get("name") for c in by_host[name].iter("testcase")],
                             [step.title for step in Step])
            self.assertIsNone(by_host[name].find("testcase/failure"))
        self.assertEqual(by_host["broken"].find("testcase/failure").get("type"), "no-glx")
        self.assertEqual(by_host["gone"].find("testcase/error").get("type"), "UNREACHABLE")
        self.assertEqual(fleet.get("tests"), str(4 * len(Step) + 1))
        self.assertEqual((fleet.get("failures"), fleet.get("errors")), ("1", "1"))

    def check_host(self, root):
        """The installed command as a user runs it by hand, then the removal."""
        chroot = [CHROOT, root]
        result = run([*chroot, "runuser", "-u", USER, "--", "sfml-works-check", "--headless",
                      "--json", "-"])
        self.assertEqual(result.returncode, 0, said(result))
        self.assertEqual(json.loads(result.stdout)["verdict"], "OK")
        self.assertRegex(result.stderr, rf"OK: .*; verdict in /home/{USER}/\.local/state/"
                         r"sfml-works/runs/[^/]+/sfml-works-verdict\.json\.\n$")
        result = run([*chroot, "apt-get", "purge", "-y", "-q", "sfml-works"])
        self.assertEqual(result.returncode, 0, said(result))
        for path in ("usr/bin/sfml-works-check", "usr/share/sfml-works", "usr/share/doc/sfml-works"):
            self.assertFalse(os.path.lexists(os.path.join(root, path)), path)
        self.assertFalse([line for line in run([*chroot, "dpkg", "-l", "sfml-works"]).stdout
                          .splitlines() if re.match(r"^[a-z][a-zA-Z] +sfml-works ", line)])


if __name__ == "__main__":
    unittest.main()
