import os
import types

import numpy as np
import pytest

from quarnet.mesh_seg import Tessaron

seg = Tessaron.SceneTessaron.seg_scene_mesh


class Scene:
    """A stand-in scene object: the attributes the driver reads and a
    recording cut-and-export method."""

    def __init__(self, mask_path, pose=()):
        self.mask_path = str(mask_path)
        self.depths_path = "/scene/depths"
        self.K = [500.0, 500.0, 320.0, 240.0]
        self.pose = list(pose)
        self.exported = []

    def process_and_visualize_mesh_with_pointcloud_and_bbox(self, *args, **kwargs):
        self.exported.append((args, kwargs))


@pytest.fixture
def extraction(monkeypatch):
    """Replaces the masked point-cloud extraction in the module: folders
    listed in `empty` yield (None, None), others ("pcd-<name>", "box-<name>")."""
    calls, empty = [], set()

    def extract(*args, **kwargs):
        calls.append((args, kwargs))
        name = os.path.basename(args[0])
        return (None, None) if name in empty else (f"pcd-{name}", f"box-{name}")

    monkeypatch.setattr(Tessaron, "extract_masked_pointclouds", extract, raising=False)
    return types.SimpleNamespace(calls=calls, empty=empty)


def test_objects_in_listing_order_and_parallel_lists(tmp_path, extraction, capsys):
    for name in ("chair", "b", "table"):
        (tmp_path / name).mkdir()
    extraction.empty.add("b")
    scene = Scene(tmp_path)
    assert seg(scene) is None
    order = os.listdir(tmp_path)
    assert capsys.readouterr().out.splitlines() == [f"self.mask_path {tmp_path}"] + [f"Files in {n}:" for n in order]
    kept = [n for n in order if n != "b"]
    assert scene.exported == [(([f"pcd-{n}" for n in kept], [f"box-{n}" for n in kept], kept), {})]
    for (args, kwargs), name in zip(extraction.calls, order):
        assert kwargs == {} and len(args) == 4
        assert args[0] == os.path.join(str(tmp_path), name)
        assert args[1] == "/scene/depths" and args[3] is scene.K


def test_pose_table_keyed_by_image_id(tmp_path, extraction):
    (tmp_path / "obj").mkdir()
    t1, q1, t2, q2, t3, q3 = (np.full(3, k, dtype=float) for k in range(6))
    seg(Scene(tmp_path, [(1, t1, q1), (2, t2, q2), (1, t3, q3)]))
    poses = extraction.calls[0][0][2]
    assert list(poses) == [1, 2]
    assert type(poses) is dict and type(poses[1]) is tuple and len(poses[1]) == 2
    assert poses[1][0] is t3 and poses[1][1] is q3  # the later entry wins, same arrays
    assert poses[2][0] is t2 and poses[2][1] is q2


def test_empty_mask_folder(tmp_path, extraction, capsys):
    scene = Scene(tmp_path)
    seg(scene)
    assert capsys.readouterr().out == f"self.mask_path {tmp_path}\n"
    assert scene.exported == [(([], [], []), {})]
    assert extraction.calls == []


def test_files_beside_the_object_folders_are_skipped_silently(tmp_path, extraction, capsys):
    (tmp_path / "obj").mkdir()
    (tmp_path / "remain.ply").write_bytes(b"ply\n")
    (tmp_path / ".hidden").write_text("x")
    scene = Scene(tmp_path)
    seg(scene)
    assert capsys.readouterr().out.splitlines() == [f"self.mask_path {tmp_path}", "Files in obj:"]
    assert scene.exported[0][0] == (["pcd-obj"], ["box-obj"], ["obj"])


def test_failures_pass_through(tmp_path, extraction, monkeypatch):
    with pytest.raises(FileNotFoundError):
        seg(Scene(tmp_path / "missing"))
    (tmp_path / "obj").mkdir()
    for pose, message in (([(1, 2)], "not enough values to unpack (expected 3, got 2)"),
                          ([(1, 2, 3, 4)], "too many values to unpack (expected 3)")):
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            seg(Scene(tmp_path, pose))
    with pytest.raises(TypeError, match="cannot unpack non-iterable int object"):
        seg(Scene(tmp_path, [7]))
    scene = Scene(tmp_path)
    monkeypatch.setattr(Tessaron, "extract_masked_pointclouds", lambda *a: ("pcd", "box", "extra"), raising=False)
    with pytest.raises(ValueError, match="too many values to unpack"):
        seg(scene)
    assert scene.exported == []  # nothing is exported after a failed object
