"""A throw-away PostgreSQL cluster for the server's fleet test: initdb in
a temporary folder, the server run as the unprivileged "postgres" user on
127.0.0.1 only (inside the private network), stopped by its pid and
removed at the end. Needs root and Debian's postgresql package."""

import os
import pwd
import shutil
import subprocess
import tempfile
import time

BIN = "/usr/lib/postgresql/15/bin"


def unavailable():
    """Why a cluster cannot be had here; empty when it can."""
    if os.geteuid() != 0:
        return "needs root to run the server as the postgres user"
    try:
        pwd.getpwnam("postgres")
    except KeyError:
        return "no postgres user (package postgresql)"
    if not os.path.exists(os.path.join(BIN, "initdb")):
        return "no initdb in %s (package postgresql)" % BIN
    return ""


class Cluster:
    def __init__(self, port=55433):
        self.port = port
        self.dir = tempfile.mkdtemp(prefix="verimex-server-pg.")
        user = pwd.getpwnam("postgres")
        os.chown(self.dir, user.pw_uid, user.pw_gid)

        def as_postgres():
            os.setsid()
            os.setgroups([])
            os.setgid(user.pw_gid)
            os.setuid(user.pw_uid)

        self._as_postgres = as_postgres
        data = os.path.join(self.dir, "data")
        self._run([BIN + "/initdb", "-D", data, "-A", "trust", "-U", "verimex", "-E", "UTF8", "--no-locale",
                   "--no-sync"])
        log = open(os.path.join(self.dir, "server.log"), "ab")
        self.proc = subprocess.Popen(
            [BIN + "/postgres", "-D", data, "-k", self.dir, "-h", "127.0.0.1", "-p", str(port), "-c", "fsync=off",
             "-c", "max_connections=100"], stdout=log, stderr=log, cwd=self.dir, preexec_fn=as_postgres)
        log.close()
        for _ in range(600):
            if subprocess.run([BIN + "/pg_isready", "-q", "-h", "127.0.0.1", "-p", str(port)]).returncode == 0:
                break
            if self.proc.poll() is not None:
                raise RuntimeError("postgres ended at start-up; see %s/server.log" % self.dir)
            time.sleep(0.05)
        else:
            raise RuntimeError("postgres did not come up")
        self._run([BIN + "/createdb", "-h", "127.0.0.1", "-p", str(port), "-U", "verimex", "verimex"])

    def _run(self, argv):
        subprocess.run(argv, check=True, cwd=self.dir, preexec_fn=self._as_postgres, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def uri(self):
        return "postgresql://verimex@127.0.0.1:%d/verimex" % self.port

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(2)  # fast shutdown
            self.proc.wait(timeout=30)
        shutil.rmtree(self.dir, ignore_errors=True)
