# SPDX-License-Identifier: MIT
"""Reading logs: LAVA's quoting undone, each log's soaks, and their cases from the data lines
(or, in an older check's log that has none, from the case lines' words)."""
import hashlib
import math
import re

from .common import NEVER, few, figure_of
from .names import UNSAFE_PLOT, shown

TRACE_POINTS = 300  # a board's trace in the picture, at least

PREFIX = re.compile(r'hogspin-(?:board,|trace,|limits,|case,|interval,|check: )')
CASE = re.compile(r'hogspin-check: ([A-Za-z0-9_-]+): (pass|fail|skip) \((.*)\)$')
# The check's first figures go on in words after a space: "34.783 C above its first reading".
FIGURE = re.compile(r'(?:(-?[0-9]+(?:\.([0-9]+))?)|never)(?: ([^ ,;]+))?(?:[,; ]|$)')
# The data line after each case line: its name, result, measurement and units.
DATA = re.compile(r'hogspin-case,([A-Za-z0-9_-]+),(pass|fail|skip),((-?[0-9]+(?:\.([0-9]+))?)|never|),(C|W|mW|s|K/W|MHz|J|uW/MHz/V2|)$')
# What the LAVA glue says of a case that the check never judged: in an older check's log,
# where no data line tells the check's own cases apart, these words do.
GLUE = re.compile(r'the check ended, with status -?[0-9]+, before it judged this$|cannot find hogspin-check: ')
NUMBER = re.compile(r'-?[0-9]+(?:\.[0-9]+)?$')
LAVA_LINE = re.compile(r'\s*-\s*\{.*?"msg":\s*(.)')
LAVA_MSG = re.compile(r'"((?:[^"\\]|\\.)*)"')
LAVA_TIME = re.compile(r'\s*-\s*\{\s*"dt":\s*"([0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2})')
# "hogspin-interval,NAME,LOW,HIGH,95" after a figure's data line: its 95 % interval.
INTERVAL = re.compile(r'hogspin-interval,([A-Za-z0-9_-]+),(-?[0-9]+(?:\.[0-9]+)?),(-?[0-9]+(?:\.[0-9]+)?),95$')
ESCAPE = re.compile(r'\\(x[0-9A-Fa-f]{2}|u[0-9A-Fa-f]{4}|U[0-9A-Fa-f]{8}|.)')
# JSON's escapes and the rest of YAML's double-quoted ones.
ESCAPES = {'n': '\n', 't': '\t', 'r': '\r', '0': '\0', 'a': '\a', 'b': '\b', 'f': '\f', 'v': '\v', 'e': '\x1b',
           'N': '\x85', '_': '\xa0', 'L': '\u2028', 'P': '\u2029'}
ANSI = re.compile(r'\x1b\[[0-9;]*[A-Za-z]')


def unescape(match):
    code = match.group(1)
    if len(code) > 1:
        return chr(min(int(code[1:], 16), 0x10FFFF))
    return ESCAPES.get(code, code)


def messages(raw):
    """The check's lines in one line of a log: itself, or a LAVA log line's message."""
    if b'hogspin-' not in raw:
        return []
    line = raw.decode('utf-8', 'replace').rstrip('\r\n')
    lava = LAVA_LINE.match(line)
    if lava:
        quoted = LAVA_MSG.match(line, lava.start(1))
        if not quoted:
            return []  # a result, or what was typed: a mapping
        line = ESCAPE.sub(unescape, quoted.group(1))
    found = []
    for text in line.splitlines():
        start = PREFIX.search(text)
        if start:
            found.append(ANSI.sub('', text[start.start():]).rstrip())
    return found


class Figure:
    def __init__(self, value, text, decimals):
        self.value, self.text, self.decimals = value, text, decimals


def data_line(text):
    """(name, result, (number, decimals, units)) of a well-formed data line, else None: no
    number but units 's' is a throttle onset that never came, no units no measurement."""
    match = DATA.match(text)
    if not match:
        return None
    name, result, measurement, number, decimals, units = match.groups()
    if bool(measurement) != bool(units) or (measurement == 'never' and units != 's'):
        return None
    return name, result, (number, decimals, units)


class Soak:
    def __init__(self, source, line, fields):
        self.source, self.line, self.fields = source, line, fields
        named = [fields.get(k, '').strip() for k in ('board', 'host', 'model')]
        self.ident = shown(next((n for n in named if n), '')).strip() or self.where()
        self.name = self.ident  # as the log names it: a batch may tell boards of one name apart
        self.anonymous = not any(named)
        self.named_by = next((k for k, n in zip(('board', 'host', 'model'), named) if n), None)
        self.logs = 1  # how many logs hold this board's soaks
        self.columns = None  # the trace's header: (kind, name) after t_s
        self.sensors = {}  # (kind, name), in the order the soak named them
        self.traces, self.samples, self.stride = {}, 0, 1
        self.figures, self.skipped, self.twice = {}, set(), set()
        self.intervals = {}  # a figure's 95 % interval: (low, high)
        self.lava_time = None  # the LAVA job's time of the board line, 'YYYY-MM-DDTHH:MM:SS' (UTC)
        # The soak's trace as written, header and samples: two logs of one soak hold the same.
        self.trace_hash = hashlib.sha256()
        # What was said of each case, in order: [name, result, details or None, data or None].
        self.said = []
        self.cases = []
        self.closed = False  # a stop-sigint line came: what follows is outside the soak
        self.ended = False  # complete: the check itself judged stop-sigint, and it had samples
        self.cut = 'no stop-sigint'  # why it is not complete

    def where(self):
        return f'{self.source}:{self.line}'

    def zones(self):
        return [name for kind, name in self.sensors if kind == 'zone']

    def header(self, text):
        self.trace_hash.update(text.encode('utf-8', 'surrogateescape') + b'\n')
        self.columns = []
        for column in text.split(',')[2:]:
            kind = 'zone' if column.endswith('_c') else 'meter' if column.endswith('_w') else None
            name = UNSAFE_PLOT.sub('_', column[:-2])
            kind = kind if name else None
            if kind is None and re.fullmatch(r'cpu[0-9]+_mhz', column):
                kind, name = 'cpu', column[:-4]
            self.columns.append((kind, name))
            if kind:
                self.sensors[kind, name] = True

    def sample(self, text, keep):
        self.trace_hash.update(text.encode('utf-8', 'surrogateescape') + b'\n')
        fields = text.split(',')[1:]
        if not NUMBER.match(fields[0]):
            return
        # A long soak is thinned as it is read, every other sample at a time, so that a
        # thousand boards' traces fit in memory and in a picture.
        self.samples += 1
        if not keep or self.samples % self.stride:
            return
        t = float(fields[0])
        for (kind, name), value in zip(self.columns, fields[1:]):
            if kind == 'zone' and NUMBER.match(value):
                self.traces.setdefault(name, []).append((t, float(value)))
        if any(len(points) > 2 * TRACE_POINTS for points in self.traces.values()):
            for points in self.traces.values():
                del points[1::2]
            self.stride *= 2

    def pairs(self, name):
        """Whether a data line of name belongs to the case line just read."""
        return bool(self.said) and self.said[-1][0] == name and self.said[-1][3] is None \
            and self.said[-1][2] is not None

    def finish(self, by_data, notes):
        """The cases, each from its data line (by_data) or from its words. A case the check did
        not judge itself, the glue's, counts as said, but gives no figure and ends no soak."""
        judged = said_stop = False
        for name, result, details, data in self.said:
            self.cases.append((name, result))
            said_stop = said_stop or name == 'stop-sigint'
            if data is None if by_data else GLUE.match(details):
                continue
            judged = judged or name == 'stop-sigint'
            self.figure(name, result, details, data, notes)
        self.ended = judged and self.samples > 0
        if not self.ended:
            self.cut = ('no sample in its trace' if judged else
                        'the check never judged stop-sigint (only its LAVA glue did)' if said_stop else 'no stop-sigint')

    def figure(self, name, result, details, data, notes):
        kind = figure_of(name)
        if kind is None:
            return
        _, what, owner, units, _ = kind
        self.sensors[what, owner] = True
        if name in self.figures or name in self.skipped:
            self.twice.add(name)
        if result == 'skip':
            self.skipped.add(name)
            return
        if data is not None:
            value, decimals, given = data
            never = value is None and given == 's'
            where, wrong = 'in its data line', given != units
        else:
            match = FIGURE.match(details)
            value, decimals = (match.group(1), match.group(2)) if match else (None, None)
            never = match is not None and value is None
            where, wrong = 'where its details start', not match or (match.group(3) or units) != units
        if wrong or (never and not name.startswith('throttle-onset-')) or (value is None and not never) \
                or (value is not None and not math.isfinite(float(value))):
            notes.append(f'{self.ident} ({self.where()}): {name}: no figure in {units} {where}, left out')
        elif never:
            self.figures[name] = Figure(NEVER, 'never', 0)
        else:
            # The check prints six decimals at most; a log with hundreds would scale to nothing.
            self.figures[name] = Figure(float(value), value, min(len(decimals or ''), 9))


def board_fields(text):
    return dict(part.split('=', 1) for part in text.split(',')[1:] if '=' in part)


def read_soaks(stream, source, notes, traces):
    """Every soak of one log, in order."""
    soaks, soak, outside = [], None, []
    data = bad = 0
    for number, raw in enumerate(stream, 1):
        for text in messages(raw):
            if text.startswith('hogspin-board,'):
                soak = Soak(source, number, board_fields(text))
                lava = LAVA_TIME.match(raw.decode('utf-8', 'replace'))
                soak.lava_time = lava.group(1) if lava else None
                soaks.append(soak)
            elif text.startswith('hogspin-trace,t_s,') and (soak is None or soak.closed or soak.columns is not None):
                # An older check printed no board line: each trace is a soak of its own.
                soak = Soak(source, number, soak.fields if soak and not soak.closed else {})
                soak.header(text)
                soaks.append(soak)
            elif text.startswith('hogspin-case,'):
                case = data_line(text)
                data, bad = data + bool(case), bad + (not case)
                if case:
                    add_data(soak, outside, *case)
            elif text.startswith('hogspin-interval,'):
                interval = INTERVAL.match(text)
                if interval and soak is not None and soak.said and soak.said[-1][0] == interval.group(1):
                    soak.intervals[interval.group(1)] = (float(interval.group(2)), float(interval.group(3)))
            elif soak is None or soak.closed:
                case = CASE.match(text)
                if case:
                    outside.append([case.group(1), case.group(2), case.group(3), None])
            elif text.startswith('hogspin-trace,t_s,'):
                soak.header(text)
            elif text.startswith('hogspin-trace,'):
                if soak.columns is not None:
                    soak.sample(text, traces)
            elif text.startswith('hogspin-check: '):
                case = CASE.match(text)
                if case:
                    soak.said.append([case.group(1), case.group(2), case.group(3), None])
                    soak.closed = soak.closed or case.group(1) == 'stop-sigint'
    for soak in soaks:
        soak.finish(data > 0, notes)
    if not soaks:
        notes.append(f'{source}: no soak in it (no hogspin-board or trace header line)')
    elif not data and any(soak.said for soak in soaks):
        notes.append(f'{source}: no hogspin-case data line, as from an older check: its cases were read from the '
                     'words of their lines')
    if bad:
        notes.append(f'{source}: {bad} hogspin-case line{"s" if bad > 1 else ""} not understood, left out')
    if outside:
        failed = [c[0] for c in outside if c[1] == 'fail']
        notes.append(f'{source}: {len(outside)} case line{"s" if len(outside) > 1 else ""} outside a soak, left out'
                     + (f'; failed: {few(failed)}' if failed else ''))
    return soaks


def add_data(soak, outside, name, result, data):
    """A data line: with the case line it follows, else a case of its own."""
    if soak is not None and soak.pairs(name):
        soak.said[-1][1], soak.said[-1][3] = result, data
    elif soak is not None and not soak.closed:
        soak.said.append([name, result, None, data])
        soak.closed = name == 'stop-sigint'
    elif outside and outside[-1][0] == name and outside[-1][3] is None:
        outside[-1][1], outside[-1][3] = result, data
    else:
        outside.append([name, result, None, data])
