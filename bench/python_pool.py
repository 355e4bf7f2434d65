"""What a user would write to verify addresses from Python, for the scale
bench to compare with: a thread pool, dnspython (Debian's python3-dnspython)
for the MX lookup, smtplib for HELO, VRFY and QUIT with each mail exchanger
in turn until one answers VRFY with 250.

usage: python_pool.py THREADS TIMEOUT_S < addresses
Prints one line: verified, not verified and failed counts.
"""

import concurrent.futures
import smtplib
import sys

import dns.resolver


def check(address, timeout):
    domain = address.rpartition("@")[2]
    try:
        answer = dns.resolver.resolve(domain, "MX", lifetime=timeout)
    except Exception:
        return "failed"
    hosts = [str(r.exchange).rstrip(".") for r in sorted(answer, key=lambda r: r.preference)]
    for host in hosts:
        try:
            smtp = smtplib.SMTP(host, 25, timeout=timeout)
            try:
                smtp.helo("python.scale.bench.test")
                code, _ = smtp.verify(address)
            finally:
                try:
                    smtp.quit()
                except smtplib.SMTPException:
                    pass
            if code == 250:
                return "verified"
        except (OSError, smtplib.SMTPException):
            continue
    return "not verified" if hosts else "failed"


def main():
    threads = int(sys.argv[1])
    timeout = float(sys.argv[2])
    addresses = [line.strip() for line in sys.stdin if line.strip()]
    counts = {"verified": 0, "not verified": 0, "failed": 0}
    with concurrent.futures.ThreadPoolExecutor(max_workers=threads) as pool:
        for outcome in pool.map(lambda a: check(a, timeout), addresses):
            counts[outcome] += 1
    print("verified %d, not verified %d, failed %d" % (counts["verified"], counts["not verified"], counts["failed"]))


if __name__ == "__main__":
    main()
