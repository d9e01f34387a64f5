"""quarnet train with trainers that crash, and stopped with Ctrl-C: the
command in a process group of its own, as a terminal runs it, with a trainer
installed in every process it starts (a sitecustomize on PYTHONPATH)."""
import contextlib
import os
import re
import signal
import subprocess
import sys
import time

import pytest

QUARNET = os.path.join(os.path.dirname(sys.executable), "quarnet")
# Seconds a command may take before it counts as hung: a run takes 5-20 s, but
# each worker a crash restarts imports quarnet again, slow on a loaded machine.
LIMIT = 300

# Objects are named <kind>_<n>. ok: trains for a moment. boom: raises
# ValueError, an error that ends the run. segv, kill: the training process
# dies by that signal. hold, stubborn, linger: the first two to start finish
# at once; hold and stubborn: the later ones start a child that starts a
# grandchild, record the three pids in <models>/pids-<name> and wait for ever
# (stubborn: all three ignore SIGINT); linger: the later ones record
# started-<name>, train for 3 s and record done-<name>. litter: leaves three
# processes in its session (one that ends on SIGTERM, one that ignores it,
# one in a process group of its own), their pids in pids-<name>. loud:
# prints LOUD_MB MiB.
TRAINER = r'''
import os, resource, signal, subprocess, sys, time

LOUD_MB = 200
CHILD = """
import os, signal, subprocess, sys
if sys.argv[2] == "stubborn":
    signal.signal(signal.SIGINT, signal.SIG_IGN)
sleeper = subprocess.Popen(["sleep", "600"])
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(f"{os.getppid()} {os.getpid()} {sleeper.pid}")
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
sleeper.wait()
"""


def record(path, text):
    with open(path + ".tmp", "w") as f:
        f.write(text)
    os.rename(path + ".tmp", path)


class Trainer:
    def __init__(self, text, model_path, **keywords):
        self.text, self.models = text, model_path

    def ticket(self):
        os.makedirs(self.models, exist_ok=True)
        ticket = 0
        while True:
            try:
                os.mkdir(os.path.join(self.models, f"ticket-{ticket}"))
                return ticket
            except FileExistsError:
                ticket += 1

    def get_obj_gs_pcd(self):
        kind = self.text.split("_")[0]
        print(f"training {self.text}")
        if kind == "boom":
            raise ValueError(f"boom in {self.text}")
        if kind in ("segv", "kill"):
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
            os.kill(os.getpid(), signal.SIGSEGV if kind == "segv" else signal.SIGKILL)
        if kind == "ok":
            time.sleep(0.3)
        if kind in ("hold", "stubborn") and self.ticket() >= 2:
            if kind == "stubborn":
                signal.signal(signal.SIGINT, signal.SIG_IGN)
            pids = os.path.join(self.models, f"pids-{self.text}")
            subprocess.run([sys.executable, "-c", CHILD, pids, kind], check=True)
        if kind == "linger" and self.ticket() >= 2:
            record(os.path.join(self.models, f"started-{self.text}"), "")
            time.sleep(3)
            record(os.path.join(self.models, f"done-{self.text}"), "")
        if kind == "litter":
            left = [subprocess.Popen(["sleep", "600"]), subprocess.Popen(["sh", "-c", "trap '' TERM; sleep 600"]),
                    subprocess.Popen(["sleep", "600"], process_group=0)]
            os.makedirs(self.models, exist_ok=True)
            record(os.path.join(self.models, f"pids-{self.text}"), " ".join(str(p.pid) for p in left))
        if kind == "loud":
            sys.stdout.flush()
            line = b"x" * 1023 + b"\n"
            for _ in range(LOUD_MB):
                os.write(1, line * 1024)


try:
    from quarnet.gaussian_seg import Vorlantide
except ImportError:  # a Python of the build, without quarnet
    pass
else:
    Vorlantide.Kelsimar = Trainer
'''


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    folder = tmp_path_factory.mktemp("site")
    (folder / "sitecustomize.py").write_text(TRAINER)
    return folder


def scene(root, names):
    for name in names:
        (root / "masks" / name).mkdir(parents=True)
    return root


def rows(stdout):
    lines = stdout[stdout.index("\nobject ") + 1:].splitlines()[1:-1]
    return {cells[0]: cells[1] for cells in (re.split(r"\s{2,}", line.strip()) for line in lines)}


def start(site, root, *options, wrap=()):
    env = dict(os.environ, PYTHONPATH=str(site))
    # Where a sanitizer runtime is preloaded, a trainer's SIGSEGV still kills it as that signal.
    env["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "handle_segv=0"]))
    return subprocess.Popen([*wrap, QUARNET, "train", root, root / "models", *options], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env, cwd=root, start_new_session=True)


def finish(command, seconds=LIMIT):
    """What the command printed; a command still running after `seconds` is
    killed, with its group, and the test fails with what it printed."""
    try:
        return command.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        os.killpg(command.pid, signal.SIGKILL)
        out, err = command.communicate()
        pytest.fail(f"still running after {seconds} s; it printed:\n{out}\n{err}")


def mode_options(mode, request, workers="2"):
    return {"sequential": [], "workers": ["--workers", workers],
            "dask": ["--scheduler", request.getfixturevalue("cluster")] if mode == "dask" else None}[mode]


def files(folder, prefix):
    """The names of `folder` that start with `prefix`, without it; files still being written left out."""
    return {n[len(prefix):] for n in os.listdir(folder)
            if n.startswith(prefix) and not n.endswith(".tmp")} if folder.exists() else set()


def wait_for(condition, seconds, command=None):
    deadline = time.monotonic() + seconds
    while not condition():
        assert (command is None or command.poll() is None) and time.monotonic() < deadline
        time.sleep(0.05)


def gone(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


@contextlib.contextmanager
def local_cluster(site, workers):
    distributed = pytest.importorskip("distributed")
    import dask

    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = str(site)  # the workers' trainer
    try:
        # A crashed task is not retried: each restart of a worker is slow on a busy machine.
        with dask.config.set({"distributed.scheduler.allowed-failures": 0}), distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                dashboard_address=None) as local:
            yield local.scheduler_address
    finally:
        if saved is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = saved


@pytest.fixture(scope="module")
def cluster(site):
    with local_cluster(site, 2) as address:
        yield address


@pytest.mark.parametrize("mode", ["workers", "dask"])
def test_a_crashing_trainer_fails_its_own_object_only(site, tmp_path, mode):
    root = scene(tmp_path, ["segv_1", "kill_1", "ok_1", "ok_2", "ok_3"])
    # Dask's nanny now and then never brings back a worker killed while another restarts: a
    # cluster of its own, with a worker more than the crashes, so that one always remains.
    with local_cluster(site, 3) if mode == "dask" else contextlib.nullcontext() as address:
        out, err = finish(start(site, root, *(["--scheduler", address] if address else ["--workers", "2"])))
    crashed = {"segv_1": "SIGSEGV", "kill_1": "SIGKILL"}
    expected = {name: "ok" for name in ("ok_1", "ok_2", "ok_3")}
    expected.update({name: f"crashed ({sig})" if mode == "workers" else "crashed" for name, sig in crashed.items()})
    assert rows(out) == expected, err
    assert out.endswith("5 objects: 3 ok, 2 crashed\n")
    for name in ("ok_1", "ok_2", "ok_3"):
        assert (f"\n=== Start training for subfolder: {name} ===\ntraining {name}\n"
                f"=== Finished training for subfolder: {name} ===\n\n") in out
    for name, sig in crashed.items():
        line = next(line for line in err.splitlines() if line.startswith(f"quarnet: error: training {name}: "))
        if mode == "workers":
            assert line.endswith(f"the training process died by {sig} ({signal.strsignal(signal.Signals[sig])})")
            assert f"\n=== Start training for subfolder: {name} ===\ntraining {name}\n" in out


# (mode, where Ctrl-C goes, how many, kind of object): the group is what a
# terminal signals; a stubborn training is killed after the grace period or
# at the second Ctrl-C.
@pytest.mark.parametrize("mode, target, presses, kind", [
    ("workers", "group", 1, "hold"),
    ("workers", "main", 1, "hold"),
    ("workers", "group", 2, "stubborn"),
    ("workers", "main", 1, "stubborn"),
    ("sequential", "group", 1, "hold"),
])
def test_ctrl_c_stops_everything_and_keeps_what_finished(site, tmp_path, mode, target, presses, kind):
    names = [f"{kind}_{i}" for i in range(6)]
    root = scene(tmp_path, names)
    models = root / "models"
    command = start(site, root, *(["--workers", "2"] if mode == "workers" else []))
    running = 2 if mode == "workers" else 1
    try:
        wait_for(lambda: len(files(models, "pids-")) >= running, 60, command)
        for _ in range(presses):
            os.killpg(command.pid, signal.SIGINT) if target == "group" else os.kill(command.pid, signal.SIGINT)
            time.sleep(0.2)
        out, err = finish(command, 30)
    finally:
        held = {n: [int(p) for p in (models / f"pids-{n}").read_text().split()] for n in files(models, "pids-")}
        deadline = time.monotonic() + 5
        while not all(gone(pid) for pids in held.values() for pid in pids):  # the whole trees
            if time.monotonic() > deadline:
                for pid in (pid for pids in held.values() for pid in pids if not gone(pid)):
                    os.kill(pid, signal.SIGKILL)
                pytest.fail(f"left running: {held}")
            time.sleep(0.05)
        with pytest.raises(ProcessLookupError):  # nothing left in the command's group
            os.killpg(command.pid, signal.SIGKILL)
    assert command.returncode == 130 and err.endswith("quarnet: interrupted\n"), err
    assert len(held) == running

    table = rows(out)
    finished = [n for n in names if f"=== Finished training for subfolder: {n} ===" in out]
    assert len(finished) == 2
    assert table == {n: "ok" if n in finished else "interrupted" if n in held else "not run" for n in names}
    assert out.endswith(f"6 objects: 2 ok, {running} interrupted, {4 - running} not run\n")


@pytest.mark.parametrize("mode", ["sequential", "workers", "dask"])
def test_an_error_ends_the_run_and_the_rest_is_not_run(site, tmp_path, mode, request):
    names = ["ok_1", "boom_2", "ok_3", "ok_4", "ok_5"]
    command = start(site, scene(tmp_path, names), *mode_options(mode, request, workers="1"))
    out, err = finish(command)
    table = rows(out)  # in the order the objects were given out
    order, statuses = list(table), list(table.values())
    ended = order.index("boom_2")
    assert command.returncode == 1 and statuses[ended] == "error", err
    if mode == "dask":  # the objects run two at a time: those given out before the error may still run
        assert set(statuses) - {"error"} <= {"ok", "not run"}
    else:
        assert statuses == ["ok"] * ended + ["error"] + ["not run"] * (len(names) - ended - 1)
    assert "quarnet: error: training boom_2: boom in boom_2" in err.splitlines()
    assert "stand-in" not in err


def test_ctrl_c_on_dask_reports_the_objects_still_running(site, tmp_path, request):
    names = [f"linger_{i}" for i in range(6)]
    root = scene(tmp_path, names)
    models = root / "models"
    command = start(site, root, *mode_options("dask", request))
    wait_for(lambda: len(files(models, "started-")) == 2, 60, command)
    os.killpg(command.pid, signal.SIGINT)
    out, err = finish(command, 30)
    started = files(models, "started-")
    assert command.returncode == 130 and err.endswith("quarnet: interrupted\n"), err
    assert "quarnet: note: 2 running on Dask workers: " in err
    assert rows(out) == {n: "running (cancel sent)" if n in started else
                         "ok" if f"=== Finished training for subfolder: {n} ===" in out else "not run" for n in names}
    assert out.endswith("6 objects: 2 ok, 2 running, 2 not run\n")
    wait_for(lambda: files(models, "done-") == started, 15)  # what becomes of them: they finish there
    time.sleep(0.5)
    assert files(models, "started-") == started  # and the cancelled ones never start


def test_what_a_training_leaves_in_its_session_is_ended(site, tmp_path):
    root = scene(tmp_path, ["litter_1", "ok_2"])
    command = start(site, root, "--workers", "2")
    try:
        out, err = finish(command)
        assert command.returncode == 0 and rows(out) == {"litter_1": "ok", "ok_2": "ok"}, err
    finally:
        left = [int(p) for p in (root / "models" / "pids-litter_1").read_text().split()]
        alive = [pid for pid in left if not gone(pid)]
        for pid in alive:
            os.kill(pid, signal.SIGKILL)
    assert alive == []  # when the command has ended


# Runs a command with its standard output to the file argv[1], and prints its
# exit status and its peak memory (with its children's) in KiB. Started from
# this small process: a process forked from pytest would count pytest's pages.
MEASURED = """
import os, subprocess, sys
with open(sys.argv[1], "wb") as out:
    command = subprocess.Popen(sys.argv[2:], stdout=out)
    _, status, usage = os.wait4(command.pid, 0)
print(os.waitstatus_to_exitcode(status), usage.ru_maxrss)
"""


@pytest.mark.peak_memory
@pytest.mark.parametrize("mode", ["workers", "dask"])
def test_a_trainers_output_is_streamed_not_held(site, tmp_path, mode, request):
    root = scene(tmp_path, ["loud_1"])
    command = start(site, root, *mode_options(mode, request), wrap=[sys.executable, "-c", MEASURED, tmp_path / "out"])
    out, err = finish(command)
    status, peak = map(int, out.split())
    printed = 200 << 20
    assert status == 0 and peak * 1024 < printed / 2, err
    assert os.path.getsize(tmp_path / "out") > printed
    with open(tmp_path / "out", "rb") as f:
        assert f.read(80).startswith(b"\n=== Start training for subfolder: loud_1 ===\ntraining loud_1\nxxx")
        f.seek(-200, os.SEEK_END)
        tail = f.read()
    assert b"x\n=== Finished training for subfolder: loud_1 ===\n\n" in tail and tail.endswith(b"1 objects: 1 ok\n")
