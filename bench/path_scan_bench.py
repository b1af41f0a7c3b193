#!/usr/bin/python3
"""Cost of path scans in vemra-clamd, through the real suite (vemra-warden,
vemra-clamd, vemra-sieve): SCAN and MULTISCAN of a tree of many small
files made here. Prints the daemon's CPU time per file (utime+stime from
/proc) beside a bare walk of the same tree measured in the same run
(`find -type f`), and the PING round trips of another client while the
scan runs.

    bench/path_scan_bench.py [--build DIR] [--files N] [--rounds N]

Targets: at most 10 us of daemon CPU per file beyond the walk; PING p99
under 5 ms during the scan. Runs on demand, never in CI."""

import os
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

from procs import add_row, bench_args, built, child_named

TICK = os.sysconf("SC_CLK_TCK")


def make_tree(root, count):
    for i in range(count):
        d = os.path.join(root, "%03d" % (i // 1000))
        if i % 1000 == 0:
            os.makedirs(d)
        with open(os.path.join(d, "f%06d.txt" % i), "wb") as f:
            f.write(b"clean %d\n" % i)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def command(path, request, timeout=600):
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(timeout)
        s.connect(path)
        s.sendall(request)
        reply = b""
        while True:
            data = s.recv(65536)
            if not data:
                return reply
            reply += data


def walk_seconds(root, rounds):
    best = None
    for _ in range(rounds):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(["find", root, "-type", "f"], stdout=subprocess.DEVNULL, check=True)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        spent = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        best = spent if best is None else min(best, spent)
    return best


class Pinger(threading.Thread):
    """One PING per connection, back to back, until stopped."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path, self.times, self.stopped = path, [], threading.Event()

    def run(self):
        while not self.stopped.is_set():
            start = time.perf_counter()
            assert command(self.path, b"zPING\0") == b"PONG\0"
            self.times.append(time.perf_counter() - start)
            time.sleep(0.001)

    def percentile(self, p):
        t = sorted(self.times)
        return t[min(len(t) - 1, int(len(t) * p))] if t else float("nan")


def scan_once(sock, clamd_pid, word, root):
    pinger = Pinger(sock)
    before = cpu_seconds(clamd_pid)
    pinger.start()
    start = time.perf_counter()
    reply = command(sock, b"n%s %s\n" % (word, root.encode()))
    elapsed = time.perf_counter() - start
    pinger.stopped.set()
    pinger.join()
    if reply != root.encode() + b": OK\n":
        sys.exit("unexpected reply to %s: %r" % (word.decode(), reply[:200]))
    return cpu_seconds(clamd_pid) - before, elapsed, pinger


def main():
    p = bench_args(__doc__.splitlines()[0])
    p.add_argument("--files", type=int, default=100000)
    p.add_argument("--rounds", type=int, default=3)
    a = p.parse_args()

    warden = built(a.build, "suite", "warden", "vemra-warden")
    work = tempfile.mkdtemp(prefix="vb", dir="/tmp")
    proc = None
    try:
        tree = os.path.join(work, "tree")
        make_tree(tree, a.files)
        run_dir = os.path.join(work, "run")
        conf = os.path.join(work, "vemra.conf")
        with open(conf, "w") as f:
            f.write("[Warden]\nSieveEnabled = yes\nLogLevel = Warning\n"
                    "[ClamD]\nLogLevel = Warning\nReadTimeout = 10m\n"
                    "[ClamD.Endpoint.bench]\nClamdSocket = %s/clamd.sock\n" % run_dir)
        os.chmod(conf, 0o600)
        proc = subprocess.Popen([warden, "--config", conf, "--run-dir", run_dir],
                                stderr=subprocess.DEVNULL)
        sock = os.path.join(run_dir, "clamd.sock")
        clamd_pid = child_named(proc.pid, "vemra-clamd")
        end = time.monotonic() + 20
        while True:
            try:
                if command(sock, b"zPING\0", timeout=5) == b"PONG\0":
                    break
            except OSError:
                pass
            if time.monotonic() > end:
                sys.exit("vemra-clamd does not answer on " + sock)
            time.sleep(0.05)

        # The daemon connects to Sieve on the first scan; Sieve may still be
        # starting when the daemon already answers.
        while not os.path.exists(os.path.join(run_dir, "sieve.sock")):
            if time.monotonic() > end:
                sys.exit("vemra-sieve does not listen in " + run_dir)
            time.sleep(0.05)

        walk = walk_seconds(tree, a.rounds)
        print("%d files; bare walk (find): %.2f us/file" % (a.files, walk * 1e6 / a.files))
        for word in (b"SCAN", b"MULTISCAN"):
            best = None
            for _ in range(a.rounds):
                result = scan_once(sock, clamd_pid, word, tree)
                best = result if best is None or result[0] < best[0] else best
            cpu, elapsed, pinger = best
            per_file = cpu * 1e6 / a.files
            print("%-9s daemon CPU %.2f us/file (%.2f beyond the walk), %.0f files/s; "
                  "PING during scan: %d, p50 %.2f ms, p99 %.2f ms"
                  % (word.decode(), per_file, per_file - walk * 1e6 / a.files, a.files / elapsed,
                     len(pinger.times), pinger.percentile(0.5) * 1e3, pinger.percentile(0.99) * 1e3), flush=True)
            walk_us = walk * 1e6 / a.files
            add_row(a, "%s of %d files, CPU/file (walk: find)" % (word.decode(), a.files), "%.2f" % walk_us,
                    "%.2f" % per_file, "%.2fx" % (per_file / walk_us) if walk_us else "-", "us")
            add_row(a, "  beyond the walk (target <= 10)", "-", "%.2f" % (per_file - walk_us), "-", "us")
    finally:
        if proc:
            proc.terminate()
            proc.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
