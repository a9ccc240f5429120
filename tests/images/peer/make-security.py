#!/usr/bin/env python3
# Writes <n>.security.txt beside this script: the security descriptor fields
# of every in-use base MFT record of each test volume, worked out without
# volscan.  The bytes come from other tools; the decoding is done here.
#
#   make-security.py [SHARED_IMAGES_DIR]
#
# SHARED_IMAGES_DIR (default ../../../../shared/images from this script)
# holds the gzip'd Windows 10 disk images; a missing one is skipped with a
# message.  Needs The Sleuth Kit (icat, istat, ils) and ntfs-3g (ntfscat).
#
# Where the bytes come from:
#   sample, sect4k, clust512, attrlist (../*.img, offset 0) and
#   win10-lastaccess, win10-ptrn (partition at sector 128): The Sleuth Kit.
#     ils -a             the allocated records
#     icat IMG 0         the $MFT's $DATA (record headers: base reference)
#     istat IMG 9        the attribute id of $Secure's $DATA stream $SDS
#     icat IMG 9-128-ID  $Secure:$SDS
#     icat IMG R-16      the record's $STANDARD_INFORMATION value
#     icat IMG R-80      the record's own $SECURITY_DESCRIPTOR
#   win10-2mcluster (2 MiB clusters, which TSK does not read): the partition
#   is cut out (from byte 65536) and read with ntfs-3g's ntfscat:
#     ntfscat -i 0 PART                    the $MFT's $DATA (record headers:
#                                          in-use flag, base reference)
#     ntfscat -i 9 -a 0x80 -n '$SDS' PART  $Secure:$SDS
#     ntfscat -i R -a 0x10 PART            $STANDARD_INFORMATION
#     ntfscat -i R -a 0x50 PART            $SECURITY_DESCRIPTOR
#
# Which descriptor a record gets: a $STANDARD_INFORMATION value of 72 bytes
# or more carries a security id (u32 at offset 52); the first entry of $SDS
# with that id gives the descriptor ("sds:ID").  Without an id, or with an id
# that is not in $SDS, the record's own $SECURITY_DESCRIPTOR ("own"); without
# that, none ("none").
#
# Output line: record TAB source TAB fields, where fields is
#   ||||                              no descriptor
#   OWNER|GROUP|DACE|SACE|            then SID|RIGHTS| per DACL ACE, then per SACL ACE
# DACE/SACE is N when the descriptor has no such ACL (offset 0).
# Anything unusual met on the way (truncated descriptors, ACE types other
# than 0-2, ids missing from $SDS, duplicate ids) is printed to stderr and
# written as a '# note:' line at the end of the file's header.  Every
# header line starts with '#'.
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
IMAGES = os.path.dirname(HERE)

# (name, file, partition offset in 512-byte sectors, reader)
LOCAL = [("sample", 0), ("sect4k", 0), ("clust512", 0), ("attrlist", 0)]
SHARED = [("win10-lastaccess", "tsk"), ("win10-ptrn", "tsk"),
          ("win10-2mcluster", "ntfs3g")]
WIN_OFFSET_SECTORS = 128

RIGHTS = [
    (0x001F01FF, "Fa"), (0x00120089, "Fr"), (0x00120116, "Fw"),
    (0x001200A0, "Fe"), (0x001F0000, "Sa"), (0x1, "Rd"), (0x2, "Wd"),
    (0x4, "Ad"), (0x8, "Re"), (0x10, "We"), (0x20, "Ex"), (0x40, "Dc"),
    (0x80, "Ra"), (0x100, "Wa"), (0x10000, "De"), (0x20000, "Rc"),
    (0x40000, "Wc"), (0x80000, "Wo"), (0x100000, "Sy"), (0x1000000, "As"),
    (0x2000000, "Mx"), (0x80000000, "Gr"), (0x40000000, "Gw"),
    (0x20000000, "Ge"), (0x10000000, "Ga"),
]


def run(cmd, missing_ok=None):
    """Run a tool; return its stdout bytes.  If missing_ok is a regexp that
    matches its error output, a failure means 'attribute absent': None."""
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if p.returncode != 0:
        err = p.stderr.decode("utf-8", "replace")
        if missing_ok and re.search(missing_ok, err):
            return None
        sys.exit("failed (%d): %s\n%s" % (p.returncode, " ".join(cmd), err))
    return p.stdout


# ---------------------------------------------------------------- readers

class TskVolume:
    tool = "The Sleuth Kit"

    def __init__(self, image, offset_sectors):
        self.image = image
        self.o = ["-o", str(offset_sectors)] if offset_sectors else []
        self.version = run(["icat", "-V"]).decode().strip()

    def mft(self):
        return run(["icat"] + self.o + [self.image, "0"])

    def allocated(self):
        out = run(["ils", "-a"] + self.o + [self.image]).decode()
        recs = []
        for line in out.splitlines()[3:]:
            f = line.split("|")
            if len(f) > 2 and f[1] == "a":
                recs.append(int(f[0]))
        return recs

    def sds(self):
        out = run(["istat"] + self.o + [self.image, "9"]).decode("utf-8", "replace")
        m = re.search(r"Type: \$DATA \(128-(\d+)\)\s+Name: \$SDS\s", out)
        if not m:
            sys.exit("%s: no $SDS stream in record 9" % self.image)
        return run(["icat"] + self.o + [self.image, "9-128-" + m.group(1)])

    def attr(self, rec, atype):
        return run(["icat"] + self.o + [self.image, "%d-%d" % (rec, atype)],
                   missing_ok=r"Attribute %d not found" % atype)

    def describe(self, name):
        o = " ".join(self.o)
        o = (" " + o) if o else ""
        return [
            "bytes extracted by %s (%s):" % (self.tool, self.version),
            "  ils -a%s IMG (allocated records), icat%s IMG 0 ($MFT: base references)," % (o, o),
            "  istat%s IMG 9 + icat%s IMG 9-128-ID ($Secure:$SDS)," % (o, o),
            "  icat%s IMG R-16 ($STANDARD_INFORMATION), icat%s IMG R-80 ($SECURITY_DESCRIPTOR)" % (o, o),
        ]


class Ntfs3gVolume:
    tool = "ntfs-3g"

    def __init__(self, part):
        self.part = part
        v = run(["ntfscat", "-V"]).decode("utf-8", "replace")
        m = re.search(r"ntfscat v(\S+)", v)
        self.version = "ntfscat " + (m.group(1) if m else "?")

    def mft(self):
        return run(["ntfscat", "-i", "0", self.part])

    def allocated(self):
        return None  # from the record headers' in-use flag

    def sds(self):
        return run(["ntfscat", "-i", "9", "-a", "0x80", "-n", "$SDS", self.part])

    def attr(self, rec, atype):
        return run(["ntfscat", "-i", str(rec), "-a", "0x%x" % atype, self.part],
                   missing_ok=r"Cannot find attribute type")

    def describe(self, name):
        return [
            "bytes extracted by %s (%s) from the partition (image bytes from 65536 on):" % (self.tool, self.version),
            "  ntfscat -i 0 PART ($MFT: in-use flags, base references),",
            "  ntfscat -i 9 -a 0x80 -n '$SDS' PART ($Secure:$SDS),",
            "  ntfscat -i R -a 0x10 PART ($STANDARD_INFORMATION), ntfscat -i R -a 0x50 PART ($SECURITY_DESCRIPTOR)",
        ]


def mft_record_size(boot):
    bps = struct.unpack_from("<H", boot, 11)[0]
    spc = boot[13]
    cluster = bps * (spc if spc <= 0x80 else 1 << (256 - spc))
    c = struct.unpack_from("<b", boot, 0x40)[0]
    return cluster * c if c > 0 else 1 << -c


# ---------------------------------------------------------------- decoding

def rights(mask):
    out, covered = "", 0
    for bits, code in RIGHTS:
        if mask & bits == bits and bits & ~covered:
            out += code
            covered |= bits
    return out


class Notes:
    def __init__(self):
        self.items = []

    def add(self, text):
        self.items.append(text)


def sid_text(buf, off, notes, what):
    """SID at off, or None when it does not fit in buf."""
    if off + 8 > len(buf):
        notes.add("%s: SID at %d does not fit in %d bytes" % (what, off, len(buf)))
        return None
    rev, n = buf[off], buf[off + 1]
    if off + 8 + 4 * n > len(buf):
        notes.add("%s: SID at %d with %d sub-authorities does not fit in %d bytes"
                  % (what, off, n, len(buf)))
        return None
    auth = int.from_bytes(buf[off + 2:off + 8], "big")
    subs = struct.unpack_from("<%dI" % n, buf, off + 8)
    return "S-%d-%d" % (rev, auth) + "".join("-%d" % s for s in subs)


def decode_sd(buf, notes, what):
    if len(buf) < 20:
        notes.add("%s: descriptor of %d bytes, shorter than its header" % (what, len(buf)))
        return None
    rev, _pad, control, o_own, o_grp, o_sacl, o_dacl = struct.unpack_from("<BBHIIII", buf, 0)
    fields = []

    def owner_group(off, role):
        if off == 0:
            return ""
        if off >= len(buf):
            notes.add("%s: %s offset %d beyond the %d-byte buffer" % (what, role, off, len(buf)))
            return ""
        s = sid_text(buf, off, notes, "%s %s" % (what, role))
        return "" if s is None else s

    fields.append(owner_group(o_own, "owner"))
    fields.append(owner_group(o_grp, "group"))
    aces = []
    counts = []
    for off, role in ((o_dacl, "DACL"), (o_sacl, "SACL")):
        if off == 0:
            counts.append("N")
            continue
        if off + 8 > len(buf):
            notes.add("%s: %s header at %d does not fit in %d bytes" % (what, role, off, len(buf)))
            counts.append("?")
            continue
        _r, _p, size, count = struct.unpack_from("<BBHH", buf, off)
        counts.append(str(count))
        p = off + 8
        for i in range(count):
            w = "%s %s ACE %d" % (what, role, i)
            if p + 8 > len(buf):
                notes.add("%s: at %d does not fit in %d bytes" % (w, p, len(buf)))
                aces.append(("?", "?"))
                break
            atype, aflags, asize, mask = struct.unpack_from("<BBHI", buf, p)
            sid = sid_text(buf, p + 8, notes, w)
            if atype == 0:
                r = "+" + rights(mask)
            elif atype == 1:
                r = "-" + rights(mask)
            elif atype == 2:
                r = ("+" if aflags & 0x40 else "") + ("-" if aflags & 0x80 else "") + rights(mask)
            else:
                notes.add("%s: type %d (rights field left empty)" % (w, atype))
                r = ""
            aces.append(("" if sid is None else sid, r))
            if asize == 0:
                notes.add("%s: size 0" % w)
            p += asize
        if p > off + size:
            notes.add("%s: %s ACEs run to %d, past the ACL's size %d at %d" % (what, role, p, size, off))
    fields += counts
    out = "|".join(fields) + "|"
    for sid, r in aces:
        out += sid + "|" + r + "|"
    return out


def sds_entries(sds, notes, name):
    """id -> (position, descriptor bytes handed to the decoder), first wins."""
    table = {}
    pos, n, dups = 0, 0, []
    while len(sds) - pos >= 20:
        _h, sid, off, length = struct.unpack_from("<IIQI", sds, pos)
        if off == pos and 20 <= length <= len(sds) - pos:
            n += 1
            if sid in table:
                dups.append(sid)
            else:
                table[sid] = (pos, sds[pos + 20:pos + 20 + length])
            pos += (length + 15) & ~15
        else:
            pos += 16
    if dups:
        notes.add("$SDS: ids met more than once (the first is used): %s"
                  % " ".join(str(d) for d in sorted(set(dups))))
    return table, n


# ---------------------------------------------------------------- volumes

def do_volume(name, label, vol, boot):
    notes = Notes()
    rsize = mft_record_size(boot)
    mft = vol.mft()
    nrec = len(mft) // rsize
    heads = {}
    for r in range(nrec):
        b = mft[r * rsize:r * rsize + 0x28]
        heads[r] = (b[0:4], struct.unpack_from("<H", b, 0x16)[0],
                    struct.unpack_from("<Q", b, 0x20)[0])  # record 0 seq 1 is not 0
    alloc = vol.allocated()
    if alloc is None:
        alloc = [r for r in range(nrec) if heads[r][0] == b"FILE" and heads[r][1] & 1]
    else:
        alloc = [r for r in alloc if r < nrec]  # drops TSK's virtual $OrphanFiles
    ext = [r for r in alloc if heads[r][2] != 0]
    base = [r for r in alloc if heads[r][2] == 0]
    for r in base:
        if heads[r][0] != b"FILE":
            notes.add("record %d: allocated, signature %r" % (r, heads[r][0]))

    sds = vol.sds()
    table, nent = sds_entries(sds, notes, name)
    def one(r):
        rn = Notes()
        si = vol.attr(r, 0x10)
        secid = None
        if si is not None and len(si) >= 72:
            secid = struct.unpack_from("<I", si, 52)[0]
        if secid is not None and secid in table:
            src = "sds:%d" % secid
            fields = decode_sd(table[secid][1], rn, "record %d ($SDS id %d)" % (r, secid))
        else:
            if secid is not None:
                rn.add("record %d: security id %d not in $SDS" % (r, secid))
            sd = vol.attr(r, 0x50)
            if sd is None:
                src, fields = "none", "||||"
            else:
                src = "own"
                fields = decode_sd(sd, rn, "record %d ($SECURITY_DESCRIPTOR)" % r)
        if fields is None:
            fields = "||||"
        return "%d\t%s\t%s" % (r, src, fields), src.split(":")[0], rn.items

    lines, counts = [], {"sds": 0, "own": 0, "none": 0}
    with ThreadPoolExecutor(max_workers=2 * (os.cpu_count() or 1)) as pool:
        for line, kind, items in pool.map(one, base):  # results in record order
            lines.append(line)
            counts[kind] += 1
            notes.items += items

    hdr = [
        "security descriptor fields of %s, one line per in-use base MFT record," % label,
        "made by make-security.py (this folder) without volscan; the script decodes",
        "the descriptors itself from",
    ] + vol.describe(name) + [
        "MFT records %d (record size %d); allocated %d, of which extension records %d"
        % (nrec, rsize, len(alloc), len(ext)) + (" (%s)" % " ".join(map(str, ext)) if ext else ""),
        "$SDS: %d bytes, %d entries, %d distinct ids" % (len(sds), nent, len(table)),
        "lines %d: sds %d, own %d, none %d" % (len(lines), counts["sds"], counts["own"], counts["none"]),
        "columns: record TAB source (sds:ID | own | none) TAB fields as volscan's line mode writes them:",
        "  OWNER|GROUP|DACE|SACE| then SID|RIGHTS| per DACL ACE and per SACL ACE; |||| = no descriptor",
    ]
    out = ["# " + h for h in hdr] + ["# note: " + t for t in notes.items] + lines
    for t in notes.items:
        print("%s: %s" % (name, t), file=sys.stderr)
    path = os.path.join(HERE, name + ".security.txt")
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(out) + "\n")
    print("%s: %d lines (sds %d, own %d, none %d) -> %s"
          % (name, len(lines), counts["sds"], counts["own"], counts["none"], path))


def gunzip(src, dst):
    d = zlib.decompressobj(wbits=31)
    with open(src, "rb") as fi, open(dst, "wb") as fo:
        while True:
            chunk = fi.read(1 << 20)
            if not chunk:
                break
            fo.write(d.decompress(chunk))
        fo.write(d.flush())


def main():
    shared = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "../../../../shared/images")
    for name, _ in LOCAL:
        img = os.path.join(IMAGES, name + ".img")
        with open(img, "rb") as f:
            boot = f.read(512)
        do_volume(name, name + ".img", TskVolume(img, 0), boot)
    tmp = tempfile.mkdtemp(prefix="make-security.")
    try:
        for name, reader in SHARED:
            gz = os.path.join(shared, name + ".raw.gz")
            if not os.path.isfile(gz):
                print("%s not found: %s skipped" % (gz, name), file=sys.stderr)
                continue
            raw = os.path.join(tmp, name + ".raw")
            gunzip(gz, raw)
            start = WIN_OFFSET_SECTORS * 512
            with open(raw, "rb") as f:
                f.seek(start)
                boot = f.read(512)
            label = "%s.raw.gz (partition at sector %d)" % (name, WIN_OFFSET_SECTORS)
            if reader == "tsk":
                do_volume(name, label, TskVolume(raw, WIN_OFFSET_SECTORS), boot)
            else:
                part = os.path.join(tmp, name + ".part")
                with open(raw, "rb") as fi, open(part, "wb") as fo:
                    fi.seek(start)
                    shutil.copyfileobj(fi, fo, 1 << 20)
                os.remove(raw)
                do_volume(name, label, Ntfs3gVolume(part), boot)
            if os.path.exists(raw):
                os.remove(raw)
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
