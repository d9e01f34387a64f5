"""The runner of `quarnet train --workers N`: one fresh process per object, at
most N at a time. Each process leads a session of its own, so that it and
everything its trainer started can be stopped together, and a terminal's
Ctrl-C reaches this process only; what a process leaves in its session is
ended once it has ended (leftovers.py). It prints into two files of this
process, copied out when the object finishes.

A process that dies (a trainer that crashes or is killed) fails its own
object only; the next object gets a fresh process. On Ctrl-C the running
trainings are stopped: SIGINT to each one's process group, as a terminal
would send it, then SIGKILL to whatever is left after GRACE seconds or at a
second Ctrl-C."""

from __future__ import annotations

import collections
import contextlib
import os
import pickle
import select
import signal
import subprocess
import sys
import tempfile
import time

from .job import CRASHED, INTERRUPTED, OK, ObjectResult
from .leftovers import GRACE, Leftovers
from .output import OpenFiles

# The new process's program. Its job comes on its standard input, sys.path
# first, so that the process imports the quarnet this one runs (not a
# quarnet/ folder in the working directory) and so that its trainer is the
# one its own import of quarnet.gaussian_seg.Vorlantide holds, as on a Dask
# worker.
_BOOT = """\
import sys
try:
    import pickle
    start = pickle.load(sys.stdin.buffer)
    sys.path[:] = start["path"]
    from quarnet.cli.train.child import main
except KeyboardInterrupt:  # stopped while starting
    sys.exit(130)
main(start)
"""


class _Training:
    """One object's training process, with the files it prints and reports to."""

    def __init__(self, job):
        self.name, self.stopped = job.name, False
        self.out, self.err, self.outcome = (tempfile.TemporaryFile() for _ in range(3))
        self.start = time.perf_counter()
        self.process = subprocess.Popen([sys.executable, "-u", "-c", _BOOT], stdin=subprocess.PIPE, stdout=self.out,
                                        stderr=self.err, pass_fds=(self.outcome.fileno(),), start_new_session=True)
        try:
            self.pidfd = os.pidfd_open(self.process.pid)
        except (AttributeError, OSError):
            self.pidfd = None  # no process file descriptors: polled
        start = {"path": list(sys.path), "job": pickle.dumps(job), "result": self.outcome.fileno()}
        with contextlib.suppress(BrokenPipeError):  # it ended already: its exit status tells
            self.process.stdin.write(pickle.dumps(start))
            self.process.stdin.flush()  # the pipe stays open: the process's lifeline

    def stop(self, sig):
        """Sends `sig` to the process and everything in its process group."""
        self.stopped = True
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(self.process.pid, sig)

    def ended(self):
        return self.process.poll() is not None

    def result(self):
        """The object's outcome, once the process has ended, with what it printed."""
        returncode = self.process.wait()
        seconds = time.perf_counter() - self.start
        self.outcome.seek(0)
        data = self.outcome.read()
        result = ObjectResult(**pickle.loads(data)) if data else None
        if self.stopped and (result is None or result.status != OK):
            result = ObjectResult(self.name, INTERRUPTED, seconds)
        elif result is None and returncode < 0:
            name = signal.Signals(-returncode).name
            result = ObjectResult(self.name, CRASHED, seconds, detail=name,
                                  error=f"the training process died by {name} ({signal.strsignal(-returncode)})")
        elif result is None:
            result = ObjectResult(self.name, CRASHED, seconds,
                                  error=f"the training process ended with status {returncode} and no result")
        result.output = OpenFiles(self.out, self.err)
        return result

    def close(self):
        """Kills the training if it still runs, and releases its pipe."""
        if not self.ended():
            self.stop(signal.SIGKILL)
            self.process.wait()
        for f in (self.process.stdin, self.outcome):
            f.close()
        if self.pidfd is not None:
            os.close(self.pidfd)


class _Interrupts:
    """Counts SIGINT while in use, instead of raising KeyboardInterrupt, and
    wakes wait() when one comes."""

    def __enter__(self):
        self.count, self._installed = 0, False
        self._read, self._write = os.pipe()
        for fd in (self._read, self._write):
            os.set_blocking(fd, False)
        try:
            self._old_fd = signal.set_wakeup_fd(self._write, warn_on_full_buffer=False)
            self._old_handler = signal.signal(signal.SIGINT, self._count)
            self._installed = True
        except ValueError:
            pass  # not the main thread: Ctrl-C stays with whoever handles it
        return self

    def _count(self, signum, frame):
        self.count += 1

    def wait(self, trainings, timeout):
        """Until a training may have ended, an interrupt came, or `timeout` seconds passed."""
        fds = [t.pidfd for t in trainings if t.pidfd is not None]
        if len(fds) < len(trainings):
            timeout = 0.05 if timeout is None else min(timeout, 0.05)
        select.select([self._read, *fds], [], [], timeout)
        with contextlib.suppress(BlockingIOError):
            while os.read(self._read, 512):
                pass

    def __exit__(self, *exc):
        if self._installed:
            signal.signal(signal.SIGINT, self._old_handler)
            signal.set_wakeup_fd(self._old_fd)
        os.close(self._read)
        os.close(self._write)


class LocalRunner:
    def __init__(self, workers):
        self.workers = workers
        self._queue, self._running, self._leftovers = collections.deque(), [], Leftovers()
        self._kill_at = None  # after Ctrl-C: when the stopped trainings get SIGKILL
        self._killed = self._told = False

    def __enter__(self):
        self._interrupts = _Interrupts().__enter__()
        return self

    def __exit__(self, *exc):
        try:
            for training in self._running:
                training.close()
                self._leftovers.end(training.process.pid, at_once=True)
            presses = self._interrupts.count
            self._leftovers.wait(hurry=lambda: self._interrupts.count > presses)
        finally:
            self._interrupts.__exit__(*exc)

    def start(self, job):
        self._queue.append(job)

    def cancel_pending(self, stop_running=False):
        self._queue.clear()
        if stop_running:
            self._stop()

    def next_finished(self):
        while True:
            self._on_interrupts()
            while self._queue and len(self._running) < self.workers:
                self._running.append(_Training(self._queue.popleft()))
            if not self._running:
                return None
            for training in self._running:
                if training.ended():
                    self._running.remove(training)
                    result = training.result()
                    training.close()
                    self._leftovers.end(training.process.pid, at_once=training.stopped)
                    return result
            due = [self._leftovers.poll()]
            if self._kill_at is not None and not self._killed:
                due.append(max(0.0, self._kill_at - time.monotonic()))
            self._interrupts.wait(self._running, min((t for t in due if t is not None), default=None))

    def _stop(self):
        """SIGINT to the running trainings, SIGKILL GRACE seconds later."""
        if self._kill_at is None:
            for training in self._running:
                training.stop(signal.SIGINT)
            self._kill_at = time.monotonic() + GRACE

    def _on_interrupts(self):
        """At the first Ctrl-C: the trainings stopped, and KeyboardInterrupt
        once; at the second, or GRACE seconds later, SIGKILL."""
        presses = self._interrupts.count
        if presses:
            self._stop()
        if self._kill_at is not None and not self._killed and (presses > 1 or time.monotonic() >= self._kill_at):
            for training in self._running:
                training.stop(signal.SIGKILL)
            self._leftovers.kill_all()
            self._killed = True
        if presses and not self._told:
            self._told = True
            raise KeyboardInterrupt
