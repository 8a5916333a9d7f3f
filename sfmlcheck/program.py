"""The program under test, started on a session's display with the frame
counter preloaded, and the one reader of the counter's file.

The counter (tools/frame_counter.cpp) wraps the buffer swap, so every frame
the program presents is seen without changing the program. Its file holds
five little-endian 64-bit values: frames presented, the wall-clock times in
nanoseconds of the first and the latest of them, and two capture numbers.
While the second (done) is below the first (requested), it reads back at each
swap the frame the program has just drawn, into the same path with ".DONE.ppm"
added, and adds one to done: raising requested by N asks for N frames in a row.
"""

import glob
import os
import pwd
import shutil
import struct
import tempfile
from typing import NamedTuple

from .procs import resident_kib

_LAYOUT = struct.Struct("<5Q")
_REQUESTED = 3 * 8  # where the capture request sits in the file
# More resident memory than this is a driver running away: the program needs
# less than 100 MiB, a sanitized build a few hundred.
RUNAWAY_MIB = 2048


class Count(NamedTuple):
    frames: int = 0
    first_ns: int = 0
    last_ns: int = 0
    requested: int = 0
    done: int = 0


class Counter:
    """The frame counter's file at path; all zeros before it is loaded."""

    def __init__(self, path):
        self.path = path

    def read(self):
        try:
            with open(self.path, "rb") as f:
                data = f.read(_LAYOUT.size)
        except FileNotFoundError:
            return Count()
        return Count(*_LAYOUT.unpack(data)) if len(data) == _LAYOUT.size else Count()

    def request_captures(self, count):
        """Ask for the next count frames drawn, one after the other; returns
        their numbers."""
        done = self.read().done
        with open(self.path, "r+b") as f:
            f.seek(_REQUESTED)
            f.write(struct.pack("<Q", done + count))
        return range(done, done + count)

    def capture_path(self, number):
        return f"{self.path}.{number}.ppm"


def frames_per_second(before, after):
    """Frames presented between two counts, over the time between their swaps."""
    if after.last_ns <= before.last_ns:
        return 0.0
    return (after.frames - before.frames) * 1e9 / (after.last_ns - before.last_ns)


def linked(library, folder):
    """A link to library in folder, for LD_PRELOAD: the loader splits that at
    spaces, which the path of a checkout may hold, and a temporary folder's
    does not."""
    link = os.path.join(folder, os.path.basename(library))
    os.symlink(os.path.abspath(library), link)
    return link


def sanitizer_env(env, preload=(), sanitized=False):
    """env for running the program, with preload added to LD_PRELOAD, and
    what a sanitizer build needs to run among preloads."""
    env = dict(env)
    preload = [*preload, *env.get("LD_PRELOAD", "").split()]
    if sanitized:
        # Preloads go ahead of the sanitizer runtime. Mesa unloads its driver
        # when the display closes, which turns the driver's live allocations
        # into leaks from an unknown module; preloading the driver keeps it,
        # and them, in place until exit. A crash is left to end the process
        # with its signal, as it does in any other build.
        preload += glob.glob("/usr/lib/*/dri/swrast_dri.so")[:1]
        env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=1:handle_segv=0"
        env["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
    env["LD_PRELOAD"] = " ".join(preload)
    return env


class Program:
    """The program, started on session's display by session.spawn, its
    output kept in files, its frames counted by the counter at counter_lib."""

    def __init__(self, session, binary, counter_lib, args=(), env=None, preload=(),
                 wrapper=(), sanitized=False, user=None):
        self.session = session
        # The session's folder has no space in its path (see linked).
        self.folder = tempfile.mkdtemp(prefix="program-", dir=session.tmp)
        self.counter = Counter(os.path.join(self.folder, "frames"))
        self.stdout_path = os.path.join(self.folder, "stdout")
        self.stderr_path = os.path.join(self.folder, "stderr")
        libraries = (counter_lib, *preload)
        if user:
            # Another user reads nothing of this one's but copies in the
            # program's folder, which becomes theirs, as do its frame files.
            binary, *preload = (shutil.copy(path, self.folder) for path in (binary, *libraries))
            entry = pwd.getpwnam(user)
            os.chmod(session.tmp, 0o711)
            os.chown(self.folder, entry.pw_uid, entry.pw_gid)
        else:
            preload = [linked(lib, self.folder) for lib in libraries]
        program_env = sanitizer_env(session.env if env is None else env, preload, sanitized)
        if user:
            # The preloads go to the program, not to setpriv: the counter
            # makes its file as it loads, and it must be the user's.
            wrapper = ("setpriv", f"--reuid={entry.pw_uid}", f"--regid={entry.pw_gid}",
                       "--clear-groups", "env", f"LD_PRELOAD={program_env.pop('LD_PRELOAD')}",
                       *wrapper)
        program_env["FRAME_COUNTER_FILE"] = self.counter.path
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = session.spawn([*wrapper, binary, *args], env=program_env,
                                      stdout=out, stderr=err)

    def frames(self):
        """Frames presented so far."""
        return self.counter.read().frames

    def running(self):
        return self.proc.poll() is None

    def ran_away(self):
        """Whether the program is running and holds more than RUNAWAY_MIB of
        memory, as Mesa's indirect GLX does now and then on a server whose
        indirect contexts give no OpenGL: it fills gigabytes of texture
        coordinate state for a garbage count of texture units."""
        try:
            return self.running() and resident_kib(self.proc.pid) > RUNAWAY_MIB * 1024
        except (OSError, AttributeError):
            return False  # gone meanwhile

    def stdout(self):
        with open(self.stdout_path, "rb") as out:
            return out.read().decode(errors="replace")

    def stderr(self):
        with open(self.stderr_path, "rb") as err:
            return err.read().decode(errors="replace")
