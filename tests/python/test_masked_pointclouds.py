"""extract_masked_pointclouds: masks and depth maps to one object's world-space cloud."""
import os
import types
from collections.abc import Mapping

import cv2
import numpy as np
import open3d as o3d
import pytest
from scipy.spatial.transform import Rotation
from tqdm import tqdm

from quarnet import _scene_rules
from quarnet.mesh_seg import Tessaron as T
from quarnet.testing.plain_pipeline import plain_merged_cloud, plain_thin_and_clean
from terminal import escaped_stdout

IDENTITY = (np.zeros(3), np.array([0.0, 0.0, 0.0, 1.0]))


class Poses(Mapping):
    """A read-only pose table that records its look-ups."""

    def __init__(self, table):
        self.table, self.looked_up = dict(table), []

    def __getitem__(self, key):
        self.looked_up.append(key)
        if key not in self.table:
            raise KeyError(f"no pose for image {key}")
        return self.table[key]

    def __iter__(self):
        return iter(self.table)

    def __len__(self):
        return len(self.table)


@pytest.fixture
def folders(tmp_path):
    masks, depths = tmp_path / "object", tmp_path / "depths"
    masks.mkdir()
    depths.mkdir()
    return masks, depths


def write_view(folders, mask_name, mask, depth):
    masks, depths = folders
    assert cv2.imwrite(str(masks / mask_name), mask)
    if depth is not None:
        np.save(_scene_rules.depth_file(str(depths), _scene_rules.image_id(mask_name)), depth)


@pytest.fixture
def spy(monkeypatch):
    """Records the collaborators' calls, passing each on to the real one."""
    log = types.SimpleNamespace(depth_paths=[], masked=[], world=[], tqdm=[])
    real_load, real_backproject = T.load_depth, T.backproject_depth_to_points

    def load_depth(path):
        log.depth_paths.append(path)
        return real_load(path)

    def backproject(depth, K):
        log.masked.append(depth)
        return real_backproject(depth, K)

    def vector(points):
        log.world.append(np.array(points))
        return o3d.utility.Vector3dVector(points)

    def progress(items, **kwargs):
        log.tqdm.append((list(items), kwargs))
        return tqdm(items, **kwargs)

    monkeypatch.setattr(T, "load_depth", load_depth)
    monkeypatch.setattr(T, "backproject_depth_to_points", backproject)
    monkeypatch.setattr(T, "o3d", types.SimpleNamespace(geometry=o3d.geometry,
                                                        utility=types.SimpleNamespace(Vector3dVector=vector)))
    monkeypatch.setattr(T, "tqdm", progress)
    return log


def run(folders, poses, K, capsys):
    result = T.extract_masked_pointclouds(str(folders[0]), str(folders[1]), poses, K)
    return result, capsys.readouterr()


def test_no_readable_mask_gives_none(folders, spy, capsys):
    result, out = run(folders, {}, [1.0, 1.0, 0.0, 0.0], capsys)
    assert result == (None, None)
    assert out.out == "No masked points found.\n"
    assert "Processing masks " in out.err
    assert spy.tqdm == [([], {"desc": "Processing masks "})]

    # Entries that are not images are skipped before their names are parsed.
    (folders[0] / "notes.txt").write_text("not a mask")
    (folders[0] / "not_an_image.png").write_bytes(b"\x89PNG broken")
    (folders[0] / "sub.png").mkdir()
    result, out = run(folders, {}, [1.0, 1.0, 0.0, 0.0], capsys)
    assert result == (None, None) and out.out == "No masked points found.\n"
    assert spy.tqdm[-1][0] == ["not_an_image.png", "notes.txt", "sub.png"]
    assert spy.depth_paths == []


def test_names_order_and_leading_zeros(folders, spy, capsys):
    mask = np.full((4, 5), 255, np.uint8)
    for name in ["10.png", "2.png", "9.png", "0007.png"]:
        write_view(folders, name, mask, np.ones((4, 5), np.float32))
    poses = Poses({i: IDENTITY for i in (2, 7, 9, 10)})
    run(folders, poses, [1.0, 1.0, 0.0, 0.0], capsys)
    assert poses.looked_up == [7, 10, 2, 9]
    assert spy.depth_paths == [str(folders[1] / f"{i}.npy") for i in (7, 10, 2, 9)]
    assert spy.tqdm[0][0] == ["0007.png", "10.png", "2.png", "9.png"]


def test_mask_values_and_invalid_depths(folders, spy, capsys):
    rng = np.random.default_rng(3)
    mask = rng.choice(np.array([0, 1, 255, 37], np.uint8), (30, 40))
    depth = rng.uniform(0.5, 3.0, (30, 40)).astype(np.float32)
    depth[rng.random((30, 40)) < 0.1] = 0
    depth[rng.random((30, 40)) < 0.1] = -1
    depth[rng.random((30, 40)) < 0.1] = np.nan
    depth[rng.random((30, 40)) < 0.1] = np.inf
    write_view(folders, "5.png", mask, depth)
    K = [40.0, 41.0, 19.5, 15.0]
    run(folders, {5: IDENTITY}, K, capsys)

    want_masked = depth.copy()
    want_masked[mask == 0] = 0
    (masked,) = spy.masked
    assert masked.dtype == np.float32
    np.testing.assert_array_equal(masked.view(np.uint32), want_masked.view(np.uint32))
    points = T.backproject_depth_to_points(want_masked, K)
    keep = (points[:, 2] > 0) & np.isfinite(points[:, 2])
    assert keep.sum() == ((mask != 0) & (depth > 0) & (depth < np.inf)).sum() > 0
    np.testing.assert_array_equal(spy.world[0], points[keep])


def test_pose_examples(folders, spy, capsys):
    K = [2.0, 2.0, 0.0, 0.0]
    depth = np.full((1, 2), 2.0, np.float32)
    write_view(folders, "1.png", np.array([[255, 0]], np.uint8), depth)  # camera point (0, 0, 2)
    write_view(folders, "2.png", np.array([[0, 1]], np.uint8), depth)  # camera point (1, 0, 2)
    poses = {1: (np.array([1.0, 2.0, 3.0]), np.array([0.0, 0.0, 0.0, 1.0])),
             2: (np.zeros(3), np.array([0.0, 0.0, 0.7071068, 0.7071068]))}
    run(folders, poses, K, capsys)
    assert spy.world[0].tolist() == [[1.0, 2.0, 5.0]]
    np.testing.assert_allclose(spy.world[1], [[0.0, 1.0, 2.0]], atol=1e-12)


def test_outlier_removal_that_keeps_nothing(folders, capsys):
    mask = np.zeros((10, 10), np.uint8)
    mask[2, 3] = mask[8, 8] = 255
    write_view(folders, "3.png", mask, np.ones((10, 10), np.float32))
    (cloud, box), out = run(folders, {3: IDENTITY}, [10.0, 10.0, 5.0, 5.0], capsys)
    # Open3D adds its own warning about the empty box after the two lines.
    assert out.out.startswith("\n原始点云点数: 2\n滤波后点数: 0\n")
    assert isinstance(cloud, o3d.geometry.PointCloud) and len(cloud.points) == 0
    assert isinstance(box, o3d.geometry.AxisAlignedBoundingBox)


def test_matches_the_plain_pipeline(folders, capsys):
    h, w = 120, 160
    v, u = np.mgrid[0:h, 0:w]
    K = [150.0, 150.0, 79.5, 59.5]
    poses = {}
    for view in range(3):
        depth = (1.0 + 0.3 * np.exp(-((u - 80.0) ** 2 + (v - 60.0) ** 2) / 800.0)).astype(np.float64)
        mask = np.where((u - 80) ** 2 + (v - 60) ** 2 < (40 + 5 * view) ** 2, 200, 0).astype(np.uint8)
        write_view(folders, f"{view:03d}.png", mask, depth)
        poses[view] = (np.array([0.1 * view, 0.0, 0.2]), Rotation.from_euler("y", 10 * view, degrees=True).as_quat())
    (cloud, box), out = run(folders, poses, K, capsys)
    thinned, cleaned = plain_thin_and_clean(plain_merged_cloud(*folders, poses, K))
    assert out.out == f"\n原始点云点数: {len(thinned.points)}\n滤波后点数: {len(cleaned.points)}\n"
    assert 100 < len(cloud.points) < len(thinned.points)
    np.testing.assert_array_equal(np.asarray(cloud.points), np.asarray(cleaned.points))
    assert (np.asarray(cloud.colors) == [1.0, 0.0, 0.0]).all() and len(cloud.colors) == len(cloud.points)
    expected = cleaned.get_axis_aligned_bounding_box()
    np.testing.assert_array_equal(box.min_bound, expected.min_bound)
    np.testing.assert_array_equal(box.max_bound, expected.max_bound)


def test_failures_propagate(folders, capsys):
    mask = np.full((4, 6), 255, np.uint8)
    K = [1.0, 1.0, 0.0, 0.0]
    write_view(folders, "mask_3.png", mask, None)
    with pytest.raises(ValueError, match=r"invalid literal for int\(\) with base 10: 'mask_3'"):
        run(folders, {}, K, capsys)
    (folders[0] / "mask_3.png").unlink()

    write_view(folders, "4.png", mask, None)
    with pytest.raises(FileNotFoundError) as e:
        run(folders, {4: IDENTITY}, K, capsys)
    assert e.value.filename == str(folders[1] / "4.npy")

    np.save(folders[1] / "4.npy", np.ones((6, 4), np.float32))
    with pytest.raises(IndexError) as e:
        run(folders, {4: IDENTITY}, K, capsys)
    assert str(e.value) == (f"mask and depth map differ in size: mask {folders[0] / '4.png'} has shape (4, 6), "
                            f"depth map {folders[1] / '4.npy'} has shape (6, 4)")

    np.save(folders[1] / "4.npy", np.ones((4, 6), np.float32))
    with pytest.raises(KeyError) as e:
        run(folders, Poses({}), K, capsys)
    assert e.value.args == ("no pose for image 4",)
    with pytest.raises(KeyError) as e:
        run(folders, {5: IDENTITY}, K, capsys)
    assert e.value.args == (4,)


def test_replaced_collaborators_keep_numpy_semantics(folders, monkeypatch, capsys):
    """Arrays from replaced collaborators are masked and filtered as numpy would."""
    mask = np.array([[0, 9, 9], [9, 0, 9]], np.uint8)
    write_view(folders, "1.png", mask, np.ones((2, 3), np.float32))
    depth = np.array([[1.5, -2.0, 3.0], [4.0, 5.0, np.nan]])[:, ::-1]  # float64, a reversed view
    masked, applied = [], []

    def backproject(d, K):
        masked.append(d)
        # float32, four columns, column-major
        return np.asfortranarray(np.array([[1, 2, 3, 0], [4, 5, -1, 0], [7, 8, 0.5, 1], [1, 1, np.nan, 1],
                                           [2, 2, np.inf, 1]], np.float32))

    class Rot:
        @staticmethod
        def from_quat(q):
            return types.SimpleNamespace(apply=lambda p: applied.append(p) or p[:, :3].astype(np.float64))

    monkeypatch.setattr(T, "load_depth", lambda path: depth)
    monkeypatch.setattr(T, "backproject_depth_to_points", backproject)
    monkeypatch.setattr(T, "R", Rot)
    run(folders, {1: IDENTITY}, [1.0, 1.0, 0.0, 0.0], capsys)

    want = depth.copy()
    want[mask == 0] = 0
    assert masked[0].dtype == np.float64
    np.testing.assert_array_equal(masked[0], want)
    points = backproject(None, None)
    np.testing.assert_array_equal(applied[0], points[[0, 2]])  # z > 0 and finite
    assert applied[0].dtype == np.float32


# ---- mask files: names that are not UTF-8, bit depths ----------------------

def surrogate(name):
    """The str os.listdir gives for a file-system name that is not UTF-8."""
    return os.fsdecode(name)


@pytest.fixture
def decoded(monkeypatch):
    """cv2 in the module namespace, recording every mask it hands back."""
    masks = []

    def recorded(read):
        return lambda *args: masks.append(read(*args)) or masks[-1]

    monkeypatch.setattr(T, "cv2", types.SimpleNamespace(IMREAD_GRAYSCALE=cv2.IMREAD_GRAYSCALE,
                                                        imread=recorded(cv2.imread), imdecode=recorded(cv2.imdecode)))
    return masks


@pytest.mark.parametrize("ext", [".png", ".bmp", ".jpg", ".tiff"])
def test_names_that_are_not_utf8_read_the_same_pixels(tmp_path, capsys, decoded, ext):
    """OpenCV crashes on such a name: the mask is decoded from its bytes, to the pixels imread gives."""
    rng = np.random.default_rng(1)
    mask = rng.choice(np.array([0, 0, 3, 255], np.uint8), (24, 32))
    depths = tmp_path / "depths"
    depths.mkdir()
    np.save(depths / "1.npy", rng.uniform(1, 2, (24, 32)).astype(np.float32))
    results = {}
    for folder, name in [("plain", "1" + ext), (surrogate(b"obj\xff"), "1" + ext), ("plain2", surrogate(b"1.\xfe") + ext[1:])]:
        os.makedirs(tmp_path / folder)
        assert cv2.imwrite(str(tmp_path / "plain" / ("w" + ext)), mask)
        os.replace(tmp_path / "plain" / ("w" + ext), tmp_path / folder / name)
        (cloud, _), out = run((tmp_path / folder, depths), {1: IDENTITY}, [30.0, 30.0, 16.0, 12.0], capsys)
        results[folder] = np.asarray(cloud.points)
        assert "[Warning]" not in out.out
    plain, *others = decoded
    assert plain.dtype == np.uint8 and plain.shape == (24, 32)
    for other in others:
        np.testing.assert_array_equal(other, plain)
    for points in results.values():
        np.testing.assert_array_equal(points, results["plain"])

    # An entry of such a name that is no image, or no regular file, is skipped like any unreadable entry.
    folder = tmp_path / surrogate(b"junk\xff")
    (folder / surrogate(b"2\xff.png")).mkdir(parents=True)
    (folder / surrogate(b"3\xff.png")).write_bytes(b"no image")
    (folder / surrogate(b"4\xff.png")).write_bytes(b"")
    os.symlink("/dev/zero", folder / surrogate(b"5\xff.png"))
    assert run((folder, depths), {}, [1.0, 1.0, 0.0, 0.0], capsys)[0] == (None, None)


@pytest.mark.parametrize("name", ["1.png", surrogate(b"1.\xffpng")])
def test_masks_of_more_than_8_bits_are_named_in_a_warning(folders, capsys, monkeypatch, name):
    """IMREAD_GRAYSCALE scales 16-bit values down, so labels below 256 vanish."""
    stdout = escaped_stdout(monkeypatch)
    masks, depths = folders
    np.save(depths / "1.npy", np.ones((6, 8), np.float32))
    wide = np.zeros((6, 8), np.uint16)
    wide[1:5, 2:6] = 7
    assert cv2.imwrite(str(masks / "w.png"), wide)
    os.replace(masks / "w.png", masks / name)
    path = os.path.join(str(masks), name)
    run(folders, {1: IDENTITY}, [1.0, 1.0, 0.0, 0.0], capsys)
    assert stdout().splitlines() == [
        f"[Warning] mask {path} is a 16-bit image: it is read as 8-bit grey, so values below 256 become background "
        "(masks must be 8-bit)",
        "No masked points found."]
    for depth in (np.uint8, np.bool_):  # 8-bit and 1-bit PNGs keep their labels: no warning
        assert cv2.imwrite(str(masks / "w.png"), (wide > 0).astype(depth) * (255 if depth == np.uint8 else 1))
        os.replace(masks / "w.png", masks / name)
        run(folders, {1: IDENTITY}, [1.0, 1.0, 0.0, 0.0], capsys)
    assert stdout().count("[Warning]") == 1
