#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks hogspin on a board: hogspin-check.sh CPU THREADS SETTLE [HOGSPIN]
# Starts the tool, then reports four cases: the summary line's ret is 1; every worker is
# pinned to CPU and last ran there; CPU stayed busy over SETTLE seconds; SIGINT ends the tool
# with its exit line and status 0 within STOP_BOUND seconds (default 5; killed past that).
# Under LAVA each case goes to lava-test-case; by hand each prints "case: pass|fail".
# Interrupted, terminated or hung up, it ends the tool it started before it exits.
usage='usage: hogspin-check.sh CPU THREADS SETTLE [HOGSPIN]'
cpu=${1:?$usage}
threads=${2:?$usage}
settle=${3:?$usage}
hogspin=${4:-hogspin}
bound=${STOP_BOUND:-5}
cases='summary-ret workers-pinned cpu-busy stop-sigint'
failed=0 pid='' napper='' work=''

report() {  # case status(0 = pass) details
    result=pass
    [ "$2" -eq 0 ] || { result=fail; failed=1; }
    echo "hogspin-check: $1: $result ($3)"
    if command -v lava-test-case >/dev/null 2>&1; then
        lava-test-case "$1" --result "$result"
    fi
}

alive() {  # a zombie has ended, though kill -0 still finds it
    [ -n "$pid" ] && [ -r "/proc/$pid/stat" ] && [ "$(cut -d ' ' -f 3 "/proc/$pid/stat")" != Z ]
}

# A sleep that a trapped signal cuts short: the shell runs a trap only once the foreground
# command is done, but a wait returns at once.
nap() {
    sleep "$1" &
    napper=$!
    wait "$napper"
    napper=''
}

# SIGINT, then SIGKILL if the tool is still there past the bound; sets rc to its status.
end_tool() {
    rc=none
    [ -n "$pid" ] || return 0
    if alive; then
        kill -INT "$pid" 2>/dev/null
        i=0
        while alive && [ "$i" -lt $((bound * 10)) ]; do sleep 0.1; i=$((i + 1)); done
        if alive; then
            kill -KILL "$pid" 2>/dev/null
            rc=killed
        fi
    fi
    wait "$pid"
    status=$?
    [ "$rc" = none ] && rc=$status
    pid=''
}

cleanup() {
    [ -z "$napper" ] || kill "$napper" 2>/dev/null
    end_tool
    [ -z "$work" ] || rm -rf "$work"
}

on_signal() {  # name status
    trap '' INT TERM HUP
    echo "hogspin-check: SIG$1: ending the tool it started and stopping" >&2
    cleanup
    exit "$2"
}
trap 'on_signal INT 130' INT
trap 'on_signal TERM 143' TERM
trap 'on_signal HUP 129' HUP
trap cleanup EXIT

not_started() {  # reason: every case fails at once, with the reason, rather than after SETTLE
    echo "hogspin-check: cannot start '$hogspin': $1" >&2
    for c in $cases; do report "$c" 1 "not started"; done
    exit 1
}

case $hogspin in
    */*) if [ ! -e "$hogspin" ]; then not_started "not found"
         elif [ -d "$hogspin" ] || [ ! -x "$hogspin" ]; then not_started "not executable"; fi ;;
    *) command -v "$hogspin" >/dev/null 2>&1 || not_started "not found in PATH" ;;
esac
work=$(mktemp -d) && [ -d "$work" ] || { work=''; echo "hogspin-check: mktemp -d failed" >&2; exit 1; }

busy_ticks() {  # "busy total" jiffies of CPU so far, or nothing if it has no line
    awk -v c="cpu$cpu" '$1 == c { t = 0; for (i = 2; i <= 9; i++) t += $i; print t - $5 - $6, t }' /proc/stat
}

# The job's own redirection may come after the first look for the summary.
: >"$work/out"
"$hogspin" "$cpu" "$threads" >"$work/out" 2>"$work/err" &
pid=$!
i=0
while ! grep -q 'count=' "$work/out" && alive && [ "$i" -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
if ! alive && ! grep -q 'count=' "$work/out"; then
    wait "$pid"
    status=$?
    pid=''
    not_started "it ended at once with status $status: $(head -n 1 "$work/err")"
fi
summary=$(head -n 1 "$work/out")
[ "$summary" = "hogspin $cpu, count=$threads, ret=1" ]
ok=$?
[ "$ok" -eq 0 ] || [ -z "$summary" ] || summary="$summary; CPUs online: $(cat /sys/devices/system/cpu/online 2>/dev/null)"
report summary-ret "$ok" "${summary:-no summary line}"

before=$(busy_ticks)
nap "$settle"
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

end_tool
last=$(tail -n 1 "$work/out")
[ "$rc" = 0 ] && [ "$last" = "hogspin $cpu, Exit!" ]
stopped=$?
if [ "$rc" = killed ]; then detail="still running ${bound} s after SIGINT: killed"; else detail="status $rc"; fi
report stop-sigint "$stopped" "$detail, last line: $last"

exit "$failed"
