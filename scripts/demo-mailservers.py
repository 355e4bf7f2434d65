#!/usr/bin/env python3
"""The demo's mail servers, one per loopback address, run by scripts/demo
inside its private network. Standard library only. Prints "ready" once every
server listens, then serves until it is killed.

  127.0.0.21  mx.shop.demo.test      VRFY: 250 for alice, 550 5.1.1 otherwise
  127.0.0.22  mx.cautious.demo.test  VRFY: 252 for anyone
  127.0.0.24  mx.silent.demo.test    accepts, then never says a word
  127.0.0.25  mx.grey.demo.test      VRFY: 451 the first time per address, then 250
(127.0.0.23, mx.closed.demo.test, is left without a server: refused.)
"""
import socket
import sys
import threading

SHOP_MAILBOXES = {"alice@shop.demo.test": "Alice Example"}


def shop_vrfy(address):
    name = SHOP_MAILBOXES.get(address.lower())
    if name:
        return f"250 2.0.0 {name} <{address}>"
    return f"550 5.1.1 <{address}>: Recipient address rejected: User unknown in local recipient table"


def cautious_vrfy(address):
    return "252 2.5.2 Cannot VRFY user; try RCPT to attempt delivery (or try finger)"


GREY_SEEN = set()
GREY_LOCK = threading.Lock()


def grey_vrfy(address):
    with GREY_LOCK:
        first = address.lower() not in GREY_SEEN
        GREY_SEEN.add(address.lower())
    if first:
        return f"451 4.7.1 <{address}>: Recipient address rejected: Greylisted, try again later"
    return f"250 2.0.0 <{address}>"


def talk(conn, host, vrfy):
    def send(line):
        conn.sendall(line.encode() + b"\r\n")

    send(f"220 {host} ESMTP demo")
    for raw in conn.makefile("rb"):
        line = raw.decode("utf-8", "replace").rstrip("\r\n")
        verb, _, arg = line.partition(" ")
        verb = verb.lower()
        if verb in ("helo", "ehlo"):
            send(f"250 {host}")
        elif verb == "vrfy":
            send(vrfy(arg.strip()))
        elif verb == "quit":
            send("221 2.0.0 Bye")
            return
        else:
            send("502 5.5.2 Error: command not recognized")


def stay_silent(conn):
    # Read and drop whatever comes until the client hangs up.
    while conn.recv(4096):
        pass


def serve(listener, handle):
    while True:
        conn, _ = listener.accept()

        def run(c=conn):
            with c:
                try:
                    handle(c)
                except OSError:
                    pass

        threading.Thread(target=run, daemon=True).start()


def listen(address):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((address, 25))
    s.listen(16)
    return s


def main():
    servers = [
        ("127.0.0.21", lambda c: talk(c, "mx.shop.demo.test", shop_vrfy)),
        ("127.0.0.22", lambda c: talk(c, "mx.cautious.demo.test", cautious_vrfy)),
        ("127.0.0.24", stay_silent),
        ("127.0.0.25", lambda c: talk(c, "mx.grey.demo.test", grey_vrfy)),
    ]
    for address, handle in servers:
        listener = listen(address)
        threading.Thread(target=serve, args=(listener, handle), daemon=True).start()
    print("ready", flush=True)
    threading.Event().wait()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
