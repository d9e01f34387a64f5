"""The sample scene on disk: its mesh, its cameras (on a ring around it, or
hand-held before the cluttered scene), depth maps and masks ray-cast from the
mesh (exact, or as real pipelines give them), a COLMAP binary model, and the
ground truth of every face."""

from __future__ import annotations

import dataclasses
import os

import cv2
import numpy as np
import trimesh
from tqdm import tqdm

from quarnet._scene_rules import DEPTHS, SPARSE, depth_file
from quarnet.raycast import cast, intrinsics, look_at, raycaster_of
from quarnet.scene import colmap_loader

from .clutter import LAYOUTS, clutter_mesh, handheld_cameras, too_few_faces
from .noise import noisy_depth, noisy_mask
from .shapes import GROUND, scene_mesh


@dataclasses.dataclass(frozen=True)
class SampleScene:
    root_path: str
    mesh_file: str
    mask_path: str
    ground_truth_path: str
    object_names: tuple[str, ...]
    faces: int
    views: int


@dataclasses.dataclass(frozen=True)
class View:
    image_id: int
    eye: np.ndarray
    R_cw: np.ndarray  # columns: camera x (right), y (down), z (forward) in world coordinates


def _views(n, region, rng):
    radius = region + 1.0
    phase = rng.uniform(0, 2 * np.pi)
    views = []
    for k in range(n):
        angle = phase + 2 * np.pi * k / n
        height = (0.55 if k % 2 == 0 else 0.95) * radius
        eye = np.array([radius * np.cos(angle), radius * np.sin(angle), height])
        target = np.array([*rng.uniform(-0.08, 0.08, 2), 0.08])
        views.append(View(k + 1, eye, look_at(eye, target)))
    return views


def build_sample_scene(out_dir, seed=0, *, faces=15000, views=12, width=320, height=240, objects=4, progress=False,
                       layout="ring", noise=None):
    """Writes a sample scene under `out_dir` and returns its paths.

    faces: about how many faces the scene mesh has; views: camera count;
    width, height: image size in pixels; objects: how many objects stand on
    the ground; progress: show a progress bar over the views on a terminal;
    layout: "ring" (smooth shapes, cameras on a ring) or "clutter"
    (reconstruction-like objects sunk into coarse ground before two walls, a
    mug on a chair, neighbours 0.5 to 3 cm apart, hand-held cameras); noise:
    None for exact masks and depth, or a noise.Noise (noise.SEGMENTER: masks
    as a segmentation model gives them, 0.3 % depth noise).
    The same arguments always give the same files."""
    if objects < 1 or views < 1 or width < 2 or height < 2 or faces < 1:
        raise ValueError("objects, views, faces must be positive and the image at least 2x2 pixels")
    if layout not in LAYOUTS:
        raise ValueError(f"layout must be one of {', '.join(LAYOUTS)}, got {layout!r}")
    few = too_few_faces(layout, objects, seed, faces)
    if few:
        raise ValueError(f"faces={few}")
    rng = np.random.default_rng(seed)
    out_dir = os.fspath(out_dir)
    depths = os.path.join(out_dir, DEPTHS)
    sparse = os.path.join(out_dir, SPARSE)
    masks = os.path.join(out_dir, "masks")
    for folder in (depths, sparse, masks):
        os.makedirs(folder, exist_ok=True)

    if layout == "ring":
        vertices, tris, labels, colours, names, region = scene_mesh(objects, faces, rng)
    else:
        clutter = clutter_mesh(objects, faces, rng)
        vertices, tris, labels, colours, names = (clutter.vertices, clutter.faces, clutter.labels, clutter.colours,
                                                  clutter.names)
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
    if layout == "ring":
        camera_views = _views(views, region, rng)
    else:
        camera_views = [View(k + 1, eye, R_cw) for k, (eye, R_cw) in enumerate(handheld_cameras(views, clutter, rng))]
    noise_rng = np.random.default_rng([seed, 1])  # the scene is the same with and without noise
    for name in names:
        os.makedirs(os.path.join(masks, name), exist_ok=True)
    seen = np.zeros(len(tris), dtype=bool)
    images = {}
    pad = max(5, len(str(views)))
    for view in tqdm(camera_views, desc="views", unit="view", disable=None if progress else True):
        depth, prim, _, _ = cast(raycaster, view.eye, view.R_cw, K, width, height)
        hit = depth > 0
        seen[prim[hit]] = True
        label = np.full(depth.shape, GROUND - 1, dtype=np.int32)
        label[hit] = labels[prim[hit]]
        np.save(depth_file(depths, view.image_id), depth if noise is None else noisy_depth(depth, noise, noise_rng))
        image_name = f"{view.image_id:0{pad}d}.png"
        for k, name in enumerate(names):
            clean = label == k
            mask = np.where(clean, 255, 0).astype(np.uint8) if noise is None else noisy_mask(clean, noise, noise_rng)
            if not cv2.imwrite(os.path.join(masks, name, image_name), mask):
                raise OSError(f"cannot write {os.path.join(masks, name, image_name)}")
        R_wc = view.R_cw.T
        images[view.image_id] = colmap_loader.Image(
            view.image_id, np.asarray(colmap_loader.rotmat2qvec(R_wc)), -R_wc @ view.eye, 1, image_name,
            np.zeros((0, 2)), np.zeros(0, dtype=np.int64))
    cameras = {1: colmap_loader.Camera(1, "PINHOLE", width, height, np.array(K))}
    colmap_loader.write_model(cameras, images, sparse)

    ground_truth = os.path.join(out_dir, "ground_truth.npz")
    np.savez_compressed(ground_truth, object_names=np.array(names), face_labels=labels, face_seen=seen)
    return SampleScene(out_dir, mesh_file, masks, ground_truth, tuple(names), len(tris), views)
