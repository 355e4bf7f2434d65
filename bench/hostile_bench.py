"""verimex-server's HTTP layer under a crowd, two server binaries side by side:

- hold: 10,000 idle connections and 1,000 that trickle a byte a second, held
  at once for a while (connections the server closes are opened again, so
  the counts hold); the server's RSS above its idle figure, and /healthz
  latency from another client (a new connection for each ask) over the hold;
- check: /v1/check against the instant scripted mail server of
  bench/counting_servers.py at 1, 10 and 100 clients, each one keep-alive
  connection asking again as soon as it has its answer: requests per
  second and latency.

usage (inside tests/netns/run --zones bench/bench.zones, as root):
    hostile_bench.py --old SERVER --new SERVER [--hold-seconds 20] [--check-seconds 10]
                     [--idle 10000] [--trickle 1000]
Prints Markdown tables. The crowd is held by a child process of this
script (hostile_bench.py crowd ...), so that its 11,000 sockets do not
share a Python interpreter with the /healthz client it is measured by.
"""

import argparse
import asyncio
import json
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "server"))

from serverlib import Server, memory  # noqa: E402

PYTHON = sys.executable or "/usr/bin/python3"
COUNTING_SERVERS = os.path.join(HERE, "counting_servers.py")
INSTANT = "127.0.0.200"  # mx.instant.bench.test of bench/bench.zones
ADDRESS = "user1@instant.bench.test"  # a mailbox the counting servers know
MIB = 1024 * 1024
PROBE_TIMEOUT_S = 2.0  # a /healthz that takes longer is counted as failed
TRICKLE = b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "


def raise_descriptor_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def percentile(values, fraction):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(fraction * len(values)))]


def healthz(port):
    """Seconds for a /healthz on a new connection, or None if it failed or took over PROBE_TIMEOUT_S."""
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=PROBE_TIMEOUT_S) as sock:
            sock.sendall(b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            data = b""
            while True:
                sock.settimeout(max(0.001, start + PROBE_TIMEOUT_S - time.monotonic()))
                more = sock.recv(65536)
                if not more:
                    break
                data += more
    except OSError:
        return None
    return time.monotonic() - start if data.startswith(b"HTTP/1.1 200") else None


# The crowd, in its own process: `hostile_bench.py crowd PORT IDLE TRICKLE`. Prints "ready" once every
# connection was opened once, then a JSON line of its counts for each line read on standard input; ends with it.

async def crowd(port, idle, trickle):
    counts = {"open": 0, "reopened": 0, "refused": 0}
    opening = asyncio.Semaphore(256)  # connects at once: a burst past the listen queue would only wait longer
    first = asyncio.Event()
    pending = [idle + trickle]

    async def hold(trickles):
        opened_once = False
        while True:
            try:
                async with opening:
                    reader, writer = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port), 10)
            except (OSError, asyncio.TimeoutError):
                counts["refused"] += 1
                await asyncio.sleep(0.5)
                continue
            counts["open"] += 1
            if opened_once:
                counts["reopened"] += 1
            else:
                opened_once = True
                pending[0] -= 1
                if pending[0] == 0:
                    first.set()

            async def drip():
                for i in range(1 << 30):
                    writer.write(TRICKLE[i:i + 1] if i < len(TRICKLE) else b"s")
                    await writer.drain()
                    await asyncio.sleep(1)

            dripping = asyncio.ensure_future(drip()) if trickles else None
            try:
                # Until the server closes it (or answers: a 408, then the end).
                while await reader.read(65536):
                    pass
            except OSError:
                pass
            if dripping:
                dripping.cancel()
            writer.close()
            counts["open"] -= 1

    tasks = [asyncio.ensure_future(hold(False)) for _ in range(idle)] + \
            [asyncio.ensure_future(hold(True)) for _ in range(trickle)]
    try:
        await asyncio.wait_for(first.wait(), 120)
    except asyncio.TimeoutError:
        pass  # said as it stands: the counts tell how many are open
    print("ready", flush=True)
    loop = asyncio.get_running_loop()
    while await loop.run_in_executor(None, sys.stdin.readline):
        print(json.dumps(counts), flush=True)
    for task in tasks:
        task.cancel()


def hold(binary, idle, trickle, seconds):
    server = Server("-f", "bench.test", program=binary)
    try:
        for _ in range(3):
            healthz(server.port)
        idle_rss = memory(server.proc.pid)["VmRSS"]
        holder = subprocess.Popen([PYTHON, os.path.abspath(__file__), "crowd", str(server.port), str(idle),
                                   str(trickle)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        held_from = time.monotonic()
        ready = holder.stdout.readline().strip() == "ready"
        opening_s = time.monotonic() - held_from
        latencies, failed, peak_rss = [], 0, 0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            took = healthz(server.port)
            if took is None:
                failed += 1
            else:
                latencies.append(took)
            peak_rss = max(peak_rss, memory(server.proc.pid)["VmRSS"])
            time.sleep(0.05)
        holder.stdin.write("count\n")
        holder.stdin.flush()
        counts = json.loads(holder.stdout.readline()) if ready else {"open": 0, "reopened": 0, "refused": 0}
        hwm = memory(server.proc.pid)["VmHWM"]
        holder.stdin.close()
        try:
            holder.wait(timeout=30)
        except subprocess.TimeoutExpired:
            holder.kill()
            holder.wait()
    finally:
        server.stop(signal.SIGINT)  # open connections are cut at once, none waited for
    return {"idle_mib": idle_rss / MIB, "held_mib": (peak_rss - idle_rss) / MIB, "peak_mib": (hwm - idle_rss) / MIB,
            "opening_s": opening_s, "counts": counts, "p50": percentile(latencies, 0.5) * 1000,
            "p99": percentile(latencies, 0.99) * 1000, "failed": failed, "probes": failed + len(latencies)}


async def check_clients(port, clients, seconds):
    """`clients` keep-alive connections asking /v1/check again at once for `seconds`: latencies and verified count."""
    request = ("GET /v1/check?email=%s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % ADDRESS).encode()
    latencies, verified, failed, reopened = [], [0], [0], [0]
    end = time.monotonic() + seconds

    async def client():
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        try:
            while time.monotonic() < end:
                start = time.monotonic()
                writer.write(request)
                try:
                    head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 60)
                except (asyncio.IncompleteReadError, ConnectionResetError):
                    # A keep-alive connection the server ended (it has a most requests per connection): the
                    # request goes again on a new one.
                    writer.close()
                    reader, writer = await asyncio.open_connection("127.0.0.1", port)
                    reopened[0] += 1
                    continue
                length = re.search(rb"(?i)\r\ncontent-length: *(\d+)", head)
                body = await asyncio.wait_for(reader.readexactly(int(length.group(1)) if length else 0), 60)
                latencies.append(time.monotonic() - start)
                if head.startswith(b"HTTP/1.1 200") and json.loads(body).get("verified"):
                    verified[0] += 1
        except (OSError, asyncio.IncompleteReadError, asyncio.TimeoutError):
            failed[0] += 1
        finally:
            writer.close()

    start = time.monotonic()
    await asyncio.gather(*(client() for _ in range(clients)))
    return latencies, verified[0], failed[0], reopened[0], time.monotonic() - start


def check(binary, clients, seconds):
    server = Server("-f", "bench.test", "-t", "30", "--check-threads", "128", program=binary)
    try:
        asyncio.run(check_clients(server.port, 1, 1))  # the first lookups and connections, before the figures
        latencies, verified, failed, reopened, wall = asyncio.run(check_clients(server.port, clients, seconds))
    finally:
        server.stop(signal.SIGINT)  # open connections are cut at once, none waited for
    return {"requests": len(latencies), "rps": len(latencies) / wall, "p50": percentile(latencies, 0.5) * 1000,
            "p99": percentile(latencies, 0.99) * 1000, "verified": verified, "failed": failed, "reopened": reopened}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "crowd":
        raise_descriptor_limit()
        return asyncio.run(crowd(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--old", required=True, help="the server binary of before")
    parser.add_argument("--new", required=True, help="the server binary of after")
    parser.add_argument("--hold-seconds", type=float, default=20)
    parser.add_argument("--check-seconds", type=float, default=10)
    parser.add_argument("--idle", type=int, default=10000)
    parser.add_argument("--trickle", type=int, default=1000)
    opts = parser.parse_args()
    if os.environ.get("VERIMEX_NETNS") != "1":
        sys.exit("hostile bench: run it inside tests/netns/run --zones bench/bench.zones")
    if raise_descriptor_limit() < opts.idle + opts.trickle + 1000:
        sys.exit("hostile bench: the descriptor limit is below the crowd (ulimit -Hn)")
    binaries = [("old", os.path.abspath(opts.old)), ("new", os.path.abspath(opts.new))]
    print("*Load average (1, 5, 15 min) at the start: %s.*\n" % load())

    print("### verimex-server: %d idle and %d trickling connections held for %g s\n" %
          (opts.idle, opts.trickle, opts.hold_seconds))
    print("| binary | idle RSS MiB | RSS over idle, most MiB | peak (VmHWM) over idle MiB | open at the end | "
          "reopened | connects failed | opening s | /healthz p50 ms | p99 ms | failed (> %g s) |" % PROBE_TIMEOUT_S)
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for name, binary in binaries:
        r = hold(binary, opts.idle, opts.trickle, opts.hold_seconds)
        c = r["counts"]
        print("| %s | %.1f | %.1f | %.1f | %d | %d | %d | %.1f | %.1f | %.1f | %d/%d |" % (
            name, r["idle_mib"], r["held_mib"], r["peak_mib"], c["open"], c["reopened"], c["refused"],
            r["opening_s"], r["p50"], r["p99"], r["failed"], r["probes"]), flush=True)

    print("\n### verimex-server: /v1/check against the instant scripted mail server, %g s a row\n" %
          opts.check_seconds)
    print("| binary | clients | requests | req/s | p50 ms | p99 ms | verified | connections reopened | "
          "clients failed |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    mail = subprocess.Popen([PYTHON, COUNTING_SERVERS, "0", "0", INSTANT], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)
    try:
        if mail.stdout.readline().strip() != b"ready":
            sys.exit("hostile bench: the instant mail server did not start")
        for clients in [1, 10, 100]:
            for name, binary in binaries:
                r = check(binary, clients, opts.check_seconds)
                print("| %s | %d | %d | %.1f | %.1f | %.1f | %d/%d | %d | %d |" % (
                    name, clients, r["requests"], r["rps"], r["p50"], r["p99"], r["verified"], r["requests"],
                    r["reopened"], r["failed"]), flush=True)
    finally:
        mail.stdin.close()
        mail.wait(timeout=30)
    print("\nEach /healthz is a new connection from this script, one every 50 ms over the hold; the crowd is a "
          "child process of it (one asyncio loop). The /v1/check clients are one asyncio loop of keep-alive "
          "connections; the mail server is bench/counting_servers.py (Python, one asyncio loop) on %s. Clients, "
          "servers and dnsmasq share the machine's CPUs." % INSTANT)
    print("\n*Load average (1, 5, 15 min) at the end: %s.*" % load())


if __name__ == "__main__":
    main()
