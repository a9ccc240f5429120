#!/bin/bash
# Writes the per-record expected values <name>.facts.txt and <name>.erased.txt
# in this folder, for volscan's report tests, from two peer tool sets:
# The Sleuth Kit (fsstat, ils, istat, icat, fls) and ntfs-3g (ntfsinfo,
# ntfscat, a read-only ntfs-3g FUSE mount).
#
# Usage (as root, /dev/fuse needed for the ntfs-3g mounts):
#   bash tests/images/peer/make-report-facts.sh [SHARED_IMAGES_DIR | IMAGE.raw[.gz] ...]
#
# The committed images (sample, sect4k, clust512, attrlist) sit next to this
# folder. The Windows 10 images (win10-lastaccess, win10-ptrn, win10-2mcluster)
# are gzip whole-disk images with the NTFS partition at sector 128; they are
# looked for in SHARED_IMAGES_DIR (default: ../../../../shared/images from this
# script) or given one by one as paths. Missing ones are skipped with a message.
#
# Needs: sleuthkit ntfs-3g attr fuse3 python3 gzip coreutils. Scratch space
# (about 2.2 GB for a 1 GiB Windows image) goes to a private directory under
# $TMPDIR (default /tmp), removed at the end. No image is written to: every
# tool runs on a private copy (committed images) or on a decompressed copy
# (Windows images), and mounts are read-only.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
imgdir=$(cd "$here/.." && pwd)
shared="$here/../../../../shared/images"
declare -a winpaths=()
for a in "$@"; do
    if [ -d "$a" ]; then shared=$a
    elif [ -f "$a" ]; then winpaths+=("$(cd "$(dirname "$a")" && pwd)/$(basename "$a")")
    else echo "make-report-facts: no such file or directory: $a" >&2; exit 2
    fi
done
if [ ${#winpaths[@]} -eq 0 ]; then
    for n in win10-lastaccess win10-ptrn win10-2mcluster; do
        if [ -f "$shared/$n.raw.gz" ]; then winpaths+=("$(cd "$shared" && pwd)/$n.raw.gz")
        elif [ -f "$shared/$n.raw" ]; then winpaths+=("$(cd "$shared" && pwd)/$n.raw")
        else echo "make-report-facts: $n.raw.gz not found in $shared, skipping it" >&2
        fi
    done
fi

for t in fsstat ils istat icat fls ntfsinfo ntfscat ntfs-3g fusermount3 python3 md5sum gzip; do
    command -v "$t" >/dev/null || { echo "make-report-facts: $t missing (apt-get install -y sleuthkit ntfs-3g attr fuse3)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/report-facts.XXXXXX")
cleanup() {
    if mountpoint -q "$work/mnt" 2>/dev/null; then fusermount3 -u "$work/mnt" || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/mnt"

export TZ=UTC LC_ALL=C.UTF-8

# one volume: NAME TSK-IMAGE TSK-SECTOR-OFFSET NTFS3G-DEVICE SOURCE-DESCRIPTION MODE
# MODE tsk: TSK values checked against ntfs-3g, and the ntfs-3g-only method is
# run first (into scratch) to say in the header whether it gives the same lines.
# MODE ntfs3g: ntfs-3g only.
facts() {
    if [ "$6" = tsk ]; then
        mkdir -p "$work/check"
        python3 "$work/facts.py" "$1" - 0 "$4" "$5" ntfs3g "$work/mnt" "$work/check" >/dev/null
        FACTS_COMPARE="$work/check/$1.facts.txt" python3 "$work/facts.py" "$@" "$work/mnt" "$here"
    else
        python3 "$work/facts.py" "$@" "$work/mnt" "$here"
    fi
}

cat > "$work/facts.py" <<'PYEOF'
import datetime, hashlib, os, re, stat, subprocess, sys

name, tsk_img, tsk_off, dev, source, mode, mnt, outdir = sys.argv[1:9]
use_tsk = (mode == "tsk")          # "tsk": TSK primary + ntfs-3g checks; "ntfs3g": ntfs-3g only
EPOCH_DIFF = 116444736000000000    # 100 ns units between 1601-01-01 and 1970-01-01
notes = []                         # header lines about what the checks found


def run(args, ok_rc=(0,)):
    p = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if p.returncode not in ok_rc:
        return None, p
    return p.stdout, p


KEEP = 64 << 20   # stream outputs up to this size are kept, larger ones are read again


def stream_md5(args):
    """md5, byte count and (when small) the bytes of a tool's standard output."""
    p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    h, n, keep = hashlib.md5(), 0, []
    while True:
        b = p.stdout.read(1 << 20)
        if not b:
            break
        h.update(b)
        n += len(b)
        if n <= KEEP:
            keep.append(b)
    rc = p.wait()
    data = b"".join(keep) if n <= KEEP else None
    return (h.hexdigest() if rc == 0 else None), n, data


def fmt_time(raw):
    s, f = divmod(raw, 10 ** 7)
    d = datetime.datetime(1601, 1, 1) + datetime.timedelta(seconds=s)
    return "%02d/%02d/%04d %02d:%02d:%02d.%07d" % (d.day, d.month, d.year, d.hour, d.minute, d.second, f)


def tsk_time_str(raw):
    """What TSK 4.11.1 istat prints for a raw NTFS time: seconds since 1970
    computed in unsigned 64-bit arithmetic and cut to 32 bits, 0 shown as
    0000-00-00 00:00:00 without a fraction."""
    s = (((raw - EPOCH_DIFF) % 2 ** 64) // 10 ** 7) % 2 ** 32
    if s == 0:
        return "0000-00-00 00:00:00 (UTC)"
    d = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=s)
    return "%04d-%02d-%02d %02d:%02d:%02d.%09d (UTC)" % (
        d.year, d.month, d.day, d.hour, d.minute, d.second, (raw % 10 ** 7) * 100)


DAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
MONS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def ntfsinfo_time_str(raw):
    """What ntfsinfo prints: whole seconds, signed, truncated toward 1970."""
    v = raw - 2 ** 64 if raw >= 2 ** 63 else raw
    q = abs(v - EPOCH_DIFF) // 10 ** 7
    s = q if v >= EPOCH_DIFF else -q
    d = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=s)
    return "%s %s %2d %02d:%02d:%02d %d UTC" % (DAYS[d.weekday()], MONS[d.month - 1], d.day,
                                                d.hour, d.minute, d.second, d.year)


def raw_si_times(data):
    if data is None or len(data) < 32:
        return None
    return [int.from_bytes(data[i:i + 8], "little") for i in (0, 8, 16, 24)]


def ranges(nums):
    out, nums = [], sorted(nums)
    i = 0
    while i < len(nums):
        j = i
        while j + 1 < len(nums) and nums[j + 1] == nums[j] + 1:
            j += 1
        out.append(str(nums[i]) if i == j else "%d-%d" % (nums[i], nums[j]))
        i = j + 1
    return " ".join(out) if out else "none"


# ---------------------------------------------------------------- TSK side
def tsk(tool, *opts, pos=()):
    a = [tool] + list(opts)
    if tsk_off != "0":
        a += ["-o", tsk_off]
    return a + [tsk_img] + list(pos)


ATTR_RE = re.compile(r"^Type: (\S+) \((\d+)-(\d+)\)   Name: (.*)   (Resident|Non-Resident)((?:, (?:Encrypted|Compressed|Sparse))*)   size: (\d+)")
SI_KEYS = ["Created:", "File Modified:", "MFT Modified:", "Accessed:"]


def tsk_istat(r):
    out, p = run(tsk("istat", "-z", "UTC", pos=[str(r)]))
    if out is None or b"MFT Entry Header Values:" not in out:
        return None
    rec = {"base_ref": None, "alloc": None, "links": None, "si_shown": [], "attrs": [], "has_si": False}
    section, in_attrs = None, False
    for line in out.decode("utf-8", "surrogateescape").split("\n"):
        if line.startswith("Base File Record: "):
            rec["base_ref"] = int(line.split()[-1])
        elif line in ("Allocated File", "Allocated Directory"):
            rec["alloc"] = True
        elif line in ("Not Allocated File", "Not Allocated Directory"):
            rec["alloc"] = False
        elif line.startswith("Links: ") and rec["links"] is None:
            rec["links"] = int(line.split()[1])
        elif line.endswith("Attribute Values:"):
            section = line.split()[0]
        elif line.startswith("Attributes:"):
            in_attrs, section = True, None
        elif in_attrs and line.startswith("Type: "):
            m = ATTR_RE.match(line)
            if not m:
                if re.match(r"^Type: \d+-\d+ ", line):
                    continue
                raise SystemExit("%s: record %d: cannot read istat line %r" % (name, r, line))
            tname, t, i, an, res, flags, size = m.groups()
            rec["attrs"].append({"type": int(t), "id": int(i), "name": "" if an == "N/A" else an,
                                 "named": an != "N/A", "size": int(size),
                                 "sparse": "Sparse" in flags, "compressed": "Compressed" in flags,
                                 "encrypted": "Encrypted" in flags})
            if int(t) == 16:
                rec["has_si"] = True
        elif section == "$STANDARD_INFORMATION" and not in_attrs:
            for k in SI_KEYS:
                if line.startswith(k) and len(rec["si_shown"]) == SI_KEYS.index(k):
                    rec["si_shown"].append(line.split("\t", 1)[1].strip())
    return rec


FLS_RE = re.compile(r"^(\S+) (\* )?(\d+)(?:-(\d+)-(\d+))?(\(realloc\))?:\t(.*)$")


def tsk_fls():
    out, p = run(tsk("fls", "-r", "-p"))
    if out is None:
        raise SystemExit("%s: fls failed: %s" % (name, p.stderr.decode()))
    entries = []
    for line in out.decode("utf-8", "surrogateescape").split("\n"):
        if not line:
            continue
        m = FLS_RE.match(line)
        if not m:
            raise SystemExit("%s: cannot read fls line %r" % (name, line))
        kind, star, inum, t, i, realloc, path = m.groups()
        entries.append({"deleted": bool(star), "realloc": bool(realloc), "inum": int(inum),
                        "type": int(t) if t else None, "id": int(i) if i else None, "path": path})
    return entries


def names_from_fls(entries, r, attrs, deleted):
    """Names fls gives for record r: lines with this inode, allocated
    (no '*') or deleted ('*', not '(realloc)'), outside $OrphanFiles; the
    ':stream' suffix fls appends for a named attribute is removed, and TSK's
    'dir/.' copy of a directory's streams is dropped; first appearance order."""
    out = []
    byid = {(a["type"], a["id"]): a for a in attrs}
    for e in entries:
        if e["inum"] != r or e["deleted"] != deleted or e["realloc"]:
            continue
        path = e["path"]
        if path == "$OrphanFiles" or path.startswith("$OrphanFiles/"):
            continue
        a = byid.get((e["type"], e["id"]))
        if a and a["named"] and path.endswith(":" + a["name"]):
            path = path[:-(len(a["name"]) + 1)]
        if path == "." or path.endswith("/."):
            continue
        if path not in out:
            out.append(path)
    return out


# ------------------------------------------------------------ ntfs-3g side
def ntfsinfo(r):
    out, p = run(["ntfsinfo", "-f", "-v", "-i", str(r), dev])
    if out is None or b"Dumping Inode" not in out:
        return None
    rec = {"links": None, "in_use": False, "si_shown": [], "datas": []}
    cur = None
    si_keys = ["File Creation Time:", "File Altered Time:", "MFT Changed Time:", "Last Accessed Time:"]
    for line in out.decode("utf-8", "surrogateescape").split("\n"):
        s = line.strip()
        if line.startswith("Number of Hard Links:"):
            rec["links"] = int(s.split(":", 1)[1].split()[0])
        elif line.startswith("MFT Record Flags:"):
            rec["in_use"] = "IN_USE" in s
        elif line.startswith("Dumping attribute "):
            cur = {"type": line.split()[2], "rec": int(line.split("from mft record ")[1].split()[0]),
                   "name": "", "named": False, "flags": 0, "lowest_vcn": 0, "size": None}
            if cur["type"] == "$DATA":
                rec["datas"].append(cur)
        elif line.startswith("End of inode"):
            cur = None
        elif cur is not None and line.startswith("\t"):
            if s.startswith("Attribute name:"):
                v = s.split(":", 1)[1].strip()
                cur["name"], cur["named"] = v[1:-1], True
            elif s.startswith("Attribute flags:"):
                cur["flags"] = int(s.split(":", 1)[1].split()[0], 16)
            elif s.startswith("Lowest VCN"):
                cur["lowest_vcn"] = int(s.split()[2])
            elif s.startswith("Data size:") and cur["size"] is None:
                cur["size"] = int(s.split(":", 1)[1].split()[0])
            elif cur["type"] == "$STANDARD_INFORMATION":
                for k in si_keys:
                    if s.startswith(k) and len(rec["si_shown"]) == si_keys.index(k):
                        rec["si_shown"].append(s[len(k):].strip())
    # one entry per attribute: extents with a lowest VCN above 0 continue the previous one
    merged = []
    for d in rec["datas"]:
        if d["lowest_vcn"] > 0 and merged and merged[-1]["name"] == d["name"]:
            continue
        merged.append({"name": d["name"], "named": d["named"], "size": d["size"] or 0,
                       "sparse": bool(d["flags"] & 0x8000), "compressed": bool(d["flags"] & 0x00ff),
                       "encrypted": bool(d["flags"] & 0x4000), "rec": d["rec"]})
    rec["datas"] = merged
    return rec


def ntfscat(r, a):
    args = ["ntfscat", "-f", "-i", str(r), "-a", "0x80"]
    if a["named"]:
        args += ["-n", a["name"]]
    return args + [dev]


def xattr_order(t):
    """system.ntfs_times holds creation, last write, last access, last change;
    return them in $STANDARD_INFORMATION order (creation, write, change, access)."""
    return None if t is None else [t[0], t[1], t[3], t[2]]


def mount_walk():
    """inode -> paths, from a read-only ntfs-3g mount, walking directories
    depth first in readdir order (ntfs-3g: index order)."""
    p = subprocess.run(["ntfs-3g", "-o", "ro,show_sys_files,streams_interface=xattr", dev, mnt],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if p.returncode != 0:
        raise SystemExit("%s: ntfs-3g mount failed: %s" % (name, p.stderr.decode()))
    paths, xtimes = {}, {}
    try:
        def visit(full, rel):
            try:
                st = os.lstat(full)
            except OSError:
                return None
            paths.setdefault(st.st_ino, []).append(rel)
            if st.st_ino not in xtimes:
                g = subprocess.run(["getfattr", "-h", "--only-values", "-n", "system.ntfs_times", full],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                if g.returncode == 0 and len(g.stdout) >= 32:
                    xtimes[st.st_ino] = xattr_order(raw_si_times(g.stdout))
            return st

        def walk(d, rel):
            names = [e.name for e in os.scandir(d)]
            if rel == "" and "$MFT" not in names and os.path.lexists(os.path.join(d, "$MFT")):
                names.insert(0, "$MFT")   # ntfs-3g's readdir leaves out $MFT
            for n in names:
                full, r2 = os.path.join(d, n), (rel + "/" + n if rel else n)
                st = visit(full, r2)
                if st is not None and stat.S_ISDIR(st.st_mode):
                    walk(full, r2)
        st = os.lstat(mnt)
        xt = subprocess.run(["getfattr", "-h", "--only-values", "-n", "system.ntfs_times", mnt],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if xt.returncode == 0:
            xtimes[5] = xattr_order(raw_si_times(xt.stdout))
        walk(mnt, "")
    finally:
        subprocess.run(["fusermount3", "-u", mnt], check=True)
    return paths, xtimes


# ------------------------------------------------------------------- main
if use_tsk:
    out, _ = run(tsk("fsstat"))
    m = re.search(rb"Range: 0 - (\d+)", out or b"")
    if not m:
        raise SystemExit("%s: fsstat failed" % name)
    nrec = int(m.group(1))
    fls_entries = tsk_fls()
    out, _ = run(tsk("ils", "-a"))
    cluster_size = None
    ils_alloc = set()
    for line in out.decode().split("\n")[3:]:
        if line and line.split("|")[0].isdigit():
            ils_alloc.add(int(line.split("|")[0]))
else:
    out, _ = run(["ntfsinfo", "-f", "-m", dev])
    recsize = int(re.search(rb"MFT Record Size: (\d+)", out).group(1))
    cluster_size = int(re.search(rb"Cluster Size: (\d+)", out).group(1))
    mft = ntfsinfo(0)
    nrec = mft["datas"][0]["size"] // recsize

mpaths, xtimes = mount_walk()

SECTOR_STRIDE = 512   # NTFS update sequence stride: the last 2 bytes of every 512 in a record


def fixup_only_diff(a, b):
    """True when a and b differ only in the last two bytes of 512-byte
    strides (an MFT copy with and without the update sequence fixups)."""
    if len(a) != len(b):
        return False
    diffs = [i for i in range(len(a)) if a[i] != b[i]] if a != b else []
    return bool(diffs) and all(i % SECTOR_STRIDE >= SECTOR_STRIDE - 2 for i in diffs)


def read_cmd(args):
    out, p = run(args)
    if out is None:
        raise SystemExit("command failed: %s" % " ".join(args))
    return out


def runlist_bytes(r, attr_name=""):
    """On-disk bytes of a non-resident, unnamed $DATA, read with dd-like reads
    of the clusters ntfsinfo's runlist gives (no sparse runs allowed)."""
    out = read_cmd(["ntfsinfo", "-f", "-v", "-i", str(r), dev]).decode("utf-8", "surrogateescape")
    blks = [b.split("Dumping attribute")[0].split("End of inode")[0] for b in out.split("Dumping attribute $DATA (0x80)")[1:]]
    blks = [b for b in blks if "Attribute name:" not in b]     # the unnamed $DATA, all its extents
    size = int(re.search(r"Data size:\s+(\d+)", blks[0]).group(1))
    runs = [x for b in blks for x in re.findall(r"^\t+0x([0-9a-f]+)\t+(0x[0-9a-f]+|<HOLE>)\t+0x([0-9a-f]+)$", b, re.M)]
    data = b""
    with open(dev, "rb") as f:
        for vcn, lcn, length in runs:
            if not lcn.startswith("0x"):
                raise SystemExit("%s: record %d: sparse run in $DATA" % (name, r))
            f.seek(int(lcn, 16) * cluster_size)
            data += f.read(int(length, 16) * cluster_size)
    return data[:size]


def process(r):
    res = {"r": r, "kind": None, "flags": [], "notes": []}
    ni = ntfsinfo(r)
    if use_tsk:
        st = tsk_istat(r)
        if st is None:
            if r in ils_alloc:
                res["flags"].append("unreadable_alloc")
            return res
        if st["base_ref"] is not None:
            if st["alloc"]:
                res["flags"].append("ext")
            return res
        if not st["has_si"]:
            if st["alloc"]:
                res["flags"].append("nosi")
            return res
        is_alloc = st["alloc"]
        if (r in ils_alloc) != bool(is_alloc):   # (ils -a leaves out extension records: checked on base records only)
            res["flags"].append("ils")
        if is_alloc and ni is None:
            res["flags"].append("ntfs3g_open")
        raw, _ = run(tsk("icat", pos=["%d-16" % r]))
        times = raw_si_times(raw)
        if times is None:
            raise SystemExit("%s: record %d: icat of $STANDARD_INFORMATION failed" % (name, r))
        if [tsk_time_str(t) for t in times] != st["si_shown"]:
            res["flags"].append("tsk_time_shown")
        links = st["links"]
        datas = [a for a in st["attrs"] if a["type"] == 128]
    else:
        if ni is None or not ni["in_use"]:
            return res
        is_alloc = True
        raw = read_cmd(["ntfscat", "-f", "-i", str(r), "-a", "0x10", dev])
        times = raw_si_times(raw)
        if times is None:
            raise SystemExit("%s: record %d: ntfscat of $STANDARD_INFORMATION failed" % (name, r))
        links = ni["links"]
        datas = ni["datas"]

    # ntfs-3g checks (in-use records only: ntfs-3g opens no others)
    if ni is not None:
        if [ntfsinfo_time_str(t) for t in times] != ni["si_shown"]:
            res["flags"].append("ntfsinfo_time_shown")
        if r in xtimes and xtimes[r] != times:
            res["flags"].append("xattr_times")
        if use_tsk and ni["links"] != links:
            res["flags"].append("links")
        if use_tsk:
            a1 = [(a["name"], a["size"], a["sparse"], a["compressed"], a["encrypted"]) for a in datas]
            a2 = [(a["name"], a["size"], a["sparse"], a["compressed"], a["encrypted"]) for a in ni["datas"]]
            if sorted(a1) != sorted(a2):
                res["flags"].append("streams")
            elif a1 != a2:
                res["flags"].append("stream_order")

    # contents
    srcs = []   # per stream: a command, or bytes
    for a in datas:
        if use_tsk:
            cmd = tsk("icat", pos=["%d-128-%d" % (r, a["id"])])
            md_t, n_t, d_t = stream_md5(cmd)
            if md_t is None:
                raise SystemExit("command failed: %s" % " ".join(cmd))
            src = d_t if d_t is not None else cmd
            if ni is not None:
                md_n, n_n, d_n = stream_md5(ntfscat(r, a))
                if (md_t, n_t) != (md_n, n_n):
                    if n_t != a["size"] and n_n == a["size"]:
                        src = d_n if d_n is not None else ntfscat(r, a)
                        res["notes"].append("%d:%s icat gives %d bytes, ntfscat %d: ntfscat used" % (r, a["name"], n_t, n_n))
                    elif r in (0, 1) and not a["named"] and fixup_only_diff(d_t, d_n):
                        res["notes"].append("%d:%s ntfscat differs only by the update sequence fixups: icat (on-disk bytes) used" % (r, a["name"]))
                    else:
                        res["flags"].append("md5_src")
            elif n_t != a["size"]:
                res["notes"].append("%d:%s icat gives %d bytes of %d, no ntfs-3g check" % (r, a["name"], n_t, a["size"]))
        else:
            cmd = ntfscat(r, a)
            md, n, fixed = stream_md5(cmd)
            if md is None:
                raise SystemExit("command failed: %s" % " ".join(cmd))
            if n != a["size"]:
                res["notes"].append("%d:%s ntfscat gives %s bytes of %d" % (r, a["name"], n, a["size"]))
            src = fixed if fixed is not None else cmd
            if r in (0, 1) and not a["named"]:
                disk = runlist_bytes(r)
                if disk != fixed:
                    if not fixup_only_diff(disk, fixed):
                        raise SystemExit("%s: record %d: ntfscat and the runlist read differ beyond fixups" % (name, r))
                    res["notes"].append("%d:%s on-disk bytes read by ntfsinfo's runlist (ntfscat applies the update sequence fixups)" % (r, a["name"]))
                src = disk
        srcs.append(src)
    h = hashlib.md5()
    for src in srcs:
        if isinstance(src, bytes):
            h.update(src)
        else:
            p = subprocess.Popen(src, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            while True:
                b = p.stdout.read(1 << 20)
                if not b:
                    break
                h.update(b)
            if p.wait() != 0:
                raise SystemExit("command failed: %s" % " ".join(src))
    md5 = h.hexdigest()

    def sfield(a):
        s = "%s:%d" % (a["name"], a["size"])
        for f in ("sparse", "compressed", "encrypted"):
            if a[f]:
                s += "!" + f
        return s

    streams = "/".join(sfield(a) for a in datas) if datas else "-"
    size = str(datas[0]["size"]) if datas else "-"

    if use_tsk:
        names = names_from_fls(fls_entries, r, st["attrs"], deleted=not is_alloc)
        if is_alloc and r != 5 and sorted(mpaths.get(r, [])) != sorted(names):
            res["flags"].append("paths")
    else:
        names = list(mpaths.get(r, []))
    if r == 5:
        names = ["."]
    paths = " // ".join(names) if names else "-"
    res["line"] = "\t".join([str(r), str(links), size] + [fmt_time(t) for t in times] + [md5, streams, paths])
    res["kind"] = "fact" if is_alloc else "erased"
    return res


import concurrent.futures
with concurrent.futures.ThreadPoolExecutor(max_workers=int(os.environ.get("JOBS", str(os.cpu_count() or 2)))) as ex:
    results = list(ex.map(process, range(nrec)))

facts = [x["line"] for x in results if x["kind"] == "fact"]
erased = [x["line"] for x in results if x["kind"] == "erased"]
flagged = lambda k: [x["r"] for x in results if k in x["flags"]]
ext_recs, nosi_recs, unreadable_alloc = flagged("ext"), flagged("nosi"), flagged("unreadable_alloc")
mismatch = {k: flagged(k) for k in ("tsk_time_shown", "ntfsinfo_time_shown", "xattr_times", "links", "streams",
                                    "stream_order", "md5_src", "paths", "ils", "ntfs3g_open")}
bad_icat = [n for x in results for n in x["notes"]]
# $MFT's $BITMAP (read with ntfscat) against the records written
bm = read_cmd(["ntfscat", "-f", "-i", "0", "-a", "0xb0", dev])
bm_set = {i for i in range(min(nrec, len(bm) * 8)) if bm[i // 8] >> (i % 8) & 1}
fact_recs = {x["r"] for x in results if x["kind"] == "fact"}
bm_note = ("# $MFT:$BITMAP (ntfscat -i 0 -a 0xb0): bit set but no line here: %s; line here but bit clear: %s" %
           (ranges(bm_set - fact_recs), ranges(fact_recs - bm_set)))

# ------------------------------------------------------------------ header
if use_tsk:
    how = ("TSK: istat -z UTC (allocation, Links:, base record, attribute list), "
           "icat REC-16 (raw $STANDARD_INFORMATION times), icat REC-128-ID (stream contents), fls -r -p (paths)")
else:
    how = ("ntfs-3g only (TSK cannot read this volume): ntfsinfo -f -v -i REC (in use, links, $DATA list), "
           "ntfscat -f -i REC -a 0x10 (raw times), ntfscat -f -i REC -a 0x80 [-n NAME] (stream contents), "
           "ntfs-3g -o ro,show_sys_files mount walk (paths)")
vers = []
if use_tsk:
    vers.append(subprocess.run(["fls", "-V"], stdout=subprocess.PIPE).stdout.decode().strip())
vers.append([l for l in subprocess.run(["ntfsinfo", "-V"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
             .stdout.decode().split("\n") if l.startswith("ntfsinfo")][0].split(" - ")[0].strip())

chk = []
if use_tsk:
    chk.append("# checks: istat's shown times = TSK's conversion of the raw values (mismatches: %s); "
               "ntfsinfo seconds (%s); ntfs-3g system.ntfs_times xattr (%s); ntfsinfo links (%s); "
               "ntfsinfo $DATA names/sizes/flags (%s); ils -a vs istat allocation of base records (%s); "
               "mount paths vs fls names (%s)" % (
                   ranges(mismatch["tsk_time_shown"]), ranges(mismatch["ntfsinfo_time_shown"]),
                   ranges(mismatch["xattr_times"]), ranges(mismatch["links"]), ranges(mismatch["streams"]),
                   ranges(mismatch["ils"]), ranges(mismatch["paths"])))
    chk.append("# checks: icat vs ntfscat stream bytes differ with no clear winner: %s; "
               "$DATA order differs from ntfsinfo's (attribute list order): %s; "
               "allocated in TSK but ntfsinfo cannot open: %s" % (
                   ranges(mismatch["md5_src"]), ranges(mismatch["stream_order"]), ranges(mismatch["ntfs3g_open"])))
else:
    chk.append("# checks: ntfsinfo's shown times = the raw values in whole seconds (mismatches: %s); "
               "ntfs-3g system.ntfs_times xattr (%s)" % (
                   ranges(mismatch["ntfsinfo_time_shown"]), ranges(mismatch["xattr_times"])))
chk.append(bm_note)
cmp_file = os.environ.get("FACTS_COMPARE")
if use_tsk and cmp_file:
    other = {l.split("\t")[0]: l for l in open(cmp_file).read().split("\n") if l and not l.startswith("#")}
    mine = {l.split("\t")[0]: l for l in facts}
    diff = sorted(int(k) for k in set(other) | set(mine) if other.get(k) != mine.get(k))
    chk.append("# the ntfs-3g-only method (as used for win10-2mcluster) on this volume: lines that differ from "
               "these: %s" % ranges(diff))
if bad_icat:
    chk.append("# stream notes: " + "; ".join(bad_icat))

common = [
    "# image: %s (%s)" % (name, source),
    "# tools: %s; made by make-report-facts.sh; %d MFT records" % ("; ".join(vers), nrec),
    "# fields (TAB): record links size crtime mtime ctime atime md5 streams paths",
    "# how: " + how,
    "# times: the raw 64-bit $STANDARD_INFORMATION values (Created, File Modified, MFT Modified, Accessed; "
    "bytes 0-31 of the attribute, from %s) as DD/MM/YYYY HH:MM:SS.FFFFFFF UTC, raw 0 = 01/01/1601 00:00:00.0000000; "
    "TSK 4.11.1 istat shows raw 0 as 2076-11-29 08:54:34.000000000 and 1970-01-01 00:00:00 as 0000-00-00 00:00:00 "
    "(unsigned 64-bit seconds since 1970 cut to 32 bits; fraction = raw mod 10^7 times 100)" % (
        "icat REC-16" if use_tsk else "ntfscat -a 0x10"),
    "# size: first $DATA in %s order; md5: all $DATA contents concatenated in that order; "
    "streams: name:size[!sparse][!compressed][!encrypted] joined by /; paths joined by ' // ', root = ." % (
        "istat" if use_tsk else "ntfsinfo"),
]
if use_tsk:
    common.append("# paths: fls -r -p names of this record (':stream' suffix removed, 'dir/.' copies and "
                  "$OrphanFiles left out), first-appearance order")
else:
    common.append("# paths: names under the ntfs-3g mount with this inode number, depth first in readdir order")
common += chk
hdr = common[:]
hdr.insert(1, "# one line per in-use base MFT record, record-number order")
if not use_tsk:
    hdr.insert(2, "# left out: records ntfsinfo cannot open (not in use, no FILE record, or no $STANDARD_INFORMATION "
                  "as in extension records); no .erased.txt: ntfs-3g opens no record that is not in use")
if use_tsk:
    hdr.insert(2, "# left out: in-use extension records (istat Base File Record): %s; in-use records without "
                  "$STANDARD_INFORMATION (extension records of $MFT, TSK hides base 0): %s; "
                  "allocated but istat cannot read: %s" % (ranges(ext_recs), ranges(nosi_recs), ranges(unreadable_alloc)))
with open(os.path.join(outdir, name + ".facts.txt"), "w") as f:
    f.write("\n".join(hdr + facts) + "\n")
print("%s.facts.txt: %d records" % (name, len(facts)))
if use_tsk:
    hdr = common[:]
    hdr.insert(1, "# one line per NOT in-use base MFT record that istat can still read, record-number order; "
                  "links as the header holds it; paths: deleted ('*') fls names")
    with open(os.path.join(outdir, name + ".erased.txt"), "w") as f:
        f.write("\n".join(hdr + erased) + "\n")
    print("%s.erased.txt: %d records" % (name, len(erased)))
else:
    print("%s: no .erased.txt (ntfs-3g opens no record that is not in use)" % name)
PYEOF

# ONLY="name ..." in the environment limits the run to those volumes
wanted() { [ -z "${ONLY:-}" ] || [[ " $ONLY " == *" $1 "* ]]; }

for n in sample sect4k clust512 attrlist; do
    wanted "$n" || continue
    cp "$imgdir/$n.img" "$work/$n.img"
    facts "$n" "$work/$n.img" 0 "$work/$n.img" "tests/images/$n.img, NTFS at offset 0" tsk
    rm -f "$work/$n.img"
done

for w in "${winpaths[@]}"; do
    b=$(basename "$w"); n=${b%.gz}; n=${n%.raw}
    wanted "$n" || continue
    if [ "${w%.gz}" != "$w" ]; then gzip -dc "$w" > "$work/$n.raw"; else cp "$w" "$work/$n.raw"; fi
    # for ntfs-3g: the disk from sector 128 (byte 65536, where the NTFS partition starts) on
    dd if="$work/$n.raw" of="$work/$n.part" bs=65536 skip=1 status=none
    if [ "$n" = win10-2mcluster ]; then
        rm -f "$work/$n.raw"
        facts "$n" - 0 "$work/$n.part" "$b, whole disk; NTFS partition at sector 128 (byte 65536) copied out with dd" ntfs3g
    else
        facts "$n" "$work/$n.raw" 128 "$work/$n.part" "$b, whole disk; TSK with -o 128, ntfs-3g on the partition copied out with dd skip=128 sectors" tsk
    fi
    rm -f "$work/$n.raw" "$work/$n.part"
done

# the committed images must come out unchanged
(cd "$imgdir" && sha256sum --quiet -c peer/SHA256SUMS) || { echo "make-report-facts: an image changed" >&2; exit 1; }
