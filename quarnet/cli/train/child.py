"""The side of a local training process (local.py starts it): the job, run
with Vorlantide's step, its outcome pickled to the file descriptor it was
given. The standard input is the starting process's pipe: the job, then the
lifeline, whose end of file (the starting process ended) ends this session."""

import dataclasses
import os
import pickle
import signal
import sys
import threading


def _end_with(lifeline):
    while os.read(lifeline, 4096):
        pass
    os.killpg(0, signal.SIGKILL)


def main(start):
    os.set_inheritable(start["result"], False)
    lifeline = os.dup(0)
    with open(os.devnull, "rb") as devnull:
        os.dup2(devnull.fileno(), 0)  # the trainer reads no job
    threading.Thread(target=_end_with, args=(lifeline,), daemon=True).start()
    try:
        result = pickle.loads(start["job"]).run()
    except KeyboardInterrupt:
        sys.exit(128 + signal.SIGINT)
    with open(start["result"], "wb", closefd=True) as out:
        pickle.dump(dataclasses.asdict(result), out)
