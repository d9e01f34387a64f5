"""The radius of the whole-object cut (seg_scene_mesh_dense), chosen by
measurement: for sample scenes of 50,000 to 3,000,000 faces, the share of
each object's seen faces that the cut gives it (recall) and the share of its
faces that belong to the ground or another object (foreign), per radius.

The clouds are extracted once per scene (they do not depend on the radius);
each radius then assigns the faces of the scene mesh with
assign_faces_to_objects, which is what seg_scene_mesh_dense cuts.

    python bench/bench_dense_radius.py [--faces 50000 200000 1000000 3000000] [--radii 0.005 0.01 0.015 0.02 0.03]
                                       [--seeds 0 1 2] [--views 12 --width 320 --height 240 --objects 4]

Prints per scene size and radius: the lowest recall of any object, the mean
recall, the highest foreign share, the mean share of each object's faces
(seen or not) it gets, and the time of the assignment.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
import tempfile
import time


def clouds_of(scene):
    """The cleaned cloud of every object of the scene, by name, as seg_scene_mesh extracts them."""
    from quarnet.mesh_seg import Tessaron

    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        s = Tessaron.SceneTessaron(scene.mask_path, scene.mesh_file, scene.root_path)
        poses = {idx: (t, q) for idx, t, q in s.pose}
        return {name: Tessaron.extract_masked_pointclouds(os.path.join(scene.mask_path, name), s.depths_path, poses,
                                                          s.K)[0] for name in scene.object_names}


def sweep(scene, radii):
    """{radius: (rows of score_faces, seconds)}."""
    import numpy as np
    import trimesh

    from quarnet import sample
    from quarnet.mesh_seg import Tessaron

    names, labels, seen = sample.load_ground_truth(scene.ground_truth_path)
    mesh = trimesh.load(scene.mesh_file)
    assert len(mesh.faces) == len(labels)
    clouds = clouds_of(scene)
    results = {}
    for radius in radii:
        start = time.perf_counter()
        owner, _ = Tessaron.assign_faces_to_objects(mesh, [clouds[n] for n in names], radius)
        elapsed = time.perf_counter() - start
        report = sample.score_faces(labels, seen, [np.flatnonzero(owner == k) for k in range(len(names))])
        for k, row in enumerate(report):  # of all the object's faces, seen or not
            row["whole"] = np.count_nonzero((owner == k) & (labels == k)) / max(1, np.count_nonzero(labels == k))
        results[radius] = (report, elapsed)
    return results


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--faces", type=int, nargs="+", default=[50_000, 200_000, 1_000_000, 3_000_000])
    parser.add_argument("--radii", type=float, nargs="+", default=[0.005, 0.01, 0.015, 0.02, 0.03])
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2])
    parser.add_argument("--views", type=int, default=12)
    parser.add_argument("--width", type=int, default=320)
    parser.add_argument("--height", type=int, default=240)
    parser.add_argument("--objects", type=int, default=4)
    args = parser.parse_args(argv)

    from quarnet import sample

    print(f"{len(args.seeds)} seeds per size, {args.objects} objects, {args.views} views of {args.width}x{args.height}")
    print(f"{'faces':>9} {'radius':>7} {'min recall':>11} {'mean recall':>12} {'max foreign':>12} {'all faces':>10} "
          f"{'assign':>8}")
    for faces in args.faces:
        rows = {r: [] for r in args.radii}
        times = {r: [] for r in args.radii}
        for seed in args.seeds:
            with tempfile.TemporaryDirectory() as tmp:
                scene = sample.build_sample_scene(os.path.join(tmp, "scene"), seed, faces=faces, views=args.views,
                                                  width=args.width, height=args.height, objects=args.objects)
                for radius, (report, elapsed) in sweep(scene, args.radii).items():
                    rows[radius] += report
                    times[radius].append(elapsed)
        for radius in args.radii:
            recalls = [r["recall"] for r in rows[radius]]
            foreign = max(r["foreign_share"] for r in rows[radius])
            whole = sum(r["whole"] for r in rows[radius]) / len(rows[radius])
            print(f"{faces:>9,} {radius:>7.3f} {100 * min(recalls):>10.1f}% {100 * sum(recalls) / len(recalls):>11.1f}% "
                  f"{100 * foreign:>11.2f}% {100 * whole:>9.1f}% {sum(times[radius]) / len(times[radius]):>7.2f}s",
                  flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
