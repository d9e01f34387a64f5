"""quarnet train ROOT MODELS: one training per object folder, one after
another (as Vorlantide(...).run_all() trains them), on local processes, or on
a Dask cluster."""

import argparse
import os
import sys
import time

from quarnet import outputs
from quarnet.scene_folder import check_scene
from quarnet.user_errors import PROGRAM
from quarnet.user_input import positive_int, require_folder

from .table import print_table
from .train_task import CRASHED, ERROR, FAILED, INTERRUPTED, NOT_RUN, OK, ObjectResult, train_step

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
everything they started (with --workers: a second Ctrl-C kills them at once).

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


def _sequential(job, names):
    """Each object in this process, one after another, printing as it goes, as
    run_all() trains them: an error other than a failed training process ends
    the run. Returns the results by name, and whether Ctrl-C came."""
    results, interrupted = {}, False
    for name in names:
        start = time.perf_counter()
        try:
            results[name] = train_step(*job(name))
        except KeyboardInterrupt:
            results[name], interrupted = ObjectResult(name, INTERRUPTED, time.perf_counter() - start), True
        if results[name].status in (ERROR, INTERRUPTED):
            break
    return {name: results.get(name, ObjectResult(name, NOT_RUN)) for name in names}, interrupted


def _write(stream, data):
    stream.flush()
    if hasattr(stream, "buffer"):
        stream.buffer.write(data)
        stream.buffer.flush()
    else:
        stream.write(data.decode("utf-8", "backslashreplace"))


def _with_progress(count, train):
    """train(on_done), with each finished object's block printed and counted on a progress bar."""
    from tqdm import tqdm

    progress = tqdm(total=count, desc="objects", unit="object", file=sys.stderr, disable=None)

    def on_done(result):
        with tqdm.external_write_mode(file=sys.stdout):
            _write(sys.stdout, result.stdout)
            _write(sys.stderr, result.stderr)
        progress.update()

    try:
        return train(on_done)
    finally:
        progress.close()


def _jobs(args, masks):
    """job(name): train_step's arguments for one object."""
    source, models, checkpoint = args.root, args.models, args.checkpoint
    if args.scheduler is not None:
        # Tasks may run on other machines: they get paths that do not depend on this folder.
        source, models, masks = os.path.abspath(source), os.path.abspath(models), os.path.abspath(masks)
        if checkpoint is not None and os.path.exists(checkpoint):
            checkpoint = os.path.abspath(checkpoint)
    return lambda name: (source, models, masks, name, args.images, args.n4views, checkpoint)


def _train(args, job, names):
    """Trains in the mode the command line asks for: the results by name, and whether Ctrl-C came."""
    if args.workers is None and args.scheduler is None:
        return _sequential(job, names)
    if args.scheduler is None:
        from .train_local import run_local

        print(f"training {len(names)} objects in local processes, {min(args.workers, len(names))} at a time",
              file=sys.stderr)
        return _with_progress(len(names), lambda on_done: run_local(names, job, args.workers, on_done))
    from . import train_workers

    with train_workers.connect(args.scheduler, args.connect_timeout) as client:
        print(f"training {len(names)} objects on the Dask cluster at {args.scheduler}", file=sys.stderr)
        note = train_workers.workers_note(client, args.task_resources)
        if note:
            print(f"{PROGRAM}: note: {note}", file=sys.stderr)
        return _with_progress(len(names), lambda on_done: train_workers.run_dask(client, names, job,
                                                                                 args.task_resources, on_done))


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
    results, interrupted = _train(args, _jobs(args, masks), names)

    rows = [(r.name, f"{r.status} ({r.signal})" if r.signal else r.status,
             "-" if r.status == NOT_RUN else f"{r.seconds:.2f} s") for r in results.values()]
    print()
    print_table(("object", "status", "time"), rows, right=(2,))
    counts = {status: sum(r.status == status for r in results.values())
              for status in (OK, FAILED, ERROR, CRASHED, INTERRUPTED, NOT_RUN)}
    print(f"{len(results)} objects: " + ", ".join(f"{n} {status}" for status, n in counts.items() if n))
    sys.stdout.flush()
    for r in results.values():
        if r.status in (ERROR, CRASHED):
            if args.debug and r.traceback:
                print(r.traceback.rstrip(), file=sys.stderr)
            print(f"{PROGRAM}: error: training {r.name}: {r.error}", file=sys.stderr)
    if interrupted:
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        return 130
    return 0 if counts[OK] == len(results) else 1
