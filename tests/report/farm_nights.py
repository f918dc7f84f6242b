#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A farm's nights of logs for the history's tests: the stand-in board's log, six boards a night."""
import json
import os
import sqlite3
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), 'lava'))
from hogspin_report import history  # noqa: E402


def nights(d, how, kept):
    """Twenty nights of six boards as logs under d/night-N/, listed in d/nights, made as how says
    (see HISTORY); the database of how made beside them; the write lock, if asked, held."""
    with open(os.path.join(HERE, 'board-01.log'), encoding='utf-8') as f:
        text = f.read()
    listed = []
    for night in range(20):
        for b in range(1, 7):
            board = f'board-{b:02d}'
            first, step = how.get('steps', {}).get(board) or how.get('steps', {}).get('*') or (99, 0)
            kernel = '6.19.1' if '*' in how.get('steps', {}) and night >= first else '6.18.44'
            value = 5.97 + 0.02 * ((b * 7 + night * 3) % 5 - 2) + (step if night >= first else 0)
            started = f'2026-11-{1 if how.get("stuck") else night + 1:02d}T02:00:00Z'
            if how.get('lava') == board:  # no battery-backed clock: the image's date, then seconds since boot
                started = f'2025-01-01T00:00:{night:02d}Z'
            mine = text.replace('kernel=6.18.44-fc-v1374', f'kernel={kernel}')
            judged = ',judged=2026-12-05T03:00:00Z' if how.get('lava') == 'judged again' else ''
            mine = mine.replace('board=board-01\n', f'board={board},started={started},check=0.1.0{judged}\n', 1)
            if how.get('hosts'):  # each its own host, or one image's: all farm-01
                host = 'farm-01' if how['hosts'] == 'image' else f'farm-{b:02d}'
                mine = mine.replace(f'host=farm-01,board={board},', f'host={host},board=,', 1)
            # A check that printed whole units for the first ten nights, then hundredths: 6, then 6.3.
            value += 0.3 if how.get('coarse') else 0
            printed = f'{value:.0f}' if how.get('coarse') and night < 10 else f'{value:.2f}'
            mine = mine.replace(',pass,5.97,K/W', f',pass,{printed},K/W')
            mine = mine.replace('hogspin-trace,0.0,', f'hogspin-trace,0.0{night},', 1)  # a trace of its own
            if how.get('cut') == board and night >= 18:
                mine = mine[:mine.index('hogspin-check: stop-sigint:')]
            if 'lava' in how:  # logged that night, or by a later job that judged the soak again
                dt = f'2026-12-05T03:{59 - night:02d}:{b:02d}' if how['lava'] == 'judged again' else \
                    f'2026-11-{night + 1:02d}T02:00:05'
                mine = ''.join(f'- {{"dt": "{dt}", "lvl": "target", "msg": {json.dumps(line)}}}\n'
                               for line in mine.splitlines())
            path = os.path.join(d, f'night-{night}', f'{board}.log')
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, 'w', encoding='utf-8') as f:
                f.write(mine)
            listed.append(path)
    with open(os.path.join(d, 'nights'), 'w') as f:
        f.write('\n'.join(listed) + '\n')
    with open(os.path.join(d, 'last'), 'w') as f:
        f.write('\n'.join(listed[-6:]) + '\n')
    again = []
    for path in listed[:6]:
        with open(path, encoding='utf-8') as f:
            mine = f.read().replace('T02:00:00Z,check', 'T04:00:00Z,check', 1)
        again.append(path + '.again')
        with open(again[-1], 'w', encoding='utf-8') as f:
            f.write(mine)
    with open(os.path.join(d, 'again'), 'w') as f:
        f.write('\n'.join(again) + '\n')
    with open(os.path.join(d, 'future.log'), 'w', encoding='utf-8') as f:
        f.write(text.replace('board-01\n', 'board-01,started=2099-01-01T00:00:00Z\n', 1))
    db = os.path.join(d, 'h.db')
    if 'file' in how:
        with open(db, 'wb') as f:
            f.write(how['file'])
    if 'sql' in how or 'old' in how:
        with sqlite3.connect(db) as made:
            for statement in how.get('sql', []):
                made.execute(statement)
            if 'old' in how:
                for statement in history.STEPS[0].split(';'):
                    made.execute(statement)
                made.execute("INSERT INTO soaks VALUES (1, 'board-09', 1761962400, 'check', 'x', 1, '', '', '', '', "
                             "'old.log')")
                made.execute(f'PRAGMA application_id = {history.APPLICATION_ID}')
                made.execute('PRAGMA user_version = 1')
        made.close()
    if how.get('damaged'):
        kept(db, listed[:6])
        with open(db, 'r+b') as f:  # an index's page overwritten, as a failing card might
            f.seek(4096 * 2 + 8)
            f.write(bytes(range(256)) * 8)
    if how.get('locked'):
        holder = sqlite3.connect(db, isolation_level=None)
        holder.execute('CREATE TABLE elsewhere (x)')
        holder.execute('BEGIN IMMEDIATE')
        return holder
    return None
