"""What a user would write to verify addresses by RCPT from Python, for the
engine's benches to compare with. Two pools, both with dnspython (Debian's
python3-dnspython) for the MX lookup, both doing the engine's dialog with
each mail exchanger in turn until one decides: EHLO, MAIL FROM:<>,
RCPT TO:<address>, once per domain RCPT TO:<random local part> to tell a
catch-all domain apart (remembered for the run, as the engine does), QUIT.

  threads  a thread pool of blocking smtplib sessions
  asyncio  one event loop of aiosmtplib sessions (Debian's python3-aiosmtplib),
           with dnspython's asyncio resolver

usage: python_rcpt_pool.py threads|asyncio CONCURRENCY TIMEOUT_S
                           [--per-mx K] [--mx-interval MS] < addresses
--per-mx K keeps at most K sessions open to one mail exchanger, and
--mx-interval MS waits MS between the starts of two sessions to one (the
politeness the bulk runs of verimex-check offer, done the way a user would).
Prints one line: "deliverable N, undeliverable N, unknown N, dns_error N,
no_mail_server N".
"""

import asyncio
import random
import smtplib
import string
import sys
import threading
import time

import dns.asyncresolver
import dns.exception
import dns.resolver

HELO = "python.engine.bench.test"
OUTCOMES = ("deliverable", "undeliverable", "unknown", "dns_error", "no_mail_server")


def random_local_part():
    return "".join(random.choice(string.ascii_lowercase + string.digits) for _ in range(16))


def exchangers_of(answer):
    records = sorted(answer, key=lambda r: r.preference)
    hosts = [str(r.exchange).rstrip(".") for r in records]
    return [h for h in hosts if h]  # a null MX ("MX 0 .") names no host


def outcome_of(code):
    if code in (250, 251):
        return "deliverable"
    if 500 <= code < 600:
        return "undeliverable"
    return "unknown"


class Politeness:
    """At most K sessions at once per mail exchanger and a pause between the
    starts of two; one lock and a condition per process, as a user would."""

    def __init__(self, per_mx, interval_s):
        self.per_mx, self.interval_s = per_mx, interval_s
        self.open = {}
        self.next_start = {}


class ThreadPolite(Politeness):
    def __init__(self, per_mx, interval_s):
        super().__init__(per_mx, interval_s)
        self.cond = threading.Condition()

    def enter(self, host):
        if not self.per_mx and not self.interval_s:
            return
        with self.cond:
            while True:
                now = time.monotonic()
                start = self.next_start.get(host, 0.0)
                if (not self.per_mx or self.open.get(host, 0) < self.per_mx) and now >= start:
                    self.open[host] = self.open.get(host, 0) + 1
                    self.next_start[host] = now + self.interval_s
                    return
                self.cond.wait(max(start - now, 0.01) if now < start else None)

    def leave(self, host):
        if not self.per_mx and not self.interval_s:
            return
        with self.cond:
            self.open[host] -= 1
            self.cond.notify_all()


class AsyncPolite(Politeness):
    def __init__(self, per_mx, interval_s):
        super().__init__(per_mx, interval_s)
        self.cond = asyncio.Condition()

    async def enter(self, host):
        if not self.per_mx and not self.interval_s:
            return
        async with self.cond:
            while True:
                now = time.monotonic()
                start = self.next_start.get(host, 0.0)
                if (not self.per_mx or self.open.get(host, 0) < self.per_mx) and now >= start:
                    self.open[host] = self.open.get(host, 0) + 1
                    self.next_start[host] = now + self.interval_s
                    return
                try:
                    await asyncio.wait_for(self.cond.wait(), max(start - now, 0.01) if now < start else None)
                except asyncio.TimeoutError:
                    pass

    async def leave(self, host):
        if not self.per_mx and not self.interval_s:
            return
        async with self.cond:
            self.open[host] -= 1
            self.cond.notify_all()


# ---- threads and smtplib ------------------------------------------------------

def thread_pool(addresses, concurrency, timeout, polite):
    import concurrent.futures
    probed = set()  # domains whose catch-all probe is taken
    probed_lock = threading.Lock()

    def check(address):
        domain = address.rpartition("@")[2]
        try:
            answer = dns.resolver.resolve(domain, "MX", lifetime=timeout)
        except dns.resolver.NXDOMAIN:
            return "no_mail_server"
        except dns.resolver.NoAnswer:
            answer = None  # implicit MX: the domain's own address
        except dns.exception.DNSException:
            return "dns_error"
        hosts = exchangers_of(answer) if answer is not None else [domain]
        if not hosts:
            return "no_mail_server"
        for host in hosts:
            polite.enter(host)
            try:
                smtp = smtplib.SMTP(host, 25, local_hostname=HELO, timeout=timeout)
                try:
                    smtp.ehlo(HELO)
                    smtp.mail("")
                    code, _ = smtp.rcpt(address)
                    with probed_lock:
                        probe = domain not in probed
                        probed.add(domain)
                    if probe:
                        smtp.rcpt(random_local_part() + "@" + domain)
                finally:
                    try:
                        smtp.quit()
                    except (OSError, smtplib.SMTPException):
                        pass
                if code < 400 or code >= 500:
                    return outcome_of(code)
            except (OSError, smtplib.SMTPException):
                continue
            finally:
                polite.leave(host)
        return "unknown"

    counts = dict.fromkeys(OUTCOMES, 0)
    with concurrent.futures.ThreadPoolExecutor(max_workers=concurrency) as pool:
        for outcome in pool.map(check, addresses):
            counts[outcome] += 1
    return counts


# ---- asyncio and aiosmtplib ---------------------------------------------------

async def async_pool(addresses, concurrency, timeout, per_mx, interval_s):
    import aiosmtplib
    polite = AsyncPolite(per_mx, interval_s)
    resolver = dns.asyncresolver.Resolver()
    probed = set()
    counts = dict.fromkeys(OUTCOMES, 0)
    queue = asyncio.Queue()
    for a in addresses:
        queue.put_nowait(a)

    async def check(address):
        domain = address.rpartition("@")[2]
        try:
            answer = await resolver.resolve(domain, "MX", lifetime=timeout)
        except dns.resolver.NXDOMAIN:
            return "no_mail_server"
        except dns.resolver.NoAnswer:
            answer = None
        except dns.exception.DNSException:
            return "dns_error"
        hosts = exchangers_of(answer) if answer is not None else [domain]
        if not hosts:
            return "no_mail_server"
        for host in hosts:
            await polite.enter(host)
            try:
                smtp = aiosmtplib.SMTP(hostname=host, port=25, local_hostname=HELO, timeout=timeout,
                                       start_tls=False, use_tls=False)
                await smtp.connect()
                try:
                    await smtp.ehlo()
                    await smtp.mail("")
                    reply = await smtp.execute_command(b"RCPT", b"TO:<" + address.encode() + b">")
                    if domain not in probed:
                        probed.add(domain)
                        await smtp.execute_command(b"RCPT", b"TO:<" + (random_local_part() + "@" + domain).encode() + b">")
                finally:
                    try:
                        await smtp.quit()
                    except (OSError, aiosmtplib.SMTPException):
                        smtp.close()
                if reply.code < 400 or reply.code >= 500:
                    return outcome_of(reply.code)
            except (OSError, asyncio.TimeoutError, aiosmtplib.SMTPException):
                continue
            finally:
                await polite.leave(host)
        return "unknown"

    async def worker():
        while True:
            try:
                address = queue.get_nowait()
            except asyncio.QueueEmpty:
                return
            counts[await check(address)] += 1

    await asyncio.gather(*(worker() for _ in range(min(concurrency, len(addresses)) or 1)))
    return counts


def main():
    args = sys.argv[1:]
    per_mx, interval_ms = 0, 0
    while "--per-mx" in args or "--mx-interval" in args:
        for name in ("--per-mx", "--mx-interval"):
            if name in args:
                i = args.index(name)
                value = int(args[i + 1])
                del args[i:i + 2]
                if name == "--per-mx":
                    per_mx = value
                else:
                    interval_ms = value
    if len(args) != 3 or args[0] not in ("threads", "asyncio"):
        sys.exit(__doc__)
    kind, concurrency, timeout = args[0], int(args[1]), float(args[2])
    addresses = [line.strip() for line in sys.stdin if line.strip()]
    if kind == "threads":
        counts = thread_pool(addresses, concurrency, timeout, ThreadPolite(per_mx, interval_ms / 1000.0))
    else:
        counts = asyncio.run(async_pool(addresses, concurrency, timeout, per_mx, interval_ms / 1000.0))
    print(", ".join("%s %d" % (name, counts[name]) for name in OUTCOMES))


if __name__ == "__main__":
    main()
