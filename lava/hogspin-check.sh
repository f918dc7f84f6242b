#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks hogspin on a board: hogspin-check.sh CPU THREADS SETTLE [HOGSPIN]
# Starts the tool, then reports four cases: the summary line's ret is 1; every worker is
# pinned to CPU and last ran there; CPU stayed busy over SETTLE seconds; SIGINT ends the tool
# with its exit line and status 0 within STOP_BOUND seconds (default 5; killed past that).
# Under LAVA each case goes to lava-test-case; by hand each prints "case: pass|fail".
cpu=${1:?usage: hogspin-check.sh CPU THREADS SETTLE [HOGSPIN]}
threads=${2:?usage: hogspin-check.sh CPU THREADS SETTLE [HOGSPIN]}
settle=${3:?usage: hogspin-check.sh CPU THREADS SETTLE [HOGSPIN]}
hogspin=${4:-hogspin}
bound=${STOP_BOUND:-5}
work=$(mktemp -d)
failed=0

report() {  # case status(0 = pass) details
    result=pass
    [ "$2" -eq 0 ] || { result=fail; failed=1; }
    echo "hogspin-check: $1: $result ($3)"
    if command -v lava-test-case >/dev/null 2>&1; then
        lava-test-case "$1" --result "$result"
    fi
}

alive() {  # a zombie has ended, though kill -0 still finds it
    [ -r "/proc/$pid/stat" ] && [ "$(cut -d ' ' -f 3 "/proc/$pid/stat")" != Z ]
}

busy_ticks() {  # "busy total" jiffies of CPU so far, or nothing if it has no line
    awk -v c="cpu$cpu" '$1 == c { t = 0; for (i = 2; i <= 9; i++) t += $i; print t - $5 - $6, t }' /proc/stat
}

"$hogspin" "$cpu" "$threads" >"$work/out" 2>"$work/err" &
pid=$!
i=0
while ! grep -q 'count=' "$work/out" && alive && [ "$i" -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
summary=$(head -n 1 "$work/out")
[ "$summary" = "hogspin $cpu, count=$threads, ret=1" ]
report summary-ret $? "${summary:-no summary line}"

before=$(busy_ticks)
sleep "$settle"
after=$(busy_ticks)

# Workers are every thread but the main one: Cpus_allowed_list, then field 39, the CPU it
# last ran on.
pinned=0 total=0
for task in /proc/"$pid"/task/*; do
    [ "${task##*/}" = "$pid" ] && continue
    [ -r "$task/stat" ] || continue
    total=$((total + 1))
    allowed=$(sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' "$task/status")
    last=$(awk '{ print $39 }' "$task/stat")
    [ "$allowed" = "$cpu" ] && [ "$last" = "$cpu" ] && pinned=$((pinned + 1))
done
[ "$total" -eq "$threads" ] && [ "$pinned" -eq "$threads" ]
report workers-pinned $? "$pinned of $total workers, $threads asked, on CPU $cpu"

busy=$(echo "$before $after" | awk 'NF == 4 && $4 > $2 { printf "%.1f", 100 * ($3 - $1) / ($4 - $2) }')
awk -v b="${busy:-0}" 'BEGIN { exit !(b >= 98) }' && [ -n "$busy" ]
report cpu-busy $? "CPU $cpu ${busy:-has no /proc/stat line}${busy:+ % busy over $settle s}"

rc=none
if alive; then
    kill -INT "$pid"
    i=0
    while alive && [ "$i" -lt $((bound * 10)) ]; do sleep 0.1; i=$((i + 1)); done
    if alive; then
        kill -KILL "$pid"
        rc=killed
    fi
fi
wait "$pid"
status=$?
[ "$rc" = none ] && rc=$status
[ "$rc" = 0 ] && [ "$(tail -n 1 "$work/out")" = "hogspin $cpu, Exit!" ]
stopped=$?
if [ "$rc" = killed ]; then detail="still running ${bound} s after SIGINT: killed"; else detail="status $rc"; fi
report stop-sigint "$stopped" "$detail, last line: $(tail -n 1 "$work/out")"

rm -rf "$work"
exit "$failed"
