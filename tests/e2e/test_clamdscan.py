"""A real clamd client, Debian's clamdscan, against the daemon over its Unix
socket and over TCP."""

import os
import re
import shutil
import subprocess

import pytest

from suite import endpoint

# scripts/setup installs it; a missing client fails the tests rather than
# skipping them.
CLAMDSCAN = shutil.which("clamdscan") or "clamdscan"


def clamdscan(directory, ep, *args):
    config = os.path.join(directory, "clamdscan.conf")
    with open(config, "w") as f:
        f.write("LocalSocket %s\n" % ep.path if ep.path else "TCPSocket %d\nTCPAddr 127.0.0.1\n" % ep.port)
    return subprocess.run([CLAMDSCAN, "--config-file=" + config, *args], capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("family", ["unix", "tcp"])
def test_ping_and_version(daemon, family):
    d = daemon()
    ep = endpoint(family, d.dir)
    d.apply([ep])
    r = clamdscan(d.dir, ep, "--ping", "1")
    assert (r.returncode, r.stdout) == (0, "PONG\n"), r.stderr
    r = clamdscan(d.dir, ep, "--version")
    assert r.returncode == 0, r.stderr
    assert re.fullmatch(r"ClamAV \d+\.\d+\.\d+/\d{10}/\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} \(Vemra ClamD\)\n",
                        r.stdout), r.stdout


def test_ping_fails_without_a_daemon(tmp_path):
    # The same client against a port nobody listens on: proves the checks
    # above can fail.
    r = clamdscan(str(tmp_path), endpoint("tcp", str(tmp_path)), "--ping", "1")
    assert r.returncode != 0 and "PONG" not in r.stdout
