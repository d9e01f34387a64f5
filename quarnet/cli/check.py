"""quarnet check MASKS --mesh MESH --root ROOT [-o check.png] [--json FILE]:
how well a segmentation agrees with its masks."""

import dataclasses
import json

from quarnet import outputs, run_record
from quarnet.output_file import write_whole
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
ignored (with a warning). Each view's camera is the one the sparse model
gives the image whose name's stem is the view's image id, as the
segmentation pairs them; each mask must have its camera's size.

Prints per object its views, its mean IoU, precision and recall over them,
the share of its sub-mesh's area that is the object (each face seen counts
its area times the share of its rendered pixels that the mask marks) and
its worst view; writes a picture of each object's worst view, mask against
render. Works on any segmentation (default or --dense). Warns when MESH is
not the mesh the segmentation was cut from (other face counts; another mesh
in its run record, MASKS/quarnet-run.json; without a record, the objects'
points do not lie on it). --json also gives the run record's mode, radius,
mesh and version ("run", null without a record).
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


RUN = ("mode", "radius", "mesh", "version")  # what the JSON tells of the run record


def as_json(agreements, record=None):
    return {"run": None if record is None else {key: record.get(key) for key in RUN},
            "objects": {a.name: {"mean_iou": a.mean_iou, "mean_precision": a.mean_precision,
                                 "mean_recall": a.mean_recall, "area_share": a.area_share,
                                 "views": {str(image_id): dataclasses.asdict(s) for image_id, s in a.views.items()}}
                        for a in agreements}}


def run(args):
    require_folder(args.masks)
    require_folder(args.root)
    check_scene(args.root, args.masks, depths=False)
    mesh = outputs.scene_mesh(args.mesh)  # the mesh that was segmented is readable
    from quarnet import check, masks, picture

    names = outputs.by_name(outputs.object_folders(args.masks))
    outputs.require_segmentation(args.masks, names)
    for warning in masks.mask_warnings(args.masks, names):
        print(warning)
    try:
        record, warnings = run_record.read(args.masks), []
    except ValueError as e:  # the scores do not depend on it
        record, warnings = None, [f"[Warning] {e}"]
    agreements, found = check.check_segmentation(args.masks, args.root, names, mesh=mesh, mesh_file=args.mesh,
                                                 record=record)
    for line in warnings + found:
        print(line)

    rows = []
    for a in agreements:
        worst = a.worst.image_id if a.worst else "-"
        rows.append((a.name, len(a.views), _number(a.mean_iou), _number(a.mean_precision), _number(a.mean_recall),
                     _number(a.area_share), worst, _number(a.views[a.worst.image_id].iou) if a.worst else "-"))
    print_table(("object", "views", "mean IoU", "precision", "recall", "area share", "worst view", "its IoU"), rows,
                right=(1, 2, 3, 4, 5, 6, 7))
    image = check.worst_view_picture(agreements)
    if image is not None:
        picture.write_png(args.output, image)
        print(f"picture: {args.output}")
    if args.json:
        write_whole(args.json, json.dumps(as_json(agreements, record), indent=1).encode())
        print(f"scores: {args.json}")
    return 0
