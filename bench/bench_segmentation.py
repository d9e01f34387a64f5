"""Whole-scene segmentation: quarnet's SceneTessaron.seg_scene_mesh() against
the same pipeline written plainly in Python (numpy, SciPy, OpenCV, Open3D,
trimesh), on a generated scene, side by side in one run.

Both sides make the same library calls where the pipeline fixes them (trimesh's
candidate query and submesh, export, Open3D's thinning, cleaning and writing):
quarnet's native doubles of trimesh's query and submesh give trimesh's very
results, and the run checks that every file both sides write is byte-identical.
Both sides hand each face to submesh once and write every file under a
temporary name that is renamed into place. Each side runs in a fresh process
on fresh outputs; phases are timed by wrapping the pipeline's own functions
(never trimesh's, which would hand quarnet's calls back to trimesh), peak
memory is the process's maximum resident size.

A third run measures, for every working mesh, what an exact design cannot
avoid per object: the face search's R-tree (built as libspatialindex builds
trimesh's), a nearest-vertex structure (SciPy's k-d tree of the referenced
vertices) and one copy of the remainder's arrays. The floor is those plus
quarnet's own extraction and writing.

    python bench/bench_segmentation.py [--faces 1000000 --views 100 --width 640 --height 480 --objects 10]

Targets: end to end at least 8x faster at 1 M faces, 100 views, 10 objects and
12x at 3 M faces, 60 views, 20 objects; identical files; peak memory at most
0.8x the plain pipeline's.

The scale mode runs `quarnet segment` (the default cut and --dense) on scenes
of growing size with the same views and objects, each run in a fresh process,
and prints per phase the time and the peak resident memory, per face:

    python bench/bench_segmentation.py --scale [--sizes 1000000,3000000,10000000] [--modes default,dense]
        [--scenes-dir DIR] [--digests FILE] [--views 60 --objects 20 --width 640 --height 480]

A phase's peak is the kernel's high-water mark of the process, reset at the
phase's start (/proc/self/clear_refs); "held" is the memory resident when the
phase began (what earlier phases left), "added" the rest of its peak. Scenes
are written once into --scenes-dir and reused. Targets: at most 0.45 KB per
face at 10 M faces in both modes, and time per face at 10 M no more than 1.2x
that at 3 M.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import resource
import secrets
import shutil
import subprocess
import sys
import tempfile
import time

from quarnet.outputs import REMAIN, SUB_MESH, SUB_PCD, object_folders

PHASES = ("load", "extraction", "face search", "cut", "writing")


# ---- the plain-Python pipeline ----------------------------------------------


def reference_pipeline():
    """The segmentation pipeline in plain Python; returns (scene setup, segment)."""
    import open3d as o3d
    import trimesh

    from quarnet.mesh_seg import Tessaron
    # The plain depth lifting and masked extraction (without the progress bar
    # and count lines, which only favours this side), and trimesh's own search
    # and cut.
    from quarnet.testing.plain_pipeline import plain_extract as extract_masked_pointclouds
    from quarnet.testing.trimesh_reference import trimesh_cut, trimesh_face_ids

    def find_nearby_faces(mesh, point_cloud):
        return trimesh_face_ids(mesh, point_cloud.points, verbose=True)

    def save_nearby_faces_as_ply(mesh, nearby_faces):
        sub_mesh, remain_mesh = trimesh_cut(mesh, nearby_faces)
        if sub_mesh is None:
            print("未找到子网格，无法保存 .ply")
            return None, None
        return sub_mesh, remain_mesh

    def staged(path):
        folder, name = os.path.split(path)
        return os.path.join(folder, f".{name}.tmp-{secrets.token_hex(6)}.ply")

    def commit(temp, path):
        fd = os.open(temp, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temp, path)

    def cut_and_export(mask_path, mesh_file, all_pcd_cleaned, all_bounding_boxes, all_subdir):
        mesh_trimesh = trimesh.load(mesh_file)
        for pcd, bbox, subdir in zip(all_pcd_cleaned, all_bounding_boxes, all_subdir):
            print(f"Processing point cloud with {len(pcd.points)} points and bbox {bbox}.")
            sub_mesh_path = os.path.join(mask_path, str(subdir), SUB_MESH)
            sub_pcd_path = os.path.join(mask_path, str(subdir), SUB_PCD)
            if os.path.exists(sub_mesh_path):
                print(f"Sub-mesh already exists at {sub_mesh_path}, skipping.")
                continue
            if mesh_trimesh is None:
                print(f"No faces left in the mesh for {subdir}, skipping.")
                continue
            nearby_faces = timed("face search", find_nearby_faces)(mesh_trimesh, pcd)
            print(f"找到的近邻面片数量: {len(nearby_faces)}")
            if len(nearby_faces) == 0:
                print("未找到符合条件的面片，请尝试调整 threshold")
            sub_mesh, remain_mesh = timed("cut", save_nearby_faces_as_ply)(mesh_trimesh, nearby_faces)
            if sub_mesh is None:
                continue
            mesh_temp, pcd_temp = staged(sub_mesh_path), staged(sub_pcd_path)
            sub_mesh.export(mesh_temp)
            if not o3d.io.write_point_cloud(pcd_temp, pcd):
                raise OSError(f"cannot write point cloud {sub_pcd_path}")
            commit(pcd_temp, sub_pcd_path)
            commit(mesh_temp, sub_mesh_path)
            mesh_trimesh = remain_mesh
            print("finish seg part", str(subdir), "save ply ", sub_mesh_path)
        if mesh_trimesh is None:
            mesh_trimesh = trimesh.Trimesh()
        remain_path = os.path.join(mask_path, REMAIN)
        temp = staged(remain_path)
        mesh_trimesh.export(temp)
        commit(temp, remain_path)

    def setup(mask_path, mesh_file, root_path):
        """The scene's K and poses, as SceneTessaron reads them (untimed)."""
        scene = Tessaron.SceneTessaron(mask_path, mesh_file, root_path)
        return dict(mask_path=mask_path, mesh_file=mesh_file, depths_path=scene.depths_path, K=scene.K,
                    pose=scene.pose)

    def seg_scene_mesh(scene):
        poses_dict = {idx: (t, q) for idx, t, q in scene["pose"]}
        all_bounding_box, all_pcd_cleaned, all_subdir = [], [], []
        print("self.mask_path", scene["mask_path"])
        for subdir in object_folders(scene["mask_path"]):
            mask_dir = os.path.join(scene["mask_path"], subdir)
            print(f"Files in {subdir}:")
            pcd_cleaned, bounding_box = timed("extraction", extract_masked_pointclouds)(
                mask_dir, scene["depths_path"], poses_dict, scene["K"])
            if bounding_box:
                all_bounding_box.append(bounding_box)
                all_pcd_cleaned.append(pcd_cleaned)
                all_subdir.append(subdir)
        cut_and_export(scene["mask_path"], scene["mesh_file"], all_pcd_cleaned, all_bounding_box, all_subdir)

    return setup, seg_scene_mesh


# ---- timing -----------------------------------------------------------------

TIMES = {}
PER_OBJECT = {}  # floor part -> seconds per working mesh


def timed(phase, fn):
    def wrapper(*args, **kwargs):
        start = time.perf_counter()
        try:
            return fn(*args, **kwargs)
        finally:
            TIMES[phase] = TIMES.get(phase, 0.0) + time.perf_counter() - start

    return wrapper


def per_object_floor(mesh):
    """Seconds for the working mesh's R-tree (the face search's own, on every
    core), SciPy's k-d tree of its referenced vertices, and one copy of its
    arrays; the inputs are prepared untimed."""
    import numpy as np
    from scipy.spatial import cKDTree

    from quarnet.mesh_seg import _box_tree

    triangles = mesh.triangles
    lo, hi = triangles.min(axis=1), triangles.max(axis=1)
    referenced = mesh.vertices[mesh.referenced_vertices]
    arrays = (mesh.vertices.view(np.ndarray), mesh.faces.view(np.ndarray), mesh.face_normals)
    none = np.zeros((0, 3))
    start = time.perf_counter()
    _box_tree.intersecting(lo, hi, none, none, 0, threads=os.cpu_count())
    tree = time.perf_counter()
    cKDTree(referenced)
    kdtree = time.perf_counter()
    [a.copy() for a in arrays]
    return {"R-tree": tree - start, "k-d tree": kdtree - tree, "remainder copy": time.perf_counter() - kdtree}


def run_side(side, mask_path, mesh_file, root_path, result_path):
    """One side of the comparison, in this (fresh) process."""
    import trimesh

    trimesh.load = timed("load", trimesh.load)
    if side in ("quarnet", "floor"):
        from quarnet.mesh_seg import Tessaron

        for name, phase in (("extract_masked_pointclouds", "extraction"), ("find_nearby_faces", "face search"),
                            ("save_nearby_faces_as_ply", "cut")):
            setattr(Tessaron, name, timed(phase, getattr(Tessaron, name)))
        if side == "floor":
            search = Tessaron.find_nearby_faces

            def measured(mesh, *args):
                for part, seconds in per_object_floor(mesh).items():
                    PER_OBJECT.setdefault(part, []).append(seconds)
                return search(mesh, *args)

            Tessaron.find_nearby_faces = measured
        scene = Tessaron.SceneTessaron(mask_path, mesh_file, root_path)
        start = time.perf_counter()
        scene.seg_scene_mesh()
        total = time.perf_counter() - start
    else:
        setup, seg_scene_mesh = reference_pipeline()
        scene = setup(mask_path, mesh_file, root_path)
        start = time.perf_counter()
        seg_scene_mesh(scene)
        total = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    times = dict(TIMES)
    times["writing"] = total - sum(times.get(p, 0.0) for p in PHASES[:-1])
    times["total"] = total
    with open(result_path, "w") as f:
        json.dump({"times": times, "peak": peak, "outputs": output_digests(mask_path), "per_object": PER_OBJECT}, f)


def output_files(mask_path):
    """The relative paths of the output files present in the mask folder."""
    paths = [os.path.join(name, output) for name in object_folders(mask_path) for output in (SUB_MESH, SUB_PCD)]
    return [path for path in paths + [REMAIN] if os.path.isfile(os.path.join(mask_path, path))]


def output_digests(mask_path):
    """{relative path: sha256} of every output file in the mask folder."""
    digests = {}
    for path in output_files(mask_path):
        with open(os.path.join(mask_path, path), "rb") as f:
            digests[path] = hashlib.sha256(f.read()).hexdigest()
    return digests


def clear_outputs(mask_path):
    """Removes the outputs and the run record (a run in another mode would
    refuse outputs recorded for this one)."""
    from quarnet import run_record

    for path in output_files(mask_path) + [run_record.NAME]:
        if os.path.isfile(os.path.join(mask_path, path)):
            os.remove(os.path.join(mask_path, path))


TIMED_CUT = """
import contextlib, io, json, resource, sys, time
from quarnet.mesh_seg import Tessaron
mask_path, mesh_file, root_path, mode = sys.argv[1:5]
with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
    scene = Tessaron.SceneTessaron(mask_path, mesh_file, root_path)
    start = time.perf_counter()
    if mode == "default":
        scene.seg_scene_mesh()
    else:
        getattr(Tessaron, f"seg_scene_mesh_{mode}")(scene)
    seconds = time.perf_counter() - start
print(json.dumps([seconds, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024]))
"""


def timed_cut(scene, mode, workdir):
    """(seconds, peak bytes) of one segmentation of `scene` on fresh outputs in a fresh process, the call alone
    timed: the default cut (seg_scene_mesh) or seg_scene_mesh_<mode>."""
    clear_outputs(scene.mask_path)
    done = subprocess.run([sys.executable, "-c", TIMED_CUT, scene.mask_path, scene.mesh_file, scene.root_path, mode],
                          capture_output=True, text=True, check=True, cwd=workdir)
    return json.loads(done.stdout.splitlines()[-1])


def add_sizes(parser, faces):
    """--faces (one or more sizes), --views, --width, --height, --objects, --seed: the scenes a comparison builds."""
    parser.add_argument("--faces", type=int, nargs="+", default=faces)
    parser.add_argument("--views", type=int, default=100)
    parser.add_argument("--width", type=int, default=640)
    parser.add_argument("--height", type=int, default=480)
    parser.add_argument("--objects", type=int, default=10)
    parser.add_argument("--seed", type=int, default=0)


def scenes(args, **options):
    """For each size of add_sizes' --faces: (the size asked, the sample scene), built with `options` in a
    temporary folder that lasts until the next; a line says what was built."""
    from quarnet import sample

    for faces in args.faces:
        with tempfile.TemporaryDirectory() as tmp:
            start = time.perf_counter()
            scene = sample.build_sample_scene(os.path.join(tmp, "scene"), args.seed, faces=faces, views=args.views,
                                              width=args.width, height=args.height, objects=args.objects, **options)
            print(f"scene: {scene.faces:,} faces, {scene.views} views of {args.width}x{args.height}, "
                  f"{len(scene.object_names)} objects (generated in {time.perf_counter() - start:.0f} s)", flush=True)
            yield faces, scene


def measure(side, scene):
    clear_outputs(scene.mask_path)
    with tempfile.NamedTemporaryFile(suffix=".json") as result:
        subprocess.run([sys.executable, __file__, "--side", side, scene.mask_path, scene.mesh_file, scene.root_path,
                        result.name], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env={**os.environ, "OMP_NUM_THREADS": os.environ.get("OMP_NUM_THREADS", "1")})
        with open(result.name) as f:
            return json.load(f)




# ---- the scale mode ------------------------------------------------------------

SCALE_PHASES = ("command's checks", "load", "extraction", "assignment", "face search", "cut", "writing",
                "command's table")


def _status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def _cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


class PhaseMemory:
    """Time and peak resident memory per phase of this process: at every
    switch the kernel's high-water mark is read and reset to the current
    resident size."""

    def __init__(self):
        self.times, self.cpu, self.peaks, self.held = {}, {}, {}, {}
        self.phase = "command's checks"
        self._reset()

    def _reset(self):
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        self.entered = _status_kb("VmRSS") * 1024
        self.start, self.start_cpu = time.perf_counter(), _cpu_seconds()

    def switch(self, phase):
        now, peak = time.perf_counter(), _status_kb("VmHWM") * 1024
        self.times[self.phase] = self.times.get(self.phase, 0.0) + now - self.start
        self.cpu[self.phase] = self.cpu.get(self.phase, 0.0) + _cpu_seconds() - self.start_cpu
        if peak > self.peaks.get(self.phase, -1):
            self.peaks[self.phase], self.held[self.phase] = peak, self.entered
        self.phase = phase
        self._reset()


def run_scale_side(mode, mask_path, mesh_file, root_path, result_path):
    """`quarnet segment` in this (fresh) process, its phases told apart by
    wrapping the module's functions and trimesh.load."""
    import trimesh

    from quarnet import cli
    from quarnet.mesh_seg import Tessaron

    memory = PhaseMemory()
    # the phase of the stretch after each wrapped call, up to the next one
    after = {"cut": "writing", "face search": "cut", "extraction": "assignment" if mode == "dense" else "extraction"}
    inside = []  # set while the module's segmentation runs

    def phase(name, fn):
        def wrapper(*args, **kwargs):
            memory.switch(name)
            try:
                return fn(*args, **kwargs)
            finally:
                memory.switch(after.get(name, "writing"))
        return wrapper

    def segmentation(fn, first="extraction", then="command's table"):
        """The module's segmentation, or the part of it the command calls."""
        def wrapper(*args, **kwargs):
            inside.append(True)
            memory.switch(first)
            try:
                return fn(*args, **kwargs)
            finally:
                memory.switch(then)
                if then == "command's table":
                    inside.clear()
        return wrapper

    load = trimesh.load

    def module_load(*args, **kwargs):
        if not inside:  # the command's own reads belong to its checks or its table
            return load(*args, **kwargs)
        before = memory.phase
        memory.switch("load")
        try:
            return load(*args, **kwargs)
        finally:
            memory.switch(before)

    trimesh.load = module_load
    for name, label in (("extract_masked_pointclouds", "extraction"), ("find_nearby_faces", "face search"),
                        ("save_nearby_faces_as_ply", "cut")):
        setattr(Tessaron, name, phase(label, getattr(Tessaron, name)))
    Tessaron.seg_scene_mesh_dense = segmentation(Tessaron.seg_scene_mesh_dense)
    Tessaron.SceneTessaron.seg_scene_mesh = segmentation(Tessaron.SceneTessaron.seg_scene_mesh)
    # the command's own calls: the objects' points, then the cut
    Tessaron._object_clouds = segmentation(Tessaron._object_clouds, then=after["extraction"])
    Tessaron._cut_objects = segmentation(Tessaron._cut_objects, first="extraction")
    Tessaron._cut_dense = segmentation(Tessaron._cut_dense, first="assignment")
    argv = ["segment", root_path, "--mesh", mesh_file, "--masks", mask_path] + (["--dense"] if mode == "dense" else [])
    start = time.perf_counter()
    with open(os.devnull, "w") as quiet:
        stdout, sys.stdout = sys.stdout, quiet
        try:
            status = cli.main(argv)
        finally:
            sys.stdout = stdout
    total = time.perf_counter() - start
    memory.switch("done")
    usage = resource.getrusage(resource.RUSAGE_SELF)
    with open(result_path, "w") as f:
        json.dump({"status": status, "times": memory.times, "cpu": memory.cpu, "peaks": memory.peaks,
                   "held": memory.held,
                   "total": total, "peak": max(memory.peaks.values()), "user": usage.ru_utime,
                   "system": usage.ru_stime,
                   "outputs": output_digests(mask_path)}, f)


def measure_scale(mode, scene):
    clear_outputs(scene.mask_path)
    with tempfile.NamedTemporaryFile(suffix=".json") as result:
        run = subprocess.run([sys.executable, __file__, "--scale-side", mode, scene.mask_path, scene.mesh_file,
                              scene.root_path, result.name], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             text=True, env={**os.environ, "OMP_NUM_THREADS": os.environ.get("OMP_NUM_THREADS", "1")})
        if run.returncode != 0:
            raise RuntimeError(f"the {mode} run failed (status {run.returncode}):\n{run.stderr[-3000:]}")
        with open(result.name) as f:
            return json.load(f)


def scale_scene(args, faces):
    """The scene of about `faces` faces with the other options, written once
    under --scenes-dir (or a temporary folder) and reused."""
    from quarnet import sample as sample_scene

    name = f"faces{faces}-views{args.views}-{args.width}x{args.height}-objects{args.objects}-seed{args.seed}"
    out = os.path.join(args.scenes_dir, name)
    options = argparse.Namespace(**{**vars(args), "faces": faces})
    if os.path.isfile(os.path.join(out, "scene.json")):
        with open(os.path.join(out, "scene.json")) as f:
            return sample_scene.SampleScene(**json.load(f))
    if os.path.exists(out):
        shutil.rmtree(out)
    start = time.perf_counter()
    scene = sample_scene.build_from_options(out, options)
    print(f"  generated {name} in {time.perf_counter() - start:.0f} s")
    with open(os.path.join(out, "scene.json"), "w") as f:
        json.dump({k: list(v) if isinstance(v, tuple) else v for k, v in scene.__dict__.items()}, f)
    return scene


def scale_main(args):
    sizes = [int(size) for size in args.sizes.split(",")]
    modes = args.modes.split(",")
    with tempfile.TemporaryDirectory() as tmp:
        args.scenes_dir = args.scenes_dir or tmp
        results = {}
        for faces in sizes:
            scene = scale_scene(args, faces)
            for mode in modes:
                r = results[scene.faces, mode] = measure_scale(mode, scene)
                print(f"\n{scene.faces:,} faces, {scene.views} views, {len(scene.object_names)} objects, {mode}: "
                      f"{r['total']:.1f} s ({r['user']:.1f} s user, {r['system']:.1f} s system), "
                      f"peak {r['peak'] / 2**30:.2f} GB = {r['peak'] / 1024 / scene.faces:.3f} KB per face"
                      + ("" if r["status"] == 0 else f", exit status {r['status']}"))
                print(f"  {'phase':<18}{'time':>9}{'us/face':>9}{'cpu':>9}{'peak':>10}{'KB/face':>9}{'held':>10}"
                      f"{'added':>10}")
                for name in SCALE_PHASES:
                    if name not in r["times"]:
                        continue
                    peak, held = r["peaks"][name], r["held"][name]
                    print(f"  {name:<18}{r['times'][name]:>7.2f} s{r['times'][name] * 1e6 / scene.faces:>9.3f}"
                          f"{r['cpu'][name]:>7.2f} s"
                          f"{peak / 2**30:>7.2f} GB{peak / 1024 / scene.faces:>9.3f}{held / 2**30:>7.2f} GB"
                          f"{(peak - held) / 2**30:>7.2f} GB")
    print()
    for mode in modes:
        by_size = sorted((faces, r) for (faces, m), r in results.items() if m == mode)
        line = ", ".join(f"{faces / 1e6:.1f} M: {r['peak'] / 1024 / faces:.3f} KB and {r['total'] * 1e6 / faces:.2f} us"
                         for faces, r in by_size)
        print(f"{mode}: per face {line}")
        if len(by_size) > 1:
            (small, a), (large, b) = by_size[-2], by_size[-1]
            ratio = (b["total"] / large) / (a["total"] / small)
            cpu = (sum(b["cpu"].values()) / large) / (sum(a["cpu"].values()) / small)
            print(f"  time per face at {large / 1e6:.1f} M is {ratio:.2f}x that at {small / 1e6:.1f} M "
                  f"(processor time {cpu:.2f}x; target <= 1.2); peak at {large / 1e6:.1f} M "
                  f"{b['peak'] / 1024 / large:.3f} KB per face (target <= 0.45)")
    if args.digests:  # the outputs' digests, to compare two builds' files
        with open(args.digests, "w") as f:
            json.dump({f"{faces} {mode}": r["outputs"] for (faces, mode), r in results.items()}, f, indent=1)
    return 0


def main(argv=None):
    if argv is None and len(sys.argv) > 1 and sys.argv[1] in ("--side", "--scale-side"):
        (run_side if sys.argv[1] == "--side" else run_scale_side)(*sys.argv[2:7])
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    from quarnet import sample as sample_scene

    scale = "--scale" in (sys.argv[1:] if argv is None else argv)
    sample_scene.add_scene_options(parser, faces=1_000_000, views=60 if scale else 100, width=640, height=480,
                                   objects=20 if scale else 10)
    parser.add_argument("--scene-dir", help="where to write the scene (default: a temporary folder)")
    parser.add_argument("--scale", action="store_true", help="the scale mode: memory and time per phase by size")
    parser.add_argument("--sizes", default="1000000,3000000,10000000", help="with --scale: face counts")
    parser.add_argument("--modes", default="default,dense", help="with --scale: default, dense or both")
    parser.add_argument("--scenes-dir", help="with --scale: where scenes are written once and reused")
    parser.add_argument("--digests", help="with --scale: a JSON file for the digests of every run's outputs")
    args = parser.parse_args(argv)
    if args.scale:
        return scale_main(args)

    with tempfile.TemporaryDirectory() as tmp:
        out = args.scene_dir or os.path.join(tmp, "scene")
        start = time.perf_counter()
        scene = sample_scene.build_from_options(out, args)
        print(f"scene: {scene.faces} faces, {scene.views} views of {args.width}x{args.height}, "
              f"{len(scene.object_names)} objects (generated in {time.perf_counter() - start:.1f} s)")
        ref = measure("reference", scene)
        ours = measure("quarnet", scene)
        floor = measure("floor", scene)

    print(f"\n{'phase':<24}{'plain Python':>14}{'quarnet':>12}{'ratio':>9}")
    for phase in PHASES + ("total",):
        a, b = ref["times"].get(phase, 0.0), ours["times"].get(phase, 0.0)
        note = "   (target >= 8x at 1 M faces, >= 12x at 3 M)" if phase == "total" else ""
        print(f"{phase:<24}{a:>12.2f} s{b:>10.2f} s{a / b if b else float('nan'):>8.2f}x{note}")
    print(f"{'peak memory':<24}{ref['peak'] / 2**20:>11.0f} MB{ours['peak'] / 2**20:>9.0f} MB"
          f"{ours['peak'] / ref['peak']:>8.2f} of plain   (target <= 0.8)")
    parts = floor["per_object"]
    objects = len(parts.get("R-tree", []))
    print(f"\nper working mesh ({objects}): " + ", ".join(
        f"{part} {sum(seconds) / max(objects, 1):.3f} s" for part, seconds in parts.items()))
    bound = (ours["times"].get("extraction", 0.0) + ours["times"].get("writing", 0.0) + ours["times"].get("load", 0.0)
             + sum(sum(seconds) for seconds in parts.values()))
    total = ours["times"]["total"]
    print(f"floor (load, extraction and writing as measured, plus the parts above per object): {bound:.2f} s; "
          f"quarnet's total is {total / bound:.2f}x the floor")
    same = ref["outputs"] == ours["outputs"]
    print(f"outputs: {len(ours['outputs'])} files, {'byte-identical' if same else 'DIFFERENT'} between the two sides")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
