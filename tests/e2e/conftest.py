"""Shared fixtures of the black-box suite: where the built programs and the
generated protobuf modules are, and small helpers to wait for conditions
with a deadline."""

import os
import socket
import subprocess
import sys
import time

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(os.environ.get("VEMRA_BUILD_DIR", os.path.join(REPO, "build")))
CLAMD = os.path.join(BUILD, "app", "vemra-clamd")

sys.path.insert(0, os.path.join(BUILD, "proto", "python"))

# Generous: only a hung process ever waits this long.
DEADLINE = 20.0


def wait_for(condition, timeout=DEADLINE, what="condition"):
    """Polls condition() until it returns a true value or the deadline passes."""
    end = time.monotonic() + timeout
    delay = 0.005
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(delay)
        delay = min(delay * 2, 0.1)


def wait_idle(proc):
    """Waits until the process sleeps (blocked in its event loop) or ends."""
    def idle():
        if proc.poll() is not None:
            return True
        try:
            with open("/proc/%d/stat" % proc.pid) as f:
                # The state follows the parenthesised command name.
                return f.read().rsplit(")", 1)[1].split()[0] == "S"
        except FileNotFoundError:
            return True
    wait_for(idle, what="process to wait in its event loop")


@pytest.fixture(scope="session")
def clamd_path():
    if not os.path.exists(CLAMD):
        pytest.fail("vemra-clamd is not built: " + CLAMD)
    return CLAMD


def clean_env(**extra):
    """The environment without the variables that change the daemon's mode."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("COM_VEMRA_")}
    env.update(extra)
    return env


class Supervised:
    """vemra-clamd started the way the supervisor starts it: one end of a
    socketpair in COM_VEMRA_MONITOR; the test holds the other end."""

    def __init__(self, path, env_extra=None, extra_fds=(), preexec_fn=None):
        self.parent, child = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        fd = child.fileno()
        env = clean_env(COM_VEMRA_MONITOR=str(fd), **(env_extra or {}))
        self.proc = subprocess.Popen(
            [path], env=env, pass_fds=(fd,) + tuple(extra_fds),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=preexec_fn)
        child.close()

    def finish(self, timeout=DEADLINE):
        out, err = self.proc.communicate(timeout=timeout)
        self.parent.close()
        return self.proc.returncode, out.decode(), err.decode()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()
        self.parent.close()


@pytest.fixture
def daemon(clamd_path):
    """Starts vemra-clamd with listening endpoints under the scripted
    supervisor (clamd_daemon.Daemon), each in its own short directory; at
    the end of the test stops those still running and checks how they
    ended."""
    import shutil
    from clamd_daemon import Daemon, short_dir
    started = []

    def start(**kw):
        d = Daemon(clamd_path, short_dir(), **kw)
        started.append(d)
        return d
    yield start
    problems = []
    for d in started:
        try:
            # A daemon the test left running must still end cleanly.
            if not d.finished:
                rc = d.stop()
                if rc != 107:
                    problems.append("exit status %s on SIGTERM" % rc)
            if d.sanitizer_report():
                problems.append(d.sanitizer_report())
        finally:
            d.kill()
            shutil.rmtree(d.dir, ignore_errors=True)
    assert not problems, problems
