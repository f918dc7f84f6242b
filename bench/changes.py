#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Study of the report's changes on soak histories of known truth: how often noise alone is named
a change, per kind of noise; how often a step is found, in its place, and how many nightly soaks
after it a farm judging its history each night first sees it; one farm's shared step; the time
to judge 600 boards' 15 figures over 100 soaks.

Prints Markdown tables. Noise is sized by its robust σ (1.4826 MAD), the units a change is
sized in; the quantised kind is Gaussian printed to whole units of that σ.
"""
import argparse
import math
import os
import random
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, 'lava'))
from hogspin_report.changes import ALARM, LEAST, Point, find_changes  # noqa: E402

DAY = 86400.0
SOAKS = 100
KINDS = ('Gaussian', 't3', 'Laplace', 'Gaussian, 3 % outliers', 'quantised')
FLICKER = 'whole units, one in ten a unit up'  # a sensor of whole degrees near a step: noise alone
NEAR = 2  # a step is found when a change of its sign is named within this many soaks of it
LATEST = 30  # nights after a step that the nightly judging is followed


def noise(rng, kind):
    if kind == FLICKER:
        return float(rng.random() < 0.1)
    if kind == 't3':  # t3's robust σ is 1.134 of its scale
        return rng.gauss(0, 1) / math.sqrt(sum(rng.gauss(0, 1) ** 2 for _ in range(3)) / 3) / 1.134
    if kind == 'Laplace':  # its robust σ is 1.028 of its scale
        return rng.choice((-1, 1)) * rng.expovariate(1.028)
    if kind.endswith('outliers') and rng.random() < 0.03:
        return rng.choice((-10, 10)) + rng.gauss(0, 1)
    return rng.gauss(0, 1)


def history(rng, kind, step=0.0, at=SOAKS, kernel_at=None, start=0.0):
    """SOAKS nightly soaks about 40 of robust σ 1, with a step at soak `at`; their source is i."""
    points = []
    for i in range(SOAKS):
        value = 40 + noise(rng, kind) + (step if i >= at else 0)
        value = round(value) if kind in ('quantised', FLICKER) else round(value, 2)
        kernel = '6.6.0' if kernel_at is not None and i >= kernel_at else '6.1.0'
        points.append(Point(start + i * DAY + rng.uniform(0, 3600), value, str(i), '0.1.0', kernel))
    return points


def hit(changes, at, step):
    return any(abs(int(c.at.source) - at) <= NEAR and c.noise * step > 0 for c in changes)


def false_alarms(rng, n):
    print(f'## Noise alone: series of {SOAKS} soaks named as changed\n')
    print('| noise | series | named | share |')
    print('| --- | --- | --- | --- |')
    total = 0
    kinds = KINDS + (FLICKER,)
    for kind in kinds:
        named = sum(bool(find_changes({('b', 'f'): history(rng, kind)})) for _ in range(n))
        total += named
        print(f'| {kind} | {n} | {named} | {100 * named / n:.2f} % |')
    print(f'| all | {n * len(kinds)} | {total} | {100 * total / (n * len(kinds)):.2f} % |')


def first_night(points, at, step):
    """Soaks after the step (the first stepped one counted) when nightly judging first names it."""
    for seen in range(1, min(LATEST, SOAKS - at) + 1):
        if hit(find_changes({('b', 'f'): points[:at + seen]}), at, step):
            return seen
    return None


def steps(rng, n):
    print(f'\n## Steps at a random soak in 20–80 of {SOAKS}, noise kinds in turn\n')
    print('| step (noise) | series | found in place | named elsewhere only | missed | median nights to find '
          '| 90 % found by |')
    print('| --- | --- | --- | --- | --- | --- | --- |')
    for size in (2, 3, 5):
        found = elsewhere = 0
        nights = []
        for i in range(n):
            step = size * rng.choice((-1, 1))
            at = rng.randint(20, 80)
            points = history(rng, KINDS[i % len(KINDS)], step, at)
            changes = find_changes({('b', 'f'): points})
            if hit(changes, at, step):
                found += 1
                nights.append(first_night(points, at, step) or math.inf)
            elif changes:
                elsewhere += 1
        nights.sort()
        late = nights[int(0.9 * len(nights))] if nights else math.inf
        print(f'| {size} | {n} | {100 * found / n:.1f} % | {100 * elsewhere / n:.1f} % | '
              f'{100 * (n - found - elsewhere) / n:.1f} % | {statistics.median(nights) if nights else "-"} | '
              f'{late if late < math.inf else f"> {LATEST}"} |')


def farm(rng, boards, figures, step=3.0, at=60):
    """boards × figures series; the first figure steps on every board at `at`, with a new kernel."""
    series = {}
    for b in range(boards):
        for f in range(figures):
            shared = f == 0
            series[f'board-{b:03}', f'figure-{f:02}'] = history(
                rng, KINDS[(b + f) % len(KINDS)], step if shared else 0.0, at, at if shared else None)
    return series


def farm_study(rng):
    series = farm(rng, 30, 1)
    changes = find_changes(series)
    shared = [c for c in changes if c.board == '*']
    print('\n## One farm: 30 boards, a shared step of 3 noise at soak 60 with a new kernel\n')
    for c in changes:
        print(f'- {c.board} {c.figure} at soak {c.at.source}: {c.before:g} → {c.after:g} ({c.noise:+.1f} noise)'
              + (f', {len(c.boards)} boards' if c.boards else '') + (f'; {c.also}' if c.also else ''))
    print(f'\nNamed as the farm\'s: {len(shared)}; as a board\'s own: {len(changes) - len(shared)}.')


def timing(rng):
    series = farm(rng, 600, 15)
    start = time.monotonic()
    changes = find_changes(series)
    spent = time.monotonic() - start
    print(f'\n## Time\n\n600 boards × 15 figures × {SOAKS} soaks ({len(series)} series): {spent:.2f} s, '
          f'the series judged on one CPU; {len(changes)} changes named.')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--series', type=int, default=500, help='series per noise kind and per step size')
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('--no-timing', action='store_true', help='skip the 9,000 series timed')
    args = parser.parse_args()
    rng = random.Random(args.seed)
    print(f'# Changes (alarm {ALARM:g}, least {LEAST:g} noise, seed {args.seed})\n')
    false_alarms(rng, args.series)
    steps(rng, args.series)
    farm_study(rng)
    if not args.no_timing:
        timing(rng)


if __name__ == '__main__':
    main()
