"""What the verimex-server tests share: the server, an HTTP client, the mail servers of server.zones."""

import contextlib
import http.client
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import smtp_peer  # noqa: E402

SERVER = os.environ.get("VERIMEX_SERVER", "")
REJECT = "550 5.1.1 <nobody>: Recipient address rejected"
CANNOT_VRFY = "252 2.0.0 Cannot VRFY user; try RCPT to attempt delivery"


class RawReply(bytes):
    """A mail server's reply that is not UTF-8, for the peer's (reply + "\\r\\n").encode()."""
    __add__ = lambda self, line_end: self  # noqa: E731
    encode = lambda self: bytes(self) + b"\r\n"  # noqa: E731


class Server:
    """verimex-server on a free port of 127.0.0.1, in a temporary working folder (its default store's)."""

    def __init__(self, *args, headers=None, private_mx=True, program=None):
        self.headers = headers or {}  # sent with every request; a None value leaves the field out
        # The scripted mail servers are on loopback, which the server refuses to connect to unless told.
        args = (["--allow-private-mx"] if private_mx else []) + list(args)
        self._folder = tempfile.TemporaryDirectory(prefix="verimex-server-cwd.")
        self.cwd, self.result = self._folder.name, None
        # Standard error holds a line per request: a file, not a pipe, so that no test blocks the server by not
        # reading it.
        self._err = tempfile.TemporaryFile(prefix="verimex-server-err.")
        self.proc = subprocess.Popen([program or SERVER, "--listen", "127.0.0.1:0", *args], stdout=subprocess.PIPE,
                                     stderr=self._err, cwd=self.cwd)
        line = self.proc.stdout.readline().decode()
        m = re.match(r"verimex-server: listening on http://127\.0\.0\.1:(\d+)/$", line.strip())
        if not m:
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError("server did not start: %r %r" % (line, self.stderr()))
        self.port = int(m.group(1))

    def send(self, method, path, body=None, headers=None, timeout=60):
        """The request sent (a dict body as JSON); answer() reads the reply."""
        headers = dict(self.headers, **(headers or {}))
        if isinstance(body, dict):
            body, headers = json.dumps(body).encode(), dict({"Content-Type": "application/json"}, **headers)
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        conn.request(method, path, body=body, headers={k: v for k, v in headers.items() if v is not None})
        return conn

    @staticmethod
    def answer(conn, as_json=False):
        with contextlib.closing(conn):
            res = conn.getresponse()
            data = res.read()
            return res.status, dict(res.getheaders()), json.loads(data.decode("utf-8")) if as_json else data

    def request(self, method, path, body=None, headers=None):
        return self.answer(self.send(method, path, body, headers))

    def json(self, method, path, body=None, headers=None):
        return self.answer(self.send(method, path, body, headers), True)

    def rows(self, path):
        return [json.loads(line) for line in self.request("GET", path)[2].decode().splitlines()]

    def stderr(self):
        """What the server wrote on standard error so far."""
        self._err.seek(0)
        return self._err.read().decode(errors="replace")

    def stop(self, sig=15, timeout=30):
        """Signals the server once; its exit status and output (killed and reported if it will not stop)."""
        if self.result is None:
            if self.proc.poll() is None:
                self.proc.send_signal(sig)
            note = ""
            try:
                out, _ = self.proc.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                out, _ = self.proc.communicate()
                note = "\n(killed: not stopped within %d s)" % timeout
            self._folder.cleanup()
            self.result = self.proc.returncode, out.decode(errors="replace"), self.stderr() + note
            self._err.close()
        return self.result


@unittest.skipUnless(os.environ.get("VERIMEX_NETNS") == "1", "runs only inside tests/netns/run")
class ServerTest(unittest.TestCase):
    """The mail servers for the class, with `args` one server too; every server must stop with status 0."""

    args, headers = None, None

    @classmethod
    def setUpClass(cls):
        cls.rcpt_peer = smtp_peer.Peer("127.0.0.97", name="mx.rcpt.server.test", vrfy=CANNOT_VRFY, mailboxes=["alice"])
        for peer in [smtp_peer.Peer("127.0.0.91", vrfy="250 2.0.0 someone"),
                     smtp_peer.Peer("127.0.0.92", vrfy=REJECT), smtp_peer.Peer("127.0.0.94", mute=True),
                     smtp_peer.Peer("127.0.0.95", vrfy=RawReply(b"553 caf\xe9 \xff\xfe ok")),
                     cls.rcpt_peer,
                     smtp_peer.Peer("127.0.0.98", name="mx.all.server.test", vrfy=CANNOT_VRFY, catch_all=True)]:
            cls.addClassCleanup(peer.stop)
        if cls.args is not None:
            cls.server = Server(*cls.args, headers=cls.headers)
            cls.addClassCleanup(lambda: cls.assert_stops(cls.server))

    @staticmethod
    def assert_stops(server):
        status, _, err = server.stop()
        assert status == 0, (status, err)

    def start(self, *args, private_mx=True):
        server = Server(*args, private_mx=private_mx)
        self.addCleanup(self.assert_stops, server)
        return server


def check_path(email, **params):
    return "/v1/check?" + urllib.parse.urlencode(dict(params, email=email), quote_via=urllib.parse.quote)


def memory(pid):
    """A process's resident memory now and at its peak, in bytes: {"VmRSS": ..., "VmHWM": ...}."""
    with open("/proc/%d/status" % pid) as status:
        fields = dict(line.split(":", 1) for line in status)
    return {k: int(fields[k].split()[0]) * 1024 for k in ("VmRSS", "VmHWM")}


def wait_for(predicate, timeout=10.0, step=0.02):
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            return False
        time.sleep(step)
    return True
