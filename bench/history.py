#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Benchmark of the farm's history: BOARDS boards x SOAKS nightly soaks read into a new history
and its changes found, then one more night added, each timed as hogspin-report runs them.

    python3 bench/history.py [--boards 600] [--soaks 100] [--keep DIR]

The logs are a stand-in board's soak (tests/report/board-01.log), each board's figures wobbling
by its own noise night to night, one board in twenty with a step of five noise at night 70 %.
Prints a Markdown table. Measurements only.
"""
import argparse
import os
import random
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPORT = os.path.join(ROOT, 'lava', 'hogspin-report')
TEMPLATE = os.path.join(ROOT, 'tests', 'report', 'board-01.log')
DATA = re.compile(r'(hogspin-case,[A-Za-z0-9_-]+,pass,)(-?[0-9]+(?:\.([0-9]+))?)(,[A-Za-z/0-9]+)$')
START = 1767225600  # 2026-01-01T00:00:00Z
NIGHT = 86400


def template():
    with open(TEMPLATE) as f:
        lines = f.read().splitlines()
    return lines


def night_log(lines, board, night, stepped, rng):
    """One soak's log: the board's name and start, its figures with noise, a trace of its own."""
    out = []
    shift = 5.0 if stepped else 0.0
    trace_seen = False
    for line in lines:
        if line.startswith('hogspin-board,'):
            line = (f'hogspin-board,model=Stand-in Board Rev 1.2,kernel=6.18.44,host=farm-{board},board=board-{board},'
                    f'started={time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(START + night * NIGHT + 7200))},'
                    'check=0.1.0')
        elif line.startswith('hogspin-trace,') and not trace_seen and not line.startswith('hogspin-trace,t_s'):
            line += f'{night:04d}'  # each night's trace its own: a soak is its trace
            trace_seen = True
        else:
            match = DATA.match(line)
            if match and match.group(3):
                value, places = float(match.group(2)), len(match.group(3))
                noise = max(abs(value) * 0.01, 10.0 ** -places)
                value += (rng.gauss(0, 1) + shift) * noise
                line = f'{match.group(1)}{value:.{places}f}{match.group(4)}'
        out.append(line)
    return '\n'.join(out) + '\n'


def write_nights(work, lines, boards, nights, first, rng):
    paths = []
    for night in range(first, first + nights):
        folder = os.path.join(work, f'night-{night:03d}')
        os.makedirs(folder, exist_ok=True)
        for b in range(boards):
            stepped = b % 20 == 7 and night >= int(0.7 * (first + nights))
            path = os.path.join(folder, f'board-{b:03d}.log')
            with open(path, 'w') as f:
                f.write(night_log(lines, f'{b:03d}', night, stepped, rng))
            paths.append(path)
    return paths


def timed(args):
    begun = time.monotonic()
    proc = subprocess.run([sys.executable, REPORT] + args, capture_output=True, text=True)
    spent = time.monotonic() - begun
    if proc.returncode not in (0, 1):
        sys.exit(f'hogspin-report failed ({proc.returncode}): {proc.stderr.strip()[-500:]}')
    return spent, proc


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--boards', type=int, default=600)
    parser.add_argument('--soaks', type=int, default=100, help='nights of soaks in the history')
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('--keep', metavar='DIR', help='make the logs and the history in DIR, and keep them')
    args = parser.parse_args()
    rng = random.Random(args.seed)
    lines = template()
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix='hogspin-history-') as scratch:
        work = args.keep or scratch
        begun = time.monotonic()
        logs = write_nights(work, lines, args.boards, args.soaks, 0, rng)
        made = time.monotonic() - begun
        listing = os.path.join(work, 'logs.txt')
        with open(listing, 'w') as f:
            f.write('\n'.join(logs) + '\n')
        history = os.path.join(work, 'farm.db')
        changes = os.path.join(work, 'changes.csv')
        first, proc = timed(['--history', history, '--changes', changes, '--csv', f'@{listing}'])
        with open(changes) as f:
            found = len(f.read().splitlines()) - 1
        night = write_nights(work, lines, args.boards, 1, args.soaks, rng)
        second, _ = timed(['--history', history, '--csv'] + night)
        size = os.path.getsize(history)
    print(f'## The farm\'s history ({args.boards} boards)\n')
    print('| run | soaks | seconds |')
    print('| --- | ---: | ---: |')
    print(f'| a new history, its changes found | {len(logs)} | {first:.1f} |')
    print(f'| one more night added, changes found again | {len(night)} | {second:.1f} |')
    print(f'\n{found} changes named ({args.boards // 20 + (args.boards % 20 > 7)} boards stepped); the history '
          f'takes {size / 1e6:.1f} MB; the logs took {made:.0f} s to write.')


if __name__ == '__main__':
    main()
