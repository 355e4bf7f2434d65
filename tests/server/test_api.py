"""verimex-server's HTTP interface through a real HTTP client (http.client
and raw sockets), against the real server inside the private network,
with scripted mail servers (server.zones)."""

import json
import re
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.parse

from serverlib import REJECT, SERVER, ServerTest, read_to_end, wait_for

TOKEN = "s3cret-token"
AUTH = {"Authorization": "Bearer " + TOKEN}
TIMEOUT_ERROR = "timeout: expected a whole number of seconds from 0 to 32767"


def check_path(email, **params):
    return "/v1/check?" + urllib.parse.urlencode(dict(params, email=email), quote_via=urllib.parse.quote)


class Api(ServerTest):
    args = ["-f", "tester.server.test", "-t", "10", "--token", TOKEN, "--read-timeout", "4"]

    def check(self, email, **params):
        status, head, body = self.server.request("GET", check_path(email, **params), headers=AUTH)
        self.assertEqual(status, 200, body)
        self.assertTrue(head["Content-Type"].startswith("application/json"))
        return json.loads(body.decode("utf-8"))

    def test_check_outcomes_and_parameters(self):
        # Input the component refuses (line breaks, NUL, blanks, quotes,
        # control characters, a leading '-') is passed on unchanged and
        # answered 200 with its text and no transcript.
        refused = ["a\r\nquit@yes.server.test", "a\x00b@yes.server.test", "a@yes.server.test -q=a",
                   'a@"yes.server.test"', "a@yes\x01.server.test", "a@-debug", "a@yes.server.test\t"]
        cases = [
            # address, parameters, returnvar, verified, lines of the transcript
            ("alice@yes.server.test", {}, "000", True, ["helo tester.server.test\r\n"]),
            ("alice@yes.server.test", {"from": "other.example"}, "000", True,
             ["helo other.example\r\n", "vrfy alice@yes.server.test\r\n"]),
            ("a@yes.server.test", {"timeout": "0"}, "000", True, []),
            ("a@yes.server.test", {"timeout": "32767"}, "000", True, []),
            ("x@mute.server.test", {"timeout": "1"}, "ERROR: timeout after 1 seconds.", False, []),
            ("bob@no.server.test", {}, REJECT + "\r\n", False, []),
            ("carol@down.server.test", {}, "ERROR: could not connect to mail server", False, []),
            ("dave@nomx.server.test", {}, "999 - could not find a mail server for the adress", False, []),
            # Bytes of the reply that are not UTF-8 become replacement characters.
            ("x@bytes.server.test", {}, "553 caf\ufffd \ufffd\ufffd ok\r\n", False, []),
        ] + [(address, {}, "ERROR: invalid email address", False, []) for address in refused]
        for address, params, returnvar, verified, lines in cases:
            with self.subTest(address=address, params=params):
                start = time.monotonic()
                got = self.check(address, **params)
                self.assertEqual(set(got), {"address", "returnvar", "verified", "transcript", "error"})
                self.assertEqual((got["address"], got["returnvar"]), (address, returnvar))
                self.assertIs(got["verified"], verified)
                self.assertIsNone(got["error"])
                for line in lines:
                    self.assertIn(line, got["transcript"])
                if address in refused:
                    self.assertEqual(got["transcript"], "")
                if params.get("timeout") == "1":
                    self.assertLess(time.monotonic() - start, 8)
        # The address as sent, bad bytes and all, comes back readable too.
        status, _, body = self.server.json("GET", "/v1/check?email=%FF%FE@nomx.server.test", headers=AUTH)
        self.assertEqual((status, body["address"]), (200, "\ufffd\ufffd@nomx.server.test"))

    def test_error_statuses(self):
        bad_timeouts = ["-1", "32768", "abc", "1.5", "", "99999999999999999999", " 5", "0x10"]
        cases = [
            # method, path, status, error (or its start), Allow
            ("GET", "/v1/check", 400, "missing parameter: email", None),
            ("GET", "/v1/check?email=", 400, "empty parameter: email", None),
            ("GET", "/v1/check?from=x", 400, "missing parameter: email", None),
        ] + [("GET", check_path("a@yes.server.test", timeout=t), 400, TIMEOUT_ERROR, None) for t in bad_timeouts] + [
            ("GET", p, 404, "", None) for p in ["/nope", "/v1/checks", "/v1/check/x", "/static/../x",
                                                "/static/app.jsx", "/v1/jobs/a/b"]] + [
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
        body = b"a@yes.server.test\n" * (10 * 1024 * 1024 // 18 + 1)
        status, _, reply = self.server.json("POST", "/v1/jobs", body=body,
                                            headers=dict(AUTH, **{"Content-Type": "text/plain"}))
        self.assertEqual((status, reply), (413, {"error": "request body too large"}))

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
            self.assertEqual(self.server.request("GET", p)[0], 200, p)
        self.assertIn("script-src 'self'", self.server.request("GET", "/")[1]["Content-Security-Policy"])

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
            b"\r\n\r\n", b"GARBAGE\r\n\r\n", b"GET\r\n\r\n", b"GET / HTTP/9.9\r\n\r\n",
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
        # All sent before any reply is read, from this one thread: all in
        # flight at once, and no client threads to starve the scripted mail
        # servers (Python threads too) on a busy machine. A generous time
        # limit for those; the server's side is what is tested here.
        deadline = time.monotonic() + 180
        sent = [self.server.send("GET", check_path(a, timeout=60), headers=AUTH, timeout=180) for a in addresses]
        for address, conn in zip(addresses, sent):
            conn.sock.settimeout(max(0.1, deadline - time.monotonic()))
            status, _, body = self.server.answer(conn)
            self.assertEqual(status, 200, body)
            body = json.loads(body)
            self.assertEqual(body["address"], address)
            self.assertEqual(body["verified"], "@yes." in address, body)
        verified = re.search(r'^verimex_checks_total\{source="single",result="verified"\} (\d+)$',
                             self.server.metrics(AUTH), re.M)
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


class Limits(ServerTest):
    def test_full_queue_answers_503_with_retry_after(self):
        server = self.start("--check-threads", "1", "--check-queue", "1", "-t", "3")
        # One check runs (3 s against the mute server), one waits; the
        # third finds no room.
        busy = [server.send("GET", check_path("x@mute.server.test")) for _ in range(2)]
        self.assertTrue(wait_for(lambda: "verimex_checks_queued 1" in server.metrics()))
        status, head, body = server.json("GET", check_path("alice@yes.server.test"))
        self.assertEqual((status, head["Retry-After"]), (503, "1"))
        self.assertEqual(body, {"error": "too many checks waiting; try again later"})
        for conn in busy:
            status, _, body = server.answer(conn)
            self.assertEqual(status, 200)
            self.assertEqual(json.loads(body)["returnvar"], "ERROR: timeout after 3 seconds.")
        self.assertIn("verimex_checks_refused_total 1", server.metrics())
        # Room again.
        self.assertEqual(server.json("GET", check_path("alice@yes.server.test"))[2]["returnvar"], "000")

    def test_only_a_few_connections_post_lists_at_once(self):
        server = self.start("--read-timeout", "2")
        text = {"Content-Type": "text/plain"}
        # Eight clients start posting a list and stall in its body.
        for _ in range(8):
            slow = socket.create_connection(("127.0.0.1", server.port))
            self.addCleanup(slow.close)
            slow.sendall(b"POST /v1/jobs HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\n"
                         b"Content-Length: 100000\r\n\r\na@yes.server.test\n")
        self.assertTrue(wait_for(lambda: "verimex_list_posts_in_progress 8\n" in server.metrics(), timeout=10))
        status, head, body = server.json("POST", "/v1/jobs", body=b"b@yes.server.test\n", headers=text)
        self.assertEqual((status, head["Retry-After"], head["Connection"]), (503, "1", "close"))
        self.assertEqual(body, {"error": "too many lists being posted at once; try again later"})
        # Other requests go on meanwhile.
        self.assertEqual(server.request("GET", "/healthz")[0], 200)
        # Once the stalled ones are cut off (--read-timeout 2), lists are
        # taken again.
        self.assertTrue(wait_for(lambda: server.json("POST", "/v1/jobs?name=later", body=b"b@yes.server.test\n",
                                                     headers=text)[0] == 201, timeout=15, step=0.5))

    def test_sigterm_lets_running_checks_finish_and_exits_zero(self):
        for sig in [signal.SIGTERM, signal.SIGINT]:
            with self.subTest(signal=sig):
                server = self.start("--check-threads", "2", "-t", "2")
                running = server.send("GET", check_path("x@mute.server.test"))
                self.assertTrue(wait_for(lambda: 'verimex_checks_in_flight{source="single"} 1' in server.metrics()))
                start = time.monotonic()
                status, out, err = server.stop(sig)
                self.assertEqual(status, 0, err)
                self.assertEqual(out.strip(), "verimex-server: stopped")
                status, _, body = server.answer(running)
                self.assertEqual(status, 200)
                self.assertEqual(json.loads(body)["returnvar"], "ERROR: timeout after 2 seconds.")
                self.assertLess(time.monotonic() - start, 15)
                with self.assertRaises(OSError):
                    socket.create_connection(("127.0.0.1", server.port), timeout=2).close()

    def test_exit_statuses(self):
        holder = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(holder.close)
        store = ["--listen", "127.0.0.1:0", "--store"]
        cases = [
            # arguments, exit status, what stderr holds
            (["--listen", "127.0.0.1:%d" % holder.getsockname()[1]], 3, b"cannot listen"),
            (store + ["/nonexistent-folder/jobs.sqlite"], 3, b"^verimex-server: "),
            (store + ["postgresql://nobody@127.0.0.1:1/none"], 3, b"^verimex-server: "),
        ] + [(args, 2, b"^verimex-server: ") for args in [["--listen", "nowhere"], ["--listen", "1.2.3.4:99999"],
                                                           ["-t", "40000"], ["-j", "0"], ["--bogus"],
                                                           ["--check-threads", "0"]]]
        for args, code, message in cases:
            with self.subTest(args=args), tempfile.TemporaryDirectory() as folder:
                run = subprocess.run([SERVER, *args], capture_output=True, timeout=30, cwd=folder)
                self.assertEqual(run.returncode, code)
                self.assertRegex(run.stderr, message)
        run = subprocess.run([SERVER, "--help"], capture_output=True, timeout=10)
        self.assertEqual(run.returncode, 0)
        self.assertIn(b"--listen", run.stdout)


if __name__ == "__main__":
    unittest.main()
