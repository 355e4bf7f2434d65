"""verimex-server on a real PostgreSQL store (started by the test in a temporary folder), its workers and a
verimex-check worker sharing one job: every address checked once, by one or the other, and all exported."""

import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import tempfile

from serverlib import ServerTest, wait_for

CHECK = os.environ.get("VERIMEX_CHECK", "")
PG = "/usr/lib/postgresql/15/bin/"
PORT = "55433"


class Fleet(ServerTest):
    def start_postgres(self):
        """initdb and postgres as the unprivileged "postgres" user, on 127.0.0.1 only."""
        folder = tempfile.mkdtemp(prefix="verimex-server-pg.")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        os.chown(folder, pwd.getpwnam("postgres").pw_uid, pwd.getpwnam("postgres").pw_gid)
        quiet = dict(cwd=folder, user="postgres", group="postgres", extra_groups=[], start_new_session=True,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        data, at = os.path.join(folder, "data"), ["-h", "127.0.0.1", "-p", PORT]
        subprocess.run([PG + "initdb", "-D", data, "-A", "trust", "-U", "verimex", "-E", "UTF8", "--no-locale",
                        "--no-sync"], check=True, **quiet)
        proc = subprocess.Popen([PG + "postgres", "-D", data, "-k", folder, *at, "-c", "fsync=off"], **quiet)
        self.addCleanup(proc.wait, timeout=30)
        self.addCleanup(proc.send_signal, signal.SIGINT)  # fast shutdown
        self.assertTrue(wait_for(lambda: proc.poll() is None and subprocess.run([PG + "pg_isready", "-q", *at])
                                 .returncode == 0, timeout=30, step=0.05), "postgres did not come up")
        subprocess.run([PG + "createdb", *at, "-U", "verimex", "verimex"], check=True, **quiet)
        return "postgresql://verimex@127.0.0.1:%s/verimex" % PORT

    def test_server_and_verimex_check_share_a_job(self):
        if os.geteuid() != 0 or not os.path.exists(PG + "initdb"):
            self.skipTest("needs root, to run PostgreSQL as its own user, and Debian's postgresql package")
        uri = self.start_postgres()
        fast = ["-t", "10", "--mx-interval", "0", "--per-mx", "8"]
        server = self.start("--store", uri, "-j", "1", *fast)
        # Enough that the server's one worker is far from done when the second worker starts.
        addresses = ["u%03d@yes.server.test" % i for i in range(150)] + ["v%03d@no.server.test" % i for i in range(50)]
        status, _, body = server.json("POST", "/v1/jobs", body={"addresses": addresses, "name": "fleet"})
        self.assertEqual((status, body), (201, {"job": "fleet", "added": 200, "duplicates": 0}))
        # A worker of its own joins the job on the store, as one on another machine would, and leaves at its end.
        run = subprocess.run([CHECK, "--store", uri, "--job", "fleet", "-j", "4", *fast, "--json"],
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
        self.assertTrue(by_server > 0 and len(by_check) > 0, by_server)

