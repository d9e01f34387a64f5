import collections
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import quarnet.mesh_seg.Tessaron as T
from colmap_scene import CAMERA_MODELS, camera, image, make_scene, write_model


def build(root, capsys=None):
    scene = T.SceneTessaron(os.path.join(root, "masks"), os.path.join(root, "mesh.ply"), root)
    return scene


def test_class_is_plain_with_documented_methods():
    S = T.SceneTessaron
    assert S.__bases__ == (object,) and type(S) is type and S.__doc__ is None
    assert [k for k in vars(S) if not k.startswith("__") or k == "__init__"] == [
        "__init__", "process_extrinsics", "process_and_visualize_mesh_with_pointcloud_and_bbox", "seg_scene_mesh"]


def test_loading_binds_collaborators_and_prints_nothing(tmp_path):
    code = "import quarnet.mesh_seg.Tessaron as T; print(sorted(k for k in vars(T) if not k.startswith('__')))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, cwd=tmp_path).stdout
    assert eval(out) == sorted([
        "os", "np", "cv2", "o3d", "R", "tqdm", "trimesh", "read_extrinsics_binary", "read_intrinsics_binary",
        "read_extrinsics_text", "read_intrinsics_text", "qvec2rotmat", "rotmat2qvec", "SceneTessaron",
        "load_depth", "backproject_depth_to_points", "extract_masked_pointclouds", "find_nearby_faces",
        "save_nearby_faces_as_ply",
        "assign_faces_to_objects", "seg_scene_mesh_dense",  # the whole-object cut, beside the search
        "vote_faces_to_objects", "seg_scene_mesh_vote",  # the vote
        "run_record", "_object_clouds", "_cut_objects", "_cut_dense", "_cut_vote", "_write_staged",
        "_remove_staged",  # the command's
        "_export_ply"])  # the native PLY export on its own, for its differential test
    assert len(out.splitlines()) == 1
    import scipy.spatial.transform
    import tqdm
    assert T.R is scipy.spatial.transform.Rotation and T.tqdm is tqdm.tqdm
    from quarnet.scene import colmap_loader
    assert T.qvec2rotmat is colmap_loader.qvec2rotmat


class StrSub(str):
    pass


@pytest.mark.parametrize("position", range(3))
@pytest.mark.parametrize("value, given", [(1, "int"), (None, "NoneType"), (StrSub("x"), "StrSub"), (b"x", "bytes")])
def test_arguments_must_be_exactly_str(tmp_path, capsys, position, value, given):
    args = ["m", "mesh", str(tmp_path / "no-such-root")]
    args[position] = value
    name = ["mask_path", "mesh_file", "root_path"][position]
    with pytest.raises(TypeError) as info:
        T.SceneTessaron(*args)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {given})"
    assert capsys.readouterr().out == ""


def test_arguments_by_keyword(tmp_path):
    root = make_scene(tmp_path)
    s = T.SceneTessaron(root_path=root, mesh_file="m.ply", mask_path="masks")
    assert (s.mask_path, s.mesh_file, s.root_path) == ("masks", "m.ply", root)


def test_depths_checked_first_then_sparse(tmp_path):
    root = str(tmp_path)
    with pytest.raises(FileNotFoundError) as info:
        build(root)
    assert str(info.value) == f"Depths 文件夹不存在: {os.path.join(root, 'depths')}"
    (tmp_path / "depths").write_text("a regular file passes the existence check")
    with pytest.raises(FileNotFoundError) as info:
        build(root)
    assert str(info.value) == f"SfM 文件夹不存在: {root}/sparse/0"


def test_attributes_in_order_and_intrinsics_line(tmp_path, capsys):
    root = make_scene(tmp_path, [camera(1, "SIMPLE_PINHOLE", (500, 320, 240))])
    s = build(root)
    assert list(vars(s)) == ["mask_path", "mesh_file", "root_path", "depths_path", "sfm_path", "cam_extrinsics",
                             "cam_intrinsics", "K", "pose"]
    assert s.depths_path == os.path.join(root, "depths") and s.sfm_path == os.path.join(root, "sparse/0")
    assert s.K == [500.0, 500.0, 320.0, 240.0] and all(type(v) is float for v in s.K)
    assert capsys.readouterr().out == " - 内参K: [500.0, 500.0, 320.0, 240.0]\n"


@pytest.mark.parametrize("model", [m for m, (_, focals, _) in CAMERA_MODELS.items() if focals])
def test_intrinsics_follow_the_camera_model(tmp_path, capsys, model):
    count, focals, omitted = CAMERA_MODELS[model]
    pinhole = [500.0, 320.0, 240.0] if focals == 1 else [500.0, 400.0, 320.0, 240.0]
    K = [500.0, 500.0, 320.0, 240.0] if focals == 1 else [500.0, 400.0, 320.0, 240.0]
    extra = [0.0] * (count - len(pinhole))
    for kind, params in [("binary", extra), ("text", [0.125] + extra[1:] if extra else [])]:
        root = make_scene(tmp_path / kind, [camera(1, model, pinhole + params)], binary=kind == "binary",
                          text=kind == "text")
        capsys.readouterr()
        assert build(root).K == K
        lines = [line for line in capsys.readouterr().out.splitlines() if "读取 .bin 失败" not in line]
        warning = {
            "fisheye": f"[Warning] camera model {model} is a fisheye model: its projection and distortion are ignored, "
                       "undistorted images are expected",
            "alpha": f"[Warning] camera model {model} with alpha {params[0] if params else 0.0} is no pinhole "
                     "projection: its projection is ignored, undistorted images are expected",
            "distortion": f"[Warning] camera model {model} has distortion parameters {params}: distortion is "
                          "ignored, undistorted images are expected"}[omitted]
        assert lines[-1] == f" - 内参K: {K}"
        assert lines[:-1] == ([warning] if omitted == "fisheye" or any(params) else []), kind


@pytest.mark.parametrize("kind", ["binary", "text"])
def test_a_camera_without_focal_length_names_its_file(tmp_path, capsys, kind):
    root = make_scene(tmp_path, [camera(1, "EQUIRECTANGULAR", (640, 320))], binary=kind == "binary", text=kind == "text")
    with pytest.raises(ValueError) as info:
        build(root)
    assert str(info.value) == "未知的相机参数格式: [640. 320.]"
    cameras = os.path.join(root, "sparse/0", "cameras.bin" if kind == "binary" else "cameras.txt")
    assert info.value.__notes__ == [f"the camera of {cameras} is of model EQUIRECTANGULAR, which has no focal length"]
    assert "内参K" not in capsys.readouterr().out


@pytest.mark.parametrize("model", ["CUSTOM", None, 1, 2, True])
def test_models_the_reader_does_not_know_go_by_parameter_count(tmp_path, monkeypatch, capsys, model):
    """A replaced reader may give any model, an id or none; what is no known model keeps the count rule."""
    root = make_scene(tmp_path)
    Camera = collections.namedtuple("Camera", "id params" if model is None else "id model params")
    for params, by_count in [((7, 8, 9, 0), [7.0, 8.0, 9.0, 0.0]), ((7, 8, 9), [7.0, 7.0, 8.0, 9.0])]:
        fields = (1, params) if model is None else (1, model, params)
        monkeypatch.setattr(T, "read_intrinsics_binary", lambda path: {1: Camera(*fields)})
        K = build(root).K
        assert K == ([7.0, 7.0, 8.0, 9.0] if model == 2 else by_count)  # id 2: SIMPLE_RADIAL
        assert "[Warning]" not in capsys.readouterr().out


@pytest.mark.parametrize("model, params, kind, K", [
    ("PINHOLE", (0, 500, 320, 240), "binary", [0.0, 500.0, 320.0, 240.0]),
    ("SIMPLE_PINHOLE", (-500, 320, 240), "binary", [-500.0, -500.0, 320.0, 240.0]),
    ("PINHOLE", (500, math.nan, 320, 240), "text", [500.0, math.nan, 320.0, 240.0]),
    ("SIMPLE_RADIAL", (500, math.inf, 240, 0), "text", [500.0, 500.0, math.inf, 240.0]),
    ("CUSTOM", (500, 500, 320, -math.inf), "text", [500.0, 500.0, 320.0, -math.inf]),
])
def test_intrinsics_that_are_no_pinhole_camera_name_the_cameras_file(tmp_path, capsys, model, params, kind, K):
    root = make_scene(tmp_path, binary=kind == "binary", text=True)
    cameras = os.path.join(root, "sparse/0", f"cameras.{'bin' if kind == 'binary' else 'txt'}")
    if kind == "binary":
        write_model(os.path.join(root, "sparse/0"), [camera(1, model, params)], [image(1, "1.png")])
    else:
        with open(cameras, "w") as f:
            f.write(f"1 {model} 640 480 {' '.join(map(str, params))}\n")
    with pytest.raises(ValueError) as info:
        build(root)
    assert str(info.value) == (f"{cameras}: the camera gives K = {K}; fx and fy must be finite and above zero, "
                               "cx and cy finite")
    assert "内参K" not in capsys.readouterr().out


def test_integer_parameters_become_floats(tmp_path, monkeypatch):
    root = make_scene(tmp_path)
    monkeypatch.setattr(T, "read_intrinsics_binary", lambda path: {1: camera()._replace(params=[500, 320, 240])})
    K = build(root).K
    assert K == [500.0, 500.0, 320.0, 240.0] and all(type(v) is float for v in K)


def test_camera_count_must_be_one(tmp_path):
    root = make_scene(tmp_path, [camera(1), camera(2)])
    with pytest.raises(ValueError) as info:
        build(root)
    assert str(info.value) == "期望只有 1 个相机，但实际检测到 2 个相机。"
    write_model(os.path.join(root, "sparse/0"), [], [image(1, "1.png")])
    with pytest.raises(ValueError) as info:
        build(root)
    assert str(info.value) == "期望只有 1 个相机，但实际检测到 0 个相机。"  # a note names the file


def test_fewer_than_three_parameters(tmp_path):
    root = make_scene(tmp_path, binary=False, text=True)
    (tmp_path / "sparse/0/cameras.txt").write_text("1 CUSTOM 640 480 500 320\n")
    with pytest.raises(ValueError) as info:
        build(root)
    assert str(info.value) == "未知的相机参数格式: [500. 320.]"


def test_text_fallback_prints_the_binary_error(tmp_path, capsys):
    root = make_scene(tmp_path, [camera(1, "SIMPLE_PINHOLE", (500, 320, 240))], binary=False, text=True)
    s = build(root)
    images_bin = os.path.join(root, "sparse/0", "images.bin")
    assert capsys.readouterr().out.splitlines() == [
        f"[Warning] 读取 .bin 失败 ([Errno 2] No such file or directory: '{images_bin}')，尝试读取 .txt 文件...",
        " - 内参K: [500.0, 500.0, 320.0, 240.0]"]
    assert list(s.cam_extrinsics) == [1]


def test_corrupt_binary_camera_file_falls_back_to_text_for_both(tmp_path, capsys, monkeypatch):
    root = make_scene(tmp_path, [camera(1)], [image(4, "0004.png")], binary=True, text=True)
    cameras_bin = tmp_path / "sparse/0/cameras.bin"
    cameras_bin.write_bytes(cameras_bin.read_bytes()[:-3])
    calls = []
    real_text = T.read_extrinsics_text
    monkeypatch.setattr(T, "read_extrinsics_text", lambda p: calls.append(p) or real_text(p))
    s = build(root)
    line = capsys.readouterr().out.splitlines()[0]
    assert line.startswith(f"[Warning] 读取 .bin 失败 ({cameras_bin}: truncated: camera 0 parameters")
    assert line.endswith(")，尝试读取 .txt 文件...")
    assert calls == [os.path.join(root, "sparse/0", "images.txt")]
    assert list(s.cam_extrinsics) == [4]


def test_text_failure_leaves_the_constructor_chained_to_the_binary_error(tmp_path):
    root = make_scene(tmp_path, binary=False)
    with pytest.raises(FileNotFoundError) as info:
        build(root)
    assert info.value.filename.endswith("images.txt")
    assert isinstance(info.value.__context__, FileNotFoundError)
    assert info.value.__context__.filename.endswith("images.bin")
    assert info.value.__notes__ == [f"after the binary model failed: {info.value.__context__}"]


def test_interrupts_from_the_binary_reader_are_not_caught(tmp_path, monkeypatch, capsys):
    root = make_scene(tmp_path)

    def interrupted(path):
        raise KeyboardInterrupt

    monkeypatch.setattr(T, "read_extrinsics_binary", interrupted)
    with pytest.raises(KeyboardInterrupt):
        build(root)
    assert capsys.readouterr().out == ""


# ---- the pose table ---------------------------------------------------------

def test_identity_pose(tmp_path):
    s = build(make_scene(tmp_path, images=[image(1, "000123.jpg", (1, 0, 0, 0), (1, 2, 3))]))
    (idx, t, q), = s.pose
    assert type(idx) is int and idx == 123
    assert t.dtype == np.float64 and t.shape == (3,) and t.tolist() == [-1.0, -2.0, -3.0]
    assert q.dtype == np.float64 and q.shape == (4,) and q.tolist() == [0.0, 0.0, 0.0, 1.0]


def test_quarter_turn_about_z(tmp_path):
    h = math.sqrt(0.5)
    s = build(make_scene(tmp_path, images=[image(1, "7.png", (h, 0, 0, h), (1, 0, 0))]))
    (idx, t, q), = s.pose
    np.testing.assert_allclose(T.qvec2rotmat([h, 0, 0, h]), [[0, -1, 0], [1, 0, 0], [0, 0, 1]], atol=1e-15)
    np.testing.assert_allclose(t, [0, 1, 0], atol=1e-15)
    np.testing.assert_allclose(q, [0, 0, -h, h], atol=1e-15)


def test_pose_table_follows_reader_order_and_keeps_duplicates(tmp_path):
    images = [image(5, "000123.jpg", tvec=(1, 1, 1)), image(2, "123", tvec=(2, 2, 2)), image(9, "3.png")]
    s = build(make_scene(tmp_path, images=images))
    assert [p[0] for p in s.pose] == [123, 123, 3]
    assert s.process_extrinsics() is not s.pose
    assert [p[1].tolist() for p in s.process_extrinsics()] == [p[1].tolist() for p in s.pose]


def test_image_id_is_the_stem_of_the_file_name(tmp_path):
    images = [image(1, "cam0/00001.png"), image(2, "rig/cam1/7.jpg"), image(3, "12")]
    assert [p[0] for p in build(make_scene(tmp_path, images=images)).pose] == [1, 7, 12]
    with pytest.raises(ValueError, match=r"invalid literal for int\(\) with base 10: '000123.a'"):
        build(make_scene(tmp_path, images=[image(1, "000123.a.jpg")]))


def test_single_precision_records_and_empty_extrinsics(tmp_path, monkeypatch):
    root = make_scene(tmp_path)
    rec = image(1, "1.png")._replace(qvec=np.array([1, 0, 0, 0], np.float32), tvec=np.array([1, 2, 3], np.float32))
    monkeypatch.setattr(T, "read_extrinsics_binary", lambda p: {1: rec})
    (_, t, q), = build(root).pose
    assert t.dtype == np.float64 and q.dtype == np.float64 and t.shape == (3,)
    monkeypatch.setattr(T, "read_extrinsics_binary", lambda p: {})
    assert build(root).pose == []
