"""One object's training, wherever it runs (this process, a local training
process, a Dask worker): Vorlantide's own step for one object folder, timed,
with its outcome, and with everything printed on the way kept for one block
where the object runs elsewhere."""

from __future__ import annotations

import contextlib
import dataclasses
import io
import os
import pickle
import signal
import sys
import tempfile
import threading
import time
import traceback

from quarnet.user_errors import describe

OK, FAILED, ERROR, CRASHED, INTERRUPTED, NOT_RUN = "ok", "failed", "error", "crashed", "interrupted", "not run"


@dataclasses.dataclass
class ObjectResult:
    name: str
    # OK; FAILED: a failed external training process; ERROR: any other exception (it ends the run);
    # CRASHED: the training process died (`signal` names the signal); INTERRUPTED: stopped by Ctrl-C;
    # NOT_RUN: never started
    status: str
    seconds: float = 0.0
    stdout: bytes = b""
    stderr: bytes = b""
    error: str = ""  # for ERROR and CRASHED: one line
    traceback: str = ""
    signal: str = ""  # for CRASHED by a signal: its name, e.g. SIGSEGV


# The standard streams belong to the whole process: one capture at a time.
_CAPTURE = threading.Lock()


def _flush(stream):
    with contextlib.suppress(Exception):
        stream.flush()


def _dup(fd):
    try:
        return os.dup(fd)
    except OSError:
        return None  # not open in this process


def _text_on(fd):
    return io.TextIOWrapper(io.FileIO(fd, "w", closefd=False), encoding="utf-8", errors="backslashreplace",
                            write_through=True)


@contextlib.contextmanager
def captured(out, err):
    """Points file descriptors 1 and 2, and sys.stdout and sys.stderr, at the
    binary files `out` and `err`: the trainer's child processes are caught as
    well as its prints, in the order they were written."""
    with _CAPTURE:
        _flush(sys.stdout)
        _flush(sys.stderr)
        streams, saved = (sys.stdout, sys.stderr), (_dup(1), _dup(2))
        os.dup2(out.fileno(), 1)
        os.dup2(err.fileno(), 2)
        sys.stdout, sys.stderr = _text_on(1), _text_on(2)
        try:
            yield
        finally:
            _flush(sys.stdout)
            _flush(sys.stderr)
            sys.stdout, sys.stderr = streams
            for fd, copy in zip((1, 2), saved):
                if copy is None:
                    os.close(fd)
                else:
                    os.dup2(copy, fd)
                    os.close(copy)


def train_step(source_path, model_path, masks_path, name, images, N4views, checkpoint):
    """Trains the object folder `name` of `masks_path` with Vorlantide's own
    step for one object folder (its framing lines, and the trainer the
    module holds as Kelsimar, so a replaced one is used), printing as it
    goes; returns the outcome, timed. A KeyboardInterrupt passes through."""
    start = time.perf_counter()
    try:
        from quarnet.gaussian_seg import Vorlantide

        batch = Vorlantide.Vorlantide(source_path, model_path, masks_path, images, N4views, checkpoint)
        start = time.perf_counter()
        failure = Vorlantide._train_subfolder(batch, name, os.path.join(masks_path, name))
    except Exception as e:  # ends the batch, as in run_all: no finish line
        result = ObjectResult(name, ERROR, error=describe(e), traceback=traceback.format_exc())
    else:
        result = ObjectResult(name, OK if failure is None else FAILED)
    result.seconds = time.perf_counter() - start
    return result


def train_object(source_path, model_path, masks_path, name, images, N4views, checkpoint):
    """train_step on a worker that runs other work too (a Dask worker): what
    was printed, the trainer's child processes included, is kept in the
    result."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        with captured(out, err):
            result = train_step(source_path, model_path, masks_path, name, images, N4views, checkpoint)
        out.seek(0)
        err.seek(0)
        result.stdout, result.stderr = out.read(), err.read()
    return result


def _end_with(lifeline):
    """Waits for the end of file on `lifeline`, which comes when the process
    that started this one ends, and then ends this process group."""
    while os.read(lifeline, 4096):
        pass
    os.killpg(0, signal.SIGKILL)


def run_job(job):
    """The body of a local training process: train_step(*job["args"]), its
    outcome pickled to the file descriptor job["result"]. The standard input
    is the starting process's pipe: the job, then its lifeline."""
    os.set_inheritable(job["result"], False)
    lifeline = os.dup(0)
    with open(os.devnull, "rb") as devnull:
        os.dup2(devnull.fileno(), 0)  # the trainer reads no job
    threading.Thread(target=_end_with, args=(lifeline,), daemon=True).start()
    try:
        result = train_step(*job["args"])
    except KeyboardInterrupt:
        sys.exit(128 + signal.SIGINT)
    with open(job["result"], "wb", closefd=True) as out:
        pickle.dump(dataclasses.asdict(result), out)
