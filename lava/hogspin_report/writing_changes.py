# SPDX-License-Identifier: MIT
"""Writing a history's changes: a Markdown section, lines on standard error, a CSV file."""
import csv

from .common import Failure, boards_, few, natural
from .history import stamp
from .names import safe
from .writing import notes_section

HEADER = ['board', 'figure', 'changed_at', 'before', 'after', 'units', 'noise']


def level(looked, change, value):
    places = looked.decimals.get(change.figure, 2) + 1  # a median between two soaks needs a digit more
    text = f'{value:.{places}f}'
    return text.rstrip('0').rstrip('.') if '.' in text else text


def row(looked, change):
    """The CSV's row: noise is the change in units of the board's own noise, signed."""
    return [change.board, change.figure, stamp(change.at.time), level(looked, change, change.before),
            level(looked, change, change.after), looked.units.get(change.figure, ''), f'{change.noise:+.1f}']


def said(looked, change):
    """A change in words: who, what, when and where, how much, and what else changed then."""
    who = f'the farm ({few(sorted(change.boards, key=natural), 4)})' if change.board == '*' else change.board
    units = looked.units.get(change.figure, '')
    text = (f'{who}: {change.figure} {level(looked, change, change.before)} → {level(looked, change, change.after)} '
            f'{units}, {change.noise:+.1f} noise, from the soak of {stamp(change.at.time)} ({change.at.source})')
    return text + (f'; then also {change.also}' if change.also else '')


def headline(looked):
    if not looked.changes and looked.since is not None:
        return (f'No change came to light with the soaks since {stamp(looked.since)} ({boards_(looked.boards)}, '
                f'{looked.soaks} soaks).')
    if not looked.changes:
        return (f'No change in the history ({boards_(looked.boards)}, {looked.soaks} soaks): every board\'s figures '
                'held their level within their own noise.')
    mine = [c for c in looked.changes if c.board != '*']
    farm = [c for c in looked.changes if c.board == '*']
    parts = []
    if farm:
        parts.append(f'the farm\'s ({few(sorted({c.figure for c in farm}, key=natural), 3)})')
    if mine:
        parts.append(few(sorted({c.board for c in mine}, key=natural), 6))
    return f'**{len(looked.changes)} change{"s" if len(looked.changes) > 1 else ""}** in the history: ' \
           + '; '.join(parts) + '.'


def changes_markdown(out, looked, alarm, least, notes, alone=False):
    put = lambda line='': out.write(line + '\n')
    if alone:
        put(f'# hogspin-report: history of {boards_(looked.boards)}')
        put()
    put(f'## Changes')
    put()
    put(f'{looked.added} soak{"s" if looked.added != 1 else ""} added to the history, {looked.soaks} in it. '
        + headline(looked))
    put()
    put(f'Each board\'s figure, soak after soak: a change is a new level that holds, at least {least:g} times the '
        f'board\'s own noise, with a chance of {alarm:g} that a figure which never changed is named. A change many '
        'boards share at once is the farm\'s, named once as `*`.')
    put()
    if looked.changes:
        put('| board | figure | from the soak of | before | after | units | noise | log or job | also changed |')
        put('| --- | --- | --- | ---: | ---: | --- | ---: | --- | --- |')
        for change in looked.changes:
            board, figure, at, before, after, units, noise = row(looked, change)
            if change.board == '*':
                board = f'* ({len(change.boards)} boards)'
            put(f'| {board} | {figure} | {at} | {before} | {after} | {units} | {noise} | {safe(change.at.source)} | '
                f'{change.also} |')
        put()
    notes_section(put, notes)


def changes_lines(err, looked, notes):
    err.write(f'hogspin-report: {headline(looked).replace("**", "")}\n')
    for change in looked.changes:
        err.write(f'hogspin-report: change {said(looked, change)}\n')
    for note in notes:
        err.write(f'hogspin-report: note: {note}\n')


def changes_table(out, looked):
    writer = csv.writer(out, lineterminator='\n')
    writer.writerow(HEADER)
    for change in looked.changes:
        writer.writerow(row(looked, change))


def changes_csv(path, looked):
    try:
        with open(path, 'w', newline='') as f:
            changes_table(f, looked)
    except OSError as e:
        raise Failure(f'cannot write {path}: {e.strerror}')
