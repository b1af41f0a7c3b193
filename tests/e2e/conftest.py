"""Fixtures of the black-box suite: the built programs, and the daemons,
Wardens and fakes a test starts, stopped and checked at its end."""

import contextlib
import os
import shutil
import tempfile

import pytest

from suite import CLAMD, Daemon, FakeClamd, Suite, Warden, run, sanitizer_report
from wire import Error, ToWarden


@pytest.fixture(scope="session")
def clamd_path():
    if not os.path.exists(CLAMD):
        pytest.fail("vemra-clamd is not built: " + CLAMD)
    return CLAMD


@pytest.fixture(scope="session")
def version(clamd_path):
    """As "vemra-clamd --version" prints it."""
    return run([clamd_path, "--version"]).stdout.split()[1]


@contextlib.contextmanager
def daemons():
    """Starts vemra-clamd under the scripted Warden (suite.Daemon) and takes
    its first request; at the end stops those still running and checks how
    they ended."""
    started = []

    def start(**kw):
        started.append(Daemon(**kw))
        # Sent once the signal handlers are armed.
        started[-1].link.expect(ToWarden.GET_CONFIG_REQUEST)
        return started[-1]
    yield start
    problems = []
    for d in started:
        try:
            # A daemon the test left running must still end cleanly.
            if d.stderr is None and d.stop() != Error.EC_APP_TERMINATED:
                problems.append("exit status %s on SIGTERM" % d.proc.returncode)
            problems += filter(None, [d.sanitizer_report()])
        finally:
            d.kill()
            shutil.rmtree(d.dir, ignore_errors=True)
    assert not problems, problems


@pytest.fixture
def daemon(clamd_path):
    with daemons() as start:
        yield start


@pytest.fixture(scope="module")
def module_daemon(clamd_path):
    """One for the tests of a module that can share it."""
    with daemons() as start:
        yield start


@pytest.fixture
def wardens():
    """Starts vemra-warden (suite.Warden); at the end kills what is left of
    it and its children, and checks their log for sanitizer reports."""
    started = []

    def start(*a, **kw):
        started.append(Warden(*a, **kw))
        return started[-1]
    yield start
    for w in started:
        w.cleanup()
    assert not list(filter(None, (sanitizer_report(w.log()) for w in started)))


@pytest.fixture
def suites():
    """Starts the real suite (suite.Suite; close: what its close is told);
    at the end closes each, which checks its log for sanitizer reports."""
    started = []

    def start(close=None, **kw):
        started.append((Suite(**kw), close or {}))
        return started[-1][0]
    yield start
    for s, close in started:
        s.close(**close)


@pytest.fixture
def services():
    """Starts services (a suite.Service subclass, then its arguments) in a
    short private directory (Unix socket paths are limited to 107 bytes;
    pytest's tmp_path can be longer); at the end stops them and checks that
    each ended cleanly and took its socket with it."""
    directory = tempfile.mkdtemp(prefix="vs", dir="/tmp")
    started = []

    def start(kind, *a, **kw):
        started.append(kind(directory, *a, **kw))
        return started[-1]
    yield start
    for service in reversed(started):
        rc, log = service.finish()
        assert rc == 0 and not sanitizer_report(log) and not os.path.exists(service.path), log
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def fake(tmp_path):
    return FakeClamd(tmp_path)
