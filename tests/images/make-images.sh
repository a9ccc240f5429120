#!/usr/bin/env bash
# make-images.sh - build the small volume images used by volscan's tests,
# then record what The Sleuth Kit says about them (tests/images/peer/).
#
# Usage:  tests/images/make-images.sh            (writes next to this script)
#
# Needs (only to regenerate; running the tests does not):
#   apt-get install -y ntfs-3g sleuthkit dosfstools attr faketime fuse3
#   - mkntfs (ntfs-3g) formats the NTFS volumes;
#   - ntfs-3g mounts the image FILES directly through FUSE (no loop device);
#   - setfattr (attr) sets NTFS attribute flags, times and security descriptors
#     through ntfs-3g's system.ntfs_* extended attributes;
#   - faketime freezes the clock of the ntfs-3g process, so every time stamp
#     ntfs-3g writes is FAKE_NOW below, unless the script sets it explicitly;
#   - mkfs.vfat (dosfstools) makes the FAT image;
#   - fls/ils/istat/fsstat/ifind (sleuthkit) give the peer outputs.
#   Runs as root (FUSE mounts).
#
# Determinism: mkntfs runs with -T and -Q. With -T every time stamp it writes
# is the raw value 0, i.e. 1601-01-01 00:00:00 UTC (The Sleuth Kit shows it as
# 2076-11-29 08:54:34 in $STANDARD_INFORMATION and as 0000-00-00 00:00:00 in
# $FILE_NAME), and the volume serial number comes out fixed too
# (34F5EE1202469FF7 on every image). ntfs-3g runs under a frozen fake clock;
# all file contents are fixed. With the same
# ntfs-3g/mkntfs version the images come out byte for byte the same (the
# check sums are in peer/SHA256SUMS). Another version may place things
# differently: then compare the peer outputs, not the bytes.
#
# Content patterns used below:
#   offsets N  = N bytes made of 16-byte lines, each the byte offset of the line
#                in decimal, zero-padded to 15 digits, then "\n"
#                ("000000000000000\n000000000000016\n..."), so any byte's
#                expected value can be computed from its offset.
#
# MFT record numbers: ntfs-3g gives new files the lowest free record from 64
# up, in creation order (extension records come from the same pool), so the
# numbers are fixed too. peer/<image>.records.txt
# lists the ones that matter (found with ifind / fls after the fact).

set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OUT=$HERE
PEER=$OUT/peer
FAKE_NOW='2024-01-02 03:04:05'      # the frozen "now" of every ntfs-3g session
export TZ=UTC LC_ALL=C.UTF-8

for tool in mkntfs ntfs-3g setfattr faketime mkfs.vfat fls ils istat fsstat ifind; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done

MNT=$(mktemp -d /tmp/volscan-img.XXXXXX)
WORK=$(mktemp -d /tmp/volscan-work.XXXXXX)
NTFS3G_PID=
cleanup() {
    if mountpoint -q "$MNT" 2>/dev/null; then umount "$MNT" || fusermount -u "$MNT" || true; fi
    [ -n "$NTFS3G_PID" ] && wait "$NTFS3G_PID" 2>/dev/null || true
    rmdir "$MNT" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

# ---------------------------------------------------------------- helpers

# mkvol IMG SIZE_MIB LABEL MKNTFS_ARGS... : fresh image file, formatted.
mkvol() {
    local img=$1 size=$2 label=$3; shift 3
    rm -f "$OUT/$img"
    truncate -s "${size}M" "$OUT/$img"
    # -F: it is a file, not a block device (mkntfs's notice about that goes to
    # the log); -p/-H/-S: hidden sectors, heads and sectors per track, which a
    # file has none of, are written to the boot sector as 0.
    mkntfs -F -q -T -Q -p 0 -H 0 -S 0 -L "$label" "$@" "$OUT/$img" >"$WORK/mkntfs.log" 2>&1 ||
        { cat "$WORK/mkntfs.log" >&2; exit 1; }
}

# mountvol IMG : mount with ntfs-3g (foreground process, frozen clock).
mountvol() {
    faketime -f "$FAKE_NOW" ntfs-3g -o no_detach,noatime,streams_interface=windows \
        "$OUT/$1" "$MNT" >>"$WORK/ntfs-3g.log" 2>&1 &
    NTFS3G_PID=$!
    local i
    for i in $(seq 100); do mountpoint -q "$MNT" && return 0; sleep 0.1; done
    echo "ntfs-3g did not mount $1" >&2; cat "$WORK/ntfs-3g.log" >&2; exit 1
}

# umountvol : unmount and wait until ntfs-3g has written everything and exited.
umountvol() {
    umount "$MNT"
    wait "$NTFS3G_PID"
    NTFS3G_PID=
}

# offsets N : the "offsets" pattern (see above), N a multiple of 16.
offsets() { seq -f '%015.0f' 0 16 $(( $1 - 16 )); }

# ntfstime 'DATE' [HUNDRED_NS] : NTFS time (100 ns units since 1601) as 8-byte
# big-endian hex for the system.ntfs_*_be attributes.
ntfstime() {
    local s; s=$(date -u -d "$1" +%s)
    printf '%016x' $(( (s + 11644473600) * 10000000 + ${2:-0} ))
}

# settimes PATH CREATED MODIFIED MFT_CHANGED ACCESSED : all four
# $STANDARD_INFORMATION times, each 'YYYY-MM-DD HH:MM:SS[+hundred-ns]'.
settimes() {
    local p=$1 hex= t; shift
    for t in "$@"; do hex+=$(ntfstime "${t%+*}" "$( [[ $t == *+* ]] && echo "${t#*+}" || echo 0)"); done
    setfattr -n system.ntfs_times_be -v "0x$hex" "$p"
}

# setattrib PATH HEX32 : DOS/NTFS file attribute flags ($STANDARD_INFORMATION).
setattrib() { setfattr -n system.ntfs_attrib_be -v "0x$2" "$1"; }

# rec IMG PATH : MFT record number of an allocated name (via TSK).
rec() { ifind -n "$2" "$OUT/$1"; }

# extrecs IMG REC : the other records that REC's $ATTRIBUTE_LIST points to
# (its extension records), space-separated, ascending.
extrecs() {
    istat "$OUT/$1" "$2" | awk -v r="$2" '/^\$ATTRIBUTE_LIST Attribute Values:/ {a=1; next}
        a && /^$/ {exit} a && $4 == "Entry:" && $5 != r {print $5}' | sort -n -u | tr '\n' ' ' | sed 's/ $//'
}

# nruns IMG PATH N : fail unless the unnamed $DATA of PATH has exactly N runs.
nruns() {
    local n
    n=$(istat -r "$OUT/$1" "$(rec "$1" "$2")" |
        awk '/^Type: \$DATA \(128-[0-9]+\)   Name: N\/A/ {d=1; next} /^Type:/ {d=0} d && /Starting address/ {n++} END {print n + 0}')
    [ "$n" = "$3" ] || { echo "$1: $2 has $n runs, not $3" >&2; exit 1; }
}

# peer IMG : The Sleuth Kit's view of IMG, into peer/<name>.*
peer() {
    local img=$1 n=${1%.img}; shift
    mkdir -p "$PEER"
    ( cd "$OUT"
      fsstat "$img"             > "$PEER/$n.fsstat.txt"
      fls -r -p "$img"          > "$PEER/$n.fls.txt"
      fls -r -p -d "$img"       > "$PEER/$n.fls-deleted.txt"
      fls -r -p -l -z UTC "$img" > "$PEER/$n.fls-long.txt"
      # ils prints the host and the time it ran on its 2nd line: blanked.
      ils "$img"    | sed '2s/.*/ils|HOST||TIME/' > "$PEER/$n.ils.txt"
      ils -a "$img" | sed '2s/.*/ils|HOST||TIME/' > "$PEER/$n.ils-a.txt"
      ils -e "$img" | sed '2s/.*/ils|HOST||TIME/' > "$PEER/$n.ils-e.txt"
      for r in 0 3 9 "$@"; do istat "$img" "$r" > "$PEER/$n.istat-$r.txt"; done
      istat -r "$img" 0 > "$PEER/$n.istat-r-0.txt"   # the $MFT's runs
      cnt() { echo $(( $(wc -l < "$1") - 3 )); }   # minus the 3 header lines
      local mftsize recsize
      mftsize=$(awk '/^Type: \$DATA \(128-[0-9]+\)   Name: N\/A/ {for (i = 1; i < NF; i++) if ($i == "size:") {print $(i + 1); exit}}' "$PEER/$n.istat-0.txt")
      recsize=$(awk '/^Size of MFT Entries:/ {print $5}' "$PEER/$n.fsstat.txt")
      { echo "# record counts for $img"
        echo "MFT records (\$MFT \$DATA size $mftsize / record size $recsize) $(( mftsize / recsize ))"
        echo "# as The Sleuth Kit's ils reports them; ils -e also lists TSK's virtual"
        echo "# \$OrphanFiles entry (its number = the MFT record count) and leaves"
        echo "# out extension records (records holding attributes of another one)"
        echo "ils    (default: unallocated records) $(cnt "$PEER/$n.ils.txt")"
        echo "ils -a (allocated records)            $(cnt "$PEER/$n.ils-a.txt")"
        echo "ils -e (every record)                 $(cnt "$PEER/$n.ils-e.txt")"
      } > "$PEER/$n.counts.txt"
    )
}

rm -rf "$PEER"
mkdir -p "$PEER"

# ===================================================================
# 1. sample.img - 8 MiB, 4096-byte clusters, 512-byte sectors, label "sample".
#    The volume the README's quick start runs on.
# ===================================================================
# Created (in this order; every time stamp is FAKE_NOW unless noted):
#   /Docs/                          directory
#   /Docs/readme.txt                resident, "Documents live here.\n"
#   /Docs/abc.txt                   resident, exactly the 3 bytes "abc"
#   /Docs/empty.txt                 empty file (0 bytes, resident empty $DATA)
#   /Docs/Letters/                  directory
#   /Docs/Letters/a.txt             resident, "Dear reader,\nthis is a.\n"
#   /Docs/Letters/Old/              directory
#   /Docs/Letters/Old/2019/         directory
#   /Docs/Letters/Old/2019/b.txt    resident, "deep file b\n" (5 levels deep)
#   /Docs/shared.txt                resident "one file, two names\n"; HARD LINK:
#   /Data/shared-link.txt           second name of the same record
#                                   (same MFT record, 2 $FILE_NAME, Links: 2)
#   /Data/                          directory
#   /Data/ten-k.bin                 non-resident, offsets 10240
#   /Data/hundred-k.bin             non-resident, offsets 102400
#   /Data/big.bin                   non-resident, offsets 1048576, written in
#                                   16 pieces: 15 of 16 KiB, each followed by
#                                   /Data/pad/pad-NN.bin (NN=01..15, 4 KiB of
#                                   "pad\n" repeated), then the remaining
#                                   784 KiB, so big.bin is FRAGMENTED into 16
#                                   runs (15 of 4 clusters, 1 of 196). (The
#                                   small pieces keep this inside the free
#                                   area the allocator is filling: ntfs-3g puts
#                                   a new file at the start of the LARGEST free
#                                   area, so once that area is another one, the
#                                   pads stop landing after big.bin.)
#   /Data/pad/                      directory holding the 15 pad files
#   /Intl/                          directory, non-ASCII names:
#   /Intl/café.txt                  "e acute\n"         (U+00E9)
#   /Intl/€uro.txt                  "euro sign\n"       (U+20AC)
#   /Intl/中文.txt                  "CJK\n"             (U+4E2D U+6587)
#   /Intl/emoji-😀.txt              "outside the BMP\n" (U+1F600, a UTF-16
#                                   surrogate pair on disk)
#   /Intl/Répertoire/               directory with a non-ASCII name
#   /Intl/Répertoire/note.txt       "note\n"
#   /Streams/                       directory, alternate data streams:
#   /Streams/small-ads.txt          main "main stream\n"; ADS "note" resident,
#                                   "resident stream\n"
#   /Streams/big-ads.bin            main "small main\n"; ADS "big" NON-RESIDENT,
#                                   offsets 65536
#   /Streams/pipe.txt               main "pipe\n"; ADS named "a|b" ("pipe in name\n")
#                                   and ADS "second" ("2nd\n")
#   /Streams/dir-with-ads/          directory that carries an ADS "dirnote"
#                                   ("stream on a directory\n")
#   /Many/                          directory with 300 files file-001.txt ..
#                                   file-300.txt, each "file NNN\n": its $I30
#                                   index is non-resident ($INDEX_ALLOCATION)
#   /Attr/                          directory, flags and security descriptor:
#   /Attr/readonly.txt              attributes ReadOnly|Archive      (0x21)
#   /Attr/hidden.txt                attributes Hidden|Archive        (0x22)
#   /Attr/system-hidden.txt         attributes System|Hidden|Archive (0x26)
#   /Attr/acl.txt                   own security descriptor, set through
#                                   system.ntfs_acl: owner BUILTIN\Administrators
#                                   (S-1-5-32-544), group SYSTEM (S-1-5-18),
#                                   DACL: allow Everyone (S-1-1-0) 0x001200A9
#                                   (read & execute), allow Administrators
#                                   0x001F01FF (full). ntfs-3g stores it in
#                                   $Secure:$SDS and gives the file a new
#                                   security id, 258, in a 72-byte
#                                   $STANDARD_INFORMATION (istat of the file;
#                                   $Secure is record 9, peer/sample.istat-9.txt).
#                                   Every other file ntfs-3g makes here has a
#                                   48-byte $STANDARD_INFORMATION (no security
#                                   id) and its own resident $SECURITY_DESCRIPTOR.
#   /Times/                         directory, explicit times (UTC):
#   /Times/times.txt                "times\n"; created 2001-02-03 04:05:06.1234567,
#                                   modified 2010-11-12 13:14:15.5, MFT changed
#                                   2011-01-01 00:00:00, accessed 2020-06-07 08:09:10
#   /Times/old.txt                  "old\n"; all four times 1999-12-31 23:59:59
#   /Trash/                         directory, stays; then DELETED (rm):
#   /Trash/gone1.txt                resident "deleted resident\n"
#   /Trash/gone2.bin                non-resident, offsets 20480
#   /Trash/OldDir/                  directory, deleted with its file:
#   /Trash/OldDir/inner.txt         "inside a deleted dir\n"
#   /deleted-root.txt               "deleted in the root\n"
#   After the deletions the directories' times are set to 2023-05-06 07:08:09.
#   The record numbers these had are in peer/sample.records.txt; the
#   listing before the deletion is peer/sample.fls-predelete.txt.
echo "== sample.img"
mkvol sample.img 8 sample -c 4096 -s 512
mountvol sample.img
(
    cd "$MNT"
    mkdir -p Docs/Letters/Old/2019 Data/pad Intl/Répertoire Streams Many Attr Times Trash/OldDir
    printf 'Documents live here.\n' > Docs/readme.txt
    printf 'abc' > Docs/abc.txt
    : > Docs/empty.txt
    printf 'Dear reader,\nthis is a.\n' > Docs/Letters/a.txt
    printf 'deep file b\n' > Docs/Letters/Old/2019/b.txt
    printf 'one file, two names\n' > Docs/shared.txt
    ln Docs/shared.txt Data/shared-link.txt
    offsets 10240  > Data/ten-k.bin
    offsets 102400 > Data/hundred-k.bin
    offsets 1048576 > "$WORK/big"
    : > Data/big.bin
    for i in $(seq 1 15); do
        dd if="$WORK/big" bs=16384 skip=$((i - 1)) count=1 status=none >> Data/big.bin
        { yes pad || true; } | head -c 4096 > "Data/pad/pad-$(printf %02d "$i").bin"
    done
    dd if="$WORK/big" bs=16384 skip=15 status=none >> Data/big.bin
    printf 'e acute\n' > Intl/café.txt
    printf 'euro sign\n' > Intl/€uro.txt
    printf 'CJK\n' > Intl/中文.txt
    printf 'outside the BMP\n' > Intl/emoji-😀.txt
    printf 'note\n' > Intl/Répertoire/note.txt
    printf 'main stream\n' > Streams/small-ads.txt
    printf 'resident stream\n' > Streams/small-ads.txt:note
    printf 'small main\n' > Streams/big-ads.bin
    offsets 65536 > Streams/big-ads.bin:big
    printf 'pipe\n' > Streams/pipe.txt
    printf 'pipe in name\n' > 'Streams/pipe.txt:a|b'
    printf '2nd\n' > Streams/pipe.txt:second
    mkdir Streams/dir-with-ads
    printf 'stream on a directory\n' > Streams/dir-with-ads:dirnote
    for i in $(seq 1 300); do printf 'file %03d\n' "$i" > "Many/file-$(printf %03d "$i").txt"; done
    printf 'read only\n' > Attr/readonly.txt;          setattrib Attr/readonly.txt 00000021
    printf 'hidden\n' > Attr/hidden.txt;               setattrib Attr/hidden.txt 00000022
    printf 'system hidden\n' > Attr/system-hidden.txt; setattrib Attr/system-hidden.txt 00000026
    printf 'own security descriptor\n' > Attr/acl.txt
    # self-relative SD: header(20) DACL(8+20+24) owner(16) group(12) = 100 bytes
    sd='01000480'                              # revision 1, SE_SELF_RELATIVE|SE_DACL_PRESENT
    sd+='48000000 58000000 00000000 14000000'  # owner@72 group@88 no SACL, DACL@20
    sd+='02003400 02000000'                    # ACL revision 2, 52 bytes, 2 ACEs
    sd+='00001400 a9001200 010100000000000100000000'         # allow Everyone
    sd+='00001800 ff011f00 01020000000000052000000020020000' # allow Administrators
    sd+='01020000000000052000000020020000'     # owner S-1-5-32-544
    sd+='010100000000000512000000'             # group S-1-5-18
    setfattr -n system.ntfs_acl -v "0x${sd// /}" Attr/acl.txt
    printf 'times\n' > Times/times.txt
    settimes Times/times.txt '2001-02-03 04:05:06+1234567' '2010-11-12 13:14:15+5000000' \
        '2011-01-01 00:00:00' '2020-06-07 08:09:10'
    printf 'old\n' > Times/old.txt
    settimes Times/old.txt '1999-12-31 23:59:59' '1999-12-31 23:59:59' \
        '1999-12-31 23:59:59' '1999-12-31 23:59:59'
    printf 'deleted resident\n' > Trash/gone1.txt
    offsets 20480 > Trash/gone2.bin
    printf 'inside a deleted dir\n' > Trash/OldDir/inner.txt
    printf 'deleted in the root\n' > deleted-root.txt
)
umountvol
( cd "$OUT" && fls -r -p sample.img > "$PEER/sample.fls-predelete.txt" )
nruns sample.img /Data/big.bin 16
{
    echo "# sample.img: MFT record numbers that matter (from ifind/fls)"
    for p in /Docs/shared.txt /Data/shared-link.txt /Docs/abc.txt /Docs/empty.txt \
             /Docs/Letters/a.txt /Docs/Letters/Old/2019/b.txt /Data/ten-k.bin \
             /Data/hundred-k.bin /Data/big.bin /Intl/café.txt /Intl/€uro.txt /Intl/中文.txt \
             /Intl/emoji-😀.txt /Streams/small-ads.txt /Streams/big-ads.bin /Streams/pipe.txt \
             /Streams/dir-with-ads /Many /Attr/readonly.txt /Attr/hidden.txt \
             /Attr/system-hidden.txt /Attr/acl.txt /Times/times.txt /Times/old.txt; do
        echo "$(rec sample.img "$p") $p"
    done
    echo "# deleted afterwards (record numbers before the deletion):"
    for p in /Trash/gone1.txt /Trash/gone2.bin /Trash/OldDir /Trash/OldDir/inner.txt /deleted-root.txt; do
        echo "$(rec sample.img "$p") $p (deleted)"
    done
} > "$PEER/sample.records.txt"
mountvol sample.img
(
    cd "$MNT"
    rm Trash/gone1.txt Trash/gone2.bin deleted-root.txt
    rm -r Trash/OldDir
    for d in . Docs Docs/Letters Docs/Letters/Old Docs/Letters/Old/2019 Data Data/pad Intl \
             Intl/Répertoire Streams Streams/dir-with-ads Many Attr Times Trash; do
        settimes "$d" '2023-05-06 07:08:09' '2023-05-06 07:08:09' '2023-05-06 07:08:09' '2023-05-06 07:08:09'
    done
)
umountvol
r() { grep " $1\$" "$PEER/sample.records.txt" | cut -d' ' -f1; }
peer sample.img "$(r /Docs/shared.txt)" "$(r /Data/big.bin)" "$(r /Streams/small-ads.txt)" \
    "$(r /Streams/big-ads.bin)" "$(r /Streams/pipe.txt)" "$(r /Streams/dir-with-ads)" \
    "$(r /Many)" "$(r /Attr/acl.txt)" "$(r /Times/times.txt)" "$(r /Intl/emoji-😀.txt)" \
    "$(grep ' /Trash/gone2.bin (deleted)' "$PEER/sample.records.txt" | cut -d' ' -f1)"

# ===================================================================
# 2. sect4k.img - 4 MiB, 4096-byte sectors AND clusters, label "sect4k".
#    MFT records are 4096 bytes (update sequence array of 9 values).
# ===================================================================
#   /hello.txt          resident "hello, 4k sectors\n"
#   /abc.txt            exactly "abc"
#   /Dir/               directory
#   /Dir/inner.txt      resident "inner\n"
#   /Dir/nonres.bin     non-resident, offsets 20480
#   /Dir/ads.txt        main "ads\n", ADS "s" resident "stream\n"
#   /gone.txt           "deleted\n", then DELETED (rm)
echo "== sect4k.img"
mkvol sect4k.img 4 sect4k -c 4096 -s 4096
mountvol sect4k.img
(
    cd "$MNT"
    mkdir Dir
    printf 'hello, 4k sectors\n' > hello.txt
    printf 'abc' > abc.txt
    printf 'inner\n' > Dir/inner.txt
    offsets 20480 > Dir/nonres.bin
    printf 'ads\n' > Dir/ads.txt
    printf 'stream\n' > Dir/ads.txt:s
    printf 'deleted\n' > gone.txt
)
umountvol
{
    echo "# sect4k.img: MFT record numbers that matter"
    for p in /hello.txt /abc.txt /Dir /Dir/inner.txt /Dir/nonres.bin /Dir/ads.txt; do echo "$(rec sect4k.img "$p") $p"; done
    echo "$(rec sect4k.img /gone.txt) /gone.txt (deleted)"
} > "$PEER/sect4k.records.txt"
mountvol sect4k.img
rm "$MNT/gone.txt"
umountvol
peer sect4k.img $(grep -v '^#' "$PEER/sect4k.records.txt" | cut -d' ' -f1)

# ===================================================================
# 3. clust512.img - 4 MiB, 512-byte clusters and sectors, label "clust512".
#    MFT records are 1024 bytes = 2 clusters each.
# ===================================================================
#   /small.txt          resident "small\n"
#   /abc.txt            exactly "abc"
#   /Dir/               directory
#   /Dir/nonres.bin     non-resident, offsets 20480 (40 clusters)
#   /Dir/frag.bin       non-resident, offsets 8192, written in 8 pieces of
#                       1 KiB (2 clusters), each followed by two files
#                       /Dir/pad-N-1.txt and /Dir/pad-N-2.txt (N=1..8, 1024
#                       bytes "p" each: too big to be resident, so 2 clusters),
#                       so it is FRAGMENTED into 8 runs of 2 clusters. (Two
#                       pads, because on this volume of more than 4096
#                       clusters ntfs-3g's allocator alternates between two
#                       search starts for new files: one of the two pads lands
#                       right after frag.bin.)
#   /Dir/ads.txt        main "ads\n"; ADS "res" resident "resident stream\n";
#                       ADS "nonres" non-resident, offsets 4096
#   /gone.txt           "deleted\n", then DELETED (rm)
echo "== clust512.img"
mkvol clust512.img 4 clust512 -c 512 -s 512
mountvol clust512.img
(
    cd "$MNT"
    mkdir Dir
    printf 'small\n' > small.txt
    printf 'abc' > abc.txt
    offsets 20480 > Dir/nonres.bin
    offsets 8192 > "$WORK/frag"
    : > Dir/frag.bin
    for i in $(seq 1 8); do
        dd if="$WORK/frag" bs=1024 skip=$((i - 1)) count=1 status=none >> Dir/frag.bin
        head -c 1024 /dev/zero | tr '\0' p > "Dir/pad-$i-1.txt"
        head -c 1024 /dev/zero | tr '\0' p > "Dir/pad-$i-2.txt"
    done
    printf 'ads\n' > Dir/ads.txt
    printf 'resident stream\n' > Dir/ads.txt:res
    offsets 4096 > Dir/ads.txt:nonres
    printf 'deleted\n' > gone.txt
)
umountvol
nruns clust512.img /Dir/frag.bin 8
{
    echo "# clust512.img: MFT record numbers that matter"
    for p in /small.txt /abc.txt /Dir /Dir/nonres.bin /Dir/frag.bin /Dir/ads.txt; do echo "$(rec clust512.img "$p") $p"; done
    echo "$(rec clust512.img /gone.txt) /gone.txt (deleted)"
} > "$PEER/clust512.records.txt"
mountvol clust512.img
rm "$MNT/gone.txt"
umountvol
peer clust512.img $(grep -v '^#' "$PEER/clust512.records.txt" | cut -d' ' -f1)

# ===================================================================
# 4. fat.img - 1 MiB FAT12 volume (mkfs.vfat), label "NOTNTFS", volume id
#    12345678, empty. For the "is not NTFS" refusal.
# ===================================================================
echo "== fat.img"
rm -f "$OUT/fat.img"
mkfs.vfat -C --invariant -i 12345678 -n NOTNTFS "$OUT/fat.img" 1024 >/dev/null
( cd "$OUT" && fsstat fat.img > "$PEER/fat.fsstat.txt" )

# ===================================================================
# 5. attrlist.img - 8 MiB, 4096-byte clusters, 512-byte sectors, label
#    "attrlist". Files whose attributes do not fit in one MFT record, so they
#    have an $ATTRIBUTE_LIST, and the $MFT itself has one.
# ===================================================================
#   /Links/target.txt          "one record, 200 names\n" plus 199 more hard
#                              links /Links/link-001.txt .. link-199.txt: 200
#                              $FILE_NAME attributes, most in extension records
#                              ($ATTRIBUTE_LIST non-resident)
#   /Streams/many-ads.txt      main "many streams\n" + 60 ADS s01..s60, each
#                              resident "stream NN of 60\n" -> $DATA attributes
#                              in extension records
#   /Trash/gone-ads.txt        made like many-ads.txt ("gone streams\n" + 60 ADS
#                              g01..g60, "gone NN of 60\n"), DELETED (rm) as
#                              the very last step: a deleted base record whose
#                              attributes lie in (also freed) extension records
#   /Fill/NNNN                 4 KiB files ("fill\n" repeated), made until the
#                              volume is full (each takes one cluster, in
#                              order); then those lying on an EVEN cluster
#                              number are truncated to 0 bytes, leaving
#                              1-cluster holes between the odd ones. (They are
#                              truncated rather than deleted so that their MFT
#                              records stay in use: new files then extend the
#                              $MFT at once instead of reusing freed records.)
#   /Frag/fragmented.bin       offsets 1048576 written into those holes: ~256
#                              runs, too many for one record, so its unnamed
#                              $DATA is split over the base record and an
#                              extension record (several $DATA pieces with
#                              different starting VCNs)
#   /Grow/NNNN                 empty files, made in batches of 100 until the
#                              $MFT's own runlist (it also grows into the holes)
#                              no longer fits in record 0 and ntfs-3g gives the
#                              $MFT an $ATTRIBUTE_LIST (its $DATA continues in
#                              an extension record), then one batch more.
#                              The directory's index is non-resident and
#                              fragmented too.
# peer/attrlist.records.txt gives the record numbers and how many Fill / Grow
# files were made and truncated.
echo "== attrlist.img"
mkvol attrlist.img 8 attrlist -c 4096 -s 512
mountvol attrlist.img
(
    cd "$MNT"
    mkdir Links Streams Trash Fill Frag Grow
    printf 'one record, 200 names\n' > Links/target.txt
    for i in $(seq 1 199); do ln Links/target.txt "Links/link-$(printf %03d "$i").txt"; done
    printf 'many streams\n' > Streams/many-ads.txt
    for i in $(seq -w 1 60); do printf 'stream %s of 60\n' "$i" > "Streams/many-ads.txt:s$i"; done
    printf 'gone streams\n' > Trash/gone-ads.txt
    for i in $(seq -w 1 60); do printf 'gone %s of 60\n' "$i" > "Trash/gone-ads.txt:g$i"; done
    { yes fill || true; } | head -c 4096 > "$WORK/fill"
    i=0
    while cp "$WORK/fill" "Fill/$(printf %04d $i)" 2>/dev/null; do i=$((i + 1)); done
    rm -f "Fill/$(printf %04d $i)"     # the one that did not fit
)
umountvol
# Which cluster does each fill file occupy? (the first cluster of its $DATA)
( cd "$OUT"
  fls -u -p attrlist.img "$(ifind -n /Fill attrlist.img)" |
      awk -F'\t' '{split($1, a, " "); sub(/-.*/, "", a[2]); print a[2], $2}' |
      while read -r ino name; do
          echo "$(istat attrlist.img "$ino" | awk '/^Type: \$DATA/ {d=1; next} d && /^[0-9]/ {print $1; exit}') $name"
      done
) > "$WORK/fillmap"
awk 'NF != 2 || $1 !~ /^[0-9]+$/ {print "bad fill map line: " $0; bad=1} END {exit bad}' "$WORK/fillmap" >&2
mountvol attrlist.img
awk '$1 % 2 == 0 {print $2}' "$WORK/fillmap" | (cd "$MNT/Fill" && xargs truncate -s 0)
offsets 1048576 > "$MNT/Frag/fragmented.bin"
umountvol
batch=0 mft_done=
while :; do
    mountvol attrlist.img
    for i in $(seq $((batch * 100 + 1)) $((batch * 100 + 100))); do
        : > "$MNT/Grow/$(printf %04d "$i")" || { echo "attrlist.img is full after $((i - 1)) Grow files" >&2; exit 1; }
    done
    umountvol
    batch=$((batch + 1))
    if [ -n "$mft_done" ]; then break; fi
    istat "$OUT/attrlist.img" 0 > "$WORK/istat0"
    if grep -q 'ATTRIBUTE_LIST' "$WORK/istat0"; then mft_done=1; fi
    [ "$batch" -lt 40 ] || { echo "the \$MFT never got an attribute list" >&2; exit 1; }
done
gone=$(rec attrlist.img /Trash/gone-ads.txt)
mountvol attrlist.img
rm "$MNT/Trash/gone-ads.txt"
umountvol
{
    echo "# attrlist.img: MFT record numbers that matter"
    echo "0 \$MFT (has \$ATTRIBUTE_LIST)"
    for p in /Links/target.txt /Streams/many-ads.txt /Frag/fragmented.bin /Fill /Grow /Trash; do
        echo "$(rec attrlist.img "$p") $p"
    done
    echo "$gone /Trash/gone-ads.txt (deleted)"
    echo "# extension records (from each one's \$ATTRIBUTE_LIST, as istat shows it):"
    for r in 0 $(rec attrlist.img /Links/target.txt) $(rec attrlist.img /Streams/many-ads.txt) \
             $(rec attrlist.img /Frag/fragmented.bin) "$gone"; do
        echo "#   $r: $(extrecs attrlist.img "$r")"
    done
    echo "# Fill files made: $(wc -l < "$WORK/fillmap") (Fill/0000 .. Fill/$(printf %04d $(( $(wc -l < "$WORK/fillmap") - 1 )))), truncated to 0 bytes: $(awk '$1 % 2 == 0' "$WORK/fillmap" | wc -l)"
    echo "# Grow files made: $((batch * 100)) (Grow/0001 .. Grow/$(printf %04d $((batch * 100))))"
} > "$PEER/attrlist.records.txt"
for p in /Links/target.txt /Streams/many-ads.txt /Frag/fragmented.bin; do
    istat "$OUT/attrlist.img" "$(rec attrlist.img "$p")" > "$WORK/istat"
    grep -q ATTRIBUTE_LIST "$WORK/istat" || { echo "$p has no attribute list" >&2; exit 1; }
done
peer attrlist.img $(grep -v '^#' "$PEER/attrlist.records.txt" | sed -n '2,4p;8p' | cut -d' ' -f1) \
    $(extrecs attrlist.img 0)     # the $MFT's extension records

( cd "$OUT" && sha256sum sample.img sect4k.img clust512.img fat.img attrlist.img ) > "$PEER/SHA256SUMS"
echo "done: $(cd "$OUT" && ls -l ./*.img | awk '{print $5, $9}' | tr '\n' ' ')"
