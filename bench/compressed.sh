#!/usr/bin/env bash
# -m on a volume whose every file is NTFS-compressed and on one whose every
# file is WOF-compressed, against md5deep -j0 -r over the ntfs-3g mount of
# the same image (ntfs-3g decompresses LZNT1 itself), and the rate at which
# volscan decodes content on one thread beside the libraries' own rate on
# the same units (bench/codec_rate).
#
#   bench/compressed.sh [FILES]
#
# FILES (2000) files of text with random bytes and runs of zeros, 0 to
# 256 KiB each (bench/compressed.py), written through ntfs-3g into a
# directory with the compressed attribute, and WOF-compressed with wimlib's
# compressors (tests/images/wof-compress.py), the four algorithms in turn.
# Prints the median wall time of RUNS runs (5) of each; the figures are
# printed, never judged.
#
# Environment: VOLSCAN (default build/volscan), CODEC_RATE (default
# build/bench/codec_rate, from -DVOLSCAN_BENCH=ON), RUNS, WORK, KEEP (set:
# the images and units stay in WORK).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
files="${1:-2000}"
runs="${RUNS:-5}"
volscan="${VOLSCAN:-$here/build/volscan}"
codec_rate="${CODEC_RATE:-$here/build/bench/codec_rate}"
for tool in mkntfs ntfs-3g setfattr md5deep fls istat fsstat python3; do
    command -v "$tool" >/dev/null || { echo "compressed.sh: $tool is missing" >&2; exit 1; }
done
work="${WORK:-$(mktemp -d /tmp/volscan-compressed.XXXXXX)}"
mkdir -p "$work/mnt"
pid=
cleanup() {
    mountpoint -q "$work/mnt" && umount "$work/mnt"
    [ -n "$pid" ] && wait "$pid" 2>/dev/null
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

mountvol() {  # IMG OPTIONS
    ntfs-3g -o "no_detach,$2" "$1" "$work/mnt" >>"$work/ntfs-3g.log" 2>&1 &
    pid=$!
    for _ in $(seq 100); do mountpoint -q "$work/mnt" && return 0; sleep 0.1; done
    echo "compressed.sh: ntfs-3g did not mount $1" >&2
    exit 1
}
unmountvol() {
    umount "$work/mnt"
    wait "$pid" || true
    pid=
}

. "$here/bench/median.sh"
# md5deep over a fresh read-only mount of IMG for each of the $runs runs
# (the kernel keeps what ntfs-3g decoded in its page cache for as long as a
# mount lasts); the mounts are not timed.
deep_median() {
    local times=()
    for _ in $(seq 1 "$runs"); do
        mountvol "$1" ro
        times+=("$(wall md5deep -j0 -r "$work/mnt/")")
        unmountvol
    done
    median_of "${times[@]}"
}

python3 "$here/bench/compressed.py" gen "$work/plain" "$files" 1
content=$(du -sb --apparent-size "$work/plain" | cut -f1)
# Whole GiB and a MiB: $BadClus:$Bad, as long as the volume less its last
# sector, then costs -m a MiB (the GiB of zeros before it come from the
# table), and the figures are the files'.
size=$(( (content * 2 + (64 << 20) + (1 << 30) - 1) / (1 << 30) * (1 << 30) + (1 << 20) ))

# Every file NTFS-compressed.
truncate -s "$size" "$work/lznt1.img"
mkntfs -F -Q -q -c 4096 -L lznt1 "$work/lznt1.img" 2>/dev/null
mountvol "$work/lznt1.img" compression
mkdir "$work/mnt/Packed"
setfattr -n system.ntfs_attrib_be -v 0x00000810 "$work/mnt/Packed"
cp "$work/plain"/* "$work/mnt/Packed/"
unmountvol

# Every file WOF-compressed.
truncate -s "$size" "$work/wof.img"
mkntfs -F -Q -q -c 4096 -L wof "$work/wof.img" 2>/dev/null
mountvol "$work/wof.img" streams_interface=windows
mkdir "$work/mnt/Wof" "$work/streams"
wofunits=()
for alg in 0 1 2 3; do
    list=()
    for f in "$work/plain"/*; do
        n=$(basename "$f" .bin)
        [ $(( 10#${n#f} % 4 )) -eq "$alg" ] && [ -s "$f" ] && list+=("$f" "$work/streams/$n")
    done
    mapfile -t reparse < <(python3 "$here/tests/images/wof-compress.py" "$alg" "${list[@]}")
    for i in "${!reparse[@]}"; do
        f=${list[$((2 * i))]}
        n=$(basename "$f")
        : >"$work/mnt/Wof/$n"
        cat "$work/streams/${n%.bin}" >"$work/mnt/Wof/$n:WofCompressedData"
        truncate -s "$(stat -c %s "$f")" "$work/mnt/Wof/$n"
        setfattr -n system.ntfs_reparse_data -v "${reparse[$i]}" "$work/mnt/Wof/$n"
        wofunits+=("$alg" "$(stat -c %s "$f")" "$work/streams/${n%.bin}")
    done
done
unmountvol

python3 "$here/bench/compressed.py" lznt1 "$work/lznt1.img" "$work/lznt1.units" >/dev/null
python3 "$here/bench/compressed.py" wof "$work/wof.units" "${wofunits[@]}" >/dev/null

printf 'files: %s, %s bytes of content; LZNT1 volume %s bytes stored, WOF volume %s\n' \
    "$files" "$content" "$(( $(stat -c %b "$work/lznt1.img") * 512 ))" \
    "$(( $(stat -c %b "$work/wof.img") * 512 ))"
for vol in lznt1 wof; do
    img="$work/$vol.img"
    m=$(median "$volscan" -m -f "$img" C)
    m1=$(median "$volscan" -m --threads=1 -f "$img" C)
    deep=$(deep_median "$img")
    # ntfs-3g reads no WOF content without its system-compression plugin.
    mountvol "$img" ro
    deepfails=$(md5deep -j0 -r "$work/mnt/" 2>&1 >/dev/null | grep -c . || true)
    unmountvol
    printf '%-6s %-36s %8.3f s\n' "$vol" "volscan -m" "$m" "" "volscan -m --threads=1" "$m1" \
        "" "md5deep -j0 -r over ntfs-3g" "$deep"
    if [ "$deepfails" -gt 0 ]; then
        printf '%-6s %s\n' "" "(md5deep could not read $deepfails files through ntfs-3g)"
    else
        printf '%-6s %-36s %8.2f\n' "" "md5deep / volscan -m" "$(echo "$deep / $m" | bc -l)"
    fi
    printf '%-6s %-36s %8.1f MB/s of content\n' "" "volscan -m --threads=1" \
        "$(echo "$content / $m1 / 1000000" | bc -l)"
done
if [ -x "$codec_rate" ]; then
    echo "the libraries alone, on the same units, one core:"
    "$codec_rate" "$work/lznt1.units"
    "$codec_rate" "$work/wof.units"
else
    echo "compressed.sh: no $codec_rate (configure with -DVOLSCAN_BENCH=ON)" >&2
fi
