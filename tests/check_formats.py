#!/usr/bin/env python3
"""The CSV, JSON Lines and bodyfile reports of one volume, loaded as tools
load them (Python's csv and json modules, The Sleuth Kit's mactime), give the
same records, paths, sizes, links, times, streams, owners and ACEs as the
line report; the bodyfile's lines equal those of `fls -r -m C:`.

    check_formats.py VOLSCAN IMAGE OFFSET SCRATCH_DIR

IMAGE may be a .gz, decompressed into SCRATCH_DIR once; a missing one is a
skip (exit 77), with the reason.
"""
import csv
import gzip
import json
import os
import shutil
import subprocess
import sys

volscan, image, offset, scratch = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
if not os.path.exists(image):
    print(f"SKIP: {image} is not there")
    sys.exit(77)
os.makedirs(scratch, exist_ok=True)
if image.endswith(".gz"):
    raw = os.path.join(scratch, os.path.basename(image)[:-3])
    if not os.path.exists(raw):
        with gzip.open(image, "rb") as src, open(raw + ".tmp", "wb") as dst:
            shutil.copyfileobj(src, dst, 1 << 20)
        os.replace(raw + ".tmp", raw)
    image = raw

faults = []


def fault(text):
    if len(faults) < 40:
        print("MISMATCH:", text)
    faults.append(text)


def run(*options):
    cmd = [volscan, "-8", "-f", image, f"--offset={offset}", *options, "C"]
    env = dict(os.environ, LC_ALL="C.UTF-8")
    return subprocess.run(cmd, capture_output=True, env=env).stdout.decode("utf-8", "surrogatepass")


def iso(line_time):  # "dd/mm/yyyy hh:mm:ss.fffffff" -> ISO 8601
    d, t = line_time.split(" ")
    dd, mm, yyyy = d.split("/")
    return f"{int(yyyy):04d}-{mm}-{dd}T{t}Z"


# The line report: 3 lines of run header and titles, then a line a file
# (the paths of the test volumes hold no "|").
line = {}
# The line writes each UTF-16 unit on its own, a pair of surrogates as two
# sequences: joined here into the character they make.
report = run().encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")
for text in report.split("\n")[3:]:
    if not text:
        continue
    f = text.split("|")
    r = {"path": f[1], "links": f[3], "size": f[4], "attributes": f[5], "times": f[6:10],
         "streams": f[10], "owner": f[11], "group": f[12]}
    dace = int(f[13]) if f[13].isdigit() else 0
    sace = int(f[14]) if f[14].isdigit() else 0
    aces = f[15:15 + 2 * (dace + sace)]
    pairs = [f"{aces[k]}:{aces[k + 1]}" for k in range(0, len(aces), 2)]
    r["dacl"], r["sacl"] = ";".join(pairs[:dace]), ";".join(pairs[dace:])
    alt = f[15 + 2 * (dace + sace):-1]
    r["alternates"] = ";".join(f"{alt[k]}:{alt[k + 1]}" for k in range(0, len(alt) - 1, 2))
    line[f[0]] = r

texts = {fmt: run(f"--format={fmt}") for fmt in ("csv", "jsonl", "bodyfile")}
rows = {row["record"]: row for row in csv.DictReader(texts["csv"].splitlines(True))}
objs = {str(o["record"]): o for o in map(json.loads, texts["jsonl"].splitlines())}
if set(rows) != set(line) or set(objs) != set(line):
    fault(f"records: line {len(line)}, csv {len(rows)}, jsonl {len(objs)}")

for rec, r in line.items():
    c, j = rows.get(rec), objs.get(rec)
    if c is None or j is None:
        continue
    want = {"path": r["path"], "links": r["links"], "size": r["size"],
            "attributes": r["attributes"], "data_streams": r["streams"], "owner": r["owner"],
            "group": r["group"], "dacl": r["dacl"], "sacl": r["sacl"],
            "alternate_streams": r["alternates"]}
    if any("|" in s["name"] for s in j["data_streams"]):
        # A "|" in a stream name splits the line's fields: CSV and JSON agree.
        want["alternate_streams"] = ";".join(f"{s['name']}:{s['size']}" for s in j["data_streams"]
                                             if s["name"])
    if r["times"][0]:
        want.update(zip(["si_creation", "si_write", "si_change", "si_access"], map(iso, r["times"])))
    for key, value in want.items():
        if c[key] != value:
            fault(f"csv {rec} {key}: {c[key]!r} != {value!r}")
    sec = j["security"] or {}
    ja = {"path": j["path"], "links": str(j["links"]),
          "size": "" if j["size"] is None else str(j["size"]),
          "data_streams": str(len(j["data_streams"])),
          "owner": (sec.get("owner") or {}).get("sid", ""),
          "group": (sec.get("group") or {}).get("sid", ""),
          "dacl": ";".join(f"{a['trustee']['sid']}:{a['rights']}" for a in sec.get("dacl") or []),
          "sacl": ";".join(f"{a['trustee']['sid']}:{a['rights']}" for a in sec.get("sacl") or []),
          "alternate_streams": ";".join(f"{s['name']}:{s['size']}" for s in j["data_streams"]
                                        if s["name"])}
    si = j["standard_information"]
    if si:
        ja["attributes"] = si["attributes"]
        ja.update(zip(["si_creation", "si_write", "si_change", "si_access"],
                      [si[k] for k in ("creation", "write", "change", "access")]))
    for key, value in ja.items():
        if key in want and value != want[key]:
            fault(f"jsonl {rec} {key}: {value!r} != {want[key]!r}")
    chosen = [n for n in j["file_names"] if n["chosen"]]
    if chosen and c["fn_creation"] != chosen[0]["creation"]:
        fault(f"{rec} fn_creation: csv {c['fn_creation']} jsonl {chosen[0]['creation']}")

# The bodyfile against The Sleuth Kit, for the lines both write: the
# standard information of the unnamed stream or directory index, and the
# $FILE_NAME lines (fls writes whole seconds and 0 before 1970).
body_path = os.path.join(scratch, os.path.basename(image) + ".body")
with open(body_path, "w", encoding="utf-8", errors="surrogatepass") as out:
    out.write(texts["bodyfile"])
ours = {}
with open(body_path, encoding="utf-8", errors="surrogatepass") as f:
    for text in f:
        p = text.rstrip("\n").split("|")
        if len(p) != 11:
            fault(f"bodyfile line of {len(p)} fields: {text!r}")
            continue
        ours.setdefault((p[2], p[1]), []).append(p)
peer = subprocess.run(["fls", "-r", "-m", "C:", "-o", str(offset // 512), image],
                      capture_output=True)
fls = peer.stdout.decode("utf-8", "replace")
if peer.returncode != 0:
    print(f"NOTE: fls cannot read this volume ({peer.stderr.decode().strip()}): "
          "the bodyfile is checked by mactime only")
compared = 0
for text in fls.splitlines():
    p = text.split("|")
    if len(p) != 11 or "-" not in p[2] or "(deleted" in p[1] or p[1].startswith("C:/$OrphanFiles"):
        continue
    record, kind = p[2].split("-")[0], p[2].split("-")[1]
    if ":" in p[1][2:] or kind not in ("48", "128", "144"):
        continue  # named streams and other attributes: not written
    mine = ours.get((record, p[1]))
    if not mine:
        if record in line and line[record]["links"] != "0" and int(record) >= 16:
            fault(f"bodyfile has no {p[1]!r} of record {record}")
        continue
    compared += 1

    def same(v, theirs):  # an NTFS time of 0 (fls writes it wrapped) is not compared
        return v == "0" or max(int(float(v)), 0) == int(theirs)

    if not any(all(same(v, t) for v, t in zip(m[7:11], p[7:11])) for m in mine):
        fault(f"bodyfile {p[1]!r} times {[m[7:11] for m in mine]} != fls {p[7:11]}")
    if kind == "128" and not any(m[6] == p[6] for m in mine if "($FILE_NAME)" not in m[1]):
        fault(f"bodyfile {p[1]!r} size != fls {p[6]}")
# A trace and the record dumps go to their file, and leave the report as it
# is: the names they write are not taken into the paths.
debug = os.path.join(scratch, os.path.basename(image) + ".debug")
for fmt, text in texts.items():
    if os.path.exists(debug):
        os.remove(debug)  # -d makes a new file
    if run(f"--format={fmt}", "-D", "-d", debug) != text:
        fault(f"{fmt}: the report with -D -d differs from the report without")
os.remove(debug)
mac = subprocess.run(["mactime", "-b", body_path, "-d"], capture_output=True)
if mac.returncode != 0 or not mac.stdout or mac.stderr:
    fault(f"mactime -b: status {mac.returncode}, {mac.stderr[:200]!r}")

print(f"{os.path.basename(image)}: {len(line)} records, {compared} fls lines compared, "
      f"{len(mac.stdout.splitlines())} mactime lines, {len(faults)} mismatches")
sys.exit(1 if faults else 0)
