"""verimex-server's HTTP interface through a real HTTP client (http.client
and raw sockets), against the real server inside the private network,
with scripted mail servers (server.zones)."""

import concurrent.futures
import json
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse

from serverlib import REJECT, SERVER, MailServers, Server, in_private_network, read_to_end, wait_for

TOKEN = "s3cret-token"
AUTH = {"Authorization": "Bearer " + TOKEN}
TIMEOUT_ERROR = "timeout: expected a whole number of seconds from 0 to 32767"


def check_path(email, **params):
    params = dict(params, email=email)
    return "/v1/check?" + urllib.parse.urlencode(params, quote_via=urllib.parse.quote)


def metric(server, text, headers=None):
    return text in server.request("GET", "/metrics", headers=headers)[2].decode()


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
        # Input the component refuses (line breaks, NUL, blanks, quotes,
        # control characters, a leading '-') is passed on unchanged and
        # answered 200 with its text and no transcript.
        refused = ["a\r\nquit@yes.server.test", "a\x00b@yes.server.test", "a@yes.server.test -q=a",
                   'a@"yes.server.test"', "a@yes\x01.server.test", "a@-debug", "a@yes.server.test\t"]
        cases = [
            # address, returnvar, verified
            ("alice@yes.server.test", "000", True),
            ("bob@no.server.test", REJECT + "\r\n", False),
            ("carol@down.server.test", "ERROR: could not connect to mail server", False),
            ("dave@nomx.server.test", "999 - could not find a mail server for the adress", False),
            # Bytes of the reply that are not UTF-8 become replacement characters.
            ("x@bytes.server.test", "553 caf\ufffd \ufffd\ufffd ok\r\n", False),
        ] + [(address, "ERROR: invalid email address", False) for address in refused]
        for address, returnvar, verified in cases:
            with self.subTest(address=address):
                got = self.check(address)
                self.assertEqual(set(got), {"address", "returnvar", "verified", "transcript", "error"})
                self.assertEqual((got["address"], got["returnvar"]), (address, returnvar))
                self.assertIs(got["verified"], verified)
                self.assertIsNone(got["error"])
                if address in refused:
                    self.assertEqual(got["transcript"], "")
        # The address as sent, bad bytes and all, comes back readable too.
        status, _, body = self.server.json("GET", "/v1/check?email=%FF%FE@nomx.server.test", headers=AUTH)
        self.assertEqual((status, body["address"]), (200, "\ufffd\ufffd@nomx.server.test"))

    def test_from_and_timeout_parameters(self):
        got = self.check("alice@yes.server.test", **{"from": "other.example"})
        self.assertIn("helo other.example\r\n", got["transcript"])
        self.assertIn("vrfy alice@yes.server.test\r\n", got["transcript"])
        self.assertIn("helo tester.server.test\r\n", self.check("alice@yes.server.test")["transcript"])
        start = time.monotonic()
        self.assertEqual(self.check("x@mute.server.test", timeout="1")["returnvar"], "ERROR: timeout after 1 seconds.")
        self.assertLess(time.monotonic() - start, 8)
        for timeout in ["0", "32767"]:
            self.assertEqual(self.check("a@yes.server.test", timeout=timeout)["returnvar"], "000")

    def test_error_statuses(self):
        bad_timeouts = ["-1", "32768", "abc", "1.5", "", "99999999999999999999", " 5", "0x10"]
        cases = [
            # method, path, status, error (or its start), Allow
            ("GET", "/v1/check", 400, "missing parameter: email", None),
            ("GET", "/v1/check?email=", 400, "empty parameter: email", None),
            ("GET", "/v1/check?from=x", 400, "missing parameter: email", None),
        ] + [("GET", check_path("a@yes.server.test", timeout=t), 400, TIMEOUT_ERROR, None) for t in bad_timeouts] + [
            (m, p, 404, "", None) for m, p in [("GET", "/nope"), ("GET", "/v1/checks"), ("GET", "/v1/check/x"),
                                               ("GET", "/static/../x"), ("GET", "/static/app.jsx"),
                                               ("GET", "/v1/jobs/a/b")]] + [
            ("POST", "/v1/check", 405, "", "GET, HEAD"),
            ("PUT", "/v1/jobs", 405, "", "GET, HEAD, POST"),
            ("PATCH", "/v1/jobs/x", 405, "", "GET, HEAD, DELETE"),
        ]
        for method, path, code, error, allow in cases:
            with self.subTest(method=method, path=path):
                status, head, body = self.server.json(method, path, headers=AUTH)
                self.assertEqual(status, code)
                self.assertTrue(body["error"].startswith(error), body)
                if code == 400:
                    self.assertEqual(body, {"error": error})
                if code == 405:
                    self.assertEqual(head["Allow"], allow)
                    self.assertIn("not allowed", body["error"])

    def test_token(self):
        refused = [{}, {"Authorization": "Bearer"}, {"Authorization": "Bearer "}] + [
            {"Authorization": value} for value in ["Bearer " + TOKEN[:-1], "Bearer " + TOKEN + "x",
                                                   "bearer " + TOKEN, "Basic " + TOKEN, "Bearer  " + TOKEN]]
        for headers in refused:
            for p in [check_path("alice@yes.server.test"), "/metrics", "/v1/jobs"]:
                with self.subTest(headers=headers, path=p):
                    status, head, body = self.server.json("GET", p, headers=headers)
                    self.assertEqual(status, 401)
                    self.assertEqual(head.get("WWW-Authenticate"), 'Bearer realm="verimex"')
                    self.assertEqual(body, {"error": "missing or wrong bearer token"})
        # The page and the health check are open: the page asks for the
        # token itself, and runs only its own script.
        for p in ["/", "/static/app.js", "/static/style.css", "/healthz"]:
            with self.subTest(path=p):
                self.assertEqual(self.server.request("GET", p)[0], 200)
        self.assertIn("script-src 'self'", self.server.request("GET", "/")[1]["Content-Security-Policy"])

    def test_body_over_the_limit(self):
        body = b"a@yes.server.test\n" * (10 * 1024 * 1024 // 18 + 1)
        status, _, reply = self.server.json("POST", "/v1/jobs", body=body,
                                            headers=dict(AUTH, **{"Content-Type": "text/plain"}))
        self.assertEqual((status, reply), (413, {"error": "request body too large"}))
        self.assertEqual(self.server.request("GET", "/healthz")[0], 200)

    def test_slow_client_is_cut_off_and_holds_nobody_up(self):
        with socket.create_connection(("127.0.0.1", self.server.port)) as slow:
            slow.sendall(b"GET /v1/check?email=alice@yes.server.test HTTP/1.1\r\nHost: x\r\n")
            # Others are served while it dawdles, well within its allowance
            # (--read-timeout 4).
            start = time.monotonic()
            self.assertEqual(self.check("alice@yes.server.test")["returnvar"], "000")
            self.assertEqual(self.server.request("GET", "/healthz")[0], 200)
            self.assertLess(time.monotonic() - start, 3.5)
            # After --read-timeout without a byte, it is let go.
            slow.settimeout(20)
            start = time.monotonic()
            self.assertNotIn(b"200 OK", read_to_end(slow))
            self.assertLess(time.monotonic() - start, 15)

    def test_malformed_requests_leave_the_server_standing(self):
        post = b"POST /v1/jobs HTTP/1.1\r\nHost: x\r\n"
        cases = [
            b"\r\n\r\n",
            b"GARBAGE\r\n\r\n",
            b"GET\r\n\r\n",
            b"GET / HTTP/9.9\r\n\r\n",
            b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\nHost: x\r\n\r\n",
            b"GET / HTTP/1.1\r\nX: " + b"b" * 20000 + b"\r\n\r\n",
            b"GET / HTTP/1.1\r\n" + b"".join(b"H%d: v\r\n" % i for i in range(2000)) + b"\r\n",
            post + b"Transfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n0\r\n\r\n",
            post + b"Transfer-Encoding: chunked\r\n\r\nffffffffffffffff\r\n",
            post + b"Content-Length: -5\r\n\r\n",
            post + b"Content-Length: 99999999999999999999999\r\n\r\n",
            b"GET /v1/check?email=%ZZ%&timeout=%00 HTTP/1.1\r\nHost: x\r\n\r\n",
            b"GET /v1/jobs/%00%ff%2f HTTP/1.1\r\nHost: x\r\n\r\n",
            b"GET / HTTP/1.1\r\nHost: x\r\nRange: bytes=99999999-1,-,5-3\r\n\r\n",
            bytes(range(256)) * 4,
        ]
        for raw in cases:
            with self.subTest(raw=raw[:50]):
                with socket.create_connection(("127.0.0.1", self.server.port), timeout=15) as s:
                    try:
                        s.sendall(raw)
                        s.shutdown(socket.SHUT_WR)
                    except (ConnectionResetError, BrokenPipeError):
                        pass
                    reply = read_to_end(s)
                # Refused or answered with a status other than a server
                # error (the plain GET / with an odd Range may get the page).
                status = reply.split(b" ", 2)[1] if reply.startswith(b"HTTP/1.1 ") else b""
                self.assertNotIn(status[:1], [b"5"], reply[:200])
                self.assertEqual(self.server.request("GET", "/healthz")[0], 200)
        self.assertIsNone(self.server.proc.poll())

    def test_endless_header_fields_are_cut_off(self):
        sent = 0
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=15) as s:
            s.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n")
            with self.assertRaises(OSError):
                for i in range(100000):
                    sent += s.send(b"X-Filler-%d: %s\r\n" % (i, b"v" * 100))
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
        verified = re.search(r'^verimex_checks_total\{source="single",result="verified"\} (\d+)$', metrics, re.M)
        self.assertGreaterEqual(int(verified.group(1)), 100)

    def test_metrics_text_format(self):
        self.check("alice@yes.server.test")
        status, head, body = self.server.request("GET", "/metrics", headers=AUTH)
        self.assertEqual(status, 200)
        self.assertTrue(head["Content-Type"].startswith("text/plain; version=0.0.4"))
        text = body.decode()
        sample = re.compile(r'^[a-z_]+(\{[a-z_]+="[^"\\\n]*"(,[a-z_]+="[^"\\\n]*")*\})? [0-9]+(\.[0-9]+)?$')
        declared = set(re.findall(r"(?m)^# TYPE (\S+)", text))
        for line in text.splitlines():
            if not line.startswith("#"):
                self.assertRegex(line, sample)
                name = re.match(r"[a-z_]+", line).group(0)
                self.assertTrue({name, re.sub(r"_(bucket|sum|count)$", "", name)} & declared, line)
        # Buckets grow and end at the count.
        buckets = [int(v) for v in re.findall(
            r'^verimex_check_duration_seconds_bucket\{source="single",le="[^"]+"\} (\d+)$', text, re.M)]
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
                self.assertTrue(wait_for(lambda: metric(server, "verimex_checks_queued 1")))
                status, head, body = server.json("GET", check_path("alice@yes.server.test"))
                self.assertEqual((status, head["Retry-After"]), (503, "1"))
                self.assertEqual(body, {"error": "too many checks waiting; try again later"})
                for f in busy:
                    status, _, body = f.result()
                    self.assertEqual(status, 200)
                    self.assertEqual(json.loads(body)["returnvar"], "ERROR: timeout after 3 seconds.")
            self.assertTrue(metric(server, "verimex_checks_refused_total 1"))
            # Room again.
            self.assertEqual(server.json("GET", check_path("alice@yes.server.test"))[2]["returnvar"], "000")
        finally:
            self.assertEqual(server.stop()[0], 0)

    def test_only_a_few_connections_post_lists_at_once(self):
        server = Server("--read-timeout", "2")
        slow = []
        text = {"Content-Type": "text/plain"}
        try:
            # Eight clients start posting a list and stall in its body.
            for _ in range(8):
                slow.append(socket.create_connection(("127.0.0.1", server.port)))
                slow[-1].sendall(b"POST /v1/jobs HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\n"
                                 b"Content-Length: 100000\r\n\r\na@yes.server.test\n")
            self.assertTrue(wait_for(lambda: metric(server, "verimex_list_posts_in_progress 8\n"), timeout=10))
            status, head, body = server.json("POST", "/v1/jobs", body=b"b@yes.server.test\n", headers=text)
            self.assertEqual((status, head["Retry-After"], head["Connection"]), (503, "1", "close"))
            self.assertEqual(body, {"error": "too many lists being posted at once; try again later"})
            # Other requests go on meanwhile.
            self.assertEqual(server.request("GET", "/healthz")[0], 200)
            # Once the stalled ones are cut off (--read-timeout 2), lists
            # are taken again.
            self.assertTrue(wait_for(lambda: server.json("POST", "/v1/jobs?name=later", body=b"b@yes.server.test\n",
                                                         headers=text)[0] == 201, timeout=15, step=0.5))
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
                    self.assertTrue(wait_for(lambda: metric(server, 'verimex_checks_in_flight{source="single"} 1')))
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

    def test_exit_statuses(self):
        holder = socket.socket()
        holder.bind(("127.0.0.1", 0))
        holder.listen(1)
        taken = "127.0.0.1:%d" % holder.getsockname()[1]
        cases = [
            # arguments, exit status, what stderr holds
            (["--listen", "nowhere"], 2, b"^verimex-server: "),
            (["--listen", "1.2.3.4:99999"], 2, b"^verimex-server: "),
            (["-t", "40000"], 2, b"^verimex-server: "),
            (["-j", "0"], 2, b"^verimex-server: "),
            (["--bogus"], 2, b"^verimex-server: "),
            (["--check-threads", "0"], 2, b"^verimex-server: "),
            (["--listen", taken], 3, b"cannot listen"),
            (["--listen", "127.0.0.1:0", "--store", "/nonexistent-folder/jobs.sqlite"], 3, b"^verimex-server: "),
            (["--listen", "127.0.0.1:0", "--store", "postgresql://nobody@127.0.0.1:1/none"], 3, b"^verimex-server: "),
        ]
        try:
            for args, code, message in cases:
                with self.subTest(args=args), tempfile.TemporaryDirectory() as folder:
                    run = subprocess.run([SERVER, *args], capture_output=True, timeout=30, cwd=folder)
                    self.assertEqual(run.returncode, code)
                    self.assertRegex(run.stderr, message)
        finally:
            holder.close()
        run = subprocess.run([SERVER, "--help"], capture_output=True, timeout=10)
        self.assertEqual(run.returncode, 0)
        self.assertIn(b"--listen", run.stdout)


if __name__ == "__main__":
    unittest.main()
