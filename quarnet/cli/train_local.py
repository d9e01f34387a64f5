"""The objects of `quarnet train --workers N`: one fresh process per object, at
most N at a time. Each process starts a session of its own, so that it and
everything its trainer started can be stopped together, and a terminal's
Ctrl-C reaches this process only.

A process that dies (a trainer that crashes or is killed) fails its own object
only; the next object gets a fresh process. An object that ends with an error
other than a failed training process ends the run as it ends run_all(): the
objects not started yet are not run. On Ctrl-C the objects not started yet are
not run and the running ones are stopped: SIGINT to each one's process group,
as a terminal would send it, then SIGKILL to whatever is left after GRACE
seconds or at a second Ctrl-C."""

from __future__ import annotations

import contextlib
import os
import pickle
import select
import signal
import subprocess
import sys
import tempfile
import time

from .train_task import CRASHED, ERROR, INTERRUPTED, NOT_RUN, OK, ObjectResult

GRACE = 5.0  # seconds a stopped training has to end before it is killed

# The new process's program. The job comes on its standard input; sys.path
# first, so that the process imports the quarnet this one runs (not a
# quarnet/ folder in the working directory) and so that its trainer is the
# one its own import of quarnet.gaussian_seg.Vorlantide holds, as on a Dask
# worker.
_BOOT = """\
import sys
try:
    import pickle
    job = pickle.load(sys.stdin.buffer)
    sys.path[:] = job["path"]
    from quarnet.cli.train_task import run_job
except KeyboardInterrupt:  # stopped while starting
    sys.exit(130)
run_job(job)
"""


class _Training:
    """One object's training process, with the files it prints and reports to."""

    def __init__(self, name, args):
        self.name, self.stopped = name, False
        self.out, self.err, self.outcome = (tempfile.TemporaryFile() for _ in range(3))
        self.start = time.perf_counter()
        self.process = subprocess.Popen([sys.executable, "-u", "-c", _BOOT], stdin=subprocess.PIPE, stdout=self.out,
                                        stderr=self.err, pass_fds=(self.outcome.fileno(),), start_new_session=True)
        try:
            self.pidfd = os.pidfd_open(self.process.pid)
        except (AttributeError, OSError):
            self.pidfd = None  # no process file descriptors: polled
        job = {"path": list(sys.path), "args": args, "result": self.outcome.fileno()}
        with contextlib.suppress(BrokenPipeError):  # it ended already: its exit status tells
            self.process.stdin.write(pickle.dumps(job))
            self.process.stdin.flush()  # the pipe stays open: the process's lifeline

    def send(self, sig):
        """Sends `sig` to the process and everything in its process group."""
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(self.process.pid, sig)

    def stop(self, sig):
        self.stopped = True
        self.send(sig)

    def ended(self):
        return self.process.poll() is not None

    def result(self):
        """The object's outcome, once the process has ended, with what it printed."""
        returncode = self.process.wait()
        seconds = time.perf_counter() - self.start
        self.outcome.seek(0)
        data = self.outcome.read()
        result = ObjectResult(**pickle.loads(data)) if data else None
        if result is None or (self.stopped and result.status != OK):
            self.send(signal.SIGKILL)  # what the training left running
            if self.stopped:
                result = ObjectResult(self.name, INTERRUPTED, seconds)
            elif returncode < 0:
                name = signal.Signals(-returncode).name
                result = ObjectResult(self.name, CRASHED, seconds, signal=name,
                                      error=f"the training process died by {name} ({signal.strsignal(-returncode)})")
            else:
                result = ObjectResult(self.name, CRASHED, seconds,
                                      error=f"the training process ended with status {returncode} and no result")
        for stream, attribute in ((self.out, "stdout"), (self.err, "stderr")):
            stream.seek(0)
            setattr(result, attribute, stream.read())
        return result

    def close(self):
        """Kills what is left of the training and releases its pipe and files."""
        if not self.ended():
            self.stop(signal.SIGKILL)
            self.process.wait()
        for f in (self.process.stdin, self.out, self.err, self.outcome):
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


def run_local(names, job, workers, on_done):
    """Trains each of `names` in a fresh local process, `workers` at a time;
    job(name) gives train_step's arguments, and on_done gets each result as
    its object ends. Returns the results by name, and whether Ctrl-C came."""
    queue, running, results = list(names), [], {}
    deadline = killed = None
    with _Interrupts() as interrupts:
        try:
            while queue or running:
                if interrupts.count and deadline is None:
                    queue.clear()
                    for training in running:
                        training.stop(signal.SIGINT)
                    deadline = time.monotonic() + GRACE
                if not killed and (interrupts.count > 1 or (deadline is not None and time.monotonic() >= deadline)):
                    for training in running:
                        training.stop(signal.SIGKILL)
                    killed = True
                while queue and len(running) < workers:
                    name = queue.pop(0)
                    running.append(_Training(name, job(name)))
                interrupts.wait(running, None if deadline is None or killed else max(0.0, deadline - time.monotonic()))
                for training in [t for t in running if t.ended()]:
                    running.remove(training)
                    result = results[training.name] = training.result()
                    training.close()
                    on_done(result)
                    if result.status == ERROR:
                        queue.clear()
        finally:
            for training in running:
                training.close()
    return {name: results.get(name, ObjectResult(name, NOT_RUN)) for name in names}, interrupts.count > 0
