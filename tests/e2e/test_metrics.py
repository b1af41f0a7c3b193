"""vemra-warden's metrics endpoint as a scraper sees it: counters that move
by exactly what happened, and requests it refuses. (That nothing listens
without MetricsListen is checked by the path-scan tests' suite without services.)"""

import os
import re
import signal
import socket
import struct

import pytest

from suite import EICAR, FILES, Suite, free_port, listening_tcp, wait_for
from wire import DEADLINE


def http(port, request):
    """All the server sends back until it closes; a request it did not read
    to the end makes the close a reset, which may follow the reply."""
    with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as s:
        s.sendall(request)
        reply = b""
        try:
            for chunk in iter(lambda: s.recv(65536), b""):
                reply += chunk
        except ConnectionResetError:
            assert reply, "reset without a reply"
        return reply


SCAN_FAMILIES = ("vemra_scans_total", "vemra_scan_detections_total", "vemra_scan_errors_total",
                 "vemra_scanned_bytes_total")


def counts(metrics, service):
    return [metrics['%s{service="%s"}' % (f, service)] for f in SCAN_FAMILIES]


def scrape(port):
    reply = http(port, b"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").decode()
    head, _, body = reply.partition("\r\n\r\n")
    assert head.startswith("HTTP/1.1 200 ") and "text/plain; version=0.0.4" in head, head
    return {m[1]: int(m[2]) for m in re.finditer(r"^(\w+(?:\{[^}]*\})?) (\d+)$", body, re.M)}


@pytest.fixture
def suite():
    port = free_port()
    s = Suite(warden="MetricsListen = %d\nRestartDelay = 100ms" % port)
    s.metrics_port = port
    yield s
    s.close()


def test_counters_follow_connections_restarts_and_scans(suite):
    port = suite.metrics_port
    assert listening_tcp(suite.warden.proc.pid) == {port}
    before = wait_for(lambda: (lambda m: m["vemra_clamd_config_revision_applied"] == 1 and m)(scrape(port)),
                      "the daemon to report its revision")
    assert [before['vemra_program_up{program="%s"}' % p] for p in ("clamd", "sieve", "courier")] == [1, 1, 1]

    # One connection the daemon closes, then three the clients hold.
    assert suite.ask(b"zPING\0") == b"PONG\0"
    clients = [suite.connect() for _ in range(3)]
    opened, closed = before["vemra_clamd_connections_opened_total"] + 4, before["vemra_clamd_connections_closed_total"] + 1
    m = wait_for(lambda: (lambda m: m["vemra_clamd_connections"] == 3 and m["vemra_clamd_connections_closed_total"] ==
                          closed and m)(scrape(port)), "3 connections")
    assert m["vemra_clamd_connections_opened_total"] == opened
    for c in clients:
        c.close()
    m = wait_for(lambda: (lambda m: m["vemra_clamd_connections_closed_total"] == closed + 3 and m)(scrape(port)),
                 "3 connections closed")
    assert (m["vemra_clamd_connections"], m["vemra_clamd_connections_opened_total"]) == (0, opened)

    os.kill(suite.pid_of("ClamD"), signal.SIGKILL)
    m = wait_for(lambda: (lambda m: m['vemra_program_restarts_total{program="clamd"}'] == 1 and
                          m["vemra_clamd_config_revision_applied"] == 1 and m)(scrape(port)), "the daemon's restart")
    # The totals carry over the daemon's processes; only the daemon restarted.
    assert (m["vemra_clamd_connections_opened_total"], m["vemra_clamd_connections_closed_total"]) == (opened, closed + 3)
    assert [m['vemra_program_restarts_total{program="%s"}' % p] for p in ("sieve", "courier")] == [0, 0]
    assert m["vemra_config_revision"] == 1

    paths, streams = ("clean.txt", "eicar.com", "tree/a.txt"), (b"clean data" * 1000, EICAR)
    for name in paths:
        suite.ask(b"nSCAN %s\n" % suite.path(name).encode())
    for data in streams:
        suite.ask(b"zINSTREAM\0" + struct.pack(">I", len(data)) + data + b"\0" * 4)
    sieve = [a + b for a, b in zip(counts(m, "sieve"), [3, 1, 0, sum(len(FILES[n]) for n in paths)])]
    courier = [a + b for a, b in zip(counts(m, "courier"), [2, 1, 0, sum(map(len, streams))])]
    m = wait_for(lambda: (lambda m: counts(m, "sieve")[0] == sieve[0] and counts(m, "courier")[0] == courier[0] and m)(
        scrape(port)), "the services to report their scans")
    assert (counts(m, "sieve"), counts(m, "courier")) == (sieve, courier)


@pytest.mark.parametrize("request_, status", [
    (b"NOT HTTP\r\n\r\n", 400),
    (b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 9000 + b"\r\n\r\n", 400),
    (b"GET /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 400),
    (b"POST /metrics HTTP/1.1\r\nConnection: close\r\n\r\n", 405),
    (b"GET / HTTP/1.1\r\nConnection: close\r\n\r\n", 404),
])
def test_refused_requests_leave_the_endpoint_serving(suite, request_, status):
    assert http(suite.metrics_port, request_).startswith(b"HTTP/1.1 %d " % status)
    assert scrape(suite.metrics_port)["vemra_config_revision"] == 1
