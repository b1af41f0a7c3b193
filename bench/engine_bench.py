#!/usr/bin/python3
"""Throughput of the scanning engine through vemra-scan, against one
sha256sum pass over the same files in the same run (page cache warm for
both): a ratio of 1 means scanning costs as much as checksumming. Both are
timed in CPU seconds (user and system) of the child, rounds alternating,
medians: on a shared machine elapsed time measures the neighbours.

    bench/engine_bench.py [--build DIR] [--large-mib N] [--small-count N]
                          [--small-kib N] [--rounds N]

Cases: one large clean file; many small clean files in one directory tree;
the same small files inside one zip. Prints MB/s of the scan, MB/s of the
baseline and their ratio (baseline time over scan time). Runs on demand,
never in CI."""

import io
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import zipfile

from procs import add_row, bench_args, built

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def cpu_time(args):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    r = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if r.returncode not in (0, 1):
        sys.exit("%s failed (%d): %s" % (args[0], r.returncode, r.stderr.decode()))
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def compare(scan_args, base_args, rounds):
    """Median CPU seconds of the scan and of the baseline, run in turn."""
    scans, bases = [], []
    for _ in range(rounds):
        scans.append(cpu_time(scan_args))
        bases.append(cpu_time(base_args))
    return statistics.median(scans), statistics.median(bases)


def clean_text(size, rnd):
    # Words, so that archives compress like ordinary documents.
    words = [b"alpha", b"bravo", b"charlie", b"delta", b"echo", b"foxtrot", b"golf", b"hotel"]
    out = bytearray()
    while len(out) < size:
        out += rnd.choice(words) + (b"\n" if rnd.random() < 0.1 else b" ")
    return bytes(out[:size])


def report(args, name, size, times):
    scan_s, base_s = times
    mb = size / 1e6
    print("%-22s %9.1f MB  scan %8.1f MB/s  sha256sum %8.1f MB/s  ratio %.3f"
          % (name, mb, mb / scan_s, mb / base_s, base_s / scan_s), flush=True)
    add_row(args, "engine, " + name, "%.0f" % (mb / base_s), "%.0f" % (mb / scan_s), "%.2fx" % (base_s / scan_s),
            "MB/s CPU")


def main():
    p = bench_args(__doc__.splitlines()[0])
    p.add_argument("--large-mib", type=int, default=128)
    p.add_argument("--small-count", type=int, default=5000)
    p.add_argument("--small-kib", type=int, default=4)
    p.add_argument("--rounds", type=int, default=3)
    a = p.parse_args()

    scan = built(a.build, "suite", "scan", "vemra-scan")
    rnd = random.Random(1)
    work = tempfile.mkdtemp(prefix="vemra-bench-")
    try:
        large = os.path.join(work, "large.bin")
        with open(large, "wb") as f:
            chunk = clean_text(1 << 20, rnd)
            for _ in range(a.large_mib):
                f.write(chunk)
        small_dir = os.path.join(work, "small")
        small_files = []
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
            for i in range(a.small_count):
                d = os.path.join(small_dir, "%03d" % (i // 100))
                os.makedirs(d, exist_ok=True)
                path = os.path.join(d, "f%05d.txt" % i)
                data = clean_text(a.small_kib * 1024, rnd)
                with open(path, "wb") as f:
                    f.write(data)
                small_files.append(path)
                z.writestr("f%05d.txt" % i, data)
        bundle = os.path.join(work, "bundle.zip")
        with open(bundle, "wb") as f:
            f.write(buf.getvalue())
        small_bytes = a.small_count * a.small_kib * 1024

        print("vemra-scan %s, CPU time, medians of %d rounds" % (scan, a.rounds))
        report(a, "%d MiB file" % a.large_mib, a.large_mib << 20, compare([scan, large], ["sha256sum", large], a.rounds))
        report(a, "%d small files" % a.small_count, small_bytes,
               compare([scan, small_dir], ["sha256sum"] + small_files, a.rounds))
        # The baseline checksums the expanded bytes as files: the ratio shows
        # what opening the zip and expanding each member costs on top.
        report(a, "zip of small files", small_bytes,
               compare([scan, bundle], ["sha256sum"] + small_files, a.rounds))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
