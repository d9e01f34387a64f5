"""The rules of a scene's files: the segmentation driver, Vorlantide and the
outputs reader see the same objects of one awkward mask folder, and the
commands read a view as the module does."""
import os

import cv2
import numpy as np
import pytest

from quarnet import _scene_rules, masks, outputs
from quarnet.gaussian_seg import Vorlantide as V
from quarnet.mesh_seg import Tessaron
from terminal import escaped_stdout


def test_driver_batch_and_reader_see_the_same_objects(tmp_path, monkeypatch):
    masks = tmp_path / "masks"
    odd = os.fsdecode(b"caf\xe9")  # not UTF-8
    for name in ("obj", ".hidden_obj", odd):
        (masks / name).mkdir(parents=True)
    (masks / "remain.ply").write_bytes(b"ply\n")
    (masks / ".hidden").write_text("x")
    os.mkfifo(masks / "pipe")  # never opened: nothing blocks
    os.symlink("obj", masks / "link_obj")
    os.symlink("remain.ply", masks / "link_file")
    os.symlink("missing", masks / "dangling")
    os.symlink("loop", masks / "loop")
    objects = ["obj", ".hidden_obj", odd, "link_obj"]

    stdout = escaped_stdout(monkeypatch)
    trained = []
    monkeypatch.setattr(V, "Kelsimar", lambda text, **kw: trained.append(text) or type("T", (), {
        "get_obj_gs_pcd": lambda self: None})())
    V.Vorlantide("src", "models", str(masks)).run_all()

    cut = []
    monkeypatch.setattr(Tessaron, "extract_masked_pointclouds",
                        lambda mask_dir, *rest: cut.append(os.path.basename(mask_dir)) or (None, None), raising=False)
    scene = type("Scene", (), {"pose": [], "mask_path": str(masks), "depths_path": "d", "K": [1.0, 1.0, 0.0, 0.0],
                               "process_and_visualize_mesh_with_pointcloud_and_bbox": lambda self, *a: None})()
    Tessaron.SceneTessaron.seg_scene_mesh(scene)

    listed = [name for name in os.listdir(masks) if name in objects]
    assert sorted(listed) == sorted(objects)
    assert outputs.object_folders(str(masks)) == trained == cut == listed
    assert stdout().count("Files in ") == stdout().count("=== Start training") == len(objects)


@pytest.mark.parametrize("points", [
    np.array([[0, 0, 1], [0, 0, 0], [0, 0, np.inf], [0, 0, np.nan], [1, 1, -1], [2, 2, -np.inf], [2, 2, 3]]),
    np.array([[0, 0, 1], [0, 0, 0], [0, 0, np.inf], [2, 2, 3]], dtype=">f4"),  # numpy's own evaluation
])
def test_the_commands_read_the_modules_view_rules(points, tmp_path):
    z = np.asarray(points)[:, 2]
    want = points[(z > 0) & (z < np.inf)]
    got = _scene_rules.with_depth(points)
    assert got.dtype == want.dtype and got.tobytes() == want.tobytes()
    assert _scene_rules.image_id("0012.png") == masks.image_id("/m/obj/0012.png") == 12
    assert _scene_rules.depth_file("d", 12) == os.path.join("d", "12.npy")
    with pytest.raises(ValueError, match=r"^x/a7\.png: a mask's file name must be its image id"):
        masks.image_id("x/a7.png")
    mask = np.arange(12, dtype=np.uint8).reshape(3, 4) % 3 * 255
    odd = os.path.join(tmp_path, os.fsdecode(b"caf\xe9.png"))  # a name OpenCV cannot open
    with open(odd, "wb") as f:
        f.write(cv2.imencode(".png", mask)[1].tobytes())
    os.mkfifo(tmp_path / "7.png")  # never opened: nothing blocks
    assert masks.read_mask(odd).tolist() == (mask != 0).tolist()
    assert masks.read_mask(str(tmp_path / "7.png")) is None


def cut_out(mask):
    """A cut-out export of a mask: RGB white everywhere, the object in the alpha."""
    return np.dstack([np.full(mask.shape + (3,), 255, np.uint8), np.where(mask != 0, 255, 0).astype(np.uint8)])


MASK = np.zeros((6, 8), np.uint8)
MASK[2:4, 2:6] = 7
# image written -> (pixels its grey values mark, pixels its alpha marks) where they differ, else None
WITH_ALPHA = {
    "grey": (MASK, None),
    "opaque RGBA": (np.dstack([np.dstack([MASK] * 3), np.full(MASK.shape, 255, np.uint8)]), None),
    "RGBA cut-out": (cut_out(MASK), (48, 8)),
    "grey + alpha cut-out": (cut_out(MASK)[..., 2:], (48, 8)),
    "transparent black, opaque object": (np.dstack([np.dstack([MASK] * 3), np.where(MASK, 255, 0)]).astype(np.uint8), None),
    "uniform translucent alpha": (np.dstack([np.dstack([MASK] * 3), np.full(MASK.shape, 128, np.uint8)]), None),
}


@pytest.mark.parametrize("image, disagreement", WITH_ALPHA.values(), ids=WITH_ALPHA)
def test_masks_whose_alpha_holds_another_object_are_found(image, disagreement, tmp_path):
    path = str(tmp_path / "00001.png")
    if image.ndim == 3 and image.shape[2] == 2:
        from PIL import Image  # OpenCV writes no grey + alpha PNG
        Image.fromarray(image, "LA").save(path)
    else:
        cv2.imwrite(path, image[..., [2, 1, 0, 3]] if image.ndim == 3 else image)
    assert masks.alpha_disagreement(path) == disagreement
    # The segmentation's reading is cv2.imread's grey, whatever the alpha says.
    np.testing.assert_array_equal(masks.read_mask(path), cv2.imread(path, cv2.IMREAD_GRAYSCALE) != 0)


def test_segment_names_the_first_cut_out_mask_before_the_run(tmp_path, capsys):
    from quarnet import cli, sample

    scene = sample.build_sample_scene(tmp_path / "scene", seed=1, faces=3000, views=3, objects=2)
    first, second = sorted(scene.object_names)
    files = sorted(os.listdir(os.path.join(scene.mask_path, second)))
    for name in files:
        path = os.path.join(scene.mask_path, second, name)
        cv2.imwrite(path, cut_out(cv2.imread(path, cv2.IMREAD_GRAYSCALE)))
    assert cli.main(["segment", scene.root_path, "--mesh", scene.mesh_file]) == 0
    out = capsys.readouterr().out
    named = os.path.join(scene.mask_path, second, files[0])
    warnings = [line for line in out.splitlines() if "has an alpha channel" in line]
    assert len(warnings) == 1 and warnings[0].startswith(f"[Warning] mask {named} has an alpha channel that marks ")
    assert out.index(warnings[0]) < out.index("object      faces")  # before the table
    assert masks.mask_warnings(scene.mask_path, [first]) == []
