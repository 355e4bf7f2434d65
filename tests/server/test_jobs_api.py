"""verimex-server's job routes through a real HTTP client against the real
server and a real SQLite store, inside the private network with scripted
mail servers (server.zones)."""

import csv
import io
import json
import os
import shutil
import signal
import tempfile
import time
import unittest
import urllib.parse

from serverlib import JSON, REJECT, ServerTest, wait_for

# Fast for tests: no pause between two checks of one mail server.
FAST = ["--mx-interval", "0", "--per-mx", "8", "-f", "tester.server.test"]


def quoted(name):
    return urllib.parse.quote(name, safe="")


class Jobs(ServerTest):
    # No --store: the default file in the working folder.
    args = FAST + ["-t", "10", "-j", "4"]

    def post(self, body, headers=None, query=""):
        return self.server.json("POST", "/v1/jobs" + query, body=body, headers=headers)

    def status(self, name):
        return self.server.json("GET", "/v1/jobs/" + quoted(name))

    def wait_done(self, name, timeout=60):
        self.assertTrue(wait_for(lambda: (lambda s: s[0] == 200 and s[2]["done"] == s[2]["total"])(self.status(name)),
                                 timeout=timeout, step=0.1), self.status(name))
        return self.status(name)[2]

    def results(self, name, **params):
        query = urllib.parse.urlencode(params)
        return "/v1/jobs/%s/results%s" % (quoted(name), "?" + query if query else "")

    def test_a_job_from_post_to_results(self):
        addresses = ["alice@yes.server.test", "bob@no.server.test", "carol@down.server.test",
                     "dave@nomx.server.test", "alice@yes.server.test", "a\r\nquit@yes.server.test"]
        status, head, body = self.post({"addresses": addresses, "name": "flow"})
        self.assertEqual((status, body), (201, {"job": "flow", "added": 5, "duplicates": 1}))
        self.assertEqual(head["Location"], "/v1/jobs/flow")
        self.assertEqual(self.wait_done("flow"), {
            "job": "flow", "total": 5, "done": 5, "due": 0, "running": 0, "deferred": 0,
            "results": {"verified": 1, "rejected": 1, "could_not_connect": 1, "no_mail_server": 1, "timed_out": 0,
                        "other_errors": 1}})
        self.assertTrue(os.path.exists(os.path.join(self.server.cwd, "verimex-jobs.sqlite")))

        status, head, body = self.server.request("GET", self.results("flow", format="jsonl"))
        self.assertEqual(status, 200)
        self.assertTrue(head["Content-Type"].startswith("application/x-ndjson"))
        rows = [json.loads(line) for line in body.decode().splitlines()]
        self.assertEqual([r["address"] for r in rows], addresses[:4] + addresses[5:])
        self.assertEqual(set(rows[0]), {"address", "returnvar", "verified", "transcript", "error", "state",
                                        "attempts", "checked_at"})
        self.assertEqual([r["returnvar"] for r in rows],
                         ["000", REJECT + "\r\n", "ERROR: could not connect to mail server",
                          "999 - could not find a mail server for the adress", "ERROR: invalid email address"])
        self.assertTrue(all(r["state"] == "done" and r["attempts"] == 1 for r in rows))
        self.assertIn("helo tester.server.test\r\n", rows[0]["transcript"])

        status, head, body = self.server.request("GET", self.results("flow", format="csv"))
        self.assertEqual(status, 200)
        self.assertTrue(head["Content-Type"].startswith("text/csv"))
        self.assertEqual(head["Content-Disposition"], 'attachment; filename="flow.csv"')
        table = list(csv.reader(io.StringIO(body.decode(), newline="")))
        self.assertEqual(table[0][:4], ["address", "returnvar", "verified", "transcript"])
        self.assertEqual([row[0] for row in table[1:]], [r["address"] for r in rows])
        self.assertEqual(table[2][1], REJECT + "\r\n")  # quoted, line end and all

        # Pages of the same export.
        for offset, limit, want in [(0, 2, rows[:2]), (2, 2, rows[2:4]), (4, 10, rows[4:]), (9, 1, []), (1, 0, [])]:
            with self.subTest(offset=offset, limit=limit):
                self.assertEqual(self.server.rows(self.results("flow", format="jsonl", offset=offset, limit=limit)),
                                 want)

        self.assertIn("flow", self.server.json("GET", "/v1/jobs")[2]["jobs"])
        text = self.server.metrics()
        for pattern in [r'^verimex_jobs [1-9]\d*$', r'^verimex_job_addresses\{state="done"\} [1-9]\d*$',
                        r'^verimex_checks_total\{source="job",result="verified"\} [1-9]\d*$']:
            self.assertRegex(text, "(?m)" + pattern)
        # A job without a name gets one.
        status, head, reply = self.post({"addresses": ["alice@yes.server.test"]})
        self.assertEqual(status, 201)
        self.assertRegex(reply["job"], r"^job-\d{8}-\d{6}-[0-9a-f]{6}$")
        self.assertEqual(self.wait_done(reply["job"])["results"]["verified"], 1)

    def test_plain_text_list_and_job_settings(self):
        body = b"# a list\n\n  alice@yes.server.test  \r\nx@mute.server.test\n"
        status, _, reply = self.post(body, headers={"Content-Type": "text/plain; charset=utf-8"},
                                     query="?name=plain&timeout=1&from=other.example")
        self.assertEqual((status, reply), (201, {"job": "plain", "added": 2, "duplicates": 0}))
        self.wait_done("plain", timeout=30)
        rows = self.server.rows(self.results("plain"))
        self.assertEqual(rows[0]["returnvar"], "000")
        self.assertIn("helo other.example\r\n", rows[0]["transcript"])
        self.assertEqual(rows[1]["returnvar"], "ERROR: timeout after 1 seconds.")
        # Added to an existing job: repeats are counted, not added.
        status, _, reply = self.post({"addresses": ["alice@yes.server.test", "new@yes.server.test"], "name": "plain"})
        self.assertEqual(reply, {"job": "plain", "added": 1, "duplicates": 1})

    def test_bad_requests(self):
        self.post({"addresses": ["alice@yes.server.test"], "name": "there"})

        def one(**fields):
            return json.dumps(dict({"addresses": ["a@b"]}, **fields)).encode()

        # error: the whole body's, or with a trailing "*" its start
        posts = [(b"not json", "bad JSON: *"), (b'{"addresses": ["a@b\xff"]}', "bad JSON: *"),
                 (b"[]", "expected a JSON object"), (b'{"addresses": []}', "addresses: none given"),
                 (one(name=5), "name: expected a string"), (one(**{"from": []}), "from: expected a string"),
                 (one(timeout=601), "timeout: longer than the lease*")]
        posts += [(body, "addresses: expected an array of strings")
                  for body in [b'{"addresses": "a@b"}', b'{"addresses": [1]}', b'{"addresses": [""]}', b"{}"]]
        posts += [(one(timeout=t), "timeout: expected a whole number of seconds from 0 to 32767")
                  for t in [-1, "5", 1.5]]
        posts += [(one(name=n), "name: 1 to 200 bytes*") for n in ["a/b", "", "a\nb", "n" * 201]]
        cases = [("POST", "/v1/jobs", body, JSON, 400, error) for body, error in posts] + [
            ("POST", "/v1/jobs", b"\n# nothing\n", {"Content-Type": "text/plain"}, 400, "addresses: none given"),
            ("POST", "/v1/jobs", b"a@b\n", {"Content-Type": "application/x-www-form-urlencoded"}, 415, "*"),
        ] + [("GET", self.results("there", **params), None, None, 400, error) for params, error in [
            ({"format": "xml"}, "format: expected jsonl or csv"), ({"format": ""}, "format: expected jsonl or csv"),
            ({"offset": "-1"}, "offset: expected a whole number from 0"),
            ({"limit": "x"}, "limit: expected a whole number from 0"),
            ({"limit": "1e3"}, "limit: expected a whole number from 0")]] + [
            (method, path, None, None, 404, "no such job") for method, path in [
                ("GET", "/v1/jobs/missing"), ("GET", "/v1/jobs/missing/results"), ("DELETE", "/v1/jobs/missing")]]
        for method, path, body, headers, code, error in cases:
            with self.subTest(method=method, path=path, body=(body or b"")[:60]):
                status, _, reply = self.server.json(method, path, body=body, headers=headers)
                self.assertEqual(status, code)
                if error.endswith("*"):
                    self.assertTrue(reply["error"].startswith(error[:-1]), reply)
                else:
                    self.assertEqual(reply, {"error": error})

    def test_delete(self):
        self.post({"addresses": ["x@mute.server.test", "alice@yes.server.test"], "name": "doomed", "timeout": 3})
        self.assertTrue(wait_for(lambda: self.status("doomed")[2]["running"] >= 1, timeout=10))
        status, _, body = self.server.json("DELETE", "/v1/jobs/doomed")
        self.assertEqual((status, body), (200, {"job": "doomed", "removed": True}))
        self.assertEqual(self.status("doomed")[0], 404)
        self.assertNotIn("doomed", self.server.json("GET", "/v1/jobs")[2]["jobs"])
        # Its abandoned check ends without bringing the job back.
        time.sleep(4)
        self.assertEqual(self.status("doomed")[0], 404)
        # The name can be used again, afresh.
        self.assertEqual(self.post({"addresses": ["alice@yes.server.test"], "name": "doomed"})[2]["added"], 1)
        self.assertEqual(self.wait_done("doomed")["total"], 1)

    def test_crafted_names_reach_no_other_job(self):
        self.post({"addresses": ["alice@yes.server.test"], "name": "alpha"})
        self.post({"addresses": ["bob@no.server.test"], "name": "al%"})
        self.wait_done("alpha")
        crafted = ["alph%", "alph_", "al_ha", "ALPHA", "alpha ", " alpha", "alpha\x00", "..", ".", "*",
                   "alpha' OR '1'='1", "' OR 1=1 --", "alpha;DROP TABLE jobs", "alpha/../alpha",
                   "../alpha", "alpha%00", "al%25", "%", "\u0430lpha"]
        for name in crafted:
            with self.subTest(name=name):
                for method, path in [("GET", "/v1/jobs/" + quoted(name)), ("GET", self.results(name)),
                                     ("DELETE", "/v1/jobs/" + quoted(name))]:
                    status, _, body = self.server.request(method, path)
                    self.assertEqual(status, 404, (method, path, body))
                    self.assertNotIn(b"alice", body)
        # Both are whole.
        self.assertEqual(self.status("alpha")[2]["total"], 1)
        self.assertEqual(self.status("al%")[2]["total"], 1)
        self.assertEqual([r["address"] for r in self.server.rows(self.results("al%"))], ["bob@no.server.test"])


class Restart(ServerTest):
    def test_sigterm_leaves_the_job_resumable(self):
        folder = tempfile.mkdtemp(prefix="verimex-server-test.")
        self.addCleanup(shutil.rmtree, folder)
        store = os.path.join(folder, "jobs.sqlite")
        addresses = ["m%d@mute.server.test" % i for i in range(4)] + ["y%d@yes.server.test" % i for i in range(20)]
        server = self.start(*FAST, "-t", "10", "-j", "2", "--store", store)
        status, _, _ = server.json("POST", "/v1/jobs", body={"addresses": addresses, "name": "long", "timeout": 3})
        self.assertEqual(status, 201)
        self.assertTrue(wait_for(lambda: server.json("GET", "/v1/jobs/long")[2]["running"] >= 1, timeout=10))
        start = time.monotonic()
        code, out, err = server.stop(signal.SIGTERM)
        self.assertEqual(code, 0, err)
        self.assertLess(time.monotonic() - start, 10)

        # Started again on the same store, without the job's settings
        # (they were this process's): the workers take it up again.
        server = self.start(*FAST, "-j", "4", "-t", "2", "--store", store)
        self.assertTrue(wait_for(
            lambda: (lambda s: s["done"] == s["total"])(server.json("GET", "/v1/jobs/long")[2]), timeout=60))
        rows = server.rows("/v1/jobs/long/results")
        self.assertEqual([r["address"] for r in rows], addresses)
        self.assertTrue(all(r["state"] == "done" for r in rows))
        self.assertEqual(sum(r["verified"] for r in rows), 20)


if __name__ == "__main__":
    unittest.main()
