"""The clamd commands that need no scanning, over Unix-domain and TCP endpoints:
exact replies, sessions, the read timeout, SHUTDOWN, and Debian's clamdscan."""

import contextlib
import datetime
import os
import re
import socket
import time

import pytest

from suite import clamdscan, endpoint, exchange, read, wait_for

# The daemon runs in a zone five and a half hours east of UTC, so a reply
# stamped with UTC (or with the test machine's zone) cannot pass for local.
ZONE = "VCT-5:30"
ZONE_OFFSET = datetime.timedelta(hours=5, minutes=30)
SHORT_TIMEOUT_MS = 500

COMMANDS = (b"SCAN RELOAD PING CONTSCAN VERSIONCOMMANDS VERSION STREAM END "
            b"SHUTDOWN MULTISCAN FILDES STATS IDSESSION INSTREAM ALLMATCHSCAN")
# Names of days and months are checked by parsing the date.
VERSION_RE = re.compile(
    rb"ClamAV (\d+\.\d+\.\d+/\d{10})/(\w{3} \w{3} (?:[ 12]\d|3[01]) \d\d:\d\d:\d\d \d{4}) \(Vemra ClamD\)")
# Stands for the version text in the expected replies below.
V = b"<version>"


@pytest.fixture(scope="module")
def served(module_daemon):
    """A Unix-domain and a TCP endpoint with a long read timeout, and one of each with a short one."""
    d = module_daemon(env={"TZ": ZONE})
    eps = {f + s: endpoint(f, d.dir, tag=f + s, name=f + s, read_timeout=SHORT_TIMEOUT_MS if s else None)
           for f in ("unix", "tcp") for s in ("", "-short")}
    d.apply(eps.values())
    fd_dir = "/proc/%d/fd" % d.proc.pid
    before = len(os.listdir(fd_dir))
    yield eps
    # Every client gone, no descriptor is left over (one held for a moment at
    # the start, such as a file read for its own information, may be gone).
    wait_for(lambda: len(os.listdir(fd_dir)) <= before, "the daemon to release every client descriptor")


@pytest.fixture(params=["unix", "tcp"])
def ep(request, served):
    return served[request.param]


@pytest.fixture(scope="module")
def program_version(version):
    # "1.0.0.2612061542" is "1.0.0/2612061542" in the reply.
    return "/".join(version.rsplit(".", 1)).encode()


def check_versions(reply, program_version):
    """reply with each version text, checked to name this program and local time now, as V."""
    def one(m):
        assert m.group(1) == program_version
        stamp = datetime.datetime.strptime(m.group(2).decode(), "%a %b %d %H:%M:%S %Y")
        now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None) + ZONE_OFFSET
        # Generous: only a clock in the wrong zone is hours away.
        assert abs(stamp - now) < datetime.timedelta(minutes=10), (m.group(0), now)
        return V
    return VERSION_RE.sub(one, reply)


def simple_cases():
    for p, t in (("n", b"\n"), ("z", b"\0"), ("", b"\n")):
        unknown = b"UNKNOWN COMMAND" + t
        replies = {
            "PING": b"PONG" + t, "VERSION": V + t, "RELOAD": b"RELOADING" + t, "SHUTDOWN": b"",
            # Unprefixed, only the oldest commands are known.
            "VERSIONCOMMANDS": V + b"| COMMANDS: " + COMMANDS + t if p else unknown,
            "STATS": b"Statistic is not available\nEND" + t if p else unknown,
            "PING ": unknown, "ping": unknown, "HELLO": unknown, "END": unknown,
        }
        for command, reply in replies.items():
            name = (p or "bare") + "-" + command.replace(" ", "-space")
            yield pytest.param(p.encode() + command.encode() + t, reply, id=name)
    yield pytest.param(b"IDSESSION\n", b"UNKNOWN COMMAND\n", id="bare-IDSESSION")
    # Outside a session a connection carries one command only.
    yield pytest.param(b"nPING\nnPING\n", b"PONG\n", id="n-two-commands")
    yield pytest.param(b"PING", b"PONG\n", id="bare-PING-unterminated")
    yield pytest.param(b"\n", b"UNKNOWN COMMAND\n", id="bare-empty")


@pytest.mark.parametrize("request_bytes,reply", simple_cases())
def test_one_command_one_reply_then_close(ep, program_version, request_bytes, reply):
    assert check_versions(ep.ask(request_bytes), program_version) == reply


# The commands of a session after IDSESSION, with their replies less the terminator.
SESSION = [(b"PING", b"1: PONG"), (b"VERSION", b"2: " + V), (b"STATS", b"3: Statistic is not available\nEND"),
           (b"VERSIONCOMMANDS", b"4: " + V + b"| COMMANDS: " + COMMANDS), (b"PING", b"5: PONG")]
TERMINATORS = {"n": b"\n", "z": b"\0"}


# Each command picks its own terminator, whatever opened the session.
@pytest.mark.parametrize("opener,prefix", [("n", "n"), ("z", "z"), ("z", "n")], ids=["n", "z", "z-then-n"])
def test_session_replies_are_numbered_and_end_closes(ep, program_version, opener, prefix):
    p, t = prefix.encode(), TERMINATORS[prefix]
    with ep.connect() as s:
        s.sendall(opener.encode() + b"IDSESSION" + TERMINATORS[opener])
        for word, reply in SESSION:
            s.sendall(p + word + t)
            # The version text has no fixed length: read to the terminator
            # (STATS carries a newline inside its one reply).
            got = read(s, t)
            if word == b"STATS" and t == b"\n":
                got += read(s, t)
            assert check_versions(got, program_version) == reply + t
        s.sendall(p + b"END" + t)
        assert read(s) == b""


def test_pipelined_session_half_closed_gets_every_reply(ep):
    # Replies still queued when the client's end-of-stream is read must
    # leave before the connection ends.
    count = 1000
    with ep.connect() as s:
        s.sendall(b"zIDSESSION\0" + b"zPING\0" * count)
        s.shutdown(socket.SHUT_WR)
        assert read(s) == b"".join(b"%d: PONG\0" % i for i in range(1, count + 1))


INVALID = b"2: Command invalid inside IDSESSION. ERROR<t>"


@pytest.mark.parametrize("prefix", ["n", "z"])
@pytest.mark.parametrize("sent,reply", [
    (b"<p>IDSESSION<t>", INVALID), (b"<p>RELOAD<t>", INVALID),
    (b"<p>HELLO<t>", INVALID), (b"<p>PING <t>", INVALID),
    (b"PING\n", b"2: Only nCMDS\\n and zCMDS\\0 are accepted inside IDSESSION. ERROR\n"
                b"2: Error processing command. ERROR\n"),
    (b"<p>SHUTDOWN<t>", b""),
], ids=["second-IDSESSION", "RELOAD", "HELLO", "PING-space", "bare-PING", "SHUTDOWN"])
def test_session_error_ends_connection(ep, prefix, sent, reply):
    p, t = prefix.encode(), TERMINATORS[prefix]
    with ep.connect() as s:
        exchange(s, p + b"IDSESSION" + t + p + b"PING" + t, b"1: PONG" + t)
        s.sendall(sent.replace(b"<p>", p).replace(b"<t>", t))
        assert read(s) == reply.replace(b"<t>", t)


TIMED_OUT = b"COMMAND READ TIMED OUT\n"


# Whatever a client has sent when it falls silent, it cannot keep its
# connection: a command must be whole within the read timeout of its first
# byte, and a session is let go quietly once it has been idle that long.
@pytest.mark.parametrize("sent, reply", [
    (b"", TIMED_OUT), (b"n", TIMED_OUT), (b"zPIN", TIMED_OUT), (b"zIDSESSION\0zVER", b"1: " + TIMED_OUT),
    (b"zIDSESSION\0", b""), (b"nIDSESSION\nnPING\n", b"1: PONG\n"),
])
def test_silent_clients_are_let_go(ep, served, sent, reply):
    with served[ep.tag + "-short"].connect() as s:
        s.sendall(sent)
        assert read(s) == reply


def test_command_deadline_runs_from_its_first_byte(served):
    # A byte every fifth of the timeout: the whole word takes three times it.
    with served["unix-short"].connect() as s:
        with contextlib.suppress(BrokenPipeError):
            for b in b"zVERSIONCOMMANDS\0":
                s.sendall(bytes([b]))
                time.sleep(SHORT_TIMEOUT_MS / 1000 / 5)
        assert read(s) == TIMED_OUT


@pytest.mark.parametrize("request_bytes", [b"nSHUTDOWN\n", b"zIDSESSION\0zSHUTDOWN\0"], ids=["plain", "in-session"])
def test_shutdown_closes_only_that_client(ep, request_bytes):
    with ep.connect() as other:
        exchange(other, b"nIDSESSION\nnPING\n", b"1: PONG\n")
        assert ep.ask(request_bytes) == b""
        exchange(other, b"nPING\n", b"2: PONG\n")
        assert ep.ask(b"zPING\0") == b"PONG\0"
        other.sendall(b"nEND\n")
        assert read(other) == b""


def test_clamdscan(ep, program_version, tmp_path):
    ping, version = (clamdscan(tmp_path, args, ep.path, ep.port) for args in (["--ping", "1"], ["--version"]))
    assert (ping.returncode, ping.stdout) == (0, "PONG\n"), ping.stderr
    assert version.returncode == 0, version.stderr
    assert check_versions(version.stdout.encode(), program_version) == V + b"\n"
