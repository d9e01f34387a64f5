"""The three cuts side by side on cluttered scenes with masks as a
segmentation model gives them: the default cut (seg_scene_mesh), the
whole-object cut (seg_scene_mesh_dense) and the vote (seg_scene_mesh_vote),
on 1,000,000 and 3,000,000 faces.

Per scene size and mode: the time of the segmentation call (a fresh process,
the call alone), the process's peak memory, and per object, against the
scene's ground truth: the share of its seen faces its sub-mesh holds
(recall), the share of the sub-mesh's faces that are its own (precision) and
the share of the sub-mesh's area that is its own; the mean over the objects
and the worst object. With --check, also quarnet check's mean IoU of each
mode's segmentation against the masks, beside that of the true segmentation
(each object's true faces), which the masks' own noise holds below 1.

    python bench/bench_vote.py [--faces 1000000 3000000] [--views 100 --width 640 --height 480 --objects 10]
                               [--seed 0] [--modes default dense vote] [--exact] [--check]

With --exact the masks and depth maps are the scene's true ones (the same mesh
and cameras): what each mode gives where the masks are not to blame.

Run it under flock /tmp/quarnet-heavy.lock: a 3,000,000-face run takes several GB.

Targets for the vote: recall and precision >= 0.97 on average and >= 0.9 for
the worst object, >= 85 % of every sub-mesh's area the object's, no more
than 1.5x the time of the whole-object cut at 3,000,000 faces, and check's
mean IoU within 5 % of the true segmentation's.
"""

from __future__ import annotations

import argparse
import os
import sys

from bench_segmentation import add_sizes, clear_outputs, scenes, timed_cut  # beside this script

MODES = ("default", "dense", "vote")


def check_iou(scene):
    """quarnet check's mean IoU, over the objects, of the segmentation in the scene's mask folder."""
    from quarnet import check

    agreements, _ = check.check_segmentation(scene.mask_path, scene.root_path, list(scene.object_names),
                                             progress=False)
    return mean([a.mean_iou for a in agreements if a.mean_iou is not None])


def write_truth(scene):
    """The true segmentation: each object's true faces as its sub_mesh.ply, the others as remain.ply."""
    import numpy as np
    import trimesh

    from quarnet import outputs, sample

    clear_outputs(scene.mask_path)
    names, labels, _ = sample.load_ground_truth(scene.ground_truth_path)
    mesh = trimesh.load(scene.mesh_file, process=False)
    for k, name in enumerate(names):
        mesh.submesh([np.flatnonzero(labels == k)], append=True).export(
            os.path.join(scene.mask_path, name, outputs.SUB_MESH))
    rest = np.flatnonzero((labels < 0) | (labels >= len(names)))
    mesh.submesh([rest], append=True).export(os.path.join(scene.mask_path, outputs.REMAIN))


def run_mode(scene, mode, workdir, check):
    from quarnet import sample

    seconds, peak = timed_cut(scene, mode, workdir)
    rows = sample.evaluate(scene)
    recall = [r["recall"] for r in rows]
    precision = [1 - r["foreign_share"] for r in rows]
    area = [r["area_share"] for r in rows]
    return {"seconds": seconds, "peak": peak / 2**20, "recall": recall, "precision": precision, "area": area,
            "worst": min(rows, key=lambda r: min(r["recall"], 1 - r["foreign_share"]))["name"],
            "check": check_iou(scene) if check else None}


def mean(values):
    return sum(values) / len(values)


HEADER = (f"{'faces':>10} {'mode':<8} {'time':>8} {'peak':>8}  {'recall mean/worst':>17}  "
          f"{'precision mean/worst':>20}  {'area share mean/worst':>21}  {'check IoU':>9}  worst object")


def row_line(faces, mode, r):
    return (f"{faces:>10,} {mode:<8} {r['seconds']:>7.2f}s {r['peak']:>6.0f}MB  "
            f"{mean(r['recall']):>8.3f} / {min(r['recall']):.3f}  {mean(r['precision']):>11.3f} / "
            f"{min(r['precision']):.3f}  {mean(r['area']):>12.3f} / {min(r['area']):.3f}  "
            f"{'-' if r['check'] is None else format(r['check'], '.3f'):>9}  {r['worst']}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_sizes(parser, [1_000_000, 3_000_000])
    parser.add_argument("--modes", nargs="+", choices=MODES, default=list(MODES))
    parser.add_argument("--exact", action="store_true", help="exact masks and depth maps instead of noisy ones")
    parser.add_argument("--check", action="store_true",
                        help="quarnet check's mean IoU of each mode's segmentation and of the true one")
    args = parser.parse_args(argv)

    from quarnet.sample.noise import SEGMENTER

    print(f"load average at the start: {' '.join(f'{x:.2f}' for x in os.getloadavg())} ({os.cpu_count()} cores)")
    rows, truth = [], {}
    print(f"masks: {'exact' if args.exact else 'noisy, as a segmentation model gives them'}")
    for faces, scene in scenes(args, layout="clutter", noise=None if args.exact else SEGMENTER):
        for mode in args.modes:
            rows.append((faces, scene.faces, mode, run_mode(scene, mode, os.path.dirname(scene.root_path),
                                                            args.check)))
            print(" ", row_line(*rows[-1][1:]), flush=True)
        if args.check:
            write_truth(scene)
            truth[faces] = check_iou(scene)
            print(f"  true segmentation: check's mean IoU {truth[faces]:.3f}", flush=True)

    print(f"\n{HEADER}")
    for _, faces, mode, r in rows:
        print(row_line(faces, mode, r))
    for faces in args.faces:
        modes = {mode: r for asked, _, mode, r in rows if asked == faces}
        if "vote" in modes and "dense" in modes:
            print(f"{faces:,} faces: the vote takes {modes['vote']['seconds'] / modes['dense']['seconds']:.2f}x the "
                  f"whole-object cut's time (target <= 1.5x at 3,000,000 faces)")
        if "vote" in modes and faces in truth:
            print(f"{faces:,} faces: check's mean IoU of the vote is {modes['vote']['check'] / truth[faces]:.3f}x the "
                  f"true segmentation's ({truth[faces]:.3f}; target within 5 %)")
    print(f"load average at the end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
