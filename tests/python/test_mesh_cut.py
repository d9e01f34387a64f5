import errno
import os
import types

import numpy as np
import open3d as o3d
import pytest
import trimesh

from quarnet.mesh_seg import Tessaron
from quarnet.testing.plain_pipeline import cloud

cut = Tessaron.SceneTessaron.process_and_visualize_mesh_with_pointcloud_and_bbox

SEARCH_PREFIXES = ("Total points:", "Processing points from", "Batch ", "Total face IDs found:")


def sphere(center):
    return trimesh.creation.icosphere(subdivisions=2, radius=0.5).apply_translation(center)


def face_set(mesh):
    """Faces as a set of sorted vertex-coordinate triples, independent of
    indexing (PLY files hold single-precision coordinates)."""
    tri = np.asarray(mesh.vertices, dtype=np.float32)[np.asarray(mesh.faces)].tolist()
    return {tuple(sorted(map(tuple, t))) for t in tri}


def load(path):
    loaded = trimesh.load(path)
    return loaded if isinstance(loaded, trimesh.Trimesh) else trimesh.Trimesh()


def make_scene(root):
    """Spheres a, b, c apart from each other in one mesh file; a mask folder
    with one sub-folder per sphere; each sphere's cloud is its vertices."""
    parts = {name: sphere((3.0 * k, 0, 0)) for k, name in enumerate("abc")}
    root.mkdir(exist_ok=True)
    mesh_file = root / "scene.ply"
    trimesh.util.concatenate(list(parts.values())).export(mesh_file)
    masks = root / "masks"
    for name in parts:
        (masks / name).mkdir(parents=True)
    clouds = {name: cloud(m.vertices) for name, m in parts.items()}
    return types.SimpleNamespace(
        self=types.SimpleNamespace(mask_path=str(masks), mesh_file=str(mesh_file)),
        masks=masks,
        parts=parts,
        clouds=clouds,
        boxes={name: pcd.get_axis_aligned_bounding_box() for name, pcd in clouds.items()},
        whole=face_set(trimesh.load(mesh_file)),
    )


@pytest.fixture
def scene(tmp_path):
    return make_scene(tmp_path)


def outputs(folder):
    """{relative path: bytes} of every file below the folder."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def run(scene, names, capsys):
    cut(scene.self, [scene.clouds[n] for n in names], [scene.boxes[n] for n in names], list(names))
    lines = capsys.readouterr().out.splitlines()
    return [line for line in lines if not line.startswith(SEARCH_PREFIXES)]


def test_objects_cut_one_after_another(scene, capsys):
    lines = run(scene, ["a", "b"], capsys)
    m = scene.masks
    assert lines == [
        f"Processing point cloud with 162 points and bbox {scene.boxes['a']}.",
        "找到的近邻面片数量: 960",
        f"finish seg part a save ply  {m / 'a' / 'sub_mesh.ply'}",
        f"Processing point cloud with 162 points and bbox {scene.boxes['b']}.",
        "找到的近邻面片数量: 960",
        f"finish seg part b save ply  {m / 'b' / 'sub_mesh.ply'}",
    ]
    for name in "ab":
        assert face_set(load(m / name / "sub_mesh.ply")) == face_set(scene.parts[name])
        written = o3d.io.read_point_cloud(str(m / name / "sub_pcd.ply"))
        np.testing.assert_array_equal(np.asarray(written.points), np.asarray(scene.clouds[name].points))
    assert face_set(load(m / "remain.ply")) == face_set(scene.parts["c"])
    # nothing but the outputs is left behind
    assert sorted(os.listdir(m)) == ["a", "b", "c", "remain.ply"]
    assert sorted(os.listdir(m / "a")) == ["sub_mesh.ply", "sub_pcd.ply"]


def test_calls_and_write_order(scene, capsys, monkeypatch):
    loads, searches, replaced = [], [], []
    real_load, real_search, real_replace = trimesh.load, Tessaron.find_nearby_faces, os.replace
    monkeypatch.setattr(trimesh, "load", lambda *a, **k: loads.append((a, k)) or real_load(*a, **k))
    monkeypatch.setattr(Tessaron, "find_nearby_faces", lambda *a, **k: searches.append((a, k)) or real_search(*a, **k))
    monkeypatch.setattr(os, "replace", lambda src, dst: replaced.append((src, dst)) or real_replace(src, dst))
    run(scene, ["a"], capsys)
    assert loads == [((scene.self.mesh_file,), {})]
    assert len(searches) == 1 and len(searches[0][0]) == 2 and searches[0][1] == {}
    assert searches[0][0][1] is scene.clouds["a"]
    a = scene.masks / "a"
    assert [dst for _, dst in replaced] == [str(a / "sub_pcd.ply"), str(a / "sub_mesh.ply"), str(scene.masks / "remain.ply")]
    for src, dst in replaced:  # staged beside the final file, still a .ply name
        assert os.path.dirname(src) == os.path.dirname(dst) and src.endswith(".ply") and src != dst


def test_first_object_wins_shared_faces(scene, capsys):
    # b's cloud also covers a: the faces a took are gone when b is searched
    both = cloud(np.vstack([scene.parts["a"].vertices, scene.parts["b"].vertices]))
    scene.clouds["b"], scene.boxes["b"] = both, both.get_axis_aligned_bounding_box()
    run(scene, ["a", "b"], capsys)
    assert face_set(load(scene.masks / "a" / "sub_mesh.ply")) == face_set(scene.parts["a"])
    assert face_set(load(scene.masks / "b" / "sub_mesh.ply")) == face_set(scene.parts["b"])


def test_resumed_and_repeated_runs_write_what_one_run_writes(scene, tmp_path, capsys):
    once = make_scene(tmp_path / "once")
    run(once, ["a", "b"], capsys)
    reference = outputs(once.masks)

    run(scene, ["a"], capsys)  # stopped after a
    lines = run(scene, ["a", "b"], capsys)
    assert lines[1:] == [f"Sub-mesh already exists at {scene.masks / 'a' / 'sub_mesh.ply'}, skipping.",
                         f"Processing point cloud with 162 points and bbox {scene.boxes['b']}.",
                         "找到的近邻面片数量: 960", f"finish seg part b save ply  {scene.masks / 'b' / 'sub_mesh.ply'}"]
    assert outputs(scene.masks) == reference  # a's faces left the mesh: remain.ply holds c alone

    lines = run(scene, ["a", "b"], capsys)  # a complete run again changes nothing
    assert lines[1::2] == [f"Sub-mesh already exists at {scene.masks / n / 'sub_mesh.ply'}, skipping." for n in "ab"]
    assert outputs(scene.masks) == reference
    assert face_set(load(scene.masks / "remain.ply")) == face_set(scene.parts["c"])


def doubled_scene(root):
    """Three overlapping spheres whose every face is in the mesh twice; each
    cloud lies a little off its sphere, so a point has more than 20
    candidates and keeps only some of a face's twins."""
    scene = make_scene(root)
    parts = [sphere((0.7 * k, 0, 0)) for k in range(3)]
    whole = trimesh.util.concatenate(parts)
    trimesh.Trimesh(whole.vertices, np.vstack([whole.faces, whole.faces[::-1]]), process=False).export(scene.self.mesh_file)
    for name, part in zip("abc", parts):
        scene.clouds[name] = cloud(part.vertices * 1.15 - part.center_mass * 0.15)
        scene.boxes[name] = scene.clouds[name].get_axis_aligned_bounding_box()
    return scene


def resave_ascii(path, how):
    if how == "open3d":
        o3d.io.write_triangle_mesh(str(path), o3d.io.read_triangle_mesh(str(path)), write_ascii=True)
    else:
        trimesh.load(path).export(path, encoding="ascii")


def test_resumed_after_any_object_on_a_mesh_of_twin_faces(tmp_path, capsys):
    """Stopped after each object, with its sub_mesh.ply as written or re-saved as
    text by Open3D or trimesh, a rerun writes byte for byte what one run writes."""
    once = doubled_scene(tmp_path / "once")
    run(once, "abc", capsys)
    reference = outputs(once.masks)
    for stop in (1, 2):
        for how in ("as written", "open3d", "trimesh"):
            scene = doubled_scene(tmp_path / f"{stop}-{how}")
            run(scene, "abc"[:stop], capsys)
            resaved = {}
            if how != "as written":
                for name in "abc"[:stop]:
                    resave_ascii(scene.masks / name / "sub_mesh.ply", how)
                    assert (scene.masks / name / "sub_mesh.ply").read_bytes().startswith(b"ply\nformat ascii 1.0\n")
                    resaved[f"{name}/sub_mesh.ply"] = (scene.masks / name / "sub_mesh.ply").read_bytes()
            lines = run(scene, "abc", capsys)
            assert [line for line in lines if "already exists" in line or "faces in" in line] == [
                f"Sub-mesh already exists at {scene.masks / n / 'sub_mesh.ply'}, skipping." for n in "abc"[:stop]]
            assert outputs(scene.masks) == {**reference, **resaved}, (stop, how)


def edited(scene, path):
    """a's sub-mesh without its first 10 faces, with 3 faces from elsewhere."""
    a = scene.parts["a"]
    far = trimesh.creation.icosphere(subdivisions=0).apply_translation((50, 0, 0))
    trimesh.util.concatenate([a.submesh([np.arange(10, len(a.faces))], only_watertight=False)[0],
                              far.submesh([[0, 1, 2]], only_watertight=False)[0]]).export(path)
    return face_set(a.submesh([np.arange(10, len(a.faces))], only_watertight=False)[0])


def other_mesh(scene, path):
    trimesh.creation.box().export(path)
    return set()


def unreadable(how):
    def make(scene, path):
        if how == "folder":
            path.mkdir()
        elif how == "pipe":
            os.mkfifo(path)  # never read: it would block for good
        elif how == "points":
            trimesh.PointCloud(np.eye(3)).export(path)
        else:
            path.write_bytes(b"garbage")
        return set()

    return make


@pytest.mark.parametrize("marker, line", [
    (edited, "3 of the 313 faces in {path} were not found in the mesh, removing the rest."),
    (other_mesh, "12 of the 12 faces in {path} were not found in the mesh, removing the rest."),
    (unreadable("folder"), "Cannot read the faces in {path} (it is a folder), none removed from the mesh."),
    (unreadable("pipe"), "Cannot read the faces in {path} (it is not a regular file), none removed from the mesh."),
    (unreadable("points"), "Cannot read the faces in {path} (trimesh read a PointCloud), none removed from the mesh."),
    (unreadable("garbage"), "Cannot read the faces in {path} (ValueError: "),
], ids=["edited", "other-mesh", "folder", "pipe", "points", "garbage"])
def test_marker_that_is_not_the_objects_sub_mesh(scene, capsys, marker, line):
    path = scene.masks / "a" / "sub_mesh.ply"
    removed = marker(scene, path)
    lines = run(scene, ["a", "b"], capsys)
    assert lines[1] == f"Sub-mesh already exists at {path}, skipping."
    assert lines[2].startswith(line.format(path=path))
    assert lines[3].startswith("Processing point cloud with 162 points")
    assert face_set(load(scene.masks / "remain.ply")) == scene.whole - removed - face_set(scene.parts["b"])


def test_stale_temporary_files_of_cut_objects_are_removed(scene, capsys):
    stale = ["a/.sub_mesh.ply.tmp-0123456789ab.ply", "a/.sub_pcd.ply.tmp-ffffffffffff.ply", ".remain.ply.tmp-000000000000.ply"]
    kept = ["a/.sub_mesh.ply.tmp-0123456789ab", "a/.sub_mesh.ply.tmp-0123456789AB.ply", "a/notes.txt",
            "b/.sub_mesh.ply.tmp-0123456789ab.ply", "b/sub_mesh.ply"]  # b is done: skipped, not cut
    for name in stale + kept:
        (scene.masks / name).write_bytes(b"left by a stopped run")
    run(scene, ["a", "b"], capsys)
    assert sorted(outputs(scene.masks)) == sorted(kept + ["a/sub_mesh.ply", "a/sub_pcd.ply", "remain.ply"])


def test_empty_and_unequal_lists(scene, capsys):
    assert cut(scene.self, [], [], []) is None
    assert capsys.readouterr().out == ""
    assert face_set(load(scene.masks / "remain.ply")) == scene.whole
    cut(scene.self, [scene.clouds["a"], scene.clouds["b"]], [scene.boxes["a"]], ["a", "b", "c"])
    assert (scene.masks / "a" / "sub_mesh.ply").exists()
    assert not (scene.masks / "b" / "sub_mesh.ply").exists()


def test_object_without_faces_writes_nothing_and_keeps_the_mesh(scene, capsys):
    scene.clouds["a"] = o3d.geometry.PointCloud()
    lines = run(scene, ["a", "b"], capsys)
    assert lines[:4] == [
        f"Processing point cloud with 0 points and bbox {scene.boxes['a']}.",
        "找到的近邻面片数量: 0",
        "未找到符合条件的面片，请尝试调整 threshold",
        "未找到子网格，无法保存 .ply",
    ]
    assert os.listdir(scene.masks / "a") == []
    assert face_set(load(scene.masks / "b" / "sub_mesh.ply")) == face_set(scene.parts["b"])
    assert face_set(load(scene.masks / "remain.ply")) == scene.whole - face_set(scene.parts["b"])


def test_object_taking_every_face(scene, capsys):
    everything = cloud(np.vstack([m.vertices for m in scene.parts.values()]))
    scene.clouds["a"], scene.boxes["a"] = everything, everything.get_axis_aligned_bounding_box()
    (scene.masks / "remain.ply").write_bytes(b"stale remainder of an earlier run")
    lines = run(scene, ["a", "b"], capsys)
    assert lines[2:] == [
        f"finish seg part a save ply  {scene.masks / 'a' / 'sub_mesh.ply'}",
        f"Processing point cloud with 162 points and bbox {scene.boxes['b']}.",
        "No faces left in the mesh for b, skipping.",
    ]
    assert face_set(load(scene.masks / "a" / "sub_mesh.ply")) == scene.whole
    assert os.listdir(scene.masks / "b") == []
    remain = (scene.masks / "remain.ply").read_bytes()
    assert remain.startswith(b"ply\n") and b"element face 0\n" in remain


class FailingWriter:
    """Stands in for o3d in the module: its point-cloud writer fails for object b
    (half the file written where the failure is an exception)."""

    def __init__(self, failure):
        self.io = types.SimpleNamespace(write_point_cloud=self.write)
        self.failure = failure

    def write(self, path, pcd):
        o3d.io.write_point_cloud(path, pcd)
        if os.path.basename(os.path.dirname(path)) != "b":
            return True
        if isinstance(self.failure, BaseException):
            os.truncate(path, os.path.getsize(path) // 2)
            raise self.failure
        return self.failure


@pytest.mark.parametrize("failure", [False, OSError(errno.ENOSPC, "No space left on device"), KeyboardInterrupt()])
def test_failed_point_cloud_write_leaves_no_marker(scene, capsys, monkeypatch, failure):
    monkeypatch.setattr(Tessaron, "o3d", FailingWriter(failure))
    expected = type(failure) if isinstance(failure, BaseException) else OSError
    with pytest.raises(expected) as err:
        run(scene, ["a", "b"], capsys)
    if failure is False:
        assert str(err.value) == f"cannot write point cloud {scene.masks / 'b' / 'sub_pcd.ply'}"
    if expected is not KeyboardInterrupt and hasattr(BaseException, "add_note"):
        assert err.value.__notes__ == [f"while writing {scene.masks / 'b' / 'sub_pcd.ply'}"]
    assert sorted(os.listdir(scene.masks / "a")) == ["sub_mesh.ply", "sub_pcd.ply"]  # the earlier object stays
    assert os.listdir(scene.masks / "b") == []  # no sub_mesh.ply, no partial or staged file
    assert not (scene.masks / "remain.ply").exists()
    monkeypatch.undo()
    run(scene, ["a", "b"], capsys)  # b is not marked done: the next run cuts it
    assert face_set(load(scene.masks / "b" / "sub_mesh.ply")) == face_set(scene.parts["b"])


def test_interrupted_between_renames_keeps_object_undone(scene, capsys, monkeypatch):
    real_replace = os.replace

    def replace(src, dst):
        if dst.endswith("sub_mesh.ply"):
            raise KeyboardInterrupt
        real_replace(src, dst)

    monkeypatch.setattr(os, "replace", replace)
    with pytest.raises(KeyboardInterrupt):
        run(scene, ["a"], capsys)
    assert os.listdir(scene.masks / "a") == ["sub_pcd.ply"]
