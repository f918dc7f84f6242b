# SPDX-License-Identifier: MIT
"""The command line: hogspin-report's options, its logs or LAVA jobs, and its exit status."""
import argparse
import math
import os
import re
import shutil
import sys
import tempfile

from .children import install, run_bounded
from .common import Failure
from .drawing import draw
from .judging import choose, judge, outliers_of
from .reading import read_soaks
from .writing import comma_separated, markdown

USAGE = """A farm's boards side by side, from their hogspin-check soaks: which board is not like the others.

    hogspin-report [--csv] [--svg FILE] LOG ...
    hogspin-report [--csv] [--svg FILE] [--timeout SECONDS] --lava IDENTITY JOB ...

A LOG is the check's own output or a LAVA job's log; with --lava each JOB's log is fetched by
lavacli from IDENTITY. It writes every board's figures as a table (Markdown, or CSV with
--csv), each figure's median over the batch and each board's robust distance from it, and names
a board beyond 3.5 on any figure an outlier. --svg draws the figures and the zones' traces.
Exit status 0: no outlier, or too few boards to judge; 1: an outlier; 2: bad usage, a file or
a job that cannot be read, or a picture that cannot be drawn."""


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


def main(argv):
    parser = argparse.ArgumentParser(prog='hogspin-report', description=USAGE.splitlines()[0],
                                     epilog='Exit status: 0 no outlier, or too few boards to judge; 1 an outlier; '
                                            '2 bad usage, a file or job that cannot be read, or no picture.')
    parser.add_argument('--csv', action='store_true', help='the table as CSV; outliers and notes on standard error')
    parser.add_argument('--svg', metavar='FILE', help='draw the figures and the traces with gnuplot')
    parser.add_argument('--lava', metavar='IDENTITY', help="fetch each JOB's log with lavacli from IDENTITY")
    parser.add_argument('--timeout', type=float, default=300, metavar='SECONDS',
                        help='bound on each lavacli and on gnuplot (300)')
    parser.add_argument('logs', nargs='+', metavar='LOG|JOB',
                        help="the check's output or a LAVA job's log (- for standard input); with --lava, a job id")
    args = parser.parse_args(argv)
    if not args.timeout > 0 or math.isinf(args.timeout):
        parser.error('--timeout must be a number of seconds above 0')
    if args.lava is not None:
        if not args.lava or args.lava.startswith('-'):
            parser.error(f'--lava: not an identity: {args.lava!r}')
        bad = [j for j in args.logs if not re.fullmatch(r'[0-9]+(?:\.[0-9]+)?', j)]
        if bad:
            parser.error(f'not a LAVA job id: {bad[0]!r}')
    for tool, given, package in (('lavacli', args.lava is not None, 'lavacli'), ('gnuplot', args.svg, 'gnuplot-nox')):
        if given and shutil.which(tool) is None:
            raise Failure(f'{tool} not found in PATH (apt-get install {package})')
    install()

    notes, soaks = [], []
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
                    soaks += read_soaks(f, source, notes, args.svg is not None)
            except OSError as e:
                raise Failure(f'cannot read {source}: {e.strerror}')
    boards = choose(soaks, notes)
    names, figures = judge(boards, notes)
    if args.csv:
        comma_separated(sys.stdout, sys.stderr, boards, names, figures, notes)
    else:
        markdown(sys.stdout, boards, names, figures, notes)
    sys.stdout.flush()
    if args.svg:
        draw(args.svg, boards, names, figures, args.timeout)
    return 1 if outliers_of(figures) else 0


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
