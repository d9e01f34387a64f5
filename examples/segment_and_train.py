"""Segments the sample scene, then trains one model per object.

    python examples/segment_and_train.py [OUT_DIR]

Writes OUT_DIR/scene (the sample scene with each object's sub_mesh.ply and
sub_pcd.ply, and remain.ply) and OUT_DIR/models/<object>/ (the trainer's
output; with the bundled stand-in trainer, a manifest of each run).
"""
import argparse
import os
import shutil
import sys

from quarnet.gaussian_seg.Vorlantide import Vorlantide
from quarnet.mesh_seg.Tessaron import SceneTessaron
from quarnet.sample import build_sample_scene


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir", nargs="?", default=os.path.join("out", "segment_and_train"))
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)

    scene_dir = os.path.join(args.out_dir, "scene")
    shutil.rmtree(scene_dir, ignore_errors=True)
    scene = build_sample_scene(scene_dir, args.seed)

    # 1. One sub-mesh per object, written into the object's mask folder.
    SceneTessaron(scene.mask_path, scene.mesh_file, scene.root_path).seg_scene_mesh()
    # 2. One training run per object folder.
    Vorlantide(scene.root_path, os.path.join(args.out_dir, "models"), scene.mask_path).run_all()
    return 0


if __name__ == "__main__":
    sys.exit(main())
