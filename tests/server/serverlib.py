"""What the verimex-server tests share: the server as a child process, a
small HTTP client, and the scripted mail servers of the zones in
server.zones (tests/python/smtp_peer.py plays them)."""

import http.client
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))
import smtp_peer  # noqa: E402

SERVER = os.environ.get("VERIMEX_SERVER", "")
REJECT = "550 5.1.1 <nobody>: Recipient address rejected"


def in_private_network():
    return os.environ.get("VERIMEX_NETNS") == "1"


class RawReply:
    """A reply for smtp_peer.Peer given as bytes, so that it need not be
    UTF-8: the peer adds its line end and encodes, which this does in bytes."""

    def __init__(self, data):
        self.data = data

    def __add__(self, line_end):
        return self

    def encode(self):
        return self.data + b"\r\n"


class MailServers:
    """The scripted servers of server.zones, for a whole test class."""

    def __init__(self):
        self.peers = [
            smtp_peer.Peer("127.0.0.91", verify_reply="250 2.0.0 someone"),
            smtp_peer.Peer("127.0.0.92", verify_reply=REJECT),
            smtp_peer.Peer("127.0.0.94", mute=True),
            smtp_peer.Peer("127.0.0.95", verify_reply=RawReply(b"553 caf\xe9 \xff\xfe ok")),
        ]

    def stop(self):
        for p in self.peers:
            p.stop()


class Server:
    """verimex-server as a child process on a free port of 127.0.0.1."""

    def __init__(self, *args, cwd=None, readme=False):
        if not SERVER:
            raise RuntimeError("VERIMEX_SERVER names no program")
        self._folder = None
        if cwd is None:
            # Its default store is a file in the working folder: never the
            # source tree's.
            self._folder = tempfile.TemporaryDirectory(prefix="verimex-server-cwd.")
            cwd = self._folder.name
        # readme: started as the README's two-line start says, with no
        # option at all (port 8025 is free in the private network).
        listen = [] if readme else ["--listen", "127.0.0.1:0"]
        self.proc = subprocess.Popen([SERVER, *listen, *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, cwd=cwd)
        line = self.proc.stdout.readline().decode()
        m = re.match(r"verimex-server: listening on http://127\.0\.0\.1:(\d+)/$", line.strip())
        if not m:
            self.proc.kill()
            raise RuntimeError("server did not start: %r %r" % (line, self.proc.stderr.read()))
        self.port = int(m.group(1))

    def request(self, method, path, body=None, headers=None, timeout=60):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            res = conn.getresponse()
            return res.status, dict(res.getheaders()), res.read()
        finally:
            conn.close()

    def json(self, method, path, body=None, headers=None, timeout=60):
        status, head, data = self.request(method, path, body, headers, timeout)
        return status, head, json.loads(data.decode("utf-8"))

    def stop(self, sig=signal.SIGTERM, timeout=30):
        """Signals the server and returns its exit status and output."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            out, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
            raise AssertionError("server did not stop within %d s" % timeout)
        finally:
            if getattr(self, "_folder", None) is not None:
                self._folder.cleanup()
                self._folder = None
        return self.proc.returncode, out.decode(errors="replace"), err.decode(errors="replace")


def wait_for(predicate, timeout=10.0, step=0.02):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def read_to_end(sock):
    """All the server sends until it closes; empty if it resets."""
    data = b""
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return data
            data += chunk
    except (ConnectionResetError, BrokenPipeError):
        return b""
