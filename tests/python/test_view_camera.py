"""`quarnet show --root --view` sees the scene through the camera's K as
SceneTessaron builds it (the rule over every camera model is tested with the
scene setup)."""
import os

import cv2
import numpy as np
import pytest
import trimesh

from colmap_scene import camera, image, make_scene
from quarnet import cli


@pytest.fixture(scope="module")
def segmented(tmp_path_factory):
    """A scene of a sphere cut in two halves in front of image 1's camera."""
    root = tmp_path_factory.mktemp("view")
    mesh = trimesh.creation.icosphere(subdivisions=2)
    mesh.apply_translation([0.3, -0.2, 5.0])
    mesh.export(root / "mesh.ply")
    (root / "masks" / "upper").mkdir(parents=True)
    upper = mesh.vertices[mesh.faces].mean(axis=1)[:, 1] < -0.2
    mesh.submesh([np.flatnonzero(upper)], append=True).export(root / "masks" / "upper" / "sub_mesh.ply")
    mesh.submesh([np.flatnonzero(~upper)], append=True).export(root / "masks" / "remain.ply")
    return root


def picture(root, model, params, out):
    make_scene(root, [camera(1, model, params, width=160, height=120)], [image(1, "1.png")])
    assert cli.main(["show", str(root / "masks"), "--mesh", str(root / "mesh.ply"), "--root", str(root),
                     "--view", "1", "--width", "80", "-o", str(out)]) == 0
    return cv2.imread(str(out))


def test_a_model_is_seen_as_its_pinhole_camera(segmented, tmp_path):
    f, cx, cy = 150.0, 76.0, 61.0
    pinhole = picture(segmented, "PINHOLE", (f, f, cx, cy), tmp_path / "pinhole.png")
    seen = picture(segmented, "SIMPLE_RADIAL", (f, cx, cy, 0.0), tmp_path / "model.png")
    assert (pinhole != 250).any(axis=2).sum() > 1000  # the sphere is in sight
    np.testing.assert_array_equal(seen, pinhole)


def test_a_camera_without_focal_length_is_named(segmented, tmp_path, capsys):
    make_scene(segmented, [camera(1, "EQUIRECTANGULAR", (160, 120), width=160, height=120)], [image(1, "1.png")])
    assert cli.main(["show", str(segmented / "masks"), "--mesh", str(segmented / "mesh.ply"), "--root",
                     str(segmented), "--view", "1", "-o", str(tmp_path / "p.png")]) == 1
    cameras = os.path.join(segmented, "sparse", "0", "cameras.bin")
    assert capsys.readouterr().err == (f"quarnet: error: 未知的相机参数格式: [160. 120.] (the camera of {cameras} "
                                       "is of model EQUIRECTANGULAR, which has no focal length)\n")
