#!/usr/bin/python3
"""Requests per second and p99 latency of vemra-clamd straight and through
HAProxy (the shipped etc/haproxy-vemra.cfg) with one and with two
instances behind it, in one run on this machine.

    bench/haproxy_bench.py [--build DIR] [--clients N] [--pings N] [--streams N]
                             [--rounds N]

Two suites (vemra-warden with its daemon and services, each on its own
TCP port and run directory) are started, and HAProxy twice: once with both
server lines naming the first instance (one backend), once with one line
for each (two backends). Workloads: PING ("zPING\\0") and INSTREAMs of
100 KiB of clean data, each request on its own connection, from --clients
threads at once, the three targets taking turns each round; medians are
printed. Every reply is checked; failures are counted, not timed.
All processes share this machine's CPUs with the clients, so a second
instance cannot add CPU here: the two-backend row shows what balancing
costs, not what a second host gains. Runs on demand, never in CI; prints
figures, asserts nothing about them."""

import concurrent.futures
import os
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

from procs import bench_args, built

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CONFIG = os.path.join(REPO, "etc", "haproxy-vemra.cfg")
PING = (b"zPING\0", b"PONG\0")
STREAM = (b"zINSTREAM\0" + struct.pack(">I", 100 << 10) + b"x" * (100 << 10) + struct.pack(">I", 0),
          b"stream: OK\0")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ask(port, request, expected):
    """Seconds for one request, or None when the reply was not expected."""
    start = time.perf_counter()
    reply = b""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
            s.sendall(request)
            for chunk in iter(lambda: s.recv(4096), b""):
                reply += chunk
    except OSError:
        return None
    return time.perf_counter() - start if reply == expected else None


def wait_ready(port, deadline=30.0):
    end = time.monotonic() + deadline
    while ask(port, *PING) is None:
        if time.monotonic() > end:
            sys.exit("nothing answers PING on port %d" % port)
        time.sleep(0.05)


def load(port, work, count, clients):
    """(requests per second, p99 in ms, failures)."""
    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(clients) as pool:
        times = list(pool.map(lambda _: ask(port, *work), range(count)))
    elapsed = time.perf_counter() - start
    done = sorted(t for t in times if t is not None)
    p99 = done[min(len(done) - 1, int(len(done) * 0.99))] * 1000 if done else float("nan")
    return len(done) / elapsed, p99, count - len(done)


def start_suite(warden, work, name, port):
    run_dir = os.path.join(work, name)
    conf = os.path.join(work, name + ".conf")
    with open(conf, "w") as f:
        f.write("[Warden]\nStatusInterval = off\n[ClamD.Endpoint.tcp]\nClamdSocket = 127.0.0.1:%d\n" % port)
    proc = subprocess.Popen([warden, "--config", conf, "--run-dir", run_dir], stderr=subprocess.DEVNULL)
    wait_ready(port)
    return proc


def start_haproxy(port, a, b):
    env = dict(os.environ, VEMRA_LB_BIND="127.0.0.1:%d" % port, VEMRA_BACKEND_A="127.0.0.1:%d" % a,
               VEMRA_BACKEND_B="127.0.0.1:%d" % b)
    proc = subprocess.Popen([shutil.which("haproxy") or "/usr/sbin/haproxy", "-db", "-f", CONFIG], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_ready(port)
    return proc


def main():
    p = bench_args(__doc__.split("\n\n")[0])
    p.add_argument("--clients", type=int, default=16)
    p.add_argument("--pings", type=int, default=4000)
    p.add_argument("--streams", type=int, default=1000)
    p.add_argument("--rounds", type=int, default=3)
    a = p.parse_args()
    warden = built(a.build, "suite", "warden", "vemra-warden")
    work = tempfile.mkdtemp(prefix="hb", dir="/tmp")
    procs = []
    try:
        ports = [free_port() for _ in range(4)]
        procs += [start_suite(warden, work, "a", ports[0]), start_suite(warden, work, "b", ports[1])]
        procs += [start_haproxy(ports[2], ports[0], ports[0]), start_haproxy(ports[3], ports[0], ports[1])]
        targets = [("direct", ports[0]), ("HAProxy, 1 backend", ports[2]), ("HAProxy, 2 backends", ports[3])]
        print("%d clients, one connection per request; median of %d rounds, targets alternating; %d CPUs"
              % (a.clients, a.rounds, os.cpu_count()))
        for name, port in targets:
            for work_, count in ((PING, a.pings // 10), (STREAM, a.streams // 10)):
                load(port, work_, count, a.clients)  # warm-up
        runs = {name: [] for name, _ in targets}
        for _ in range(a.rounds):
            for name, port in targets:
                runs[name].append(load(port, PING, a.pings, a.clients) + load(port, STREAM, a.streams, a.clients))
        print("%-21s %12s %9s %14s %9s" % ("", "PING req/s", "p99 ms", "100 KiB req/s", "p99 ms"))
        for name, _ in targets:
            figures = [statistics.median(r[i] for r in runs[name]) for i in (0, 1, 3, 4)]
            failed = sum(r[2] + r[5] for r in runs[name])
            print("%-21s %12.0f %9.1f %14.0f %9.1f%s" % (name, *figures, "  (%d failed)" % failed if failed else ""))
    finally:
        for proc in reversed(procs):
            proc.terminate()
        for proc in procs:
            proc.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
