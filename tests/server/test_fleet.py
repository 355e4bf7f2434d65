"""verimex-server on a PostgreSQL store, its workers and a verimex-check
worker sharing one job: every address checked once, by one or the other,
and the server's export shows them all. A real PostgreSQL, started by the
test in a temporary folder, inside the private network with scripted mail
servers."""

import json
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from serverlib import ServerTest, wait_for

CHECK = os.environ.get("VERIMEX_CHECK", "")
PG = "/usr/lib/postgresql/15/bin/"


class Cluster:
    """A throw-away cluster: initdb in a temporary folder, the server run as
    the unprivileged "postgres" user on 127.0.0.1 only, stopped by its pid
    and removed at the end."""

    def __init__(self, port=55433):
        self.uri = "postgresql://verimex@127.0.0.1:%d/verimex" % port
        self.dir = tempfile.mkdtemp(prefix="verimex-server-pg.")
        user = pwd.getpwnam("postgres")
        os.chown(self.dir, user.pw_uid, user.pw_gid)

        def as_postgres():
            os.setsid()
            os.setgroups([])
            os.setgid(user.pw_gid)
            os.setuid(user.pw_uid)

        def run(*argv):
            subprocess.run(argv, check=True, cwd=self.dir, preexec_fn=as_postgres, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

        data = os.path.join(self.dir, "data")
        run(PG + "initdb", "-D", data, "-A", "trust", "-U", "verimex", "-E", "UTF8", "--no-locale", "--no-sync")
        with open(os.path.join(self.dir, "server.log"), "ab") as log:
            self.proc = subprocess.Popen(
                [PG + "postgres", "-D", data, "-k", self.dir, "-h", "127.0.0.1", "-p", str(port), "-c", "fsync=off",
                 "-c", "max_connections=100"], stdout=log, stderr=log, cwd=self.dir, preexec_fn=as_postgres)
        for _ in range(600):
            if subprocess.run([PG + "pg_isready", "-q", "-h", "127.0.0.1", "-p", str(port)]).returncode == 0:
                break
            if self.proc.poll() is not None:
                raise RuntimeError("postgres ended at start-up; see %s/server.log" % self.dir)
            time.sleep(0.05)
        else:
            raise RuntimeError("postgres did not come up")
        run(PG + "createdb", "-h", "127.0.0.1", "-p", str(port), "-U", "verimex", "verimex")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(2)  # fast shutdown
            self.proc.wait(timeout=30)
        shutil.rmtree(self.dir, ignore_errors=True)


class Fleet(ServerTest):
    def test_server_and_verimex_check_share_a_job(self):
        if os.geteuid() != 0 or not os.path.exists(PG + "initdb"):
            self.skipTest("needs root, to run PostgreSQL as its own user, and Debian's postgresql package")
        cluster = Cluster()
        self.addCleanup(cluster.stop)
        server = self.start("--store", cluster.uri, "-j", "1", "-t", "10", "--mx-interval", "0", "--per-mx", "8")
        # Enough that the server's one worker is far from done when the
        # second worker starts.
        addresses = ["u%03d@yes.server.test" % i for i in range(150)] + ["v%03d@no.server.test" % i for i in range(50)]
        status, _, body = server.json("POST", "/v1/jobs", body={"addresses": addresses, "name": "fleet"})
        self.assertEqual((status, body), (201, {"job": "fleet", "added": 200, "duplicates": 0}))
        # A worker of its own joins the job on the same store, as one on
        # another machine would, and leaves when the job is done.
        run = subprocess.run([CHECK, "--store", cluster.uri, "--job", "fleet", "-j", "4", "-t", "10",
                              "--mx-interval", "0", "--per-mx", "8", "--json"],
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        self.assertIn(run.returncode, (0, 1), run.stderr)
        by_check = [json.loads(line)["address"] for line in run.stdout.decode().splitlines()]
        self.assertTrue(wait_for(lambda: server.json("GET", "/v1/jobs/fleet")[2]["done"] == 200, timeout=60))
        results = server.json("GET", "/v1/jobs/fleet")[2]["results"]
        self.assertEqual((results["verified"], results["rejected"]), (150, 50))
        rows = server.rows("/v1/jobs/fleet/results")
        self.assertEqual([r["address"] for r in rows], addresses)
        self.assertTrue(all(r["attempts"] == 1 and r["state"] == "done" for r in rows))
        # Both took part, and nothing was checked twice.
        by_server = sum(int(n) for n in re.findall(r'^verimex_checks_total\{source="job",result="[a-z_]+"\} (\d+)$',
                                                   server.metrics(), re.M))
        self.assertEqual(len(set(by_check)), len(by_check))
        self.assertEqual(by_server + len(by_check), 200)
        self.assertGreater(by_server, 0)
        self.assertGreater(len(by_check), 0)


if __name__ == "__main__":
    unittest.main()
