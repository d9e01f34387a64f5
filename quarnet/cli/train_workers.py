"""The objects of one `quarnet train` spread over workers: local worker
processes, or the workers of a Dask distributed cluster. Each object runs as
train_object on a worker; `on_done` gets each result as its object finishes.
An object that ends with an error other than a failed training process ends
the run as it ends Vorlantide.run_all(): objects not started yet are
cancelled."""

from __future__ import annotations

import concurrent.futures
import multiprocessing
import traceback
import uuid

from .errors import UserError, describe
from .train_task import ERROR, NOT_RUN, ObjectResult, train_object


def _lost(name, exc):
    """The result of an object whose worker gave no answer (it died, or was lost)."""
    return ObjectResult(name, ERROR, error=f"the worker gave no result: {describe(exc)}",
                        traceback="".join(traceback.format_exception(exc)))


def _collect(futures, finished, result_of, cancel_rest, on_done):
    """Results by name of {future: name} as `finished` yields the futures."""
    results = {}
    for future in finished(futures):
        name = futures[future]
        if future.cancelled():
            continue
        try:
            result = result_of(future)
        except Exception as e:
            result = _lost(name, e)
        results[name] = result
        on_done(result)
        if result.status == ERROR:
            cancel_rest([f for f in futures if not f.done()])
    return {name: results.get(name, ObjectResult(name, NOT_RUN)) for name in futures.values()}


def run_local(names, job, workers, on_done):
    """Trains on `workers` fresh local processes; job(name) gives train_object's arguments."""
    # Fresh processes (not forked): the trainer a worker uses is the one its
    # own import of quarnet.gaussian_seg.Vorlantide holds, as on a Dask worker,
    # and no thread or GPU state of this process is copied into it.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=min(workers, len(names)), mp_context=context) as pool:
        futures = {pool.submit(train_object, *job(name)): name for name in names}
        try:
            return _collect(futures, concurrent.futures.as_completed, lambda f: f.result(),
                            lambda rest: [f.cancel() for f in rest], on_done)
        except BaseException:
            pool.shutdown(wait=False, cancel_futures=True)
            raise


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


def workers_note(client, resources):
    """A line for the user when no worker of the cluster can take the objects yet, else None."""
    workers = client.scheduler_info(n_workers=-1).get("workers", {})
    if not workers:
        return "no worker is connected to the scheduler yet; the objects wait for one"
    if resources and not any(all(w.get("resources", {}).get(k, 0) >= v for k, v in resources.items())
                             for w in workers.values()):
        wanted = ",".join(f"{k}={v:g}" for k, v in resources.items())
        return f"none of the {len(workers)} workers offers {wanted} yet; the objects wait for one that does"
    return None


def run_dask(client, names, job, resources, on_done):
    """Trains each object as a task on the cluster of `client`, each asking for `resources`."""
    import distributed

    run = uuid.uuid4().hex[:8]
    futures = {client.submit(train_object, *job(name), key=f"quarnet-train-{name}-{run}", pure=False,
                             resources=resources or None): name for name in names}
    try:
        return _collect(futures, lambda fs: distributed.as_completed(fs, loop=client.loop), lambda f: f.result(),
                        client.cancel, on_done)
    finally:
        client.cancel([f for f in futures if not f.done()])
