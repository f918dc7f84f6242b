# SPDX-License-Identifier: MIT
"""Drawing a farm's history with gnuplot: a panel per change, the figure over time, the farm's median behind."""
import math
import os
import re
import statistics
import sys
import tempfile
import time

from .common import natural
from .drawing import PANELS, number, plot
from .judging import MIN_BOARDS
from .names import plot_names

DAY = 86400
FAINT = 100  # a farm-wide change draws at most this many of its boards: beyond, the picture only grows
# What a title takes of a change's own words and of units; the rest is '_', so no quote, backquote,
# '@' or backslash reaches gnuplot from them.
UNSAFE_TEXT = re.compile(r'[^A-Za-z0-9 .,:+=()/%°µ_-]')


def plain(text):
    return UNSAFE_TEXT.sub('_', str(text))


def finite(points):
    return [p for p in points if math.isfinite(p.time) and math.isfinite(p.value)]


def farm_median(series, figure):
    """[(noon of the UTC day, median)] of figure: each board's own median of the day first, so a
    board soaked twice that day counts once; days with fewer boards than the farm's verdict needs
    (or than the farm has, if fewer) are left out, as one board's value is no farm's."""
    days = {}
    boards = 0
    for (board, name), points in series.items():
        if name != figure or not points:
            continue
        boards += 1
        own = {}
        for p in finite(points):
            own.setdefault(int(p.time // DAY), []).append(p.value)
        for day, values in own.items():
            days.setdefault(day, []).append(statistics.median(values))
    need = min(MIN_BOARDS, boards)
    return [(day * DAY + DAY / 2, statistics.median(v)) for day, v in sorted(days.items()) if len(v) >= need]


def time_format(first, last):
    if last - first <= 2 * DAY:
        return '%m-%d %H:%M'
    if last - first <= 300 * DAY and time.gmtime(first).tm_year == time.gmtime(last).tm_year:
        return '%m-%d'
    return '%Y-%m-%d'


def spans(change, changes, first, last):
    """Where the level before and the level after hold: from the change before it on the same
    series (or the series' start) to this one, and on to the next one (or the series' end)."""
    at = change.at.time
    times = [c.at.time for c in changes if (c.board, c.figure) == (change.board, change.figure)]
    start = max([t for t in times if t < at], default=first)
    end = min([t for t in times if t > at], default=last)
    return (min(start, at), at), (at, max(end, at))


def write_levels(work, data, change, changes, first, last):
    """The before and after levels as two segments in data; whether there was a level to write."""
    blocks = []
    for (t0, t1), level in zip(spans(change, changes, first, last), (change.before, change.after)):
        if math.isfinite(level):
            blocks.append(f'{number(t0)} {number(level)}\n{number(t1)} {number(level)}\n')
    with open(os.path.join(work, data), 'w') as f:
        f.write('\n\n'.join(blocks))
    return bool(blocks)


def write_points(work, data, blocks):
    """Each list of (time, value) as a gnuplot block of data; the times written, for the range."""
    times = []
    with open(os.path.join(work, data), 'w') as f:
        f.write('\n\n'.join(''.join(f'{number(t)} {number(v)}\n' for t, v in block) for block in blocks))
    for block in blocks:
        times += [t for t, _ in block]
    return times


def panel(work, k, change, changes, series, median, units, plotted):
    """One change's panel: its title, axis and plot lines, its data written in work."""
    at = change.at.time
    farm = change.board == '*'
    median_times = write_points(work, f'median-{k}.dat', [median])
    parts = []
    if median:
        parts.append(f"'median-{k}.dat' using 1:2 with lines lw {3 if farm else 4} "
                     f"lc rgb '{'black' if farm else 'grey75'}' title 'farm median, by day'")
    if farm:
        covered = sorted(change.boards or {b for b, f in series if f == change.figure and b != '*'}, key=natural)
        drawn = [b for b in covered if finite(series.get((b, change.figure), []))][:FAINT]
        times = write_points(work, f'points-{k}.dat',
                             [[(p.time, p.value) for p in finite(series[(b, change.figure)])] for b in drawn])
        if drawn:
            shown = f'{len(drawn)} of {len(covered)} boards' if len(drawn) < len(covered) else 'its boards'
            parts.insert(0, f"for [i=0:{len(drawn) - 1}] 'points-{k}.dat' index i using 1:2 with lines "
                         f"lc rgb '#c8c8c8' title (i == 0 ? '{shown}' : '')")
        who = f'farm, {len(covered)} boards'
    else:
        times = write_points(work, f'points-{k}.dat',
                             [[(p.time, p.value) for p in finite(series.get((change.board, change.figure), []))]])
        if times:
            parts.append(f"'points-{k}.dat' using 1:2 with linespoints pt 7 ps 0.6 lc rgb 'blue' "
                         f'title "{plotted[change.board]}"')
        who = plotted[change.board]
    # A board's panel spans the board's soaks; the farm's median past them would squeeze them.
    span = times or median_times or [at]
    first, last = min(span + [at]), max(span + [at])
    if write_levels(work, f'levels-{k}.dat', change, changes, first, last):
        parts.append(f"'levels-{k}.dat' using 1:2 with lines lw 2 lc rgb 'red' title 'level before, after'")
    pad = max((last - first) * 0.03, 3600)
    unit = plain(units.get(change.figure, ''))
    title = f'{who}: {plot_names([change.figure])[change.figure]}{f" ({unit})" if unit else ""}\\n' \
            f'{plain(f"{change.noise:+.1f}")} noise, at {time.strftime("%Y-%m-%d %H:%M", time.gmtime(at))} UTC'
    if change.also:
        title += ', ' + plain(change.also)[:60]
    fmt = time_format(first, last)
    program = [f'set title "{title}"', f'set format x "{fmt}"',
               f'set xrange ["{number(first - pad)}":"{number(last + pad)}"]',
               'unset arrow', f"set arrow from {number(at)}, graph 0 to {number(at)}, graph 1 nohead "
                              "dt 2 lw 2 lc rgb 'red' front",
               'set xtics rotate by 30 right font ",' + ('8"' if ' ' in fmt else '10"')]
    # Nothing finite to draw still gives the panel, its title and its mark.
    program.append('plot ' + ', '.join(parts) if parts else 'plot [][0:1] NaN notitle')
    return program


def draw_history(svg, series, changes, units, timeout):
    """A panel per change (up to PANELS): the board's figure over time, or a farm-wide change's
    boards, with the change marked, the levels before and after it, and the farm's median of the
    figure by day behind. Only safe names (plot_names) and plain numbers reach gnuplot."""
    shown = changes[:PANELS]
    if len(changes) > PANELS:
        sys.stderr.write(f'hogspin-report: the history picture leaves out {len(changes) - PANELS} changes: '
                         f'past {PANELS} panels\n')
    plotted = plot_names(sorted(({b for b, _ in series} | {c.board for c in shown}) - {'*'}))
    count = max(1, len(shown))
    across = min(3, count)
    down = math.ceil(count / across)
    program = [f"set terminal svg size {across * 480},{down * 360} dynamic font 'sans,10' background rgb 'white'",
               "set output 'history.svg'", 'set termoption noenhanced', 'set grid',
               'set key outside top center horizontal font ",8"', 'set xdata time', 'set timefmt "%s"',
               f'set multiplot layout {down},{across}']
    medians = {}
    with tempfile.TemporaryDirectory() as work:
        for k, change in enumerate(shown):
            if change.figure not in medians:
                medians[change.figure] = farm_median(series, change.figure)
            program += panel(work, k, change, changes, series, medians[change.figure], units, plotted)
        if not shown:
            program += ['set title "no change found in the history"', 'unset key', 'set xdata',
                        'unset xtics', 'unset ytics', 'plot [0:1][0:1] NaN notitle']
        program.append('unset multiplot')
        plot(work, 'history', program, svg, timeout)
