"""Sample scenes as tests and benchmarks need them: made to look like a real
pipeline's (depth maps with relative noise; masks as a segmentation model
gives them, with outlines that bleed past the object, small holes, false
blobs, views where the object is missed; an object standing on another),
their objects' cleaned clouds, and their true segmentation on disk."""

from __future__ import annotations

import contextlib
import os

import cv2
import numpy as np

from quarnet import masks, outputs
from quarnet.sample import GROUND, build_sample_scene, load_ground_truth
from quarnet.sample import scene as sample_scene


def roughen(scene, seed=0, depth_noise=0.003, bleed=(1, 3), holes=0.3, blobs=0.08, missed=0.05):
    """Rewrites the scene's depth maps and masks in place: each depth times
    1 + N(0, depth_noise); each mask missed (all 0) with probability `missed`,
    else dilated by bleed[0] ... bleed[1] pixels, with up to three small holes
    (probability `holes`) and a false blob (probability `blobs`)."""
    rng = np.random.default_rng(seed)
    depths = os.path.join(scene.root_path, "depths")
    for name in sorted(os.listdir(depths)):
        path = os.path.join(depths, name)
        depth = np.load(path)
        np.save(path, (depth * (1 + rng.normal(0, depth_noise, depth.shape))).astype(np.float32))
    for name in scene.object_names:
        for _, path in masks.mask_views(os.path.join(scene.mask_path, name)):
            mask = cv2.imread(path, cv2.IMREAD_GRAYSCALE)
            h, w = mask.shape
            if rng.random() < missed:
                mask[:] = 0
            else:
                k = int(rng.integers(bleed[0], bleed[1] + 1))
                mask = cv2.dilate(mask, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (2 * k + 1, 2 * k + 1)))
                inside = np.argwhere(mask > 0)
                if len(inside) and rng.random() < holes:
                    for y, x in inside[rng.choice(len(inside), min(3, len(inside)))]:
                        cv2.circle(mask, (int(x), int(y)), int(rng.integers(1, 4)), 0, -1)
                if rng.random() < blobs:
                    centre = (int(rng.integers(0, w)), int(rng.integers(0, h)))
                    cv2.circle(mask, centre, int(rng.integers(3, max(4, min(h, w) // 16))), 255, -1)
            cv2.imwrite(path, mask)
    return scene


@contextlib.contextmanager
def _second_object_on_the_first():
    """While it lasts, the sample scene's mesh has object 1 standing on top of object 0."""
    plain = sample_scene.scene_mesh

    def stacked(n_objects, faces, rng):
        vertices, tris, labels, *rest = plain(n_objects, faces, rng)
        lower, upper = np.unique(tris[labels == 0]), np.unique(tris[labels == 1])
        vertices = vertices.copy()
        centre = lambda ids: (vertices[ids, :2].min(axis=0) + vertices[ids, :2].max(axis=0)) / 2  # noqa: E731
        shift = np.append(centre(lower) - centre(upper), vertices[lower, 2].max() - vertices[upper, 2].min())
        vertices[upper] += shift
        return (vertices, tris, labels, *rest)

    sample_scene.scene_mesh = stacked
    try:
        yield
    finally:
        sample_scene.scene_mesh = plain


def stacked_scene(out_dir, seed=0, **options):
    """build_sample_scene(out_dir, seed, **options) with its second object
    standing on its first (at least two objects)."""
    with _second_object_on_the_first():
        return build_sample_scene(out_dir, seed, **options)


def cleaned_clouds(scene):
    """(each object's cleaned cloud as the segmentation extracts it, the
    objects' names), the module's lines and bars kept quiet."""
    import io

    from quarnet.mesh_seg import Tessaron

    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        tessaron = Tessaron.SceneTessaron(scene.mask_path, scene.mesh_file, scene.root_path)
        poses = {idx: (t, q) for idx, t, q in tessaron.pose}
        clouds, names = [], []
        for name in scene.object_names:
            pcd, box = Tessaron.extract_masked_pointclouds(os.path.join(scene.mask_path, name), tessaron.depths_path,
                                                           poses, tessaron.K)
            if box is not None:
                clouds.append(pcd)
                names.append(name)
    return clouds, names


def write_true_segmentation(scene):
    """Each object's true faces as its sub_mesh.ply and the ground's as
    remain.ply: what a perfect segmentation leaves."""
    import trimesh

    mesh = trimesh.load(scene.mesh_file, process=False)
    names, labels, _ = load_ground_truth(scene.ground_truth_path)
    for k, name in enumerate(names + [None]):
        part = mesh.submesh([np.flatnonzero(labels == (k if name else GROUND))], append=True)
        part.export(os.path.join(scene.mask_path, name, outputs.SUB_MESH) if name
                    else os.path.join(scene.mask_path, outputs.REMAIN))
