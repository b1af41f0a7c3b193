"""Finding the suite's programs among the processes, for the benchmarks."""

import os
import sys
import time


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
