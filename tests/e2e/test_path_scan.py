"""SCAN, CONTSCAN, MULTISCAN and ALLMATCHSCAN through the real suite (Warden, the
daemon and Sieve), from a raw client and from Debian's clamdscan."""

import os
import signal

import pytest

from suite import Suite, clamdscan, listening_tcp, read


@pytest.fixture(scope="module")
def suite():
    s = Suite()
    yield s
    assert not s.close()


def lines(reply, terminator=b"\n"):
    return sorted(reply.split(terminator)[:-1])


def infected(tree):
    """The result lines of the two threats in FILES' tree."""
    return {"%s/%s: EICAR-Test-File FOUND" % (tree, name) for name in ("b/eicar.com", "c/e.zip")}


@pytest.mark.parametrize("word", ["SCAN", "MULTISCAN", "CONTSCAN", "ALLMATCHSCAN"])
@pytest.mark.parametrize("name, result", [
    ("clean.txt", b"OK"), ("eicar.com", b"EICAR-Test-File FOUND"),
    ("member.zip", b"EICAR-Test-File FOUND"), ("missing", b"File not found. ERROR")])
def test_one_file(suite, word, name, result):
    path = suite.path(name).encode()
    for prefix, t in ((b"n", b"\n"), (b"z", b"\0"), (b"", b"\n")):
        reply = suite.ask(prefix + word.encode() + b" " + path + (t if prefix else b""))
        assert reply == b"%s: %s%s" % (path, result, t), prefix


def test_scan_stops_at_the_first_threat_and_allmatchscan_finds_every_one(suite):
    # MULTISCAN and CONTSCAN over a tree are the clamdscan tests' below.
    tree = suite.path("tree")
    got = [line.decode() for line in lines(suite.ask(b"nSCAN %s\n" % tree.encode()))]
    assert len(got) == 1 and got[0] in infected(tree), got
    two = suite.path("two.zip").encode()
    assert suite.ask(b"nALLMATCHSCAN %s\n" % two) == b"%s: EICAR-Test-File FOUND\n%s: Vemra-Test-Joke FOUND\n" % (two, two)


def test_session_numbers_each_scan(suite):
    clean, eicar = (suite.path(n).encode() for n in ("clean.txt", "eicar.com"))
    reply = suite.ask(b"zIDSESSION\0zPING\0zSCAN %s\0zCONTSCAN %s\0zEND\0" % (clean, eicar))
    assert lines(reply, b"\0") == sorted([b"1: PONG", b"2: %s: OK" % clean, b"3: %s: EICAR-Test-File FOUND" % eicar])


# clamdscan sends CONTSCAN by default and with --allmatch, which report both
# infected files of the tree; MULTISCAN ends a directory at its first threat.
# --stream and --fdpass send each file's data through INSTREAM and FILDES.
@pytest.mark.parametrize("mode, count", [([], 2), (["--multiscan"], 1), (["--allmatch"], 2),
                                         (["--stream"], 2), (["--fdpass"], 2)])
def test_clamdscan_counts_infected_files(suite, mode, count, tmp_path):
    tree = suite.path("tree")
    r = clamdscan(tmp_path, mode + [tree, suite.path("clean.txt")], suite.sock)
    assert r.returncode == 1, r.stdout + r.stderr
    assert len(infected(tree) & set(r.stdout.splitlines())) == count, r.stdout
    assert "Infected files: %d\n" % count in r.stdout and "%s: OK" % suite.path("clean.txt") in r.stdout, r.stdout


def test_services_switched_off_are_reported_without_reading_the_request(suites):
    s = suites(sieve="no", courier="no")
    assert s.ask(b"nSCAN /nonexistent\n") == b"scan: ERROR Sieve is not installed\n"
    assert s.ask(b"zCONTSCAN\0") == b"UNKNOWN COMMAND\0"
    assert s.ask(b"zINSTREAM\0") == b"scan: ERROR Courier Courier is not available [vx.Error:123]\0"
    # Nor does Warden serve metrics unless told where.
    assert listening_tcp(s.warden.proc.pid) == set()


def test_sieve_gone_ends_only_that_client(suites):
    # Warden brings Sieve back only after a long delay, so the scan below
    # finds it gone.
    s = suites(warden="RestartDelay = 10m")
    assert s.ask(b"nSCAN %s\n" % s.path("clean.txt").encode()) == b"%s: OK\n" % s.path("clean.txt").encode()
    with s.connect() as idle:
        idle.sendall(b"zIDSESSION\0")
        os.kill(s.pid_of("Sieve"), signal.SIGKILL)
        s.warden.wait_log(r"Warden: .*ended with")
        assert s.ask(b"nSCAN %s\n" % s.path("eicar.com").encode()) == b""
        # The daemon and its other clients go on.
        idle.sendall(b"zPING\0")
        assert read(idle, b"\0") == b"1: PONG\0"
    assert s.ask(b"zPING\0") == b"PONG\0"
    assert "Error: Sieve is not available: connect: Connection refused [system:111]" in s.warden.log()
