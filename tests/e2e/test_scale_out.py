"""Two suites behind HAProxy running the shipped etc/haproxy-vemra.cfg:
mixed traffic from many clients while one instance is killed, marked down
and started again."""

import concurrent.futures
import os
import re
import shutil
import socket
import subprocess

import pytest

from suite import EICAR, Logging, free_port, instream, proc_state, wait_for
from wire import DEADLINE

HAPROXY = shutil.which("haproxy") or shutil.which("haproxy", path="/usr/sbin:/sbin")
CONFIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "etc", "haproxy-vemra.cfg")
CLIENTS = 16


def requests(suite):
    """(request, the one right reply) of every kind the clients send."""
    clean, eicar = suite.path("clean.txt").encode(), suite.path("eicar.com").encode()
    return [(b"zPING\0", b"PONG\0"),
            (instream(b"harmless " * 1000), b"stream: OK\0"),
            (instream(EICAR), b"stream: EICAR-Test-File FOUND\0"),
            (b"zSCAN %s\0" % clean, b"%s: OK\0" % clean),
            (b"zSCAN %s\0" % eicar, b"%s: EICAR-Test-File FOUND\0" % eicar)]


def ask(port, request, expected):
    """"ok", "connection" (refused, reset, or closed before the whole reply) or any other reply."""
    reply = b""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as s:
            s.sendall(request)
            for chunk in iter(lambda: s.recv(4096), b""):
                reply += chunk
    except (ConnectionError, socket.timeout) as e:
        if isinstance(e, socket.timeout):
            return "timed out after %r" % reply
    if reply == expected:
        return "ok"
    return "connection" if expected.startswith(reply) else reply


class Balancer(Logging):
    """HAProxy in the foreground on the shipped configuration, its log in a file."""

    def __init__(self, directory, port, backends):
        self.log_path = directory / "haproxy.log"
        env = dict(os.environ, VEMRA_LB_BIND="127.0.0.1:%d" % port, VEMRA_CHECK_INTERVAL="200",
                   VEMRA_BACKEND_A="127.0.0.1:%d" % backends[0], VEMRA_BACKEND_B="127.0.0.1:%d" % backends[1])
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen([HAPROXY, "-db", "-f", CONFIG], env=env, stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=subprocess.STDOUT)

    def wait_log(self, pattern, start=0):
        """Waits for a line matching pattern after the first start characters; returns where it ends."""
        return wait_for(lambda: (lambda m: m and start + m.end())(re.search(pattern, self.log()[start:])),
                        "HAProxy to log %r; log:\n%s" % (pattern, self.log()[-2000:]))

    def close(self):
        self.proc.terminate()
        self.proc.wait(timeout=DEADLINE)


def kill_instance(suite):
    """SIGKILL to vemra-warden alone: its programs must end by themselves."""
    children = [suite.pid_of(name) for name in ("ClamD", "Sieve", "Courier")]
    suite.warden.proc.kill()
    suite.warden.proc.wait()
    wait_for(lambda: all(not os.path.exists("/proc/%d" % pid) or proc_state(pid) == "Z" for pid in children),
             "the killed Warden's programs to end")


def run_clients(port, jobs, at=None, action=None):
    """Sends jobs from CLIENTS threads; action() runs as job number at starts."""
    def one(i):
        if i == at:
            action()
        return ask(port, *jobs[i])
    with concurrent.futures.ThreadPoolExecutor(CLIENTS) as pool:
        return list(pool.map(one, range(len(jobs))))


@pytest.mark.skipif(not HAPROXY, reason="haproxy is not installed (Debian package haproxy; scripts/setup installs it)")
def test_failover_and_rejoin_behind_haproxy(suites, tmp_path):
    ports = [free_port(), free_port(), free_port()]
    a = suites(tcp_port=ports[0])
    suites(tcp_port=ports[1])  # b, which stays up throughout
    lb = Balancer(tmp_path, ports[2], ports[:2])
    try:
        kinds = requests(a)
        jobs = lambda n: [kinds[i % len(kinds)] for i in range(n)]
        wait_for(lambda: ask(ports[2], *kinds[0]) == "ok", "HAProxy to serve")

        # Requests in flight on the killed instance may fail, but only as
        # broken connections: never a wrong verdict.
        first = run_clients(ports[2], jobs(800), at=300, action=lambda: kill_instance(a))
        assert [r for r in first if r not in ("ok", "connection")] == []
        assert first.count("ok") >= 700, first
        down = lb.wait_log(r"Server vemra_clamd/a is DOWN")
        # STREAM's data port would be on the backend's host: refused here.
        assert ask(ports[2], b"zSTREAM\0", b"") == "ok"

        assert set(run_clients(ports[2], jobs(500))) == {"ok"}

        a.start()
        up = lb.wait_log(r"Server vemra_clamd/a is UP", down)
        assert set(run_clients(ports[2], jobs(700))) == {"ok"}
        # Both take traffic again: HAProxy logs which instance served each client.
        for server in ("a", "b"):
            lb.wait_log(r"vemra_clamd/%s " % server, up)
    finally:
        lb.close()
