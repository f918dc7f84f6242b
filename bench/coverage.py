#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Coverage study of the check's 95 % intervals: random soaks of known truth, written as the
check's own logs and judged by hogspin-check --judge, cut at 1, 1.5, 2, 3 and 5 τ of their slow
pole; and each judged with UNTIL_STEADY=1, to see when it would have ended and how far off.

Prints Markdown tables: per kind of soak and cut, how often the interval held the truth, its
median width and the median error; per kind, the median end in τ and board-minutes, and how
often an ended soak's T∞ lay more than STEADY_TOL from the truth. Measurements only.
"""
import argparse
import math
import os
import random
import statistics
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CUTS = (1.0, 1.5, 2.0, 3.0, 5.0)
AMBIENT = 35.0

# name: (poles as (share of the rise, τ as a fraction of the slow one), noise σ C, AR(1) ρ,
# sensor step C, the governor's ramp as a fraction of τ)
KINDS = {
    'one pole, white, fine': ([(1.0, 1.0)], 0.10, 0.0, 0.001, 0.0),
    'one pole, whole degrees': ([(1.0, 1.0)], 0.30, 0.0, 1.0, 0.0),
    'one pole, correlated': ([(1.0, 1.0)], 0.10, 0.8, 0.001, 0.0),
    'two poles, die and board': ([(0.25, 0.05), (0.75, 1.0)], 0.10, 0.5, 0.001, 0.0),
    'governor ramp': ([(1.0, 1.0)], 0.10, 0.3, 0.001, 0.1),
    'slow pole partly seen': ([(0.7, 0.15), (0.3, 1.0)], 0.05, 0.5, 0.001, 0.0),
}


def response(t, poles, rise, ramp):
    """The rise at t of poles driven by a step, or by a ramp of ramp seconds."""
    total = 0.0
    for share, tau in poles:
        a = share * rise
        if ramp <= 0:
            total += a * (1 - math.exp(-t / tau))
        elif t < ramp:
            total += a * (t - tau * (1 - math.exp(-t / tau))) / ramp
        else:
            total += a * (1 - tau / ramp * (math.exp(-(t - ramp) / tau) - math.exp(-t / tau)))
    return total


def fixed(value, places):
    text = f'{value:.{places}f}'.rstrip('0')
    return text + '0' if text.endswith('.') else text


def write_soak(path, rng, kind):
    """One soak of the kind, long enough for the last cut: its truth and its slow τ (s)."""
    shapes, sigma, rho, step, ramp_share = KINDS[kind]
    tau_slow = math.exp(rng.uniform(math.log(2), math.log(1200)))
    interval = min(2.0, max(0.05, round(tau_slow / 60, 2)))
    rise = rng.uniform(10, 40)
    poles = [(share, frac * tau_slow) for share, frac in shapes]
    # A governor brings the clock up within a second, whatever the board's τ.
    ramp = min(ramp_share * tau_slow, 0.8)
    lines = ['hogspin-board,model=Coverage study,kernel=,host=,board=study',
             'hogspin-trace,t_s,cpu1_busy_pct,cpu1_mhz,soc_c', 'hogspin-limits,max_temp_c=,min_freq_mhz=,max_power_w=']
    noise = 0.0

    def reading(t):
        nonlocal noise
        noise = rho * noise + math.sqrt(1 - rho * rho) * rng.gauss(0, sigma)
        value = AMBIENT + response(max(t, 0), poles, rise, ramp) + noise
        return round(value / step) * step

    for i in range(-10, 0):
        lines.append(f'hogspin-trace,{fixed(i * interval, 6)},0.0,1800,{fixed(reading(i * interval), 3)}')
    lines += ['hogspin-check: summary-ret: pass (study)', 'hogspin-case,summary-ret,pass,,']
    n = int(5 * tau_slow / interval) + 2
    for i in range(n):
        t = i * interval
        # The governor's ramp shows in the clock, 600 MHz up to 1800 in steps of 200.
        mhz = 1800 if t >= ramp else 600 + 200 * int(6 * t / ramp)
        lines.append(f'hogspin-trace,{fixed(t, 6)},100.0,{mhz},{fixed(reading(t), 3)}')
    lines += ['hogspin-check: stop-sigint: pass (study)', 'hogspin-case,stop-sigint,pass,,']
    with open(path, 'w') as f:
        f.write('\n'.join(lines) + '\n')
    return AMBIENT + rise, tau_slow


def judge(check, path, until=None, steady=False):
    """T∞, its interval (or None), τ's interval (or None) and, with UNTIL_STEADY, where the
    judged soak ended (s)."""
    env = dict(os.environ, UNTIL_STEADY='1' if steady else '0')
    argv = [check, '--judge', path] + ([] if until is None else ['--until', fixed(until, 3)])
    out = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=600).stdout
    steady_value, interval, tau, last_t = None, None, None, None
    for line in out.splitlines():
        if line.startswith('hogspin-fit,soc,'):
            steady_value = float(line.split(',tinf_c=')[1].split(',')[0])
        elif line.startswith('hogspin-interval,temp-steady-soc,'):
            low, high = line.split(',')[2:4]
            interval = (float(low), float(high))
        elif line.startswith('hogspin-interval,temp-tau-soc,'):
            low, high = line.split(',')[2:4]
            tau = (float(low), float(high))
        elif line.startswith('hogspin-trace,') and not line.startswith('hogspin-trace,t_s'):
            last_t = float(line.split(',')[1])
    return steady_value, interval, tau, last_t


def study_one(check, seed, kind, workdir, tol):
    rng = random.Random(seed)
    path = os.path.join(workdir, f'soak-{seed}.log')
    truth, tau = write_soak(path, rng, kind)
    rows = []
    for cut in CUTS:
        value, interval, tau_interval, _ = judge(check, path, until=cut * tau)
        rows.append((value, interval, tau_interval))
    value, _, _, end = judge(check, path, steady=True)
    os.unlink(path)
    return kind, truth, tau, rows, (value, end)


def median(values):
    return statistics.median(values) if values else float('nan')


def report(results, tol):
    print('## Intervals of temp-steady at 95 %\n')
    print('| soak | cut (τ) | soaks | judged | interval held | median half-width (C) | median error (C) | half-width / error | τ\'s interval held |')
    print('| --- | --- | --- | --- | --- | --- | --- | --- | --- |')
    for kind in KINDS:
        mine = [r for r in results if r[0] == kind]
        for i, cut in enumerate(CUTS):
            judged = [(truth, row[i][0], row[i][1]) for _, truth, _, row, _ in mine if row[i][0] is not None]
            taus = [(tau, row[i][2]) for _, _, tau, row, _ in mine if row[i][2] is not None]
            tau_held = sum(1 for tau, iv in taus if iv[0] <= tau <= iv[1])
            bounded = [(t, v, iv) for t, v, iv in judged if iv is not None]
            held = sum(1 for t, v, iv in bounded if iv[0] <= t <= iv[1])
            width = median([(iv[1] - iv[0]) / 2 for _, _, iv in bounded])
            error = median([abs(v - t) for t, v, _ in judged])
            share = f'{100 * held / len(bounded):.1f} %' if bounded else '–'
            print(f'| {kind} | {cut:g} | {len(mine)} | {len(judged)} ({len(bounded)} bounded) | {share} | {width:.3f} | {error:.3f} | '
                  f'{width / error if error > 0 else float("nan"):.1f} | '
                  f'{f"{100 * tau_held / len(taus):.1f} %" if taus else "–"} |')
    print(f'\n## UNTIL_STEADY=1 (STEADY_TOL {tol:g} C)\n')
    print('| soak | soaks | ended | median end (τ) | median board-minutes | T∞ off by more than STEADY_TOL |')
    print('| --- | --- | --- | --- | --- | --- |')
    for kind in KINDS:
        mine = [r for r in results if r[0] == kind]
        ended = [(truth, tau, v, end) for _, truth, tau, _, (v, end) in mine if end is not None and end < 5 * tau - 1e-6]
        off = sum(1 for truth, _, v, _ in ended if v is None or abs(v - truth) > tol)
        print(f'| {kind} | {len(mine)} | {len(ended)} | {median([end / tau for _, tau, _, end in ended]):.2f} | '
              f'{median([end / 60 for _, _, _, end in ended]):.1f} | {off} ({100 * off / len(ended) if ended else 0:.1f} %) |')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--soaks', type=int, default=100, help='soaks of each kind (default 100)')
    parser.add_argument('--check', default=os.path.join(ROOT, 'build', 'hogspin-check'))
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('--jobs', type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()
    tol = float(os.environ.get('STEADY_TOL', '1'))
    with tempfile.TemporaryDirectory() as workdir, ThreadPoolExecutor(args.jobs) as pool:
        jobs = [pool.submit(study_one, args.check, args.seed * 100003 + i * len(KINDS) + k, kind, workdir, tol)
                for i in range(args.soaks) for k, kind in enumerate(KINDS)]
        results = [job.result() for job in jobs]
    report(results, tol)
    return 0


if __name__ == '__main__':
    sys.exit(main())
