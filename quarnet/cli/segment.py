"""quarnet segment ROOT --mesh MESH [--masks MASKS] [--dense [--radius R] | --vote [--min-share S] [--min-views N]
[--depth-tolerance T]] [--redo] [--force] [-v]: the cut of SceneTessaron(...).seg_scene_mesh(), the whole-object cut or
the vote, with a run record, a check of the result and a table."""

import contextlib
import os
import sys

import numpy as np

from quarnet import mesh_fit, outputs, run_record
from quarnet.mesh_fit import VOXEL
from quarnet.scene_folder import check_scene
from quarnet.user_errors import UserError
from quarnet.user_input import non_negative_float, positive_float, require_folder, require_readable_file, share, whole_number

from .table import print_table

NAME = "segment"
HELP = "cut the scene mesh into one sub-mesh per object"
DESCRIPTION = """\
Cuts as SceneTessaron(MASKS, MESH, ROOT).seg_scene_mesh() does. For every
object folder of MASKS it lifts the masked depth pixels of every view into the
world with the sparse model's camera, cuts the mesh faces near those points out
of the mesh, and writes MASKS/<object>/sub_mesh.ply and sub_pcd.ply; the faces
no object took go to MASKS/remain.ply. An object that already has a
sub_mesh.ply is skipped as done, so an interrupted run resumes where it
stopped. A table of the objects closes; the module's own lines are shown with
-v (its [Warning] lines always).

With --dense, every face whose distance to an object's points is at most R
goes to that object (to the nearest object where several are that near):
whole objects on meshes of any density, from the same points, into the same
files (seg_scene_mesh_dense in quarnet.mesh_seg.Tessaron). The default cut
takes only the faces right at each point, which on a dense mesh leaves the
objects full of holes.

With --vote, every face goes to the object whose masks cover it in the views
that see it (seg_scene_mesh_vote): each pixel's ray meets the face it sees
first, a face goes to the object that covers at least S of its pixels over
all views (default 0.5) if at least N views see it (default 3), and faces
seen by fewer views, or covered as much by two objects, take the object that
encloses them on the mesh. Whole, clean objects from masks that bleed past
the outlines or miss views, as a segmentation model's do. A pixel whose depth
map differs from the mesh by more than T (relative, default 0.02) sees
nothing. The output files are the other modes'; an object's sub_pcd.ply holds
the corners of its faces.

MASKS/quarnet-run.json records what the run was run with (mode, radius or the
vote's settings, the mesh's and the sparse model's content, the version). A rerun with another
mode, radius, mesh or sparse model is refused before anything is written, as
are outputs without a record; --redo starts over: it removes the outputs of
earlier runs (sub_mesh.ply, sub_pcd.ply, remain.ply, the record, staged
leftovers) and nothing else.

Before anything is written or removed (--redo), the run is refused when the objects' points do not
lie on the mesh (fewer than half within 3 cm of a face): a mesh in another
unit (the scale that would fit is named), another scene's mesh, a mesh in
another frame than the sparse model. --force cuts anyway.

The run fails (status 1) when no object was cut, or when the outputs are not a
partition of the mesh (each face in exactly one sub_mesh.ply or remain.ply);
notes name an object whose depth points mostly miss the mesh (depth maps in
millimetres, say), a mesh much finer than the points (try --dense), and a
radius out of proportion to the mesh.

ROOT holds depths/<image id>.npy and sparse/0 (cameras.bin and images.bin, or
cameras.txt and images.txt); MASKS/<object>/<image id>.png are 8-bit masks.
"""

DEFAULT_RADIUS = 0.015  # Tessaron's default, passed on explicitly so that the record names it
VOTE = {"min_share": 0.5, "min_views": 3, "depth_tolerance": 0.02}  # Tessaron's defaults, likewise
FINE_MESH = 0.5  # below this share of VOXEL, a median edge leaves holes in the default cut (sample scenes)
LARGE_RADIUS = 0.1  # a radius above this share of the mesh's diagonal is likely in the wrong unit


def add_arguments(parser):
    parser.add_argument("root", metavar="ROOT", help="scene folder holding depths/ and sparse/0")
    parser.add_argument("--mesh", required=True, metavar="MESH", help="the scene mesh (any file trimesh reads)")
    parser.add_argument("--masks", metavar="MASKS", help="mask folder, one sub-folder per object (default: ROOT/masks)")
    parser.add_argument("--dense", action="store_true",
                        help="whole objects: every face within R of an object's points goes to the nearest such object")
    parser.add_argument("--radius", type=positive_float, metavar="R",
                        help=f"with --dense: the distance in the mesh's units (default: {DEFAULT_RADIUS}, 1.5 cm in "
                             "metres)")
    parser.add_argument("--vote", action="store_true",
                        help="whole, clean objects from noisy masks: every face goes to the object whose masks cover "
                             "it in the views that see it")
    parser.add_argument("--min-share", type=share, metavar="S",
                        help=f"with --vote: the share of a face's pixels an object's masks must cover (default: "
                             f"{VOTE['min_share']})")
    parser.add_argument("--min-views", type=whole_number(1), metavar="N",
                        help=f"with --vote: the views that must see a face for its own votes to decide it; faces "
                             f"seen by fewer take the object around them (default: {VOTE['min_views']})")
    parser.add_argument("--depth-tolerance", type=non_negative_float, metavar="T",
                        help=f"with --vote: a pixel whose depth differs from the mesh's by more than this share "
                             f"sees nothing (default: {VOTE['depth_tolerance']})")
    parser.add_argument("--redo", action="store_true",
                        help="start over: remove the outputs of earlier runs in MASKS first")
    parser.add_argument("--force", action="store_true",
                        help="cut even when the objects' points do not lie on the mesh")
    parser.add_argument("-v", "--verbose", action="store_true", help="print the module's own lines as well")


def _counts(folder, problems):
    """(faces of sub_mesh.ply, points of sub_pcd.ply), None for a file that is
    not there or, noted in `problems`, cannot be read."""
    import open3d as o3d

    mesh, problem = outputs.try_load_mesh(os.path.join(folder, outputs.SUB_MESH))
    problems += [problem] if problem else []
    pcd_path = os.path.join(folder, outputs.SUB_PCD)
    points = len(o3d.io.read_point_cloud(pcd_path).points) if os.path.isfile(pcd_path) else None
    return (None if mesh is None else len(mesh.faces)), points


def _same_folder(masks, a, b):
    try:
        return os.path.samefile(os.path.join(masks, a), os.path.join(masks, b))
    except OSError:
        return False


def statuses(masks, names, record, done_before):
    """{name: status} of the object folders `names` in MASKS, in order, from
    the run's record: "cut"; "skipped (done)" by an earlier run; "skipped
    (same folder as <name>)" for a folder that is another's (a link), whose
    files are that object's; "skipped (done by another run)" for one finished
    while this run lasted; "not cut (<why>)" otherwise."""
    entries = {e["name"]: e for e in record if e["name"] is not None}
    found = {}
    for name in names:
        entry = entries.get(name)
        if entry is None:
            found[name] = "not cut (no masked points)"
        elif entry["status"] == "cut":
            found[name] = "cut"
        elif entry["status"] == "skipped":
            twin = next((other for other, status in found.items() if not status.startswith("skipped (same")
                         and _same_folder(masks, name, other)), None)
            found[name] = (f"skipped (same folder as {twin})" if twin is not None else
                           "skipped (done)" if name in done_before else "skipped (done by another run)")
        else:
            found[name] = f"not cut ({entry['reason']})"
    return found


def _median_edge(mesh, most=100_000):
    """The median edge length of (up to `most` evenly spread) faces of the mesh."""
    faces = np.asarray(mesh.faces)[::max(1, len(mesh.faces) // most)]
    corners = np.asarray(mesh.vertices, dtype=float)[faces]
    return float(np.median(np.linalg.norm(corners - np.roll(corners, 1, axis=1), axis=2)))


def mesh_notes(mesh, dense, radius):
    """Notes on the mesh against the cut: a radius out of proportion to the
    mesh (--dense), or faces much smaller than the spacing of the object
    points (the default cut)."""
    if dense:
        diagonal = float(np.linalg.norm(np.ptp(mesh.bounds, axis=0)))
        if radius > LARGE_RADIUS * diagonal:
            return [f"note: the radius {radius:g} is more than a tenth of the mesh's size (diagonal {diagonal:.3g}): "
                    "every face that near an object's points goes to it, and the search grows with faces times "
                    "points; is R in the mesh's units?"]
        return []
    edge = _median_edge(mesh)
    if edge < FINE_MESH * VOXEL:
        return [f"note: the mesh's faces are small (median edge {edge:.2g}) against the {VOXEL:g} spacing of the "
                "object points: the default cut takes only the faces at each point and leaves the objects full "
                "of holes; --dense takes whole objects"]
    return []


def _only_warnings(*args, **kwargs):
    """The module's print without -v: its [Warning] lines pass."""
    if args and isinstance(args[0], str) and args[0].startswith("[Warning]"):
        print(*args, **kwargs)


@contextlib.contextmanager
def module_lines(module, verbose):
    """The module's print for the block: everything with -v, else its warnings only."""
    if verbose:
        yield
        return
    namespace = vars(module)
    before = namespace.get("print")
    module.print = _only_warnings
    try:
        yield
    finally:
        if before is None:
            del module.print
        else:
            module.print = before


@contextlib.contextmanager
def cut_progress(record, steps, verbose):
    """A bar of the cut's steps (each object, then remain.ply), one for each
    entry of the record, on a terminal only: nothing in a pipe or a log, nor
    with -v, whose lines tell the same."""
    from tqdm import tqdm

    bar = tqdm(total=steps, desc="cutting", unit="object", file=sys.stderr, disable=True if verbose else None,
               leave=False)
    record.on_entry = lambda entry: bar.update()
    try:
        yield
    finally:
        record.on_entry = None
        bar.close()


def _vote_settings(args):
    """The vote's settings by name, the defaults where not given; None without --vote."""
    given = {name: getattr(args, name) for name in VOTE}
    if not args.vote:
        for name, value in given.items():
            if value is not None:
                args.parser.error(f"--{name.replace('_', '-')} goes with --vote")
        return None
    return {name: VOTE[name] if value is None else value for name, value in given.items()}


def refuse_misfit(surface, clouds, names, notes, force):
    """Raises UserError, the notes that may explain it printed first, when
    the objects' extracted points do not lie on the mesh (mesh_fit.Surface),
    unless force."""
    misfit = None if force else mesh_fit.refusal(surface, clouds, names)
    if misfit:
        for note in notes:
            print(note)
        raise UserError(f"{misfit} (--force cuts anyway)")


def run(args):
    if args.radius is not None and not args.dense:
        args.parser.error("--radius goes with --dense")
    if args.dense and args.vote:
        args.parser.error("--dense and --vote are two ways to cut: choose one")
    vote = _vote_settings(args)
    radius = (DEFAULT_RADIUS if args.radius is None else args.radius) if args.dense else None
    masks = args.masks if args.masks is not None else os.path.join(args.root, "masks")
    require_folder(args.root)
    require_folder(masks)
    check_scene(args.root, masks)
    require_readable_file(args.mesh)
    # The module reads the mesh only after every object's points: a mesh it
    # cannot read should not cost the user that wait.
    mesh = outputs.scene_mesh(args.mesh)
    bounds, notes = mesh.bounds, [] if args.vote else mesh_notes(mesh, args.dense, radius)
    surface = mesh_fit.Surface(mesh.vertices, mesh.faces)  # for the fit check; the mesh's caches go
    del mesh
    said = args.verbose  # a blank line parts what was said from the table
    if args.dense:  # a radius out of proportion is said before the long run
        for note in notes:
            print(note)
        said, notes = said or bool(notes), []
    names = outputs.object_folders(masks)
    from quarnet import depth_scale
    from quarnet import masks as mask_files

    for warning in mask_files.mask_warnings(masks, names):
        print(warning)
        said = True

    from quarnet.mesh_seg import Tessaron

    with module_lines(Tessaron, args.verbose):
        scene = Tessaron.SceneTessaron(masks, args.mesh, args.root)
        mode = "dense" if args.dense else "vote" if args.vote else "default"
        params = run_record.parameters(mode, args.mesh, scene.sfm_path, radius=radius, **(vote or {}))
        refused = None if args.redo else run_record.refusal(masks, params)
        if refused:
            raise UserError(refused)
        # --redo removes every earlier output, once the mesh is known to fit
        done_before = set() if args.redo else {
            name for name in names if os.path.exists(os.path.join(masks, name, outputs.SUB_MESH))}
        notes += depth_scale.depth_scale_notes(scene, names, bounds)
        clouds, boxes, subdirs = Tessaron._object_clouds(scene)
        # Whatever the mode, a mesh that does not fit is refused before anything is removed or written.
        refuse_misfit(surface, clouds, subdirs, notes, args.force)
        del surface
        if args.redo:
            removed = run_record.start_over(masks)
            print(f"started over: removed {len(removed)} files of earlier runs")
            said = True
        record = run_record.begin(masks, params)
        with cut_progress(record, len(names if args.vote else subdirs) + 1, args.verbose):
            if args.dense:
                Tessaron._cut_dense(scene, clouds, subdirs, radius, record)
            elif args.vote:  # every object folder, by its masks alone
                Tessaron._cut_vote(scene, names, vote["min_share"], vote["min_views"], vote["depth_tolerance"], record)
            else:
                Tessaron._cut_objects(scene, clouds, boxes, subdirs, record)

    names = outputs.object_folders(masks)
    broken = run_record.partition_problem(record, masks, names)
    rows, problems, with_sub_mesh = [], [], 0
    for name, status in statuses(masks, names, record, done_before).items():
        # a folder that is another's holds that object's files: they are counted there
        faces, points = (None, None) if "same folder" in status else _counts(os.path.join(masks, name), problems)
        with_sub_mesh += faces is not None or status.startswith("skipped")
        rows.append((name, "-" if faces is None else faces, "-" if points is None else points, status))
    remain, problem = outputs.try_load_mesh(os.path.join(masks, outputs.REMAIN))
    problems += [problem] if problem else []
    if remain is not None:
        rows.append((outputs.REMAIN, len(remain.faces), "-", "the faces no object took"))
    if said:
        print()
    print_table(("object", "faces", "points", "status"), rows, right=(1, 2))
    for problem in problems:
        print(f"cannot read {problem}")
    for note in notes:
        print(note)
    if broken:
        raise UserError(f"the outputs are no partition of the mesh: {broken}; {run_record.START_OVER}")
    if not with_sub_mesh:
        raise UserError("no object was cut: remain.ply holds the whole scene mesh"
                        + (" (see the notes above)" if notes else " (do the masks mark the objects, and do their "
                                                                  "depth points lie on the mesh?)"))
    return 0
