"""The daemon under a scripted supervisor: configuration, revisions, signals
and every way the supervisor link can break."""

import os
import re
import signal
import struct

import pytest

import log_pb2
from conftest import wait_for
from fake_warden import FakeWarden, Req, Resp, frame, stderr_config

NOTICE = 3


@pytest.fixture
def version(clamd_path):
    import subprocess
    return subprocess.run([clamd_path, "--version"], capture_output=True, text=True).stdout.split()[1]


@pytest.fixture
def warden(clamd_path):
    wardens = []

    def start(**kw):
        d = FakeWarden(clamd_path, **kw)
        wardens.append(d)
        # The first request comes once the signal handlers are armed.
        d.expect(Req.GET_CONFIG_REQUEST)
        return d
    yield start
    for d in wardens:
        d.kill()


def test_configuration_revisions(warden, version):
    d = warden()
    d.send_config(5, stderr_config(NOTICE))
    assert d.expect(Req.MY_INFO_NOTIFICATION).config_revision == 5
    # A repeated revision is not applied: the next notification is for 6.
    d.send_config(5, stderr_config(NOTICE))
    d.send_config(6, stderr_config(NOTICE))
    m = d.expect(Req.MY_INFO_NOTIFICATION)
    assert m.config_revision == 6 and m.HasField("info")
    d.signal(signal.SIGHUP)
    d.expect(Req.GET_CONFIG_REQUEST)
    d.send_config(6, stderr_config(NOTICE))
    d.signal(signal.SIGTERM)
    assert d.recv() is None
    rc, out, err = d.finish()
    assert rc == 107
    assert err == (
        "Notice: ClamD " + version + "\n"
        "Notice: SIGHUP received, config will be ordered from Warden\n"
        "Notice: Termination signal received, exiting...\n"
        "Notice: Exit with status 107 (Process terminated by signal)\n")


def test_revision_zero_is_never_applied(warden, version):
    d = warden()
    d.send_config(0, stderr_config(NOTICE))
    d.send_config(7, stderr_config(NOTICE))
    assert d.expect(Req.MY_INFO_NOTIFICATION).config_revision == 7
    d.signal()
    rc, _, err = d.finish()
    assert rc == 107 and err.startswith("Notice: ClamD " + version + "\n")


def test_missing_log_level_means_debug(warden, version):
    d = warden()
    d.send_config(1, stderr_config())
    d.expect(Req.MY_INFO_NOTIFICATION)
    d.signal()
    rc, _, err = d.finish()
    assert rc == 107
    # Lines kept before the first configuration are replayed at Debug too.
    assert err.startswith(
        "Notice: ClamD " + version + "\n"
        "Debug: Monitor: Warden <-- GET_CONFIG_REQUEST\n"
        "Debug: Monitor: Warden --> GET_CONFIG_RESPONSE\n"
        "Debug: Monitor: Warden <-- MY_INFO_NOTIFICATION\n"), err


def test_warning_level_drops_the_start_line_and_file_log_gets_timestamps(warden, tmp_path, version):
    d = warden()
    c = stderr_config(4)
    c.actual_log.type = log_pb2.Log.FILE
    c.actual_log.path = str(tmp_path / "clamd.log")
    d.send_config(3, c)
    d.expect(Req.MY_INFO_NOTIFICATION)
    c.log_level = NOTICE
    d.send_config(4, c)
    d.expect(Req.MY_INFO_NOTIFICATION)
    d.signal()
    rc, _, err = d.finish()
    assert rc == 107 and err == ""
    lines = (tmp_path / "clamd.log").read_text().splitlines()
    stamp = r"\d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2} \[%d\] " % d.proc.pid
    assert [re.sub(stamp, "", line) for line in lines] == [
        "Notice: Termination signal received, exiting...",
        "Notice: Exit with status 107 (Process terminated by signal)",
    ]
    assert all(re.match(stamp, line) for line in lines)
    assert (os.stat(tmp_path / "clamd.log").st_mode & 0o777) == 0o600


def test_log_pipe_gets_a_copy(clamd_path, version):
    r, wfd = os.pipe()
    d = FakeWarden(clamd_path, env_extra={"COM_VEMRA_ADD_LOG_PIPE": str(wfd)}, extra_fds=(wfd,))
    os.close(wfd)
    try:
        d.expect(Req.GET_CONFIG_REQUEST)
        c = stderr_config(NOTICE)
        c.actual_log.type = log_pb2.Log.SYSLOG
        c.actual_log.ident = "vemra-clamd-test"
        d.send_config(1, c)
        d.expect(Req.MY_INFO_NOTIFICATION)
        d.signal()
        rc, _, _ = d.finish()
    finally:
        d.kill()
    with os.fdopen(r) as f:
        copied = f.read()
    assert rc == 107
    assert copied == (
        "Notice: ClamD " + version + "\n"
        "Notice: Termination signal received, exiting...\n"
        "Notice: Exit with status 107 (Process terminated by signal)\n")


def test_log_file_in_missing_directory_fails_with_102(warden, tmp_path, version):
    d = warden()
    c = stderr_config(NOTICE)
    c.actual_log.type = log_pb2.Log.FILE
    c.actual_log.path = str(tmp_path / "missing" / "clamd.log")
    d.send_config(1, c)
    assert d.recv() is None
    rc, _, err = d.finish()
    assert rc == 102
    assert err == (
        "Notice: ClamD " + version + "\n"
        "Error: Initialization failed: Cannot create log: No such file or directory: \"%s\"\n"
        "Notice: Exit with status 102 (Invalid configuration)\n" % c.actual_log.path)


def _bad_config_response():
    r = Resp(tag=Resp.GET_CONFIG_RESPONSE, config_revision=1)
    return frame(r.SerializeToString())


@pytest.mark.parametrize("data,line", [
    (struct.pack("<I", 0), "Monitor connection: Invalid IPC message size"),
    (struct.pack("<I", 64 * 1024 * 1024 + 1), "Monitor connection: Invalid IPC message size"),
    (frame(b"\x08"), "Monitor connection: Invalid IPC message format"),
    (frame(b"\x08\x63"), "Monitor connection: Invalid IPC message format"),  # unknown tag
    (_bad_config_response(), "Monitor: GET_CONFIG_RESPONSE: Protocol violation [vx.Error:12]"),
    (frame(Resp(tag=Resp.GET_MY_TOKEN_RESPONSE).SerializeToString()),
     "Monitor: GET_MY_TOKEN_RESPONSE: Unexpected IPC message [vx.Error:11]"),
    (b"", "Monitor connection: End of file"),
])
def test_broken_link_ends_with_status_1(warden, version, data, line):
    d = warden()
    if data:
        d.send_raw(data)
    else:
        d.parent.shutdown(2)
    rc, _, err = d.finish()
    assert rc == 1
    assert err == (
        "Notice: ClamD " + version + "\n"
        "Error: " + line + "\n"
        "Notice: Exit with status 1 (Error on monitor channel)\n")


def test_bad_descriptor_is_reported(clamd_path, version):
    import subprocess
    from conftest import clean_env
    r = subprocess.run([clamd_path], env=clean_env(COM_VEMRA_MONITOR="250"), capture_output=True, text=True,
                       timeout=20)
    assert r.returncode == 125
    assert r.stderr == (
        "Notice: ClamD " + version + "\n"
        "Error: assign: Bad file descriptor [system:9]\n"
        "Notice: Exit with status 125 (Unexpected error)\n")
