#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The KCIDB report of the stand-in logs and of hostile soaks, held to the I/O schema v4.5's rules."""
import json
import os
import re
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, 'lava'))
from hogspin_report import common, judging, kcidb, reading  # noqa: E402

# The schema's rules as written down from its text: each object's fields, those it requires
# first, the types of some, origins and ids ('.*' of ECMAScript stops at a line terminator).
FIELDS = {
    'checkouts': ('id origin', 'tree_name git_repository_url git_commit_hash git_commit_name git_repository_branch '
                  'patchset_files patchset_hash message_id contacts log_url log_excerpt start_time comment valid misc'),
    'builds': ('id origin checkout_id', 'duration architecture command compiler input_files output_files config_name '
               'config_url log_url log_excerpt start_time comment valid misc'),
    'tests': ('id origin build_id', 'environment path log_url log_excerpt status number waived duration output_files '
              'start_time comment misc'),
}
TYPES = {'comment': str, 'path': str, 'start_time': str, 'status': str, 'valid': bool, 'misc': dict,
         'environment': dict, 'number': dict}
ORIGIN = re.compile(r'[a-z0-9_]+')
ID = re.compile(r'([a-z0-9_]+):[^\n\r\u2028\u2029]*')
DATE_TIME = re.compile(r'[0-9]{4}-[0-9]{2}-[0-9]{2}[Tt][0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]+)?([Zz]|[+-][0-9]{2}:[0-9]{2})')
PATH_PART = re.compile(r'[a-zA-Z0-9_-]+')  # the schema allows [.a-zA-Z0-9_-]*; a part is never empty here


def problems(made):
    """What in made breaks the schema's rules: an empty list if nothing."""
    version = made.get('version', {})
    said = [f'top level: {sorted(made)}'] if set(made) - {'version', *FIELDS, 'issues', 'incidents'} else []
    if set(version) - {'major', 'minor'} or version.get('major') != 4 or version.get('minor') not in range(6):
        said.append(f'version: {version}')
    said += [f'null: {n}' for n in re.findall(r'"[^"]*": null', json.dumps(made))]
    ids = {kind: [o.get('id') for o in made.get(kind, [])] for kind in FIELDS}
    for kind, (required, optional) in FIELDS.items():
        said += [f'{kind}: ids not unique'] if len(set(ids[kind])) < len(ids[kind]) else []
        for o in made.get(kind, []):
            where = f'{kind} {o.get("id")!r}'
            said += [f'{where}: lacks {k}' for k in set(required.split()) - set(o)]
            said += [f'{where}: field {k}' for k in set(o) - set(f'_timestamp {required} {optional}'.split())]
            said += [f'{where}: {k} {o[k]!r}' for k, t in TYPES.items() if k in o and type(o[k]) is not t]
            said += [f'{where}: origin'] if not ORIGIN.fullmatch(str(o.get('origin'))) else []
            for k in ('id', 'checkout_id', 'build_id'):
                match = ID.fullmatch(str(o[k])) if k in o else None
                if k in o and not (match and match.group(1) == o['origin'] and type(o[k]) is str):
                    said.append(f'{where}: {k} {o[k]!r}')
            if o.get('checkout_id', ids['checkouts'][0]) not in ids['checkouts'] or \
                    o.get('build_id', ids['builds'][0]) not in ids['builds']:
                said.append(f'{where}: refers to no object of the report')
            if not DATE_TIME.fullmatch(o.get('start_time', '2025-01-01T00:00:00Z')):
                said.append(f'{where}: start_time {o["start_time"]!r}')
            said += [f'{where}: {w}' for w in test_problems(o)] if kind == 'tests' else []
    return said


def test_problems(t):
    said = [f'status {t.get("status")!r}'] if t.get('status', 'PASS') not in 'FAIL ERROR MISS PASS DONE SKIP'.split() else []
    if not all(PATH_PART.fullmatch(p) for p in t.get('path', 'x').split('.')):
        said.append(f'path {t["path"]!r}')
    env = t.get('environment', {})
    if set(env) - {'compatible', 'comment', 'misc'} or type(env.get('comment', '')) is not str:
        said.append(f'environment {env!r}')
    number = t.get('number', {'value': 0})
    if set(number) - {'value', 'unit', 'prefix'} or type(number.get('value')) not in (int, float) \
            or type(number.get('unit', '')) is not str or number.get('prefix', 'metric') not in ('metric', 'binary'):
        said.append(f'number {number!r}')
    if 'number' in t and t.get('status') not in ('FAIL', 'ERROR', 'PASS', 'DONE'):
        said.append('a number where the test did not run')  # the schema: only then is it considered
    return said


def six():
    notes, soaks = [], []
    for n in range(1, 8):  # the six stand-ins, and board-07, an older check's, whose figures are its words
        path = os.path.join(HERE, f'board-0{n}.log' if n < 7 else 'board-07-lava.log')
        with open(path, 'rb') as f:
            soaks += reading.read_soaks(f, f'board-0{n}.log', notes, False)
    return kcidb.records_of_batch(judging.choose(soaks, notes), time.time())


BASE = {'board': 'b', 'model': 'M', 'kernel': '6.1.0', 'host': 'h', 'started': '2025-03-01T10:00:00Z', 'check': '0.1.0',
        'source': 'job 7'}
# what, the record's fields, its case, the test's path, its number (None: none), its status.
ROWS = [
    ('a board named with dots, quotes and more', {'board': 'rk.3588 "x" \'y\' é\n%:@'},
     ('thermal-resistance-soc.top', 'pass', '5.97', 'K/W'), 'hogspin.thermal-resistance.soc_2etop',
     {'value': 5.97, 'unit': 'K/W'}, 'PASS'),
    ('a throttle that never came', {}, ('throttle-onset-cpu1', 'pass', 'never', 's'), 'hogspin.throttle-onset.cpu1',
     None, 'PASS'),
    ('no start', {'started': None}, ('temp-max-soc', 'fail', '91.5', 'C'), 'hogspin.temp-max.soc',
     {'value': 91.5, 'unit': '°C'}, 'FAIL'),
    ('a start that is no time', {'started': '2025-02-30T10:00:00Z'}, ('cpu-busy', 'pass', None, ''),
     'hogspin.cpu-busy', None, 'PASS'),
    ('milliwatts as watts, exactly', {}, ('sustainable-power-cpu_thermal', 'pass', '1234.5', 'mW'),
     'hogspin.sustainable-power.cpu_thermal', {'value': 1.2345, 'unit': 'W', 'prefix': 'metric'}, 'PASS'),
    ('megahertz as hertz', {}, ('freq-min-cpu1', 'pass', '1800.5', 'MHz'), 'hogspin.freq-min.cpu1',
     {'value': 1800500000, 'unit': 'Hz', 'prefix': 'metric'}, 'PASS'),
    ('the dynamic power coefficient', {}, ('dynamic-power-coefficient-cpu1', 'pass', '180', 'uW/MHz/V2'),
     'hogspin.dynamic-power-coefficient.cpu1', {'value': 180, 'unit': 'µW/MHz/V²'}, 'PASS'),
    ('a skipped case gives no number', {}, ('power-idle-ina3221-VDD_CPU', 'skip', '1.85', 'W'),
     'hogspin.power-idle.ina3221-VDD_CPU', None, 'SKIP'),
    ("a zone whose '_' an escape would read", {}, ('temp-max-tz_2e', 'pass', '1e5', 'C'), 'hogspin.temp-max.tz_5f2e',
     None, 'PASS'),
    ('a verdict named as a figure', {'kernel': ''}, ('energy-model-linear-cpu1', 'pass', None, ''),
     'hogspin.energy-model-linear-cpu1', None, 'PASS'),
]
# What the rules above must refuse: (objects, index, field, value; None takes it out).
BROKEN = [('tests', 0, 'id', 'hogspin'), ('tests', 0, 'id', 'other:x'), ('tests', 0, 'id', 'hogspin:a\u2028b'),
          ('tests', 0, 'build_id', None), ('tests', 0, 'build_id', 'hogspin:none'), ('tests', 0, 'path', 'a..b'),
          ('tests', 0, 'path', 'a.b c'), ('tests', 0, 'status', 'pass'), ('tests', 0, 'start_time', '2025-03-01'),
          ('tests', 0, 'number', {'value': '1'}), ('tests', 0, 'number', {'value': 1, 'prefix': 'si'}),
          ('tests', 0, 'environment', {'board': 'b'}), ('tests', 0, 'value', {'number': 1}), ('tests', 0, 'misc', 'x'),
          ('builds', 0, 'checkout_id', None), ('checkouts', 0, 'origin', 'Hog'), ('checkouts', 0, 'valid', 'yes'),
          ('tests', 1, 'id', 'hogspin:b@2025-03-01T10:00:00Z:cpu-busy')]


class Kcidb(unittest.TestCase):
    def test_stand_ins(self):
        records = six()
        made = kcidb.report(records, 'hogspin')
        self.assertEqual(problems(made), [])
        self.assertEqual(len(made['tests']), sum(len(r['cases']) for r in records))
        self.assertEqual(made, kcidb.report(six(), 'hogspin'), 'the same soaks, the same report')
        older = [t for t in made['tests'] if t['id'].startswith('hogspin:board-07@') and 'number' in t]
        self.assertIn({'value': 6, 'unit': 'K/W'}, [t['number'] for t in older])  # '6.00 K/W'

    def test_hostile(self):
        for what, fields, case, path, number, status in ROWS:
            with self.subTest(what):
                made = kcidb.report([dict(BASE, **fields, cases=[case])], 'hogspin')
                self.assertEqual(problems(made), [])
                test, = made['tests']
                self.assertEqual((test['path'], test.get('number'), test['status']), (path, number, status))
                self.assertEqual(test['environment'].get('comment'), fields.get('board', 'b'))

    def test_broken(self):
        cases = [('cpu-busy', 'pass', None, ''), ('temp-max-soc', 'skip', None, '')]
        for kind, index, field, value in BROKEN:
            with self.subTest(f'{kind} {field} {value!r}'):
                made = kcidb.report([dict(BASE, cases=cases)], 'hogspin')
                made[kind][index][field] = value
                if value is None:
                    del made[kind][index][field]
                self.assertNotEqual(problems(made), [])

    def test_ids(self):
        """The same soak, wherever its log was read, has the same ids; two soaks or two cases do not."""
        cases = [('summary-ret', 'pass', None, ''), ('temp-max-soc', 'pass', '50.1', 'C'),
                 ('temp-max-soc', 'pass', '50.2', 'C')]
        soak = dict(BASE, cases=cases)
        others = [dict(soak, source='elsewhere.log'), dict(soak, started='2025-03-01T10:00:01Z'),
                  dict(soak, board='b.'), dict(soak, board='b%2E'), dict(soak, started=None),
                  dict(soak, started=None, cases=cases[:2] + [('temp-max-soc', 'pass', '50.3', 'C')]),
                  # A board clock that does not keep time: two soaks of one start, told by their traces.
                  dict(soak, digest='a' * 64), dict(soak, digest='b' * 64)]
        ids = [[t['id'] for t in kcidb.report([r], 'hogspin')['tests']] for r in [soak] + others]
        self.assertEqual(ids[0], ids[1])
        self.assertEqual(len({i for run in ids[1:] for i in run}), 3 * len(others))
        made = kcidb.report([soak, others[0]] + others[1:], 'hogspin')
        self.assertEqual(problems(made), [])
        self.assertEqual(len(made['tests']), 3 * len(others), 'one soak given twice is reported once')
        with self.assertRaises(common.Failure):
            kcidb.report([soak], 'Hog-Spin')

    def test_write(self):
        made = kcidb.report([dict(BASE, board='\udcff é', cases=[('cpu-busy', 'pass', None, '')])], 'hogspin')
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, 'kcidb.json')
            kcidb.write(path, made)
            with open(path, encoding='utf-8') as f:
                self.assertEqual(json.load(f), made)
            self.assertEqual(os.listdir(work), ['kcidb.json'])
            with self.assertRaisesRegex(common.Failure, f'cannot write {work}/none/k.json: No such file'):
                kcidb.write(os.path.join(work, 'none', 'k.json'), made)


if __name__ == '__main__':
    unittest.main()
