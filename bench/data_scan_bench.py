#!/usr/bin/python3
"""Throughput and memory of data scans in vemra-clamd, through the real
suite (vemra-warden, vemra-clamd, vemra-courier): INSTREAMs of the same
bytes pushed through the daemon and through a plain two-hop socket relay
(client -> relay -> sink, bench/relay.cpp, built here with g++ -O2), each
round alternating the two, medians printed.

    bench/data_scan_bench.py [--build DIR] [--port N] [--rounds N] [--quick]
                             [--size-mib N] [--requests N] [--request-kib N]
                             [--clients N]

Workloads: one INSTREAM of 1 GiB in 64 KiB chunks over the Unix socket and
over TCP (upload MB/s: to the client's last byte written; "to reply": to
the daemon's answer, which for a stream Courier keeps also waits for its
scan, while one beyond the engine's 256 MiB object limit is carried to
Courier whole and answered "stream: Object size limit reached. ERROR");
1,000 INSTREAMs of 100 KiB from 16 clients at once over the Unix socket
(MB/s and requests/s to the last reply). The daemon's peak resident memory
(VmHWM) is read after start-up, after a 16 MiB warm-up stream and after
each workload; vemra-courier's for information. --quick: 256 MiB, 200
requests. Requests that fail are listed at the end; their rounds are left
out of the medians.

Targets: upload at least 0.5x the relay's throughput on the large stream;
the daemon's peak RSS grows by no more than the window (CourierWindow, 1 MiB)
from the warm-up stream to the large ones, whatever their size. Runs on demand,
never in CI; prints figures, asserts nothing about them."""

import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from procs import add_row, bench_args, built, child_named

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1 << 20
CHUNK = 64 * 1024
WINDOW = MIB
# The engine keeps at most this much of one object; Courier counts the rest
# of a longer stream without keeping it, and reports the stream too large.
ENGINE_MAX_OBJECT = 256 * MIB
OK = "stream: OK"
TOO_LARGE = "stream: Object size limit reached. ERROR"


def peak_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def build_relay(work):
    exe = os.path.join(work, "relay")
    subprocess.run(["g++", "-O2", "-std=c++17", "-pthread", "-o", exe,
                    os.path.join(REPO, "bench", "relay.cpp")], check=True)
    return exe


def start_listener(args):
    """A relay role, once it says it listens; returns it and what it printed."""
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    lines = []
    while not lines or lines[-1] != "listening":
        line = proc.stdout.readline()
        if not line:
            sys.exit("%s did not start" % " ".join(args))
        lines.append(line.strip())
    return proc, lines


def expected_reply(size):
    return OK if size <= ENGINE_MAX_OBJECT else TOO_LARGE


def push(relay, target, size, clients, requests, reference, failures):
    """(upload seconds, total seconds) of INSTREAMs to target; None, and
    what went wrong in failures, when a reply was not the expected one."""
    # The relay's sink knows no limit; it always answers OK.
    reply = OK if reference else expected_reply(size)
    args = [relay, "push", str(target), str(size), str(CHUNK), str(clients), str(requests), reply]
    r = subprocess.run(args + (["half-close"] if reference else []),
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    out = r.stdout.split()
    if r.returncode != 0 or len(out) != 6 or out[5] != "0":
        failures.append("%s: %s of %d requests of %d bytes failed: %s"
                        % (target, out[5] if len(out) == 6 else "some", requests, size,
                           (r.stderr.strip().splitlines() or ["(no message)"])[0]))
        return None
    return float(out[1]), float(out[3])


def ping(target):
    family = socket.AF_UNIX if isinstance(target, str) else socket.AF_INET
    address = target if isinstance(target, str) else ("127.0.0.1", target)
    with socket.socket(family) as s:
        s.settimeout(5)
        s.connect(address)
        s.sendall(b"zPING\0")
        return s.recv(16) == b"PONG\0"


def wait_ready(targets, deadline=20.0):
    end = time.monotonic() + deadline
    for target in targets:
        while True:
            try:
                if ping(target):
                    break
            except OSError:
                pass
            if time.monotonic() > end:
                sys.exit("vemra-clamd does not answer on %s" % (target,))
            time.sleep(0.05)


def compare(relay, rounds, reference, daemon, size, clients, requests, failures):
    """Medians of (upload, total) seconds over the rounds that succeeded,
    reference and daemon alternating."""
    ref, own = [], []
    for _ in range(rounds):
        ref.append(push(relay, reference, size, clients, requests, True, failures))
        own.append(push(relay, daemon, size, clients, requests, False, failures))

    def medians(runs):
        runs = [r for r in runs if r]
        if not runs:
            return float("nan"), float("nan")
        return statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs)

    return medians(ref), medians(own)


def write_config(work, run_dir, port, size):
    conf = os.path.join(work, "vemra.conf")
    with open(conf, "w") as f:
        f.write("[Warden]\nSieveEnabled = no\nLogLevel = Warning\n"
                "[ClamD]\nLogLevel = Warning\nReadTimeout = 10m\nScanTimeout = 10m\n"
                "StreamMaxLength = %d\n"
                "[ClamD.Endpoint.unix]\nClamdSocket = %s/clamd.sock\n"
                "[ClamD.Endpoint.tcp]\nClamdSocket = 127.0.0.1:%d\n" % (size, run_dir, port))
    os.chmod(conf, 0o600)
    return conf


def main():
    p = bench_args(__doc__.splitlines()[0])
    p.add_argument("--port", type=int, default=0, help="TCP port of the daemon (default: a free one)")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--quick", action="store_true", help="256 MiB and 200 requests")
    p.add_argument("--size-mib", type=int, default=None)
    p.add_argument("--requests", type=int, default=None)
    p.add_argument("--request-kib", type=int, default=100)
    p.add_argument("--clients", type=int, default=16)
    a = p.parse_args()
    size = (a.size_mib or (256 if a.quick else 1024)) * MIB
    requests = a.requests or (200 if a.quick else 1000)
    request_size = a.request_kib * 1024

    warden = built(a.build, "suite", "warden", "vemra-warden")
    work = tempfile.mkdtemp(prefix="vb", dir="/tmp")
    procs = []
    try:
        relay = build_relay(work)
        sink_path = os.path.join(work, "sink.sock")
        procs.append(start_listener([relay, "sink", sink_path])[0])
        relay_unix = os.path.join(work, "relay.sock")
        procs.append(start_listener([relay, "relay", relay_unix, sink_path])[0])
        proc, lines = start_listener([relay, "relay", "0", sink_path])
        procs.append(proc)
        relay_tcp = int(lines[0])

        run_dir = os.path.join(work, "run")
        port = a.port or free_port()
        conf = write_config(work, run_dir, port, size + MIB)
        warden_proc = subprocess.Popen([warden, "--config", conf, "--run-dir", run_dir, "--port", str(port)],
                                       stderr=subprocess.DEVNULL)
        procs.append(warden_proc)
        clamd_pid = child_named(warden_proc.pid, "vemra-clamd")
        courier_pid = child_named(warden_proc.pid, "vemra-courier")
        clamd_unix = os.path.join(run_dir, "clamd.sock")
        wait_ready([clamd_unix, port])

        peaks = [("after start-up", peak_kib(clamd_pid))]
        failures = []
        push(relay, clamd_unix, 16 * MIB, 1, 1, False, failures)
        peaks.append(("after a 16 MiB stream", peak_kib(clamd_pid)))

        print("%d round(s), medians; INSTREAM in %d KiB chunks; %d CPUs"
              % (a.rounds, CHUNK // 1024, os.cpu_count()))
        print("%-27s %10s %12s %7s %12s" % ("upload", "relay", "vemra-clamd", "ratio", "to reply"))
        for name, ref_target, own_target in (("Unix socket", relay_unix, clamd_unix),
                                             ("TCP", relay_tcp, port)):
            ref, own = compare(relay, a.rounds, ref_target, own_target, size, 1, 1, failures)
            mb = size / 1e6
            print("%-27s %5.0f MB/s %7.0f MB/s %6.2fx %7.0f MB/s"
                  % ("%d MiB, %s" % (size // MIB, name), mb / ref[0], mb / own[0], ref[0] / own[0], mb / own[1]))
            add_row(a, "INSTREAM %d MiB, %s (relay)" % (size // MIB, name), "%.0f" % (mb / ref[0]),
                    "%.0f" % (mb / own[0]), "%.2fx" % (ref[0] / own[0]), "MB/s")
            peaks.append(("after %d MiB over %s" % (size // MIB, name), peak_kib(clamd_pid)))

        ref, own = compare(relay, a.rounds, relay_unix, clamd_unix, request_size, a.clients, requests,
                           failures)
        mb = request_size * requests / 1e6
        print("%-27s %5.0f MB/s %7.0f MB/s %6.2fx"
              % ("%d x %d KiB, %d clients" % (requests, a.request_kib, a.clients), mb / ref[1], mb / own[1],
                 ref[1] / own[1]))
        print("%-27s %4.0f req/s %6.0f req/s" % ("", requests / ref[1], requests / own[1]))
        add_row(a, "INSTREAM %d x %d KiB, %d clients (relay)" % (requests, a.request_kib, a.clients),
                "%.0f" % (mb / ref[1]), "%.0f" % (mb / own[1]), "%.2fx" % (ref[1] / own[1]), "MB/s")
        peaks.append(("after %d clients" % a.clients, peak_kib(clamd_pid)))
        print("target: vemra-clamd's upload >= 0.50x the relay's on the %d MiB stream" % (size // MIB))
        print("'to reply' waits for %r%s" % (expected_reply(size),
              "" if size <= ENGINE_MAX_OBJECT else
              " (Courier keeps at most %d MiB of a stream)" % (ENGINE_MAX_OBJECT // MIB)))

        print("\nvemra-clamd peak RSS (VmHWM):")
        for name, kib in peaks:
            print("  %-30s %7d KiB" % (name, kib))
        growth = max(kib for _, kib in peaks[2:4]) - peaks[1][1]
        print("  growth from the 16 MiB stream to the %d MiB ones: %d KiB (target <= %d KiB, the window)"
              % (size // MIB, growth, WINDOW // 1024))
        add_row(a, "INSTREAM peak RSS growth (window)", "%d" % (WINDOW // 1024), "%d" % growth,
                "%.2fx" % (growth * 1024.0 / WINDOW), "KiB")
        print("vemra-courier peak RSS (VmHWM): %d KiB (with the pages of spilled data mapped for scans)"
              % peak_kib(courier_pid))
        for failure in failures:
            print("FAILED " + failure)
    finally:
        for proc in reversed(procs):
            proc.terminate()
            proc.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
