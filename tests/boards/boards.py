#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Boots one emulated board: Debian's kernel under qemu-system (TCG), a busybox initramfs
holding hogspin and the guest script, and judges the console log the guest leaves.

    boards.py --board a53x4 --parts DIR --hogspin BIN [--hogspin32 BIN]

Kernels and busybox come from Debian's packages, fetched with apt-get download and only
extracted, never installed; they are kept in DIR so that a second run downloads nothing.
Exit status 0 when every check the board expects passed, 1 otherwise, 77 (a skip) when a
package is missing, unless CI=true, where a missing package fails.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

ARCHES = {
    'arm64': dict(qemu='qemu-system-aarch64', qemu_package='qemu-system-arm', cpu=['-cpu', 'cortex-a53'],
                  console='ttyAMA0', kernel='linux-image-cloud-arm64:arm64', busybox='busybox-static:arm64'),
    'amd64': dict(qemu='qemu-system-x86_64', qemu_package='qemu-system-x86', cpu=[],
                  console='ttyS0', kernel='linux-image-cloud-amd64:amd64', busybox='busybox-static:amd64'),
}

PIN = ['pin-cpu%d' % k for k in range(8)]
BOARDS = {
    # Cortex-A53 x 4 with CPU 3 isolated: the scenarios a board user meets.
    'a53x4': dict(arch='arm64', machine='virt', smp=4, append='isolcpus=3', checks=PIN[:4] + [
        'offline-before-start', 'hotplug-while-loaded', 'cpuset-excludes', 'cpuset-includes',
        'isolated-cpu', 'load-busy', 'many-workers', 'cpu8-absent', 'armhf-pin',
        'armhf-huge-count-536870912', 'armhf-huge-count-2000000000']),
    # GICv2 stops at 8 CPUs; the usage line's 0..8 needs a ninth.
    'a53x9': dict(arch='arm64', machine='virt,gic-version=3', smp=9, append='', checks=['pin-cpu8', 'load-busy']),
    'x86x8': dict(arch='amd64', machine='q35', smp=8, append='', checks=PIN + ['load-busy', 'many-workers', 'cpu8-absent']),
}


class Missing(Exception):
    """A package this machine lacks."""


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs).stdout


def fetch(parts, arch):
    """The kernel and busybox for arch, from the cache or else from Debian's archive."""
    emu = ARCHES[arch]
    where = parts / arch
    kernel, busybox = where / 'vmlinuz', where / 'busybox'
    if kernel.exists() and busybox.exists():
        return kernel, busybox
    for tool in ('apt-cache', 'apt-get', 'dpkg-deb'):
        if not shutil.which(tool):
            raise Missing('%s not found: the kernels come from Debian packages' % tool)
    # The meta-package names the kernel of the current ABI, whose number moves.
    try:
        depends = run(['apt-cache', 'depends', emu['kernel']])
    except subprocess.CalledProcessError:
        depends = ''
    versioned = re.search(r'Depends: (linux-image-\S+)', depends)
    if not versioned:
        hint = ' (dpkg --add-architecture arm64 && apt-get update)' if arch == 'arm64' else ' (apt-get update)'
        raise Missing('apt cannot resolve %s%s' % (emu['kernel'], hint))
    packages = [versioned.group(1), emu['busybox']]
    with tempfile.TemporaryDirectory() as tmp:
        try:
            run(['apt-get', 'download'] + packages, cwd=tmp)
        except subprocess.CalledProcessError as error:
            raise Missing('apt-get download %s failed:\n%s' % (' '.join(packages), error.stdout))
        tree = Path(tmp) / 'tree'
        for deb in sorted(Path(tmp).glob('*.deb')):
            run(['dpkg-deb', '-x', str(deb), str(tree)])
        where.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(next((tree / 'boot').glob('vmlinuz-*')), kernel)
        shutil.copyfile(tree / 'bin' / 'busybox', busybox)
    (where / 'packages').write_text(' '.join(packages) + '\n')
    return kernel, busybox


def cpio(entries):
    """An initramfs in the kernel's newc cpio format from (name, mode, data, rdev) entries."""
    out = bytearray()

    def pad():
        out.extend(b'\0' * (-len(out) % 4))

    for ino, (name, mode, data, rdev) in enumerate(entries + [('TRAILER!!!', 0, b'', (0, 0))], 1):
        fields = (ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name) + 1, 0)
        out.extend(('070701' + ''.join('%08X' % f for f in fields)).encode() + name.encode() + b'\0')
        pad()
        out.extend(data)
        pad()
    return bytes(out)


def initramfs(busybox, init, binaries=None):
    """A busybox initramfs with init (bytes) as /init and binaries ({name: path}) at the top."""
    entries = [(d, 0o40755, b'', (0, 0)) for d in ('bin', 'dev', 'proc', 'sys', 'tmp', 'usr', 'usr/bin')]
    entries.append(('dev/console', 0o20600, b'', (5, 1)))
    entries.append(('bin/busybox', 0o100755, busybox.read_bytes(), (0, 0)))
    entries.append(('init', 0o100755, init, (0, 0)))
    for name, path in (binaries or {}).items():
        entries.append((name, 0o100755, Path(path).read_bytes(), (0, 0)))
    return cpio(entries)


def boot(name, board, kernel, image, log, timeout):
    """Runs the guest to its power-off; kills it by PID past the timeout. Returns seconds."""
    emu = ARCHES[board['arch']]
    append = 'console=%s panic=-1 quiet loglevel=1 hogspin.board=%s %s' % (emu['console'], name, board['append'])
    cmd = [emu['qemu'], '-M', board['machine']] + emu['cpu'] + [
        '-smp', str(board['smp']), '-m', '512', '-nic', 'none', '-nographic', '-no-reboot',
        '-kernel', str(kernel), '-initrd', str(image), '-append', append.strip()]
    print('$ ' + ' '.join(cmd), flush=True)
    started = time.monotonic()
    with open(log, 'wb') as out:
        guest = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        try:
            guest.wait(timeout)
        except subprocess.TimeoutExpired:
            os.kill(guest.pid, signal.SIGKILL)
            guest.wait()
            print('guest killed after %d s' % timeout)
    return time.monotonic() - started


def judge(name, board, log):
    """Problems found in the console log; qemu's own status says nothing after a panic."""
    # The firmware's terminal escapes may lead a line.
    text = re.sub(r'\x1b(\[[0-9;?]*[A-Za-z]|[A-Za-z])', '', log.read_text(errors='replace'))
    lines = [line.rstrip('\r') for line in text.splitlines()]
    problems = []
    if any('Kernel panic' in line for line in lines):
        problems.append('the kernel panicked')
    if 'BOARD-END ' + name not in lines:
        problems.append('the guest never printed its end marker')
    verdicts = {}
    for line in lines:
        if line.startswith(('GUEST ', 'CHECK ', 'INFO ', '  threads')):
            print(line)
        found = re.match(r'CHECK (\S+) (PASS|FAIL)', line)
        if found:
            verdicts[found.group(1)] = found.group(2)
    for check in board['checks']:
        if verdicts.get(check) != 'PASS':
            problems.append('%s: %s' % (check, verdicts.get(check, 'never reported')))
    problems += ['%s: not expected on this board' % c for c in verdicts if c not in board['checks']]
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--board', required=True, choices=sorted(BOARDS))
    parser.add_argument('--parts', required=True, type=Path, help='cache of kernels and busybox')
    parser.add_argument('--hogspin', required=True, help='static hogspin for the board')
    parser.add_argument('--hogspin32', help='static 32-bit ARM hogspin, for the arm64 boards')
    parser.add_argument('--timeout', type=int, default=120, help='seconds before the guest is killed')
    args = parser.parse_args()
    board = BOARDS[args.board]
    emu = ARCHES[board['arch']]

    try:
        if not shutil.which(emu['qemu']):
            raise Missing('%s not found (apt-get install %s)' % (emu['qemu'], emu['qemu_package']))
        kernel, busybox = fetch(args.parts, board['arch'])
    except Missing as missing:
        packages = 'qemu-system-arm qemu-system-x86, and apt access to linux-image-cloud-arm64:arm64, ' \
                   'linux-image-cloud-amd64, busybox-static:arm64 and busybox-static'
        if os.environ.get('CI') == 'true':
            print('FAIL: %s\nCI must have %s' % (missing, packages))
            return 1
        print('SKIP: %s\nthe board suite needs %s' % (missing, packages))
        return 77

    binaries = {'hogspin': args.hogspin}
    if args.hogspin32:
        binaries['hogspin32'] = args.hogspin32
    work = args.parts / 'runs'
    work.mkdir(parents=True, exist_ok=True)
    image = work / (args.board + '.cpio')
    image.write_bytes(initramfs(busybox, (HERE / 'guest.sh').read_bytes(), binaries))
    log = work / (args.board + '.log')
    print('board %s: %s' % (args.board, (args.parts / board['arch'] / 'packages').read_text().strip()))
    seconds = boot(args.board, board, kernel, image, log, args.timeout)
    problems = judge(args.board, board, log)
    print('board %s: %d CPUs, %.1f s wall, console log %s' % (args.board, board['smp'], seconds, log))
    for problem in problems:
        print('FAIL: ' + problem)
    if not problems:
        print('board %s: all %d checks passed' % (args.board, len(board['checks'])))
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
