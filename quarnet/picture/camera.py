"""Where the segmentation picture is seen from: a raised three-quarter view
onto a box, or one view of the scene's COLMAP sparse model."""

from __future__ import annotations

import dataclasses
import os

import numpy as np

from quarnet._scene_rules import SPARSE
from quarnet._scene_rules import image_id as image_id_of
from quarnet.raycast import intrinsics, look_at
from quarnet.scene import colmap_loader as cl

# Axis name -> (right-ish, back, up) unit vectors: a right-handed frame whose
# third axis is the world's up; for +z it is the world's own x, y, z.
_FRAMES = {
    "+x": ((0, 1, 0), (0, 0, 1), (1, 0, 0)),
    "-x": ((0, 0, 1), (0, 1, 0), (-1, 0, 0)),
    "+y": ((0, 0, 1), (1, 0, 0), (0, 1, 0)),
    "-y": ((1, 0, 0), (0, 0, 1), (0, -1, 0)),
    "+z": ((1, 0, 0), (0, 1, 0), (0, 0, 1)),
    "-z": ((0, 1, 0), (1, 0, 0), (0, 0, -1)),
}

@dataclasses.dataclass(frozen=True)
class Camera:
    eye: np.ndarray
    R_cw: np.ndarray  # columns: camera right, down, forward in world coordinates
    K: list  # [fx, fy, cx, cy] in pixels of this width and height
    width: int
    height: int


def camera_from_bounds(bounds, width=800, height=600, up="+z"):
    """A camera above and in front of the box `bounds` (2 x 3: lowest and
    highest corner), looking at its centre, with the world axis `up` up."""
    lo, hi = np.asarray(bounds, dtype=float)
    centre = (lo + hi) / 2
    extent = np.linalg.norm(hi - lo)
    right, back, upward = (np.array(v, dtype=float) for v in _FRAMES[up])
    eye = centre + extent * (0.75 * right - 1.2 * back + 1.0 * upward)
    return Camera(eye, look_at(eye, centre, upward), intrinsics(width, height, fov_degrees=45.0), width, height)


def _sparse_folder(root_path):
    sparse = os.path.join(root_path, SPARSE)
    if not os.path.isdir(sparse):
        raise FileNotFoundError(2, "No such file or directory", sparse)
    return sparse


def views_of(model):
    """{image id: image record} of a read sparse model, the id of each image
    the stem of its name as the segmentation reads it (quarnet._scene_rules.
    image_id), not the model's own id; of two images of one id, the later."""
    views = {}
    for image in model.images.values():
        try:
            views[image_id_of(image.name)] = image
        except ValueError:
            raise ValueError(f"{model.images_path}: image {image.id} {image.name!r}: its file name without the "
                             "extension is no integer image id") from None
    return views


def _camera_of(sparse, model, views, image_id, width=None):
    """(the Camera of the view `image_id` of the read model, scaled to `width`
    pixels (None: its camera's own); the warning line for what K leaves out of
    its projection, or None)."""
    cameras = model.cameras
    if image_id not in views:
        known = sorted(views)
        shown = ", ".join(map(str, known[:10])) + (", ..." if len(known) > 10 else "")
        raise ValueError(f"{sparse}: no image with id {image_id} (ids: {shown or 'none'})")
    image = views[image_id]
    if image.camera_id not in cameras:
        raise ValueError(f"{sparse}: image {image_id} refers to camera {image.camera_id}, which is not in the model")
    camera = cameras[image.camera_id]
    (fx, fy, cx, cy), warning = cl.camera_intrinsics(camera, model.cameras_path)
    width = camera.width if width is None else width
    scale = width / camera.width
    R_wc = np.asarray(cl.qvec2rotmat(image.qvec), dtype=float)
    eye = -R_wc.T @ np.asarray(image.tvec, dtype=float)
    return Camera(eye, R_wc.T, [fx * scale, fy * scale, cx * scale, cy * scale], width,
                  max(1, round(camera.height * scale))), warning


def camera_from_view(root_path, image_id, width=800):
    """The camera of view `image_id` (the stem of its image's name) in
    `root_path`/sparse/0, scaled to `width` pixels (distortion ignored)."""
    sparse = _sparse_folder(root_path)
    model = cl.read_model(sparse)
    return _camera_of(sparse, model, views_of(model), image_id, width)[0]


def cameras_of_views(root_path, widths):
    """The cameras of several views of `root_path`/sparse/0, the model read
    once: {image id: Camera scaled to widths[image id] pixels (None: its own
    size)}, and the warning lines of their camera models' ignored distortion,
    once each. `widths`: {image id: width}, or the ids alone."""
    sparse = _sparse_folder(root_path)
    model = cl.read_model(sparse)
    views_by_id = views_of(model)
    widths = widths if isinstance(widths, dict) else dict.fromkeys(widths)
    views, warnings = {}, []
    for image_id, width in widths.items():
        views[image_id], warning = _camera_of(sparse, model, views_by_id, image_id, width)
        if warning is not None and warning not in warnings:
            warnings.append(warning)
    return views, warnings
