"""The whole-object cut (seg_scene_mesh_dense, quarnet segment --dense) beside
the default cut (seg_scene_mesh), and quarnet check of each, on sample scenes
of 1,000,000 and 3,000,000 faces.

Per scene size and mode: the time of the segmentation call (a fresh process,
the call alone), the lowest and mean share of each object's seen faces it
recovers, the highest share of foreign faces in a sub-mesh (against the
scene's ground truth), and `quarnet check`'s wall time as a user runs it (a
fresh process, imports included) with its mean IoU over the objects.

    python bench/bench_dense_check.py [--faces 1000000 3000000] [--views 100 --width 640 --height 480 --objects 10]
                                      [--pictures DIR]

Targets: the dense cut recovers >= 95% of the seen faces with <= 3% foreign
faces and is no slower than the default cut; check takes under a minute for
a million faces and 100 views.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time

from bench_segmentation import add_sizes, scenes, timed_cut  # beside this script

def run_mode(scene, mode, workdir):
    from quarnet import sample

    seconds, _ = timed_cut(scene, mode, workdir)
    scores = sample.evaluate(scene)
    report = os.path.join(workdir, f"check-{mode}.json")
    start = time.perf_counter()
    subprocess.run([os.path.join(os.path.dirname(sys.executable), "quarnet"), "check", scene.mask_path, "--mesh",
                    scene.mesh_file, "--root", scene.root_path, "-o", os.path.join(workdir, f"check-{mode}.png"),
                    "--json", report], check=True, capture_output=True, cwd=workdir)
    check_seconds = time.perf_counter() - start
    with open(report) as f:
        ious = [o["mean_iou"] for o in json.load(f)["objects"].values() if o["mean_iou"] is not None]
    recalls = [r["recall"] for r in scores]
    return {"seconds": seconds, "min recall": min(recalls), "mean recall": sum(recalls) / len(recalls),
            "max foreign": max(r["foreign_share"] for r in scores), "check seconds": check_seconds,
            "mean IoU": sum(ious) / len(ious)}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_sizes(parser, [1_000_000, 3_000_000])
    parser.add_argument("--pictures", metavar="DIR", help="keep check's pictures there (check-<faces>-<mode>.png)")
    args = parser.parse_args(argv)

    print(f"load average at the start: {' '.join(f'{x:.2f}' for x in os.getloadavg())} ({os.cpu_count()} cores)")
    rows = []
    for faces, scene in scenes(args):
        workdir = os.path.dirname(scene.root_path)
        for mode in ("default", "dense"):
            rows.append((faces, scene.faces, mode, run_mode(scene, mode, workdir)))
            if args.pictures:
                shutil.copy(os.path.join(workdir, f"check-{mode}.png"),
                            os.path.join(args.pictures, f"check-{faces}-{mode}.png"))

    print(f"\n{'faces':>10} {'mode':<8} {'segment':>9} {'min recall':>11} {'mean recall':>12} {'max foreign':>12} "
          f"{'check':>8} {'mean IoU':>9}")
    for _, faces, mode, r in rows:
        print(f"{faces:>10,} {mode:<8} {r['seconds']:>8.2f}s {100 * r['min recall']:>10.1f}% "
              f"{100 * r['mean recall']:>11.1f}% {100 * r['max foreign']:>11.2f}% {r['check seconds']:>7.1f}s "
              f"{r['mean IoU']:>9.3f}")
    for faces in args.faces:
        modes = {mode: r for asked, _, mode, r in rows if asked == faces}
        ratio = modes["default"]["seconds"] / modes["dense"]["seconds"]
        print(f"{faces:,} faces: the dense cut takes {1 / ratio:.2f}x the default cut's time (target <= 1x)")
    print(f"load average at the end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
