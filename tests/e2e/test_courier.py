"""vemra-courier driven as the daemon drives it: jobs interleaved by id, data beyond
memory in unlinked files, credit given back as data is stored, faults that end one
connection only."""

import os
import struct

from courier_client_ipc_pb2 import ClientMessage as C, ScanOptions, ServerMessage as S
from suite import COURIER, EICAR, Service, clean_env, run, threat_names, wait_for, zip_of
from wire import App, Error, encode

WINDOW = 64 * 1024


class Courier(Service):
    program = COURIER

    def client(self):
        """A connection that has said HELLO with flow control and received its window."""
        client = self.connect(S)
        client.send(C(tag=C.HELLO, origin=App.APP_CLAMD, origin_pid=os.getpid(), flow_control=True))
        assert client.expect(S.ADJUST_WINDOW).window_change == WINDOW
        return client


def send(client, tag, job, **fields):
    client.send(C(tag=tag, job_id=job, **fields))


def test_jobs_interleaved_on_one_connection_and_faults_that_end_another(services, tmp_path):
    for args, why in [(["--window", "100"], "--window: use a number from 65536 to 67108864"),
                      (["--memory", str(2 << 30)], "--memory: use a number from 0 to 1073741824")]:
        r = run([COURIER, "--socket", "/tmp/unused.sock"] + args)
        assert r.returncode == Error.EC_UNEXPECTED_ERROR and why in r.stderr, r.stderr
    spill = str(tmp_path)
    courier = services(Courier, args=["--window", str(WINDOW), "--memory", "4096"], env=clean_env(TMPDIR=spill))
    client = courier.client()
    parcel = zip_of(("eicar.com", EICAR))
    marked = b"VEMRA-TEST-SIGNATURE-KNOWN-VIRUS".ljust(WINDOW, b"\0")
    for job in (1, 2, 3, 4):
        send(client, C.INIT, job)
    # A whole window for one job: its credit comes back before its scan is
    # asked for, or a client could never send more than a window a job.
    send(client, C.DATA_CHUNK, 2, data=marked)
    assert client.expect(S.ADJUST_WINDOW).window_change == WINDOW
    for i in range(0, len(parcel), 5):
        if i < len(EICAR):
            send(client, C.DATA_CHUNK, 1, data=EICAR[i:i + 5])
        send(client, C.DATA_CHUNK, 3, data=parcel[i:i + 5])

    # What does not fit in memory is held in a file already unlinked.
    held = lambda: [os.readlink("/proc/%d/fd/%s" % (courier.proc.pid, fd))
                    for fd in os.listdir("/proc/%d/fd" % courier.proc.pid)]
    assert sum(1 for link in held() if link.startswith(spill) and link.endswith(" (deleted)")) == 1
    assert os.listdir(spill) == []

    # A chunk more than a window beyond the credit, and a frame longer than
    # such a chunk may be, each end their own connection only.
    overrun = encode(C(tag=C.DATA_CHUNK, job_id=1, data=bytes(2 * WINDOW + 1)))
    for raw in overrun, struct.pack("<I", 2 * WINDOW + 64 * 1024 + 1):
        other = courier.client()
        other.send_raw(raw)
        assert other.recv() is None

    for job in (1, 2, 3, 4):
        send(client, C.SCAN_REQUEST, job, scan_options=ScanOptions(archive_max_level=0 if job == 3 else 8))
    send(client, C.DATA_CHUNK, 7, data=b"abc")
    answers, credit, sent = {}, 0, len(EICAR) + len(parcel) + 3
    while len(answers) < 5 or credit < sent:
        m = client.recv()
        assert m is not None, "Courier closed the connection"
        if m.tag == S.ADJUST_WINDOW:
            credit += m.window_change
        else:
            answers[m.job_id] = m
    # Every byte taken, also for no job, was given back as credit; data is
    # scanned whole wherever it was kept.
    assert credit == sent
    assert {job: (m.tag, threat_names(m.scan_report), m.error.code) for job, m in answers.items()} == {
        1: (S.SCAN_RESPONSE, ["EICAR-Test-File"], 0), 2: (S.SCAN_RESPONSE, ["Vemra-Test-Known-Virus"], 0),
        3: (S.SCAN_RESPONSE, [], 0), 4: (S.SCAN_RESPONSE, [], 0), 7: (S.ALARM, [], Error.EC_NO_SUCH_ENTRY)}
    wait_for(lambda: not any(link.startswith(spill) for link in held()), "the file to be closed")
    assert courier.finish()[1].count("Warning: Courier: closing a client session: ") == 2
