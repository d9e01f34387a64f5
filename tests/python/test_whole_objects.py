"""The whole-object cut (seg_scene_mesh_dense, quarnet segment --dense) and
the check of a segmentation against its masks (quarnet check), on generated
scenes; and the segment command's warnings about suspect results."""
import contextlib
import io
import json
import os
import subprocess
import sys

import cv2
import numpy as np
import pytest
import trimesh

from quarnet import check, outputs, picture, run_record, sample
from quarnet.mesh_seg import Tessaron
from quarnet.testing.plain_pipeline import cloud
from quarnet.testing.scenes import write_true_segmentation
from sample_copies import copy_of

QUARNET = os.path.join(os.path.dirname(sys.executable), "quarnet")


def quarnet(*args):
    return subprocess.run([QUARNET, *map(str, args)], capture_output=True, text=True, timeout=300)


def quietly(fn, *args, **kwargs):
    with contextlib.redirect_stdout(io.StringIO()) as out, contextlib.redirect_stderr(io.StringIO()):
        fn(*args, **kwargs)
    return out.getvalue()


def dense(scene, **kwargs):
    return quietly(Tessaron.seg_scene_mesh_dense, Tessaron.SceneTessaron(scene.mask_path, scene.mesh_file,
                                                                          scene.root_path), **kwargs)


def written(scene):
    """{relative path: bytes} of every output file in the mask folder."""
    found = {}
    for name in scene.object_names:
        for out in (outputs.SUB_MESH, outputs.SUB_PCD):
            path = os.path.join(scene.mask_path, name, out)
            if os.path.exists(path):
                found[f"{name}/{out}"] = open(path, "rb").read()
    found[outputs.REMAIN] = open(os.path.join(scene.mask_path, outputs.REMAIN), "rb").read()
    return found


# ---- the assignment against every point and every face ------------------------


@pytest.mark.parametrize("seed", [0, 1])
def test_assignment_is_the_nearest_object_within_the_radius(seed):
    """Against trimesh's closest point of every face to every point."""
    rng = np.random.default_rng(seed)
    mesh = trimesh.creation.icosphere(subdivisions=3)
    mesh.vertices += rng.normal(0, 0.01, mesh.vertices.shape)
    clouds = [rng.normal(centre, 0.3, (60, 3)) for centre in ((1, 0, 0), (0, 1, 0), (0, 0, 1))]
    radius = 0.15
    owner, distance = Tessaron.assign_faces_to_objects(mesh, [cloud(c) for c in clouds], radius)
    assert owner.dtype == np.int32 and distance.dtype == np.float64 and len(owner) == len(mesh.faces)

    points = np.vstack(clouds)
    faces = np.repeat(np.arange(len(mesh.faces)), len(points))
    nearest = trimesh.triangles.closest_point(mesh.triangles[faces], np.tile(points, (len(mesh.faces), 1)))
    d = np.linalg.norm(nearest - np.tile(points, (len(mesh.faces), 1)), axis=1).reshape(len(mesh.faces), -1)
    per_object = np.stack([d[:, k * 60:(k + 1) * 60].min(axis=1) for k in range(3)], axis=1)
    expected = np.where(per_object.min(axis=1) <= radius, per_object.argmin(axis=1), -1)
    clear = np.abs(per_object.min(axis=1) - radius) > 1e-9  # not on the radius itself, up to rounding
    assert np.array_equal(owner[clear], expected[clear]) and 0 < np.count_nonzero(owner >= 0) < len(owner)
    mine = owner >= 0
    np.testing.assert_allclose(distance[mine], per_object.min(axis=1)[mine], rtol=0, atol=1e-12)
    assert np.all(np.isinf(distance[~mine]))


def test_assignment_refuses_bad_input():
    mesh = trimesh.creation.box()
    for radius in (0, -1, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="radius must be a positive finite number"):
            Tessaron.assign_faces_to_objects(mesh, [cloud([0, 0, 0])], radius)
    with pytest.raises(ValueError, match="a cloud's points must be an N x 3 array"):
        Tessaron.assign_faces_to_objects(mesh, [type("C", (), {"points": np.zeros((3, 2))})()])
    broken = trimesh.Trimesh(mesh.vertices, mesh.faces + 100, process=False)
    with pytest.raises(ValueError, match="a face refers to a vertex the mesh does not have"):
        Tessaron.assign_faces_to_objects(broken, [cloud([0, 0, 0])])
    owner, _ = Tessaron.assign_faces_to_objects(mesh, [])
    assert np.all(owner == -1)


# ---- whole objects on a dense scene, and its check ---------------------------


@pytest.fixture(scope="module")
def million(tmp_path_factory):
    """A scene of a million faces, cut both ways: {mode: (scene, scores, agreements)}."""
    pristine = sample.build_sample_scene(tmp_path_factory.mktemp("million") / "scene", 0, faces=1_000_000)
    runs = {}
    for mode in ("dense", "default"):
        scene = copy_of(pristine, tmp_path_factory.mktemp(mode) / "scene")
        if mode == "dense":
            dense(scene)
        else:
            quietly(Tessaron.SceneTessaron(scene.mask_path, scene.mesh_file, scene.root_path).seg_scene_mesh)
        agreements, warnings = check.check_segmentation(scene.mask_path, scene.root_path, list(scene.object_names),
                                                        progress=False)
        assert warnings == []
        runs[mode] = scene, sample.evaluate(scene), agreements
    return runs


@pytest.mark.slow
def test_dense_cut_takes_whole_objects_and_check_tells_the_modes_apart(million):
    scene, scores, agreements = million["dense"]
    assert scene.faces > 1_000_000
    for row in scores:
        assert row["recall"] >= 0.95 and row["foreign_share"] <= 0.03, row
    for a in agreements:
        assert len(a.views) >= 6 and a.mean_iou >= 0.7, (a.name, a.mean_iou)
        assert a.worst.image_id in a.views and a.views[a.worst.image_id].iou == min(s.iou for s in a.views.values())
    _, default_scores, default_agreements = million["default"]
    for row, a in zip(default_scores, default_agreements):
        assert row["recall"] < 0.5 and a.mean_iou < 0.3, (row, a.mean_iou)


def test_check_of_the_true_segmentation_agrees_everywhere(tmp_path):
    """Sub-meshes made of each object's true faces render exactly as the masks were cast."""
    scene = sample.build_sample_scene(tmp_path / "scene", 3, faces=20000, views=4, objects=3)
    write_true_segmentation(scene)
    names = list(scene.object_names)
    agreements, _ = check.check_segmentation(scene.mask_path, scene.root_path, names, progress=False)
    for a in agreements:
        assert a.views and all(s.iou >= 0.999 and s.precision >= 0.999 for s in a.views.values()), a


# ---- resume ------------------------------------------------------------------


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    scene = sample.build_sample_scene(tmp_path_factory.mktemp("small") / "scene", 0, faces=60000, views=4)
    done = copy_of(scene, tmp_path_factory.mktemp("small-done") / "scene")
    dense(done)
    return scene, written(done)


@pytest.mark.parametrize("undone", [(1, 2, 3), (0, 2), (3,)])
def test_resumed_dense_run_writes_what_one_run_writes(small, tmp_path, undone):
    pristine, reference = small
    scene = copy_of(pristine, tmp_path / "scene")
    for key, data in reference.items():
        if key != outputs.REMAIN and scene.object_names.index(key.split("/")[0]) not in undone:
            with open(os.path.join(scene.mask_path, key), "wb") as f:
                f.write(data)
    printed = dense(scene)
    assert written(scene) == reference
    assert printed.count("Sub-mesh already exists at") == len(scene.object_names) - len(undone)


def test_interrupted_dense_run_resumes(small, tmp_path, monkeypatch):
    pristine, reference = small
    scene = copy_of(pristine, tmp_path / "scene")
    calls, cut = [], Tessaron.save_nearby_faces_as_ply

    def interrupted(*args):
        calls.append(1)
        if len(calls) == 2:
            raise KeyboardInterrupt  # stopped while the second object is cut
        return cut(*args)

    monkeypatch.setattr(Tessaron, "save_nearby_faces_as_ply", interrupted)
    with pytest.raises(KeyboardInterrupt):
        dense(scene)
    monkeypatch.undo()
    assert len([n for n in os.listdir(scene.mask_path) if n not in (outputs.REMAIN, run_record.NAME)]) == len(
        scene.object_names)
    dense(scene)
    assert written(scene) == reference


def test_dense_run_reads_the_mesh_before_any_extraction(small, tmp_path):
    scene = copy_of(small[0], tmp_path / "scene")
    with open(scene.mesh_file, "w") as f:
        f.write("ply\nformat ascii 1.0\nelement vertex 99\nend_header\n1 2\n")
    printed = io.StringIO()
    with pytest.raises(KeyError) as error, contextlib.redirect_stdout(printed):
        Tessaron.seg_scene_mesh_dense(Tessaron.SceneTessaron(scene.mask_path, scene.mesh_file, scene.root_path))
    assert error.value.__notes__ == [f"scene mesh {scene.mesh_file}"]  # trimesh's own error, noted
    assert "Files in" not in printed.getvalue()


# ---- the commands ------------------------------------------------------------


def test_segment_dense_and_check_commands(small, tmp_path):
    scene = copy_of(small[0], tmp_path / "scene")
    jpeg = os.path.join(scene.mask_path, scene.object_names[0], "00001.png")
    cv2.imwrite(jpeg + ".jpg", cv2.imread(jpeg))
    os.replace(jpeg + ".jpg", jpeg)  # a JPEG under a .png name

    done = quarnet("segment", scene.root_path, "--mesh", scene.mesh_file, "--dense", "--radius", 0.02, "-v")
    assert done.returncode == 0, done.stderr
    assert "[Warning] 1 masks in 1 object folders are JPEG files (e.g. " + jpeg in done.stdout
    assert "Faces within 0.02 of the points of 4 objects" in done.stdout and "note:" not in done.stdout
    again = quarnet("segment", scene.root_path, "--mesh", scene.mesh_file, "--dense", "--radius", 0.02)
    assert again.stdout.count("skipped (done)") == len(scene.object_names)

    shown = quarnet("check", scene.mask_path, "--mesh", scene.mesh_file, "--root", scene.root_path,
                    "-o", tmp_path / "check.png", "--json", tmp_path / "check.json")
    assert shown.returncode == 0, shown.stderr
    lines = shown.stdout.splitlines()
    header = lines.index("object      views  mean IoU  precision  recall  area share  worst view  its IoU")
    report = json.loads((tmp_path / "check.json").read_text())
    assert sorted(report["objects"]) == sorted(scene.object_names)
    from quarnet import version
    from quarnet.run_record import parameters

    assert report["run"] == {"mode": "dense", "radius": 0.02, "version": version(),
                             "mesh": parameters("dense", scene.mesh_file, scene.root_path)["mesh"]}
    for line in lines[header + 1:header + 1 + len(scene.object_names)]:
        name, views, mean, precision, recall, area, worst, iou = line.split()
        scores = report["objects"][name]
        assert int(views) == len(scores["views"]) and float(mean) == round(scores["mean_iou"], 3)
        assert 0 < float(area) <= float(precision) <= 1 and float(recall) > 0.95  # ground rims weigh more by area
        assert float(iou) == round(min(v["iou"] for v in scores["views"].values()), 3)
        assert set(scores["views"][worst]) == {"iou", "precision", "recall"}
    image = cv2.imread(str(tmp_path / "check.png"))
    assert image is not None and image.shape[1] == 4 * 326 + 6


def test_segment_says_when_no_object_was_cut(small, tmp_path):
    """Depth maps in millimetres (uint16): nothing is cut, a note says why, status 1."""
    scene = copy_of(small[0], tmp_path / "scene")
    depths = os.path.join(scene.root_path, "depths")
    for name in os.listdir(depths):
        path = os.path.join(depths, name)
        np.save(path, (np.load(path) * 1000).round().astype(np.uint16))
    done = quarnet("segment", scene.root_path, "--mesh", scene.mesh_file)
    assert done.returncode == 1
    for name in scene.object_names:
        assert (f"note: {name}: only 0% of its masked depth points (3 views) lie within the mesh's bounds, 100% when "
                "multiplied by 0.001: the depth maps look like millimetres; they must be in metres") in done.stdout
    assert done.stderr.endswith("quarnet: error: no object was cut: remain.ply holds the whole scene mesh "
                                "(see the notes above)\n")


# ---- the picture's order, colours and legend ---------------------------------


def test_names_in_natural_order_and_colours_distinct():
    assert outputs.by_name(["box_11", "box_3", "sphere_10", "box_2", "a"]) == ["a", "box_2", "box_3", "box_11",
                                                                               "sphere_10"]
    colours = {tuple(picture.object_colour(k)) for k in range(64)}
    assert len(colours) == 64 and tuple(picture.REMAIN_GREY) not in colours
    entries = [(f"object_{k}", picture.object_colour(k)) for k in range(31)]
    band = picture.legend_band(800, entries)
    assert band.shape[1:] == (800, 3)
    for k, (_, colour) in enumerate(entries):  # every entry drawn, the last row included
        assert np.all(band == colour.astype(np.uint8), axis=2).any(), k


def test_one_default_radius():
    import inspect

    from quarnet.cli import build_parser

    defaults = {inspect.signature(f).parameters["radius"].default
                for f in (Tessaron.seg_scene_mesh_dense, Tessaron.assign_faces_to_objects)}
    helps = [a.help for a in build_parser()._subparsers._group_actions[0].choices["segment"]._actions
             if a.dest == "radius"]
    assert defaults == {0.015} and "(default: 0.015," in helps[0]


def test_check_cameras_warn_of_ignored_distortion_once(tmp_path):
    """The warning of each model over camera models is tested with the scene setup."""
    from colmap_scene import camera, image, make_scene

    params = (500, 500, 320, 240, 0.1, 0, 0, 0)
    root = make_scene(tmp_path, [camera(model="OPENCV", params=params)], [image(1, "0001.png"), image(2, "0002.png")])
    views, warnings = picture.cameras_of_views(root, {1: 320, 2: 640})
    assert warnings == ["[Warning] camera model OPENCV has distortion parameters [0.1, 0.0, 0.0, 0.0]: distortion is "
                        "ignored, undistorted images are expected"]
    assert (views[1].width, views[1].height, views[2].height) == (320, 240, 480)
    assert views[2].K == [500.0, 500.0, 320.0, 240.0] and views[1].K == [250.0, 250.0, 160.0, 120.0]


def test_show_frames_the_objects(small, tmp_path):
    from quarnet.cli import show

    scene = copy_of(small[0], tmp_path / "scene")
    mesh = trimesh.load(scene.mesh_file, process=False)
    def bounds():
        return show._objects_bounds(picture.read_segmentation(scene.mask_path, list(scene.object_names))[0], mesh)

    assert np.array_equal(bounds(), mesh.bounds)
    dense(scene)
    parts = [trimesh.load(os.path.join(scene.mask_path, n, outputs.SUB_MESH), process=False).bounds
             for n in scene.object_names]
    lo, hi = bounds()
    assert np.array_equal(lo, np.min(parts, axis=0)[0]) and np.array_equal(hi, np.max(parts, axis=0)[1])
    assert np.all(hi - lo < 0.8 * (mesh.bounds[1] - mesh.bounds[0])[:2].max())
