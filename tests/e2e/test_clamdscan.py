"""A real clamd client, Debian's clamdscan, against the daemon over its Unix
socket and over TCP."""

import os
import re
import shutil
import subprocess

import pytest

from clamd_daemon import free_port, tcp_endpoint, unix_endpoint

# scripts/setup installs it; a missing client fails the tests rather than
# skipping them.
CLAMDSCAN = shutil.which("clamdscan") or "clamdscan"


def client_config(directory, ep):
    path = os.path.join(directory, ep.family + ".conf")
    with open(path, "w") as f:
        if ep.path:
            f.write("LocalSocket %s\n" % ep.path)
        else:
            f.write("TCPSocket %d\nTCPAddr 127.0.0.1\n" % ep.port)
    return path


def clamdscan(config, *args):
    return subprocess.run([CLAMDSCAN, "--config-file=" + config, *args],
                          capture_output=True, text=True, timeout=60)


@pytest.fixture(params=["unix", "tcp"])
def served(request, daemon):
    d = daemon()
    ep = unix_endpoint("u", d.dir) if request.param == "unix" else tcp_endpoint("t")
    d.apply([ep])
    return d, ep


def test_ping(served):
    d, ep = served
    r = clamdscan(client_config(d.dir, ep), "--ping", "1")
    assert (r.returncode, r.stdout) == (0, "PONG\n"), r.stderr


def test_version(served):
    d, ep = served
    r = clamdscan(client_config(d.dir, ep), "--version")
    assert r.returncode == 0, r.stderr
    assert re.fullmatch(r"ClamAV \d+\.\d+\.\d+/\d{10}/\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} \(Vemra ClamD\)\n",
                        r.stdout), r.stdout


def test_ping_fails_without_a_daemon(tmp_path):
    # The same client and configuration against a port nobody listens on:
    # proves the checks above can fail.
    r = clamdscan(client_config(str(tmp_path), tcp_endpoint("t", free_port())), "--ping", "1")
    assert r.returncode != 0
    assert "PONG" not in r.stdout
