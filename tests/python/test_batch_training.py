"""Batch training over the object sub-folders of a mask folder, with a recording
fake trainer patched into the module namespace."""
import os
import pathlib
import subprocess
import sys
import types
import weakref

import pytest

from quarnet.gaussian_seg import Vorlantide as V


def start(name):
    return f"\n=== Start training for subfolder: {name} ===\n"


def finish(name):
    return f"=== Finished training for subfolder: {name} ===\n\n"


def failed(name, error):
    return f"[Error] Training failed for {name}: {error}\n"


class Trainers:
    """Stands in for Kelsimar: records every construction and run."""

    def __init__(self):
        self.made = []  # (positional args, [(keyword, value), ...])
        self.runs = []  # text of each get_obj_gs_pcd call
        self.instances = []  # weak references, construction order
        self.raise_on_run = {}  # text -> exception
        self.raise_on_make = {}
        self.on_run = None

    def __call__(self, *args, **kwargs):
        self.made.append((args, list(kwargs.items())))
        if kwargs["text"] in self.raise_on_make:
            raise self.raise_on_make[kwargs["text"]]
        trainer = FakeTrainer(self, kwargs["text"])
        self.instances.append(weakref.ref(trainer))
        return trainer


class FakeTrainer:
    def __init__(self, log, text):
        self.log, self.text = log, text

    def get_obj_gs_pcd(self, *args, **kwargs):
        assert not args and not kwargs
        self.log.runs.append(self.text)
        if self.log.on_run:
            self.log.on_run(self)
        if self.text in self.log.raise_on_run:
            raise self.log.raise_on_run[self.text]
        return "ignored"


@pytest.fixture
def trainers(monkeypatch):
    log = Trainers()
    monkeypatch.setattr(V, "Kelsimar", log)
    return log


def listing_in_order(monkeypatch, names):
    """os in the module namespace, with listdir returning `names` as given."""
    fake_os = types.SimpleNamespace(listdir=lambda path: list(names), path=os.path)
    monkeypatch.setattr(V, "os", fake_os)


@pytest.fixture
def masks(tmp_path):
    root = tmp_path / "masks"
    for name in ("obj_c", "obj_a", "obj_b"):
        (root / name).mkdir(parents=True)
    return root


def test_module_binds_its_imports_and_one_class():
    from quarnet.gaussian_seg import Kelsimar

    assert V.os is os and V.subprocess is subprocess
    assert V.Kelsimar is Kelsimar.Kelsimar
    assert [n for n in vars(V) if not n.startswith("_") and n not in ("os", "subprocess", "Kelsimar")] == ["Vorlantide"]
    assert V.Vorlantide.__bases__ == (object,)


@pytest.mark.parametrize("sibling, error", [
    ("types.ModuleType('quarnet.gaussian_seg.Kelsimar')",
     "ImportError: cannot import name 'Kelsimar' from 'quarnet.gaussian_seg.Kelsimar' (cause None)"),
    ("None", "ModuleNotFoundError: import of quarnet.gaussian_seg.Kelsimar halted; None in sys.modules (cause None)"),
])
def test_loading_fails_with_the_import_error_itself(sibling, error, tmp_path):
    script = ("import sys, types\n"
              f"sys.modules['quarnet.gaussian_seg.Kelsimar'] = {sibling}\n"
              "try:\n"
              "    import quarnet.gaussian_seg.Vorlantide\n"
              "except ImportError as e:\n"
              "    print(f'{type(e).__name__}: {e} (cause {e.__cause__})')\n")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, cwd=tmp_path)
    assert (run.stdout, run.stderr) == (error + "\n", "")


def test_constructor_stores_values_unchanged_in_order():
    src, ckpt = pathlib.Path("no/such/source"), object()
    v = V.Vorlantide(src, "models", "masks", "imgs", 3, ckpt)
    assert list(vars(v).items()) == [
        ("source_path", src), ("model_path", "models"), ("images", "imgs"),
        ("N4views", 3), ("checkpoint", ckpt), ("mask_path", "masks"),
    ]
    assert vars(v)["source_path"] is src and vars(v)["checkpoint"] is ckpt
    v = V.Vorlantide(masks_path="m", model_path="o", source_path="s")
    assert vars(v) == {"source_path": "s", "model_path": "o", "images": "images", "N4views": 14,
                       "checkpoint": None, "mask_path": "m"}


def test_each_folder_gets_a_trainer_with_the_seven_keywords(trainers, masks, monkeypatch, capsys):
    order = ["obj_c", "obj_a", "obj_b"]
    listing_in_order(monkeypatch, order)
    ckpt = object()
    v = V.Vorlantide("src", "models", str(masks), images="imgs", N4views=5, checkpoint=ckpt)
    assert v.run_all() is None
    assert trainers.made == [
        ((), [("source_path", "src"), ("model_path", "models"), ("mask_path", os.path.join(str(masks), name)),
              ("checkpoint", ckpt), ("text", name), ("images", "imgs"), ("N4views", 5)])
        for name in order
    ]
    assert trainers.made[0][1][3][1] is ckpt
    assert trainers.runs == order
    assert capsys.readouterr().out == "".join(start(n) + finish(n) for n in order)


def test_default_construction_passes_the_defaults(trainers, masks):
    V.Vorlantide("src", "models", str(masks)).run_all()
    assert len(trainers.made) == 3
    for _, kwargs in trainers.made:
        assert kwargs[3] == ("checkpoint", None) and kwargs[5:] == [("images", "images"), ("N4views", 14)]


def test_plain_files_are_skipped_silently(trainers, tmp_path, monkeypatch, capsys):
    (tmp_path / "obj_1").mkdir()
    (tmp_path / "obj_2").mkdir()
    (tmp_path / "remain.ply").write_bytes(b"ply\n")
    listing_in_order(monkeypatch, ["obj_2", "remain.ply", "obj_1"])
    V.Vorlantide("s", "o", str(tmp_path)).run_all()
    assert [dict(kw)["text"] for _, kw in trainers.made] == ["obj_2", "obj_1"]
    assert capsys.readouterr().out == start("obj_2") + finish("obj_2") + start("obj_1") + finish("obj_1")


def test_listing_comes_from_the_real_os_listdir(trainers, masks, capsys):
    V.Vorlantide("s", "o", str(masks)).run_all()
    expected = os.listdir(masks)
    assert trainers.runs == expected
    assert capsys.readouterr().out == "".join(start(n) + finish(n) for n in expected)


def test_a_failed_external_process_is_reported_and_the_batch_goes_on(trainers, masks, monkeypatch, capsys):
    listing_in_order(monkeypatch, ["obj_c", "obj_a", "obj_b"])
    error = subprocess.CalledProcessError(1, ["train", "obj_c"])
    trainers.raise_on_run["obj_c"] = error
    V.Vorlantide("s", "o", str(masks)).run_all()
    assert trainers.runs == ["obj_c", "obj_a", "obj_b"]
    assert capsys.readouterr().out == (
        "\n=== Start training for subfolder: obj_c ===\n"
        "[Error] Training failed for obj_c: Command '['train', 'obj_c']' returned non-zero exit status 1.\n"
        "=== Finished training for subfolder: obj_c ===\n\n"
        + start("obj_a") + finish("obj_a") + start("obj_b") + finish("obj_b")
    )


def test_any_other_failure_ends_the_batch_without_the_finish_line(trainers, masks, monkeypatch, capsys):
    listing_in_order(monkeypatch, ["obj_c", "obj_a", "obj_b"])
    error = RuntimeError("out of memory")
    trainers.raise_on_run["obj_c"] = error
    with pytest.raises(RuntimeError) as raised:
        V.Vorlantide("s", "o", str(masks)).run_all()
    assert raised.value is error
    assert trainers.runs == ["obj_c"] and len(trainers.made) == 1
    assert capsys.readouterr().out == start("obj_c")


def test_a_failing_constructor_ends_the_batch_after_the_start_line(trainers, masks, monkeypatch, capsys):
    listing_in_order(monkeypatch, ["obj_c", "obj_a", "obj_b"])
    trainers.raise_on_make["obj_a"] = subprocess.CalledProcessError(2, "setup")
    with pytest.raises(subprocess.CalledProcessError):
        V.Vorlantide("s", "o", str(masks)).run_all()
    assert trainers.runs == ["obj_c"]
    assert capsys.readouterr().out == start("obj_c") + finish("obj_c") + start("obj_a")


def test_the_error_type_is_looked_up_through_the_namespace(trainers, masks, monkeypatch, capsys):
    class ProcessFailed(Exception):
        pass

    class Subclassed(ProcessFailed):
        def __str__(self):
            return "exit 3"

    listing_in_order(monkeypatch, ["obj_c", "obj_a", "obj_b"])
    monkeypatch.setattr(V, "subprocess", types.SimpleNamespace(CalledProcessError=ProcessFailed))
    trainers.raise_on_run["obj_c"] = Subclassed()
    trainers.raise_on_run["obj_a"] = subprocess.CalledProcessError(1, "x")
    with pytest.raises(subprocess.CalledProcessError):
        V.Vorlantide("s", "o", str(masks)).run_all()
    assert capsys.readouterr().out == start("obj_c") + failed("obj_c", "exit 3") + finish("obj_c") + start("obj_a")

    # No subprocess at all: the NameError carries the trainer's error as its context.
    monkeypatch.delattr(V, "subprocess")
    with pytest.raises(NameError, match="^name 'subprocess' is not defined$") as raised:
        V.Vorlantide("s", "o", str(masks)).run_all()
    assert raised.value.__context__ is trainers.raise_on_run["obj_c"]


def test_the_trainer_and_the_mask_folder_are_looked_up_for_each_folder(trainers, masks, tmp_path, monkeypatch):
    listing_in_order(monkeypatch, ["obj_c", "obj_a", "obj_b"])
    later, other = Trainers(), tmp_path / "other"
    (other / "obj_a").mkdir(parents=True)  # no obj_b there
    v = V.Vorlantide("s", "o", str(masks))
    trainers.on_run = lambda trainer: (monkeypatch.setattr(V, "Kelsimar", later), setattr(v, "mask_path", str(other)))
    v.run_all()
    assert trainers.runs == ["obj_c"] and later.runs == ["obj_a"]
    assert dict(later.made[0][1])["mask_path"] == str(other / "obj_a")


def test_each_trainer_lives_until_the_next_is_built(trainers, masks, monkeypatch):
    listing_in_order(monkeypatch, ["obj_c", "obj_a", "obj_b"])
    seen = []
    trainers.on_run = lambda trainer: seen.append([ref() is not None for ref in trainers.instances])
    V.Vorlantide("s", "o", str(masks)).run_all()
    assert seen == [[True], [False, True], [False, False, True]]
    assert [ref() for ref in trainers.instances] == [None, None, None]


def test_run_all_trains_everything_again_on_each_call(trainers, masks, capsys):
    v = V.Vorlantide("s", "o", str(masks))
    assert v.run_all() is None and v.run_all() is None
    names = os.listdir(masks)
    assert trainers.runs == names + names
    assert capsys.readouterr().out == "".join(start(n) + finish(n) for n in names) * 2


def test_a_folder_without_sub_folders_prints_nothing(trainers, tmp_path, capsys):
    (tmp_path / "remain.ply").write_bytes(b"ply\n")
    assert V.Vorlantide("s", "o", str(tmp_path)).run_all() is None
    empty = tmp_path / "empty"
    empty.mkdir()
    assert V.Vorlantide("s", "o", str(empty)).run_all() is None
    assert trainers.made == [] and capsys.readouterr().out == ""


def test_a_missing_mask_folder_fails_before_any_output(trainers, tmp_path, capsys):
    with pytest.raises(FileNotFoundError):
        V.Vorlantide("s", "o", str(tmp_path / "none")).run_all()
    assert trainers.made == [] and capsys.readouterr().out == ""
