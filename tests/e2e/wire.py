"""The suite's IPC wire as the black-box tests and their fakes speak it:
frames of a 4-byte little-endian length and one protobuf message, read with
a deadline, and the generated message types, by name."""

import os
import select
import struct
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(os.environ.get("VEMRA_BUILD_DIR", os.path.join(REPO, "build")))
# The generated modules live in the build tree, never in git.
sys.path.insert(0, os.path.join(BUILD, "proto", "python"))

import application_pb2  # noqa: E402
import clamd_config_pb2  # noqa: E402
import error_pb2  # noqa: E402
import log_pb2  # noqa: E402
import warden_clamd_ipc_pb2  # noqa: E402

# The Warden conversation, named by who sends each side.
ToWarden = warden_clamd_ipc_pb2.Clamd2WardenMessage
FromWarden = warden_clamd_ipc_pb2.Warden2ClamdMessage
ClamdConfig = clamd_config_pb2.ClamdConfig
Log = log_pb2.Log
root_info = application_pb2.root_info
App = application_pb2.Application
Error = error_pb2.ErrorCode
LogLevel = log_pb2.LogLevel

# Generous: only a hung process ever waits this long.
DEADLINE = 20.0
# The largest frame body the suite's programs accept.
MAX_BODY = 64 * 1024 * 1024


def frame(body):
    return struct.pack("<I", len(body)) + body


def encode(message):
    return frame(message.SerializeToString())


def tag_name(message):
    return type(message).MessageTag.Name(message.tag)


class Channel:
    """Framed messages over a connected stream socket; what arrives is
    parsed as `incoming`, one of the generated message classes."""

    def __init__(self, sock, incoming):
        self.sock = sock
        self.incoming = incoming
        self.buffer = b""

    def send(self, message):
        self.sock.sendall(encode(message))

    def send_raw(self, data):
        self.sock.sendall(data)

    def _frame(self):
        if len(self.buffer) < 4:
            return None
        (n,) = struct.unpack("<I", self.buffer[:4])
        if len(self.buffer) < 4 + n:
            return None
        body, self.buffer = self.buffer[4:4 + n], self.buffer[4 + n:]
        return body

    def recv(self, timeout=DEADLINE):
        """The next message; None once the peer has closed its end. Fails
        when nothing whole arrives in time (timeout None: waits for ever)."""
        end = None if timeout is None else time.monotonic() + timeout
        while True:
            body = self._frame()
            if body is not None:
                m = self.incoming()
                m.ParseFromString(body)
                return m
            left = None if end is None else max(0.0, end - time.monotonic())
            ready, _, _ = select.select([self.sock], [], [], left)
            if not ready:
                raise AssertionError("no whole message in %ss" % timeout)
            data = self.sock.recv(65536)
            if not data:
                return None
            self.buffer += data

    def expect(self, tag, timeout=DEADLINE):
        """The next message, which must carry tag."""
        m = self.recv(timeout)
        want = self.incoming.MessageTag.Name(tag)
        assert m is not None, "peer closed the link, expected " + want
        assert m.tag == tag, "got %s, expected %s" % (tag_name(m), want)
        return m
