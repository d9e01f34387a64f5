"""What the run record costs the segmentation on a big scene.

A sample scene is built and every object's cloud extracted once; then, per
mode, the cut runs on a fresh mask folder without a record (as the Python
functions run it) and with one (as quarnet segment runs it: the scene ids
of the faces each object takes, and a check of each skipped object's file),
then again with every object done. Beside them: the hashes of the mesh and
the sparse model (run_record.parameters) and the partition check of the
recorded ids (run_record.partition_problem).

    python bench/bench_cut_record.py [--faces 1000000 --views 20 --repeats 2]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import shutil
import tempfile
import time

from quarnet import outputs, run_record, sample
from quarnet.mesh_seg import Tessaron


def quietly(fn, *args):
    """(seconds, result) of fn(*args), its lines unprinted."""
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        start = time.perf_counter()
        result = fn(*args)
        return time.perf_counter() - start, result


def clear(masks):
    for name in os.listdir(masks):
        path = os.path.join(masks, name)
        if os.path.isdir(path):
            for out in (outputs.SUB_MESH, outputs.SUB_PCD):
                if os.path.exists(os.path.join(path, out)):
                    os.remove(os.path.join(path, out))
        else:
            os.remove(path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--faces", type=int, default=1_000_000)
    parser.add_argument("--views", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=2)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as root:
        built = sample.build_sample_scene(os.path.join(root, "scene"), 0, faces=args.faces, views=args.views)
        scene = Tessaron.SceneTessaron(built.mask_path, built.mesh_file, built.root_path)
        clouds, boxes, subdirs = quietly(Tessaron._object_clouds, scene)[1]
        start = time.perf_counter()
        params = run_record.parameters("dense", built.mesh_file, scene.sfm_path, radius=0.015)
        hashing = time.perf_counter() - start
        print(f"mesh: {built.faces:,} faces ({os.path.getsize(built.mesh_file) / 1e6:.0f} MB), {len(subdirs)} objects")
        print(f"hashes of the mesh and the sparse model: {hashing:.3f} s")
        print(f"\n{'mode':<8} {'run':<22} {'no record':>10} {'record':>8} {'ratio':>6}")
        for mode in ("default", "dense"):
            def cut(record):
                if mode == "dense":
                    Tessaron._cut_dense(scene, clouds, subdirs, 0.015, record)
                else:
                    Tessaron._cut_objects(scene, clouds, boxes, subdirs, record)

            times, these = {}, {**params, "mode": mode, "radius": 0.015 if mode == "dense" else None}
            for _ in range(args.repeats):  # alternately, the fastest of each kept
                for recorded in (False, True):
                    clear(built.mask_path)
                    record = run_record.begin(built.mask_path, these) if recorded else None
                    spent = {"fresh": quietly(cut, record)[0]}
                    if recorded:
                        start = time.perf_counter()
                        problem = run_record.partition_problem(record, built.mask_path, subdirs)
                        check = time.perf_counter() - start
                        assert problem is None, problem
                        record = run_record.Recorder(built.mask_path, these)
                    spent["every object done"] = quietly(cut, record)[0]
                    for run, seconds in spent.items():
                        times[recorded, run] = min(seconds, times.get((recorded, run), seconds))
            for run in ("fresh", "every object done"):
                a, b = times[False, run], times[True, run]
                print(f"{mode:<8} {run:<22} {a:9.2f}s {b:7.2f}s {b / a:6.2f}")
            print(f"{mode:<8} {'partition check':<22} {'':>10} {check:7.3f}s")
        shutil.rmtree(built.root_path)


if __name__ == "__main__":
    main()
