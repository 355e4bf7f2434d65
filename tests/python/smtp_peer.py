"""Scripted mail servers for the C-interface and Python-module tests.

Each peer listens on ADDRESS:25 inside the test network namespace, sends a
banner, answers "helo" with 250 and "vrfy" with the reply it was given, and
says goodbye to "quit". A mute peer accepts connections and never says a
word, as a stuck server would. Every line a peer receives is recorded.

Used two ways: imported by the Python tests, and as a program that starts
peers, runs a command while they serve, and exits with the command's
status (for the C test program):

    smtp_peer.py --peer 127.0.0.61='250 2.0.0 ok' --mute 127.0.0.64 -- CMD...
"""

import argparse
import socket
import subprocess
import sys
import threading

SMTP_PORT = 25


class Peer:
    """One scripted mail server; a context manager that stops it on exit."""

    def __init__(self, address, verify_reply=None, mute=False, name=None):
        self.address = address
        self.verify_reply = verify_reply
        self.mute = mute
        self.name = name or address
        self._lock = threading.Lock()
        self._received = []
        self._stop = threading.Event()
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind((address, SMTP_PORT))
        self._listener.listen(128)
        self._listener.settimeout(0.05)
        self._servers = []  # one thread per connection; written by the acceptor only
        self._acceptor = threading.Thread(target=self._accept_loop, daemon=True)
        self._acceptor.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    @property
    def received(self):
        """The lines received so far, line ends included."""
        with self._lock:
            return list(self._received)

    def stop(self):
        self._stop.set()
        # The acceptor first: once it is gone the list of servers is final.
        self._acceptor.join()
        for t in self._servers:
            t.join()
        self._listener.close()

    def _accept_loop(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            t = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self._servers.append(t)
            t.start()

    def _serve(self, conn):
        with conn:
            conn.settimeout(0.05)
            if not self.mute:
                conn.sendall(("220 %s ESMTP scripted\r\n" % self.name).encode())
            pending = b""
            while not self._stop.is_set():
                try:
                    data = conn.recv(4096)
                except socket.timeout:
                    continue
                except OSError:
                    return
                if not data:
                    return
                pending += data
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    line += b"\n"
                    with self._lock:
                        self._received.append(line.decode("utf-8", "surrogateescape"))
                    if self.mute:
                        continue
                    if not self._answer(conn, line):
                        return

    def _answer(self, conn, line):
        verb = line.split(b" ", 1)[0].strip().lower()
        try:
            if verb == b"helo":
                conn.sendall(("250 %s\r\n" % self.name).encode())
            elif verb == b"vrfy":
                conn.sendall((self.verify_reply + "\r\n").encode())
            elif verb == b"quit":
                conn.sendall(b"221 2.0.0 bye\r\n")
                return False
            else:
                conn.sendall(b"500 5.5.2 unknown command\r\n")
        except OSError:
            return False
        return True


def main(argv):
    parser = argparse.ArgumentParser(description="Run a command while scripted mail servers serve.")
    parser.add_argument("--peer", action="append", default=[], metavar="ADDRESS=REPLY",
                        help="a server on ADDRESS:25 answering vrfy with REPLY")
    parser.add_argument("--mute", action="append", default=[], metavar="ADDRESS",
                        help="a server on ADDRESS:25 that never speaks")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command")
    peers = []
    try:
        for entry in args.peer:
            address, _, reply = entry.partition("=")
            peers.append(Peer(address, verify_reply=reply))
        for address in args.mute:
            peers.append(Peer(address, mute=True))
        return subprocess.call(command)
    finally:
        for p in peers:
            p.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
