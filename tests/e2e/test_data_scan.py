"""INSTREAM, FILDES and STREAM against a scripted Courier: what each side gets,
a stalled client's share of the flow-control window, and Courier failing under them."""

import array
import contextlib
import os
import re
import socket
import struct

import pytest

from suite import ScriptedService, endpoint, exchange, instream, read
from wire import Error, FromWarden, ToWarden
from courier_client_ipc_pb2 import ClientMessage as C, ServerMessage as S
from scan_report_pb2 import SE_KNOWN_VIRUS, ScanReport, Virus

OPTIONS = {"scan_timeout_ms", "heuristic_analysis", "packer_max_level", "archive_max_level", "mail_max_level",
           "container_max_level", "max_compression_ratio"}


def found(name):
    return ScanReport(object=b"stream", virus=[Virus(type=SE_KNOWN_VIRUS, name=name)])


class Rig:
    """vemra-clamd with one Unix endpoint, and a scripted Courier handed to it when it asks."""

    def __init__(self, start, stream_max_length=25 << 20, **settings):
        self.daemon = start()
        self.endpoint = endpoint("unix", self.daemon.dir)
        self.daemon.apply([self.endpoint], stream_max_length=stream_max_length, **settings)
        self.courier = ScriptedService(os.path.join(self.daemon.dir, "courier.sock"), C)

    def send(self, data):
        c = self.endpoint.connect()
        c.sendall(data)
        return c

    def link(self, window=1 << 20):
        """The link the daemon makes to Courier once asked, past its HELLO, given window bytes."""
        m = self.daemon.message()
        assert m is not None and m.tag == ToWarden.GET_COURIER_REQUEST, m
        self.daemon.link.send(FromWarden(tag=FromWarden.GET_COURIER_RESPONSE,
                                         socket_path=self.courier.listener.getsockname()))
        link = self.courier.accept()
        link.expect(C.HELLO)
        link.send(S(tag=S.ADJUST_WINDOW, window_change=window))
        return link


@pytest.fixture
def rig(daemon):
    rigs = []
    yield lambda **settings: rigs.append(Rig(daemon, **settings)) or rigs[-1]
    for r in rigs:
        r.courier.close()


def take(link, count):
    """The next count messages from the daemon as (tag, job_id, data)."""
    return [(m.tag, m.job_id, m.data) for m in (link.recv() for _ in range(count))]


def job_data(link, job):
    """The data the daemon sends for job, in at least one piece, up to its scan request."""
    pieces = []
    while True:
        m = link.recv()
        assert m is not None and m.job_id == job, m
        if m.tag == C.SCAN_REQUEST:
            assert pieces and {f.name for f, _ in m.scan_options.ListFields()} == OPTIONS, (pieces, m)
            return b"".join(pieces)
        assert m.tag == C.DATA_CHUNK, m
        pieces.append(m.data)


def answer(link, job, report=None):
    """Reports on job as Courier does, and takes the RESET that follows."""
    link.send(S(tag=S.SCAN_RESPONSE, job_id=job, scan_report=report or ScanReport(object=b"stream")))
    assert link.expect(C.RESET).job_id == job


def serve(link, job, report=None):
    """One whole job as Courier sees it, answered with report; its data."""
    assert link.expect(C.INIT).job_id == job
    data = job_data(link, job)
    answer(link, job, report)
    return data


def test_instream_in_and_out_of_sessions_and_past_its_limit(rig):
    r = rig(stream_max_length=10)
    c = r.send(instream(b"01234", b"56789"))
    # The first job makes the connection; exactly the limit is scanned.
    link = r.link()
    assert serve(link, 0, found("Test-Virus")) == b"0123456789" and read(c) == b"stream: Test-Virus FOUND\0"
    # No data at all still reaches Courier, as one empty piece.
    c = r.send(instream())
    assert serve(link, 1) == b"" and read(c) == b"stream: OK\0"

    # In a session each result carries its command's number, in the order
    # Courier answers; an ALARM is an error line.
    c = r.send(b"zIDSESSION\0" + instream(b"one") + instream(b"two") + b"zPING\0")
    assert read(c, b"\0") == b"3: PONG\0"
    for job, data in (2, b"one"), (3, b"two"):
        assert link.expect(C.INIT).job_id == job and job_data(link, job) == data
    link.send(S(tag=S.ALARM, job_id=3, error={"code": Error.EC_NOT_A_REGULAR_FILE}))
    assert link.expect(C.RESET).job_id == 3
    answer(link, 2, found("Other"))
    c.sendall(b"zEND\0")
    assert read(c) == b"2: stream: Not a regular file. ERROR\0" b"1: stream: Other FOUND\0"

    # One byte past the limit is refused on its length alone, and Courier
    # drops the job.
    c = r.send(b"zINSTREAM\0" + struct.pack(">I", 6) + b"abcdef" + struct.pack(">I", 5))
    assert read(c) == b"INSTREAM size limit exceeded. ERROR\0"
    assert take(link, 3) == [(C.INIT, 4, b""), (C.DATA_CHUNK, 4, b"abcdef"), (C.RESET, 4, b"")]

    # A threat found while the client still sends is answered at once; the
    # rest is read and thrown away.
    c = r.send(instream(b"virus", end=False))
    assert take(link, 2) == [(C.INIT, 5, b""), (C.DATA_CHUNK, 5, b"virus")]
    answer(link, 5, found("Early"))
    assert read(c, b"\0") == b"stream: Early FOUND\0"
    c.sendall(struct.pack(">I", 4) + b"more" + b"\0" * 4)
    assert read(c) == b""
    # Nothing more of that job reached Courier: the next thing is a new job.
    r.send(instream(b"x"))
    assert link.expect(C.INIT).job_id == 6


def test_a_stalled_client_holds_only_a_piece_of_the_window(rig):
    r = rig()
    stalled = r.send(b"zINSTREAM\0" + struct.pack(">I", 4 << 20))
    link = r.link(window=96 << 10)
    assert link.expect(C.INIT).job_id == 0
    # It announced much and sends nothing; the others still get through.
    c = r.send(instream(b"x"))
    assert link.expect(C.INIT).job_id == 1 and job_data(link, 1) == b"x"
    # The supervisor gone, with one client holding credit and one waiting
    # for it: they go before what they hold (the sanitizer build checks).
    r.send(instream(b"y" * (64 << 10), end=False))
    assert link.expect(C.INIT).job_id == 2 and link.expect(C.DATA_CHUNK).job_id == 2
    r.daemon.link.sock.close()
    assert r.daemon.finish()[0] == Error.EC_MONITOR_IPC_ERROR


def fildes(r, fd):
    c = r.send(b"zFILDES\0")
    c.sendmsg([b"z"], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [fd]))])
    return c


def test_fildes(rig, tmp_path):
    r = rig()
    (tmp_path / "file").write_bytes(b"file data" * 10000)
    (tmp_path / "empty").write_bytes(b"")
    link = None
    for job, (name, report, reply) in enumerate([("file", found("In-File"), b"In-File FOUND"), ("empty", None, b"OK")]):
        with open(tmp_path / name, "rb") as f:
            f.seek(5)  # read from the start whatever the offset
            c = fildes(r, f.fileno())
        link = link or r.link()
        assert serve(link, job, report) == (tmp_path / name).read_bytes()
        assert re.fullmatch(rb"fd\[\d+\]: " + reply + b"\0", read(c)), name

    reply = read(fildes(r, os.open(tmp_path, os.O_RDONLY)))
    assert re.fullmatch(rb"fd\[\d+\]: FILDES file descriptor: Not a regular file \[vx.Error:33\] ERROR\0", reply)
    assert r.endpoint.ask(b"zFILDES\0z") == b"No file descriptor received. ERROR\0"


def stream(r, data=None):
    """A client that sent STREAM, and the port it was told, where data (if any) went."""
    c = r.send(b"zSTREAM\0")
    port = int(re.fullmatch(rb"PORT (\d+)\0", read(c, b"\0")).group(1))
    if data is not None:
        with socket.create_connection(("127.0.0.1", port)) as s:
            s.sendall(data)
    return c, port


def test_stream_port(rig):
    r = rig(stream_max_length=10)
    c, _ = stream(r, b"0123456789")
    link = r.link()
    assert serve(link, 0, found("Streamed")) == b"0123456789" and read(c) == b"stream: Streamed FOUND\0"

    # Past the limit the client hears so, and the job goes.
    c, _ = stream(r, b"x" * 20)
    assert read(c) == b"stream: Size limit exceeded. ERROR\0"
    assert take(link, 3) == [(C.INIT, 1, b""), (C.DATA_CHUNK, 1, b"x" * 10), (C.RESET, 1, b"")]

    # The port takes one connection; one that closes at once is empty data.
    c, port = stream(r, b"")
    assert link.expect(C.INIT).job_id == 2 and job_data(link, 2) == b""
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port)).close()
    answer(link, 2)
    assert read(c) == b"stream: OK\0"


# A client silent while the daemon waits on its data is let go after the read timeout,
# and Courier drops its job. (One waiting for Courier's window is test_faults' matter.)
TIMED_OUT = b"COMMAND READ TIMED OUT\n"
STREAM_TIMED_OUT = b"stream: ERROR Network operation timed out\0"


@pytest.mark.parametrize("sent, reply", [
    (b"zINSTREAM\0", TIMED_OUT), (b"zINSTREAM\0\0\0\0\x0aabc", TIMED_OUT), (b"zFILDES\0", TIMED_OUT),
    ("unconnected", STREAM_TIMED_OUT), ("connected", STREAM_TIMED_OUT),
], ids=["instream", "instream-mid-chunk", "fildes", "stream-unconnected", "stream-connected"])
def test_silent_data_clients_are_let_go(rig, sent, reply):
    r = rig(read_timeout=300)
    with contextlib.ExitStack() as held:
        if isinstance(sent, str):
            c, port = stream(r)
            # Loopback only: no other address of this host may feed it scan data.
            with pytest.raises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.2", port)).close()
            if sent == "connected":
                held.enter_context(socket.create_connection(("127.0.0.1", port)))
        else:
            c = r.send(sent)
        # FILDES opens its job only once the descriptor is in.
        link = None if sent == b"zFILDES\0" else r.link()
        assert read(c) == reply
        assert not link or take(link, 2) == [(C.INIT, 0, b""), (C.RESET, 0, b"")]


def test_courier_failure_ends_only_clients_with_work_there(rig):
    r = rig()
    busy = r.send(instream(b"part", end=False))
    link = r.link()
    assert take(link, 2) == [(C.INIT, 0, b""), (C.DATA_CHUNK, 0, b"part")]
    idle = r.endpoint.connect()
    exchange(idle, b"zIDSESSION\0zPING\0", b"1: PONG\0")

    link.sock.close()
    assert read(busy) == b""
    exchange(idle, b"zPING\0", b"2: PONG\0")
    assert any("Error with Courier: " in line for line in r.daemon.log_lines())

    # Data goes to the link made again; terminating with a data scan under
    # way is the usual orderly exit.
    link = r.link()
    r.send(instream(b"unfinished", end=False))
    assert take(link, 2) == [(C.INIT, 1, b""), (C.DATA_CHUNK, 1, b"unfinished")]
    assert r.daemon.stop() == Error.EC_APP_TERMINATED

