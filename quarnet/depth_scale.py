"""Whether an object's depth maps look like metres in the scene mesh's frame.

A few of the object's views are lifted into the world as the segmentation
lifts them (the module's load_depth and backproject_depth_to_points, the
view's camera-to-world pose); when almost none of the points lie within the
mesh's bounds, the depth maps are likely in another unit (uint16
millimetres, say), and a scale under which they would is named."""

from __future__ import annotations

import os

import numpy as np
from scipy.spatial.transform import Rotation

from quarnet import _scene_rules, masks

VIEWS_PER_OBJECT = 3
INSIDE_AT_LEAST = 0.5  # below this share of points within the (grown) bounds, the scale is suspect
MARGIN = 0.05  # the bounds grow by this share of their diagonal on every side
SCALES = (0.001, 0.01, 0.1, 10.0, 100.0, 1000.0)


def _sample_views(folder, count):
    """Up to `count` (image id, mask) pairs of the folder's masks that have object pixels, spread over the views."""
    files = masks.mask_views(folder)
    spread = np.linspace(0, len(files) - 1, num=min(len(files), 4 * count)).round().astype(int)
    picked = []
    for image_id, path in (files[k] for k in spread):
        mask = masks.read_mask(path)
        if mask is not None and mask.any():
            picked.append((image_id, mask))
        if len(picked) == count:
            break
    return picked


def _camera_points(tessaron, scene, image_id, mask):
    """The camera-frame points of the masked pixels that have a depth (None when the sizes differ)."""
    depth = tessaron.load_depth(_scene_rules.depth_file(scene.depths_path, image_id))
    if depth.shape[:2] != mask.shape:
        return None
    points = tessaron.backproject_depth_to_points(np.where(mask, depth, 0).astype(np.float32), scene.K)
    return _scene_rules.with_depth(points)


def _inside_share(points, lo, hi):
    return float(np.mean(np.all((points >= lo) & (points <= hi), axis=1))) if len(points) else 0.0


def depth_scale_notes(scene, object_names, bounds):
    """Note lines for the objects whose lifted depth points lie mostly outside `bounds`
    (2 x 3), for the constructed SceneTessaron `scene`."""
    from quarnet.mesh_seg import Tessaron

    poses = {idx: (t, q) for idx, t, q in scene.pose}
    lo, hi = np.asarray(bounds, dtype=float)
    grow = MARGIN * np.linalg.norm(hi - lo)
    lo, hi = lo - grow, hi + grow
    notes = []
    for name in object_names:
        lifted = []  # per view: camera-frame points and pose
        for image_id, mask in _sample_views(os.path.join(scene.mask_path, name), VIEWS_PER_OBJECT):
            if image_id not in poses:
                continue
            points = _camera_points(Tessaron, scene, image_id, mask)
            if points is not None and len(points):
                lifted.append((points, *poses[image_id]))
        if not lifted:
            continue

        def share(scale):
            world = np.vstack([Rotation.from_quat(q).apply(p * scale) + t for p, t, q in lifted])
            return _inside_share(world, lo, hi)

        inside = share(1.0)
        if inside >= INSIDE_AT_LEAST:
            continue
        shares = {scale: share(scale) for scale in SCALES}
        best = max(shares, key=shares.get)
        if shares[best] >= INSIDE_AT_LEAST:
            unit = "look like millimetres" if best == 0.001 else f"look {1 / best:g} times too large" if best < 1 \
                else f"look {best:g} times too small"
            hint = (f", {100 * shares[best]:.0f}% when multiplied by {best:g}: the depth maps {unit}; "
                    "they must be in metres")
        else:
            hint = ": the depth maps must be in metres, and the mesh in the frame of the sparse model"
        notes.append(f"note: {name}: only {100 * inside:.0f}% of its masked depth points ({len(lifted)} views) "
                     f"lie within the mesh's bounds{hint}")
    return notes
