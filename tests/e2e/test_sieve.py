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
from conftest import BUILD, DEADLINE, clean_env, wait_for

SIEVE = os.path.join(BUILD, "suite", "sieve", "vemra-sieve")
# Put together here so that this file itself is not the test file.
EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
C = sv.ClientMessage
S = sv.ServerMessage


class Client:
    """One proxy session."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.buffer = b""

    def send(self, *messages):
        self.sock.sendall(b"".join(struct.pack("<I", m.ByteSize()) + m.SerializeToString() for m in messages))

    def open(self):
        self.send(C(tag=C.OPEN_PROXY, origin=20, pid=os.getpid()),
                  C(tag=C.PROXY_OPTIONS_NOTIFICATION, proxy_options=sv.ProxyOptions(archive_max_level=8)))
        assert self.recv().tag == S.PROXY_READY
        return self

    def recv(self):
        """The next message; None once the service closed the session."""
        while len(self.buffer) < 4 or len(self.buffer) < 4 + struct.unpack("<I", self.buffer[:4])[0]:
            assert select.select([self.sock], [], [], DEADLINE)[0], "vemra-sieve sent nothing in time"
            try:
                data = self.sock.recv(65536)
            except ConnectionResetError:
                data = b""
            if not data:
                return None
            self.buffer += data
        n = struct.unpack("<I", self.buffer[:4])[0]
        m = S()
        m.ParseFromString(self.buffer[4:4 + n])
        self.buffer = self.buffer[4 + n:]
        return m

    def scan(self, paths, first_serial=0, then_shut=False):
        """Sends every request at once; the answers by serial."""
        self.send(*[C(tag=C.PROXY_SCAN_REQUEST, serial=first_serial + i, path=os.fsencode(p))
                    for i, p in enumerate(paths)])
        if then_shut:
            self.sock.shutdown(socket.SHUT_WR)
        answers = {}
        while len(answers) < len(paths):
            m = self.recv()
            assert m is not None, "session closed after %d answers" % len(answers)
            assert m.tag == S.PROXY_SCAN_RESPONSE and m.serial not in answers
            answers[m.serial] = m
        return answers


class Sieve:
    def __init__(self, directory, env=None, pass_fds=()):
        self.socket = os.path.join(directory, "sieve.sock")
        self.ended = None
        self.proc = subprocess.Popen([SIEVE, "--socket", self.socket, "--log-level", "Debug"],
                                     env=env or clean_env(), pass_fds=pass_fds,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wait_for(lambda: self.proc.poll() is not None or self.listening(), what="vemra-sieve to listen")
        assert self.proc.poll() is None, self.proc.stderr.read().decode()

    def listening(self):
        with socket.socket(socket.AF_UNIX) as s:
            return s.connect_ex(self.socket) == 0

    def client(self):
        return Client(self.socket)

    def finish(self, sig=None):
        if self.ended is None:
            if sig and self.proc.poll() is None:
                self.proc.send_signal(sig)
            _, err = self.proc.communicate(timeout=DEADLINE)
            self.ended = (self.proc.returncode, err.decode())
        return self.ended


@pytest.fixture
def start_sieve():
    if not os.path.exists(SIEVE):
        pytest.fail("vemra-sieve is not built: " + SIEVE)
    # Unix socket paths are limited to 107 bytes; pytest's tmp_path can be longer.
    directory = tempfile.mkdtemp(prefix="vs", dir="/tmp")
    started = []
    yield lambda **kw: started.append(Sieve(directory, **kw)) or started[-1]
    for s in started:
        rc, err = s.finish(signal.SIGTERM)
        assert rc == 0, err
    shutil.rmtree(directory, ignore_errors=True)


def write(path, data):
    path.write_bytes(data)
    return str(path)


def threat_names(report):
    return [v.name for v in report.virus] + [n for item in report.item for n in threat_names(item)]


def test_files_are_scanned_and_answered_by_serial(start_sieve, tmp_path):
    parcel = io.BytesIO()
    with zipfile.ZipFile(parcel, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("readme", b"clean")
        z.writestr("sub/eicar.com", EICAR)
    clean = write(tmp_path / "clean.txt", b"nothing to see\n")
    eicar = write(tmp_path / "eicar.com", EICAR)
    archive = write(tmp_path / "parcel.zip", parcel.getvalue())
    missing = str(tmp_path / "missing")
    client = start_sieve().client().open()

    a = client.scan([clean, eicar, archive, missing])
    assert [a[i].scan_report.object.decode() for i in range(4)] == [clean, eicar, archive, missing]
    assert [threat_names(a[i].scan_report) for i in range(4)] == [[], ["EICAR-Test-File"], ["EICAR-Test-File"], []]
    assert a[2].scan_report.item[0].object == b"sub/eicar.com"
    assert a[3].scan_report.error == scan_report_pb2.SE_FILE_NOT_FOUND
    assert [a[i].HasField("threat_id") for i in range(4)] == [False, True, True, False]
    assert not any(a[i].HasField("error") for i in range(4))

    # The session's options decide whether archives are opened.
    client.send(C(tag=C.PROXY_OPTIONS_NOTIFICATION, proxy_options=sv.ProxyOptions(archive_max_level=0)))
    assert threat_names(client.scan([archive], first_serial=4)[4].scan_report) == []

    client.send(C(tag=C.THREAT_OP_REQUEST, serial=9, threat_id=a[1].threat_id, op=7, origin=20, pid=1))
    answer = client.recv()
    assert (answer.tag, answer.serial, answer.HasField("error")) == (S.THREATS_OP_RESPONSE, 9, False)

    # Far more requests than a session may have waiting, from a client
    # that has said everything: each still gets its answer.
    paths = [eicar if i % 3 == 0 else clean for i in range(300)]
    answers = client.scan(paths, first_serial=1000, then_shut=True)
    for i, p in enumerate(paths):
        assert answers[1000 + i].scan_report.object.decode() == p
        assert bool(threat_names(answers[1000 + i].scan_report)) == (p == eicar)
    assert client.recv() is None


@pytest.mark.parametrize("bad", [
    struct.pack("<I", 0),
    struct.pack("<I", 64 * 1024 * 1024 + 1),
    struct.pack("<I", 3) + b"\xff\xff\xff",
], ids=["empty", "over the limit", "not a message"])
def test_a_protocol_fault_ends_only_that_session(start_sieve, tmp_path, bad):
    clean = write(tmp_path / "clean", b"plain text")
    sieve = start_sieve()
    good = sieve.client().open()
    faulty = sieve.client().open()
    faulty.sock.sendall(bad)
    assert faulty.recv() is None
    assert good.scan([clean])[0].scan_report.object.decode() == clean
    assert sieve.client().open().scan([clean])[0].scan_report.object.decode() == clean
    assert "Warning: Sieve: closing a client session: " in sieve.finish(signal.SIGTERM)[1]


def test_stops_with_its_supervisor_and_leaves_no_socket(start_sieve):
    parent, child = socket.socketpair()
    sieve = start_sieve(env=clean_env(COM_VEMRA_MONITOR=str(child.fileno())), pass_fds=(child.fileno(),))
    child.close()
    busy = sieve.client().open()
    parent.close()
    rc, err = sieve.finish()
    assert rc == 0 and "the supervisor has gone" in err, err
    assert busy.recv() is None
    assert not os.path.exists(sieve.socket)
