"""The mail world checks itself: its DNS answers as world.zones says, each
server answers an RCPT probe (smtplib) as the table of expectations says,
the proxies work with and without a password and the mail server sees the
proxy's address, and stopping leaves nothing running.

Run inside tests/netns/run --zones tests/mailworld/world.zones.
"""

import os
import re
import smtplib
import socket
import ssl
import struct
import subprocess
import time
import unittest

import expectations
import world


def socks5(proxy, target, port, user=None, password=None):
    """A TCP connection to target:port through a SOCKS5 proxy (RFC 1928,
    with the username/password method of RFC 1929 when a user is given)."""
    sock = socket.create_connection((proxy["address"], proxy["port"]), timeout=10)
    try:
        method = 2 if user else 0
        sock.sendall(bytes([5, 1, method]))
        chosen = sock.recv(2)
        if chosen != bytes([5, method]):
            raise ConnectionError("proxy chose method %r" % chosen)
        if user:
            sock.sendall(bytes([1, len(user)]) + user.encode() + bytes([len(password)]) + password.encode())
            status = sock.recv(2)
            if status != b"\x01\x00":
                raise PermissionError("proxy refused the password: %r" % status)
        sock.sendall(bytes([5, 1, 0, 1]) + socket.inet_aton(target) + struct.pack("!H", port))
        reply = sock.recv(10)
        if len(reply) < 2 or reply[1] != 0:
            raise ConnectionError("proxy refused the connection: %r" % reply)
        return sock
    except BaseException:
        sock.close()
        raise


class ProxiedSMTP(smtplib.SMTP):
    def __init__(self, proxy, user=None, password=None, **kw):
        self._proxy, self._user, self._password = proxy, user, password
        super().__init__(**kw)

    def _get_socket(self, host, port, timeout):
        return socks5(self._proxy, host, port, self._user, self._password)


def probe(smtp, address):
    """EHLO, STARTTLS when offered (then EHLO again), MAIL FROM:<>, RCPT TO:
    the RCPT reply as (code, text), and whether the session was encrypted."""
    smtp.ehlo("client.world.test")
    encrypted = False
    if smtp.has_extn("starttls"):
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        smtp.starttls(context=context)
        smtp.ehlo("client.world.test")
        encrypted = True
    code, text = smtp.mail("<>")
    assert code == 250, (code, text)
    code, text = smtp.rcpt(address)
    smtp.quit()
    return code, text.decode(), encrypted


def dig(name, rtype):
    out = subprocess.run(["dig", "+time=2", "+tries=1", name, rtype], stdout=subprocess.PIPE,
                         text=True).stdout
    status = re.search(r"status: (\w+)", out)
    answers = re.findall(r"^\S+\s+\d+\s+IN\s+%s\s+(.*)$" % rtype, out, re.M)
    return (status.group(1) if status else "no answer"), sorted(answers)


def processes():
    """Live processes of the namespace, by pid: their command names."""
    found = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    stat = f.read()
            except OSError:
                continue
            if stat[stat.rfind(")") + 2] != "Z":
                found[int(entry)] = stat[stat.index("(") + 1:stat.rfind(")")]
    return found


class Fixtures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.before = processes()
        began = time.monotonic()
        cls.world = world.World().start()
        print("the world started in %.2f s" % (time.monotonic() - began))
        cls.plan = cls.world.plan

    @classmethod
    def tearDownClass(cls):
        folder = cls.world.dir
        cls.world.stop()
        # Nothing of the world is left: no process, no mount, no folder.
        left = {pid: name for pid, name in processes().items()
                if pid not in cls.before and pid != os.getpid()}
        assert not left, "left running: %r" % left
        with open("/proc/self/mounts") as f:
            mounts = f.read()
        assert folder not in mounts and "overlay /run " not in mounts, mounts
        assert not os.path.exists(folder), folder

    def test_dns(self):
        servers = self.plan["servers"]
        cases = [(s["domains"][0], "MX", "NOERROR", ["10 mx.%s." % s["domains"][0]]) for s in servers.values()]
        cases += [("mx.%s" % s["domains"][0], "A", "NOERROR", [s["address"]]) for s in servers.values()]
        cases += [
            ("twomx.world.test", "MX", "NOERROR", ["10 mx1.twomx.world.test.", "20 mx2.twomx.world.test."]),
            ("mx1.twomx.world.test", "A", "NOERROR", [world.DEAD_MX]),
            ("aonly.world.test", "MX", "NOERROR", []),
            ("aonly.world.test", "A", "NOERROR", [servers["stock"]["address"]]),
            ("nullmx.world.test", "MX", "NOERROR", ["0 ."]),
            ("nxdomain.world.test", "MX", "NXDOMAIN", []),
            ("servfail.world.test", "MX", "SERVFAIL", []),
            ("dnsdown.world.test", "MX", "no answer", []),
            ("1.0.0.127." + world.BLOCKLIST, "A", "NOERROR", ["127.0.0.2"]),
            # The proxies' addresses are not listed.
            ("98.2.0.127." + world.BLOCKLIST, "A", "NXDOMAIN", []),
        ]
        for name, rtype, status, answers in cases:
            with self.subTest(name=name, type=rtype):
                self.assertEqual(dig(name, rtype), (status, answers))

    def test_rcpt_probes(self):
        servers = self.plan["servers"]
        greylisted = []
        for row in expectations.ROWS:
            if row.rcpt is None:
                continue
            with self.subTest(row=row.name):
                smtp = smtplib.SMTP(servers[row.server]["address"], 25, timeout=10)
                code, text, encrypted = probe(smtp, row.address)
                self.assertEqual(code, row.rcpt[0][0], text)
                self.assertTrue(text.startswith(row.rcpt[0][1]), text)
                self.assertEqual(encrypted, row.tls)
                if len(row.rcpt) > 1:
                    greylisted.append((time.monotonic(), row))
        # The second try of each greylisted address, once its delay is over.
        for asked, row in greylisted:
            with self.subTest(row=row.name, attempt=2):
                time.sleep(max(0.0, asked + world.GREYLIST_DELAY + 0.5 - time.monotonic()))
                smtp = smtplib.SMTP(servers[row.server]["address"], 25, timeout=10)
                code, text, _ = probe(smtp, row.address)
                self.assertEqual((code, text[:len(row.rcpt[1][1])]), row.rcpt[1])
        # The first MX of twomx.world.test refuses connections.
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection((world.DEAD_MX, 25), timeout=5).close()

    def test_error_limits(self):
        """The strict server says 421 and hangs up once a client has made
        its hard limit of errors."""
        smtp = smtplib.SMTP(self.plan["servers"]["strict"]["address"], 25, timeout=10)
        smtp.ehlo("client.world.test")
        self.assertEqual(smtp.mail("<>")[0], 250)
        self.assertEqual(smtp.rcpt("nosuchuser@strict.world.test")[0], 550)
        self.assertEqual(smtp.rcpt("nosuchuser2@strict.world.test")[0], 550)
        code, text = smtp.rset()
        smtp.close()
        self.assertEqual(code, 421, text)

    def test_proxies(self):
        servers = self.plan["servers"]
        stock, blocked = servers["stock"]["address"], servers["blocked"]["address"]
        log = os.path.join(self.world.dir, "postfix-stock", "maillog")
        start = os.path.getsize(log)
        for name, proxy in world.PROXIES.items():
            with self.subTest(proxy=name):
                smtp = ProxiedSMTP(proxy, proxy.get("user"), proxy.get("password"),
                                   host=stock, port=25, timeout=10)
                self.assertEqual(probe(smtp, "alice@stock.world.test")[:2], (250, "2.1.5 Ok"))
                # The blocklist does not hold the proxy's address.
                smtp = ProxiedSMTP(proxy, proxy.get("user"), proxy.get("password"),
                                   host=blocked, port=25, timeout=10)
                self.assertEqual(probe(smtp, "alice@blocked.world.test")[0], 250)
        # The mail server saw each proxy's outside address, never ours.
        deadline = time.monotonic() + 5
        while True:
            with open(log) as f:
                f.seek(start)
                text = f.read()
            seen = set(re.findall(r"connect from \S*\[([0-9.]+)\]", text))
            if all(p["external"] in seen for p in world.PROXIES.values()) or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        self.assertEqual(seen, {p["external"] for p in world.PROXIES.values()})

        auth = world.PROXIES["auth"]
        with self.assertRaises(PermissionError):
            socks5(auth, stock, 25, auth["user"], "wrong-password")
        # Without a password it is not let in at all.
        with self.assertRaises(ConnectionError):
            socks5(auth, stock, 25)


if __name__ == "__main__":
    unittest.main()
