#!/usr/bin/env python3
"""Compares what the POSIX build and the Windows build under Wine wrote.

    wine-compare.py report|diagnostics POSIX_FILE WINE_FILE

Both files already have their line ends and run header dealt with.  Exits 0
when they are equal or differ only in the ways the two platforms explain,
listing each such difference; 1 otherwise, with the first lines that differ.

Explained differences:
  report       the same SID in the same place, named by one side's account
               lookup and not by the other's (the POSIX build knows a table
               of well-known SIDs, Wine's LookupAccountSidA knows its own);
               and no digest on the Windows side for a file whose
               WOF-compressed stream it could not decode, when the Windows
               side's diagnostics (the file WINE_DIAGNOSTICS names) say so.
  diagnostics  the lookup failures that go with those SIDs ("... (1332) -
               winsid GetSidHash() ... LookupAccountSid" with the blank lines
               before it), and the system error texts, which each side's
               system writes for the number (FormatMessage on Windows,
               "Unknown error" where Wine has none): only the numbers are
               compared.  And on the Windows side, the two errors of a
               WOF-compressed stream in a format the system does not
               decompress (Wine's ntdll has no RtlDecompressBufferEx, and no
               Windows has LZX): "not read: this build has no ..." and
               "error while processing MD5", each with its blank lines.
"""
import os
import re
import sys

SID = re.compile(r"S-1-[0-9]+(?:-[0-9]+)*")
LOOKUP_FAILURE = re.compile(r"^ERROR .* \(1332\) - winsid GetSidHash\(\) .*LookupAccountSid")
SYSTEM_ERROR = re.compile(r"^(ERROR|FATAL|WARNING) (.*) \(([0-9]+)\) - ")
NO_DECODER = re.compile(r"^ERROR - diskio ProcessWofStream\(\) l\.[0-9]+: WOF-compressed stream "
                        r"\((XPRESS|LZX)\) not read: this build has no .* - Base record #([0-9]+)$")
MD5_FAILED = "error while processing MD5 - Base record #"
VERBOSE_MD5 = "MD5 hash value : "
HEX32 = re.compile(r"^[0-9a-f]{32}$")


def drop_no_decoder(lines):
    """The Windows side's diagnostics without the errors of the streams it
    has no decoder for, and the records those are."""
    out, records = [], set()
    i = 0
    while i < len(lines):
        m = NO_DECODER.match(lines[i])
        if m is None:
            out.append(lines[i])
            i += 1
            continue
        record = m.group(2)
        records.add(record)
        i += 1
        while i < len(lines) and lines[i] == "":
            i += 1
        if i < len(lines) and lines[i].startswith("ERROR - info DumpMd5()") and \
                lines[i].endswith(MD5_FAILED + record):
            i += 1
            while i < len(lines) and lines[i] == "":
                i += 1
    return out, records


def undecoded_records():
    path = os.environ.get("WINE_DIAGNOSTICS", "")
    if not path or not os.path.exists(path):
        return set()
    return drop_no_decoder(read(path))[1]


def digest_left_out(a, b, record, records):
    """Whether line b is line a with its digest left out, for a record the
    Windows side could not decode."""
    if record not in records:
        return False
    if a.startswith(VERBOSE_MD5):
        return b == VERBOSE_MD5 and HEX32.match(a[len(VERBOSE_MD5):]) is not None
    fa, fb = a.split("|"), b.split("|")
    return (len(fa) == len(fb) > 3 and fa[0] == record and HEX32.match(fa[2]) is not None
            and fb[2] == "" and fa[:2] + fa[3:] == fb[:2] + fb[3:])


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
    named = undecoded = 0
    records = undecoded_records()
    record = ""
    for i, (a, b) in enumerate(zip(p, w)):
        if a.startswith("MFT record number : "):
            record = a[len("MFT record number : "):]
        if a == b:
            continue
        if digest_left_out(a, b, a.split("|")[0] if "|" in a else record, records):
            undecoded += 1
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
    if undecoded:
        print("%d digests the Windows side could not make (no decoder)" % undecoded)
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
    w, undecoded = drop_no_decoder(w)
    nw, fw = normalize_diagnostics(w)
    if np != nw:
        show_diff(np, nw)
        return 1
    texts = sum(1 for b in w if "Unknown error (" in b)
    print("account lookup failures: posix %d, wine %d; system messages unknown to wine: %d; "
          "streams without a decoder on Windows: %d" % (fp, fw, texts, len(undecoded)))
    return 0


def main():
    kind, pfile, wfile = sys.argv[1:4]
    p, w = read(pfile), read(wfile)
    if p == w:
        return 0
    return report(p, w) if kind == "report" else diagnostics(p, w)


if __name__ == "__main__":
    sys.exit(main())
