#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Benchmark of hogspin beside the tools a user would pick instead: start-up, load fidelity,
stop, memory and binary size, on a quiet machine and with every other CPU busy.

Prints a Markdown report. Measurements only: it judges no figure and installs nothing.
"""
import argparse
import datetime
import os
import platform
import random
import resource
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

INF = float("inf")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "lava"))
from hogspin_report import children  # noqa: E402  (every process started is recorded, and ended by PID whatever happens)


# --- processes -----------------------------------------------------------------------------

def spawn(argv, cpus, **kwargs):
    """Starts argv with the given CPU affinity, in its own session so a group signal reaches
    all of it, as Ctrl-C in a terminal would. The child inherits the affinity at fork; this
    process only holds it for the moment of the fork."""
    own = os.sched_getaffinity(0)
    os.sched_setaffinity(0, cpus)
    try:
        return children.spawn(argv, **kwargs)
    finally:
        os.sched_setaffinity(0, own)


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode()
    except OSError:
        return None


def stat_fields(path):
    """Fields of a /proc stat file after the command name, which may hold spaces."""
    text = read_file(path)
    if text is None:
        return None
    return text[text.rindex(")") + 2:].split()


def descendants(root):
    """PIDs of every live process below root, found through their parent links."""
    children = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            fields = stat_fields(f"/proc/{name}/stat")
            if fields and fields[0] != "Z":
                children.setdefault(int(fields[1]), []).append(int(name))
    found, todo = [], [root]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def threads(pid):
    try:
        return [int(t) for t in os.listdir(f"/proc/{pid}/task")]
    except OSError:
        return []


def affinity(tid):
    try:
        return os.sched_getaffinity(tid)
    except OSError:
        return None


def is_gone(pid):
    fields = stat_fields(f"/proc/{pid}/stat")
    return fields is None or fields[0] in ("Z", "X")


# --- tools ---------------------------------------------------------------------------------

class Tool:
    """A load tool: how to start it and which of its tasks are the workers.

    workers is 'threads' (threads of the process but its main one), 'children' (every
    process below it) or 'self' (the process itself)."""

    def __init__(self, name, binary, install_hint, argv, workers, counts=None):
        self.name, self.binary, self.install_hint = name, binary, install_hint
        self.argv, self.workers, self.counts = argv, workers, counts

    def worker_tasks(self, root):
        if self.workers == "threads":
            return [t for t in threads(root) if t != root]
        if self.workers == "children":
            return [t for pid in descendants(root) for t in threads(pid)]
        return threads(root)

    def all_pids(self, root):
        return [root] + descendants(root)


def make_tools(hogspin, others):
    spin = "while :; do :; done"
    off_k = ",".join(str(c) for c in others)
    tools = [Tool("hogspin", hogspin, None, lambda n, k: [hogspin, str(k), str(n)], "threads")]
    if off_k:
        # The same with its unpinned main thread kept off K, so that it never queues behind
        # its own workers there.
        tools.append(Tool("hogspin, main off K", hogspin, None,
                          lambda n, k: ["taskset", "-c", off_k, hogspin, str(k), str(n)], "threads"))
    return tools + [
        Tool("stress-ng", shutil.which("stress-ng"), "apt-get install stress-ng",
             lambda n, k: ["stress-ng", "--cpu", str(n), "--taskset", str(k), "--cpu-method", "loop"],
             "children"),
        Tool("stress", shutil.which("stress"), "apt-get install stress",
             lambda n, k: ["taskset", "-c", str(k), "stress", "-c", str(n)], "children"),
        Tool("sh loop", shutil.which("sh"), None,
             lambda n, k: ["taskset", "-c", str(k), "sh", "-c", spin], "self", counts=[1]),
    ]


# --- one run -------------------------------------------------------------------------------

def cpu_times(k):
    for line in read_file("/proc/stat").splitlines():
        if line.startswith(f"cpu{k} "):
            values = [int(v) for v in line.split()[1:]]
            return sum(values[:8]), values[3] + values[4]  # total, idle + iowait
    raise RuntimeError(f"cpu{k} not in /proc/stat")


def runtime_ns(pid, tid):
    text = read_file(f"/proc/{pid}/task/{tid}/schedstat")
    return int(text.split()[0]) if text else 0


def last_cpu(pid, tid):
    fields = stat_fields(f"/proc/{pid}/task/{tid}/stat")
    return int(fields[36]) if fields else None


def task_owner(tool, root):
    """Maps each task of the tool to its process."""
    return {tid: pid for pid in tool.all_pids(root) for tid in threads(pid)}


def measure_run(tool, n, k, stop_signal, window, start_bound, stop_bound):
    result = {}
    line_wanted = tool.binary.endswith("hogspin")
    all_cpus = os.sched_getaffinity(0) | {k}
    t0 = time.monotonic()
    proc = spawn(tool.argv(n, k), all_cpus, stdout=subprocess.PIPE if line_wanted else subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)
    try:
        # Start-up: every worker exists and is pinned to k; for hogspin also its summary line.
        pinned_at = line_at = None
        out = b""
        pinned = set()  # workers already seen pinned: a pinning is never undone
        while time.monotonic() - t0 < start_bound and (pinned_at is None or (line_wanted and line_at is None)):
            if line_wanted and line_at is None and select.select([proc.stdout], [], [], 0)[0]:
                out += os.read(proc.stdout.fileno(), 4096)
                if b"\n" in out:
                    line_at = time.monotonic()
            if pinned_at is None:
                workers = tool.worker_tasks(proc.pid)
                if len(workers) >= n:
                    pinned.update(t for t in workers if t not in pinned and affinity(t) == {k})
                    if pinned.issuperset(workers):
                        pinned_at = time.monotonic()
            if children.poll(proc) is not None:
                break
            # Polling harder would take CPU time from the tool that is starting.
            time.sleep(0.0005)
        # A bound that ran out counts as infinite: it is the worst and shows as a timeout.
        result["start"] = (pinned_at - t0) * 1000 if pinned_at else INF
        if line_wanted:
            result["line"] = (line_at - t0) * 1000 if line_at else INF
        if pinned_at is not None:
            measure_load(tool, proc.pid, k, window, result)
        # Stop: from the signal until every process and thread of the tool has gone. The
        # signal lands at a random moment, as a user's would, not in step with any poll.
        pids = tool.all_pids(proc.pid)
        time.sleep(random.uniform(0, 0.5))
        t_signal = time.monotonic()
        if proc.returncode is None:  # a reaped leader's group may be another's by now
            os.killpg(proc.pid, stop_signal)
        while time.monotonic() - t_signal < stop_bound:
            if children.poll(proc) is not None and all(is_gone(p) for p in pids):
                result["stop"] = (time.monotonic() - t_signal) * 1000
                break
            time.sleep(0.0005)
        else:
            result["stop"] = INF
            for pid in pids:  # leftovers that outlived their parent
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
    finally:
        children.end(proc)
    return result


def measure_load(tool, root, k, window, result):
    owner = task_owner(tool, root)
    workers = set(tool.worker_tasks(root))
    private = pss = 0
    for pid in set(owner.values()):
        for line in (read_file(f"/proc/{pid}/smaps_rollup") or "").splitlines():
            key, _, value = line.partition(":")
            if key in ("Private_Clean", "Private_Dirty"):
                private += int(value.split()[0])
            elif key == "Pss":
                pss += int(value.split()[0])
    result["private"], result["pss"] = private / 1024, pss / 1024

    # Time of tasks that may run elsewhere than k counts as time on other CPUs: an upper
    # bound, since such a task may also have run on k.
    unpinned = {t for t in owner if affinity(t) != {k}}
    seen_off = set()
    run0 = {t: runtime_ns(owner[t], t) for t in owner}
    total0, idle0 = cpu_times(k)
    t_start = time.monotonic()
    steps = 20
    for step in range(steps):
        for t in workers:
            cpu = last_cpu(owner[t], t)
            if cpu is not None and cpu != k:
                seen_off.add(t)
        time.sleep(max(0.0, t_start + window * (step + 1) / steps - time.monotonic()))
    total1, idle1 = cpu_times(k)
    elapsed = time.monotonic() - t_start
    off_ns = sum(runtime_ns(owner[t], t) - run0[t] for t in unpinned | seen_off)
    result["busy"] = 100.0 * (1 - (idle1 - idle0) / max(1, total1 - total0))
    result["other_ms_per_s"] = off_ns / 1e6 / elapsed
    result["seen_off"] = len(seen_off)


# --- the farm check's own cost -------------------------------------------------------------

def standin_sysfs(root, zones=8, meters=4, cpus=8):
    """A stand-in /sys with zones thermal zones and meters hwmon power meters, and cpus CPUs,
    each a policy of its own with its clock, its cap and its time_in_state."""
    for cpu in range(cpus):
        os.makedirs(f"{root}/devices/system/cpu/cpu{cpu}/cpufreq/stats")
        for name, value in (("scaling_cur_freq", "1200000"), ("scaling_max_freq", "1800000"), ("related_cpus", f"{cpu}"),
                            ("stats/time_in_state", "1800000 100\n1200000 200")):
            with open(f"{root}/devices/system/cpu/cpu{cpu}/cpufreq/{name}", "w") as f:
                f.write(value + "\n")
    for i in range(zones):
        os.makedirs(f"{root}/class/thermal/thermal_zone{i}")
        for name, value in (("type", f"zone{i}"), ("temp", f"{40000 + 1000 * i}")):
            with open(f"{root}/class/thermal/thermal_zone{i}/{name}", "w") as f:
                f.write(value + "\n")
    for i in range(meters):
        os.makedirs(f"{root}/class/hwmon/hwmon{i}")
        for name, value in (("name", f"ina{i}"), ("power1_input", f"{2500000 + i}")):
            with open(f"{root}/class/hwmon/hwmon{i}/{name}", "w") as f:
                f.write(value + "\n")


def cpu_of(argv, **kwargs):
    """CPU seconds of a command and what it printed; a failing status is no matter here."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    try:
        out = children.run(argv, **kwargs)
    except subprocess.CalledProcessError as error:
        out = error.stdout  # the idle tool fails summary-ret and workers-pinned
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime, out


def measure_check(build_dir, quick):
    """The check's CPU time per sample, from two soak lengths (what both share cancels), beside
    a process that only wakes as often; and the drift of a soak at INTERVAL 0.1. The tool is
    idle (no worker), so that the figure is the check's own."""
    check = os.path.join(build_dir, "hogspin-check")
    # The longer the second soak, the less the start's and the stop's own spread counts.
    short, long_ = (10, 60) if quick else (20, 520)
    runs = 1 if quick else 3
    with tempfile.TemporaryDirectory() as tmp:
        standin_sysfs(f"{tmp}/sys")
        tool = f"{tmp}/idle-hogspin"
        with open(tool, "w") as f:
            f.write(f'#!/bin/sh\nexec "{os.path.join(build_dir, "hogspin")}" "$1" 0\n')
        os.chmod(tool, 0o755)
        # For a list of eight CPUs, which this machine may not have: a tool that says what
        # hogspin says and then only waits for SIGINT, so that the check's own cost is what counts.
        listed = f"{tmp}/idle-listed"
        with open(listed, "w") as f:
            f.write(f"#!{sys.executable}\nimport signal, sys\nsignal.pthread_sigmask(signal.SIG_BLOCK, {{signal.SIGINT}})\n"
                    "print(f'hogspin {sys.argv[1]}, count=1, ret=1', flush=True)\nsignal.sigwait({signal.SIGINT})\n"
                    "print(f'hogspin {sys.argv[1]}, Exit!', flush=True)\n")
        os.chmod(listed, 0o755)

        def soak(samples, interval, cpus="0"):
            env = dict(os.environ, HOGSPIN_SYSFS=f"{tmp}/sys", INTERVAL=f"{interval:g}")
            return cpu_of([check, cpus, "1", f"{samples * interval:.3f}", tool if cpus == "0" else listed], env=env)

        def sleeper(samples):
            return cpu_of([sys.executable, "-c", f"import time\nfor _ in range({samples}): time.sleep(0.05)"])

        per_sample, per_sample_eight, floor = [], [], []
        for _ in range(runs):
            cpu = [soak(n, 0.05)[0] for n in (short, long_)]
            per_sample.append((cpu[1] - cpu[0]) / (long_ - short) * 1000)
            cpu = [soak(n, 0.05, "0-7")[0] for n in (short, long_)]
            per_sample_eight.append((cpu[1] - cpu[0]) / (long_ - short) * 1000)
            woke = [sleeper(n)[0] for n in (short, long_)]
            floor.append((woke[1] - woke[0]) / (long_ - short) * 1000)
        settle = 3 if quick else 60
        out = soak(int(settle / 0.1), 0.1)[1]
    times = [float(line.split(",")[1]) for line in out.splitlines()
             if line.startswith("hogspin-trace,") and not line.startswith("hogspin-trace,t_s")]
    return {"per_sample": per_sample, "per_sample_eight": per_sample_eight, "floor": floor, "short": short, "long": long_, "settle": settle,
            "span": times[-1] - times[0] if times else None, "samples": len(times)}


def check_table(cost):
    med = statistics.median
    rows = [["hogspin-check, 8 zones and 4 meters", f"{med(cost['per_sample']):.3f}", f"{max(cost['per_sample']):.3f}"],
            ["the same with CPU 0-7: eight tools, eight policies", f"{med(cost['per_sample_eight']):.3f}",
             f"{max(cost['per_sample_eight']):.3f}"],
            ["a process that only sleeps 0.05 s as often", f"{med(cost['floor']):.3f}", f"{max(cost['floor']):.3f}"]]
    lines = table("Farm check: CPU time per sample (ms)",
                  f"The check's CPU time over soaks of {cost['short']} and {cost['long']} samples at INTERVAL 0.05, "
                  "the difference divided by the samples between (start and stop cancel), with an idle tool; "
                  f"{len(cost['per_sample'])} run(s). Waking at all costs what the second row shows.",
                  ["what", "median", "worst"], rows)
    span = "–" if cost["span"] is None else f"{cost['span']:.2f} s"
    return lines + [f"Drift: a soak of SETTLE {cost['settle']} s at INTERVAL 0.1 took {cost['samples']} samples, "
                    f"the last {span} after the first.", ""]


# --- report --------------------------------------------------------------------------------

def summary(values, worst=max):
    values = [v for v in values if v is not None]
    return (statistics.median(values), worst(values)) if values else (None, None)


def fmt(value, digits=1):
    if value is None:
        return "–"
    return "timeout" if value == INF else f"{value:.{digits}f}"


def command_version(argv):
    try:
        return children.run(argv).strip().splitlines()[0]
    except (OSError, IndexError, subprocess.CalledProcessError):
        return "unknown"


def machine_lines(k, hogspin, build_dir):
    model = next((l.split(":", 1)[1].strip() for l in read_file("/proc/cpuinfo").splitlines()
                  if l.startswith(("model name", "Model"))), platform.machine())
    mem = read_file("/proc/meminfo").splitlines()[0].split()[1]
    compiler = next((l.split("=", 1)[1] for l in (read_file(f"{build_dir}/CMakeCache.txt") or "").splitlines()
                     if l.startswith("CMAKE_CXX_COMPILER:")), "unknown")
    commit = command_version(["git", "-C", ROOT, "describe", "--always", "--dirty"])
    return [
        f"- Date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC",
        f"- Machine: {model}, {os.cpu_count()} CPUs, {int(mem) // 1024} MiB, {platform.machine()}, "
        f"Linux {platform.release()}",
        f"- Loaded CPU K = {k}; the benchmark itself runs on the other CPUs",
        f"- hogspin {commit}, Release build by {command_version([compiler, '--version'])}",
        f"- stress-ng: {command_version(['stress-ng', '--version'])}",
        f"- stress: {command_version(['stress', '--version'])}",
        f"- sh: {os.path.realpath(shutil.which('sh'))} "
        f"({command_version(['dpkg-query', '-W', '-f=${Version}', 'dash'])})",
        f"- taskset: {command_version(['taskset', '--version'])}",
    ]


def table(title, note, header, rows):
    lines = [f"### {title}", "", note, "", "| " + " | ".join(header) + " |",
             "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return lines + [""]


def report(results, tools, counts, modes, k, hogspin, build_dir, runs, window, bounds, cost):
    def row_values(tool, n, key, worst=max, digits=1, sig=None):
        cells = []
        for mode in modes:
            values = [r.get(key) for r in results.get((tool.name, n, mode), []) if sig is None or r["sig"] == sig]
            cells += [fmt(v, digits) for v in summary(values, worst)]
        return cells

    def rows(key, worst=max, digits=1, sig=None, name=None):
        out = []
        for tool in tools:
            for n in tool.counts or counts:
                if (tool.name, n, modes[0]) in results:
                    out.append([name(tool) if name else tool.name, str(n)] + row_values(tool, n, key, worst, digits, sig))
        return out

    header = ["tool", "N"] + [f"{m} {s}" for m in modes for s in ("median", "worst")]
    lines = ["# hogspin benchmark", ""] + machine_lines(k, hogspin, build_dir) + [
        f"- {runs} run(s) per tool, count, machine state and stop signal; load window {window:g} s", "",
        "Quiet: nothing else runs. Busy: every CPU other than K is kept busy by one plain shell spinner "
        "pinned to it. Worst is the maximum, or for the busy share the minimum.", ""]
    lines += table("Start-up (ms)", "From exec until every worker exists and is pinned to CPU K. For hogspin "
                   f"also until its summary line arrives on a pipe. Timeout: not within {bounds[0]:g} s.", header,
                   rows("start") + [[f"{t.name} (summary line)", str(n)] + row_values(t, n, "line")
                                    for t in tools if t.binary == hogspin
                                    for n in counts if (t.name, n, modes[0]) in results])
    lines += table("CPU K busy (%)", f"Busy share of CPU K over the {window:g} s window, from /proc/stat.",
                   header, rows("busy", worst=min))
    lines += table("Tool CPU time off CPU K (ms per second of load)",
                   "Run time of the tool's tasks not pinned to K, or seen on another CPU, during the window "
                   "(an upper bound: unpinned tasks may also have run on K).", header, rows("other_ms_per_s", digits=3))
    lines += table("Workers seen on another CPU", "Workers whose last CPU was not K in any of 20 samples "
                   "through the window, after start-up.", header, rows("seen_off", digits=0))
    lines += table("Stop after SIGINT (ms)", "From SIGINT to the tool's process group until every process and "
                   f"thread of it is gone, sent at a random moment after the window. Timeout: not within {bounds[1]:g} s.",
                   header, rows("stop", sig="INT"))
    lines += table("Stop after SIGTERM (ms)", "The same with SIGTERM.", header, rows("stop", sig="TERM"))
    lines += table("Private memory (MiB)", "Private_Clean + Private_Dirty summed over the tool's processes, "
                   "from /proc/PID/smaps_rollup.", header, rows("private", digits=2))
    lines += table("PSS (MiB)", "Proportional set size summed over the tool's processes.", header,
                   rows("pss", digits=2))
    size_rows = [[t.name, os.path.realpath(t.binary), f"{os.path.getsize(t.binary):,}"] for t in tools]
    lines += table("Binary size (bytes)", "The executable as installed or built; for the shell loop, the shell.",
                   ["tool", "file", "size"], size_rows)
    lines += check_table(cost)
    return "\n".join(lines)


# --- main ----------------------------------------------------------------------------------

def build(build_dir):
    children.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"],
                 stdout=subprocess.DEVNULL, stderr=None)
    children.run(["cmake", "--build", build_dir, "--target", "hogspin", "hogspin-check"], stdout=subprocess.DEVNULL,
                 stderr=None)
    return os.path.join(build_dir, "hogspin")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="N in 1 and 8, one run each, short window")
    parser.add_argument("--runs", type=int, default=3, help="runs per figure (default 3)")
    parser.add_argument("--window", type=float, default=3.0, help="load window in seconds (default 3)")
    parser.add_argument("--output", help="write the report here instead of standard output")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    args = parser.parse_args()
    counts = [1, 8] if args.quick else [1, 8, 64, 256, 512]
    runs, window = (1, 0.3) if args.quick else (args.runs, args.window)
    start_bound, stop_bound = (10.0, 5.0) if args.quick else (20.0, 10.0)

    # A shell's background job starts with SIGINT ignored, and the peers would inherit that
    # across exec and never stop on it; a handler here is reset to the default in them.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    children.install()

    hogspin = build(args.build_dir)
    cpus = sorted(os.sched_getaffinity(0))
    k = cpus[-1]
    others = [c for c in cpus if c != k]
    tools = []
    for tool in make_tools(hogspin, others):
        if tool.binary:
            tools.append(tool)
        else:
            print(f"skipping {tool.name}: not installed ({tool.install_hint})", file=sys.stderr)
    if others:
        os.sched_setaffinity(0, others)
    else:
        print("only one CPU: the benchmark has to share it with the load", file=sys.stderr)
    modes = ["quiet", "busy"] if others else ["quiet"]

    results = {}
    spinners = []
    try:
        for mode in modes:
            if mode == "busy":
                spinners = [spawn(["sh", "-c", "while :; do :; done"], {c}) for c in others]
            for tool in tools:
                for n in tool.counts or counts:
                    for _ in range(runs):
                        for sig_name, sig in (("INT", signal.SIGINT), ("TERM", signal.SIGTERM)):
                            r = measure_run(tool, n, k, sig, window, start_bound, stop_bound)
                            r["sig"] = sig_name
                            results.setdefault((tool.name, n, mode), []).append(r)
                            print(f"{mode} {tool.name} N={n} SIG{sig_name}: "
                                  + ", ".join(f"{key}={fmt(v, 2) if isinstance(v, float) else v}"
                                              for key, v in r.items() if key != "sig"),
                                  file=sys.stderr)
            for spinner in spinners:
                children.end(spinner)
    finally:
        children.end_all()

    cost = measure_check(args.build_dir, args.quick)
    print("farm check: %s ms CPU per sample" % ", ".join("%.3f" % v for v in cost["per_sample"]), file=sys.stderr)
    text = report(results, tools, counts, modes, k, hogspin, args.build_dir, runs, window,
                  (start_bound, stop_bound), cost)
    # The intervals' coverage on soaks of known truth, judged by the check built here.
    study = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "coverage.py"), "--soaks", "1" if args.quick else "100",
                            "--check", os.path.join(args.build_dir, "hogspin-check")], capture_output=True, text=True, check=True)
    text += "\n\n" + study.stdout.strip()
    # The report's changes over histories of known truth: pure Python, a few seconds.
    study = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "changes.py")] + (["--series", "50"] if args.quick else []),
                           capture_output=True, text=True, check=True)
    text += "\n\n" + study.stdout.strip()
    # A farm's history: 600 boards x 100 nights read in, then one night more (a minute or so).
    study = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "history.py")]
                           + (["--boards", "30", "--soaks", "20"] if args.quick else []),
                           capture_output=True, text=True, check=True)
    text += "\n\n" + study.stdout.strip()
    if args.output:
        with open(args.output, "w") as f:
            f.write(text + "\n")
    else:
        print(text)


if __name__ == "__main__":
    main()
