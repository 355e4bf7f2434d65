"""The Python module against scripted mail servers, inside the private test
network (tests/netns/run with tests/python/peers.zones). Expected texts come
from the table of literals, tests/golden/texts.tsv."""

import os
import sys
import unittest

import verimex

# The scripted mail server and the texts' reader, shared by every test.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from golden_texts import text  # noqa: E402
from smtp_peer import Peer  # noqa: E402

REJECT = "550 5.1.1 no such user here"


class AgainstPeers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.yes = Peer("127.0.0.71", vrfy="250 2.0.0 someone", name="mx.yes.peers.test")
        cls.no = Peer("127.0.0.72", vrfy=REJECT, name="mx.no.peers.test")
        cls.mute = Peer("127.0.0.74", mute=True)

    @classmethod
    def tearDownClass(cls):
        for p in (cls.yes, cls.no, cls.mute):
            p.stop()

    def check(self, email, timeout=5):
        v = verimex.quoverimex()
        v.email = email
        v.from_ = "py-host.test"
        v.timeout = timeout
        v.check()
        return v

    def test_verified_address(self):
        v = self.check("someone@yes.peers.test")
        self.assertEqual(v.returnvar, text("verified"))
        self.assertIn("mx.yes.peers.test", v.nslookup)
        for line in (text("telnet_line", "mx.yes.peers.test"), text("helo_line", "py-host.test"),
                     text("vrfy_line", "someone@yes.peers.test"), "250 2.0.0 someone\r\n"):
            self.assertIn(line, v.smtp)
        # What the server heard, from its side.
        self.assertIn(text("vrfy_line", "someone@yes.peers.test"), self.yes.received)

    def test_rejected_address_leaves_the_reply(self):
        v = self.check("nobody@no.peers.test")
        self.assertEqual(v.returnvar, REJECT + "\r\n")

    def test_unreachable_server(self):
        v = self.check("someone@down.peers.test")
        self.assertEqual(v.returnvar, text("could_not_connect"))
        self.assertIn(text("connect_error_line", "mx.down.peers.test"), v.smtp)

    def test_mute_server_times_out_and_checktime_agrees(self):
        v = self.check("someone@mute.peers.test", timeout=1)
        self.assertEqual(v.returnvar, text("timed_out", "1"))
        self.assertTrue(v.checktime())

    def test_transcripts_accumulate_first_one_first(self):
        v = self.check("someone@yes.peers.test")
        first = v.smtp
        v.email = "nobody@no.peers.test"
        v.nslookup = ""
        v.check()
        self.assertTrue(v.smtp.startswith(first))
        self.assertIn(text("vrfy_line", "nobody@no.peers.test"), v.smtp[len(first):])


if __name__ == "__main__":
    unittest.main()


class VerifyAgainstPeers(unittest.TestCase):
    """verify() with method vrfy gives the component's own results."""

    @classmethod
    def setUpClass(cls):
        cls.yes = Peer("127.0.0.71", vrfy="250 2.0.0 someone", name="mx.yes.peers.test")
        cls.no = Peer("127.0.0.72", vrfy=REJECT, name="mx.no.peers.test")

    @classmethod
    def tearDownClass(cls):
        for p in (cls.yes, cls.no):
            p.stop()

    def component(self, email):
        v = verimex.quoverimex()
        v.email = email
        v.from_ = "py-host.test"
        v.timeout = 5
        v.check()
        return v

    def test_vrfy_method_matches_the_component(self):
        cases = (("someone@yes.peers.test", "deliverable", "accepted", 250, "mx.yes.peers.test"),
                 ("nosuchuser7@no.peers.test", "undeliverable", "no_such_mailbox", 550, "mx.no.peers.test"),
                 ("someone@down.peers.test", "unknown", "could_not_connect", None, None))
        for email, verdict, reason, code, mx in cases:
            with self.subTest(email=email):
                expected = self.component(email)
                report = verimex.verify(email, method="vrfy", helo="py-host.test", timeout=5)
                self.assertEqual(report.returnvar, expected.returnvar)
                self.assertEqual(report.transcript, expected.smtp)
                self.assertEqual((report.verdict, report.reason), (verdict, reason))
                self.assertEqual(report.code, code)
                self.assertEqual(report.mx, mx)
                self.assertEqual(report.verified, verdict == "deliverable")
                self.assertEqual(report.method, "vrfy" if code else None)
