"""The daemon's listening endpoints: reconfiguration, socket files, failures to
open, many clients. (Statistics: metrics tests; descriptor exhaustion: faults.)"""

import os
import resource
import socket
import stat

import pytest

from suite import Endpoint, endpoint, exchange, read
from wire import Error


def server(ep, what):
    return "Notice: Server on %s %s" % (ep.description, what)


def accepted(ep, tag):
    return "Debug: Server %s: accepted new connection on %s" % (ep.description, tag)


def server_lines(lines):
    return [l for l in lines if l.startswith("Notice: Server on ")]


def open_session(ep):
    s = ep.connect()
    exchange(s, b"nIDSESSION\nnPING\n", b"1: PONG\n")
    return s


def both(d):
    return [endpoint("unix", d.dir), endpoint("tcp", d.dir)]


def test_endpoints_follow_the_configuration(daemon):
    # The socket file is readable and writable by all whatever the umask.
    d = daemon(preexec_fn=lambda: os.umask(0o077))
    unix, tcp = both(d)
    # Of two endpoints on one address the first tag serves, whatever the order or the path's spelling.
    os.symlink(".", os.path.join(d.dir, "here"))
    aliases = [Endpoint("e", d.dir + "//./s"), Endpoint("f", os.path.join(d.dir, "here", "s"))]
    eps = [unix.retagged("b"), unix.retagged("a"), tcp.retagged("d"), tcp.retagged("c")] + aliases
    d.apply(eps)
    st = os.stat(unix.path)
    assert stat.S_ISSOCK(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o666
    assert [l for l in d.log_lines() if l.startswith("Warning:")] == [
        "Warning: Socket %s (for %s) has already been used, ignored" % (ep.path, ep.tag)
        for ep in [unix.retagged("b")] + aliases] + [
        "Warning: Socket 127.0.0.1:%d (for d) has already been used, ignored" % tcp.port]
    assert server_lines(d.log_lines()) == [server(unix, "started"), server(tcp, "started")]
    clients = [open_session(ep) for ep in (unix, tcp)]
    for ep, tag in ((unix, "a"), (tcp, "c")):
        d.wait_log(accepted(ep, tag))

    # The same configuration again keeps the servers and their clients, however it spells the socket path.
    mark = len(d.log())
    respelled = d.dir + "//./" + os.path.basename(unix.path)
    for again in (eps, [Endpoint(ep.tag, respelled) for ep in eps[:2]] + eps[2:]):
        d.apply(again)
    for s in clients:
        exchange(s, b"nPING\nnEND\n", b"2: PONG\n")
        assert read(s) == b""
        s.close()
    assert server_lines(d.log_lines(mark)) == []

    # A renamed tag closes the endpoint and opens it again under the new one.
    mark = len(d.log())
    renamed = [unix.retagged("a2"), tcp.retagged("c2")]
    d.apply(renamed)
    lines = server_lines(d.log_lines(mark))
    for ep in renamed:
        assert [l for l in lines if ep.description in l] == [server(ep, "shutdown"), server(ep, "started")]
        mark = len(d.log())
        assert ep.ask(b"zPING\0") == b"PONG\0"
        d.wait_log(accepted(ep, ep.tag), mark)

    # Removed endpoints are closed and their socket files go; a client that came in before stays served.
    unix, tcp = renamed
    earlier = open_session(unix)
    mark = len(d.log())
    d.apply([tcp])
    assert server_lines(d.log_lines(mark)) == [server(unix, "shutdown")]
    assert not os.path.exists(unix.path)
    exchange(earlier, b"nPING\n", b"2: PONG\n")
    earlier.close()
    assert tcp.ask(b"nPING\n") == b"PONG\n"
    d.apply([])
    assert server(tcp, "shutdown") in d.log_lines(mark)
    with pytest.raises(ConnectionRefusedError):
        tcp.connect()


@pytest.mark.parametrize("taken", ["socket path", "port"])
def test_address_in_use_fails_initialization(daemon, taken):
    d = daemon()
    unix, tcp = both(d)
    with socket.socket() as holder:
        if taken == "port":
            holder.bind(("127.0.0.1", tcp.port))
            holder.listen()
        else:
            with open(unix.path, "w") as f:
                f.write("not a socket")
        d.apply([unix, tcp], wait=False)
        assert d.message() is None
        assert d.finish()[0] == Error.EC_BAD_CONFIG
    assert [l for l in d.log_lines() if l.startswith("Error:")] == [
        "Error: Initialization failed: bind: Address already in use [system:98]"]
    if taken == "port":
        # The Unix-domain endpoint opened before the failure is closed again.
        assert server(unix, "shutdown") in d.log_lines() and not os.path.exists(unix.path)
    else:
        # Another program's file is left alone.
        with open(unix.path) as f:
            assert f.read() == "not a socket"


MANY = 1000


@pytest.mark.parametrize("family", ["unix", "tcp"])
def test_many_clients_at_once(daemon, family):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < MANY + 100:
        pytest.skip("descriptor limit below %d" % (MANY + 100))
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, MANY + 100), hard))
    d = daemon(preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (MANY + 100, MANY + 100)))
    ep = endpoint(family, d.dir)
    d.apply([ep], read_timeout=120000)
    clients = []
    try:
        # Every client connected before any is answered.
        for _ in range(MANY):
            clients.append(ep.connect())
        for s in clients:
            s.sendall(b"zPING\0")
        assert {read(s) for s in clients} == {b"PONG\0"}
    finally:
        for s in clients:
            s.close()
