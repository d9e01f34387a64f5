"""One grid over every native entry point: for plain inputs and genuine
collaborators the native path answers; a replaced function, a subclass, a
replaced module, an untested library version, big-endian, strided or
array-like input either still gives exactly the library's answer or is
handed to the collaborator itself, which then gets called."""
import contextlib
import io
import types

import numpy as np
import pytest
import trimesh

from python_calls import entered, expect_native
from quarnet.mesh_seg import Tessaron as T
from quarnet.testing.plain_pipeline import cloud, plain_backproject, plain_thin_and_clean, plain_view_points
from quarnet.testing.trimesh_reference import trimesh_cut, trimesh_face_ids


class Recorder:
    """Wraps a collaborator, counting calls and passing them through."""

    def __init__(self, fn):
        self.fn, self.calls = fn, 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        return self.fn(*args, **kwargs)


def proxy_module(module, **replaced):
    """A stand-in module: every attribute of `module`, some replaced."""
    proxy = types.ModuleType(module.__name__)
    proxy.__dict__.update({k: v for k, v in vars(module).items() if not k.startswith("__")})
    proxy.__dict__.update(replaced)
    return proxy


# The library functions as they were defined, before any test replaces them.
MESHGRID, NEARBY_FACES, SUBMESH = np.meshgrid, trimesh.proximity.nearby_faces, trimesh.util.submesh


class Cloud:
    def __init__(self, points):
        self.points = points


class SubTrimesh(trimesh.Trimesh):
    pass


# ---- the entry points: each runs one variant and returns (got, want, watched
# library function, recorder of a replaced collaborator or None) -------------

DEPTH = (np.random.default_rng(3).random((40, 30)) * 5).astype(np.float32)
K = [500.5, 501.25, 14.5, 19.75]


def backproject(variant, monkeypatch, tmp_path):
    depth, replaced = DEPTH, None
    if variant == "replaced function":
        replaced = Recorder(np.meshgrid)
        monkeypatch.setattr(np, "meshgrid", replaced)
    elif variant == "replaced module":
        replaced = Recorder(np.meshgrid)
        monkeypatch.setattr(T, "np", proxy_module(np, meshgrid=replaced))
    elif variant == "subclass":
        depth = np.ma.masked_less(DEPTH, 1.0)
    elif variant == "big-endian":
        depth = DEPTH.astype(">f4")
    elif variant == "strided":
        depth = DEPTH[::-2, ::3]
    elif variant == "array-like":
        depth = DEPTH.tolist()
    got = lambda: T.backproject_depth_to_points(depth, K)  # noqa: E731
    want = lambda: plain_backproject(depth, K)  # noqa: E731
    return got, want, MESHGRID, replaced


def extract(variant, monkeypatch, tmp_path):
    """The masked copy and the positive-depth filter inside the extraction."""
    import cv2

    mask = (np.arange(DEPTH.size).reshape(DEPTH.shape) % 3 != 0).astype(np.uint8) * 255
    depth = {"subclass": np.ma.masked_less(DEPTH, 1.0), "big-endian": DEPTH.astype(">f4"),
             "strided": np.repeat(DEPTH, 2, axis=1)[:, ::2], "array-like": DEPTH.tolist()}.get(variant, DEPTH)
    (tmp_path / "masks").mkdir()
    cv2.imwrite(str(tmp_path / "masks" / "1.png"), mask)
    monkeypatch.setattr(T, "load_depth", lambda path: depth)
    poses = {1: (np.array([0.5, -1.0, 2.0]), np.array([0.0, 0.0, 0.0, 1.0]))}

    def points(run):
        with contextlib.redirect_stderr(io.StringIO()):
            pcd, _ = run()
        return np.asarray(pcd.points).tobytes()

    def want():
        kept = plain_thin_and_clean(cloud(plain_view_points(depth, mask, K, poses[1])))[1]
        return np.asarray(kept.points).tobytes()

    got = lambda: points(lambda: T.extract_masked_pointclouds(str(tmp_path / "masks"), str(tmp_path), poses, K))  # noqa: E731
    return got, want, None, None


MESH = trimesh.creation.icosphere(subdivisions=3)
POINTS = np.vstack([MESH.sample(200, seed=2), np.random.default_rng(4).normal(0, 2, (100, 3))])
IDS = trimesh_face_ids(MESH, POINTS)


def search(variant, monkeypatch, tmp_path):
    mesh, points, replaced = MESH, POINTS, None
    pcd = cloud(POINTS)
    if variant == "replaced function":
        replaced = Recorder(trimesh.proximity.nearby_faces)
        monkeypatch.setattr(trimesh.proximity, "nearby_faces", replaced)
    elif variant == "replaced module":
        replaced = Recorder(trimesh.proximity.nearby_faces)
        monkeypatch.setattr(T, "trimesh", proxy_module(trimesh, proximity=types.SimpleNamespace(nearby_faces=replaced)))
    elif variant == "subclass":
        mesh = SubTrimesh(MESH.vertices, MESH.faces, process=False)
    elif variant == "untested version":
        monkeypatch.setattr(trimesh, "__version__", "9.0.0")
    elif variant == "big-endian":
        pcd = Cloud(points := POINTS.astype(">f8"))
    elif variant == "strided":
        pcd = Cloud(points := np.repeat(POINTS, 2, axis=0)[::2])
    elif variant == "array-like":
        pcd = Cloud(points := POINTS.tolist())
    got = lambda: T.find_nearby_faces(mesh, pcd)  # noqa: E731
    want = lambda: trimesh_face_ids(mesh, points)  # noqa: E731
    return got, want, NEARBY_FACES, replaced


def cut(variant, monkeypatch, tmp_path):
    mesh, ids, replaced = MESH, IDS, None
    if variant == "replaced function":
        replaced = Recorder(trimesh.Trimesh.submesh)
        monkeypatch.setattr(trimesh.Trimesh, "submesh", lambda self, *a, **k: replaced(self, *a, **k))
    elif variant == "replaced module":
        replaced = Recorder(np.setdiff1d)
        monkeypatch.setattr(T, "np", proxy_module(np, setdiff1d=replaced))
    elif variant == "subclass":
        mesh = SubTrimesh(MESH.vertices, MESH.faces, process=False)
    elif variant == "untested version":
        monkeypatch.setattr(trimesh, "__version__", "9.0.0")
    elif variant == "big-endian":
        ids = np.array(IDS, dtype=">i8")
    elif variant == "strided":
        ids = np.repeat(np.array(IDS), 2)[::2]
    elif variant == "array-like":
        ids = tuple(IDS)

    want = lambda: [m.export(file_type="ply") for m in trimesh_cut(mesh, IDS)]  # noqa: E731
    got = lambda: [m.export(file_type="ply") for m in T.save_nearby_faces_as_ply(mesh, ids)]  # noqa: E731
    return got, want, SUBMESH, replaced


ENTRIES = {"backproject_depth_to_points": backproject, "extract_masked_pointclouds": extract,
           "find_nearby_faces": search, "save_nearby_faces_as_ply": cut}
# Where each variant must be answered natively; everywhere else the library's
# own code (or the replaced collaborator) must run.
NATIVE = {
    "backproject_depth_to_points": {"plain", "strided"},
    "extract_masked_pointclouds": None,  # numpy's own operations there are not Python functions one can watch
    "find_nearby_faces": {"plain", "array-like"},
    "save_nearby_faces_as_ply": {"plain", "big-endian", "strided", "array-like"},
}
VARIANTS = ["plain", "replaced function", "replaced module", "subclass", "untested version", "big-endian", "strided",
            "array-like"]
DOUBLES = {"find_nearby_faces": "face search", "save_nearby_faces_as_ply": "cut"}  # the trimesh doubles' table rows
ARRAY_VARIANTS = ["plain", "subclass", "big-endian", "strided", "array-like"]
GRID = [(entry, variant) for entry in ENTRIES
        for variant in (VARIANTS if entry in ("find_nearby_faces", "save_nearby_faces_as_ply") else
                        ARRAY_VARIANTS if entry == "extract_masked_pointclouds" else
                        [v for v in VARIANTS if v != "untested version"])]


@pytest.mark.parametrize("entry, variant", GRID)
def test_native_path_or_the_collaborator(entry, variant, monkeypatch, tmp_path):
    got, want, library, replaced = ENTRIES[entry](variant, monkeypatch, tmp_path)
    with entered(*[library] if library else []) as seen, contextlib.redirect_stdout(io.StringIO()):
        try:
            result = got()
        except Exception as e:  # the library's own error, then
            result = e
    monkeypatch.undo()
    if isinstance(result, Exception):  # the plain code's own error, before any library call
        with pytest.raises(type(result), match=str(result)):
            want()
        return
    if isinstance(result, np.ndarray):
        expected = want()
        assert type(result) is type(expected) and result.dtype == expected.dtype
        assert result.tobytes() == expected.tobytes()
    else:
        assert result == want()
    if NATIVE[entry] is None:
        return
    if variant in NATIVE[entry]:
        if entry in DOUBLES:
            expect_native(DOUBLES[entry])
        assert seen == [] and replaced is None
    else:
        assert seen or replaced.calls > 0
