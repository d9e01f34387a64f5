"""The runner of a plain `quarnet train`: each object in this process, one
after another, printing as it goes, as run_all() trains them."""

import collections
import time

from .job import INTERRUPTED, ObjectResult


class InProcessRunner:
    def __init__(self):
        self._queue, self._stopped = collections.deque(), None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._queue.clear()

    def start(self, job):
        self._queue.append(job)

    def cancel_pending(self, stop_running=False):
        self._queue.clear()  # what ran was stopped by the KeyboardInterrupt itself

    def next_finished(self):
        if self._stopped is not None:
            result, self._stopped = self._stopped, None
            return result
        if not self._queue:
            return None
        job = self._queue.popleft()
        start = time.perf_counter()
        try:
            return job.run()
        except KeyboardInterrupt:
            self._stopped = ObjectResult(job.name, INTERRUPTED, time.perf_counter() - start)
            raise
