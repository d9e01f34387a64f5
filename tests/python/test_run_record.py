"""quarnet segment's run record: a rerun with other parameters is refused with
nothing changed, a rerun alike leaves a partition of the mesh, --redo gives a
fresh run byte for byte; outputs without a record, unsafe starts over and
broken partitions are named in one line."""
import collections
import os

import numpy as np
import pytest
import trimesh

from quarnet import cli, outputs, run_record, sample
from quarnet.mesh_seg import Tessaron
from sample_copies import copy_of

RUNS = {  # run: (mesh, options, how a refusal names them)
    "default": ("mesh.ply", (), "the default cut"),
    "dense": ("mesh.ply", ("--dense",), "--dense --radius 0.015"),
    "dense 0.03": ("mesh.ply", ("--dense", "--radius", "0.03"), "--dense --radius 0.03"),
    "finer mesh": ("finer.ply", (), "the default cut"),
    "vote": ("mesh.ply", ("--vote",), "--vote --depth-tolerance 0.02 --min-share 0.5 --min-views 3"),
    "vote 0.6": ("mesh.ply", ("--vote", "--min-share", "0.6"),
                 "--vote --depth-tolerance 0.02 --min-share 0.6 --min-views 3"),
}


@pytest.fixture(scope="module")
def pristine(tmp_path_factory):
    scene = sample.build_sample_scene(tmp_path_factory.mktemp("record") / "scene", seed=0, faces=3000, views=3,
                                      objects=3)
    trimesh.load(scene.mesh_file, process=False).subdivide().export(os.path.join(scene.root_path, "finer.ply"))
    return scene


def segment(capsys, scene, run, *more):
    mesh, options, _ = RUNS[run]
    status = cli.main(["segment", scene.root_path, "--mesh", os.path.join(scene.root_path, mesh), *options, *more])
    out, err = capsys.readouterr()
    return status, out, err


def files(folder):
    """{path below the folder: bytes} of every file in it."""
    found = {}
    for base, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(base, name), "rb") as f:
                found[os.path.relpath(os.path.join(base, name), folder)] = f.read()
    return found


def results(folder):
    """files(folder), with the run record's paths (the folder's own) left out."""
    found = files(folder)
    record = run_record.read(folder)
    for part in ("mesh", "sparse"):
        record[part]["path"] = os.path.relpath(record[part]["path"], os.path.dirname(folder))
    found[run_record.NAME] = record
    return found


def corners(mesh):
    """The faces of a mesh as a multiset of corner triples (float32, as PLY files keep them)."""
    tri = np.asarray(mesh.vertices, dtype=np.float32)[np.asarray(mesh.faces)]
    return collections.Counter(tuple(map(tuple, t)) for t in tri.tolist())


def assert_partition(scene, mesh_file):
    parts = [os.path.join(scene.mask_path, n, outputs.SUB_MESH) for n in scene.object_names]
    found = collections.Counter()
    for path in parts + [os.path.join(scene.mask_path, outputs.REMAIN)]:
        if os.path.exists(path):
            found += corners(outputs.load_mesh(path))
    assert found == corners(trimesh.load(mesh_file)), "not a partition"


@pytest.fixture(scope="module")
def fresh(pristine, tmp_path_factory):
    """{run: the mask folder's files after that run on a fresh copy}."""
    made = {}
    for run in RUNS:
        scene = copy_of(pristine, tmp_path_factory.mktemp("fresh") / "scene")
        assert cli.main(["segment", scene.root_path, "--mesh", os.path.join(scene.root_path, RUNS[run][0]),
                         *RUNS[run][1]]) == 0
        made[run] = results(scene.mask_path)
    return made


@pytest.mark.parametrize("first", RUNS)
def test_every_second_run_is_refused_untouched_or_a_partition_and_redo_is_fresh(first, pristine, fresh, tmp_path,
                                                                                 capsys):
    for second in RUNS:
        scene = copy_of(pristine, tmp_path / second.replace(" ", "-"))
        assert segment(capsys, scene, first)[0] == 0
        before = files(scene.mask_path)
        status, out, err = segment(capsys, scene, second)
        assert files(scene.mask_path) == before, second  # refused, or every object skipped: no byte changed
        if second == first:
            assert status == 0 and "remain.ply" in out, err
            assert_partition(scene, os.path.join(scene.root_path, RUNS[first][0]))
        else:
            assert status == 1 and out == "" and err.count("\n") == 1, (second, out, err)
            assert err.startswith(f"quarnet: error: {scene.mask_path}: it was cut ")
            why = (f"it was cut with {RUNS[first][2]}, this run asks for {RUNS[second][2]};"
                   if RUNS[first][1:] != RUNS[second][1:] else "it was cut from the mesh ")
            assert why in err, err
            assert err.endswith("; rerun with what it was cut with, or start over with quarnet segment --redo\n")
        status, out, err = segment(capsys, scene, second, "--redo")
        assert status == 0 and out.startswith(f"started over: removed {2 * len(scene.object_names) + 2} files"), err
        assert results(scene.mask_path) == fresh[second], (first, second)


def test_module_record_and_outputs_without_one(pristine, tmp_path, capsys):
    scene = copy_of(pristine, tmp_path / "scene")
    Tessaron.seg_scene_mesh_dense(Tessaron.SceneTessaron(scene.mask_path, scene.mesh_file, scene.root_path), 0.02)
    record = run_record.read(scene.mask_path)
    assert (record["mode"], record["radius"], record["complete"]) == ("dense", 0.02, True)
    assert record["mesh"]["size"] == os.path.getsize(scene.mesh_file)
    before = files(scene.mask_path)
    with pytest.raises(ValueError, match=r"it was cut with --dense --radius 0.02, this run asks for --dense --radius "
                                         r"0.015; rerun with"):
        Tessaron.seg_scene_mesh_dense(Tessaron.SceneTessaron(scene.mask_path, scene.mesh_file, scene.root_path))
    assert files(scene.mask_path) == before
    capsys.readouterr()

    os.remove(run_record.path_of(scene.mask_path))  # as seg_scene_mesh or an older quarnet leaves a folder
    status, out, err = segment(capsys, scene, "dense")
    assert status == 1 and files(scene.mask_path) == {k: v for k, v in before.items() if k != run_record.NAME}
    assert err == (f"quarnet: error: {scene.mask_path} holds outputs of a segmentation that left no run record "
                   "(seg_scene_mesh from Python, or an older quarnet): what they were cut with is unknown; start over "
                   "with quarnet segment --redo\n")
    with open(run_record.path_of(scene.mask_path), "w") as f:
        f.write('{"format": 1}')
    assert segment(capsys, scene, "dense")[2] == (f"quarnet: error: {run_record.path_of(scene.mask_path)}: not a run "
                                                  "record quarnet can read; start over with quarnet segment --redo\n")
    run_record.start_over(scene.mask_path)  # a record alone, of a run stopped before its first output, gives way
    run_record.begin(scene.mask_path, run_record.parameters("dense", scene.mesh_file, scene.root_path, radius=0.02))
    assert segment(capsys, scene, "default")[0] == 0 and run_record.read(scene.mask_path)["mode"] == "default"


def test_redo_removes_outputs_only_and_never_through_a_link_out(pristine, tmp_path, capsys):
    scene = copy_of(pristine, tmp_path / "scene")
    assert segment(capsys, scene, "default")[0] == 0
    first, second = sorted(scene.object_names)[:2]
    kept = {os.path.join(first, "notes.txt"): b"mine", ".remain.ply.tmp-0123456789AB.ply": b"not of the rule"}
    for name, data in kept.items():
        with open(os.path.join(scene.mask_path, name), "wb") as f:
            f.write(data)
    with open(os.path.join(scene.mask_path, ".remain.ply.tmp-0123456789ab.ply"), "wb") as f:
        f.write(b"left by a stopped run")
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "elsewhere.ply").write_bytes(b"the user's")
    os.remove(os.path.join(scene.mask_path, second, outputs.SUB_PCD))
    os.symlink(outside / "elsewhere.ply", os.path.join(scene.mask_path, second, outputs.SUB_PCD))
    os.symlink(outside, os.path.join(scene.mask_path, "linked"))
    (outside / outputs.SUB_MESH).write_bytes(b"an output out of the folder")
    before = files(scene.mask_path)
    status, _, err = segment(capsys, scene, "default", "--redo")
    assert status == 1 and "linked: a link out of the mask folder (to " in err and files(scene.mask_path) == before

    os.remove(outside / outputs.SUB_MESH)
    os.mkdir(os.path.join(scene.mask_path, "linked", "kept"))
    os.rename(os.path.join(scene.mask_path, outputs.REMAIN), os.path.join(scene.mask_path, "r.ply"))
    os.mkdir(os.path.join(scene.mask_path, outputs.REMAIN))
    assert segment(capsys, scene, "default", "--redo")[2].endswith(f"{outputs.REMAIN}: not a file; remove it to "
                                                                   "start over\n")
    os.rmdir(os.path.join(scene.mask_path, outputs.REMAIN))
    removed = run_record.start_over(scene.mask_path)
    assert sorted(os.path.relpath(p, scene.mask_path) for p in removed) == sorted(
        [run_record.NAME] + [os.path.join(n, f) for n in scene.object_names for f in (outputs.SUB_MESH, outputs.SUB_PCD)])
    assert (outside / "elsewhere.ply").read_bytes() == b"the user's"  # the link went, not its target
    assert sorted(n for n in files(scene.mask_path) if not n.endswith(".png")) == sorted(
        list(kept) + ["r.ply"])


def test_broken_partitions_fail_in_one_line(pristine, tmp_path, capsys):
    scene = copy_of(pristine, tmp_path / "dense")
    assert segment(capsys, scene, "dense")[0] == 0
    name = sorted(scene.object_names)[0]
    path = os.path.join(scene.mask_path, name, outputs.SUB_MESH)
    part = outputs.load_mesh(path)
    part.submesh([np.arange(10, len(part.faces))], append=True).export(path)  # edited: 10 faces fewer
    status, out, err = segment(capsys, scene, "dense")
    assert status == 1 and out.splitlines()[-1].startswith("remain.ply ")  # the table, then the line
    assert err.splitlines()[-1] + "\n" == (f"quarnet: error: the outputs are no partition of the mesh: {path} and the faces this run took out "
                   f"of the mesh for {name} differ in 10 faces (the file was changed, or masks or depth maps were, "
                   "since it was written); start over with quarnet segment --redo\n")

    scene = copy_of(pristine, tmp_path / "default")
    path = os.path.join(scene.mask_path, name, outputs.SUB_MESH)
    assert segment(capsys, scene, "default")[0] == 0
    for mask in os.listdir(os.path.join(scene.mask_path, name)):
        if mask.endswith(".png"):
            os.remove(os.path.join(scene.mask_path, name, mask))
    status, out, err = segment(capsys, scene, "default")
    assert status == 1 and "not cut (no masked points)" in out
    assert err.splitlines()[-1].startswith(f"quarnet: error: the outputs are no partition of the mesh: {path}: this run found no "
                          f"points for {name}, so the faces of its sub-mesh are in remain.ply as well;")


def test_a_quiet_command_that_says_what_happened(pristine, tmp_path, capsys):
    scene = copy_of(pristine, tmp_path / "scene")
    first = sorted(scene.object_names)[0]
    twin = os.path.join(scene.mask_path, "twin")
    os.mkdir(twin)
    for mask in os.listdir(os.path.join(scene.mask_path, first)):
        os.link(os.path.join(scene.mask_path, first, mask), os.path.join(twin, mask))
    status, out, err = segment(capsys, scene, "dense", "--radius", "5")
    lines = out.splitlines()
    assert status == 0 and lines[0].startswith("note: the radius 5 is more than a tenth of the mesh's size"), err
    assert lines[1] == "" and lines[2].startswith("object ") and "Files in" not in out  # no module line without -v
    table = {line.split()[0]: line for line in lines[3:]}
    cut, not_cut = (first, "twin") if table[first].endswith(" cut") else ("twin", first)
    assert "not cut (its faces went to " in table[not_cut] and cut in table[not_cut] and table[cut].endswith(" cut")
    assert sum(1 for line in lines if line.startswith("note: ")) == 1



@pytest.mark.parametrize("subdivisions, dense, radius, note", [
    (5, False, None, "note: the mesh's faces are small (median edge 0.0038) against the 0.01 spacing of the object "
                     "points: the default cut takes only the faces at each point and leaves the objects full of "
                     "holes; --dense takes whole objects"),
    (3, False, None, None),
    (5, True, 0.05, "note: the radius 0.05 is more than a tenth of the mesh's size (diagonal 0.346): every face "
                    "that near an object's points goes to it, and the search grows with faces times points; is R "
                    "in the mesh's units?"),
    (5, True, 0.03, None),
])
def test_mesh_notes(subdivisions, dense, radius, note):
    from quarnet.cli.segment import mesh_notes

    mesh = trimesh.creation.icosphere(subdivisions=subdivisions, radius=0.1)
    assert mesh_notes(mesh, dense, radius) == ([note] if note else [])
