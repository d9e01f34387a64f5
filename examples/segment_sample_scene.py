"""Segments the sample scene with quarnet and shows how well it went.

Builds the sample scene (quarnet.sample), runs
SceneTessaron(...).seg_scene_mesh() on it, prints per object the faces of its
sub-mesh, the share of its seen true faces recovered and the faces taken from
elsewhere, and renders the result offscreen to a PNG: the scene in its own
colours on the left, each object's sub-mesh in its own colour and the
remainder in grey on the right.

    python examples/segment_sample_scene.py [OUT_DIR] [--seed N] [--objects N] ...
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys

from quarnet import outputs, picture, sample
from quarnet.mesh_seg.Tessaron import SceneTessaron


def draw(scene, path):
    """Writes the before/after picture of a segmented sample scene, seen onto
    its objects, listed as `quarnet show` lists them (by name)."""
    original = outputs.read_mesh(scene.mesh_file)
    _, labels, _ = sample.load_ground_truth(scene.ground_truth_path)
    corners = original.vertices[original.faces[labels != sample.GROUND]].reshape(-1, 3)
    camera = picture.camera_from_bounds([corners.min(axis=0), corners.max(axis=0)])
    image, _ = picture.segmentation_picture(original, scene.mask_path, outputs.by_name(scene.object_names), camera)
    picture.write_png(path, image)


def summary(scene):
    rows = sample.evaluate(scene)
    width = max(len(r["name"]) for r in rows)
    print()
    print(f"{'object':<{width}}  sub-mesh faces  recovered (of seen)        foreign faces")
    for r in rows:
        recovered = f"{r['recovered']}/{r['seen']} ({100 * r['recall']:.1f}%)"
        foreign = f"{r['foreign']} ({100 * r['foreign_share']:.1f}%)"
        print(f"{r['name']:<{width}}  {r['faces']:>14}  {recovered:<25}  {foreign}")
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir", nargs="?", default=os.path.join("out", "sample_scene"))
    sample.add_scene_options(parser)
    parser.add_argument("--picture", help="PNG to write (default: OUT_DIR/segmentation.png)")
    args = parser.parse_args(argv)

    # Start from a fresh scene: sub-meshes left by an earlier run would be
    # skipped as done, and would not match a scene built with other options.
    if os.path.isdir(args.out_dir) and os.listdir(args.out_dir):
        if not os.path.exists(os.path.join(args.out_dir, "ground_truth.npz")):
            parser.error(f"{args.out_dir} is not empty and holds no sample scene; choose another folder")
        shutil.rmtree(args.out_dir)
    scene = sample.build_from_options(args.out_dir, args)
    print(f"sample scene: {scene.faces} faces, {scene.views} views, objects {', '.join(scene.object_names)}")
    SceneTessaron(scene.mask_path, scene.mesh_file, scene.root_path).seg_scene_mesh()

    summary(scene)
    path = args.picture or os.path.join(args.out_dir, "segmentation.png")
    draw(scene, path)
    print(f"\npicture: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
