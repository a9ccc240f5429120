#!/bin/sh
# Puts a committed test volume into the containers and partition tables an
# examiner meets, with the real tools, for the container tests
# (tests/test_report_images.cpp, "Container*").  Everything goes to OUT_DIR.
#
#   make-containers.sh VOLUME.img OUT_DIR
#
# Needs ewfacquire (ewf-tools), qemu-img (qemu-utils), sfdisk (fdisk),
# sgdisk (gdisk), split and python3.  Exits 77 naming the first tool that is
# missing.  The images (VOLUME is 8 MiB; NTFS in sectors of 512 bytes):
#   ewf-unc.E01..   EWF, uncompressed, 1 MiB segments, of the volume
#   ewf-disk.E01..  EWF, best compression, 1 MiB segments, of gpt-rand.img
#   split-aa.aa..   the volume by split, 3 MiB segments, suffixes aa ab ac
#   split-001.001.. the volume by split, 3 MiB segments, suffixes 001 002 003
#   vol.vmdk vol.vpc vol.vhdx vol.qcow2   qemu-img convert of the volume
#   fixed.vpc stream.vmdk   a fixed VHD (footer only), a stream-optimised VMDK
#   flat.vmdk       a VMDK descriptor naming its flat extent flat-f001.vmdk
#   at128.img       64 KiB of zeros, then the volume (--offset=65536 or 128s)
#   mbr63.img       MBR, the volume at sector 63, alone
#   mbr2048.img     MBR, a Linux partition at 2048, the volume at 20480
#   logical.img     MBR, the volume as logical partition 6 (sector 16384)
#   gpt.img         GPT, the volume at 2048 (partition 1) before two others
#   gpt-rand.img    GPT, EFI system 1, the volume 2 (sector 4096), 3 MiB of noise 3
#   gpt2.vhdx       gpt-rand.img as VHDX (the volume is --partition=2)
#   two.img         MBR, the volume twice (1 at 2048, 2 at 20480)
#   gpt-badcrc.img  gpt.img with the primary header and entry CRCs broken
#   overlap.img past.img loop.img   MBR: partitions that overlap, one past
#                   the disk, an extended chain that comes back to its start
#   ewf-trunc.E01.. ewf-unc with its third segment cut in half
#   split-gap.aa..  split-aa without its second segment
#
# Tried with Debian 12's ewf-tools/libewf 20140813 (EnCase 6 E01; this
# ewfacquire writes no Ex01), qemu-utils 7.2 (VMDK monolithicSparse,
# streamOptimized and twoGbMaxExtentFlat, VHD dynamic and fixed, VHDX
# dynamic, QCOW2 compat 1.1), libvmdk 20200926, libvhdi 20210425, libqcow
# 20201213, fdisk 2.38.1 and gdisk 1.0.9; vsstest.qcow2 (QCOW2 compat 0.10)
# comes from another tool chain.
set -eu
vol=$(realpath "$1")
out=$2
mkdir -p "$out"
cd "$out"
for tool in ewfacquire qemu-img sfdisk sgdisk split python3; do
    command -v "$tool" >/dev/null 2>&1 || { echo "make-containers: no $tool" >&2; exit 77; }
done
put() { dd if="$vol" of="$1" bs=512 seek="$2" conv=notrunc status=none; }
disk() { rm -f "$1"; truncate -s 40M "$1"; }

ewfacquire -u -q -t ewf-unc -c none -S 1MiB -f encase6 "$vol" >/dev/null
split -b 3M -a 2 "$vol" split-aa.
split -b 3M -a 3 --numeric-suffixes=1 "$vol" split-001.
for f in vmdk vpc vhdx qcow2; do qemu-img convert -f raw -O "$f" "$vol" "vol.$f"; done
qemu-img convert -f raw -O vpc -o subformat=fixed "$vol" fixed.vpc
qemu-img convert -f raw -O vmdk -o subformat=streamOptimized "$vol" stream.vmdk
qemu-img convert -f raw -O vmdk -o subformat=twoGbMaxExtentFlat "$vol" flat.vmdk

{ head -c 65536 /dev/zero; cat "$vol"; } > at128.img
disk mbr63.img
printf 'label: dos\nunit: sectors\n\nstart=63, size=16384, type=7\n' | sfdisk -q mbr63.img
put mbr63.img 63
disk mbr2048.img
printf 'label: dos\nunit: sectors\n\nstart=2048, size=16384, type=83\nstart=20480, size=16384, type=7\n' |
    sfdisk -q mbr2048.img
put mbr2048.img 20480
disk logical.img
printf 'label: dos\nunit: sectors\n\nstart=2048, size=4096, type=83\nstart=8192, size=65536, type=5\nstart=10240, size=4096, type=83\nstart=16384, size=16384, type=7\n' |
    sfdisk -q logical.img
put logical.img 16384
disk two.img
printf 'label: dos\nunit: sectors\n\nstart=2048, size=16384, type=7\nstart=20480, size=16384, type=7\n' |
    sfdisk -q two.img
put two.img 2048
put two.img 20480
disk gpt.img
sgdisk -n 1:2048:+16384 -t 1:0700 -n 2:0:+4M -t 2:8300 -n 3:0:+2M -t 3:ef00 gpt.img >/dev/null
put gpt.img 2048
disk gpt-rand.img
sgdisk -n 1:2048:+1M -t 1:ef00 -n 2:4096:+16384 -t 2:0700 -n 3:0:+3M -t 3:8300 gpt-rand.img \
    >/dev/null
put gpt-rand.img 4096
python3 -c 'import random,sys; random.seed(16); sys.stdout.buffer.write(random.randbytes(3 << 20))' |
    dd of=gpt-rand.img bs=512 seek=20480 conv=notrunc status=none
ewfacquire -u -q -t ewf-disk -c deflate:best -S 1MiB -f encase6 gpt-rand.img >/dev/null
qemu-img convert -f raw -O vhdx gpt-rand.img gpt2.vhdx

# Damage, patched in place: offsets are those of the tables sfdisk and sgdisk wrote.
python3 - <<'EOF'
import shutil, struct
def patch(src, dst, edits):
    shutil.copyfile(src, dst)
    with open(dst, 'r+b') as f:
        for at, data in edits:
            f.seek(at)
            f.write(data)
entry = lambda n: 0x1BE + 16 * n
patch('gpt.img', 'gpt-badcrc.img', [(512 + 16, b'\0\0\0\0'), (512 + 88, b'\0\0\0\0')])
patch('mbr2048.img', 'overlap.img', [(entry(1) + 8, struct.pack('<I', 10240))])
patch('mbr2048.img', 'past.img', [(entry(1) + 8, struct.pack('<I', 80000))])
# The second EBR (sector 14336) links back to the first (8192: relative 0).
patch('logical.img', 'loop.img',
      [(14336 * 512 + entry(1), bytes([0, 0, 0, 0, 5, 0, 0, 0]) + struct.pack('<II', 0, 2048))])
EOF
mkdir -p trunc
for f in ewf-unc.E0*; do cp "$f" "trunc/${f#ewf-unc}"; done
for f in trunc/.E0*; do mv "$f" "ewf-trunc${f#trunc/}"; done
rmdir trunc
truncate -s 500000 ewf-trunc.E03
for f in split-aa.*; do cp "$f" "split-gap.${f#split-aa.}"; done
rm split-gap.ab
