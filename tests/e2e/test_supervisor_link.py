"""The daemon under a scripted Warden: revisions, signals, where its log
goes, and every way the link to Warden can end it."""

import re
import signal
import struct

import pytest

from suite import log_config
from wire import MAX_BODY, Error, FromWarden, LogLevel, ToWarden, encode, frame

NOTICE = LogLevel.LOG_LEVEL_NOTICE
EXIT_TEXT = {Error.EC_MONITOR_IPC_ERROR: "Error on monitor channel",
             Error.EC_BAD_CONFIG: "Invalid configuration", Error.EC_APP_TERMINATED: "Process terminated by signal"}


def exit_line(status):
    return "Notice: Exit with status %d (%s)\n" % (status, EXIT_TEXT[status])


@pytest.mark.parametrize("configured,monitor", [(False, "+%d"), (True, "%d")],
                         ids=["unconfigured-signed-descriptor", "configured"])
def test_revisions_and_signals(daemon, version, configured, monitor):
    d = daemon(monitor=monitor)  # "+N" names descriptor N as well
    if configured:
        d.send_config(5, log_config(NOTICE))
        m = d.link.expect(ToWarden.MY_INFO_NOTIFICATION)
        assert m.config_revision == 5 and m.HasField("info")
    d.signal(signal.SIGHUP)
    d.link.expect(ToWarden.GET_CONFIG_REQUEST)
    if configured:
        # The revision in force is not applied, nor announced, again.
        d.send_config(5, log_config(NOTICE))
    d.signal(signal.SIGTERM)
    assert d.message() is None
    # Without a sink the kept lines reach stderr at exit, in order; with
    # one they are written as they come: the same text.
    assert d.finish() == (Error.EC_APP_TERMINATED, "", (
        "Notice: ClamD " + version + "\n"
        "Notice: SIGHUP received, config will be ordered from Warden\n"
        "Notice: Termination signal received, exiting...\n" + exit_line(Error.EC_APP_TERMINATED)))


def test_missing_log_level_means_debug(daemon, version):
    d = daemon()
    d.send_config(1, log_config())
    d.link.expect(ToWarden.MY_INFO_NOTIFICATION)
    d.signal()
    rc, _, err = d.finish()
    assert rc == Error.EC_APP_TERMINATED
    # Lines kept before the first configuration are replayed at Debug too,
    # those of the objects built with the daemon among them.
    assert re.match(
        re.escape("Notice: ClamD " + version + "\n") +
        r"Debug: cl_courier_connection_t\(0x[0-9a-f]+\): created\n" +
        re.escape("Debug: Monitor: Warden <-- GET_CONFIG_REQUEST\n"
                  "Debug: Monitor: Warden --> GET_CONFIG_RESPONSE\n"
                  "Debug: Monitor: Warden <-- MY_INFO_NOTIFICATION\n"), err), err


def test_file_log_follows_the_threshold(daemon, tmp_path):
    c = log_config(path=str(tmp_path / "clamd.log"))
    d = daemon()
    for revision, level in ((3, LogLevel.LOG_LEVEL_WARNING), (4, NOTICE)):
        c.log_level = level
        d.send_config(revision, c)
        d.link.expect(ToWarden.MY_INFO_NOTIFICATION)
    d.signal()
    assert d.finish() == (Error.EC_APP_TERMINATED, "", "")
    # At Warning the start line is dropped; at Notice the last ones are kept.
    stamp = r"\d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2} \[%d\] " % d.proc.pid
    assert [re.sub(stamp, "", l) for l in (tmp_path / "clamd.log").read_text().splitlines() if re.match(stamp, l)] == [
        "Notice: Termination signal received, exiting...", exit_line(Error.EC_APP_TERMINATED)[:-1]]


@pytest.mark.parametrize("data,status,line", [
    (frame(b""), Error.EC_MONITOR_IPC_ERROR, "Monitor connection: Invalid IPC message size"),
    (struct.pack("<I", MAX_BODY + 1), Error.EC_MONITOR_IPC_ERROR, "Monitor connection: Invalid IPC message size"),
    (frame(b"\x08"), Error.EC_MONITOR_IPC_ERROR, "Monitor connection: Invalid IPC message format"),
    (encode(FromWarden(tag=FromWarden.GET_CONFIG_RESPONSE, config_revision=1)), Error.EC_MONITOR_IPC_ERROR,
     "Monitor: GET_CONFIG_RESPONSE: Protocol violation [vx.Error:12]"),
    (encode(FromWarden(tag=FromWarden.GET_MY_TOKEN_RESPONSE)), Error.EC_MONITOR_IPC_ERROR,
     "Monitor: GET_MY_TOKEN_RESPONSE: Unexpected IPC message [vx.Error:11]"),
    (None, Error.EC_MONITOR_IPC_ERROR, "Monitor connection: End of file"),
    (encode(FromWarden(tag=FromWarden.GET_CONFIG_RESPONSE, config_revision=1,
                       config=log_config(NOTICE, "/nonexistent/vemra/clamd.log"))), Error.EC_BAD_CONFIG,
     'Initialization failed: Cannot create log: No such file or directory: "/nonexistent/vemra/clamd.log"'),
], ids=["empty-frame", "frame-too-long", "truncated", "config-missing", "unexpected",
        "closed", "log-in-missing-directory"])
def test_link_and_configuration_failures_end_the_daemon(daemon, version, data, status, line):
    d = daemon()
    if data is None:
        d.link.sock.shutdown(2)
    else:
        d.link.send_raw(data)
    assert d.finish() == (status, "", "Notice: ClamD " + version + "\nError: " + line + "\n" + exit_line(status))
