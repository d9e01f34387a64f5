"""quarnet show MASKS --mesh MESH [-o picture.png]: the picture of a segmentation."""

import numpy as np

from quarnet import outputs
from quarnet.scene_folder import check_scene
from quarnet.user_input import positive_int, require_folder

from .table import print_table

NAME = "show"
HELP = "draw the segmentation: the scene mesh beside its objects"
DESCRIPTION = """\
Draws two panels side by side: the scene mesh in its own colours, and each
object's MASKS/<object>/sub_mesh.ply in its own colour with MASKS/remain.ply in
grey, with the legends in a band below. The panels are ray-cast on the CPU,
so a mesh of a million faces takes seconds and no GPU is needed. The camera
looks at the objects' bounding box (the mesh's when no object has a
sub-mesh) from above and in front, or, with --root and --view, it is the
camera of that image in ROOT/sparse/0. Prints one row per object; objects
are listed by name, numbers as numbers (box_3 before box_11). A folder no
segmentation has written into is refused.
"""
UP_AXES = ("+x", "-x", "+y", "-y", "+z", "-z")


def add_arguments(parser):
    parser.add_argument("masks", metavar="MASKS", help="mask folder a segmentation has written into")
    parser.add_argument("--mesh", required=True, metavar="MESH", help="the scene mesh that was segmented")
    parser.add_argument("-o", "--output", default="segmentation.png", metavar="PICTURE",
                        help="PNG file to write (default: %(default)s)")
    parser.add_argument("--root", metavar="ROOT", help="scene folder whose sparse/0 holds the view given by --view")
    parser.add_argument("--view", type=int, metavar="ID", help="see the scene from the camera of image ID")
    parser.add_argument("--width", type=positive_int, default=800,
                        help="width of each panel in pixels (default: %(default)s)")
    parser.add_argument("--up", choices=UP_AXES, default="+z",
                        help="the world axis that points up, for the camera placed from the bounds "
                             "(default: %(default)s)")


def _objects_bounds(read_rows, mesh):
    """The bounds of the objects' sub-meshes, or of `mesh` when there are none."""
    corners = [corner for _, _, sub, _ in read_rows if sub is not None for corner in sub.bounds]
    return (np.min(corners, axis=0), np.max(corners, axis=0)) if corners else mesh.bounds


def run(args):
    if (args.root is None) != (args.view is None):
        args.parser.error("--root and --view go together")
    require_folder(args.masks)
    check_scene(args.root, args.masks, depths=False)
    from quarnet import picture

    names = outputs.by_name(outputs.object_folders(args.masks))
    outputs.require_segmentation(args.masks, names)
    mesh = outputs.read_mesh(args.mesh)
    if len(mesh.faces) == 0:
        raise ValueError(f"{args.mesh}: the mesh has no faces")
    problems = []
    if args.view is not None:
        camera = picture.camera_from_view(args.root, args.view, args.width)
        picture.require_memory(camera.width, camera.height)
        read = picture.read_segmentation(args.masks, names, problems)
    else:
        picture.require_memory(args.width, max(1, args.width * 3 // 4))
        read = picture.read_segmentation(args.masks, names, problems)
        camera = picture.camera_from_bounds(_objects_bounds(read[0], mesh), args.width,
                                            max(1, args.width * 3 // 4), args.up)
    image, rows = picture.segmentation_picture(mesh, args.masks, names, camera, problems, read=read)
    picture.write_png(args.output, image)

    total = len(mesh.faces)
    table = []
    for name, colour, sub in rows:
        faces = 0 if sub is None else len(sub.faces)
        table.append((name, "#{:02x}{:02x}{:02x}".format(*(int(c) for c in colour)),
                      faces if sub is not None else "-", f"{100 * faces / total:.1f}%"))
    print_table(("object", "colour", "faces", "of the scene"), table, right=(2, 3))
    for problem in problems:
        print(f"cannot read {problem}")
    print(f"picture: {args.output}")
    return 0
