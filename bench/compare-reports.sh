#!/usr/bin/env bash
# Runs two volscan binaries over the same volumes in every mode and compares
# everything they write: the report, the diagnostics, the -u file, the debug
# trace and the exit status.  Only the run header's clock readings (the one
# thing that differs from run to run) and the line numbers of diagnostics are
# masked.
#
#   bench/compare-reports.sh OLD_VOLSCAN NEW_VOLSCAN VOLUME[@OFFSET]...
#
# Prints one line per volume and mode; fails when anything differs.
# EXTRA_ARGS (e.g. --threads=1) are given to the new binary only, BOTH_ARGS
# (e.g. --format=csv) to both.
set -uo pipefail
old="${1:?usage: compare-reports.sh OLD NEW VOLUME[@OFFSET]...}"
new="${2:?}"
shift 2
work="$(mktemp -d /tmp/volscan-compare.XXXXXX)"
modes=("" "-m" "-v" "-v -m -u @U" "-e" "-n" "-n -m" "-e -v" "-8" "-D -d @D" "-d @D -m" "-D"
       "-i 5" "-i 0 -v -D")
# The clock readings of the run header (milliseconds have three digits, file
# times seven) and the source line numbers of diagnostics, which move with
# every edit of the source.
mask() { sed -E -e 's#[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}([^0-9]|$)#CLOCK\1#g' \
    -e 's#(\(\) l\.|l\. )[0-9]+: #\1N: #g' "$1"; }
fail=0
for arg in "$@"; do
    vol="${arg%@*}"
    offset=0
    [ "$arg" != "$vol" ] && offset="${arg##*@}"
    for mode in "${modes[@]}"; do
        for which in old new; do
            bin="$old"
            extra=""
            [ "$which" = new ] && { bin="$new"; extra="${EXTRA_ARGS:-}"; }
            # The same paths for both, since messages may name them.
            d="$work/run"
            rm -rf "$d" "$work/$which"
            mkdir -p "$d"
            args="${mode//@U/$d/users.txt}"
            args="${args//@D/$d/debug.txt}"
            # shellcheck disable=SC2086
            # One path for both binaries, which messages name.
            ln -sfn "$(realpath "$bin")" "$work/volscan"
            "$work/volscan" ${BOTH_ARGS:-} $extra $args --offset="$offset" -f "$vol" C > "$d/out.txt" 2> "$d/err.txt"
            echo "$?" > "$d/status.txt"
            for f in "$d"/*.txt; do mask "$f" > "$f.masked"; done
            mv "$d" "$work/$which"
        done
        if diff -r -q -x '*.txt' "$work/old" "$work/new" > /dev/null; then
            echo "same      $(basename "$vol") ${BOTH_ARGS:+$BOTH_ARGS }${mode:-(line)}"
        else
            echo "DIFFERENT $(basename "$vol") ${BOTH_ARGS:+$BOTH_ARGS }${mode:-(line)}"
            diff -r -x '*.txt' "$work/old" "$work/new" | head -20
            fail=1
        fi
    done
done
rm -rf "$work"
exit $fail
