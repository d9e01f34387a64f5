"""The tables of `quarnet segment` and `quarnet show`: each object's status as
the run found it, and outputs that cannot be read named, never fatal."""
import os
import re

import pytest
import trimesh

from quarnet import cli, sample
from quarnet.cli.table import print_table
from quarnet.mesh_seg import Tessaron
from sample_copies import copy_of


@pytest.fixture(scope="module")
def pristine(tmp_path_factory):
    return sample.build_sample_scene(tmp_path_factory.mktemp("table") / "scene", seed=0, faces=3000, views=3, objects=3)


@pytest.fixture
def scene(pristine, tmp_path):
    return copy_of(pristine, tmp_path / "scene")


def command(capsys, *args):
    status = cli.main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


def rows(out):
    """{object: [cells]} of the table that closes the output."""
    lines = out.splitlines()
    start = max(i for i, line in enumerate(lines) if line.startswith("object "))
    return {cells[0]: cells[1:] for cells in (re.split(r"\s{2,}", line.strip()) for line in lines[start + 1:])
            if len(cells) > 1}


def segment(capsys, scene, *options):
    return command(capsys, "segment", scene.root_path, "--mesh", scene.mesh_file, *options)


def test_objects_skipped_during_the_run_have_their_own_status(scene, capsys, monkeypatch):
    first, second, third = sorted(scene.object_names)
    os.symlink(first, os.path.join(scene.mask_path, "link"))  # the same folder under two names
    finished = []
    extract = Tessaron.extract_masked_pointclouds

    def another_run_finishes(mask_dir, *args):  # ... the third object, while this run gathers points
        if os.path.basename(mask_dir) == third and not finished:
            trimesh.Trimesh([[9, 9, 9], [10, 9, 9], [9, 10, 9]], [[0, 1, 2]]).export(os.path.join(mask_dir, "sub_mesh.ply"))
            finished.append(third)
        return extract(mask_dir, *args)

    monkeypatch.setattr(Tessaron, "extract_masked_pointclouds", another_run_finishes)
    status, out, err = segment(capsys, scene, "-v")
    assert status == 0, err
    table = rows(out)
    cut_first = next(n for n in ("link", first) if f"finish seg part {n} save ply" in out)
    other = first if cut_first == "link" else "link"
    assert table[cut_first][2] == "cut" and table[second][2] == "cut"
    assert table[other] == ["-", "-", f"skipped (same folder as {cut_first})"]  # its faces are counted once
    assert table[third][2] == "skipped (done by another run)"
    monkeypatch.undo()
    again = rows(segment(capsys, scene)[1])
    assert {n: cells[2] for n, cells in again.items() if n != "remain.ply"} == {
        cut_first: "skipped (done)", second: "skipped (done)", third: "skipped (done)",
        other: f"skipped (same folder as {cut_first})"}


@pytest.mark.parametrize("how", ["garbage", "folder"])
def test_unreadable_outputs_are_named_after_a_complete_run(scene, capsys, tmp_path, how):
    assert segment(capsys, scene)[0] == 0
    first = sorted(scene.object_names)[0]
    bad, remain = os.path.join(scene.mask_path, first, "sub_mesh.ply"), os.path.join(scene.mask_path, "remain.ply")

    def spoil(path):
        os.remove(path)
        os.mkdir(path) if how == "folder" else open(path, "wb").write(b"no mesh at all")

    spoil(bad)
    reason = "a folder, not a mesh file" if how == "folder" else "not a mesh trimesh can read ("

    status, out, err = segment(capsys, scene)
    assert status == 0, err
    assert rows(out)[first] == ["-", rows(out)[first][1], "skipped (done)"]
    assert [line for line in out.splitlines() if line.startswith("cannot read ")][0].startswith(
        f"cannot read {bad}: {reason}")

    spoil(remain)
    picture = tmp_path / "picture.png"
    status, out, err = command(capsys, "show", scene.mask_path, "--mesh", scene.mesh_file, "-o", picture)
    assert status == 0 and picture.stat().st_size > 0, err
    assert rows(out)[first][1] == "-" and rows(out)["remain"][1] == "-"
    named = [line for line in out.splitlines() if line.startswith("cannot read ")]
    assert len(named) == 2 and named[0].startswith(f"cannot read {bad}: {reason}")
    assert named[1].startswith(f"cannot read {remain}: {reason}")


def test_names_with_control_characters_keep_to_their_row(capsys):
    names = ["a\nb", "tab\tbed", "\x1b[31mred", "caf\udcc3", "line\u2028sep", "盒子"]  # \udcc3: a byte not UTF-8
    print_table(("object", "faces"), [(name, k) for k, name in enumerate(names)], right=(1,))
    assert capsys.readouterr().out.splitlines() == [
        "object         faces",
        "a\\nb               0",
        "tab\\tbed           1",
        "\\x1b[31mred        2",
        "caf\\xc3            3",
        "line\\u2028sep      4",
        "盒子                 5",
    ]
