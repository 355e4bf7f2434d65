"""Checks the instruments of bench/engine_bench.py before its figures are
trusted: the counting servers count what was said, the floor program does
the dialog it claims, and the Python pools classify what they are told
(a known mailbox, an unknown one, a domain that does not exist), with and
without politeness. A wrong count here would make every table lie.

usage (inside tests/netns/run, as root): engine_bench_check.py BIN_DIR
Prints "engine bench check: N passed, 0 failed" and exits 0, or names each
failed case and exits 1.
"""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import engine_bench as bench  # noqa: E402


def main():
    bin_dir = sys.argv[1]
    if not os.environ.get("VERIMEX_NETNS"):
        sys.exit("engine bench check: run me inside tests/netns/run")
    if not os.environ.get("VERIMEX_ENGINE_BENCH_NS"):
        os.environ["VERIMEX_ENGINE_BENCH_NS"] = "1"
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", bench.PYTHON, __file__] + sys.argv[1:])
    failed = []
    passed = 0

    def expect(what, got, wanted):
        nonlocal passed
        if got == wanted:
            passed += 1
        else:
            failed.append("%s: got %r, wanted %r" % (what, got, wanted))

    domain = "a0.check.engine.bench.test"
    server = "127.1.9.1"
    ns = bench.Namespace(extra_zones="mx-host=%s,mx.%s,10\nhost-record=mx.%s,%s\n" % (domain, domain, domain, server))
    # Quick servers: the checks are of counts and codes, not of time.
    bench.SERVERS["check"] = {"title": "check", "greeting": 0, "reply": 0, "net": 9}
    servers = bench.Servers("check")
    try:
        # The floor: one connection, five command lines, the codes of both RCPTs.
        c0, l0 = servers.counts()
        r = bench.run([os.path.join(bin_dir, "verimex_smtp_floor"), server, "25", bench.HELO,
                       "user1@" + domain, "nosuchuser7@" + domain])
        c1, l1 = servers.counts()
        expect("floor: exit status", r.status, 0)
        expect("floor: RCPT codes", r.out.split()[3:5], ["250", "550"])
        expect("floor: connections counted", c1 - c0, 1)
        expect("floor: command lines counted", l1 - l0, 5)

        # The pools: a known and an unknown mailbox of one domain (one
        # session each), and a domain that does not exist (none).
        for kind, extra in (("threads", []), ("asyncio", []), ("threads", ["--per-mx", "1", "--mx-interval", "100"]),
                            ("asyncio", ["--per-mx", "1", "--mx-interval", "100"])):
            addresses = ["user1@" + domain, "nosuchuser7@" + domain, "user2@nxdomain.engine.bench.test"]
            c0, _ = servers.counts()
            r = bench.run(bench.pool_argv(kind, 3, extra), "\n".join(addresses) + "\n", limit=60)
            c1, _ = servers.counts()
            name = "pool %s %s" % (kind, " ".join(extra))
            expect(name + ": outcomes", r.out.strip(),
                   "deliverable 1, undeliverable 1, unknown 0, dns_error 0, no_mail_server 1")
            expect(name + ": connections", c1 - c0, 2)
    finally:
        servers.close()
        ns.close()
    for line in failed:
        print("engine bench check: FAILED " + line)
    print("engine bench check: %d passed, %d failed" % (passed, len(failed)))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
