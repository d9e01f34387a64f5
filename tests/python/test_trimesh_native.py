"""The native face search and cut against trimesh and rtree themselves: for
genuine collaborators at proven versions the native path runs (trimesh's
Python code is never entered) and its results equal trimesh's element for
element, mesh for mesh, byte for byte once exported; the face search's R-tree
holds its boxes in libspatialindex's order and answers every query as rtree's
does, on meshes full of ties."""
import contextlib
import io

import numpy as np
import pytest
import trimesh

from python_calls import entered, expect_native
from quarnet.mesh_seg import Tessaron, _box_tree
from quarnet.testing.plain_pipeline import cloud
from quarnet.testing.trimesh_reference import trimesh_cut, trimesh_face_ids

RNG = np.random.default_rng(7)


def quiet(fn, *args, **kwargs):
    with contextlib.redirect_stdout(io.StringIO()):
        return fn(*args, **kwargs)


# ---- meshes ------------------------------------------------------------------


def sphere():
    return trimesh.creation.icosphere(subdivisions=3)


def soup():
    tris = RNG.uniform(-1, 1, (400, 1, 3)) + RNG.normal(0, 0.1, (400, 3, 3))
    return trimesh.Trimesh(tris.reshape(-1, 3), np.arange(1200).reshape(-1, 3), process=False)


def awkward():
    """Degenerate and zero-area faces, duplicated and unreferenced vertices."""
    base = trimesh.creation.box()
    v = np.vstack([base.vertices, base.vertices[:4], RNG.uniform(5, 6, (5, 3))])  # copies, then unused
    f = np.vstack([base.faces, [[0, 0, 1], [0, 1, 1], [2, 2, 2]],  # repeated corners
                   [[0, 8, 1], [9, 10, 11]],                         # on duplicated vertices
                   [[0, 1, 0]]])
    mid = (v[0] + v[1]) / 2  # a collinear, zero-area face
    v = np.vstack([v, mid])
    f = np.vstack([f, [[0, 1, len(v) - 1]]])
    return trimesh.Trimesh(v, f, process=False)


def single_face():
    return trimesh.Trimesh([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]], process=False)


def vertex_coloured():
    m = sphere()
    m.visual.vertex_colors = RNG.integers(0, 256, (len(m.vertices), 4), dtype=np.uint8)
    return m


def face_coloured():
    m = sphere()
    m.visual.face_colors = RNG.integers(0, 256, (len(m.faces), 4), dtype=np.uint8)
    return m


def textured():
    m = sphere()
    m.visual = trimesh.visual.TextureVisuals(uv=RNG.uniform(0, 1, (len(m.vertices), 2)))
    return m


def flat_grid(n=60, order=None):
    """n x n unit squares in the plane z = 0, two triangles each: boxes of
    equal size on a lattice, so nearly every sort key ties."""
    x, y = np.meshgrid(np.arange(n + 1.0), np.arange(n + 1.0))
    v = np.column_stack([x.ravel(), y.ravel(), np.zeros(x.size)])
    a = (np.arange(n)[None, :] + (n + 1) * np.arange(n)[:, None]).ravel()
    f = np.vstack([np.column_stack([a, a + 1, a + n + 2]), np.column_stack([a, a + n + 2, a + n + 1])])
    return trimesh.Trimesh(v, f if order is None else f[order], process=False)


def shuffled_grid():
    return flat_grid(order=np.random.default_rng(3).permutation(2 * 60 * 60))


def duplicate_faces():
    """Every face of a grid twice, the copies with their corners rolled."""
    grid = flat_grid(40)
    return trimesh.Trimesh(grid.vertices, np.vstack([grid.faces, np.roll(grid.faces, 1, axis=1)]), process=False)


def shared_centres():
    """Cylinders on one axis: faces around the axis share their centres."""
    parts = [trimesh.creation.cylinder(radius=r, height=h, sections=s)
             for r, h, s in ((1, 2, 32), (1, 2, 32), (2, 2, 64), (0.5, 4, 16))]
    return trimesh.util.concatenate(parts)


def loaded_ply():
    """Read back from PLY: its metadata holds the file's raw element data."""
    return trimesh.load(io.BytesIO(vertex_coloured().export(file_type="ply")), file_type="ply")


MESHES = [sphere, trimesh.creation.box, soup, awkward, single_face, vertex_coloured, face_coloured, textured,
          flat_grid, shuffled_grid, duplicate_faces, shared_centres, loaded_ply]


def query_points(mesh):
    """On the surface, near it, far from it, and exactly on vertices."""
    on = mesh.sample(300, seed=1) if mesh.area > 0 else mesh.vertices[mesh.faces[:1, 0]]
    near = on + RNG.normal(0, 0.02, on.shape)
    far = RNG.normal(0, 1, (50, 3)) * 40
    return np.vstack([on, near, far, mesh.vertices[mesh.referenced_vertices]])


def assert_same_data(ours, theirs):
    """Equal containers of equal types, arrays of equal dtype, shape and bytes."""
    assert type(ours) is type(theirs)
    if isinstance(theirs, dict):
        assert list(ours) == list(theirs)
        for key in theirs:
            assert_same_data(ours[key], theirs[key])
    elif isinstance(theirs, (list, tuple)):
        assert len(ours) == len(theirs)
        for a, b in zip(ours, theirs):
            assert_same_data(a, b)
    elif isinstance(theirs, np.ndarray):
        assert ours.dtype == theirs.dtype and ours.shape == theirs.shape and ours.tobytes() == theirs.tobytes()
        assert ours.flags.c_contiguous == theirs.flags.c_contiguous and ours.flags.writeable == theirs.flags.writeable
    else:
        assert ours == theirs


def assert_same_mesh(ours, theirs):
    if theirs is None:
        assert ours is None
        return
    assert type(ours) is type(theirs)
    for name in ("vertices", "faces", "face_normals"):
        a, b = getattr(ours, name), getattr(theirs, name)
        assert a.dtype == b.dtype and np.array_equal(a, b), name
    assert type(ours.visual) is type(theirs.visual) and ours.visual.kind == theirs.visual.kind
    if isinstance(theirs.visual, trimesh.visual.ColorVisuals) and theirs.visual.kind:
        assert np.array_equal(ours.visual.vertex_colors, theirs.visual.vertex_colors)
        assert np.array_equal(ours.visual.face_colors, theirs.visual.face_colors)
    if isinstance(theirs.visual, trimesh.visual.TextureVisuals):
        assert np.array_equal(ours.visual.uv, theirs.visual.uv)
    assert_same_data(ours.metadata, theirs.metadata)
    assert ours.export(file_type="ply") == theirs.export(file_type="ply")


def rtree_answers(index, query_lo, query_hi):
    """(ids, counts) of an rtree index, box by box where it has no batch query."""
    if hasattr(index, "intersection_v"):
        return index.intersection_v(query_lo, query_hi)
    groups = [list(index.intersection(np.concatenate(box))) for box in zip(query_lo, query_hi)]
    return np.array([i for g in groups for i in g], dtype=np.int64), np.array([len(g) for g in groups])


def assert_tree_equals_rtree(mesh, points):
    """The face search's R-tree against rtree's (trimesh's triangles_tree):
    the whole-space query lists every box in the leaves' order; then boxes
    of all sizes around the points."""
    triangles = mesh.triangles
    lo, hi = triangles.min(axis=1), triangles.max(axis=1)
    radius = RNG.uniform(0, 2, (len(points), 1)) * RNG.integers(0, 2, (len(points), 1))
    query_lo = np.vstack([[-1e300] * 3, points - radius])
    query_hi = np.vstack([[1e300] * 3, points + radius])
    ids, counts = _box_tree.intersecting(lo, hi, query_lo, query_hi, threads=2)
    want_ids, want_counts = rtree_answers(mesh.triangles_tree, query_lo, query_hi)
    assert counts[0] == len(mesh.faces)
    assert np.array_equal(counts, want_counts) and np.array_equal(ids, want_ids)
    heads, head_counts = _box_tree.intersecting(lo, hi, query_lo, query_hi, 20)
    assert np.array_equal(head_counts, np.minimum(counts, 20))
    assert np.array_equal(heads, np.concatenate([g[:20] for g in np.split(ids, np.cumsum(counts)[:-1])]))


def test_nearest_vertex_distances_equal_scipys_bit_for_bit():
    """Lattices and grids (queries equally near several vertices), random
    clouds, a plane, far queries, queries on the vertices themselves."""
    from scipy.spatial import cKDTree

    expect_native("face search")
    lattice = np.stack(np.meshgrid(*[np.arange(-5, 6) * 0.1] * 3), -1).reshape(-1, 3)
    sets = [lattice, flat_grid(30).vertices, RNG.normal(0, 1, (5000, 3)), np.array([[0.5, -1.0, 2.0]]),
            sphere().vertices]
    for points in sets:
        queries = np.vstack([points[::7] + 0.05, points[::5] + RNG.normal(0, 0.1, points[::5].shape), points[::3],
                             RNG.normal(0, 1, (200, 3)) * 1e3, (points[:-1:4] + points[1::4]) / 2])
        want = cKDTree(points).query(queries)[0]
        assert _box_tree.nearest(points, queries).tobytes() == want.tobytes()
    for query in ([np.nan, 0, 0], [0, -np.inf, 0]):  # refused, as the k-d tree refuses it (it looped forever)
        with pytest.raises(ValueError, match="must be finite"):
            cKDTree(points).query([query])
        with pytest.raises(ValueError, match="not finite"):
            _box_tree.nearest(points, np.array([query]))


def test_tree_shape_is_rtrees():
    properties = __import__("rtree").index.Property(dimension=3)
    assert _box_tree.SHAPE == {name: getattr(properties, name)
                               for name in ("dimension", "leaf_capacity", "index_capacity", "fill_factor")}


@pytest.mark.parametrize("make", MESHES, ids=lambda m: m.__name__)
def test_native_search_and_cut_equal_trimesh(make):
    expect_native("face search")
    expect_native("cut")
    mesh = make()
    points = query_points(mesh)
    with entered(trimesh.proximity.nearby_faces, trimesh.util.submesh) as seen:
        ids = quiet(Tessaron.find_nearby_faces, mesh, cloud(points), batch_size=257)
        sub, rest = quiet(Tessaron.save_nearby_faces_as_ply, mesh, ids)
        whole, nothing = quiet(Tessaron.save_nearby_faces_as_ply, mesh, list(range(len(mesh.faces))))
    assert seen == []  # the native paths answered

    assert ids == trimesh_face_ids(mesh, points, 257)
    for ours, theirs in zip((sub, rest), trimesh_cut(mesh, ids)):
        assert_same_mesh(ours, theirs)
    assert_same_mesh(whole, mesh.submesh([np.arange(len(mesh.faces))], only_watertight=False)[0])
    assert nothing is None
    assert_tree_equals_rtree(mesh, points)
    fresh = mesh.copy()  # no cache: the cut builds no whole-mesh triangles, cross products or normals into it
    quiet(Tessaron.save_nearby_faces_as_ply, fresh, ids)
    assert not {"triangles", "triangles_cross", "face_normals"} & set(fresh._cache.cache)


def edge_values():
    """Values float32 rounds, flushes to zero or keeps at its largest."""
    return trimesh.Trimesh([[1 / 3, -2.5e-46, 3.4e38], [np.pi, 1e-39, -0.0], [1, 2, 3]], [[0, 1, 2]], process=False)


def beyond_float32():
    """A coordinate float32 cannot hold: numpy's cast warns, trimesh writes inf."""
    return trimesh.Trimesh([[1e39, 0, 0], [0, 1, 0], [0, 0, 1]], [[0, 1, 2]], process=False)


@pytest.mark.parametrize("make", MESHES + [trimesh.Trimesh, edge_values, beyond_float32], ids=lambda m: m.__name__)
def test_native_ply_export_writes_trimeshs_bytes(make, tmp_path):
    """Into a new file and over a longer one; natively unless the mesh has
    texture coordinates, cached vertex normals or values float32 cannot hold."""
    expect_native("ply export")
    mesh = make()
    want = mesh.export(file_type="ply")
    native = (not isinstance(mesh.visual, trimesh.visual.TextureVisuals) and "vertex_normals" not in mesh._cache
              and bool(np.all(np.abs(mesh.vertices) <= np.finfo(np.float32).max)))
    for path in (tmp_path / "new.ply", tmp_path / "longer.PLY"):
        if path.name.startswith("longer"):
            path.write_bytes(b"x" * (len(want) + 100))
        with entered(trimesh.exchange.ply.export_ply) as seen:
            Tessaron._export_ply(mesh, str(path))
        assert path.read_bytes() == want
        assert (seen == []) == native


@pytest.mark.slow
def test_a_mesh_of_over_a_million_faces():
    """A wavy grid of 1.2 M faces: rtree's bulk load and every query, and the
    face search, equal."""
    expect_native("face search")
    mesh = flat_grid(775)
    mesh.vertices[:, 2] = np.round(np.sin(mesh.vertices[:, 0] / 9) * np.cos(mesh.vertices[:, 1] / 7), 2)
    points = np.vstack([mesh.sample(3000, seed=5) + RNG.normal(0, 0.3, (3000, 3)), mesh.vertices[::997]])
    assert_tree_equals_rtree(mesh, points[:1000])
    with entered(trimesh.proximity.nearby_faces) as seen:
        ids = quiet(Tessaron.find_nearby_faces, mesh, cloud(points))
    assert seen == []
    assert ids == trimesh_face_ids(mesh, points)


def test_face_ids_outside_the_mesh_raise_before_anything_is_built(monkeypatch):
    mesh = trimesh.creation.box()
    built = []
    monkeypatch.setattr(trimesh.Trimesh, "submesh", lambda self, *a, **k: built.append(a) or [])
    for bad, shown in (([0, -1], -1), ([12], 12)):
        with pytest.raises(IndexError, match=f"face id {shown} is out of range for a mesh of 12 faces"):
            Tessaron.save_nearby_faces_as_ply(mesh, bad)
    assert built == []


def test_whole_scene_is_byte_identical_to_the_plain_path(tmp_path, monkeypatch):
    """seg_scene_mesh() with the native paths, then with trimesh's calls
    wrapped in pass-through functions (so the gate hands every call to trimesh)."""
    import os

    expect_native("face search")
    expect_native("cut")

    from quarnet.sample import build_sample_scene

    scene = build_sample_scene(tmp_path / "scene", seed=1, faces=20000, views=8, objects=4)
    written = {}
    for side in ("native", "plain"):
        if side == "plain":
            query, cut = trimesh.proximity.nearby_faces, trimesh.Trimesh.submesh
            monkeypatch.setattr(trimesh.proximity, "nearby_faces", lambda mesh, points: query(mesh, points))
            monkeypatch.setattr(trimesh.Trimesh, "submesh", lambda self, *a, **k: cut(self, *a, **k))
        with entered(trimesh.proximity.nearby_faces, trimesh.util.submesh) as seen:
            quiet(Tessaron.SceneTessaron(scene.mask_path, scene.mesh_file, scene.root_path).seg_scene_mesh)
        assert (seen == []) == (side == "native")
        files = {}
        for folder, _, names in os.walk(scene.mask_path):
            for name in names:
                if name.endswith(".ply"):
                    path = os.path.join(folder, name)
                    files[os.path.relpath(path, scene.mask_path)] = open(path, "rb").read()
                    os.remove(path)
        written[side] = files
    assert len(written["native"]) == 2 * len(scene.object_names) + 1
    assert written["native"] == written["plain"]
