# SPDX-License-Identifier: MIT
"""The command line: hogspin-report's options, its logs or LAVA jobs, and its exit status."""
import argparse
import gc
import math
import os
import re
import shutil
import sys
import tempfile
import time
import traceback

from . import kcidb
from .changes import ALARM, LEAST
from .children import install, run_bounded
from .common import Failure
from .drawing import draw
from .judging import choose, judge, outliers_of
from .kcidb import records_of_batch
from .reading import read_soaks
from .record import look_back, records_of_history, since_of
from .timeline import draw_history
from .writing import comma_separated, markdown
from .writing_changes import changes_csv, changes_lines, changes_markdown, changes_table

USAGE = """A farm's boards side by side, from their hogspin-check soaks: which board is not like the others,
and, over a history of their soaks, which board changed.

    hogspin-report [OPTIONS] LOG ...
    hogspin-report [OPTIONS] [--timeout SECONDS] --lava IDENTITY JOB ...
    hogspin-report --history FILE [OPTIONS]

A LOG is the check's own output or a LAVA job's log; with --lava each JOB's log is fetched by
lavacli from IDENTITY. It writes every board's figures as a table (Markdown, or CSV with
--csv), each figure's median over the batch and each board's robust distance from it, and names
a board beyond 3.5 on any figure an outlier. --svg draws the figures and the zones' traces.
--history adds each soak to an SQLite history, once, and names where a board's figure changed
level against the board's own noise; a change many boards share is named once, as the farm's.
--kcidb writes the batch (else the history's latest soaks) as a KCIDB report.
Exit status 0: no outlier or change, or too few boards to judge; 1: an outlier or a change;
2: bad usage, a file, job or history that cannot be read or written, or a picture that cannot be drawn."""


def fetch(identity, job, timeout, work):
    argv = ['lavacli', '-i', identity, 'jobs', 'logs', '--raw', '--no-follow', job]
    path = os.path.join(work, f'job-{job}.log')
    with open(path, 'wb') as out:
        try:
            status, said = run_bounded(argv, timeout, out)
        except OSError as e:
            raise Failure(f'cannot run lavacli: {e.strerror}')
    command = ' '.join(argv)
    if status is None:
        raise Failure(f'{command}: still running after {timeout:g} s: killed')
    if status:
        why = f'signal {-status}' if status < 0 else f'status {status}'
        raise Failure(f'{command} failed ({why})' + (f': {said}' if said else ''))
    return path


def options():
    # @FILE stands for the arguments FILE lists, one a line: a farm's past is more logs than a
    # command line holds.
    parser = argparse.ArgumentParser(prog='hogspin-report', description=USAGE.splitlines()[0], fromfile_prefix_chars='@',
                                     epilog='Exit status: 0 no outlier or change, or too few boards to judge; 1 an '
                                            'outlier or a change; 2 bad usage, a file, job or history that cannot be '
                                            'read or written, or no picture.')
    parser.add_argument('--csv', action='store_true', help='the table as CSV; outliers and notes on standard error')
    parser.add_argument('--svg', metavar='FILE', help='draw the figures and the traces (with --history: each changed '
                                                      'figure over time) with gnuplot')
    parser.add_argument('--lava', metavar='IDENTITY', help="fetch each JOB's log with lavacli from IDENTITY")
    parser.add_argument('--timeout', type=float, default=300, metavar='SECONDS',
                        help='bound on each lavacli and on gnuplot (300)')
    parser.add_argument('--history', metavar='FILE', help="add the soaks to this SQLite history and find its changes")
    parser.add_argument('--changes', metavar='FILE', help='the changes as CSV (with --history)')
    parser.add_argument('--alarm', type=float, default=ALARM, metavar='P',
                        help=f'the chance that a figure of a board that did not change is named changed ({ALARM:g})')
    parser.add_argument('--least', type=float, default=LEAST, metavar='NOISE',
                        help=f"the least change named, in the board's own noise ({LEAST:g})")
    parser.add_argument('--since', metavar='DATE', help='name only the changes that soaks started on or after DATE '
                                                        'brought to light (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ)')
    parser.add_argument('--kcidb', metavar='FILE', help='write a KCIDB report of the batch, or of the history\'s '
                                                        'latest soaks')
    parser.add_argument('--origin', default='hogspin', help="the KCIDB origin, the lab's name (hogspin)")
    parser.add_argument('logs', nargs='*', metavar='LOG|JOB',
                        help="the check's output or a LAVA job's log (- for standard input); with --lava, a job id")
    return parser


def checked(parser, argv):
    args = parser.parse_args(argv)
    if not args.timeout > 0 or math.isinf(args.timeout):
        parser.error('--timeout must be a number of seconds above 0')
    if not args.logs and args.history is None:
        parser.error('a LOG or JOB is needed, or a --history to look at')
    for option in ('changes', 'since'):
        if getattr(args, option) is not None and args.history is None:
            parser.error(f'--{option} needs --history')
    if not 0 < args.alarm < 1:
        parser.error('--alarm must be a probability between 0 and 1')
    if not 0 <= args.least < math.inf:
        parser.error('--least must be a number of noise units, 0 or more')
    args.since_s = None if args.since is None else since_of(args.since)
    if args.since is not None and args.since_s is None:
        parser.error(f'--since: not a day or a UTC time: {args.since!r}')
    if args.lava is not None:
        if not args.lava or args.lava.startswith('-'):
            parser.error(f'--lava: not an identity: {args.lava!r}')
        bad = [j for j in args.logs if not re.fullmatch(r'[0-9]+(?:\.[0-9]+)?', j)]
        if bad:
            parser.error(f'not a LAVA job id: {bad[0]!r}')
    for tool, given, package in (('lavacli', args.lava is not None, 'lavacli'), ('gnuplot', args.svg, 'gnuplot-nox')):
        if given and shutil.which(tool) is None:
            raise Failure(f'{tool} not found in PATH (apt-get install {package})')
    if args.kcidb is not None:
        kcidb.report([], args.origin)  # a bad origin fails before anything is read
    return args


def read_all(args, notes):
    # A farm's logs make millions of objects and no cycles: the collector's passes over them
    # would cost a quarter of the run, and they stay until it ends.
    gc.disable()
    try:
        return _read_all(args, notes)
    finally:
        gc.freeze()
        gc.enable()


def _read_all(args, notes):
    soaks = []
    with tempfile.TemporaryDirectory() as work:
        if args.lava is not None:
            sources = [(f'job {j}', fetch(args.lava, j, args.timeout, work)) for j in args.logs]
        else:
            # A file's name goes into the report as said, but for what would break its lines.
            sources = [(re.sub(r'[\x00-\x1f\x7f]', '?', path), path) for path in args.logs]
        for source, path in sources:
            if path == '-' and sys.stdin is None:
                raise Failure('cannot read standard input: it is closed')
            try:
                with (open(sys.stdin.fileno(), 'rb', closefd=False) if path == '-' else open(path, 'rb')) as f:
                    soaks += read_soaks(f, source, notes, args.svg is not None and args.history is None)
            except OSError as e:
                raise Failure(f'cannot read {source}: {e.strerror}')
    return soaks


def main(argv):
    args = checked(options(), argv)
    install()
    notes, now = [], time.time()
    soaks = read_all(args, notes)
    boards = choose(soaks, notes, nightly=args.history is not None) if args.logs else {}
    names, figures = judge(boards, notes) if args.logs else ([], [])
    looked = None
    if args.history is not None:
        looked = look_back(args.history, soaks, notes, args.alarm, args.least, args.since_s, now,
                           latest=args.kcidb is not None and not args.logs, write=bool(args.logs))
    if args.csv and not args.logs:
        changes_table(sys.stdout, looked)  # the history alone: its changes are the table
        changes_lines(sys.stderr, looked, notes)
    elif args.csv:
        comma_separated(sys.stdout, sys.stderr, boards, names, figures, notes if looked is None else [])
        if looked is not None:
            changes_lines(sys.stderr, looked, notes)
    elif args.logs:
        markdown(sys.stdout, boards, names, figures, notes if looked is None else [])
        if looked is not None:
            changes_markdown(sys.stdout, looked, args.alarm, args.least, notes)
    else:
        changes_markdown(sys.stdout, looked, args.alarm, args.least, notes, alone=True)
    sys.stdout.flush()
    if args.changes is not None:
        changes_csv(args.changes, looked)
    if args.kcidb is not None:
        records = records_of_batch(boards, now) if args.logs else records_of_history(looked.latest)
        kcidb.write(args.kcidb, kcidb.report(records, args.origin))
    if args.svg and looked is not None:
        draw_history(args.svg, looked.series, looked.changes, looked.units, args.timeout)
    elif args.svg:
        draw(args.svg, boards, names, figures, args.timeout)
    return 1 if outliers_of(figures) or (looked is not None and (looked.changes or looked.cut)) else 0


def _quiet_stdout():
    # What is left unwritten cannot be flushed at exit again.
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)


def entry():
    """The command: its exit status, whatever happens."""
    if sys.stderr is None:
        sys.stderr = open(os.devnull, 'w')  # its notes go nowhere; the report still counts
    if sys.stdout is None:
        sys.stderr.write('hogspin-report: cannot write the report: standard output is closed\n')
        sys.exit(2)
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(errors='backslashreplace')
    try:
        sys.exit(main(sys.argv[1:]))
    except Failure as e:
        sys.stdout.flush()
        sys.stderr.write(f'hogspin-report: {e}\n')
        sys.exit(2)
    except BrokenPipeError:
        sys.stderr.write('hogspin-report: cannot write the report: its reader went away\n')
        _quiet_stdout()
        sys.exit(2)
    except OSError as e:
        sys.stderr.write(f'hogspin-report: cannot write the report: {e.strerror}\n')
        _quiet_stdout()
        sys.exit(2)
    except Exception:  # noqa: BLE001  a fault of the report's own is no verdict: never status 1
        traceback.print_exc()
        sys.stderr.write('hogspin-report: an error of its own (above); nothing judged\n')
        sys.exit(2)
