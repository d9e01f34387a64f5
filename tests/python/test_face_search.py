import subprocess
import sys

import numpy as np
import open3d as o3d
import pytest
import trimesh

from quarnet.mesh_seg import Tessaron
from quarnet.testing.plain_pipeline import cloud
from quarnet.testing.trimesh_reference import trimesh_face_ids


@pytest.fixture
def sphere():
    return trimesh.creation.icosphere(subdivisions=3)


@pytest.fixture
def query(monkeypatch):
    """Replaces trimesh's candidate query with a recording one; `groups` maps a
    point's x coordinate to the group it gets (default [x, x + 1])."""

    class Query:
        calls = []
        groups = {}

        def __call__(self, *args, **kwargs):
            self.calls.append((args, kwargs))
            mesh, points = args
            return [self.groups.get(float(p[0]), [int(p[0]), int(p[0]) + 1]) for p in points]

    q = Query()
    monkeypatch.setattr(trimesh.proximity, "nearby_faces", q)
    return q


def line_points(n):
    return [[i, 0.0, 0.0] for i in range(n)]


def test_batches_and_printed_lines(query, capsys):
    mesh = object()
    faces = Tessaron.find_nearby_faces(mesh, cloud(line_points(25)), batch_size=10)
    assert capsys.readouterr().out.splitlines() == [
        "Total points: 25",
        "Processing points from 0 to 10 (Batch size: 10)",
        "Batch 0-10: Found 10 candidate face groups",
        "Processing points from 10 to 20 (Batch size: 10)",
        "Batch 10-20: Found 10 candidate face groups",
        "Processing points from 20 to 25 (Batch size: 5)",
        "Batch 20-25: Found 5 candidate face groups",
        "Total face IDs found: 50",
    ]
    assert type(faces) is list
    assert faces == [f for i in range(25) for f in (i, i + 1)]
    # exactly (mesh, batch rows) positionally, no options, never more than batch_size rows
    assert [len(args[1]) for args, kwargs in query.calls] == [10, 10, 5]
    for k, (args, kwargs) in enumerate(query.calls):
        assert kwargs == {} and len(args) == 2 and args[0] is mesh
        np.testing.assert_array_equal(args[1], np.asarray(line_points(25))[10 * k : 10 * k + 10])


def test_exact_multiple_and_single_point_batches(query, capsys):
    Tessaron.find_nearby_faces(object(), cloud(line_points(20)), batch_size=10)
    assert [len(a[1]) for a, _ in query.calls] == [10, 10]
    capsys.readouterr()
    query.calls.clear()
    Tessaron.find_nearby_faces(object(), cloud(line_points(3)), 0.05, 1)
    out = capsys.readouterr().out.splitlines()
    assert out[1:7] == [
        "Processing points from 0 to 1 (Batch size: 1)",
        "Batch 0-1: Found 1 candidate face groups",
        "Processing points from 1 to 2 (Batch size: 1)",
        "Batch 1-2: Found 1 candidate face groups",
        "Processing points from 2 to 3 (Batch size: 1)",
        "Batch 2-3: Found 1 candidate face groups",
    ]


@pytest.mark.parametrize("kind", [list, tuple, np.array, lambda g: np.array(g, dtype=np.int32), lambda g: np.repeat(np.array(g, dtype=np.int64), 2)[::2]])
def test_each_point_contributes_its_first_twenty_in_query_order(query, capsys, kind):
    thirty_five = [1000 + 7 * k % 35 for k in range(35)]
    query.groups = {0.0: kind(thirty_five), 1.0: kind([9, 4, 9]), 2.0: kind([]), 3.0: kind([4])}
    faces = Tessaron.find_nearby_faces(object(), cloud(line_points(4)))
    assert faces == thirty_five[:20] + [9, 4, 9] + [4]  # repeats stay, nothing sorted
    assert all(type(f) is int for f in faces)
    assert capsys.readouterr().out.splitlines()[-1] == "Total face IDs found: 24"


def test_matches_the_real_query_flattened(sphere, capsys):
    rng = np.random.default_rng(3)
    points = sphere.vertices[rng.choice(len(sphere.vertices), 300)] * 1.02 + rng.normal(0, 0.01, (300, 3))
    faces = Tessaron.find_nearby_faces(sphere, cloud(points), batch_size=128)
    assert faces == trimesh_face_ids(sphere, points, batch_size=len(points))
    assert len(faces) > len(set(faces))  # neighbouring points share faces
    assert capsys.readouterr().out.splitlines()[-1] == f"Total face IDs found: {len(faces)}"


def test_empty_cloud(query, capsys):
    assert Tessaron.find_nearby_faces(object(), o3d.geometry.PointCloud()) == []
    assert capsys.readouterr().out.splitlines() == ["Total points: 0", "Total face IDs found: 0"]
    assert query.calls == []


def test_threshold_changes_nothing(sphere, capsys):
    points = cloud(sphere.vertices[:50] * 1.05)
    small = Tessaron.find_nearby_faces(sphere, points, threshold=0.001)
    out_small = capsys.readouterr().out
    large = Tessaron.find_nearby_faces(sphere, points, threshold=10)
    assert small == large and out_small == capsys.readouterr().out


@pytest.mark.parametrize("batch_size, message", [(0, "arg 3 must not be zero"), (-3, "^batch_size must be at least 1, got -3$"),
                                                 (-2**70, "at least 1, got -1180591620717411303424$")])
def test_batch_size_below_one_fails_after_the_total(query, capsys, batch_size, message):
    with pytest.raises(ValueError, match=message):
        Tessaron.find_nearby_faces(object(), cloud(line_points(5)), batch_size=batch_size)
    assert capsys.readouterr().out.splitlines() == ["Total points: 5"]
    assert query.calls == []


def test_arguments_and_errors(sphere, monkeypatch, capsys):
    assert Tessaron.find_nearby_faces(point_cloud=cloud([[0, 0, 1]]), mesh=sphere, batch_size=1)

    def broken(mesh, points):
        raise RuntimeError("query failed")

    monkeypatch.setattr(trimesh.proximity, "nearby_faces", broken)
    capsys.readouterr()
    with pytest.raises(RuntimeError, match="query failed"):
        Tessaron.find_nearby_faces(sphere, cloud(line_points(3)))
    assert capsys.readouterr().out.splitlines() == ["Total points: 3", "Processing points from 0 to 3 (Batch size: 3)"]
    monkeypatch.setattr(trimesh.proximity, "nearby_faces", lambda mesh, points: [[1.5]])
    with pytest.raises(TypeError):
        Tessaron.find_nearby_faces(sphere, cloud(line_points(1)))


FIRST_CALLS_FROM_THREADS = """
import contextlib, io, os, signal, threading, time
import open3d as o3d, trimesh
from quarnet.mesh_seg import Tessaron
meshes = [trimesh.creation.icosphere(subdivisions=2) for _ in range(4)]
pcd = o3d.geometry.PointCloud()
pcd.points = o3d.utility.Vector3dVector(meshes[0].vertices * 1.01)

def first_calls():
    start, found = threading.Barrier(4), []
    def call(mesh):
        start.wait()
        found.append(len(Tessaron.find_nearby_faces(mesh, pcd)))
    with contextlib.redirect_stdout(io.StringIO()):
        threads = [threading.Thread(target=call, args=(m,)) for m in meshes]
        for t in threads: t.start()
        for t in threads: t.join()
    return found

outcomes = []
for _ in range(20):
    pid = os.fork()
    if pid == 0:
        os._exit(0 if first_calls() == [960] * 4 else 1)
    deadline, status = time.monotonic() + 10, None
    while status is None and time.monotonic() < deadline:
        done, code = os.waitpid(pid, os.WNOHANG)
        status = os.waitstatus_to_exitcode(code) if done else time.sleep(0.01)
    if status is None:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    outcomes.append({None: "hung", 0: "ok"}.get(status, f"failed {status}"))
    if status is None:
        break
print(outcomes)
"""


def test_first_calls_from_four_threads_never_deadlock(tmp_path):
    """The module's first calls, made from four threads at once, return in
    each of 20 fresh processes (forked before any call, so nothing is made
    yet). A value made lazily under a guard while Python ran hung 3 in 4."""
    run = subprocess.run([sys.executable, "-c", FIRST_CALLS_FROM_THREADS], capture_output=True, text=True, timeout=50,
                         cwd=tmp_path)  # the installed modules, not the source tree's quarnet/
    assert run.stdout.strip() == str(["ok"] * 20), run.stderr
