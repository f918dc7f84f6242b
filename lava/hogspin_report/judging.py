# SPDX-License-Identifier: MIT
"""Judging a batch: each board's soak, each figure's median and scale, and the outliers."""
import math

from .common import FIGURES, boards_, few, figure_of, natural
from .names import safe

THRESHOLD = 3.5
MIN_BOARDS = 5
MAD_TO_SIGMA = 1.4826
FLOOR = 0.02  # of the median: boards of one design may agree to the last digit


def middle(values):
    """The median of sorted values; None where a finite and an infinite one share the middle."""
    n = len(values)
    if n % 2:
        return values[n // 2]
    low, high = values[n // 2 - 1], values[n // 2]
    if math.isinf(low) != math.isinf(high):
        return None
    return high if math.isinf(high) else (low + high) / 2


class Judged:
    """One figure over the batch."""

    def __init__(self, name, units, column, figures, judge):
        self.name, self.units, self.column, self.figures = name, units, column, figures
        self.decimals = max((f.decimals for f in figures.values()), default=0)
        self.median = self.scale = None
        self.distances, self.outliers, self.why = {}, [], None
        if not judge:
            return
        if len(figures) < MIN_BOARDS:
            self.why = f'{boards_(len(figures))} {"has" if len(figures) == 1 else "have"} it, fewer than {MIN_BOARDS}'
            return
        self.median = middle(sorted(f.value for f in figures.values()))
        if self.median is None:
            self.why = 'as many boards never throttled as did: no median'
            return
        if math.isinf(self.median):
            self.distances = {b: 0.0 if math.isinf(f.value) else math.inf for b, f in figures.items()}
        else:
            deviations = {b: abs(f.value - self.median) for b, f in figures.items()}
            mad = middle(sorted(deviations.values()))
            self.scale = max(MAD_TO_SIGMA * mad, FLOOR * abs(self.median), 10.0 ** -self.decimals)
            self.distances = {b: d / self.scale for b, d in deviations.items()}
        self.outliers = sorted((b for b, d in self.distances.items() if d > THRESHOLD), key=natural)

    def show(self, value):
        if value is None:
            return ''
        if math.isinf(value):
            return 'never'
        text = f'{value:.{self.decimals + 1}f}'  # a median between two readings needs one digit more
        return text[:-1].rstrip('.') if text.endswith('0') else text


def short_paths(sources):
    """Each source's shortest ending, in whole path components, that no other source has: six
    job*/soak.log stay six."""
    parts = {s: s.split('/') for s in sources}
    short = {}
    for s, mine in parts.items():
        k = next((k for k in range(1, len(mine)) if all(o == s or p[-k:] != mine[-k:] for o, p in parts.items())),
                 len(mine))
        short[s] = '/'.join(mine[-k:])
    return short


def choose(soaks, notes, nightly=False):
    """Each board's soak: its last complete one (nightly: a history's import, whose boards'
    many soaks are not said)."""
    # Boards of one image share a host name: without a BOARD, soaks of one host in several logs
    # are several boards, one a log, or a farm would read as one board and its outlier vanish.
    sources = {}
    for soak in soaks:
        sources.setdefault(soak.ident, set()).add(soak.source)
    unnamed = {k.ident for k in soaks if k.named_by != 'board'}
    split = sorted(i for i, s in sources.items() if len(s) > 1 and i in unnamed)
    if nightly and split:
        # The history keeps each soak under the name its log gives (Soak.name): a host's soaks over
        # the nights are one board's there; only this batch tells the logs apart.
        notes.append(f'{few(split)}: named by host or model alone in several logs: a board a log in this batch, one '
                     'board in the history; boards that share a host or model need a BOARD each')
    # Each is told by its whole path (or job), shown by as much of it as tells it apart.
    short = {i: short_paths(sources[i]) for i in split}
    for soak in soaks:
        if soak.ident in split and soak.named_by != 'board':
            soak.ident = f'{soak.ident}@{safe(short[soak.ident][soak.source])}'
    if split:
        notes.append(f'{few(split)}: named by host or model alone in several logs, so each log is taken as a board of its '
                     f'own; a BOARD for each board names them')
    groups = {}
    for soak in soaks:
        groups.setdefault(soak.ident, []).append(soak)
    boards = {}
    for ident, group in groups.items():
        complete = [s for s in group if s.ended]
        chosen = (complete or group)[-1]
        # A history's boards have a log a night: one name across logs is one board there.
        chosen.logs = 1 if nightly else len({s.source for s in group})
        boards[ident] = chosen
        if len(group) > 1 and not nightly:
            notes.append(f'{ident}: {len(group)} soaks ({few(s.where() for s in group)}); the last '
                         f'{"complete " if complete else ""}one, {chosen.where()}, is reported')
        if chosen.anonymous:
            notes.append(f'{chosen.where()}: its soak names no board, host or model: called {ident}')
        if not chosen.ended:
            notes.append(f'{ident} ({chosen.where()}): {chosen.cut}: the soak was cut short')
        if chosen.twice:
            notes.append(f'{ident} ({chosen.where()}): reported twice, the last figure kept: {few(sorted(chosen.twice))}')
    return boards


def judge(boards, notes):
    names = sorted(boards, key=natural)
    enough = len(names) >= MIN_BOARDS
    # What most boards have; a board with other zones, meters or CPUs is said, and each figure
    # is compared among the boards that have it.
    sets = {}
    for b in names:
        sets.setdefault(frozenset(boards[b].sensors), []).append(b)
    usual = max(sets, key=lambda s: len(sets[s])) if sets else frozenset()
    others = [(kinds, group) for kinds, group in sets.items() if kinds != usual]
    for kinds, group in others[:10]:
        said = [f'has {describe(kinds - usual)}' if kinds - usual else '',
                f'lacks {describe(usual - kinds)}' if usual - kinds else '']
        notes.append(f'{few(group)}: unlike {len(sets[usual])} other {"board" if len(sets[usual]) == 1 else "boards"}, '
                     + ' and '.join(w for w in said if w))
    if len(others) > 10:
        notes.append(f'{boards_(sum(len(g) for _, g in others[10:]))} more with zones, meters or CPUs of their own')
    judged, grouped = {}, {}
    for b in names:
        for name in list(boards[b].figures) + list(boards[b].skipped):
            if name not in judged:
                judged[name] = None
    prefixes = [f[0] for f in FIGURES]
    for name in sorted(judged, key=lambda n: (prefixes.index(figure_of(n)[0]), natural(n))):
        _, what, owner, units, column = figure_of(name)
        figures = {b: boards[b].figures[name] for b in names if name in boards[b].figures}
        judged[name] = Judged(name, units, column, figures, enough)
        lacking = [b for b in names if b not in figures and (what, owner) in boards[b].sensors]
        if lacking:
            skipped = [b for b in lacking if name in boards[b].skipped]
            unsaid = [b for b in lacking if b not in skipped]
            said = [f'skipped on {few(skipped)}' if skipped else '', f'not reported by {few(unsaid)}' if unsaid else '']
            grouped.setdefault(f'{len(figures)} of {boards_(len(figures) + len(lacking))} have it; '
                               + '; '.join(w for w in said if w), []).append(name)
        if judged[name].why and enough:
            grouped.setdefault(f'no outlier verdict: {judged[name].why}', []).append(name)
    # One note for the figures that share it: a zone's five figures are missing together.
    notes += [f'{few(names_, 3)}: {why}' for why, names_ in grouped.items()]
    return names, [judged[n] for n in judged]


def describe(kinds):
    words = {'zone': 'zone', 'meter': 'meter', 'cpu': 'CPU', 'cooling': 'cooling device', 'opp': 'operating point'}
    parts = []
    for kind, word in words.items():
        mine = sorted((n for k, n in kinds if k == kind), key=natural)
        if mine:
            parts.append(f'{word}{"s" if len(mine) > 1 else ""} {", ".join(mine)}')
    return '; '.join(parts) or 'no zone, meter or CPU'


def outliers_of(figures):
    found = {}
    for j in figures:
        for b in j.outliers:
            found.setdefault(b, []).append(j)
    for b, js in found.items():
        js.sort(key=lambda j: -j.distances[b])  # the farthest first
    return found


def distance(d):
    return '∞' if math.isinf(d) else f'{d:.1f}'


