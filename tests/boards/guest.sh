#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# Init of the emulated boards: runs the checks that /board lists (its first line names the
# board) against /hogspin (and /hogspin32, the 32-bit ARM build), judges each from this
# guest's own /proc against what its kernel is known to do, prints one
# "CHECK name PASS|FAIL details" line per check, then the end marker, and powers off. The
# host reads the console log.
# shellcheck shell=sh  # shellcheck has no busybox dialect: POSIX sh, which busybox's ash runs
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t tmpfs tmp /tmp
mount -t cgroup2 cgroup2 /sys/fs/cgroup

board=$(head -n 1 /board)
own=$(sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' /proc/self/status)
# The kernel's version as one number: 5.10 is 510, 6.12 is 612.
kv=$(uname -r | awk -F. '{ print $1 * 100 + $2 }')
echo "GUEST $board: $(uname -m) kernel $(uname -r), CPUs online $(cat /sys/devices/system/cpu/online), init may run on $own"

# The threads of /tmp/threads whose last CPU is not in LIST (such as 0-2,5), counted in one
# awk: in a guest every fork costs, the more so beside spinning workers.
outside() {  # LIST [FILE of "tid allowed last-cpu" lines, default /tmp/threads; - for stdin]
    awk -v l="$1" 'BEGIN { n = split(l, p, ",") }
        { inside = 0
          for (i = 1; i <= n; i++) { m = split(p[i], r, "-"); if ($3 >= r[1] && $3 <= r[m]) inside = 1 }
          out += !inside }
        END { print out + 0 }' "${2:-/tmp/threads}"
}

ms() {  # milliseconds since boot
    awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime
}

checked_at=$(ms)
check() {  # name status(0 = pass) details...; each line ends with the check's own time
    name=$1 status=$2
    shift 2
    now=$(ms)
    if [ "$status" -eq 0 ]; then verdict=PASS; else verdict=FAIL; fi
    echo "CHECK $name $verdict $* [$((now - checked_at)) ms]"
    checked_at=$now
}

# Starts "$@" with its output in /tmp/out and /tmp/err; waits up to 60 s for the summary line.
start() {
    : >/tmp/out
    t0=$(ms)
    "$@" >/tmp/out 2>/tmp/err &
    pid=$!
    i=0
    while ! grep -q 'count=' /tmp/out && [ "$i" -lt 1200 ]; do usleep 50000; i=$((i + 1)); done
    started_ms=$(($(ms) - t0))
}

alive() {  # a zombie is no longer running, though kill -0 still finds it
    [ -r "/proc/$pid/stat" ] && [ "$(awk '{ print $3 }' "/proc/$pid/stat")" != Z ]
}

# SIGINT, then at most 10 s for the tool to end by itself; killed past that (rc 137).
stop() {
    kill -INT "$pid"
    i=0
    while alive && [ "$i" -lt 100 ]; do usleep 100000; i=$((i + 1)); done
    alive && kill -KILL "$pid"
    wait "$pid"
    rc=$?
}

# "tid allowed-list last-cpu" for every thread of the tool, its main thread first; one awk
# for them all, so that a thousand threads take no longer than a few.
threads() {
    files="/proc/$pid/task/$pid/status /proc/$pid/task/$pid/stat"
    for t in /proc/"$pid"/task/*; do
        [ "${t##*/}" = "$pid" ] || files="$files $t/status $t/stat"
    done
    # shellcheck disable=SC2086  # $files: paths of /proc, split into awk's arguments
    awk '/^Cpus_allowed_list:/ { allowed = $2 }
         FILENAME ~ /\/stat$/ { split(FILENAME, p, "/"); print p[5], allowed, $39 }' $files 2>/dev/null
}

workers() {  # every worker's allowed list, once each: "2", or "0-1|2" when they differ
    sed 1d /tmp/threads | awk '{ print $2 }' | sort -u | paste -sd '|'
}

# Summary line, workers all on K (allowed exactly K, last ran on K), main thread not pinned.
# The kernel has mostly moved a worker to K by the time its pinning returns, but with
# PREEMPT_RT on a loaded host the last CPU was seen to lag by seconds: up to 5 s are allowed.
pinned_ok() {  # K N [the main thread's allowed list, default init's]
    grep -qx "hogspin $1, count=$2, ret=1" /tmp/out || return 1
    until_ms=$(($(ms) + 5000))
    threads >/tmp/threads
    while [ "$(sed 1d /tmp/threads | grep -c "^[0-9]* $1 $1\$")" -ne "$2" ] && [ "$(ms)" -lt "$until_ms" ]; do
        usleep 100000
        threads >/tmp/threads
    done
    [ "$(sed 1d /tmp/threads | grep -c "^[0-9]* $1 $1\$")" -eq "$2" ] || return 1
    [ "$(sed 1d /tmp/threads | wc -l)" -eq "$2" ] || return 1
    [ "$(head -n 1 /tmp/threads | awk '{ print $2 }')" = "${3:-$own}" ]
}

# Exit line after the summary, empty standard error, status 0.
stopped_ok() {  # K
    [ "$rc" -eq 0 ] && [ "$(tail -n 1 /tmp/out)" = "hogspin $1, Exit!" ] && [ "$(wc -l </tmp/out)" -eq 2 ] && [ ! -s /tmp/err ]
}

# The workers' allowed lists once they read WANT at two looks 0.3 s apart, or what they read
# after 5 s: the kernel may apply a hotplug from a work queue, after the write has returned.
steady() {  # WANT
    until_ms=$(($(ms) + 5000)) last=''
    while :; do
        threads >/tmp/threads
        seen=$(workers)
        [ "$seen" = "$1" ] && [ "$last" = "$1" ] && break
        [ "$(ms)" -lt "$until_ms" ] || break
        last=$seen
        usleep 300000
    done
    echo "$seen"
}

evidence() {  # the first threads, as raw lines
    echo "  threads (tid allowed last-cpu): $(head -n 3 /tmp/threads | paste -sd ';')"
}

pin() {  # NAME BIN K N
    start "$2" "$3" "$4"
    pinned_ok "$3" "$4"
    p=$?
    stop
    stopped_ok "$3"
    check "$1" $((p + $?)) "$(head -n 1 /tmp/out) rc=$rc"
    evidence
}

offline_before_start() {  # K
    echo 0 >"/sys/devices/system/cpu/cpu$1/online"
    start /hogspin "$1" 2
    threads >/tmp/threads
    grep -qx "hogspin $1, count=2, ret=0" /tmp/out
    p=$?
    # Unpinned workers keep the main thread's affinity and cannot run on the offline CPU.
    [ "$(sed 1d /tmp/threads | awk -v k="$1" -v a="$own" '$2 == a && $3 != k' | wc -l)" -eq 2 ] || p=1
    stop
    stopped_ok "$1" || p=1
    echo 1 >"/sys/devices/system/cpu/cpu$1/online"
    check offline-before-start "$p" "cpu$1 offline: $(head -n 1 /tmp/out) rc=$rc"
    evidence
}

# The workers' own CPU goes offline under load, then comes back. Every kernel here moves them
# and widens their affinity to every CPU; none pins them again when it returns.
hotplug_while_loaded() {  # K
    start /hogspin "$1" 2
    pinned_ok "$1" 2
    p=$?
    possible=$(cat /sys/devices/system/cpu/possible)
    echo 0 >"/sys/devices/system/cpu/cpu$1/online"
    offline=$(steady "$possible")
    alive || p=1
    [ "$(sed 1d /tmp/threads | awk -v k="$1" '$3 != k' | wc -l)" -eq 2 ] || p=1
    dmesg | grep 'no longer affine' | sed 's/^/INFO kernel: /'
    echo 1 >"/sys/devices/system/cpu/cpu$1/online"
    online=$(steady "$possible")
    alive || p=1
    [ "$offline" = "$possible" ] && [ "$online" = "$possible" ] || p=1
    stop
    stopped_ok "$1" || p=1
    check hotplug-while-loaded "$p" "kernel $(uname -r): cpu$1 offline: workers allowed $offline; back online: $online;" \
        "$(paste -sd ' ' /tmp/out) rc=$rc"
}

# A cpuset of CPUS in cgroup v2 or v1 (which takes the controller from v2 while mounted).
cpuset_make() {  # v1|v2 NAME CPUS: prints its directory
    i=0
    case $1 in
        v2) until grep -qw cpuset /sys/fs/cgroup/cgroup.subtree_control || [ "$i" -ge 50 ]; do
                echo +cpuset >/sys/fs/cgroup/cgroup.subtree_control 2>/dev/null || usleep 100000
                i=$((i + 1))
            done
            dir=/sys/fs/cgroup/$2 ;;
        v1) mkdir -p /tmp/cpuset-v1
            until grep -q ' /tmp/cpuset-v1 ' /proc/mounts || [ "$i" -ge 50 ]; do
                mount -t cgroup -o cpuset cpuset /tmp/cpuset-v1 2>/dev/null || usleep 100000
                i=$((i + 1))
            done
            dir=/tmp/cpuset-v1/$2 ;;
    esac
    mkdir -p "$dir"
    [ "$1" = v2 ] || cat /tmp/cpuset-v1/cpuset.mems >"$dir/cpuset.mems"
    echo "$3" >"$dir/cpuset.cpus"
    echo "$dir"
}

cpuset_drop() {  # DIR: gives the controller back
    rmdir "$1"
    case $1 in
        /sys/fs/cgroup/*) echo -cpuset >/sys/fs/cgroup/cgroup.subtree_control ;;
        *) umount /tmp/cpuset-v1 ;;
    esac
}

# The tool started inside the cpuset at DIR.
start_in() {  # DIR K N
    # shellcheck disable=SC2016  # $$, $0 and $@ are the inner sh's own
    start sh -c 'echo $$ >"$0" && exec /hogspin "$@"' "$1/cgroup.procs" "$2" "$3"
}

# Started in a cpuset holding CPUS: ret as expected, and no thread ever seen outside it.
in_cpuset() {  # NAME CPUS K EXPECTED-RET
    hier=${1#cpuset-}
    dir=$(cpuset_make "${hier%%-*}" "${1##*-}" "$2")
    start_in "$dir" "$3" 2
    grep -qx "hogspin $3, count=2, ret=$4" /tmp/out
    p=$?
    # Sampled ten times over a second.
    outside=0
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        threads >/tmp/threads
        outside=$((outside + $(outside "$2")))
        usleep 100000
    done
    [ "$outside" -eq 0 ] || p=1
    stop
    stopped_ok "$3" || p=1
    cpuset_drop "$dir"
    check "$1" "$p" "cpuset $2, cpu $3: $(head -n 1 /tmp/out), threads seen outside: $outside, rc=$rc"
    evidence
}

# Workers pinned to CPU 2 in a cpuset of CPUs 0-2 meet events; after each, the workers'
# allowed lists (the same for all, or "a|b"). Up to 6.1 every cpuset update sets the
# cpuset's CPUs over the pin; from 6.2 the kernel keeps the mask the user asked for and
# narrows it to the cpuset ("sched: Always preserve the user requested cpumask", "sched:
# Enforce user requested affinity"). cgroup v1 (5.10 and 6.1 here) takes an offline CPU out
# of the cpuset itself, for good.
# check                     events               up to 6.1  from 6.2
events='
cpuset-v2-hotplug-other     offline:1,online:1   0,2;0-2    2;2
cpuset-v2-shrink-grow       cpus:0-1,cpus:0-2    0-1;0-2    0-1;2
cpuset-v2-change-holding    cpus:1-2             1-2        2
cpuset-v1-hotplug-other     offline:1,online:1   0,2;0,2    -
cpuset-v1-shrink-grow       cpus:0-1,cpus:0-2    0-1;0-2    -
cpuset-v1-change-holding    cpus:1-2             1-2        -
'
cpuset_events() {  # NAME
    # shellcheck disable=SC2046  # the table's row, split into its fields
    set -- $(echo "$events" | grep "^$1 ")
    if [ "$kv" -ge 602 ]; then want=$4; else want=$3; fi
    hier=${1#cpuset-}
    dir=$(cpuset_make "${hier%%-*}" events 0-2)
    start_in "$dir" 2 2
    pinned_ok 2 2 0-2
    p=$?
    seen='' rest=$want
    for event in $(echo "$2" | tr , ' '); do
        case $event in
            offline:*) echo 0 >"/sys/devices/system/cpu/cpu${event#*:}/online" ;;
            online:*) echo 1 >"/sys/devices/system/cpu/cpu${event#*:}/online" ;;
            cpus:*) echo "${event#*:}" >"$dir/cpuset.cpus" ;;
        esac
        seen="$seen;$(steady "${rest%%;*}")"
        rest=${rest#*;}
    done
    seen=${seen#;}
    alive || p=1
    [ "$seen" = "$want" ] || p=1
    cpus=$(cat "$dir/cpuset.cpus")
    stop
    stopped_ok 2 || p=1
    cpuset_drop "$dir"
    check "$1" "$p" "kernel $(uname -r): workers allowed after $2: $seen (expected $want); cpuset.cpus then $cpus; rc=$rc"
}

isolated() {  # K
    start /hogspin "$1" 2
    pinned_ok "$1" 2
    p=$?
    # isolcpus keeps the CPU out of everyone's default affinity, the main thread's too.
    [ "$(head -n 1 /tmp/threads | awk '{ print $3 }')" != "$1" ] || p=1
    [ "$(echo "- - $1" | outside "$(head -n 1 /tmp/threads | awk '{ print $2 }')" -)" -eq 1 ] || p=1
    stop
    stopped_ok "$1" || p=1
    check isolated-cpu "$p" "isolcpus=$1: $(head -n 1 /tmp/out) rc=$rc"
    evidence
}

# CPU K's busy share and the most any other CPU had, from /proc/stat over 2 s.
load() {  # K
    start /hogspin "$1" 1
    grep '^cpu[0-9]' /proc/stat >/tmp/stat1
    sleep 2
    grep '^cpu[0-9]' /proc/stat >/tmp/stat2
    stop
    cat /tmp/stat1 /tmp/stat2 | awk -v k="cpu$1" '
        { t = 0; for (i = 2; i <= 9; i++) t += $i; idle = $5 + $6 }
        $1 in T { d = t - T[$1]; b = d > 0 ? 100 * (d - (idle - I[$1])) / d : 0
                  if ($1 == k) busy = b; else if (b > other) other = b; next }
        { T[$1] = t; I[$1] = idle }
        END { printf "%.1f %.1f\n", busy, other }' >/tmp/busy
    read -r busy other </tmp/busy
    p=0
    awk -v b="$busy" -v o="$other" 'BEGIN { exit !(b >= 99 && o <= 5) }' || p=1
    stopped_ok "$1" || p=1
    check "load-cpu$1" "$p" "cpu$1 busy $busy % over 2 s, busiest other CPU $other %, rc=$rc"
}

absent() {  # K: a CPU the board does not have
    start /hogspin "$1" 1
    grep -qx "hogspin $1, count=1, ret=0" /tmp/out
    p=$?
    stop
    stopped_ok "$1" || p=1
    check "cpu$1-absent" "$p" "$(head -n 1 /tmp/out) rc=$rc"
}

huge_count() {  # BIN COUNT
    "$1" 0 "$2" >/tmp/out 2>/tmp/err
    rc=$?
    [ "$rc" -eq 1 ] && [ ! -s /tmp/out ] && [ "$(wc -l </tmp/err)" -eq 1 ] && grep -q "$2" /tmp/err
    check "armhf-huge-count-$2" $? "rc=$rc stderr: $(cat /tmp/err)"
}

# 1000 workers on CPU 1. A 32-bit kernel leaves a process 3 GiB: with the default 8 MiB
# stacks only some fit (ret=0, those all pinned); a smaller stack limit, which glibc takes as
# the new threads' stack size, fits them all (ret=1).
count() {  # NAME STACK-KIB (0: the default)
    if [ "$2" -eq 0 ]; then start /hogspin 1 1000; else start sh -c "ulimit -s $2 && exec /hogspin 1 1000"; fi
    threads >/tmp/threads
    n=$(sed 1d /tmp/threads | wc -l)
    on=$(sed 1d /tmp/threads | grep -c '^[0-9]* 1 1$')
    vm=$(sed -n 's/^VmSize:[[:space:]]*//p' "/proc/$pid/status")
    if [ "$2" -eq 0 ]; then
        grep -qx 'hogspin 1, count=1000, ret=0' /tmp/out && [ "$n" -gt 0 ] && [ "$n" -lt 1000 ]
    else
        grep -qx 'hogspin 1, count=1000, ret=1' /tmp/out && [ "$n" -eq 1000 ]
    fi
    p=$?
    [ "$on" -eq "$n" ] || p=1
    stop
    stopped_ok 1 || p=1
    limit="$2 KiB"
    [ "$2" -ne 0 ] || limit=default
    check "$1" "$p" "kernel $(uname -r), stack limit $limit: $(head -n 1 /tmp/out), $n workers, $on of them" \
        "on CPU 1, VmSize $vm, stopped in order: rc=$rc"
}

startup() {  # N: a figure for the log, judged only as a pin
    start /hogspin 1 "$1"
    pinned_ok 1 "$1"
    p=$?
    stop
    stopped_ok 1 || p=1
    echo "INFO startup: $1 workers on CPU 1, summary line after $started_ms ms on kernel $(uname -r)," \
        "main thread last on CPU $(head -n 1 /tmp/threads | awk '{ print $3 }')"
    check "startup-$1" "$p" "$(head -n 1 /tmp/out) after $started_ms ms, $(sed 1d /tmp/threads | wc -l) workers," \
        "$(sed 1d /tmp/threads | grep -c "^[0-9]* 1 1\$") on CPU 1, $(wc -l </tmp/out) lines, rc=$rc"
    [ "$p" -eq 0 ] || { evidence; sed 's/^/  stderr: /' /tmp/err; }
}

# The farm check end to end on a stand-in sysfs (HOGSPIN_SYSFS), under busybox: the program
# and its glue on this kernel. (Its verdicts are the judge's tables, on the host.) Zones are
# "type:first:later" in millidegrees (type may be empty; "-:-": never readable), and power
# meters "hwmon=name:label:first:later" in µW, with ":first:later" of an energy counter in µJ
# after them where it has one; CPU 1's clock "first:later" in kHz ("-": none). The later
# values land once the soak's first sample is taken. The check must call lava-test-case as
# listed (case:result:measurement:units), besides its four own passes; a measurement "*" is
# one the emulation's timing decides (a sample's time, the emulated PMU's clock). A clock read
# once at its first value and held at its later one is no throttle: one reading sets no ceiling.
# check                     zones                                            clock            limits
#                           lava-test-case calls, on as many lines as they take, up to a blank one
thermal_cases='
thermal-soak                soc-thermal:40000:90000,wifi:-:-,hwmon=ina238::3000000:3000000:100000000:101500000
                            1200000:800000   MAX_TEMP=85,MIN_FREQ=1000,MAX_POWER=2.6
    temp-max-soc-thermal:pass:90.0:C,temp-rise-soc-thermal:pass:50.0:C,temp-tau-soc-thermal:skip::,
    temp-tau-fast-soc-thermal:skip::,temp-steady-soc-thermal:skip::,
    thermal-resistance-soc-thermal:skip::,sustainable-power-soc-thermal:skip::,
    limit-temp-soc-thermal:fail::,temp-max-wifi:skip::,power-mean-ina238-power1:pass:3.0:W,
    power-max-ina238-power1:pass:3.0:W,limit-power-ina238-power1:fail::,energy-ina238-energy1:pass:1.5:J,
    freq-min-cpu1:pass:800:MHz,limit-freq-cpu1:fail::,throttle-onset-cpu1:pass::,
    throttle-time-cpu1:pass:*:s,clock-measured-cpu1:pass:*:MHz
'
mkdir -p /tmp/lava
cat >/tmp/lava/lava-test-case <<'EOF'
#!/bin/sh
# Stands in for LAVA's own: records "case:result:measurement:units".
name=$1 result='' measurement='' units=''
shift
while [ $# -gt 1 ]; do
    case $1 in --result) result=$2 ;; --measurement) measurement=$2 ;; --units) units=$2 ;; esac
    shift 2
done
echo "$name:$result:$measurement:$units" >>/tmp/lava-calls
EOF
chmod +x /tmp/lava/lava-test-case

thermal() {  # NAME
    # shellcheck disable=SC2046  # the table's row, split into its fields
    set -- $(echo "$thermal_cases" | sed -n "/^$1 /,/^\$/p")
    rm -rf /tmp/sysfs /tmp/lava-calls
    mkdir -p /tmp/sysfs/class/thermal
    later='' n=0 h=0
    for zone in $(echo "$2" | tr , ' '); do
        [ "$zone" != - ] || continue
        case $zone in hwmon=*)
            IFS=: read -r chip label power_first power_later energy_first energy_later <<EOF
${zone#hwmon=}
EOF
            dir=/tmp/sysfs/class/hwmon/hwmon$h
            mkdir -p "$dir"
            echo "$chip" >"$dir/name"
            [ -z "$label" ] || echo "$label" >"$dir/power1_label"
            echo "$power_first" >"$dir/power1_input"
            later="$later echo $power_later >$dir/power1_input;"
            [ -z "$energy_first" ] || echo "$energy_first" >"$dir/energy1_input"
            [ -z "$energy_first" ] || later="$later echo $energy_later >$dir/energy1_input;"
            h=$((h + 1))
            continue ;;
        esac
        dir=/tmp/sysfs/class/thermal/thermal_zone$n
        mkdir -p "$dir"
        echo "${zone%%:*}" >"$dir/type"
        values=${zone#*:}
        # "-": a zone that can never be read, as a device's that is down (EIO)
        if [ "$values" = -:- ]; then mkdir "$dir/temp"; else echo "${values%:*}" >"$dir/temp"; fi
        [ "$values" = -:- ] || later="$later echo ${values#*:} >$dir/temp;"
        n=$((n + 1))
    done
    if [ "$3" != - ]; then
        dir=/tmp/sysfs/devices/system/cpu/cpu1/cpufreq
        mkdir -p "$dir"
        echo "${3%:*}" >"$dir/scaling_cur_freq"
        later="$later echo ${3#*:} >$dir/scaling_cur_freq;"
    fi
    : >/tmp/check.out
    # The soak's first sample, at whatever time the tool's start took: not the header.
    (until grep -q '^hogspin-trace,[0-9]' /tmp/check.out; do usleep 50000; done; eval "$later") &
    writer=$!
    limits=''
    [ "$4" = - ] || limits=$(echo "$4" | tr , ' ')
    # shellcheck disable=SC2086  # $limits: NAME=value words for env
    # Twelve samples after the first: the writer, polling, has up to 3 s to land the later
    # values, however busy the host that emulates this board is.
    env $limits HOGSPIN_SYSFS=/tmp/sysfs INTERVAL=0.25 PATH="/tmp/lava:$PATH" sh /hogspin-check.sh 1 1 3 /hogspin \
        >/tmp/check.out 2>&1
    rc=$?
    kill "$writer" 2>/dev/null
    wait "$writer" 2>/dev/null
    # shellcheck disable=SC2046  # the expected calls, split into words
    printf '%s\n' summary-ret:pass:: workers-pinned:pass:: cpu-busy:pass:: stop-sigint:pass:: $(shift 4; echo "$*" | tr , ' ') |
        sort >/tmp/calls-expected
    # What the emulation's timing decides is compared by its result and units alone.
    sed -n 's/^\([^:]*\):[^:]*:\*:.*/\1/p' /tmp/calls-expected >/tmp/calls-timed
    awk -F: 'NR == FNR { timed[$1] = 1; next } ($1 in timed) && $3 != "" { $3 = "*" } { print }' OFS=: \
        /tmp/calls-timed /tmp/lava-calls 2>/dev/null | sort >/tmp/calls-seen
    want=0
    grep -q ':fail:' /tmp/calls-expected && want=1
    cmp -s /tmp/calls-expected /tmp/calls-seen && [ "$rc" -eq "$want" ]
    p=$?
    check "$1" "$p" "status $rc (expected $want), lava-test-case calls: $(grep -v -e '^summary-ret:' -e '^workers-pinned:' \
        -e '^cpu-busy:' -e '^stop-sigint:' /tmp/calls-seen | paste -sd ' ')"
    [ "$p" -eq 0 ] || { echo "  expected: $(paste -sd ' ' /tmp/calls-expected)"; sed 's/^/  check: /' /tmp/check.out; }
    grep '^hogspin-trace,' /tmp/check.out | sed 's/^/INFO trace: /'
}

# shellcheck disable=SC2013  # check names have no blanks; a read loop would lend the checks its stdin
for name in $(sed 1d /board); do
    case $name in
        pin-cpu*) pin "$name" /hogspin "${name#pin-cpu}" 2 ;;
        load-cpu*) load "${name#load-cpu}" ;;
        cpu*-absent) k=${name#cpu}; absent "${k%-absent}" ;;
        many-workers) pin many-workers /hogspin 1 64 ;;
        offline-before-start) offline_before_start 2 ;;
        hotplug-while-loaded) hotplug_while_loaded 1 ;;
        isolated-cpu) isolated 3 ;;
        cpuset-v[12]-excludes) in_cpuset "$name" 0-1 2 0 ;;
        cpuset-v[12]-includes) in_cpuset "$name" 1-2 2 1 ;;
        cpuset-v[12]-*) cpuset_events "$name" ;;
        armhf-pin)
            echo "GUEST /hogspin32: ELF class $(hexdump -s 4 -n 1 -e '1/1 "%d"' /hogspin32) (1: 32-bit)," \
                "machine $(hexdump -s 18 -n 2 -e '1/2 "%d"' /hogspin32) (40: ARM), run by the $(uname -m) kernel"
            pin armhf-pin /hogspin32 1 2 ;;
        armhf-huge-count-*) huge_count /hogspin32 "${name#armhf-huge-count-}" ;;
        count-1000) count "$name" 0 ;;
        count-1000-stack-*k) k=${name#count-1000-stack-}; count "$name" "${k%k}" ;;
        startup-*) startup "${name#startup-}" ;;
        thermal-*) thermal "$name" ;;
        *) check "$name" 1 "guest.sh has no such check" ;;
    esac
done

echo "BOARD-END $board"
poweroff -f
