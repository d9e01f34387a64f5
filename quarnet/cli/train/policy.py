"""The batch policy of every train mode, as run_all() has it: each object's
result is recorded as it finishes; an error other than a failed training
process ends the run (the objects not started are not run, the running ones
finish); Ctrl-C ends it too. The objects that never ran are filled in as
`not run`.

A runner trains the jobs its own way and offers:
- start(job): the job is queued, to run when the runner has room;
- next_finished(): waits for an object to finish and returns its result, or
  None once nothing is queued or running. Ctrl-C comes out of it as
  KeyboardInterrupt;
- cancel_pending(stop_running=False): the queued jobs never start; the
  running ones go on, or, after Ctrl-C (stop_running), are stopped as far as
  the runner can stop them. A result for each of them follows from
  next_finished().
A runner is a context manager: leaving it ends whatever it still runs."""

from .job import ERROR, NOT_RUN, ObjectResult


def run_batch(runner, jobs, on_done=None):
    """Trains `jobs` on `runner`; `on_done` gets each result as it comes.
    Returns the results in the jobs' order, and whether Ctrl-C came."""
    results, interrupted = {}, False
    with runner:
        try:
            for job in jobs:
                runner.start(job)
        except KeyboardInterrupt:
            interrupted = True
            runner.cancel_pending(stop_running=True)
        while True:
            try:
                result = runner.next_finished()
                if result is None:
                    break
                results[result.name] = result
                if on_done is not None:
                    on_done(result)
            except KeyboardInterrupt:
                interrupted = True
                runner.cancel_pending(stop_running=True)
                continue
            if result.status == ERROR:
                runner.cancel_pending()
    return [results.get(job.name) or ObjectResult(job.name, NOT_RUN) for job in jobs], interrupted
