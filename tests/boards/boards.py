#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Boots one emulated board: a Debian kernel under qemu-system (TCG), a busybox initramfs
holding hogspin, the guest script and the board's list of checks, and judges the console log
the guest leaves.

    boards.py --board NAME --parts DIR --bin ARCH=BIN [--bin ARCH=BIN ...]
    boards.py --fetch --parts DIR
    boards.py --list

Kernels and busybox come from Debian's archive through a private apt state in DIR, one per
suite and architecture (its own sources list; the archive's URI is read from this machine's
apt sources), fetched with apt-get download and only extracted, never installed, and kept in
DIR so that a second run downloads nothing. Exit status 0 when every check the board expects
passed, 1 otherwise, 77 (a skip) when something is missing, unless CI=true, where that fails.
SIGTERM, SIGHUP or SIGINT ends every apt, dpkg-deb, tar and qemu it started, at once.
"""
import argparse
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The process helper is the report's, which ships it.
sys.path.insert(0, str(HERE.parent.parent / 'lava'))
from hogspin_report import children  # noqa: E402
KEYRING = '/usr/share/keyrings/debian-archive-keyring.gpg'

# How each kind of board is emulated, by the Debian architecture of its kernel and user space.
EMU = {
    'arm64': dict(qemu='qemu-system-aarch64', package='qemu-system-arm', cpu=['-cpu', 'cortex-a53'], console='ttyAMA0'),
    'armhf': dict(qemu='qemu-system-arm', package='qemu-system-arm', cpu=['-cpu', 'cortex-a15'], console='ttyAMA0'),
    'amd64': dict(qemu='qemu-system-x86_64', package='qemu-system-x86', cpu=[], console='ttyS0'),
}

PIN = ['pin-cpu%d' % k for k in range(8)]
# Workers pinned inside a non-root cpuset meet another CPU's hotplug, a shrink and a change.
EVENTS_V2 = ['cpuset-v2-hotplug-other', 'cpuset-v2-shrink-grow', 'cpuset-v2-change-holding']
CPUSET_V1 = ['cpuset-v1-excludes', 'cpuset-v1-includes', 'cpuset-v1-hotplug-other', 'cpuset-v1-shrink-grow',
             'cpuset-v1-change-holding']
# What differs between kernels: the pin itself, the hotplug of its own CPU, cpuset updates.
KERNEL = ['pin-cpu2', 'hotplug-while-loaded'] + EVENTS_V2
# A 32-bit kernel leaves a process 3 GiB: 1000 default 8 MiB stacks do not fit.
COUNT32 = ['count-1000', 'count-1000-stack-256k']

A53, A15 = dict(arch='arm64', machine='virt', smp=4), dict(arch='armhf', machine='virt,highmem=off', smp=4)
# Each board: how it is emulated, the suite and meta-package of its kernel, kernel arguments,
# the checks its guest runs (each judged there against what that kernel is known to do), and
# the binaries its initramfs holds besides /hogspin of its own architecture.
BOARDS = {
    # Cortex-A53 x 4 on bookworm's 6.1 with CPU 3 isolated: every scenario a board user meets.
    'a53x4': dict(A53, suite='bookworm', kernel='linux-image-cloud-arm64', append='isolcpus=3', extra={'hogspin32': 'armhf'},
                  checks=PIN[:4] + ['offline-before-start', 'hotplug-while-loaded', 'cpuset-v2-excludes',
                                    'cpuset-v2-includes'] + EVENTS_V2 + CPUSET_V1 + [
                      'isolated-cpu', 'load-cpu2', 'many-workers', 'cpu8-absent', 'armhf-pin',
                      'armhf-huge-count-536870912', 'armhf-huge-count-2000000000']),
    'a53x4-bullseye': dict(A53, suite='bullseye', kernel='linux-image-cloud-arm64', checks=KERNEL + CPUSET_V1),
    'a53x4-trixie': dict(A53, suite='trixie', kernel='linux-image-cloud-arm64', checks=KERNEL + ['startup-256']),
    'a53x4-trixie-rt': dict(A53, suite='trixie', kernel='linux-image-rt-arm64', checks=['pin-cpu2', 'load-cpu2', 'startup-256']),
    # Native 32-bit ARM kernels (LPAE) on Cortex-A15, running the armhf build.
    'a15x4-bookworm': dict(A15, suite='bookworm', kernel='linux-image-armmp-lpae', checks=KERNEL + COUNT32),
    'a15x4-trixie': dict(A15, suite='trixie', kernel='linux-image-armmp-lpae', checks=KERNEL + COUNT32),
    # GICv2 stops at 8 CPUs; the usage line's 0..8 needs a ninth.
    # The farm check runs here end to end too, on stand-in thermal zones, meters and clocks.
    'a53x9': dict(A53, machine='virt,gic-version=3', smp=9, suite='bookworm', kernel='linux-image-cloud-arm64',
                  checks=['pin-cpu8', 'load-cpu8', 'thermal-soak']),
    'x86x8': dict(arch='amd64', machine='q35', smp=8, suite='bookworm', kernel='linux-image-cloud-amd64',
                  checks=PIN + ['load-cpu5', 'many-workers', 'cpu8-absent']),
}
# The user space is the same on every board: busybox from one suite.
BUSYBOX_SUITE = 'bookworm'


class Missing(Exception):
    """Something this machine lacks: a package, a tool, or the archive."""


run = children.run


def archive_uri():
    """The Debian archive this machine's own apt sources name for its own suite."""
    codename = next((line.split('=', 1)[1].strip().strip('"') for line in Path('/etc/os-release').read_text().splitlines()
                     if line.startswith('VERSION_CODENAME=')), '')
    try:
        targets = run(['apt-get', 'indextargets', '--no-release-info', '--format', '$(REPO_URI) $(RELEASE)'])
    except (OSError, subprocess.CalledProcessError) as error:
        raise Missing('apt-get indextargets failed: %s' % error)
    for line in targets.splitlines():
        uri, _, release = line.partition(' ')
        if release == codename:
            return uri
    raise Missing("this machine's apt sources name no archive for its suite '%s'" % codename)


class Apt:
    """apt-get and apt-cache on a private state for one suite and architecture: its own
    sources list, lists and cache in the build tree, nothing of the machine's touched."""

    def __init__(self, parts, suite, arch):
        self.root = parts.resolve() / 'apt' / ('%s-%s' % (suite, arch))
        self.suite, self.arch = suite, arch

    def options(self):
        r = self.root
        return ['-o', 'Dir::Etc::SourceList=%s/sources.list' % r, '-o', 'Dir::Etc::SourceParts=%s/empty' % r,
                '-o', 'Dir::Etc::Preferences=%s/empty/preferences' % r, '-o', 'Dir::Etc::PreferencesParts=%s/empty' % r,
                '-o', 'Dir::State::Lists=%s/lists' % r, '-o', 'Dir::State::status=%s/status' % r,
                '-o', 'Dir::Cache=%s/cache' % r, '-o', 'APT::Architecture=' + self.arch,
                '-o', 'APT::Architectures=' + self.arch, '-o', 'Acquire::Languages=none',
                # The downloads land in the build tree, which apt's own user may not write to.
                '-o', 'APT::Sandbox::User=root']

    def update(self):
        for sub in ('lists/partial', 'cache/archives/partial', 'empty'):
            (self.root / sub).mkdir(parents=True, exist_ok=True)
        (self.root / 'status').touch()
        (self.root / 'sources.list').write_text('deb [arch=%s signed-by=%s] %s %s main\n'
                                                % (self.arch, KEYRING, archive_uri(), self.suite))
        try:
            run(['apt-get'] + self.options() + ['update'])
        except subprocess.CalledProcessError as error:
            raise Missing('apt-get update for %s %s failed:\n%s' % (self.suite, self.arch, error.stdout))

    def fetch(self, package, cwd):
        """Downloads package, or the package a meta-package depends on; returns its .deb.
        Debian drops superseded kernels from the archive: a failure refreshes the lists and
        tries once more."""
        if not (self.root / 'lists').is_dir():
            self.update()
        for attempt in (1, 2):
            try:
                depends = run(['apt-cache'] + self.options() + ['depends', package])
                versioned = re.search(r'Depends: (linux-image-\S+)', depends)
                name = versioned.group(1) if versioned else package
                run(['apt-get'] + self.options() + ['download', name], cwd=cwd)
                return next(Path(cwd).glob(name + '_*.deb'))
            except (subprocess.CalledProcessError, StopIteration) as error:
                if attempt == 2:
                    raise Missing('%s from %s %s: %s' % (package, self.suite, self.arch, getattr(error, 'stdout', error)))
                print('%s from %s %s failed; refreshing the lists and trying once more' % (package, self.suite, self.arch))
                self.update()


def extract(parts, suite, arch, package, member, name):
    """One file of a Debian package (member: a path glob in it), cached in parts/ as name."""
    where = parts / ('%s-%s' % (suite, arch)) / package
    cached = where / name
    if cached.exists():
        return cached, (where / 'package').read_text().strip()
    for tool in ('apt-get', 'apt-cache', 'dpkg-deb', 'tar'):
        if not shutil.which(tool):
            raise Missing('%s not found: the kernels come from Debian packages' % tool)
    with tempfile.TemporaryDirectory() as tmp:
        deb = Apt(parts, suite, arch).fetch(package, tmp)
        # Only the one file: a kernel package is mostly modules.
        tree = Path(tmp) / 'tree'
        tree.mkdir()
        run('dpkg-deb --fsys-tarfile "%s" | tar -x -C "%s" --wildcards "./%s"' % (deb, tree, member), shell=True, stderr=None)
        where.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(next(tree.glob(member)), cached)
        (where / 'package').write_text(deb.name + '\n')
    return cached, deb.name


def board_files(board):
    """(suite, arch, package, member, name) of a board's kernel and of its busybox."""
    return [(board['suite'], board['arch'], board['kernel'], 'boot/vmlinuz-*', 'vmlinuz'),
            (BUSYBOX_SUITE, board['arch'], 'busybox-static', 'bin/busybox', 'busybox')]


def parts_for(parts, board):
    """The kernel and busybox of a board, with the names of their packages."""
    (kernel, kernel_deb), (busybox, busybox_deb) = [extract(parts, *f) for f in board_files(board)]
    return kernel, busybox, '%s, %s' % (kernel_deb, busybox_deb)


def fetch_all(parts):
    """Every board's kernel and busybox, one thread per apt state: most of the time goes to
    the network and to apt's own decompression."""
    wanted = {}
    for board in BOARDS.values():
        for suite, arch, *item in board_files(board):
            wanted.setdefault((suite, arch), set()).add(tuple(item))

    def one_state(key):
        return [extract(parts, key[0], key[1], *item)[1] for item in sorted(wanted[key])]

    with concurrent.futures.ThreadPoolExecutor(len(wanted)) as pool:
        for key, names in zip(wanted, pool.map(one_state, wanted)):
            print('%s %s: %s' % (key[0], key[1], ', '.join(names)))


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


def initramfs(busybox, init, files=None):
    """A busybox initramfs with init (bytes) as /init and files ({name: (mode, bytes)}) at the top."""
    entries = [(d, 0o40755, b'', (0, 0)) for d in ('bin', 'dev', 'proc', 'sys', 'tmp', 'usr', 'usr/bin')]
    entries.append(('dev/console', 0o20600, b'', (5, 1)))
    entries.append(('bin/busybox', 0o100755, busybox.read_bytes(), (0, 0)))
    entries.append(('init', 0o100755, init, (0, 0)))
    for name, (mode, data) in (files or {}).items():
        entries.append((name, 0o100000 | mode, data, (0, 0)))
    return cpio(entries)


def boot(board, kernel, image, log, timeout):
    """Runs the guest to its power-off; kills it by PID past the timeout. Returns seconds."""
    emu = EMU[board['arch']]
    append = ('console=%s panic=-1 quiet loglevel=1 %s' % (emu['console'], board.get('append', ''))).strip()
    cmd = [emu['qemu'], '-M', board['machine']] + emu['cpu'] + [
        '-smp', str(board['smp']), '-m', '512', '-nic', 'none', '-nographic', '-no-reboot',
        '-kernel', str(kernel), '-initrd', str(image), '-append', append]
    print('$ ' + ' '.join(cmd), flush=True)
    started = time.monotonic()
    with open(log, 'wb') as out:
        guest = children.spawn(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        try:
            children.wait(guest, timeout)
        except subprocess.TimeoutExpired:
            print('guest killed after %d s' % timeout)
        finally:  # also when this script is itself interrupted
            children.end(guest)
    return time.monotonic() - started


def judge(name, board, log):
    """Problems found in the console log; qemu's own status says nothing after a panic."""
    # The firmware's terminal escapes may lead a line.
    text = re.sub(r'\x1b(\[[0-9;?]*[A-Za-z]|[A-Za-z])', '', log.read_text(errors='replace'))
    lines = [line.rstrip('\r') for line in text.splitlines()]
    problems = []
    if any('Kernel panic' in line for line in lines):
        problems.append('the kernel panicked')
    # An oops kills the task and the kernel runs on. (A soft-lockup "BUG:" is left alone: an
    # emulated CPU on a loaded host can stall that long and still be sound.)
    if any(re.search(r'Oops(?: -|:)', line) for line in lines):
        problems.append('the kernel oopsed')
    if 'BOARD-END ' + name not in lines:
        problems.append('the guest never printed its end marker')
    # A check reported twice keeps both verdicts, so that a later PASS never hides a FAIL;
    # nothing after the end marker counts.
    verdicts = {}
    for line in lines:
        if line.startswith(('GUEST ', 'CHECK ', 'INFO ', '  threads')):
            print(line)
        if line == 'BOARD-END ' + name:
            break
        found = re.match(r'CHECK (\S+) (PASS|FAIL)( |$)', line)
        if found:
            check, verdict = found.group(1), found.group(2)
            verdicts[check] = verdicts[check] + ' then ' + verdict if check in verdicts else verdict
    for check in board['checks']:
        if verdicts.get(check) != 'PASS':
            problems.append('%s: %s' % (check, verdicts.get(check, 'never reported')))
    problems += ['%s: not expected on this board' % c for c in verdicts if c not in board['checks']]
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--list', action='store_true', help='print each board and the architectures it needs')
    parser.add_argument('--fetch', action='store_true', help='fetch every board\'s kernel and busybox, in parallel')
    parser.add_argument('--board', choices=sorted(BOARDS))
    parser.add_argument('--parts', type=Path, help='cache of kernels, busybox and apt state')
    parser.add_argument('--bin', action='append', default=[], metavar='ARCH=BIN', help='static hogspin for ARCH')
    parser.add_argument('--timeout', type=int, default=150, help='seconds before the guest is killed')
    args = parser.parse_args()
    if args.list:
        for name, board in BOARDS.items():
            print(name, board['arch'], *board.get('extra', {}).values())
        return 0
    if not args.parts or not (args.board or args.fetch):
        parser.error('--parts and --board or --fetch are needed')
    children.install()

    try:
        if args.fetch:
            fetch_all(args.parts)
            return 0
        board = BOARDS[args.board]
        emu = EMU[board['arch']]
        if not shutil.which(emu['qemu']):
            raise Missing('%s not found (apt-get install %s)' % (emu['qemu'], emu['package']))
        kernel, busybox, packages = parts_for(args.parts, board)
    except Missing as missing:
        needs = ('qemu-system-arm qemu-system-x86 debian-archive-keyring, and apt access to Debian\'s archive '
                 '(bullseye, bookworm, trixie)')
        if os.environ.get('CI') == 'true':
            print('FAIL: %s\nCI must have %s' % (missing, needs))
            return 1
        print('SKIP: %s\nthe board suite needs %s' % (missing, needs))
        return 77

    bins = dict(b.split('=', 1) for b in args.bin)

    # The farm check's program is built beside the tool; its glue comes from the tree.
    files = {'hogspin': (0o755, Path(bins[board['arch']]).read_bytes()),
             'hogspin-check': (0o755, Path(bins[board['arch']]).with_name('hogspin-check').read_bytes()),
             'hogspin-check.sh': (0o755, (HERE.parent.parent / 'lava' / 'hogspin-check.sh').read_bytes()),
             'board': (0o644, '\n'.join([args.board] + board['checks']).encode() + b'\n')}
    for name, arch in board.get('extra', {}).items():
        files[name] = (0o755, Path(bins[arch]).read_bytes())
    work = args.parts / 'runs'
    work.mkdir(parents=True, exist_ok=True)
    image = work / (args.board + '.cpio')
    image.write_bytes(initramfs(busybox, (HERE / 'guest.sh').read_bytes(), files))
    log = work / (args.board + '.log')
    print('board %s: %s' % (args.board, packages))
    seconds = boot(board, kernel, image, log, args.timeout)
    problems = judge(args.board, board, log)
    print('board %s: %d CPUs, %.1f s wall, console log %s' % (args.board, board['smp'], seconds, log))
    for problem in problems:
        print('FAIL: ' + problem)
    if not problems:
        print('board %s: all %d checks passed' % (args.board, len(board['checks'])))
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
