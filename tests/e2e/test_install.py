"""The suite as a service: the Debian package (its contents, its unit, the
programs run from the unpacked tree), the readiness and journal protocols
of the service manager, and the migration of a clamd.conf."""

import os
import pathlib
import shutil
import signal
import socket
import subprocess
import tempfile

import pytest

from suite import EICAR, WARDEN, Endpoint, instream, run
from wire import DEADLINE

DEB = os.environ.get("VEMRA_DEB")
UNIT = "lib/systemd/system/vemra-warden.service"
CONTENTS = ["usr/sbin/vemra-warden", "usr/sbin/vemra-clamd", "usr/sbin/vemra-sieve", "usr/sbin/vemra-courier",
            "usr/bin/vemra-scan", "usr/share/man/man1/vemra-clamd.1.gz", "usr/share/man/man1/vemra-scan.1.gz",
            "usr/share/man/man8/vemra-warden.8.gz", "usr/share/man/man8/vemra-sieve.8.gz",
            "usr/share/man/man8/vemra-courier.8.gz", "etc/vemra/vemra.conf", UNIT]


@pytest.fixture(scope="module")
def unpacked(tmp_path_factory):
    if not DEB:
        pytest.skip("VEMRA_DEB is not set (scripts/test builds the package and sets it)")
    root = tmp_path_factory.mktemp("deb")
    subprocess.run(["dpkg-deb", "-x", DEB, str(root)], check=True)
    return root


def test_package_holds_the_suite_and_serves_clients(unpacked, suites):
    assert [p for p in CONTENTS if not (unpacked / p).is_file()] == []
    assert "/etc/vemra/vemra.conf" in run(["dpkg-deb", "-I", DEB, "conffiles"]).stdout
    suite = suites(exe=str(unpacked / "usr/sbin/vemra-warden"))
    eicar = suite.path("eicar.com").encode()
    assert suite.ask(b"nSCAN %s\n" % eicar) == b"%s: EICAR-Test-File FOUND\n" % eicar
    assert suite.ask(instream(EICAR)) == b"stream: EICAR-Test-File FOUND\0"


def test_unit_file_verifies(unpacked, tmp_path):
    if not shutil.which("systemd-analyze") or run(["systemd-analyze", "--version"]).returncode != 0:
        pytest.skip("systemd-analyze cannot run here")
    # The program named as where the package puts it; verify wants it executable.
    text = (unpacked / UNIT).read_text().replace("/usr/sbin/", "%s/usr/sbin/" % unpacked)
    (tmp_path / "vemra-warden.service").write_text(text)
    r = run(["systemd-analyze", "verify", "--man=no", str(tmp_path / "vemra-warden.service")])
    # Unknown keys and bad values are only reported.
    assert r.returncode == 0 and r.stderr == "", r.stderr


def notify_socket():
    """A datagram socket in the abstract namespace, and its NOTIFY_SOCKET."""
    name = "vemra-test-notify-%d-%d" % (os.getpid(), id(object()))
    s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    s.bind("\0" + name)
    s.settimeout(DEADLINE)
    return s, "@" + name


def test_ready_once_the_daemon_listens_and_lines_carry_priorities(wardens):
    d = pathlib.Path(tempfile.mkdtemp(prefix="vn", dir="/tmp"))
    notify, address = notify_socket()
    # The journal stream is told apart from any other stderr by its inode.
    (d / "warden.log").touch()
    st = os.stat(d / "warden.log")
    w = wardens(d, "[Warden]\nRunDir = %s/run\nSieveEnabled = no\nCourierEnabled = no\n"
                   "[ClamD.Endpoint.local]\nClamdSocket = %s/c.sock\n" % (d, d),
                env={"NOTIFY_SOCKET": address, "JOURNAL_STREAM": "%d:%d" % (st.st_dev, st.st_ino)})
    assert notify.recv(4096) == b"READY=1"
    assert Endpoint("local", path=str(d / "c.sock")).ask(b"zPING\0") == b"PONG\0"
    assert w.stop() == 0
    assert notify.recv(4096) == b"STOPPING=1"
    log = w.log()
    assert log.startswith("<5>Notice: Warden ") and "\n<5>Notice: ClamD " in log, log


def test_not_ready_before_the_daemon_applied_its_configuration(tmp_path, wardens, fake):
    notify, address = notify_socket()
    wardens(tmp_path, "[Warden]\nRunDir = %s/run\nSieveEnabled = no\nCourierEnabled = no\n[ClamD]\nExePath = %s\n"
                      % (tmp_path, fake.path), env=dict(fake.env, NOTIFY_SOCKET=address, FAKE_HOLD_INFO="1"))
    pid = fake.wait(tag="GET_CONFIG_RESPONSE")[0]["pid"]
    notify.setblocking(False)
    with pytest.raises(BlockingIOError):
        notify.recv(4096)
    notify.settimeout(DEADLINE)
    os.kill(pid, signal.SIGUSR1)
    assert notify.recv(4096) == b"READY=1"


def test_imported_clamd_conf_is_accepted(tmp_path):
    clamd = tmp_path / "clamd.conf"
    clamd.write_text("Example\nLocalSocket %s/c.sock\nTCPSocket 3310\nTCPAddr 127.0.0.1\nTCPAddr ::1\n"
                     "StreamMaxLength 1G\nMaxThreads 12\nLogSyslog yes\nUser scanner\n" % tmp_path)
    out = run([WARDEN, "--import-clamd-conf", str(clamd)])
    assert out.returncode == 0, out.stderr
    (tmp_path / "vemra.conf").write_text(out.stdout)
    check = run([WARDEN, "--check", "--config", str(tmp_path / "vemra.conf")])
    assert check.returncode == 0 and "ClamdSocket = [::1]:3310" in check.stdout, check.stderr
