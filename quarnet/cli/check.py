"""quarnet check MASKS --mesh MESH --root ROOT [-o check.png] [--json FILE]:
how well a segmentation agrees with its masks."""

import dataclasses
import json

from quarnet import outputs
from quarnet.scene_folder import check_scene
from quarnet.user_input import require_folder

from .table import print_table

NAME = "check"
HELP = "measure how well a segmentation agrees with the masks it came from"
DESCRIPTION = """\
For every object of MASKS and every view where its mask shows it, renders
the segmented scene (each MASKS/<object>/sub_mesh.ply and MASKS/remain.ply)
from that view's camera in ROOT/sparse/0, and compares the pixels where the
object's sub-mesh is the first surface hit with its mask: IoU, precision and
recall. No ground truth is needed. Pixel (u, v) looks along
((u - cx)/fx, (v - cy)/fy, 1), as the depth maps are lifted; distortion is
ignored (with a warning). Prints per object its views, mean IoU and worst
view; writes a picture of each object's worst view, mask against render.
Works on any segmentation (default or --dense).
"""


def add_arguments(parser):
    parser.add_argument("masks", metavar="MASKS", help="mask folder a segmentation has written into")
    parser.add_argument("--mesh", required=True, metavar="MESH", help="the scene mesh that was segmented")
    parser.add_argument("--root", required=True, metavar="ROOT", help="scene folder holding sparse/0")
    parser.add_argument("-o", "--output", default="check.png", metavar="PICTURE",
                        help="PNG file of each object's worst view (default: %(default)s)")
    parser.add_argument("--json", metavar="FILE", help="also write every score as JSON")


def _number(value):
    return "-" if value is None else f"{value:.3f}"


def as_json(agreements):
    return {"objects": {a.name: {"mean_iou": a.mean_iou,
                                 "views": {str(image_id): dataclasses.asdict(s) for image_id, s in a.views.items()}}
                        for a in agreements}}


def run(args):
    require_folder(args.masks)
    require_folder(args.root)
    check_scene(args.root, args.masks, depths=False)
    outputs.scene_mesh_bounds(args.mesh)  # the mesh that was segmented is readable
    from quarnet import check, masks, picture

    names = outputs.by_name(outputs.object_folders(args.masks))
    outputs.require_segmentation(args.masks, names)
    for warning in masks.mask_warnings(args.masks, names):
        print(warning)
    agreements, warnings = check.check_segmentation(args.masks, args.root, names)
    for line in warnings:
        print(line)

    rows = []
    for a in agreements:
        worst = a.worst.image_id if a.worst else "-"
        rows.append((a.name, len(a.views), _number(a.mean_iou), worst,
                     _number(a.views[a.worst.image_id].iou) if a.worst else "-"))
    print_table(("object", "views", "mean IoU", "worst view", "its IoU"), rows, right=(1, 2, 3, 4))
    image = check.worst_view_picture(agreements)
    if image is not None:
        picture.write_png(args.output, image)
        print(f"picture: {args.output}")
    if args.json:
        picture.write_whole(args.json, json.dumps(as_json(agreements), indent=1).encode())
        print(f"scores: {args.json}")
    return 0

