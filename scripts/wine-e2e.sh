#!/usr/bin/env bash
# Runs the Windows build under Wine on a volume opened the Windows way
# ("\\.\E:" through CreateFileA, geometry from GetDiskFreeSpaceA) and the
# POSIX build on the same image with -f, and compares what the two write.
#
#   scripts/wine-e2e.sh VOLSCAN VOLSCAN_EXE [WORK_DIR]
#
# Wine maps a DOS device "e::" in $WINEPREFIX/dosdevices to a file: the
# image's raw bytes are then the volume E:.  Wine reports 8 sectors of 512
# bytes per cluster for every drive, so only images of 4 KiB clusters and
# 512-byte sectors are compared here; the other geometries are the POSIX
# tests' business.
#
# Differences the two platforms explain, and nothing else, are allowed:
#  - the Windows C run-time writes text streams with CR LF line ends;
#  - the run header (host, times, locale name) is left out of the comparison;
#  - the POSIX run uses a CP1252 locale built here, the Windows one's ANSI
#    code page under Wine, so names outside ASCII are written alike;
#  - the device named in a diagnostic (the image path or \\.\E:);
#  - account names: a SID that Wine's LookupAccountSidA knows and the POSIX
#    table does not.  Every such difference is listed.
# The script ends with a count of the runs, images and lines compared, and
# exits 1 at the first difference of any other kind.
set -euo pipefail

VOLSCAN=$(realpath "$1")
EXE=$(realpath "$2")
SRC_DIR=$(cd "$(dirname "$0")/.." && pwd)
WORK=${3:-$SRC_DIR/build-wine}
mkdir -p "$WORK"
WORK=$(realpath "$WORK")

export WINEPREFIX="$WORK/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono or Gecko prompts

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-e2e: making a Wine prefix in $WINEPREFIX"
    wine wineboot --init >/dev/null 2>&1
    wineserver -w   # wineboot returns before the prefix is complete
fi
# One wine server for every run, stopped at the end (-p fails when one is
# already serving this prefix, which is as good).
wineserver -p 2>/dev/null || true
trap 'wineserver -k 2>/dev/null || true' EXIT

# A CP1252 locale for the POSIX build, the same code page the Windows build
# writes through under Wine's English default.
LOCDIR="$WORK/locale"
if [ ! -d "$LOCDIR/en_US.CP1252" ]; then
    mkdir -p "$LOCDIR"
    localedef -f CP1252 -i en_US "$LOCDIR/en_US.CP1252"
fi
posix_env=(env LOCPATH="$LOCDIR" LC_ALL=en_US.CP1252)

mkdir -p "$WORK/e-dir"
DOSDEV="$WINEPREFIX/dosdevices"
ln -sfn "$WORK/e-dir" "$DOSDEV/e:"

map_drive() {   # IMAGE: volume E: reads it
    ln -sfn "$1" "$DOSDEV/e::"
}

RUNS=0
LINES=0
ACCOUNT_DIFFS=0
FAILED=0
RUNDIR="$WORK/runs"

# Drops CR before LF; keeps a lone CR.
strip_cr() { sed 's/\r$//' "$1"; }
# The report after the run header: in line mode its first two lines (the
# column titles stay), else up to its blank line.
body() {
    if head -c 8 "$1" | grep -q '^Content|'; then
        strip_cr "$1" | sed 1,2d
    else
        strip_cr "$1" | sed '1,/^$/d'
    fi
}
# Diagnostics with the device and the program named alike.
diags() {
    strip_cr "$1" | sed -e "s|$2|<device>|g" -e 's|\\\\\.\\E:|<device>|g' \
        -e "s|$VOLSCAN|<program>|g" -e 's|[A-Z]:\\[^ :]*\\volscan\.exe|<program>|g'
}

compare() {   # KIND LABEL POSIX_FILE WINE_FILE
    local kind=$1 label=$2 p=$3 w=$4
    LINES=$((LINES + $(wc -l <"$p")))
    cmp -s "$p" "$w" && return 0
    if python3 "$SRC_DIR/scripts/wine-compare.py" "$kind" "$p" "$w" >"$WORK/compare.txt"; then
        echo "wine-e2e: $label: differences the platforms explain:"
        sed 's/^/  /' "$WORK/compare.txt"
        local n
        n=$(grep -c 'account name: posix' "$WORK/compare.txt" || true)
        ACCOUNT_DIFFS=$((ACCOUNT_DIFFS + n))
        return 0
    fi
    echo "wine-e2e: DIFFERENCE in $label:" >&2
    sed 's/^/  /' "$WORK/compare.txt" >&2
    FAILED=1
}

# run_pair IMAGE LABEL STATUS ARGS...: runs both builds from their
# own directory with the same relative file names, compares statuses,
# report, diagnostics and every file a -o, -u or -x option names.  STATUS
# is the exit status both must give, or "" for any, as long as it is the same.
run_pair() {
    local image=$1 label=$2 want=$3
    shift 3
    local d="$RUNDIR/$label"
    rm -rf "$d"
    mkdir -p "$d/posix" "$d/wine"
    [ -n "${PRECREATE:-}" ] && { : >"$d/posix/$PRECREATE"; : >"$d/wine/$PRECREATE"; }
    local sp=0 sw=0
    (cd "$d/posix" && "${posix_env[@]}" "$VOLSCAN" -f "$image" "$@" E >stdout 2>stderr) || sp=$?
    (cd "$d/wine" && wine "$EXE" "$@" E >stdout 2>stderr) || sw=$?
    RUNS=$((RUNS + 1))
    if [ "$sp" != "$sw" ] || { [ -n "$want" ] && [ "$sp" != "$want" ]; }; then
        echo "wine-e2e: $label: status posix $sp, wine $sw, expected $want" >&2
        FAILED=1
    fi
    # The records whose WOF streams the Windows side has no decoder for,
    # read from its diagnostics wherever they went.
    strip_cr "$d/wine/stderr" >"$d/wine.all-diagnostics"
    [ ! -f "$d/wine/errors.txt" ] || strip_cr "$d/wine/errors.txt" >>"$d/wine.all-diagnostics"
    export WINE_DIAGNOSTICS="$d/wine.all-diagnostics"
    body "$d/posix/stdout" >"$d/posix.out"
    body "$d/wine/stdout" >"$d/wine.out"
    compare report "$label report" "$d/posix.out" "$d/wine.out"
    diags "$d/posix/stderr" "$image" >"$d/posix.err"
    diags "$d/wine/stderr" "$image" >"$d/wine.err"
    compare diagnostics "$label diagnostics" "$d/posix.err" "$d/wine.err"
    local f
    for f in out.txt users.txt errors.txt; do
        [ "${PRECREATE:-}" = "$f" ] && continue
        if [ -f "$d/posix/$f" ] || [ -f "$d/wine/$f" ]; then
            if [ ! -f "$d/posix/$f" ] || [ ! -f "$d/wine/$f" ]; then
                echo "wine-e2e: $label: $f made by one build only" >&2
                FAILED=1
                continue
            fi
            case $f in
                errors.txt) diags "$d/posix/$f" "$image" >"$d/posix.$f"
                            diags "$d/wine/$f" "$image" >"$d/wine.$f" ;;
                # The user file's header is two lines, without a blank line.
                users.txt) strip_cr "$d/posix/$f" | sed 1,2d >"$d/posix.$f"
                           strip_cr "$d/wine/$f" | sed 1,2d >"$d/wine.$f" ;;
                *) body "$d/posix/$f" >"$d/posix.$f"; body "$d/wine/$f" >"$d/wine.$f" ;;
            esac
            local kind=report
            [ "$f" = errors.txt ] && kind=diagnostics
            compare "$kind" "$label $f" "$d/posix.$f" "$d/wine.$f"
        fi
    done
}

# The images: every committed one of 4 KiB clusters and 512-byte sectors,
# and the Windows-formatted volumes of ../shared/images of that geometry
# (their partition cut out of the disk image), when that folder is there.
IMAGES=()
for name in sample attrlist compress4k wof; do IMAGES+=("$SRC_DIR/tests/images/$name.img"); done
SHARED="$SRC_DIR/../shared/images"
if [ -d "$SHARED" ]; then
    for gz in "$SHARED"/*.raw.gz; do
        img="$WORK/$(basename "$gz" .raw.gz).img"
        if [ ! -f "$img" ]; then
            gzip -dc "$gz" | tail -c +65537 >"$img.part"
            mv "$img.part" "$img"
        fi
        # Bytes per sector at 0x0B, sectors per cluster at 0x0D.
        geo=$(od -An -tu2 -j11 -N2 "$img" | tr -d ' ')/$(od -An -tu1 -j13 -N1 "$img" | tr -d ' ')
        if [ "$geo" = "512/8" ]; then IMAGES+=("$img"); else rm -f "$img"; fi
    done
else
    echo "wine-e2e: ../shared/images not beside the checkout, committed images only"
fi

for image in "${IMAGES[@]}"; do
    name=$(basename "$image" .img)
    before=$(md5sum <"$image")
    map_drive "$image"
    # The status is that of the last record: 2 on the Windows-formatted
    # volumes, whose last records were never used.
    want=0
    "${posix_env[@]}" "$VOLSCAN" -f "$image" E >/dev/null 2>&1 || want=$?
    run_pair "$image" "$name-line" "$want"
    run_pair "$image" "$name-verbose" "$want" -v
    run_pair "$image" "$name-md5" "$want" -m
    run_pair "$image" "$name-verbose-md5" "$want" -v -m
    run_pair "$image" "$name-utf8" "$want" -8
    run_pair "$image" "$name-verbose-utf8" "$want" -v -8
    run_pair "$image" "$name-erased" "$want" -e -m
    run_pair "$image" "$name-erased-verbose" "$want" -e -v
    run_pair "$image" "$name-nosequence" "$want" -n
    run_pair "$image" "$name-index-root" 0 -i 5 -v -m
    run_pair "$image" "$name-index-hex" "" -i 0x1b
    run_pair "$image" "$name-files" "$want" -v -m -u users.txt -o out.txt -x errors.txt
    run_pair "$image" "$name-users-line" "$want" -u users.txt
    # Error cases: an -i beyond the last record, an -o file that exists.
    run_pair "$image" "$name-index-beyond" 2 -i 1000000
    PRECREATE=out.txt run_pair "$image" "$name-output-exists" 1 -o out.txt
    after=$(md5sum <"$image")
    if [ "$before" != "$after" ]; then
        echo "wine-e2e: $image changed" >&2
        FAILED=1
    fi
done

# Not NTFS at all: both refuse it the same way.
map_drive "$SRC_DIR/tests/images/fat.img"
run_pair "$SRC_DIR/tests/images/fat.img" "fat" 2
run_pair "$SRC_DIR/tests/images/fat.img" "fat-verbose" 2 -v -m

echo "wine-e2e: ${#IMAGES[@]} NTFS images and fat.img, $RUNS run pairs, $LINES lines compared," \
     "$ACCOUNT_DIFFS account-name differences"
if [ "$FAILED" -ne 0 ]; then
    echo "wine-e2e: FAILED" >&2
    exit 1
fi
echo "wine-e2e: OK"
