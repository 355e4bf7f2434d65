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
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))
import smtp_peer  # noqa: E402

SERVER = os.environ.get("VERIMEX_SERVER", "")
REJECT = "550 5.1.1 <nobody>: Recipient address rejected"
JSON = {"Content-Type": "application/json"}


class RawReply(bytes):
    """A reply for smtp_peer.Peer that need not be UTF-8: the peer adds its
    line end and encodes, which this does in bytes."""

    def __add__(self, line_end):
        return self

    def encode(self):
        return bytes(self) + b"\r\n"


class Server:
    """verimex-server as a child process on a free port of 127.0.0.1."""

    def __init__(self, *args, cwd=None, readme=False):
        if not SERVER:
            raise RuntimeError("VERIMEX_SERVER names no program")
        # Its default store is a file in the working folder: never the
        # source tree's.
        self._folder = None if cwd else tempfile.TemporaryDirectory(prefix="verimex-server-cwd.")
        self.cwd = cwd or self._folder.name
        self.result = None
        # readme: started as the README's two-line start says, with no
        # option at all (port 8025 is free in the private network).
        listen = [] if readme else ["--listen", "127.0.0.1:0"]
        self.proc = subprocess.Popen([SERVER, *listen, *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, cwd=self.cwd)
        line = self.proc.stdout.readline().decode()
        m = re.match(r"verimex-server: listening on http://127\.0\.0\.1:(\d+)/$", line.strip())
        if not m:
            self.proc.kill()
            raise RuntimeError("server did not start: %r %r" % (line, self.proc.stderr.read()))
        self.port = int(m.group(1))

    def send(self, method, path, body=None, headers=None, timeout=60):
        """A connection with the request sent; answer() waits for its reply.
        A dict or list body goes as JSON."""
        if isinstance(body, (dict, list)):
            body, headers = json.dumps(body).encode(), dict(JSON, **(headers or {}))
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        conn.request(method, path, body=body, headers=headers or {})
        return conn

    @staticmethod
    def answer(conn):
        try:
            res = conn.getresponse()
            return res.status, dict(res.getheaders()), res.read()
        finally:
            conn.close()

    def request(self, method, path, body=None, headers=None, timeout=60):
        return self.answer(self.send(method, path, body, headers, timeout))

    def json(self, method, path, body=None, headers=None, timeout=60):
        status, head, data = self.request(method, path, body, headers, timeout)
        return status, head, json.loads(data.decode("utf-8"))

    def rows(self, path, headers=None):
        """The lines of a JSON-lines reply."""
        return [json.loads(line) for line in self.request("GET", path, headers=headers)[2].decode().splitlines()]

    def metrics(self, headers=None):
        return self.request("GET", "/metrics", headers=headers)[2].decode()

    def stop(self, sig=signal.SIGTERM, timeout=30):
        """Signals the server and returns its exit status and output; the
        same again once it has stopped."""
        if self.result is None:
            if self.proc.poll() is None:
                self.proc.send_signal(sig)
            try:
                out, err = self.proc.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                out, err = self.proc.communicate()
                err += b"\n(the test killed it: not stopped within %d s)" % timeout
            if self._folder:
                self._folder.cleanup()
            self.result = self.proc.returncode, out.decode(errors="replace"), err.decode(errors="replace")
        return self.result


@unittest.skipUnless(os.environ.get("VERIMEX_NETNS") == "1", "runs only inside tests/netns/run")
class ServerTest(unittest.TestCase):
    """The scripted mail servers of server.zones for the whole class, and
    with `args` one server for the whole class too, which must stop cleanly."""

    args = None

    @classmethod
    def setUpClass(cls):
        for peer in [smtp_peer.Peer("127.0.0.91", verify_reply="250 2.0.0 someone"),
                     smtp_peer.Peer("127.0.0.92", verify_reply=REJECT), smtp_peer.Peer("127.0.0.94", mute=True),
                     smtp_peer.Peer("127.0.0.95", verify_reply=RawReply(b"553 caf\xe9 \xff\xfe ok"))]:
            cls.addClassCleanup(peer.stop)
        if cls.args is not None:
            cls.server = Server(*cls.args)
            cls.addClassCleanup(lambda: cls.assert_stops(cls.server))

    @staticmethod
    def assert_stops(server):
        status, _, err = server.stop()
        assert status == 0, (status, err)

    def start(self, *args, **kwargs):
        """A server of this test's own, stopped at its end."""
        server = Server(*args, **kwargs)
        self.addCleanup(self.assert_stops, server)
        return server


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
        while chunk := sock.recv(65536):
            data += chunk
    except (ConnectionResetError, BrokenPipeError):
        return b""
    return data
