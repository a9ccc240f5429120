#!/usr/bin/env bash
# Fails when an include breaks the layers: a folder includes only its own
# headers and those of the folders below it, and no operating-system header
# is included outside platform/.
#
#   scripts/check-layers.sh [SOURCE_DIR]
set -uo pipefail
cd "${1:-$(dirname "$0")/..}" || exit 2
layers="platform base text diskio security report run"
# shellcheck disable=SC2086
find $layers \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z |
    xargs -0 grep -H -E '^[[:space:]]*#[[:space:]]*include' |
    awk -v layers="$layers" '
    BEGIN { n = split(layers, order, " "); for (i = 1; i <= n; i++) rank[order[i]] = i }
    {
        file = $0; sub(/:.*/, "", file)
        line = substr($0, length(file) + 2)
        dir = file; sub(/\/.*/, "", dir)
        if (match(line, /"[^"\/]+\//)) {
            inc = substr(line, RSTART + 1, RLENGTH - 2)
            if ((inc in rank) && rank[inc] > rank[dir]) {
                print file ": " dir "/ includes " inc "/, a layer above it: " line; bad = 1
            }
        } else if (dir != "platform" &&
                   line ~ /<(windows|winioctl|unistd|fcntl|dirent|termios|pthread|dlfcn|pwd|grp)\.h>|<(sys|linux|mach)\//) {
            print file ": operating-system header outside platform/: " line; bad = 1
        }
    }
    END {
        if (bad) exit 1
        print "layers hold, bottom to top: " layers
    }'
