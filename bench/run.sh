#!/usr/bin/env bash
# Times volscan against The Sleuth Kit's fls and ntfs-3g's ntfsls on one
# volume, in one run, the tools taking turns:
#
#   bench/run.sh VOLUME
#
# volscan in line mode, with -m, with -v -u; TZ=UTC fls -r -p -l; ntfsls -f
# -R -a -l -i; and dd of the $MFT's bytes.  For each: the median wall time
# of RUNS runs (5) with the fastest and slowest, records per second, device
# reads and bytes per record, and peak RSS; then the ratios against the
# peers, the MD5 rate of OpenSSL over as many bytes as -m hashes, and what
# -m costs against the least that many bytes can take on this machine's cores.
# The figures are printed, never judged; the script fails only when a tool
# fails or when fls and volscan disagree on the files in use.
#
# Environment: VOLSCAN (the binary; default build-bench/volscan, else
# build/volscan), RUNS (5), STRACE=0 skips counting the peers' reads,
# WORK (scratch directory; default a new one under /tmp).
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
vol="${1:?usage: bench/run.sh VOLUME}"
vol="$(cd "$(dirname "$vol")" && pwd)/$(basename "$vol")"
runs="${RUNS:-5}"
volscan="${VOLSCAN:-}"
if [ -z "$volscan" ]; then
    for b in "$here/build-bench/volscan" "$here/build/volscan"; do
        [ -x "$b" ] && { volscan="$b"; break; }
    done
fi
[ -x "$volscan" ] || { echo "run.sh: no volscan binary (set VOLSCAN)" >&2; exit 1; }

need=()
command -v fls >/dev/null || need+=(sleuthkit)
command -v ntfsls >/dev/null || need+=(ntfs-3g)
[ -x /usr/bin/time ] || need+=(time)
command -v strace >/dev/null || need+=(strace)
command -v openssl >/dev/null || need+=(openssl)
if [ ${#need[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

work="${WORK:-$(mktemp -d /tmp/volscan-bench.XXXXXX)}"
mkdir -p "$work"

# ---------------------------------------------------------------- geometry
# From the boot sector: bytes per sector (0x0B), sectors per cluster (0x0D,
# a negative power of two above 0x80), the $MFT's LCN (0x30).
le() { od -An -t u"$2" -j "$1" -N "$2" "$vol" | tr -d ' '; }
sector=$(le 11 2)
spc=$(le 13 1)
if [ "$spc" -gt 128 ]; then spc=$((1 << (256 - spc))); fi
cluster=$((sector * spc))
mft_lcn=$(le 48 8)
# The $MFT's size and record size from volscan itself (record 0, verbose).
mft_size=$({ "$volscan" -v -i 0 -f "$vol" C 2>/dev/null || true; } | sed -n 's/^Data stream size : //p')
rec_byte=$(od -An -t d1 -j 64 -N 1 "$vol" | tr -d ' ')
if [ "$rec_byte" -lt 0 ]; then rec_size=$((1 << -rec_byte)); else rec_size=$((rec_byte * cluster)); fi
records=$((mft_size / rec_size))
mft_offset=$((mft_lcn * cluster))

# ------------------------------------------------------------- the tools
names=(line copy md5 verbose fls ntfsls dd)
cmd_line() { "$volscan" -f "$vol" C; }
# The same records from a copy of the $MFT, as triage collectors take it.
cmd_copy() { "$volscan" -f "$work/\$MFT" C; }
cmd_md5() { "$volscan" -m -f "$vol" C; }
cmd_verbose() { rm -f "$work/users.txt"; "$volscan" -v -u "$work/users.txt" -f "$vol" C; }
cmd_fls() { TZ=UTC fls -r -p -l "$vol"; }
cmd_ntfsls() { ntfsls -f -R -a -l -i "$vol"; }
# The $MFT is one run on the volumes the generator writes; dd reads its bytes.
cmd_dd() { dd if="$vol" of=/dev/null bs=1M iflag=skip_bytes,count_bytes skip="$mft_offset" \
    count="$mft_size" status=none; }
label() {
    case "$1" in
        line) echo "volscan" ;; copy) echo "volscan, copy of \$MFT" ;; md5) echo "volscan -m" ;; verbose) echo "volscan -v -u" ;;
        fls) echo "TZ=UTC fls -r -p -l" ;; ntfsls) echo "ntfsls -f -R -a -l -i" ;;
        dd) echo "dd of the \$MFT" ;;
    esac
}

load() { cut -d' ' -f1-3 /proc/loadavg; }

echo "== volume $vol"
echo "records $records, record size $rec_size, cluster $cluster, \$MFT $mft_size bytes at byte $mft_offset"
echo "volscan $volscan"
echo "load before: $(load)"

# Warm the page cache: every tool then reads from memory.
cat "$vol" > /dev/null
dd if="$vol" of="$work/\$MFT" bs=1M iflag=skip_bytes,count_bytes skip="$mft_offset" \
    count="$mft_size" status=none

# One untimed run of each: outputs kept for the checks below.
"$volscan" -f "$vol" C > "$work/line.txt" 2> "$work/line.err" || true
TZ=UTC fls -r -p -l "$vol" > "$work/fls.txt" 2> "$work/fls.err"

# fls and volscan must agree on the records in use: fls lists every name of
# every allocated record (and its streams) below the root, which it does
# not list itself; volscan one line per record, its link count 0 when erased.
fls_inuse=$({ echo 5; awk -F'\t' '$1 !~ /\*/ { split($1, a, " "); r = a[2]; sub(/-.*/, "", r);
    sub(/:$/, "", r); if (r + 0 < '"$records"') print r }' "$work/fls.txt"; } | sort -u | wc -l)
vs_inuse=$(awk -F'|' 'NR > 3 && $4 > 0 && $2 != ""' "$work/line.txt" | wc -l)
echo "records in use: fls $fls_inuse, volscan $vs_inuse (named)"
if [ "$fls_inuse" != "$vs_inuse" ]; then
    echo "run.sh: fls and volscan disagree on the records in use" >&2
    exit 1
fi

# Bytes that -m hashes: every data stream of every record, from the verbose report.
"$volscan" -v -f "$vol" C > "$work/verbose.txt" 2>/dev/null || true
# One stream's digest is serial, so the largest stream bounds -m on any number of cores.
read -r hashed largest <<< "$(awk '/^Data stream size : / { n = $5 } /^ Size : / { n = $3 }
    /^(Data stream size| Size) : / { s += n; if (n > m) m = n }
    END { printf "%.0f %.0f", s, m }' "$work/verbose.txt")"

# ------------------------------------------------------ device reads
declare -A reads bytes
for n in line copy md5 verbose; do
    case "$n" in
        line) "$volscan" --device-stats -f "$vol" C > /dev/null 2> "$work/stats.txt" || true ;;
        copy) "$volscan" --device-stats -f "$work/\$MFT" C > /dev/null 2> "$work/stats.txt" || true ;;
        md5) "$volscan" --device-stats -m -f "$vol" C > /dev/null 2> "$work/stats.txt" || true ;;
        verbose) rm -f "$work/users.txt"
            "$volscan" --device-stats -v -u "$work/users.txt" -f "$vol" C > /dev/null \
                2> "$work/stats.txt" || true ;;
    esac
    # What -m hashes, leading zeros taken from the table left out.
    if [ "$n" = md5 ] && grep -q '^digest bytes: ' "$work/stats.txt"; then
        read -r hashed largest <<< "$(sed -n 's/^digest bytes: hashed \([0-9]*\), largest digest \([0-9]*\),.*/\1 \2/p' \
            "$work/stats.txt")"
    fi
    reads[$n]=$(sed -n 's/^device reads: \([0-9]*\), bytes: \([0-9]*\)$/\1/p' "$work/stats.txt")
    bytes[$n]=$(sed -n 's/^device reads: \([0-9]*\), bytes: \([0-9]*\)$/\2/p' "$work/stats.txt")
done
for n in fls ntfsls dd; do
    if [ "${STRACE:-1}" = 0 ]; then reads[$n]=""; bytes[$n]=""; continue; fi
    # Every read system call on the volume's file, and the bytes it returned.
    strace -f -qq -e trace=read,pread64,readv,preadv -P "$vol" -o "$work/strace.txt" \
        bash -c "$(declare -f "cmd_$n"); vol='$vol'; mft_offset=$mft_offset; mft_size=$mft_size; cmd_$n" \
        > /dev/null 2>&1 || true
    reads[$n]=$(grep -c ' = [0-9]' "$work/strace.txt" || true)
    bytes[$n]=$(awk '{ if (match($0, / = [0-9]+$/)) s += substr($0, RSTART + 3) } END { printf "%.0f", s }' \
        "$work/strace.txt")
done

# ------------------------------------------------------------ timing
declare -A times rss
for n in "${names[@]}"; do times[$n]=""; rss[$n]=0; done
for ((r = 1; r <= runs; r++)); do
    for n in "${names[@]}"; do
        t0=$(date +%s%N)
        /usr/bin/time -f '%M' -o "$work/time.txt" bash -c \
            "$(declare -f "cmd_$n"); volscan='$volscan'; vol='$vol'; work='$work'; \
             mft_offset=$mft_offset; mft_size=$mft_size; cmd_$n" > /dev/null 2> "$work/$n.err" \
            || { [ "$n" = line ] || [ "$n" = copy ] || [ "$n" = md5 ] || [ "$n" = verbose ] || {
                     echo "run.sh: $(label "$n") failed" >&2; cat "$work/$n.err" >&2; exit 1; }; }
        t1=$(date +%s%N)
        times[$n]+="$(( (t1 - t0) / 1000 )) "
        m=$(tail -n 1 "$work/time.txt")
        [ "$m" -gt "${rss[$n]}" ] && rss[$n]=$m
    done
done

# Median, fastest and slowest of the runs, in seconds.
stat3() { tr ' ' '\n' <<< "$1" | grep . | sort -n | awk '{ v[NR] = $1 } END {
    printf "%.3f %.3f %.3f", v[int((NR + 1) / 2)] / 1e6, v[1] / 1e6, v[NR] / 1e6 }'; }
declare -A med
echo
echo "load after: $(load)"
printf '%-24s %9s %9s %9s %12s %10s %12s %9s\n' tool median min max records/s reads/rec \
    bytes/rec "RSS MiB"
for n in "${names[@]}"; do
    read -r m lo hi <<< "$(stat3 "${times[$n]}")"
    med[$n]=$m
    rps=$(awk -v r="$records" -v t="$m" 'BEGIN { printf "%.0f", (t > 0 ? r / t : 0) }')
    rpr=$(awk -v a="${reads[$n]}" -v r="$records" 'BEGIN { if (a == "") print "-"; else printf "%.4f", a / r }')
    bpr=$(awk -v a="${bytes[$n]}" -v r="$records" 'BEGIN { if (a == "") print "-"; else printf "%.0f", a / r }')
    printf '%-24s %9s %9s %9s %12s %10s %12s %9.1f\n' "$(label "$n")" "$m" "$lo" "$hi" "$rps" \
        "$rpr" "$bpr" "$(awk -v k="${rss[$n]}" 'BEGIN { print k / 1024 }')"
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo
echo "volscan / fls    $(ratio "${med[line]}" "${med[fls]}")  (target 0.20 or less)"
echo "volscan / ntfsls $(ratio "${med[line]}" "${med[ntfsls]}")  (target 0.33 or less)"
echo "volscan / dd     $(ratio "${med[line]}" "${med[dd]}")"
echo "copy / volume    $(ratio "${med[copy]}" "${med[line]}")  (target 1.00 or less)"

# OpenSSL's MD5 on one core: its rate over a sample of the volume's bytes
# (at most 1 GiB, read from the page cache), and from it the time for as many
# bytes as -m hashes.  A file rather than a pipe: a pipe's copies slow it.
if [ "$hashed" -gt 0 ]; then
    f="$work/md5-input"
    sample=$(( hashed < (1 << 30) ? hashed : (1 << 30) ))
    head -c "$sample" "$vol" > "$f"
    while [ "$(stat -c %s "$f")" -lt "$sample" ]; do
        head -c $(( sample - $(stat -c %s "$f") )) "$vol" >> "$f"
    done
    ot=()
    for ((r = 1; r <= runs; r++)); do
        t0=$(date +%s%N); openssl md5 "$f" > /dev/null; t1=$(date +%s%N)
        ot+=("$(( (t1 - t0) / 1000 * (hashed / sample) + (t1 - t0) / 1000 * (hashed % sample) / sample ))")
    done
    rm -f "$f"
    read -r om olo ohi <<< "$(stat3 "${ot[*]}")"
    extra=$(awk -v a="${med[md5]}" -v b="${med[line]}" 'BEGIN { printf "%.3f", a - b }')
    cores=$(nproc)
    # The fastest -m can be: the larger of the largest stream and an even
    # share of all the bytes per core, each at OpenSSL's one-core rate.
    limit=$(awk -v o="$om" -v h="$hashed" -v l="$largest" -v c="$cores" \
        'BEGIN { b = h / c; if (l > b) b = l; printf "%.3f", o * b / h }')
    echo
    echo "-m hashes $hashed bytes, the most one digest hashes $largest:" \
        "openssl md5 $om s (min $olo, max $ohi; from $sample bytes)," \
        "$(awk -v b="$hashed" -v t="$om" 'BEGIN { printf "%.0f", (t > 0 ? b / t / 1e6 : 0) }') MB/s"
    echo "limit on $cores cores $limit s; volscan -m costs $extra s over line mode:" \
        "$(ratio "$extra" "$limit")x the limit (target 1.1 or less)"
fi
echo "load at the end: $(load)"
[ -n "${WORK:-}" ] || rm -rf "$work"
