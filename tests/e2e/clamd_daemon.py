"""vemra-clamd serving real endpoints under the scripted supervisor: builds
its configuration, follows its log file and talks to its endpoints the way
a clamd client does."""

import os
import resource
import socket
import tempfile
import time

import clamd_config_pb2
import log_pb2
from conftest import DEADLINE, wait_for
from fake_warden import FakeWarden, Req

DEBUG = 1

SANITIZER_MARKS = ("Sanitizer", "runtime error:")
VPTR_PROBE_FAILED = ("which does not point to an object of type", "note: object has invalid vptr",
                     "<memory cannot be printed>")


def free_port():
    """A TCP port nobody listens on right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def short_dir():
    """A private directory with a short path: Unix socket paths are limited
    to 107 bytes, and pytest's tmp_path can be longer."""
    return tempfile.mkdtemp(prefix="vc", dir="/tmp")


def raise_nofile(n):
    """Raises this process's soft descriptor limit to at least n (within
    the hard limit); returns whether n is now allowed."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft >= n:
        return True
    if hard != resource.RLIM_INFINITY and hard < n:
        return False
    resource.setrlimit(resource.RLIMIT_NOFILE, (n, hard))
    return True


class Endpoint:
    """One listening endpoint as the configuration names it."""

    def __init__(self, tag, path=None, port=None, read_timeout=None):
        self.tag = tag
        self.path = path
        self.port = port
        self.read_timeout = read_timeout

    @property
    def family(self):
        return "unix" if self.path else "tcp"

    @property
    def name(self):
        """The endpoint as the duplicate warning prints it."""
        return self.path if self.path else "127.0.0.1:%d" % self.port

    @property
    def description(self):
        """The endpoint as the started/shutdown lines print it."""
        return self.path + " (local)" if self.path else "127.0.0.1:%d(IPv4)" % self.port

    def retagged(self, tag):
        return Endpoint(tag, self.path, self.port, self.read_timeout)

    def connect(self, timeout=DEADLINE):
        if self.path:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.settimeout(timeout)
            try:
                s.connect(self.path)
            except BaseException:
                s.close()
                raise
            return s
        return socket.create_connection(("127.0.0.1", self.port), timeout=timeout)

    def ask(self, data):
        """One exchange on a new connection: everything the daemon sends
        until it closes."""
        with self.connect() as s:
            s.sendall(data)
            return read_all(s)


def unix_endpoint(tag, directory, name="s", **kw):
    return Endpoint(tag, path=os.path.join(directory, name), **kw)


def tcp_endpoint(tag, port=None, **kw):
    return Endpoint(tag, port=port if port is not None else free_port(), **kw)


def read_all(s, timeout=DEADLINE):
    """Bytes until the peer closes; fails if it stays open past the deadline."""
    end = time.monotonic() + timeout
    data = b""
    while True:
        s.settimeout(max(0.0, end - time.monotonic()))
        try:
            chunk = s.recv(65536)
        except socket.timeout:
            raise AssertionError("connection still open after %r" % data)
        if not chunk:
            return data
        data += chunk


def read_exact(s, n, timeout=DEADLINE):
    end = time.monotonic() + timeout
    data = b""
    while len(data) < n:
        s.settimeout(max(0.0, end - time.monotonic()))
        try:
            chunk = s.recv(n - len(data))
        except socket.timeout:
            raise AssertionError("expected %d bytes, got %r" % (n, data))
        if not chunk:
            raise AssertionError("connection closed after %r, expected %d bytes" % (data, n))
        data += chunk
    return data


def read_until(s, terminator, timeout=DEADLINE):
    """Bytes up to and including the first terminator (read one at a time,
    so nothing after it is taken)."""
    end = time.monotonic() + timeout
    data = b""
    while not data.endswith(terminator):
        s.settimeout(max(0.0, end - time.monotonic()))
        try:
            chunk = s.recv(1)
        except socket.timeout:
            raise AssertionError("no terminator after %r" % data)
        if not chunk:
            raise AssertionError("connection closed after %r" % data)
        data += chunk
    return data


def exchange(s, data, reply):
    """Sends data and checks that exactly reply comes back."""
    s.sendall(data)
    assert read_exact(s, len(reply)) == reply


class Daemon:
    """The daemon under a scripted supervisor, logging at Debug to a file."""

    def __init__(self, clamd_path, directory, **kw):
        self.dir = directory
        self.log_path = os.path.join(directory, "log")
        self.revision = 0
        self.stats = []
        self.stderr = None
        # Set by tests that exhaust the daemon's descriptors on purpose.
        self.out_of_descriptors = False
        self.warden = FakeWarden(clamd_path, **kw)
        self.warden.expect(Req.GET_CONFIG_REQUEST)

    @property
    def pid(self):
        return self.warden.proc.pid

    def config(self, endpoints, read_timeout=10000):
        c = clamd_config_pb2.ClamdConfig()
        c.log_level = DEBUG
        c.actual_log.type = log_pb2.Log.FILE
        c.actual_log.path = self.log_path
        c.read_timeout = read_timeout
        for ep in endpoints:
            item = c.endpoint.item.add()
            item.tag = ep.tag
            if ep.path:
                item.clamd_socket.local = ep.path
            else:
                item.clamd_socket.ip.address = "127.0.0.1"
                item.clamd_socket.ip.port = ep.port
            if ep.read_timeout is not None:
                item.read_timeout = ep.read_timeout
        return c

    def send(self, endpoints, **kw):
        """Hands over a new revision without waiting for its outcome."""
        self.revision += 1
        self.warden.send_config(self.revision, self.config(endpoints, **kw))

    def apply(self, endpoints, **kw):
        """Hands over a new revision and waits until it is in force."""
        self.send(endpoints, **kw)
        m = self.message()
        assert m is not None, "daemon closed the link; log:\n" + self.log()
        assert m.tag == Req.MY_INFO_NOTIFICATION, m
        assert m.config_revision == self.revision

    def message(self, timeout=DEADLINE):
        """The next message that is not a statistics report (those are kept)."""
        while True:
            m = self.warden.recv(timeout)
            if m is None or m.tag != Req.MY_STAT_NOTIFICATION:
                return m
            self.stats.append(m.stat.connections)

    def stat(self, timeout=DEADLINE):
        """The next statistics report, or None if none comes in time."""
        if self.stats:
            return self.stats.pop(0)
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return None
            try:
                m = self.warden.recv(left)
            except AssertionError:
                return None
            assert m is not None, "daemon closed the link; log:\n" + self.log()
            if m.tag == Req.MY_STAT_NOTIFICATION:
                return m.stat.connections

    def log(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def log_lines(self, start=0):
        """Log lines after the first start characters, without the time and
        process id that the file sink puts in front of the level."""
        out = []
        for line in self.log()[start:].splitlines():
            _, sep, rest = line.partition("] ")
            out.append(rest if sep else line)
        return out

    def wait_log(self, line, start=0):
        """Waits until the log holds line (a whole line, level included)."""
        wait_for(lambda: line in self.log_lines(start), what="log line " + repr(line))

    def cpu_ticks(self):
        with open("/proc/%d/stat" % self.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        # utime and stime are fields 14 and 15; the state (field 3) is fields[0].
        return int(fields[11]) + int(fields[12])

    def wait_exit(self):
        """The exit status of a daemon that ends by itself."""
        rc, _, self.stderr = self.warden.finish()
        return rc

    def stop(self):
        """SIGTERM; returns the exit status once the daemon is gone."""
        if self.warden.proc.poll() is None:
            self.warden.signal()
        return self.wait_exit()

    @property
    def finished(self):
        return self.stderr is not None

    def sanitizer_report(self):
        """What a sanitizer build wrote to stderr, if anything."""
        lines = (self.stderr or "").splitlines()
        if self.out_of_descriptors:
            # The dynamic type check probes memory through a pipe of its
            # own: with every descriptor taken it fails, and sound objects
            # are reported as having an invalid vptr.
            lines = [l for l in lines if not any(m in l for m in VPTR_PROBE_FAILED)]
        return "\n".join(l for l in lines if any(m in l for m in SANITIZER_MARKS))

    def kill(self):
        self.warden.kill()
