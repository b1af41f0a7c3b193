"""The command line of vemra-clamd started without a supervisor, and the
supervised start-up up to its first configuration."""

import base64
import hashlib
import json
import os
import shutil
import signal
import subprocess

import pytest

from conftest import Supervised, clean_env

HINT = "Cannot run standalone. See vemra-clamd(1) for details.\n"


def run(args, **kw):
    env = kw.pop("env", clean_env())
    return subprocess.run(args, env=env, capture_output=True, text=True, timeout=30, **kw)


def version_of(clamd_path):
    return run([clamd_path, "--version"]).stdout.split()[1]


def test_standalone_hint_and_options(clamd_path):
    r = run([clamd_path])
    assert (r.returncode, r.stdout, r.stderr) == (1, HINT, "")

    version = version_of(clamd_path)
    parts = version.split(".")
    assert len(parts) == 4 and all(p.isdigit() for p in parts) and len(parts[3]) == 10

    for args in (["--version"], ["--VERSION"], ["-v"], ["--Version"]):
        r = run([clamd_path] + args)
        assert (r.returncode, r.stdout, r.stderr) == (0, "vemra-clamd " + version + "\n", ""), args

    r = run([clamd_path, "--help"])
    assert r.returncode == 0 and r.stderr == ""
    assert r.stdout.startswith("Command line options:\n")
    assert "--help" in r.stdout and "print help message and exit" in r.stdout
    assert "--version" in r.stdout and "print version and exit" in r.stdout
    assert "dump" not in r.stdout
    assert r.stdout.endswith("\n\n")

    # Help wins over version, whatever the order.
    assert run([clamd_path, "-v", "-h"]).stdout == r.stdout
    assert run([clamd_path, "--version", "--HELP"]).stdout == r.stdout


@pytest.mark.parametrize("args,message", [
    (["--bogus"], "Error: unrecognised option '--bogus'\n"),
    (["extra"], "Error: too many positional options have been specified on the command line\n"),
    (["--version=yes"], None),
])
def test_bad_command_line(clamd_path, args, message):
    r = run([clamd_path] + args)
    assert r.returncode == 125 and r.stdout == ""
    assert r.stderr.startswith("Error: ") and r.stderr.count("\n") == 1
    if message:
        assert r.stderr == message


def test_dump_app_info_describes_the_executable(clamd_path, tmp_path):
    r = run([clamd_path, "--dump-app-info"])
    assert r.returncode == 0 and r.stderr == ""
    assert r.stdout.endswith("}\n") and r.stdout.count("\n") == 1
    info = json.loads(r.stdout)
    assert list(info) == ["version", "installTime", "modificationTime", "exeSize", "exeMd5", "exeOwner"]
    st = os.stat(clamd_path)
    with open(clamd_path, "rb") as f:
        digest = hashlib.md5(f.read()).digest()
    assert info["version"] == version_of(clamd_path)
    assert info["installTime"] == str(int(st.st_ctime))
    assert info["modificationTime"] == str(int(st.st_mtime))
    assert info["exeSize"] == str(st.st_size)
    assert base64.b64decode(info["exeMd5"]) == digest
    import pwd
    assert base64.b64decode(info["exeOwner"]).decode() == pwd.getpwuid(st.st_uid).pw_name

    # A relative path through a symbolic link names the same file.
    link = tmp_path / "clamd-link"
    link.symlink_to(clamd_path)
    r2 = run(["./clamd-link", "--dump-app-info"], cwd=tmp_path, executable=str(link))
    assert json.loads(r2.stdout)["exeMd5"] == info["exeMd5"]

    # Started by bare name through PATH from another directory: argv[0] is
    # looked up in the working directory only, so nothing can be described.
    env = clean_env(PATH=os.path.dirname(clamd_path) + ":" + os.environ.get("PATH", ""))
    r3 = run(["vemra-clamd", "--dump-app-info"], cwd=tmp_path, env=env)
    assert (r3.returncode, r3.stdout) == (0, "{}\n")


def test_dump_app_info_owner_without_user_entry(clamd_path, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("needs root to give a file to an unknown uid")
    copy = tmp_path / "vemra-clamd"
    shutil.copy2(clamd_path, copy)
    os.chown(copy, 54321, 54321)
    info = json.loads(run([str(copy), "--dump-app-info"]).stdout)
    assert base64.b64decode(info["exeOwner"]) == b"54321"


@pytest.mark.parametrize("value", ["", "7x", " 7", "12345678901", "0x7"])
def test_malformed_monitor_variable(clamd_path, value):
    r = run([clamd_path], env=clean_env(COM_VEMRA_MONITOR=value))
    assert r.returncode == 125
    version = version_of(clamd_path)
    assert r.stderr == (
        "Notice: ClamD " + version + "\n"
        "Error: bad lexical cast: source type value could not be interpreted as target\n"
        "Notice: Exit with status 125 (Unexpected error)\n")


def test_monitor_variable_with_sign_is_converted(clamd_path):
    # "+N" names descriptor N: the daemon asks it for its configuration.
    import socket
    parent, child = socket.socketpair()
    fd = child.fileno()
    proc = subprocess.Popen([clamd_path], env=clean_env(COM_VEMRA_MONITOR="+%d" % fd), pass_fds=(fd,),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.close()
    try:
        parent.settimeout(20)
        assert parent.recv(6) == b"\x02\x00\x00\x00\x08\x01"  # GET_CONFIG_REQUEST
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.communicate(timeout=20)
        parent.close()
    assert proc.returncode == 107

    # "-1" converts too; it is the descriptor that is refused, not the text.
    r = run([clamd_path], env=clean_env(COM_VEMRA_MONITOR="-1"))
    assert r.returncode == 125
    assert "Error: assign: Bad file descriptor [system:9]\n" in r.stderr


def test_sigterm_replays_early_lines_and_exits_107(clamd_path):
    d = Supervised(clamd_path)
    try:
        # The first request is sent once the signal handlers are armed.
        d.parent.settimeout(20)
        assert d.parent.recv(6) == b"\x02\x00\x00\x00\x08\x01"
        d.proc.send_signal(signal.SIGHUP)
        d.proc.send_signal(signal.SIGTERM)
        rc, out, err = d.finish()
    finally:
        d.kill()
    version = version_of(clamd_path)
    assert rc == 107 and out == ""
    # No sink was configured: the kept lines reach stderr at exit, in order.
    assert err == (
        "Notice: ClamD " + version + "\n"
        "Notice: SIGHUP received, config will be ordered from Warden\n"
        "Notice: Termination signal received, exiting...\n"
        "Notice: Exit with status 107 (Process terminated by signal)\n")
