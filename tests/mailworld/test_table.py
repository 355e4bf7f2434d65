"""The table of expectations (expectations.py) against the mail world, one
world per class:

  TodaysVrfy     verimex-check with VRFY: the component's answers, as the
                 table records them
  EngineCheck    verimex-check --json --method auto|rcpt
  EnginePython   the Python module's verimex.verify()
  EngineHttp     verimex-server's /v1/check
  EngineBatch    every row once alone (verimex.verify()) and once in a
                 batch with the other rows of its domain
                 (verimex.verify_many()): the verdicts are the same;
                 and verimex-check's bulk run, whose sessions are shared
                 too, gives the table's verdicts

Environment: VERIMEX_CHECK (verimex-check), VERIMEX_SERVER (verimex-server),
PYTHONPATH with the built Python module. Run inside
tests/netns/run --zones tests/mailworld/world.zones.
"""

import json
import os
import re
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

import expectations
import world
from expectations import ANY

CHECK = os.environ.get("VERIMEX_CHECK", "verimex-check")
SERVER = os.environ.get("VERIMEX_SERVER", "verimex-server")
# Each wait of a check; the DNS rows that never get an answer take a few.
LIMIT = "5"
METHODS = ("auto", "rcpt")


class WorldCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.world = world.World().start()
        cls.plan = cls.world.plan

    @classmethod
    def tearDownClass(cls):
        cls.world.stop()


class TodaysVrfy(WorldCase):
    """What verimex-check answers today, by VRFY, for every row that records it."""

    def test_rows(self):
        helptext = subprocess.run([CHECK, "--help"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  text=True).stdout
        # Once the engine is in, VRFY is one method of several.
        method = ["--method", "vrfy"] if "--method" in helptext else []
        asked = set()
        for row in expectations.ROWS:
            if row.vrfy is None or row.options or row.address in asked:
                continue
            asked.add(row.address)
            with self.subTest(row=row.name):
                proc = subprocess.run([CHECK, "-t", LIMIT] + method + [row.address], stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True, timeout=60)
                self.assertEqual(proc.stdout, "%s: %s\n" % (row.address, row.vrfy), proc.stderr)
                self.assertEqual(proc.returncode, 1)


class EngineTable:
    """The rows through one host; a subclass gives check()."""

    def check(self, address, method, options):
        """The report of one check as a dict of the JSON members, and the
        whole output as text (to look for a leaked password)."""
        raise NotImplementedError

    def skip_row(self, row):
        return None

    def _compare(self, row, method, report, verdict, reason):
        self.assertEqual((report["verdict"], report["reason"]), (verdict, reason), report.get("transcript"))
        deliverable = verdict == "deliverable"
        self.assertEqual(report["verified"], deliverable)
        # "000" exactly when deliverable.
        self.assertEqual(report["returnvar"] == "000", deliverable, report["returnvar"])
        if (verdict, reason) != (row.verdict, row.reason):
            return  # a retried row: its other columns are the first try's
        self.assertFalse(report["disposable"])
        for member in ("catch_all", "tls", "mx", "code", "enhanced", "role_account"):
            want = getattr(row, member)
            if want is not ANY:
                self.assertEqual(report[member], want, member)
        by = row.auto_by if method == "auto" or row.auto_by in (None, ANY) else "rcpt"
        if by is not ANY:
            self.assertEqual(report["method"], by, "method")

    def test_rows(self):
        runs = {}
        retries = []
        for row in expectations.ROWS:
            why = self.skip_row(row)
            if why:
                print("%s: skipped: %s" % (row.name, why))
                continue
            for method in METHODS:
                run = runs[row.name] = runs.get(row.name, -1) + 1
                address = expectations.fresh_greylisted(row, run)
                with self.subTest(row=row.name, method=method):
                    report, output = self.check(address, method, row.options)
                    self.assertEqual(report["address"], address)
                    self.assertNotIn(world.PROXY_PASSWORD, output)
                    self._compare(row, method, report, row.verdict, row.reason)
                if row.retry:
                    retries.append((time.monotonic(), row, method, address))
        # Greylisted addresses once more, after the delay: now they pass.
        for asked, row, method, address in retries:
            time.sleep(max(0.0, asked + world.GREYLIST_DELAY + 0.5 - time.monotonic()))
            with self.subTest(row=row.name, method=method, attempt=2):
                report, _ = self.check(address, method, row.options)
                self._compare(row, method, report, *row.retry)


class EngineCheck(EngineTable, WorldCase):
    def check(self, address, method, options):
        argv = [CHECK, "--json", "-t", LIMIT, "--method", method]
        if "tls" in options:
            argv += ["--tls", options["tls"]]
        if "proxy" in options:
            argv += ["--proxy", expectations.proxy_url(self.plan, options["proxy"])]
        if options.get("catch_all") is False:
            argv.append("--no-catch-all")
        proc = subprocess.run(argv + [address], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              timeout=120)
        lines = proc.stdout.splitlines()
        self.assertEqual(len(lines), 1, proc.stdout + proc.stderr)
        report = json.loads(lines[0])
        # The exit status keeps its meaning: 0 only when deliverable.
        self.assertEqual(proc.returncode, 0 if report["verdict"] == "deliverable" else 1, proc.stderr)
        return report, proc.stdout + proc.stderr


def _plain(value):
    """An enum member or a string, as the report's word."""
    if value is None or isinstance(value, (str, bool, int)):
        return value
    for attr in ("value", "name"):
        word = getattr(value, attr, None)
        if isinstance(word, str):
            return word
    return str(value)


class EnginePython(EngineTable, WorldCase):
    @classmethod
    def setUpClass(cls):
        import verimex
        cls.verimex = verimex
        super().setUpClass()

    def check(self, address, method, options):
        kw = {"method": method, "timeout": int(LIMIT)}
        if "tls" in options:
            kw["tls"] = options["tls"]
        if "proxy" in options:
            kw["proxy"] = expectations.proxy_url(self.plan, options["proxy"])
        if "catch_all" in options:
            kw["catch_all"] = options["catch_all"]
        result = self.verimex.verify(address, **kw)
        members = ("address", "returnvar", "verified", "transcript", "error", "method", "verdict", "reason",
                   "mx", "code", "enhanced", "catch_all", "tls", "role_account", "disposable")
        if isinstance(result, dict):
            report = {m: _plain(result[m]) for m in members}
        else:
            report = {m: _plain(getattr(result, m)) for m in members}
        return report, repr(report)


class EngineHttp(EngineTable, WorldCase):
    """A proxy is the server's own (--proxy): a server is started for each proxy the rows name, beside the one
    that connects directly."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.cwd = tempfile.TemporaryDirectory(prefix="verimex-world-server.")
        cls.servers = {}  # proxy URL ("" for none) -> (process, base URL, file of its standard error)

    @classmethod
    def tearDownClass(cls):
        for proc, _, err in cls.servers.values():
            proc.terminate()
            proc.wait(timeout=30)
            proc.stdout.close()
            err.close()
        cls.cwd.cleanup()
        super().tearDownClass()

    def base(self, proxy):
        if proxy not in self.servers:
            folder = tempfile.mkdtemp(dir=self.cwd.name)
            err = tempfile.TemporaryFile(prefix="verimex-world-server-err.")
            # The world's mail servers sit on loopback, which the server refuses unless told.
            argv = [SERVER, "--listen", "127.0.0.1:0", "-t", LIMIT, "--mx-interval", "0", "--allow-private-mx"]
            proc = subprocess.Popen(argv + (["--proxy", proxy] if proxy else []), stdout=subprocess.PIPE,
                                    stderr=err, cwd=folder)
            line = proc.stdout.readline().decode()
            m = re.match(r"verimex-server: listening on (http://127\.0\.0\.1:\d+/)$", line.strip())
            if not m:
                proc.kill()
                proc.wait()
                raise RuntimeError("verimex-server did not start: %r" % line)
            self.servers[proxy] = proc, m.group(1), err
        return self.servers[proxy][1]

    def check(self, address, method, options):
        query = {"email": address, "method": method}
        if "tls" in options:
            query["tls"] = options["tls"]
        if options.get("catch_all") is False:
            query["catch_all"] = "false"
        proxy = expectations.proxy_url(self.plan, options["proxy"]) if "proxy" in options else ""
        url = self.base(proxy) + "v1/check?" + urllib.parse.urlencode(query)
        with urllib.request.urlopen(url, timeout=120) as res:
            text = res.read().decode()
        # Nor may the password reach the server's log.
        err = self.servers[proxy][2]
        err.seek(0)
        return json.loads(text), text + err.read().decode(errors="replace")


if __name__ == "__main__":
    unittest.main()


class EngineBatch(WorldCase):
    """Shared sessions give what sessions of their own give: every row is
    checked alone, then with every other row of its domain (and options)
    in one verify_many() call, and the two verdicts and reasons are the same,
    and the table's."""

    @classmethod
    def setUpClass(cls):
        import verimex
        cls.verimex = verimex
        super().setUpClass()

    def _kw(self, method, options):
        kw = {"method": method, "timeout": int(LIMIT)}
        if "tls" in options:
            kw["tls"] = options["tls"]
        if "proxy" in options:
            kw["proxy"] = expectations.proxy_url(self.plan, options["proxy"])
        if "catch_all" in options:
            kw["catch_all"] = options["catch_all"]
        return kw

    def test_rows_alone_and_in_batches(self):
        for method in METHODS:
            # postgrey greylists each (client, sender, recipient) once: its
            # row needs an address of its own for each of the two checks,
            # and the world has three users; it is asked with method auto.
            rows = [r for r in expectations.ROWS if not (r.retry and method != "auto")]
            alone = {}
            for row in rows:
                address = expectations.fresh_greylisted(row, 0)
                alone[row.name] = self.verimex.verify(address, **self._kw(method, row.options))
            groups = {}
            for row in rows:
                domain = row.address.split("@", 1)[1]
                key = (domain, tuple(sorted(row.options.items())))
                groups.setdefault(key, []).append(row)
            for (domain, _), members in groups.items():
                addresses = [expectations.fresh_greylisted(r, 1) for r in members]
                reports = self.verimex.verify_many(addresses, **self._kw(method, members[0].options))
                self.assertEqual(len(reports), len(members))
                for row, address, report in zip(members, addresses, reports):
                    with self.subTest(row=row.name, method=method, batch=len(members)):
                        single = alone[row.name]
                        self.assertEqual(report.address, address)
                        self.assertEqual((report.verdict, report.reason), (single.verdict, single.reason),
                                         report.transcript + "\n---- alone:\n" + single.transcript)
                        self.assertEqual((report.verdict, report.reason), (row.verdict, row.reason))
                        self.assertEqual(report.mx, single.mx)
                        self.assertEqual(report.code, single.code)
                        self.assertEqual(report.verified, single.verified)
                        self.assertNotIn(world.PROXY_PASSWORD, repr(report.as_dict()))
                        if expectations.fresh_greylisted(row, 0) in single.transcript:
                            # Its own command is in its transcript too.
                            self.assertIn(address, report.transcript)

    def test_a_bulk_run_of_verimex_check_keeps_every_verdict(self):
        # verimex-check's own bulk run, which puts the addresses of one domain in shared sessions, against the
        # table's verdicts (those of sessions of their own, as EngineCheck shows). Rows with options of their own
        # or a greylisting to wait out are left to the batches above.
        rows, seen = [], set()
        for row in expectations.ROWS:
            if not row.options and not row.retry and row.address not in seen:
                seen.add(row.address)
                rows.append(row)
        for method in METHODS:
            proc = subprocess.run([CHECK, "--json", "-t", LIMIT, "--method", method, "-j", "8"] +
                                  [r.address for r in rows], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True, timeout=600)
            reports = {r["address"]: r for r in map(json.loads, proc.stdout.splitlines())}
            self.assertEqual(sorted(reports), sorted(r.address for r in rows), proc.stderr)
            for row in rows:
                with self.subTest(row=row.name, method=method):
                    report = reports[row.address]
                    self.assertEqual((report["verdict"], report["reason"]), (row.verdict, row.reason),
                                     report["transcript"])
