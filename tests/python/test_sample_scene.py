import filecmp
import os

import cv2
import numpy as np
import pytest
import trimesh
from scipy.spatial.transform import Rotation

from quarnet import sample
from quarnet.mesh_seg.Tessaron import SceneTessaron

SMALL = dict(faces=3000, views=4, width=96, height=72, objects=3)


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    return sample.build_sample_scene(tmp_path_factory.mktemp("scene"), seed=5, **SMALL)


def files_under(root):
    return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs)


def test_layout_on_disk(scene):
    assert scene.object_names == ("box_0", "sphere_1", "cylinder_2")
    expected = ["ground_truth.npz", "mesh.ply", "sparse/0/cameras.bin", "sparse/0/images.bin"]
    expected += [f"depths/{i}.npy" for i in range(1, 5)]
    expected += [f"masks/{n}/{i:05d}.png" for n in scene.object_names for i in range(1, 5)]
    assert files_under(scene.root_path) == sorted(expected)
    assert scene.mesh_file == os.path.join(scene.root_path, "mesh.ply")
    assert scene.mask_path == os.path.join(scene.root_path, "masks")
    mesh = trimesh.load(scene.mesh_file)
    assert len(mesh.faces) == scene.faces and abs(scene.faces - 3000) < 300
    assert mesh.visual.kind == "vertex"


def test_same_seed_same_files_other_seed_other_scene(scene, tmp_path):
    again = sample.build_sample_scene(tmp_path / "again", seed=5, **SMALL)
    for rel in files_under(scene.root_path):
        assert filecmp.cmp(os.path.join(scene.root_path, rel), os.path.join(again.root_path, rel), shallow=False), rel
    other = sample.build_sample_scene(tmp_path / "other", seed=6, **SMALL)
    assert not filecmp.cmp(scene.mesh_file, other.mesh_file, shallow=False)


def test_depth_masks_and_poses_agree_with_the_mesh(scene, capsys):
    """Lifting a view's masked depth with the written camera model lands on the
    object's own faces: the conventions the segmentation relies on hold."""
    tess = SceneTessaron(scene.mask_path, scene.mesh_file, scene.root_path)
    fx, fy, cx, cy = tess.K
    assert capsys.readouterr().out == f" - 内参K: {tess.K}\n"
    mesh = trimesh.load(scene.mesh_file, process=False)
    names, labels, seen = sample.load_ground_truth(scene.ground_truth_path)
    assert names == list(scene.object_names) and len(labels) == len(seen) == scene.faces
    lifted = 0
    for idx, t, q in tess.pose:
        depth = np.load(os.path.join(tess.depths_path, f"{idx}.npy"))
        assert depth.dtype == np.float32 and depth.shape == (72, 96)
        for k, name in enumerate(names):
            mask = cv2.imread(os.path.join(scene.mask_path, name, f"{idx:05d}.png"), cv2.IMREAD_GRAYSCALE)
            v, u = np.nonzero(mask)
            if len(u) == 0:
                continue
            assert set(np.unique(mask)) <= {0, 255} and (depth[v, u] > 0).all()
            z = depth[v, u].astype(float)
            cam = np.column_stack([(u - cx) * z / fx, (v - cy) * z / fy, z])
            world = Rotation.from_quat(q).apply(cam) + t
            _, dist, face = trimesh.proximity.closest_point(mesh, world)
            assert dist.max() < 1e-4
            assert (labels[face] == k).mean() > 0.97  # edge pixels may land on a neighbour's face
            assert seen[face].all()
            lifted += len(u)
    assert lifted > 1000


def test_some_objects_touch_and_all_stand_on_the_ground(scene):
    mesh = trimesh.load(scene.mesh_file, process=False)
    _, labels, _ = sample.load_ground_truth(scene.ground_truth_path)
    parts = [mesh.submesh([np.nonzero(labels == k)[0]], only_watertight=False, repair=False)[0] for k in range(3)]
    for part in parts:
        assert part.bounds[0][2] == pytest.approx(0.0, abs=1e-6)
    gap = trimesh.proximity.closest_point(parts[0], parts[1].vertices)[1].min()
    assert gap < 0.01  # the sphere leans on the box


def test_command_line_and_bad_options(tmp_path, capsys):
    assert sample.main([str(tmp_path / "cli"), "--views", "2", "--width", "32", "--height", "24",
                              "--faces", "1500", "--objects", "2"]) == 0
    out = capsys.readouterr().out
    assert f"masks        {tmp_path / 'cli' / 'masks'} (box_0, sphere_1)" in out
    before = {rel: os.path.getmtime(tmp_path / "cli" / rel) for rel in files_under(tmp_path / "cli")}
    with pytest.raises(SystemExit) as e:  # a folder that holds anything is never written into
        sample.main([str(tmp_path / "cli"), "--objects", "1"])
    assert e.value.code == 1
    assert capsys.readouterr().err == (f"python -m quarnet.sample: error: {tmp_path / 'cli'}: not an empty folder "
                                       "(the sample scene is written only into a new or empty one)\n")
    assert {rel: os.path.getmtime(tmp_path / "cli" / rel) for rel in files_under(tmp_path / "cli")} == before
    with pytest.raises(ValueError):
        sample.build_sample_scene(tmp_path / "bad", objects=0)


def test_the_cluttered_layout_from_the_command_line(tmp_path, capsys):
    assert sample.main([str(tmp_path / "c"), "--layout", "clutter", "--noisy", "--views", "2", "--width", "32",
                        "--height", "24", "--faces", "6000", "--objects", "2"]) == 0
    assert f"masks        {tmp_path / 'c' / 'masks'} (chair_0, mug_1)\n" in capsys.readouterr().out
    with pytest.raises(SystemExit) as e:
        sample.main([str(tmp_path / "d"), "--layout", "clutter", "--faces", "100"])
    assert e.value.code == 2
    assert capsys.readouterr().err.endswith("error: argument --faces: 100 is below the smallest scene of 4 objects: "
                                            "4288 faces (the ground and walls alone have 2688)\n")
