"""A synthetic scene for trying out quarnet's mesh segmentation.

A ground plane with several objects (boxes, spheres, cylinders, tori; some of
them touching) carrying vertex colours, seen by cameras on a ring around it.
Depth maps and per-object masks come from ray casting the mesh, and the camera
model is written as a COLMAP binary sparse model, so the scene has exactly
the layout SceneTessaron reads:

    <out>/mesh.ply                       the scene mesh (PLY, vertex colours)
    <out>/depths/<id>.npy                float32 depth along the viewing axis, 0 = no surface
    <out>/sparse/0/cameras.bin           one PINHOLE camera
    <out>/sparse/0/images.bin            one image per view, named <id padded>.png
    <out>/masks/<object>/<id padded>.png 8-bit mask, 255 = the object
    <out>/ground_truth.npz               per-face object label and visibility

Everything follows from the seed. Usage:

    python examples/sample_scene.py OUT_DIR [--seed N] [--faces N] [--views N]
        [--width W] [--height H] [--objects N]
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import os
import sys

import cv2
import numpy as np
import open3d as o3d
import trimesh

from quarnet.scene import colmap_loader

GROUND = -1  # face label of the ground plane
KINDS = ("box", "sphere", "cylinder", "box", "torus", "sphere", "box", "cylinder")
ROUND = {"sphere", "cylinder", "torus"}
COLOURS = np.array(
    [[214, 69, 65], [52, 152, 219], [46, 204, 113], [241, 196, 15], [155, 89, 182],
     [230, 126, 34], [26, 188, 156], [236, 112, 160], [127, 140, 41], [93, 109, 226]],
    dtype=np.uint8,
)
GROUND_COLOUR = np.array([168, 160, 148], dtype=np.uint8)


@dataclasses.dataclass(frozen=True)
class SampleScene:
    root_path: str
    mesh_file: str
    mask_path: str
    ground_truth_path: str
    object_names: tuple[str, ...]
    faces: int
    views: int


# ---- geometry ---------------------------------------------------------------


def _patch(fn, nu, nv, wrap_u=False, wrap_v=False, pole_v0=False, pole_v1=False):
    """Triangulates the parametric surface fn(u, v), u and v in [0, 1], on an
    nu x nv grid. A wrapped direction closes on itself; a pole row collapses
    to one vertex (its cells become single triangles)."""
    cols = nu if wrap_u else nu + 1
    rows = nv if wrap_v else nv + 1
    us = np.arange(cols) / nu
    vertices, grid, count = [], [], 0
    for j in range(rows):
        v = np.full(1 if (j == 0 and pole_v0) or (j == nv and pole_v1) else cols, j / nv)
        pts = fn(us[: len(v)] * (len(v) > 1), v)
        vertices.append(pts)
        grid.append(np.arange(count, count + len(pts))[np.arange(nu + 1) % len(pts)])
        count += len(pts)
    if wrap_v:
        grid.append(grid[0])
    g = np.array(grid)  # (nv + 1) x (nu + 1) vertex index of every grid corner
    a, b, c, d = g[:-1, :-1], g[:-1, 1:], g[1:, 1:], g[1:, :-1]
    tris = np.stack([np.stack([a, b, c], -1), np.stack([a, c, d], -1)], axis=2).reshape(-1, 3)
    keep = (tris[:, 0] != tris[:, 1]) & (tris[:, 1] != tris[:, 2]) & (tris[:, 0] != tris[:, 2])
    return np.vstack(vertices), tris[keep].astype(np.int64)


def _join(parts):
    vertices, faces, offset = [], [], 0
    for v, f in parts:
        vertices.append(v)
        faces.append(f + offset)
        offset += len(v)
    return np.vstack(vertices), np.vstack(faces)


def _cells(length, step):
    return max(2, math.ceil(length / step))


def _plane(origin, du, dv, step):
    origin, du, dv = (np.asarray(x, dtype=float) for x in (origin, du, dv))
    fn = lambda u, v: origin + u[:, None] * du + v[:, None] * dv  # noqa: E731
    return _patch(fn, _cells(np.linalg.norm(du), step), _cells(np.linalg.norm(dv), step))


def _box(ex, ey, ez, step):
    x0, y0 = -ex / 2, -ey / 2
    return _join([
        _plane((x0, y0, 0), (0, ey, 0), (ex, 0, 0), step),  # bottom
        _plane((x0, y0, ez), (ex, 0, 0), (0, ey, 0), step),  # top
        _plane((x0, y0, 0), (ex, 0, 0), (0, 0, ez), step),
        _plane((x0, -y0, 0), (0, 0, ez), (ex, 0, 0), step),
        _plane((x0, y0, 0), (0, 0, ez), (0, ey, 0), step),
        _plane((-x0, y0, 0), (0, ey, 0), (0, 0, ez), step),
    ])


def _sphere(r, step):
    def fn(u, v):
        theta, phi = 2 * np.pi * u, np.pi * (v - 0.5)
        return np.column_stack([r * np.cos(phi) * np.cos(theta), r * np.cos(phi) * np.sin(theta), r + r * np.sin(phi)])

    return _patch(fn, _cells(2 * np.pi * r, step), _cells(np.pi * r, step), wrap_u=True, pole_v0=True, pole_v1=True)


def _cylinder(r, h, step):
    nu = _cells(2 * np.pi * r, step)
    ring = lambda u: (np.cos(2 * np.pi * u), np.sin(2 * np.pi * u))  # noqa: E731

    def side(u, v):
        c, s = ring(u)
        return np.column_stack([r * c, r * s, h * v])

    def cap(z, flip):
        def fn(u, v):
            c, s = ring(1 - u if flip else u)
            return np.column_stack([r * v * c, r * v * s, np.full(len(u), z)])

        return fn

    nr = _cells(r, step)
    return _join([
        _patch(side, nu, _cells(h, step), wrap_u=True),
        _patch(cap(h, False), nu, nr, wrap_u=True, pole_v0=True),
        _patch(cap(0.0, True), nu, nr, wrap_u=True, pole_v0=True),
    ])


def _torus(big, small, step):
    def fn(u, v):
        theta, psi = 2 * np.pi * u, 2 * np.pi * v
        ring = big + small * np.cos(psi)
        return np.column_stack([ring * np.cos(theta), ring * np.sin(theta), small + small * np.sin(psi)])

    return _patch(fn, _cells(2 * np.pi * (big + small), step), _cells(2 * np.pi * small, step), wrap_u=True, wrap_v=True)


@dataclasses.dataclass
class _Shape:
    kind: str
    size: tuple
    reach: float  # horizontal extent from the centre (boxes: half-diagonal)
    area: float
    center: tuple = (0.0, 0.0)

    def mesh(self, step):
        build = {"box": _box, "sphere": _sphere, "cylinder": _cylinder, "torus": _torus}[self.kind]
        vertices, faces = build(*self.size, step)
        return vertices + np.array([self.center[0], self.center[1], 0.0]), faces


def _random_shape(kind, rng):
    if kind == "box":
        ex, ey, ez = rng.uniform(0.16, 0.34, 3)
        return _Shape(kind, (ex, ey, ez), math.hypot(ex, ey) / 2, 2 * (ex * ey + ex * ez + ey * ez))
    if kind == "sphere":
        r = rng.uniform(0.08, 0.15)
        return _Shape(kind, (r,), r, 4 * np.pi * r * r)
    if kind == "cylinder":
        r, h = rng.uniform(0.06, 0.11), rng.uniform(0.16, 0.34)
        return _Shape(kind, (r, h), r, 2 * np.pi * r * (r + h))
    big, small = rng.uniform(0.09, 0.13), rng.uniform(0.035, 0.05)
    return _Shape(kind, (big, small), big + small, 4 * np.pi**2 * big * small)


def _layout(shapes, rng, region):
    """Places the shapes on the ground without overlaps. A round shape that
    follows a box is set against one of the box's sides, touching it."""
    placed = []

    def free(center, reach, ignore=None):
        return all(
            other is ignore or math.dist(center, other.center) >= reach + other.reach + 0.04 for other in placed
        )

    def against_box(box, shape):
        hx, hy = box.size[0] / 2, box.size[1] / 2
        for side in rng.permutation(4):
            axis, sign = divmod(int(side), 2)
            sign = 1 if sign == 0 else -1
            offset = rng.uniform(-0.4, 0.4) * (hy if axis == 0 else hx)  # contact stays on the side face
            if axis == 0:
                c = (box.center[0] + sign * (hx + shape.reach), box.center[1] + offset)
            else:
                c = (box.center[0] + offset, box.center[1] + sign * (hy + shape.reach))
            if free(c, shape.reach, ignore=box) and math.hypot(*c) + shape.reach < region:
                return c
        return None

    for k, shape in enumerate(shapes):
        spot = None
        if placed and placed[-1].kind == "box" and shape.kind in ROUND:
            spot = against_box(placed[-1], shape)
        for _ in range(2000):
            if spot is not None:
                break
            c = tuple(rng.uniform(-region + shape.reach, region - shape.reach, 2))
            if math.hypot(*c) + shape.reach < region and free(c, shape.reach):
                spot = c
        if spot is None:
            raise ValueError(f"no room for object {k} on the ground; use fewer objects")
        shape.center = (float(spot[0]), float(spot[1]))
        placed.append(shape)
    return placed


def _scene_mesh(n_objects, faces, rng):
    """Ground plus objects: vertices, faces, per-face label, per-vertex colour,
    object names, and the radius of the region the objects stand in."""
    shapes = [_random_shape(KINDS[k % len(KINDS)], rng) for k in range(n_objects)]
    region = 0.3 + 0.22 * math.sqrt(n_objects)
    _layout(shapes, rng, region)

    half = region + 0.5
    ground = _plane((-half, -half, 0), (2 * half, 0, 0), (0, 2 * half, 0), 0.1)
    target = max(faces - len(ground[1]), 100)
    step = math.sqrt(2 * sum(s.area for s in shapes) / target)
    meshes = [shape.mesh(step) for shape in shapes]
    # Cell counts round up; one correction brings the total close to the target.
    step *= math.sqrt(sum(len(f) for _, f in meshes) / target)
    meshes = [shape.mesh(step) for shape in shapes]

    parts, labels, colours, names = [ground], [np.full(len(ground[1]), GROUND)], [], []
    colours.append(np.tile(GROUND_COLOUR, (len(ground[0]), 1)))
    for k, (shape, (v, f)) in enumerate(zip(shapes, meshes)):
        parts.append((v, f))
        labels.append(np.full(len(f), k))
        shade = rng.uniform(0.85, 1.0, (len(v), 1))  # a little texture
        colours.append((COLOURS[k % len(COLOURS)] * shade).astype(np.uint8))
        names.append(f"{shape.kind}_{k}")
    vertices, tris = _join(parts)
    return vertices, tris, np.concatenate(labels).astype(np.int32), np.vstack(colours), names, region


# ---- cameras and rendering --------------------------------------------------


@dataclasses.dataclass(frozen=True)
class View:
    image_id: int
    eye: np.ndarray
    R_cw: np.ndarray  # columns: camera x (right), y (down), z (forward) in world coordinates


def _look_at(eye, target):
    forward = target - eye
    forward /= np.linalg.norm(forward)
    right = np.cross(forward, [0.0, 0.0, 1.0])
    right /= np.linalg.norm(right)
    down = np.cross(forward, right)
    return np.column_stack([right, down, forward])


def _views(n, region, rng):
    radius = region + 1.0
    phase = rng.uniform(0, 2 * np.pi)
    views = []
    for k in range(n):
        angle = phase + 2 * np.pi * k / n
        height = (0.55 if k % 2 == 0 else 0.95) * radius
        eye = np.array([radius * np.cos(angle), radius * np.sin(angle), height])
        target = np.array([*rng.uniform(-0.08, 0.08, 2), 0.08])
        views.append(View(k + 1, eye, _look_at(eye, target)))
    return views


def intrinsics(width, height, fov_degrees=60.0):
    """[fx, fy, cx, cy] of a pinhole camera with the given horizontal field of view."""
    f = 0.5 * width / math.tan(math.radians(fov_degrees) / 2)
    return [f, f, width / 2, height / 2]


def cast(raycaster, eye, R_cw, K, width, height):
    """Casts one ray per pixel (u, v) through (u - cx) / fx, (v - cy) / fy, 1 in
    the camera frame; returns depth along the viewing axis (0 where nothing is
    hit), the hit primitive ids and the hit normals."""
    fx, fy, cx, cy = K
    u, v = np.meshgrid(np.arange(width), np.arange(height))
    cam = np.stack([(u - cx) / fx, (v - cy) / fy, np.ones_like(u, dtype=float)], axis=-1)
    directions = cam @ R_cw.T
    rays = np.concatenate([np.broadcast_to(eye, directions.shape), directions], axis=-1).astype(np.float32)
    hit = raycaster.cast_rays(o3d.core.Tensor(rays))
    t = hit["t_hit"].numpy()
    depth = np.where(np.isfinite(t), t, 0).astype(np.float32)  # unit z in the camera frame: t is the depth
    return depth, hit["primitive_ids"].numpy(), hit["geometry_ids"].numpy(), hit["primitive_normals"].numpy()


def raycaster_of(meshes):
    """A ray-casting scene of (vertices, faces) pairs; geometry ids follow the order."""
    scene = o3d.t.geometry.RaycastingScene()
    for vertices, faces in meshes:
        scene.add_triangles(o3d.core.Tensor(np.asarray(vertices, dtype=np.float32)),
                            o3d.core.Tensor(np.asarray(faces, dtype=np.uint32)))
    return scene


# ---- the scene on disk ------------------------------------------------------


def build_sample_scene(out_dir, seed=0, *, faces=15000, views=12, width=320, height=240, objects=4):
    """Writes a sample scene under `out_dir` and returns its paths.

    faces: about how many faces the scene mesh has; views: camera count;
    width, height: image size in pixels; objects: how many objects stand on
    the ground. The same arguments always give the same files."""
    if objects < 1 or views < 1 or width < 2 or height < 2 or faces < 1:
        raise ValueError("objects, views, faces must be positive and the image at least 2x2 pixels")
    rng = np.random.default_rng(seed)
    out_dir = os.fspath(out_dir)
    depths = os.path.join(out_dir, "depths")
    sparse = os.path.join(out_dir, "sparse", "0")
    masks = os.path.join(out_dir, "masks")
    for folder in (depths, sparse, masks):
        os.makedirs(folder, exist_ok=True)

    vertices, tris, labels, colours, names, region = _scene_mesh(objects, faces, rng)
    mesh_file = os.path.join(out_dir, "mesh.ply")
    mesh = trimesh.Trimesh(vertices, tris, vertex_colors=colours, process=False)
    mesh.export(mesh_file)
    # Faces are labelled by their index in the file, and the rays below hit
    # the coordinates as stored (single precision).
    stored = trimesh.load(mesh_file, process=False)
    if len(stored.faces) != len(tris):
        raise RuntimeError(f"{mesh_file}: wrote {len(tris)} faces, read back {len(stored.faces)}")
    raycaster = raycaster_of([(stored.vertices, stored.faces)])

    K = intrinsics(width, height)
    camera_views = _views(views, region, rng)
    for name in names:
        os.makedirs(os.path.join(masks, name), exist_ok=True)
    seen = np.zeros(len(tris), dtype=bool)
    images = {}
    pad = max(5, len(str(views)))
    for view in camera_views:
        depth, prim, _, _ = cast(raycaster, view.eye, view.R_cw, K, width, height)
        hit = depth > 0
        seen[prim[hit]] = True
        label = np.full(depth.shape, GROUND - 1, dtype=np.int32)
        label[hit] = labels[prim[hit]]
        np.save(os.path.join(depths, f"{view.image_id}.npy"), depth)
        image_name = f"{view.image_id:0{pad}d}.png"
        for k, name in enumerate(names):
            if not cv2.imwrite(os.path.join(masks, name, image_name), np.where(label == k, 255, 0).astype(np.uint8)):
                raise OSError(f"cannot write {os.path.join(masks, name, image_name)}")
        R_wc = view.R_cw.T
        images[view.image_id] = colmap_loader.Image(
            view.image_id, np.asarray(colmap_loader.rotmat2qvec(R_wc)), -R_wc @ view.eye, 1, image_name,
            np.zeros((0, 2)), np.zeros(0, dtype=np.int64))
    cameras = {1: colmap_loader.Camera(1, "PINHOLE", width, height, np.array(K))}
    colmap_loader.write_intrinsics_binary(cameras, os.path.join(sparse, "cameras.bin"))
    colmap_loader.write_extrinsics_binary(images, os.path.join(sparse, "images.bin"))

    ground_truth = os.path.join(out_dir, "ground_truth.npz")
    np.savez_compressed(ground_truth, object_names=np.array(names), face_labels=labels, face_seen=seen)
    return SampleScene(out_dir, mesh_file, masks, ground_truth, tuple(names), len(tris), views)


def load_ground_truth(path):
    """(object names, per-face label: object index or -1 for the ground, per-face seen-by-some-view)."""
    with np.load(path) as data:
        return [str(n) for n in data["object_names"]], data["face_labels"], data["face_seen"]


# ---- scoring a segmentation -------------------------------------------------


def _face_keys(mesh):
    """One byte key per face: its three single-precision corners, sorted."""
    tri = np.ascontiguousarray(np.asarray(mesh.vertices, dtype=np.float32)[np.asarray(mesh.faces)])
    corners = tri.view("V12").reshape(len(tri), 3)
    corners.sort(axis=1)
    return np.ascontiguousarray(corners).view("V36").ravel()


def load_mesh(path):
    """The mesh in a written output file, None if there is no such file (a
    file without faces reads as an empty mesh)."""
    if not os.path.exists(path):
        return None
    loaded = trimesh.load(path, process=False)
    return loaded if isinstance(loaded, trimesh.Trimesh) else trimesh.Trimesh()


def evaluate(scene):
    """Scores the sub_mesh.ply of every object against the ground truth: faces
    in the sub-mesh, how many of the object's seen faces it holds (recall),
    and how many of its faces are not the object's own (ground or other
    objects)."""
    names, labels, seen = load_ground_truth(scene.ground_truth_path)
    keys = _face_keys(trimesh.load(scene.mesh_file, process=False))
    order = np.argsort(keys)
    sorted_keys = keys[order]
    report = []
    for k, name in enumerate(names):
        sub = load_mesh(os.path.join(scene.mask_path, name, "sub_mesh.ply"))
        own_seen = int(np.count_nonzero((labels == k) & seen))
        row = {"name": name, "written": sub is not None, "faces": 0, "seen": own_seen, "recovered": 0, "foreign": 0}
        if sub is not None and len(sub.faces):
            sub_keys = _face_keys(sub)
            pos = np.minimum(np.searchsorted(sorted_keys, sub_keys), len(keys) - 1)
            found = sorted_keys[pos] == sub_keys
            ids = order[pos[found]]
            row["faces"] = len(sub_keys)
            row["recovered"] = int(np.count_nonzero((labels[ids] == k) & seen[ids]))
            row["foreign"] = len(sub_keys) - int(np.count_nonzero(labels[ids] == k))
        row["recall"] = row["recovered"] / own_seen if own_seen else 1.0
        row["foreign_share"] = row["foreign"] / row["faces"] if row["faces"] else 0.0
        report.append(row)
    return report


SCENE_OPTIONS = ("faces", "views", "width", "height", "objects")


def add_scene_options(parser, *, faces=15000, views=12, width=320, height=240, objects=4):
    """Adds --seed and the size options of build_sample_scene to an argparse parser."""
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--faces", type=int, default=faces, help="about this many faces in the scene mesh")
    parser.add_argument("--views", type=int, default=views)
    parser.add_argument("--width", type=int, default=width)
    parser.add_argument("--height", type=int, default=height)
    parser.add_argument("--objects", type=int, default=objects)


def build_from_options(out_dir, args):
    """build_sample_scene with the options add_scene_options parsed."""
    return build_sample_scene(out_dir, args.seed, **{name: getattr(args, name) for name in SCENE_OPTIONS})


def main(argv=None):
    parser = argparse.ArgumentParser(description="Write a synthetic scene for quarnet's mesh segmentation.")
    parser.add_argument("out_dir")
    add_scene_options(parser)
    args = parser.parse_args(argv)
    scene = build_from_options(args.out_dir, args)
    print(f"scene root   {scene.root_path}")
    print(f"mesh         {scene.mesh_file} ({scene.faces} faces)")
    print(f"masks        {scene.mask_path} ({', '.join(scene.object_names)})")
    print(f"ground truth {scene.ground_truth_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
