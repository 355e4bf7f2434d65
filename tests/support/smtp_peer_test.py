"""The scripted mail server itself (smtp_peer.py), which the Python tests,
the Wine tests, the benchmarks and the demo stand on: the dialog, its
limits, the delays and the hang-ups, as a client on the wire sees them.
Runs inside tests/netns/run, where 127.0.0.0/8 is private."""

import os
import resource
import socket
import subprocess
import sys
import time
import unittest

from smtp_peer import BLOCKED, Peer

HERE = os.path.dirname(os.path.abspath(__file__))


class Client:
    """A raw connection that reads whole replies (multi-line ones too)."""

    def __init__(self, address, timeout=5):
        self.sock = socket.create_connection((address, 25), timeout=timeout)
        self.file = self.sock.makefile("rb")

    def reply(self):
        lines = []
        while True:
            line = self.file.readline()
            if not line:
                return b"".join(lines) or None
            lines.append(line)
            if line[3:4] != b"-":
                return b"".join(lines)

    def ask(self, command):
        self.sock.sendall(command.encode() + b"\r\n")
        return self.reply()

    def close(self):
        self.file.close()
        self.sock.close()


def codes(address, commands):
    """The reply code to the banner and to each command, in order."""
    c = Client(address)
    try:
        got = [c.reply()[:3].decode()]
        got += [(r or b"EOF")[:3].decode() for r in map(c.ask, commands)]
        return got
    finally:
        c.close()


@unittest.skipUnless(os.environ.get("VERIMEX_NETNS") == "1", "runs only inside tests/netns/run")
class Dialog(unittest.TestCase):
    def test_transaction_as_a_verifier_runs_it(self):
        dialog = [
            ("MAIL FROM:<>", "503"),  # not greeted yet
            ("EHLO prober.test", "250"),
            ("RCPT TO:<alice@x.test>", "503"),  # no MAIL yet
            ("MAIL FROM:<>", "250"),
            ("MAIL FROM:<>", "503"),  # nested
            ("RCPT TO:alice@x.test", "501"),
            ("RCPT TO:<alice@x.test>", "250"),
            ("RCPT TO:<nosuchuser7@x.test>", "550"),
            ("RCPT TO:<user12@x.test>", "250"),
            ("RCPT TO:<user13@x.test>", "452"),  # past the limit of two
            ("RSET", "250"),
            ("RCPT TO:<alice@x.test>", "503"),  # RSET ended the transaction
            ("VRFY alice@x.test", "250"),
            ("VRFY nosuchuser7@x.test", "550"),
            ("NOOP", "250"),
            ("DATA", "503"),
            ("FROB", "502"),
            ("QUIT", "221"),
        ]
        with Peer("127.0.0.200", name="mx.x.test", mailboxes=["alice", "user*"], recipient_limit=2) as peer:
            self.assertEqual(codes("127.0.0.200", [c for c, _ in dialog]), ["220"] + [w for _, w in dialog])
            self.assertEqual(peer.received[1], "EHLO prober.test\r\n")
            self.assertEqual(peer.connections, 1)
            c = Client("127.0.0.200")
            c.reply()
            ehlo = c.ask("EHLO prober.test").decode()
            self.assertTrue(ehlo.startswith("250-mx.x.test\r\n") and "250-PIPELINING\r\n" in ehlo, ehlo)
            self.assertEqual(c.ask("VRFY nosuchuser7@x.test"), b"550 5.1.1 <nosuchuser7@x.test>: Recipient address "
                             b"rejected: User unknown in local recipient table\r\n")
            c.close()

    def test_catch_all_greylisting_and_refused_ehlo(self):
        with Peer("127.0.0.201", catch_all=True), Peer("127.0.0.202", mailboxes=["carol"], greylist=0), \
                Peer("127.0.0.203", ehlo=False):
            self.assertEqual(codes("127.0.0.201", ["HELO p", "MAIL FROM:<>", "RCPT TO:<z9q@any.test>", "VRFY z9q"]),
                             ["220", "250", "250", "250", "252"])
            # Greylisted at the first try, by address, across sessions.
            self.assertEqual(codes("127.0.0.202", ["HELO p", "MAIL FROM:<>", "RCPT TO:<carol@g.test>"])[-1], "450")
            self.assertEqual(codes("127.0.0.202", ["HELO p", "MAIL FROM:<>", "RCPT TO:<carol@g.test>",
                                                   "RCPT TO:<nosuchuser7@g.test>", "RCPT TO:<nosuchuser7@g.test>"]),
                             ["220", "250", "250", "250", "450", "550"])
            self.assertEqual(codes("127.0.0.203", ["EHLO p", "HELO p"]), ["220", "502", "250"])

    def test_error_limits_slow_the_client_then_end_the_session(self):
        with Peer("127.0.0.204", soft_error_limit=2, hard_error_limit=4, error_sleep=0.3):
            c = Client("127.0.0.204")
            c.reply()
            took = []
            for _ in range(4):
                start = time.monotonic()
                self.assertEqual(c.ask("FROB")[:3], b"502")
                took.append(time.monotonic() - start)
            self.assertLess(max(took[:2]), 0.25, took)
            self.assertGreaterEqual(min(took[2:]), 0.3, took)
            self.assertEqual(c.ask("NOOP")[:3], b"421")
            self.assertIsNone(c.reply(), "the session goes on after 421")
            c.close()

    def test_delays_before_the_banner_and_every_reply(self):
        with Peer("127.0.0.205", greeting_delay=0.4, reply_delay=0.15):
            start = time.monotonic()
            c = Client("127.0.0.205")
            c.reply()
            greeted = time.monotonic() - start
            c.ask("NOOP")
            replied = time.monotonic() - start - greeted
            c.close()
            self.assertGreaterEqual(greeted, 0.4)
            self.assertGreaterEqual(replied, 0.15)
            self.assertLess(greeted + replied, 1.5)

    def test_hang_ups_send_what_their_part_says_then_go(self):
        banner = b"220 127.0.0.210 ESMTP\r\n"
        cases = [  # part, what comes before the end, whether a line is read first, how it ends
            ("hangup", banner, False, "close"),
            ("blocked", BLOCKED.encode(), False, "close"),
            ("partial", BLOCKED.encode() + banner[:-3], False, "close"),
            ("drop-helo", banner, True, "close"),
            ("reset", banner + BLOCKED.encode(), True, "reset"),
        ]
        for part, said, reads, ends in cases:
            with self.subTest(part=part):
                proc = subprocess.Popen([sys.executable, "-B", os.path.join(HERE, "smtp_peer.py"),
                                         "127.0.0.210=" + part], stdout=subprocess.PIPE)
                try:
                    self.assertEqual(proc.stdout.readline(), b"ready\n")
                    s = socket.create_connection(("127.0.0.210", 25), timeout=5)
                    got = b""
                    while len(got) < len(said) and (piece := s.recv(4096)):
                        got += piece
                    self.assertEqual(got, said)
                    if reads:
                        s.sendall(b"helo p\r\n")
                    if ends == "reset":
                        self.assertRaises(ConnectionResetError, s.recv, 4096)
                    else:
                        self.assertEqual(s.recv(4096), b"")
                    s.close()
                finally:
                    proc.terminate()
                    self.assertEqual(proc.wait(10), 0)
                    proc.stdout.close()

    def test_mute_server_says_nothing_and_hears_everything(self):
        with Peer("127.0.0.206", mute=True) as peer:
            s = socket.create_connection(("127.0.0.206", 25), timeout=0.5)
            s.sendall(b"helo p\r\nvrfy a@b\r\n")
            self.assertRaises(socket.timeout, s.recv, 1)
            s.close()
            self.assertEqual(peer.received, ["helo p\r\n", "vrfy a@b\r\n"])

    def test_thousands_of_connections_at_once(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        count = min(2000, (hard - 100) // 2)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        try:
            with Peer("127.0.0.207", greeting_delay=0.5) as peer:
                socks = [socket.create_connection(("127.0.0.207", 25), timeout=10) for _ in range(count)]
                start = time.monotonic()
                banners = sum(s.recv(100).startswith(b"220 ") for s in socks)
                took = time.monotonic() - start
                for s in socks:
                    s.close()
                self.assertEqual(banners, count)
                self.assertEqual(peer.connections, count)
                # One loop waits out every greeting at once, not one after another.
                self.assertLess(took, 5)
        finally:
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


@unittest.skipUnless(os.environ.get("VERIMEX_NETNS") == "1", "runs only inside tests/netns/run")
class Program(unittest.TestCase):
    def run_peer(self, *args, **kw):
        return subprocess.run([sys.executable, "-B", os.path.join(HERE, "smtp_peer.py")] + list(args),
                              capture_output=True, timeout=30, **kw)

    def test_runs_a_command_while_serving_and_gives_its_status(self):
        probe = ("import socket; s = socket.create_connection(('127.0.0.208', 25)); f = s.makefile('rb'); "
                 "f.readline(); s.sendall(b'vrfy a@b\\r\\n'); print(f.readline().decode().strip()); exit(3)")
        done = self.run_peer("--peer", "127.0.0.208=250 2.0.0 a", "--", sys.executable, "-c", probe)
        self.assertEqual((done.returncode, done.stdout), (3, b"250 2.0.0 a\n"), done.stderr)

    def test_stops_when_its_input_closes_or_at_the_time_limit(self):
        done = self.run_peer("--while-stdin", "127.0.0.209=accept", input=b"")
        self.assertEqual((done.returncode, done.stdout), (0, b"ready\n"), done.stderr)
        start = time.monotonic()
        done = self.run_peer("--time-limit", "0.5", "127.0.0.209=accept", stdin=subprocess.DEVNULL)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertLess(time.monotonic() - start, 10)

    def test_refuses_an_unknown_part_or_key(self):
        for setup in ("127.0.0.209=nosuchpart", "127.0.0.209=scripted,colour=blue", "127.0.0.209=scripted,reply-ms=x"):
            done = self.run_peer(setup)
            self.assertEqual(done.returncode, 2, setup)
            self.assertIn(b"smtp_peer.py: error:", done.stderr)


if __name__ == "__main__":
    unittest.main()
