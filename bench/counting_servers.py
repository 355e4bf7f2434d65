"""The scripted slow mail servers of the engine's benches, with counters:
many servers of tests/support/smtp_peer.py in this one process (one asyncio
loop holds them all), each taught the RCPT dialog, and a way for the bench
to ask how many connections they accepted and how many command lines they
read so far, so a table can say SMTP connections and commands per address.

usage: counting_servers.py GREETING_MS REPLY_MS ADDRESS...
Prints "ready" once every server listens. Then reads its standard input:
each line "count" is answered with "connections N lines M" (totals over
every server); end of input stops every server and the process.
"""

import os
import resource
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))

from smtp_peer import Peer  # noqa: E402


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    greeting, reply = int(sys.argv[1]) / 1000.0, int(sys.argv[2]) / 1000.0
    # Every connection of a -j 5000 run at once, and then some.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    peers = []
    try:
        for address in sys.argv[3:]:
            # user<N> mailboxes are known: the benches' addresses get 250,
            # the catch-all probe's random name 550.
            peers.append(Peer(address, name="mx-%s.engine.bench.test" % address.replace(".", "-"),
                              greeting_delay=greeting, reply_delay=reply, mailboxes=["user*"]))
        print("ready", flush=True)
        for line in sys.stdin:
            if line.strip() == "count":
                connections = sum(p.connections for p in peers)
                # received is a copy: its length is what was read so far.
                lines = sum(len(p.received) for p in peers)
                print("connections %d lines %d" % (connections, lines), flush=True)
    finally:
        for peer in peers:
            peer.stop()


if __name__ == "__main__":
    main()
