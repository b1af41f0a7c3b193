"""vemra-scan on real files: one clamd result line per file and the exit
statuses 0 (clean), 1 (threat found) and 2 (error)."""

import os
import subprocess

import pytest

from suite import EICAR, write_files, zip_of
from wire import BUILD


SCAN = os.path.join(BUILD, "suite", "scan", "vemra-scan")
FILES = {
    "clean.txt": b"nothing to see\n", "eicar.com": EICAR, "susp": b"VEMRA-TEST-SIGNATURE-SUSPICIOUS",
    "outer.zip": zip_of(("readme", b"clean"), ("inner.zip", zip_of(("x/eicar.com", EICAR)))),
    "two.zip": zip_of(("a", EICAR), ("b", b"VEMRA-TEST-SIGNATURE-JOKE")),
    "tree/a.txt": b"clean", "tree/b/adware.txt": b"VEMRA-TEST-SIGNATURE-ADWARE and the rest",
    "tree/c/d/e.zip": zip_of(("eicar.com", EICAR)),
    "rules/local.yar": b'rule local { meta: threat_type = "hacktool" threat_name = "Local-Tool"\n'
                       b'  strings: $a = "local tool" condition: $a }\n',
    "broken/broken.yar": b"rule broken {\n  condition: nothing_defined\n}\n",
    "target": b"a local tool inside",
}


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """A directory holding FILES, where vemra-scan runs with relative paths."""
    root = tmp_path_factory.mktemp("scan")
    write_files(str(root), FILES)
    # Links inside a tree are not followed; special files are skipped.
    os.symlink(str(root / "tree" / "a.txt"), str(root / "tree" / "link"))
    os.mkfifo(str(root / "tree" / "fifo"))
    subprocess.run(["zip", "-q", "-P", "secret", "protected.zip", "eicar.com"], cwd=str(root), check=True)
    return root


def scan(workdir, *args):
    return subprocess.run([SCAN] + list(args), cwd=str(workdir), capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("args, status, lines", [
    (["--archive-max-level", "0", "outer.zip"], 0, ["outer.zip: OK"]),
    (["missing"], 2, ["missing: File not found. ERROR"]),
    # One line per argument, in order; a threat outweighs an error.
    (["missing", "eicar.com", "clean.txt"], 1,
     ["missing: File not found. ERROR", "eicar.com: EICAR-Test-File FOUND", "clean.txt: OK"]),
    (["tree"], 1, ["tree/a.txt: OK", "tree/b/adware.txt: Vemra-Test-Adware FOUND",
                   "tree/c/d/e.zip: EICAR-Test-File FOUND"]),
    (["--all-match", "two.zip"], 1, ["two.zip: EICAR-Test-File FOUND", "two.zip: Vemra-Test-Joke FOUND"]),
    (["susp"], 1, ["susp: Vemra-Test-Suspicious FOUND"]),
    (["--no-heuristics", "susp"], 0, ["susp: OK"]),
    (["--rules", "rules", "target"], 1, ["target: Local-Tool FOUND"]),
])
def test_result_lines_and_exit_status(workdir, args, status, lines):
    r = scan(workdir, *args)
    assert (r.returncode, r.stdout.splitlines()) == (status, lines)


@pytest.mark.parametrize("args, start, inside", [
    # A protected archive is no error line, though the report tree says so.
    (["--report", "protected.zip"], "protected.zip: OK\n", "error: SE_PASSWORD_PROTECTED"),
    (["--help"], "Usage: vemra-scan [options] PATH...\n", ""),
])
def test_output_that_is_not_only_result_lines(workdir, args, start, inside):
    r = scan(workdir, *args)
    assert r.returncode == 0 and r.stdout.startswith(start) and inside in r.stdout, r.stdout


@pytest.mark.parametrize("args, stderr", [
    (["-r", "rules", "-r", "broken", "target"], "broken/broken.yar:2: "),
    ([], "vemra-scan: no path given\nTry 'vemra-scan --help'.\n"),
    (["--no-such-option", "target"], "vemra-scan: unrecognised option '--no-such-option'\nTry 'vemra-scan --help'.\n"),
])
def test_errors_before_any_scan(workdir, args, stderr):
    r = scan(workdir, *args)
    assert (r.returncode, r.stdout, stderr in r.stderr) == (2, "", True), r.stderr
