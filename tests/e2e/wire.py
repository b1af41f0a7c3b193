"""The suite's IPC wire as the black-box tests and their fakes speak it:
frames of a 4-byte little-endian length and one protobuf message, read with
a deadline, and the generated message types by name."""

import os
import select
import struct
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(os.environ.get("VEMRA_BUILD_DIR", os.path.join(REPO, "build")))
# The generated modules live in the build tree, never in git.
sys.path.insert(0, os.path.join(BUILD, "proto", "python"))

from application_pb2 import Application as App, root_info  # noqa: E402
from clamd_config_pb2 import ClamdConfig  # noqa: E402
from error_pb2 import ErrorCode as Error  # noqa: E402
from log_pb2 import Log, LogLevel  # noqa: E402
# The Warden conversation: what the daemon sends, and what it receives.
from warden_clamd_ipc_pb2 import Clamd2WardenMessage as ToWarden, Warden2ClamdMessage as FromWarden  # noqa: E402

__all__ = ["App", "BUILD", "Channel", "ClamdConfig", "DEADLINE", "Error", "FromWarden", "Log", "LogLevel",
           "MAX_BODY", "ToWarden", "encode", "frame", "root_info", "tag_name"]

# Generous: only a hung process ever waits this long.
DEADLINE = 20.0
# The largest frame body the suite's programs accept.
MAX_BODY = 64 * 1024 * 1024


def frame(body):
    return struct.pack("<I", len(body)) + body


def encode(message):
    return frame(message.SerializeToString())


def tag_text(incoming, tag):
    """The name of a tag value of a message type, whatever its enum is called."""
    return incoming.DESCRIPTOR.fields_by_name["tag"].enum_type.values_by_number[tag].name


def tag_name(message):
    return tag_text(type(message), message.tag)


class Channel:
    """Framed messages over a connected stream socket; what arrives is
    parsed as `incoming`, one of the generated message classes."""

    def __init__(self, sock, incoming):
        self.sock, self.incoming, self.buffer = sock, incoming, b""

    def send(self, message):
        self.sock.sendall(encode(message))

    def send_raw(self, data):
        self.sock.sendall(data)

    def recv(self, timeout=DEADLINE):
        """The next message; None once the peer has closed its end. Fails
        when nothing whole has come in time (timeout None: waits for ever)."""
        end = None if timeout is None else time.monotonic() + timeout
        while len(self.buffer) < 4 or len(self.buffer) < 4 + struct.unpack("<I", self.buffer[:4])[0]:
            left = None if end is None else max(0.0, end - time.monotonic())
            if not select.select([self.sock], [], [], left)[0]:
                raise AssertionError("no whole message in %ss" % timeout)
            data = self.sock.recv(65536)
            if not data:
                return None
            self.buffer += data
        n = 4 + struct.unpack("<I", self.buffer[:4])[0]
        body, self.buffer = self.buffer[4:n], self.buffer[n:]
        m = self.incoming()
        m.ParseFromString(body)
        return m

    def expect(self, tag, timeout=DEADLINE):
        """The next message, which must carry tag."""
        m = self.recv(timeout)
        want = tag_text(self.incoming, tag)
        assert m is not None, "peer closed the link, expected " + want
        assert m.tag == tag, "got %s, expected %s" % (tag_name(m), want)
        return m
