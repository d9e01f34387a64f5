"""How native functions behave as Python functions: argument binding with the
interpreter's wording, method binding, signatures, namespace lookup."""
import inspect
import pickle

import numpy as np
import pytest

import quarnet.mesh_seg.Tessaron as T
from quarnet.scene import colmap_loader as cl


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


def test_functions_carry_names_signatures_and_bind_as_methods():
    f = T.SceneTessaron.process_extrinsics
    assert f.__name__ == "process_extrinsics"
    assert f.__qualname__ == "SceneTessaron.process_extrinsics"
    assert f.__module__ == "quarnet.mesh_seg.Tessaron"
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
