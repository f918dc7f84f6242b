# SPDX-License-Identifier: MIT
"""A run's part in the history: its soaks added, each board's changes found, and what else the
history shows (a board renamed, a figure gone, a board gone quiet)."""
import sqlite3

from .changes import SHARED_SPACINGS, find_changes, spacing
from .common import Failure, few, natural
from .history import History, stamp, seconds_of

QUIET = 7 * 86400  # a board this long without a soak, while others had theirs, is said
RERUN = 12 * 3600  # a soak this soon after a complete one is of the same night


class Looked:
    """What the history showed this run."""

    def __init__(self):
        self.added = self.known = 0
        self.boards = 0
        self.soaks = 0
        self.changes = []
        self.units, self.decimals = {}, {}
        self.series = {}
        self.latest = []
        self.since = None  # seconds: only the changes soaks since then brought to light
        # Boards whose latest soak (since then) was cut short: one that now reboots mid-soak has
        # no figure left to change, and is as red as a change.
        self.cut = []


def look_back(path, soaks, notes, alarm, least, since, now, latest=False, write=True):
    """Adds the soaks to the history at path, then finds the changes in it (given since, in
    seconds, those the soaks since then brought to light); with latest, each board's latest soak
    kept for KCIDB; without write, the history is only read."""
    history = History(path, write=write)
    try:
        looked = Looked()
        if write:
            looked.added, looked.known = history.add(soaks, notes, now)
            history.commit()
        looked.series, looked.units, looked.decimals = history.series()
        hosts = history.hosts()
        cut = history.cut_short()
        looked.latest = history.latest() if latest else []
        places = history.places
    except sqlite3.Error as e:
        history.close(failed=True)
        raise Failure(f'{path}: cannot read the history back: {e}')
    finally:
        history.close()
    if looked.known:
        notes.append(f'{looked.known} soak{"s were" if looked.known > 1 else " was"} in the history already, '
                     'added again as nothing')
    boards = {b for b, _ in looked.series}
    looked.boards = len(boards)
    looked.soaks = sum(n for _, n in hosts.values())
    # The noise is never less than the figure's last printed digit.
    steps = {key: 10.0 ** -places.get(key, 0) for key in looked.series}
    looked.changes = find_changes(looked.series, alarm, least, steps)
    if since is not None:
        looked.since = since
        earlier = {key: [p for p in points if p.time < since] for key, points in looked.series.items()}
        looked.changes = brought_to_light(looked.changes, find_changes(earlier, alarm, least, steps), looked.series)
    # A rerun cut short on the night of a complete soak is the batch's rerun: the complete one counts.
    looked.cut = sorted((b for b, (started, _, last) in cut.items()
                         if (since is None or started >= since) and (last is None or started - last > RERUN)), key=natural)
    notes += [f'{board}: its latest soak ({stamp(started)}, {source}) was cut short, '
              + (f'its last complete one {stamp(last)}' if last is not None else 'and no soak of it is complete')
              + ': no figure of it is judged after that' for board, (started, source, last) in sorted(cut.items())]
    notes += what_else(looked.series, hosts)
    return looked


def brought_to_light(changes, earlier, series):
    """The changes that the history before a time did not show. Each change it showed vouches for
    one change now, the nearest of that board, figure and sign within a few of the figure's soak
    spacings (a change's place may move as soaks come): a second step soon after it is news."""
    tolerance = {}
    for change in changes:
        if change.figure not in tolerance:
            times = {b: [p.time for p in points] for (b, f), points in series.items() if f == change.figure}
            tolerance[change.figure] = SHARED_SPACINGS * spacing(times)
    pairs = sorted((abs(e.at.time - c.at.time), i, j) for i, c in enumerate(changes) for j, e in enumerate(earlier)
                   if e.board == c.board and e.figure == c.figure and (e.noise > 0) == (c.noise > 0)
                   and abs(e.at.time - c.at.time) <= tolerance[c.figure])
    known, used = set(), set()
    for _, i, j in pairs:
        if i not in known and j not in used:
            known.add(i)
            used.add(j)
    return [c for i, c in enumerate(changes) if i not in known]


def what_else(series, hosts):
    """Notes on the history itself: a board gone quiet, one that may be another renamed, a
    figure a board no longer reports."""
    said = []
    first, last, figures = {}, {}, {}
    for (board, figure), points in series.items():
        first[board] = min(first.get(board, points[0].time), points[0].time)
        last[board] = max(last.get(board, points[-1].time), points[-1].time)
        figures.setdefault(board, {})[figure] = points[-1].time
    if not last:
        return said
    newest = max(last.values())
    stuck = sorted({b for (b, _), points in series.items() if len({p.time for p in points}) < len(points)}, key=natural)
    if stuck:
        said.append(f'{few(stuck, 6)}: soaks that started at the same second: a board clock that does not keep time '
                    '(no battery, no NTP); they are taken in the order they were added')
    quiet = sorted((b for b in last if newest - last[b] > QUIET), key=natural)
    for board in quiet:
        # A board that stopped as another began, on its host: a new name for the same board.
        host = hosts.get(board, ('', 0))[0]
        heirs = sorted((b for b in first if b != board and first[b] >= last[board] and host
                        and hosts.get(b, ('', 0))[0] == host), key=natural)
        if heirs:
            said.append(f'{board}: no soak since {stamp(last[board])}; {few(heirs, 3)} began on its host {host} after: '
                        f'renamed? Each name is a series of its own')
        else:
            said.append(f'{board}: no soak since {stamp(last[board])}, {(newest - last[board]) / 86400:.0f} days '
                        'before the newest')
    gone = []
    for board, mine in figures.items():
        latest = max(mine.values())
        # A throttle onset of never is no level: a series without it, not a figure gone.
        gone += [f'{board} {figure} (last {stamp(t)})' for figure, t in mine.items()
                 if t < latest and not figure.startswith('throttle-onset-')]
    if gone:
        said.append(f'figures a board no longer reports in its latest soak: {few(sorted(gone, key=natural), 6)}')
    return said


def records_of_history(latest):
    """The history's latest soaks as KCIDB's records."""
    return [dict(fields, started=stamp(started), source=source, cases=[tuple(c) for c in cases])
            for _, fields, started, source, cases in latest]


def since_of(text):
    """--since: a day (YYYY-MM-DD) or a time (YYYY-MM-DDTHH:MM:SSZ), as seconds; None if neither."""
    return seconds_of(text + 'T00:00:00Z' if len(text) == 10 else text)
