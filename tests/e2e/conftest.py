"""Fixtures of the black-box suite: the built programs, and the daemons,
Wardens and fakes a test starts, stopped and checked at its end."""

import os
import shutil
import tempfile

import pytest

from suite import CLAMD, Daemon, FakeClamd, Service, Suite, Warden, run


@pytest.fixture(scope="session")
def clamd_path():
    if not os.path.exists(CLAMD):
        pytest.fail("vemra-clamd is not built: " + CLAMD)
    return CLAMD


@pytest.fixture(scope="session")
def version(clamd_path):
    """As "vemra-clamd --version" prints it."""
    return run([clamd_path, "--version"]).stdout.split()[1]


def starting(make, close):
    """The body of a fixture that starts things: yields a function that
    starts one with make; at the end closes each, the last first, with
    close, which returns what went wrong ("" when nothing did)."""
    started = []

    def start(*a, **kw):
        started.append(make(*a, **kw))
        return started[-1]
    yield start
    problems = [close(thing) for thing in reversed(started)]
    assert not any(problems), problems


@pytest.fixture
def daemon(clamd_path):
    """Starts vemra-clamd under the scripted Warden (suite.Daemon); at the
    end stops those still running and checks how they ended."""
    yield from starting(Daemon, Daemon.close)


@pytest.fixture(scope="module")
def module_daemon(clamd_path):
    """One for the tests of a module that can share it."""
    yield from starting(Daemon, Daemon.close)


@pytest.fixture
def wardens():
    """Starts vemra-warden (suite.Warden); at the end kills what is left of
    it and its children, and checks their log for sanitizer reports."""
    yield from starting(Warden, Warden.close)


@pytest.fixture
def suites():
    """Starts the real suite (suite.Suite); at the end closes each, which
    checks its log for sanitizer reports."""
    yield from starting(Suite, Suite.close)


@pytest.fixture
def services():
    """Starts services (a suite.Service subclass, then its arguments) in a
    short private directory (Unix socket paths are limited to 107 bytes;
    pytest's tmp_path can be longer); at the end stops them and checks that
    each ended cleanly and took its socket with it."""
    directory = tempfile.mkdtemp(prefix="vs", dir="/tmp")
    yield from starting(lambda kind, *a, **kw: kind(directory, *a, **kw), Service.close)
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def fake(tmp_path):
    return FakeClamd(tmp_path)
