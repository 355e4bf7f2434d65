#!/usr/bin/env python3
"""Scripted SMTP peers for the Wine tests, on loopback addresses of the
private test network (tests/netns/run): each listens on ADDRESS:25 and
plays one part. The Linux hangup_test runs against the same peers.

    usage: peers.py ADDRESS=PART [ADDRESS=PART]... [-- COMMAND [ARG]...]

Parts:
  accept     answers every command; the verify command with 250
  reject     answers every command; the verify command with 550
  silent     accepts the connection and never says a word
  hangup     sends the banner and closes the connection
  blocked    sends BLOCKED (below) and closes the connection
  drop-helo  sends the banner, reads the helo line and closes, unanswered
  reset      sends the banner and BLOCKED, reads the helo line and resets
             the connection
  partial    sends BLOCKED and the banner without its line end
             ("220 ADDRESS ESMT"), and closes the connection

What they say (the tests build their expectations the same way):
  banner       "220 ADDRESS ESMTP\\r\\n"
  helo ...     "250 ADDRESS\\r\\n"
  vrfy WHO     accept: "250 WHO\\r\\n"   reject: "550 WHO: no such user\\r\\n"
  quit         "221 ADDRESS\\r\\n", then the peer closes
  other        "500 unknown\\r\\n"
  BLOCKED      "554-5.7.1 blocked\\r\\n554 5.7.1 your address is listed\\r\\n"

Prints "ready" once every address listens, and runs until its standard
input closes or a time limit passes, so it never outlives the test; or
runs COMMAND while the peers serve, and exits with its status.
"""
import socket
import struct
import subprocess
import sys
import threading

TIME_LIMIT = 600  # seconds
PARTS = ("accept", "reject", "silent", "hangup", "blocked", "drop-helo", "reset", "partial")
BLOCKED = "554-5.7.1 blocked\r\n554 5.7.1 your address is listed\r\n"


def reply_to(part, address, line):
    verb, _, rest = line.partition(" ")
    verb = verb.lower()
    if verb == "helo":
        return "250 %s\r\n" % address
    if verb == "vrfy":
        if part == "accept":
            return "250 %s\r\n" % rest
        return "550 %s: no such user\r\n" % rest
    if verb == "quit":
        return "221 %s\r\n" % address
    return "500 unknown\r\n"


def hang_up(conn, part, address):
    """The parts that go without answering the verify command; the caller
    closes the connection."""
    banner = "220 %s ESMTP\r\n" % address
    said = {"hangup": banner, "drop-helo": banner, "reset": banner + BLOCKED, "partial": BLOCKED + banner[:-3]}
    conn.sendall(said.get(part, BLOCKED).encode())
    # reset waits for the helo line, the sign that the client has what we
    # said: a reset arriving before that could overtake it.
    data = b""
    while part in ("drop-helo", "reset") and b"\n" not in data and (piece := conn.recv(4096)):
        data += piece
    if part == "reset" and b"\n" in data:
        # A zero linger time makes close() abort the connection with RST.
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def serve(conn, part, address):
    with conn:
        conn.settimeout(TIME_LIMIT)
        if part == "silent":
            # Holds the connection open, reading and dropping, until the
            # client goes away.
            while conn.recv(4096):
                pass
            return
        if part not in ("accept", "reject"):
            hang_up(conn, part, address)
            return
        conn.sendall(("220 %s ESMTP\r\n" % address).encode())
        pending = b""
        while True:
            data = conn.recv(4096)
            if not data:
                return
            pending += data
            while b"\n" in pending:
                raw, pending = pending.split(b"\n", 1)
                line = raw.rstrip(b"\r").decode("utf-8", "replace")
                conn.sendall(reply_to(part, address, line).encode())
                if line.lower() == "quit":
                    return


def listen(address, part):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((address, 25))
    server.listen(16)

    def accept_loop():
        while True:
            conn, _ = server.accept()
            threading.Thread(target=serve, args=(conn, part, address), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    args = argv[1:]
    command = []
    if "--" in args:
        command = args[args.index("--") + 1:]
        args = args[:args.index("--")]
    for assignment in args:
        address, _, part = assignment.partition("=")
        if part not in PARTS:
            print("peers.py: unknown part %r" % part, file=sys.stderr)
            return 2
        listen(address, part)
    if command:
        return subprocess.call(command)
    print("ready", flush=True)
    # Ends when the driver closes our standard input, or at the limit.
    done = threading.Event()
    threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
    done.wait(TIME_LIMIT)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
