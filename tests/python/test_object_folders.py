"""What counts as an object folder: the segmentation driver, Vorlantide and the
outputs reader see the same objects of one awkward mask folder."""
import os

from quarnet import outputs
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
