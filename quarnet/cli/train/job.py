"""One object's training, wherever it runs (this process, a local training
process, a Dask worker): the job that names it, Vorlantide's own step for its
folder, and the outcome."""

from __future__ import annotations

import contextlib
import dataclasses
import os
import time
import traceback
from typing import Any

from quarnet.user_errors import describe

OK, FAILED, ERROR, CRASHED, INTERRUPTED, RUNNING, NOT_RUN = (
    "ok", "failed", "error", "crashed", "interrupted", "running", "not run")
STATUSES = (OK, FAILED, ERROR, CRASHED, INTERRUPTED, RUNNING, NOT_RUN)


@dataclasses.dataclass
class ObjectResult:
    name: str
    # OK; FAILED: a failed external training process; ERROR: any other exception (it ends the run);
    # CRASHED: the training process died; INTERRUPTED: stopped by Ctrl-C; RUNNING: still running
    # where it could not be stopped (a Dask worker); NOT_RUN: never started
    status: str
    seconds: float = 0.0
    error: str = ""  # for ERROR and CRASHED: one line
    traceback: str = ""
    detail: str = ""  # shown beside the status: the signal that crashed it, "cancel sent"
    stand_in: bool = False  # the trainer that ran is the bundled stand-in, which trains nothing
    # What the training printed, where it ran elsewhere: an object with
    # copy_to(stdout, stderr), which copies it in chunks and releases it.
    output: Any = None


def _is_stand_in(trainer):
    with contextlib.suppress(Exception):
        return getattr(trainer, "_stand_in", False) is True
    return False


@dataclasses.dataclass(frozen=True)
class TrainJob:
    """One object folder to train, and what Vorlantide is built with for it."""

    source_path: str
    model_path: str
    masks_path: str
    name: str
    images: str
    N4views: int
    checkpoint: str | None

    def run(self):
        """Trains the folder with Vorlantide's own step for one object folder
        (its framing lines, and the trainer the module holds as Kelsimar, so
        a replaced one is used), printing as it goes; returns the outcome,
        timed. A KeyboardInterrupt passes through."""
        start = time.perf_counter()
        stand_in = False
        try:
            from quarnet.gaussian_seg import Vorlantide

            batch = Vorlantide.Vorlantide(self.source_path, self.model_path, self.masks_path, self.images,
                                          self.N4views, self.checkpoint)
            stand_in = _is_stand_in(getattr(Vorlantide, "Kelsimar", None))
            start = time.perf_counter()
            failure = Vorlantide._train_subfolder(batch, self.name, os.path.join(self.masks_path, self.name))
        except Exception as e:  # ends the batch, as in run_all: no finish line
            result = ObjectResult(self.name, ERROR, error=describe(e), traceback=traceback.format_exc())
        else:
            result = ObjectResult(self.name, OK if failure is None else FAILED)
        result.seconds, result.stand_in = time.perf_counter() - start, stand_in
        return result
