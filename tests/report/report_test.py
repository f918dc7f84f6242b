#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Batches of the stand-in logs beside this file, each run through lava/hogspin-report, and the
check's cases as the report, the LAVA definition and its glue know them."""
import csv
import errno
import io
import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, 'lava'))
from hogspin_report import children, common, history, reading  # noqa: E402
import farm_nights  # noqa: E402  (a farm's nights of logs for the history)
import kcidb_test  # noqa: E402  (its check of a KCIDB report)  (the report is ended by PID whatever happens)

REPORT = os.path.join(ROOT, 'lava', 'hogspin-report')
# The built check and tool, from ctest; without them the tests that run them are skipped.
CHECK, HOGSPIN = os.environ.get('HOGSPIN_CHECK_EXE'), os.environ.get('HOGSPIN_EXE')
UNBUILT = 'HOGSPIN_CHECK_EXE or HOGSPIN_EXE not set: run by ctest, which passes the built check and tool'
# A case's name: its prefix, then what it is of; with the report's word for that, and a name of one.
PLACED = re.compile(r'(.*?)(ZONE|METER|DEVICE|cpuCPU-MHZ|cpuCPU)?')
KINDS = {'ZONE': ('zone', 'soc'), 'METER': ('meter', 'ina3221-VDD_CPU'), 'DEVICE': ('cooling', 'cpufreq-cpu1'),
         'cpuCPU': ('cpu', 'cpu1'), 'cpuCPU-MHZ': ('opp', 'cpu1-600')}
CORE = ['summary-ret', 'workers-pinned', 'cpu-busy', 'stop-sigint']
ALIKE = ['board-01.log', 'board-02.log', 'board-03.log', 'board-05.log', 'board-06.log']
# Answers job N with board-0N.log, job 9 as a server that has no such job, job 8 never.
LAVACLI = '''#!/bin/sh
[ "$*" = "-i farm jobs logs --raw --no-follow $7" ] || { echo "unexpected: $*" >&2; exit 3; }
[ "$7" != 9 ] || { echo "Unable to call 'jobs.logs': <Fault 404: 'Job '9' does not exist'>" >&2; exit 1; }
[ "$7" != 8 ] || { echo $$ >"${0%%/*}/hung"; exec sleep 60; }
exec cat "%s/board-0$7.log"
''' % HERE
# Twice the others' thermal resistance, in the case line's words and in its data line.
HOT = [('5.97 K/W', '12.04 K/W'), ('pass,5.97,K/W', 'pass,12.04,K/W')]
# A board's name as a hostile log would give it, an outlier's: its traces are titled with it.
OWN = 'touch {d}/owned'
HOSTILE = [('board=copy-6', f'board=x"$({OWN})`{OWN}`\'; system "{OWN}"')] + HOT
ZERO = '0.' + '0' * 400

# what, arguments ({d}: the work directory; copies: six copies of board-01, the last one's text
# changed, see copies()), exit status, what the output (svg: the picture) says, what it must not say.
CASES = [
    ('an outlier among six', ALIKE + ['board-04.log'], 1,
     ['**1 outlier**: board-04 (', 'thermal-resistance-soc',
      '- board-04 (board-04.log): thermal-resistance-soc 11.97 K/W, median 6.02 K/W'],
     ['- board-01', '- board-02']),
    ('three boards: no verdict', ALIKE[:3], 0, ['No outlier verdict: 3 boards, and a median and its spread need at least 5'],
     ['## Outliers']),
    ('a log without a soak', ['no-soak.log'] + ALIKE, 0,
     ['no-soak.log: no soak in it', 'failed: summary-ret, workers-pinned', '# hogspin-report: 5 boards'], []),
    ('a board with an extra zone', ALIKE + ['board-08-extra-zone.log'], 0,
     ['board-08: unlike 5 other boards, has zone gpu', '| board-08 | gpu | 33.12 | 4.415 | 6.02 | 34.71 | 2.00 |',
      'temp-max-gpu, temp-rise-gpu, temp-tau-gpu and 2 more: no outlier verdict: 1 board has it'], []),
    ('a board without zones, meters or clock', ALIKE + ['board-10-no-zone.log'], 0,
     ['| board-10 | – |  |', 'Not judged on every figure: board-10 (lacks 14 of 14)'], []),
    # Its first soak's resistance is twice the others': the last one counts.
    ('two soaks of one board', ALIKE[:4] + ['board-09-two-soaks.log'], 0,
     ['board-09: 2 soaks (board-09-two-soaks.log:1, board-09-two-soaks.log:86); the last complete one'], ['11.99']),
    # Boards of one image share a host name: without a BOARD each log is a board of its own.
    ('one host in six logs, no BOARD', ('copies', HOT, 'anonymous'), 1,
     ['- farm-01@copy-6.log ({d}/copy-6.log): thermal-resistance-soc 12.04 K/W', 'each log is taken as a board of its own'], []),
    # ... each saved as soak.log in a directory of its own: told apart by the whole path.
    ('one host in six logs of one name, no BOARD', ('copies', HOT, 'anonymous dirs'), 1,
     ['# hogspin-report: 6 boards', '- farm-01@job6/soak.log ({d}/job6/soak.log): thermal-resistance-soc 12.04 K/W'], []),
    ('one name in two logs', ('copies', [('board=copy-6', 'board=copy-5')]), 0,
     ["Soaks from several logs taken as one board's, by name: copy-5 (2 logs, named by its board)"], []),
    ('a LAVA job log, CRLF', ALIKE[:4] + ['board-07-lava.log'], 0,
     ['| board-07 | soc | 53.816 | 17.664 | 2.01 | 54.17 | 6.00 | 1.85 | 2.909091 | never | 0.00 | skip | 19 pass, 0 fail',
      'board-07-lava.log: no hogspin-case data line, as from an older check: its cases were read from the words'], []),
    ('boards that agree to the digit', ('copies', [('5.97 K/W', '5.98 K/W'), (',5.97,', ',5.98,')]), 0,
     ['No outlier on the 14 figures judged:'], []),
    ('agreeing boards and one that does not', ('copies', [('5.97 K/W', '6.50 K/W'), (',5.97,', ',6.50,')]), 1,
     ['- copy-6 ({d}/copy-6.log): thermal-resistance-soc 6.50 K/W, median 5.97 K/W'], ['copy-1:']),
    ('one board that throttles', ('copies', [('onset-cpu1: pass (never,', 'onset-cpu1: pass (12.5 s,'),
                                             ('onset-cpu1,pass,never,', 'onset-cpu1,pass,12.5,')]), 1,
     ['- copy-6 ({d}/copy-6.log): throttle-onset-cpu1 12.5 s, median never, distance ∞'], []),
    # Every board's rise zero to 400 digits: a scale of 10^-400 would be none.
    ('a figure zero to hundreds of digits', ('copies', [('temp-rise-soc: pass (17.58 ', f'temp-rise-soc: pass ({ZERO} '),
                                                       ('rise-soc,pass,17.58,', f'rise-soc,pass,{ZERO},')], 'all'),
     0, ['| temp-rise-soc | C | 6 | 0.000000000 | 1e-09 |'], []),
    ('a board with every case skipped', ('copies', [('pass (', 'skip ('), (re.compile(',pass,.*'), ',skip,,')]), 0,
     ['Not judged on every figure: copy-6 (lacks 14 of 14)'], []),
    ('CSV', ['--csv'] + ALIKE + ['board-04.log'], 1,
     ['hogspin-report: outlier board-04 (board-04.log): thermal-resistance-soc 11.97 K/W'], ['# hogspin-report']),
    ('jobs through lavacli', ['--lava', 'farm', '1', '2', '3', '4', '5', '6'], 1,
     ['- board-04 (job 4): thermal-resistance-soc 11.97 K/W'], []),
    ('lavacli failing', ['--lava', 'farm', '1', '9'], 2,
     ["lavacli -i farm jobs logs --raw --no-follow 9 failed (status 1): Unable to call 'jobs.logs'"], ['# hogspin-report']),
    ('lavacli hanging', ['--timeout', '1', '--lava', 'farm', '1', '8'], 2,
     ['lavacli -i farm jobs logs --raw --no-follow 8: still running after 1 s: killed'], []),
    ('no lavacli', ['--lava', 'farm', '1'], 2, ['lavacli not found in PATH'], []),
    ('no log', [], 2, ['usage: hogspin-report'], []),
    ('a file that cannot be read', ALIKE + ['{d}/absent.log'], 2, ['cannot read {d}/absent.log: No such file'], []),
    ('drawn', ['--svg', '{d}/report.svg'] + ALIKE + ['board-04.log'], 1,
     ['**1 outlier**: board-04', 'svg:thermal-resistance-soc (K/W)', 'svg:soc: every board'], []),
    ('names with quotes and commands, drawn', ('copies', HOSTILE), 1, ['| x%22%24%28touch ', 'svg:<text>x_touch_'], []),
    # Two names that differ beyond ASCII alone, each raw in one log and %XX-encoded in another.
    ('names that differ beyond ASCII, drawn',
     ('copies', [('board=copy-3', 'board=board-ö'), ('board=copy-4', 'board=board-ä'),
                 ('board=copy-5', 'board=board-%C3%A4'), ('board=copy-6', 'board=board-%C3%B6')], 'all'), 0,
     ['# hogspin-report: 4 boards', 'board-ä (2 logs, named by its board), board-ö (2 logs', '| board-ö | soc |',
      'svg:board-_C3_A4', 'svg:board-_C3_B6'], []),
    # A rerun cut short under LAVA, its unjudged cases failed by the glue: the complete soak counts.
    ('a complete soak, then a rerun cut short', ('copies', HOT, 'cut'), 1,
     ['- copy-6 ({d}/copy-6.log): thermal-resistance-soc 12.04 K/W', 'the last complete one, {d}/copy-6.log:1, is reported'], []),
    # Swept boards: their coefficient is a figure as the others are, each point's power too.
    ('a board whose CPU draws more', ('copies', [('pass,536,uW', 'pass,690,uW'), ('pass (536 ', 'pass (690 ')], 'sweep'), 1,
     ['- copy-6 ({d}/copy-6.log): dynamic-power-coefficient-cpu1 690 uW/MHz/V2, median 533', '| power-opp-cpu1-600 | W | 6 |'], []),
    ('the same in older checks\' logs', ('copies', HOT, 'cut old'), 1,
     ['- copy-6 ({d}/copy-6.log): thermal-resistance-soc 12.04 K/W', 'the last complete one, {d}/copy-6.log:1, is reported'], []),
    # The built check's own output, not a stored log: its figures vary, their form does not.
    ('a fresh soak', ('fresh',), 0,
     ['# hogspin-report: 1 board\n', re.compile(r'\| fresh \| cpu-thermal \| -?[0-9.]+ \| -?[0-9.]+ \| '),
      re.compile(r'\| [0-9]+ pass, 0 fail')], ['left out', 'not understood', 'outside a soak']),
]

# A farm's nights: six boards, twenty soaks each, their thermal resistance wobbling by 0.02 K/W.
# Changes: {board or '*': (first night changed, K/W added)}; '*' moves the kernel too.
STEPPED = {'board-03': (12, 0.5)}
SHARED = {'*': (11, 0.4)}
HISTORY_AT = '--history {d}/h.db'.split()
# what, how the nights are made, [(arguments, exit status, what it says, what it must not)]:
# the runs in turn on one history; {d} the work directory, @{d}/nights lists every night's log.
HISTORY = [
    ('a history read twice adds nothing', {}, [
        (HISTORY_AT + ['@{d}/nights'], 0, ['120 soaks added to the history, 120 in it', 'No change in the history'], []),
        (HISTORY_AT + ['@{d}/nights'], 0, ['0 soaks added', '120 soaks were in the history already'], []),
        # The same soaks, their board's clock two hours off: a soak is its trace.
        (HISTORY_AT + ['@{d}/again'], 0, ['0 soaks added', '6 soaks were in the history already'], [])]),
    # A board that now reboots mid-soak, its last two nights: no figure changed, and it is red.
    ('a board whose latest soaks were cut short', {'cut': 'board-02'}, [
        (HISTORY_AT + ['@{d}/nights'], 1, ['board-02: its latest soak (2026-11-20T02:00:00Z, ',
                                           'was cut short, its last complete one 2026-11-18T02:00:00Z'], []),
        (HISTORY_AT + ['--since', '2026-11-21'], 0, ['No change came to light'], [])]),
    # Boards of one name each but no BOARD: a past read at once is each host's history.
    ('boards named by host alone', {'steps': STEPPED, 'hosts': True}, [
        (HISTORY_AT + ['@{d}/nights'], 1, ['**1 change** in the history: farm-03.', 'farm-01, farm-02, farm-03, '
                                           'farm-04, farm-05, farm-06: named by host or model alone in several logs: a '
                                           'board a log in this batch, one board in the history',
                                           '| farm-03 | thermal-resistance-soc | 2026-11-13T02:00:00Z |'], [])]),
    # ... and boards of one image, one night, are still a board a log in the batch: its outlier is seen.
    ('boards of one image, one night', {'steps': STEPPED, 'hosts': 'image'}, [
        (HISTORY_AT + ['@{d}/last'], 1, ['**1 outlier**: farm-01@board-03.log', 'farm-01: named by host or model '
                                         'alone in several logs, so each log is taken as a board of its own'], [])]),
    # Under LAVA, a board clock at its image's date: the lab's clock places its soaks, in order;
    # soaks judged again in a later job keep their own starts.
    ('a board clock set wrong, under LAVA', {'steps': STEPPED, 'lava': 'board-03'}, [
        (HISTORY_AT + ['@{d}/nights'], 1, ['**1 change** in the history: board-03.',
                                           "20 soaks placed in the history by the LAVA job's time"], [])]),
    ('soaks judged again in later LAVA jobs', {'steps': STEPPED, 'lava': 'judged again'}, [
        (HISTORY_AT + ['@{d}/nights'], 1, ['| board-03 | thermal-resistance-soc | 2026-11-13T02:00:00Z |'],
         ["LAVA job's time"])]),
    ('a board clock that does not keep time', {'steps': STEPPED, 'stuck': True}, [
        (HISTORY_AT + ['@{d}/nights'], 1, ['**1 change** in the history: board-03.', 'board-01, board-02, board-03, '
                                           'board-04, board-05, board-06: soaks that started at the same second'], [])]),
    # A new check that prints more digits: the rounded soaks before are no level of their own.
    ('a check that prints more decimals', {'coarse': True}, [
        (HISTORY_AT + ['@{d}/nights'], 0, ['No change in the history'], [])]),
    ('a board that changed', {'steps': STEPPED}, [
        (HISTORY_AT + ['--changes', '{d}/changes.csv', '--svg', '{d}/h.svg', '@{d}/nights'], 1,
         ['**1 change** in the history: board-03.', '| board-03 | thermal-resistance-soc | 2026-11-13T02:00:00Z |',
          'csv:board,figure,changed_at,before,after,units,noise\nboard-03,thermal-resistance-soc,2026-11-13T02:00:00Z,',
          'svg:board-03: thermal-resistance-soc (K/W)'], ['| * ']),
        # Only what the soaks since a day brought to light counts: two soaks after it show nothing.
        (HISTORY_AT + ['--since', '2026-11-15'], 1, ['**1 change** in the history: board-03.'], []),
        (HISTORY_AT + ['--since', '2026-11-20'], 0, ['No change came to light with the soaks since 2026-11-20T00:00:00Z'],
         []),
        (HISTORY_AT + ['--since', 'yesterday'], 2, ["--since: not a day or a UTC time: 'yesterday'"], [])]),
    ('a change the whole farm shares, and a new kernel', {'steps': SHARED}, [
        (HISTORY_AT + ['--csv', '--changes', '{d}/changes.csv', '@{d}/nights'], 1,
         ['csv:\n*,thermal-resistance-soc,2026-11-12T02:00:00Z,', 'kernel 6.18.44 → 6.19.1'], ['csv:\nboard-0']),
        (HISTORY_AT + ['--kcidb', '{d}/k.json'], 1, ['kcidb:6'], []),
        # The history alone as CSV: its changes are the table.
        (HISTORY_AT + ['--csv'], 1, ['board,figure,changed_at,before,after,units,noise\n*,thermal-resistance-soc,'], [])]),
    ('no start time, a LAVA job\'s time, a clock in the future', {'plain': True}, [
        (HISTORY_AT + ['board-01.log', 'board-07-lava.log', '{d}/future.log'], 0,
         ['1 soak added', 'board-01.log:1 (it says no start time (an older check), and no LAVA job\'s time',
          'future.log:1 (it started 2099-01-01T00:00:00Z, in the future'], [])]),
    ('a database of another program', {'file': b'SQLite format 3\x00' + bytes(200)}, [
        (HISTORY_AT + ['@{d}/nights'], 2, ['h.db: not a hogspin-report history'], [])]),
    ('an empty file: a name another run claimed', {'file': b''}, [
        (HISTORY_AT + ['@{d}/nights'], 2, ['h.db: an empty file, no history'], [])]),
    ('a file that is no database', {'file': b'board,figure\n' * 100}, [
        (HISTORY_AT + ['@{d}/nights'], 2, ['h.db: not a hogspin-report history (not an SQLite database)'], [])]),
    ('a newer report\'s history', {'sql': ['PRAGMA application_id = 1752131443', 'PRAGMA user_version = 99',
                                           'CREATE TABLE soaks (id INTEGER PRIMARY KEY)']}, [
        (HISTORY_AT + ['@{d}/nights'], 2, ['a history of a newer hogspin-report (version 99'], [])]),
    ('a history of the first version, upgraded in place', {'old': 1}, [
        (HISTORY_AT + ['@{d}/nights'], 0, ['120 soaks added to the history, 121 in it'], [])]),
    ('a history another writer holds', {'locked': True}, [
        (HISTORY_AT + ['@{d}/nights'], 2, ['h.db: the history is locked by another writer; nothing was added'], [])]),
    ('a damaged history', {'damaged': True}, [
        (HISTORY_AT + ['@{d}/nights'], 2, ['h.db: the history is damaged ('], [])]),
    ('no log and no history', {}, [([], 2, ['a LOG or JOB is needed, or a --history'], []),
                                   (['--history', '{d}/typo.db'], 2, ['typo.db: no such history'], [])]),
]


class Report(unittest.TestCase):
    def run_report(self, args, env):
        with tempfile.TemporaryFile('w+') as out, tempfile.TemporaryFile('w+') as err:
            proc = children.spawn([sys.executable, REPORT] + args, cwd=HERE, env=env, stdout=out, stderr=err,
                                  stdin=subprocess.DEVNULL)
            try:
                status = children.wait(proc, 60)
            except subprocess.TimeoutExpired:
                os.kill(proc.pid, signal.SIGTERM)  # it ends its lavacli or gnuplot itself
                try:
                    children.wait(proc, 5)
                finally:
                    children.end(proc)
                self.fail(f'{args}: still running after 60 s')
            out.seek(0)
            err.seek(0)
            return status, out.read(), err.read()

    def test_batches(self):
        gnuplot = shutil.which('gnuplot') is not None
        if not gnuplot and os.environ.get('CI') == 'true':
            self.fail('gnuplot not found: CI must have gnuplot-nox')
        for what, args, status, says, lacks in CASES:
            drawn = '--svg' in args or what.endswith('drawn')
            with self.subTest(what), tempfile.TemporaryDirectory() as d:
                if drawn and not gnuplot:
                    self.skipTest('gnuplot not found (apt-get install gnuplot-nox)')
                if args[:1] == ('fresh',):
                    args = [self.fresh(d)]
                env = dict(os.environ, PATH=os.path.join(d, 'bin') + os.pathsep + os.environ['PATH'])
                os.mkdir(os.path.join(d, 'bin'))
                if what == 'no lavacli':
                    env['PATH'] = os.path.join(d, 'bin')
                elif '--lava' in args:
                    with open(os.path.join(d, 'bin', 'lavacli'), 'w') as f:
                        f.write(LAVACLI)
                    os.chmod(os.path.join(d, 'bin', 'lavacli'), 0o755)
                if args and args[0] == 'copies':
                    args = self.copies(d, *args[1:]) + (['--svg', f'{d}/report.svg'] if drawn else [])
                args = [a.replace('{d}', d) for a in args]
                got, out, err = self.run_report(args, env)
                self.assertEqual(got, status, out + err)
                for text in says:
                    if isinstance(text, re.Pattern):
                        self.assertRegex(out + err, text)
                    elif not text.startswith('svg:'):
                        self.assertIn(text.replace('{d}', d), out + err)
                for text in lacks:
                    self.assertNotIn(text, out + err)
                if drawn:
                    with open(os.path.join(d, 'report.svg')) as f:
                        svg = f.read()
                    for text in says:
                        if isinstance(text, str) and text.startswith('svg:'):
                            self.assertTrue(text[4:] in svg, f'no {text[4:]} in the picture')
                    self.assertFalse(os.path.exists(os.path.join(d, 'owned')), 'a log ran a command')
                if os.path.exists(os.path.join(d, 'bin', 'hung')):
                    with open(os.path.join(d, 'bin', 'hung')) as f:
                        hung = int(f.read())
                    if os.path.exists(f'/proc/{hung}'):
                        os.kill(hung, signal.SIGKILL)
                        self.fail('the report left lavacli running')
                if '--csv' in args:
                    rows = {r['board']: r for r in csv.DictReader(io.StringIO(out))}
                    self.assertEqual((rows['board-04']['R K/W'], rows['board-01']['R K/W distance']), ('11.97', '0.4'))

    def unbuilt(self):
        if os.environ.get('CI') == 'true':
            self.fail(UNBUILT)
        self.skipTest(UNBUILT)

    def test_catalogue(self):
        """Every case the check lists, as the report, the LAVA definition and its glue know it."""
        if not CHECK:
            self.unbuilt()
        listing = subprocess.run([CHECK, '--cases'], stdout=subprocess.PIPE, text=True, check=True, timeout=30).stdout
        rows = [line.split('\t')[:2] for line in listing.splitlines()]
        figures = {name: units for name, units in rows if units != '-'}
        verdicts = {name: None for name, units in rows if units == '-'}
        # Each case as the report reads one of its names, and as it should.
        read, want = {}, {}
        for name, units in rows:
            prefix, place = PLACED.fullmatch(name).groups()
            kind, owner = KINDS.get(place, (place, ''))
            found = common.figure_of(prefix + owner)
            read[name] = found and (found[0], found[1], found[3])
            want[name] = None if units == '-' else (prefix, kind, units)
        with open(os.path.join(ROOT, 'lava', 'hogspin.yaml'), encoding='utf-8') as f:
            said = ' '.join(line[1:].strip() for line in f if line.startswith('#'))
        measured = said.split('Measurements (')[1].split('Verdicts:')[0]
        judged = said.split('Verdicts:')[1].split('.')[0]
        with open(os.path.join(ROOT, 'lava', 'hogspin-check.sh'), encoding='utf-8') as f:
            glue = [line.split() for line in re.findall(r'^\s*for c in ([^;]*); do', f.read(), re.M)]
        units = re.search(r',\(([^()]*)\)\$$', reading.DATA.pattern).group(1).split('|')
        for what, got, expected in [
            ("the report's reading of each case's name", read, want),
            ("the report's figures", {row[:3] for row in common.FIGURES}, set(v for v in want.values() if v)),
            ("the units of the report's data lines", set(units) - {''}, set(figures.values())),
            ("the LAVA definition's measurements", self.listed(measured), figures),
            ("the LAVA definition's verdicts", self.listed(judged), verdicts),
            ('the first four cases', [name for name, units in rows[:4] if units == '-'], CORE),
            ("the glue's lists of them", glue, [CORE, CORE]),
        ]:
            with self.subTest(what):
                if isinstance(got, dict):  # the cases that differ, not the whole of each
                    got, expected = set(got.items()), set(expected.items())
                self.assertEqual(got, expected)

    @staticmethod
    def listed(text):
        """{name: units or None} of a list of cases, units in parentheses after each group."""
        named, group = {}, []
        for units, name in re.findall(r'\(([^()\s]+)\)|([a-z]+(?:-[A-Za-z0-9]+)+)', text):
            if name:
                named[name] = None
                group.append(name)
            else:
                named.update(dict.fromkeys(group, units))
                group = []
        return named

    def fresh(self, d):
        """A short soak of the built check on the stand-in board; the path of its output."""
        if not CHECK or not HOGSPIN:
            self.unbuilt()
        if os.environ.get('HOGSPIN_SANITIZED') == '1':
            # Their runtimes add a thread to the tool, which the check counts as a worker.
            self.skipTest('the tool and the check built with sanitizers: workers-pinned counts their thread')
        root, log = os.path.join(os.path.realpath(d), 'sys'), os.path.join(d, 'fresh.log')
        allowed = os.sched_getaffinity(0)
        cpu = 1 if 1 in allowed else min(allowed)
        standin = os.path.join(ROOT, 'tests', 'standin_sysfs.py')
        board = children.spawn([sys.executable, standin, root, '--cpu', str(cpu), '--seconds', '60'],
                               stdin=subprocess.DEVNULL)
        try:
            # The check must find the tree whole.
            deadline = time.monotonic() + 20
            while not os.path.exists(os.path.join(root, 'class/thermal/cooling_device0/stats/time_in_state_ms')):
                self.assertLess(time.monotonic(), deadline, 'the stand-in board never made its tree')
                time.sleep(0.05)
            env = dict(os.environ, HOGSPIN_SYSFS=root, INTERVAL='0.25', BASELINE='0.5', BOARD='fresh')
            with open(log, 'w') as out, tempfile.TemporaryFile('w+') as err:
                check = children.spawn([CHECK, str(cpu), '1', '1.5', HOGSPIN], env=env, stdout=out, stderr=err,
                                       stdin=subprocess.DEVNULL)
                try:
                    status = children.wait(check, 30)
                except subprocess.TimeoutExpired:
                    os.kill(check.pid, signal.SIGTERM)  # it ends its tool itself
                    try:
                        children.wait(check, 10)
                    finally:
                        children.end(check)
                    status = 'still running after 30 s'
                err.seek(0)
                said = err.read()
        finally:
            children.end(board)
        with open(log) as f:
            self.assertEqual(status, 0, f.read() + said)
        return log

    def test_judged_again(self):
        """A fresh soak's log, plain or as LAVA logs it, judged again by --judge: every case its
        trace holds gives the live run's very lines, every other is carried, and it exits as
        the live run did."""
        with tempfile.TemporaryDirectory() as d:
            log = self.fresh(d)
            with open(log) as f:
                live = f.read()
            lava = os.path.join(d, 'lava.log')
            with open(lava, 'w') as f:
                f.writelines(f'- {{"dt": "2026-12-10T00:00:00", "lvl": "target", "msg": {json.dumps(line)}}}\n'
                             for line in live.splitlines())

            def cases(text):
                return [line for line in text.splitlines() if line.startswith(('hogspin-check: ', 'hogspin-case,', 'hogspin-interval,'))]
            held = ('temp-', 'thermal-', 'power-', 'limit-temp-', 'limit-power-', 'sustainable-')

            def name(line):
                return re.split('[:,]', line)[1].strip()
            for path in (log, lava):
                with self.subTest(path):
                    again = subprocess.run([CHECK, '--judge', path], stdout=subprocess.PIPE, text=True, timeout=60)
                    self.assertEqual(again.returncode, 0, again.stdout)
                    # Its board line says it was judged again: a LAVA job's time is then not the soak's.
                    self.assertRegex(again.stdout, r'^hogspin-board,[^\n]*,started=[0-9TZ:-]+,check=[^,\n]*,judged=20[0-9]{2}-')
                    got, want = cases(again.stdout), cases(live)
                    self.assertEqual([name(line) for line in got], [name(line) for line in want])
                    self.assertEqual([line for line in got if name(line).startswith(held)], [line for line in want if name(line).startswith(held)])
            cut = subprocess.run([CHECK, '--judge', log, '--until', '99'], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 text=True, timeout=60)
            self.assertEqual((cut.returncode, cut.stdout), (2, ''))
            self.assertRegex(cut.stderr, r"^hogspin-check: cannot judge: --until 99 s is past the soak's end, at 1\.[0-9]+ s\n$")

    @staticmethod
    def bytes_of(path):
        with open(path, 'rb') as f:
            return f.read()

    @staticmethod
    def where_said(d, text, output):
        """(what, where): 'csv:' and 'svg:' texts are looked for in the files the run wrote."""
        kind, _, rest = text.partition(':')
        files = {'csv': 'changes.csv', 'svg': 'h.svg'}
        if kind not in files:
            return text, output
        with open(os.path.join(d, files[kind]), encoding='utf-8') as f:
            return rest, f.read()

    @staticmethod
    def soaks_of(paths):
        soaks = []
        for path in paths:
            with open(path, 'rb') as f:
                soaks += reading.read_soaks(f, path, [], False)
        return soaks

    @staticmethod
    def kept(db, paths):
        """The soaks of the logs at paths, added to the history db in this process."""
        soaks = Report.soaks_of(paths)
        made = history.History(db)
        made.add(soaks, [], time.time())
        made.commit()
        made.close()
        return soaks

    def test_history(self):
        """A farm's history over runs: once-only, changes, KCIDB, bad databases left as they were."""
        for what, how, runs in HISTORY:
            with self.subTest(what), tempfile.TemporaryDirectory() as d:
                holder = farm_nights.nights(d, how, Report.kept)
                db = os.path.join(d, 'h.db')
                try:
                    for args, status, says, lacks in runs:
                        if '--svg' in args and shutil.which('gnuplot') is None:
                            self.skipTest('gnuplot not found (apt-get install gnuplot-nox)')
                        # Closing any descriptor of the file would drop the holder's lock (POSIX).
                        before = self.bytes_of(db) if os.path.exists(db) and holder is None else None
                        got, out, err = self.run_report([a.replace('{d}', d) for a in args], dict(os.environ))
                        self.assertEqual(got, status, out + err)
                        if got == 2 and before is not None:
                            self.assertEqual(self.bytes_of(db), before, 'a refused run changed the history')
                        for text in says:
                            if text.startswith('kcidb:'):
                                with open(os.path.join(d, 'k.json'), encoding='utf-8') as f:
                                    made = json.load(f)
                                self.assertEqual(kcidb_test.problems(made), [])
                                self.assertEqual(len({t['environment']['comment'] for t in made['tests']}), int(text[6:]))
                            else:
                                self.assertIn(*self.where_said(d, text, out + err))
                        for text in lacks:
                            self.assertNotIn(*self.where_said(d, text, out + err))
                    if 'old' in how:
                        with sqlite3.connect(db) as upgraded:
                            self.assertEqual(upgraded.execute('PRAGMA user_version').fetchone()[0], len(history.STEPS))
                        upgraded.close()
                finally:
                    if holder is not None:
                        holder.close()
                if holder is not None:
                    with sqlite3.connect(db) as held:
                        self.assertEqual(held.execute('SELECT name FROM sqlite_master').fetchall(), [('elsewhere',)])
                    held.close()

    def test_history_full_disc(self):
        """A disc that fills mid-run: one line, and the history as it was."""
        with tempfile.TemporaryDirectory() as d:
            farm_nights.nights(d, {}, Report.kept)
            db = os.path.join(d, 'h.db')
            logs = [os.path.join(d, f'night-{n}', f'board-{b:02d}.log') for n in range(2) for b in range(1, 7)]
            soaks = self.kept(db, logs[:6]) + self.soaks_of(logs[6:])
            before = self.bytes_of(db)
            full = history.History(db)
            full.db.execute('PRAGMA max_page_count = %d' % full.db.execute('PRAGMA page_count').fetchone()[0])
            with self.assertRaisesRegex(common.Failure, r'h\.db: the disc is full; nothing was added'):
                full.add(soaks, [], time.time())
            self.assertEqual(self.bytes_of(db), before)
            # A new history on a file system without hard links (vfat, a share) is put in place all
            # the same, and never over one another run made meanwhile.
            with mock.patch.object(history.os, 'link', side_effect=PermissionError(errno.EPERM, 'no links')):
                self.kept(os.path.join(d, 'vfat.db'), logs[:6])
                read = history.History(os.path.join(d, 'vfat.db'), write=False)
                self.assertEqual(read.db.execute('SELECT count(*) FROM soaks').fetchone(), (6,))
                read.close()
                raced = history.History(os.path.join(d, 'raced.db'))
                raced.add(soaks, [], time.time())
                open(os.path.join(d, 'raced.db'), 'w').close()
                with self.assertRaisesRegex(common.Failure, 'another run made this history meanwhile'):
                    raced.commit()
            self.assertEqual([n for n in os.listdir(d) if '.new' in n], [])  # nothing left beside

    @staticmethod
    def copies(d, changes, how=''):
        """Six copies of board-01 as copy-N.log under names of their own, the last one changed
        (a pattern's every line). How: anonymous, with no BOARD; all, every one changed; dirs,
        each as jobN/soak.log; cut, the last one soaked again and cut short under LAVA; old, no
        data lines, as an older check wrote; sweep, each swept, its coefficient 530 + N."""
        with open(os.path.join(HERE, 'board-01.log'), encoding='utf-8') as f:
            text = f.read()
        glue = ''.join(f'hogspin-check: {c}: fail (the check ended, with status 143, before it judged this)\n'
                       for c in ('workers-pinned', 'cpu-busy', 'stop-sigint'))
        how, paths = how.split(), []
        for n in range(1, 7):
            mine = text.replace('board=board-01', 'board=' if 'anonymous' in how else f'board=copy-{n}')
            if 'sweep' in how:
                swept = (f'hogspin-check: power-opp-cpu1-600: pass (0.20{n} W)\nhogspin-case,power-opp-cpu1-600,pass,0.20{n},W\n'
                         f'hogspin-check: dynamic-power-coefficient-cpu1: pass ({530 + n} uW/MHz/V2)\n'
                         f'hogspin-case,dynamic-power-coefficient-cpu1,pass,{530 + n},uW/MHz/V2\n')
                mine = mine.replace('hogspin-check: stop-sigint:', swept + 'hogspin-check: stop-sigint:')
            for old, new in changes if n == 6 or 'all' in how else []:
                new = new.replace('{d}', d)
                mine = old.sub(new, mine) if isinstance(old, re.Pattern) else mine.replace(old, new)
            if n == 6 and 'cut' in how:
                mine += ''.join(mine.splitlines(True)[:20]) + glue
            if 'old' in how:
                mine = re.sub(r'^hogspin-case,.*\n', '', mine, flags=re.M)
            paths.append(os.path.join(d, f'job{n}', 'soak.log') if 'dirs' in how else os.path.join(d, f'copy-{n}.log'))
            os.makedirs(os.path.dirname(paths[-1]), exist_ok=True)
            with open(paths[-1], 'w', encoding='utf-8') as f:
                f.write(mine)
        return paths


if __name__ == '__main__':
    children.install()
    unittest.main(verbosity=2)
