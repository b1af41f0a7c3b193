#!/usr/bin/python3
"""A stand-in for vemra-clamd that Warden starts and supervises: it speaks
the daemon's side of the link and writes what it receives, one JSON object
a line, to $FAKE_JOURNAL. Once it has a new configuration and the answers
to its requests, it sends a malformed message if $FAKE_GARBAGE_FILE exists
(and removes it), and exits with the status written in $FAKE_EXIT_FILE if
that file exists. With $FAKE_IGNORE_TERM it ignores SIGTERM; with
$FAKE_HOLD_INFO it reports a configuration as applied only on SIGUSR1."""

import json
import os
import signal
import socket
import sys


def is_open(fd):
    try:
        os.fstat(fd)
        return True
    except OSError:
        return False


# Taken first, before this program opens anything of its own.
INHERITED = [fd for fd in range(256) if is_open(fd)]

from google.protobuf import text_format  # noqa: E402

import wire  # noqa: E402
from wire import FromWarden, ToWarden  # noqa: E402


def note(**record):
    record["pid"] = os.getpid()
    with open(os.environ["FAKE_JOURNAL"], "a") as f:
        f.write(json.dumps(record) + "\n")


def journal(m):
    record = {"event": "recv", "tag": wire.tag_name(m)}
    for field in ("config_revision", "socket_path"):
        if m.HasField(field):
            record[field] = getattr(m, field)
    if m.HasField("config"):
        record["config"] = text_format.MessageToString(m.config, as_one_line=True)
    if m.HasField("error"):
        record["error"] = m.error.code
    if m.appinfo:
        record["appinfo"] = [
            {"app": a.app, "pid": a.pid, "installed": [i.app for i in a.Extensions[wire.root_info].installed_app]}
            for a in m.appinfo]
    note(**record)


def steer(link):
    """What the files ask for once a new configuration is in force."""
    garbage_file = os.environ.get("FAKE_GARBAGE_FILE", "")
    if os.path.exists(garbage_file):
        os.unlink(garbage_file)
        link.send_raw(wire.frame(b"\xff\xff\xff"))
    exit_file = os.environ.get("FAKE_EXIT_FILE", "")
    if os.path.exists(exit_file):
        with open(exit_file) as f:
            sys.exit(int(f.read()))


def main():
    monitor = os.environ["COM_VEMRA_MONITOR"]
    link = wire.Channel(socket.socket(fileno=int(monitor)), FromWarden)
    note(event="start", fds=INHERITED, monitor=monitor, log_pipe=os.environ.get("COM_VEMRA_ADD_LOG_PIPE"),
         pgid=os.getpgid(0))
    if os.environ.get("FAKE_IGNORE_TERM"):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    else:
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(wire.Error.EC_APP_TERMINATED))
    signal.signal(signal.SIGHUP, lambda *_: link.send(ToWarden(tag=ToWarden.GET_CONFIG_REQUEST)))
    link.send(ToWarden(tag=ToWarden.GET_CONFIG_REQUEST))
    link.send(ToWarden(tag=ToWarden.GET_SIEVE_REQUEST, uid=os.getuid()))
    link.send(ToWarden(tag=ToWarden.GET_COURIER_REQUEST))
    link.send(ToWarden(tag=ToWarden.MY_STAT_NOTIFICATION, stat={"connections": {"base": 2, "in": 5, "out": 3}}))

    # What the files ask for waits until Warden has answered every request:
    # ending earlier would have it write to a closed socket.
    revision, due, answered = 0, False, set()
    hold = bool(os.environ.get("FAKE_HOLD_INFO"))
    signal.signal(signal.SIGUSR1, lambda *_: link.send(
        ToWarden(tag=ToWarden.MY_INFO_NOTIFICATION, config_revision=revision)))
    while True:
        m = link.recv(timeout=None)
        if m is None:
            sys.exit(wire.Error.EC_MONITOR_IPC_ERROR)
        journal(m)
        answered.add(m.tag)
        if m.tag == FromWarden.GET_CONFIG_RESPONSE and m.config_revision != revision:
            revision, due = m.config_revision, True
            if not hold:
                link.send(ToWarden(tag=ToWarden.MY_INFO_NOTIFICATION, config_revision=revision))
        if due and {FromWarden.GET_SIEVE_RESPONSE, FromWarden.GET_COURIER_RESPONSE} <= answered:
            due = False
            steer(link)

if __name__ == "__main__":
    main()
