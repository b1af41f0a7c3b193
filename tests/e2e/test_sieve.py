"""vemra-sieve on a temporary Unix socket, driven over the proxy exchange
the way the daemon drives it: real files scanned by the suite's engine,
answers matched by serial, and protocol faults that end one session only."""

import io
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import zipfile

import pytest

import sieve_client_ipc_pb2 as sv
import scan_report_pb2
import error_pb2
from conftest import BUILD, DEADLINE, clean_env, wait_for

SIEVE = os.path.join(BUILD, "suite", "sieve", "vemra-sieve")
# Put together here so that this file itself is not the test file.
EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
C = sv.ClientMessage
S = sv.ServerMessage
IGNORE = 7


def frame(message):
    body = message.SerializeToString()
    return struct.pack("<I", len(body)) + body


class Client:
    """One proxy session."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.buffer = b""

    def send(self, *messages):
        self.sock.sendall(b"".join(frame(m) for m in messages))

    def open(self, archive_max_level=8):
        options = sv.ProxyOptions(scan_timeout_ms=30000, heuristic_analysis=True, packer_max_level=8,
                                  archive_max_level=archive_max_level, mail_max_level=8,
                                  container_max_level=8, max_compression_ratio=500)
        self.send(C(tag=C.OPEN_PROXY, origin=20, pid=os.getpid()),
                  C(tag=C.PROXY_OPTIONS_NOTIFICATION, proxy_options=options))
        assert self.recv().tag == S.PROXY_READY
        return self

    def recv(self):
        """The next message; None once the service closed the session."""
        while True:
            if len(self.buffer) >= 4:
                (n,) = struct.unpack("<I", self.buffer[:4])
                if len(self.buffer) >= 4 + n:
                    body, self.buffer = self.buffer[4:4 + n], self.buffer[4 + n:]
                    m = S()
                    m.ParseFromString(body)
                    return m
            ready, _, _ = select.select([self.sock], [], [], DEADLINE)
            assert ready, "vemra-sieve sent nothing in time"
            try:
                data = self.sock.recv(65536)
            except ConnectionResetError:
                data = b""
            if not data:
                return None
            self.buffer += data

    def scan(self, paths, first_serial=0):
        """Sends every request at once; the answers by serial."""
        self.send(*[C(tag=C.PROXY_SCAN_REQUEST, serial=first_serial + i, path=os.fsencode(p))
                    for i, p in enumerate(paths)])
        answers = {}
        while len(answers) < len(paths):
            m = self.recv()
            assert m is not None and m.tag == S.PROXY_SCAN_RESPONSE
            assert m.serial not in answers
            answers[m.serial] = m
        return answers

    def close(self):
        self.sock.close()


class Sieve:
    def __init__(self, directory, env=None, pass_fds=()):
        self.dir = directory
        self.socket = os.path.join(directory, "sieve.sock")
        self.ended = None
        self.proc = subprocess.Popen([SIEVE, "--socket", self.socket, "--log-level", "Debug"],
                                     env=env or clean_env(), pass_fds=pass_fds,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wait_for(lambda: self.proc.poll() is not None or self.accepts(), what="vemra-sieve to listen")
        assert self.proc.poll() is None, self.proc.stderr.read().decode()

    def accepts(self):
        try:
            Client(self.socket).close()
            return True
        except OSError:
            return False

    def client(self):
        return Client(self.socket)

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.finish()

    def finish(self):
        if self.ended is None:
            _, err = self.proc.communicate(timeout=DEADLINE)
            self.ended = (self.proc.returncode, err.decode())
        return self.ended


@pytest.fixture
def sieve():
    if not os.path.exists(SIEVE):
        pytest.fail("vemra-sieve is not built: " + SIEVE)
    # Unix socket paths are limited to 107 bytes; pytest's tmp_path can be longer.
    directory = tempfile.mkdtemp(prefix="vs", dir="/tmp")
    s = Sieve(directory)
    yield s
    rc, err = s.stop()
    shutil.rmtree(directory, ignore_errors=True)
    assert rc == 0, err


def zip_of(members):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            z.writestr(name, data)
    return out.getvalue()


def write(path, data):
    path.write_bytes(data)
    return str(path)


def threat_names(report):
    return [v.name for v in report.virus] + [n for item in report.item for n in threat_names(item)]


def test_files_are_scanned_and_threats_can_be_ignored(sieve, tmp_path):
    clean = write(tmp_path / "clean.txt", b"nothing to see\n")
    eicar = write(tmp_path / "eicar.com", EICAR)
    archive = write(tmp_path / "parcel.zip", zip_of([("readme", b"clean"), ("sub/eicar.com", EICAR)]))
    missing = str(tmp_path / "missing")
    client = sieve.client().open()

    a = client.scan([clean, eicar, archive, missing])
    assert [a[i].scan_report.object.decode() for i in range(4)] == [clean, eicar, archive, missing]
    assert not any(a[i].HasField("error") for i in range(4))
    assert threat_names(a[0].scan_report) == [] and not a[0].HasField("threat_id")
    assert threat_names(a[1].scan_report) == ["EICAR-Test-File"]
    assert threat_names(a[2].scan_report) == ["EICAR-Test-File"]
    assert a[2].scan_report.item[0].object.decode() == "sub/eicar.com"
    assert a[3].scan_report.error == scan_report_pb2.SE_FILE_NOT_FOUND
    assert a[1].HasField("threat_id") and a[2].HasField("threat_id") and a[1].threat_id != a[2].threat_id

    # The options of the session decide whether archives are opened.
    client.send(C(tag=C.PROXY_OPTIONS_NOTIFICATION, proxy_options=sv.ProxyOptions(archive_max_level=0)))
    assert threat_names(client.scan([archive], first_serial=4)[4].scan_report) == []

    # A request that cannot be carried out says so with the request's serial.
    refused = client.scan([b"relative/path", b""], first_serial=5)
    assert refused[5].error.code == error_pb2.EC_NOT_ABSOLUTE_PATH
    assert refused[6].error.code == error_pb2.EC_INVALID_ARGUMENT

    client.send(C(tag=C.THREAT_OP_REQUEST, serial=0, threat_id=a[1].threat_id, op=IGNORE, origin=20, pid=1),
                C(tag=C.THREAT_OP_REQUEST, serial=1, threat_id=a[1].threat_id, op=IGNORE, origin=20, pid=1))
    first, second = client.recv(), client.recv()
    assert (first.tag, first.serial, first.HasField("error")) == (S.THREATS_OP_RESPONSE, 0, False)
    assert (second.tag, second.serial, second.error.code) == (S.THREATS_OP_RESPONSE, 1, error_pb2.EC_NO_SUCH_ENTRY)


def test_pipelined_requests_beyond_the_session_limit_are_all_answered(sieve, tmp_path):
    clean = write(tmp_path / "clean", b"plain text")
    eicar = write(tmp_path / "eicar", EICAR)
    paths = [eicar if i % 3 == 0 else clean for i in range(300)]
    client = sieve.client().open()
    client.send(*[C(tag=C.PROXY_SCAN_REQUEST, serial=1000 + i, path=p.encode()) for i, p in enumerate(paths)])
    # A client that has said everything still gets every answer.
    client.sock.shutdown(socket.SHUT_WR)
    answers = {}
    for _ in paths:
        m = client.recv()
        assert m is not None, "session closed after %d answers" % len(answers)
        answers[m.serial] = m
    assert sorted(answers) == list(range(1000, 1300))
    for i, p in enumerate(paths):
        m = answers[1000 + i]
        assert m.scan_report.object.decode() == p
        assert bool(threat_names(m.scan_report)) == (p == eicar)
    assert client.recv() is None


@pytest.mark.parametrize("bad", [
    struct.pack("<I", 0),
    struct.pack("<I", 64 * 1024 * 1024 + 1),
    struct.pack("<I", 3) + b"\xff\xff\xff",
    struct.pack("<I", 2) + b"\x10\x01",
    frame(C(tag=C.PROXY_SCAN_REQUEST, path=b"/no/serial")),
], ids=["empty", "over the limit", "not a message", "no tag", "no serial"])
def test_a_protocol_fault_ends_only_that_session(sieve, tmp_path, bad):
    clean = write(tmp_path / "clean", b"plain text")
    good = sieve.client().open()
    faulty = sieve.client().open()
    faulty.sock.sendall(bad)
    assert faulty.recv() is None
    assert good.scan([clean])[0].scan_report.object.decode() == clean
    assert sieve.client().open().scan([clean])[0].scan_report.object.decode() == clean
    _, err = sieve.stop()
    assert "Warning: Sieve: closing a client session: " in err


def test_stops_with_its_supervisor_and_leaves_no_socket(tmp_path):
    if not os.path.exists(SIEVE):
        pytest.fail("vemra-sieve is not built: " + SIEVE)
    directory = tempfile.mkdtemp(prefix="vs", dir="/tmp")
    try:
        parent, child = socket.socketpair()
        s = Sieve(directory, env=clean_env(COM_VEMRA_MONITOR=str(child.fileno())), pass_fds=(child.fileno(),))
        child.close()
        busy = s.client().open()
        parent.close()
        rc, err = s.finish()
        assert rc == 0, err
        assert "the supervisor has gone" in err
        assert busy.recv() is None
        assert not os.path.exists(s.socket)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


@pytest.mark.parametrize("args, message", [
    ([], "--socket is required"),
    (["--socket", "/tmp/x", "--threads", "0"], "--threads"),
    (["--socket", "/tmp/x", "--log-level", "loud"], "--log-level"),
])
def test_bad_command_line(args, message):
    r = subprocess.run([SIEVE] + args, capture_output=True, text=True, timeout=DEADLINE, env=clean_env())
    assert r.returncode == error_pb2.EC_UNEXPECTED_ERROR
    assert message in r.stderr
