"""The table of expectations: every address of the mail world (world.py),
what each server answers on the way, and what a user needs to be told.

One row per address (and per option where an option changes the outcome).
The columns:
  server     the world's server that answers for the domain (None: DNS
             alone decides); the fixture self-check asks it directly
  rcpt       what an RCPT probe learns there, as (code, start of the text
             after the code) for each try: EHLO, STARTTLS when the server
             wants it, MAIL FROM:<>, RCPT TO. Two entries: the first try,
             and one after the greylisting delay
  vrfy       what verimex-check answers with VRFY (the component's
             returnvar, without its CR LF), where it is part of the record
  verdict, reason   the engine's report for methods auto and rcpt
  retry      (verdict, reason) of the same check once the greylisting delay
             has passed
  auto_by    the command whose answer decides with method auto ("vrfy" or
             "rcpt"; method rcpt is always decided by "rcpt")
  catch_all, tls, mx, code, enhanced, role_account   the report's
             members; ANY: not compared (the engine may or may not ask for
             a random mailbox once the address itself has decided)
  options    what the check is given: {"tls": "require"|"off",
             "proxy": "open"|"auth"|"badauth", "catch_all": False}
Python 3 standard library only.
"""

import collections

from world import PROXY_PASSWORD

ANY = object()

Row = collections.namedtuple("Row", [
    "name", "address", "server", "rcpt", "vrfy", "verdict", "reason", "retry",
    "auto_by", "catch_all", "tls", "mx", "code", "enhanced", "role_account", "options"])

_DEFAULTS = dict(server=None, rcpt=None, vrfy=None, retry=None, auto_by="rcpt", catch_all=ANY,
                 tls=False, mx=ANY, code=ANY, enhanced=ANY, role_account=False, options={})


def _row(name, address, verdict, reason, **columns):
    unknown = set(columns) - set(_DEFAULTS)
    assert not unknown, unknown
    return Row(name=name, address=address, verdict=verdict, reason=reason, **dict(_DEFAULTS, **columns))


UNKNOWN_USER = "<{}>: Recipient address rejected: User unknown in local recipient table"
GREYLISTED = ("<alice@grey.world.test>: Recipient address rejected: Greylisted, "
              "see http://postgrey.schweikert.ch/help/grey.world.test.html")
BLOCKED = ("Service unavailable; Client host [127.0.0.1] blocked using zen.blocklist.test; "
           "127.0.0.1 is listed for the mail world's tests")
NO_MAIL_SERVER = "999 - could not find a mail server for the adress"
COULD_NOT_CONNECT = "ERROR: could not connect to mail server"

ROWS = [
    # Postfix as it ships: VRFY answers, but 252 decides nothing.
    _row("stock-known", "alice@stock.world.test", "deliverable", "accepted",
         server="stock", rcpt=[(250, "2.1.5 Ok")], vrfy="252 2.0.0 alice@stock.world.test",
         catch_all=False, mx="mx.stock.world.test", code=250, enhanced="2.1.5"),
    _row("stock-unknown", "nosuchuser@stock.world.test", "undeliverable", "no_such_mailbox",
         server="stock", rcpt=[(550, "5.1.1 " + UNKNOWN_USER.format("nosuchuser@stock.world.test"))],
         vrfy="550 5.1.1 " + UNKNOWN_USER.format("nosuchuser@stock.world.test"), auto_by="vrfy",
         mx="mx.stock.world.test", code=550, enhanced="5.1.1"),
    # disable_vrfy_command = yes
    _row("novrfy-known", "alice@novrfy.world.test", "deliverable", "accepted",
         server="novrfy", rcpt=[(250, "2.1.5 Ok")], vrfy="502 5.5.1 VRFY command is disabled",
         catch_all=False, mx="mx.novrfy.world.test", code=250, enhanced="2.1.5"),
    _row("novrfy-unknown", "nosuchuser@novrfy.world.test", "undeliverable", "no_such_mailbox",
         server="novrfy", rcpt=[(550, "5.1.1 " + UNKNOWN_USER.format("nosuchuser@novrfy.world.test"))],
         vrfy="502 5.5.1 VRFY command is disabled",
         mx="mx.novrfy.world.test", code=550, enhanced="5.1.1"),
    # Empty local_recipient_maps: every name is accepted.
    _row("catchall-any", "nosuchuser@catchall.world.test", "risky", "accept_all",
         server="catchall", rcpt=[(250, "2.1.5 Ok")], vrfy="252 2.0.0 nosuchuser@catchall.world.test",
         catch_all=True, mx="mx.catchall.world.test", code=250),
    # Without the random mailbox nothing tells the domain's habit.
    _row("catchall-unprobed", "nosuchuser@catchall.world.test", "deliverable", "accepted",
         options={"catch_all": False}, catch_all=None, mx="mx.catchall.world.test", code=250),
    # A role address (RFC 2142), on a domain that takes every name.
    _row("catchall-role", "postmaster@catchall.world.test", "risky", "accept_all",
         server="catchall", rcpt=[(250, "2.1.5 Ok")], catch_all=True, role_account=True, mx="mx.catchall.world.test", code=250),
    # postgrey: 450 on the first try, 250 once the delay has passed. Every
    # run of this row must ask for a recipient postgrey has not seen yet
    # (see fresh_greylisted).
    _row("grey-known", "alice@grey.world.test", "unknown", "greylisted",
         server="grey", rcpt=[(450, "4.2.0 " + GREYLISTED), (250, "2.1.5 Ok")],
         vrfy="450 4.2.0 " + GREYLISTED, retry=("deliverable", "accepted"), auto_by=ANY,
         mx="mx.grey.world.test", code=450, enhanced="4.2.0"),
    # smtpd_tls_security_level = encrypt
    _row("tls-known", "alice@tls.world.test", "deliverable", "accepted",
         server="tls", rcpt=[(250, "2.1.5 Ok")], vrfy="530 5.7.0 Must issue a STARTTLS command first",
         catch_all=False, tls=True, mx="mx.tls.world.test", code=250, enhanced="2.1.5"),
    _row("tls-unknown", "nosuchuser@tls.world.test", "undeliverable", "no_such_mailbox",
         server="tls", rcpt=[(550, "5.1.1 " + UNKNOWN_USER.format("nosuchuser@tls.world.test"))],
         vrfy="530 5.7.0 Must issue a STARTTLS command first",
         # Method auto asks VRFY after STARTTLS, where this Postfix answers
         # the unknown user with its 550 5.1.1: VRFY decides.
         auto_by="vrfy", tls=True, mx="mx.tls.world.test", code=550, enhanced="5.1.1"),
    _row("tls-off", "alice@tls.world.test", "unknown", "tls_required",
         options={"tls": "off"}, auto_by=ANY, mx="mx.tls.world.test", code=530, enhanced="5.7.0"),
    _row("tls-require", "alice@tls.world.test", "deliverable", "accepted",
         options={"tls": "require"}, catch_all=False, tls=True, mx="mx.tls.world.test", code=250),
    _row("tls-require-unoffered", "alice@stock.world.test", "unknown", "tls_required",
         options={"tls": "require"}, auto_by=ANY, mx=ANY, code=ANY),
    # Our address on the blocklist: the 554 is about us, not the mailbox.
    _row("blocked", "alice@blocked.world.test", "unknown", "blocked",
         server="blocked", rcpt=[(554, "5.7.1 " + BLOCKED)], vrfy="554 5.7.1 " + BLOCKED, auto_by=ANY,
         mx="mx.blocked.world.test", code=554, enhanced="5.7.1"),
    # Low error limits: the hard limit is reached by the probe's own
    # refusals; the verdict is in before the server hangs up.
    _row("strict-known", "alice@strict.world.test", "deliverable", "accepted",
         server="strict", rcpt=[(250, "2.1.5 Ok")], vrfy="502 5.5.1 VRFY command is disabled",
         mx="mx.strict.world.test", code=250, enhanced="2.1.5"),
    _row("strict-unknown", "nosuchuser@strict.world.test", "undeliverable", "no_such_mailbox",
         server="strict", rcpt=[(550, "5.1.1 " + UNKNOWN_USER.format("nosuchuser@strict.world.test"))],
         vrfy="502 5.5.1 VRFY command is disabled",
         mx="mx.strict.world.test", code=550, enhanced="5.1.1"),
    # OpenSMTPD as it ships: no VRFY at all.
    _row("opensmtpd-known", "alice@smtpd.world.test", "deliverable", "accepted",
         server="opensmtpd", rcpt=[(250, "2.1.5 Destination address valid")],
         vrfy="500 5.5.1 Invalid command: Command unrecognized",
         catch_all=False, mx="mx.smtpd.world.test", code=250, enhanced="2.1.5"),
    _row("opensmtpd-unknown", "nosuchuser@smtpd.world.test", "undeliverable", "no_such_mailbox",
         server="opensmtpd", rcpt=[(550, "Invalid recipient")],
         vrfy="500 5.5.1 Invalid command: Command unrecognized",
         mx="mx.smtpd.world.test", code=550, enhanced=None),
    # Exim, recipients verified at RCPT; it offers STARTTLS with a
    # certificate of its own making, which an opportunistic client takes.
    _row("exim-known", "alice@exim.world.test", "deliverable", "accepted",
         server="exim", rcpt=[(250, "Accepted")], vrfy="252 Administrative prohibition",
         catch_all=False, tls=True, mx="mx.exim.world.test", code=250, enhanced=None),
    _row("exim-unknown", "nosuchuser@exim.world.test", "undeliverable", "no_such_mailbox",
         server="exim", rcpt=[(550, "Unrouteable address")], vrfy="252 Administrative prohibition",
         tls=True, mx="mx.exim.world.test", code=550, enhanced=None),
    # DNS: two MX records, the first refusing; an A record alone (the
    # implicit MX); a null MX; NXDOMAIN; a server failure; no answer.
    _row("twomx", "alice@twomx.world.test", "deliverable", "accepted",
         vrfy="252 2.0.0 alice@twomx.world.test", catch_all=False, mx="mx2.twomx.world.test", code=250),
    _row("aonly", "alice@aonly.world.test", "deliverable", "accepted",
         vrfy=NO_MAIL_SERVER, catch_all=False, mx="aonly.world.test", code=250),
    _row("nullmx", "alice@nullmx.world.test", "undeliverable", "no_mail_server",
         vrfy=COULD_NOT_CONNECT, auto_by=None, catch_all=None, mx=None, code=None, enhanced=None),
    _row("nxdomain", "alice@nxdomain.world.test", "undeliverable", "no_mail_server",
         vrfy=NO_MAIL_SERVER, auto_by=None, catch_all=None, mx=None, code=None, enhanced=None),
    _row("servfail", "alice@servfail.world.test", "unknown", "dns_error",
         auto_by=None, catch_all=None, mx=None, code=None, enhanced=None),
    _row("dnsdown", "alice@dnsdown.world.test", "unknown", "dns_error",
         auto_by=None, catch_all=None, mx=None, code=None, enhanced=None),
    # Through the SOCKS5 proxies. The blocking server sees the proxy's
    # address, which no blocklist holds.
    _row("proxy-open", "alice@stock.world.test", "deliverable", "accepted",
         options={"proxy": "open"}, catch_all=False, mx="mx.stock.world.test", code=250),
    _row("proxy-auth", "alice@stock.world.test", "deliverable", "accepted",
         options={"proxy": "auth"}, catch_all=False, mx="mx.stock.world.test", code=250),
    _row("proxy-badauth", "alice@stock.world.test", "unknown", "proxy_error",
         options={"proxy": "badauth"}, auto_by=None, catch_all=None),
    _row("proxy-unblocked", "alice@blocked.world.test", "deliverable", "accepted",
         options={"proxy": "open"}, catch_all=False, mx="mx.blocked.world.test", code=250),
]

BY_NAME = {row.name: row for row in ROWS}
assert len(BY_NAME) == len(ROWS), "row names are unique"


def fresh_greylisted(row, run):
    """The address for the run-th check of a greylisted row: postgrey
    remembers each (client, sender, recipient), so every run takes a known
    user of its own (alice, bob, carol)."""
    if row.retry is None:
        return row.address
    users = ("alice", "bob", "carol")
    return users[run % len(users)] + row.address[row.address.index("@"):]


def proxy_url(plan, name):
    """The --proxy URL of an options["proxy"] name; "badauth" is the
    password-protected proxy with a wrong password."""
    if name == "badauth":
        return plan["proxies"]["auth"]["url"].replace(":%s@" % PROXY_PASSWORD, ":wrong-password@")
    return plan["proxies"][name]["url"]
