import os

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

from quarnet.scene import colmap_loader as cl
from colmap_scene import CAMERA_MODELS, camera, image


@pytest.fixture
def model():
    cameras = {c.id: c for c in [camera(3, "SIMPLE_PINHOLE", (400.0, 320.5, 240.25)),
                                 camera(1, "OPENCV", np.arange(8) * 0.5 + 1e-7)]}
    images = {i.id: i for i in [image(9, "0009.png", (0.5, 0.5, -0.5, 0.5), (1.0, -2.0, 3.0), 3, points=5),
                                image(2, "frames/2.jpg", camera_id=1, points=0),
                                image(5, "name with blanks.png", points=3)]}
    return cameras, images


def assert_same_records(a, b):
    assert list(a) == list(b)
    for key in a:
        for field, x, y in zip(a[key]._fields, a[key], b[key]):
            if isinstance(x, np.ndarray):
                assert x.dtype == np.asarray(y).dtype, field
                np.testing.assert_array_equal(x, y, err_msg=field)
            else:
                assert x == y, field


@pytest.mark.parametrize("kind, ext", [("binary", ".bin"), ("text", ".txt")])
def test_written_model_reads_back_identically_in_file_order(tmp_path, model, kind, ext):
    cameras, images = model
    getattr(cl, f"write_intrinsics_{kind}")(cameras, tmp_path / "cameras")
    getattr(cl, f"write_extrinsics_{kind}")(images, str(tmp_path / "images"))
    cams = getattr(cl, f"read_intrinsics_{kind}")(str(tmp_path / "cameras"))
    ims = getattr(cl, f"read_extrinsics_{kind}")(tmp_path / "images")
    assert_same_records(cams, cameras)
    assert_same_records(ims, images)
    # A model folder as a whole: the pair of one form, read back as SceneTessaron reads it.
    folder = tmp_path / "sparse"
    folder.mkdir()
    cl.write_model(cameras, images, str(folder), ext)
    assert sorted(os.listdir(folder)) == [f"cameras{ext}", f"images{ext}"]
    read = cl.read_model(str(folder))
    assert read.cameras_path == os.path.join(str(folder), f"cameras{ext}")
    assert_same_records(read.cameras, cameras)
    assert_same_records(read.images, images)
    with pytest.raises(ValueError, match=r"^ext must be '.bin' or '.txt', got 'bin'$"):
        cl.write_model(cameras, images, str(folder), "bin")
    assert list(ims) == [9, 2, 5]
    assert ims[9].xys.shape == (5, 2) and ims[2].xys.shape == (0, 2)
    assert ims[9].point3D_ids.dtype == np.int64 and ims[9].qvec.dtype == np.float64
    assert type(ims[9]) is cl.Image and type(cams[3]) is cl.Camera
    assert cams[3].params.tolist() == [400.0, 320.5, 240.25]


MODELS = list(CAMERA_MODELS)
COUNTS = [count for count, _, _ in CAMERA_MODELS.values()]


def test_every_camera_model_in_both_formats(tmp_path):
    cameras = {k + 1: camera(k + 1, name, np.arange(count) + 0.5) for k, (name, count) in enumerate(zip(MODELS, COUNTS))}
    for kind in ("binary", "text"):  # under a path that is not UTF-8
        path = tmp_path / os.fsdecode(b"\xff" + kind.encode())
        getattr(cl, f"write_intrinsics_{kind}")(cameras, path)
        assert_same_records(getattr(cl, f"read_intrinsics_{kind}")(path), cameras)
        os.replace(path, tmp_path / kind)
    data = (tmp_path / "binary").read_bytes()
    ids, at = [], 8
    for count in COUNTS:  # u32 id, i32 model id, u64 width, u64 height, f64 params[count]
        ids.append(int.from_bytes(data[at + 4:at + 8], "little"))
        at += 24 + 8 * count
    assert ids == list(range(18)) and at == len(data)
    with pytest.raises(ValueError, match="model SIMPLE_DIVISION takes 4 parameters, got 3"):
        cl.write_intrinsics_binary({1: camera(1, "SIMPLE_DIVISION", (1, 2, 3))}, tmp_path / "binary")
    (tmp_path / "binary").write_bytes(data[:12] + (18).to_bytes(4, "little") + data[16:])
    with pytest.raises(ValueError, match="unknown camera model id 18"):
        cl.read_intrinsics_binary(tmp_path / "binary")


def test_records_are_immutable_named_records(model):
    _, images = model
    rec = images[9]
    assert rec._fields == ("id", "qvec", "tvec", "camera_id", "name", "xys", "point3D_ids")
    assert cl.Camera._fields == ("id", "model", "width", "height", "params")
    with pytest.raises(AttributeError):
        rec.name = "x"


@pytest.mark.parametrize("reader", ["read_intrinsics_binary", "read_extrinsics_binary",
                                    "read_intrinsics_text", "read_extrinsics_text"])
def test_missing_file_raises_file_not_found_with_its_name(tmp_path, reader):
    path = str(tmp_path / "nothing.bin")
    with pytest.raises(FileNotFoundError) as info:
        getattr(cl, reader)(path)
    assert info.value.filename == path
    assert str(info.value) == f"[Errno 2] No such file or directory: '{path}'"


def test_a_truncated_binary_file_is_a_value_error_naming_the_file(tmp_path, model):
    """Every truncation is tested with the core readers."""
    cameras, images = model
    cl.write_extrinsics_binary(images, tmp_path / "images.bin")
    cl.write_intrinsics_binary(cameras, tmp_path / "cameras.bin")
    for name, reader in [("images.bin", cl.read_extrinsics_binary), ("cameras.bin", cl.read_intrinsics_binary)]:
        data = (tmp_path / name).read_bytes()
        cut = tmp_path / ("cut-" + name)
        for n in (0, len(data) // 2, len(data) - 1):
            cut.write_bytes(data[:n])
            with pytest.raises(ValueError, match="truncated") as info:
                reader(str(cut))
            assert str(info.value).startswith(f"{cut}: ")


def test_counts_are_checked_against_the_bytes_present(tmp_path):
    path = tmp_path / "images.bin"
    path.write_bytes((2**62).to_bytes(8, "little"))
    with pytest.raises(ValueError, match=r"truncated: image records needs 4611686018427387904 x 73 bytes"):
        cl.read_extrinsics_binary(path)
    path.write_bytes((1).to_bytes(8, "little") + (1).to_bytes(4, "little") + (99).to_bytes(4, "little") + bytes(40))
    with pytest.raises(ValueError, match="unknown camera model id 99"):
        cl.read_intrinsics_binary(path)


def test_corrupt_text_names_file_and_line(tmp_path):
    path = tmp_path / "images.txt"
    path.write_text("# header\n1 1 0 0 0 0 0 0 1 a.png\n1.0 2.0\n")
    with pytest.raises(ValueError) as info:
        cl.read_extrinsics_text(str(path))
    assert str(info.value) == f"{path}: line 3: incomplete point (x, y, point3D id expected)"
    path.write_bytes(b"1 1 0 0 0 0 0 0 1 \xff.png\n\n")
    with pytest.raises(ValueError, match="image name is not valid UTF-8"):
        cl.read_extrinsics_text(path)


def test_text_reader_keeps_any_parameter_count(tmp_path):
    path = tmp_path / "cameras.txt"
    path.write_text("# list\n4 CUSTOM 10 20 1.5 2\n")
    cams = cl.read_intrinsics_text(path)
    assert cams[4].model == "CUSTOM" and cams[4].params.tolist() == [1.5, 2.0]
    with pytest.raises(ValueError, match="unknown camera model 'CUSTOM'"):
        cl.write_intrinsics_binary(cams, tmp_path / "cameras.bin")
    assert not (tmp_path / "cameras.bin").exists()


def test_writers_reject_inconsistent_records_and_keep_the_old_file(tmp_path, model):
    _, images = model
    path = tmp_path / "images.bin"
    cl.write_extrinsics_binary(images, path)
    before = path.read_bytes()
    bad = {1: image(1, "a.png")._replace(point3D_ids=np.array([1, 2]))}
    with pytest.raises(ValueError, match="image 1: 0 xys but 2 point3D_ids"):
        cl.write_extrinsics_binary(bad, path)
    with pytest.raises(ValueError, match="cannot be written as text"):
        cl.write_extrinsics_text({1: image(1, "two\nlines.png")}, tmp_path / "images.txt")
    with pytest.raises(FileNotFoundError):
        cl.write_extrinsics_binary(images, tmp_path / "missing-dir" / "images.bin")
    assert path.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["images.bin"]


@pytest.mark.parametrize("writer, record, error, message", [
    ("write_intrinsics_binary", camera(width=-5), ValueError,
     "camera record 0 (id 1): width -5 is out of range (0 to 18446744073709551615)"),
    ("write_intrinsics_text", camera(height=2**64), ValueError,
     "camera record 0 (id 1): height 18446744073709551616 is out of range (0 to 18446744073709551615)"),
    ("write_intrinsics_text", camera(cam_id=2**70), ValueError,
     "camera record 0: id 1180591620717411303424 is out of range (-9223372036854775808 to 9223372036854775807)"),
    ("write_intrinsics_binary", camera(cam_id=2**40), ValueError,
     "camera id 1099511627776 does not fit the binary format (0 to 4294967295)"),
    ("write_extrinsics_binary", image(2**70, "a.png"), ValueError,
     "image record 0: id 1180591620717411303424 is out of range (-9223372036854775808 to 9223372036854775807)"),
    ("write_extrinsics_text", image(1, "a.png", camera_id=-2**70), ValueError,
     "image record 0 (id 1): camera_id -1180591620717411303424 is out of range"),
    ("write_extrinsics_text", image(1, os.fsdecode(b"\xff.png")), ValueError,
     "image record 0 (id 1): name is not valid UTF-8 text"),
    ("write_intrinsics_binary", camera(width=640.0), TypeError, "'float' object cannot be interpreted as an integer"),
])
def test_writers_name_the_field_out_of_range(tmp_path, writer, record, error, message):
    path = tmp_path / "model"
    path.write_bytes(b"before")
    with pytest.raises(error) as info:
        getattr(cl, writer)({1: record}, path)
    assert str(info.value).startswith(message)
    assert path.read_bytes() == b"before" and os.listdir(tmp_path) == ["model"]


def test_quaternion_conversions_agree_with_scipy():
    for q_xyzw in Rotation.random(50, random_state=1).as_quat():
        qvec = np.roll(q_xyzw, 1)  # w, x, y, z
        rot = cl.qvec2rotmat(list(qvec))
        np.testing.assert_allclose(rot, Rotation.from_quat(q_xyzw).as_matrix(), atol=1e-12)
        back = cl.rotmat2qvec(rot.T)  # a transposed (non-contiguous) view
        assert back.dtype == np.float64 and back.shape == (4,) and back[0] >= 0
        np.testing.assert_allclose(Rotation.from_quat(np.roll(back, -1)).as_matrix(), rot.T, atol=1e-12)
    np.testing.assert_array_equal(cl.rotmat2qvec(np.eye(3)), [1.0, 0.0, 0.0, 0.0])
    with pytest.raises(ValueError, match="qvec must hold 4 numbers"):
        cl.qvec2rotmat([1.0, 0.0, 0.0])
    with pytest.raises(ValueError, match=r"rotation matrix must be 3x3, got shape \(2, 2\)"):
        cl.rotmat2qvec(np.eye(2))
