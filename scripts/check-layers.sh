#!/usr/bin/env bash
# Fails when an include breaks the layers: a folder includes only its own
# headers and those of the folders below it, and no operating-system header
# is included outside platform/.
#
#   scripts/check-layers.sh [SOURCE_DIR]
set -uo pipefail
cd "${1:-$(dirname "$0")/..}" || exit 2
layers=(platform base text diskio security report run)
rank() { local i; for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && echo "$i" && return; done; echo -1; }
os_headers='<(windows|winioctl|unistd|fcntl|dirent|termios|pthread|dlfcn|pwd|grp)\.h>|<(sys|linux|mach)/'
fail=0
for dir in "${layers[@]}"; do
    own=$(rank "$dir")
    while IFS= read -r file; do
        while IFS= read -r line; do
            inc=$(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/p' <<< "$line")
            if [ -n "$inc" ]; then
                r=$(rank "$inc")
                if [ "$r" -gt "$own" ]; then
                    echo "$file: $dir/ includes $inc/, a layer above it: $line"
                    fail=1
                fi
            elif [ "$dir" != platform ] && grep -qE "^[[:space:]]*#[[:space:]]*include[[:space:]]*($os_headers)" <<< "$line"; then
                echo "$file: operating-system header outside platform/: $line"
                fail=1
            fi
        done < <(grep -E '^[[:space:]]*#[[:space:]]*include' "$file")
    done < <(find "$dir" -name '*.h' -o -name '*.cpp' | sort)
done
[ "$fail" = 0 ] && echo "layers hold: ${layers[*]} (each includes only itself and those before it)"
exit "$fail"
