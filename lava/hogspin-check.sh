#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs hogspin-check on a board and hands its cases to LAVA: hogspin-check.sh CPU THREADS SETTLE [HOGSPIN]
# The program measures and judges (see hogspin-check(1): its parameters come from the
# environment, INTERVAL, MAX_TEMP and the rest); this only finds it and, where there is a
# lava-test-case, turns each of its result lines into a call. It is HOGSPIN_CHECK, else the
# hogspin-check beside HOGSPIN when that is a path, else the one in PATH.
hogspin=${4:-hogspin}
check=${HOGSPIN_CHECK-}
if [ -z "$check" ]; then
    case $hogspin in */*) [ -x "${hogspin%/*}/hogspin-check" ] && check=${hogspin%/*}/hogspin-check ;; esac
    [ -n "$check" ] || check=$(command -v hogspin-check 2>/dev/null) || check=''
fi

report() {  # case result [measurement units]
    command -v lava-test-case >/dev/null 2>&1 || return 0
    lava-test-case "$1" --result "$2" ${3:+--measurement "$3" --units "$4"}
}

# The program cannot run as it should: the four core cases fail, saying why. No data lines:
# these are not the check's verdicts (see below).
fail_all() {  # why
    for c in summary-ret workers-pinned cpu-busy stop-sigint; do
        printf 'hogspin-check: %s: fail (%s)\n' "$c" "$1"
        report "$c" fail
    done
    printf 'hogspin-check: %s\n' "$1" >&2
    exit 1
}

if [ -z "$check" ] || [ -d "$check" ] || [ ! -x "$check" ]; then
    if [ -n "${HOGSPIN_CHECK-}" ]; then why="'$HOGSPIN_CHECK' is not executable"
    else case $hogspin in */*) why="none beside '$hogspin' or in PATH" ;; *) why="none in PATH" ;; esac; fi
    fail_all "cannot find hogspin-check: $why"
fi

# Without LAVA the program is all there is: its lines, its status, its signals.
command -v lava-test-case >/dev/null 2>&1 || exec "$check" "$@"

# With LAVA it writes a result line per case, "name result [measurement units]", as it judges.
# A signal to this shell goes on to it, which then ends the tool and stops.
results=$(mktemp 2>/dev/null) || fail_all "cannot make a temporary file for its results in ${TMPDIR:-/tmp}"
"$check" --results "$results" "$@" &
pid=$!
trap 'kill -TERM "$pid" 2>/dev/null' INT TERM HUP
status=''
while [ -z "$status" ]; do
    wait "$pid"
    status=$?
    # A trapped signal ends the wait early: the program is then still running.
    kill -0 "$pid" 2>/dev/null && status=''
done
trap - INT TERM HUP
ran=' '
while read -r name result measurement units; do
    report "$name" "$result" "$measurement" "$units"
    ran="$ran$name "
done <"$results"
rm -f "$results"
# A check cut short (a signal, a kill) judged some cases, not all: the rest fail. These lines
# have no hogspin-case data line after them, as the check's own have: the farm report counts
# them as failed, but never takes a soak with them for one the check finished.
for c in summary-ret workers-pinned cpu-busy stop-sigint; do
    case $ran in *" $c "*) continue ;; esac
    printf 'hogspin-check: %s: fail (the check ended, with status %s, before it judged this)\n' "$c" "$status"
    report "$c" fail
    [ "$status" -ne 0 ] || status=1
done
exit "$status"
