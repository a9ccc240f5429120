# Sourced by the benchmark scripts: wall times and their medians.
# The middle one of the times given (seconds).
median_of() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }
# The wall time of one run of a command, its output thrown away.
wall() {
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    echo "$t1 - $t0" | bc
}
# The median wall time of the caller's $runs runs of a command.
median() {
    local times=()
    for _ in $(seq 1 "$runs"); do times+=("$(wall "$@")"); done
    median_of "${times[@]}"
}
