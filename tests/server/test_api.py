"""verimex-server's HTTP interface and job routes through a real HTTP client, against the real server
and real SQLite stores in the private network, with the scripted mail servers of server.zones."""

import csv
import io
import json
import os
import signal
import socket
import subprocess
import tempfile
import time
import urllib.parse

from serverlib import REJECT, SERVER, ServerTest, wait_for

TOKEN = "s3cret-token"
FAST = ["-f", "tester.server.test", "--mx-interval", "0", "--per-mx", "8"]
TIMEOUT_ERROR = "timeout: expected a whole number of seconds from 0 to 32767"
NAME_ERROR = 'name: 1 to 200 bytes, without control characters or "/"'
ADDRESSES_ERROR = "addresses: expected an array of strings"


def check_path(email, **params):
    return "/v1/check?" + urllib.parse.urlencode(dict(params, email=email), quote_via=urllib.parse.quote)


def job_path(name, tail=""):
    return "/v1/jobs/" + urllib.parse.quote(name, safe="") + tail


class Api(ServerTest):
    # No --store: the default file in the server's working folder.
    args, headers = FAST + ["-t", "10", "-j", "4", "--token", TOKEN], {"Authorization": "Bearer " + TOKEN}

    def test_check_outcomes(self):
        cases = [  # address, parameters, returnvar, verified, a line of the transcript (None: no transcript)
            ("alice@yes.server.test", {}, "000", True, "helo tester.server.test\r\n"),
            ("alice@yes.server.test", {"from": "other.example"}, "000", True, "helo other.example\r\n"),
            ("a@yes.server.test", {"timeout": "32767"}, "000", True, "vrfy a@yes.server.test\r\n"),
            ("x@mute.server.test", {"timeout": "1"}, "ERROR: timeout after 1 seconds.", False, ""),
            ("bob@no.server.test", {}, REJECT + "\r\n", False, ""),
            ("carol@down.server.test", {}, "ERROR: could not connect to mail server", False, ""),
            ("dave@nomx.server.test", {}, "999 - could not find a mail server for the adress", False, ""),
            # Reply bytes that are not UTF-8 become replacement characters.
            ("x@bytes.server.test", {}, "553 caf\ufffd \ufffd\ufffd ok\r\n", False, ""),
            # Input the component refuses reaches it unchanged and is answered with its text.
            ("a\r\nquit@yes.server.test", {}, "ERROR: invalid email address", False, None),
            ("a@-debug", {}, "ERROR: invalid email address", False, None),
        ]
        for address, params, returnvar, verified, line in cases:
            with self.subTest(address=address, params=params):
                start = time.monotonic()
                status, head, got = self.server.json("GET", check_path(address, **params))
                self.assertEqual((status, head["Content-Type"].split(";")[0]), (200, "application/json"))
                transcript = got.pop("transcript")
                self.assertEqual(got, {"address": address, "returnvar": returnvar, "verified": verified, "error": None})
                self.assertIn(line, transcript) if line is not None else self.assertEqual(transcript, "")
                self.assertLess(time.monotonic() - start, 8)
        # The address as sent, bad bytes and all, comes back readable too.
        status, _, body = self.server.json("GET", "/v1/check?email=%FF%FE@nomx.server.test")
        self.assertEqual((status, body["address"]), (200, "\ufffd\ufffd@nomx.server.test"))

    def test_error_statuses_and_bodies(self):
        self.server.json("POST", "/v1/jobs", {"addresses": ["alice@yes.server.test"], "name": "there"})
        one, text = {"addresses": ["a@b"]}, {"Content-Type": "text/plain"}
        allow = {"/v1/check": "GET, HEAD", "/v1/jobs": "GET, HEAD, POST", "/v1/jobs/x": "GET, HEAD, DELETE"}
        cases = [  # method, path, body (a dict as JSON), header fields, status, error (a trailing "*": its start)
            ("GET", "/v1/check", None, {}, 400, "missing parameter: email"),
            ("GET", "/v1/check?email=", None, {}, 400, "empty parameter: email"),
        ] + [("GET", check_path("a@b", timeout=t), None, {}, 400, TIMEOUT_ERROR) for t in ["-1", "32768", "1.5", ""]] + [
            ("POST", "/v1/jobs", body, {"Content-Type": "application/json"}, 400, error) for body, error in [
                (b"not json", "bad JSON: *"), (b'{"addresses": ["a@b\xff"]}', "bad JSON: *"),
                (b"[]", "expected a JSON object"), ({"addresses": []}, "addresses: none given"),
                ({"addresses": [1]}, ADDRESSES_ERROR), ({"addresses": [""]}, ADDRESSES_ERROR), ({}, ADDRESSES_ERROR),
                (dict(one, name=5), "name: expected a string"), (dict(one, **{"from": []}), "from: expected a string"),
                (dict(one, timeout=601), "timeout: longer than the lease*"), (dict(one, timeout="5"), TIMEOUT_ERROR),
                (dict(one, timeout=1.5), TIMEOUT_ERROR), (dict(one, timeout=-1), TIMEOUT_ERROR),
                (dict(one, name="a/b"), NAME_ERROR), (dict(one, name=""), NAME_ERROR),
                (dict(one, name="a\nb"), NAME_ERROR), (dict(one, name="n" * 201), NAME_ERROR)]] + [
            ("POST", "/v1/jobs", b"\n# nothing\n", text, 400, "addresses: none given"),
            ("POST", "/v1/jobs", b"a@yes.server.test\n" * 600000, text, 413, "request body too large"),
            ("POST", "/v1/jobs", b"a@b\n", {"Content-Type": "application/x-www-form-urlencoded"}, 415,
             "Content-Type: expected application/json or text/plain"),
        ] + [("GET", job_path("there", "/results?" + query), None, {}, 400, error) for query, error in [
            ("format=xml", "format: expected jsonl or csv"), ("offset=-1", "offset: expected a whole number from 0"),
            ("limit=1e3", "limit: expected a whole number from 0")]] + [
            (method, path, None, {}, 404, "no such job") for method, path in [
                ("GET", "/v1/jobs/missing"), ("GET", "/v1/jobs/missing/results"), ("DELETE", "/v1/jobs/missing")]] + [
            ("GET", path, None, {}, 404, "no such path: " + path)
            for path in ["/nope", "/v1/check/x", "/static/app.jsx", "/v1/jobs/a/b"]] + [
            (method, path, None, {}, 405, "method %s not allowed on %s" % (method, path))
            for method, path in [("POST", "/v1/check"), ("PUT", "/v1/jobs"), ("PATCH", "/v1/jobs/x")]] + [
            ("GET", path, None, {"Authorization": token}, 401, "missing or wrong bearer token")
            for token in [None, "Bearer ", "Bearer " + TOKEN[:-1], "Bearer " + TOKEN + "x", "bearer " + TOKEN,
                          "Basic " + TOKEN] for path in [check_path("a@yes.server.test"), "/metrics", "/v1/jobs"]]
        for method, path, body, headers, code, error in cases:
            with self.subTest(method=method, path=path[:60], body=str(body)[:50], headers=headers):
                status, head, reply = self.server.json(method, path, body, headers)
                self.assertEqual(status, code)
                if error.endswith("*"):
                    self.assertTrue(reply["error"].startswith(error[:-1]), reply)
                else:
                    self.assertEqual(reply, {"error": error})
                self.assertEqual(head.get("Allow"), allow.get(path) if code == 405 else None)
                self.assertEqual(head.get("WWW-Authenticate"), 'Bearer realm="verimex"' if code == 401 else None)
        # The page and the health check are open: the page asks for the token itself, and runs only its own script.
        for path in ["/", "/static/app.js", "/healthz"]:
            self.assertEqual(self.server.request("GET", path, headers={"Authorization": None})[0], 200, path)
        self.assertIn("script-src 'self'", self.server.request("GET", "/")[1]["Content-Security-Policy"])

    def test_job_routes(self):
        addresses = ["alice@yes.server.test", "x@mute.server.test", "bob@no.server.test", "carol@down.server.test",
                     "dave@nomx.server.test", "a\r\nquit@yes.server.test"]
        self.assertEqual(self.server.json("POST", "/v1/jobs?name=alpha&timeout=1&from=other.example",
                                          b"# a list\n\n  alice@yes.server.test  \r\nx@mute.server.test\n",
                                          {"Content-Type": "text/plain; charset=utf-8"})[::2],
                         (201, {"job": "alpha", "added": 2, "duplicates": 0}))
        # Added to the same job: repeats are counted, not added; its settings stay.
        status, head, reply = self.server.json("POST", "/v1/jobs", {"addresses": addresses[2:] + addresses[:1],
                                                                    "name": "alpha"})
        self.assertEqual((status, head["Location"], reply), (201, "/v1/jobs/alpha",
                                                              {"job": "alpha", "added": 4, "duplicates": 1}))
        self.assertTrue(wait_for(lambda: (lambda s: s["done"] == s["total"])(self.server.json("GET", job_path(
            "alpha"))[2]), timeout=60, step=0.1))
        self.assertEqual(self.server.json("GET", job_path("alpha"))[2], {
            "job": "alpha", "total": 6, "done": 6, "due": 0, "running": 0, "deferred": 0,
            "results": {"verified": 1, "rejected": 1, "could_not_connect": 1, "no_mail_server": 1, "timed_out": 1,
                        "other_errors": 1}})
        self.assertTrue(os.path.exists(os.path.join(self.server.cwd, "verimex-jobs.sqlite")))

        status, head, body = self.server.request("GET", job_path("alpha", "/results?format=jsonl"))
        self.assertEqual((status, head["Content-Type"].split(";")[0]), (200, "application/x-ndjson"))
        rows = [json.loads(line) for line in body.decode().splitlines()]
        self.assertEqual([r["address"] for r in rows], addresses)
        self.assertEqual([r["returnvar"] for r in rows], [
            "000", "ERROR: timeout after 1 seconds.", REJECT + "\r\n", "ERROR: could not connect to mail server",
            "999 - could not find a mail server for the adress", "ERROR: invalid email address"])
        self.assertEqual(set(rows[0]), {"address", "returnvar", "verified", "transcript", "error", "state", "attempts",
                                        "checked_at"})
        self.assertTrue(all(r["state"] == "done" and r["attempts"] == 1 for r in rows))
        self.assertIn("helo other.example\r\n", rows[0]["transcript"])
        status, head, body = self.server.request("GET", job_path("alpha", "/results?format=csv"))
        self.assertEqual((status, head["Content-Type"].split(";")[0], head["Content-Disposition"]),
                         (200, "text/csv", 'attachment; filename="alpha.csv"'))
        table = list(csv.reader(io.StringIO(body.decode(), newline="")))
        self.assertEqual(table[0][:4], ["address", "returnvar", "verified", "transcript"])
        self.assertEqual([row[:2] for row in table[1:]], [[r["address"], r["returnvar"]] for r in rows])
        for offset, limit, want in [(1, 2, rows[1:3]), (4, 10, rows[4:]), (9, 1, [])]:
            self.assertEqual(self.server.rows(job_path("alpha", "/results?offset=%d&limit=%d" % (offset, limit))),
                             want, (offset, limit))

        # A job without a name gets one; a name reaches its own job only.
        name = self.server.json("POST", "/v1/jobs", {"addresses": ["carol@down.server.test"]})[2]["job"]
        self.assertRegex(name, r"^job-\d{8}-\d{6}-[0-9a-f]{6}$")
        self.assertLessEqual({"alpha", name}, set(self.server.json("GET", "/v1/jobs")[2]["jobs"]))
        self.server.json("POST", "/v1/jobs", {"addresses": ["bob@no.server.test"], "name": "al%"})
        for name in ["alph%", "alph_", "al_ha", "ALPHA", "alpha ", "alpha\x00", "..", "*", "alpha' OR '1'='1",
                     "alpha;DROP TABLE jobs", "alpha/../alpha", "../alpha", "al%25", "%", "\u0430lpha"]:
            for method, path in [("GET", job_path(name)), ("GET", job_path(name, "/results")), ("DELETE", job_path(name))]:
                with self.subTest(name=name, method=method):
                    status, _, body = self.server.request(method, path)
                    self.assertEqual(status, 404, body)
                    self.assertNotIn(b"alice", body)
        self.assertEqual(self.server.json("GET", job_path("alpha"))[2]["total"], 6)
        self.assertEqual([r["address"] for r in self.server.rows(job_path("al%", "/results"))], ["bob@no.server.test"])

        # Deleted while its check runs: the check's end does not bring it back, and the name starts afresh.
        self.server.json("POST", "/v1/jobs", {"addresses": ["x@mute.server.test"], "name": "doomed", "timeout": 3})
        self.assertTrue(wait_for(lambda: self.server.json("GET", "/v1/jobs/doomed")[2]["running"] == 1))
        self.assertEqual(self.server.json("DELETE", "/v1/jobs/doomed")[::2], (200, {"job": "doomed", "removed": True}))
        time.sleep(4)
        self.assertEqual(self.server.json("GET", "/v1/jobs/doomed")[0], 404)
        self.assertEqual(self.server.json("POST", "/v1/jobs", {"addresses": ["a@b"], "name": "doomed"})[2]["added"], 1)

    def test_endless_header_fields_are_cut_off(self):
        sent = 0
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=15) as s:
            s.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n")
            with self.assertRaises(OSError):
                for i in range(100000):
                    sent += s.send(b"X-Filler-%d: %s\r\n" % (i, b"v" * 100))
        # Cut off after the head's bound (256 KiB) and what the sockets' buffers hold, far from the 10 MB
        # offered; a head under the bound is served.
        self.assertLess(sent, 4 * 1024 * 1024)
        headers = {"X-Filler-%d" % i: "v" * 100 for i in range(500)}
        self.assertEqual(self.server.request("GET", "/healthz", headers=headers)[0], 200)

    def test_many_checks_at_once(self):
        # All sent before any reply is read, more than the check threads (32), from this one thread: no
        # client threads to starve the scripted mail servers (Python threads too) on a busy machine.
        addresses = ["user%d@%s.server.test" % (i, "yes" if i % 2 else "no") for i in range(60)]
        deadline = time.monotonic() + 180
        sent = [self.server.send("GET", check_path(a, timeout=60), timeout=180) for a in addresses]
        for address, conn in zip(addresses, sent):
            conn.sock.settimeout(max(0.1, deadline - time.monotonic()))
            status, _, body = self.server.answer(conn)
            self.assertEqual(status, 200, body)
            got = json.loads(body)
            self.assertEqual((got["address"], got["verified"]), (address, "@yes." in address), body)


class OwnServers(ServerTest):
    def test_full_queue_answers_503_with_retry_after(self):
        server = self.start("--check-threads", "1", "--check-queue", "1", "-t", "3")
        # One check runs (3 s against the mute server), one waits; the third finds no room.
        busy = [server.send("GET", check_path("x@mute.server.test")) for _ in range(2)]
        self.assertTrue(wait_for(lambda: "verimex_checks_queued 1" in server.metrics()))
        status, head, body = server.json("GET", check_path("alice@yes.server.test"))
        self.assertEqual((status, head["Retry-After"], body),
                         (503, "1", {"error": "too many checks waiting; try again later"}))
        for conn in busy:
            status, _, body = server.answer(conn)
            self.assertEqual((status, json.loads(body)["returnvar"]), (200, "ERROR: timeout after 3 seconds."))
        self.assertEqual(server.json("GET", check_path("alice@yes.server.test"))[2]["returnvar"], "000")

    def test_sigterm_finishes_running_checks_and_a_restart_resumes_the_job(self):
        folder = tempfile.TemporaryDirectory(prefix="verimex-server-test.")
        self.addCleanup(folder.cleanup)
        store = os.path.join(folder.name, "jobs.sqlite")
        addresses = ["m%d@mute.server.test" % i for i in range(4)] + ["y%d@yes.server.test" % i for i in range(20)]
        server = self.start(*FAST, "-t", "10", "-j", "2", "--store", store)
        self.assertEqual(server.json("POST", "/v1/jobs", {"addresses": addresses, "name": "long", "timeout": 3})[0], 201)
        running = server.send("GET", check_path("x@mute.server.test", timeout=2))
        self.assertTrue(wait_for(lambda: server.json("GET", "/v1/jobs/long")[2]["running"] >= 1 and
                                 'verimex_checks_in_flight{source="single"} 1' in server.metrics()))
        start = time.monotonic()
        status, out, err = server.stop(signal.SIGTERM)
        self.assertEqual((status, out.strip()), (0, "verimex-server: stopped"), err)
        self.assertLess(time.monotonic() - start, 10)
        status, _, body = server.answer(running)
        self.assertEqual((status, json.loads(body)["returnvar"]), (200, "ERROR: timeout after 2 seconds."))
        # Started again on the same store, without the job's settings (they were that process's): the
        # workers finish the job.
        server = self.start(*FAST, "-j", "4", "-t", "2", "--store", store)
        self.assertTrue(wait_for(lambda: (lambda s: s["done"] == s["total"])(server.json("GET", "/v1/jobs/long")[2]),
                                 timeout=60))
        rows = server.rows("/v1/jobs/long/results")
        self.assertEqual([r["address"] for r in rows], addresses)
        self.assertTrue(all(r["state"] == "done" for r in rows))
        self.assertEqual(sum(r["verified"] for r in rows), 20)

    def test_exit_statuses(self):
        holder = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(holder.close)
        store = ["--listen", "127.0.0.1:0", "--store"]
        cases = [  # arguments, exit status, what stderr holds
            (["--listen", "127.0.0.1:%d" % holder.getsockname()[1]], 3, b"cannot listen"),
            (store + ["/nonexistent-folder/jobs.sqlite"], 3, b"^verimex-server: "),
            (store + ["postgresql://nobody@127.0.0.1:1/none"], 3, b"^verimex-server: "),
        ] + [(args, 2, b"^verimex-server: ") for args in [["--listen", "nowhere"], ["--listen", "1.2.3.4:99999"],
                                                           ["-t", "40000"], ["-j", "0"], ["--bogus"]]]
        for args, code, message in cases:
            with self.subTest(args=args), tempfile.TemporaryDirectory() as folder:
                run = subprocess.run([SERVER, *args], capture_output=True, timeout=30, cwd=folder)
                self.assertEqual(run.returncode, code)
                self.assertRegex(run.stderr, message)
