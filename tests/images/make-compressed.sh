#!/usr/bin/env bash
# make-compressed.sh - the volumes of NTFS-compressed and sparse files, made
# through ntfs-3g, and the digests The Sleuth Kit's icat gives of them
# (peer/<image>.md5.txt).
#
# Usage:  tests/images/make-compressed.sh        (writes next to this script)
# Needs:  apt-get install -y ntfs-3g sleuthkit attr faketime fuse3 python3-libfsntfs libwim15;
#         runs as root.
#
# compress512.img, compress2k.img, compress4k.img: 3 MiB each, clusters of
# 512, 2048 and 4096 bytes (compression units of 8, 32 and 64 KiB), mounted
# with -o compression. Each holds:
#   /Packed/            directory with the compressed attribute (0x810), so
#                       every file made in it is LZNT1-compressed:
#     empty.txt         0 bytes
#     one.txt           1 byte
#     4095.txt          4,095 bytes of text
#     unit.bin          exactly one compression unit of text
#     unit1.bin         one unit and a byte
#     random.bin        96 KiB of pseudo-random bytes (stored raw, units full)
#     zeros.bin         200 KiB of zeros (all units sparse)
#     mixed.bin         text, pseudo-random bytes, zeros and text again, 300 KiB
#     turn-a.txt turn-b.txt   appended in turns, 12 pieces of 3,000 bytes each
#     ads.txt           text with an alternate stream ads.txt:note (compressed),
#                       and a second name /Packed/ads-link.txt (hard link)
#     gone.bin          40 KiB of text, then deleted
#   /Sparse/            not compressed; ntfs-3g flags the streams sparse:
#     holes.bin         hole, 5,000 bytes of data, hole, data, hole to 400 KiB
#     hole.bin          only a hole of 300 KiB
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OUT=$HERE
PEER=$OUT/peer
FAKE_NOW='2024-01-02 03:04:05'
export TZ=UTC LC_ALL=C.UTF-8
PY=/usr/bin/python3

for tool in mkntfs ntfs-3g setfattr faketime fls istat icat ifind $PY; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done

MNT=$(mktemp -d /tmp/volscan-img.XXXXXX)
WORK=$(mktemp -d /tmp/volscan-work.XXXXXX)
NTFS3G_PID=
cleanup() {
    if mountpoint -q "$MNT" 2>/dev/null; then umount "$MNT" || true; fi
    [ -n "$NTFS3G_PID" ] && wait "$NTFS3G_PID" 2>/dev/null || true
    rmdir "$MNT" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

mountvol() {
    faketime -f "$FAKE_NOW" ntfs-3g -o no_detach,noatime,compression,streams_interface=windows \
        "$OUT/$1" "$MNT" >>"$WORK/ntfs-3g.log" 2>&1 &
    NTFS3G_PID=$!
    local i
    for i in $(seq 100); do mountpoint -q "$MNT" && return 0; sleep 0.1; done
    echo "ntfs-3g did not mount $1" >&2; cat "$WORK/ntfs-3g.log" >&2; exit 1
}
umountvol() { umount "$MNT"; wait "$NTFS3G_PID"; NTFS3G_PID=; }

# text N SEED : N bytes of compressible text; random N SEED : of pseudo-random bytes.
text() { $PY -c "import sys; s=''.join('line %06d of seed %s\n' % (i, sys.argv[2]) for i in range(int(sys.argv[1])//20+1)); sys.stdout.write(s[:int(sys.argv[1])])" "$1" "$2"; }
random() { $PY -c "import random, sys; r=random.Random(int(sys.argv[2])); sys.stdout.buffer.write(bytes(r.getrandbits(8) for _ in range(int(sys.argv[1]))))" "$1" "$2"; }

# peer IMG : for every file record fls lists (erased ones too), the MD5 of
# its $DATA streams one after the other, in the order istat lists them, as icat reads them.
peer() {
    local img=$OUT/$1 n=${1%.img} rec path
    fls -r -p "$img" | grep -v '^d/d' | sed 's/^[^ ]* \** *//; s/^\([0-9]*\)-[^:]*:\t/\1\t/' |
        sort -n -u -k1,1 | while IFS=$'\t' read -r rec path; do
            case $rec in ''|*[!0-9]*) continue ;; esac
            [ "$rec" -ge 64 ] || continue
            local ids
            ids=$(istat "$img" "$rec" | awk '/^Type: \$DATA \(128-[0-9]+\)/ {sub(/.*\(128-/, ""); sub(/\).*/, ""); print}')
            [ -n "$ids" ] || continue
            printf '%s\t%s\t%s\n' "$rec" "$(for id in $ids; do icat "$img" "$rec-128-$id"; done | md5sum | cut -d' ' -f1)" "$path"
        done > "$PEER/$n.md5.txt"
}

for c in 512 2048 4096; do
    case $c in 512) img=compress512.img ;; 2048) img=compress2k.img ;; *) img=compress4k.img ;; esac
    unit=$(( c * 16 ))
    rm -f "$OUT/$img"
    truncate -s 3M "$OUT/$img"
    mkntfs -F -q -T -Q -p 0 -H 0 -S 0 -L compress -c "$c" -s 512 "$OUT/$img" >"$WORK/mkntfs.log" 2>&1 ||
        { cat "$WORK/mkntfs.log" >&2; exit 1; }
    mountvol "$img"
    mkdir "$MNT/Packed" "$MNT/Sparse"
    setfattr -n system.ntfs_attrib_be -v 0x00000810 "$MNT/Packed"
    P=$MNT/Packed
    : > "$P/empty.txt"
    printf 'x' > "$P/one.txt"
    text 4095 1 > "$P/4095.txt"
    text "$unit" 2 > "$P/unit.bin"
    text $(( unit + 1 )) 3 > "$P/unit1.bin"
    random 98304 4 > "$P/random.bin"
    head -c 204800 /dev/zero > "$P/zeros.bin"
    { text 70000 5; random 50000 6; head -c 100000 /dev/zero; text 87200 7; } > "$P/mixed.bin"
    for i in $(seq 12); do text 3000 "a$i" >> "$P/turn-a.txt"; text 3000 "b$i" >> "$P/turn-b.txt"; done
    text 20000 8 > "$P/ads.txt"
    text 9000 9 > "$P/ads.txt:note"
    ln "$P/ads.txt" "$P/ads-link.txt"
    text 40960 10 > "$P/gone.bin"
    S=$MNT/Sparse
    truncate -s 409600 "$S/holes.bin"
    text 5000 11 | dd of="$S/holes.bin" bs=1 seek=100000 conv=notrunc status=none
    text 7000 12 | dd of="$S/holes.bin" bs=1 seek=250000 conv=notrunc status=none
    truncate -s 307200 "$S/hole.bin"
    umountvol
    mountvol "$img"
    rm "$P/gone.bin"
    umountvol
    peer "$img"
done
# wof.img: 4 MiB, 4096-byte clusters. /Wof/ holds WOF-compressed files as
# Windows leaves them: the content in the FILE:WofCompressedData stream, made
# by wof-compress.py with wimlib's compressors, the unnamed stream truncated
# to the size (sparse) and the reparse point (tag 0x80000017, provider 2)
# set through ntfs-3g. For each algorithm A (0 XPRESS4K, 1 LZX, 2 XPRESS8K,
# 3 XPRESS16K): aA-chunk.bin (one chunk of text), aA-chunk1.bin (a chunk and
# a byte), aA-random.bin (3 chunks of pseudo-random bytes, stored),
# aA-mixed.bin (text, random, zeros: 5 chunks and a half), and
# aA-zone.bin (text, with a Zone.Identifier stream beside).
# /Elsewhere/: data not on the volume, reparse data set by hand over a
# sparse unnamed stream: wim.bin (WOF provider 1), dedup.bin (0x80000013),
# cloud.bin (0x9000001A), and short.bin (a WOF tag with 8 bytes of data);
# then /last.txt.
# peer/wof.md5.txt: libfsntfs's digest of each WOF file's streams (read()
# decompresses the unnamed one), "-" for the files without one.
img=wof.img
rm -f "$OUT/$img"
truncate -s 4M "$OUT/$img"
mkntfs -F -q -T -Q -p 0 -H 0 -S 0 -L wof -c 4096 -s 512 "$OUT/$img" >"$WORK/mkntfs.log" 2>&1 ||
    { cat "$WORK/mkntfs.log" >&2; exit 1; }
mountvol "$img"
mkdir "$MNT/Wof" "$MNT/Elsewhere"
for a in 0 1 2 3; do
    ch=$(( a == 1 ? 32768 : 4096 << (a == 0 ? 0 : a - 1) ))
    text "$ch" "c$a" > "$WORK/a$a-chunk.bin"
    text $(( ch + 1 )) "d$a" > "$WORK/a$a-chunk1.bin"
    random $(( 3 * ch )) "$a" > "$WORK/a$a-random.bin"
    { text $(( 2 * ch )) "m$a"; random "$ch" "$(( 10 + a ))"; head -c $(( 2 * ch + ch / 2 )) /dev/zero; } > "$WORK/a$a-mixed.bin"
    text $(( 2 * ch + 100 )) "z$a" > "$WORK/a$a-zone.bin"
    for f in chunk chunk1 random mixed zone; do
        name=a$a-$f.bin
        rp=$($PY "$HERE/wof-compress.py" "$a" "$WORK/$name" "$WORK/$name.wof")
        : > "$MNT/Wof/$name"
        cat "$WORK/$name.wof" > "$MNT/Wof/$name:WofCompressedData"
        [ "$f" = zone ] && printf '[ZoneTransfer]\r\nZoneId=3\r\n' > "$MNT/Wof/$name:Zone.Identifier"
        truncate -s "$(stat -c %s "$WORK/$name")" "$MNT/Wof/$name"
        setfattr -n system.ntfs_reparse_data -v "$rp" "$MNT/Wof/$name"
    done
done
E=$MNT/Elsewhere
for f in wim dedup cloud short; do truncate -s 40000 "$E/$f.bin"; done
setfattr -n system.ntfs_reparse_data -v 0x170000801000000001000000010000000100000000000000 "$E/wim.bin"
setfattr -n system.ntfs_reparse_data -v 0x13000080080000000100000000000000 "$E/dedup.bin"
setfattr -n system.ntfs_reparse_data -v 0x1a000090080000000100000000000000 "$E/cloud.bin"
setfattr -n system.ntfs_reparse_data -v 0x17000080080000000100000002000000 "$E/short.bin"
# A plain file made last, so that the volume's last record reads cleanly.
printf 'last\n' > "$MNT/last.txt"
umountvol
PYTHONPATH= $PY "$HERE/peer-wof.py" "$OUT/$img" > "$PEER/wof.md5.txt"
( cd "$OUT" && sha256sum compress512.img compress2k.img compress4k.img wof.img > "$PEER/compress.SHA256SUMS" )
