#!/usr/bin/env python3
"""The scripted mail server of every Python-driven test, benchmark and demo:
one asyncio loop holds every connection, so thousands at once cost it
little more than the bytes it writes. Each server listens on ADDRESS:PORT
(25 unless told) inside the private test network and plays a script:

- the dialog of a mail server, as far as a verifier goes: EHLO (HELO when
  EHLO is refused), MAIL FROM, RCPT TO for known and unknown mailboxes
  (250 / 550 5.1.1, or every name accepted: a catch-all), RSET, VRFY, NOOP,
  QUIT; `452 too many recipients` past a recipient limit; greylisting;
  Postfix's error limits (a pause per error past the soft limit, 421 and
  the end at the hard one); DATA is never taken;
- a greeting delay and a delay before every reply (a wide-area server);
- canned replies per command, in place of the dialog's own;
- the hostile cases: a server that never says a word, hangs up after its
  banner or after the first line it reads, resets the connection, or sends
  a reply without its line end.

Used two ways. Imported, by tests that look at what the server heard:

    from smtp_peer import Peer
    with Peer("127.0.0.71", vrfy="250 2.0.0 someone", name="mx.yes.test") as peer:
        ...
        peer.received      # every line received, line ends included

And as a program, which starts servers, then runs a command while they
serve and exits with its status, or prints "ready" and serves until it is
stopped (SIGTERM or SIGINT; with --while-stdin also when its standard
input closes; with --time-limit at the limit):

    smtp_peer.py [--while-stdin] [--time-limit S] [--peer ADDRESS=REPLY]...
                 [--mute ADDRESS]... [ADDRESS[:PORT]=PART[,KEY=VALUE]...]...
                 [-- COMMAND [ARG]...]

  --peer ADDRESS=REPLY   a server answering VRFY with REPLY
  --mute ADDRESS         a server that never says a word

PART names a script (see PARTS below): the hang-up cases of the Windows
tests (accept, reject, silent, hangup, blocked, drop-helo, reset, partial,
with their texts: banner "220 ADDRESS ESMTP", HELO "250 ADDRESS", VRFY
"250 WHO" or "550 WHO: no such user", anything else "500 unknown"), or
"scripted" for the dialog with the keys below. KEY=VALUE pairs change
any part:

  name=HOST             the host name its texts give (default ADDRESS)
  greeting-ms=N         wait N ms before the banner
  reply-ms=N            wait N ms before every reply
  vrfy=REPLY            answer VRFY with REPLY whoever is asked for
  mailboxes=A+B+...     the known local parts (a trailing * matches a prefix)
  catch-all=yes         accept every recipient
  recipient-limit=N     452 4.5.3 past N recipients in one transaction
  greylist-s=S          450 4.2.0 for a recipient until S seconds after its
                        first try (the first try always)
  soft-error-limit=N, hard-error-limit=N, error-sleep-ms=N
                        Postfix's error limits
  ehlo=no               refuse EHLO as an unknown command
"""

import argparse
import asyncio
import dataclasses
import resource
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

SMTP_PORT = 25
# The longest line a session reads; a longer one ends the session.
LINE_LIMIT = 64 * 1024
# What the blocking hang-up cases send: a refusal of our address, in two lines.
BLOCKED = "554-5.7.1 blocked\r\n554 5.7.1 your address is listed\r\n"


class Raw(bytes):
    """Bytes a server sends exactly as they are, with no line end added."""


def wire(reply):
    """A reply as sent: a Raw as it is; text or bytes with CR LF added unless
    they end a line already (a multi-line reply holds its inner line ends)."""
    if isinstance(reply, Raw):
        return bytes(reply)
    data = bytes(reply) if isinstance(reply, (bytes, bytearray)) else reply.encode("utf-8", "surrogateescape")
    return data if data.endswith(b"\n") else data + b"\r\n"


def _path_of(arg, keyword):
    """The address in "FROM:<a@b> PARAMS" (keyword FROM) or "TO:<a@b>"; None
    when the argument is not of that form."""
    head, colon, rest = arg.partition(":")
    if not colon or head.strip().upper() != keyword:
        return None
    rest = rest.strip()
    if not rest.startswith("<") or ">" not in rest:
        return None
    return rest[1:rest.index(">")]


@dataclasses.dataclass
class Script:
    """What one server does. Replies are text, bytes or Raw (see wire());
    "{name}" in a text reply stands for the server's name. Every option has
    the default of a plain, quick mail server."""

    name: str = None  # the host name its texts give; None: its address
    banner: object = "220 {name} ESMTP scripted"
    greeting_delay: float = 0.0  # seconds before the banner
    reply_delay: float = 0.0  # seconds before every reply
    # Accepts the connection and reads, never says a word.
    mute: bool = False
    # after-banner: closes once the banner is sent; after-line: reads one
    # line, then closes unanswered; reset-after-line: reads one line, then
    # resets the connection.
    hang_up: str = None
    ehlo: bool = True  # False: EHLO is an unknown command
    ehlo_keywords: tuple = ("PIPELINING", "SIZE 10240000", "VRFY", "ENHANCEDSTATUSCODES", "8BITMIME")
    helo: object = "250 {name}"
    # A reply for every VRFY, or a function of the argument giving one;
    # None: answered from the mailboxes.
    vrfy: object = None
    # Local parts (or whole addresses) known; a dict gives each a full name
    # for VRFY. A trailing "*" matches every local part it begins.
    mailboxes: object = None
    catch_all: bool = False  # every recipient accepted
    recipient_limit: int = None  # 452 4.5.3 past this many in one transaction
    greylist: float = None  # seconds a recipient stays refused after its first try
    # Postfix's smtpd_soft_error_limit, smtpd_hard_error_limit and
    # smtpd_error_sleep_time.
    soft_error_limit: int = None
    hard_error_limit: int = None
    error_sleep: float = 1.0
    # verb (lower case) -> reply, or a function (argument, session) -> reply.
    replies: dict = dataclasses.field(default_factory=dict)
    unknown: object = "502 5.5.2 Error: command not recognized"
    quit: object = "221 2.0.0 Bye"

    def __post_init__(self):
        if self.hang_up not in (None, "after-banner", "after-line", "reset-after-line"):
            raise ValueError("smtp_peer: unknown hang-up %r" % self.hang_up)
        boxes = self.mailboxes
        self.mailboxes = {} if boxes is None else dict(boxes) if isinstance(boxes, dict) else dict.fromkeys(boxes)

    def known(self, address):
        """The entry of the mailboxes that address matches, or None."""
        local = address.rpartition("@")[0] if "@" in address else address
        for entry in self.mailboxes:
            probe = address if "@" in entry else local
            if entry.endswith("*") and probe.lower().startswith(entry[:-1].lower()):
                return entry
            if probe.lower() == entry.lower():
                return entry
        return None


def hang_up_case(part, address):
    """The script of one of the Windows tests' parts (module doc), with
    their texts, for the server on address."""
    banner = "220 %s ESMTP" % address
    texts = dict(name=address, banner=banner, helo="250 {name}", quit="221 {name}", unknown="500 unknown")
    parts = {
        "accept": dict(vrfy=lambda who: "250 " + who),
        "reject": dict(vrfy=lambda who: "550 %s: no such user" % who),
        "silent": dict(mute=True),
        "hangup": dict(hang_up="after-banner"),
        "blocked": dict(banner=Raw(BLOCKED.encode()), hang_up="after-banner"),
        "drop-helo": dict(hang_up="after-line"),
        # The reset comes once the helo line is in, the sign that the
        # client has what was said: earlier, it could overtake it.
        "reset": dict(banner=Raw((banner + "\r\n" + BLOCKED).encode()), hang_up="reset-after-line"),
        "partial": dict(banner=Raw((BLOCKED + banner[:-1]).encode()), hang_up="after-banner"),
    }
    if part not in parts:
        raise ValueError("smtp_peer: unknown part %r" % part)
    texts.update(parts[part])
    return Script(**texts)


PARTS = ("accept", "reject", "silent", "hangup", "blocked", "drop-helo", "reset", "partial", "scripted")


class _Session:
    """One connection's state in the dialog."""

    def __init__(self):
        self.greeted = False
        self.mail_from = None  # the sender of the open transaction
        self.recipients = 0  # accepted in the open transaction
        self.errors = 0


class _LoopThread:
    """The one asyncio loop of the process that every server runs on, in a
    thread of its own so that a test's own code stays synchronous."""

    _lock = threading.Lock()
    _loop = None

    @classmethod
    def loop(cls):
        with cls._lock:
            if cls._loop is None:
                loop = asyncio.new_event_loop()
                threading.Thread(target=loop.run_forever, name="smtp_peer", daemon=True).start()
                cls._loop = loop
            return cls._loop

    @classmethod
    def run(cls, coroutine):
        return asyncio.run_coroutine_threadsafe(coroutine, cls.loop()).result()


class Peer:
    """One scripted mail server, listening from construction until stop();
    a context manager that stops it on exit. Options are Script's, or a
    whole Script as script."""

    def __init__(self, address, port=SMTP_PORT, *, script=None, record=True, **options):
        self.address = address
        self.port = port
        self.script = script or Script(**options)
        self.name = self.script.name or address
        self._record = record
        self._lock = threading.Lock()
        self._received = []
        self._connections = 0
        self._greylisted = {}  # recipient -> when first tried
        self._sessions = set()
        listener = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            listener.bind((address, port))
            # Thousands of clients may connect within milliseconds of each other.
            listener.listen(65535)
        except OSError:
            listener.close()
            raise
        self._server = _LoopThread.run(self._start(listener))

    async def _start(self, listener):
        # backlog again: asyncio calls listen() itself, with 100 unless told.
        return await asyncio.start_server(self._serve, sock=listener, backlog=65535, limit=LINE_LIMIT)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    @property
    def received(self):
        """The lines received so far, by every connection, line ends included."""
        with self._lock:
            return list(self._received)

    @property
    def connections(self):
        """How many connections it has accepted."""
        with self._lock:
            return self._connections

    def stop(self):
        """Stops listening and ends every connection; idempotent."""
        if self._server is not None:
            _LoopThread.run(self._stop())
            self._server = None

    async def _stop(self):
        self._server.close()
        for task in list(self._sessions):
            task.cancel()
        if self._sessions:
            await asyncio.wait(list(self._sessions))
        await self._server.wait_closed()

    # ---- one connection ---------------------------------------------------

    async def _serve(self, reader, writer):
        task = asyncio.current_task()
        self._sessions.add(task)
        with self._lock:
            self._connections += 1
        try:
            await self._converse(reader, writer)
        except (ConnectionError, OSError, ValueError, asyncio.CancelledError):
            # A client gone, a line past the limit, or the server stopping.
            pass
        finally:
            self._sessions.discard(task)
            writer.close()

    async def _read_line(self, reader):
        line = await reader.readline()
        if line and self._record:
            with self._lock:
                self._received.append(line.decode("utf-8", "surrogateescape"))
        return line

    async def _send(self, writer, reply):
        if isinstance(reply, str):
            reply = reply.replace("{name}", self.name)
        writer.write(wire(reply))
        await writer.drain()

    async def _converse(self, reader, writer):
        s = self.script
        if s.mute:
            while await self._read_line(reader):
                pass
            return
        if s.greeting_delay:
            await asyncio.sleep(s.greeting_delay)
        await self._send(writer, s.banner)
        if s.hang_up == "after-banner":
            return
        if s.hang_up in ("after-line", "reset-after-line"):
            if await self._read_line(reader) and s.hang_up == "reset-after-line":
                # A zero linger time makes the close abort with RST.
                writer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                           struct.pack("ii", 1, 0))
                writer.transport.abort()
            return
        session = _Session()
        while True:
            raw = await self._read_line(reader)
            if not raw.endswith(b"\n"):
                return  # the client went, perhaps in the middle of a line
            line = raw.rstrip(b"\r\n").decode("utf-8", "surrogateescape")
            if s.hard_error_limit is not None and session.errors >= s.hard_error_limit:
                await self._send(writer, "421 4.7.0 {name} Error: too many errors")
                return
            verb, _, arg = line.partition(" ")
            verb = verb.lower()
            reply, end = self._answer(session, verb, arg.strip())
            if wire(reply)[:1] in (b"4", b"5"):
                session.errors += 1
            delay = s.reply_delay
            if s.soft_error_limit is not None and session.errors > s.soft_error_limit:
                delay += s.error_sleep
            if delay:
                await asyncio.sleep(delay)
            await self._send(writer, reply)
            if end:
                return

    def _answer(self, session, verb, arg):
        """The reply to one command, and whether the session ends after it."""
        s = self.script
        if verb in s.replies:
            canned = s.replies[verb]
            return (canned(arg, session) if callable(canned) else canned), verb == "quit"
        if verb == "helo":
            session.greeted = True
            session.mail_from, session.recipients = None, 0
            return s.helo, False
        if verb == "ehlo" and s.ehlo:
            session.greeted = True
            session.mail_from, session.recipients = None, 0
            lines = [self.name] + list(s.ehlo_keywords)
            return "".join("250%s%s\r\n" % ("-" if i < len(lines) - 1 else " ", l) for i, l in enumerate(lines)), False
        if verb == "mail":
            return self._mail(session, arg), False
        if verb == "rcpt":
            return self._rcpt(session, arg), False
        if verb == "rset":
            session.mail_from, session.recipients = None, 0
            return "250 2.0.0 Ok", False
        if verb == "vrfy":
            return self._vrfy(arg), False
        if verb == "noop":
            return "250 2.0.0 Ok", False
        if verb == "data":
            if session.mail_from is None:
                return "503 5.5.1 Error: need MAIL command", False
            return "554 5.5.1 Error: no mail is taken here", False
        if verb == "quit":
            return s.quit, True
        return s.unknown, False

    def _mail(self, session, arg):
        if not session.greeted:
            return "503 5.5.1 Error: send HELO/EHLO first"
        if session.mail_from is not None:
            return "503 5.5.1 Error: nested MAIL command"
        sender = _path_of(arg, "FROM")
        if sender is None:
            return "501 5.5.4 Syntax: MAIL FROM:<address>"
        session.mail_from, session.recipients = sender, 0
        return "250 2.1.0 Ok"

    def _rcpt(self, session, arg):
        s = self.script
        if session.mail_from is None:
            return "503 5.5.1 Error: need MAIL command"
        recipient = _path_of(arg, "TO")
        if recipient is None or not recipient:
            return "501 5.5.4 Syntax: RCPT TO:<address>"
        if s.recipient_limit is not None and session.recipients >= s.recipient_limit:
            return "452 4.5.3 Error: too many recipients"
        if s.greylist is not None:
            key = recipient.lower()
            now = time.monotonic()
            with self._lock:
                first = self._greylisted.setdefault(key, now)
            if first == now or now - first < s.greylist:
                return ("450 4.2.0 <%s>: Recipient address rejected: Greylisted, see "
                        "http://postgrey.schweikert.ch/help/%s.html" % (recipient, recipient.rpartition("@")[2]))
        if s.catch_all or s.known(recipient) is not None:
            session.recipients += 1
            return "250 2.1.5 Ok"
        return "550 5.1.1 <%s>: Recipient address rejected: User unknown in local recipient table" % recipient

    def _vrfy(self, arg):
        s = self.script
        if s.vrfy is not None:
            return s.vrfy(arg) if callable(s.vrfy) else s.vrfy
        who = arg.strip("<>")
        if s.catch_all:
            return "252 2.0.0 %s" % who
        entry = s.known(who)
        if entry is None:
            return "550 5.1.1 <%s>: Recipient address rejected: User unknown in local recipient table" % who
        full_name = s.mailboxes.get(entry)
        return "250 2.0.0 %s <%s>" % (full_name, who) if full_name else "250 2.0.0 <%s>" % who


# ---- the program -------------------------------------------------------------

def _options(pairs):
    """Script options from KEY=VALUE words."""
    yes = {"yes": True, "on": True, "1": True, "no": False, "off": False, "0": False}
    keys = {
        "name": ("name", str),
        "greeting-ms": ("greeting_delay", lambda v: int(v) / 1000.0),
        "reply-ms": ("reply_delay", lambda v: int(v) / 1000.0),
        "vrfy": ("vrfy", str),
        "mailboxes": ("mailboxes", lambda v: [m for m in v.split("+") if m]),
        "catch-all": ("catch_all", lambda v: yes[v]),
        "recipient-limit": ("recipient_limit", int),
        "greylist-s": ("greylist", float),
        "soft-error-limit": ("soft_error_limit", int),
        "hard-error-limit": ("hard_error_limit", int),
        "error-sleep-ms": ("error_sleep", lambda v: int(v) / 1000.0),
        "ehlo": ("ehlo", lambda v: yes[v]),
    }
    options = {}
    for pair in pairs:
        key, equals, value = pair.partition("=")
        if not equals or key not in keys:
            raise ValueError("unknown option %r" % pair)
        attribute, convert = keys[key]
        try:
            options[attribute] = convert(value)
        except (KeyError, ValueError):
            raise ValueError("bad value in %r" % pair) from None
    return options


def _server_of(setup):
    """(address, port, Script) of "ADDRESS[:PORT]=PART[,KEY=VALUE]..."."""
    where, equals, what = setup.partition("=")
    part, *pairs = what.split(",")
    if not equals or part not in PARTS:
        raise ValueError("expected ADDRESS=PART with PART one of %s, got %r" % (", ".join(PARTS), setup))
    address, port = where, SMTP_PORT
    if where.count(":") == 1:
        address, port = where.split(":")[0], int(where.split(":")[1])
    options = _options(pairs)
    if part == "scripted":
        return address, port, Script(**options)
    return address, port, dataclasses.replace(hang_up_case(part, address), **options)


def main(argv):
    parser = argparse.ArgumentParser(
        description="Scripted mail servers: run a command while they serve, or serve until stopped.",
        epilog="PART: " + ", ".join(PARTS) + ". The module's documentation lists the KEYs.")
    parser.add_argument("--peer", action="append", default=[], metavar="ADDRESS=REPLY",
                        help="a server on ADDRESS:25 answering VRFY with REPLY")
    parser.add_argument("--mute", action="append", default=[], metavar="ADDRESS",
                        help="a server on ADDRESS:25 that never says a word")
    parser.add_argument("--while-stdin", action="store_true",
                        help="without a command: also stop when standard input closes")
    parser.add_argument("--time-limit", type=float, metavar="S",
                        help="without a command: stop after S seconds at the latest")
    parser.add_argument("servers", nargs="*", metavar="ADDRESS[:PORT]=PART[,KEY=VALUE]...")
    # Everything after "--" is the command, whatever it looks like.
    command = []
    if "--" in argv:
        command = argv[argv.index("--") + 1:]
        argv = argv[:argv.index("--")]
    args = parser.parse_args(argv)
    try:
        wanted = [_server_of(setup) for setup in args.servers]
    except ValueError as e:
        parser.error(str(e))
    for entry in args.peer:
        address, _, reply = entry.partition("=")
        wanted.append((address, SMTP_PORT, Script(vrfy=reply)))
    wanted += [(address, SMTP_PORT, Script(mute=True)) for address in args.mute]
    if not wanted:
        parser.error("no server")

    # As many connections as the hard limit lets one process hold.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    peers = []
    try:
        for address, port, script in wanted:
            peers.append(Peer(address, port, script=script, record=False))
        if command:
            return subprocess.call(command)
        done = threading.Event()
        # Before "ready": a driver may stop it the moment it has read that.
        signal.signal(signal.SIGTERM, lambda *_: done.set())
        if args.while_stdin:
            threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
        print("ready", flush=True)
        try:
            done.wait(args.time_limit)
        except KeyboardInterrupt:
            pass
        return 0
    finally:
        for peer in peers:
            peer.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
