#!/usr/bin/env bash
# bench/zero-chain.sh SIZE [SIZE...]   (sizes for truncate: 1T, 4T)
# -m on sparse NTFS volumes of terabytes with a few thousand files: the time
# of the digest of $BadClus:$Bad, a stream of zeros as long as the volume,
# taken from the compiled table of MD5 chain states.  Figures, never pass or
# fail.  CHECK=1 also hashes as many zeros with md5sum, without the table,
# and compares the digests (a minute a 40 GiB: most of an hour for 2 TiB).
# Needs mkntfs and ntfs-3g (FUSE); VOLSCAN names the binary (build/volscan),
# WORK the folder for the images (sparse files: a few hundred MiB each).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
volscan=${VOLSCAN:-$here/../build/volscan}
work=${WORK:-${TMPDIR:-/tmp}/zero-chain}
files=${FILES:-3000}
mkdir -p "$work"
for size in "$@"; do
    img="$work/sparse-$size.img"
    if [ ! -f "$img" ]; then
        truncate -s "$size" "$img"
        mkntfs -F -Q -c 4096 -L "sparse$size" "$img" > /dev/null 2>&1
        mnt=$(mktemp -d "$work/mnt.XXXXXX")
        ntfs-3g -o no_detach "$img" "$mnt" > /dev/null 2>&1 &
        pid=$!
        for _ in $(seq 50); do mountpoint -q "$mnt" && break; sleep 0.1; done
        python3 "$here/../../shared/bench/gen.py" "$mnt" "$files" 1 "$work/manifest-$size.tsv" \
            > /dev/null 2>&1 || python3 - "$mnt" "$files" <<'PY'
import os, sys
mnt, n = sys.argv[1], int(sys.argv[2])
for k in range(n):
    d = os.path.join(mnt, "d%03d" % (k // 100))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%05d.bin" % k), "wb") as f:
        f.write(os.urandom(k % 9000))
PY
        umount "$mnt"
        wait "$pid" || true
        rmdir "$mnt"
    fi
    bytes=$(stat -c %s "$img")
    t0=$(date +%s%N)
    "$volscan" -m --device-stats -f "$img" C > "$work/report-$size.txt" 2> "$work/err-$size.txt" || true
    t1=$(date +%s%N)
    bad=$(awk -F'|' '$1 == 8 { print $3 }' "$work/report-$size.txt")
    printf '%-6s volume %s bytes, %s records: -m %.2f s; $BadClus %s\n' "$size" "$bytes" \
        "$(( $(wc -l < "$work/report-$size.txt") - 2 ))" "$(echo "($t1 - $t0) / 1000000000" | bc -l)" "$bad"
    grep '^digest bytes' "$work/err-$size.txt" || true
    if [ "${CHECK:-0}" = 1 ]; then
        badsize=$(awk -F'|' '$1 == 8 { print $(NF - 1) }' "$work/report-$size.txt")
        t0=$(date +%s%N)
        want=$(head -c "$badsize" /dev/zero | md5sum | cut -d' ' -f1)
        t1=$(date +%s%N)
        printf '       md5sum of %s zeros without the table: %s in %.0f s: %s\n' "$badsize" "$want" \
            "$(echo "($t1 - $t0) / 1000000000" | bc -l)" "$([ "$want" = "$bad" ] && echo same || echo DIFFERENT)"
    fi
done
