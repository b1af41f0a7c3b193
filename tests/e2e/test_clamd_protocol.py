"""The clamd command front end over real Unix-domain and TCP endpoints:
exact reply bytes for every command that needs no scanning, sessions, the
read timeout and SHUTDOWN."""

import array
import datetime
import os
import re
import shutil
import socket
import subprocess

import pytest

from clamd_daemon import (Daemon, exchange, read_all, read_until, short_dir,
                          tcp_endpoint, unix_endpoint)
from conftest import wait_for

# The daemon runs in a zone five and a half hours east of UTC, so a reply
# stamped with UTC (or with the test machine's zone) cannot pass for local.
ZONE = "VCT-5:30"
ZONE_OFFSET = datetime.timedelta(hours=5, minutes=30)
SHORT_TIMEOUT_MS = 500

COMMANDS = (b"SCAN RELOAD PING CONTSCAN VERSIONCOMMANDS VERSION STREAM END "
            b"SHUTDOWN MULTISCAN FILDES STATS IDSESSION INSTREAM ALLMATCHSCAN")
VERSION_RE = re.compile(
    rb"ClamAV (\d+\.\d+\.\d+/\d{10})/"
    rb"(Mon|Tue|Wed|Thu|Fri|Sat|Sun) "
    rb"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    rb"([ 12]\d|3[01]) (\d\d):(\d\d):(\d\d) (\d{4}) \(Vemra ClamD\)")
# Stands for the version text in the expected replies below.
V = b"<version>"


class Served:
    """The module's daemon, its endpoints by name and its descriptor count
    before any client."""

    def __init__(self, daemon, endpoints):
        self.daemon = daemon
        self.endpoints = endpoints
        self.fd_dir = "/proc/%d/fd" % daemon.pid
        self.descriptors = len(os.listdir(self.fd_dir))

    def wait_released(self):
        # Once every client has gone, the daemon holds the descriptors it
        # had before the first one came.
        wait_for(lambda: len(os.listdir(self.fd_dir)) == self.descriptors,
                 what="the daemon to release every client descriptor")


@pytest.fixture(scope="module")
def served(clamd_path):
    """One daemon for the module: a Unix-domain and a TCP endpoint with a
    long read timeout, and one of each with a short one."""
    directory = short_dir()
    d = Daemon(clamd_path, directory, env_extra={"TZ": ZONE})
    try:
        eps = {
            "unix": unix_endpoint("u", directory, "u"),
            "tcp": tcp_endpoint("t"),
            "unix-short": unix_endpoint("us", directory, "us", read_timeout=SHORT_TIMEOUT_MS),
            "tcp-short": tcp_endpoint("ts", read_timeout=SHORT_TIMEOUT_MS),
        }
        d.apply(eps.values())
        served = Served(d, eps)
        yield served
        served.wait_released()
        rc = d.stop()
        assert rc == 107 and not d.sanitizer_report(), (rc, d.stderr, d.log()[-4000:])
    finally:
        d.kill()
        shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture(params=["unix", "tcp"])
def ep(request, served):
    return served.endpoints[request.param]


@pytest.fixture(params=["unix-short", "tcp-short"])
def short_ep(request, served):
    return served.endpoints[request.param]


@pytest.fixture(scope="module")
def program_version(clamd_path):
    # "vemra-clamd 1.0.0.2612061542" is "1.0.0/2612061542" in the reply.
    out = subprocess.run([clamd_path, "--version"], capture_output=True, text=True).stdout
    number, stamp = out.split()[1].rsplit(".", 1)
    return (number + "/" + stamp).encode()


def check_versions(reply, program_version):
    """Replaces every version text in reply by V after checking that it names
    this program and the daemon's local time of now."""
    def one(m):
        assert m.group(1) == program_version
        day, month, mday, hh, mm, ss, year = (g.decode() for g in m.groups()[1:])
        stamp = datetime.datetime.strptime(
            "%s %s %d %s:%s:%s %s" % (day, month, int(mday), hh, mm, ss, year),
            "%a %b %d %H:%M:%S %Y")
        now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None) + ZONE_OFFSET
        # Generous: only a clock in the wrong zone is hours away.
        assert abs(stamp - now) < datetime.timedelta(minutes=10), (m.group(0), now)
        return V
    return VERSION_RE.sub(one, reply)


PREFIXES = [("n", b"\n"), ("z", b"\0"), ("", b"\n")]


def simple_cases():
    for p, t in PREFIXES:
        prefixed = p != ""
        name = p or "bare"
        unknown = b"UNKNOWN COMMAND" + t
        yield name + "-PING", p.encode() + b"PING" + t, b"PONG" + t
        yield name + "-VERSION", p.encode() + b"VERSION" + t, V + t
        yield (name + "-VERSIONCOMMANDS", p.encode() + b"VERSIONCOMMANDS" + t,
               V + b"| COMMANDS: " + COMMANDS + t if prefixed else unknown)
        yield (name + "-STATS", p.encode() + b"STATS" + t,
               b"Statistic is not available\nEND" + t if prefixed else unknown)
        yield name + "-RELOAD", p.encode() + b"RELOAD" + t, b"RELOADING" + t
        yield name + "-SHUTDOWN", p.encode() + b"SHUTDOWN" + t, b""
        yield name + "-PING-space", p.encode() + b"PING " + t, unknown
        yield name + "-lowercase", p.encode() + b"ping" + t, unknown
        yield name + "-unknown", p.encode() + b"HELLO" + t, unknown
        yield name + "-END-outside", p.encode() + b"END" + t, unknown
    yield "bare-IDSESSION", b"IDSESSION\n", b"UNKNOWN COMMAND\n"
    # Outside a session a connection carries one command only.
    yield "n-two-commands", b"nPING\nnPING\n", b"PONG\n"
    yield "n-PING-crlf", b"nPING\r\n", b"PONG\n"
    yield "bare-PING-unterminated", b"PING", b"PONG\n"
    yield "bare-empty", b"\n", b"UNKNOWN COMMAND\n"


SIMPLE = list(simple_cases())


@pytest.mark.parametrize("request_bytes,reply", [c[1:] for c in SIMPLE], ids=[c[0] for c in SIMPLE])
def test_one_command_one_reply_then_close(ep, program_version, request_bytes, reply):
    # Outside a session a connection carries one command: the reply, then
    # the daemon closes.
    assert check_versions(ep.ask(request_bytes), program_version) == reply


# The commands of a session after IDSESSION, with their replies (terminator
# left out).
SESSION = [
    (b"PING", b"1: PONG"),
    (b"VERSION", b"2: " + V),
    (b"STATS", b"3: Statistic is not available\nEND"),
    (b"VERSIONCOMMANDS", b"4: " + V + b"| COMMANDS: " + COMMANDS),
    (b"PING", b"5: PONG"),
]


SESSION_PREFIXES = [("n", "n"), ("z", "z"), ("z", "n")]


@pytest.mark.parametrize("opener,prefix", SESSION_PREFIXES, ids=["n", "z", "z-then-n"])
def test_session_replies_are_numbered_and_end_closes(ep, program_version, opener, prefix):
    term = {"n": b"\n", "z": b"\0"}
    t = term[prefix]
    with ep.connect() as s:
        # Each command picks its own terminator, whatever opened the session.
        s.sendall(opener.encode() + b"IDSESSION" + term[opener])
        for command, reply in SESSION:
            s.sendall(prefix.encode() + command + t)
            # The version text has no fixed length: read to the terminator
            # (STATS carries a newline inside its one reply).
            got = read_until(s, t)
            if command == b"STATS" and t == b"\n":
                got += read_until(s, t)
            assert check_versions(got, program_version) == reply + t
        s.sendall(prefix.encode() + b"END" + t)
        assert read_all(s) == b""


@pytest.mark.parametrize("prefix,t", [("n", b"\n"), ("z", b"\0")], ids=["n", "z"])
def test_session_commands_sent_at_once(ep, program_version, prefix, t):
    # Everything after a terminator is the next command, however the bytes
    # were cut into reads.
    p = prefix.encode()
    request = p + b"IDSESSION" + t + b"".join(p + c + t for c, _ in SESSION) + p + b"END" + t
    reply = b"".join(r + t for _, r in SESSION)
    with ep.connect() as s:
        s.sendall(request)
        assert check_versions(read_all(s), program_version) == reply


ONLY_PREFIXED = b"Only nCMDS\\n and zCMDS\\0 are accepted inside IDSESSION. ERROR"
INVALID = b"Command invalid inside IDSESSION. ERROR"


@pytest.mark.parametrize("prefix,t", [("n", b"\n"), ("z", b"\0")], ids=["n", "z"])
@pytest.mark.parametrize("command,reply", [
    ("second-IDSESSION", b"2: " + INVALID + b"<t>"),
    ("RELOAD", b"2: " + INVALID + b"<t>"),
    ("HELLO", b"2: " + INVALID + b"<t>"),
    ("PING-space", b"2: " + INVALID + b"<t>"),
    ("bare-PING", b"2: " + ONLY_PREFIXED + b"\n2: Error processing command. ERROR\n"),
    ("SHUTDOWN", b""),
])
def test_session_error_ends_connection(ep, prefix, t, command, reply):
    sent = {
        "second-IDSESSION": prefix.encode() + b"IDSESSION" + t,
        "RELOAD": prefix.encode() + b"RELOAD" + t,
        "HELLO": prefix.encode() + b"HELLO" + t,
        "PING-space": prefix.encode() + b"PING " + t,
        "bare-PING": b"PING\n",
        "SHUTDOWN": prefix.encode() + b"SHUTDOWN" + t,
    }[command]
    with ep.connect() as s:
        exchange(s, prefix.encode() + b"IDSESSION" + t + prefix.encode() + b"PING" + t, b"1: PONG" + t)
        s.sendall(sent)
        assert read_all(s) == reply.replace(b"<t>", t)


def test_silent_client_is_timed_out(short_ep):
    with short_ep.connect() as s:
        assert read_all(s) == b"COMMAND READ TIMED OUT\n"


def test_read_timeout_bounds_only_the_first_silence(short_ep):
    with short_ep.connect() as in_session, short_ep.connect() as started, \
            short_ep.connect() as silent:
        in_session.sendall(b"zIDSESSION\0")
        started.sendall(b"z")
        # The silent client connected last: once it has been timed out, the
        # other two have been connected longer than the timeout.
        assert read_all(silent) == b"COMMAND READ TIMED OUT\n"
        exchange(in_session, b"zPING\0", b"1: PONG\0")
        started.sendall(b"PING\0")
        assert read_all(started) == b"PONG\0"
        in_session.sendall(b"zEND\0")
        assert read_all(in_session) == b""


@pytest.mark.parametrize("request_bytes", [b"nSHUTDOWN\n", b"zIDSESSION\0zSHUTDOWN\0"],
                         ids=["plain", "in-session"])
def test_shutdown_closes_only_that_client(ep, request_bytes):
    with ep.connect() as other:
        exchange(other, b"nIDSESSION\nnPING\n", b"1: PONG\n")
        assert ep.ask(request_bytes) == b""
        exchange(other, b"nPING\n", b"2: PONG\n")
        assert ep.ask(b"zPING\0") == b"PONG\0"
        other.sendall(b"nEND\n")
        assert read_all(other) == b""


def send_fds(s, data, *groups):
    """Sends data with one SCM_RIGHTS control message per group of
    descriptors."""
    s.sendmsg([data], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", g)) for g in groups])


def fd_then_fd(s, r, w):
    s.sendall(b"zIDSESSION\0")
    send_fds(s, b"zPI", [r])
    try:
        send_fds(s, b"NG\0", [w])
    except (BrokenPipeError, ConnectionResetError):
        pass  # refused the first one already


PROTOCOL_ERROR = b"PROTOCOL ERROR: ancillary data sent without FILDES. ERROR"
ENDED = None  # closed or reset without a reply


@pytest.mark.parametrize("send,reply", [
    (lambda s, r, w: send_fds(s, b"zPING\0", [r]), b"PONG\0"),
    # Refused when the next command is awaited: its terminator is not known
    # yet, so the reply ends with a newline.
    (lambda s, r, w: send_fds(s, b"zIDSESSION\0", [r]), b"1: " + PROTOCOL_ERROR + b"\n"),
    (lambda s, r, w: send_fds(s, b"zIDSESSION\0zPING\0", [r]), b"1: PONG\0" + b"2: " + PROTOCOL_ERROR + b"\n"),
    (lambda s, r, w: send_fds(s, b"zIDSESSION\0zPI", [r]), b"1: " + PROTOCOL_ERROR + b"\0"),
    (lambda s, r, w: send_fds(s, b"zIDSESSION\0", [r, w]), ENDED),
    (lambda s, r, w: send_fds(s, b"zIDSESSION\0", [r, w, r]), ENDED),
    (lambda s, r, w: send_fds(s, b"zIDSESSION\0", [r, w] * 8), ENDED),
    (lambda s, r, w: send_fds(s, b"zIDSESSION\0", [r], [w]), ENDED),
    # Whether the second one arrives before the refusal of the first is up
    # to the scheduler; the refusal ends like the 'z' command it interrupts.
    (fd_then_fd, (ENDED, b"1: " + PROTOCOL_ERROR + b"\0")),
], ids=["PING", "IDSESSION", "session-PING", "partial-word", "two", "three", "sixteen", "two-messages", "one-then-another"])
def test_passed_descriptors_are_released(served, send, reply):
    # Descriptors passed with anything but FILDES are refused; however many
    # come and however the control data is cut, none stays open.
    r, w = os.pipe()
    try:
        with served.endpoints["unix"].connect() as s:
            send(s, r, w)
            try:
                got = read_all(s)
            except ConnectionResetError:
                # Closed with the client's later bytes unread.
                got = ENDED
            if got == b"":
                got = ENDED
            assert got in (reply if isinstance(reply, tuple) else (reply,))
    finally:
        os.close(r)
        os.close(w)
    served.wait_released()
