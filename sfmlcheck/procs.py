"""Waiting for conditions, and the processes the checker starts: each one
stopped by its PID, and none outliving the process that started it."""

import ctypes
import re
import signal
import subprocess
import time

POLL_INTERVAL = 0.02


class Timeout(Exception):
    """A condition did not come about in time."""


def wait_for(condition, timeout, what):
    """Return condition()'s first true value, polling until timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Timeout(f"gave up after {timeout} s waiting for {what}")
        time.sleep(POLL_INTERVAL)


_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def die_with_parent():
    """Runs in each child before exec: should the process that started it be
    killed, the kernel ends the child too, so no server outlives it."""
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)


def spawn(argv, **kwargs):
    """Start a process that ends when the one that started it does."""
    return subprocess.Popen(argv, stdin=subprocess.DEVNULL, preexec_fn=die_with_parent,
                            **kwargs)


def stop_process(proc, grace=5):
    """Stop one process by its PID: politely first, then for good."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def resident_kib(pid, field="VmRSS"):
    """The process's resident memory in KiB: now, or its peak with VmHWM."""
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(rf"^{field}:\s+(\d+) kB", status.read(), re.M).group(1))
