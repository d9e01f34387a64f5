"""The segmented scene (every object's sub_mesh.ply and remain.ply) ray-cast
from the camera of each view an object's mask shows it in, with the
back-projection's pixel convention: pixel (u, v) looks along
((u - cx) / fx, (v - cy) / fy, 1), no half-pixel offset, distortion
ignored. Where the object's sub-mesh is the first surface a pixel's ray hits,
the render says "object"; the mask says so where it is not 0. Per object and
view: IoU, precision and recall of the render against the mask."""

from __future__ import annotations

import dataclasses
import os

import numpy as np
from tqdm import tqdm

from quarnet import masks, outputs
from quarnet.picture import cameras_of_views
from quarnet.raycast import cast, raycaster_of


@dataclasses.dataclass(frozen=True)
class ViewScore:
    iou: float
    precision: float | None  # None where the render shows no pixel of the object
    recall: float


@dataclasses.dataclass
class WorstView:
    image_id: int
    mask: np.ndarray  # bool, the object in the mask
    rendered: np.ndarray  # bool, the object's sub-mesh hit first
    surface: np.ndarray  # bool, any surface hit


@dataclasses.dataclass
class ObjectAgreement:
    name: str
    views: dict = dataclasses.field(default_factory=dict)  # image id -> ViewScore
    worst: WorstView | None = None

    @property
    def mean_iou(self):
        return float(np.mean([s.iou for s in self.views.values()])) if self.views else None


def score(rendered, mask):
    both = int(np.count_nonzero(rendered & mask))
    shown, marked = int(np.count_nonzero(rendered)), int(np.count_nonzero(mask))
    union = shown + marked - both
    return ViewScore(both / union if union else 1.0, both / shown if shown else None,
                     both / marked if marked else 1.0)


def _views_of(mask_path, names):
    """{image id: [(object, mask path)]} of the objects' mask files, by image id."""
    views = {}
    for name in names:
        for image_id, path in masks.mask_views(os.path.join(mask_path, name)):
            views.setdefault(image_id, []).append((name, path))
    return dict(sorted(views.items()))


def _segmented_scene(mask_path, names):
    """A ray-casting scene of the objects' sub-meshes and remain.ply, and {object: its geometry id}."""
    meshes, geometry = [], {}
    for name in names + [None]:
        path = os.path.join(mask_path, name, outputs.SUB_MESH) if name else os.path.join(mask_path, outputs.REMAIN)
        mesh = outputs.load_mesh(path)
        if mesh is not None and len(mesh.faces):
            if name:
                geometry[name] = len(meshes)
            meshes.append((mesh.vertices, mesh.faces))
    return raycaster_of(meshes), geometry


def check_segmentation(mask_path, root_path, names, progress=None):
    """The agreement of every object of `names` in the segmentation in
    `mask_path` with its masks, seen from the cameras of `root_path`/sparse/0.
    Returns ([ObjectAgreement in the order of names], warning lines).
    progress: None shows a bar on a terminal only, False never."""
    views = _views_of(mask_path, names)
    scene, geometry = _segmented_scene(mask_path, names)
    report = {name: ObjectAgreement(name) for name in names}
    first = next((m for entries in views.values() for m in (masks.read_mask(p) for _, p in entries) if m is not None),
                 None)
    cameras, warnings = cameras_of_views(root_path, dict.fromkeys(views, first.shape[1])) if first is not None \
        else ({}, [])

    for image_id, entries in tqdm(views.items(), desc="Rendering views", unit="view",
                                  disable=True if progress is False else None):
        camera = cameras.get(image_id)
        shown = []
        for name, path in entries:
            mask = masks.read_mask(path)
            if mask is None or not mask.any():
                continue
            if mask.shape != (camera.height, camera.width):
                raise ValueError(f"{path}: the mask is {mask.shape[1]}x{mask.shape[0]} pixels, its camera "
                                 f"{camera.width}x{camera.height}")
            shown.append((name, mask))
        if not shown:
            continue
        _, _, hit_geometry, _ = cast(scene, camera.eye, camera.R_cw, camera.K, camera.width, camera.height)
        surface = hit_geometry != scene.INVALID_ID
        for name, mask in shown:
            rendered = hit_geometry == geometry[name] if name in geometry else np.zeros_like(mask)
            s = score(rendered, mask)
            agreement = report[name]
            agreement.views[image_id] = s
            if agreement.worst is None or s.iou < agreement.views[agreement.worst.image_id].iou:
                agreement.worst = WorstView(image_id, mask, rendered, surface)
    return [report[name] for name in names], warnings
