# SPDX-License-Identifier: MIT
"""The check's cases as a KCIDB report (I/O schema v4.5): one test a case, its figure a number."""
import hashlib
import json
import math
import os
import re
import tempfile
from decimal import Decimal
from urllib.parse import quote

from .common import Failure, figure_of
from .history import seconds_of, stamp, started_of

VERSION = {'major': 4, 'minor': 5}  # the first minor whose test holds number {value, unit, prefix}
ORIGIN = re.compile(r'[a-z0-9_]+')
STATUS = {'pass': 'PASS', 'fail': 'FAIL', 'skip': 'SKIP'}
FIGURE = re.compile(r'-?[0-9]+(?:\.[0-9]+)?')  # as the check prints one
# The check's units: (the unit given, a power of ten the value is shifted by, the prefix).
# A unit that takes a prefix is given bare, with prefix 'metric', so that a figure compares with
# every other of its kind whichever prefix the check printed it in: mW goes as W, MHz as Hz.
# The shift moves the decimal point of the printed text, so the value stays the one printed.
UNITS = {
    'C': ('°C', 0, None),  # a temperature: no prefix ('C' alone is the coulomb)
    'W': ('W', 0, 'metric'),
    'mW': ('W', -3, 'metric'),
    's': ('s', 0, 'metric'),
    'K/W': ('K/W', 0, None),  # a compound a prefix would make ambiguous (mK/W)
    'MHz': ('Hz', 6, 'metric'),
    'J': ('J', 0, 'metric'),
    # As the kernel's energy model and device tree give dynamic-power-coefficient: compared
    # with those as it is, so neither shifted nor prefixed.
    'uW/MHz/V2': ('µW/MHz/V²', 0, None),
}
PART = re.compile(r'[A-Za-z0-9-]')
HEX_PAIR = re.compile(r'[0-9a-f]{2}')
# What an id's '.*' does not match (ECMAScript's line terminators), with '%', ':' and '@',
# which separate an id's parts.
ID_QUOTED = '%:@\n\r\u2028\u2029'


def path_part(text):
    """text as one part of a test's path, which holds letters, digits, '_' and '-' alone: any
    other character (a '.' above all, which would split the part) becomes '_' and two lowercase
    hex digits for each of its UTF-8 bytes ('.' is '_2e'); a '_' stays, but as '_5f' where two
    lowercase hex digits follow it, so that every part reads back one way."""
    out = []
    for i, c in enumerate(text):
        if c == '_' and not HEX_PAIR.match(text, i + 1):
            out.append(c)
        elif PART.match(c):
            out.append(c)
        else:
            out.append(''.join(f'_{b:02x}' for b in c.encode('utf-8', 'surrogatepass')))
    return ''.join(out) or '_'


def test_path(name):
    """hogspin.<figure>.<what it is of> for a figure's case, else hogspin.<case>."""
    kind = figure_of(name)
    if kind is None:
        return f'hogspin.{path_part(name)}'
    return f'hogspin.{path_part(kind[0][:-1])}.{path_part(kind[2])}'


def id_part(text):
    """text as a part of an id: what separates the parts or ends a line as %XX of its bytes."""
    return ''.join(quote(c, safe='') if c in ID_QUOTED or c < ' ' or c == '\x7f' else c for c in text)


def number(text, units):
    """The schema's number of a figure as printed, or None: no figure ('never'), or units the
    check does not use."""
    if text is None or units not in UNITS or not FIGURE.fullmatch(text):
        return None
    unit, shift, prefix = UNITS[units]
    exact = Decimal(text).scaleb(shift)
    value = int(exact) if exact == exact.to_integral_value() and abs(exact) < 2 ** 53 else float(exact)
    if not math.isfinite(value):
        return None
    given = {'value': value, 'unit': unit}
    if prefix:
        given['prefix'] = prefix
    return given


def started(text):
    """The soak's start as the schema's date-time, or None where it is missing or no real time."""
    return text if text and text.endswith('Z') and seconds_of(text) is not None else None


def soak_key(record):
    """The soak's own part of its tests' ids: its board and when it started, with its trace's
    digest where known (a board clock that does not keep time starts every soak alike); without
    a start, a digest of all it said (its source aside, so that one log read from two places is
    one soak)."""
    board = id_part(record.get('board') or '')
    when = started(record.get('started'))
    trace = record.get('digest') or ''
    if when:
        return f'{board}@{when}' + (f'~{trace[:12]}' if re.fullmatch(r'[0-9a-f]{12,}', trace) else '')
    said = [record.get(k) or '' for k in ('board', 'model', 'kernel', 'host', 'check')]
    said.append([list(case) for case in record.get('cases', [])])
    digest = hashlib.sha256(json.dumps(said, ensure_ascii=False).encode('utf-8', 'surrogatepass')).hexdigest()
    return f'{board}@sha256-{digest[:20]}'


def kernel_objects(origin, release):
    """The checkout and build of a kernel release: all the check knows of it is uname's release,
    no commit or tree, so one checkout and one build stand for each release string, the release
    in their comment (what the schema offers for a release version) and in misc."""
    ident = f'{origin}:kernel:{id_part(release)}' if release else f'{origin}:kernel-unknown'
    checkout = {'id': ident, 'origin': origin, 'valid': True}  # it booted: it was checked out and built
    build = {'id': ident, 'origin': origin, 'checkout_id': ident, 'valid': True}
    if release:
        for made in (checkout, build):
            made['comment'] = release
            made['misc'] = {'kernel_release': release}
    return checkout, build


def environment(record):
    """Where the soak ran: the board, as the report names it, and what the check said of it.
    The schema's 'compatible' wants the device tree's compatible strings, which the check does
    not print: the model goes in misc."""
    env = {'misc': {k: record[k] for k in ('board', 'model', 'host') if record.get(k)}}
    if record.get('board'):
        env['comment'] = record['board']
    return env


def tests_of(record, origin, build_id):
    """One test a case, in order; a name said twice gets '#2' in its id."""
    key, env, when = soak_key(record), environment(record), started(record.get('started'))
    tests, seen = [], {}
    for name, result, text, units in record.get('cases', []):
        seen[name] = seen.get(name, 0) + 1
        test = {'id': f'{origin}:{key}:{id_part(name)}' + (f'#{seen[name]}' if seen[name] > 1 else ''),
                'origin': origin, 'build_id': build_id, 'path': test_path(name),
                # A result the check does not give is no verdict on the kernel.
                'status': STATUS.get(result, 'ERROR'), 'environment': env}
        if when:
            test['start_time'] = when
        given = number(text, units) if result != 'skip' else None  # a skipped test's number means nothing
        if given:
            test['number'] = given
        misc = {k: v for k, v in (('figure', text), ('units', units), ('check', record.get('check')),
                                  ('source', record.get('source'))) if v}
        if misc:
            test['misc'] = misc
        tests.append(test)
    return tests


def report(records, origin):
    """The KCIDB report of records, one a soak."""
    if not isinstance(origin, str) or not ORIGIN.fullmatch(origin):
        raise Failure(f'not a KCIDB origin (lowercase letters, digits and _): {origin!r}')
    checkouts, builds, tests = {}, {}, {}
    for record in records:
        checkout, build = kernel_objects(origin, record.get('kernel') or '')
        checkouts.setdefault(checkout['id'], checkout)
        builds.setdefault(build['id'], build)
        for test in tests_of(record, origin, build['id']):
            tests.setdefault(test['id'], test)  # one soak given twice is reported once
    return {'version': dict(VERSION), 'checkouts': list(checkouts.values()), 'builds': list(builds.values()),
            'tests': list(tests.values())}


def records_of_batch(boards, now):
    """The report's batch, board name to reading.Soak, as records, one a board, each started
    where the history would place it (a board clock's 1970 or 2099 is no start)."""
    records = []
    for board, soak in boards.items():
        fields = soak.fields
        when, _ = started_of(soak, now)
        cases = []
        for name, result, _, data in soak.said:
            if data is not None:
                text, _, units = data
                text = text if text is not None else ('never' if units else None)
            elif name in soak.figures:  # an older check's log: the figure read from its words
                text, units = soak.figures[name].text, figure_of(name)[3]
            else:
                text, units = None, ''
            cases.append((name, result, text, units))
        records.append({'board': board, 'model': fields.get('model', ''), 'kernel': fields.get('kernel', ''),
                        'host': fields.get('host', ''), 'started': None if when is None else stamp(when),
                        'digest': soak.trace_hash.hexdigest(),
                        'check': fields.get('check', ''), 'source': soak.source, 'cases': cases})
    return records


def write(path, made):
    """made as JSON at path, whole or not at all: a file beside it, renamed over it."""
    directory = os.path.dirname(path) or '.'
    text = json.dumps(made, indent=1, ensure_ascii=False, allow_nan=False) + '\n'
    temporary = None
    try:
        fd, temporary = tempfile.mkstemp(dir=directory, prefix='.kcidb-', suffix='.tmp')
        # A lone surrogate, which UTF-8 cannot hold, as JSON's own escape of it.
        with os.fdopen(fd, 'w', encoding='utf-8', errors='backslashreplace') as out:
            mask = os.umask(0)
            os.umask(mask)
            os.fchmod(out.fileno(), 0o666 & ~mask)  # as an ordinary file, not mkstemp's 0600
            out.write(text)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, path)
        temporary = None
    except OSError as e:
        raise Failure(f'cannot write {path}: {e.strerror}')
    finally:
        if temporary is not None:
            try:
                os.unlink(temporary)
            except OSError:
                pass
