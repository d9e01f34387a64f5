"""The objects of one `quarnet train --scheduler ADDRESS`: each object runs
as train_object in a task on a worker of a Dask distributed cluster, and
`on_done` gets each result as its object finishes. An object that ends with
an error other than a failed training process ends the run as it ends
Vorlantide.run_all(): objects not started yet are cancelled, as they are on
Ctrl-C."""

from __future__ import annotations

import traceback
import uuid

from quarnet.user_errors import UserError, describe

from .train_task import CRASHED, ERROR, NOT_RUN, ObjectResult, train_object


def _lost(name, exc):
    """The result of an object whose worker gave no answer (it died, or was
    lost): the object failed, and the others go on."""
    return ObjectResult(name, CRASHED, error=f"the worker gave no result: {describe(exc)}",
                        traceback="".join(traceback.format_exception(exc)))


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
    """Trains each object as a task on the cluster of `client`, each asking
    for `resources`. Returns the results by name, and whether Ctrl-C came."""
    import distributed

    run = uuid.uuid4().hex[:8]
    futures = {client.submit(train_object, *job(name), key=f"quarnet-train-{name}-{run}", pure=False,
                             resources=resources or None): name for name in names}
    results, interrupted = {}, False
    try:
        for future in distributed.as_completed(futures, loop=client.loop):
            name = futures[future]
            if future.cancelled():
                continue
            try:
                result = future.result()
            except Exception as e:
                result = _lost(name, e)
            client.cancel([future])  # forgotten: a worker that dies later does not train it again
            results[name] = result
            on_done(result)
            if result.status == ERROR:
                client.cancel([f for f in futures if not f.done()])
    except KeyboardInterrupt:
        interrupted = True
    finally:
        client.cancel([f for f in futures if not f.done()])
    return {name: results.get(name, ObjectResult(name, NOT_RUN)) for name in names}, interrupted
