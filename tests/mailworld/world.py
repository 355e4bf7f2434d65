#!/usr/bin/env python3
"""The mail world: real mail servers, each domain served as configured.

Inside the private network of tests/netns/run (loopback only; its dnsmasq
serving tests/mailworld/world.zones) this starts Postfix in its common
configurations, Postfix behind postgrey, OpenSMTPD, Exim, two Dante SOCKS5
proxies and a DNS peer that answers SERVFAIL, each on a loopback address of
its own, with its configuration, queue and log under one folder. Every
process is recorded by its process group, and stopping kills those groups
and removes the folder: nothing is left running.

Known mailboxes are users of a namespace-private /etc/passwd (a copy with
our users, bind-mounted over the real one inside the mount namespace); the
real machine's user list is never touched.

    world.py start DIR        start the world in DIR (made, must not exist)
                              and print its plan as JSON
    world.py stop DIR         stop it and remove DIR
    world.py run -- CMD...    start in a temporary folder, run CMD with
                              VERIMEX_WORLD=DIR (DIR/plan.json: the plan),
                              stop; CMD's exit status

From Python:  with World() as world: ...  (world.dir, world.plan)
Python 3 standard library only.
"""

import argparse
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
POSTFIX_INSTANCE = os.path.join(TESTS, "support", "postfix-instance")
FETCH_SERVERS = os.path.join(HERE, "fetch-servers")
ZONES = os.path.join(HERE, "world.zones")

# Seconds postgrey makes a new (client, sender, recipient) wait.
GREYLIST_DELAY = 2
# The blocklist the blocking Postfix asks (world.zones lists 127.0.0.1).
BLOCKLIST = "zen.blocklist.test"

# Known mailboxes on every server that delivers locally.
USERS = ("alice", "bob", "carol")
# The SOCKS5 proxy's account; the password is the test's own.
PROXY_USER = "proxyuser"
PROXY_PASSWORD = "proxy-secret-7"
# Users the servers run as, in the namespace's passwd only (the packages
# that would make them are never installed).
SERVICE_USERS = ("Debian-exim", "opensmtpd", "opensmtpq")

# The plan: every server, its address and what it is for. world.zones gives
# each domain its MX records, pointing at these addresses.
POSTFIXES = {
    # As it ships: VRFY on, known users 252, unknown 550 5.1.1.
    "stock": {
        "address": "127.0.2.10",
        "domain": "stock.world.test",
        # It is also the second MX of twomx and the A record of aonly.
        "domains": ["twomx.world.test", "aonly.world.test"],
        "settings": {},
    },
    "novrfy": {
        "address": "127.0.2.11",
        "domain": "novrfy.world.test",
        "settings": {"disable_vrfy_command": "yes"},
    },
    # Every recipient is accepted at RCPT (and would bounce later).
    "catchall": {
        "address": "127.0.2.12",
        "domain": "catchall.world.test",
        "settings": {"local_recipient_maps": ""},
    },
    # Unknown users are refused before the policy server is asked, as the
    # usual setups order it, so only real mailboxes are greylisted.
    "grey": {
        "address": "127.0.2.13",
        "domain": "grey.world.test",
        "settings": {
            "smtpd_recipient_restrictions":
                "reject_unlisted_recipient, check_policy_service inet:127.0.2.13:10023",
        },
    },
    "tls": {
        "address": "127.0.2.14",
        "domain": "tls.world.test",
        "settings": {
            "smtpd_tls_security_level": "encrypt",
            "smtpd_tls_cert_file": "{dir}/tls/cert.pem",
            "smtpd_tls_key_file": "{dir}/tls/key.pem",
            "smtpd_tls_loglevel": "1",
        },
    },
    # Our client address (127.0.0.1) is on the blocklist.
    "blocked": {
        "address": "127.0.2.15",
        "domain": "blocked.world.test",
        "settings": {"smtpd_recipient_restrictions": "reject_rbl_client " + BLOCKLIST},
    },
    # Low error limits: after the soft limit each error costs a second, at
    # the hard limit the server says 421 and hangs up.
    "strict": {
        "address": "127.0.2.16",
        "domain": "strict.world.test",
        "settings": {
            "disable_vrfy_command": "yes",
            "smtpd_soft_error_limit": "1",
            "smtpd_hard_error_limit": "2",
            "smtpd_error_sleep_time": "1s",
        },
    },
}
OPENSMTPD = {"address": "127.0.2.17", "domain": "smtpd.world.test"}
EXIM = {"address": "127.0.2.18", "domain": "exim.world.test"}
# The first MX of twomx.world.test: nothing listens there.
DEAD_MX = "127.0.2.30"
# servfail.world.test is forwarded to a peer that answers SERVFAIL, and
# dnsdown.world.test to an address where nothing answers.
SERVFAIL_DNS = "127.0.2.53"
DEAD_DNS = "127.0.2.54"
# The SOCKS5 proxies: where clients connect, and the distinct address they
# connect out from, so a mail server's log tells them from a direct client.
PROXIES = {
    "open": {"address": "127.0.2.90", "port": 1080, "external": "127.0.2.98"},
    "auth": {"address": "127.0.2.91", "port": 1080, "external": "127.0.2.99",
             "user": PROXY_USER, "password": PROXY_PASSWORD},
}

STATE = "world.json"


class WorldError(Exception):
    pass


# What the sanitizer builds of the tests preload into python3 is for our own
# code only. The world's servers would inherit it with this process's
# environment, and a sanitizer run-time preloaded into Exim or Postfix
# changes how they behave (under it Exim's sessions ended right after
# STARTTLS), so they start without it.
_SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS")


def _server_env(kw):
    """kw, a subprocess call's keywords, given an environment without the
    sanitizer's variables unless it names one."""
    if "env" not in kw:
        kw["env"] = {k: v for k, v in os.environ.items() if k not in _SANITIZER_VARIABLES}


def _run(argv, **kw):
    _server_env(kw)
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)
    if proc.returncode != 0:
        raise WorldError("%s failed (exit %d):\n%s" % (" ".join(argv), proc.returncode, proc.stdout))
    return proc.stdout


def plan():
    """What the world holds, as printed by "start": JSON-ready."""
    servers = {}
    for name, pf in POSTFIXES.items():
        servers[name] = {"software": "postfix", "address": pf["address"],
                         "domains": [pf["domain"]] + pf.get("domains", [])}
    servers["opensmtpd"] = {"software": "opensmtpd", "address": OPENSMTPD["address"],
                            "domains": [OPENSMTPD["domain"]]}
    servers["exim"] = {"software": "exim", "address": EXIM["address"], "domains": [EXIM["domain"]]}
    proxies = {}
    for name, p in PROXIES.items():
        auth = "%s:%s@" % (p["user"], p["password"]) if "user" in p else ""
        proxies[name] = {"url": "socks5://%s%s:%d" % (auth, p["address"], p["port"]),
                         "external": p["external"]}
    return {"servers": servers, "proxies": proxies, "users": list(USERS),
            "greylist_delay": GREYLIST_DELAY, "blocklist": BLOCKLIST,
            "dead_mx": DEAD_MX, "zones": ZONES}


# ---- processes: each in a group of its own, recorded as soon as it exists

def _group_members(pgid):
    """Live (not zombie) processes of a process group."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        # The command name is in parentheses and may hold spaces.
        fields = stat[stat.rfind(")") + 2:].split()
        if fields[0] != "Z" and int(fields[2]) == pgid:
            members.append(int(entry))
    return members


def _kill_group(pgid, children, grace=5.0):
    """SIGTERM to the group, SIGKILL to what is left after grace seconds;
    returns once none of it runs. children (Popen objects of ours) are
    reaped on the way; others' zombies are their parent's to collect."""
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
        try:
            os.killpg(pgid, sig)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            for child in children:
                child.poll()
            if not _group_members(pgid):
                return
            time.sleep(0.02)
    raise WorldError("process group %d survived SIGKILL" % pgid)


def _wait_port(address, port, what, proc=None, log=None, limit=15.0):
    deadline = time.monotonic() + limit
    while True:
        try:
            with socket.create_connection((address, port), timeout=1):
                return
        except OSError:
            pass
        if proc is not None and proc.poll() is not None:
            break
        if time.monotonic() > deadline:
            break
        time.sleep(0.02)
    text = ""
    if log and os.path.exists(log):
        with open(log, errors="replace") as f:
            text = f.read()[-4000:]
    raise WorldError("%s did not listen on %s:%d\n%s" % (what, address, port, text))


class World:
    """The running world in one folder. start() and stop() are the CLI's;
    as a context manager it starts in a temporary folder and always stops."""

    def __init__(self, directory=None):
        self._temporary = directory is None
        self.dir = directory
        self.plan = plan()
        self._state = {"groups": {}, "mounts": [], "addresses": []}
        self._lock = threading.Lock()
        # The daemons this object started, reaped by stop(); a world started
        # by another process is stopped by its groups alone.
        self._children = []

    # -- state on disk, so that "stop" in another process finds everything

    def _save(self):
        tmp = os.path.join(self.dir, STATE + ".new")
        with open(tmp, "w") as f:
            json.dump(self._state, f)
        os.replace(tmp, os.path.join(self.dir, STATE))

    def _record_group(self, name, pgid):
        with self._lock:
            self._state["groups"][name] = pgid
            self._save()

    def _spawn(self, name, argv, log, **kw):
        """A daemon in the foreground, in a session of its own; its output to
        log. Recorded before anything can go wrong with it."""
        _server_env(kw)
        out = open(log, "ab")
        try:
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                    start_new_session=True, **kw)
        finally:
            out.close()
        self._children.append(proc)
        self._record_group(name, proc.pid)
        return proc

    # -- start

    def start(self):
        # Never on the host: the servers would take port 25 of real
        # interfaces, and the passwd of the machine would be covered.
        if not os.environ.get("VERIMEX_NETNS"):
            raise WorldError("run me inside tests/netns/run --zones %s" % ZONES)
        if os.geteuid() != 0:
            raise WorldError("needs root (mounts, addresses, the servers' users)")
        if self._temporary:
            self.dir = tempfile.mkdtemp(prefix="verimex-world.")
        else:
            os.mkdir(self.dir)
        # Postfix wants every folder above its own owned by root and not
        # writable by others; the services' users must walk into them.
        os.chmod(self.dir, 0o755)
        self._save()
        try:
            servers_root = _run([FETCH_SERVERS, "--check"]).strip().splitlines()[-1]
            self._addresses()
            self._users()
            self._private_folders()
            self._certificate()
            # In parallel: most of the start is each server's own.
            jobs = [("postfix-" + n, self._postfix, (n,)) for n in POSTFIXES]
            jobs += [("opensmtpd", self._opensmtpd, (servers_root,)),
                     ("exim", self._exim, (servers_root,)),
                     ("postgrey", self._postgrey, ()),
                     ("dante", self._dante, ()),
                     ("servfail-dns", self._servfail_peer, ())]
            failures = []

            def one(name, start, args):
                try:
                    start(*args)
                except Exception as e:  # all reported together below
                    failures.append("%s: %s" % (name, e))

            threads = [threading.Thread(target=one, args=job) for job in jobs]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            if failures:
                raise WorldError("the world did not start:\n" + "\n".join(failures))
        except BaseException as failure:
            # What did start goes; the first failure is the one to report.
            try:
                self.stop()
            except WorldError as e:
                raise WorldError("%s\nand then: %s" % (failure, e)) from failure
            raise
        with open(os.path.join(self.dir, "plan.json"), "w") as f:
            json.dump(self.plan, f, indent=1)
        return self

    def _addresses(self):
        wanted = [pf["address"] for pf in POSTFIXES.values()]
        wanted += [OPENSMTPD["address"], EXIM["address"], SERVFAIL_DNS]
        for p in PROXIES.values():
            wanted += [p["address"], p["external"]]
        have = _run(["ip", "-4", "addr", "show", "dev", "lo"])
        for address in wanted:
            if " %s/" % address in have:
                continue
            _run(["ip", "addr", "add", address + "/32", "dev", "lo"])
            self._state["addresses"].append(address)
            self._save()
            # A held address becomes the source of connections to it; the
            # servers must see our client as 127.0.0.1 (the address the
            # blocklist lists), as they would see one outside address.
            # Proxies' external addresses stay their own source.
            if address not in [p["external"] for p in PROXIES.values()]:
                _run(["ip", "route", "replace", "local", address, "dev", "lo", "table", "local",
                      "proto", "kernel", "scope", "host", "src", "127.0.0.1"])

    def _mount(self, source, target, *options):
        _run(["mount"] + list(options) + [source, target])
        self._state["mounts"].append(target)
        self._save()

    def _users(self):
        """passwd, group and shadow of our own over the real ones, inside
        this mount namespace only."""
        with open("/etc/passwd") as f:
            passwd = f.read()
        with open("/etc/group") as f:
            group = f.read()
        with open("/etc/shadow") as f:
            shadow = f.read()
        used = set()
        names = set()
        for line in passwd.splitlines() + group.splitlines():
            parts = line.split(":")
            if len(parts) > 2 and parts[2].isdigit():
                used.add(int(parts[2]))
                names.add(parts[0])
        crypted = _run(["openssl", "passwd", "-6", PROXY_PASSWORD]).strip()
        next_id = 61000
        for name in SERVICE_USERS + USERS + (PROXY_USER,):
            if name in names:
                continue
            while next_id in used:
                next_id += 1
            used.add(next_id)
            home = "/nonexistent"
            passwd += "%s:x:%d:%d::%s:/usr/sbin/nologin\n" % (name, next_id, next_id, home)
            group += "%s:x:%d:\n" % (name, next_id)
            password = crypted if name == PROXY_USER else "*"
            shadow += "%s:%s:20000:0:99999:7:::\n" % (name, password)
        etc = os.path.join(self.dir, "etc")
        os.mkdir(etc)
        for name, text, mode in (("passwd", passwd, 0o644), ("group", group, 0o644),
                                 ("shadow", shadow, 0o640)):
            path = os.path.join(etc, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, mode)
            self._mount(path, "/etc/" + name, "--bind")

    def _private_folders(self):
        """OpenSMTPD's queue, control socket and chroot are fixed paths
        (/var/spool/smtpd, /run/smtpd.sock, /var/lib/opensmtpd/empty):
        overlays keep what it writes there in our folder, so neither the
        machine nor a world in another namespace sees it."""
        for target in ("/run", "/var/spool", "/var/lib"):
            base = os.path.join(self.dir, "overlay", target.strip("/").replace("/", "-"))
            upper, work = os.path.join(base, "upper"), os.path.join(base, "work")
            os.makedirs(upper)
            os.makedirs(work)
            self._mount("overlay", target, "-t", "overlay", "-o",
                        "lowerdir=%s,upperdir=%s,workdir=%s" % (target, upper, work))

    def _certificate(self):
        tls = os.path.join(self.dir, "tls")
        os.mkdir(tls)
        name = "mx." + POSTFIXES["tls"]["domain"]
        # An EC key: made in milliseconds, where RSA takes a good part of a
        # second on a busy machine.
        _run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
              "-nodes", "-days", "2", "-subj", "/CN=" + name,
              "-keyout", os.path.join(tls, "key.pem"), "-out", os.path.join(tls, "cert.pem")])
        os.chmod(os.path.join(tls, "key.pem"), 0o600)

    # -- the servers

    def _postfix(self, name):
        pf = POSTFIXES[name]
        folder = os.path.join(self.dir, "postfix-" + name)
        domains = [pf["domain"]] + pf.get("domains", [])
        settings = dict(pf["settings"])
        settings.setdefault("mydestination", ", ".join(domains + ["mx." + pf["domain"]]))
        args = ["%s=%s" % (k, v.format(dir=self.dir)) for k, v in settings.items()]
        _run([POSTFIX_INSTANCE, "start", folder, pf["address"], pf["domain"]] + args)
        # The master has made itself a session leader: its group is its pid.
        with open(os.path.join(folder, "spool", "pid", "master.pid")) as f:
            self._record_group("postfix-" + name, int(f.read().split()[0]))

    def _postgrey(self):
        folder = os.path.join(self.dir, "postgrey")
        os.makedirs(os.path.join(folder, "db"))
        shutil.chown(os.path.join(folder, "db"), "postgrey", "postgrey")
        address = POSTFIXES["grey"]["address"]
        log = os.path.join(folder, "log")
        proc = self._spawn("postgrey", [
            "/usr/sbin/postgrey", "--inet=%s:10023" % address, "--delay=%d" % GREYLIST_DELAY,
            "--dbdir=" + os.path.join(folder, "db"), "--user=postgrey", "--group=postgrey",
            "--pidfile=" + os.path.join(folder, "pid")], log)
        _wait_port(address, 10023, "postgrey", proc, log)

    def _opensmtpd(self, root):
        folder = os.path.join(self.dir, "opensmtpd")
        os.makedirs(folder)
        # The fixed paths, inside our overlays (see _private_folders).
        os.makedirs("/var/spool/smtpd", exist_ok=True)
        os.chmod("/var/spool/smtpd", 0o711)
        os.makedirs("/var/lib/opensmtpd/empty", exist_ok=True)
        aliases = os.path.join(folder, "aliases")
        open(aliases, "w").close()
        conf = os.path.join(folder, "smtpd.conf")
        domain = OPENSMTPD["domain"]
        # Debian's smtpd.conf, listening on our address for our domain.
        with open(conf, "w") as f:
            f.write('table aliases file:%s\n'
                    'listen on %s hostname mx.%s\n'
                    'action "local" maildir alias <aliases>\n'
                    'match from any for domain "%s" action "local"\n'
                    % (aliases, OPENSMTPD["address"], domain, domain))
        log = os.path.join(folder, "log")
        # -d: in the foreground, the log on its standard error.
        proc = self._spawn("opensmtpd", [os.path.join(root, "opensmtpd/usr/sbin/smtpd"),
                                         "-d", "-f", conf], log)
        _wait_port(OPENSMTPD["address"], 25, "OpenSMTPD", proc, log)

    def _exim(self, root):
        folder = os.path.join(self.dir, "exim")
        for sub in ("spool", "log"):
            os.makedirs(os.path.join(folder, sub))
            shutil.chown(os.path.join(folder, sub), "Debian-exim", "Debian-exim")
        domain = EXIM["domain"]
        conf = os.path.join(folder, "exim.conf")
        # Exim offers STARTTLS whether or not it has a certificate; without
        # one it makes a self-signed one for every session. The world's
        # certificate instead, as a real installation has one, readable by
        # the user Exim runs as.
        for name in ("cert.pem", "key.pem"):
            copy = os.path.join(folder, name)
            shutil.copyfile(os.path.join(self.dir, "tls", name), copy)
            os.chmod(copy, 0o600)
            shutil.chown(copy, "Debian-exim", "Debian-exim")
        # Recipients verified at RCPT, as the usual configurations do; no
        # acl_smtp_vrfy, so VRFY gets Exim's 252.
        with open(conf, "w") as f:
            f.write("""primary_hostname = mx.{domain}
domainlist local_domains = {domain}
local_interfaces = {address}
daemon_smtp_ports = 25
spool_directory = {folder}/spool
log_file_path = {folder}/log/%slog
pid_file_path = {folder}/exim.pid
exim_user = Debian-exim
exim_group = Debian-exim
never_users = root
host_lookup =
rfc1413_hosts =
acl_smtp_rcpt = acl_check_rcpt
tls_certificate = {folder}/cert.pem
tls_privatekey = {folder}/key.pem

begin acl
acl_check_rcpt:
  require message = relay not permitted
          domains = +local_domains
  require verify = recipient
  accept

begin routers
localuser:
  driver = accept
  domains = +local_domains
  check_local_user
  transport = local_delivery

begin transports
local_delivery:
  driver = appendfile
  file = /dev/null
""".format(domain=domain, address=EXIM["address"], folder=folder))
        log = os.path.join(folder, "daemon.log")
        # -bdf: the daemon in the foreground; -q0 would run the queue: not.
        proc = self._spawn("exim", [os.path.join(root, "exim4-daemon-light/usr/sbin/exim4"),
                                    "-C", conf, "-bdf"], log)
        _wait_port(EXIM["address"], 25, "Exim", proc, log)

    def _dante(self):
        for name, p in PROXIES.items():
            folder = os.path.join(self.dir, "dante-" + name)
            os.makedirs(folder)
            conf = os.path.join(folder, "sockd.conf")
            method = "username" if "user" in p else "none"
            with open(conf, "w") as f:
                f.write("""logoutput: {folder}/log
internal: {address} port = {port}
external: {external}
clientmethod: none
socksmethod: {method}
user.privileged: root
user.unprivileged: nobody
client pass {{
  from: 127.0.0.0/8 to: 0.0.0.0/0
}}
socks pass {{
  from: 127.0.0.0/8 to: 127.0.0.0/8
  command: connect
  socksmethod: {method}
}}
""".format(folder=folder, method=method, **p))
            log = os.path.join(folder, "stderr")
            proc = self._spawn("dante-" + name, ["/usr/sbin/danted", "-f", conf,
                                                 "-p", os.path.join(folder, "pid")], log)
            _wait_port(p["address"], p["port"], "Dante (%s)" % name, proc, os.path.join(folder, "log"))

    def _servfail_peer(self):
        log = os.path.join(self.dir, "servfail-dns.log")
        proc = self._spawn("servfail-dns", [sys.executable, "-B", os.path.abspath(__file__),
                                            "servfail-peer", SERVFAIL_DNS], log)
        # It says "ready" once its socket is bound.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and proc.poll() is None:
            with open(log) as f:
                if "ready" in f.read():
                    return
            time.sleep(0.02)
        raise WorldError("the SERVFAIL peer did not start")

    # -- stop

    def stop(self):
        """Kills every recorded process group, undoes the mounts and
        addresses, removes the folder. Safe after a failed start."""
        if self.dir is None or not os.path.isdir(self.dir):
            return
        path = os.path.join(self.dir, STATE)
        if os.path.exists(path):
            with open(path) as f:
                self._state = json.load(f)
        errors = []
        for name, pgid in self._state["groups"].items():
            try:
                _kill_group(pgid, self._children)
            except WorldError as e:
                errors.append("%s: %s" % (name, e))
        for proc in self._children:
            if proc.poll() is None:
                errors.append("pid %d still runs" % proc.pid)
        self._children = []
        for target in reversed(self._state["mounts"]):
            proc = subprocess.run(["umount", target], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
            if proc.returncode != 0:
                errors.append("umount %s: %s" % (target, proc.stdout.strip()))
        for address in self._state["addresses"]:
            subprocess.run(["ip", "addr", "del", address + "/32", "dev", "lo"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if errors:
            raise WorldError("the world did not stop cleanly (folder kept: %s):\n%s"
                             % (self.dir, "\n".join(errors)))
        shutil.rmtree(self.dir)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


# ---- the SERVFAIL peer: every question gets SERVFAIL, nothing else

def servfail_peer(address):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, 53))
    print("ready", flush=True)
    while True:
        data, peer = sock.recvfrom(4096)
        if len(data) < 12:
            continue
        ident, flags, qdcount = struct.unpack("!HHH", data[:6])
        # The question as asked: the name's labels, then type and class.
        end = 12
        while end < len(data) and data[end] != 0:
            end += data[end] + 1
        end += 5
        if qdcount != 1 or end > len(data):
            continue
        # QR, the query's opcode and RD, RA, RCODE 2 (SERVFAIL).
        reply_flags = 0x8000 | (flags & 0x7900) | 0x0080 | 2
        sock.sendto(struct.pack("!HHHHHH", ident, reply_flags, 1, 0, 0, 0) + data[12:end], peer)


def main(argv):
    parser = argparse.ArgumentParser(description="The mail world of real servers for the tests.")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("start", help="start the world in DIR and print its plan")
    p.add_argument("dir")
    p = sub.add_parser("stop", help="stop the world of DIR and remove DIR")
    p.add_argument("dir")
    p = sub.add_parser("run", help="start, run a command with VERIMEX_WORLD=DIR, stop")
    p.add_argument("cmd", nargs=argparse.REMAINDER)
    p = sub.add_parser("servfail-peer")
    p.add_argument("address")
    args = parser.parse_args(argv)
    try:
        if args.command == "start":
            began = time.monotonic()
            World(os.path.abspath(args.dir)).start()
            shown = dict(plan(), started_in_seconds=round(time.monotonic() - began, 2))
            print(json.dumps(shown, indent=1))
            return 0
        if args.command == "stop":
            World(os.path.abspath(args.dir)).stop()
            return 0
        if args.command == "run":
            cmd = args.cmd[1:] if args.cmd[:1] == ["--"] else args.cmd
            if not cmd:
                parser.error("run: no command")
            # A SIGTERM (ctest's time limit, a kill) stops the world too.
            signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
            with World() as world:
                env = dict(os.environ, VERIMEX_WORLD=world.dir)
                return subprocess.call(cmd, env=env)
        if args.command == "servfail-peer":
            servfail_peer(args.address)
    except WorldError as e:
        print("world: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
