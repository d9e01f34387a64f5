import contextlib
import io

import numpy as np
import pytest
import trimesh

from quarnet.mesh_seg import Tessaron
from quarnet.testing.trimesh_reference import trimesh_cut


def grid(rows=5, cols=10):
    """An open rows x cols grid of unit quads, two triangles each (2*rows*cols faces)."""
    ys, xs = np.mgrid[0 : rows + 1, 0 : cols + 1]
    vertices = np.column_stack([xs.ravel(), ys.ravel(), np.zeros(xs.size)]).astype(float)
    faces = []
    for r in range(rows):
        for c in range(cols):
            a = r * (cols + 1) + c
            b, d = a + 1, a + cols + 1
            faces += [[a, b, d + 1], [a, d + 1, d]]
    return trimesh.Trimesh(vertices, np.array(faces), process=False)


def triangles(mesh):
    return np.asarray(mesh.vertices)[np.asarray(mesh.faces)]


@pytest.fixture
def mesh():
    return grid()


@pytest.fixture
def recorded(mesh):
    """Records every submesh call on `mesh` and forwards it to trimesh."""
    calls = []
    real = mesh.submesh

    def submesh(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    mesh.submesh = submesh
    return calls


def test_split_into_sub_mesh_and_remainder(mesh, recorded, capsys):
    before = triangles(mesh).copy()
    listed = [19, 0, 1, 2, 3]  # unsorted, along the grid's edge
    sub, rest = Tessaron.save_nearby_faces_as_ply(mesh, listed)
    np.testing.assert_array_equal(triangles(sub), before[listed])
    rest_ids = np.setdiff1d(np.arange(100), listed)
    np.testing.assert_array_equal(triangles(rest), before[rest_ids])  # ascending index order
    assert len(sub.faces) + len(rest.faces) == 100
    np.testing.assert_array_equal(triangles(mesh), before)  # the input is left alone
    assert capsys.readouterr().out == ""

    # one list holding one int array, only_watertight=False, nothing else
    (args1, kw1), (args2, kw2) = recorded
    assert kw1 == kw2 == {"only_watertight": False}
    for args, expected in ((args1, listed), (args2, rest_ids)):
        assert len(args) == 1 and type(args[0]) is list and len(args[0]) == 1
        assert args[0][0].dtype == np.int64
        np.testing.assert_array_equal(args[0][0], expected)


def test_repeats_go_into_the_sub_mesh_once_in_first_appearance_order(mesh, recorded):
    listed = [7, 3, 7, 7, 5, 3, 90, 5]
    sub, rest = Tessaron.save_nearby_faces_as_ply(mesh, listed)
    np.testing.assert_array_equal(recorded[0][0][0][0], [7, 3, 5, 90])
    np.testing.assert_array_equal(triangles(sub), triangles(mesh)[[7, 3, 5, 90]])
    _, rest_once = Tessaron.save_nearby_faces_as_ply(grid(), [7, 3, 5, 90])
    np.testing.assert_array_equal(triangles(rest), triangles(rest_once))
    assert len(sub.faces) + len(rest.faces) == 100


def test_full_cover_leaves_no_remainder(mesh, capsys):
    listed = np.random.default_rng(0).permutation(np.repeat(np.arange(100), 3))
    sub, rest = Tessaron.save_nearby_faces_as_ply(mesh, list(listed))
    assert len(sub.faces) == 100 and rest is None
    assert capsys.readouterr().out == ""


def test_no_sub_mesh(mesh, recorded, capsys):
    assert Tessaron.save_nearby_faces_as_ply(mesh, []) == (None, None)
    assert capsys.readouterr().out == "未找到子网格，无法保存 .ply\n"
    assert len(recorded) == 1  # the remainder is not computed
    # only a list counts as a result
    mesh.submesh = lambda groups, only_watertight: tuple(grid().submesh(groups, only_watertight=only_watertight))
    assert Tessaron.save_nearby_faces_as_ply(mesh, [1, 2]) == (None, None)
    assert capsys.readouterr().out == "未找到子网格，无法保存 .ply\n"


def test_arguments_by_keyword_and_library_errors(mesh):
    sub, rest = Tessaron.save_nearby_faces_as_ply(nearby_faces=(4.0, 5), mesh=mesh)
    assert len(sub.faces) == 2 and len(rest.faces) == 98
    with pytest.raises(IndexError):
        Tessaron.save_nearby_faces_as_ply(mesh, [100])


class SubTrimesh(trimesh.Trimesh):
    """A subclass: the gate hands its cut to trimesh."""


CORNERS = [[0, 0, 0], [1, 0, 0], [0, 1, 0]]
# Meshes trimesh takes without a check, and what a cut of face 0 gives in trimesh.
CORRUPT = {
    "a face over a missing vertex": (lambda t: t(CORNERS, [[0, 1, 7]], process=False), IndexError),
    "a negative vertex id": (lambda t: t(CORNERS, [[0, 1, -5]], process=False), IndexError),
    "faces but no vertices": (lambda t: t(np.zeros((0, 3)), [[0, 1, 2]], process=False), IndexError),
    "a vertex of NaN": (lambda t: t([[0, 0, np.nan], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]], process=False), (1, None)),
}


def outcome(cut, mesh, ids):
    """The face counts of a cut's two meshes, or the type of its error."""
    try:
        return tuple(None if m is None else len(m.faces) for m in cut(mesh, ids))
    except Exception as e:
        return type(e)


@pytest.mark.parametrize("mesh_type", [trimesh.Trimesh, SubTrimesh], ids=["native", "plain"])
@pytest.mark.parametrize("corrupt, cut_of_face_0", CORRUPT.values(), ids=CORRUPT)
def test_a_corrupt_mesh_is_cut_as_trimesh_cuts_it(corrupt, cut_of_face_0, mesh_type, capsys):
    """An empty list builds nothing, as trimesh's submesh builds nothing, without
    reading the faces or computing the remainder, in the module and in the
    reference cut; a listed face fails, or is cut, as trimesh fails on it or
    cuts it."""
    assert corrupt(mesh_type).submesh([np.array([], dtype=int)], only_watertight=False) == []
    assert Tessaron.save_nearby_faces_as_ply(corrupt(mesh_type), []) == (None, None)
    assert capsys.readouterr().out == "未找到子网格，无法保存 .ply\n"
    assert trimesh_cut(corrupt(trimesh.Trimesh), []) == (None, None)
    with contextlib.redirect_stdout(io.StringIO()):
        assert outcome(Tessaron.save_nearby_faces_as_ply, corrupt(mesh_type), [0]) == cut_of_face_0
    assert outcome(trimesh_cut, corrupt(trimesh.Trimesh), [0]) == cut_of_face_0
