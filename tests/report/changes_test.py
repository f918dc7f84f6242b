#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The changes found in synthetic soak histories of known truth: noise of several kinds, steps,
a drift, a farm's shared step, and series too short or too flat to judge."""
import math
import os
import random
import statistics
import sys
import unittest
from unittest import mock

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, 'lava'))
from hogspin_report import changes as changes_module  # noqa: E402
from hogspin_report.changes import Point, find_changes, last_digit  # noqa: E402
from hogspin_report.record import brought_to_light  # noqa: E402

DAY = 86400.0
FIG = 'thermal-resistance-soc'


def noise(rng, kind):
    """One draw of noise whose robust σ (1.4826 MAD) is 1."""
    if kind == 't3':
        return rng.gauss(0, 1) / math.sqrt(sum(rng.gauss(0, 1) ** 2 for _ in range(3)) / 3) / 1.134
    if kind == 'laplace':
        return rng.choice((-1, 1)) * rng.expovariate(1 / 0.973)
    if kind == 'flicker':  # whole degrees, one reading in ten a degree up
        return float(rng.random() < 0.1)
    if kind == 'outliers' and rng.random() < 0.03:
        return rng.choice((-10, 10)) + rng.gauss(0, 1)
    return rng.gauss(0, 1)


def history(rng, kind, n, step=0.0, at=0, drift=0.0, kernel_at=None, start=0.0):
    """n nightly soaks about level 40 of noise 1: a step at soak `at`, a drift over them all."""
    points = []
    for i in range(n):
        value = 40 + noise(rng, kind) + (step if i >= at else 0) + drift * i / (n - 1)
        value = round(value) if kind == 'whole' else round(value, 2)
        kernel = '6.6.0' if kernel_at is not None and i >= kernel_at else '6.1.0'
        points.append(Point(start + i * DAY + rng.uniform(0, 3600), value, f'job-{i}', '0.1.0', kernel))
    return points


def found(changes, at, sign):
    return [c for c in changes if abs(int(c.at.source[4:]) - at) <= 2 and c.noise * sign > 0]


class Changes(unittest.TestCase):
    def test_noise_alone_seldom_alarms(self):
        for kind in ('gauss', 't3', 'laplace', 'outliers', 'whole', 'flicker'):
            rng = random.Random(kind)
            alarmed = sum(bool(find_changes({('b', FIG): history(rng, kind, 60)})) for _ in range(200))
            self.assertLessEqual(alarmed, 2, kind)

    def test_steps_are_found_where_they_are(self):
        # kind, step in noise, its soak, soaks, least; how many of 20 series must show it
        for kind, step, at, n, least, most in [
            ('gauss', 3, 50, 100, None, 19), ('gauss', -3, 90, 100, None, 17), ('gauss', 2, 40, 80, 1.5, 15),
            ('t3', 3, 30, 60, None, 18), ('laplace', -5, 50, 100, None, 19), ('outliers', 3, 50, 100, None, 19),
            ('whole', 5, 20, 40, None, 19), ('gauss', 5, 92, 100, None, 19),
            # A heatsink knocked off: seen three soaks after, and in a board's first fortnight.
            ('gauss', 20, 97, 100, None, 19), ('t3', -20, 7, 14, None, 17),
        ]:
            rng = random.Random(f'{kind}{step}{at}')
            hits = extras = 0
            sizes = []
            for _ in range(20):
                changes = find_changes({('b', FIG): history(rng, kind, n, step, at)}, least=least)
                right = found(changes, at, step)
                hits += len(right) == 1
                extras += len(changes) - len(right)
                sizes += [c.noise for c in right]
            self.assertGreaterEqual(hits, most, (kind, step, at))
            self.assertLessEqual(extras, 20 - most, (kind, step, at))  # a change named off its place
            self.assertAlmostEqual(statistics.median(sizes), step, delta=abs(step) * 0.25, msg=(kind, step, at))

    def test_a_drift_is_named_as_a_rise(self):
        rng = random.Random(7)
        for _ in range(10):
            changes = find_changes({('b', FIG): history(rng, 'gauss', 100, drift=6)})
            self.assertTrue(changes)
            self.assertTrue(all(c.noise > 0 for c in changes))

    def test_a_shared_step_is_named_once(self):
        rng = random.Random(3)
        series = {(f'board-{b:02}', FIG): history(rng, 'gauss', 80, 4 if b >= 3 else 0, 50, kernel_at=50)
                  for b in range(30)}
        series['board-07', FIG] = history(rng, 'gauss', 80, -6, 20)  # its own, earlier, other kernel
        series['board-09', FIG] = history(rng, 'gauss', 80, 24, 50, kernel_at=50)  # its own, beyond the farm's
        series['board-08', 'power-idle-soc'] = history(rng, 'gauss', 80)
        changes = find_changes(series)
        shared = [c for c in changes if c.board == '*']
        self.assertEqual(len(shared), 1)
        self.assertGreaterEqual(len(shared[0].boards), 24)
        self.assertFalse({'board-00', 'board-07'} & set(shared[0].boards))
        self.assertIn('kernel 6.1.0 → 6.6.0', shared[0].also)
        self.assertAlmostEqual(shared[0].noise, 4, delta=1)
        # On every CPU, or on one where no pool can be made, the same changes.
        with mock.patch.object(changes_module, 'PARALLEL', 1):
            self.assertEqual(find_changes(series), changes)
            with mock.patch.object(changes_module.multiprocessing, 'get_context', side_effect=OSError(38, 'no semaphores')):
                self.assertEqual(find_changes(series), changes)
        own = [(c.board, int(c.at.source[4:])) for c in changes if c.board != '*']
        self.assertIn(('board-07', 20), own)
        self.assertRegex(' '.join(c.also for c in changes if c.board == 'board-09'),
                         r'^kernel 6\.1\.0 → 6\.6\.0; the farm moved \+[34]\.[0-9]+ then$')
        self.assertLessEqual(len(own), 2)
        self.assertEqual(changes, sorted(changes, key=lambda c: c.at.time))
        self.assertEqual(changes, find_changes(series))

    def test_each_change_comes_to_light_once(self):
        # A farm judging each night with --since: every step turns one night red, a second step
        # soon after the first too. steps: (soak, size in noise); the soaks that must come to light.
        for steps, seen in [([(20, 15)], ['job-20']), ([(20, 15), (23, 15)], ['job-20', 'job-23'])]:
            rng = random.Random(5)
            values = [round(40 + rng.gauss(0, 1) + sum(size for at, size in steps if i >= at), 2) for i in range(40)]
            light = []
            for n in range(20, 32):
                full = {('b', FIG): [Point(i * DAY, v, f'job-{i}') for i, v in enumerate(values[:n])]}
                earlier = {k: [p for p in points if p.time < (n - 1) * DAY] for k, points in full.items()}
                light += [c.at.source for c in brought_to_light(find_changes(full), find_changes(earlier), full)]
            self.assertEqual(sorted(light), seen, steps)

    def test_series_too_short_or_flat_or_odd(self):
        flat = [Point(i * DAY, 40.25, f'job-{i}') for i in range(20)]
        moved = flat + [Point((20 + i) * DAY, 40.3, f'job-{20 + i}') for i in range(20)]
        same_time = [Point(i // 3 * DAY, 40.0 + 5 * (i >= 30), f'job-{i}') for i in range(60)]
        gap = [Point((i + 30 * (i >= 20)) * DAY, 40.0 + 5 * (i >= 20) + i % 2, f'job-{i}') for i in range(40)]
        spike = flat[:-1] + [Point(19 * DAY, 60.0, 'job-19')]

        def nights(values):
            return [Point(i * DAY, v, f'job-{i}') for i, v in enumerate(values)]
        # A flicker that comes or goes with the change is the change: a clock that now throttles
        # two nights in three, a heatsink that now and then lets go, a rare throttle now constant.
        throttles = nights([1800.0] * 30 + [1200.0, 1200.0, 1800.0] * 7)
        lets_go = nights([60.0] * 30 + [75.0, 60.0] * 10)
        constant = nights([1200.0 if i % 10 == 4 else 1800.0 for i in range(30)] + [1200.0] * 10)
        whole_flicker = nights([60.0 + (i % 10 == 3) for i in range(60)])
        # points, the soaks where a change must be named
        for points, at in [([], []), (flat[:1], []), (flat[:2], []), (flat, []), (spike, []), (moved, [20]),
                           (same_time, [30]), (gap, [20]), (throttles, [30]), (lets_go, [30]), (constant, [30]),
                           (whole_flicker, [])]:
            changes = find_changes({('b', FIG): points})
            self.assertEqual([int(c.at.source[4:]) for c in changes], at)
            self.assertTrue(all(abs(c.noise) >= 2 for c in changes))

    def test_last_digit(self):
        for values, digit in [([41.0, 42.0], 1), ([41.25, 40.1], 0.01), ([1e-05], 1e-05), ([], 1),
                              ([1 / 3], 1e-9)]:
            self.assertAlmostEqual(last_digit(values), digit, msg=values)


if __name__ == '__main__':
    unittest.main()
