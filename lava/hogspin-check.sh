#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks hogspin on a board: hogspin-check.sh CPU THREADS SETTLE [HOGSPIN]
# Cases: the summary line says ret=1; every worker is pinned to CPU and last ran there; CPU
# is busy through a soak of SETTLE s; SIGINT ends the tool in order within STOP_BOUND s (5).
# Every INTERVAL s (1) it traces each thermal zone, each hwmon power meter, and CPU's clock
# and busy share as "hogspin-trace," CSV, and reports each zone's highest temperature and
# rise, each meter's mean and highest power and each energy counter's count over the soak,
# and CPU's lowest clock, judged against MAX_TEMP (C), MAX_POWER (W) and MIN_FREQ (MHz) when
# set. HOGSPIN_SYSFS: a stand-in /sys. Cases go to lava-test-case where there is one.
# A bad parameter or a tool that cannot start fails every case at once, saying why; a signal
# ends the tool and whatever it started before the check exits. Besides the shell it needs
# only awk, mktemp, rm and a sleep that takes fractions of a second; the shell reads every
# file itself, since an awk may die of a file that cannot be read.
cpu=${1-} threads=${2-} settle=${3-} hogspin=${4:-hogspin} nargs=$#
bound=${STOP_BOUND:-5} interval=${INTERVAL:-1} max_temp=${MAX_TEMP-} min_freq=${MIN_FREQ-} max_power=${MAX_POWER-}
sysfs=${HOGSPIN_SYSFS:-/sys}
cases='summary-ret workers-pinned cpu-busy stop-sigint'
failed=0 pid='' tool='' napper='' work='' online='' signalled=''
# A closed standard error would end the shell at the exec below, and a file opened later
# could take its number. Kept as fd 3 for a trap, which may run inside "{ ...; } 2>/dev/null".
true >&2 || exec 2>/dev/null
exec 3>&2

# Every line of output: one that cannot be written (a reader gone away while SIGPIPE is
# ignored, a full disc) stops the check as SIGPIPE does. printf, as dash's echo reads escapes.
say() {
    printf '%s\n' "$1" && return
    trap '' INT TERM HUP PIPE QUIT ALRM USR1 USR2
    printf 'hogspin-check: cannot write its output: %sstopping\n' "${tool:+ending the tool it started and }" >&3
    exit 1
}

report() {  # case status(0 = pass, skip, else fail) details [measurement units]
    case $2 in 0) result=pass ;; skip) result=skip ;; *) result=fail failed=1 ;; esac
    say "hogspin-check: $1: $result ($3)"
    command -v lava-test-case >/dev/null 2>&1 || return 0
    lava-test-case "$1" --result "$result" ${4:+--measurement "$4" --units "$5"}
}

fail_all() {  # STATUS REASON: nothing more will run, so every case fails with the reason
    for c in $cases; do report "$c" 1 "$2"; done
    printf 'hogspin-check: %s\n' "$2" >&2
    exit "$1"
}

proc_status() {  # FILE: a /proc status file's State and PPid, in $state and $ppid ('' if gone)
    state='' ppid=''
    { while read -r key value _; do
        case $key in State:) state=$value ;; PPid:) ppid=$value; break ;; esac
    done <"$1"; } 2>/dev/null
}

# True while PID is a child of this shell that has not ended: a zombie has, though kill -0
# still finds it, and a reaped child's PID may already be another's, whose parent is not us.
running() {  # PID
    [ -n "$1" ] && proc_status "/proc/$1/status" && [ -n "$state" ] && [ "$state" != Z ] && [ "$ppid" = $$ ]
}

tree() {  # PID: it and every process below it, in $family
    family=" $1 " grew=1
    while [ -n "$grew" ]; do
        grew=''
        for proc in /proc/[0-9]*/status; do
            proc_status "$proc"
            child=${proc#/proc/} child=${child%/status}
            case $family in *" $ppid "*) case $family in *" $child "*) ;; *) family="$family$child " grew=1 ;; esac ;; esac
        done
    done
}

now() {  # cs: the time since boot in hundredths of a second
    read -r up _ </proc/uptime
    cs=${up%.*}${up#*.}
    cs=${cs#"${cs%%[!0]*}"} cs=${cs:-0}
}

# SIGINT to the tool and all it started, as Ctrl-C to a terminal's group, then SIGKILL past
# the bound; rc: its status, or "killed".
end_tool() {
    rc=none
    [ -n "$pid" ] || return 0
    if running "$pid"; then
        tree "$pid"
        kill -INT $family 2>/dev/null
        signalled=1
        now; until_cs=$((cs + bound_cs))
        while running "$pid" && [ "$cs" -lt "$until_cs" ]; do sleep 0.1; now; done
        if running "$pid"; then
            tree "$pid"
            kill -KILL $family 2>/dev/null && rc=killed
        fi
    fi
    wait "$pid" 2>/dev/null
    status=$? pid=''
    [ "$rc" = killed ] || rc=$status
}

# The one way out. A signal may land between starting the tool and noting its PID: $! holds
# it then, the tool being this shell's first background job.
cleanup() {
    ! running "$napper" || kill "$napper" 2>/dev/null
    [ "$tool" != starting ] || pid=$!
    end_tool
    [ -z "$work" ] || rm -rf "$work"
}
on_signal() {  # name status
    trap '' INT TERM HUP PIPE QUIT ALRM USR1 USR2
    echo "hogspin-check: SIG$1: ${tool:+ending the tool it started and }stopping" >&3
    exit "$2"
}
trap cleanup EXIT
# Every signal that would end the check ends the tool first; a reader of the output that
# went away (PIPE) too.
for sig in INT:2 TERM:15 HUP:1 PIPE:13 QUIT:3 ALRM:14 USR1:10 USR2:12; do
    trap "on_signal ${sig%:*} $((128 + ${sig#*:}))" "${sig%:*}"
done

# Every parameter before anything starts: a typo must fail the job's cases, not silence them.
bad=''
whole() {  # NAME VALUE LEAST: plain digits, as the tool prints the number back
    case $2 in
        '' | *[!0-9]* | 0?* | ??????????*) bad="$bad; $1 must be a whole number such as 2, not '$2'" ;;
        *) [ "$2" -ge "$3" ] || bad="$bad; $1 must be at least $3, not '$2'" ;;
    esac
}
decimal() {  # NAME VALUE [-]: at most 3 decimals, the finest the samples hold; a sign if -
    case ${2#${3-}} in
        '' | *[!0-9.]* | *.*.* | .* | *. | *.????* | ??????????*) bad="$bad; $1 must be a number such as 2 or 0.5, not '$2'" ;;
    esac
}
[ "$nargs" -ge 3 ] || bad="; usage: hogspin-check.sh CPU THREADS SETTLE [HOGSPIN]"
for t in awk mktemp rm sleep; do command -v $t >/dev/null 2>&1 || bad="$bad; $t not found"; done
sleep 0.01 2>/dev/null || bad="$bad; sleep takes no fractions of a second here"
whole CPU "$cpu" 0
whole THREADS "$threads" 1
decimal SETTLE "$settle"
decimal INTERVAL "$interval"
decimal STOP_BOUND "$bound"
[ -z "$max_temp" ] || decimal MAX_TEMP "$max_temp" -
[ -z "$min_freq" ] || decimal MIN_FREQ "$min_freq"
[ -z "$max_power" ] || decimal MAX_POWER "$max_power"
# The soak's sample count, the hundredths of a second it should last, and the stop bound's.
[ -n "$bad" ] || counts=$(awk -v s="$settle" -v i="$interval" -v b="$bound" 'BEGIN {
    if (s <= 0 || i <= 0 || b <= 0) exit 1
    n = s < i ? 1 : sprintf("%.0f", s / i)
    printf "%.0f %.0f %.0f\n", n, n * i * 100, b * 100 < 1 ? 1 : b * 100 }') || bad="; SETTLE, INTERVAL and STOP_BOUND must be above 0"
[ -z "$bad" ] || fail_all 2 "cannot check: ${bad#; }"
set -- $counts
samples=$1 soak_cs=$2 bound_cs=$3

case $hogspin in
    */*) if [ ! -e "$hogspin" ]; then fail_all 1 "cannot start '$hogspin': not found"
         elif [ -d "$hogspin" ] || [ ! -x "$hogspin" ]; then fail_all 1 "cannot start '$hogspin': not executable"; fi ;;
    *) command -v "$hogspin" >/dev/null 2>&1 || fail_all 1 "cannot start '$hogspin': not found in PATH" ;;
esac
work=$(mktemp -d) && [ -d "$work" ] || { work=''; fail_all 1 "mktemp -d failed"; }

# The output file exists before the first look for the summary, whatever the job redirects.
: >"$work/out"
tool=starting
"$hogspin" "$cpu" "$threads" >"$work/out" 2>"$work/err" 3>&- &
pid=$! tool=running
# The summary is the first line, written whole: up to 10 s for it while the tool runs.
now; until_cs=$((cs + 1000))
while :; do
    summary=''
    { read -r summary <"$work/out"; } 2>/dev/null && break
    # Ended: whatever it wrote before it went, a last line without its newline too.
    running "$pid" || { { read -r summary <"$work/out"; } 2>/dev/null; break; }
    [ "$cs" -lt "$until_cs" ] || break
    sleep 0.1; now
done
if [ -z "$summary" ] && ! running "$pid"; then
    wait "$pid"
    status=$? pid='' why=''
    { read -r why <"$work/err"; } 2>/dev/null
    fail_all 1 "cannot start '$hogspin': it ended at once with status $status${why:+: $why}"
fi
[ "$summary" = "hogspin $cpu, count=$threads, ret=1" ]
ok=$?
[ "$ok" -eq 0 ] || { read -r online </sys/devices/system/cpu/online; } 2>/dev/null || online=unknown
report summary-ret "$ok" "${summary:-no summary line in 10 s}${online:+; CPUs online: $online}"

value() {  # FILE: its number, with or without a newline at its end; "-" when there is none
    v=''
    { read -r v <"$1"; } 2>/dev/null
    case $v in '' | *[!0-9-]* | ?*-* | -) v=- ;; esac
}

# The sensors, "kind path name" a line, the path under HOGSPIN_SYSFS: each thermal zone
# (temp, m°C), and each hwmon power meter and energy counter (power, µW; energy, µJ). A name is
# the zone's type, or the hwmon device's name and the input's label (or its own name), cut
# down to what a LAVA case name may hold; the directory's name for what is left empty; with
# its number added while another of its kind has it already.
for f in "$sysfs"/class/thermal/thermal_zone*/temp "$sysfs"/class/hwmon/hwmon*/power*_input \
         "$sysfs"/class/hwmon/hwmon*/energy*_input; do
    [ -e "$f" ] || continue
    path=${f#"$sysfs"/} dir=${f%/*} input=${f##*/} name='' chip='' label=''
    case $path in
        class/thermal/thermal_zone*/temp) kind=temp; { read -r name <"$dir/type"; } 2>/dev/null ;;
        *) kind=${input%%[0-9]*}
           { read -r chip <"$dir/name"; } 2>/dev/null; { read -r label <"$dir/${input%_input}_label"; } 2>/dev/null
           name="$chip-$label"; [ -n "$label" ] || name="$chip-${input%_input}" ;;
    esac
    printf '%s %s %s\n' "$kind" "$path" "$name"
done | awk '{ kind = $1; path = $2; dir = path; sub(/\/[^\/]*$/, "", dir); sub(/.*\//, "", dir)
              name = $0; sub(/^[^ ]* [^ ]* /, "", name)
              if (path ~ /[^A-Za-z0-9._\/-]/) next
              gsub(/[^A-Za-z0-9._-]+/, "_", name)
              if (kind != "temp" && name ~ /^-/) name = dir name
              base = name = name ~ /[A-Za-z0-9]/ ? substr(name, 1, 40) : dir
              for (k = 1; (kind SUBSEP name) in taken; k++) { n = dir; sub(/^[a-z_]*/, "", n); name = base "-" n (k > 1 ? "." k : "") }
              taken[kind, name] = 1
              print kind, path, name }' >"$work/sensors"

# Figures stay in the kernel's units (m°C, kHz, µW, µJ) until shown, exactly: shown(85040, 3, 1)
# is 85.04, shown(1200000, 3, 0) 1200, shown(2500000, 6, 1) 2.5.
lib='function shown(v, digits, places,  s) {
        s = sprintf("%." digits "f", v / (digits == 6 ? 1000000 : 1000))
        while (places++ < digits && s ~ /0$/) sub(/0$/, "", s)
        sub(/\.$/, "", s); return s }'

# One sample, appended to $work/raw as "uptime-cs busy total kHz sensor..." ("-" for what could
# not be read), and printed as a trace line: seconds into the soak, CPU's busy share since the
# last sample, its clock in MHz, each zone in degrees C and each power meter in W.
sample() {
    now
    line="$cs - -"
    # Busy: all but idle and iowait of user nice system idle iowait irq softirq steal.
    while read -r name user nice system idle iowait irq softirq steal _; do
        [ "$name" = "cpu$cpu" ] || continue
        line="$cs $((user + nice + system + irq + softirq + steal)) $((user + nice + system + idle + iowait + irq + softirq + steal))"
        break
    done </proc/stat
    value "$sysfs/devices/system/cpu/cpu$cpu/cpufreq/scaling_cur_freq"
    line="$line $v" kinds=''
    while read -r kind path _; do
        value "$sysfs/$path"
        line="$line $v" kinds="$kinds $kind"
    done <"$work/sensors"
    echo "$line" >>"$work/raw"
    # The shell writes the line itself: a reader gone away must stop the check, not an awk.
    trace=$(awk -v first="${first:-$line}" -v prev="$prev" -v cur="$line" -v kinds="$kinds" "$lib"'BEGIN {
        split(cur, c, " "); split(first, s, " "); split(prev, p, " "); n = split(kinds, kind, " ")
        out = sprintf("hogspin-trace,%.1f,", (c[1] - s[1]) / 100)
        if (prev != "" && c[2] != "-" && p[2] != "-" && c[3] > p[3]) out = out sprintf("%.1f", 100 * (c[2] - p[2]) / (c[3] - p[3]))
        out = out "," (c[4] == "-" ? "" : shown(c[4], 3, 0))
        for (i = 1; i <= n; i++)
            if (kind[i] != "energy") out = out "," (c[4 + i] == "-" ? "" : shown(c[4 + i], kind[i] == "temp" ? 3 : 6, 1))
        print out }')
    say "$trace"
    first=${first:-$line} prev=$line
}

# A sleep that a trapped signal cuts short: a trap runs once the foreground command is done,
# but a wait returns at once.
nap() {
    sleep "$1" 3>&- & napper=$!
    wait "$napper"; napper=''
}

# The soak: a first sample at its start, then one every INTERVAL seconds.
say "hogspin-trace,t_s,cpu${cpu}_busy_pct,cpu${cpu}_mhz$(awk '$1 == "temp" { printf ",%s_c", $3 } $1 == "power" { printf ",%s_w", $3 }' "$work/sensors")"
say "hogspin-limits,max_temp_c=$max_temp,min_freq_mhz=$min_freq,max_power_w=$max_power"
first='' prev=''
sample
k=0
while [ "$k" -lt "$samples" ]; do nap "$interval"; sample; k=$((k + 1)); done

# Workers are every thread but the main one: its Cpus_allowed_list, and the CPU it last ran
# on, field 39 of its stat, counted after the command name, which may hold spaces.
pinned=0 total=0
for task in /proc/"$pid"/task/*; do
    [ "${task##*/}" != "$pid" ] || continue
    allowed='' st=''
    { while read -r key value _; do case $key in Cpus_allowed_list:) allowed=$value; break ;; esac; done <"$task/status"
      read -r st <"$task/stat"; } 2>/dev/null
    [ -n "$st" ] || continue
    total=$((total + 1))
    set -- ${st##*) }
    [ $# -ge 37 ] && shift 36 && [ "$allowed" = "$cpu" ] && [ "$1" = "$cpu" ] && pinned=$((pinned + 1))
done
[ "$total" -eq "$threads" ] && [ "$pinned" -eq "$threads" ]
report workers-pinned $? "$pinned of $total workers, $threads asked, on CPU $cpu"

# Every verdict of the soak from its raw samples, in one pass: limits are scaled to the
# samples' units, so that rounding for display never decides one. A sensor never read is a
# skip. "case<TAB>status<TAB>details<TAB>measurement<TAB>units" a line.
awk -v cpu="$cpu" -v max_temp="$max_temp" -v min_freq="$min_freq" -v max_power="$max_power" -v soak="$soak_cs" "$lib"'
    function raw(limit, digits,  sign, p) {  # raw("85.5", 3) is 85500, exactly
        sign = sub(/^-/, "", limit) ? -1 : 1; split(limit, p, ".")
        return sign * (p[1] * (digits == 6 ? 1000000 : 1000) + substr(p[2] "000000", 1, digits)) }
    function verdict(name, status, details, m, units) { printf "%s\t%s\t%s\t%s\t%s\n", name, status, details, m, units }
    function limit(value, units) { return value == "" ? "" : "; limit " value " " units }
    function none(kind, value, name, why) {  # the one case of a kind that nothing measured
        verdict(kind "-max", value == "" ? "skip" : 1, (value == "" ? "" : name "=" value " asked, but ") why) }
    FILENAME == ARGV[1] { sensor[++sensors] = $0; next }
    FNR == 1 { split($0, s0, " ") }
    { for (i = 4; i <= NF; i++) if ($i != "-") {
          if (!(i in hi) || $i + 0 > hi[i]) hi[i] = $i + 0
          if (!(i in lo) || $i + 0 < lo[i]) lo[i] = $i + 0
          if (!(i in st)) st[i] = $i + 0
          sum[i] += $i; got[i]++; end[i] = $i + 0 }
      split($0, s1, " "); samples = FNR }
    END {
        secs = sprintf("%.2f s", (s1[1] - s0[1]) / 100)
        if (!samples) verdict("cpu-busy", 1, "no sample of the soak was kept")
        else if (s1[1] - s0[1] < 0.9 * soak) verdict("cpu-busy", 1, "the soak lasted " secs " of the " soak / 100 " s asked")
        else if (s0[2] != "-" && s1[2] != "-" && s1[3] > s0[3]) {
            busy = s1[2] - s0[2]; spent = s1[3] - s0[3]
            verdict("cpu-busy", 100 * busy >= 98 * spent ? 0 : 1, sprintf("CPU %s %.1f %% busy over %s", cpu, 100 * busy / spent, secs))
        } else verdict("cpu-busy", 1, "CPU " cpu " has no /proc/stat line, or no time passed in " secs)
        for (k = 1; k <= sensors; k++) {
            split(sensor[k], x, " "); kind = x[1]; name = x[3]; seen[kind]++; i = 4 + k
            if (got[i] < (kind == "energy" ? 2 : 1)) {
                verdict((kind == "energy" ? "energy-" : kind "-max-") name, "skip", x[2] " could not be read at " (kind == "energy" ? "two" : "any") " of " samples " samples")
            } else if (kind == "temp") {
                measured[kind]++
                verdict("temp-max-" name, max_temp == "" || hi[i] <= raw(max_temp, 3) ? 0 : 1, shown(hi[i], 3, 1) " C, the highest of the soak" \
                    limit(max_temp, "C") (got[i] < samples ? "; read at " got[i] " of " samples " samples" : ""), shown(hi[i], 3, 1), "C")
                verdict("temp-rise-" name, 0, shown(hi[i] - st[i], 3, 1) " C above its first reading", shown(hi[i] - st[i], 3, 1), "C")
            } else if (kind == "power") {
                measured[kind]++
                verdict("power-mean-" name, 0, shown(sum[i] / got[i], 6, 1) " W, the mean of " got[i] " samples", shown(sum[i] / got[i], 6, 1), "W")
                verdict("power-max-" name, max_power == "" || hi[i] <= raw(max_power, 6) ? 0 : 1, shown(hi[i], 6, 1) " W, the highest of the soak" \
                    limit(max_power, "W"), shown(hi[i], 6, 1), "W")
            } else if (end[i] < st[i]) {
                verdict("energy-" name, "skip", "the counter went back over the soak, from " st[i] " to " end[i] " uJ")
            } else verdict("energy-" name, 0, shown(end[i] - st[i], 6, 1) " J over " secs, shown(end[i] - st[i], 6, 1), "J")
        }
        if (!measured["temp"])
            none("temp", max_temp, "MAX_TEMP", seen["temp"] ? "no thermal zone could be read" : "no thermal zone under class/thermal")
        if (!measured["power"])
            none("power", max_power, "MAX_POWER", seen["power"] ? "no power meter could be read" : "no power meter under class/hwmon")
        if (got[4])
            verdict("freq-min-cpu" cpu, min_freq == "" || lo[4] >= raw(min_freq, 3) ? 0 : 1, shown(lo[4], 3, 0) " MHz, the lowest of the soak" \
                limit(min_freq, "MHz"), shown(lo[4], 3, 0), "MHz")
        else verdict("freq-min-cpu" cpu, min_freq == "" ? "skip" : 1, (min_freq == "" ? "" : "MIN_FREQ=" min_freq " asked, but ") "devices/system/cpu/cpu" cpu "/cpufreq/scaling_cur_freq cannot be read")
    }' "$work/sensors" "$work/raw" >"$work/verdicts" ||
    printf 'cpu-busy\t1\tthe soak could not be judged: awk failed\n' >>"$work/verdicts"
tab=$(printf '\t')
while IFS=$tab read -r name status details measurement units; do
    report "$name" "$status" "$details" "$measurement" "$units"
done <"$work/verdicts"

end_tool
last=''
while read -r line || [ -n "$line" ]; do last=$line; done <"$work/out"
[ -n "$signalled" ] && [ "$rc" = 0 ] && [ "$last" = "hogspin $cpu, Exit!" ]
stopped=$?
if [ "$rc" = killed ]; then detail="still running $bound s after SIGINT: killed"
elif [ -z "$signalled" ]; then detail="it had ended before SIGINT, with status $rc"
else detail="status $rc"; fi
report stop-sigint "$stopped" "$detail, last line: $last"

exit "$failed"
