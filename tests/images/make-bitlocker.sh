#!/bin/sh
# Fills a copy of a BitLocker volume of ../shared/images/bitlocker.tar.xz
# with files, written through another implementation than the one volscan
# reads with: dislocker decrypts and encrypts, mkntfs formats, ntfs-3g
# writes; libbde (volscan, bdemount) then reads it independently.  For the
# BitLocker tests (tests/test_report_images.cpp, "BitLocker*").
#
#   make-bitlocker.sh ENCRYPTED.img PASSWORD|STARTUP_KEY.BEK OUT_DIR
#
# Needs dislocker-fuse (dislocker), mkntfs and ntfs-3g (ntfs-3g), setfattr
# (attr), sgdisk (gdisk), ewfacquire (ewf-tools), qemu-img (qemu-utils) and
# FUSE; runs as root.  Exits 77 naming the first that is missing.  Writes:
#   filled.img     the copy: 300 files of varied sizes in 10 folders (one
#                  with an alternate stream "ads", one with two), 40 of them
#                  deleted again
#   md5sums.txt    md5sum of each file still there, on the ntfs-3g mount
#   gpt.img        GPT disk: partition 1 (EFI system, 1 MiB of noise), the
#                  filled volume as partition 2 at sector 4096
#   gpt.E01        gpt.img in EWF; gpt.vhdx, gpt.img as VHDX
set -eu
src=$(realpath "$1")
password=$2
out=$3
# The key dislocker opens the volume with: a password, or a startup key file.
if [ -f "$password" ]; then set -- -f "$(realpath "$password")"; else set -- "-u$password"; fi
for tool in dislocker-fuse mkntfs ntfs-3g setfattr sgdisk ewfacquire qemu-img md5sum; do
    command -v "$tool" >/dev/null 2>&1 || { echo "make-bitlocker: no $tool" >&2; exit 77; }
done
[ -e /dev/fuse ] || { echo "make-bitlocker: no /dev/fuse" >&2; exit 77; }
mkdir -p "$out"
cd "$out"
mkdir -p clear mnt
cp --sparse=always "$src" filled.img
unmount() {
    umount mnt 2>/dev/null || fusermount -u mnt 2>/dev/null || true
    umount clear 2>/dev/null || fusermount -u clear 2>/dev/null || true
}
trap unmount EXIT
dislocker-fuse -V filled.img "$@" -- clear >/dev/null 2>&1 ||
    { echo "make-bitlocker: dislocker-fuse cannot mount here" >&2; exit 77; }
mkntfs -F -Q -q -L Filled clear/dislocker-file >/dev/null 2>&1
ntfs-3g clear/dislocker-file mnt -o streams_interface=xattr
n=0
for d in 0 1 2 3 4 5 6 7 8 9; do
    mkdir "mnt/dir$d"
    for f in $(seq 1 30); do
        n=$((n + 1))
        # Sizes from a few bytes (resident) to 40 KiB: 6 MiB in all, which
        # ntfs-3g places clear of the FVE metadata blocks (at 33, 44 and 55
        # MiB), where dislocker refuses to write.
        head -c $(( (n * 7919) % 40960 + n )) /dev/urandom > "mnt/dir$d/file$f.bin"
    done
done
setfattr -n user.ads -v "an alternate stream" mnt/dir1/file1.bin
setfattr -n user.one -v "first" mnt/dir2/file2.bin
head -c 70000 /dev/urandom > mnt/ads.bin
setfattr -n user.two -v "0x$(head -c 3000 /dev/urandom | od -An -tx1 | tr -d ' \n')" mnt/dir2/file2.bin
for d in 3 4; do
    for f in $(seq 1 20); do rm "mnt/dir$d/file$f.bin"; done
done
(cd mnt && find . -type f -exec md5sum {} + | sed 's| \./| |' | sort -k 2) > md5sums.txt
unmount
trap - EXIT

# The filled volume as partition 2 of a GPT disk, raw, in EWF and in VHDX.
size=$(stat -c %s filled.img)
rm -f gpt.img
truncate -s $((4096 * 512 + size + 1024 * 1024)) gpt.img
sgdisk -n 1:2048:4095 -t 1:ef00 -n 2:4096:$((4096 + size / 512 - 1)) -t 2:0700 gpt.img >/dev/null
head -c 1048576 /dev/urandom | dd of=gpt.img bs=512 seek=2048 conv=notrunc status=none
dd if=filled.img of=gpt.img bs=1M seek=2 conv=notrunc,sparse status=none
ewfacquire -u -q -t gpt -c fast -f encase6 gpt.img >/dev/null
qemu-img convert -O vhdx gpt.img gpt.vhdx
