"""One call as a user makes it: a fresh interpreter runs the set-up (imports,
paths; not timed), then makes the call once. Warm repeats in one process
hide what a first call pays (page faults of new memory, lazy initialisation
in the libraries), so the README's table reports these figures.

Imported by the benchmarks from their own folder; the set-up runs with this
folder as the working directory, so it imports the benchmarks' scripts."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def first_call(setup, call, runs=5, env=None):
    """Seconds of `call` in each of `runs` fresh interpreters, after `setup`."""
    code = f"{setup}\nimport time as _time\n_start = _time.perf_counter()\n{call}\nprint(_time.perf_counter() - _start)\n"
    times = []
    for _ in range(runs):
        done = subprocess.run([sys.executable, "-c", code], cwd=HERE, capture_output=True, text=True, check=True,
                              env={**os.environ, **(env or {})})
        times.append(float(done.stdout.strip().splitlines()[-1]))
    return sorted(times)


def span(times, unit="s", scale=1.0):
    """'min–max unit' of a list of seconds."""
    return f"{scale * times[0]:.3g}–{scale * times[-1]:.3g} {unit}"


def median(times):
    return times[len(times) // 2]
