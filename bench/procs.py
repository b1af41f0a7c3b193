"""What the benchmarks share: their arguments, the programs they measure,
and finding those among the processes."""

import argparse
import os
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def bench_args(description):
    """An argument parser with --build: the build tree to measure
    ($VEMRA_BUILD_DIR, else build/)."""
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--build", default=os.environ.get("VEMRA_BUILD_DIR", os.path.join(REPO, "build")))
    p.add_argument("--rows", help="also append summary rows, tab-separated, to this file (for bench/run)")
    return p


def add_row(args, workload, reference, own, ratio, unit):
    """One row of bench/run's closing table: figures as printed, their unit."""
    if args.rows:
        with open(args.rows, "a") as f:
            f.write("\t".join((workload, reference, own, ratio, unit)) + "\n")


def built(build, *path):
    """The path of a program in the build tree; exits when it is not built."""
    exe = os.path.join(build, *path)
    if not os.path.exists(exe):
        sys.exit("%s is not built: %s" % (path[-1], exe))
    return exe


def child_named(parent, name, deadline=20.0):
    """The pid of the child of parent running program name."""
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    stat = f.read()
            except OSError:
                continue
            comm = stat[stat.index("(") + 1:stat.rindex(")")]
            ppid = int(stat.rsplit(")", 1)[1].split()[1])
            if ppid == parent and comm == name[:15]:
                return int(entry)
        time.sleep(0.05)
    sys.exit("no %s under pid %d" % (name, parent))
