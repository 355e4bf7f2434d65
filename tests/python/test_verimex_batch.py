"""verimex.verify_many() against scripted mail servers in the private test
network (tests/netns/run with tests/python/peers.zones): how many SMTP
connections a list of one domain costs, the servers' limits (452 past a
recipient limit, Postfix's error limits, greylisting), and that every
address gets the verdict a check of its own gives it."""

import os
import sys
import unittest

import verimex

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from smtp_peer import Peer  # noqa: E402

KW = {"method": "rcpt", "helo": "py-host.test", "timeout": 5}


def mixed(domain, count):
    """Known (user*) and unknown mailboxes, never three unknown in a row."""
    return ["%s%d@%s" % ("user" if i % 3 else "nosuchuser7-", i, domain) for i in range(count)]


class Batches(unittest.TestCase):
    def test_one_domain_costs_a_connection_per_twenty_addresses(self):
        with Peer("127.0.0.75", name="mx.bulk.peers.test", mailboxes=["user*"]) as peer:
            addresses = mixed("bulk.peers.test", 200)
            reports = verimex.verify_many(addresses, **KW)
            self.assertLessEqual(peer.connections, 200 // 20 + 2)
            self.assertEqual([r.address for r in reports], addresses)
            for r in reports:
                want = ("undeliverable", "no_such_mailbox") if "nosuchuser7" in r.address else ("deliverable",
                                                                                               "accepted")
                self.assertEqual((r.verdict, r.reason), want, r.transcript)
                # Its own RCPT, and no other address's (a random mailbox's
                # for the one check that probed the domain).
                rcpts = [line for line in r.transcript.splitlines() if line.startswith("RCPT TO:<")]
                self.assertEqual(rcpts[0], "RCPT TO:<%s>" % r.address, r.transcript)
                self.assertFalse([line for line in rcpts[1:] if "user" in line], r.transcript)
            # One catch-all probe for the domain, not one per address.
            probes = [line for line in peer.received
                      if line.startswith("RCPT") and "user" not in line]
            self.assertEqual(len(probes), 1, probes)
            # The same as checks of their own.
            for address, report in zip(addresses[:4], reports[:4]):
                alone = verimex.verify(address, **KW)
                self.assertEqual((alone.verdict, alone.reason, alone.code), (report.verdict, report.reason,
                                                                             report.code))

    def test_a_recipient_limit_costs_no_verdict(self):
        with Peer("127.0.0.76", name="mx.few.peers.test", catch_all=False, mailboxes=["user*"],
                  recipient_limit=7) as peer:
            addresses = ["user%d@few.peers.test" % i for i in range(50)]
            reports = verimex.verify_many(addresses, recipients_per_session=20, catch_all=False, **KW)
            for r in reports:
                self.assertEqual((r.verdict, r.reason), ("deliverable", "accepted"), r.transcript)
            # The first session learns the limit: the rest take 7 each.
            self.assertLessEqual(peer.connections, 50 // 7 + 2)

    def test_refusals_end_a_session_before_the_error_limits(self):
        # Postfix's limits, low: a pause per error from the second, a
        # hang-up at the fifth. Sessions of three refusals at most meet
        # neither.
        with Peer("127.0.0.77", name="mx.strict.peers.test", mailboxes=["user*"], soft_error_limit=3,
                  hard_error_limit=5, error_sleep=2.0) as peer:
            addresses = ["nosuchuser7-%d@strict.peers.test" % i for i in range(12)]
            reports = verimex.verify_many(addresses, catch_all=False, **KW)
            for r in reports:
                self.assertEqual((r.verdict, r.reason), ("undeliverable", "no_such_mailbox"), r.transcript)
            self.assertEqual(peer.connections, 4)
            self.assertFalse(any(line.startswith("421") for line in peer.received))

    def test_greylisted_addresses_stay_greylisted(self):
        with Peer("127.0.0.78", name="mx.grey.peers.test", mailboxes=["user*"], greylist=60) as peer:
            addresses = ["user%d@grey.peers.test" % i for i in range(5)]
            reports = verimex.verify_many(addresses, catch_all=False, **KW)
            for r in reports:
                self.assertEqual((r.verdict, r.reason), ("unknown", "greylisted"), r.transcript)
            # Greylisting is a refusal: three in a row end a session.
            self.assertEqual(peer.connections, 2)

    def test_each_domain_has_its_own_time(self):
        # The first domain's three sessions of a second each outlast the
        # total limit of 2 s; the second domain, checked after it, still
        # gets its own time.
        with Peer("127.0.0.76", name="mx.few.peers.test", mailboxes=["user*"], greeting_delay=1.0), \
                Peer("127.0.0.75", name="mx.bulk.peers.test", mailboxes=["user*"]):
            addresses = ["user%d@few.peers.test" % i for i in range(3)] + ["user9@bulk.peers.test"]
            kw = dict(KW, total_timeout=2)
            reports = verimex.verify_many(addresses, catch_all=False, recipients_per_session=1, **kw)
            self.assertEqual([(r.verdict, r.reason) for r in reports], [("deliverable", "accepted")] * 4,
                             [r.returnvar for r in reports])

    def test_addresses_of_several_domains_and_bad_ones(self):
        with Peer("127.0.0.75", name="mx.bulk.peers.test", mailboxes=["user*"]), \
                Peer("127.0.0.76", name="mx.few.peers.test", mailboxes=["user*"]):
            addresses = ["user1@bulk.peers.test", "not an address", "user2@few.peers.test",
                         "nosuchuser7@bulk.peers.test", "user3@down.peers.test"]
            reports = verimex.verify_many(addresses, catch_all=False, **KW)
            self.assertEqual([r.address for r in reports], addresses)
            self.assertEqual([(r.verdict, r.reason) for r in reports], [
                ("deliverable", "accepted"), ("undeliverable", "invalid_syntax"), ("deliverable", "accepted"),
                ("undeliverable", "no_such_mailbox"), ("unknown", "could_not_connect")])
        self.assertEqual(verimex.verify_many([], **KW), [])
        with self.assertRaises(TypeError):
            verimex.verify_many("user1@bulk.peers.test")
        with self.assertRaises(ValueError):
            verimex.verify_many(["user1@bulk.peers.test"], method="smoke-signals")


if __name__ == "__main__":
    unittest.main()
