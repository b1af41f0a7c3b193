"""vemra-scan on real files: one clamd result line per file and the exit
statuses 0 (clean), 1 (threat found) and 2 (error)."""

import io
import os
import subprocess
import tarfile
import zipfile

import pytest

from conftest import BUILD

SCAN = os.path.join(BUILD, "suite", "scan", "vemra-scan")
# Put together here so that this file itself is not the test file.
EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


@pytest.fixture(scope="module")
def scan_tool():
    if not os.path.exists(SCAN):
        pytest.fail("vemra-scan is not built: " + SCAN)
    return SCAN


def run(*args):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=60)


def zip_of(members):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            z.writestr(name, data)
    return out.getvalue()


def tgz_of(members):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w:gz") as t:
        for name, data in members:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))
    return out.getvalue()


def write(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return str(path)


def test_one_line_per_file_and_exit_status(scan_tool, tmp_path):
    clean = write(tmp_path / "clean.txt", b"nothing to see\n")
    eicar = write(tmp_path / "eicar.com", EICAR)
    nested = write(tmp_path / "outer.zip",
                   zip_of([("readme", b"clean"), ("inner.tar.gz", tgz_of([("x/eicar.com", EICAR)]))]))
    missing = str(tmp_path / "missing")

    r = run(scan_tool, clean)
    assert (r.returncode, r.stdout) == (0, clean + ": OK\n")
    r = run(scan_tool, eicar)
    assert (r.returncode, r.stdout) == (1, eicar + ": EICAR-Test-File FOUND\n")
    r = run(scan_tool, nested)
    assert (r.returncode, r.stdout) == (1, nested + ": EICAR-Test-File FOUND\n")
    r = run(scan_tool, "--archive-max-level", "0", nested)
    assert (r.returncode, r.stdout) == (0, nested + ": OK\n")
    r = run(scan_tool, missing)
    assert (r.returncode, r.stdout) == (2, missing + ": File not found. ERROR\n")
    # A threat outweighs an error.
    r = run(scan_tool, missing, eicar, clean)
    assert r.returncode == 1
    assert r.stdout.splitlines() == [missing + ": File not found. ERROR",
                                     eicar + ": EICAR-Test-File FOUND", clean + ": OK"]


def test_directories_are_walked_in_name_order(scan_tool, tmp_path):
    root = tmp_path / "tree"
    write(root / "b" / "adware.txt", b"VEMRA-TEST-SIGNATURE-ADWARE and the rest")
    write(root / "a.txt", b"clean")
    write(root / "c" / "d" / "e.zip", zip_of([("eicar.com", EICAR)]))
    # Links inside a tree are not followed; special files are skipped.
    os.symlink(str(root / "a.txt"), str(root / "link"))
    os.mkfifo(str(root / "fifo"))
    r = run(scan_tool, str(root))
    assert r.returncode == 1
    assert r.stdout.splitlines() == [
        str(root / "a.txt") + ": OK",
        str(root / "b" / "adware.txt") + ": Vemra-Test-Adware FOUND",
        str(root / "c" / "d" / "e.zip") + ": EICAR-Test-File FOUND",
    ]


def test_protected_archive_is_not_an_error(scan_tool, tmp_path):
    secret = write(tmp_path / "eicar.com", EICAR)
    protected = str(tmp_path / "protected.zip")
    subprocess.run(["zip", "-q", "-j", "-P", "secret", protected, secret], check=True)
    # Password protection is not an error line; the tree still says so.
    r = run(scan_tool, "--report", protected)
    assert r.returncode == 0
    assert r.stdout.startswith(protected + ": OK\n")
    assert "error: SE_PASSWORD_PROTECTED" in r.stdout


def test_all_match_lists_every_threat(scan_tool, tmp_path):
    two = write(tmp_path / "two.zip", zip_of([("a", EICAR), ("b", b"VEMRA-TEST-SIGNATURE-JOKE")]))
    r = run(scan_tool, "--all-match", two)
    assert (r.returncode, r.stdout) == (1, two + ": EICAR-Test-File FOUND\n" + two + ": Vemra-Test-Joke FOUND\n")
    susp = write(tmp_path / "s", b"VEMRA-TEST-SIGNATURE-SUSPICIOUS")
    assert run(scan_tool, "--no-heuristics", susp).returncode == 0
    assert run(scan_tool, susp).returncode == 1


def test_rule_files_and_command_line(scan_tool, tmp_path):
    rules = tmp_path / "rules"
    write(rules / "local.yar",
          b'rule local { meta: threat_type = "hacktool" threat_name = "Local-Tool"\n'
          b'  strings: $a = "local tool" condition: $a }\n')
    target = write(tmp_path / "target", b"a local tool inside")
    r = run(scan_tool, "--rules", str(rules), target)
    assert (r.returncode, r.stdout) == (1, target + ": Local-Tool FOUND\n")

    broken = write(rules / "broken.yar", b"rule broken {\n  condition: nothing_defined\n}\n")
    r = run(scan_tool, "-r", str(rules), target)
    assert r.returncode == 2 and r.stdout == ""
    assert broken + ":2: " in r.stderr

    r = run(scan_tool, "--help")
    assert r.returncode == 0 and r.stdout.startswith("Usage: vemra-scan")
    assert run(scan_tool).returncode == 2
    assert run(scan_tool, "--no-such-option", target).returncode == 2
