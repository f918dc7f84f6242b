#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A stand-in /sys for hogspin-check whose board heats as a real one does: while the hogspin
that a check reading this tree started has workers it draws the load's power, else the idle
power, and every zone moves towards ambient + K/W x power through one or two first-order
stages (a die on a board), with a power meter, an energy counter, the clock, cpufreq's
time_in_state and a cooling device. Following that tool rather than CPU K's busy share keeps
the board at rest until the check starts its load, and at full load then, whatever else runs
on the machine (another check, another hogspin).

    standin_sysfs.py ROOT --cpu K [--zone TYPE:AMBIENT_C:K_PER_W:TAU_S[:K_PER_W:TAU_S] ...]
                     [--idle W] [--load W] [--clock KHZ[:THROTTLED_KHZ:TRIP_C]]
                     [--ramp IDLE_KHZ:SECONDS] [--model TEXT] [--seconds S]
                     [--opp KHZ:UV,... --coefficient UW_PER_MHZ_V2 [--leak-doubling K]
                      [--dt-coefficient N]] [--passive C]

With --ramp a governor keeps the clock at IDLE_KHZ at rest and ramps it to KHZ over SECONDS
once the load starts, through the clocks between.

With --opp the CPU has that table of operating points (its voltages in debugfs), follows the
bounds written to its policy's scaling_min_freq and scaling_max_freq, and draws the idle power
as leakage that doubles every K kelvin above the first zone's ambient, plus under the load
COEFFICIENT x V^2 x f (uW, f in MHz): the kernel's model of a CPU.

The first zone is the CPU's: above TRIP_C the clock drops to THROTTLED_KHZ (and the load's
power with it) until it is 2 C below again, and the cooling device is in state 1 meanwhile.
With --policy the board has clusters instead: each policy's CPUs at a shared clock from its own
table (its voltages in debugfs), bounded by its scaling_min_freq and scaling_max_freq, each
busy CPU drawing COEFF x V^2 x f and the policy's shared part SHARE x V^2 x f while any of its
CPUs is busy, over the idle power's leakage; one zone heated by the sum; and a step-wise
governor that caps every policy one operating point lower at each of its polls while the zone
is above the --passive trip, and lifts a step while it is below the trip less --hyst.

It writes each file in place at a fixed width, as a reader keeps it open, and runs until
SIGTERM or SIGINT, or for S seconds. ROOT/standin_lag_s says by how much, at most, its files
fell further behind the board than a step while the load was on: a busy machine delays it, and
a reader's timed figures with it.
"""
import argparse
import math
import os
import signal
import sys
import time

STEP = 0.02  # s between updates: well inside any INTERVAL the check takes


class Files:
    """Every file of the tree, each rewritten in place at a fixed width."""

    def __init__(self, root):
        self.root = root
        self.fds = {}

    def put(self, path, text, width=0):
        full = os.path.join(self.root, path)
        if path not in self.fds:
            os.makedirs(os.path.dirname(full), exist_ok=True)
            self.fds[path] = os.open(full, os.O_RDWR | os.O_CREAT, 0o644)
        # Blanks before a line's newline keep the length: a reader never sees a file half as long.
        data = "".join(line.ljust(width) + "\n" for line in text.splitlines()).encode()
        os.pwrite(self.fds[path], data, 0)

    def const(self, path, text):
        full = os.path.join(self.root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)


def loaded(root):
    """The CPUs loaded: those of each hogspin (its first argument) that has workers (threads
    besides its main one), not stopped, whose parent is a check that reads this tree (its
    HOGSPIN_SYSFS)."""
    cpus = set()
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry.name) as f:
                if f.read() != "hogspin\n" or len(os.listdir("/proc/%s/task" % entry.name)) < 2:
                    continue
            with open("/proc/%s/stat" % entry.name) as f:
                state, parent = f.read().rsplit(")", 1)[1].split()[:2]
            if state in "Tt":
                continue  # stopped: its load held still
            with open("/proc/%s/environ" % parent, "rb") as f:
                env = [v.split(b"=", 1) for v in f.read().split(b"\0") if b"=" in v]
            if any(k == b"HOGSPIN_SYSFS" and os.path.realpath(v) == os.fsencode(root) for k, v in env):
                with open("/proc/%s/cmdline" % entry.name, "rb") as f:
                    cpus.add(int(f.read().split(b"\0")[1]))
        except (OSError, IndexError, ValueError):
            continue  # ended meanwhile
    return cpus


def read_khz(root, path, before):
    """A bound a check wrote, or the one before while it is half written."""
    try:
        with open(os.path.join(root, path)) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return before


def governor(opps, idle_khz, top, ramp_s, loaded_for):
    """The governor's clock under the load: up its steps from the idle clock over the ramp's time."""
    steps = [f for f in sorted(opps) if idle_khz <= f <= top]
    return steps[min(len(steps) - 1, int(len(steps) * loaded_for / ramp_s))] if ramp_s > 0 else top


def at_rest(args, zones, volts):
    """Every stage of every zone where the idle power holds it, its leakage at that heat included."""
    rises = [[r * args.idle for r, _ in stages] for _, _, stages in zones]
    for _ in range(100 if volts else 0):  # where leakage and heat agree
        leak = args.idle * 2 ** (sum(rises[0]) / args.leak_doubling)
        rises = [[r * leak for r, _ in stages] for _, _, stages in zones]
    return rises


def within(wanted, bounds, opps):
    """The governor's clock held within the policy's bounds, at a clock of the table."""
    wanted = max(min(wanted, bounds[1]), bounds[0])
    return min((f for f in opps if f >= wanted), default=max(opps))


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root")
    parser.add_argument("--cpu", type=int, default=1, help="the CPU whose cpufreq files it writes")
    parser.add_argument("--zone", action="append", default=[], metavar="TYPE:AMBIENT_C:K_PER_W:TAU_S[:K_PER_W:TAU_S]")
    parser.add_argument("--idle", type=float, default=0.5, help="W at rest")
    parser.add_argument("--load", type=float, default=2.0, help="W each loaded CPU adds")
    parser.add_argument("--cluster", type=float, default=0.0, metavar="W",
                        help="W the CPUs' shared part (L2, interconnect) adds while any is loaded")
    parser.add_argument("--clock", default="1800000", metavar="KHZ[:THROTTLED_KHZ:TRIP_C]")
    parser.add_argument("--ramp", default="", metavar="IDLE_KHZ:SECONDS")
    parser.add_argument("--model", default="")
    parser.add_argument("--seconds", type=float, default=3600)
    parser.add_argument("--opp", default="", metavar="KHZ:UV,...")
    parser.add_argument("--coefficient", type=float, default=0.0, metavar="UW_PER_MHZ_V2")
    parser.add_argument("--leak-doubling", type=float, default=25.0, metavar="K")
    parser.add_argument("--dt-coefficient", type=int, default=None)
    parser.add_argument("--passive", type=float, default=None, metavar="C", help="the first zone's passive trip point")
    parser.add_argument("--policy", action="append", default=[], metavar="CPUS:COEFF:SHARE:KHZ:UV,...",
                        help="a cluster: its CPUs (0-1), each one's and their shared uW/MHz/V^2, its table")
    parser.add_argument("--hyst", type=float, default=2.0, metavar="K", help="the passive trip's hysteresis")
    return parser.parse_args()


def write_constants(files, args, zones, opps, volts, cpufreq):
    """The files that never change: names, types, the table, trip points, voltages."""
    for i, zone in enumerate(zones):
        files.const("class/thermal/thermal_zone%d/type" % i, zone[0] + "\n")
    files.const("class/hwmon/hwmon0/name", "ina3221\n")
    files.const("class/hwmon/hwmon0/power1_label", "VDD_CPU\n")
    files.const("class/thermal/cooling_device0/type", "cpufreq-cpu%d\n" % args.cpu)
    files.const(cpufreq + "/scaling_available_frequencies", " ".join("%d" % f for f in opps) + "\n")
    files.const(cpufreq + "/related_cpus", "%d\n" % args.cpu)
    if args.model:
        files.const("firmware/devicetree/base/model", args.model + "\0")
    if args.passive is not None:
        files.const("class/thermal/thermal_zone0/trip_point_0_type", "passive\n")
        files.const("class/thermal/thermal_zone0/trip_point_0_temp", "%d\n" % round(args.passive * 1000))
    for khz, uv in volts.items():
        files.const("kernel/debug/opp/cpu%d/opp:%d/supply-0/u_volt_target" % (args.cpu, khz * 1000), "%d\n" % uv)
    if args.dt_coefficient is not None:
        full = os.path.join(args.root, "devices/system/cpu/cpu%d/of_node/dynamic-power-coefficient" % args.cpu)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(args.dt_coefficient.to_bytes(4, "big"))


def board_of(args):
    """The zones, the clocks (top, throttled, trip, idle, ramp), the table's voltages and the
    governor's steps, as the arguments give them."""
    zones = []
    for given in args.zone or ["cpu-thermal:25:10:1"]:
        kind, ambient, *stages = given.split(":")
        zones.append((kind, float(ambient), [(float(r), float(t)) for r, t in zip(stages[::2], stages[1::2])]))
    clock = [int(x) if i < 2 else float(x) for i, x in enumerate(args.clock.split(":"))]
    top, low, trip = (clock + [clock[0], 1e9])[:3]
    idle_khz, ramp_s = (int(args.ramp.split(":")[0]), float(args.ramp.split(":")[1])) if args.ramp else (top, 0.0)
    volts = {int(k): int(v) for k, v in (pair.split(":") for pair in args.opp.split(","))} if args.opp else {}
    if volts:
        top = max(volts)
        idle_khz = min((f for f in volts if f >= min(idle_khz, top)), default=top)
        low = max((f for f in volts if f <= low), default=min(volts))
    # The governor's steps, as a table of operating points has them.
    opps = sorted(set(volts) or {top, low, idle_khz} | ({(idle_khz + top) // 2} if args.ramp else set()), reverse=True)
    return zones, (top, low, trip, idle_khz, ramp_s), volts, opps


def cpu_list(text):
    """The kernel's list format: "0-1,3" is [0, 1, 3]."""
    cpus = []
    for part in text.split(","):
        first, _, last = part.partition("-")
        cpus += range(int(first), int(last or first) + 1)
    return cpus


class Policy:
    """A cluster: its CPUs at one clock, its table, its bounds and the governor's cap."""

    def __init__(self, given):
        cpus, coeff, share, table = given.split(":", 3)
        self.cpus = cpu_list(cpus)
        self.coeff, self.share = float(coeff), float(share)
        self.volts = {int(k): int(v) for k, v in (pair.split(":") for pair in table.split(","))}
        self.opps = sorted(self.volts, reverse=True)
        self.dir = "devices/system/cpu/cpu%d/cpufreq" % self.cpus[0]
        self.bounds = [min(self.opps), max(self.opps)]
        self.cap = 0  # the cooling device's state: operating points below the top
        self.at_state = {f: 0.0 for f in self.opps}
        self.cooling = [0.0, 0.0]

    def clock(self, root):
        """Its clock: the top of its table, within its bounds and under the governor's cap."""
        self.bounds = [read_khz(root, self.dir + "/scaling_min_freq", self.bounds[0]),
                       read_khz(root, self.dir + "/scaling_max_freq", self.bounds[1])]
        # As the kernel's frequency QoS: the lowest maximum asked holds, a cap's among them,
        # and a minimum above it gives way.
        high = min(self.bounds[1], self.opps[min(self.cap, len(self.opps) - 1)])
        return within(high, [min(self.bounds[0], high), high], self.opps)

    def power(self, khz, busy):
        """W its busy CPUs draw at khz, and their shared part while any is busy."""
        v2f = (self.volts[khz] / 1e6) ** 2 * khz / 1000
        return (busy * self.coeff + (self.share if busy else 0.0)) * 1e-6 * v2f


def write_clusters(files, args, policies):
    """The clusters' files that never change, and their bounds, set once."""
    for i, pol in enumerate(policies):
        for cpu in pol.cpus:
            cpudir = "devices/system/cpu/cpu%d/cpufreq" % cpu
            if cpu != pol.cpus[0]:  # each CPU of a policy shows the policy's directory
                os.makedirs(os.path.join(args.root, "devices/system/cpu/cpu%d" % cpu), exist_ok=True)
                link = os.path.join(args.root, cpudir)
                if not os.path.islink(link):
                    os.symlink("../cpu%d/cpufreq" % pol.cpus[0], link)
        files.const(pol.dir + "/scaling_available_frequencies", " ".join("%d" % f for f in pol.opps) + "\n")
        files.const(pol.dir + "/related_cpus", " ".join("%d" % c for c in pol.cpus) + "\n")
        files.const(pol.dir + "/affected_cpus", " ".join("%d" % c for c in pol.cpus) + "\n")
        files.const(pol.dir + "/scaling_min_freq", "%d\n" % pol.bounds[0])
        files.const(pol.dir + "/scaling_max_freq", "%d\n" % pol.bounds[1])
        files.const("class/thermal/cooling_device%d/type" % i, "cpufreq-cpu%d\n" % pol.cpus[0])
        for khz, uv in pol.volts.items():
            files.const("kernel/debug/opp/cpu%d/opp:%d/supply-0/u_volt_target" % (pol.cpus[0], khz * 1000), "%d\n" % uv)
    for i, zone in enumerate(board_of(args)[0]):
        files.const("class/thermal/thermal_zone%d/type" % i, zone[0] + "\n")
    files.const("class/hwmon/hwmon0/name", "ina3221\n")
    files.const("class/hwmon/hwmon0/power1_label", "VDD_CPU\n")
    if args.passive is not None:
        files.const("class/thermal/thermal_zone0/trip_point_0_type", "passive\n")
        files.const("class/thermal/thermal_zone0/trip_point_0_temp", "%d\n" % round(args.passive * 1000))
        files.const("class/thermal/thermal_zone0/trip_point_0_hyst", "%d\n" % round(args.hyst * 1000))


def run_clusters(args, stop):
    """The board of clusters, stepped until it is stopped."""
    zones = board_of(args)[0]
    policies = [Policy(given) for given in args.policy]
    files = Files(args.root)
    root = os.path.realpath(args.root)
    write_clusters(files, args, policies)
    rises = at_rest(args, zones, True)
    energy, lag, polled = 0.0, 0.0, 0.0
    trip = args.passive if args.passive is not None else 1e9
    clocks = [pol.clock(args.root) for pol in policies]

    def write(power):
        for i, (_, ambient, _) in enumerate(zones):
            files.put("class/thermal/thermal_zone%d/temp" % i, "%d" % round((ambient + sum(rises[i])) * 1000), 8)
        files.put("class/hwmon/hwmon0/power1_input", "%d" % round(power * 1e6), 10)
        files.put("class/hwmon/hwmon0/energy1_input", "%d" % round(energy * 1e6), 14)
        for i, (pol, khz) in enumerate(zip(policies, clocks)):
            files.put(pol.dir + "/scaling_cur_freq", "%d" % khz, 10)
            files.put(pol.dir + "/stats/time_in_state",
                      "".join("%d %-10d\n" % (f, round(pol.at_state[f] * 100)) for f in pol.opps))
            files.put("class/thermal/cooling_device%d/cur_state" % i, "%d" % pol.cap, 2)
            files.put("class/thermal/cooling_device%d/stats/time_in_state_ms" % i,
                      "state0\t%-12d\nstate1\t%-12d\n" % (round(pol.cooling[0]), round(pol.cooling[1])))

    write(args.idle)
    files.put("standin_lag_s", "%.4f" % lag, 8)
    started = then = time.monotonic()
    while not stop and then - started < args.seconds:
        time.sleep(STEP)
        now = time.monotonic()
        dt, then = now - then, now
        cpus = loaded(root)
        clocks = [pol.clock(args.root) for pol in policies]
        dynamic = sum(pol.power(khz, len(cpus & set(pol.cpus))) for pol, khz in zip(policies, clocks))
        power = args.idle * 2 ** (sum(rises[0]) / args.leak_doubling) + dynamic
        energy += power * dt
        for i, (_, _, stages) in enumerate(zones):
            for j, (resistance, tau) in enumerate(stages):
                rises[i][j] = resistance * power + (rises[i][j] - resistance * power) * math.exp(-dt / tau)
        temp0 = zones[0][1] + sum(rises[0])
        polled += dt
        if polled >= 0.1:  # the governor's polling interval
            polled = 0.0
            for pol in policies:
                pol.cap = min(pol.cap + 1, len(pol.opps) - 1) if temp0 > trip else max(pol.cap - 1, 0) if temp0 < trip - args.hyst else pol.cap
        for pol, khz in zip(policies, clocks):
            pol.at_state[khz] += dt
            pol.cooling[1 if pol.cap else 0] += dt * 1000
        write(args.idle * 2 ** (sum(rises[0]) / args.leak_doubling) + dynamic)
        behind = time.monotonic() - (now - dt) - STEP
        if cpus and behind > lag:
            lag = behind
            files.put("standin_lag_s", "%.4f" % lag, 8)
    return 0


def main():
    args = arguments()

    stop = []
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.append(1))
    if args.policy:
        return run_clusters(args, stop)
    zones, (top, low, trip, idle_khz, ramp_s), volts, opps = board_of(args)
    files = Files(args.root)
    root = os.path.realpath(args.root)
    cpufreq = "devices/system/cpu/cpu%d/cpufreq" % args.cpu
    write_constants(files, args, zones, opps, volts, cpufreq)
    # With a table the policy's bounds are the user's to write: set once, then read.
    bounds = [min(opps), max(opps)]
    if volts:
        files.const(cpufreq + "/scaling_min_freq", "%d\n" % bounds[0])
        files.const(cpufreq + "/scaling_max_freq", "%d\n" % bounds[1])

    rises = at_rest(args, zones, volts)
    energy = 0.0
    throttled = zones[0][1] + sum(rises[0]) > trip  # a board hot as it starts is capped at once
    at_state = {f: 0.0 for f in opps}
    loaded_for = 0.0  # s under the load: the governor's ramp
    cooling = [0.0, 0.0]  # ms in state 0 and 1

    def write(power, khz):
        for i, (_, ambient, _) in enumerate(zones):
            files.put("class/thermal/thermal_zone%d/temp" % i, "%d" % round((ambient + sum(rises[i])) * 1000), 8)
        if not volts:
            files.put(cpufreq + "/scaling_max_freq", "%d" % (low if throttled else top), 10)
        files.put("class/hwmon/hwmon0/power1_input", "%d" % round(power * 1e6), 10)
        files.put("class/hwmon/hwmon0/energy1_input", "%d" % round(energy * 1e6), 14)
        files.put(cpufreq + "/scaling_cur_freq", "%d" % khz, 10)
        files.put(cpufreq + "/stats/time_in_state",
                  "".join("%d %-10d\n" % (f, round(at_state[f] * 100)) for f in sorted(at_state, reverse=True)))
        files.put("class/thermal/cooling_device0/cur_state", "%d" % throttled, 2)
        files.put("class/thermal/cooling_device0/stats/time_in_state_ms",
                  "state0\t%-12d\nstate1\t%-12d\n" % (round(cooling[0]), round(cooling[1])))

    # The whole tree exists before the first step: a reader may look for it then.
    write(args.idle, idle_khz)
    lag = 0.0
    files.put("standin_lag_s", "%.4f" % lag, 8)
    started = then = time.monotonic()
    while not stop and then - started < args.seconds:
        time.sleep(STEP)
        now = time.monotonic()
        dt, then = now - then, now
        # Each loaded CPU draws the load's power; their shared part is drawn once.
        cpus = loaded(root)
        busy = float(len(cpus))
        loaded_for = loaded_for + dt if busy else 0.0
        wanted = governor(opps, idle_khz, top, ramp_s, loaded_for) if busy else idle_khz
        if volts:
            bounds = [read_khz(args.root, cpufreq + "/scaling_min_freq", bounds[0]),
                      read_khz(args.root, cpufreq + "/scaling_max_freq", bounds[1])]
            wanted = within(wanted, bounds, opps)
        khz = min(wanted, low) if throttled else wanted
        dynamic = busy * (args.coefficient * 1e-6 * (volts[khz] / 1e6) ** 2 * khz / 1000 if volts else args.load * khz / top)
        dynamic += args.cluster * khz / top if cpus else 0.0
        power = (args.idle * 2 ** (sum(rises[0]) / args.leak_doubling) if volts else args.idle) + dynamic
        energy += power * dt
        for i, (_, _, stages) in enumerate(zones):
            for j, (resistance, tau) in enumerate(stages):
                rises[i][j] = resistance * power + (rises[i][j] - resistance * power) * math.exp(-dt / tau)
        temp0 = zones[0][1] + sum(rises[0])
        throttled = temp0 > trip or (throttled and temp0 > trip - 2)
        at_state[khz] += dt
        cooling[1 if throttled else 0] += dt * 1000
        if volts:  # the meter reads the leakage of the temperature the zone reads
            power = args.idle * 2 ** (sum(rises[0]) / args.leak_doubling) + dynamic
        write(power, khz)
        # Until now the files held the step before's state.
        behind = time.monotonic() - (now - dt) - STEP
        if busy and behind > lag:
            lag = behind
            files.put("standin_lag_s", "%.4f" % lag, 8)
    return 0


if __name__ == "__main__":
    sys.exit(main())
