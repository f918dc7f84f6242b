# SPDX-License-Identifier: MIT
"""Drawing the batch with gnuplot: a panel per figure, and each zone's traces overlaid."""
import math
import os
import shutil
import sys
import tempfile

from .children import run_bounded
from .common import Failure, natural
from .judging import MIN_BOARDS, THRESHOLD, outliers_of
from .names import plot_names

PANELS = 48


def number(value):
    return f'{value:.10g}'


def figure_panel(work, data, j, names, index, plotted, size):
    """One figure's panel after its title and axis: a point per board, the outliers named, the
    median and the outlier band; its data written to data in work."""
    with open(os.path.join(work, data), 'w') as f:
        for b in names:
            if b in j.figures and not math.isinf(j.figures[b].value):
                f.write(f'{index[b]} {number(j.figures[b].value)} {1 if b in j.outliers else 0} {plotted[b]}\n')
    parts = []
    if len(j.outliers) < len(j.figures):
        parts.append(f"'{data}' using 1:($3 == 0 ? $2 : NaN) with points pt 7 ps {size} lc rgb 'grey40' title 'board'")
    if j.outliers:
        parts.append(f"'{data}' using 1:($3 == 1 ? $2 : NaN) with points pt 7 ps 1.5 lc rgb 'red' title 'outlier'")
        parts.append(f"'{data}' using 1:($3 == 1 ? $2 : NaN):4 with labels offset 0,1 tc rgb 'red' notitle")
    if j.median is not None and not math.isinf(j.median):
        parts.append(f"{number(j.median)} with lines dt 2 lc rgb 'black' title 'median'")
        if j.scale:
            band = THRESHOLD * j.scale
            parts.append(f"{number(j.median + band)} with lines dt 3 lc rgb 'grey50' title '± {THRESHOLD} scale'")
            parts.append(f"{number(j.median - band)} with lines dt 3 lc rgb 'grey50' notitle")
    return ['plot ' + ', '.join(parts)]


def draw(svg, boards, names, figures, timeout):
    """The figures, a panel each with a point per board, and each zone's traces overlaid. Only
    names of case-name characters (plot_names) and plain numbers reach gnuplot."""
    found = outliers_of(figures)
    palette = ['red', 'dark-orange', 'dark-violet', 'blue', 'dark-green', 'brown']
    colour = {b: palette[i % len(palette)] for i, b in enumerate(sorted(found, key=natural))}
    index = {b: i + 1 for i, b in enumerate(names)}
    plotted = plot_names(names)
    # What enough boards share: a thousand boards of a thousand zones draw no thousand panels.
    enough = min(MIN_BOARDS, len(names))
    shared = {}
    for b in names:
        for z, points in boards[b].traces.items():
            shared[z] = shared.get(z, 0) + bool(points)
    finite = {j.name: sum(1 for f in j.figures.values() if not math.isinf(f.value)) for j in figures}
    panels = [j for j in figures if finite[j.name] >= enough][:PANELS]
    zones = sorted((z for z, n in shared.items() if n >= enough), key=natural)[:PANELS - len(panels)]
    left = sum(1 for n in finite.values() if n) - len(panels) + sum(1 for n in shared.values() if n) - len(zones)
    if left:
        sys.stderr.write(f'hogspin-report: the picture leaves out {left} figures and zones: fewer than {enough} '
                         f'boards have them, or they are past {PANELS} panels\n')
    count = max(1, len(panels) + len(zones))
    across = min(3, count)
    down = math.ceil(count / across)
    size = 1 if len(names) <= 100 else 0.4
    # Few boards are named along the axis; many are numbered, in the table's order.
    tics = ('set xtics rotate by 45 right font ",8" (' + ', '.join(f'"{plotted[b]}" {index[b]}' for b in names) + ')'
            if len(names) <= 40 else 'set xtics autofreq; set xlabel "board, in the order of the table"')
    program = [f"set terminal svg size {across * 440},{down * 330} dynamic font 'sans,10' background rgb 'white'",
               "set output 'report.svg'", 'set termoption noenhanced', 'set grid',
               'set key outside top center horizontal font ",8"',
               f'set multiplot layout {down},{across}']
    with tempfile.TemporaryDirectory() as work:
        for k, j in enumerate(panels):
            # Room above the points for an outlier's name.
            program += [f'set title "{j.name} ({j.units})"', f'set xrange [0.5:{len(names) + 0.5}]', tics,
                        'set offsets 0, 0, graph 0.12, graph 0.05']
            program += figure_panel(work, f'figure-{k}.dat', j, names, index, plotted, size)
        program += ['set xtics norotate autofreq font ",10"', 'set xrange [*:*]', 'set autoscale xfix', 'set offsets',
                    'set xlabel "seconds into the soak"']
        for k, zone in enumerate(zones):
            plain = [b for b in names if boards[b].traces.get(zone) and b not in found]
            marked = [b for b in names if boards[b].traces.get(zone) and b in found]
            parts = []
            for group, data in ((plain, f'trace-{k}.dat'), (marked, f'trace-{k}-outliers.dat')):
                with open(os.path.join(work, data), 'w') as f:
                    f.write('\n\n'.join(''.join(f'{number(t)} {number(v)}\n' for t, v in boards[b].traces[zone])
                                        for b in group))
            if plain:
                parts.append(f"for [i=0:{len(plain) - 1}] 'trace-{k}.dat' index i using 1:2 with lines "
                             "lc rgb 'grey60' notitle")
            for i, b in enumerate(marked):
                parts.append(f"'trace-{k}-outliers.dat' index {i} using 1:2 with lines lw 2 lc rgb '{colour[b]}' "
                             f'title "{plotted[b]}"')
            program += [f'set title "{zone}: every board (°C)"', 'plot ' + ', '.join(parts)]
        if not panels and not zones:
            program += ['set title "nothing to draw: no board has a figure or a trace"', 'unset key',
                        "plot [0:1][0:1] NaN notitle"]
        program.append('unset multiplot')
        plot(work, 'report', program, svg, timeout)


def plot(work, name, program, svg, timeout):
    """Runs program, which writes name.svg, with gnuplot in work, bounded by timeout; the
    picture then copied to svg."""
    with open(os.path.join(work, f'{name}.gp'), 'w') as f:
        f.write('\n'.join(program) + '\n')
    with open(os.devnull, 'wb') as out:
        status, said = run_bounded(['gnuplot', f'{name}.gp'], timeout, out, cwd=work)
    if status != 0:
        raise Failure('gnuplot ' + ('did not end in time: killed' if status is None else f'failed: {said}'))
    try:
        shutil.copyfile(os.path.join(work, f'{name}.svg'), svg)
    except OSError as e:
        raise Failure(f'cannot write {svg}: {e.strerror}')

