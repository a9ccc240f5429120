#!/usr/bin/env bash
# Coverage-guided fuzzing of every target with libFuzzer, two at a time.
#
#   scripts/fuzz.sh BUILD_DIR SECONDS [TARGET...]
#
# BUILD_DIR is a build made with clang and -DVOLSCAN_LIBFUZZER=ON.  Each target
# starts from the seeds volscan_fuzz takes from the committed images, the
# committed corpus fuzz/corpus/TARGET and the corpus BUILD_DIR/corpus/TARGET
# that earlier runs left, which it grows.  To refresh the committed corpus
# from a long run, minimised:
#   BUILD_DIR/fuzz/fuzz_TARGET -merge=1 NEW_DIR BUILD_DIR/corpus/TARGET fuzz/corpus/TARGET
# An input that fails is kept as BUILD_DIR/artifacts/TARGET-crash-* (or
# -leak-, -timeout-, -oom-); replay it with `BUILD_DIR/fuzz/fuzz_TARGET FILE`
# and, once mended, keep it in fuzz/regressions/TARGET/ for the test suite.
set -uo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS [TARGET...]" >&2
    exit 1
fi
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
seconds=$2
shift 2
if [ $# -gt 0 ]; then
    targets=("$@")
else
    mapfile -t targets < <("$build/fuzz/volscan_fuzz" --list | awk '{print $1}')
fi

mkdir -p "$build/artifacts" "$build/fuzz-logs" "$build/seeds"
# Leaks inside the libraries we read through, which we cannot mend, are not
# ours to report (fuzz/lsan.supp says which).
export LSAN_OPTIONS="suppressions=$src/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
run() {
    local t=$1 extra=()
    case $t in
        # Patches, not images: short inputs, all of them at once.
        volume) extra=(-max_len=400 -len_control=0) ;;
        record) extra=(-max_len=4100) ;;
    esac
    mkdir -p "$build/corpus/$t"
    "$build/fuzz/volscan_fuzz" --write-seeds "$t" "$build/seeds/$t" >/dev/null || return 1
    # The committed corpus is read, never written: new inputs go to the first folder.
    local committed=()
    [ -d "$src/fuzz/corpus/$t" ] && committed=("$src/fuzz/corpus/$t")
    # The run-length complaint the runlist decoder writes for every odd
    # header would fill the log.
    "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
        "${extra[@]}" -artifact_prefix="$build/artifacts/$t-" \
        "$build/corpus/$t" "$build/seeds/$t" "${committed[@]}" 2>&1 | grep -v '^FIXME' > "$build/fuzz-logs/$t.log"
    local rc=${PIPESTATUS[0]}
    local runs
    runs=$(grep -o 'Done [0-9]* runs' "$build/fuzz-logs/$t.log" | tail -n 1)
    if [ "$rc" -eq 0 ]; then
        echo "fuzz_$t: ${runs:-no runs} in ${seconds} s, no failure"
    elif [ "$rc" -eq 70 ]; then
        # A slow input, not a crash or a leak: a damaged record may claim a
        # sparse stream of many gigabytes, whose zeros -m hashes.  It is shown
        # and kept for study, and does not fail the run.
        echo "fuzz_$t: SLOW INPUT (libFuzzer timeout), kept in $build/artifacts; not a failure"
        grep -m 1 -A 14 -E '==[0-9]+==.*timeout' "$build/fuzz-logs/$t.log" | sed 's/^/    /'
        return 0
    else
        echo "fuzz_$t: FAILED (exit $rc), see $build/fuzz-logs/$t.log"
        grep -m 1 -A 12 -E '==[0-9]+==ERROR|volscan_fuzz:|Test unit written' \
            "$build/fuzz-logs/$t.log" | sed 's/^/    /'
    fi
    return "$rc"
}

passed=0
failed=0
i=0
while [ $i -lt ${#targets[@]} ]; do
    pids=()
    for t in "${targets[@]:$i:2}"; do
        run "$t" &
        pids+=($!)
    done
    for p in "${pids[@]}"; do
        if wait "$p"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    done
    i=$((i + 2))
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
