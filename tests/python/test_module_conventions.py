"""How native functions behave as Python functions: argument binding with the
interpreter's wording, method binding, signatures, namespace lookup."""
import functools
import importlib
import inspect
import pickle
import types

import numpy as np
import pytest

import quarnet.mesh_seg.Tessaron as T
from quarnet.scene import colmap_loader as cl

INIT_DOC = ("场景Mesh分割初始化\nArgs:\n    mask_path (str): 场景物体掩码路径\n    mesh_file (str): 场景Mesh文件路径\n"
            "    root_path (str): 根目录路径 (需包含 depths 文件夹 和 sparse/0 文件夹)")
EXTRINSICS_DOC = "将 COLMAP 读出的 world→cam 转换为 cam→world，\n并返回 [(idx, t, q), ...] 其中 q = [qx, qy, qz, qw]"
VORLANTIDE_DOC = (":param source_path: 原始训练数据路径\n:param model_path: 模型保存路径\n"
                  ":param images: 传递给 Wrapper 的 images 参数\n:param N4views: 传递给 Wrapper 的 N4views 参数\n"
                  ":param checkpoint: 可选 checkpoint")

# Every specified function: module, qualified name, signature, exact __doc__.
TESSARON, MORLITH, VORLANTIDE = "quarnet.mesh_seg.Tessaron", "morlith", "quarnet.gaussian_seg.Vorlantide"
FUNCTIONS = [
    (TESSARON, "SceneTessaron.__init__", "(self, mask_path: str, mesh_file: str, root_path: str)", INIT_DOC),
    (TESSARON, "SceneTessaron.process_extrinsics", "(self)", EXTRINSICS_DOC),
    (TESSARON, "SceneTessaron.process_and_visualize_mesh_with_pointcloud_and_bbox",
     "(self, all_pcd_cleaned, all_bounding_boxes, all_subdir)", None),
    (TESSARON, "SceneTessaron.seg_scene_mesh", "(self)", None),
    (TESSARON, "load_depth", "(depth_path)", "读取深度图，假设单位是米"),
    (TESSARON, "backproject_depth_to_points", "(depth, K)", "深度图 -> 相机坐标系点云"),
    (TESSARON, "extract_masked_pointclouds", "(mask_folder, depth_folder, poses_dict, K)", None),
    (TESSARON, "find_nearby_faces", "(mesh, point_cloud, threshold=0.05, batch_size=10000)", None),
    (TESSARON, "save_nearby_faces_as_ply", "(mesh, nearby_faces)", " 仅提取找到的面片并保存为 .ply 文件 "),
    (MORLITH, "gaussian", "(window_size, sigma)", None),
    (MORLITH, "create_window", "(window_size, channel)", None),
    (MORLITH, "_ssim", "(img1, img2, window, window_size, channel, size_average=True)", None),
    (MORLITH, "ssim", "(img1, img2, window_size=11, size_average=True)", None),
    (MORLITH, "FusedSSIMMap.forward", "(ctx, C1, C2, img1, img2)", None),
    (MORLITH, "FusedSSIMMap.backward", "(ctx, opt_grad)", None),
    (MORLITH, "fast_ssim", "(img1, img2)", None),
    (MORLITH, "l1_loss", "(network_output, gt)", None),
    (MORLITH, "l2_loss", "(network_output, gt)", None),
    (VORLANTIDE, "Vorlantide.__init__",
     "(self, source_path, model_path, masks_path, images='images', N4views=14, checkpoint=None)", VORLANTIDE_DOC),
    (VORLANTIDE, "Vorlantide.run_all", "(self)", None),
]


def twin(qualname, signature):
    """A Python function of the same name and signature: the interpreter's own wording."""
    name = qualname.rpartition(".")[2]
    space = {}
    exec(f"def {name}{signature}: pass", space)
    space[name].__qualname__ = qualname
    return space[name]


def type_error(function, *args):
    with pytest.raises(TypeError) as info:
        function(*args)
    return str(info.value)


@pytest.mark.parametrize("module, qualname, signature, doc", FUNCTIONS, ids=[row[1] for row in FUNCTIONS])
def test_functions_carry_their_names_signatures_documentation_and_arity_errors(module, qualname, signature, doc):
    *owners, name = qualname.split(".")
    owner = functools.reduce(getattr, owners, importlib.import_module(module))
    f = getattr(owner, name)
    assert (f.__module__, f.__qualname__, f.__name__) == (module, qualname, name)
    assert str(inspect.signature(f)) == signature
    assert f.__doc__ == doc
    python = twin(qualname, signature)
    assert getattr(f, "__annotations__", {}) == python.__annotations__
    count = len(inspect.signature(f).parameters)
    assert type_error(f, *range(count + 1)) == type_error(python, *range(count + 1))
    if count:
        assert type_error(f) == type_error(python)
    if signature.startswith("(self"):  # and called on an instance
        obj = object.__new__(owner)
        assert type_error(getattr(obj, name), *range(count)) == type_error(types.MethodType(python, obj), *range(count))


def test_argument_errors_use_the_interpreters_wording():
    with pytest.raises(TypeError, match=r"^write_extrinsics_text\(\) missing 2 required positional arguments: 'images' and 'path'$"):
        cl.write_extrinsics_text()
    with pytest.raises(TypeError, match=r"^SceneTessaron.__init__\(\) missing 3 required positional arguments: 'mask_path', 'mesh_file', and 'root_path'$"):
        T.SceneTessaron()
    with pytest.raises(TypeError, match=r"^qvec2rotmat\(\) takes 1 positional argument but 2 were given$"):
        cl.qvec2rotmat([1, 0, 0, 0], 1)
    with pytest.raises(TypeError, match=r"^qvec2rotmat\(\) got multiple values for argument 'qvec'$"):
        cl.qvec2rotmat([1, 0, 0, 0], qvec=[1, 0, 0, 0])
    with pytest.raises(TypeError, match=r"^qvec2rotmat\(\) got an unexpected keyword argument 'q'$"):
        cl.qvec2rotmat(q=[1, 0, 0, 0])
    with pytest.raises(TypeError, match=r"keywords must be strings"):
        cl.qvec2rotmat(**{1: 2})
    np.testing.assert_array_equal(cl.qvec2rotmat(qvec=(1, 0, 0, 0)), np.eye(3))


def test_functions_bind_as_methods():
    f = T.SceneTessaron.process_extrinsics
    assert str(inspect.signature(cl.write_intrinsics_binary)) == "(cameras, path)"
    obj = object.__new__(T.SceneTessaron)
    bound = obj.process_extrinsics
    assert bound.__self__ is obj and bound.__func__ is f
    assert str(inspect.signature(bound)) == "()"
    obj.cam_extrinsics = {}
    assert bound() == [] and f(obj) == []


def test_collaborators_are_looked_up_at_each_call(monkeypatch):
    calls = []
    monkeypatch.setattr(cl, "np", type("FakeNumpy", (), {
        "asarray": staticmethod(lambda *a, **k: calls.append(a) or np.asarray(*a, **k)),
        "float64": np.float64}))
    cl.qvec2rotmat([1, 0, 0, 0])
    assert len(calls) == 1
    monkeypatch.delattr(cl, "np")
    with pytest.raises(NameError, match=r"^name 'np' is not defined$"):
        cl.qvec2rotmat([1, 0, 0, 0])


def test_print_goes_through_the_namespace(monkeypatch, tmp_path):
    lines = []
    monkeypatch.setattr(T, "print", lambda *a, **k: lines.append(a), raising=False)
    with pytest.raises(FileNotFoundError):
        T.SceneTessaron("m", "f", str(tmp_path / "none"))
    (tmp_path / "depths").mkdir()
    (tmp_path / "sparse/0").mkdir(parents=True)
    with pytest.raises(FileNotFoundError):
        T.SceneTessaron("m", "f", str(tmp_path))
    assert len(lines) == 1 and lines[0][0].startswith("[Warning] 读取 .bin 失败 (")


def test_records_pickle_by_reference():
    cam = cl.Camera(1, "PINHOLE", 2, 3, np.arange(4.0))
    back = pickle.loads(pickle.dumps(cam))
    assert type(back) is cl.Camera and back.params.tolist() == [0.0, 1.0, 2.0, 3.0]


def test_unpacking_keeps_the_interpreters_errors():
    import morlith

    class Saved:
        def __init__(self, saved_tensors):
            self.saved_tensors = saved_tensors

    class Broken:
        def __iter__(self):
            raise RuntimeError("iterator broke")

    backward = morlith.FusedSSIMMap.backward
    for saved, error, message in [(1, TypeError, r"^cannot unpack non-iterable int object$"),
                                  (Broken(), RuntimeError, r"^iterator broke$"),
                                  ((1,), ValueError, r"^not enough values to unpack \(expected 2, got 1\)$"),
                                  ((1, 2, 3), ValueError, r"^too many values to unpack \(expected 2\)$")]:
        with pytest.raises(error, match=message):
            backward(Saved(saved), None)
