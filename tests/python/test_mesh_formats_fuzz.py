"""The mesh-format fuzz harness: its seed corpora go through the cut step's
mesh reading, and one short fuzz run passes."""
import glob
import importlib.util
import os
import subprocess
import sys

import pytest
import trimesh

FUZZ = os.path.join(os.path.dirname(__file__), "..", "..", "fuzz")
HARNESS = importlib.util.spec_from_file_location("mesh_formats_fuzz", os.path.join(FUZZ, "mesh_formats_fuzz.py"))
mesh_formats_fuzz = importlib.util.module_from_spec(HARNESS)
HARNESS.loader.exec_module(mesh_formats_fuzz)


@pytest.mark.parametrize("fmt", mesh_formats_fuzz.FORMATS)
def test_seed_corpus_reads_through_the_cut_step(tmp_path, fmt):
    seeds = sorted(glob.glob(os.path.join(FUZZ, "corpus", f"mesh_{fmt}", "*")))
    assert len(seeds) >= 3
    check = mesh_formats_fuzz.mesh_reader(fmt, str(tmp_path))
    for seed in seeds:
        with open(seed, "rb") as f:
            data = f.read()
        if os.path.basename(seed).startswith("points"):
            with pytest.raises(ValueError, match="^scene mesh has no faces: "):
                check(data)
            continue
        check(data)
        remain = trimesh.load(tmp_path / "remain.ply")
        assert len(remain.faces) > 0, seed
    assert sorted(os.listdir(tmp_path)) == ["remain.ply", f"scene.{fmt}"]


def test_short_run_of_one_format(tmp_path):
    pytest.importorskip("atheris")
    (tmp_path / "work").mkdir()
    (tmp_path / "scratch").mkdir()
    seeds = os.path.join(FUZZ, "corpus", "mesh_off")
    done = subprocess.run([sys.executable, os.path.join(FUZZ, "mesh_formats_fuzz.py"), "--format", "off",
                           "--scratch", str(tmp_path / "scratch"), "-runs=200", "-timeout=20",
                           f"-artifact_prefix={tmp_path}/", str(tmp_path / "work"), seeds],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert "Done 200 runs" in done.stderr


def test_command_line_needs_seconds_or_a_format():
    done = subprocess.run([sys.executable, os.path.join(FUZZ, "mesh_formats_fuzz.py")], capture_output=True, text=True)
    assert done.returncode == 2 and "give --seconds N, or --format F" in done.stderr
