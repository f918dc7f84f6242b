# SPDX-License-Identifier: MIT
"""Changes in a board's figures over its soaks: where each series changed level, sized against
the board's own noise, and a change that many boards share at once named once, as the farm's."""
import bisect
import functools
import itertools
import math
import multiprocessing
import os
import statistics
from dataclasses import dataclass, field
from typing import NamedTuple

from .common import natural

ALARM = 0.002  # a series of noise alone is named as changed at most this often
LEAST = 2.0  # a change smaller than this many of the board's noise is not named
MIN_SIDE = 3  # soaks a level must hold on each side of a change to be believed
# The median |first difference| of Gaussian noise of σ 1 is 0.6745 √2.
DIFF_TO_SIGMA = 1.0 / (0.6744898 * math.sqrt(2.0))
MAD_TO_SIGMA = 1.0 / 0.6744898
MOST_DECIMALS = 9
RANK_KURTOSIS = -1.2
SHARED_BOARDS = 3  # a farm's change needs this many boards and half of those that could show it
SHARED_SPACINGS = 3.0  # its boards' changes lie within this many of the figure's soak spacings
# Series: below this, forking workers costs more than it saves (a history of 7,800 series took
# 0.9 s on one CPU and 1.5 s on two here: the fork of a process holding a million points).
PARALLEL = 20000
PLACE_NEAR = 12  # soaks either side of a found cut where its best place is sought
DECISIVE = 10.0  # noises every one of the latest soaks lies beyond the level before: a change at once
OWN_STEP = 3.5  # a board of a farm's change whose step lies this many of the steps' spread off is named too


class Point(NamedTuple):
    """One soak's figure (a tuple: a history holds a million of them)."""
    time: float  # the soak's start, seconds since the epoch (UTC)
    value: float  # finite: a throttle that never came is left out of a series
    source: str  # the log or LAVA job it came from
    check: str = ''  # the check's version, as its hogspin-board line says
    kernel: str = ''


@dataclass
class Change:
    board: str  # '*' for a change the farm shares
    figure: str  # the case's name
    at: Point  # the first soak after the change
    before: float  # the level before and after, in the figure's units
    after: float
    noise: float  # after - before in units of the board's own noise (a farm's: its boards' median)
    boards: list = field(default_factory=list)  # a farm-wide change's boards
    also: str = ''  # what else changed then: the check's version, the kernel


def find_changes(series, alarm=None, least=None, steps=None):
    """series: {(board, figure): [Point, ...] in time order}; the changes found, in time order.

    steps: {(board, figure): the figure's last printed digit, e.g. 0.01}, the floor of the
    board's noise; where absent it is read from the values' decimals. A slow drift is named as a
    step where the ranks split it best: a straight one, near its middle."""
    alarm = ALARM if alarm is None else alarm
    least = LEAST if least is None else least
    steps = steps or {}
    kept = {key: sorted((p for p in points if math.isfinite(p.value)), key=lambda p: p.time)
            for key, points in series.items()}
    own = each_series(kept, alarm, least, steps)
    found = []
    for figure in sorted({f for _, f in kept}):
        boards = {b: kept[b, f] for b, f in kept if f == figure}
        found += farm_changes(figure, boards, {b: own[b, figure] for b in boards}, least)
    found.sort(key=lambda c: (c.at.time, natural(c.board), c.figure))
    return found


def _own(keys):
    found = []
    for board, figure in keys:
        points = _work['kept'][board, figure]
        step = _work['steps'].get((board, figure)) or last_digit(p.value for p in points)
        found.append(series_changes(board, figure, points, _work['alarm'], _work['least'], step))
    return found


def flicker(values, cuts):
    """The series' quantum (below), unless every level held 2 MIN_SIDE soaks or more and one of
    them a single value: a flicker that began or ended with the change (a heatsink that now and
    then lets go, a clock that now throttles) is the change, not the board's noise. A few odd
    soaks after a steady run are not yet a level: a clock throttling two nights in three."""
    edges = list(zip([0] + cuts, cuts + [len(values)]))
    if cuts and all(b - a >= 2 * MIN_SIDE for a, b in edges) and \
            any(min(values[a:b]) == max(values[a:b]) for a, b in edges):
        return 0.0
    return quantum(values)


def quantum(values):
    """The step of a figure that flickers in steps (a sensor of whole degrees, a clock between
    operating points: few distinct values, most repeated, gone back and forth between more often
    than a series of plain levels would), else 0: its noise is never less, so that one step of
    flicker is never a change."""
    distinct = sorted(set(values))
    moves = sum(1 for a, b in zip(values, values[1:]) if a != b)
    if len(distinct) < 2 or 4 * len(distinct) > len(values) or moves <= len(distinct):
        return 0.0
    return min(b - a for a, b in zip(distinct, distinct[1:]))


_work = {}  # what a forked worker reads: its parent's series, never sent through a pipe


def each_series(kept, alarm, least, steps):
    """{(board, figure): its own changes}: a farm's thousands of series on every CPU, each
    worker forked with the series in its memory and sending back only the changes."""
    _work.update(kept=kept, alarm=alarm, least=least, steps=steps)
    keys = list(kept)
    workers = min(len(os.sched_getaffinity(0)), 8) if len(keys) >= PARALLEL else 1
    try:
        if workers < 2:
            return dict(zip(keys, _own(keys)))
        chunks = [keys[i::workers] for i in range(workers)]
        try:
            with multiprocessing.get_context('fork').Pool(workers) as pool:
                results = pool.map(_own, chunks)
        except OSError:  # no shared memory for the pool's locks (a bare container): one CPU, then
            return dict(zip(keys, _own(keys)))
        own = {}
        for chunk, result in zip(chunks, results):
            own.update(zip(chunk, result))
        return own
    finally:
        _work.clear()


def last_digit(values):
    """10 to the minus the most decimals a value was printed with (whole units: 1)."""
    most = 0
    for value in values:
        text = repr(float(value))
        if 'e' in text:
            mantissa, exponent = text.split('e')
            digits = len(mantissa.partition('.')[2].rstrip('0')) - int(exponent)
        else:
            digits = len(text.partition('.')[2].rstrip('0'))
        most = max(most, min(digits, MOST_DECIMALS))
    return 10.0 ** -most


def board_noise(values, cuts, step):
    """A robust σ: the smaller of the MAD of the residuals from the segments' medians (which whole
    digits inflate, the MAD landing on one) and the median |first difference| (which heavy tails
    inflate); a step or an outlier moves neither. Floored at the last printed digit, so that a
    figure that never wobbles still has one."""
    diffs = [abs(b - a) for a, b in zip(values, values[1:])]
    if not diffs:
        return step
    residuals = []
    edges = [0] + cuts + [len(values)]
    for a, b in zip(edges, edges[1:]):
        middle = statistics.median(values[a:b])
        residuals += [abs(v - middle) for v in values[a:b]]
    spread = min(statistics.median(diffs) * DIFF_TO_SIGMA, statistics.median(residuals) * MAD_TO_SIGMA)
    return max(spread, step)


def series_changes(board, figure, points, alarm, least, step):
    """One board's one figure: its changes of at least `least` noise, in time order."""
    values = [p.value for p in points]
    cuts = place(values, split(values, 0, len(values), alarm))
    step = max(step, flicker(values, cuts))
    k = decisive(values, cuts[-1] if cuts else 0, step)
    if k is not None:
        cuts.append(k)
    noise = board_noise(values, cuts, step)
    # Levels are the segments' medians; the smallest change below `least` goes first and its
    # neighbours are judged again over the merged segments (a drift's small steps add up).
    while cuts:
        edges = [0] + cuts + [len(values)]
        levels = [statistics.median(values[a:b]) for a, b in zip(edges, edges[1:])]
        sizes = [(after - before) / noise for before, after in zip(levels, levels[1:])]
        smallest = min(range(len(sizes)), key=lambda i: abs(sizes[i]))
        if abs(sizes[smallest]) >= least:
            break
        del cuts[smallest]
    else:
        return []
    return [Change(board, figure, points[k], levels[i], levels[i + 1], sizes[i], also=also(points[k - 1:k + 1]))
            for i, k in enumerate(cuts)]


def decisive(values, lo, step):
    """The first soak of a run to the end (MIN_SIDE soaks or more) whose median lies DECISIVE
    noises from the level since lo, itself and three in four of its soaks half that far, where
    the ranks cannot tell yet: a heatsink knocked off tonight needs no week of soaks to be seen,
    nor does a step in a board's first fortnight. None if there is no such run."""
    n = len(values)
    # Ranks need about six soaks a side; a short series, every split.
    first = lo + MIN_SIDE if n - lo < 4 * MIN_SIDE + 4 else max(lo + MIN_SIDE, n - 2 * MIN_SIDE)
    # The soaks before k and their gaps, kept sorted as k moves on: a median a look, not a sort.
    before = sorted(values[lo:first])
    gaps = sorted(abs(b - a) for a, b in zip(values[lo:first], values[lo + 1:first]))
    for k in range(first, n - MIN_SIDE + 1):
        if k > first:
            bisect.insort(before, values[k - 1])
            bisect.insort(gaps, abs(values[k - 1] - values[k - 2]))
        level = middle(before)
        noise = max(step, middle(gaps) * DIFF_TO_SIGMA)
        after = values[k:]
        level_after = statistics.median(after)
        sign = 1 if level_after > level else -1
        beyond = [sign * (v - level) >= DECISIVE / 2 * noise for v in after]
        if beyond[0] and sign * (level_after - level) >= DECISIVE * noise and 4 * sum(beyond) >= 3 * len(after):
            return k
    return None


def middle(ordered):
    """The median of values already in order."""
    half = len(ordered) // 2
    return ordered[half] if len(ordered) % 2 else (ordered[half - 1] + ordered[half]) / 2


def split(values, lo, hi, alarm):
    """Indices where values[lo:hi] changed level: the best split while its rank statistic passes
    the bar for its length, then each side again."""
    if hi - lo < 2 * MIN_SIDE:
        return []
    k, z = best_split(values[lo:hi])
    if z <= bar(hi - lo, alarm):
        return []
    return split(values, lo, lo + k, alarm) + [lo + k] + split(values, lo + k, hi, alarm)


def place(values, cuts):
    """Each cut moved to where, between its neighbours, the two sides' medians fit best (least
    absolute deviation): the rank statistic finds that a level changed, this finds the soak."""
    for i, cut in enumerate(cuts):
        lo = cuts[i - 1] if i else 0
        hi = cuts[i + 1] if i + 1 < len(cuts) else len(values)
        # Near the rank statistic's cut: a board with years of hourly soaks is not searched whole.
        near = range(max(lo + MIN_SIDE, cut - PLACE_NEAR), min(hi - MIN_SIDE, cut + PLACE_NEAR) + 1)
        cuts[i] = min(near or [cut], key=lambda k: (deviation(values[lo:k]) + deviation(values[k:hi]), abs(k - cut)))
    return cuts


def deviation(values):
    middle = statistics.median(values)
    return sum(abs(v - middle) for v in values)


def best_split(values):
    """(k, |Z|): the split before index k whose standardized rank-sum of the first k values lies
    farthest from its mean; ties share their ranks, and the variance is that of those ranks."""
    n = len(values)
    order = sorted(range(n), key=values.__getitem__)
    ranks = [0.0] * n
    i = 0
    while i < n:
        j = i
        while j + 1 < n and values[order[j + 1]] == values[order[i]]:
            j += 1
        for m in range(i, j + 1):
            ranks[order[m]] = (i + j) / 2.0 - (n - 1) / 2.0  # centred
        i = j + 1
    spread = sum(r * r for r in ranks) / (n - 1)
    if spread <= 0.0:
        return 0, 0.0
    totals = list(itertools.accumulate(ranks))  # totals[k - 1]: the first k ranks' sum
    best, best_z = 0, 0.0
    for k, scale in zip(range(MIN_SIDE, n - MIN_SIDE + 1), scales(n)):
        z = abs(totals[k - 1]) * scale
        if z > best_z:
            best, best_z = k, z
    return best, best_z / math.sqrt(spread)


@functools.lru_cache(maxsize=256)
def scales(n):
    """1 / the rank-sum's standard deviation at each split k of n values, in units of the ranks'."""
    return tuple(1.0 / math.sqrt(k * (n - k) / n) for k in range(MIN_SIDE, n - MIN_SIDE + 1))


_bars = {}


def bar(n, alarm):
    """The |Z| that the best split of n values of noise alone passes with chance `alarm`."""
    key = (n, alarm)
    if key not in _bars:
        low, high = 0.5, 12.0
        for _ in range(40):
            mid = (low + high) / 2
            low, high = (mid, high) if exceed(mid, n) > alarm else (low, mid)
        _bars[key] = high
    return _bars[key]


def exceed(b, n):
    """The chance that the standardized rank-sum passes ±b at some split of n values: the
    crossing rate of a standardized bridge, b φ(b) per unit of log-odds time, each split
    weighed down for the overshoot of a process seen only at its steps."""
    density = b * math.exp(-b * b / 2) / math.sqrt(2 * math.pi)
    flat = RANK_KURTOSIS / 24 * (b ** 4 - 6 * b * b + 3)
    total = 0.0
    for k in range(MIN_SIDE, n - MIN_SIDE + 1):
        width = n / (k * (n - k))  # the split's share of log-odds time
        total += width * overshoot(b * math.sqrt(width)) * math.exp(flat * width)
    return min(1.0, density * total)


def overshoot(x):
    """The share of a continuous process's crossings that a walk of steps x still shows."""
    if x <= 0:
        return 1.0
    h = x / 2
    cdf = 0.5 * (1 + math.erf(h / math.sqrt(2)))
    pdf = math.exp(-h * h / 2) / math.sqrt(2 * math.pi)
    return (2 / x) * (cdf - 0.5) / (h * cdf + pdf)


def also(pair):
    """What else changed between the soaks just before and after: the check's version, the kernel."""
    return what_changed([pair[0]], [pair[1]]) if len(pair) == 2 else ''


def what_changed(before, after):
    """'check 0.1.0 → 0.2.0; kernel 6.1.0 → 6.6.0' over soaks paired before/after, '' if neither."""
    said = []
    for name in ('check', 'kernel'):
        moved = [(getattr(a, name), getattr(b, name)) for a, b in zip(before, after)
                 if getattr(a, name) != getattr(b, name)]
        if moved:
            old = ', '.join(sorted({a or '?' for a, _ in moved}, key=natural))
            new = ', '.join(sorted({b or '?' for _, b in moved}, key=natural))
            some = f' ({len(moved)} of {len(before)})' if len(moved) < len(before) else ''
            said.append(f'{name} {old} → {new}{some}')
    return '; '.join(said)


def spacing(times):
    """The figure's typical time between a board's soaks: the median over its boards' gaps
    (times: {board: its soaks' times, in order})."""
    gaps = [b - a for each in times.values() for a, b in zip(each, each[1:]) if b > a]
    return statistics.median(gaps) if gaps else 0.0


def farm_changes(figure, boards, own, least):
    """One figure's changes: those many boards share named once as '*', the rest as each board's."""
    if not any(own.values()):
        return []
    times = {b: [p.time for p in points] for b, points in boards.items()}
    tolerance = SHARED_SPACINGS * spacing(times)
    left = {b: list(changes) for b, changes in own.items()}
    shared = []
    while True:
        group = shared_group(left, times, tolerance)
        if not group:
            break
        for board, change in group:
            left[board].remove(change)
        shared.append(farm_change(figure, group, boards))
        shared += own_beyond(group, shared[-1], least)
    return shared + [c for b in left for c in left[b]]


def own_beyond(group, farm, least):
    """The boards of a farm's change whose own step lies far beyond the others' (a board that
    lost its heatsink on the night of a new kernel): named as well, with the farm's step said."""
    steps = {b: c.after - c.before for b, c in group}
    middle = statistics.median(steps.values())
    spread = 1.4826 * statistics.median(abs(s - middle) for s in steps.values())
    named = []
    for board, change in group:
        off = steps[board] - middle
        noise = (change.after - change.before) / change.noise if change.noise else 0.0
        if noise and abs(off) > OWN_STEP * spread and abs(off) / abs(noise) >= least:
            said = f'the farm moved {farm.after - farm.before:+.6g} then'
            named.append(Change(change.board, change.figure, change.at, change.before, change.after, change.noise,
                                also='; '.join(x for x in (change.also, said) if x)))
    return named


def shared_group(left, times, tolerance):
    """The most boards whose changes of one sign begin within `tolerance` of the earliest of
    them, if they are enough: [(board, change)], else []."""
    candidates = []
    for sign in (1, -1):
        marks = marks_of(left, sign)
        for i, (start, _, _) in enumerate(marks):
            group = {}
            for t, board, change in marks[i:]:
                if t - start > tolerance:
                    break
                group.setdefault(board, change)  # a board's first change in the window
            if len(group) >= SHARED_BOARDS:
                candidates.append((-len(group), start, sign, group))
    for _, start, sign, group in sorted(candidates, key=lambda c: c[:3]):
        end = max(c.at.time for c in group.values())
        able = sum(1 for b, t in times.items() if b in group or could_show(t, start, end))
        if 2 * len(group) >= able:
            # A board that placed the step a few soaks off is still one of them.
            for t, board, change in marks_of(left, sign):
                if start - tolerance <= t <= end + tolerance:
                    group.setdefault(board, change)
            return sorted(group.items(), key=lambda g: natural(g[0]))
    return []


def marks_of(left, sign):
    """(time, board, change) of the changes of one sign, in time order."""
    return sorted(((c.at.time, b, c) for b, changes in left.items() for c in changes if (c.noise > 0) == (sign > 0)),
                  key=lambda m: (m[0], natural(m[1])))


def could_show(times, start, end):
    """Whether a board soaked often enough on both sides of a window to have shown a change in it."""
    return bisect.bisect_left(times, start) >= MIN_SIDE and len(times) - bisect.bisect_right(times, end) >= MIN_SIDE


def farm_change(figure, group, boards):
    """The change of a group of boards as one: at the soak of the board in their middle, the
    median levels and size, and what changed on them from just before the first to just after
    the last of their changes."""
    changes = sorted((c for _, c in group), key=lambda c: c.at.time)
    start, end = changes[0].at.time, changes[-1].at.time
    before, after = [], []
    for board, _ in group:
        times = [p.time for p in boards[board]]
        i, j = bisect.bisect_left(times, start), bisect.bisect_left(times, end)
        if i > 0 and j < len(times):
            before.append(boards[board][i - 1])
            after.append(boards[board][j])
    return Change('*', figure, changes[(len(changes) - 1) // 2].at, statistics.median(c.before for c in changes),
                  statistics.median(c.after for c in changes), statistics.median(c.noise for c in changes),
                  boards=[b for b, _ in group], also=what_changed(before, after))
