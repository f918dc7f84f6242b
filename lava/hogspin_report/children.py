# SPDX-License-Identifier: MIT
"""Children that end with the script that started them: the report's lavacli and gnuplot, and
the board suite's, the LAVA job's, the benchmark's and the report's tests' processes.

Each child starts in a session of its own and is recorded before a signal can be handled
(the main thread's handler defers while it records, and stops right after). SIGTERM, SIGHUP
or SIGINT SIGKILLs every recorded child's process group and raises SystemExit(128 + signal)
in the main thread, so that finally clauses still run; other threads may start nothing more.
A signal that was ignored when the script started (nohup, a shell's background job) stays
ignored. A child is reaped only under the lock, so a stop never signals a reused PID.
"""
import os
import re
import signal
import subprocess
import tempfile
import threading
import time

_lock = threading.Lock()
_children = set()
_stop = None  # the signal that asked for the stop
_raised = False
_main_holds = False  # the main thread is in a _Held section: its handler defers


class Stopped(Exception):
    """A stop began: no child is started, and a child it ended gives no result."""


def install(signals=(signal.SIGTERM, signal.SIGHUP, signal.SIGINT)):
    for sig in signals:
        if signal.getsignal(sig) != signal.SIG_IGN:
            signal.signal(sig, _on_signal)


def _on_signal(signum, _frame):
    global _stop
    if _stop is not None:
        return  # one stop at a time while the clean-up runs
    _stop = signum
    if not _main_holds:
        _end_all()


def _end_all():
    global _raised
    _raised = True
    with _lock:
        for proc in _children:
            _kill_group(proc)
    raise SystemExit(128 + _stop)


def _kill_group(proc):
    # The child itself too, in case it left its group; unreaped, its PID is still its own.
    for kill in (os.killpg, os.kill):
        try:
            kill(proc.pid, signal.SIGKILL)
        except OSError:
            pass  # already gone


class _Held:
    """The lock, with the main thread's handler deferred to the end of the section."""

    def __enter__(self):
        global _main_holds
        self.main = threading.current_thread() is threading.main_thread()
        if self.main:
            _main_holds = True
        try:
            _lock.acquire()
        except BaseException:
            _main_holds = False
            raise

    def __exit__(self, *_):
        global _main_holds
        _lock.release()
        if self.main:
            _main_holds = False
            if _stop is not None and not _raised:
                _end_all()


def spawn(cmd, **kwargs):
    """subprocess.Popen in a session of its own, recorded until reaped."""
    with _Held():
        if _stop is not None:
            raise Stopped()
        proc = subprocess.Popen(cmd, start_new_session=True, **kwargs)
        _children.add(proc)
    return proc


def _reap(proc):
    with _Held():
        _children.discard(proc)
        return proc.wait()


def _ended(proc, block):
    """Whether proc has ended, without reaping it."""
    try:
        return os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT | (0 if block else os.WNOHANG)) is not None
    except ChildProcessError:  # reaped already, or SIGCHLD ignored
        return True


def poll(proc):
    """Its status once it has ended, else None."""
    if proc.returncode is None and not _ended(proc, False):
        return None
    return _reap(proc)


def wait(proc, timeout=None):
    """Its status; subprocess.TimeoutExpired past timeout seconds."""
    if proc.returncode is not None:
        return proc.returncode  # reaped: its PID may be another child's by now
    if timeout is None:
        _ended(proc, True)
    else:
        deadline = time.monotonic() + timeout
        while not _ended(proc, False):
            if time.monotonic() > deadline:
                raise subprocess.TimeoutExpired(proc.args, timeout)
            time.sleep(0.05)
    return _reap(proc)


def end(proc):
    """SIGKILLs proc's process group unless proc was reaped, then reaps it."""
    with _Held():
        if proc in _children:
            _kill_group(proc)
    return wait(proc)


def end_all():
    for proc in list(_children):
        end(proc)


def run(cmd, **kwargs):
    """subprocess.run(cmd, check=True) through spawn; returns its output, stderr included, as
    text unless redirected."""
    kwargs = dict(dict(stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True), **kwargs)
    proc = spawn(cmd, **kwargs)
    out = None
    if proc.stdout:
        with proc.stdout:
            out = proc.stdout.read()
    status = wait(proc)
    if _stop is not None:
        raise Stopped()
    if status:
        raise subprocess.CalledProcessError(status, cmd, out)
    return out


def run_bounded(argv, timeout, out, cwd=None):
    """argv's status, with its output to out, and the last line of its standard error; None as
    status when it was killed past timeout seconds."""
    with tempfile.TemporaryFile() as err:
        proc = spawn(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err, cwd=cwd)
        try:
            status = wait(proc, timeout)
        except subprocess.TimeoutExpired:
            end(proc)
            status = None
        err.seek(0)
        lines = err.read().decode('utf-8', 'replace').strip().splitlines()
    said = re.sub(r'[^\x20-\x7e]', '?', lines[-1])[:300] if lines else ''
    return status, said
