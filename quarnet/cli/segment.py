"""quarnet segment ROOT --mesh MESH [--masks MASKS] [--dense [--radius R]]:
SceneTessaron(...).seg_scene_mesh(), or the whole-object cut."""

import os

from quarnet import outputs
from quarnet.scene_folder import check_scene
from quarnet.user_errors import UserError
from quarnet.user_input import positive_float, require_folder, require_readable_file

from .cut_log import logging_cuts
from .table import print_table

NAME = "segment"
HELP = "cut the scene mesh into one sub-mesh per object"
DESCRIPTION = """\
Runs SceneTessaron(MASKS, MESH, ROOT).seg_scene_mesh(). For every object
folder of MASKS it lifts the masked depth pixels of every view into the world
with the sparse model's camera, cuts the mesh faces near those points out of
the mesh, and writes MASKS/<object>/sub_mesh.ply and sub_pcd.ply; the faces no
object took go to MASKS/remain.ply. An object that already has a sub_mesh.ply
is skipped as done, so an interrupted run resumes where it stopped. The
module's own lines are printed as they come; a table of the objects closes.

With --dense, every face whose distance to an object's points is at most R
goes to that object (to the nearest object where several are that near):
whole objects on meshes of any density, from the same points, into the same
files (seg_scene_mesh_dense in quarnet.mesh_seg.Tessaron). The default cut
takes only the faces right at each point, which on a dense mesh leaves the
objects full of holes.

The run fails (status 1) when no object was cut, and a note names an object
whose depth points mostly miss the mesh (depth maps in millimetres, say).

ROOT holds depths/<image id>.npy and sparse/0 (cameras.bin and images.bin, or
cameras.txt and images.txt); MASKS/<object>/<image id>.png are 8-bit masks.
"""


def add_arguments(parser):
    parser.add_argument("root", metavar="ROOT", help="scene folder holding depths/ and sparse/0")
    parser.add_argument("--mesh", required=True, metavar="MESH", help="the scene mesh (any file trimesh reads)")
    parser.add_argument("--masks", metavar="MASKS", help="mask folder, one sub-folder per object (default: ROOT/masks)")
    parser.add_argument("--dense", action="store_true",
                        help="whole objects: every face within R of an object's points goes to the nearest such object")
    parser.add_argument("--radius", type=positive_float, metavar="R",
                        help="with --dense: the distance in the mesh's units (default: 0.015, 1.5 cm in metres)")


def _counts(folder, problems):
    """(faces of sub_mesh.ply, points of sub_pcd.ply), None for a file that is
    not there or, noted in `problems`, cannot be read."""
    import open3d as o3d

    mesh, problem = outputs.try_load_mesh(os.path.join(folder, outputs.SUB_MESH))
    problems += [problem] if problem else []
    pcd_path = os.path.join(folder, outputs.SUB_PCD)
    points = len(o3d.io.read_point_cloud(pcd_path).points) if os.path.isfile(pcd_path) else None
    return (None if mesh is None else len(mesh.faces)), points


def run(args):
    if args.radius is not None and not args.dense:
        args.parser.error("--radius goes with --dense")
    masks = args.masks if args.masks is not None else os.path.join(args.root, "masks")
    require_folder(args.root)
    require_folder(masks)
    check_scene(args.root, masks)
    require_readable_file(args.mesh)
    # The module reads the mesh only after every object's points: a mesh it
    # cannot read should not cost the user that wait.
    bounds = outputs.scene_mesh_bounds(args.mesh)
    names = outputs.object_folders(masks)
    from quarnet import depth_scale
    from quarnet import masks as mask_files

    warning = mask_files.jpeg_warning(masks, names)
    if warning:
        print(warning)
    done_before = {name for name in names if os.path.exists(os.path.join(masks, name, outputs.SUB_MESH))}

    from quarnet.mesh_seg import Tessaron

    with logging_cuts(Tessaron) as log:  # what became of each object, as the module says it
        scene = Tessaron.SceneTessaron(masks, args.mesh, args.root)
        notes = depth_scale.depth_scale_notes(scene, names, bounds)
        if args.dense:
            Tessaron.seg_scene_mesh_dense(scene, **({} if args.radius is None else {"radius": args.radius}))
        else:
            scene.seg_scene_mesh()

    rows, problems, with_sub_mesh = [], [], 0
    for name, status in log.statuses(masks, outputs.object_folders(masks), done_before).items():
        # a folder that is another's holds that object's files: they are counted there
        faces, points = (None, None) if "same folder" in status else _counts(os.path.join(masks, name), problems)
        with_sub_mesh += faces is not None or status.startswith("skipped")
        rows.append((name, "-" if faces is None else faces, "-" if points is None else points, status))
    remain, problem = outputs.try_load_mesh(os.path.join(masks, outputs.REMAIN))
    problems += [problem] if problem else []
    if remain is not None:
        rows.append((outputs.REMAIN, len(remain.faces), "-", "the faces no object took"))
    print()
    print_table(("object", "faces", "points", "status"), rows, right=(1, 2))
    for problem in problems:
        print(f"cannot read {problem}")
    for note in notes:
        print(note)
    if not with_sub_mesh:
        raise UserError("no object was cut: remain.ply holds the whole scene mesh"
                        + (" (see the notes above)" if notes else " (do the masks mark the objects, and do their "
                                                                  "depth points lie on the mesh?)"))
    return 0
