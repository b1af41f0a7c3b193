"""Starting the programs under test and the fakes around them: vemra-clamd
under a scripted Warden serving real endpoints, vemra-warden on a
configuration file, the scripted daemon Warden starts in its place, fakes
of the suite's services; the clamd client side; waiting with a deadline."""

import io
import json
import pathlib
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import zipfile

import wire
from wire import BUILD, DEADLINE, ClamdConfig, Error, FromWarden, Log, LogLevel, ToWarden

CLAMD = os.path.join(BUILD, "app", "vemra-clamd")
WARDEN = os.path.join(BUILD, "suite", "warden", "vemra-warden")
SIEVE = os.path.join(BUILD, "suite", "sieve", "vemra-sieve")
COURIER = os.path.join(BUILD, "suite", "courier", "vemra-courier")
FAKE_CLAMD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_clamd.py")
# scripts/setup installs it; a missing client fails the test rather than skipping it.
CLAMDSCAN = shutil.which("clamdscan") or "clamdscan"

SANITIZER_MARKS = ("Sanitizer", "runtime error:")
# Out of descriptors, the dynamic type check cannot open the pipe it probes
# memory through and reports sound objects as having an invalid vptr.
VPTR_PROBE_FAILED = ("which does not point to an object of type", "note: object has invalid vptr",
                     "<memory cannot be printed>")


def wait_for(condition, what, timeout=DEADLINE):
    """Polls condition() until it returns a true value, which it returns."""
    end, delay = time.monotonic() + timeout, 0.005
    while True:
        value = condition()
        if value:
            return value
        assert time.monotonic() < end, "timed out waiting for " + what
        time.sleep(delay)
        delay = min(delay * 2, 0.1)


def proc_state(pid):
    """The scheduler state of a process ('R', 'S', ...)."""
    with open("/proc/%d/stat" % pid) as f:
        # It follows the command name, which is in parentheses.
        return f.read().rsplit(")", 1)[1].split()[0]


def rss(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1)) << 10


def sanitizer_report(text, out_of_descriptors=False):
    ignored = VPTR_PROBE_FAILED if out_of_descriptors else ()
    return "\n".join(l for l in text.splitlines()
                     if any(m in l for m in SANITIZER_MARKS) and not any(m in l for m in ignored))


def clean_env(**extra):
    """The environment without the variables that change the daemon's mode."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("COM_VEMRA_")}
    env.update(extra)
    return env


def run(args, **kw):
    kw.setdefault("env", clean_env())
    return subprocess.run(args, capture_output=True, text=True, timeout=DEADLINE, **kw)


def free_port():
    """A TCP port nobody listens on right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listens(path):
    """Whether something accepts connections on the Unix socket path (a
    file left by a killed program does not)."""
    with socket.socket(socket.AF_UNIX) as s:
        return s.connect_ex(path) == 0


def listening_tcp(pid):
    links = (os.readlink("/proc/%d/fd/%s" % (pid, fd)) for fd in os.listdir("/proc/%d/fd" % pid))
    inodes = {link[8:-1] for link in links if link.startswith("socket:[")}
    ports = set()
    for table in ("tcp", "tcp6"):
        with open("/proc/net/" + table) as f:
            for cols in (row.split() for row in f.read().splitlines()[1:]):
                if cols[3] == "0A" and cols[9] in inodes:  # LISTEN
                    ports.add(int(cols[1].rsplit(":", 1)[1], 16))
    return ports


def threat_names(report):
    """The threats of a scan report and of its items, depth first."""
    return [v.name for v in report.virus] + [n for item in report.item for n in threat_names(item)]


def instream(*chunks, end=True):
    return b"zINSTREAM\0" + b"".join(struct.pack(">I", len(c)) + c for c in chunks) + (b"\0" * 4 if end else b"")


def clamdscan(tmp_path, args, path=None, port=None):
    """Debian's clamdscan told the daemon's Unix socket path or TCP port."""
    config = tmp_path / "clamd.conf"
    config.write_text("LocalSocket %s\n" % path if path else "TCPSocket %d\nTCPAddr 127.0.0.1\n" % port)
    return subprocess.run([CLAMDSCAN, "--config-file=%s" % config] + args, capture_output=True, text=True,
                          timeout=120)


def log_config(level=None, path=None):
    """A daemon record that sets only where it logs (the file path, else stderr) and, if given, the level."""
    c = ClamdConfig(actual_log=Log(type=Log.FILE, path=path) if path else Log(type=Log.STDERR))
    if level is not None:
        c.log_level = level
    return c


class Logging:
    """A program that logs to the file log_path."""

    def log(self):
        if not os.path.exists(self.log_path):
            return ""
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()


class Daemon(Logging):
    """vemra-clamd started the way Warden starts it, on one end of a
    socketpair named in COM_VEMRA_MONITOR (the number formatted by monitor),
    with the test on Warden's side of the link. The configurations of
    endpoints it is given log at Debug to a file in a short private
    directory (Unix socket paths are limited to 107 bytes)."""

    def __init__(self, env=None, pass_fds=(), preexec_fn=None, monitor="%d"):
        self.dir = tempfile.mkdtemp(prefix="vc", dir="/tmp")
        self.log_path = os.path.join(self.dir, "log")
        self.revision, self.stderr = 0, None
        parent, child = socket.socketpair()
        self.link = wire.Channel(parent, ToWarden)
        self.proc = subprocess.Popen(
            [CLAMD], env=clean_env(COM_VEMRA_MONITOR=monitor % child.fileno(), **(env or {})),
            pass_fds=(child.fileno(),) + tuple(pass_fds), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            preexec_fn=preexec_fn)
        child.close()
        try:
            # Sent once the signal handlers are armed.
            self.link.expect(ToWarden.GET_CONFIG_REQUEST)
        except BaseException:
            self.close()
            raise

    def send_config(self, revision, config):
        self.link.send(FromWarden(tag=FromWarden.GET_CONFIG_RESPONSE, config_revision=revision, config=config))

    def apply(self, endpoints, read_timeout=10000, wait=True, **settings):
        """Hands over a new revision for endpoints (and other settings of
        the record); waits until it is in force."""
        c = ClamdConfig(log_level=LogLevel.LOG_LEVEL_DEBUG, read_timeout=read_timeout, **settings)
        c.actual_log.type, c.actual_log.path = Log.FILE, self.log_path
        for ep in endpoints:
            item = c.endpoint.item.add(tag=ep.tag)
            if ep.path:
                item.clamd_socket.local = ep.path
            else:
                item.clamd_socket.ip.address, item.clamd_socket.ip.port = "127.0.0.1", ep.port
            if ep.read_timeout is not None:
                item.read_timeout = ep.read_timeout
        self.revision += 1
        self.send_config(self.revision, c)
        if wait:
            m = self.message()
            assert m is not None and (m.tag, m.config_revision) == (ToWarden.MY_INFO_NOTIFICATION, self.revision), \
                "%s; log:\n%s" % (m, self.log())

    def message(self):
        """The next message but statistics reports; None once the daemon
        has closed the link."""
        while True:
            m = self.link.recv()
            if m is None or m.tag != ToWarden.MY_STAT_NOTIFICATION:
                return m

    def log_lines(self, start=0):
        """Log lines after the first start characters, without the time and
        process id that the file sink puts in front of the level."""
        return [line.partition("] ")[2] or line for line in self.log()[start:].splitlines()]

    def wait_log(self, line, start=0):
        """Waits until the log holds line (a whole line, level included)."""
        wait_for(lambda: line in self.log_lines(start), "log line " + repr(line))

    def signal(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)

    def finish(self):
        """Waits for the end; returns the exit status, stdout and stderr."""
        out, err = self.proc.communicate(timeout=DEADLINE)
        self.stderr = err.decode()
        self.link.sock.close()
        return self.proc.returncode, out.decode(), self.stderr

    def stop(self):
        """SIGTERM; returns the exit status once the daemon is gone."""
        if self.proc.poll() is None:
            self.signal()
        return self.finish()[0]

    def close(self):
        """Stops it if the test left it running, which must end it cleanly,
        and removes its directory; what went wrong ("" when nothing)."""
        try:
            wrong = self.stderr is None and self.stop() != Error.EC_APP_TERMINATED
            return ("exit status %s on SIGTERM\n" % self.proc.returncode if wrong else "") + \
                sanitizer_report(self.stderr or "")
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.communicate()
            self.link.sock.close()
            shutil.rmtree(self.dir, ignore_errors=True)


class Endpoint:
    """One listening endpoint as the configuration names it, and its client."""

    def __init__(self, tag, path=None, port=None, read_timeout=None):
        self.tag, self.path, self.port, self.read_timeout = tag, path, port, read_timeout

    @property
    def description(self):
        """As the started/shutdown lines print it."""
        return self.path + " (local)" if self.path else "127.0.0.1:%d(IPv4)" % self.port

    def retagged(self, tag):
        return Endpoint(tag, self.path, self.port, self.read_timeout)

    def connect(self):
        s = socket.socket(socket.AF_UNIX if self.path else socket.AF_INET)
        s.settimeout(DEADLINE)
        s.connect(self.path or ("127.0.0.1", self.port))
        return s

    def ask(self, data):
        """One exchange on a new connection: all the daemon sends until it closes."""
        with self.connect() as s:
            s.sendall(data)
            return read(s)


def endpoint(family, directory, tag=None, name="s", **kw):
    """A Unix-domain endpoint in directory or a TCP one on a free port."""
    if family == "unix":
        return Endpoint(tag or "u", path=os.path.join(directory, name), **kw)
    return Endpoint(tag or "t", port=free_port(), **kw)


def read(s, until=None):
    """What s receives up to a terminator (bytes; read one at a time, so
    nothing after it is taken) or a length (int), or, with neither, until
    the peer closes. Fails when that has not come by the deadline."""
    end, data = time.monotonic() + DEADLINE, b""
    while not (isinstance(until, bytes) and data.endswith(until) or isinstance(until, int) and len(data) >= until):
        s.settimeout(max(0.0, end - time.monotonic()))
        try:
            chunk = s.recv(until - len(data) if isinstance(until, int) else 1 if until else 65536)
        except socket.timeout:
            raise AssertionError("timed out after %r, waiting for %r" % (data, until or "the close"))
        if not chunk:
            assert until is None, "closed after %r, waiting for %r" % (data, until)
            break
        data += chunk
    return data


def exchange(s, data, reply):
    """Sends data and checks that exactly reply comes back."""
    s.sendall(data)
    assert read(s, len(reply)) == reply


class Warden(Logging):
    """vemra-warden on a configuration file in directory tmp; its log
    (stderr, shared with its children) goes to a file."""

    def __init__(self, tmp, config, env=None, pass_fds=(), exe=WARDEN):
        self.conf, self.log_path = tmp / "vemra.conf", tmp / "warden.log"
        self.conf.write_text(config)
        with open(self.log_path, "wb") as err:
            self.proc = subprocess.Popen(
                [exe, "--config", str(self.conf)], env=clean_env(**(env or {})),
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err, pass_fds=pass_fds)

    def wait_log(self, pattern, count=1):
        """Waits until pattern has matched count lines; returns the last match."""
        def found():
            matches = list(re.finditer("^.*" + pattern + ".*$", self.log(), re.M))
            return matches[count - 1] if len(matches) >= count else None
        try:
            return re.search(pattern, wait_for(found, pattern).group(0))
        except AssertionError:
            raise AssertionError("no line matching %r in:\n%s" % (pattern, self.log()))

    def reload(self, config=None):
        if config is not None:
            self.conf.write_text(config)
        self.proc.send_signal(signal.SIGHUP)

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        return self.proc.wait(timeout=DEADLINE)

    def close(self, out_of_descriptors=False):
        """Kills what is left of it and its children; the sanitizer reports in its log."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for pid in re.findall(r"started ClamD \(.*\), pid (\d+)", self.log()):
            try:
                os.killpg(int(pid), signal.SIGKILL)
            except ProcessLookupError:
                pass
        return sanitizer_report(self.log(), out_of_descriptors)

    def pid_of(self, program, start=1):
        """The process id of its start-th run of program."""
        return int(self.wait_log(r"started %s \(.*\), pid (\d+)" % program, start).group(1))


class FakeClamd:
    """What Warden starts in place of vemra-clamd (fake_clamd.py): it
    journals every message it gets, and files in tmp steer it."""

    path = FAKE_CLAMD

    def __init__(self, tmp):
        self.journal, self.exit_file, self.garbage_file = tmp / "journal", tmp / "exit-status", tmp / "garbage"
        self.env = {"FAKE_JOURNAL": str(self.journal), "FAKE_EXIT_FILE": str(self.exit_file),
                    "FAKE_GARBAGE_FILE": str(self.garbage_file), "VEMRA_BUILD_DIR": BUILD}

    def records(self, **match):
        lines = self.journal.read_text().splitlines() if self.journal.exists() else []
        return [r for r in map(json.loads, lines) if all(r.get(k) == v for k, v in match.items())]

    def wait(self, count=1, **match):
        """The records that match, once there are count of them."""
        return wait_for(lambda: len(self.records(**match)) >= count and self.records(**match),
                        "%d journal records %r" % (count, match))


class Service(Logging):
    """One of the suite's services started by hand, as `program` (set by a
    subclass) with args, on a socket in directory, logging at Debug to a
    file beside it."""

    program = None

    def __init__(self, directory, args=(), env=None, pass_fds=()):
        name = os.path.basename(self.program)
        self.path, self.log_path = os.path.join(directory, name + ".sock"), os.path.join(directory, name + ".log")
        self.final_log = None
        with open(self.log_path, "wb") as err:
            self.proc = subprocess.Popen([self.program, "--socket", self.path, "--log-level", "Debug", *args],
                                         env=env or clean_env(), pass_fds=pass_fds, stdout=subprocess.DEVNULL,
                                         stderr=err)
        wait_for(lambda: self.proc.poll() is not None or listens(self.path), name + " to listen")
        assert self.proc.poll() is None, self.log()

    def connect(self, incoming):
        """A new client connection whose messages are parsed as incoming."""
        channel = wire.Channel(socket.socket(socket.AF_UNIX), incoming)
        channel.sock.connect(self.path)
        return channel

    def finish(self, sig=signal.SIGTERM):
        """Its exit status and log, once it ended (after sig, if it still ran)."""
        if self.final_log is None:
            if sig and self.proc.poll() is None:
                self.proc.send_signal(sig)
            self.proc.wait(timeout=DEADLINE)
            self.final_log = self.log()
        return self.proc.returncode, self.final_log

    def close(self):
        """Stops it; its log unless it ended cleanly and took its socket with it."""
        rc, log = self.finish()
        return "" if rc == 0 and not sanitizer_report(log) and not os.path.exists(self.path) else log


class ScriptedService:
    """A fake of one of the suite's services: listens on a Unix socket and
    speaks frames with each client, reading what arrives as `incoming`."""

    def __init__(self, path, incoming):
        self.incoming, self.clients = incoming, []
        self.listener = socket.socket(socket.AF_UNIX)
        self.listener.bind(path)
        self.listener.listen()

    def accept(self):
        self.listener.settimeout(DEADLINE)
        sock, _ = self.listener.accept()
        sock.settimeout(None)
        self.clients.append(wire.Channel(sock, self.incoming))
        return self.clients[-1]

    def close(self):
        for c in self.clients:
            c.sock.close()
        self.listener.close()


# Put together here so that no file of the tests is itself the test file.
EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


def zip_of(*members):
    """A zip archive of (name, data) members."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            z.writestr(name, data)
    return out.getvalue()


def write_files(root, files):
    """Writes {relative name: data} below root, making directories."""
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


FILES = {
    "clean.txt": b"nothing to see\n",
    "eicar.com": EICAR,
    "member.zip": zip_of(("readme", b"clean"), ("x/eicar.com", EICAR)),
    "two.zip": zip_of(("a", EICAR), ("b", b"VEMRA-TEST-SIGNATURE-JOKE")),
    "tree/a.txt": b"clean a",
    "tree/b/eicar.com": EICAR,
    "tree/c/d/clean.txt": b"clean d",
    "tree/c/e.zip": zip_of(("eicar.com", EICAR)),
}


class Suite:
    """The real suite: vemra-warden with its daemon and services in a short
    private directory (Unix socket paths are limited to 107 bytes), and
    FILES to scan. exe: the vemra-warden to run (the other programs are
    found beside it or in its build tree); out_of_descriptors: the test
    runs the daemon out of them."""

    def __init__(self, sieve="yes", courier="yes", warden="", tcp_port=None, exe=WARDEN, out_of_descriptors=False):
        self.dir = tempfile.mkdtemp(prefix="vp", dir="/tmp")
        self.run = os.path.join(self.dir, "run")
        self.sock = os.path.join(self.run, "clamd.sock")
        ep = Endpoint("local", path=self.sock)
        self.connect, self.ask = ep.connect, ep.ask
        write_files(self.path(""), FILES)
        self.config = ("[Warden]\nRunDir = %s\nStatusInterval = off\nSieveEnabled = %s\nCourierEnabled = %s\n%s\n"
                       "[ClamD]\nDetectJokes = yes\n[ClamD.Endpoint.local]\nClamdSocket = %s\n"
                       % (self.run, sieve, courier, warden, self.sock))
        if tcp_port:
            self.config += "[ClamD.Endpoint.tcp]\nClamdSocket = 127.0.0.1:%d\n" % tcp_port
        self.exe, self.out_of_descriptors = exe, out_of_descriptors
        self.services = [name for name, on in (("sieve", sieve), ("courier", courier)) if on == "yes"]
        self.start()

    def start(self):
        """Starts vemra-warden (again, after it was killed) and waits until
        the daemon and the services serve."""
        self.warden = Warden(pathlib.Path(self.dir), self.config, exe=self.exe)
        self.warden.wait_log(re.escape("Server on %s (local) started" % self.sock))
        for name in self.services:
            # The daemon connects to a service on the first scan that needs it.
            wait_for(lambda: listens(os.path.join(self.run, name + ".sock")), "vemra-%s to listen" % name)

    def path(self, name):
        return os.path.join(self.dir, "files", name)

    def pid_of(self, program, start=1):
        return self.warden.pid_of(program, start)

    def close(self):
        """Stops it all; the sanitizer reports in Warden's log (out of
        descriptors, the sanitizer's own probe fails: that is not one)."""
        report = self.warden.close(self.out_of_descriptors)
        shutil.rmtree(self.dir, ignore_errors=True)
        return report
