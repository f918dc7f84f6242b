#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Makes the stand-in boards' logs beside this file by running the real check on stand-in
boards that heat as the load asks (tests/standin_sysfs.py): five alike, one with twice the
thermal resistance, one as a LAVA job logs an older check's output (without its data lines),
one with an extra zone, one soaked twice.
Run it again when the check's output changes, then update what report_test.py expects:

    python3 tests/report/make_logs.py build/hogspin-check build/hogspin

It takes about two minutes, loads CPU 1, and needs root for each board's own host name.
"""
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, 'lava'))
from hogspin_report import children  # noqa: E402

STANDIN = os.path.join(ROOT, 'tests', 'standin_sysfs.py')
MODEL = 'Stand-in Board Rev 1.2'
# file: (board, [(ambient C, K/W, tau s) per zone, the second one named gpu], soaks)
BOARDS = {
    'board-01.log': ('board-01', [(25.0, 6.0, 2.0)], 1),
    'board-02.log': ('board-02', [(25.2, 6.06, 2.0)], 1),
    'board-03.log': ('board-03', [(24.9, 5.94, 2.1)], 1),
    'board-04.log': ('board-04', [(25.0, 12.0, 2.0)], 1),  # a thermal pad missing
    'board-05.log': ('board-05', [(25.1, 6.03, 1.9)], 1),
    'board-06.log': ('board-06', [(24.8, 6.0, 2.0)], 1),
    'board-07-lava.log': ('board-07', [(25.0, 6.01, 2.0)], 1),
    'board-08-extra-zone.log': ('board-08', [(25.0, 6.0, 2.0), (25.0, 2.0, 6.0)], 1),
    'board-09-two-soaks.log': ('board-09', [(25.0, 12.0, 2.0)], 2),  # the first soak before its pad was fixed
}
ENV = {'BASELINE': '2', 'INTERVAL': '0.25', 'MAX_TEMP': '85'}


def soak(check, hogspin, board, zones):
    with tempfile.TemporaryDirectory() as root:
        args = [sys.executable, STANDIN, root, '--cpu', '1', '--idle', '1.85', '--load', '3.0', '--model', MODEL,
                '--seconds', '60']
        for i, (ambient, resistance, tau) in enumerate(zones):
            args += ['--zone', '%s:%g:%g:%g' % ('soc' if i == 0 else 'gpu', ambient, resistance, tau)]
        writer = children.spawn(args)
        try:
            while not os.path.exists(os.path.join(root, 'class/thermal/cooling_device0/stats/time_in_state_ms')):
                time.sleep(0.05)
            env = dict(os.environ, HOGSPIN_SYSFS=root, BOARD=board, **ENV)
            # The board's own host name, in a UTS namespace of its own.
            cmd = ['unshare', '--uts', 'sh', '-c', 'hostname "$0" && exec "$@"', 'farm-' + board[-2:],
                   check, '1', '2', '8', hogspin]
            return subprocess.run(cmd, env=env, stdout=subprocess.PIPE, text=True).stdout
        finally:
            children.end(writer)


def main():
    check, hogspin = (os.path.abspath(a) for a in sys.argv[1:3])
    children.install()
    for name, (board, zones, soaks) in BOARDS.items():
        text = ''
        for n in range(soaks):
            # A board soaked twice: its fault first, then mended.
            text += soak(check, hogspin, board, zones if n == 0 else [(25.0, 6.0, 2.0)])
        if name.endswith('-lava.log'):
            # As lava-run logs a test shell's lines: YAML flow mappings, CRLF line ends. An older
            # check printed no data lines: the report's reading of their words stays tested.
            lines = ['lava-test-shell: started', '+ ./lava/hogspin-check.sh 1 2 8 hogspin']
            lines += [line for line in text.splitlines() if not line.startswith('hogspin-case,')]
            text = ''.join('- {"dt": "2026-12-09T12:00:%02d.%06d", "lvl": "target", "msg": %s}\r\n'
                           % (i // 10 % 60, i * 1000, json.dumps(line)) for i, line in enumerate(lines))
        with open(os.path.join(HERE, name), 'w', newline='') as f:
            f.write(text)
        print(name, len(text.splitlines()), 'lines')
    return 0


if __name__ == '__main__':
    sys.exit(main())
