#!/usr/bin/env python3
"""Compares what the POSIX build and the Windows build under Wine wrote.

    wine-compare.py report|diagnostics POSIX_FILE WINE_FILE

Both files already have their line ends and run header dealt with.  Exits 0
when they are equal or differ only in the ways the two platforms explain,
listing each such difference; 1 otherwise, with the first lines that differ.

Explained differences:
  report       the same SID in the same place, named by one side's account
               lookup and not by the other's (the POSIX build knows a table
               of well-known SIDs, Wine's LookupAccountSidA knows its own).
  diagnostics  the lookup failures that go with those SIDs ("... (1332) -
               winsid GetSidHash() ... LookupAccountSid" with the blank lines
               before it), and the system error texts, which each side's
               system writes for the number (FormatMessage on Windows,
               "Unknown error" where Wine has none): only the numbers are
               compared.
"""
import re
import sys

SID = re.compile(r"S-1-[0-9]+(?:-[0-9]+)*")
LOOKUP_FAILURE = re.compile(r"^ERROR .* \(1332\) - winsid GetSidHash\(\) .*LookupAccountSid")
SYSTEM_ERROR = re.compile(r"^(ERROR|FATAL|WARNING) (.*) \(([0-9]+)\) - ")


def read(path):
    with open(path, encoding="latin-1") as f:
        return f.read().split("\n")


def show_diff(p, w):
    for i, (a, b) in enumerate(zip(p, w)):
        if a != b:
            print("line %d:\n  posix %r\n  wine  %r" % (i + 1, a[:200], b[:200]))
            return
    print("line counts differ: posix %d, wine %d" % (len(p), len(w)))


def report(p, w):
    if len(p) != len(w):
        show_diff(p, w)
        return 1
    named = 0
    for i, (a, b) in enumerate(zip(p, w)):
        if a == b:
            continue
        sids = SID.findall(a)
        # The SID text must be the same on both sides and everything before
        # it too: only what follows the SID, its type and name, may differ.
        if not sids or sids != SID.findall(b) or a[:a.index(sids[0])] != b[:b.index(sids[0])]:
            show_diff(p[i:], w[i:])
            return 1
        # In a line of fields the name is the last field of the SID's
        # entry; elsewhere the rest of the line is type and name.
        print("  account name: posix %r\n                wine  %r" % (a[:160], b[:160]))
        named += 1
    print("%d account-name differences" % named)
    return 0


def normalize_diagnostics(lines):
    """Drops the lookup failures with the blank lines before them, and
    writes every system error text as its code alone."""
    out = []
    failures = 0
    for line in lines:
        if LOOKUP_FAILURE.match(line):
            failures += 1
            while out and out[-1] == "":
                out.pop()
            continue
        m = SYSTEM_ERROR.match(line)
        if m and m.group(2) != "-":
            line = "%s <system message %s> (%s) - %s" % (
                m.group(1), m.group(3), m.group(3), line[m.end():])
        out.append(line)
    return out, failures


def diagnostics(p, w):
    np, fp = normalize_diagnostics(p)
    nw, fw = normalize_diagnostics(w)
    if np != nw:
        show_diff(np, nw)
        return 1
    texts = sum(1 for b in w if "Unknown error (" in b)
    print("account lookup failures: posix %d, wine %d; system messages unknown to wine: %d"
          % (fp, fw, texts))
    return 0


def main():
    kind, pfile, wfile = sys.argv[1:4]
    p, w = read(pfile), read(wfile)
    if p == w:
        return 0
    return report(p, w) if kind == "report" else diagnostics(p, w)


if __name__ == "__main__":
    sys.exit(main())
