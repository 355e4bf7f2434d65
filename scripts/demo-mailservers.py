#!/usr/bin/env python3
"""The demo's mail servers, one per loopback address, run by scripts/demo
inside its private network: the scripted mail server of the tests
(tests/support/smtp_peer.py), each configured as the demo tells it. Prints
"ready" once every server listens, then serves until it is stopped.

  127.0.0.21  mx.shop.demo.test      knows alice only (VRFY 250, RCPT 250; 550 5.1.1 for anyone else)
  127.0.0.22  mx.cautious.demo.test  VRFY: 252 for anyone; RCPT: knows anyone
  127.0.0.24  mx.silent.demo.test    accepts, then never says a word
  127.0.0.25  mx.grey.demo.test      knows carol; greylists: VRFY 451 the first time per address, then 250;
                                     RCPT 450 the first time, then as it knows
(127.0.0.23, mx.closed.demo.test, is left without a server: refused.)
"""
import os
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from smtp_peer import Peer  # noqa: E402

# What every demo server says but for its own replies: Postfix's words.
TEXTS = dict(banner="220 {name} ESMTP demo", quit="221 2.0.0 Bye", unknown="502 5.5.2 Error: command not recognized")

GREY_SEEN = set()
GREY_LOCK = threading.Lock()


def grey_vrfy(address):
    with GREY_LOCK:
        first = address.lower() not in GREY_SEEN
        GREY_SEEN.add(address.lower())
    if first:
        return f"451 4.7.1 <{address}>: Recipient address rejected: Greylisted, try again later"
    return f"250 2.0.0 <{address}>"


def main():
    peers = [
        Peer("127.0.0.21", name="mx.shop.demo.test", mailboxes={"alice": "Alice Example"}, record=False, **TEXTS),
        Peer("127.0.0.22", name="mx.cautious.demo.test", mailboxes=["anyone"], record=False,
             vrfy="252 2.5.2 Cannot VRFY user; try RCPT to attempt delivery (or try finger)", **TEXTS),
        Peer("127.0.0.24", mute=True, record=False),
        Peer("127.0.0.25", name="mx.grey.demo.test", mailboxes=["carol"], greylist=0, vrfy=grey_vrfy,
             record=False, **TEXTS),
    ]
    print("ready", flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        for p in peers:
            p.stop()


if __name__ == "__main__":
    sys.exit(main())
