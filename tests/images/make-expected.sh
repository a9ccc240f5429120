#!/bin/sh
# Writes the expected reports of the test volumes (tests/images/expected/)
# with a volscan binary, after its reports were checked field by field
# against The Sleuth Kit (peer/*.facts.txt; the tests do that check again on
# every run).  Regenerate only when a report format changes on purpose, and
# read the diff.
#
#   make-expected.sh VOLSCAN [SHARED_IMAGES_DIR]
#
# For each volume: <n>.line.txt/.line.err (-m, locale C.UTF-8) and
# <n>.verbose.txt/.verbose.err (-v -m -8, locale C, but for the two
# largest volumes); sample.img also gets
# <n>.utf8.txt/.utf8.err (-8, locale C).  The run header (two lines, or up
# to its empty line in verbose mode) is left out: it names the host and the time of the run.
# Source line numbers in the diagnostics are written as N.
set -eu
volscan=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
shared=${2:-$here/../../../shared/images}
out=$here/expected
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Diagnostics name the source line that wrote them; its number is free to move.
mask_lines() { sed -E 's/ l\.( ?)[0-9]+: / l.\1N: /g'; }

# The header is two lines in line mode; in verbose mode it ends with an empty line.
strip_header() {
    case $1 in
    verbose) awk 'body { print; next } /^$/ { body = 1 }' ;;
    *) tail -n +3 ;;
    esac
}

run() {  # name image offset mode-name locale args...
    name=$1 image=$2 offset=$3 mode=$4 locale=$5
    shift 5
    LC_ALL=$locale "$volscan" -f "$image" --offset="$offset" "$@" C \
        >"$tmp/out" 2>"$tmp/err" || true
    strip_header "$mode" <"$tmp/out" >"$out/$name.$mode.txt"
    mask_lines <"$tmp/err" >"$out/$name.$mode.err"
}

# The verbose text of the two volumes of two thousand records would add
# 1.6 MB; their verbose blocks are checked against their lines instead.
report() {  # name image offset
    run "$1" "$2" "$3" line C.UTF-8 -m
    case $1 in
    attrlist | win10-2mcluster) ;;
    *) run "$1" "$2" "$3" verbose C -v -m -8 ;;
    esac
}

for n in sample sect4k clust512 attrlist; do
    report "$n" "$here/$n.img" 0
done
run sample "$here/sample.img" 0 utf8 C -8

for n in win10-lastaccess win10-ptrn win10-2mcluster; do
    if [ -f "$shared/$n.raw.gz" ]; then
        gzip -dc "$shared/$n.raw.gz" >"$tmp/$n.raw"
        report "$n" "$tmp/$n.raw" 65536
        rm -f "$tmp/$n.raw"
    else
        echo "$shared/$n.raw.gz not found: $n skipped" >&2
    fi
done
