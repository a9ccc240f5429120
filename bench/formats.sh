#!/usr/bin/env bash
# Times the report formats against the line report and The Sleuth Kit's
# bodyfile on one volume, the tools taking turns:
#
#   bench/formats.sh VOLUME[@OFFSET]
#
# volscan's line report, --format=csv, --format=jsonl, --format=bodyfile and
# `fls -r -m C:`, each written to a file.  For each: the median wall time and
# CPU time (user + system) of RUNS runs (5), the bytes written and the peak
# RSS; then the ratios the formats are held to.  CPU time is printed beside
# the wall time because the machine may be shared: it moves less with the
# load.  The figures are printed, never judged; the script fails only when a
# tool fails.
#
# Environment: VOLSCAN (the binary; default build-bench/volscan, else
# build/volscan), RUNS (5), WORK (scratch directory; default a new one
# under /tmp).
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
arg="${1:?usage: bench/formats.sh VOLUME[@OFFSET]}"
vol="${arg%@*}"
offset=0
[ "$arg" != "$vol" ] && offset="${arg##*@}"
runs="${RUNS:-5}"
volscan="${VOLSCAN:-}"
if [ -z "$volscan" ]; then
    for b in "$here/build-bench/volscan" "$here/build/volscan"; do
        [ -x "$b" ] && { volscan="$b"; break; }
    done
fi
[ -x "$volscan" ] || { echo "formats.sh: no volscan binary (set VOLSCAN)" >&2; exit 1; }
command -v fls >/dev/null || { echo "formats.sh: fls is missing (apt-get install sleuthkit)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "formats.sh: /usr/bin/time is missing (apt-get install time)" >&2; exit 1; }
work="${WORK:-$(mktemp -d /tmp/volscan-formats.XXXXXX)}"
mkdir -p "$work"

names=(line csv jsonl bodyfile fls)
run_tool() {
    local out="$work/$1.out"
    rm -f "$out"
    case "$1" in
        fls) fls -r -m C: -o "$((offset / 512))" "$vol" > "$out" ;;
        *) "$volscan" --format="$1" --offset="$offset" -f "$vol" -o "$out" C ;;
    esac
}
label() {
    case "$1" in
        line) echo "volscan" ;; fls) echo "fls -r -m C:" ;; *) echo "volscan --format=$1" ;;
    esac
}

echo "== volume $vol (offset $offset)"
echo "volscan $volscan"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
cat "$vol" > /dev/null  # every tool then reads from the page cache

declare -A walls cpus rss outbytes
for n in "${names[@]}"; do walls[$n]=""; cpus[$n]=""; rss[$n]=0; done
for ((r = 1; r <= runs; r++)); do
    for n in "${names[@]}"; do
        t0=$(date +%s%N)
        # volscan's status 2 (records it could not read) is no failure here.
        /usr/bin/time -f '%U %S %M' -o "$work/time.txt" bash -c \
            "$(declare -f run_tool); volscan='$volscan'; vol='$vol'; offset=$offset; \
             work='$work'; run_tool $n" 2> "$work/$n.err" ||
            { [ "$n" != fls ] && [ "$(tail -n 1 "$work/time.txt" | wc -w)" = 3 ]; } ||
            { echo "formats.sh: $(label "$n") failed" >&2; tail -n 5 "$work/$n.err" >&2; exit 1; }
        t1=$(date +%s%N)
        walls[$n]+="$(( (t1 - t0) / 1000 )) "
        read -r u s m < <(tail -n 1 "$work/time.txt")
        cpus[$n]+="$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.0f", (u + s) * 1e6 }') "
        [ "$m" -gt "${rss[$n]}" ] && rss[$n]=$m
        outbytes[$n]=$(stat -c %s "$work/$n.out")
    done
done

median() { tr ' ' '\n' <<< "$1" | grep . | sort -n | awk '{ v[NR] = $1 } END {
    printf "%.3f", v[int((NR + 1) / 2)] / 1e6 }'; }
declare -A wall cpu
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-26s %10s %10s %12s %9s\n' tool "wall s" "cpu s" "bytes out" "RSS MiB"
for n in "${names[@]}"; do
    wall[$n]=$(median "${walls[$n]}")
    cpu[$n]=$(median "${cpus[$n]}")
    printf '%-26s %10s %10s %12s %9.1f\n' "$(label "$n")" "${wall[$n]}" "${cpu[$n]}" \
        "${outbytes[$n]}" "$(awk -v k="${rss[$n]}" 'BEGIN { print k / 1024 }')"
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo
printf '%-22s %6s %6s  %s\n' ratio wall cpu target
printf '%-22s %6s %6s  %s\n' "csv / line" "$(ratio "${wall[csv]}" "${wall[line]}")" \
    "$(ratio "${cpu[csv]}" "${cpu[line]}")" "2 or less"
printf '%-22s %6s %6s  %s\n' "bodyfile / line" "$(ratio "${wall[bodyfile]}" "${wall[line]}")" \
    "$(ratio "${cpu[bodyfile]}" "${cpu[line]}")" "2 or less"
printf '%-22s %6s %6s  %s\n' "jsonl / line" "$(ratio "${wall[jsonl]}" "${wall[line]}")" \
    "$(ratio "${cpu[jsonl]}" "${cpu[line]}")" "4 or less"
printf '%-22s %6s %6s  %s\n' "bodyfile / fls -r -m" "$(ratio "${wall[bodyfile]}" "${wall[fls]}")" \
    "$(ratio "${cpu[bodyfile]}" "${cpu[fls]}")" "0.30 or less"
[ -n "${WORK:-}" ] || rm -rf "$work"
