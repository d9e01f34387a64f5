"""The sample scene's command line: `python -m quarnet.sample OUT` and `quarnet sample OUT`."""

import argparse
import os

from quarnet.user_errors import error_line
from quarnet.user_input import whole_number

SCENE_OPTIONS = ("faces", "views", "width", "height", "objects", "layout")
DESCRIPTION = "Write a synthetic scene for quarnet's mesh segmentation."


def add_scene_options(parser, *, faces=15000, views=12, width=320, height=240, objects=4):
    """Adds --seed and the size options of build_sample_scene to an argparse parser."""
    parser.add_argument("--seed", type=whole_number(0), default=0,
                        help="the scene follows from it (default: %(default)s)")
    parser.add_argument("--faces", type=whole_number(1), default=faces,
                        help="about this many faces in the scene mesh; fewer than the smallest scene of the "
                             "objects (ground included) are refused (default: %(default)s)")
    parser.add_argument("--views", type=whole_number(1), default=views,
                        help="number of cameras (default: %(default)s)")
    parser.add_argument("--width", type=whole_number(2), default=width,
                        help="image width in pixels (default: %(default)s)")
    parser.add_argument("--height", type=whole_number(2), default=height,
                        help="image height in pixels (default: %(default)s)")
    parser.add_argument("--objects", type=whole_number(1), default=objects,
                        help="objects on the ground (default: %(default)s)")
    parser.add_argument("--layout", choices=("ring", "clutter"), default="ring",
                        help="ring: smooth shapes, cameras on a ring around them; clutter: objects as a "
                             "reconstruction gives them (full of slivers) sunk into a ground of 12 cm triangles "
                             "before two walls, a mug on a chair, neighbours 0.5-3 cm apart, hand-held cameras "
                             "(default: %(default)s)")
    parser.add_argument("--noisy", action="store_true",
                        help="masks as a segmentation model gives them (outlines off by 1-3 px, holes, false "
                             "blobs, objects missed in some views) and 0.3%% depth noise")


def check_scene_options(parser, args):
    """Exits through parser.error (status 2) when --faces asks for fewer faces than the smallest scene."""
    from .clutter import too_few_faces

    try:
        few = too_few_faces(args.layout, args.objects, args.seed, args.faces)
    except ValueError as e:  # no room for the objects
        parser.error(f"argument --objects: {e}")
    if few:
        parser.error(f"argument --faces: {few}")


def build_from_options(out_dir, args, progress=False):
    """build_sample_scene with the options add_scene_options parsed."""
    from .noise import SEGMENTER
    from .scene import build_sample_scene

    return build_sample_scene(out_dir, args.seed, progress=progress, noise=SEGMENTER if args.noisy else None,
                              **{name: getattr(args, name) for name in SCENE_OPTIONS})


def add_arguments(parser):
    parser.add_argument("out_dir", metavar="OUT", help="folder to write the scene into (new or empty)")
    add_scene_options(parser)


def write_scene(args):
    """Writes the scene into args.out_dir, which must be new or empty (nothing
    there is overwritten), and prints where its parts are."""
    if os.path.exists(args.out_dir) and (not os.path.isdir(args.out_dir) or os.listdir(args.out_dir)):
        raise FileExistsError(17, "not an empty folder (the sample scene is written only into a new or empty one)",
                              args.out_dir)
    scene = build_from_options(args.out_dir, args, progress=True)
    print(f"scene root   {scene.root_path}")
    print(f"mesh         {scene.mesh_file} ({scene.faces} faces)")
    print(f"masks        {scene.mask_path} ({', '.join(scene.object_names)})")
    print(f"ground truth {scene.ground_truth_path}")
    return scene


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m quarnet.sample", description=DESCRIPTION)
    add_arguments(parser)
    args = parser.parse_args(argv)
    check_scene_options(parser, args)
    try:
        write_scene(args)
    except (OSError, ValueError) as e:
        parser.exit(1, error_line(e, parser.prog) + "\n")
    return 0
