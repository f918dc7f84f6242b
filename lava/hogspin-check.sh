#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks hogspin on a board: hogspin-check.sh CPU THREADS SETTLE [HOGSPIN]
# Starts the tool, then reports four cases: the summary line's ret is 1; every worker is
# pinned to CPU and last ran there; CPU stayed busy over SETTLE seconds; SIGINT ends the tool
# with its exit line and status 0 within STOP_BOUND seconds (default 5; killed past that).
# Through the soak it samples, every INTERVAL seconds (default 1), each thermal zone's
# temperature, CPU's clock and busy share, prints them as "hogspin-trace," lines (CSV), and
# reports each zone's highest temperature and rise and CPU's lowest clock, judged against
# MAX_TEMP (degrees C) and MIN_FREQ (MHz) when those are set. HOGSPIN_SYSFS (default /sys)
# names the tree the zones and the clock are read from: a stand-in for tests.
# Under LAVA each case goes to lava-test-case; by hand each prints "case: pass|fail|skip".
# Interrupted, terminated or hung up, it ends the tool it started before it exits.
usage='usage: hogspin-check.sh CPU THREADS SETTLE [HOGSPIN]'
cpu=${1:?$usage}
threads=${2:?$usage}
settle=${3:?$usage}
hogspin=${4:-hogspin}
bound=${STOP_BOUND:-5}
interval=${INTERVAL:-1}
max_temp=${MAX_TEMP:-}
min_freq=${MIN_FREQ:-}
sysfs=${HOGSPIN_SYSFS:-/sys}
cases='summary-ret workers-pinned cpu-busy stop-sigint'
failed=0 pid='' napper='' work='' first='' prev=''

number() {  # NAME VALUE: a plain number such as 2, 0.5 or 85
    case $2 in
        '' | *[!0-9.]* | *.*.* | .* | *.) echo "hogspin-check: $1 must be a number, not '$2'" >&2; exit 2 ;;
    esac
}
number SETTLE "$settle"
number INTERVAL "$interval"
awk -v i="$interval" 'BEGIN { exit !(i > 0) }' || { echo "hogspin-check: INTERVAL must be above 0" >&2; exit 2; }
[ -z "$max_temp" ] || number MAX_TEMP "$max_temp"
[ -z "$min_freq" ] || number MIN_FREQ "$min_freq"

report() {  # case status(0 = pass, skip, else fail) details [measurement units]
    case $2 in
        0) result=pass ;;
        skip) result=skip ;;
        *) result=fail failed=1 ;;
    esac
    echo "hogspin-check: $1: $result ($3)"
    if command -v lava-test-case >/dev/null 2>&1; then
        if [ -n "${4:-}" ]; then
            lava-test-case "$1" --result "$result" --measurement "$4" --units "$5"
        else
            lava-test-case "$1" --result "$result"
        fi
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

# The thermal zones, one "temp-file name" line each: the name is the zone's type cut down to
# what a LAVA case name may hold, with the zone's number added when two types are alike.
find_zones() {
    : >"$work/zones"
    for zone in "$sysfs"/class/thermal/thermal_zone*; do
        [ -r "$zone/temp" ] || continue
        { read -r type <"$zone/type"; } 2>/dev/null || type=${zone##*/}
        name=$(printf '%s' "$type" | tr -cs 'A-Za-z0-9._-' '_' | cut -c 1-40)
        if awk -v n="$name" '$2 == n { found = 1 } END { exit !found }' "$work/zones"; then
            name="$name-${zone##*thermal_zone}"
        fi
        echo "$zone/temp $name" >>"$work/zones"
    done
}

# One sample, appended raw to $work/raw ("uptime-cs busy total kHz mC..."; "-" for what could
# not be read) and printed as a trace line: seconds into the soak, CPU's busy share since the
# last sample, its clock in MHz, each zone in degrees C. The soak's first and latest samples
# stay in $first and $prev.
sample() {
    read -r up _ </proc/uptime
    line="${up%.*}${up#*.} - -"
    while read -r name user nice system idle iowait irq softirq steal _; do
        if [ "$name" = "cpu$cpu" ]; then
            total=$((user + nice + system + idle + iowait + irq + softirq + steal))
            line="${up%.*}${up#*.} $((total - idle - iowait)) $total"
        fi
    done </proc/stat
    { read -r khz <"$freq_file"; } 2>/dev/null || khz=-
    line="$line ${khz:--}"
    while read -r path _; do
        { read -r mc <"$path"; } 2>/dev/null || mc=-
        line="$line ${mc:--}"
    done <"$work/zones"
    echo "$line" >>"$work/raw"
    awk -v first="${first:-$line}" -v prev="$prev" -v cur="$line" '
        function num(v) { return v ~ /^-?[0-9]+$/ }
        BEGIN { split(first, s0); n = split(cur, c); split(prev, p)
                out = sprintf("hogspin-trace,%.1f,", (c[1] - s0[1]) / 100)
                if (prev != "" && num(p[2]) && num(c[2]) && c[3] > p[3])
                    out = out sprintf("%.1f", 100 * (c[2] - p[2]) / (c[3] - p[3]))
                out = out "," (num(c[4]) ? sprintf("%d", c[4] / 1000) : "")
                for (i = 5; i <= n; i++) out = out "," (num(c[i]) ? sprintf("%.1f", c[i] / 1000) : "")
                print out }'
    first=${first:-$line} prev=$line
}

# Each zone's highest temperature and its rise over the first sample, and CPU's lowest clock,
# from the raw samples, reported and judged against the limits asked for.
report_soak() {
    stats=$(awk '
        function num(v) { return v ~ /^-?[0-9]+$/ }
        { if (num($4) && (lo == "" || $4 < lo)) lo = $4
          for (i = 5; i <= NF; i++) if (num($i)) { if (!(i in hi) || $i > hi[i]) hi[i] = $i; if (!(i in st)) st[i] = $i } }
        END { print (lo == "" ? "-" : sprintf("%d", lo / 1000))
              for (i = 5; i <= NF; i++) print (i in hi) ? sprintf("%.1f %.1f", hi[i] / 1000, (hi[i] - st[i]) / 1000) : "- -" }' "$work/raw")
    if [ ! -s "$work/zones" ]; then
        if [ -n "$max_temp" ]; then
            report temp-max 1 "MAX_TEMP=$max_temp asked, but $sysfs/class/thermal has no zone to measure"
        else
            report temp-max skip "no thermal zone under $sysfs/class/thermal"
        fi
    fi
    # Read from a file, not a pipe: a loop at the end of a pipe runs in a subshell, and its
    # verdicts would be lost.
    echo "$stats" | sed 1d | paste -d ' ' "$work/zones" - >"$work/zone-stats"
    while read -r _ name high rise; do
        if [ "$high" = - ]; then
            report "temp-max-$name" "$(unmeasured "$max_temp")" "its temperature could not be read"
            continue
        fi
        within "$high" '<=' "$max_temp"
        report "temp-max-$name" $? "$high C, the highest of the soak${max_temp:+; limit $max_temp C}" "$high" C
        report "temp-rise-$name" 0 "$rise C above the soak's start" "$rise" C
    done <"$work/zone-stats"
    low=$(echo "$stats" | head -n 1)
    if [ "$low" = - ]; then
        report "freq-min-cpu$cpu" "$(unmeasured "$min_freq")" \
            "${min_freq:+MIN_FREQ=$min_freq asked, but }$freq_file cannot be read"
    else
        within "$low" '>=' "$min_freq"
        report "freq-min-cpu$cpu" $? "$low MHz, the lowest of the soak${min_freq:+; limit $min_freq MHz}" "$low" MHz
    fi
}

within() {  # VALUE OP LIMIT: true when no limit is set, or VALUE OP LIMIT holds
    [ -z "$3" ] || awk -v v="$1" -v l="$3" "BEGIN { exit !(v $2 l) }"
}

unmeasured() {  # LIMIT: nothing to measure fails a limit that was asked for, else skips
    if [ -n "$1" ]; then echo 1; else echo skip; fi
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

# The soak: a first sample at its start, then one every INTERVAL seconds.
freq_file=$sysfs/devices/system/cpu/cpu$cpu/cpufreq/scaling_cur_freq
find_zones
echo "hogspin-trace,t_s,cpu${cpu}_busy_pct,cpu${cpu}_mhz$(awk '{ printf ",%s_c", $2 }' "$work/zones")"
samples=$(awk -v s="$settle" -v i="$interval" 'BEGIN { n = int(s / i + 0.5); print n < 1 ? 1 : n }')
sample
k=0
while [ "$k" -lt "$samples" ]; do
    nap "$interval"
    sample
    k=$((k + 1))
done

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

# Over the whole soak: its first sample and its last.
busy=$(awk -v a="$first" -v b="$prev" 'BEGIN { split(a, x); split(b, y)
    if (x[2] ~ /^[0-9]+$/ && y[3] > x[3]) printf "%.1f", 100 * (y[2] - x[2]) / (y[3] - x[3]) }')
awk -v b="${busy:-0}" 'BEGIN { exit !(b >= 98) }' && [ -n "$busy" ]
report cpu-busy $? "CPU $cpu ${busy:-has no /proc/stat line}${busy:+ % busy over $settle s}"

report_soak

end_tool
last=$(tail -n 1 "$work/out")
[ "$rc" = 0 ] && [ "$last" = "hogspin $cpu, Exit!" ]
stopped=$?
if [ "$rc" = killed ]; then detail="still running ${bound} s after SIGINT: killed"; else detail="status $rc"; fi
report stop-sigint "$stopped" "$detail, last line: $last"

exit "$failed"
