"""vemra-warden's metrics endpoint as a scraper sees it: counters that move
by exactly what happened, and requests it refuses. (That nothing listens
without MetricsListen is checked by the path-scan tests' suite without services.)"""

import os
import re
import signal
import socket

import pytest

from suite import EICAR, FILES, free_port, instream, listening_tcp, wait_for
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


def counts(metrics, service):
    return [metrics['%s{service="%s"}' % (f, service)]
            for f in ("scans_total", "scan_detections_total", "scan_errors_total", "scanned_bytes_total")]


def scrape(port):
    """The samples by name, without the vemra_ every one must start with."""
    reply = http(port, b"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").decode()
    head, _, body = reply.partition("\r\n\r\n")
    assert head.startswith("HTTP/1.1 200 ") and "text/plain; version=0.0.4" in head, head
    return {m[1]: int(m[2]) for m in re.finditer(r"^vemra_(\w+(?:\{[^}]*\})?) (\d+)$", body, re.M)}


def scraped(port, what, ready):
    """The first scrape for which ready holds."""
    return wait_for(lambda: (lambda m: ready(m) and m)(scrape(port)), what)


@pytest.fixture
def suite(suites):
    port = free_port()
    s = suites(warden="MetricsListen = %d\nRestartDelay = 100ms" % port)
    s.metrics_port = port
    return s


def test_counters_follow_connections_restarts_and_scans(suite):
    port = suite.metrics_port
    assert listening_tcp(suite.warden.proc.pid) == {port}
    before = scraped(port, "the daemon's revision", lambda m: m["clamd_config_revision_applied"] == 1)
    assert [before['program_up{program="%s"}' % p] for p in ("clamd", "sieve", "courier")] == [1, 1, 1]
    conns = lambda m: tuple(m["clamd_connections" + k] for k in ("", "_opened_total", "_closed_total"))

    # One connection the daemon closes, then three the clients hold.
    assert suite.ask(b"zPING\0") == b"PONG\0"
    clients = [suite.connect() for _ in range(3)]
    opened, closed = conns(before)[1] + 4, conns(before)[2] + 1
    assert conns(scraped(port, "3 connections", lambda m: conns(m)[::2] == (3, closed))) == (3, opened, closed)
    for c in clients:
        c.close()
    m = scraped(port, "3 connections closed", lambda m: conns(m)[2] == closed + 3)
    assert conns(m) == (0, opened, closed + 3)

    os.kill(suite.pid_of("ClamD"), signal.SIGKILL)
    m = scraped(port, "the daemon's restart", lambda m: (m['program_restarts_total{program="clamd"}'],
                                                         m["clamd_config_revision_applied"]) == (1, 1))
    # The totals carry over the daemon's processes; only the daemon restarted.
    assert conns(m)[1:] == (opened, closed + 3)
    assert [m['program_restarts_total{program="%s"}' % p] for p in ("sieve", "courier")] == [0, 0]
    assert m["config_revision"] == 1

    paths, streams = ("clean.txt", "eicar.com", "tree/a.txt"), (b"clean data" * 1000, EICAR)
    for name in paths:
        suite.ask(b"nSCAN %s\n" % suite.path(name).encode())
    for data in streams:
        suite.ask(instream(data))
    sieve = [a + b for a, b in zip(counts(m, "sieve"), [3, 1, 0, sum(len(FILES[n]) for n in paths)])]
    courier = [a + b for a, b in zip(counts(m, "courier"), [2, 1, 0, sum(map(len, streams))])]
    m = scraped(port, "the services to report their scans",
                lambda m: (counts(m, "sieve")[0], counts(m, "courier")[0]) == (sieve[0], courier[0]))
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
    assert scrape(suite.metrics_port)["config_revision"] == 1
