#!/bin/sh
# Cross-builds volscan.exe for 64-bit Windows with MinGW-w64, then checks
# that it imports nothing but DLLs every Windows has, so the exe runs when
# copied alone onto the machine to examine.
#
#   scripts/build-windows.sh [BUILD_DIR [CMAKE_OPTION...]]
#       (default: build-win in the source tree; .ci/run adds -DVOLSCAN_WERROR=ON)
set -eu

SRC_DIR=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${1:-$SRC_DIR/build-win}
[ $# -gt 0 ] && shift
OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}

cmake -S "$SRC_DIR" -B "$BUILD_DIR" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$SRC_DIR/cmake/mingw-w64-x86_64.cmake" \
    -DVOLSCAN_TESTS=OFF "$@"
cmake --build "$BUILD_DIR" --target volscan

EXE="$BUILD_DIR/volscan.exe"
if [ ! -f "$EXE" ]; then
    echo "build-windows: $EXE was not produced" >&2
    exit 1
fi

IMPORTS=$("$OBJDUMP" -p "$EXE" | grep 'DLL Name' | sed 's/.*DLL Name: *//')
echo "Imports of $EXE:"
echo "$IMPORTS" | sed 's/^/  /'

BAD=0
for dll in $IMPORTS; do
    case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
        kernel32.dll | advapi32.dll | msvcrt.dll | bcrypt.dll | api-ms-win-crt-*.dll) ;;
        *)
            echo "build-windows: $EXE imports $dll, which is not a system DLL" >&2
            BAD=1
            ;;
    esac
done
[ -n "$IMPORTS" ] || { echo "build-windows: no imports found in $EXE" >&2; BAD=1; }
[ "$BAD" -eq 0 ] || exit 1
echo "build-windows: $EXE OK"
