# SPDX-License-Identifier: MIT
"""Writing the report: its Markdown, or its table as CSV with the rest on standard error."""
import csv
import math

from .common import FIGURES, boards_, few, figure_of, natural
from .judging import FLOOR, MIN_BOARDS, THRESHOLD, distance, outliers_of


def outlier_line(boards, b, j):
    units = '' if math.isinf(j.figures[b].value) else ' ' + j.units
    median = j.show(j.median) + ('' if math.isinf(j.median) else ' ' + j.units)
    return f'{b} ({boards[b].source}): {j.name} {j.figures[b].text}{units}, median {median}, distance {distance(j.distances[b])}'


def columns(boards, names, figures):
    """The table's figure columns: (heading, prefix, what, owner)."""
    owners = {}
    for j in figures:
        prefix, what, owner, _, column = figure_of(j.name)
        if column:
            owners.setdefault(what, set()).add(owner)
    result = []
    for prefix, what, units, column in FIGURES:
        if column is None:
            continue
        mine = sorted(owners.get(what, set()), key=natural) or [None]
        for owner in [None] if what == 'zone' else mine:
            result.append((column + (f' {owner}' if owner and len(mine) > 1 else ''), prefix, what, owner))
    return result


def cases(soak):
    counts = {r: sum(1 for _, got in soak.cases if got == r) for r in ('pass', 'fail', 'skip')}
    failed = [n for n, got in soak.cases if got == 'fail']
    return counts, failed


def table(boards, names, figures):
    """The rows: board, zone, then (text, outlier, distance) per column, then the cases."""
    by_name = {j.name: j for j in figures}
    heads = columns(boards, names, figures)
    rows = []
    for b in names:
        soak = boards[b]
        for zone in soak.zones() or [None]:
            cells = []
            for _, prefix, what, owner in heads:
                name = prefix + ((zone if what == 'zone' else owner) or '')
                j = by_name.get(name)
                if j is None or (what == 'zone' and zone is None):
                    cells.append(('', False, None))
                elif b in j.figures:
                    cells.append((j.figures[b].text, b in j.outliers, j.distances.get(b)))
                else:
                    cells.append(('skip' if name in soak.skipped else '', False, None))
            rows.append((b, zone, cells, cases(soak), soak.ended))
    return [h for h, *_ in heads], rows


def case_text(counts, failed, ended):
    text = f'{counts["pass"]} pass, {counts["fail"]} fail'
    if failed:
        text += f' ({few(failed, 4)})'
    text += f', {counts["skip"]} skip'
    return text + ('' if ended else '; cut short')


def headline(boards, names, figures):
    """What the reader needs first: the verdict, what it did not cover, and the failed cases."""
    found = outliers_of(figures)
    judged = [j for j in figures if j.median is not None]
    said = []
    if not names:
        said.append('No board: no log holds a soak.')
    elif len(names) < MIN_BOARDS:
        said.append(f'No outlier verdict: {boards_(len(names))}, and a median and its spread need at least {MIN_BOARDS}.')
    elif not judged:
        said.append(f'No outlier verdict: no figure was measured on {MIN_BOARDS} boards.')
    elif found:
        said.append(f'**{len(found)} outlier{"s" if len(found) > 1 else ""}**: '
                    + '; '.join(f'{b} ({few([j.name for j in found[b]], 3)})' for b in sorted(found, key=natural)) + '.')
    else:
        said.append(f'No outlier on the {len(judged)} figures judged: every board lies within {THRESHOLD} of each '
                    'one\'s scale from the batch\'s median.')
    unjudged = sum(1 for j in figures if j.why)
    if unjudged and len(names) >= MIN_BOARDS:
        said.append(f'{unjudged} figure{"s have" if unjudged > 1 else " has"} no verdict (see the notes).')
    # A board that could not be measured is not like the others either, though it is no outlier.
    lacking = {b: sum(1 for j in judged if b not in j.figures) for b in names}
    lacking = {b: n for b, n in lacking.items() if n}
    if lacking:
        said.append('Not judged on every figure: ' + few(f'{b} (lacks {n} of {len(judged)})' for b, n in lacking.items())
                    + '.')
    # Boards of one image may share a host name: their soaks then read as one board's.
    merged = [f'{b} ({boards[b].logs} logs, named by its {boards[b].named_by})' for b in names if boards[b].logs > 1]
    if merged:
        said.append('Soaks from several logs taken as one board\'s, by name: ' + few(merged, 4)
                    + '; a BOARD for each board tells them apart.')
    failed = {b: cases(boards[b])[1] for b in names}
    failed = {b: f for b, f in failed.items() if f}
    if failed:
        said.append('Failed cases: ' + few((f'{b} ({few(f, 3)})' for b, f in failed.items()), 5) + '.')
    return said


def markdown(out, boards, names, figures, notes):
    found = outliers_of(figures)
    judged = [j for j in figures if j.median is not None]
    put = lambda line='': out.write(line + '\n')
    put(f'# hogspin-report: {boards_(len(names))}')
    put()
    put(' '.join(headline(boards, names, figures)))
    put()
    heads, rows = table(boards, names, figures)
    put('## Boards')
    put()
    put('The figures each board\'s soak reported' + (', an outlier\'s in bold' if found else '')
        + '; a skip left none, and an empty cell means no such case.')
    put()
    put('| board | zone | ' + ' | '.join(heads) + ' | cases |')
    put('|' + ' --- |' * 2 + ' ---: |' * len(heads) + ' --- |')
    for b, zone, cells, (counts, failed), ended in rows:
        shown = [f'**{t}**' if hot else t for t, hot, _ in cells]
        put(f'| {b} | {zone or "–"} | ' + ' | '.join(shown) + f' | {case_text(counts, failed, ended)} |')
    put()
    if found:
        put('## Outliers')
        put()
        for b in sorted(found, key=natural):
            for j in found[b]:
                put(f'- {outlier_line(boards, b, j)}')
        put()
    if judged:
        put('## Figures')
        put()
        put(f'Each figure\'s median over the boards that have it, and its scale: 1.4826 × the median '
            f'absolute deviation, but never less than {FLOOR:.0%} of the median nor the figure\'s last digit. A '
            f'board\'s distance is |value − median| / scale; beyond {THRESHOLD} it is an outlier.')
        put()
        put('| figure | units | boards | median | scale | farthest | distance | outliers |')
        put('| --- | --- | ---: | ---: | ---: | --- | ---: | --- |')
        for j in judged:
            far = min(j.distances, key=lambda b: (-j.distances[b], natural(b)))
            scale = '' if j.scale is None else f'{j.scale:.3g}'
            put(f'| {j.name} | {j.units} | {len(j.figures)} | {j.show(j.median)} | {scale} | {far} | '
                f'{distance(j.distances[far])} | {few(j.outliers, 4) or "none"} |')
        put()
        put('## Distances')
        put()
        put('| board | ' + ' | '.join(j.name for j in judged) + ' |')
        put('| --- |' + ' ---: |' * len(judged))
        for b in names:
            cells = ['' if b not in j.distances else
                     f'**{distance(j.distances[b])}**' if b in j.outliers else distance(j.distances[b]) for j in judged]
            put(f'| {b} | ' + ' | '.join(cells) + ' |')
        put()
    notes_section(put, notes)


def notes_section(put, notes):
    if notes:
        put('## Notes')
        put()
        for note in notes:
            put(f'- {note}')
        put()


def comma_separated(out, err, boards, names, figures, notes):
    heads, rows = table(boards, names, figures)
    writer = csv.writer(out, lineterminator='\n')
    writer.writerow(['board', 'log', 'zone'] + [x for h in heads for x in (h, h + ' distance')]
                    + ['pass', 'fail', 'skip', 'failed', 'complete'])
    for b, zone, cells, (counts, failed), ended in rows:
        writer.writerow([b, boards[b].source, zone or ''] + [x for t, _, d in cells for x in (t, '' if d is None else distance(d))]
                        + [counts['pass'], counts['fail'], counts['skip'], ' '.join(failed), 'yes' if ended else 'no'])
    for line in headline(boards, names, figures):
        err.write(f'hogspin-report: {line.replace("**", "")}\n')
    for b, js in sorted(outliers_of(figures).items(), key=lambda i: natural(i[0])):
        for j in js:
            err.write(f'hogspin-report: outlier {outlier_line(boards, b, j)}\n')
    for note in notes:
        err.write(f'hogspin-report: note: {note}\n')

