#!/usr/bin/python3
"""Throughput of the scanning engine through vemra-scan, against one
sha256sum pass over the same files in the same run (page cache warm for
both): a ratio of 1 means scanning costs as much as checksumming.

    bench/engine_bench.py [--build DIR] [--large-mib N] [--small-count N]
                          [--small-kib N] [--rounds N]

Cases: one large clean file; many small clean files in one directory tree;
the same small files inside one zip. Prints MB/s of the scan, MB/s of the
baseline and their ratio (baseline time over scan time). Runs on demand,
never in CI."""

import io
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

from procs import bench_args, built

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def best_time(args, rounds):
    best = None
    for _ in range(rounds):
        start = time.perf_counter()
        r = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - start
        if r.returncode not in (0, 1):
            sys.exit("%s failed (%d): %s" % (args[0], r.returncode, r.stderr.decode()))
        best = elapsed if best is None else min(best, elapsed)
    return best


def clean_text(size, rnd):
    # Words, so that archives compress like ordinary documents.
    words = [b"alpha", b"bravo", b"charlie", b"delta", b"echo", b"foxtrot", b"golf", b"hotel"]
    out = bytearray()
    while len(out) < size:
        out += rnd.choice(words) + (b"\n" if rnd.random() < 0.1 else b" ")
    return bytes(out[:size])


def report(name, size, scan_s, base_s):
    mb = size / 1e6
    print("%-22s %9.1f MB  scan %8.1f MB/s  sha256sum %8.1f MB/s  ratio %.3f"
          % (name, mb, mb / scan_s, mb / base_s, base_s / scan_s))


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

        print("vemra-scan %s, best of %d rounds" % (scan, a.rounds))
        report("large file", a.large_mib << 20,
               best_time([scan, large], a.rounds), best_time(["sha256sum", large], a.rounds))
        report("%d small files" % a.small_count, small_bytes,
               best_time([scan, small_dir], a.rounds), best_time(["sha256sum"] + small_files, a.rounds))
        # The baseline checksums the expanded bytes as files: the ratio shows
        # what opening the zip and expanding each member costs on top.
        report("zip of small files", small_bytes,
               best_time([scan, bundle], a.rounds), best_time(["sha256sum"] + small_files, a.rounds))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
