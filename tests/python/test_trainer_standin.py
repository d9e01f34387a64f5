"""The stand-in trainer Kelsimar, end to end through its child program: what
Vorlantide and the quarnet command rely on."""
import datetime
import json
import os
import subprocess

import pytest

from quarnet.gaussian_seg import Kelsimar as K
from quarnet.gaussian_seg import Vorlantide as V

PROGRAM = os.path.join(os.path.dirname(K.__file__), "kelsimar-run")


def command(source, models, mask_path, text, images="images", n4views="14", checkpoint=None):
    argv = [PROGRAM, "--source-path", source, "--model-path", models, "--mask-path", mask_path,
            "--text", text, "--images", images, "--n4views", n4views]
    return argv + (["--checkpoint", checkpoint] if checkpoint is not None else [])


@pytest.fixture
def scene(tmp_path):
    source = tmp_path / "scene"
    (source / "images").mkdir(parents=True)
    masks = tmp_path / "masks"
    for name in ("obj_ok", "obj_bad"):
        (masks / name).mkdir(parents=True)
        (masks / name / "sub_mesh.ply").write_bytes(b"ply\n")
    for view in ("00001.png", "00002.png", "00003.JPG"):
        (masks / "obj_ok" / view).write_bytes(b"\x89PNG")
    (masks / "remain.ply").write_bytes(b"ply\n")
    return str(source), str(tmp_path / "models"), str(masks)


def manifest(models, text):
    with open(os.path.join(models, text, "manifest.json"), encoding="utf-8") as f:
        return json.load(f)


def test_batch_reports_the_failed_object_and_trains_the_other(scene, capfd):
    source, models, masks = scene
    before = datetime.datetime.now(datetime.timezone.utc)
    V.Vorlantide(source, models, masks).run_all()
    out, err = capfd.readouterr()

    bad = os.path.join(masks, "obj_bad")
    error = subprocess.CalledProcessError(1, command(source, models, bad, "obj_bad"))
    blocks = {
        "obj_ok": "\n=== Start training for subfolder: obj_ok ===\n"
                  "=== Finished training for subfolder: obj_ok ===\n\n",
        "obj_bad": "\n=== Start training for subfolder: obj_bad ===\n"
                   f"[Error] Training failed for obj_bad: {error}\n"
                   "=== Finished training for subfolder: obj_bad ===\n\n",
    }
    assert out == "".join(blocks[n] for n in os.listdir(masks) if n in blocks)
    assert err == f"kelsimar-run: no mask images in {bad}\n"

    record = manifest(models, "obj_ok")
    started = datetime.datetime.fromisoformat(record.pop("started"))
    finished = datetime.datetime.fromisoformat(record.pop("finished"))
    assert before - datetime.timedelta(seconds=1) <= started <= finished <= datetime.datetime.now(datetime.timezone.utc)
    assert record == {
        "object": "obj_ok", "source_path": source, "mask_path": os.path.join(masks, "obj_ok"),
        "model_path": models, "images": "images", "N4views": 14, "checkpoint": None,
        "mask_images": 3, "trained": False,
    }
    assert os.listdir(models) == ["obj_ok"]
    assert os.listdir(os.path.join(models, "obj_ok")) == ["manifest.json"]


def test_trainer_passes_every_input_to_the_child(scene, tmp_path):
    source, models, masks = scene
    ckpt = tmp_path / "chkpnt.pth"
    ckpt.write_bytes(b"")
    trainer = K.Kelsimar(source_path=tmp_path / "scene", model_path=models, mask_path=os.path.join(masks, "obj_ok"),
                         checkpoint=ckpt, text="椅子", images="imgs", N4views=7)
    assert list(vars(trainer)) == ["source_path", "model_path", "mask_path", "checkpoint", "text", "images", "N4views"]
    assert trainer.get_obj_gs_pcd() is None
    record = manifest(models, "椅子")
    assert (record["source_path"], record["object"], record["images"], record["N4views"], record["checkpoint"]) == (
        source, "椅子", "imgs", 7, str(ckpt))


@pytest.mark.parametrize("change, status, reason", [
    ({"checkpoint": "missing.pth"}, 1, "No such file or directory: missing.pth"),
    ({"source_path": "no-scene"}, 1, "No such file or directory: no-scene"),
    ({"text": "../escape"}, 2, "--text must be a single folder name, got '../escape'"),
    ({"N4views": "many"}, 2, "--n4views must be a positive integer, got 'many'"),
])
def test_a_failing_child_raises_called_process_error(scene, capfd, change, status, reason):
    source, models, masks = scene
    kwargs = dict(source_path=source, model_path=models, mask_path=os.path.join(masks, "obj_ok"),
                  checkpoint=None, text="obj_ok", images="images", N4views=14)
    kwargs.update(change)
    with pytest.raises(subprocess.CalledProcessError) as raised:
        K.Kelsimar(**kwargs).get_obj_gs_pcd()
    assert raised.value.returncode == status
    assert raised.value.cmd[0] == PROGRAM
    assert capfd.readouterr().err == f"kelsimar-run: {reason}\n"
    assert not os.path.exists(models)
