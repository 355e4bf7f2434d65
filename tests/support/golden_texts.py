"""The component's exact texts for the Python tests, read from the one table
of literals, tests/golden/texts.tsv (its head says the format).

    import golden_texts
    golden_texts.text("timed_out", 1)     # "ERROR: timeout after 1 seconds."
"""

import os

TABLE = os.environ.get("VERIMEX_GOLDEN_TEXTS") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "golden", "texts.tsv")

_ESCAPES = {"r": "\r", "n": "\n", "\\": "\\"}


def _unescape(name, raw):
    out, i = [], 0
    while i < len(raw):
        c = raw[i]
        if c == "\\":
            if raw[i + 1:i + 2] not in _ESCAPES:
                raise ValueError("golden texts: row %s has an unknown escape" % name)
            c = _ESCAPES[raw[i + 1]]
            i += 1
        out.append(c)
        i += 1
    return "".join(out)


def rows(path=TABLE):
    """Every row of the table: name -> text with its blanks ("{}") left in."""
    found = {}
    with open(path, encoding="utf-8", newline="") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if not line or line.startswith("#"):
                continue
            name, tab, raw = line.partition("\t")
            if not tab:
                raise ValueError("golden texts: a row without a tab: %r" % line)
            if name in found:
                raise ValueError("golden texts: row %s twice" % name)
            found[name] = _unescape(name, raw)
    return found


_ROWS = rows()


def text(name, *blanks):
    """The text called name, its blanks filled in order by blanks (any
    value, written with str()); KeyError for an unknown name, ValueError for
    a count of blanks that does not match the row."""
    parts = _ROWS[name].split("{}")
    if len(parts) - 1 != len(blanks):
        raise ValueError("golden texts: %s has %d blanks, given %d" % (name, len(parts) - 1, len(blanks)))
    out = parts[0]
    for blank, part in zip(blanks, parts[1:]):
        out += str(blank) + part
    return out
