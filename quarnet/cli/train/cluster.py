"""The runner of `quarnet train --scheduler ADDRESS`: each object is a task
on a worker of a Dask distributed cluster. The task tells its start and its
result as events of the run's topic, which the scheduler passes on at once:
a worker that dies after the task (a crashing trainer in its next task)
takes no result with it, and the object is not trained again. The task
catches what the training prints in two files in the worker's folder; short
output comes with the result, longer output is copied from the worker in
chunks when the object finishes, then removed.

An object is handed to the cluster only when its workers have a free
thread (and the task's resources) for it: Dask places a small batch of tasks
on the workers at once, and a worker that dies (a crashing trainer) takes
the tasks waiting on it with it.

Dask cannot stop a task that runs: a cancelled one finishes on its worker.
So on Ctrl-C the objects that run are reported as `running (cancel sent)`,
and after an error the running objects are waited for, as in the other
modes."""

from __future__ import annotations

import collections
import contextlib
import dataclasses
import os
import pathlib
import pickle
import queue
import sys
import tempfile
import time
import traceback
import uuid

from quarnet.user_errors import PROGRAM, UserError, describe

from .job import CRASHED, RUNNING, ObjectResult
from .output import CHUNK, captured, copy_chunks


def connect(address, timeout):
    """A client of the Dask scheduler at `address`."""
    try:
        import distributed
    except ImportError as e:
        raise UserError("--scheduler needs Dask's distributed package: pip install 'quarnet[cluster]'") from e

    class Client(distributed.Client):
        def start(self, **kwargs):
            try:
                super().start(**kwargs)
            except BaseException:
                # Closed now, while its event loop runs: left to the end of the
                # program, it waits out a timeout and prints a traceback.
                self.close()
                raise

    try:
        return Client(address, timeout=timeout, set_as_default=False)
    except Exception as e:
        raise UserError(f"cannot reach the Dask scheduler at {address}: {describe(e)}") from e


def _workers_note(workers, resources):
    """Why no worker of the cluster can take an object."""
    if not workers:
        return "no worker is connected to the scheduler; the objects wait for one"
    wanted = ",".join(f"{k}={v:g}" for k, v in (resources or {}).items())
    return f"none of the {len(workers)} workers offers {wanted}; the objects wait for one that does"


# ---- on the worker -----------------------------------------------------------

INLINE = 64 << 10  # output of up to this many bytes comes back with the result


def _read(path, offset):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(CHUNK)


def _remove(paths):
    for path in paths:
        with contextlib.suppress(OSError):
            os.remove(path)


@dataclasses.dataclass
class Inline:
    """A training's (short) standard output and error."""

    stdout: bytes
    stderr: bytes

    def copy_to(self, stdout, stderr):
        copy_chunks([self.stdout], stdout)
        copy_chunks([self.stderr], stderr)


@dataclasses.dataclass
class WorkerFiles:
    """A training's standard output and error, in two files on the worker at
    `address` (None: in this process's file system)."""

    address: str | None
    paths: tuple
    client: object = None  # set where the result is received

    def _on_worker(self, function, *args):
        if self.address is None:
            return function(*args)
        return self.client.run(function, *args, workers=[self.address])[self.address]

    def _chunks(self, path):
        offset = 0
        while chunk := self._on_worker(_read, path, offset):
            offset += len(chunk)
            yield chunk

    def copy_to(self, stdout, stderr):
        """Copies the output to `stdout` and the errors to `stderr`, then removes the files."""
        try:
            if self.address is not None and self.address not in self.client.scheduler_info(n_workers=-1)["workers"]:
                raise ConnectionError(f"the worker {self.address} is gone")
            for path, stream in zip(self.paths, (stdout, stderr)):
                copy_chunks(self._chunks(path), stream)
            self._on_worker(_remove, self.paths)
        except Exception as e:
            print(f"{PROGRAM}: note: the rest of this object's output is lost: {describe(e)}", file=stderr)


def train_on_worker(job, topic=None):
    """The task: job.run(), with everything printed on the way, the
    trainer's child processes included, caught in files in the worker's
    folder; short output comes with the result. On a worker, the start and
    the result are also sent as events of `topic`, through the scheduler:
    the result reaches the command even if this worker dies right after."""
    try:
        import distributed

        worker = distributed.get_worker()
    except (ImportError, ValueError):  # not on a worker
        worker = None
    else:
        key = worker.get_current_task()
        worker.log_event(topic, {"key": key})
    files = [tempfile.NamedTemporaryFile(dir=worker and worker.local_directory, prefix="quarnet-train-",
                                         suffix=suffix, delete=False) for suffix in (".out", ".err")]
    try:
        with captured(*files):
            result = job.run()
    finally:
        for f in files:
            f.close()
    paths = tuple(f.name for f in files)
    if sum(os.path.getsize(path) for path in paths) <= INLINE:
        result.output = Inline(*(pathlib.Path(path).read_bytes() for path in paths))
        _remove(paths)
    else:
        result.output = WorkerFiles(worker and worker.address, paths)
    if worker is not None:
        worker.log_event(topic, {"key": key, "result": pickle.dumps(result)})
    return result


# ---- in the command ------------------------------------------------------------

def _lost(name, exc):
    """The result of an object whose worker gave no answer (it died, or was
    lost): the object failed, and the others go on."""
    return ObjectResult(name, CRASHED, error=f"the worker gave no result: {describe(exc)}",
                        traceback="".join(traceback.format_exception(exc)))


class DaskRunner:
    def __init__(self, client, resources):
        self.client, self.resources = client, resources
        self._names, self._futures = {}, {}  # unfinished futures -> object names; keys -> futures
        self._queue, self._started, self._ready = collections.deque(), set(), collections.deque()
        self._stalled = False  # no worker could take an object when last asked
        self._news = queue.SimpleQueue()  # the tasks' events, and futures that are done
        self._run = uuid.uuid4().hex[:8]
        self._topic = f"quarnet-train-{self._run}"

    def __enter__(self):
        self.client.subscribe_topic(self._topic, lambda event: self._news.put(("event", event[1])))
        return self

    def __exit__(self, *exc):
        self.client.cancel(list(self._names))
        with contextlib.suppress(Exception):
            self.client.unsubscribe_topic(self._topic)

    def start(self, job):
        self._queue.append(job)

    def cancel_pending(self, stop_running=False):
        self._queue.clear()
        self._take_news()  # what finished meanwhile still counts
        self._cancel([f for f in self._names if stop_running or f.key not in self._started])

    def next_finished(self):
        while not self._ready and (self._names or self._queue):
            self._hand_out()
            with contextlib.suppress(queue.Empty):
                self._take(*self._news.get(timeout=0.2))
        return self._ready.popleft() if self._ready else None

    def _room(self):
        """How many tasks the connected workers can run at once; a note
        for the user, once, while none can take any."""
        workers = self.client.scheduler_info(n_workers=-1).get("workers", {})
        room = sum(min([w.get("nthreads", 1)] + [int(w.get("resources", {}).get(k, 0) // v)
                                                 for k, v in (self.resources or {}).items()])
                   for w in workers.values())
        if not room and not self._stalled:
            print(f"{PROGRAM}: note: {_workers_note(workers, self.resources)}", file=sys.stderr)
        self._stalled = not room
        return room

    def _hand_out(self):
        if self._queue:
            for _ in range(self._room() - len(self._names)):
                if not self._queue:
                    break
                self._submit(self._queue.popleft())

    def _submit(self, job):
        future = self.client.submit(train_on_worker, job, self._topic, key=f"quarnet-train-{job.name}-{self._run}",
                                    pure=False, resources=self.resources or None)
        self._names[future], self._futures[future.key] = job.name, future
        future.add_done_callback(lambda f: self._news.put(("done", f)))

    def _take_news(self):
        with contextlib.suppress(queue.Empty):
            while True:
                self._take(*self._news.get_nowait())

    def _take(self, kind, item):
        if kind == "event":
            future = self._futures.get(item["key"])
            if "result" not in item:
                self._started.add(item["key"])
            elif future in self._names:
                self._finish(future, pickle.loads(item["result"]))
            return
        future = item  # done without a result event: failed, lost, or cancelled
        if future not in self._names or future.cancelled():
            return
        try:
            self._finish(future, future.result())
        except Exception as e:
            self._finish(future, _lost(self._names[future], e))

    def _finish(self, future, result):
        del self._names[future]
        self.client.cancel([future])  # forgotten: a worker that dies later does not train it again
        if isinstance(result.output, WorkerFiles):
            result.output.client = self.client
        self._ready.append(result)

    def _cancel(self, futures):
        """Cancels `futures`; those that had begun finish on their worker,
        and are reported so."""
        if not futures:
            return
        self.client.cancel(futures)
        time.sleep(0.2)  # the start of a task that began as the cancel was sent
        self._take_news()
        for future in futures:
            name = self._names.pop(future, None)
            if name is not None and future.key in self._started:
                self._ready.append(ObjectResult(name, RUNNING, detail="cancel sent"))
