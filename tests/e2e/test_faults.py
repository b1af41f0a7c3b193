"""Faults injected into the real suite under load (services or the daemon
killed, Courier stopped, descriptors or Courier's disk running out): every client gets a
correct answer, an error or a closed connection, never "OK" for infected
data; nothing hangs or leaks, and all serve again once the fault is gone."""

import array
import collections
import os
import random
import re
import resource
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest

from suite import DEADLINE, read, rss, wait_for

# Services come back quickly, so that several kills fit in one run.
RESTART = "RestartDelay = 100ms\nRestartDelayMax = 200ms\n"
# Found by the engine at the start of data of any size.
MARKER = b"VEMRA-TEST-SIGNATURE-KNOWN-VIRUS"
MIXED = [("path", False), ("path", True), ("instream", False), ("instream", True)]
DATA = [("fildes", False), ("fildes", True), ("instream", False), ("instream", True)]
STREAMS = [("instream", False), ("instream", True)]


@pytest.fixture
def rng():
    seed = int(os.environ.get("VEMRA_FAULT_SEED") or time.time_ns() % 10**9)
    print("VEMRA_FAULT_SEED=%d" % seed)
    return random.Random(seed)


def fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def cpu_seconds(pid):
    """Time its threads have run (clock ticks are too coarse for the short windows measured)."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
            total += int(f.read().split()[0])
    return total / 1e9


def open_connections(s):
    """Connections open in the daemon's last report (None before it) as Warden's status shows it."""
    seen = s.warden.log().count("Warden: status:")
    s.warden.proc.send_signal(signal.SIGUSR1)
    m = re.search(r"opened (\d+), closed (\d+)", s.warden.wait_log("Warden: status:", seen + 1).string)
    return m and int(m.group(1)) - int(m.group(2))


class Load:
    """clients threads, each making rounds scans of kinds drawn from kinds on new connections
    (INSTREAM data: size bytes); counts replies as correct, error or closed and keeps the wrong ones."""

    def __init__(self, s, rng, clients=16, rounds=1, kinds=MIXED, size=0):
        self.s, self.size, self.total = s, size, clients * rounds
        self.outcomes, self.wrong, self.failures, self.done = collections.Counter(), [], [], 0
        self.sent = 0  # INSTREAM bytes the clients got through
        self.lock = threading.Lock()
        self.threads = [threading.Thread(target=self.client, args=(random.Random(rng.random()), rounds, kinds))
                        for _ in range(clients)]
        for t in self.threads:
            t.start()

    def client(self, rng, rounds, kinds):
        try:
            for _ in range(rounds):
                kind, infected = rng.choice(kinds)
                outcome = self.classify(kind, infected, self.scan(kind, infected))
                with self.lock:
                    self.outcomes[kind, outcome] += 1
                    self.done += 1
        except Exception as e:  # a hang or a broken client; reported by finish
            self.failures.append(repr(e))

    def scan(self, kind, infected):
        """The reply, b"" when the connection was refused or closed."""
        try:
            with self.s.connect() as c:
                path = self.s.path("eicar.com" if infected else "clean.txt")
                if kind == "path":
                    c.sendall(b"zSCAN %s\0" % path.encode())
                elif kind == "fildes":
                    c.sendall(b"zFILDES\0")
                    with open(path, "rb") as f:
                        c.sendmsg([b"z"], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [f.fileno()]))])
                else:
                    self.upload(c, (MARKER if infected else b"clean") + bytes(self.size))
                return read(c)
        except (ConnectionError, FileNotFoundError):
            return b""

    def upload(self, c, data, piece=1 << 16):
        c.sendall(b"zINSTREAM\0")
        for at in range(0, len(data), piece):
            chunk = data[at:at + piece]
            c.sendall(struct.pack(">I", len(chunk)) + chunk)
            with self.lock:
                self.sent += len(chunk)
        c.sendall(b"\0" * 4)

    def classify(self, kind, infected, reply):
        name = {"path": re.escape(self.s.path("eicar.com" if infected else "clean.txt").encode()),
                "fildes": rb"fd\[\d+\]", "instream": b"stream"}[kind]
        threat = b"Vemra-Test-Known-Virus" if kind == "instream" else b"EICAR-Test-File"
        if re.fullmatch(name + (b": " + threat + b" FOUND\0" if infected else b": OK\0"), reply):
            return "correct"
        if not reply:
            return "closed"
        if b"ERROR" in reply and not re.search(rb"(: OK| FOUND)\0$", reply):
            return "error"
        self.wrong.append((kind, infected, reply))
        return "wrong"

    def finish(self):
        """The outcomes once every client is done; none may hang or be answered wrongly."""
        end = time.monotonic() + 2 * DEADLINE
        for t in self.threads:
            t.join(max(0.0, end - time.monotonic()))
        assert not any(t.is_alive() for t in self.threads), "clients hung: %s" % self.outcomes
        assert not self.failures and not self.wrong, (self.failures, self.wrong)
        print(dict(self.outcomes))
        return collections.Counter(outcome for (_, outcome) in self.outcomes.elements())


def correct(s, rng, **kw):
    return set(Load(s, rng, **kw).finish()) == {"correct"}


def test_services_killed_at_random_moments(suites, rng):
    s = suites(warden=RESTART)
    clamd = s.pid_of("ClamD")
    # Both kinds once, so that the lasting link to Courier is open before descriptors are counted.
    for kind in ("path", "instream"):
        assert correct(s, rng, clients=1, kinds=[(kind, True)])
    before = fds(clamd)
    load, starts = Load(s, rng, rounds=12), {"Sieve": 1, "Courier": 1}
    for mark in sorted(rng.sample(range(load.total // 8, load.total * 3 // 4), 4)):
        wait_for(lambda: load.done >= mark, "reply %d" % mark)
        name = rng.choice(sorted(starts))
        os.kill(s.pid_of(name, starts[name]), signal.SIGKILL)
        starts[name] += 1
        s.pid_of(name, starts[name])
    load.finish()
    # A restarted service takes a moment to listen; the daemon relinks to Courier on its own schedule.
    for kind in ("path", "instream"):
        wait_for(lambda: correct(s, rng, clients=1, kinds=[(kind, True)]), kind + " scans to work again")
    assert correct(s, rng, rounds=2)
    wait_for(lambda: fds(clamd) <= before, "descriptors back to %d" % before)
    wait_for(lambda: open_connections(s) == 0, "every connection to end")
    assert len(re.findall("started ClamD", s.warden.log())) == 1


def test_courier_stopped_with_uploads_in_flight(suites, rng):
    s = suites()
    clamd, courier = s.pid_of("ClamD"), s.pid_of("Courier")
    assert correct(s, rng, clients=1, kinds=STREAMS)
    base, size = rss(clamd), 4 << 20
    os.kill(courier, signal.SIGSTOP)
    try:
        load, history = Load(s, rng, kinds=STREAMS, size=size), []
        wait_for(lambda: history.append(load.sent) or history[-3:] == [load.sent] * 3 and load.sent > 0,
                 "uploads to stall")
        # What the daemon holds is bounded by the window, not by what clients send.
        assert load.done == 0 and load.sent < load.total * size // 4, load.sent
        assert rss(clamd) - base < load.total * size // 4, (base, rss(clamd))
    finally:
        os.kill(courier, signal.SIGCONT)
    assert set(load.finish()) == {"correct"}


def test_daemon_killed_under_load(suites, rng):
    s = suites(warden=RESTART)
    load = Load(s, rng, rounds=8)
    wait_for(lambda: load.done >= load.total // 4, "a quarter of the replies")
    os.kill(s.pid_of("ClamD"), signal.SIGKILL)
    s.pid_of("ClamD", 2)
    s.warden.wait_log(re.escape("Server on %s (local) started" % s.sock), 2)
    load.finish()
    assert correct(s, rng, rounds=2)


def test_descriptors_exhausted(suites, rng):
    s = suites(warden=RESTART, out_of_descriptors=True)
    clamd = s.pid_of("ClamD")
    assert correct(s, rng, clients=2, kinds=DATA)
    wait_for(lambda: open_connections(s) == 0, "the first clients to be gone")
    limits, before = resource.prlimit(clamd, resource.RLIMIT_NOFILE), fds(clamd)
    # Room for one client and nothing it passes: the others wait in the backlog, every FILDES is refused.
    resource.prlimit(clamd, resource.RLIMIT_NOFILE, (before + 1, limits[1]))
    # A daemon spinning on accept gets a good part of the CPU a shell loop beside it gets, however busy
    # the machine; one that waits gets a hundredth of it.
    spinner = subprocess.Popen(["/bin/sh", "-c", "while :; do :; done"])
    cpu = cpu_seconds(clamd)
    try:
        outcomes = Load(s, rng, rounds=2, kinds=DATA).finish()
        share = (cpu_seconds(clamd) - cpu) / cpu_seconds(spinner.pid)
    finally:
        spinner.kill()
        spinner.wait()
        resource.prlimit(clamd, resource.RLIMIT_NOFILE, limits)
    assert share < 0.2 and outcomes["error"] + outcomes["closed"] > 0, (share, outcomes)
    assert correct(s, rng, rounds=2, kinds=DATA)
    wait_for(lambda: fds(clamd) <= before, "descriptors back to %d" % before)


def test_disk_full_while_courier_spills(suites, rng):
    # Every job goes to a file, and Courier may write only 1 MiB to one.
    s = suites(warden=RESTART + "CourierMemory = 0\n")
    courier, limit = s.pid_of("Courier"), 1 << 20
    hard = resource.prlimit(courier, resource.RLIMIT_FSIZE)[1]
    resource.prlimit(courier, resource.RLIMIT_FSIZE, (limit, hard))
    big = Load(s, rng, clients=1, kinds=[("instream", True)], size=4 * limit)
    assert correct(s, rng, clients=8, rounds=4, kinds=STREAMS, size=limit // 4)
    assert set(big.finish()) == {"error"}
    assert correct(s, rng, clients=2, kinds=STREAMS)
    assert len(re.findall("started Courier", s.warden.log())) == 1 and os.kill(courier, 0) is None
