"""verimex-server against hostile clients over raw sockets: bodies without end in every framing, a gzip bomb, heads
that never end or trickle in, bodies left unread after an early answer, the list-post limit, a second stop signal.
Each case runs on a fresh server with its real SQLite store; its resident memory is read from /proc before and after
(VmRSS, and VmHWM for the peak), and every socket has a time limit, so a broken promise fails instead of hanging."""

import contextlib
import errno
import gzip
import json
import os
import resource
import selectors
import signal
import socket
import sqlite3
import subprocess
import tempfile
import time

from serverlib import Server, ServerTest, check_path, memory, wait_for

TOKEN = "h0stile-token"
BEARER = {"Authorization": "Bearer " + TOKEN}
AUTH = "Authorization: Bearer " + TOKEN
MIB = 1024 * 1024
MAX_BODY = MIB
READ_TIMEOUT = 3  # --read-timeout of the trickle case: short, so that the cut-off is seen within seconds
BODY_TIMEOUT = 2  # seconds: --body-timeout of the slow body's server


def head(method, path, *fields, host="127.0.0.1"):
    return ("%s %s HTTP/1.1\r\nHost: %s\r\n%s\r\n" % (method, path, host, "".join(f + "\r\n" for f in fields))
            ).encode()


class Raw:
    """One client connection, byte by byte: what is sent is exactly what the test wrote."""

    def __init__(self, port, timeout=10, first=b""):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buf, self.sent, self.reset = b"", 0, False
        if first:
            self.sock.sendall(first)

    def close(self):
        self.sock.close()

    def _fill(self, deadline):
        self.sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            data = self.sock.recv(65536)
        except ConnectionResetError:
            data, self.reset = b"", True
        self.buf += data
        return bool(data)

    def reply(self, wait=10.0):
        """The next reply as (status, lower-case fields, body), or None if the connection ended first.
        Raises TimeoutError when nothing whole came within `wait` seconds."""
        deadline = time.monotonic() + wait
        while b"\r\n\r\n" not in self.buf:
            if not self._fill(deadline):
                return None
        top, self.buf = self.buf.split(b"\r\n\r\n", 1)
        lines = top.decode("latin-1").split("\r\n")
        fields = {k.strip().lower(): v.strip() for k, v in (line.split(":", 1) for line in lines[1:])}
        body = b""
        if fields.get("transfer-encoding", "").lower() == "chunked":
            while True:
                while b"\r\n" not in self.buf:
                    if not self._fill(deadline):
                        return None
                size, self.buf = self.buf.split(b"\r\n", 1)
                size = int(size.split(b";")[0], 16)
                while len(self.buf) < size + 2:
                    if not self._fill(deadline):
                        return None
                body, self.buf = body + self.buf[:size], self.buf[size + 2:]
                if size == 0:
                    break
        else:
            while len(self.buf) < int(fields.get("content-length", "0")):
                if not self._fill(deadline):
                    return None
            length = int(fields.get("content-length", "0"))
            body, self.buf = self.buf[:length], self.buf[length:]
        return int(lines[0].split()[1]), fields, body

    def replies(self, wait=10.0):
        """Every reply until the connection ends (None if it was still open after `wait` seconds)."""
        got, deadline = [], time.monotonic() + wait
        while True:
            try:
                one = self.reply(max(0.01, deadline - time.monotonic()))
            except TimeoutError:
                return got, None
            if one is None:
                return got, "closed"
            got.append(one)

    def ended(self, wait):
        """Whether the server closed the connection within `wait` seconds with nothing more sent: "closed",
        "open" (still silent), or the stray bytes it sent."""
        deadline = time.monotonic() + wait
        try:
            while self._fill(deadline):
                pass
        except TimeoutError:
            return self.buf or "open"
        return self.buf or "closed"

    def stream(self, chunks, wait=60.0, stop=lambda: False):
        """Sends `chunks` until the server answers (readable), stops reading (a send fails), `stop()` (asked every
        few MiB) says so, or they run out."""
        sel = selectors.DefaultSelector()
        sel.register(self.sock, selectors.EVENT_READ | selectors.EVENT_WRITE)
        deadline = time.monotonic() + wait
        try:
            for n, chunk in enumerate(chunks):
                if n % 16 == 15 and stop():
                    return
                view = memoryview(chunk)
                while view:
                    events = sel.select(max(0.0, deadline - time.monotonic()))
                    if not events or any(mask & selectors.EVENT_READ for _, mask in events):
                        return
                    try:
                        n = self.sock.send(view)
                    except (BlockingIOError, InterruptedError):
                        continue
                    except OSError as e:
                        # A reset seen here is not seen again by a later recv, which reads a plain end.
                        if e.errno in (errno.ECONNRESET, errno.EPIPE):
                            self.reset = True
                        return
                    view, self.sent = view[n:], self.sent + n
        finally:
            sel.close()


def repeat(piece, total):
    for _ in range(total // len(piece)):
        yield piece


def chunked(total, size=256 * 1024):
    piece = b"%x\r\n" % size + b"a@yes.server.test\n" * (size // 18) + b"\n" * (size % 18) + b"\r\n"
    yield from repeat(piece, total // size * len(piece))
    yield b"0\r\n\r\n"


def gzip_bomb(size=8 * MIB):
    """`size` bytes of gzip (members one after another, as RFC 1952 allows) that inflate to about 1000 times that."""
    member = gzip.compress(b"\0" * (64 * MIB), 9)
    return member * (size // len(member))


class Hostile(ServerTest):
    # The mail servers of ServerTest (the mute one for the stop signals); no shared server: each case starts its own.

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The trickle case holds thousands of connections; the server raises its own limit.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))

    def healthy(self, server):
        conn = Raw(server.port, timeout=5, first=head("GET", "/healthz"))
        try:
            got = conn.reply(5)
        finally:
            conn.close()
        self.assertEqual(got and got[0], 200)

    def post_once(self, port, conn=None, body=b"a@yes.server.test\n"):
        """A list posted on `conn` (a new keep-alive connection if None): the connection and its reply."""
        conn = conn or Raw(port, timeout=10)
        conn.sock.sendall(head("POST", "/v1/jobs", AUTH, "Content-Type: text/plain",
                               "Content-Length: %d" % len(body)) + body)
        got = conn.reply(10)
        return conn, got

    # The cases: each sends its hostile bytes and checks the answers; memory is checked around them all alike.

    def body_over_limit(self, server):
        conn = Raw(server.port, first=head("POST", "/v1/jobs", AUTH, "Content-Type: text/plain",
                                            "Transfer-Encoding: chunked"))
        conn.stream(chunked(1 << 30), stop=self.over_budget)
        got, end = conn.replies(10)
        conn.close()
        self.assertEqual(([g[0] for g in got], end), ([413], "closed"))
        self.assertIn("large", json.loads(got[0][2])["error"])
        # Refused as soon as the count passed the limit: little more than the limit and the socket buffers sent.
        self.assertLess(conn.sent, MAX_BODY + 32 * MIB)

    def length_over_limit(self, server):
        conn = Raw(server.port, first=head("POST", "/v1/jobs", AUTH, "Content-Type: text/plain",
                                            "Content-Length: %d" % (1 << 30)))
        conn.stream(repeat(b"a@yes.server.test\n" * 4096, 1 << 30), stop=self.over_budget)
        got, end = conn.replies(10)
        conn.close()
        self.assertEqual(([g[0] for g in got], end), ([413], "closed"))

    def encoded_bodies(self, server):
        bomb = gzip_bomb()
        for encoding, body in [("gzip", bomb), ("deflate", b"x\x9c\x03\x00\x00\x00\x00\x01"), ("br", b"\x06")]:
            with self.subTest(encoding=encoding):
                conn = Raw(server.port, first=head("POST", "/v1/jobs", AUTH, "Content-Type: text/plain",
                                                    "Content-Encoding: " + encoding, "Content-Length: %d" % len(body)))
                pieces = [body[i:i + 256 * 1024] for i in range(0, len(body), 256 * 1024)]
                conn.stream(pieces, stop=self.over_budget)
                got = conn.reply(10)
                conn.close()
                self.assertEqual(got and got[0], 415)
        self.assertEqual(server.json("GET", "/v1/jobs", headers=BEARER)[2], {"jobs": []})

    def length_less_post(self, server):
        # No Content-Length, no Transfer-Encoding: an empty body; what follows is a next request, and not one.
        conn = Raw(server.port, first=head("POST", "/v1/jobs", AUTH, "Content-Type: text/plain"))
        conn.stream(repeat(b"a@yes.server.test\n" * 4096, 128 * MIB), stop=self.over_budget)
        got, end = conn.replies(10)
        conn.close()
        # A server that closes with bytes of the client unread resets the connection, and what it had not sent
        # yet of its last reply is lost with it: then the second 400 may be missing, never anything else.
        self.assertEqual(end, "closed")
        self.assertIn([g[0] for g in got], [[400, 400], [400]] if conn.reset else [[400, 400]])
        self.assertIn("none", json.loads(got[0][2])["error"])

    def slow_body(self, server):
        # A body that stops coming: the connection is cut once the body's time is up, not held for ever.
        conn = Raw(server.port, first=head("POST", "/v1/jobs", AUTH, "Content-Type: text/plain",
                                            "Content-Length: 1000") + b"a@yes.server.test\n")
        began = time.monotonic()
        end = conn.ended(BODY_TIMEOUT + 3)
        conn.close()
        self.assertNotEqual(end, "open")
        self.assertLess(time.monotonic() - began, BODY_TIMEOUT + 2)
        self.assertEqual(server.json("GET", "/v1/jobs", headers=BEARER)[2], {"jobs": []})

    def head_over_limit(self, server):
        conn = Raw(server.port, first=b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        conn.stream(repeat(b"X-Pad: " + b"p" * 4089 + b"\r\n", 300 * 1024), stop=self.over_budget)
        got, end = conn.replies(10)
        conn.close()
        self.assertEqual(([g[0] for g in got], end), ([431], "closed"))

    def body_after_early_answer(self, server):
        # The body is itself a whole request: whatever the server does with it, it must never answer it.
        inner = head("GET", "/healthz")
        for status, path, host, fields in [
                (401, "/v1/jobs", "127.0.0.1", ["Content-Type: text/plain"]),
                (404, "/v1/nowhere", "127.0.0.1", [AUTH]),
                (403, "/v1/jobs", "127.0.0.1", [AUTH, "Origin: http://elsewhere.example"]),
                (421, "/v1/jobs", "elsewhere.example", [AUTH])]:
            with self.subTest(status=status):
                conn = Raw(server.port, first=head("POST", path, *fields, "Content-Length: %d" % len(inner),
                                                    host=host) + inner)
                self.assertEqual(conn.reply(10)[0], status)
                after = conn.ended(1.5)
                if after == "open":
                    # Drained: the connection is as good as new, and this is the one reply it gets.
                    conn.sock.sendall(head("GET", "/healthz"))
                    self.assertEqual(conn.reply(5)[0], 200)
                    after = conn.ended(0.5)
                conn.close()
                self.assertIn(after, ["open", "closed"])

    def list_posts(self, server):
        # One keep-alive connection posts list after list.
        conn = None
        for _ in range(12):
            conn, got = self.post_once(server.port, conn)
            self.assertEqual(got and got[0], 201)
        conn.close()
        # Nine connections that posted once and now idle hold nothing: a tenth post goes through.
        idle = [self.post_once(server.port) for _ in range(9)]
        self.assertEqual([got and got[0] for _, got in idle], [201] * 9)
        tenth, got = self.post_once(server.port)
        self.assertEqual(got and got[0], 201)
        for conn in [c for c, _ in idle] + [tenth]:
            conn.close()
        # Eight lists being read at once: a ninth is sent away, with a time to come back; once they are in, it is not.
        body = b"".join(b"r%03d@yes.server.test\n" % i for i in range(100))
        reading = [Raw(server.port, first=head("POST", "/v1/jobs", AUTH, "Content-Type: text/plain",
                                               "Content-Length: %d" % len(body)) + body[:10]) for _ in range(8)]
        time.sleep(0.5)
        refused, got = self.post_once(server.port, body=body)
        refused.close()
        self.assertEqual((got and got[0], got and "retry-after" in got[1]), (503, True))
        for conn in reading:
            conn.sock.sendall(body[10:])
            self.assertEqual(conn.reply(10)[0], 201)
        again, got = self.post_once(server.port, body=body)
        self.assertEqual(got and got[0], 201)
        for conn in reading + [again]:
            conn.close()

    def trickling_crowd(self, server):
        # A client kept alive after a request, then silent: closed after 5 s.
        kept = Raw(server.port, first=head("GET", "/healthz"))
        self.assertEqual(kept.reply(5)[0], 200)
        slow_head = b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"s" * 64
        crowd, silent = [], []
        start = time.monotonic()
        try:
            for _ in range(2000):
                conn = Raw(server.port, timeout=5, first=slow_head[:1])
                conn.sock.setblocking(False)
                crowd.append(conn)
            # Sent nothing at all: cut off as well, counted from the accept.
            silent = [Raw(server.port, timeout=5) for _ in range(20)]
            for conn in silent:
                conn.sock.setblocking(False)
            opened = time.monotonic()
            sel = selectors.DefaultSelector()
            for conn in crowd + silent:
                sel.register(conn.sock, selectors.EVENT_READ, conn)
            ended, latencies, sent = {}, [], 1
            while time.monotonic() < opened + READ_TIMEOUT + 3:
                for key, _ in sel.select(0.05):
                    try:
                        key.fileobj.recv(65536)  # a 408 or the end: either way, this one was cut off
                    except OSError:
                        pass
                    ended[key.data] = time.monotonic()
                    sel.unregister(key.fileobj)
                if time.monotonic() - start >= sent:
                    for conn in crowd:
                        if conn not in ended:
                            try:
                                conn.sock.send(slow_head[sent:sent + 1])
                            except OSError:
                                pass
                    sent += 1
                began = time.monotonic()
                probe = Raw(server.port, timeout=3, first=head("GET", "/healthz"))
                try:
                    got = probe.reply(3)
                except TimeoutError:
                    got = None
                probe.close()
                latencies.append(time.monotonic() - began if got and got[0] == 200 else float("inf"))
            sel.close()
            self.assertTrue(latencies)
            self.assertLess(max(latencies), 1.0, sorted(latencies)[-5:])
            # Every one cut off within the read timeout (a second more for the crowd's own opening and the checks).
            late = [c for c in crowd + silent if ended.get(c, float("inf")) > opened + READ_TIMEOUT + 2]
            self.assertEqual(len(late), 0)
            self.assertEqual(kept.ended(0.1), "closed")
        finally:
            for conn in crowd + silent + [kept]:
                conn.close()

    def test_hostile_requests(self):
        base = ["-f", "tester.server.test", "--token", TOKEN, "--max-body", str(MAX_BODY)]
        cases = [  # case, the server's further arguments, how far its peak may rise above its idle RSS (MiB)
            (self.body_over_limit, [], 8),
            (self.length_over_limit, [], 8),
            (self.encoded_bodies, [], 8),
            (self.length_less_post, [], 8),
            (self.head_over_limit, [], 8),
            (self.slow_body, ["--body-timeout", str(BODY_TIMEOUT)], 8),
            (self.body_after_early_answer, [], 8),
            (self.list_posts, [], 16),
            # 2,000 connections: some 32 KiB each at most.
            (self.trickling_crowd, ["--read-timeout", str(READ_TIMEOUT)], 64),
        ]
        sanitized = os.environ.get("VERIMEX_SANITIZED") == "1"
        for case, args, mib in cases:
            mib = max(4 * mib, 64) if sanitized else mib
            server = self.start(*base, *args)
            # The store and the code of a request touched once, so that the idle figure is not a cold one.
            self.healthy(server)
            self.assertEqual(server.request("GET", "/v1/jobs", headers=BEARER)[0], 200)
            before = memory(server.proc.pid)["VmRSS"]
            # A server that keeps what it is sent would take GiBs of the machine: the sending stops well before.
            self.over_budget = lambda: memory(server.proc.pid)["VmRSS"] - before > 256 * MIB  # noqa: B023
            with self.subTest(case=case.__name__):
                case(server)
            # The memory and the service after the case, whether its answers were right or not.
            with self.subTest(case=case.__name__, after="memory"):
                self.assertIsNone(server.proc.poll(), "the server ended: %r" % server.stderr()[-2000:])
                peak = memory(server.proc.pid)["VmHWM"]
                self.assertLess(peak - before, mib * MIB, "peak %.1f MiB over an idle %.1f MiB" %
                                ((peak - before) / MIB, before / MIB))
                self.healthy(server)
            with self.subTest(case=case.__name__, after="stop"):
                self.assert_stops(server)

    def test_second_stop_signal(self):
        addresses = ["m%d@mute.server.test" % i for i in range(8)]
        for sig in [signal.SIGTERM, signal.SIGINT]:
            with self.subTest(signal=sig.name):
                folder = self.enterContext(tempfile.TemporaryDirectory(prefix="verimex-hostile."))
                store = os.path.join(folder, "jobs.sqlite")
                server = Server("-f", "tester.server.test", "-j", "4", "--store", store)
                self.addCleanup(server.stop)  # whatever its status
                self.assertEqual(server.json("POST", "/v1/jobs", dict(addresses=addresses, name="slow", timeout=60,
                                                                      method="vrfy"))[0], 201)
                # A single check under way too, which a first signal lets run to its time limit.
                single = server.send("GET", check_path("x@mute.server.test", timeout=60, method="vrfy"))
                self.assertTrue(wait_for(lambda: server.json("GET", "/v1/jobs/slow")[2]["running"] >= 1, 20))
                single_runs = b'verimex_checks_in_flight{source="single"} 1'
                self.assertTrue(wait_for(lambda: single_runs in server.request("GET", "/metrics")[2]))
                server.proc.send_signal(sig)
                time.sleep(0.5)
                again = time.monotonic()
                server.proc.send_signal(sig)
                try:
                    server.proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    server.proc.kill()
                took = time.monotonic() - again
                status, _, err = server.stop()
                single.close()
                self.assertLess(took, 2.5, err[-2000:])
                self.assertGreaterEqual(status, 0, err[-2000:])  # exited, not killed by the signal
                # Every address not done is due again: none left leased to the process that is gone.
                with contextlib.closing(sqlite3.connect("file:%s?mode=ro" % store, uri=True)) as db:
                    rows = db.execute("SELECT state, due_at FROM verimex_addresses").fetchall()
                self.assertEqual(len(rows), len(addresses))
                self.assertNotIn(1, [state for state, _ in rows], rows)
                self.assertTrue(all(due <= time.time() * 1000 + 1000 for state, due in rows if state == 0), rows)
