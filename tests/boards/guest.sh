#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# Init of the emulated boards: runs the scenarios of the board named by hogspin.board= on the
# kernel command line against /hogspin (and /hogspin32, the 32-bit ARM build), judges each from
# this guest's own /proc, prints one "CHECK name PASS|FAIL details" line per check, then the end
# marker, and powers off. The host reads the console log.
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t tmpfs tmp /tmp
mount -t cgroup2 cgroup2 /sys/fs/cgroup
echo +cpuset >/sys/fs/cgroup/cgroup.subtree_control

board=$(sed -n 's/.*hogspin\.board=\([^ ]*\).*/\1/p' /proc/cmdline)
own=$(sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' /proc/self/status)
echo "GUEST $board: $(uname -m) kernel $(uname -r), CPUs online $(cat /sys/devices/system/cpu/online), init may run on $own"

in_list() {  # K LIST: whether CPU K is in a list such as 0-2,5
    awk -v k="$1" -v l="$2" 'BEGIN { n = split(l, p, ",")
        for (i = 1; i <= n; i++) { m = split(p[i], r, "-"); if (k >= r[1] && k <= r[m]) exit 0 }
        exit 1 }'
}

check() {  # name status(0 = pass) details...
    name=$1 status=$2
    shift 2
    if [ "$status" -eq 0 ]; then echo "CHECK $name PASS $*"; else echo "CHECK $name FAIL $*"; fi
}

# Starts "$@" with its output in /tmp/out and /tmp/err; waits up to 20 s for the summary line.
start() {
    : >/tmp/out
    "$@" >/tmp/out 2>/tmp/err &
    pid=$!
    i=0
    while ! grep -q 'count=' /tmp/out && [ "$i" -lt 200 ]; do usleep 100000; i=$((i + 1)); done
    usleep 300000  # let freshly pinned workers be moved to their CPU
}

alive() {  # a zombie is no longer running, though kill -0 still finds it
    [ -r "/proc/$pid/stat" ] && [ "$(awk '{ print $3 }' "/proc/$pid/stat")" != Z ]
}

# SIGINT, then at most 5 s for the tool to end by itself; killed past that (rc 137).
stop() {
    kill -INT "$pid"
    i=0
    while alive && [ "$i" -lt 50 ]; do usleep 100000; i=$((i + 1)); done
    alive && kill -KILL "$pid"
    wait "$pid"
    rc=$?
}

# "tid allowed-list last-cpu" for every thread of the tool, its main thread first.
threads() {
    for t in "/proc/$pid/task/$pid" $(ls -d /proc/$pid/task/* | grep -v "/$pid\$"); do
        echo "${t##*/} $(sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' "$t/status") $(awk '{ print $39 }' "$t/stat")"
    done
}

# Summary line, workers all on K (allowed exactly K, last ran on K), main thread not pinned.
pinned_ok() {  # K N
    grep -qx "hogspin $1, count=$2, ret=1" /tmp/out || return 1
    threads >/tmp/threads
    [ "$(sed 1d /tmp/threads | grep -c "^[0-9]* $1 $1\$")" -eq "$2" ] || return 1
    [ "$(sed 1d /tmp/threads | wc -l)" -eq "$2" ] || return 1
    [ "$(head -n 1 /tmp/threads | awk '{ print $2 }')" = "$own" ]
}

# Exit line after the summary, empty standard error, status 0.
stopped_ok() {  # K
    [ "$rc" -eq 0 ] && [ "$(tail -n 1 /tmp/out)" = "hogspin $1, Exit!" ] && [ "$(wc -l </tmp/out)" -eq 2 ] && [ ! -s /tmp/err ]
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

hotplug_while_loaded() {  # K
    start /hogspin "$1" 2
    pinned_ok "$1" 2
    p=$?
    echo 0 >"/sys/devices/system/cpu/cpu$1/online"
    usleep 500000
    threads >/tmp/threads
    alive || p=1
    [ "$(sed 1d /tmp/threads | awk -v k="$1" '$3 != k' | wc -l)" -eq 2 ] || p=1
    echo "INFO hotplug: cpu$1 offline, workers now (tid allowed last-cpu): $(sed 1d /tmp/threads | paste -sd ';')"
    dmesg | grep 'no longer affine' | sed 's/^/INFO kernel: /'
    echo 1 >"/sys/devices/system/cpu/cpu$1/online"
    usleep 500000
    threads >/tmp/threads
    alive || p=1
    echo "INFO hotplug: cpu$1 back online, workers now (tid allowed last-cpu): $(sed 1d /tmp/threads | paste -sd ';')"
    stop
    stopped_ok "$1" || p=1
    check hotplug-while-loaded "$p" "$(paste -sd ' ' /tmp/out) rc=$rc"
}

# The tool started inside a cgroup v2 cpuset holding CPUS.
in_cpuset() {  # NAME CPUS K EXPECTED-RET
    mkdir -p "/sys/fs/cgroup/$1"
    echo "$2" >"/sys/fs/cgroup/$1/cpuset.cpus"
    start sh -c 'echo $$ >"$0" && exec /hogspin "$@"' "/sys/fs/cgroup/$1/cgroup.procs" "$3" 2
    grep -qx "hogspin $3, count=2, ret=$4" /tmp/out
    p=$?
    # Sampled ten times over a second: no thread may ever be seen outside the cpuset.
    outside=0
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        threads >/tmp/threads
        while read -r _ _ cpu; do in_list "$cpu" "$2" || outside=$((outside + 1)); done </tmp/threads
        usleep 100000
    done
    [ "$outside" -eq 0 ] || p=1
    stop
    stopped_ok "$3" || p=1
    check "$1" "$p" "cpuset $2, cpu $3: $(head -n 1 /tmp/out), threads seen outside: $outside, rc=$rc"
    evidence
}

isolated() {  # K
    start /hogspin "$1" 2
    pinned_ok "$1" 2
    p=$?
    # isolcpus keeps the CPU out of everyone's default affinity, the main thread's too.
    [ "$(head -n 1 /tmp/threads | awk '{ print $3 }')" != "$1" ] || p=1
    in_list "$1" "$(head -n 1 /tmp/threads | awk '{ print $2 }')" && p=1
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
    check load-busy "$p" "cpu$1 busy $busy % over 2 s, busiest other CPU $other %, rc=$rc"
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

case "$board" in
    a53x4)
        for k in 0 1 2 3; do pin "pin-cpu$k" /hogspin "$k" 2; done
        offline_before_start 2
        hotplug_while_loaded 1
        in_cpuset cpuset-excludes 0-1 2 0
        in_cpuset cpuset-includes 1-2 2 1
        isolated 3
        load 2
        pin many-workers /hogspin 1 64
        absent 8
        echo "GUEST /hogspin32: ELF class $(hexdump -s 4 -n 1 -e '1/1 "%d"' /hogspin32) (1: 32-bit)," \
            "machine $(hexdump -s 18 -n 2 -e '1/2 "%d"' /hogspin32) (40: ARM), run by the $(uname -m) kernel"
        pin armhf-pin /hogspin32 1 2
        huge_count /hogspin32 536870912
        huge_count /hogspin32 2000000000
        ;;
    a53x9)
        pin pin-cpu8 /hogspin 8 2
        load 8
        ;;
    x86x8)
        for k in 0 1 2 3 4 5 6 7; do pin "pin-cpu$k" /hogspin "$k" 2; done
        load 5
        pin many-workers /hogspin 6 64
        absent 8
        ;;
    *)
        echo "GUEST no scenarios for board '$board'"
        ;;
esac

echo "BOARD-END $board"
poweroff -f
