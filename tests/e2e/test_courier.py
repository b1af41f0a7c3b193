"""vemra-courier driven over the Courier exchange the way the daemon drives
it: jobs interleaved on one connection by job id, their data scanned whole
by the suite's engine wherever it is kept, credit given back as data is
stored, and faults that end one connection only (the rules are
unit-tested)."""

import os
import random
import stat
import struct

import wire
from courier_client_ipc_pb2 import ClientMessage as C, ScanOptions, ServerMessage as S
from suite import COURIER, EICAR, Service, clean_env, run, wait_for, zip_of
from wire import Error

WINDOW = 64 * 1024


class Courier(Service):
    program = COURIER

    def client(self, flow_control=True):
        """A connection that has said HELLO; with flow control, it has
        received its window."""
        client = Client(self.connect(S))
        client.channel.send(C(tag=C.HELLO, origin=20, origin_pid=os.getpid(), flow_control=flow_control))
        if flow_control:
            client.take_one()
            assert client.credit == WINDOW
        return client


class Client:
    """The daemon's side of a connection: sends data only as far as its
    credit goes, and keeps what comes back by job id."""

    def __init__(self, channel):
        self.channel, self.credit, self.answers = channel, 0, {}

    def send(self, tag, job, **fields):
        self.channel.send(C(tag=tag, job_id=job, **fields))

    def take_one(self):
        m = self.channel.recv()
        assert m is not None, "Courier closed the connection"
        if m.tag == S.ADJUST_WINDOW:
            self.credit += m.window_change
        else:
            assert m.job_id not in self.answers
            self.answers[m.job_id] = m

    def send_data(self, chunks):
        for job, data in chunks:
            while self.credit < len(data):
                self.take_one()
            self.credit -= len(data)
            self.send(C.DATA_CHUNK, job, data=data)

    def answer(self, job):
        while job not in self.answers:
            self.take_one()
        return self.answers.pop(job)


def chunks(job, data, size):
    return [(job, data[i:i + size]) for i in range(0, len(data), size)]


def interleaved(*streams):
    """The chunks of several jobs taken in turn."""
    out, streams = [], [list(s) for s in streams]
    while any(streams):
        for s in streams:
            if s:
                out.append(s.pop(0))
    return out


def threats(report):
    return [v.name for v in report.virus] + [n for item in report.item for n in threats(item)]


def test_interleaved_jobs_are_scanned_whole_and_answered_by_job_id(services, tmp_path):
    spill = str(tmp_path)
    courier = services(Courier, args=["--window", str(WINDOW), "--memory", "4096"], env=clean_env(TMPDIR=spill))
    assert stat.S_IMODE(os.lstat(courier.path).st_mode) == 0o600
    client = courier.client()
    noise = random.Random(1).randbytes(100000)
    parcel = zip_of(("readme", noise), ("sub/eicar.com", EICAR))
    jobs = {1: EICAR, 2: noise, 3: parcel, 4: b"", 5: parcel}
    for job in jobs:
        client.send(C.INIT, job)
    client.send_data(interleaved(chunks(1, EICAR, 5), chunks(2, noise, 8192), chunks(3, parcel, 4096),
                                 chunks(5, parcel, 30000)))

    # What does not fit in memory is held in files already unlinked.
    held = lambda: [os.readlink("/proc/%d/fd/%s" % (courier.proc.pid, fd))
                    for fd in os.listdir("/proc/%d/fd" % courier.proc.pid)]
    assert sum(1 for link in held() if link.startswith(spill) and link.endswith(" (deleted)")) == 3
    assert os.listdir(spill) == []

    for job in jobs:
        client.send(C.SCAN_REQUEST, job, scan_options=ScanOptions(archive_max_level=0 if job == 5 else 8))
    reports = {job: client.answer(job) for job in jobs}
    assert all(m.tag == S.SCAN_RESPONSE and m.scan_report.object == b"stream" for m in reports.values())
    assert {job: threats(m.scan_report) for job, m in reports.items()} == \
        {1: ["EICAR-Test-File"], 2: [], 3: ["EICAR-Test-File"], 4: [], 5: []}
    assert reports[3].scan_report.item[-1].object == b"sub/eicar.com"
    # Every byte stored was given back as credit.
    while client.credit < WINDOW:
        client.take_one()
    assert client.credit == WINDOW
    wait_for(lambda: not any(link.startswith(spill) for link in held()), "the files to be closed")

    # A job reset is gone; data for a job never opened is refused.
    client.send(C.INIT, 6)
    client.send_data([(6, b"abc")])
    client.send(C.RESET, 6)
    client.send(C.SCAN_REQUEST, 6)
    client.send_data([(7, b"abc")])
    for job in (6, 7):
        m = client.answer(job)
        assert (m.tag, m.error.code) == (S.ALARM, Error.EC_NO_SUCH_ENTRY)


def test_flow_control_and_faults_end_one_connection_only(services):
    for args, why in [(["--window", "100"], "--window: use a number from 65536 to 67108864"),
                      (["--memory", str(2 << 30)], "--memory: use a number from 0 to 1073741824")]:
        r = run([COURIER, "--socket", "/tmp/unused.sock"] + args)
        assert r.returncode == Error.EC_UNEXPECTED_ERROR and why in r.stderr, r.stderr
    courier = services(Courier, args=["--window", str(WINDOW)])

    # Without flow control nothing is metered: no credit comes back.
    free = courier.client(flow_control=False)
    free.send(C.INIT, 1)
    free.send(C.DATA_CHUNK, 1, data=bytes(WINDOW + 10))
    free.send(C.SCAN_REQUEST, 1)
    assert free.channel.recv().tag == S.SCAN_RESPONSE

    # A chunk more than a window beyond the credit, a frame longer than any
    # chunk may be, bytes that are no message: each ends its connection.
    longest = 2 * WINDOW + 64 * 1024
    overrun = C(tag=C.DATA_CHUNK, job_id=1, data=bytes(2 * WINDOW + 1))
    for raw in [wire.encode(overrun), struct.pack("<I", longest + 1), wire.frame(b"\xff\xff\xff")]:
        client = courier.client()
        client.send(C.INIT, 1)
        client.channel.send_raw(raw)
        assert client.channel.recv() is None

    free.send(C.INIT, 2)
    free.send(C.SCAN_REQUEST, 2)
    assert free.answer(2).tag == S.SCAN_RESPONSE
    assert courier.finish()[1].count("Warning: Courier: closing a client session: ") == 3
