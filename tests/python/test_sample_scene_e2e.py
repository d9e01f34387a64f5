"""Whole-scene segmentation of the generated sample scene: masks and depth
maps in, one sub-mesh per object out."""
import os
import random
import signal
import subprocess
import sys

import pytest
import trimesh

from quarnet import sample
from quarnet.mesh_seg import Tessaron
from sample_copies import copy_of

OUTPUTS = ("sub_mesh.ply", "sub_pcd.ply")


def segment(scene):
    Tessaron.SceneTessaron(scene.mask_path, scene.mesh_file, scene.root_path).seg_scene_mesh()


def outputs(scene):
    """{relative path: bytes} of every file the segmentation wrote."""
    found = {}
    for name in scene.object_names:
        for out in OUTPUTS:
            path = os.path.join(scene.mask_path, name, out)
            if os.path.exists(path):
                found[f"{name}/{out}"] = open(path, "rb").read()
    remain = os.path.join(scene.mask_path, "remain.ply")
    if os.path.exists(remain):
        found["remain.ply"] = open(remain, "rb").read()
    return found


def stray_files(scene):
    """Anything in the mask folder that is neither a mask nor an output."""
    stray = []
    for folder, _, files in os.walk(scene.mask_path):
        stray += [f for f in files if not (f.endswith(".png") and f[:-4].isdigit()) and f not in OUTPUTS + ("remain.ply",)]
    return stray


def face_count(path):
    loaded = trimesh.load(path, process=False)
    return len(loaded.faces) if isinstance(loaded, trimesh.Trimesh) else 0


def assert_well_segmented(scene):
    for row in sample.evaluate(scene):
        assert row["written"], row
        assert row["recall"] >= 0.90, row
        assert row["foreign_share"] <= 0.05, row


@pytest.fixture(scope="module")
def segmented(tmp_path_factory):
    scene = sample.build_sample_scene(tmp_path_factory.mktemp("e2e"), seed=0)
    segment(scene)
    return scene


def test_every_object_gets_its_faces(segmented):
    assert_well_segmented(segmented)
    assert stray_files(segmented) == []
    subs = sum(face_count(os.path.join(segmented.mask_path, n, "sub_mesh.ply")) for n in segmented.object_names)
    remain = face_count(os.path.join(segmented.mask_path, "remain.ply"))
    assert 0 < remain < segmented.faces - subs + 50  # cut faces are gone from the remainder


def test_rerun_skips_every_object(segmented, capsys):
    before = outputs(segmented)
    capsys.readouterr()
    segment(segmented)
    lines = capsys.readouterr().out.splitlines()
    for name in segmented.object_names:
        assert f"Sub-mesh already exists at {os.path.join(segmented.mask_path, name, 'sub_mesh.ply')}, skipping." in lines
    assert outputs(segmented) == before  # the finished objects' faces stay out of remain.ply


def test_interrupted_run_resumes(tmp_path, monkeypatch):
    scene = sample.build_sample_scene(tmp_path, seed=0)
    searched = []
    search = Tessaron.find_nearby_faces

    def interrupted(*args):
        searched.append(args)
        if len(searched) == 2:
            raise KeyboardInterrupt  # the user stops the run while the second object is searched
        return search(*args)

    monkeypatch.setattr(Tessaron, "find_nearby_faces", interrupted)
    with pytest.raises(KeyboardInterrupt):
        segment(scene)
    first = outputs(scene)
    done = sorted({key.split("/")[0] for key in first})
    assert len(done) == 1 and sorted(first) == [f"{done[0]}/{out}" for out in OUTPUTS]
    assert stray_files(scene) == []

    monkeypatch.undo()
    segment(scene)
    resumed = outputs(scene)
    assert {k: resumed[k] for k in first} == first  # the finished object is left as it was
    assert len(resumed) == 2 * len(scene.object_names) + 1
    assert_well_segmented(scene)


def test_picture_of_a_scene_where_an_object_got_no_sub_mesh(tmp_path):
    import cv2

    from quarnet import outputs, picture

    scene = sample.build_sample_scene(tmp_path / "scene", seed=0, faces=3000, views=3, objects=2)
    segment(scene)
    os.remove(os.path.join(scene.mask_path, scene.object_names[1], "sub_mesh.ply"))
    path = str(tmp_path / "picture.png")
    mesh = outputs.read_mesh(scene.mesh_file)
    image, rows = picture.segmentation_picture(mesh, scene.mask_path, scene.object_names,
                                               picture.camera_from_bounds(mesh.bounds))
    picture.write_png(path, image)
    image = cv2.imread(path)
    assert image is not None and image.shape == (600 + 30, 2 * 800 + 6, 3)  # legends in a band below
    assert [(name, sub is None) for name, _, sub in rows] == [(scene.object_names[0], False),
                                                               (scene.object_names[1], True), ("remain", False)]


# ---- stopped runs, started again ---------------------------------------------
# A run stopped anywhere and started again writes byte for byte what one
# uninterrupted run writes.

SMALL = dict(seed=0, faces=6000, views=4, objects=4)


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    """A small scene, never changed, and the files one run writes for it."""
    scene = sample.build_sample_scene(tmp_path_factory.mktemp("small") / "scene", **SMALL)
    done = copy_of(scene, tmp_path_factory.mktemp("small-done") / "scene")
    segment(done)
    return scene, outputs(done)


@pytest.mark.parametrize("undone", [(1, 2, 3), (3,), (1,), (0, 2)])  # a fresh run: the reference
def test_run_resumed_after_lost_outputs(small, tmp_path, capsys, undone):
    pristine, reference = small
    scene = copy_of(pristine, tmp_path / "scene")
    for key, data in reference.items():
        name = key.split("/")[0]
        if key != "remain.ply" and scene.object_names.index(name) not in undone:
            with open(os.path.join(scene.mask_path, key), "wb") as f:
                f.write(data)
    segment(scene)
    assert outputs(scene) == reference
    assert stray_files(scene) == []
    assert "not found in the mesh" not in capsys.readouterr().out


CHILD = """
import os, sys
from quarnet.mesh_seg import Tessaron
s = Tessaron.SceneTessaron(*sys.argv[1:4])
print("ready", flush=True)
sys.stdout = open(os.devnull, "w")
s.seg_scene_mesh()
"""


def start(scene):
    env = dict(os.environ, OMP_NUM_THREADS="1")
    # run outside the source tree, whose quarnet folder would shadow the installed package
    child = subprocess.Popen([sys.executable, "-c", CHILD, scene.mask_path, scene.mesh_file, scene.root_path],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, cwd=scene.root_path)
    while child.stdout.readline() not in (b"ready\n", b""):  # after the constructor's lines
        pass
    return child


@pytest.mark.slow  # seven child processes: over 15 s
def test_runs_killed_at_random_moments_resume(small, tmp_path, capsys):
    """SIGKILL at random moments of the segmentation: no marker ever stands
    without its files, and the next run completes the scene exactly."""
    import time

    pristine, reference = small
    scene = copy_of(pristine, tmp_path / "timed")
    child = start(scene)
    began = time.monotonic()
    assert child.wait(timeout=120) == 0
    duration = time.monotonic() - began
    assert outputs(scene) == reference

    rng = random.Random(20240601)
    for k in range(int(os.environ.get("QUARNET_KILLS", "6"))):
        scene = copy_of(pristine, tmp_path / f"killed{k}")
        child = start(scene)
        time.sleep(rng.uniform(0, duration))
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=120)
        left = outputs(scene)
        for key, data in left.items():
            assert data == reference[key], key  # whatever is in place is complete
        for name in scene.object_names:
            if f"{name}/sub_mesh.ply" in left:
                assert f"{name}/sub_pcd.ply" in left
        segment(scene)
        assert outputs(scene) == reference, f"kill {k}"
        assert stray_files(scene) == []
    capsys.readouterr()
