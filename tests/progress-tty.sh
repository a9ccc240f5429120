#!/bin/sh
# The progress line in a real terminal (tmux): shown while the records are
# read when the report goes to a file, never with --no-progress, and gone
# from what the terminal shows afterwards, which must read exactly as the
# diagnostics of a run whose standard error stream is a file.
#
#   tests/progress-tty.sh VOLSCAN IMAGE WORKDIR
# Prints "SKIPPED: reason" and exits 0 when tmux or strace cannot be used.
set -u
volscan=$1 image=$2 work=$3
skip() { echo "SKIPPED: $*"; exit 0; }
command -v tmux >/dev/null || skip "tmux is not installed"
command -v strace >/dev/null || skip "strace is not installed"
strace -o /dev/null true 2>/dev/null || skip "strace cannot trace here (ptrace refused)"
rm -rf "$work" && mkdir -p "$work" || exit 1
# LeakSanitizer cannot work under ptrace (strace): off for a sanitizer build's runs here.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
fail=0
socket="volscan-progress-$$"
echo "set -g history-limit 100000" > "$work/tmux.conf"

# One run in a terminal of 200 columns with OPTIONS, into files NAME.*: the
# bytes written to the terminal (pipe-pane) and what it shows at the end
# (capture-pane).  Fails unless a progress line was written (WANT 1) or
# never (WANT 0).  Every write is slowed by a millisecond (strace), so that
# the walk over the records lasts a second or more.
run_in_terminal() {
    name=$1 want=$2
    shift 2
    tmux -L "$socket-$name" -f "$work/tmux.conf" new-session -d -x 200 -y 50 \
        "while [ ! -f '$work/$name.go' ]; do sleep 0.05; done; \
         strace -o /dev/null -e trace=write -e inject=write:delay_exit=1000 \
         '$volscan' $* -o '$work/$name.report' -f '$image' C; echo \$? > '$work/$name.status'; sleep 600"
    tmux -L "$socket-$name" pipe-pane -o "cat > '$work/$name.raw'"
    touch "$work/$name.go"
    i=0
    while [ ! -f "$work/$name.status" ] && [ $i -lt 1200 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    sleep 0.2
    tmux -L "$socket-$name" capture-pane -p -S - -E - > "$work/$name.pane"
    tmux -L "$socket-$name" kill-server
    seen=0
    if tr '\r' '\n' < "$work/$name.raw" | grep -Eq '^[0-9]+/[0-9]+ records [0-9]+%'; then
        seen=1
        echo "$name: $(tr '\r' '\n' < "$work/$name.raw" | grep -E 'records [0-9]+%' | sed 's/ *$//' | tail -1)"
    fi
    if [ "$seen" != "$want" ]; then
        echo "FAIL: $name: progress line written: $seen, wanted $want"
        fail=1
    fi
}

# Blank lines at the end and blanks at line ends are the terminal's, not the run's.
trimmed() { sed -e 's/[[:space:]]*$//' "$1" | sed -e ':a' -e '/^\n*$/{$d;N;ba' -e '}'; }

"$volscan" -m -o "$work/ref.report" -f "$image" C 2> "$work/ref.err"
echo $? > "$work/ref.status"
if grep -q "records [0-9]*%" "$work/ref.err"; then
    echo "FAIL: a progress line with the standard error stream in a file"
    fail=1
fi
# One hashing thread: with more, the report and the diagnostics wait in
# memory while the records are read, so the slowed writes would not make
# the walk last long enough for a line to be drawn.
run_in_terminal tty 1 -m --threads=1
run_in_terminal quiet 0 -m --threads=1 --no-progress
for name in tty quiet; do
    # The run header holds the clock: the reports are compared from their column titles on.
    tail -n +3 "$work/ref.report" > "$work/ref.report.body"
    tail -n +3 "$work/$name.report" > "$work/$name.report.body"
    cmp -s "$work/ref.report.body" "$work/$name.report.body" ||
        { echo "FAIL: $name: the report differs from the run without a terminal"; fail=1; }
    cmp -s "$work/ref.status" "$work/$name.status" ||
        { echo "FAIL: $name: exit status $(cat "$work/$name.status"), without a terminal $(cat "$work/ref.status")"; fail=1; }
    trimmed "$work/ref.err" > "$work/ref.err.trimmed"
    trimmed "$work/$name.pane" > "$work/$name.pane.trimmed"
    if ! cmp -s "$work/ref.err.trimmed" "$work/$name.pane.trimmed"; then
        echo "FAIL: $name: the terminal does not show the diagnostics as they are without it"
        diff "$work/ref.err.trimmed" "$work/$name.pane.trimmed" | head -10
        fail=1
    fi
done
[ "$fail" = 0 ] && echo "progress in a terminal: as without it once the run ends"
exit $fail
