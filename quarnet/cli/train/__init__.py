"""quarnet train ROOT MODELS: one training per object folder, one after
another (as Vorlantide(...).run_all() trains them), on local processes, or on
a Dask cluster.

This file is the command: its arguments, the mode, the table and the exit
status. job.py names one object's training and its outcome; policy.py is the
batch policy every mode follows; a runner per mode trains the jobs:
in_process.py, local.py (with child.py, the training process's side, and
leftovers.py), cluster.py; output.py carries what trainings print elsewhere."""

import argparse
import os
import sys

from quarnet import outputs
from quarnet.scene_folder import check_scene
from quarnet.user_errors import PROGRAM
from quarnet.user_input import positive_int, require_folder

from ..table import print_table
from .in_process import InProcessRunner
from .job import CRASHED, ERROR, NOT_RUN, OK, RUNNING, STATUSES, TrainJob
from .policy import run_batch

NAME = "train"
HELP = "train one model per object folder"
DESCRIPTION = """\
Trains one model per object folder of MASKS with the per-object trainer, as
Vorlantide(ROOT, MODELS, MASKS, images, N4views, checkpoint).run_all() does:
each folder is framed by a start and a finish line, and a failed external
training process (subprocess.CalledProcessError) is reported and the others go
on. Any other error ends the run.

By default the objects run one after another in this process, exactly as
run_all() runs them. With --workers N each object runs in a fresh local
process, N at a time; a process that dies (a crashing trainer) fails its own
object only. With --scheduler ADDRESS they run as tasks on a Dask distributed
cluster (pip install 'quarnet[cluster]'), and --task-resources GPU=1 makes each
task ask for one GPU of a worker that offers it (dask worker ... --resources
GPU=1), so that each object has a GPU of its own. In both modes each process
uses the trainer its own quarnet.gaussian_seg.Vorlantide module holds as
Kelsimar, and each object's lines are printed as one block when it finishes.
Workers of a cluster must see ROOT, MODELS and MASKS at the same absolute
paths.

Ctrl-C cancels the objects not started yet and stops the running ones with
everything they started (with --workers: a second Ctrl-C kills them at once;
on a Dask cluster a task that runs cannot be stopped: it is listed as
"running (cancel sent)" and finishes on its worker). With --workers, what a
training leaves running in its session when it ends is ended too.

A table of each object's status and time closes the run. The exit status is 0
when every object trained, 1 when any failed, 130 after Ctrl-C.
"""


def _resources(text):
    """NAME=AMOUNT[,NAME=AMOUNT...] -> {NAME: AMOUNT}."""
    resources = {}
    for item in text.split(","):
        name, _, amount = item.partition("=")
        try:
            value = float(amount)
        except ValueError:
            value = 0.0
        if not name.strip() or not value > 0:
            raise argparse.ArgumentTypeError(f"expected NAME=AMOUNT with an AMOUNT above 0 (e.g. GPU=1), got {text!r}")
        resources[name.strip()] = value
    return resources


def add_arguments(parser):
    parser.add_argument("root", metavar="ROOT", help="the source training data (the scene folder)")
    parser.add_argument("models", metavar="MODELS", help="where the models are saved")
    parser.add_argument("--masks", metavar="MASKS", help="mask folder, one sub-folder per object (default: ROOT/masks)")
    parser.add_argument("--images", default="images", help="passed to the trainer as images (default: %(default)s)")
    parser.add_argument("--n4views", type=int, default=14, metavar="N",
                        help="passed to the trainer as N4views (default: %(default)s)")
    parser.add_argument("--checkpoint", metavar="C", help="passed to the trainer as checkpoint (default: none)")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--workers", type=positive_int, metavar="N", help="train on N local worker processes")
    mode.add_argument("--scheduler", metavar="ADDRESS",
                      help="train on the Dask cluster whose scheduler is at ADDRESS (e.g. tcp://10.0.0.5:8786)")
    parser.add_argument("--task-resources", type=_resources, metavar="NAME=AMOUNT",
                        help="with --scheduler: what each task asks of a worker, e.g. GPU=1")
    parser.add_argument("--connect-timeout", type=float, default=10.0, metavar="SECONDS",
                        help="with --scheduler: how long to try to reach it (default: %(default)s)")


def _jobs(args, masks, names):
    source, models, checkpoint = args.root, args.models, args.checkpoint
    if args.scheduler is not None:
        # Tasks may run on other machines: they get paths that do not depend on this folder.
        source, models, masks = os.path.abspath(source), os.path.abspath(models), os.path.abspath(masks)
        if checkpoint is not None and os.path.exists(checkpoint):
            checkpoint = os.path.abspath(checkpoint)
    return [TrainJob(source, models, masks, name, args.images, args.n4views, checkpoint) for name in names]


def _with_blocks(runner, jobs):
    """run_batch, with each finished object's lines printed as one block, and
    the objects counted on a progress bar."""
    from tqdm import tqdm

    progress = tqdm(total=len(jobs), desc="objects", unit="object", file=sys.stderr, disable=None)

    def on_done(result):
        if result.output is not None:
            with tqdm.external_write_mode(file=sys.stdout):
                result.output.copy_to(sys.stdout, sys.stderr)
        progress.update()

    try:
        return run_batch(runner, jobs, on_done)
    finally:
        progress.close()


def _train(args, jobs):
    """Trains in the mode the command line asks for: the results, and whether Ctrl-C came."""
    if args.workers is None and args.scheduler is None:
        return run_batch(InProcessRunner(), jobs)
    if args.scheduler is None:
        from .local import LocalRunner

        print(f"training {len(jobs)} objects in local processes, {min(args.workers, len(jobs))} at a time",
              file=sys.stderr)
        return _with_blocks(LocalRunner(args.workers), jobs)
    from . import cluster

    with cluster.connect(args.scheduler, args.connect_timeout) as client:
        print(f"training {len(jobs)} objects on the Dask cluster at {args.scheduler}", file=sys.stderr)
        return _with_blocks(cluster.DaskRunner(client, args.task_resources), jobs)


def _report(results, interrupted, debug):
    """The closing table, the count of each status and the notes; returns the exit status."""
    rows = [(r.name, f"{r.status} ({r.detail})" if r.detail else r.status,
             "-" if r.status in (RUNNING, NOT_RUN) else f"{r.seconds:.2f} s") for r in results]
    print()
    print_table(("object", "status", "time"), rows, right=(2,))
    counts = {status: sum(r.status == status for r in results) for status in STATUSES}
    print(f"{len(results)} objects: " + ", ".join(f"{n} {status}" for status, n in counts.items() if n))
    sys.stdout.flush()
    for r in results:
        if r.status in (ERROR, CRASHED):
            if debug and r.traceback:
                print(r.traceback.rstrip(), file=sys.stderr)
            print(f"{PROGRAM}: error: training {r.name}: {r.error}", file=sys.stderr)
    stand_ins = sum(r.stand_in for r in results)
    if stand_ins:
        which = "" if stand_ins == len(results) else f"for {stand_ins} of {len(results)} objects "
        print(f"{PROGRAM}: note: {which}the trainer that ran is quarnet's bundled stand-in, which checks each "
              "object's inputs and trains nothing; to train, install a real Kelsimar (see docs/modules.md)",
              file=sys.stderr)
    if counts[RUNNING]:
        print(f"{PROGRAM}: note: {counts[RUNNING]} running on Dask workers: a cancelled task that runs finishes "
              "there, and its outputs land in MODELS", file=sys.stderr)
    if interrupted:
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        return 130
    return 0 if counts[OK] == len(results) else 1


def run(args):
    if args.task_resources is not None and args.scheduler is None:
        args.parser.error("--task-resources goes with --scheduler")
    masks = args.masks if args.masks is not None else os.path.join(args.root, "masks")
    require_folder(args.root)
    require_folder(masks)
    check_scene(masks=masks)
    names = outputs.object_folders(masks)
    if not names:
        print(f"{PROGRAM}: no object folders in {masks}", file=sys.stderr)
        return 0
    results, interrupted = _train(args, _jobs(args, masks, names))
    return _report(results, interrupted, args.debug)
