"""The verification engine's benches: what one RCPT check costs as a whole
process against a real Postfix, how many checks a second a bulk run does
against slow scripted servers next to the Python pools a user would write,
and the scale table of bulk runs over lists of many domains.

usage (inside tests/netns/run, as root):
    engine_bench.py BIN_DIR single [ROUNDS]   one check as a whole process
    engine_bench.py BIN_DIR throughput        -j 1000 against the 500 ms servers
    engine_bench.py BIN_DIR scale             the scale table (and politeness)
    engine_bench.py zones                     print bench/engine.zones
Prints Markdown; appends its targets to $VERIMEX_BENCH_TARGETS. The scale
table's long runs (both servers, -j 100 to 5,000, the politeness table)
run only with VERIMEX_BENCH_SCALE=full; by default it takes the -j 1000
rows against the 500 ms servers, so scripts/bench stays short
(VERIMEX_BENCH_POLITE=1 adds the politeness table to them). Bulk runs
reuse SMTP sessions; VERIMEX_BENCH_NO_REUSE set adds rows of one
session per address (`--recipients-per-session 1`) beside the `--method
rcpt` rows (the connections-per-address column tells which is which); a
value that starts with "-" names other verimex-check options for them.

Each bench runs in a mount namespace of its own with a dnsmasq of its own
on 127.0.0.2 (bench/engine.zones, every query logged to a file, so a table
can count DNS queries per address) as /etc/resolv.conf's only server. The
single-check bench adds a namespace-private /etc/passwd with the user
alice for its Postfix. Rows of verimex-check options that the program does
not have yet (read from its --help) say so instead of giving a figure.
Where the library has the engine, bench/engine_preview.cpp drives
verimex::verify directly and its rows are labelled as a preview: the
engine's cost without verimex-check's, beside the targets, not in them.
"""

import os
import random
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
PYTHON = "/usr/bin/python3"
sys.path.insert(0, HERE)

from scale_bench import cpu_ms_of, fixed, load1, target, wait_quiet  # noqa: E402

ZONES = os.path.join(HERE, "engine.zones")
DNS_ADDRESS = "127.0.0.2"
DNS_TTL = 300
POSTFIX_INSTANCE = os.path.join(REPO, "tests", "support", "postfix-instance")
POSTFIX_ADDRESS = "127.1.0.10"
STOCK_DOMAIN = "stock.engine.bench.test"
HELO = "verimex.engine.bench.test"
POOL = os.path.join(HERE, "python_rcpt_pool.py")
TIME_LIMIT_S = 30  # -t of verimex-check, the socket timeout of the pools
RUN_LIMIT_S = 600  # a client still running after this is stopped and reported

# The scripted servers: one per domain of the longer list, on 127.1.V.K.
SERVERS = {
    "fast": {"title": "500 ms / 50 ms", "greeting": 500, "reply": 50, "net": 1},
    "slow": {"title": "3 s / 200 ms", "greeting": 3000, "reply": 200, "net": 2},
}
# The lists: name -> (addresses, domains).
LISTS = {"A": (4000, 200), "B": (10000, 50)}
MAX_DOMAINS = 200


def not_measured(what, goal):
    """A target's row in $VERIMEX_BENCH_TARGETS when the program lacks the
    options to measure it: said so, neither met nor missed."""
    path = os.environ.get("VERIMEX_BENCH_TARGETS")
    if path:
        with open(path, "a") as f:
            f.write("%s\tnot measured: verimex-check has no --method yet\t%s\tnot measured\tproject\n"
                    % (what, goal))


def mx_address(kind, k):
    return "127.1.%d.%d" % (SERVERS[kind]["net"], k + 1)


def domain_of(list_name, kind, k):
    return "%s%d.%s.engine.bench.test" % (list_name.lower(), k, kind)


def address_list(list_name, kind):
    count, domains = LISTS[list_name]
    return ["user%d@%s" % (i, domain_of(list_name, kind, i % domains)) for i in range(count)]


def zones_text():
    lines = ["# Zones of bench/engine_bench.py, written by `engine_bench.py zones`.",
             "# The stock Postfix of the single-check bench, then for each scripted",
             "# server speed the domains of list A (a0-a199) and list B (b0-b49),",
             "# each domain with a mail exchanger of its own; b<K> shares the",
             "# address of a<K>'s, as only one list runs at a time. Every other",
             "# name under test is answered here (NXDOMAIN, or no data for a",
             "# type not given), as the private network's own dnsmasq does.",
             "# test is served as a published zone is, with authority (dnsmasq's",
             "# auth mode, for queries to 127.0.0.2): a name without the type",
             "# asked for is answered NODATA with the zone's SOA, which a resolver",
             "# may keep (RFC 2308), not with a bare empty answer; 127.0.0.0/8",
             "# gives the reverse names of the mail exchangers.",
             "local=/test/",
             "auth-server=ns.engine.bench.test,%s" % DNS_ADDRESS,
             "auth-zone=test,127.0.0.0/8",
             "mx-host=%s,mx.%s,10" % (STOCK_DOMAIN, STOCK_DOMAIN),
             "host-record=mx.%s,%s" % (STOCK_DOMAIN, POSTFIX_ADDRESS)]
    for kind in SERVERS:
        for list_name, (_, domains) in LISTS.items():
            for k in range(domains):
                domain = domain_of(list_name, kind, k)
                lines.append("mx-host=%s,mx.%s,10" % (domain, domain))
                lines.append("host-record=mx.%s,%s" % (domain, mx_address(kind, k)))
    return "\n".join(lines) + "\n"


# ---- the namespace: our dnsmasq, our resolv.conf, our passwd ----------------

class Namespace:
    """Set up once per bench process, inside the mount namespace it was
    started in (see main): the counting dnsmasq and the files mounted over
    /etc. Everything it starts is stopped by pid in close()."""

    def __init__(self, with_alice=False, extra_zones=""):
        self.dir = tempfile.mkdtemp(prefix="verimex-engine-bench.")
        self.log = os.path.join(self.dir, "dnsmasq.log")
        zones = os.path.join(self.dir, "zones.conf")
        with open(ZONES) as f, open(zones, "w") as out:
            out.write(f.read() + extra_zones)
        # The zone's records, and its SOA's, live DNS_TTL seconds (a
        # published zone's usual five minutes; VERIMEX_BENCH_DNS_TTL=S
        # another), so its answers may live in the clients' caches.
        ttl = os.environ.get("VERIMEX_BENCH_DNS_TTL") or str(DNS_TTL)
        # dnsmasq answers with authority only for queries that arrive at an
        # address of an interface: 127.0.0.2 is otherwise only routed to lo.
        subprocess.call(["ip", "addr", "add", DNS_ADDRESS + "/8", "dev", "lo"], stderr=subprocess.DEVNULL)
        self.dnsmasq = subprocess.Popen(
            ["dnsmasq", "--keep-in-foreground", "--conf-file=" + zones, "--no-resolv", "--no-hosts",
             "--no-poll", "--listen-address=" + DNS_ADDRESS, "--bind-interfaces", "--port=53",
             "--log-queries", "--log-facility=" + self.log, "--pid-file=" + os.path.join(self.dir, "pid"),
             "--cache-size=10000", "--local-ttl=" + ttl, "--auth-ttl=" + ttl])
        resolv = os.path.join(self.dir, "resolv.conf")
        with open(resolv, "w") as f:
            f.write("nameserver %s\noptions timeout:1 attempts:3\n" % DNS_ADDRESS)
        subprocess.check_call(["mount", "--bind", resolv, "/etc/resolv.conf"])
        if with_alice:
            passwd = os.path.join(self.dir, "passwd")
            with open("/etc/passwd") as f:
                text = f.read()
            if not re.search(r"^alice:", text, re.M):
                text += "alice:x:61001:61001::/nonexistent:/usr/sbin/nologin\n"
            with open(passwd, "w") as f:
                f.write(text)
            os.chmod(passwd, 0o644)
            subprocess.check_call(["mount", "--bind", passwd, "/etc/passwd"])
        self._wait_for_dns()

    def _wait_for_dns(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if subprocess.call(["nslookup", "-type=MX", STOCK_DOMAIN, DNS_ADDRESS],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) == 0:
                return
            time.sleep(0.1)
        raise SystemExit("engine bench: dnsmasq on %s did not answer" % DNS_ADDRESS)

    def queries(self):
        """DNS queries dnsmasq has logged so far: query[TYPE] lines, and
        auth[TYPE] for those its own zone answered."""
        try:
            with open(self.log, errors="replace") as f:
                return sum(1 for line in f if " query[" in line or " auth[" in line)
        except OSError:
            return 0

    def close(self):
        self.dnsmasq.terminate()
        self.dnsmasq.wait()
        subprocess.call(["rm", "-rf", self.dir])


# ---- running a client -----------------------------------------------------------

class Result:
    pass


def run(argv, stdin_text="", limit=RUN_LIMIT_S):
    """Runs argv once, its input from a file, its output to files (no pipe
    the child could block on), and returns wall ms, CPU ms (its own and its
    reaped children's, from wait4), peak RSS KiB, exit status and output."""
    with tempfile.TemporaryFile() as stdin, tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        stdin.write(stdin_text.encode())
        stdin.seek(0)
        actions = [(os.POSIX_SPAWN_DUP2, stdin.fileno(), 0), (os.POSIX_SPAWN_DUP2, out.fileno(), 1),
                   (os.POSIX_SPAWN_DUP2, err.fileno(), 2)]
        start = time.monotonic()
        pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
        r = Result()
        r.timed_out = False

        def stop():
            r.timed_out = True
            os.kill(pid, signal.SIGKILL)
        timer = threading.Timer(limit, stop)
        timer.start()
        _, status, usage = os.wait4(pid, 0)
        r.wall_ms = (time.monotonic() - start) * 1000.0
        timer.cancel()
        r.cpu_ms = (usage.ru_utime + usage.ru_stime) * 1000.0
        r.rss_kib = usage.ru_maxrss
        r.status = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        r.out = out.read().decode(errors="replace")
        r.err = err.read().decode(errors="replace")
        return r


def help_of(bin_dir):
    try:
        return subprocess.run([os.path.join(bin_dir, "verimex-check"), "--help"], capture_output=True,
                              text=True, timeout=30).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ""


def has_method(help_text):
    return "--method" in help_text


def verimex_argv(bin_dir, method, jobs, extra=()):
    argv = [os.path.join(bin_dir, "verimex-check"), "-t", str(TIME_LIMIT_S), "-f", HELO, "--no-progress"]
    if method:
        argv += ["--method", method]
    if jobs > 1:
        argv += ["-j", str(jobs)]
    return argv + list(extra)


def preview_argv(bin_dir, method, jobs):
    """The engine through bench/engine_preview.cpp, where it was built: a
    preview of what verimex-check --method will do, labelled so; None
    where the library has no engine yet."""
    program = os.path.join(bin_dir, "verimex_engine_preview")
    if not os.access(program, os.X_OK):
        return None
    return [program, "--method", method, "-j", str(jobs), "-t", str(TIME_LIMIT_S), "-f", HELO]


def preview_target(what, shown, goal, met):
    """A preview's figure against a target: shown beside the targets, kept
    as a yardstick, since it is not verimex-check's."""
    return target("preview (engine_preview, not verimex-check): " + what, shown, goal, met, kind="yardstick")


def pool_argv(kind, concurrency, extra=()):
    return [PYTHON, POOL, kind, str(concurrency), str(TIME_LIMIT_S)] + list(extra)


def outcomes(client, out):
    """Counts of deliverable addresses and of those that ended with no answer
    from DNS (dns_error, no_mail_server, or VRFY's 999 text)."""
    deliverable = dead = 0
    if client.startswith("python"):
        for name, count in re.findall(r"(\w+) (\d+)", out):
            if name == "deliverable":
                deliverable = int(count)
            elif name in ("dns_error", "no_mail_server"):
                dead += int(count)
        return deliverable, dead
    for line in out.splitlines():
        result = line.rpartition("@")[2].partition(": ")[2]
        if result == "000" or result.startswith("deliverable"):
            deliverable += 1
        elif (result.startswith("unknown dns_error") or result.startswith("undeliverable no_mail_server")
              or "could not find a mail server" in result):
            dead += 1
    return deliverable, dead


# ---- 1. one check as a whole process ---------------------------------------------

def single(bin_dir, rounds):
    print("\n### 9. One RCPT check as a whole process, against the floor\n")
    ns = Namespace(with_alice=True)
    postfix_dir = tempfile.mkdtemp(prefix="verimex-engine-postfix.")
    started = False
    try:
        subprocess.check_call([POSTFIX_INSTANCE, "start", postfix_dir, POSTFIX_ADDRESS, STOCK_DOMAIN],
                              stdout=subprocess.DEVNULL)
        started = True
        address = "alice@" + STOCK_DOMAIN
        other = "nosuchuser7@" + STOCK_DOMAIN
        method = has_method(help_of(bin_dir))
        clients = [
            ("do-nothing", "the start of a static do-nothing program",
             [os.path.join(bin_dir, "verimex_do_nothing")], ""),
            ("floor", "raw socket dialog in process (connect, EHLO, MAIL, RCPT, RCPT, QUIT)",
             [os.path.join(bin_dir, "verimex_smtp_floor"), POSTFIX_ADDRESS, "25", HELO, address, other], ""),
            ("vrfy", "`verimex-check --method vrfy ADDRESS` (the component)",
             verimex_argv(bin_dir, "vrfy" if method else None, 1) + [address], ""),
            ("auto", "`verimex-check --method auto ADDRESS`",
             verimex_argv(bin_dir, "auto", 1) + [address] if method else None, ""),
            ("preview", "preview: `verimex::verify` method auto through `bench/engine_preview.cpp`",
             preview_argv(bin_dir, "auto", 1) + [address] if preview_argv(bin_dir, "auto", 1) else None, ""),
            # Where a preview check's time goes: the same process given a
            # malformed address does no lookup and no connection.
            ("preview-start", "preview, its start alone: a malformed address (no lookup, no connection)",
             preview_argv(bin_dir, "auto", 1) + ["not-an-address"] if preview_argv(bin_dir, "auto", 1) else None, ""),
            ("python", "Python smtplib probe process (dnspython, EHLO/MAIL/RCPT/RCPT/QUIT)",
             pool_argv("threads", 1), address + "\n"),
        ]
        samples = {name: [] for name, *_ in clients}
        loads = [wait_quiet()]
        # Three warm-up rounds: Postfix starts its smtpd processes, caches fill.
        for round_no in range(rounds + 3):
            order = clients[round_no % len(clients):] + clients[:round_no % len(clients)]
            for name, _, argv, text in order:
                if argv is None:
                    continue
                r = run(argv, text, limit=60)
                if round_no < 3:
                    continue
                inner = None
                if name == "floor":
                    fields = r.out.split()
                    inner = float(fields[1]) / 1000.0 if len(fields) >= 3 and fields[0] == "floor" else None
                samples[name].append((r.wall_ms, r.cpu_ms, inner, r.status, r.out.strip()))
        loads.append(load1())
    finally:
        if started:
            subprocess.call([POSTFIX_INSTANCE, "stop", postfix_dir], stdout=subprocess.DEVNULL)
        ns.close()

    def median(name, index):
        values = [s[index] for s in samples[name] if s[index] is not None]
        return statistics.median(values) if values else None

    start_ms = median("do-nothing", 0)
    dialog_ms = median("floor", 2)
    floor = start_ms + dialog_ms if start_ms is not None and dialog_ms is not None else None
    print("Against a stock Postfix 3.7 (`tests/support/postfix-instance`, VRFY on, so `auto` goes on "
          "with RCPT after VRFY's 252) on %s, known user alice; %d interleaved rounds (the order rotated "
          "each round, after three warm-up rounds), medians. Wall time and CPU from outside (posix_spawn "
          "to wait4; CPU is the process's and its reaped children's). Load (1 min) at the start / end: "
          "%s / %s.\n" % (POSTFIX_ADDRESS, rounds, loads[0], loads[1]))
    print("| client | wall ms | CPU ms | wall / floor | what it printed |\n|---|---:|---:|---:|---|")
    print("| **floor**: start of a static program + in-process dialog | %s | | 1.00 | %s ms + %s ms |"
          % (fixed(floor, 2), fixed(start_ms, 2), fixed(dialog_ms, 2)))
    for name, title, argv, _ in clients:
        if argv is None:
            print("| %s | not measured: %s | | | |"
                  % (title, "the library has no engine yet" if name.startswith("preview")
                     else "verimex-check has no --method yet"))
            continue
        wall, cpu = median(name, 0), median(name, 1)
        said = samples[name][-1][4].replace("|", "\\|")[:80] if samples[name] else ""
        extra = " (in process: %s ms)" % fixed(dialog_ms, 2) if name == "floor" else ""
        print("| %s | %s%s | %s | %s | `%s` |" % (title, fixed(wall, 2), extra, fixed(cpu, 2),
                                                fixed(wall / floor, 2), said))
    print()
    print("| target | measured | result |\n|---|---:|---:|")
    if method and samples["auto"]:
        wall, cpu = median("auto", 0), median("auto", 1)
        print("| `--method auto` as a whole process: wall at most 2 x the floor | %s x (%s ms against %s ms) | %s |"
              % (fixed(wall / floor, 2), fixed(wall, 2), fixed(floor, 2),
                 target("engine: one auto check, wall against the floor", fixed(wall / floor, 2) + "x",
                        "<= 2x", wall <= 2 * floor)))
        print("| `--method auto` as a whole process: CPU at most 1.0 ms | %s ms | %s |"
              % (fixed(cpu, 2), target("engine: one auto check, CPU", fixed(cpu, 2) + " ms", "<= 1.0 ms",
                                       cpu <= 1.0)))
    else:
        for what, goal in (("wall at most 2 x the floor", "<= 2x"), ("CPU at most 1.0 ms", "<= 1.0 ms")):
            print("| `--method auto` as a whole process: %s | not measured: verimex-check has no --method yet "
                  "| not measured |" % what)
            not_measured("engine: one auto check, " + what, goal)
    if samples["preview"]:
        wall, cpu = median("preview", 0), median("preview", 1)
        print("| preview, the engine through `bench/engine_preview.cpp`: wall at most 2 x the floor | %s x | %s |"
              % (fixed(wall / floor, 2), preview_target("one auto check, wall against the floor",
                                                         fixed(wall / floor, 2) + "x", "<= 2x", wall <= 2 * floor)))
        print("| preview, the engine through `bench/engine_preview.cpp`: CPU at most 1.0 ms | %s ms | %s |"
              % (fixed(cpu, 2), preview_target("one auto check, CPU", fixed(cpu, 2) + " ms", "<= 1.0 ms", cpu <= 1.0)))
    wall = median("vrfy", 0)
    print("\nFor reference, the component's check (`--method vrfy`) takes %s x the floor, and the Python probe "
          "process %s x." % (fixed(wall / floor, 2), fixed(median("python", 0) / floor, 2)))


# ---- 2 and 3. bulk runs against the counting servers --------------------------------

class Servers:
    """The scripted servers of one speed (counting_servers.py), stopped by pid."""

    def __init__(self, kind):
        self.kind = kind
        setup = SERVERS[kind]
        self.proc = subprocess.Popen(
            [PYTHON, os.path.join(HERE, "counting_servers.py"), str(setup["greeting"]), str(setup["reply"])]
            + [mx_address(kind, k) for k in range(MAX_DOMAINS)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.proc.stdout.readline().strip() != "ready":
            raise SystemExit("engine bench: the %s servers did not start" % kind)

    def counts(self):
        self.proc.stdin.write("count\n")
        self.proc.stdin.flush()
        words = self.proc.stdout.readline().split()
        return int(words[1]), int(words[3])

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def bulk_row(ns, servers, client, title, argv, addresses, concurrency, stdin_text=None, polite=None):
    """One bulk run with every column the tables show; argv None: a row that
    says why it was not measured. polite: (per-mx, interval ms, mail
    servers), the limits the ideal is then bound by as well."""
    row = {"client": client, "title": title, "jobs": concurrency, "count": len(addresses),
           "server": SERVERS[servers.kind]["title"]}
    if argv is None:
        row["missing"] = True
        return row
    setup = SERVERS[servers.kind]
    row["load"] = wait_quiet()
    connections0, lines0 = servers.counts()
    queries0 = ns.queries()
    server_ms0 = cpu_ms_of(servers.proc.pid)
    r = run(argv, stdin_text if stdin_text is not None else "\n".join(addresses) + "\n")
    connections1, lines1 = servers.counts()
    n = len(addresses)
    connections, lines = connections1 - connections0, lines1 - lines0
    row.update({
        "wall": r.wall_ms / 1000.0, "rate": n / (r.wall_ms / 1000.0), "cpu": r.cpu_ms / n,
        "rss": r.rss_kib / 1024.0, "conn": connections / n, "dns": (ns.queries() - queries0) / n,
        "server_cpu": (cpu_ms_of(servers.proc.pid) - server_ms0) / n, "status": r.status,
        "timed_out": r.timed_out, "err": r.err.strip().splitlines()[:2],
    })
    row["deliverable"], row["dead"] = outcomes(client, r.out)
    # A session of the scripted server lasts at least its greeting plus one
    # reply delay per command line; the ideal client runs `concurrency` of
    # the sessions it needs at once and nothing else.
    per_conn = lines / connections if connections else 0
    session_s = (setup["greeting"] + setup["reply"] * per_conn) / 1000.0
    row["commands"] = per_conn
    row["ideal"] = concurrency / (session_s * (connections / n)) if connections else 0.0
    if polite and connections:
        # Each mail server starts a session at most once an interval and
        # holds at most per-mx of them at once.
        per_mx, interval_ms, mail_servers = polite
        sessions_per_s = mail_servers * min(1000.0 / interval_ms, per_mx / session_s)
        row["ideal"] = min(row["ideal"], sessions_per_s / (connections / n))
    sys.stderr.write("engine bench: %s %s -j %d: %.0f checks/s, %.2f ms CPU each, %d/%d deliverable\n"
                     % (row["server"], title, concurrency, row["rate"], row["cpu"], row["deliverable"], n))
    return row


BULK_HEADER = ["server", "client", "-j", "addresses", "wall s", "checks/s", "ideal checks/s", "of ideal",
               "CPU ms per address", "peak RSS MiB", "SMTP connections per address", "commands per session",
               "DNS queries per address", "server CPU ms per address", "dns_error / no_mail_server",
               "deliverable", "load (1 min)"]


def print_rows(rows):
    print("| " + " | ".join(BULK_HEADER) + " |")
    print("|" + "---|" * 2 + "---:|" * (len(BULK_HEADER) - 2))
    for r in rows:
        if r.get("missing"):
            why = "the library has no engine yet" if r["client"] == "preview" else "verimex-check has no --method yet"
            print("| %s | %s | %d | %d | not measured: %s |%s"
                  % (r["server"], r["title"], r["jobs"], r["count"], why, " |" * (len(BULK_HEADER) - 5)))
            continue
        deliverable = "%d / %d" % (r["deliverable"], r["count"])
        if r["timed_out"]:
            deliverable += " (stopped after %d s)" % RUN_LIMIT_S
        elif r["status"] not in (0, None):
            deliverable += " (exit %s)" % r["status"]
        print("| " + " | ".join([
            r["server"], r["title"], str(r["jobs"]), str(r["count"]), fixed(r["wall"], 1), fixed(r["rate"], 0),
            fixed(r["ideal"], 0), fixed(100 * r["rate"] / r["ideal"], 0) + " %" if r["ideal"] else "",
            fixed(r["cpu"], 2), fixed(r["rss"], 1), fixed(r["conn"], 2), fixed(r["commands"], 1),
            fixed(r["dns"], 2), fixed(r["server_cpu"], 2), str(r["dead"]), deliverable, r["load"],
        ]) + " |")
    for r in rows:
        if not r.get("missing") and r["err"] and not r["client"].startswith("python"):
            print("\n%s at `-j %d` said on standard error: `%s`" % (r["title"], r["jobs"], " / ".join(r["err"])))


BULK_NOTE = (
    "\nCPU is the client process's with the children it reaped (wait4), per address; peak RSS is the "
    "client's (wait4's ru_maxrss). SMTP connections and command lines are counted by the scripted "
    "servers (one asyncio process, `bench/counting_servers.py`), DNS queries by the bench's own "
    "dnsmasq (`--log-queries`), server CPU from /proc. The ideal is what a client with no cost of its "
    "own would do with the same sessions: `-j` sessions at once, each lasting the greeting plus one "
    "reply delay per command it sends, times the sessions it needs per address. The Python pools remember "
    "a domain's catch-all probe for the run, as the engine does. Each client's time limit per wait is %d s."
    % TIME_LIMIT_S)


def throughput(bin_dir):
    print("\n### 10. RCPT checks in bulk: `verimex-check --method rcpt -j 1000` against the Python pools\n")
    method = has_method(help_of(bin_dir))
    ns = Namespace()
    servers = Servers("fast")
    addresses = address_list("A", "fast")
    rows = []
    try:
        plans = [
            ("vrfy", "`verimex-check --method vrfy -j 1000` (the component)",
             verimex_argv(bin_dir, "vrfy" if method else None, 1000), 1000),
            ("rcpt", "`verimex-check --method rcpt -j 1000`",
             verimex_argv(bin_dir, "rcpt", 1000) if method else None, 1000),
            ("preview", "preview: `verimex::verify` method rcpt, 1,000 threads (`bench/engine_preview.cpp`)",
             preview_argv(bin_dir, "rcpt", 1000), 1000),
            ("python-asyncio", "Python asyncio, aiosmtplib, 1,000 tasks", pool_argv("asyncio", 1000), 1000),
            ("python-threads", "Python threads, smtplib, 500", pool_argv("threads", 500), 500),
            ("python-threads", "Python threads, smtplib, 1,000", pool_argv("threads", 1000), 1000),
        ]
        for client, title, argv, jobs in plans:
            rows.append(bulk_row(ns, servers, client, title, argv, addresses, jobs))
    finally:
        servers.close()
        ns.close()
    print("List A: %d addresses over %d domains, each domain with a mail server of its own (scripted, "
          "taught RCPT: greeting after 500 ms, every reply after 50 ms); one session per address; the "
          "clients run one after the other in this run.\n" % LISTS["A"])
    print_rows(rows)
    print(BULK_NOTE)
    measured = [r for r in rows if not r.get("missing")]
    best = max((r for r in measured if r["client"].startswith("python")), key=lambda r: r["rate"])
    print("\n| target | measured | result |\n|---|---:|---:|")
    rcpt = next(r for r in rows if r["client"] == "rcpt")
    if rcpt.get("missing"):
        for what, goal in (("at least 2 x the best Python pool", ">= 2x"), ("CPU per check", "<= 0.5 ms"),
                           ("share of the ideal", ">= 80 %"), ("dns_error / no_mail_server", "0")):
            print("| `--method rcpt -j 1000`: %s | not measured: verimex-check has no --method yet | "
                  "not measured |" % what)
            not_measured("engine: rcpt -j 1000, " + what, goal)
    else:
        ratio = rcpt["rate"] / best["rate"]
        share = rcpt["rate"] / rcpt["ideal"] if rcpt["ideal"] else 0
        print("| `--method rcpt -j 1000`: at least 2 x the best Python pool | %s x (%s against %s checks/s, %s) | %s |"
              % (fixed(ratio, 2), fixed(rcpt["rate"], 0), fixed(best["rate"], 0), best["title"],
                 target("engine: rcpt -j 1000 against the best Python pool", fixed(ratio, 2) + "x", ">= 2x",
                        ratio >= 2)))
        print("| `--method rcpt -j 1000`: CPU at most 0.5 ms per check | %s ms | %s |"
              % (fixed(rcpt["cpu"], 2), target("engine: rcpt -j 1000, CPU per check", fixed(rcpt["cpu"], 2) + " ms",
                                              "<= 0.5 ms", rcpt["cpu"] <= 0.5)))
        print("| `--method rcpt -j 1000`: at least 80 %% of the ideal | %s %% | %s |"
              % (fixed(100 * share, 0), target("engine: rcpt -j 1000, share of the ideal",
                                                fixed(100 * share, 0) + " %", ">= 80 %", share >= 0.8)))
        print("| `--method rcpt -j 1000`: no check ends dns_error or no_mail_server | %d | %s |"
              % (rcpt["dead"], target("engine: rcpt -j 1000, dns_error / no_mail_server", str(rcpt["dead"]),
                                      "0", rcpt["dead"] == 0)))
    preview = next(r for r in rows if r["client"] == "preview")
    if not preview.get("missing"):
        ratio = preview["rate"] / best["rate"]
        share = preview["rate"] / preview["ideal"] if preview["ideal"] else 0
        for what, shown, goal, met in (
                ("rcpt -j 1000 against the best Python pool", fixed(ratio, 2) + "x", ">= 2x", ratio >= 2),
                ("rcpt -j 1000, CPU per check", fixed(preview["cpu"], 2) + " ms", "<= 0.5 ms", preview["cpu"] <= 0.5),
                ("rcpt -j 1000, share of the ideal", fixed(100 * share, 0) + " %", ">= 80 %", share >= 0.8),
                ("rcpt -j 1000, dns_error / no_mail_server", str(preview["dead"]), "0", preview["dead"] == 0)):
            print("| preview, the engine through `bench/engine_preview.cpp`: %s | %s | %s |"
                  % (what, shown, preview_target(what, shown, goal, met)))
    vrfy = next(r for r in rows if r["client"] == "vrfy")
    print("\nFor reference: the component's VRFY path does %s checks/s at %s ms CPU per check, %s x the best "
          "Python pool (%s)." % (fixed(vrfy["rate"], 0), fixed(vrfy["cpu"], 2),
                                 fixed(vrfy["rate"] / best["rate"], 2), best["title"]))


def scale(bin_dir):
    full = os.environ.get("VERIMEX_BENCH_SCALE") == "full"
    # The politeness table alone, beside the -j 1000 rows: VERIMEX_BENCH_POLITE=1.
    polite_table = full or os.environ.get("VERIMEX_BENCH_POLITE") == "1"
    print("\n### 11. The scale table: two lists, two server speeds, `-j` 100 to 5,000\n")
    method = has_method(help_of(bin_dir))
    # Bulk runs reuse sessions by default: with VERIMEX_BENCH_NO_REUSE set,
    # a row of one session per address beside them.
    no_reuse = os.environ.get("VERIMEX_BENCH_NO_REUSE", "").split()
    if no_reuse and not no_reuse[0].startswith("-"):
        no_reuse = ["--recipients-per-session", "1"]
    kinds = list(SERVERS) if full else ["fast"]
    job_counts = [100, 1000, 5000] if full else [1000]
    ns = Namespace()
    rows = []
    try:
        for kind in kinds:
            servers = Servers(kind)
            try:
                for list_name in LISTS:
                    addresses = address_list(list_name, kind)
                    for jobs in job_counts:
                        rows.append(bulk_row(ns, servers, "vrfy", "list %s: `--method vrfy`" % list_name,
                                             verimex_argv(bin_dir, "vrfy" if method else None, jobs),
                                             addresses, jobs))
                        rows.append(bulk_row(ns, servers, "rcpt", "list %s: `--method rcpt`" % list_name,
                                             verimex_argv(bin_dir, "rcpt", jobs) if method else None,
                                             addresses, jobs))
                        if method and no_reuse:
                            rows.append(bulk_row(ns, servers, "rcpt-single",
                                                 "list %s: `--method rcpt %s`" % (list_name, " ".join(no_reuse)),
                                                 verimex_argv(bin_dir, "rcpt", jobs, no_reuse), addresses, jobs))
                        # The bench's own host of the engine, a yardstick: at -j 1000 only.
                        if jobs == 1000 and preview_argv(bin_dir, "rcpt", jobs):
                            rows.append(bulk_row(ns, servers, "preview",
                                                 "list %s: preview, `verimex::verify` method rcpt" % list_name,
                                                 preview_argv(bin_dir, "rcpt", jobs), addresses, jobs))
                        rows.append(bulk_row(ns, servers, "python", "list %s: Python asyncio pool" % list_name,
                                             pool_argv("asyncio", jobs), addresses, jobs))
                if polite_table and kind == "fast":
                    polite = politeness(bin_dir, ns, servers, method)
            finally:
                servers.close()
    finally:
        ns.close()
    print("List A: %d addresses over %d domains; list B: %d over %d; each domain with a mail server of its "
          "own, scripted and taught RCPT. `--method vrfy` is today's `verimex-check` where the program has no "
          "`--method` yet. %s\n" % (LISTS["A"] + LISTS["B"] + (
                                    "All rows (VERIMEX_BENCH_SCALE=full)." if full else
                                    "Only the `-j 1000` rows against the 500 ms servers%s: the rest of the table "
                                    "(the 3 s / 200 ms servers, `-j` 100 and 5,000%s) runs with "
                                    "`VERIMEX_BENCH_SCALE=full scripts/bench`, about an hour."
                                    % ((", and the politeness table (VERIMEX_BENCH_POLITE=1)", "")
                                       if polite_table else ("", ", and the politeness table")),)))
    print_rows(rows)
    print(BULK_NOTE)
    scale_targets(rows)
    if polite_table:
        print_politeness(polite)


def scale_targets(rows):
    """Bulk at the floor, at -j 1000 against the 500 ms servers: the worst
    of the two lists against the best Python row of the same list."""
    print("\n| target (`-j 1000`, 500 ms servers, worst of the two lists) | measured | result |\n|---|---:|---:|")
    at = [r for r in rows if r["jobs"] == 1000 and r["server"] == SERVERS["fast"]["title"]]

    def worst(client):
        found = []
        for r in at:
            if r["client"] != client or r.get("missing"):
                continue
            python = [p for p in at if p["client"] == "python" and p["title"].split(":")[0] == r["title"].split(":")[0]
                      and not p.get("missing")]
            best = max((p["rate"] for p in python), default=0.0)
            found.append((r["rate"] / best if best else 0.0, r["rate"] / r["ideal"] if r["ideal"] else 0.0, r["cpu"]))
        if not found:
            return None
        return min(f[0] for f in found), min(f[1] for f in found), max(f[2] for f in found)

    for client, checks in (("vrfy", ((">= 1.6x the best Python pool", 0, 1.6, "x"), (">= 80 % of the ideal", 1, 0.8, "%"),
                                     ("CPU <= 0.8 ms per check", 2, 0.8, "ms"))),
                           ("rcpt", ((">= 5x the best Python pool (with session reuse)", 0, 5.0, "x"),
                                     ("CPU <= 0.25 ms per address (with session reuse)", 2, 0.25, "ms")))):
        figures = worst(client)
        for what, index, goal, unit in checks:
            name = "scale table: --method %s, %s" % (client, what)
            if figures is None:
                print("| `--method %s`: %s | not measured: verimex-check has no --method yet | not measured |"
                      % (client, what))
                not_measured(name, what)
                continue
            value = figures[index]
            shown = {"x": fixed(value, 2) + "x", "%": fixed(100 * value, 0) + " %", "ms": fixed(value, 2) + " ms"}[unit]
            met = value <= goal if unit == "ms" else value >= goal
            print("| `--method %s`: %s | %s | %s |" % (client, what, shown, target(name, shown, what, met)))


def politeness(bin_dir, ns, servers, method):
    """List B with at most 2 sessions per mail server and 1 s between two
    starts: verimex-check's job run on an SQLite store, and the Python pool
    limited the same way."""
    addresses = address_list("B", servers.kind)
    limits = (2, 1000, LISTS["B"][1])
    store_dir = tempfile.mkdtemp(prefix="verimex-engine-store.")
    polite = ["--per-mx", "2", "--mx-interval", "1000"]
    rows = []
    for method_name in ("vrfy", "rcpt"):
        if method_name == "rcpt" and not method:
            rows.append(bulk_row(ns, servers, "rcpt", "`--method rcpt`, SQLite store", None, addresses, 1000))
            continue
        store = os.path.join(store_dir, "%s.sqlite" % method_name)
        argv = verimex_argv(bin_dir, method_name if method else None, 1000,
                            ["--store", store, "--job", "polite"] + polite)
        rows.append(bulk_row(ns, servers, method_name, "`--method %s`, SQLite store" % method_name, argv,
                             addresses, 1000, polite=limits))
    rows.append(bulk_row(ns, servers, "python", "Python asyncio pool, same limits",
                         pool_argv("asyncio", 1000, polite), addresses, 1000, polite=limits))
    subprocess.call(["rm", "-rf", store_dir])
    return rows


def print_politeness(rows):
    count, domains = LISTS["B"]
    print("\n#### Politeness on: `--per-mx 2 --mx-interval 1000`, list B (%d addresses, %d mail servers)\n"
          % (count, domains))
    print("At most 2 sessions at once per mail server and 1 s between the starts of two: one session per "
          "address needs at least %d / %d = %d s. The ideal here is bound by those limits as well.\n"
          % (count, domains, count // domains))
    print_rows(rows)
    print("\n| target | measured | result |\n|---|---:|---:|")
    rcpt = next(r for r in rows if r["client"] == "rcpt")
    if rcpt.get("missing"):
        print("| list B with politeness in at most 60 s, at most 0.1 connections and 0.02 DNS queries per "
              "address | not measured: verimex-check has no --method yet | not measured |")
        not_measured("engine: list B with politeness (wall, connections, DNS per address)", "<= 60 s, 0.1, 0.02")
        return
    met = rcpt["wall"] <= 60 and rcpt["conn"] <= 0.1 and rcpt["dns"] <= 0.02
    print("| list B with politeness in at most 60 s, at most 0.1 connections and 0.02 DNS queries per "
          "address | %s s, %s, %s | %s |"
          % (fixed(rcpt["wall"], 0), fixed(rcpt["conn"], 2), fixed(rcpt["dns"], 3),
             target("engine: list B with politeness (wall, connections, DNS per address)",
                    "%s s, %s, %s" % (fixed(rcpt["wall"], 0), fixed(rcpt["conn"], 2), fixed(rcpt["dns"], 3)),
                    "<= 60 s, 0.1, 0.02", met)))


def main():
    args = sys.argv[1:]
    if args == ["zones"]:
        sys.stdout.write(zones_text())
        return
    if len(args) < 2 or args[1] not in ("single", "throughput", "scale"):
        sys.exit(__doc__)
    if not os.environ.get("VERIMEX_NETNS"):
        sys.exit("engine bench: run me inside tests/netns/run")
    # A mount namespace of our own, so the files mounted over /etc are ours.
    if not os.environ.get("VERIMEX_ENGINE_BENCH_NS"):
        os.environ["VERIMEX_ENGINE_BENCH_NS"] = "1"
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", PYTHON] + [__file__] + args)
    random.seed(1)
    bin_dir = args[0]
    if args[1] == "single":
        single(bin_dir, int(args[2]) if len(args) > 2 else 30)
    elif args[1] == "throughput":
        throughput(bin_dir)
    else:
        scale(bin_dir)


if __name__ == "__main__":
    main()
