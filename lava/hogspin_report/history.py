# SPDX-License-Identifier: MIT
"""A farm's history: every soak's cases in an SQLite file, each soak once, read back as series."""
import calendar
import datetime
import errno
import os
import re
import sqlite3
import time
import urllib.parse
from operator import itemgetter

from .changes import Point
from .common import Failure, figure_of
from .names import shown

# The file's own mark (SQLite's application_id): 'hogs'. A database without it is not ours.
APPLICATION_ID = 0x686F6773
# Each step takes the file from the version before it to its own; a new file takes them all,
# an older one the steps it lacks, in the transaction that adds the run's soaks.
STEPS = [
    # 1: the soaks and their cases.
    '''CREATE TABLE soaks (
           id INTEGER PRIMARY KEY,
           board TEXT NOT NULL,
           started INTEGER NOT NULL,  -- seconds since the epoch, UTC
           started_by TEXT NOT NULL,  -- 'check': its board line, 'lava': the job's time
           digest TEXT NOT NULL,      -- of the trace as written
           complete INTEGER NOT NULL,
           model TEXT NOT NULL, kernel TEXT NOT NULL, host TEXT NOT NULL, checker TEXT NOT NULL,
           source TEXT NOT NULL,
           UNIQUE (board, started, digest));
       CREATE TABLE cases (
           soak INTEGER NOT NULL REFERENCES soaks (id),
           seq INTEGER NOT NULL,
           name TEXT NOT NULL,
           result TEXT NOT NULL,
           value REAL,                -- NULL: no figure, or a throttle that never came
           text TEXT,                 -- the figure as printed
           units TEXT NOT NULL,
           low REAL, high REAL,       -- its 95 % interval, where the check gave one
           PRIMARY KEY (soak, seq)) WITHOUT ROWID;''',
    # 2: each run that added soaks, and which run added each soak.
    '''CREATE TABLE runs (id INTEGER PRIMARY KEY, at INTEGER NOT NULL, soaks INTEGER NOT NULL);
       ALTER TABLE soaks ADD COLUMN run INTEGER REFERENCES runs (id);''',
    # 3: a soak found by its trace alone, whatever start a board's clock gave it.
    '''CREATE INDEX soaks_by_trace ON soaks (board, digest);''',
]
STAMP = re.compile(r'([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})Z?$')
EARLIEST = 946684800  # 2000-01-01: a board clock before it was never set
AHEAD = 3600  # a start later than this past now is a clock gone wrong
# A board's start this far from the time LAVA logged its line is a board clock gone wrong (one
# without a battery starts at its image's date): the lab's clock places the soak.
DISAGREE = 3600


def stamp(seconds):
    return time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(seconds))


def seconds_of(text):
    """A UTC time's seconds since the epoch; None for no such time (February 30, 24:99)."""
    match = STAMP.match(text or '')
    if not match:
        return None
    try:
        when = datetime.datetime(*(int(g) for g in match.groups()), tzinfo=datetime.timezone.utc)
    except ValueError:
        return None
    return calendar.timegm(when.utctimetuple())


def started_of(soak, now):
    """(seconds, 'check' or 'lava') of the soak's start, else (None, why not)."""
    said = soak.fields.get('started', '')
    check = seconds_of(said)
    # A stored soak judged again (judged= on its board line) was logged by a later job.
    lava = seconds_of(soak.lava_time) if 'judged' not in soak.fields else None
    if check is not None and EARLIEST <= check <= now + AHEAD and (lava is None or abs(check - lava) <= DISAGREE):
        return check, 'check'
    if lava is not None and EARLIEST <= lava <= now + AHEAD:
        return lava, 'lava'
    if check is not None and check > now + AHEAD:
        return None, f'it started {stamp(check)}, in the future: the board\'s clock is wrong'
    if check is not None or lava is not None:
        return None, f'its start {stamp(check if check is not None else lava)} is before 2000: a clock never set'
    if said:
        return None, f'its start {said!r} is no UTC time'
    return None, 'it says no start time (an older check), and no LAVA job\'s time is beside it'


def _fail(path, e):
    text = str(e)
    if 'locked' in text or 'busy' in text:
        return Failure(f'{path}: the history is locked by another writer; nothing was added')
    if 'full' in text:
        return Failure(f'{path}: the disc is full; nothing was added')
    return Failure(f'{path}: {text}; nothing was added')


class History:
    """The file, opened for one run: to write, every write in one transaction (a new history made
    beside it and put in its place whole at the commit), or to read alone."""

    def __init__(self, path, write=True, wait=5.0):
        self.path, self.made = path, None
        if not os.path.exists(path):
            if not write:
                raise Failure(f'{path}: no such history (a LOG given with --history starts one)')
            self.made = f'{path}.{os.getpid()}.new'
        elif not os.path.isfile(path):
            raise Failure(f'{path}: not a file')
        elif os.path.getsize(path) == 0:
            # SQLite takes an empty file for an empty database: it may be the name another run has
            # claimed for its new history (below), which that run's file is about to replace.
            raise Failure(f'{path}: an empty file, no history (another run may be putting its new one there; '
                          'one made by hand: remove it); left as it was')
        try:
            if write:
                self.db = sqlite3.connect(self.made or path, timeout=wait, isolation_level=None)
                self.db.execute('BEGIN IMMEDIATE')  # the writer's lock, before anything is read
            else:
                self.db = sqlite3.connect(f'file:{urllib.parse.quote(path)}?mode=ro', uri=True, timeout=wait,
                                          isolation_level=None)
                self.db.execute('BEGIN')  # every read from one state of the file
            self.version = self._check(write)
        except sqlite3.Error as e:
            self.close(failed=True)
            raise _fail(path, e) if 'not a database' not in str(e) else \
                Failure(f'{path}: not a hogspin-report history (not an SQLite database); left as it was')
        except Failure:
            self.close(failed=True)
            raise

    def _check(self, write):
        application = self.db.execute('PRAGMA application_id').fetchone()[0]
        version = self.db.execute('PRAGMA user_version').fetchone()[0]
        tables = self.db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]
        if application != APPLICATION_ID and (application or version or tables):
            raise Failure(f'{self.path}: not a hogspin-report history (another program\'s database); left as it was')
        if version > len(STEPS):
            raise Failure(f'{self.path}: a history of a newer hogspin-report (version {version}; this one knows '
                          f'{len(STEPS)}); left as it was')
        if tables:
            # A damaged file is never written into: what it would take in is lost with it.
            damage = self.db.execute('PRAGMA quick_check(1)').fetchone()[0]
            if damage != 'ok':
                raise Failure(f'{self.path}: the history is damaged ({damage}); left as it was')
        if write:
            for step in STEPS[version:]:
                for statement in re.split(r';\s*$', step, flags=re.M):
                    if statement.strip():
                        self.db.execute(statement)
            self.db.execute(f'PRAGMA application_id = {APPLICATION_ID}')
            self.db.execute(f'PRAGMA user_version = {len(STEPS)}')
        elif version < 2:
            raise Failure(f'{self.path}: a history of an older hogspin-report: give a LOG to upgrade it')
        return version

    def close(self, failed=False):
        db, self.db = getattr(self, 'db', None), None
        if db is not None:
            try:
                if failed and db.in_transaction:
                    db.execute('ROLLBACK')
            finally:
                db.close()
        if failed and self.made:
            for leftover in (self.made, self.made + '-journal'):
                try:
                    os.remove(leftover)  # the new history this run made and could not fill
                except OSError:
                    pass

    def add(self, soaks, notes, now):
        """Adds each soak not yet in the history; (added, already there)."""
        try:
            return self._add(soaks, notes, now)
        except sqlite3.Error as e:
            self.close(failed=True)
            raise _fail(self.path, e)

    def _add(self, soaks, notes, now):
        run = self.db.execute('INSERT INTO runs (at, soaks) VALUES (?, 0)', (int(now),)).lastrowid
        refused, known, added, placed = [], 0, 0, 0
        for soak in soaks:
            if soak.anonymous or soak.named_by == 'model':
                refused.append(f'{soak.where()} (it names no board or host: give it a BOARD)')
                continue
            started, by = started_of(soak, now)
            if started is None:
                refused.append(f'{soak.where()} ({by})')
                continue
            digest = soak.trace_hash.hexdigest()
            # Its trace, times to the microsecond, is the soak: a board's clock may place one soak at
            # two starts. A trace without a sample (a soak that failed at once) is the same every night.
            known_by = ('digest = ?', (digest,)) if soak.samples else ('digest = ? AND started = ?', (digest, started))
            if self.db.execute(f'SELECT 1 FROM soaks WHERE board = ? AND {known_by[0]}',
                               (soak.name, *known_by[1])).fetchone():
                known += 1
                continue
            placed += by == 'lava'
            said = [shown(soak.fields.get(k, '')) for k in ('model', 'kernel', 'host', 'check')]
            row = (soak.name, started, by, digest, int(soak.ended), *said, soak.source, run)
            cursor = self.db.execute('INSERT INTO soaks (board, started, started_by, digest, complete, model, '
                                     'kernel, host, checker, source, run) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)', row)
            added += 1
            self.db.executemany('INSERT INTO cases VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)',
                                case_rows(cursor.lastrowid, soak))
        self.db.execute('UPDATE runs SET soaks = ? WHERE id = ?', (added, run))
        if placed:
            notes.append(f'{placed} soak{"s" if placed > 1 else ""} placed in the history by the LAVA job\'s time: '
                         'the check gave no start, or one its board\'s clock got wrong')
        if refused:
            notes.append(f'not added to the history, no start time it can be placed by: {len(refused)} soak'
                         f'{"s" if len(refused) > 1 else ""}: ' + '; '.join(refused[:8])
                         + (f' and {len(refused) - 8} more' if len(refused) > 8 else ''))
        return added, known

    def commit(self):
        try:
            self.db.execute('COMMIT')
            if self.made:
                self._put_in_place()
        except sqlite3.Error as e:
            self.close(failed=True)
            raise _fail(self.path, e)
        except FileExistsError:
            self.close(failed=True)
            raise Failure(f'{self.path}: another run made this history meanwhile; nothing was added')
        except OSError as e:
            self.close(failed=True)
            raise Failure(f'{self.path}: cannot put the new history in its place ({e.strerror}); nothing was added')
        self.db.execute('BEGIN')  # what is read back is what was written

    def _put_in_place(self):
        """The new history to its name, only if no other run made one there meanwhile."""
        try:
            os.link(self.made, self.path)
            os.remove(self.made)
        except OSError as e:
            if e.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.ENOSYS):
                raise
            # A file system without hard links (vfat, some network shares): the name claimed, then filled.
            os.close(os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644))
            try:
                os.replace(self.made, self.path)
            except OSError:
                os.remove(self.path)  # the claim, still empty: no history is lost with it
                raise
        self.made = None

    def series(self):
        """{(board, figure): [Point, ...]} of every complete soak, in time order, {figure: units}
        and {figure: decimals printed}; each series' own decimals in self.places."""
        soaks = {soak: rest for soak, *rest in self.db.execute(
            'SELECT id, started, source, checker, kernel FROM soaks WHERE complete')}
        # A series a row, its soaks and values as text: a million rows through Python's sqlite3
        # cost seconds, nine thousand long ones a fraction of that.
        series, self.places, most = {}, {}, {}
        make = tuple.__new__  # a million Points: NamedTuple's own __new__ costs a third more
        digits = "CASE WHEN instr(c.text, '.') THEN length(c.text) - instr(c.text, '.') ELSE 0 END"
        for board, name, ids, values, fewest, places in self.db.execute(
                f"SELECT s.board, c.name, group_concat(s.id), group_concat(c.value), min({digits}), max({digits}) "
                "FROM soaks s JOIN cases c ON c.soak = s.id WHERE s.complete AND c.value IS NOT NULL "
                "AND c.result != 'skip' GROUP BY s.board, c.name"):
            if figure_of(name) is None:
                continue
            # A board's own last digit, its sensor's and not the farm's; its coarsest, where a new
            # check printed more of them: the rounded soaks before hid as much as that.
            self.places[board, name], most[board, name] = fewest, places
            points = series[board, name] = [
                make(Point, (soak[0], value, soak[1], soak[2], soak[3]))
                for soak, value in zip(map(soaks.__getitem__, map(int, ids.split(','))), map(float, values.split(',')))]
            points.sort(key=itemgetter(0))  # by time, and stable: soaks of one start as they were added
        # A figure's units are its kind's (a data line of other units is left out as it is read);
        # its decimals, the most any board printed.
        units, decimals = {}, {}
        for (_, name), places in most.items():
            units[name], decimals[name] = figure_of(name)[3], max(places, decimals.get(name, 0))
        return series, units, decimals

    def hosts(self):
        """{board: (the host its latest soak named, how many soaks it has)}."""
        # With max() SQLite takes a bare column from the row that has the maximum.
        rows = self.db.execute('SELECT board, host, max(started), count(*) FROM soaks GROUP BY board')
        return {board: (host, count) for board, host, _, count in rows}

    def cut_short(self):
        """{board: (its latest soak's start and log, its last complete soak's start or None)} of
        the boards whose latest soak was cut short: a board that reboots mid-soak has no figure
        to change."""
        complete = dict(self.db.execute('SELECT board, max(started) FROM soaks WHERE complete GROUP BY board'))
        return {board: (started, source, complete.get(board)) for board, started, source, done in self.db.execute(
            'SELECT board, max(started), source, complete FROM soaks GROUP BY board') if not done}

    def latest(self):
        """Each board's latest complete soak (else its latest): (board, fields and its trace's digest,
        started, source, cases as (name, result, text, units))."""
        rows = self.db.execute(
            'SELECT id, board, started, model, kernel, host, checker, source, digest FROM soaks s WHERE id = '
            '(SELECT id FROM soaks t WHERE t.board = s.board ORDER BY t.complete DESC, t.started DESC, t.id DESC '
            'LIMIT 1) ORDER BY board').fetchall()
        found = []
        for soak, board, started, model, kernel, host, checker, source, digest in rows:
            cases = self.db.execute('SELECT name, result, text, units FROM cases WHERE soak = ? ORDER BY seq',
                                    (soak,)).fetchall()
            fields = dict(board=board, model=model, kernel=kernel, host=host, check=checker, digest=digest)
            found.append((board, fields, started, source, cases))
        return found


def case_rows(soak_id, soak):
    rows = []
    for seq, (name, result, details, data) in enumerate(soak.said):
        value = text = None
        units = ''
        if name in soak.figures:
            figure = soak.figures[name]
            text = figure.text
            value = None if text == 'never' else figure.value
            units = figure_of(name)[3]
        elif data is not None:
            units = data[2] or ''
        low, high = soak.intervals.get(name, (None, None))
        rows.append((soak_id, seq, name, result, value, text, units, low, high))
    return rows
