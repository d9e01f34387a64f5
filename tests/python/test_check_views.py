"""`quarnet check` and `show --view` tie each view to its camera as the
segmentation does (the stem of the image's name, not the sparse model's
id), name the mask of a wrong size, say when --mesh is not the segmented
mesh, and never replace or overrun what they write to."""
import json
import os
import stat

import open3d as o3d
import pytest

from quarnet import _scene_rules as scene_rules
from quarnet import check, cli, run_record
from quarnet.sample import build_sample_scene
from quarnet.scene import colmap_loader as cl
from quarnet.testing.scenes import cleaned_clouds, write_true_segmentation
from sample_copies import copy_of


@pytest.fixture(scope="module")
def segmented(tmp_path_factory):
    scene = build_sample_scene(tmp_path_factory.mktemp("views") / "scene", 0, faces=20000, views=6, objects=4)
    write_true_segmentation(scene)
    return scene


def scores(scene, **kwargs):
    agreements, warnings = check.check_segmentation(scene.mask_path, scene.root_path, list(scene.object_names),
                                                    progress=False, **kwargs)
    return {a.name: (a.views, a.area_share) for a in agreements}, warnings


def renumber(scene, shift, order):
    """The scene's sparse model with image ids that are not the stems of the
    names: each view's files renamed to stem - shift, its image keeping its
    id; the images written in `order` under ids permuted by it."""
    sparse, depths = (os.path.join(scene.root_path, folder) for folder in (scene_rules.SPARSE, scene_rules.DEPTHS))
    model = cl.read_model(sparse)
    images = list(model.images.values())
    for image in images:  # lowest first: a new name is always free
        stem = scene_rules.image_id(image.name)
        os.replace(scene_rules.depth_file(depths, stem), scene_rules.depth_file(depths, stem - shift))
        for name in scene.object_names:
            os.replace(os.path.join(scene.mask_path, name, image.name),
                       os.path.join(scene.mask_path, name, f"{stem - shift:05d}.png"))
    ids = [images[k].id for k in order]
    renamed = {ids[k]: images[k]._replace(id=ids[k], name=f"{scene_rules.image_id(images[k].name) - shift:05d}.png")
               for k in order}
    os.remove(os.path.join(sparse, "images.bin"))
    cl.write_model(model.cameras, renamed, sparse)


@pytest.mark.parametrize("shift, order", [(1, [0, 1, 2, 3, 4, 5]), (0, [3, 0, 5, 1, 4, 2])],
                         ids=["ids 1..N, names 00000.png...", "ids shuffled"])
def test_views_are_tied_by_the_stem_of_the_image_name(segmented, tmp_path, capsys, shift, order):
    scene = copy_of(segmented, tmp_path / "scene")
    renumber(scene, shift, order)
    (expected, _), (found, warnings) = scores(segmented), scores(scene)
    assert warnings == []
    for name, (views, area) in expected.items():
        assert found[name] == ({image_id - shift: s for image_id, s in views.items()}, area)
        assert min(s.iou for s in views.values()) >= 0.999 and area >= 0.999
    for s, view in ((segmented, 4), (scene, 4 - shift)):
        assert cli.main(["show", s.mask_path, "--mesh", s.mesh_file, "--root", s.root_path, "--view", str(view),
                         "--width", "160", "-o", str(tmp_path / f"{s is scene}.png")]) == 0
    assert (tmp_path / "True.png").read_bytes() == (tmp_path / "False.png").read_bytes()


@pytest.mark.parametrize("wrong", [0, 3])  # the first mask read, and one read after others
def test_the_mask_of_a_wrong_size_is_named(segmented, tmp_path, wrong):
    import cv2

    scene = copy_of(segmented, tmp_path / "scene")
    path = os.path.join(scene.mask_path, scene.object_names[wrong], "00002.png")
    cv2.imwrite(path, cv2.resize(cv2.imread(path), (160, 120)))
    with pytest.raises(ValueError) as error:
        scores(scene)
    assert str(error.value) == (f"{path}: the mask is 160x120 pixels, the camera of image 2 in "
                                f"{os.path.join(scene.root_path, 'sparse/0')} 320x240")


def test_check_says_when_the_mesh_is_not_the_segmented_one(segmented, tmp_path, capsys):
    other = build_sample_scene(tmp_path / "other", 1, faces=20000, views=2, objects=4)
    scene = copy_of(segmented, tmp_path / "scene")
    for cloud, name in zip(*cleaned_clouds(scene)):  # the objects' points, as a segmentation writes them
        o3d.io.write_point_cloud(os.path.join(scene.mask_path, name, "sub_pcd.ply"), cloud)
    right = cli.main(["check", scene.mask_path, "--mesh", scene.mesh_file, "--root", scene.root_path,
                      "-o", str(tmp_path / "a.png"), "--json", str(tmp_path / "a.json")])
    quiet = capsys.readouterr().out
    wrong = cli.main(["check", scene.mask_path, "--mesh", other.mesh_file, "--root", scene.root_path,
                      "-o", str(tmp_path / "b.png"), "--json", str(tmp_path / "b.json")])
    told = capsys.readouterr().out
    assert right == wrong == 0 and "[Warning]" not in quiet
    assert (tmp_path / "a.json").read_text() == (tmp_path / "b.json").read_text()  # the scores are the outputs'
    warnings = [line for line in told.splitlines() if line.startswith("[Warning]")]
    assert len(warnings) == 2
    assert warnings[0].startswith(f"[Warning] the sub-meshes and remain.ply in {scene.mask_path} hold "
                                  f"{segmented.faces} faces, {other.mesh_file} {other.faces}: the scores are of that "
                                  "segmentation, which is not a cut of this mesh (or lost faces)")
    assert warnings[1].startswith(f"[Warning] {other.mesh_file}: the scene mesh does not fit the depth maps: only ")
    assert json.loads((tmp_path / "a.json").read_text())["run"] is None  # no run record: the files were written so

    record = run_record.path_of(scene.mask_path)  # a record that names another mesh, as the command writes it
    with open(record, "w") as f:
        json.dump({"format": 1, "mode": "default", "radius": None, "options": {}, "sparse": {}, "version": "1",
                   "complete": True, "mesh": {"path": "/else/mesh.ply", "size": 7, "xxh3_64": "0"}}, f)
    cli.main(["check", scene.mask_path, "--mesh", scene.mesh_file, "--root", scene.root_path,
              "-o", str(tmp_path / "c.png"), "--json", str(tmp_path / "c.json")])
    assert [line for line in capsys.readouterr().out.splitlines() if line.startswith("[Warning]")] == [
        f"[Warning] {scene.mesh_file} is not the mesh the segmentation in {scene.mask_path} was cut from: its run "
        "record names /else/mesh.ply (7 bytes)"]
    assert json.loads((tmp_path / "c.json").read_text())["run"] == {"mode": "default", "radius": None, "version": "1",
                                                                   "mesh": {"path": "/else/mesh.ply", "size": 7,
                                                                            "xxh3_64": "0"}}
    report = json.loads((tmp_path / "a.json").read_text())["objects"]
    header = next(line for line in quiet.splitlines() if line.startswith("object"))
    assert header.split() == ["object", "views", "mean", "IoU", "precision", "recall",
                                                         "area", "share", "worst", "view", "its", "IoU"]
    for line in quiet.splitlines()[quiet.splitlines().index(header) + 1:][:len(report)]:
        name, views, iou, precision, recall, area, worst, worst_iou = line.split()
        row = report[name]
        assert (int(views), float(iou), float(precision), float(recall), float(area)) == (
            len(row["views"]), round(row["mean_iou"], 3), round(row["mean_precision"], 3),
            round(row["mean_recall"], 3), round(row["area_share"], 3))
        assert float(worst_iou) == round(row["views"][worst]["iou"], 3)


def test_outputs_go_through_links_and_pipes_and_a_huge_picture_is_refused(segmented, tmp_path, capsys):
    scene = segmented
    target = tmp_path / "kept" / "check.png"
    target.parent.mkdir()
    target.write_bytes(b"old")
    (tmp_path / "latest.png").symlink_to(target)
    os.mkfifo(tmp_path / "scores")
    status = cli.main(["check", scene.mask_path, "--mesh", scene.mesh_file, "--root", scene.root_path,
                       "-o", str(tmp_path / "latest.png"), "--json", str(tmp_path / "scores")])
    assert status == 1 and capsys.readouterr().err == (f"quarnet: error: {tmp_path / 'scores'}: a FIFO that no one "
                                                       "reads, nothing written\n")
    assert (tmp_path / "latest.png").is_symlink() and target.read_bytes()[:4] == b"\x89PNG"
    assert stat.S_ISFIFO(os.lstat(tmp_path / "scores").st_mode)

    status = cli.main(["show", scene.mask_path, "--mesh", scene.mesh_file, "--width", "200000",
                       "-o", str(tmp_path / "huge.png")])
    err = capsys.readouterr().err
    assert status == 1 and err.startswith("quarnet: error: a picture of two 200000x150000 panels needs about ")
    assert err.endswith(" GiB are available: ask for a smaller width\n") and not os.path.exists(tmp_path / "huge.png")
    assert err.count("\n") == 1
