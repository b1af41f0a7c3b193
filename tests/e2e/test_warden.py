"""vemra-warden as an administrator runs it, with the journalling fake daemon
and the real one: configuration, reloads, restarts and stopping."""

import contextlib
import os
import re
import signal
import socket
import time

import pytest

from suite import WARDEN, clean_env, free_port, listens, run, wait_for
from wire import App, Error


def alive(pid, group=False):
    try:
        (os.killpg if group else os.kill)(pid, 0)
        return True
    except ProcessLookupError:
        return False


def config(tmp_path, exe, port, clamd="", warden="", restart_max="400ms", sieve="no", courier="no"):
    return ("[Warden]\nRunDir = %s/run\nSieveEnabled = %s\nCourierEnabled = %s\nRestartDelay = 100ms\n"
            "RestartDelayMax = %s\nStatusInterval = off\n%s\n[ClamD]\nExePath = %s\n%s\n"
            "[ClamD.Endpoint.tcp]\nClamdSocket = 127.0.0.1:%d\n"
            % (tmp_path, sieve, courier, restart_max, warden, exe, clamd, port))


def arguments(pid):
    with open("/proc/%d/cmdline" % pid) as f:
        return f.read().split("\0")[1:-1]


def test_daemon_gets_configuration_services_and_application_list(tmp_path, wardens, fake):
    port = free_port()
    # A descriptor Warden inherits must not reach its children.
    stray_r, stray_w = os.pipe()
    sieve_socket = "%s/run/test-sieve.sock" % tmp_path
    w = wardens(tmp_path, config(tmp_path, fake.path, port, clamd="LogLevel = Info\nReadTimeout = 45s\n",
                                 warden="SieveSocket = %s\n" % sieve_socket, sieve="yes"),
                env=fake.env, pass_fds=(stray_w,))
    os.close(stray_r)
    os.close(stray_w)

    start = fake.wait(event="start")[0]
    # In a process group of its own.
    assert [start[k] for k in ("monitor", "log_pipe", "fds", "pgid")] == ["3", None, [0, 1, 2, 3],
                                                                          start["pid"]]

    # What the settings are made of is the unit tests' matter; here, that they reach the daemon.
    config_msg = fake.wait(tag="GET_CONFIG_RESPONSE")[0]
    assert config_msg["config_revision"] == 1
    assert [t for t in ("log_level: LOG_LEVEL_INFO", "read_timeout: 45000", "actual_log { type: STDERR }",
                        "actual_start: true", 'item { clamd_socket { ip { address: "127.0.0.1" port: %d } }'
                        % port) if t not in config_msg["config"]] == []

    assert fake.wait(tag="GET_SIEVE_RESPONSE")[0]["socket_path"] == sieve_socket
    courier = fake.wait(tag="GET_COURIER_RESPONSE")[0]
    assert courier["error"] == Error.EC_NOT_INSTALLED and "socket_path" not in courier
    appinfo = fake.wait(tag="APPINFO_NOTIFICATION")[0]["appinfo"]
    assert appinfo == [{"app": App.APP_WARDEN, "pid": w.proc.pid,
                       "installed": [App.APP_WARDEN, App.APP_SIEVE, App.APP_CLAMD]}]

    w.wait_log(r"Warden: ClamD \(pid %d\) applied configuration revision 1" % start["pid"])
    # The status line shows the daemon's connection report.
    w.proc.send_signal(signal.SIGUSR1)
    w.wait_log(r"Warden: status: configuration revision 1 .*ClamD running, pid %d, .*revision 1 applied, "
               r"connections now 2, opened 5, closed 3; Sieve running, pid %d, up .*; "
               r"Courier not started \(not enabled\)" % (start["pid"], w.pid_of("Sieve")))

    # Ctrl-C stops both and leaves nothing behind.
    assert w.stop(signal.SIGINT) == 0
    w.wait_log(r"ClamD \(pid %d\) stopped: status 107 \(Process terminated by signal\)" % start["pid"])
    assert not alive(start["pgid"], group=True)


def test_reload_pushes_a_changed_configuration_and_keeps_it_when_broken(tmp_path, wardens, fake):
    port = free_port()
    w = wardens(tmp_path, config(tmp_path, fake.path, port, clamd="ReadTimeout = 30s\n"), env=fake.env)
    fake.wait(tag="GET_CONFIG_RESPONSE")
    w.wait_log(r"applied configuration revision 1")
    # Services not enabled: not run, and the daemon is told so.
    assert "started Sieve" not in w.log() and "started Courier" not in w.log()
    assert os.listdir(tmp_path / "run") == ["warden.lock"]
    assert fake.wait(tag="GET_SIEVE_RESPONSE")[0]["error"] == Error.EC_NOT_INSTALLED

    # A changed file: revision 2 goes out unasked and is applied.
    w.reload(config(tmp_path, fake.path, port, clamd="ReadTimeout = 5s\n"))
    pushed = fake.wait(2, tag="GET_CONFIG_RESPONSE")[1]
    assert pushed["config_revision"] == 2 and "read_timeout: 5000" in pushed["config"]
    w.wait_log(r"applied configuration revision 2")

    # A broken file is reported by file, line and key; revision 2 stays, as the daemon sees when it asks.
    w.reload(config(tmp_path, fake.path, port, clamd="ReadTimeout = 5 parsecs\n"))
    w.wait_log(r"vemra.conf:11: ReadTimeout: bad time unit 'parsecs'")
    w.wait_log(r"configuration not changed; revision 2 stays in force")
    os.kill(fake.records(event="start")[0]["pid"], signal.SIGHUP)
    asked = fake.wait(3, tag="GET_CONFIG_RESPONSE")[2]
    assert asked["config_revision"] == 2 and "read_timeout: 5000" in asked["config"]

    # The same configuration keeps its revision; installing a service sends the application list.
    w.reload(config(tmp_path, fake.path, port, clamd="ReadTimeout = 5s\n", courier="yes"))
    w.wait_log(r"configuration of ClamD unchanged, revision 2")
    lists = fake.wait(2, tag="APPINFO_NOTIFICATION")
    assert lists[1]["appinfo"][0]["installed"] == [App.APP_WARDEN, App.APP_COURIER, App.APP_CLAMD]
    assert len(fake.records(tag="GET_CONFIG_RESPONSE")) == 3
    assert w.stop() == 0


def test_restarts_with_delay_waits_for_sighup_and_kills_a_daemon_that_will_not_stop(tmp_path, wardens, fake):
    fake.exit_file.write_text("1")
    # Runs shorter than RestartDelayMax are failures however slow the machine: the delay must grow.
    w = wardens(tmp_path, config(tmp_path, fake.path, free_port(), restart_max="20s",
                                 warden="StopTimeout = 300ms\n"), env=dict(fake.env, FAKE_IGNORE_TERM="1"))
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

    # Started on SIGHUP, the daemon sends garbage: restarted; its link closed, it ends by itself.
    fake.exit_file.unlink()
    fake.garbage_file.write_text("")
    w.reload()
    first = fake.wait(starts + 1, event="start")[starts]["pid"]
    assert first != int(held.group(1))
    w.wait_log(r"ClamD \(pid %d\) applied configuration revision 1" % first)
    w.wait_log(r"Warden: ClamD \(pid %d\) monitor link: a malformed message; restarting the daemon" % first)
    second = fake.wait(starts + 2, event="start")[starts + 1]["pid"]
    w.wait_log(r"ClamD \(pid %d\) applied configuration revision 1" % second)
    assert not alive(first)

    # It ignores SIGTERM: killed once StopTimeout has passed.
    assert w.stop() == 0
    w.wait_log(r"ClamD \(pid %d\) is still running; killing it" % second)
    w.wait_log(r"ClamD \(pid %d\) stopped: signal 9 \(Killed\)" % second)


def pong(port):
    with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(b"zPING\0")
        return s.recv(16) == b"PONG\0"


def test_real_daemon_applies_or_falls_back_survives_kill_and_stops(tmp_path, wardens, clamd_path, version):
    port = free_port()
    log1, log2 = tmp_path / "clamd-1.log", tmp_path / "clamd-2.log"
    conf = lambda log, at=port: config(tmp_path, clamd_path, at, clamd="LogLevel = Debug\nLog = %s\n" % log,
                                       warden="CollectClamdLog = yes\n")
    w = wardens(tmp_path, conf(log1))
    first = int(w.wait_log(r"ClamD \(pid (\d+)\) applied configuration revision 1").group(1))
    # The daemon logs where and how verbosely it was told to, and Warden gets a copy through the log pipe.
    text = log1.read_text()
    assert "Notice: ClamD " + version in text and "Debug: Monitor: Warden --> GET_CONFIG_RESPONSE" in text
    w.wait_log(r"Notice: ClamD\[%d\]: ClamD %s" % (first, re.escape(version)))

    # A new log file in the reloaded configuration: revision 2, new sink.
    w.reload(conf(log2))
    w.wait_log(r"ClamD \(pid %d\) applied configuration revision 2" % first)
    wait_for(lambda: log2.exists() and "MY_INFO_NOTIFICATION" in log2.read_text(), "the new log file")

    # Killed: started again, and the new daemon gets revision 2.
    os.kill(first, signal.SIGKILL)
    w.wait_log(r"ClamD \(pid %d\) ended with signal 9 \(Killed\)" % first)
    second = int(w.wait_log(r"ClamD \(pid (\d+)\) applied configuration revision 2", count=2).group(1))
    assert second != first and not alive(first)

    # A configuration the daemon cannot apply gives way to the last one it did.
    with socket.create_server(("127.0.0.1", 0)) as busy:
        w.reload(conf(log2, busy.getsockname()[1]))
        w.wait_log(r"ClamD could not apply configuration revision 3; going back to the configuration of revision 2")
        wait_for(lambda: pong(port), "the endpoint of revision 2 to answer again")
    third = w.pid_of("ClamD", 3)

    assert w.stop() == 0
    w.wait_log(r"ClamD \(pid %d\) stopped: status 107 \(Process terminated by signal\)" % third)
    assert not alive(second) and not alive(third, group=True)


def test_daemon_switched_off_and_on_again_at_once_runs(tmp_path, wardens, clamd_path):
    port = free_port()
    conf = lambda start: config(tmp_path, clamd_path, port, clamd="Start = %s\n" % start)
    w = wardens(tmp_path, conf("yes"))
    w.wait_log(r"ClamD \(pid \d+\) applied configuration revision 1")
    # Switched on again while the daemon is still stopping or once it has stopped, it must run the
    # configuration in force. The gaps are the stimulus, not a wait: Warden may also take both
    # signals at once, or read "yes" twice, and must end running then too.
    status = re.compile(r"SIGHUP received|status: configuration revision (\d+) .*ClamD running, pid \d+, "
                        r".*revision (\d+) applied")

    def running_in_force():
        w.proc.send_signal(signal.SIGUSR1)
        last = list(status.finditer(w.log()))[-1]
        return last.group(1) is not None and last.group(1) == last.group(2) and pong(port)
    for gap in [0.01, 0.02, 0.03, 0.05, 0.1]:
        handled = w.log().count("SIGHUP received")
        w.reload(conf("no"))
        time.sleep(gap)
        w.reload(conf("yes"))
        wait_for(lambda: w.log().count("SIGHUP received") > handled, "the reload")
        wait_for(running_in_force, "the daemon to run the configuration in force")
    assert w.stop() == 0


def test_bad_files_and_a_busy_run_directory_are_refused(tmp_path, wardens, fake):
    bad = tmp_path / "bad.conf"
    bad.write_text("[ClamD]\nStreamMaxLength = 25 parsecs\n")
    for args in (["--check"], []):
        r = run([WARDEN, "--config", str(bad)] + args)
        assert r.returncode == Error.EC_BAD_CONFIG and not os.path.exists(tmp_path / "run"), args
        assert "%s:2: StreamMaxLength: bad size unit 'parsecs'" % bad in r.stderr

    # One socket however spelled; a file whose opening would block.
    (tmp_path / "d").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "d")
    os.mkfifo(tmp_path / "fifo.conf")  # opening it would wait for a writer
    for second in ("d//x.sock", "d/./x.sock", "link/x.sock"):
        (tmp_path / "c.conf").write_text("[ClamD.Endpoint.a]\nClamdSocket = %s/d/x.sock\n[ClamD.Endpoint.b]\n"
                                         "ClamdSocket = %s/%s\n" % (tmp_path, tmp_path, second))
        r = run([WARDEN, "-c", str(tmp_path / "c.conf"), "--check"])
        assert r.returncode == Error.EC_BAD_CONFIG and "is already used by endpoint 'a'" in r.stderr, second
    r = run([WARDEN, "-c", str(tmp_path / "fifo.conf"), "--check"])
    assert r.returncode == Error.EC_BAD_CONFIG and "not a regular file" in r.stderr
    # A user's default run directory is where no other user can take it.
    r = run([WARDEN, "--check"], env=clean_env(XDG_RUNTIME_DIR=str(tmp_path)),
            **({"user": 65534} if os.geteuid() == 0 else {}))
    assert "RunDir = %s/vemra\n" % tmp_path in r.stdout, r.stderr

    # --check prints the configuration in force, command line included.
    port = free_port()
    text = config(tmp_path, fake.path, port)
    (tmp_path / "good.conf").write_text(text)
    r = run([WARDEN, "-c", str(tmp_path / "good.conf"), "--check", "--port", str(port + 1)])
    assert r.returncode == 0 and "ClamdSocket = 127.0.0.1:%d\n" % (port + 1) in r.stdout

    # One Warden per run directory.
    w = wardens(tmp_path, text, env=fake.env)
    fake.wait(event="start")
    r = run([WARDEN, "-c", str(tmp_path / "good.conf")])
    in_use = "run directory %s/run is in use by another vemra-warden (pid %d)" % (tmp_path, w.proc.pid)
    assert r.returncode == Error.EC_NAME_ALREADY_IN_USE and in_use in r.stderr, r.stderr
    assert oct(os.stat(tmp_path / "run").st_mode & 0o777) == "0o700"
    assert w.stop() == 0


@pytest.mark.parametrize("name, app, extra", [
    ("Sieve", App.APP_SIEVE, []),
    ("Courier", App.APP_COURIER, ["--window", "131072", "--memory", "0"]),
])
def test_services_run_beside_the_daemon_and_follow_the_configuration(tmp_path, wardens, fake, name, app, extra):
    port, sock = free_port(), "%s/run/%s.sock" % (tmp_path, name.lower())
    own = "CourierWindow = 128kb\nCourierMemory = 0\n" if name == "Courier" else ""
    conf = lambda on, threads: config(tmp_path, fake.path, port, **{name.lower(): on},
                                      warden="LogLevel = Info\n%sThreads = %d\n%s" % (name, threads, own))
    w = wardens(tmp_path, conf("yes", 3), env=fake.env)
    first = w.pid_of(name)
    assert arguments(first) == ["--socket", sock, "--threads", "3", "--log-level", "Info"] + extra
    # Started before the daemon, so its socket is usually there when asked for.
    w.wait_log(r"started ClamD")
    assert w.log().index("started " + name) < w.log().index("started ClamD")
    assert fake.wait(tag="APPINFO_NOTIFICATION")[0]["appinfo"][0]["installed"] == [App.APP_WARDEN, app, App.APP_CLAMD]

    # Killed: started again. A new command line: a new process at once.
    wait_for(lambda: listens(sock), name + " serving")
    os.kill(first, signal.SIGKILL)
    w.wait_log(r"%s \(pid %d\) ended with signal 9 \(Killed\)" % (name, first))
    wait_for(lambda: listens(sock), name + " serving again")
    w.reload(conf("yes", 1))
    third = w.pid_of(name, 3)
    assert arguments(third)[3] == "1"

    # Switched off: stopped, its socket gone, no longer installed for the daemon.
    wait_for(lambda: listens(sock), "the new %s serving" % name)
    w.reload(conf("no", 1))
    w.wait_log(r"%s \(pid %d\) stopped: status 0 \(Success\)" % (name, third))
    assert not os.path.exists(sock) and not alive(third)
    assert fake.wait(2, tag="APPINFO_NOTIFICATION")[1]["appinfo"][0]["installed"] == [App.APP_WARDEN, App.APP_CLAMD]

    # On again; Warden's end then takes both programs with it.
    w.reload(conf("yes", 1))
    fourth = w.pid_of(name, 4)
    wait_for(lambda: listens(sock), name + " serving")
    daemon = fake.records(event="start")[0]["pid"]
    assert w.stop() == 0
    w.wait_log(r"%s \(pid %d\) stopped: status 0 \(Success\)" % (name, fourth))
    w.wait_log(r"ClamD \(pid %d\) stopped: status 107" % daemon)
    assert not alive(fourth, group=True) and not alive(daemon, group=True)
