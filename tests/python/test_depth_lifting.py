"""load_depth and backproject_depth_to_points: .npy reading and pinhole lifting."""
import io
import os
import pathlib
import types

import numpy as np
import numpy.lib.format as npformat
import pytest

from quarnet.mesh_seg import Tessaron as T
from quarnet.testing.plain_pipeline import plain_backproject as numpy_backproject


def save(path, array, version=None):
    with open(path, "wb") as f:
        npformat.write_array(f, array, version=version)
    return str(path)


def same_bits(a, b):
    assert a.dtype == b.dtype == np.float64 and a.shape == b.shape
    np.testing.assert_array_equal(a.view(np.uint64), b.view(np.uint64))


def test_arguments_by_keyword():
    points = T.backproject_depth_to_points(K=[1.0, 1.0, 0.0, 0.0], depth=np.ones((1, 2), np.float32))
    assert points.tolist() == [[0.0, 0.0, 1.0], [1.0, 0.0, 1.0]]


# ---- load_depth ---------------------------------------------------------------

DTYPES = ["?", "i1", "u1", "<i2", ">i2", "<u2", ">u2", "<i4", ">i4", "<u4", ">u4",
          "<i8", ">i8", "<u8", ">u8", "<f2", ">f2", "<f4", ">f4", "<f8", ">f8"]


def sample(dtype, shape, rng):
    dtype = np.dtype(dtype)
    if dtype.kind == "b":
        return rng.integers(0, 2, shape).astype(dtype)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        return rng.integers(info.min, info.max, shape, dtype=dtype.newbyteorder("="), endpoint=True).astype(dtype)
    values = rng.standard_normal(shape) * 10.0 ** rng.integers(-45, 45, shape)
    values.flat[:4] = [np.nan, np.inf, -0.0, 1e-320][: values.size]
    with np.errstate(over="ignore"):
        return values.astype(dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("order", ["C", "F"])
def test_every_plain_type_loads_as_numpy_astype_float32(tmp_path, dtype, order):
    rng = np.random.default_rng([DTYPES.index(dtype), "CF".index(order)])
    array = np.asarray(sample(dtype, (13, 7), rng), order=order)
    depth = T.load_depth(save(tmp_path / "d.npy", array))
    with np.errstate(over="ignore"):
        want = np.load(tmp_path / "d.npy").astype(np.float32)
    assert depth.dtype == np.float32 and depth.shape == (13, 7)
    assert depth.flags.c_contiguous == want.flags.c_contiguous
    np.testing.assert_array_equal(depth.view(np.uint32), want.view(np.uint32))


@pytest.mark.parametrize("version", [(1, 0), (2, 0), (3, 0)])
def test_format_versions_and_shapes(tmp_path, version):
    a = np.arange(24, dtype=np.float64).reshape(4, 6)
    assert T.load_depth(save(tmp_path / "a.npy", a, version)).tolist() == a.tolist()
    one = T.load_depth(save(tmp_path / "b.npy", a.reshape(4, 6, 1), version))
    assert one.shape == (4, 6) and one.tolist() == a.tolist()
    f_one = T.load_depth(save(tmp_path / "f.npy", np.asfortranarray(a.reshape(4, 6, 1)), version))
    assert f_one.shape == (4, 6) and f_one.tolist() == a.tolist()
    three = T.load_depth(save(tmp_path / "c.npy", np.stack([a, a, a], axis=-1), version))
    assert three.shape == (4, 6, 3) and three.dtype == np.float32
    for shape in [(), (5,), (0,), (0, 3), (2, 3, 4, 1), (3, 0, 1)]:
        got = T.load_depth(save(tmp_path / "s.npy", np.ones(shape, np.int16), version))
        want = np.load(tmp_path / "s.npy").astype(np.float32)
        if len(shape) == 3 and shape[2] == 1:
            want = want[:, :, 0]
        assert got.shape == want.shape and got.dtype == np.float32


def test_nearest_float32(tmp_path):
    big = np.array([2**62 + 2**38 + 1, -(2**53) - 1], dtype=np.int64)
    got = T.load_depth(save(tmp_path / "i.npy", big))
    assert got.tolist() == [float(2**62 + 2**39), -float(2**53)]
    doubles = np.array([0.1, 1e39, 3.0000001192092896, 1e-46])
    got = T.load_depth(save(tmp_path / "f.npy", doubles))
    with np.errstate(over="ignore"):
        want = doubles.astype(np.float32)
    np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32))
    shorts = np.array([[-32768, 7], [0, 32767]], dtype=np.int16)
    assert T.load_depth(save(tmp_path / "s.npy", shorts)).tolist() == [[-32768.0, 7.0], [0.0, 32767.0]]


def test_paths_and_file_objects(tmp_path):
    a = np.arange(6, dtype=np.uint16).reshape(2, 3, 1)
    path = save(tmp_path / "p.npy", a)
    assert T.load_depth(pathlib.Path(path)).shape == (2, 3)
    assert T.load_depth(path.encode()).shape == (2, 3)
    buffer = io.BytesIO()
    np.save(buffer, a)
    buffer.seek(0)
    from_file = T.load_depth(buffer)  # not a path: read by np.load
    assert from_file.dtype == np.float32 and from_file.shape == (2, 3)
    assert from_file.tolist() == a[:, :, 0].tolist()


def test_missing_file_and_directory(tmp_path):
    missing = str(tmp_path / "nope" / "7.npy")
    with pytest.raises(FileNotFoundError) as e:
        T.load_depth(missing)
    assert e.value.filename == missing and e.value.errno == 2
    with pytest.raises(IsADirectoryError):
        T.load_depth(str(tmp_path))


def test_invalid_files_raise_value_error_naming_the_file(tmp_path):
    """Files numpy writes that are no plain numeric array; each header fault is tested with the core parser."""
    cases = {
        "text.npy": (b"not an array at all", "not a .npy file (bad magic string)"),
        "short.npy": (None, "data is truncated: shape (100, 100) of '<f4' needs 40000 bytes, 400 present"),
        "record.npy": (None, "structured dtype is not supported"),
        "complex.npy": (None, "unsupported dtype '<c8'"),
        "pickle.npy": (None, "bad magic"),
    }
    np.save(tmp_path / "short.npy", np.zeros((100, 100), np.float32))
    (tmp_path / "short.npy").write_bytes((tmp_path / "short.npy").read_bytes()[:-40000 + 400])
    np.save(tmp_path / "record.npy", np.zeros(3, dtype=[("a", "<f4"), ("b", "<i2")]))
    np.save(tmp_path / "complex.npy", np.zeros((2, 2), np.complex64))
    np.array([1, 2]).dump(tmp_path / "pickle.npy")
    for name, (content, reason) in cases.items():
        path = tmp_path / name
        if content is not None:
            path.write_bytes(content)
        with pytest.raises(ValueError) as e:
            T.load_depth(str(path))
        assert str(e.value).startswith(f"{path}: "), str(e.value)
        assert reason in str(e.value), str(e.value)


def test_file_names_that_are_not_utf8(tmp_path):
    folder = os.fsencode(tmp_path)
    broken = os.path.join(folder, b"depth-\xff.npy")
    with open(broken, "wb") as f:
        f.write(b"not an array")
    with pytest.raises(ValueError) as e:
        T.load_depth(broken)
    assert str(e.value) == f"{os.fsdecode(broken)}: not a .npy file (bad magic string)"
    missing = os.path.join(folder, b"gone-\xfe.npy")
    with pytest.raises(FileNotFoundError) as e:
        T.load_depth(missing)
    assert e.value.filename == missing


# ---- backproject_depth_to_points ---------------------------------------------

def test_pinhole_examples():
    depth = np.zeros((741, 821), np.float32)
    depth[240, 320] = depth[240, 820] = depth[740, 320] = 2
    points = T.backproject_depth_to_points(depth, [500.0, 500.0, 320.0, 240.0])
    assert points.dtype == np.float64 and points.shape == (741 * 821, 3)
    assert points[240 * 821 + 320].tolist() == [0, 0, 2]
    assert points[240 * 821 + 820].tolist() == [2, 0, 2]
    assert points[740 * 821 + 320].tolist() == [0, 2, 2]
    zeros = T.backproject_depth_to_points(np.zeros((3, 4), np.float32), [500.0, 500.0, 320.0, 240.0])
    assert zeros.shape == (12, 3) and not zeros.any()
    small = T.backproject_depth_to_points(np.ones((2, 3), np.float32), [1.0, 1.0, 0.0, 0.0])
    assert small[:, :2].tolist() == [[0, 0], [1, 0], [2, 0], [0, 1], [1, 1], [2, 1]]


@pytest.mark.parametrize("dtype", ["f4", "f2", "f8", "u2", "i4", "i8", "u8", "?", "u1"])
def test_bit_identical_to_numpy(dtype):
    rng = np.random.default_rng(7)
    for trial in range(4):
        h, w = rng.integers(1, 90, 2)
        depth = sample(dtype, (h, w), rng)
        if depth.dtype.kind == "f":
            depth[rng.random((h, w)) < 0.1] = 0
            depth[rng.random((h, w)) < 0.05] = np.nan
        K = [float(v) for v in rng.uniform(-1e3, 1e3, 4)]
        if trial == 3:
            K[0] = 0.0  # zero focal length: IEEE infinities and NaNs
        with np.errstate(all="ignore"):
            want = numpy_backproject(depth, K)
        same_bits(T.backproject_depth_to_points(depth, K), want)


def test_bit_identical_for_views_and_scalar_kinds():
    rng = np.random.default_rng(11)
    base = (rng.random((64, 48)) * 20 - 5).astype(np.float32)
    K = [525.123456789, 531.987654321, 319.5, 239.25]
    for view in (base.T, base[::-1, ::3], base[5:40:2, ::-2], np.asfortranarray(base)):
        same_bits(T.backproject_depth_to_points(view, K), numpy_backproject(view, K))
    for Kv in (np.array(K), np.array(K, np.float32), [np.float16(v) for v in K], (500, 500, 320, 240),
               [True, 2.5, False, 1]):
        same_bits(T.backproject_depth_to_points(base, Kv), numpy_backproject(base, list(Kv)))


def test_other_types_follow_the_numpy_expression():
    ints = np.arange(12, dtype=np.int32).reshape(3, 4)
    for depth, K in [(ints, [2, 3, 1, 1]), (ints.astype(">f8"), [2.0, 3.0, 1.0, 1.0]),
                     (ints.astype(np.complex64), [2.0, 3.0, 1.0, 1.0]),
                     (ints.astype(np.longdouble), [2.0, 3.0, 1.0, 1.0]),
                     (np.ma.masked_less(ints, 3), [2.0, 3.0, 1.0, 1.0])]:
        got = T.backproject_depth_to_points(depth, K)
        want = numpy_backproject(depth, K)
        assert type(got) is type(want) and got.dtype == want.dtype
        np.testing.assert_array_equal(got, want)


def test_intrinsics_and_shape_unpacking_errors():
    depth = np.ones((2, 2), np.float32)

    def python_message(values, n):
        try:
            if n == 4:
                fx, fy, cx, cy = values
            else:
                h, w = values
        except (TypeError, ValueError) as e:
            return type(e), str(e)

    for make in (lambda: [1.0, 2.0, 3.0], lambda: [1.0] * 5, tuple, lambda: 3.0, lambda: iter([1.0, 2.0])):
        kind, message = python_message(make(), 4)
        with pytest.raises(kind) as e:
            T.backproject_depth_to_points(depth, make())
        assert str(e.value) == message
    assert python_message([1.0] * 3, 4)[1] == "not enough values to unpack (expected 4, got 3)"
    for bad in (np.ones((2, 2, 3), np.float32), np.ones(4, np.float32), np.float32(1)):
        kind, message = python_message(bad.shape, 2)
        with pytest.raises(kind) as e:
            T.backproject_depth_to_points(bad, [1.0, 1.0, 0.0, 0.0])
        assert str(e.value) == message
    with pytest.raises(AttributeError):
        T.backproject_depth_to_points([[1.0, 2.0]], [1.0, 1.0, 0.0, 0.0])


def test_numpy_is_looked_up_in_the_module_namespace(monkeypatch):
    calls = []

    def meshgrid(*args, **kwargs):
        calls.append(len(args))
        return np.meshgrid(*args, **kwargs)

    proxy = types.SimpleNamespace(meshgrid=meshgrid, arange=np.arange, stack=np.stack)
    monkeypatch.setattr(T, "np", proxy)
    depth = np.ones((2, 3), np.float32)
    got = T.backproject_depth_to_points(depth, [1.0, 1.0, 0.0, 0.0])
    assert calls == [2]
    monkeypatch.undo()
    same_bits(got, numpy_backproject(depth, [1.0, 1.0, 0.0, 0.0]))
