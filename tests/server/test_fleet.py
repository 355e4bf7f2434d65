"""verimex-server on a PostgreSQL store, its workers and a verimex-check
worker sharing one job: every address checked once, by one or the other,
and the server's export shows them all. A real PostgreSQL, started by the
test (pg.py), inside the private network with scripted mail servers."""

import json
import os
import re
import subprocess
import unittest

import pg
from serverlib import MailServers, Server, in_private_network, wait_for

CHECK = os.environ.get("VERIMEX_CHECK", "")


@unittest.skipUnless(in_private_network(), "runs only inside tests/netns/run")
class Fleet(unittest.TestCase):
    def setUp(self):
        why = pg.unavailable()
        if why:
            self.skipTest(why)
        self.mail = MailServers()
        self.addCleanup(self.mail.stop)
        self.cluster = pg.Cluster()
        self.addCleanup(self.cluster.stop)

    def test_server_and_verimex_check_share_a_job(self):
        server = Server("--store", self.cluster.uri(), "-j", "1", "-t", "10", "--mx-interval", "0",
                        "--per-mx", "8")
        try:
            # Enough that the server's one worker is far from done when
            # the second worker starts.
            addresses = ["u%03d@yes.server.test" % i for i in range(150)] + ["v%03d@no.server.test" % i
                                                                            for i in range(50)]
            status, _, body = server.json("POST", "/v1/jobs", body=json.dumps(
                {"addresses": addresses, "name": "fleet"}).encode(), headers={"Content-Type": "application/json"})
            self.assertEqual((status, body), (201, {"job": "fleet", "added": 200, "duplicates": 0}))
            # A worker of its own joins the job on the same store, as one on
            # another machine would, and leaves when the job is done.
            run = subprocess.run([CHECK, "--store", self.cluster.uri(), "--job", "fleet", "-j", "4", "-t", "10",
                                  "--mx-interval", "0", "--per-mx", "8", "--json"],
                                 stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
            self.assertIn(run.returncode, (0, 1), run.stderr)
            by_check = [json.loads(line)["address"] for line in run.stdout.decode().splitlines()]
            self.assertTrue(wait_for(lambda: server.json("GET", "/v1/jobs/fleet")[2]["done"] == 200, timeout=60))
            status = server.json("GET", "/v1/jobs/fleet")[2]
            self.assertEqual(status["results"]["verified"], 150)
            self.assertEqual(status["results"]["rejected"], 50)
            rows = [json.loads(line) for line in
                    server.request("GET", "/v1/jobs/fleet/results")[2].decode().splitlines()]
            self.assertEqual([r["address"] for r in rows], addresses)
            self.assertTrue(all(r["attempts"] == 1 and r["state"] == "done" for r in rows))
            # Both took part, and nothing was checked twice.
            metrics = server.request("GET", "/metrics")[2].decode()
            by_server = sum(int(n) for n in re.findall(
                r'^verimex_checks_total\{source="job",result="[a-z_]+"\} (\d+)$', metrics, re.M))
            self.assertEqual(len(set(by_check)), len(by_check))
            self.assertEqual(by_server + len(by_check), 200)
            self.assertGreater(by_server, 0)
            self.assertGreater(len(by_check), 0)
        finally:
            self.assertEqual(server.stop()[0], 0)


if __name__ == "__main__":
    unittest.main()
