"""verimex-server's HTTP interface through a real HTTP client (http.client
and raw sockets), against the real server inside the private network,
with scripted mail servers (server.zones)."""

import concurrent.futures
import json
import os
import re
import signal
import tempfile
import socket
import threading
import time
import unittest
import urllib.parse

from serverlib import REJECT, MailServers, Server, in_private_network, wait_for

TOKEN = "s3cret-token"
AUTH = {"Authorization": "Bearer " + TOKEN}


def check_path(email, **params):
    params = dict(params, email=email)
    return "/v1/check?" + urllib.parse.urlencode(params, quote_via=urllib.parse.quote)


@unittest.skipUnless(in_private_network(), "runs only inside tests/netns/run")
class Api(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.mail = MailServers()
        cls.server = Server("-f", "tester.server.test", "-t", "10", "--token", TOKEN, "--read-timeout", "4")

    @classmethod
    def tearDownClass(cls):
        status, _, _ = cls.server.stop()
        cls.mail.stop()
        assert status == 0, status

    def check(self, email, **params):
        status, head, body = self.server.request("GET", check_path(email, **params), headers=AUTH)
        self.assertEqual(status, 200, body)
        self.assertTrue(head["Content-Type"].startswith("application/json"))
        return json.loads(body.decode("utf-8"))

    def test_check_outcomes(self):
        cases = [
            # address, returnvar, verified
            ("alice@yes.server.test", "000", True),
            ("bob@no.server.test", REJECT + "\r\n", False),
            ("carol@down.server.test", "ERROR: could not connect to mail server", False),
            ("dave@nomx.server.test", "999 - could not find a mail server for the adress", False),
        ]
        for address, returnvar, verified in cases:
            with self.subTest(address=address):
                got = self.check(address)
                self.assertEqual(set(got), {"address", "returnvar", "verified", "transcript", "error"})
                self.assertEqual(got["address"], address)
                self.assertEqual(got["returnvar"], returnvar)
                self.assertIs(got["verified"], verified)
                self.assertIsNone(got["error"])

    def test_transcript_and_from(self):
        got = self.check("alice@yes.server.test", **{"from": "other.example"})
        self.assertIn("helo other.example\r\n", got["transcript"])
        self.assertIn("vrfy alice@yes.server.test\r\n", got["transcript"])
        got = self.check("alice@yes.server.test")
        self.assertIn("helo tester.server.test\r\n", got["transcript"])

    def test_timeout_parameter(self):
        start = time.monotonic()
        got = self.check("x@mute.server.test", timeout="1")
        self.assertEqual(got["returnvar"], "ERROR: timeout after 1 seconds.")
        self.assertLess(time.monotonic() - start, 8)

    def test_input_the_component_refuses_is_a_normal_result(self):
        # Line breaks and NUL anywhere; blanks, tabs, quotes, control
        # characters or a leading '-' in the domain: passed on unchanged,
        # refused by the component, answered 200 with its text.
        for address in ["a\r\nquit@yes.server.test", "a\n@yes.server.test", "a\x00b@yes.server.test",
                        "a@yes.server.test -q=a", "a@-yes.server.test", 'a@"yes.server.test"',
                        "a@yes.server.test\t", "a@ yes.server.test", "a@yes\x01.server.test",
                        "a@-debug", "a@yes.server.test\x0b"]:
            with self.subTest(address=address):
                got = self.check(address)
                self.assertEqual(got["address"], address)
                self.assertEqual(got["returnvar"], "ERROR: invalid email address")
                self.assertEqual(got["transcript"], "")

    def test_bytes_that_are_not_utf8_become_replacement_characters(self):
        got = self.check("x@bytes.server.test")
        self.assertEqual(got["returnvar"], "553 caf\ufffd \ufffd\ufffd ok\r\n")
        # The address as sent, bad bytes and all, comes back readable too.
        status, _, body = self.server.request("GET", "/v1/check?email=%FF%FE@nomx.server.test", headers=AUTH)
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(body.decode("utf-8"))["address"], "\ufffd\ufffd@nomx.server.test")

    def test_bad_requests(self):
        cases = [
            ("/v1/check", "missing parameter: email"),
            ("/v1/check?email=", "empty parameter: email"),
            ("/v1/check?from=x", "missing parameter: email"),
        ]
        for timeout in ["-1", "32768", "abc", "1.5", "", "99999999999999999999", " 5", "0x10"]:
            cases.append((check_path("a@yes.server.test", timeout=timeout),
                          "timeout: expected a whole number of seconds from 0 to 32767"))
        for path, message in cases:
            with self.subTest(path=path):
                status, head, body = self.server.json("GET", path, headers=AUTH)
                self.assertEqual(status, 400)
                self.assertEqual(body, {"error": message})
        for timeout in ["0", "32767", "600"]:
            with self.subTest(timeout=timeout):
                self.assertEqual(self.check("a@yes.server.test", timeout=timeout)["returnvar"], "000")

    def test_token(self):
        path = check_path("alice@yes.server.test")
        refused = [
            {},
            {"Authorization": "Bearer"},
            {"Authorization": "Bearer "},
            {"Authorization": "Bearer " + TOKEN[:-1]},
            {"Authorization": "Bearer " + TOKEN + "x"},
            {"Authorization": "bearer " + TOKEN},
            {"Authorization": "Basic " + TOKEN},
            {"Authorization": "Bearer  " + TOKEN},
        ]
        for headers in refused:
            for p in [path, "/metrics", "/v1/jobs"]:
                with self.subTest(headers=headers, path=p):
                    status, head, body = self.server.json("GET", p, headers=headers)
                    self.assertEqual(status, 401)
                    self.assertEqual(head.get("WWW-Authenticate"), 'Bearer realm="verimex"')
                    self.assertEqual(body, {"error": "missing or wrong bearer token"})
        # The page and the health check are open: the page asks for the
        # token itself.
        for p in ["/", "/static/app.js", "/static/style.css", "/healthz"]:
            with self.subTest(path=p):
                self.assertEqual(self.server.request("GET", p)[0], 200)

    def test_not_found_and_method_not_allowed(self):
        for path in ["/nope", "/v1", "/v1/checks", "/v1/check/x", "/static/../x", "/static/app.jsx", "/v1/jobs/a/b"]:
            with self.subTest(path=path):
                status, _, body = self.server.json("GET", path, headers=AUTH)
                self.assertEqual(status, 404)
                self.assertIn("error", body)
        for method, path, allow in [("POST", "/v1/check", "GET, HEAD"), ("DELETE", "/healthz", "GET, HEAD"),
                                    ("PUT", "/v1/jobs", "GET, HEAD, POST"), ("POST", "/", "GET, HEAD"),
                                    ("PATCH", "/v1/jobs/x", "GET, HEAD, DELETE")]:
            with self.subTest(method=method, path=path):
                status, head, body = self.server.json(method, path, headers=AUTH)
                self.assertEqual(status, 405)
                self.assertEqual(head["Allow"], allow)
                self.assertIn("not allowed", body["error"])

    def test_body_over_the_limit(self):
        body = b"a@yes.server.test\n" * (10 * 1024 * 1024 // 18 + 1)
        self.assertGreater(len(body), 10 * 1000 * 1000)
        status, _, reply = self.server.json("POST", "/v1/jobs", body=body,
                                            headers=dict(AUTH, **{"Content-Type": "text/plain"}))
        self.assertEqual(status, 413)
        self.assertEqual(reply, {"error": "request body too large"})
        # The server is still there.
        self.assertEqual(self.server.request("GET", "/healthz")[0], 200)

    def test_head_and_page(self):
        status, head, body = self.server.request("GET", "/")
        self.assertEqual(status, 200)
        self.assertTrue(head["Content-Type"].startswith("text/html"))
        self.assertIn("script-src 'self'", head["Content-Security-Policy"])
        self.assertIn(b'<script src="/static/app.js"', body)
        status, head, body = self.server.request("HEAD", "/static/app.js")
        self.assertEqual((status, body), (200, b""))
        self.assertTrue(head["Content-Type"].startswith("text/javascript"))

    def test_slow_client_is_cut_off_and_holds_nobody_up(self):
        slow = socket.create_connection(("127.0.0.1", self.server.port))
        try:
            slow.sendall(b"GET /v1/check?email=alice@yes.server.test HTTP/1.1\r\nHost: x\r\n")
            # Others are served while it dawdles.
            start = time.monotonic()
            self.assertEqual(self.check("alice@yes.server.test")["returnvar"], "000")
            self.assertEqual(self.server.request("GET", "/healthz")[0], 200)
            # Well within the slow client's allowance (--read-timeout 4).
            self.assertLess(time.monotonic() - start, 3.5)
            # After --read-timeout without a byte, it is let go.
            slow.settimeout(20)
            start = time.monotonic()
            data = b""
            while True:
                chunk = slow.recv(4096)
                if not chunk:
                    break
                data += chunk
            waited = time.monotonic() - start
            self.assertLess(waited, 15)
            self.assertNotIn(b"200 OK", data)
        finally:
            slow.close()

    def test_malformed_requests_leave_the_server_standing(self):
        cases = [
            b"\r\n\r\n",
            b"GARBAGE\r\n\r\n",
            b"GET\r\n\r\n",
            b"GET / HTTP/9.9\r\n\r\n",
            b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\nHost: x\r\n\r\n",
            b"GET / HTTP/1.1\r\nX: " + b"b" * 20000 + b"\r\n\r\n",
            b"GET / HTTP/1.1\r\n" + b"".join(b"H%d: v\r\n" % i for i in range(2000)) + b"\r\n",
            b"POST /v1/jobs HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n0\r\n\r\n",
            b"POST /v1/jobs HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffff\r\n",
            b"POST /v1/jobs HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n",
            b"POST /v1/jobs HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999999999999999999\r\n\r\n",
            b"GET /v1/check?email=%ZZ%&timeout=%00 HTTP/1.1\r\nHost: x\r\n\r\n",
            b"GET /v1/jobs/%00%ff%2f HTTP/1.1\r\nHost: x\r\n\r\n",
            b"GET / HTTP/1.1\r\nHost: x\r\nRange: bytes=99999999-1,-,5-3\r\n\r\n",
            bytes(range(256)) * 4,
        ]
        for raw in cases:
            with self.subTest(raw=raw[:50]):
                s = socket.create_connection(("127.0.0.1", self.server.port), timeout=15)
                try:
                    s.sendall(raw)
                    s.shutdown(socket.SHUT_WR)
                    reply = b""
                    while True:
                        chunk = s.recv(65536)
                        if not chunk:
                            break
                        reply += chunk
                except (ConnectionResetError, BrokenPipeError):
                    reply = b""
                finally:
                    s.close()
                # Refused or answered with a status other than a success
                # (the plain GET / with an odd Range may get the page).
                status = reply.split(b" ", 2)[1] if reply.startswith(b"HTTP/1.1 ") else b""
                self.assertNotIn(status[:1], [b"5"], reply[:200])
                self.assertEqual(self.server.request("GET", "/healthz")[0], 200)
        self.assertIsNone(self.server.proc.poll())

    def test_endless_header_fields_are_cut_off(self):
        s = socket.create_connection(("127.0.0.1", self.server.port), timeout=15)
        sent = 0
        try:
            s.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n")
            with self.assertRaises(OSError):
                for i in range(100000):
                    sent += s.send(b"X-Filler-%d: %s\r\n" % (i, b"v" * 100))
        finally:
            s.close()
        # Cut off after a few hundred KiB (the head's bound, 256 KiB, plus
        # what the sockets' buffers hold), far from the 10 MB offered.
        self.assertLess(sent, 4 * 1024 * 1024)
        # A head with many fields, but under the bound, is still served.
        status, _, _ = self.server.request("GET", "/healthz",
                                           headers={"X-Filler-%d" % i: "v" * 100 for i in range(500)})
        self.assertEqual(status, 200)

    def test_many_concurrent_checks(self):
        addresses = ["user%d@yes.server.test" % i if i % 2 else "user%d@no.server.test" % i for i in range(200)]
        barrier = threading.Barrier(len(addresses))

        def one(address):
            barrier.wait(timeout=30)
            # A generous time limit: the scripted mail servers are Python
            # threads, slow on a busy machine; the server's side is what
            # is tested here.
            status, _, body = self.server.request("GET", check_path(address, timeout=60), headers=AUTH,
                                                  timeout=180)
            return address, status, json.loads(body)

        with concurrent.futures.ThreadPoolExecutor(max_workers=len(addresses)) as pool:
            results = list(pool.map(one, addresses))
        for address, status, body in results:
            self.assertEqual(status, 200, body)
            self.assertEqual(body["address"], address)
            self.assertEqual(body["verified"], "@yes." in address, body)
        metrics = self.server.request("GET", "/metrics", headers=AUTH)[2].decode()
        verified = int(re.search(r'^verimex_checks_total\{source="single",result="verified"\} (\d+)$', metrics,
                                 re.M).group(1))
        self.assertGreaterEqual(verified, 100)

    def test_metrics_text_format(self):
        self.check("alice@yes.server.test")
        status, head, body = self.server.request("GET", "/metrics", headers=AUTH)
        self.assertEqual(status, 200)
        self.assertTrue(head["Content-Type"].startswith("text/plain; version=0.0.4"))
        text = body.decode()
        sample = re.compile(r'^[a-z_]+(\{[a-z_]+="[^"\\\n]*"(,[a-z_]+="[^"\\\n]*")*\})? [0-9]+(\.[0-9]+)?$')
        declared = set()
        for line in text.splitlines():
            if line.startswith("# TYPE "):
                declared.add(line.split()[2])
                continue
            if line.startswith("# HELP "):
                continue
            self.assertRegex(line, sample)
            name = re.match(r"[a-z_]+", line).group(0)
            base = re.sub(r"_(bucket|sum|count)$", "", name)
            self.assertTrue(name in declared or base in declared, line)
        # Buckets grow and end at the count.
        buckets = [int(v) for v in re.findall(r'^verimex_check_duration_seconds_bucket\{source="single",le="[^"]+"\} (\d+)$',
                                             text, re.M)]
        self.assertEqual(buckets, sorted(buckets))
        count = int(re.search(r'^verimex_check_duration_seconds_count\{source="single"\} (\d+)$', text, re.M).group(1))
        self.assertEqual(buckets[-1], count)
        self.assertGreater(count, 0)
        self.assertRegex(text, r'(?m)^verimex_http_requests_total\{code="200"\} [1-9]')


@unittest.skipUnless(in_private_network(), "runs only inside tests/netns/run")
class Limits(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.mail = MailServers()

    @classmethod
    def tearDownClass(cls):
        cls.mail.stop()

    def test_full_queue_answers_503_with_retry_after(self):
        server = Server("--check-threads", "1", "--check-queue", "1", "-t", "3")
        try:
            # One check runs (3 s against the mute server), one waits; the
            # third finds no room.
            with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
                busy = [pool.submit(server.request, "GET", check_path("x@mute.server.test")) for _ in range(2)]
                self.assertTrue(wait_for(lambda: "verimex_checks_queued 1" in server.request("GET", "/metrics")[2].decode()))
                status, head, body = server.json("GET", check_path("alice@yes.server.test"))
                self.assertEqual(status, 503)
                self.assertEqual(head["Retry-After"], "1")
                self.assertEqual(body, {"error": "too many checks waiting; try again later"})
                for f in busy:
                    status, _, body = f.result()
                    self.assertEqual(status, 200)
                    self.assertEqual(json.loads(body)["returnvar"], "ERROR: timeout after 3 seconds.")
            self.assertIn("verimex_checks_refused_total 1", server.request("GET", "/metrics")[2].decode())
            # Room again.
            self.assertEqual(server.json("GET", check_path("alice@yes.server.test"))[2]["returnvar"], "000")
        finally:
            self.assertEqual(server.stop()[0], 0)

    def test_only_a_few_connections_post_lists_at_once(self):
        with tempfile.TemporaryDirectory() as folder:
            server = Server("--store", os.path.join(folder, "s.sqlite"), "--read-timeout", "2")
            slow = []
            try:
                # Eight clients start posting a list and stall in its body.
                for _ in range(8):
                    s = socket.create_connection(("127.0.0.1", server.port))
                    s.sendall(b"POST /v1/jobs HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\n"
                              b"Content-Length: 100000\r\n\r\na@yes.server.test\n")
                    slow.append(s)
                self.assertTrue(wait_for(lambda: "verimex_list_posts_in_progress 8\n" in
                                         server.request("GET", "/metrics")[2].decode(), timeout=10))
                status, head, body = server.json("POST", "/v1/jobs", body=b"b@yes.server.test\n",
                                                 headers={"Content-Type": "text/plain"})
                self.assertEqual(status, 503)
                self.assertEqual(head["Retry-After"], "1")
                self.assertEqual(head["Connection"], "close")
                self.assertEqual(body, {"error": "too many lists being posted at once; try again later"})
                # Other requests go on meanwhile.
                self.assertEqual(server.request("GET", "/healthz")[0], 200)
                # Once the stalled ones are cut off (--read-timeout 2), lists
                # are taken again.
                self.assertTrue(wait_for(lambda: server.json(
                    "POST", "/v1/jobs?name=later", body=b"b@yes.server.test\n",
                    headers={"Content-Type": "text/plain"})[0] == 201, timeout=15, step=0.5))
            finally:
                for s in slow:
                    s.close()
                self.assertEqual(server.stop()[0], 0)

    def test_sigterm_lets_running_checks_finish_and_exits_zero(self):
        for sig in [signal.SIGTERM, signal.SIGINT]:
            with self.subTest(signal=sig):
                server = Server("--check-threads", "2", "-t", "2")
                with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
                    running = pool.submit(server.request, "GET", check_path("x@mute.server.test"))
                    self.assertTrue(wait_for(
                        lambda: "verimex_checks_in_flight{source=\"single\"} 1" in
                        server.request("GET", "/metrics")[2].decode()))
                    start = time.monotonic()
                    status, out, err = server.stop(sig)
                    self.assertEqual(status, 0, err)
                    self.assertEqual(out.strip(), "verimex-server: stopped")
                    status, _, body = running.result()
                    self.assertEqual(status, 200)
                    self.assertEqual(json.loads(body)["returnvar"], "ERROR: timeout after 2 seconds.")
                    self.assertLess(time.monotonic() - start, 15)
                with self.assertRaises(OSError):
                    socket.create_connection(("127.0.0.1", server.port), timeout=2).close()

    def test_usage_errors(self):
        import subprocess
        from serverlib import SERVER
        for args in [["--listen", "nowhere"], ["--listen", "1.2.3.4:99999"], ["-t", "40000"], ["-j", "0"],
                     ["--bogus"], ["--check-threads", "0"]]:
            with self.subTest(args=args):
                run = subprocess.run([SERVER, *args], capture_output=True, timeout=10)
                self.assertEqual(run.returncode, 2)
                self.assertTrue(run.stderr.startswith(b"verimex-server: "), run.stderr)
        run = subprocess.run([SERVER, "--help"], capture_output=True, timeout=10)
        self.assertEqual(run.returncode, 0)
        self.assertIn(b"--listen", run.stdout)
        # A port already taken: exit status 3, a message.
        holder = socket.socket()
        holder.bind(("127.0.0.1", 0))
        holder.listen(1)
        try:
            with tempfile.TemporaryDirectory() as folder:
                run = subprocess.run([SERVER, "--listen", "127.0.0.1:%d" % holder.getsockname()[1]],
                                     capture_output=True, timeout=10, cwd=folder)
            self.assertEqual(run.returncode, 3)
            self.assertIn(b"cannot listen", run.stderr)
        finally:
            holder.close()


if __name__ == "__main__":
    unittest.main()
