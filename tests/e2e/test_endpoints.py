"""Listening endpoints of the daemon: reconfiguration, socket files, failures
to open, connection statistics, descriptor exhaustion and many clients at
once."""

import os
import resource
import selectors
import socket
import stat
import time

import pytest

from clamd_daemon import exchange, raise_nofile, read_all, tcp_endpoint, unix_endpoint
from conftest import wait_for


def started(ep):
    return "Notice: Server on %s started" % ep.description


def shut_down(ep):
    return "Notice: Server on %s shutdown" % ep.description


def server_lines(lines):
    return [l for l in lines if l.startswith("Notice: Server on ")]


def open_session(ep):
    s = ep.connect()
    exchange(s, b"nIDSESSION\nnPING\n", b"1: PONG\n")
    return s


def both(d):
    return [unix_endpoint("u", d.dir), tcp_endpoint("t")]


def test_identical_configuration_keeps_servers_and_clients(daemon):
    d = daemon()
    eps = both(d)
    d.apply(eps)
    assert server_lines(d.log_lines()) == [started(ep) for ep in eps]
    clients = [open_session(ep) for ep in eps]
    mark = len(d.log())
    d.apply(eps)
    assert server_lines(d.log_lines(mark)) == []
    for s in clients:
        exchange(s, b"nPING\n", b"2: PONG\n")
        s.sendall(b"nEND\n")
        assert read_all(s) == b""
        s.close()
    for ep in eps:
        assert ep.ask(b"zPING\0") == b"PONG\0"


def test_renamed_tag_reopens_the_endpoint(daemon):
    d = daemon()
    eps = both(d)
    d.apply(eps)
    mark = len(d.log())
    renamed = [ep.retagged(ep.tag + "2") for ep in eps]
    d.apply(renamed)
    lines = server_lines(d.log_lines(mark))
    for ep in eps:
        # Closed first, then opened again under the new tag.
        assert [l for l in lines if ep.description in l] == [shut_down(ep), started(ep)]
    for ep in renamed:
        mark = len(d.log())
        assert ep.ask(b"nPING\n") == b"PONG\n"
        d.wait_log("Debug: Server %s: accepted new connection on %s" % (ep.description, ep.tag), mark)


def test_removed_endpoints_are_closed(daemon):
    d = daemon()
    unix, tcp = both(d)
    d.apply([unix, tcp])
    assert os.path.exists(unix.path)

    d.apply([tcp])
    assert not os.path.exists(unix.path)
    assert shut_down(unix) in d.log_lines()
    assert tcp.ask(b"nPING\n") == b"PONG\n"

    d.apply([])
    assert shut_down(tcp) in d.log_lines()
    with pytest.raises(ConnectionRefusedError):
        tcp.connect()


def test_stale_socket_file_is_replaced_with_mode_0666(daemon):
    d = daemon(preexec_fn=lambda: os.umask(0o077))
    ep = unix_endpoint("u", d.dir)
    # What a daemon that died without cleaning up leaves behind.
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(ep.path)
    d.apply([ep])
    st = os.stat(ep.path)
    assert stat.S_ISSOCK(st.st_mode)
    assert stat.S_IMODE(st.st_mode) == 0o666
    assert ep.ask(b"zPING\0") == b"PONG\0"


def test_other_file_at_socket_path_is_left_alone(daemon):
    d = daemon()
    ep = unix_endpoint("u", d.dir)
    with open(ep.path, "w") as f:
        f.write("not a socket")
    d.send([ep])
    assert d.message() is None
    assert d.wait_exit() == 102
    assert [l for l in d.log_lines() if l.startswith("Error:")] == [
        "Error: Initialization failed: bind: Address already in use [system:98]"]
    with open(ep.path) as f:
        assert f.read() == "not a socket"


def test_duplicate_endpoint_is_served_by_the_first_tag(daemon):
    d = daemon()
    unix, tcp = both(d)
    # Listed in the opposite order: the tags decide, not the list.
    eps = [unix.retagged("b"), unix.retagged("a"), tcp.retagged("d"), tcp.retagged("c")]
    d.apply(eps)
    lines = d.log_lines()
    assert [l for l in lines if l.startswith("Warning:")] == [
        "Warning: Socket %s (for b) has already been used, ignored" % unix.name,
        "Warning: Socket %s (for d) has already been used, ignored" % tcp.name,
    ]
    assert server_lines(lines) == [started(unix), started(tcp)]
    for ep, tag in [(unix, "a"), (tcp, "c")]:
        mark = len(d.log())
        assert ep.ask(b"nPING\n") == b"PONG\n"
        d.wait_log("Debug: Server %s: accepted new connection on %s" % (ep.description, tag), mark)


def test_port_in_use_fails_initialization(daemon):
    d = daemon()
    unix, tcp = both(d)
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", tcp.port))
        holder.listen()
        d.send([unix, tcp])
        assert d.message() is None
        assert d.wait_exit() == 102
    assert [l for l in d.log_lines() if l.startswith("Error:")] == [
        "Error: Initialization failed: bind: Address already in use [system:98]"]
    # The Unix-domain endpoint opened before the failure is closed again.
    assert shut_down(unix) in d.log_lines()
    assert not os.path.exists(unix.path)


def connections(r):
    return r.base, getattr(r, "in"), r.out


def test_connection_statistics(daemon):
    d = daemon()
    ep = tcp_endpoint("t")
    d.apply([ep])
    base = 0

    def reports_until(target):
        """Sums the reports until the count of live connections is target;
        each report must agree with the one before."""
        nonlocal base
        total_in = total_out = 0
        while base != target or total_in + total_out == 0:
            r = d.stat()
            assert r is not None, "no statistics report"
            now, came, left = connections(r)
            assert now == base + came - left, (base, connections(r))
            base, total_in, total_out = now, total_in + came, total_out + left
        return total_in, total_out

    # One client in and out: normally one report (base 0, in 1, out 1); a
    # report can fall between the two, so the reports are summed.
    assert ep.ask(b"nPING\n") == b"PONG\n"
    assert reports_until(0) == (1, 1)
    # Nothing connected and nothing happened: no report.
    assert d.stat(timeout=2.5) is None

    clients = [open_session(ep) for _ in range(3)]
    assert reports_until(3) == (3, 0)
    # While clients stay connected, a report goes out every second.
    assert connections(d.stat()) == (3, 0, 0)
    for s in clients:
        s.close()
    assert reports_until(0) == (0, 3)


def nofile(limit):
    return lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))


@pytest.mark.parametrize("family", ["unix", "tcp"])
def test_descriptor_exhaustion(daemon, family):
    limit = 48
    d = daemon(preexec_fn=nofile(limit))
    d.out_of_descriptors = True
    ep = unix_endpoint("u", d.dir) if family == "unix" else tcp_endpoint("t")
    d.apply([ep])
    free = limit - len(os.listdir("/proc/%d/fd" % d.pid))
    held = []
    try:
        # More clients than the daemon has descriptors for: the last ones
        # wait in the listen queue.
        mark = len(d.log())
        for _ in range(free + 8):
            s = ep.connect()
            s.sendall(b"nIDSESSION\n")
            held.append(s)
        d.wait_log("Debug: Server %s: accept error: Too many open files" % ep.description, mark)

        # Waiting for descriptors must not spin.
        hz = os.sysconf("SC_CLK_TCK")
        t0, c0 = time.monotonic(), d.cpu_ticks()
        wait_for(lambda: time.monotonic() - t0 >= 1.0, what="a one-second window")
        used = (d.cpu_ticks() - c0) / hz / (time.monotonic() - t0)
        assert used < 0.5, "the daemon used %.0f%% of a CPU while out of descriptors" % (used * 100)
        assert shut_down(ep) not in d.log_lines()

        # Freed descriptors are taken up again by themselves: the client
        # that waited in the queue gets served.
        last = held.pop()
        for s in held:
            s.close()
        held = [last]
        exchange(last, b"nPING\n", b"1: PONG\n")
        assert ep.ask(b"zPING\0") == b"PONG\0"
    finally:
        for s in held:
            s.close()


MANY = 1000


@pytest.mark.parametrize("family", ["unix", "tcp"])
def test_many_clients_at_once(daemon, family):
    if not raise_nofile(MANY + 100):
        pytest.skip("descriptor limit below %d" % (MANY + 100))
    d = daemon(preexec_fn=nofile(MANY + 100))
    ep = unix_endpoint("u", d.dir) if family == "unix" else tcp_endpoint("t")
    d.apply([ep], read_timeout=120000)
    clients = []
    sel = selectors.DefaultSelector()
    try:
        for _ in range(MANY):
            clients.append(ep.connect())
        for s in clients:
            s.sendall(b"zPING\0")
        replies = {}
        for s in clients:
            s.setblocking(False)
            sel.register(s, selectors.EVENT_READ)
            replies[s] = b""
        open_ = set(clients)
        end = time.monotonic() + 60
        while open_:
            assert time.monotonic() < end, "%d clients still waiting" % len(open_)
            for key, _ in sel.select(timeout=1):
                s = key.fileobj
                chunk = s.recv(64)
                if chunk:
                    replies[s] += chunk
                else:
                    sel.unregister(s)
                    open_.discard(s)
        assert sorted(set(replies.values())) == [b"PONG\0"]
    finally:
        sel.close()
        for s in clients:
            s.close()
