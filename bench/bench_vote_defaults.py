"""The vote's defaults (vote_faces_to_objects: min_share, min_views,
depth_tolerance), chosen by measurement on cluttered scenes with masks as a
segmentation model gives them: per setting, each object's share of its seen
faces (recall), the share of its faces that are its own (precision) and the
share of its faces' area that is its own, against the ground truth.

    python bench/bench_vote_defaults.py [--faces 300000 1000000] [--seeds 0 1 2] [--shares 0.3 0.4 0.5 0.6 0.7]
                                        [--views 1 2 3 4] [--tolerances 0.01 0.02 0.05]
                                        [--cameras 60 --width 640 --height 480 --objects 10]

Shares and views are swept at the default depth tolerance, tolerances at the
default share and views. Prints per scene size and setting the mean and the
worst object's figures over every object of every seed.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
import tempfile
import time

DEFAULTS = {"min_share": 0.5, "min_views": 3, "depth_tolerance": 0.02}


def score(scene, settings):
    """{setting: (rows of score_faces, seconds)} for the vote of `scene` under each setting."""
    import numpy as np
    import trimesh

    from quarnet import sample
    from quarnet.mesh_seg import Tessaron

    names, labels, seen = sample.load_ground_truth(scene.ground_truth_path)
    with contextlib.redirect_stdout(io.StringIO()):
        s = Tessaron.SceneTessaron(scene.mask_path, scene.mesh_file, scene.root_path)
    poses = {idx: (t, q) for idx, t, q in s.pose}
    mesh = trimesh.load(scene.mesh_file)
    area = mesh.area_faces
    folders = [os.path.join(scene.mask_path, n) for n in names]
    out = {}
    for setting in settings:
        start = time.perf_counter()
        owner = Tessaron.vote_faces_to_objects(mesh, folders, s.depths_path, poses, s.K, **dict(setting))
        out[setting] = (sample.score_faces(labels, seen, [np.flatnonzero(owner == k) for k in range(len(names))],
                                           area), time.perf_counter() - start)
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--faces", type=int, nargs="+", default=[300_000, 1_000_000])
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2])
    parser.add_argument("--shares", type=float, nargs="+", default=[0.3, 0.4, 0.5, 0.6, 0.7])
    parser.add_argument("--views", type=int, nargs="+", default=[1, 2, 3, 4])
    parser.add_argument("--tolerances", type=float, nargs="+", default=[0.01, 0.02, 0.05])
    parser.add_argument("--cameras", type=int, default=60)
    parser.add_argument("--width", type=int, default=640)
    parser.add_argument("--height", type=int, default=480)
    parser.add_argument("--objects", type=int, default=10)
    args = parser.parse_args(argv)

    from quarnet import sample
    from quarnet.sample.noise import SEGMENTER

    def setting(**changes):
        return tuple(sorted({**DEFAULTS, **changes}.items()))

    settings = [setting(min_share=s, min_views=v) for v in args.views for s in args.shares]
    settings += [setting(depth_tolerance=t) for t in args.tolerances if setting(depth_tolerance=t) not in settings]
    print(f"{len(args.seeds)} seeds per size, {args.objects} objects, {args.cameras} hand-held views of "
          f"{args.width}x{args.height}, noisy masks and depth")
    print(f"{'faces':>9} {'share':>6} {'views':>5} {'tol':>5}  {'recall mean/worst':>17}  {'precision mean/worst':>20}  "
          f"{'area mean/worst':>15} {'time':>6}")
    for faces in args.faces:
        rows = {s: [] for s in settings}
        times = {s: [] for s in settings}
        for seed in args.seeds:
            with tempfile.TemporaryDirectory() as tmp:
                scene = sample.build_sample_scene(os.path.join(tmp, "scene"), seed, faces=faces, views=args.cameras,
                                                  width=args.width, height=args.height, objects=args.objects,
                                                  layout="clutter", noise=SEGMENTER)
                for s, (report, seconds) in score(scene, settings).items():
                    rows[s] += report
                    times[s].append(seconds)
        for s in settings:
            d = dict(s)
            recall = [r["recall"] for r in rows[s]]
            precision = [1 - r["foreign_share"] for r in rows[s]]
            area = [r["area_share"] for r in rows[s]]
            print(f"{faces:>9,} {d['min_share']:>6.2f} {d['min_views']:>5} {d['depth_tolerance']:>5.2f}  "
                  f"{sum(recall) / len(recall):>8.4f} / {min(recall):.4f}  "
                  f"{sum(precision) / len(precision):>11.4f} / {min(precision):.4f}  "
                  f"{sum(area) / len(area):>6.4f} / {min(area):.4f} {sum(times[s]) / len(times[s]):>5.1f}s", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
