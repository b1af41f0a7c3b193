"""vemra-sieve driven over the proxy exchange as the daemon drives it: real files
scanned, answers matched by serial, faults that end one session only."""

import os
import socket
import stat
import struct

import wire
from suite import FILES, SIEVE, Service, clean_env, run, threat_names, write_files
from sieve_client_ipc_pb2 import ClientMessage as C, ProxyOptions, ServerMessage as S


class Sieve(Service):
    program = SIEVE

    def session(self):
        """A new proxy session, opened with archives looked into."""
        s = self.connect(S)
        s.send(C(tag=C.OPEN_PROXY, origin=20, pid=os.getpid()))
        s.send(C(tag=C.PROXY_OPTIONS_NOTIFICATION, proxy_options=ProxyOptions(archive_max_level=8)))
        assert s.recv().tag == S.PROXY_READY
        return s


def scan(session, paths, first_serial=0, then_shut=False):
    """Sends every request at once; the reports by serial."""
    session.send_raw(b"".join(wire.encode(C(tag=C.PROXY_SCAN_REQUEST, serial=first_serial + i, path=os.fsencode(p)))
                              for i, p in enumerate(paths)))
    if then_shut:
        session.sock.shutdown(socket.SHUT_WR)
    answers = [session.recv() for _ in paths]
    assert all(m.tag == S.PROXY_SCAN_RESPONSE and not m.HasField("error") for m in answers)
    # Callers look up every serial they sent: one missing or answered twice fails there.
    return {m.serial: m.scan_report for m in answers}


def test_files_are_scanned_and_answered_by_serial(services, tmp_path):
    # What each kind of file reports is the path-scan tests' matter.
    write_files(str(tmp_path), FILES)
    clean, eicar, archive = (str(tmp_path / n) for n in ("clean.txt", "eicar.com", "member.zip"))
    sieve = services(Sieve)
    session = sieve.session()

    # The session's options reach the engine: without them archives stay closed.
    assert threat_names(scan(session, [archive])[0]) == ["EICAR-Test-File"]

    # A protocol fault ends only the session that made it: an over-long
    # frame before the message layer sees it, bytes that are no message after.
    for bad in struct.pack("<I", wire.MAX_BODY + 1), struct.pack("<I", 3) + b"\xff\xff\xff":
        faulty = sieve.session()
        faulty.send_raw(bad)
        assert faulty.recv() is None
    assert scan(sieve.session(), [clean])[0].object.decode() == clean

    # Far more requests than a session may have waiting, from a client
    # that has said everything: each still gets its answer.
    paths = [eicar if i % 3 == 0 else clean for i in range(300)]
    r = scan(session, paths, first_serial=1000, then_shut=True)
    assert [(r[1000 + i].object.decode(), bool(threat_names(r[1000 + i]))) for i in range(300)] == \
        [(p, p == eicar) for p in paths]
    assert session.recv() is None
    assert sieve.finish()[1].count("Warning: Sieve: closing a client session: ") == 2


def test_serves_its_socket_until_the_supervisor_goes(services, tmp_path):
    parent, child = socket.socketpair()
    first = services(Sieve, env=clean_env(COM_VEMRA_MONITOR=str(child.fileno())), pass_fds=(child.fileno(),))
    child.close()
    assert stat.S_IMODE(os.lstat(first.path).st_mode) == 0o600
    # A live socket is another instance's; nothing else there is ours to delete.
    (tmp_path / "file").write_text("keep me")
    for path, why in [(first.path, "Address already in use"), (str(tmp_path / "file"), "File exists"),
                      ("/tmp/" + "s" * 108, "File name too long")]:
        r = run([SIEVE, "--socket", path])
        assert r.returncode != 0 and "socket %s: %s" % (path, why) in r.stderr, r.stderr
    assert (tmp_path / "file").read_text() == "keep me"

    busy = first.session()
    parent.close()
    rc, log = first.finish(sig=None)
    assert rc == 0 and "the supervisor has gone" in log, log
    assert busy.recv() is None and not os.path.exists(first.path)
    # A socket file nobody listens on, as a killed instance leaves it, is replaced.
    with socket.socket(socket.AF_UNIX) as stale:
        stale.bind(first.path)
    services(Sieve).session()
