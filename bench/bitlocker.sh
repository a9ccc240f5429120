#!/usr/bin/env bash
# -m on a BitLocker volume against -m on the same volume decrypted: what the
# layer through libbde costs.
#
#   bench/bitlocker.sh ENCRYPTED.img KEY_OPTION
#
# e.g. bench/bitlocker.sh filled.img --password=PASSWORD, with the volume
# tests/images/make-bitlocker.sh fills.  The decrypted copy is bdemount's
# file copied out to a plain file.  Prints the median wall time of RUNS runs
# (5) of each, their ratio, and the time of unlocking alone (-i 0, which
# reads one record: the key derivation of a password or recovery password
# is a million SHA-256 rounds).  The figures are printed, never judged.
#
# Environment: VOLSCAN (the binary; default build/volscan), RUNS (5), WORK.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
vol="$(realpath "${1:?usage: bench/bitlocker.sh ENCRYPTED.img KEY_OPTION}")"
key="${2:?usage: bench/bitlocker.sh ENCRYPTED.img KEY_OPTION}"
runs="${RUNS:-5}"
volscan="${VOLSCAN:-$here/build/volscan}"
command -v bdemount >/dev/null || { echo "bitlocker.sh: no bdemount (libbde-utils)" >&2; exit 1; }
work="${WORK:-$(mktemp -d /tmp/volscan-bde.XXXXXX)}"
mkdir -p "$work/mnt"
case "$key" in
    --password=*) mount_key=(-p "${key#*=}") ;;
    --recovery-password=*) mount_key=(-r "${key#*=}") ;;
    --startup-key=*) mount_key=(-s "${key#*=}") ;;
    *) echo "bitlocker.sh: KEY_OPTION is --password=, --recovery-password= or --startup-key=" >&2; exit 1 ;;
esac
bdemount "${mount_key[@]}" "$vol" "$work/mnt" >/dev/null
cp "$work/mnt/bde1" "$work/plain.img"
fusermount -u "$work/mnt" 2>/dev/null || umount "$work/mnt"

. "$here/bench/median.sh"
plain=$(median "$volscan" -m -f "$work/plain.img" C)
encrypted=$(median "$volscan" -m -f "$vol" "$key" C)
unlock=$(median "$volscan" -i 0 -f "$vol" "$key" C)
printf 'volume: %s (%s bytes)\n' "$vol" "$(stat -c %s "$vol")"
printf '%-34s %8.3f s\n' "-m, the decrypted copy" "$plain" "-m, through BitLocker" "$encrypted" \
    "unlocking alone (-i 0)" "$unlock"
printf '%-34s %8.2f\n' "ratio" "$(echo "$encrypted / $plain" | bc -l)" \
    "ratio, unlocking left out" "$(echo "($encrypted - $unlock) / $plain" | bc -l)"
rm -rf "$work"
