"""INSTREAM, FILDES and STREAM against a scripted Courier: what the daemon
sends the service, what the client reads back, the flow-control window
holding clients back, and the service failing under them."""

import array
import os
import re
import shutil
import signal
import socket
import struct
import subprocess

import pytest

from suite import EICAR, ScriptedService, Suite, endpoint, exchange, read, wait_for
from wire import App, Error, FromWarden, ToWarden
from courier_client_ipc_pb2 import ClientMessage as C, ServerMessage as S
from scan_report_pb2 import SE_KNOWN_VIRUS, ScanReport, Virus

CLAMDSCAN = shutil.which("clamdscan") or "clamdscan"
OPTIONS = {"scan_timeout_ms", "heuristic_analysis", "packer_max_level", "archive_max_level", "mail_max_level",
           "container_max_level", "max_compression_ratio"}


def instream(*chunks, end=True):
    return b"zINSTREAM\0" + b"".join(struct.pack(">I", len(c)) + c for c in chunks) + (b"\0" * 4 if end else b"")


def clean():
    return ScanReport(object=b"stream")


def found(name):
    return ScanReport(object=b"stream", virus=[Virus(type=SE_KNOWN_VIRUS, name=name)])


class Rig:
    """vemra-clamd under the scripted Warden with one Unix endpoint, and a
    scripted Courier that the test hands it when it asks."""

    def __init__(self, start, stream_max_length=25 << 20, **settings):
        self.daemon = start()
        self.endpoint = endpoint("unix", self.daemon.dir)
        self.daemon.apply([self.endpoint], stream_max_length=stream_max_length, **settings)
        self.courier = ScriptedService(os.path.join(self.daemon.dir, "courier.sock"), C)

    def connect(self):
        return self.endpoint.connect()

    def link(self, window=1 << 20):
        """Answers the daemon's request for Courier's socket; the link it
        makes, past its HELLO, with window bytes of credit given."""
        m = self.daemon.message()
        assert m is not None and m.tag == ToWarden.GET_COURIER_REQUEST, m
        self.daemon.link.send(FromWarden(tag=FromWarden.GET_COURIER_RESPONSE,
                                         socket_path=self.courier.listener.getsockname()))
        link = self.courier.accept()
        hello = link.expect(C.HELLO)
        assert (hello.origin, hello.origin_pid, hello.flow_control) == (App.APP_CLAMD, self.daemon.proc.pid, True)
        if window:
            link.send(S(tag=S.ADJUST_WINDOW, window_change=window))
        return link

    def rss(self):
        with open("/proc/%d/status" % self.daemon.proc.pid) as f:
            return int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1)) * 1024


@pytest.fixture
def rig(daemon):
    rigs = []
    yield lambda **settings: rigs.append(Rig(daemon, **settings)) or rigs[-1]
    for r in rigs:
        r.courier.close()


def job_data(link, job):
    """The data the daemon sends for job, up to its scan request."""
    data = b""
    while True:
        m = link.recv()
        assert m is not None and m.job_id == job, m
        if m.tag == C.SCAN_REQUEST:
            assert {f.name for f, _ in m.scan_options.ListFields()} == OPTIONS, m
            return data
        assert m.tag == C.DATA_CHUNK, m
        data += m.data


def answer(link, job, report=None, alarm=None):
    """Reports on job as Courier does, and takes the RESET that follows."""
    if alarm is None:
        link.send(S(tag=S.SCAN_RESPONSE, job_id=job, scan_report=report or clean()))
    else:
        link.send(S(tag=S.ALARM, job_id=job, error={"code": alarm}))
    assert (link.expect(C.RESET).job_id) == job


def test_instream_jobs_in_and_out_of_sessions(rig):
    r = rig()
    c = r.connect()
    c.sendall(instream(b"abc", b"def"))
    # The first job makes the connection; its INIT follows the HELLO.
    link = r.link()
    assert link.expect(C.INIT).job_id == 0 and job_data(link, 0) == b"abcdef"
    answer(link, 0, found("Test-Virus"))
    assert read(c) == b"stream: Test-Virus FOUND\0"

    # No data at all still reaches Courier as one empty piece.
    c = r.connect()
    c.sendall(instream())
    assert link.expect(C.INIT).job_id == 1
    m = link.expect(C.DATA_CHUNK)
    assert (m.job_id, m.HasField("data"), m.data) == (1, True, b"")
    assert link.expect(C.SCAN_REQUEST).job_id == 1
    answer(link, 1)
    assert read(c) == b"stream: OK\0"

    # In a session each result carries its command's number, in the order
    # Courier answers; an ALARM is an error line.
    c = r.connect()
    c.sendall(b"zIDSESSION\0" + instream(b"one") + instream(b"two") + b"zPING\0")
    assert read(c, b"\0") == b"3: PONG\0"
    for job, data in (2, b"one"), (3, b"two"):
        assert link.expect(C.INIT).job_id == job and job_data(link, job) == data
    answer(link, 3, alarm=Error.EC_NOT_A_REGULAR_FILE)
    answer(link, 2, found("Other"))
    c.sendall(b"zEND\0")
    assert read(c) == b"2: stream: Not a regular file. ERROR\0" b"1: stream: Other FOUND\0"


def test_size_limit_and_a_result_before_the_end(rig):
    r = rig(stream_max_length=10)
    c = r.connect()
    c.sendall(instream(b"0123456789"))
    link = r.link()
    assert link.expect(C.INIT).job_id == 0 and job_data(link, 0) == b"0123456789"
    answer(link, 0)
    assert read(c) == b"stream: OK\0"

    # One byte past the limit is refused on its length alone, and Courier
    # drops the job.
    c = r.connect()
    c.sendall(b"zINSTREAM\0" + struct.pack(">I", 6) + b"abcdef" + struct.pack(">I", 5))
    assert read(c) == b"INSTREAM size limit exceeded. ERROR\0"
    assert link.expect(C.INIT).job_id == 1
    assert link.expect(C.DATA_CHUNK).data == b"abcdef" and link.expect(C.RESET).job_id == 1

    # A threat found while the client still sends is answered at once; the
    # rest is read and thrown away.
    c = r.connect()
    c.sendall(instream(b"virus", end=False))
    assert link.expect(C.INIT).job_id == 2 and link.expect(C.DATA_CHUNK).data == b"virus"
    answer(link, 2, found("Early"))
    assert read(c, b"\0") == b"stream: Early FOUND\0"
    c.sendall(struct.pack(">I", 4) + b"more" + b"\0" * 4)
    assert read(c) == b""
    # Nothing more of that job reached Courier: the next thing is a new job.
    r.connect().sendall(instream(b"x"))
    assert link.expect(C.INIT).job_id == 3


def test_closed_window_holds_the_client_back(rig):
    r = rig()
    size = 4 << 20
    data = os.urandom(size)
    c = r.connect()
    c.sendall(b"zINSTREAM\0" + struct.pack(">I", size))
    link = r.link(window=0)
    assert link.expect(C.INIT).job_id == 0
    before = r.rss()
    # Without credit the daemon reads nothing: the client's sends stall long
    # before its data is out, and the daemon's memory does not grow with it.
    c.setblocking(False)
    sent = 0
    try:
        while sent < size:
            sent += c.send(data[sent:sent + 65536])
    except BlockingIOError:
        pass
    assert sent < size // 2 and r.rss() - before < (1 << 20), (sent, r.rss() - before)
    # Credit lets exactly that much through.
    link.send(S(tag=S.ADJUST_WINDOW, window_change=1000))
    m = link.expect(C.DATA_CHUNK)
    assert (m.job_id, m.data) == (0, data[:1000])
    # Once the window opens the whole stream goes through.
    link.send(S(tag=S.ADJUST_WINDOW, window_change=size))
    c.setblocking(True)
    c.sendall(data[sent:] + b"\0" * 4)
    assert job_data(link, 0) == data[1000:]
    answer(link, 0)
    assert read(c) == b"stream: OK\0"


def test_a_stalled_client_holds_only_a_piece_of_the_window(rig):
    r = rig()
    stalled = r.connect()
    stalled.sendall(b"zINSTREAM\0" + struct.pack(">I", 4 << 20))
    link = r.link(window=96 << 10)
    assert link.expect(C.INIT).job_id == 0
    # It announced much and sends nothing; the others still get through.
    c = r.connect()
    c.sendall(instream(b"x"))
    assert link.expect(C.INIT).job_id == 1 and job_data(link, 1) == b"x"
    # The supervisor gone, with one client holding credit and one waiting
    # for it: they go before what they hold (the sanitizer build checks).
    r.connect().sendall(instream(b"y" * (64 << 10), end=False))
    assert link.expect(C.INIT).job_id == 2 and link.expect(C.DATA_CHUNK).job_id == 2
    r.daemon.link.sock.close()
    assert r.daemon.finish()[0] == Error.EC_MONITOR_IPC_ERROR


def send_fd(s, fd):
    s.sendmsg([b"z"], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [fd]))])


def test_fildes(rig, tmp_path):
    r = rig()
    (tmp_path / "file").write_bytes(b"file data" * 10000)
    (tmp_path / "empty").write_bytes(b"")
    link = None
    for job, name in enumerate(["file", "empty"]):
        c = r.connect()
        c.sendall(b"zFILDES\0")
        with open(tmp_path / name, "rb") as f:
            f.seek(5)  # read from the start whatever the offset
            send_fd(c, f.fileno())
        link = link or r.link()
        assert link.expect(C.INIT).job_id == job
        assert job_data(link, job) == (tmp_path / name).read_bytes()
        answer(link, job, found("In-File") if job == 0 else None)
        assert re.fullmatch(rb"fd\[\d+\]: (In-File FOUND|OK)\0", read(c)), name

    c = r.connect()
    c.sendall(b"zFILDES\0")
    send_fd(c, os.open(tmp_path, os.O_RDONLY))
    assert re.fullmatch(rb"fd\[\d+\]: FILDES file descriptor: Not a regular file \[vx.Error:33\] ERROR\0", read(c))
    assert r.endpoint.ask(b"zFILDES\0z") == b"No file descriptor received. ERROR\0"


def stream(r, request=b"zSTREAM\0"):
    """A client that sent STREAM, and the port it was told."""
    c = r.connect()
    c.sendall(request)
    port = int(re.fullmatch(rb"PORT (\d+)\0", read(c, b"\0")).group(1))
    return c, port


def test_stream_port(rig):
    r = rig(stream_max_length=10)
    c, port = stream(r)
    with socket.create_connection(("127.0.0.1", port)) as data:
        data.sendall(b"0123456789")
    link = r.link()
    assert link.expect(C.INIT).job_id == 0 and job_data(link, 0) == b"0123456789"
    answer(link, 0, found("Streamed"))
    assert read(c) == b"stream: Streamed FOUND\0"

    # Past the limit the client hears so, and the job goes.
    c, port = stream(r)
    with socket.create_connection(("127.0.0.1", port)) as data:
        data.sendall(b"x" * 20)
    assert read(c) == b"stream: Size limit exceeded. ERROR\0"
    assert link.expect(C.INIT).job_id == 1 and link.expect(C.DATA_CHUNK).data == b"x" * 10
    assert link.expect(C.RESET).job_id == 1

    # The port takes one connection; one that closes at once is empty data.
    c, port = stream(r)
    socket.create_connection(("127.0.0.1", port)).close()
    assert link.expect(C.INIT).job_id == 2 and job_data(link, 2) == b""
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port)).close()
    answer(link, 2)
    assert read(c) == b"stream: OK\0"


def test_stream_port_waits_only_the_read_timeout(rig):
    r = rig(read_timeout=300)
    c, port = stream(r)
    link = r.link()
    assert link.expect(C.INIT).job_id == 0
    # A local client's port is on loopback only: no other address of this
    # host can reach it and feed the scan data of its own.
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.2", port)).close()
    assert read(c) == b"stream: ERROR Network operation timed out\0"
    assert link.expect(C.RESET).job_id == 0


def test_courier_failure_ends_only_clients_with_work_there(rig):
    r = rig()
    busy = r.connect()
    busy.sendall(instream(b"part", end=False))
    link = r.link()
    assert link.expect(C.INIT).job_id == 0 and link.expect(C.DATA_CHUNK).data == b"part"
    idle = r.connect()
    exchange(idle, b"zIDSESSION\0zPING\0", b"1: PONG\0")

    link.sock.close()
    assert read(busy) == b""
    exchange(idle, b"zPING\0", b"2: PONG\0")
    assert any("Error with Courier: " in line for line in r.daemon.log_lines())

    # The daemon reconnects by itself, and data scans work again.
    link = r.link()
    c = r.connect()
    c.sendall(instream(b"again"))
    assert link.expect(C.INIT).job_id == 1 and job_data(link, 1) == b"again"
    answer(link, 1)
    assert read(c) == b"stream: OK\0"

    # Terminating with data scans under way is the usual orderly exit.
    r.connect().sendall(instream(b"unfinished", end=False))
    assert link.expect(C.INIT).job_id == 2
    assert r.daemon.stop() == Error.EC_APP_TERMINATED


# Through the real suite: vemra-warden runs the daemon and vemra-courier.

@pytest.fixture(scope="module")
def suite():
    s = Suite()
    yield s
    s.close()


def test_instream_through_the_suite(suite):
    # The service sees the data whole, however the client cut it.
    assert suite.ask(instream(*[EICAR[i:i + 1] for i in range(len(EICAR))])) == b"stream: EICAR-Test-File FOUND\0"
    assert suite.ask(instream(b"clean " * 10000)) == b"stream: OK\0"
    assert suite.ask(instream()) == b"stream: OK\0"


@pytest.mark.parametrize("mode", ["--stream", "--fdpass"])
def test_clamdscan_sends_data(suite, mode, tmp_path):
    config = tmp_path / "clamd.conf"
    config.write_text("LocalSocket %s\n" % suite.sock)
    tree, clean_file = suite.path("tree"), suite.path("clean.txt")
    r = subprocess.run([CLAMDSCAN, "--config-file=%s" % config, mode, tree, clean_file],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 1, r.stdout + r.stderr
    found = {"%s/b/eicar.com: EICAR-Test-File FOUND" % tree, "%s/c/e.zip: EICAR-Test-File FOUND" % tree}
    assert found <= set(r.stdout.splitlines()) and "%s: OK" % clean_file in r.stdout, r.stdout
    assert "Infected files: 2\n" in r.stdout, r.stdout


def test_courier_killed_under_a_client():
    s = Suite()
    try:
        assert s.ask(instream(b"warm up")) == b"stream: OK\0"
        with s.connect() as busy, s.connect() as idle:
            busy.sendall(instream(b"part", end=False))
            exchange(idle, b"zIDSESSION\0zPING\0", b"1: PONG\0")
            os.kill(s.pid_of("Courier"), signal.SIGKILL)
            assert read(busy) == b""
            exchange(idle, b"zPING\0", b"2: PONG\0")
        # Warden starts it again and the daemon finds it.
        wait_for(lambda: s.ask(instream(EICAR)) == b"stream: EICAR-Test-File FOUND\0", "data scans to work again")
    finally:
        s.close()
