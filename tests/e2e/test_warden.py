"""vemra-warden as an administrator runs it: configuration file, the
exchange with its daemon (a scripted one that records everything it is
told, and the real vemra-clamd), reloads, restarts and stopping."""

import json
import os
import re
import signal
import socket
import subprocess

import pytest

from conftest import BUILD, CLAMD, DEADLINE, clean_env, wait_for

WARDEN = os.path.join(BUILD, "suite", "warden", "vemra-warden")

APP_WARDEN, APP_SIEVE, APP_COURIER, APP_CLAMD = 1, 3, 6, 20
EC_NOT_INSTALLED = 10

# A stand-in for vemra-clamd that speaks the same exchange and writes what
# it receives, one JSON object a line, to $FAKE_JOURNAL. Once it has a
# configuration, it sends a malformed message if $FAKE_GARBAGE_FILE exists
# (and removes it), and exits with the status written in $FAKE_EXIT_FILE if
# that file exists. With $FAKE_IGNORE_TERM it ignores SIGTERM.
FAKE_CLAMD = r'''#!/usr/bin/python3
import json, os, signal, socket, struct, sys
sys.path.insert(0, os.environ["FAKE_PB_PATH"])
import application_pb2, clamd_config_pb2, warden_clamd_ipc_pb2 as w
from google.protobuf import text_format

Req, Resp = w.Clamd2WardenMessage, w.Warden2ClamdMessage


def note(**record):
    record["pid"] = os.getpid()
    with open(os.environ["FAKE_JOURNAL"], "a") as f:
        f.write(json.dumps(record) + "\n")


def is_open(fd):
    try:
        os.fstat(fd)
        return True
    except OSError:
        return False


# Taken first, before this program opens anything of its own.
inherited = [fd for fd in range(256) if is_open(fd)]
sock = socket.socket(fileno=int(os.environ["COM_VEMRA_MONITOR"]))
note(event="start", fds=inherited, monitor=os.environ["COM_VEMRA_MONITOR"],
     log_pipe=os.environ.get("COM_VEMRA_ADD_LOG_PIPE"), pgid=os.getpgid(0))


def send(message):
    body = message.SerializeToString()
    sock.sendall(struct.pack("<I", len(body)) + body)


if os.environ.get("FAKE_IGNORE_TERM"):
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
else:
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(107))
signal.signal(signal.SIGHUP, lambda *_: send(Req(tag=Req.GET_CONFIG_REQUEST)))
send(Req(tag=Req.GET_CONFIG_REQUEST))
send(Req(tag=Req.GET_SIEVE_REQUEST, uid=os.getuid()))
send(Req(tag=Req.GET_COURIER_REQUEST))
stat = Req(tag=Req.MY_STAT_NOTIFICATION)
c = stat.stat.connections
c.base, c.out = 2, 3
setattr(c, "in", 5)
send(stat)

revision, buffer = 0, b""
while True:
    data = sock.recv(65536)
    if not data:
        note(event="eof")
        sys.exit(1)
    buffer += data
    while len(buffer) >= 4 and len(buffer) >= 4 + struct.unpack("<I", buffer[:4])[0]:
        n = struct.unpack("<I", buffer[:4])[0]
        m = Resp()
        m.ParseFromString(buffer[4:4 + n])
        buffer = buffer[4 + n:]
        record = {"event": "recv", "tag": Resp.MessageTag.Name(m.tag)}
        if m.HasField("config_revision"):
            record["revision"] = m.config_revision
        if m.HasField("config"):
            record["config"] = text_format.MessageToString(m.config, as_one_line=True)
        if m.HasField("socket_path"):
            record["socket_path"] = m.socket_path
        if m.HasField("error"):
            record["error"] = m.error.code
        if m.appinfo:
            record["appinfo"] = [
                {"app": a.app, "pid": a.pid,
                 "installed": [i.app for i in a.Extensions[application_pb2.root_info].installed_app]}
                for a in m.appinfo]
        note(**record)
        if m.tag == Resp.GET_CONFIG_RESPONSE and m.config_revision != revision:
            revision = m.config_revision
            send(Req(tag=Req.MY_INFO_NOTIFICATION, config_revision=revision))
            garbage_file = os.environ.get("FAKE_GARBAGE_FILE", "")
            if os.path.exists(garbage_file):
                os.unlink(garbage_file)
                sock.sendall(struct.pack("<I", 3) + b"\xff\xff\xff")
            exit_file = os.environ.get("FAKE_EXIT_FILE", "")
            if os.path.exists(exit_file):
                with open(exit_file) as f:
                    sys.exit(int(f.read()))
'''


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


def group_gone(pgid):
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return True
    return False


class Warden:
    """vemra-warden on a configuration file in a temporary directory; its
    log (stderr) goes to a file the test reads."""

    def __init__(self, tmp, config, args=(), env=None, pass_fds=()):
        self.tmp = tmp
        self.conf = tmp / "vemra.conf"
        self.conf.write_text(config)
        self.err_path = tmp / "warden.log"
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(
                [WARDEN, "--config", str(self.conf)] + list(args),
                env=clean_env(**(env or {})), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=err, pass_fds=pass_fds)

    def log(self):
        return self.err_path.read_text()

    def wait_log(self, pattern, count=1):
        """Waits until pattern has matched count lines; returns the last match."""
        def found():
            matches = [m.group(0) for m in re.finditer("^.*" + pattern + ".*$", self.log(), re.M)]
            return matches[count - 1] if len(matches) >= count else None
        try:
            line = wait_for(found, what=pattern)
        except AssertionError:
            raise AssertionError("no line matching %r in:\n%s" % (pattern, self.log()))
        return re.search(pattern, line)

    def reload(self, config=None):
        if config is not None:
            self.conf.write_text(config)
        self.proc.send_signal(signal.SIGHUP)

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        return self.proc.wait(timeout=DEADLINE)

    def child_pids(self):
        return [int(p) for p in re.findall(r"started ClamD \(.*\), pid (\d+)", self.log())]

    def cleanup(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for pid in self.child_pids():
            try:
                os.killpg(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


@pytest.fixture
def wardens():
    started = []

    def start(*a, **kw):
        w = Warden(*a, **kw)
        started.append(w)
        return w
    yield start
    for w in started:
        w.cleanup()


@pytest.fixture
def fake(tmp_path):
    """The scripted daemon, its journal, and the file that makes it exit."""
    exe = tmp_path / "fake-clamd"
    exe.write_text(FAKE_CLAMD)
    exe.chmod(0o755)
    journal = tmp_path / "journal"

    class Fake:
        path = str(exe)
        exit_file = tmp_path / "exit-status"
        garbage_file = tmp_path / "garbage"
        env = {"FAKE_JOURNAL": str(journal), "FAKE_PB_PATH": os.path.join(BUILD, "proto", "python"),
               "FAKE_EXIT_FILE": str(tmp_path / "exit-status"), "FAKE_GARBAGE_FILE": str(tmp_path / "garbage")}

        @staticmethod
        def records(**match):
            if not journal.exists():
                return []
            out = [json.loads(line) for line in journal.read_text().splitlines()]
            return [r for r in out if all(r.get(k) == v for k, v in match.items())]

        @classmethod
        def wait(cls, count=1, **match):
            def enough():
                found = cls.records(**match)
                return found if len(found) >= count else None
            return wait_for(enough, what="%d journal records %r" % (count, match))
    return Fake


def config(tmp_path, exe, port, clamd="", warden="", endpoints=None, restart_max="400ms"):
    if endpoints is None:
        endpoints = "[ClamD.Endpoint.tcp]\nClamdSocket = 127.0.0.1:%d\n" % port
    return (
        "[Warden]\nRunDir = %s/run\nRestartDelay = 100ms\nRestartDelayMax = %s\n"
        "StatusInterval = off\n%s\n"
        "[ClamD]\nExePath = %s\n%s\n%s" % (tmp_path, restart_max, warden, exe, clamd, endpoints))


def test_daemon_gets_configuration_services_and_application_list(tmp_path, wardens, fake):
    port = free_port()
    # A descriptor Warden inherits must not reach its children.
    stray_r, stray_w = os.pipe()
    w = wardens(tmp_path, config(
        tmp_path, fake.path, port,
        clamd="LogLevel = Info\nReadTimeout = 45s\nDetectAdware = yes\n",
        warden="SieveEnabled = yes\nSieveSocket = /run/test/sieve.sock\n",
        endpoints="[ClamD.Endpoint.tcp]\nClamdSocket = 127.0.0.1:%d\n"
                  "[ClamD.Endpoint.own]\nClamdSocket = %s/c.sock\nDetectAdware = no\n" % (port, tmp_path)),
        env=fake.env, pass_fds=(stray_w,))
    os.close(stray_r)
    os.close(stray_w)

    start = fake.wait(event="start")[0]
    assert start["monitor"] == "3" and start["log_pipe"] is None
    assert start["fds"] == [0, 1, 2, 3]
    assert start["pgid"] == start["pid"]  # a process group of its own

    config_msg = fake.wait(tag="GET_CONFIG_RESPONSE")[0]
    assert config_msg["revision"] == 1
    c = config_msg["config"]
    assert "log_level: LOG_LEVEL_INFO" in c and "read_timeout: 45000" in c
    assert "actual_log { type: STDERR }" in c and "actual_start: true" in c
    # The global switch reaches the endpoint without its own; the other
    # endpoint keeps its own.
    assert ('item { clamd_socket { ip { address: "127.0.0.1" port: %d } } detect_suspicious: true '
            'detect_adware: true' % port) in c
    assert 'detect_adware: false detect_dialers: false detect_jokes: false detect_riskware: false ' \
           'detect_hacktools: false tag: "own"' in c

    assert fake.wait(tag="GET_SIEVE_RESPONSE")[0]["socket_path"] == "/run/test/sieve.sock"
    courier = fake.wait(tag="GET_COURIER_RESPONSE")[0]
    assert courier["error"] == EC_NOT_INSTALLED and "socket_path" not in courier
    appinfo = fake.wait(tag="APPINFO_NOTIFICATION")[0]["appinfo"]
    assert appinfo == [{"app": APP_WARDEN, "pid": w.proc.pid, "installed": [APP_WARDEN, APP_SIEVE, APP_CLAMD]}]

    w.wait_log(r"Warden: ClamD \(pid %d\) applied configuration revision 1" % start["pid"])
    # The status line shows the daemon's connection report.
    w.proc.send_signal(signal.SIGUSR1)
    w.wait_log(r"Warden: status: configuration revision 1 .*ClamD running, pid %d, .*revision 1 applied, "
               r"connections now 2, opened 5, closed 3; Sieve enabled, Courier not enabled" % start["pid"])

    # Ctrl-C stops the daemon and Warden, and leaves nothing behind.
    assert w.stop(signal.SIGINT) == 0
    w.wait_log(r"ClamD \(pid %d\) stopped: status 107 \(Process terminated by signal\)" % start["pid"])
    assert group_gone(start["pgid"])


def test_reload_pushes_a_changed_configuration_and_keeps_it_when_broken(tmp_path, wardens, fake):
    port = free_port()
    w = wardens(tmp_path, config(tmp_path, fake.path, port, clamd="ReadTimeout = 30s\n"), env=fake.env)
    fake.wait(tag="GET_CONFIG_RESPONSE")
    w.wait_log(r"applied configuration revision 1")

    # A changed file: revision 2 goes out unasked and is applied.
    w.reload(config(tmp_path, fake.path, port, clamd="ReadTimeout = 5s\n"))
    pushed = fake.wait(2, tag="GET_CONFIG_RESPONSE")[1]
    assert pushed["revision"] == 2 and "read_timeout: 5000" in pushed["config"]
    w.wait_log(r"applied configuration revision 2")

    # A broken file is reported by file, line and key; revision 2 stays,
    # as the daemon sees when it asks again.
    w.reload(config(tmp_path, fake.path, port, clamd="ReadTimeout = 5 parsecs\nBogus = 1\n"))
    w.wait_log(r"vemra.conf:9: ReadTimeout: bad time unit 'parsecs'")
    w.wait_log(r"vemra.conf:10: Bogus: unknown key in \[ClamD\]")
    w.wait_log(r"configuration not changed; revision 2 stays in force")
    os.kill(fake.records(event="start")[0]["pid"], signal.SIGHUP)
    asked = fake.wait(3, tag="GET_CONFIG_RESPONSE")[2]
    assert asked["revision"] == 2 and "read_timeout: 5000" in asked["config"]

    # The same configuration again keeps its revision; a change that only
    # installs a service sends the new application list, not a revision.
    w.reload(config(tmp_path, fake.path, port, clamd="ReadTimeout = 5s\n", warden="CourierEnabled = yes\n"))
    w.wait_log(r"configuration of ClamD unchanged, revision 2")
    lists = fake.wait(2, tag="APPINFO_NOTIFICATION")
    assert lists[1]["appinfo"][0]["installed"] == [APP_WARDEN, APP_COURIER, APP_CLAMD]
    assert len(fake.records(tag="GET_CONFIG_RESPONSE")) == 3
    assert w.stop() == 0


def test_restarts_with_delay_and_waits_for_sighup_after_bad_configuration(tmp_path, wardens, fake):
    port = free_port()
    fake.exit_file.write_text("1")
    # Runs shorter than RestartDelayMax count as failures, however slow the
    # machine: the delay must grow.
    w = wardens(tmp_path, config(tmp_path, fake.path, port, restart_max="20s"), env=fake.env)
    # Status 1 is a failure: started again, with the delay growing.
    w.wait_log(r"ClamD \(pid \d+\) ended with status 1 \(Error on monitor channel\)", count=3)
    w.wait_log(r"starting ClamD again in 100ms")
    w.wait_log(r"starting ClamD again in 200ms")

    # Status 102 holds the daemon until SIGHUP.
    fake.exit_file.write_text("102")
    held = w.wait_log(r"ClamD \(pid (\d+)\) ended with status 102 \(Invalid configuration\); "
                      r"it is started again on SIGHUP")
    starts = len(fake.records(event="start"))
    w.proc.send_signal(signal.SIGUSR1)
    w.wait_log(r"ClamD waiting for SIGHUP after an invalid configuration")
    assert len(fake.records(event="start")) == starts

    fake.exit_file.unlink()
    w.reload()
    pid = fake.wait(starts + 1, event="start")[starts]["pid"]
    assert pid != int(held.group(1))
    w.wait_log(r"ClamD \(pid %d\) applied configuration revision 1" % pid)
    assert w.stop() == 0
    assert gone(pid)


def test_misbehaving_daemon_is_restarted_and_killed_when_it_will_not_stop(tmp_path, wardens, fake):
    fake.garbage_file.write_text("")
    w = wardens(tmp_path, config(tmp_path, fake.path, free_port(), warden="StopTimeout = 300ms\n"),
                env=dict(fake.env, FAKE_IGNORE_TERM="1"))
    first = fake.wait(event="start")[0]["pid"]
    w.wait_log(r"Warden: ClamD \(pid %d\) monitor link: a malformed message; restarting the daemon" % first)
    # Its link closed, the daemon ends by itself; the next one behaves.
    second = fake.wait(2, event="start")[1]["pid"]
    w.wait_log(r"ClamD \(pid %d\) applied configuration revision 1" % second)
    assert gone(first)

    # It ignores SIGTERM: killed once StopTimeout has passed.
    assert w.stop() == 0
    w.wait_log(r"ClamD \(pid %d\) is still running; killing it" % second)
    w.wait_log(r"ClamD \(pid %d\) stopped: signal 9 \(Killed\)" % second)


def test_real_daemon_applies_configuration_survives_kill_and_stops(tmp_path, wardens, clamd_path):
    port = free_port()
    version = subprocess.run([clamd_path, "--version"], capture_output=True, text=True).stdout.split()[1]
    log1, log2 = tmp_path / "clamd-1.log", tmp_path / "clamd-2.log"
    conf = lambda log: config(tmp_path, clamd_path, port, clamd="LogLevel = Debug\nLog = %s\n" % log,
                              warden="CollectClamdLog = yes\n")
    w = wardens(tmp_path, conf(log1))
    first = int(w.wait_log(r"ClamD \(pid (\d+)\) applied configuration revision 1").group(1))
    # The daemon logs where and how verbosely it was told to, and Warden
    # receives a copy of its lines through the log pipe.
    text = log1.read_text()
    assert "Notice: ClamD " + version in text
    assert "Debug: Monitor: Warden --> GET_CONFIG_RESPONSE" in text
    w.wait_log(r"Notice: ClamD\[%d\]: ClamD %s" % (first, re.escape(version)))

    # A new log file in the reloaded configuration: revision 2, new sink.
    w.reload(conf(log2))
    w.wait_log(r"ClamD \(pid %d\) applied configuration revision 2" % first)
    wait_for(lambda: log2.exists() and "MY_INFO_NOTIFICATION" in log2.read_text(), what="the new log file")

    # Killed: started again, and the new daemon gets revision 2.
    os.kill(first, signal.SIGKILL)
    w.wait_log(r"ClamD \(pid %d\) ended with signal 9 \(Killed\)" % first)
    second = int(w.wait_log(r"ClamD \(pid (\d+)\) applied configuration revision 2", count=2).group(1))
    assert second != first and gone(first)

    assert w.stop() == 0
    w.wait_log(r"ClamD \(pid %d\) stopped: status 107 \(Process terminated by signal\)" % second)
    assert gone(second) and group_gone(second)


def test_bad_files_and_a_busy_run_directory_are_refused(tmp_path, wardens, fake):
    bad = tmp_path / "bad.conf"
    bad.write_text("[ClamD]\nStreamMaxLength = 25 parsecs\n[ClamD.Endpoint.a]\n[Sieve]\n")
    for args in (["--check"], []):
        r = subprocess.run([WARDEN, "--config", str(bad)] + args, env=clean_env(), capture_output=True,
                           text=True, timeout=DEADLINE)
        assert r.returncode == 102, args
        assert "%s:2: StreamMaxLength: bad size unit 'parsecs'" % bad in r.stderr
        assert "%s:4: [Sieve]: unknown section" % bad in r.stderr
        assert not os.path.exists(tmp_path / "run")

    # --check prints the configuration in force, command line included.
    port = free_port()
    text = config(tmp_path, fake.path, port)
    (tmp_path / "good.conf").write_text(text)
    r = subprocess.run([WARDEN, "-c", str(tmp_path / "good.conf"), "--check", "--port", str(port + 1)],
                       env=clean_env(), capture_output=True, text=True, timeout=DEADLINE)
    assert r.returncode == 0 and "ClamdSocket = 127.0.0.1:%d\n" % (port + 1) in r.stdout

    # One Warden per run directory.
    w = wardens(tmp_path, text, env=fake.env)
    fake.wait(event="start")
    r = subprocess.run([WARDEN, "-c", str(tmp_path / "good.conf")], env=clean_env(), capture_output=True,
                       text=True, timeout=DEADLINE)
    assert r.returncode == 34
    assert "run directory %s/run is in use by another vemra-warden (pid %d)" % (tmp_path, w.proc.pid) in r.stderr
    assert oct(os.stat(tmp_path / "run").st_mode & 0o777) == "0o700"
    assert w.stop() == 0
