"""The command line of vemra-clamd started without Warden, and the
descriptor it is told to find Warden on."""

import base64
import hashlib
import json
import os
import pwd
import re
import shutil

import pytest

from suite import clean_env, run
from wire import Error

HINT = "Cannot run standalone. See vemra-clamd(1) for details.\n"


def test_standalone_hint_and_options(clamd_path, version):
    r = run([clamd_path])
    assert (r.returncode, r.stdout, r.stderr) == (1, HINT, "")

    assert re.fullmatch(r"\d+\.\d+\.\d+\.\d{10}", version), version
    for args in (["--version"], ["--VERSION"], ["-v"], ["--Version"]):
        r = run([clamd_path] + args)
        assert (r.returncode, r.stdout, r.stderr) == (0, "vemra-clamd " + version + "\n", ""), args

    # Help wins over version, whatever the order; the dump option is not shown.
    helps = [run([clamd_path] + args) for args in (["--help"], ["-v", "-h"], ["--version", "--HELP"])]
    assert {(r.returncode, r.stdout, r.stderr) for r in helps} == {(0, helps[0].stdout, "")}
    text = helps[0].stdout
    assert text.startswith("Command line options:\n") and text.endswith("\n\n") and "dump" not in text, text
    for line in ("--help", "print help message and exit", "--version", "print version and exit"):
        assert line in text


@pytest.mark.parametrize("args,message", [
    (["--bogus"], "Error: unrecognised option '--bogus'\n"),
    (["extra"], "Error: too many positional options have been specified on the command line\n"),
    (["--version=yes"], None),
])
def test_bad_command_line(clamd_path, args, message):
    r = run([clamd_path] + args)
    assert (r.returncode, r.stdout) == (Error.EC_UNEXPECTED_ERROR, ""), r.stderr
    assert r.stderr == message if message else re.fullmatch(r"Error: [^\n]+\n", r.stderr), r.stderr


def test_dump_app_info_describes_the_executable(clamd_path, version, tmp_path):
    r = run([clamd_path, "--dump-app-info"])
    assert (r.returncode, r.stderr, r.stdout[-2:], r.stdout.count("\n")) == (0, "", "}\n", 1)
    info = json.loads(r.stdout)
    st = os.stat(clamd_path)
    with open(clamd_path, "rb") as f:
        digest = base64.b64encode(hashlib.md5(f.read()).digest()).decode()
    owner = base64.b64encode(pwd.getpwuid(st.st_uid).pw_name.encode()).decode()
    assert list(info.items()) == [
        ("version", version), ("installTime", str(int(st.st_ctime))), ("modificationTime", str(int(st.st_mtime))),
        ("exeSize", str(st.st_size)), ("exeMd5", digest), ("exeOwner", owner)]

    # A relative path through a symbolic link names the same file.
    link = tmp_path / "clamd-link"
    link.symlink_to(clamd_path)
    r = run(["./clamd-link", "--dump-app-info"], cwd=tmp_path, executable=str(link))
    assert json.loads(r.stdout)["exeMd5"] == digest

    # Started by bare name through PATH from another directory: argv[0] is
    # looked up in the working directory only, so nothing can be described.
    env = clean_env(PATH=os.path.dirname(clamd_path) + ":" + os.environ.get("PATH", ""))
    r = run(["vemra-clamd", "--dump-app-info"], cwd=tmp_path, env=env)
    assert (r.returncode, r.stdout) == (0, "{}\n")


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to give a file to an unknown uid")
def test_dump_app_info_owner_without_user_entry(clamd_path, tmp_path):
    copy = tmp_path / "vemra-clamd"
    shutil.copy2(clamd_path, copy)
    os.chown(copy, 54321, 54321)
    info = json.loads(run([str(copy), "--dump-app-info"]).stdout)
    assert base64.b64decode(info["exeOwner"]) == b"54321"


CAST = "bad lexical cast: source type value could not be interpreted as target"
BAD_FD = "assign: Bad file descriptor [system:9]"


# How the text converts to a number is the unit tests' matter; here, that
# each kind of refusal ends the program the same way.
@pytest.mark.parametrize("value,error", [("", CAST), ("250", BAD_FD)])
def test_unusable_monitor_variable(clamd_path, version, value, error):
    r = run([clamd_path], env=clean_env(COM_VEMRA_MONITOR=value))
    assert (r.returncode, r.stdout, r.stderr) == (Error.EC_UNEXPECTED_ERROR, "", (
        "Notice: ClamD " + version + "\nError: " + error + "\nNotice: Exit with status 125 (Unexpected error)\n"))
