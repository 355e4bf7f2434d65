"""Runs the README's examples as they are written: the C++ and C fragments
(wrapped in a main function and compiled against the build), the Python
one, and the bulk command line. Their address, someone@example.org, is
served inside the test network by a scripted peer that answers vrfy with
250, so each example must come out verified. And the README's tables of
result texts and transcript lines against the table of literals the tests
read (tests/golden/texts.tsv).

Runs inside tests/netns/run --zones tests/readme/examples.zones, under
tests/support/smtp_peer.py --peer 127.0.0.81=...
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import golden_texts  # noqa: E402

VERIFIED = golden_texts.text("verified")
# The rows of returnvar's texts, and of the transcript's lines with the
# words the README writes for their blanks.
RESULT_ROWS = ["verified", "no_mail_server", "could_not_connect", "timed_out", "pipe_failed", "start_failed",
               "read_failed", "invalid_email", "invalid_from"]
TRANSCRIPT_ROWS = [("telnet_line", "HOST"), ("connect_error_line", "HOST"), ("helo_line", "FROM"),
                   ("vrfy_line", "EMAIL"), ("quit_line", None)]


def blocks(readme, lang):
    """The fenced blocks of the given language, in order."""
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    return re.findall(r"^```" + re.escape(lang) + r"\n(.*?)^```$", text, re.S | re.M)


def only(readme, lang, containing):
    found = [b for b in blocks(readme, lang) if containing in b]
    if len(found) != 1:
        sys.exit("README: expected one ```%s block with %r, found %d" % (lang, containing, len(found)))
    return found[0]


def wrap(fragment, headers):
    """A fragment made a program: its #include lines first, the rest in main."""
    lines = fragment.splitlines()
    includes = [l for l in lines if l.startswith("#include")]
    body = [l for l in lines if not l.startswith("#include") and l.strip()]
    return "\n".join(headers + includes + ["int main(void)", "{"] + body + ["return 0;", "}", ""])


def readme_texts(readme, failures):
    """The README shows every text as the table of literals has it: a row
    `TEXT` of its result texts ("N" for a number), and each transcript line
    in its paragraph on the transcript."""
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    rows = golden_texts.rows()
    shown = set(re.findall(r"^\| `([^`]+)` \|", text, re.M))
    for name in RESULT_ROWS:
        want = rows[name].replace("{}", "N")
        failures.expect("README result text " + name, want in shown, "no row `%s` in its result texts" % want)
    section = re.search(r"^### Transcript lines.*?(?=^#)", text, re.S | re.M)
    paragraph = " ".join(section.group(0).split()) if section else ""
    for name, blank in TRANSCRIPT_ROWS:
        form = rows[name]
        want = "`%s`" % (form.replace("{}", blank) if blank else form).rstrip("\r\n")
        failures.expect("README transcript line " + name, want in paragraph,
                        "%s not in its transcript paragraph" % want)


def run(cmd, **kw):
    # Text mode: CR LF in what the examples print reads as LF.
    return subprocess.run(cmd, capture_output=True, text=True, timeout=60, **kw)


class Failures:
    def __init__(self):
        self.count = 0

    def expect(self, name, ok, detail):
        if ok:
            print("ok: " + name)
        else:
            print("FAILED: %s: %s" % (name, detail), file=sys.stderr)
            self.count += 1


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--readme", required=True)
    ap.add_argument("--cc", required=True)
    ap.add_argument("--cxx", required=True)
    ap.add_argument("--include", required=True)
    ap.add_argument("--library", required=True)
    ap.add_argument("--pythonpath", required=True)
    ap.add_argument("--bindir", required=True, help="where verimex-check is")
    args = ap.parse_args()
    failures = Failures()
    readme_texts(args.readme, failures)
    libdir = os.path.dirname(args.library)
    link = ["-I", args.include, args.library, "-Wl,-rpath," + libdir]

    with tempfile.TemporaryDirectory(prefix="verimex-readme.") as work:
        # C++
        source = os.path.join(work, "example.cpp")
        with open(source, "w") as f:
            f.write(wrap(only(args.readme, "cpp", "quoverimex"), ["#include <iostream>"]))
        build = run([args.cxx, "-std=c++20", source, "-o", os.path.join(work, "cpp")] + link)
        if build.returncode != 0:
            failures.expect("C++ example compiles", False, build.stderr)
        else:
            out = run([os.path.join(work, "cpp")])
            failures.expect("C++ example", out.returncode == 0
                            and "telnet: mx.example.org\n" in out.stdout
                            and "vrfy someone@example.org\n250 " in out.stdout,
                            "status %d, printed %r %r" % (out.returncode, out.stdout, out.stderr))

        # C, as C99 with the warnings the C test uses.
        source = os.path.join(work, "example.c")
        with open(source, "w") as f:
            f.write(wrap(only(args.readme, "c", "verimex_create"), []))
        build = run([args.cc, "-std=c99", "-Wall", "-Wextra", "-Werror", source,
                     "-o", os.path.join(work, "c")] + link)
        if build.returncode != 0:
            failures.expect("C example compiles", False, build.stderr)
        else:
            out = run([os.path.join(work, "c")])
            failures.expect("C example", out.returncode == 0 and out.stdout == VERIFIED + "\n",
                            "status %d, printed %r %r" % (out.returncode, out.stdout, out.stderr))

        # Python, on the interpreter running this.
        env = dict(os.environ, PYTHONPATH=args.pythonpath)
        out = run([sys.executable, "-B", "-c", only(args.readme, "python", "import verimex")], env=env)
        failures.expect("Python example", out.returncode == 0 and out.stdout.startswith(VERIFIED + " telnet: "),
                        "status %d, printed %r %r" % (out.returncode, out.stdout, out.stderr))

        # The bulk command line, with a blank line in the input for its grep.
        line = [l for l in only(args.readme, "sh", "addresses.txt").splitlines() if "verimex-check" in l]
        with open(os.path.join(work, "addresses.txt"), "w") as f:
            f.write("someone@example.org\n\nsomeone.else@example.org\n")
        env = dict(os.environ, PATH=args.bindir + os.pathsep + os.environ.get("PATH", ""))
        out = run(["bash", "-e", "-o", "pipefail", "-c", line[0]], cwd=work, env=env)
        try:
            with open(os.path.join(work, "results.jsonl")) as f:
                results = [json.loads(l) for l in f]
        except (OSError, ValueError) as e:
            results = str(e)
        failures.expect("bulk example", out.returncode == 0 and isinstance(results, list)
                        and [r["address"] for r in results] == ["someone@example.org", "someone.else@example.org"]
                        and all(r["verified"] and r["returnvar"] == VERIFIED for r in results),
                        "status %d, results %r, stderr %r" % (out.returncode, results, out.stderr))
    return 1 if failures.count else 0


if __name__ == "__main__":
    sys.exit(main())
