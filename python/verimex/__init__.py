"""verimex: e-mail address verification for Python.

A thin layer over the C interface of libverimex, loaded with ctypes; no
compiled extension. One ``quoverimex`` object is one verifier::

    import verimex

    v = verimex.quoverimex()
    v.email = "someone@example.org"
    v.from_ = "checker.example.org"
    v.timeout = 5
    v.check()
    print(v.returnvar)      # "000" when a mail server confirmed the address
    print(v.smtp)           # the dialog with the mail servers

The properties are those of the component: ``email``, ``nslookup``,
``smtp``, ``returnvar``, ``from`` and ``timeout``. ``from`` is a Python
keyword, so write ``v.from_`` (``getattr(v, "from")`` works as well).
Every outcome the verifier detects is a text in ``returnvar``; only an error
raised by the platform itself (a negative ``timeout`` refused by the timer, a
failing socket call) comes out of ``check()`` or ``checktime()`` as a
``PlatformError``.

Texts are UTF-8 on the C side. Bytes that are not valid UTF-8 (a mail server
may send any) are kept as surrogate escapes, so a text read and written back
is unchanged.

An object is used from the thread that created it; objects on one thread
share that thread's timer and socket, so their calls must not overlap.

The verification engine checks one address in one call, from any thread,
and says why::

    report = verimex.verify("someone@example.org", helo="checker.example.org")
    print(report.verdict, report.reason)   # "deliverable accepted"
    print(report.as_dict())                # the members of the JSON report

``verify()`` takes ``method`` ("auto", "rcpt" or "vrfy"), ``helo``,
``mail_from``, ``timeout``, ``total_timeout``, ``tls`` ("try", "require",
"off"), ``proxy`` ("socks5://[USER:PASSWORD@]HOST:PORT"), ``catch_all``,
``dns_server``, ``refuse_private_mx`` and ``disposable_list``, and returns a
``Report`` whose attributes are named as the JSON report's members.

Before a bulk run, ``preflight()`` says whether mail servers will believe
this machine (port 25, reverse DNS, HELO name, blocklists, SPF)::

    report = verimex.preflight(helo="mail.example.org")
    print(report.text)       # one line per finding, with what to do
    if report.blocked: ...   # a finding would get the run refused

The library is looked for, in this order: the file named by the environment
variable ``VERIMEX_LIBRARY``; the library this copy of the package was built
or installed with; ``libverimex.so.1`` on the system's search path.
"""

import ctypes
import ctypes.util
import os

__all__ = ["quoverimex", "verify", "Report", "preflight", "PreflightReport", "Finding", "Error", "PlatformError",
           "version", "library_path"]

# Status codes of verimex.h.
_OK = 0
_ERR_PLATFORM = 2
_ERR_NOMEM = 3
_ERR_INVALID = 5

_INT16_MIN = -(2 ** 15)
_INT16_MAX = 2 ** 15 - 1


class Error(Exception):
    """A call into libverimex failed.

    ``status`` is the C interface's status code, ``code`` the operating
    system's error number behind the failure (0 when there was none).
    """

    def __init__(self, message, status, code=0):
        super().__init__(message)
        self.status = status
        self.code = code


class PlatformError(Error):
    """The platform raised an error during ``check()`` or ``checktime()``."""


def _candidates():
    from_env = os.environ.get("VERIMEX_LIBRARY")
    if from_env:
        # Asked for by name: no quiet fallback to some other copy.
        return [from_env]
    found = []
    try:
        from . import _paths
    except ImportError:
        _paths = None
    if _paths is not None and _paths.LIBRARY:
        here = os.path.dirname(os.path.abspath(__file__))
        found.append(os.path.normpath(os.path.join(here, _paths.LIBRARY)))
    by_name = ctypes.util.find_library("verimex")
    if by_name:
        found.append(by_name)
    found.append("libverimex.so.1")
    return found


def _load():
    failures = []
    for path in _candidates():
        try:
            return ctypes.CDLL(path), path
        except OSError as e:
            failures.append("%s: %s" % (path, e))
    raise ImportError("verimex: cannot load libverimex (set VERIMEX_LIBRARY to its path); tried "
                      + "; ".join(failures))


_lib, library_path = _load()


def _declare(name, restype, *argtypes):
    f = getattr(_lib, name)
    f.restype = restype
    f.argtypes = list(argtypes)
    return f


_handle_t = ctypes.c_void_p
_verimex_version = _declare("verimex_version", ctypes.c_char_p, ctypes.POINTER(ctypes.c_int))
_verimex_create = _declare("verimex_create", ctypes.c_int, ctypes.POINTER(_handle_t))
_verimex_destroy = _declare("verimex_destroy", None, _handle_t)
_verimex_check = _declare("verimex_check", ctypes.c_int, _handle_t)
_verimex_checktime = _declare("verimex_checktime", ctypes.c_int, _handle_t, ctypes.POINTER(ctypes.c_int))
_verimex_get_timeout = _declare("verimex_get_timeout", ctypes.c_int, _handle_t, ctypes.POINTER(ctypes.c_int16))
_verimex_set_timeout = _declare("verimex_set_timeout", ctypes.c_int, _handle_t, ctypes.c_int16)
_verimex_error = _declare("verimex_error", ctypes.c_char_p, _handle_t)
_verimex_error_code = _declare("verimex_error_code", ctypes.c_int, _handle_t)

_getters = {}
_setters = {}
for _name in ("email", "nslookup", "smtp", "returnvar", "from"):
    _getters[_name] = _declare("verimex_get_" + _name, ctypes.c_int, _handle_t,
                               ctypes.POINTER(ctypes.POINTER(ctypes.c_char)),
                               ctypes.POINTER(ctypes.c_size_t))
    _setters[_name] = _declare("verimex_set_" + _name, ctypes.c_int, _handle_t, ctypes.c_char_p)
del _name


def version():
    """The version of the loaded library, as "major.minor.patch"."""
    return _verimex_version(None).decode("ascii")


def _raise_for(status, handle):
    message = (_verimex_error(handle) or b"").decode("utf-8", "replace")
    code = _verimex_error_code(handle)
    if status == _ERR_NOMEM:
        raise MemoryError(message)
    if status == _ERR_PLATFORM:
        raise PlatformError(message, status, code)
    raise Error(message, status, code)


def _text_property(name):
    getter = _getters[name]
    setter = _setters[name]

    def fget(self):
        handle = self._live()
        value = ctypes.POINTER(ctypes.c_char)()
        length = ctypes.c_size_t()
        status = getter(handle, ctypes.byref(value), ctypes.byref(length))
        if status != _OK:
            _raise_for(status, handle)
        # By length: a server's reply may hold a NUL byte.
        return ctypes.string_at(value, length.value).decode("utf-8", "surrogateescape")

    def fset(self, text):
        if not isinstance(text, str):
            raise TypeError("verimex: %s must be a str, not %s" % (name, type(text).__name__))
        data = text.encode("utf-8", "surrogateescape")
        if b"\0" in data:
            # The C interface takes NUL-terminated text: it would be cut.
            raise ValueError("verimex: %s contains a NUL character" % name)
        handle = self._live()
        status = setter(handle, data)
        if status != _OK:
            _raise_for(status, handle)

    return property(fget, fset, doc="The %s property (str)." % name)


class quoverimex:
    """One verifier object; see the module's documentation."""

    def __init__(self):
        self._handle = None
        handle = _handle_t()
        status = _verimex_create(ctypes.byref(handle))
        if status != _OK:
            _raise_for(status, None)
        self._handle = handle

    def _live(self):
        if self._handle is None:
            raise ValueError("verimex: the object has been closed")
        return self._handle

    def close(self):
        """Releases the C object now rather than when garbage is collected."""
        if self._handle is not None:
            _verimex_destroy(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        # At interpreter exit the module's globals may already be gone.
        if getattr(self, "_handle", None) is not None and _verimex_destroy is not None:
            self.close()

    email = _text_property("email")
    nslookup = _text_property("nslookup")
    smtp = _text_property("smtp")
    returnvar = _text_property("returnvar")
    from_ = _text_property("from")

    @property
    def timeout(self):
        """Time limit in seconds (a 16-bit signed integer); 0 means 120."""
        handle = self._live()
        value = ctypes.c_int16()
        status = _verimex_get_timeout(handle, ctypes.byref(value))
        if status != _OK:
            _raise_for(status, handle)
        return value.value

    @timeout.setter
    def timeout(self, seconds):
        if isinstance(seconds, bool) or not isinstance(seconds, int):
            raise TypeError("verimex: timeout must be an int, not %s" % type(seconds).__name__)
        if not _INT16_MIN <= seconds <= _INT16_MAX:
            # ctypes would wrap it around silently.
            raise OverflowError("verimex: timeout %d does not fit a 16-bit signed integer" % seconds)
        handle = self._live()
        status = _verimex_set_timeout(handle, seconds)
        if status != _OK:
            _raise_for(status, handle)

    def check(self):
        """Runs one verification; the outcome is in returnvar and smtp."""
        handle = self._live()
        status = _verimex_check(handle)
        if status != _OK:
            _raise_for(status, handle)

    def checktime(self):
        """True once the time limit of the last check has run out (returnvar
        then holds the timeout text)."""
        handle = self._live()
        expired = ctypes.c_int()
        status = _verimex_checktime(handle, ctypes.byref(expired))
        if status != _OK:
            _raise_for(status, handle)
        return bool(expired.value)


# The component's own name for the sender property.
setattr(quoverimex, "from", quoverimex.from_)


# ---- the verification engine --------------------------------------------


class _VerifyOptions(ctypes.Structure):
    _fields_ = [
        ("method", ctypes.c_char_p),
        ("helo", ctypes.c_char_p),
        ("mail_from", ctypes.c_char_p),
        ("timeout", ctypes.c_int),
        ("total_timeout", ctypes.c_uint),
        ("tls", ctypes.c_char_p),
        ("proxy", ctypes.c_char_p),
        ("catch_all", ctypes.c_int),
        ("dns_server", ctypes.c_char_p),
        ("refuse_private_mx", ctypes.c_int),
        ("disposable_list", ctypes.c_char_p),
        ("cancel", ctypes.c_void_p),
    ]


_report_t = ctypes.c_void_p
_verimex_verify = _declare("verimex_verify", ctypes.c_int, ctypes.c_char_p, ctypes.POINTER(_VerifyOptions),
                           ctypes.POINTER(_report_t))
_verimex_report_free = _declare("verimex_report_free", None, _report_t)
_report_texts = {}
for _name in ("address", "returnvar", "transcript", "error"):
    _report_texts[_name] = _declare("verimex_report_" + _name, ctypes.POINTER(ctypes.c_char), _report_t,
                                    ctypes.POINTER(ctypes.c_size_t))
_report_words = {}
for _name in ("method", "verdict", "reason", "mx", "enhanced", "tls_version"):
    _report_words[_name] = _declare("verimex_report_" + _name, ctypes.c_char_p, _report_t)
_report_ints = {}
for _name in ("verified", "code", "catch_all", "tls", "role_account", "disposable"):
    _report_ints[_name] = _declare("verimex_report_" + _name, ctypes.c_int, _report_t)
del _name


class Report:
    """What one check found. The attributes are the JSON report's members:
    ``address``, ``returnvar``, ``verified``, ``transcript``, ``error``,
    ``method`` ("vrfy"/"rcpt" or None), ``verdict``, ``reason``, ``mx``,
    ``code``, ``enhanced``, ``catch_all`` (True/False, None when not
    probed), ``tls``, ``tls_version``, ``role_account`` and ``disposable``."""

    _members = ("address", "returnvar", "verified", "transcript", "error", "method", "verdict", "reason", "mx",
                "code", "enhanced", "catch_all", "tls", "tls_version", "role_account", "disposable")

    def __init__(self, **members):
        for name in self._members:
            setattr(self, name, members.get(name))

    def as_dict(self):
        """The members as a dict, in the JSON report's order."""
        return {name: getattr(self, name) for name in self._members}

    def __repr__(self):
        return "verimex.Report(%r, verdict=%r, reason=%r)" % (self.address, self.verdict, self.reason)


def _text(value, name):
    if not isinstance(value, str):
        raise TypeError("verimex: %s must be a str, not %s" % (name, type(value).__name__))
    data = value.encode("utf-8", "surrogateescape")
    if b"\0" in data:
        raise ValueError("verimex: %s contains a NUL character" % name)
    return data


def verify(address, method="auto", helo="", mail_from="", timeout=0, total_timeout=0, tls="try", proxy="",
           catch_all=True, dns_server="", refuse_private_mx=False, disposable_list=""):
    """Checks one address and returns its Report (see the module's
    documentation). Blocks until the check is over, at most total_timeout
    seconds (0: four times the time limit). Raises ValueError for an option
    that names nothing."""
    for name, value in (("timeout", timeout), ("total_timeout", total_timeout)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError("verimex: %s must be an int, not %s" % (name, type(value).__name__))
    if not _INT16_MIN <= timeout <= _INT16_MAX:
        raise OverflowError("verimex: timeout %d does not fit a 16-bit signed integer" % timeout)
    if not 0 <= total_timeout <= 2 ** 32 - 1:
        raise OverflowError("verimex: total_timeout %d is out of range" % total_timeout)
    options = _VerifyOptions(
        method=_text(method, "method"), helo=_text(helo, "helo"), mail_from=_text(mail_from, "mail_from"),
        timeout=timeout, total_timeout=total_timeout, tls=_text(tls, "tls"), proxy=_text(proxy, "proxy"),
        catch_all=1 if catch_all else 0, dns_server=_text(dns_server, "dns_server"),
        refuse_private_mx=1 if refuse_private_mx else 0, disposable_list=_text(disposable_list, "disposable_list"),
        cancel=None)
    handle = _report_t()
    status = _verimex_verify(_text(address, "address"), ctypes.byref(options), ctypes.byref(handle))
    if status == _ERR_INVALID:
        raise ValueError((_verimex_error(None) or b"").decode("utf-8", "replace"))
    if status != _OK:
        _raise_for(status, None)
    try:
        members = {}
        for name, getter in _report_texts.items():
            length = ctypes.c_size_t()
            value = getter(handle, ctypes.byref(length))
            members[name] = ctypes.string_at(value, length.value).decode("utf-8", "surrogateescape")
        for name, getter in _report_words.items():
            value = getter(handle)
            members[name] = None if value is None else value.decode("utf-8", "surrogateescape")
        for name, getter in _report_ints.items():
            members[name] = getter(handle)
    finally:
        _verimex_report_free(handle)
    for name in ("verified", "tls", "role_account", "disposable"):
        members[name] = bool(members[name])
    members["code"] = None if members["code"] < 0 else members["code"]
    members["catch_all"] = None if members["catch_all"] < 0 else bool(members["catch_all"])
    return Report(**members)


# ---- the preflight self-check -------------------------------------------


class _PreflightOptions(ctypes.Structure):
    _fields_ = [
        ("helo", ctypes.c_char_p),
        ("mail_from", ctypes.c_char_p),
        ("public_address", ctypes.c_char_p),
        ("test_host", ctypes.c_char_p),
        ("proxy", ctypes.c_char_p),
        ("blocklists", ctypes.POINTER(ctypes.c_char_p)),
        ("timeout", ctypes.c_int),
        ("dns_server", ctypes.c_char_p),
        ("cancel", ctypes.c_void_p),
    ]


_preflight_t = ctypes.c_void_p
_verimex_preflight = _declare("verimex_preflight", ctypes.c_int, ctypes.POINTER(_PreflightOptions),
                              ctypes.POINTER(_preflight_t))
_verimex_preflight_free = _declare("verimex_preflight_report_free", None, _preflight_t)
_preflight_words = {}
for _name in ("error", "address", "address_source", "text"):
    _preflight_words[_name] = _declare("verimex_preflight_report_" + _name, ctypes.c_char_p, _preflight_t)
_preflight_flags = {}
for _name in ("blocked", "cancelled", "address_guess"):
    _preflight_flags[_name] = _declare("verimex_preflight_report_" + _name, ctypes.c_int, _preflight_t)
_preflight_count = _declare("verimex_preflight_report_findings", ctypes.c_size_t, _preflight_t)
_finding_words = {}
for _name in ("check", "status", "subject", "text", "advice"):
    _finding_words[_name] = _declare("verimex_preflight_finding_" + _name, ctypes.c_char_p, _preflight_t,
                                     ctypes.c_size_t)
del _name


class Finding:
    """One check of the preflight: ``check`` ("port25", "reverse_dns",
    "helo", "blocklist", "spf"), ``status`` ("ok", "warning", "blocking",
    "could_not_tell"), ``subject`` (what was checked), ``text`` (what was
    found) and ``advice`` (what to do about it)."""

    _members = ("check", "status", "subject", "text", "advice")

    def __init__(self, **members):
        for name in self._members:
            setattr(self, name, members.get(name))

    def as_dict(self):
        return {name: getattr(self, name) for name in self._members}

    def __repr__(self):
        return "verimex.Finding(%r, %r, %r)" % (self.check, self.status, self.subject)


class PreflightReport:
    """What the preflight found: ``blocked``, ``cancelled``, ``error``,
    ``address`` (the address checked), ``address_source`` ("given",
    "connection", "proxy", "route" or ""), ``address_guess``, ``findings``
    (a list of Finding) and ``text`` (the report for people)."""

    _members = ("blocked", "cancelled", "error", "address", "address_source", "address_guess", "findings")

    def __init__(self, text="", **members):
        for name in self._members:
            setattr(self, name, members.get(name))
        self.text = text

    def as_dict(self):
        """The members as a dict, the findings as dicts: the JSON form."""
        out = {name: getattr(self, name) for name in self._members}
        out["findings"] = [f.as_dict() for f in self.findings]
        return out

    def __repr__(self):
        return "verimex.PreflightReport(blocked=%r, %d findings)" % (self.blocked, len(self.findings))


def preflight(helo="", mail_from="", public_address="", test_host="", proxy="", blocklists=None, timeout=0,
              dns_server=""):
    """Runs the preflight self-check and returns its PreflightReport.
    test_host "" is gmail-smtp-in.l.google.com; blocklists None is the
    default list (zen.spamhaus.org, bl.spamcop.net, b.barracudacentral.org),
    else a list of zones. Blocks until every check is done, each step at
    most timeout seconds (0: 10)."""
    if isinstance(timeout, bool) or not isinstance(timeout, int):
        raise TypeError("verimex: timeout must be an int, not %s" % type(timeout).__name__)
    if not _INT16_MIN <= timeout <= _INT16_MAX:
        raise OverflowError("verimex: timeout %d does not fit a 16-bit signed integer" % timeout)
    zones = None
    if blocklists is not None:
        if isinstance(blocklists, str):
            raise TypeError("verimex: blocklists must be a list of zones, not a str")
        encoded = [_text(z, "blocklists") for z in blocklists]
        zones = (ctypes.c_char_p * (len(encoded) + 1))(*encoded, None)
    options = _PreflightOptions(
        helo=_text(helo, "helo"), mail_from=_text(mail_from, "mail_from"),
        public_address=_text(public_address, "public_address"), test_host=_text(test_host, "test_host"),
        proxy=_text(proxy, "proxy"), blocklists=zones, timeout=timeout, dns_server=_text(dns_server, "dns_server"),
        cancel=None)
    handle = _preflight_t()
    status = _verimex_preflight(ctypes.byref(options), ctypes.byref(handle))
    if status == _ERR_INVALID:
        raise ValueError((_verimex_error(None) or b"").decode("utf-8", "replace"))
    if status != _OK:
        _raise_for(status, None)

    def text(value):
        return "" if value is None else value.decode("utf-8", "surrogateescape")

    try:
        members = {name: text(getter(handle)) for name, getter in _preflight_words.items()}
        for name, getter in _preflight_flags.items():
            members[name] = bool(getter(handle))
        members["findings"] = [
            Finding(**{name: text(getter(handle, i)) for name, getter in _finding_words.items()})
            for i in range(_preflight_count(handle))]
    finally:
        _verimex_preflight_free(handle)
    return PreflightReport(**members)
