"""The Python module's preflight() inside the private test network
(tests/netns/run with tests/netns/preflight.zones): a scripted mail server
on port 25, the reverse DNS, blocklist and SPF records of the zones."""

import os
import sys
import unittest

import verimex

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from smtp_peer import Peer  # noqa: E402

GOOD = dict(public_address="127.0.3.1", helo="mail.good.pre.test", test_host="127.0.3.25",
            blocklists=["bl.pre.test"], timeout=2)


class Preflight(unittest.TestCase):
    def test_a_world_where_nothing_blocks(self):
        with Peer("127.0.3.25", name="port25.pre.test") as peer:
            report = verimex.preflight(**GOOD)
        self.assertFalse(report.blocked)
        self.assertEqual([(f.check, f.status) for f in report.findings],
                         [("port25", "ok"), ("reverse_dns", "ok"), ("helo", "ok"), ("blocklist", "ok"), ("spf", "ok")])
        self.assertEqual(report.findings[3].subject, "bl.pre.test")
        self.assertIn("QUIT\r\n", peer.received)
        self.assertIn("nothing blocks a run from here", report.text)
        # The JSON form's members, exactly.
        d = report.as_dict()
        self.assertEqual(sorted(d), ["address", "address_guess", "address_source", "blocked", "cancelled", "error",
                                     "findings"])
        self.assertEqual(sorted(d["findings"][0]), ["advice", "check", "status", "subject", "text"])
        self.assertEqual((d["address"], d["address_source"], d["address_guess"]), ("127.0.3.1", "given", False))

    def test_port_25_closed_and_listed(self):
        report = verimex.preflight(**dict(GOOD, test_host="127.0.3.26", public_address="127.0.3.10"))
        self.assertTrue(report.blocked)
        statuses = {f.check: f.status for f in report.findings}
        self.assertEqual(statuses["port25"], "blocking")
        self.assertEqual(statuses["blocklist"], "blocking")
        listed = [f for f in report.findings if f.check == "blocklist"][0]
        self.assertIn("Listed for the preflight test", listed.text)
        self.assertTrue(listed.advice)

    def test_blocklists(self):
        none = verimex.preflight(**dict(GOOD, test_host="127.0.3.26", blocklists=[]))
        self.assertNotIn("blocklist", [f.check for f in none.findings])
        two = verimex.preflight(**dict(GOOD, test_host="127.0.3.26", blocklists=("bl.pre.test", "clean.pre.test")))
        self.assertEqual([f.subject for f in two.findings if f.check == "blocklist"], ["bl.pre.test", "clean.pre.test"])
        with self.assertRaises(TypeError):
            verimex.preflight(blocklists="bl.pre.test")

    def test_bad_options(self):
        report = verimex.preflight(public_address="not an address")
        self.assertTrue(report.blocked)
        self.assertEqual(report.findings, [])
        self.assertIn("not an IPv4 or IPv6 address", report.error)
        with self.assertRaises(OverflowError):
            verimex.preflight(timeout=1 << 20)
        with self.assertRaises(TypeError):
            verimex.preflight(timeout="5")


if __name__ == "__main__":
    unittest.main()
