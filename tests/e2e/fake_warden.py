"""A scripted supervisor for the black-box tests: starts vemra-clamd the way
the real one does and speaks the framed protobuf exchange byte for byte."""

import select
import signal
import struct

import warden_clamd_ipc_pb2 as w
import clamd_config_pb2  # noqa: F401  (registers the record types)
import log_pb2

from conftest import DEADLINE, Supervised

Req = w.Clamd2WardenMessage
Resp = w.Warden2ClamdMessage


def frame(body):
    return struct.pack("<I", len(body)) + body


class FakeWarden(Supervised):
    def __init__(self, clamd_path, **kw):
        super().__init__(clamd_path, **kw)
        self.buffer = b""

    def send(self, message):
        self.send_raw(frame(message.SerializeToString()))

    def send_raw(self, data):
        self.parent.sendall(data)

    def recv(self, timeout=DEADLINE):
        """The next message from the daemon; None when it closed its end."""
        while True:
            if len(self.buffer) >= 4:
                (n,) = struct.unpack("<I", self.buffer[:4])
                if len(self.buffer) >= 4 + n:
                    body, self.buffer = self.buffer[4:4 + n], self.buffer[4 + n:]
                    m = Req()
                    m.ParseFromString(body)
                    return m
            ready, _, _ = select.select([self.parent], [], [], timeout)
            if not ready:
                raise AssertionError("daemon sent nothing in time")
            data = self.parent.recv(65536)
            if not data:
                return None
            self.buffer += data

    def expect(self, tag):
        m = self.recv()
        assert m is not None, "daemon closed the link, expected %s" % Req.MessageTag.Name(tag)
        assert m.tag == tag, "got %s, expected %s" % (Req.MessageTag.Name(m.tag), Req.MessageTag.Name(tag))
        return m

    def send_config(self, revision, config=None):
        r = Resp(tag=Resp.GET_CONFIG_RESPONSE, config_revision=revision)
        r.config.CopyFrom(config if config is not None else stderr_config())
        self.send(r)

    def signal(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)


def stderr_config(level=None, timestamps=False):
    """A configuration that logs to stderr, at the given vx.LogLevel."""
    c = clamd_config_pb2.ClamdConfig()
    if level is not None:
        c.log_level = level
    c.actual_log.type = log_pb2.Log.STDERR
    if timestamps:
        c.actual_log.show_timestamp = True
    return c
