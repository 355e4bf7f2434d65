"""verimex-server's log on standard error, read back after real requests and a job its workers check: one access
line per request (method, path, status, bytes, milliseconds) and one line per job event, as JSON objects with
--log-format json and as key=value text by default, each record on one line whatever the request held."""

import json
import re
import subprocess
import urllib.parse

from serverlib import SERVER, ServerTest, wait_for

FAST = ["-f", "tester.server.test", "-t", "10", "--mx-interval", "0", "--per-mx", "8"]
# Percent-decoded by the server: a line end and a forged record in the path.
HOSTILE_PATH = "/no%0D%0Aevent=access%20status=200"
PLAIN_FIELD = re.compile(r'([a-z_]+)=("(?:[^"\\]|\\.)*"|[^ "]+)')


def plain_record(line):
    """A plain line as a dict; every character of it must belong to a field."""
    fields = PLAIN_FIELD.findall(line)
    assert " ".join("%s=%s" % f for f in fields) == line, line
    return {k: json.loads(v) if v.startswith('"') else v for k, v in fields}


class Log(ServerTest):
    args = None

    def exercise(self, server):
        """Requests of every kind, a job checked to its end and removed; what each reply was."""
        replies = []
        for method, path, body in [("GET", "/healthz", None), ("GET", "/v1/check?email=alice%40yes.server.test", None),
                                   ("GET", HOSTILE_PATH, None),
                                   ("POST", "/v1/jobs", {"addresses": ["alice@yes.server.test", "bob@no.server.test"],
                                                         "name": "logged"})]:
            replies.append((method, urllib.parse.unquote(path.split("?")[0]), *server.request(method, path, body)))
        self.assertTrue(wait_for(lambda: server.json("GET", "/v1/jobs/logged")[2]["done"] == 2, timeout=30))
        for method, path in [("GET", "/v1/jobs/logged/results?format=csv"), ("HEAD", "/healthz"),
                             ("DELETE", "/v1/jobs/logged")]:
            replies.append((method, path.split("?")[0], *server.request(method, path)))
        return replies

    def check_records(self, records, replies):
        access = [r for r in records if r["event"] == "access"]
        # Every request is logged once, as it was answered (the wait_for polls aside). A streamed reply is logged
        # once its last chunk is out, which may be after the client has sent its next request.
        logged = [(r["method"], r["path"], int(r["status"]), int(r["bytes"])) for r in access
                  if (r["method"], r["path"]) != ("GET", "/v1/jobs/logged")]
        self.assertEqual(sorted(logged), sorted((m, p, status, len(body)) for m, p, status, _, body in replies))
        self.assertFalse([r for r in access if not str(r["ms"]).isdigit()], "ms: a whole number")
        checks = sorted((r["job"], r["address"], r["result"], int(r["attempt"]))
                        for r in records if r["event"] == "job_check")
        self.assertEqual(checks, [("logged", "alice@yes.server.test", "verified", 1),
                                  ("logged", "bob@no.server.test", "rejected", 1)])
        added = [r for r in records if r["event"] == "job_added"]
        self.assertEqual([(r["job"], int(r["added"]), int(r["duplicates"])) for r in added], [("logged", 2, 0)])
        self.assertEqual([r["job"] for r in records if r["event"] == "job_removed"], ["logged"])

    def test_json_lines(self):
        server = self.start(*FAST, "--log-format", "json")
        replies = self.exercise(server)
        _, _, err = server.stop()
        lines = err.splitlines()
        self.check_records([json.loads(line) for line in lines], replies)

    def test_plain_lines_by_default(self):
        server = self.start(*FAST)
        replies = self.exercise(server)
        _, _, err = server.stop()
        lines = err.splitlines()
        self.assertFalse([line for line in lines if not line.startswith("event=")], err)
        self.check_records([plain_record(line) for line in lines], replies)

    def test_a_log_format_it_does_not_know_is_a_usage_error(self):
        run = subprocess.run([SERVER, "--log-format", "xml"], capture_output=True, text=True, timeout=30)
        self.assertEqual(run.returncode, 2, run.stderr)
        self.assertIn("--log-format", run.stderr)
