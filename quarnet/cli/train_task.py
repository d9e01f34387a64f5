"""One object's training on a worker (a local worker process or a Dask
worker): the trainer, its seven keywords and the framing lines that
Vorlantide.run_all() has for one sub-folder, with everything printed on the
way kept for one block."""

from __future__ import annotations

import contextlib
import dataclasses
import io
import os
import subprocess
import sys
import tempfile
import threading
import time
import traceback

from .errors import describe

OK, FAILED, ERROR, NOT_RUN = "ok", "failed", "error", "not run"


@dataclasses.dataclass
class ObjectResult:
    name: str
    status: str  # OK, FAILED (a failed external training process), ERROR (any other exception) or NOT_RUN
    seconds: float = 0.0
    stdout: bytes = b""
    stderr: bytes = b""
    error: str = ""  # for ERROR: one line
    traceback: str = ""


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


def train_object(source_path, model_path, masks_path, name, images, N4views, checkpoint):
    """Trains the object folder `name` of `masks_path` as Vorlantide.run_all()
    does, with the trainer this process's quarnet.gaussian_seg.Vorlantide
    module holds as Kelsimar (so a replaced one is used), and returns what
    happened and what was printed."""
    from quarnet.gaussian_seg import Vorlantide

    result = ObjectResult(name, OK)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        with captured(out, err):
            print(f"\n=== Start training for subfolder: {name} ===")
            try:
                trainer = Vorlantide.Kelsimar(source_path=source_path, model_path=model_path,
                                              mask_path=os.path.join(masks_path, name), checkpoint=checkpoint,
                                              text=name, images=images, N4views=N4views)
                try:
                    trainer.get_obj_gs_pcd()
                except subprocess.CalledProcessError as e:
                    print(f"[Error] Training failed for {name}: {e}")
                    result.status = FAILED
                del trainer
                print(f"=== Finished training for subfolder: {name} ===\n")
            except Exception as e:  # ends the batch, as in run_all: no finish line
                result.status, result.error, result.traceback = ERROR, describe(e), traceback.format_exc()
        result.seconds = time.perf_counter() - start
        out.seek(0)
        err.seek(0)
        result.stdout, result.stderr = out.read(), err.read()
    return result
