"""Thousands of checks in flight: verimex-check -j 100, 1,000 and 5,000
against scripted slow mail servers (tests/support/smtp_peer.py: greeting
after 500 ms and replies after 50 ms; then greeting after 3 s and replies
after 200 ms), next to the thread pool a Python user would write
(bench/python_pool.py: dnspython and smtplib) at the same thread counts,
the two run one after the other for each count, in the same run.

usage (inside tests/netns/run --zones bench/bench.zones --zones bench/scale.zones):
    scale_bench.py BIN_DIR [--quick]
    scale_bench.py BIN_DIR --compare OTHER_BIN_DIR [ROUNDS]
Prints Markdown tables; appends its targets to $VERIMEX_BENCH_TARGETS.
--compare sets two builds of verimex-check side by side (say, before and
after a change): -j 1000 against the 500 ms server, the two taking turns
for ROUNDS rounds each (default 3), and prints each run and the medians.

Every figure comes from wait4() on the client process (its CPU, with the
lookup children it reaped; its peak resident memory; its voluntary context
switches) and from /proc for the mail server and dnsmasq. Nothing here is
a test: a missed target is reported, not failed on.
"""

import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
TICK = os.sysconf("SC_CLK_TCK")

# name, server address, greeting ms, reply ms, and per -j the number of
# addresses: enough for several rounds at the small counts, two at the
# largest, while the whole table stays within a few minutes.
SPEEDS = [
    ("500 ms / 50 ms", "fast", "127.0.0.240", 500, 50, {100: 1000, 1000: 4000, 5000: 10000}),
    ("3 s / 200 ms", "slow", "127.0.0.241", 3000, 200, {100: 400, 1000: 3000, 5000: 10000}),
]
QUICK_COUNTS = {100: 200, 1000: 1000, 5000: 5000}
JOBS = [100, 1000, 5000]
TIME_LIMIT_S = 30  # -t of verimex-check, the socket timeout of the Python pool
RUN_LIMIT_S = 240  # a client still running after this is stopped and reported


def addresses(kind, count):
    return "".join("user%d@d%d.%s.scale.bench.test\n" % (i, i % 100, kind) for i in range(count))


def load1():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


# A figure counts only from a quiet machine. The 1-minute load average
# decays with a time constant of a minute, so the bulk runs before a row
# (a thousand clients on two cores) leave it high for a few minutes.
QUIET_LOAD = float(os.environ.get("VERIMEX_BENCH_QUIET_LOAD") or (os.cpu_count() or 2) / 2)
ROW_WAIT_S = float(os.environ.get("VERIMEX_BENCH_ROW_WAIT", "300"))


def wait_quiet():
    """Waits, at most ROW_WAIT_S, for the 1-minute load to fall below
    QUIET_LOAD; returns the load the row starts at, marked when it did not."""
    deadline = time.monotonic() + ROW_WAIT_S
    while float(load1()) >= QUIET_LOAD and time.monotonic() < deadline:
        time.sleep(2)
    load = load1()
    return load if float(load) < QUIET_LOAD else "**%s (under load)**" % load


def cpu_ms_of(pid):
    """utime + stime of a process, from /proc (clock-tick resolution)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) * 1000.0 / TICK
    except OSError:
        return 0.0


def net_counters():
    """UDP receive-buffer drops and TCP listen-queue overflows in this
    network namespace so far: a burst too big for dnsmasq's socket or the
    mail server's accept queue shows here."""
    found = {}
    for path, table, names in (("/proc/net/snmp", "Udp:", ("RcvbufErrors",)),
                               ("/proc/net/netstat", "TcpExt:", ("ListenOverflows",))):
        with open(path) as f:
            lines = [line.split() for line in f if line.startswith(table)]
        for header, values in zip(lines[0::2], lines[1::2]):
            for name in names:
                if name in header:
                    found[name] = int(values[header.index(name)])
    return found.get("RcvbufErrors", 0), found.get("ListenOverflows", 0)


def pid_of(name):
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/comm" % entry) as f:
                    if f.read().strip() == name:
                        return int(entry)
            except OSError:
                pass
    return None


class Run:
    """One client over one list: its own figures and those of the server
    and dnsmasq over the same span."""

    def __init__(self, argv, stdin_text, server_pid, dnsmasq_pid):
        self.argv = argv
        server0, dns0 = cpu_ms_of(server_pid), cpu_ms_of(dnsmasq_pid or 0)
        udp0, listen0 = net_counters()
        self.load = load1()
        start = time.monotonic()
        proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.timed_out = False
        try:
            out, err = proc.communicate(stdin_text.encode(), timeout=RUN_LIMIT_S)
        except subprocess.TimeoutExpired:
            self.timed_out = True
            proc.terminate()
            out, err = proc.communicate()
        self.wall = time.monotonic() - start
        self.out = out.decode(errors="replace")
        self.err = err.decode(errors="replace")
        self.status = proc.returncode
        udp1, listen1 = net_counters()
        self.udp_drops, self.listen_overflows = udp1 - udp0, listen1 - listen0
        self.server_ms = cpu_ms_of(server_pid) - server0
        self.dns_ms = cpu_ms_of(dnsmasq_pid or 0) - dns0


def measured(argv, stdin_text, server_pid, dnsmasq_pid):
    """Runs argv with stdin_text and returns the Run with the child's
    resource use (RUSAGE_CHILDREN before and after: only this child ran)."""
    import resource
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    run = Run(argv, stdin_text, server_pid, dnsmasq_pid)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    run.cpu_ms = ((after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)) * 1000.0
    run.nvcsw = after.ru_nvcsw - before.ru_nvcsw
    # ru_maxrss of the children is the largest any child reached so far,
    # not a difference: each run's own peak is read from its line below.
    run.maxrss_kib = after.ru_maxrss
    return run


def verimex_argv(bin_dir, jobs):
    # `time -f` is not available everywhere; the peak RSS of this run alone
    # comes from a small wrapper that wait4()s for it and prints it.
    return [PYTHON, os.path.join(HERE, "scale_bench.py"), "--wait4",
            os.path.join(bin_dir, "verimex-check"), "-j", str(jobs), "-t", str(TIME_LIMIT_S),
            "-f", "verimex.scale.bench.test", "--no-progress"]


def python_argv(jobs):
    return [PYTHON, os.path.join(HERE, "scale_bench.py"), "--wait4",
            PYTHON, os.path.join(HERE, "python_pool.py"), str(jobs), str(TIME_LIMIT_S)]


def wait4_wrapper(argv):
    """Runs argv, passes its stdin and stdout through, and prints its own
    wait4() figures on stderr's last line: peak RSS KiB, CPU ms, voluntary
    context switches."""
    pid = os.fork()
    if pid == 0:
        try:
            os.execv(argv[0], argv)
        finally:
            os._exit(127)
    signal.signal(signal.SIGTERM, lambda *_: os.kill(pid, signal.SIGKILL))
    _, status, usage = os.wait4(pid, 0)
    cpu = (usage.ru_utime + usage.ru_stime) * 1000.0
    sys.stderr.write("\nwait4 %d %.1f %d\n" % (usage.ru_maxrss, cpu, usage.ru_nvcsw))
    sys.stderr.flush()
    code = os.waitstatus_to_exitcode(status)
    os._exit(code if code >= 0 else 128 - code)


def parse_wait4(run):
    for line in reversed(run.err.splitlines()):
        if line.startswith("wait4 "):
            rss, cpu, nvcsw = line.split()[1:4]
            run.rss_kib, run.cpu_ms, run.nvcsw = int(rss), float(cpu), int(nvcsw)
            run.err = run.err.replace(line, "").strip()
            return
    run.rss_kib = run.maxrss_kib


def verified_count(client, run):
    if client == "verimex":
        return sum(1 for line in run.out.splitlines() if line.endswith(": 000"))
    for line in run.out.splitlines():
        if line.startswith("verified "):
            return int(line.split()[1].rstrip(","))
    return 0


def fixed(x, digits):
    return ("%%.%df" % digits) % x


def target(what, measured_text, goal, met, kind="project"):
    path = os.environ.get("VERIMEX_BENCH_TARGETS")
    if path:
        with open(path, "a") as f:
            f.write("%s\t%s\t%s\t%s\t%s\n" % (what, measured_text, goal, "met" if met else "MISSED", kind))
    return "met" if met else "**MISSED**"


# The scripted mail server of the tests, slow the way wide-area servers are:
# it knows every user<N> mailbox, so VRFY and RCPT TO for the bench's
# addresses are answered 250 and a random mailbox 550.
SMTP_PEER = os.path.join(HERE, "..", "tests", "support", "smtp_peer.py")


def start_server(address, greeting, reply):
    setup = "%s=scripted,name=slow.scale.bench.test,greeting-ms=%d,reply-ms=%d,mailboxes=user*" % (
        address, greeting, reply)
    proc = subprocess.Popen([PYTHON, SMTP_PEER, setup], stdout=subprocess.PIPE)
    if proc.stdout.readline().strip() != b"ready":
        raise SystemExit("scale bench: the slow server on %s did not start" % address)
    return proc


def median(values):
    values = sorted(values)
    middle = len(values) // 2
    return values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2


def compare(after_dir, before_dir, rounds):
    """verimex-check -j 1000 of two builds against the 500 ms server, in
    turns: before, after, after, before, ... so neither always runs first."""
    title, kind, address, greeting, reply, counts = SPEEDS[0]
    jobs, count = 1000, counts[1000]
    dnsmasq = pid_of("dnsmasq")
    print("\n### Two builds side by side: `verimex-check -j %d` against the %s server\n" % (jobs, title))
    server = start_server(address, greeting, reply)
    rows = []
    try:
        probe = measured(verimex_argv(after_dir, 1), addresses(kind, 5), server.pid, dnsmasq)
        latency = probe.wall / 5
        text = addresses(kind, count)
        for i in range(rounds):
            order = [("before", before_dir), ("after", after_dir)]
            if i % 2:
                order.reverse()
            for name, bin_dir in order:
                run = measured(verimex_argv(bin_dir, jobs), text, server.pid, dnsmasq)
                parse_wait4(run)
                others = {}
                for line in run.out.splitlines():
                    if not line.endswith(": 000"):
                        result = line.split(": ", 1)[-1]
                        others[result] = others.get(result, 0) + 1
                rows.append({"build": name, "round": i + 1, "rate": count / run.wall, "cpu": run.cpu_ms / count,
                             "rss": run.rss_kib / 1024.0, "server": run.server_ms / count,
                             "verified": verified_count("verimex", run), "load": run.load, "others": others,
                             "drops": "%d / %d" % (run.udp_drops, run.listen_overflows)})
                sys.stderr.write("compare: round %d %s: %.0f checks/s, %.2f ms CPU each\n"
                                 % (i + 1, name, count / run.wall, run.cpu_ms / count))
    finally:
        server.terminate()
        server.wait()
    ideal = jobs / latency
    print("| round | build | checks/s | of ideal (%s/s) | CPU ms per check | peak RSS MiB | server CPU ms per check "
          "| DNS drops / accept overflows | verified | load (1 min) |" % fixed(ideal, 0))
    print("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        print("| %d | %s | %s | %s %% | %s | %s | %s | %s | %d / %d | %s |"
              % (r["round"], r["build"], fixed(r["rate"], 0), fixed(100 * r["rate"] / ideal, 0), fixed(r["cpu"], 2),
                 fixed(r["rss"], 1), fixed(r["server"], 2), r["drops"], r["verified"], count, r["load"]))
    for r in rows:
        if r["others"]:
            print("\nRound %d, %s, the results other than `000`: %s." % (r["round"], r["build"], "; ".join(
                "%d x `%s`" % (n, text) for text, n in sorted(r["others"].items(), key=lambda item: -item[1]))))
    print("\n| build | median checks/s | median CPU ms per check |\n|---|---:|---:|")
    medians = {}
    for name in ("before", "after"):
        mine = [r for r in rows if r["build"] == name]
        medians[name] = (median([r["rate"] for r in mine]), median([r["cpu"] for r in mine]))
        print("| %s | %s | %s |" % (name, fixed(medians[name][0], 0), fixed(medians[name][1], 2)))
    print("\nAfter against before: %s times the checks/s, %s times the CPU per check (medians of %d runs each, "
          "%d addresses a run; one check alone took %s ms, so the ideal is %s checks/s)."
          % (fixed(medians["after"][0] / medians["before"][0], 2), fixed(medians["after"][1] / medians["before"][1], 2),
             rounds, count, fixed(1000 * latency, 0), fixed(ideal, 0)))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--wait4":
        wait4_wrapper(sys.argv[2:])
    bin_dir = sys.argv[1]
    if len(sys.argv) > 3 and sys.argv[2] == "--compare":
        compare(bin_dir, sys.argv[3], int(sys.argv[4]) if len(sys.argv) > 4 else 3)
        return
    quick = "--quick" in sys.argv[2:]
    dnsmasq = pid_of("dnsmasq")

    print("\n### 8. Thousands of checks in flight: verimex-check against a Python thread pool\n")
    rows = []
    summary = {}
    for title, kind, address, greeting, reply, counts in SPEEDS:
        server = start_server(address, greeting, reply)
        try:
            # One check's latency, alone: the yardstick of the ideal rate.
            probe = measured(verimex_argv(bin_dir, 1), addresses(kind, 5), server.pid, dnsmasq)
            parse_wait4(probe)
            latency = probe.wall / 5
            baseline_kib = probe.rss_kib
            summary[kind] = {"latency": latency}
            for jobs in JOBS:
                count = (QUICK_COUNTS if quick else counts)[jobs]
                text = addresses(kind, count)
                ideal = jobs / latency
                # Interleaved: the two clients share the same minute of the
                # machine, the order swapped from one count to the next.
                order = ["verimex", "python"] if jobs != 1000 else ["python", "verimex"]
                for client in order:
                    argv = verimex_argv(bin_dir, jobs) if client == "verimex" else python_argv(jobs)
                    run = measured(argv, text, server.pid, dnsmasq)
                    parse_wait4(run)
                    rate = count / run.wall
                    verified = verified_count(client, run)
                    per_check_kib = (run.rss_kib - baseline_kib) / jobs if client == "verimex" else None
                    rows.append({
                        "speed": title, "kind": kind, "client": client, "jobs": jobs, "count": count,
                        "rate": rate, "ideal": ideal, "cpu": run.cpu_ms / count, "rss": run.rss_kib / 1024.0,
                        "per_check_kib": per_check_kib, "nvcsw": run.nvcsw / count,
                        "server": run.server_ms / count, "dns": run.dns_ms / count, "verified": verified,
                        "load": run.load, "timed_out": run.timed_out, "status": run.status,
                        "drops": "%d / %d" % (run.udp_drops, run.listen_overflows),
                        "err": run.err.strip().splitlines()[:2],
                    })
                    sys.stderr.write("scale bench: %s %s -j %d: %.0f checks/s, %.2f ms CPU each, %d/%d verified\n"
                                     % (title, client, jobs, rate, run.cpu_ms / count, verified, count))
        finally:
            server.terminate()
            server.wait()

    header = ["server (greeting / reply)", "client", "-j", "addresses", "checks/s", "ideal checks/s",
              "of ideal", "CPU ms per check", "peak RSS MiB", "RSS KiB per check in flight",
              "voluntary switches per check", "server CPU ms per check", "dnsmasq CPU ms per check",
              "DNS drops / accept overflows", "verified", "load (1 min)"]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * 2 + "---:|" * (len(header) - 2))
    for r in rows:
        client = "`verimex-check`" if r["client"] == "verimex" else "Python pool (dnspython + smtplib)"
        verified = "%d / %d" % (r["verified"], r["count"])
        if r["timed_out"]:
            verified += " (stopped after %d s)" % RUN_LIMIT_S
        elif r["status"] not in (0, None):
            verified += " (exit %s)" % r["status"]
        print("| " + " | ".join([
            r["speed"], client, str(r["jobs"]), str(r["count"]), fixed(r["rate"], 0), fixed(r["ideal"], 0),
            fixed(100 * r["rate"] / r["ideal"], 0) + " %", fixed(r["cpu"], 2), fixed(r["rss"], 1),
            fixed(r["per_check_kib"], 1) if r["per_check_kib"] is not None else "",
            fixed(r["nvcsw"], 1), fixed(r["server"], 2), fixed(r["dns"], 2), r["drops"], verified, r["load"],
        ]) + " |")
    for r in rows:
        if r["err"] and r["client"] == "verimex":
            print("\n`verimex-check -j %d` said: `%s`" % (r["jobs"], " / ".join(r["err"])))
    print("\nOne check alone took %s ms against the 500 ms server and %s ms against the 3 s one "
          "(`verimex-check -j 1` over five addresses); the ideal rate is `-j` divided by that. CPU is the "
          "client process's with the lookup children it reaped (wait4), per address; peak RSS is the "
          "client's; RSS per check in flight is its peak less that of the `-j 1` run, over `-j`. The mail "
          "server (one asyncio process) and dnsmasq are measured from /proc over each run, and so are the "
          "UDP datagrams dropped for a full receive buffer (dnsmasq's) and the TCP connections dropped for a "
          "full accept queue (the mail server's). Each client's time limit per check is %d s."
          % (fixed(1000 * summary["fast"]["latency"], 0), fixed(1000 * summary["slow"]["latency"], 0),
             TIME_LIMIT_S))

    # Targets.
    print("\n| target | measured | result |\n|---|---:|---:|")
    verimex_rows = [r for r in rows if r["client"] == "verimex"]
    worst_cpu = max(r["cpu"] for r in verimex_rows)
    print("| CPU per check at every `-j`, both servers, at most 1.0 ms | worst %s ms | %s |"
          % (fixed(worst_cpu, 2), target("scale: CPU per check, every -j, both servers",
                                         fixed(worst_cpu, 2) + " ms", "<= 1.0 ms", worst_cpu <= 1.0)))
    fast_1000 = next(r for r in verimex_rows if r["kind"] == "fast" and r["jobs"] == 1000)
    python_fast = [r for r in rows if r["client"] == "python" and r["kind"] == "fast" and not r["timed_out"]]
    best_python = max((r["rate"] for r in python_fast), default=0.0)
    ratio = fast_1000["rate"] / best_python if best_python else float("inf")
    print("| 500 ms server, `-j 1000`: at least 2x the best Python rate | %s x (%s against %s checks/s) | %s |"
          % (fixed(ratio, 2), fixed(fast_1000["rate"], 0), fixed(best_python, 0),
             target("scale: 500 ms server, -j 1000, against the best Python pool", fixed(ratio, 2) + "x",
                    ">= 2x", ratio >= 2.0)))
    share = fast_1000["rate"] / fast_1000["ideal"]
    print("| 500 ms server, `-j 1000`: at least 80 %% of the ideal | %s %% | %s |"
          % (fixed(100 * share, 0), target("scale: 500 ms server, -j 1000, share of the ideal",
                                            fixed(100 * share, 0) + " %", ">= 80 %", share >= 0.8)))
    slow_5000 = next(r for r in verimex_rows if r["kind"] == "slow" and r["jobs"] == 5000)
    share = slow_5000["rate"] / slow_5000["ideal"]
    print("| 3 s server, `-j 5000`: at least 90 %% of the ideal | %s %% | %s |"
          % (fixed(100 * share, 0), target("scale: 3 s server, -j 5000, share of the ideal",
                                            fixed(100 * share, 0) + " %", ">= 90 %", share >= 0.9)))
    per_check = max(r["per_check_kib"] for r in verimex_rows if r["jobs"] == 1000)
    print("| resident memory per check in flight at `-j 1000`, at most 128 KiB | %s KiB | %s |"
          % (fixed(per_check, 1), target("scale: RSS per check in flight at -j 1000", fixed(per_check, 1) + " KiB",
                                         "<= 128 KiB", per_check <= 128)))


if __name__ == "__main__":
    main()
