"""The segmented scene (every object's sub_mesh.ply and remain.ply) ray-cast
from the camera of each view an object's mask shows it in, with the
back-projection's pixel convention: pixel (u, v) looks along
((u - cx) / fx, (v - cy) / fy, 1), no half-pixel offset, distortion
ignored. Where the object's sub-mesh is the first surface a pixel's ray hits,
the render says "object"; the mask says so where it is not 0. Per object and
view: IoU, precision and recall of the render against the mask. Per object,
over those views: the share of its sub-mesh's area that is the object, each
face seen counting its area times the share of its rendered pixels that the
mask marks (a few large ground triangles can be most of a sub-mesh's area
and few of its pixels)."""

from __future__ import annotations

import dataclasses
import os

import numpy as np
from tqdm import tqdm

from quarnet import masks, outputs
from quarnet._scene_rules import SPARSE
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
    face_areas: np.ndarray | None = None  # per face of the sub-mesh
    face_pixels: np.ndarray | None = None  # per face: rendered pixels, over the views
    face_marked: np.ndarray | None = None  # per face: those of them the mask marks

    @property
    def mean_iou(self):
        return _mean([s.iou for s in self.views.values()])

    @property
    def mean_precision(self):
        """Over the views where the render shows the object."""
        return _mean([s.precision for s in self.views.values() if s.precision is not None])

    @property
    def mean_recall(self):
        return _mean([s.recall for s in self.views.values()])

    @property
    def area_share(self):
        """The share of the sub-mesh's area seen in the views that is the object; None where none is seen."""
        if self.face_pixels is None:
            return None
        seen = self.face_pixels > 0
        area = float(self.face_areas[seen].sum())
        if not seen.any() or area <= 0:
            return None
        return float((self.face_areas[seen] * self.face_marked[seen] / self.face_pixels[seen]).sum() / area)

    def count_pixels(self, faces, marked):
        """Adds one view's rendered pixels: the sub-mesh face each shows, and whether the mask marks it."""
        self.face_pixels += np.bincount(faces, minlength=len(self.face_pixels))
        self.face_marked += np.bincount(faces[marked], minlength=len(self.face_marked))


def _mean(values):
    return float(np.mean(values)) if values else None


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
    """A ray-casting scene of the objects' sub-meshes and remain.ply, {object:
    its geometry id}, {object: its sub-mesh's face areas} and the faces of
    the files read (a folder two names share counted once)."""
    meshes, geometry, areas, faces, read = [], {}, {}, 0, set()
    for name in names + [None]:
        path = os.path.join(mask_path, name, outputs.SUB_MESH) if name else os.path.join(mask_path, outputs.REMAIN)
        mesh = outputs.load_mesh(path)
        if mesh is not None and len(mesh.faces):
            if os.path.realpath(path) not in read:
                faces += len(mesh.faces)
                read.add(os.path.realpath(path))
            if name:
                geometry[name] = len(meshes)
                areas[name] = mesh.area_faces
            meshes.append((mesh.vertices, mesh.faces))
    return raycaster_of(meshes), geometry, areas, faces


def _masks_of_view(entries, camera, image_id, sparse):
    """[(object, mask)] of the view's masks that show their object; ValueError
    naming a mask whose size is not its camera's."""
    shown = []
    for name, path in entries:
        mask = masks.read_mask(path)
        if mask is None or not mask.any():
            continue
        if mask.shape != (camera.height, camera.width):
            raise ValueError(f"{path}: the mask is {mask.shape[1]}x{mask.shape[0]} pixels, the camera of image "
                             f"{image_id} in {sparse} {camera.width}x{camera.height}")
        shown.append((name, mask))
    return shown


def mesh_warnings(mesh, mesh_file, mask_path, names, faces, record=None, sparse=None):
    """Warning lines when `mesh` (read from `mesh_file`) is not the mesh the
    segmentation in `mask_path`, of `faces` faces in all, was cut from: the
    face counts differ; the run record (read as `record`) names another mesh
    file content; or, without a record, the objects' points (their
    sub_pcd.ply) do not lie on it. `sparse`: the scene's sparse model folder."""
    import open3d as o3d

    from quarnet import mesh_fit, run_record

    warnings = []
    if faces != len(mesh.faces):
        warnings.append(f"[Warning] the sub-meshes and {outputs.REMAIN} in {mask_path} hold {faces} faces, "
                        f"{mesh_file} {len(mesh.faces)}: the scores are of that segmentation, which is not a cut "
                        "of this mesh (or lost faces)")
    if record is not None:
        cut, given = record["mesh"], run_record.parameters(record["mode"], mesh_file, sparse)["mesh"]
        if (cut.get("size"), cut.get("xxh3_64")) != (given["size"], given["xxh3_64"]):
            warnings.append(f"[Warning] {mesh_file} is not the mesh the segmentation in {mask_path} was cut from: "
                            f"its run record names {cut.get('path')} ({cut.get('size')} bytes)")
        return warnings
    clouds = [np.asarray(o3d.io.read_point_cloud(path).points) for path in
              (os.path.join(mask_path, name, outputs.SUB_PCD) for name in names) if os.path.isfile(path)]
    refusal = mesh_fit.refusal(mesh, clouds)
    if refusal is not None:
        warnings.append(f"[Warning] {mesh_file}: {refusal}")
    return warnings


def check_segmentation(mask_path, root_path, names, progress=None, mesh=None, mesh_file=None, record=None):
    """The agreement of every object of `names` in the segmentation in
    `mask_path` with its masks, seen from the cameras of `root_path`/sparse/0.
    Returns ([ObjectAgreement in the order of names], warning lines).
    progress: None shows a bar on a terminal only, False never. mesh: the
    scene mesh (read from mesh_file) the user says was segmented; warnings
    say where the segmentation is not a cut of it (record: its run record)."""
    views = _views_of(mask_path, names)
    scene, geometry, areas, faces = _segmented_scene(mask_path, names)
    sparse = os.path.join(root_path, SPARSE)
    warnings = [] if mesh is None else mesh_warnings(mesh, mesh_file, mask_path, names, faces, record, sparse)
    report = {name: ObjectAgreement(name) for name in names}
    for name, face_areas in areas.items():
        report[name].face_areas = face_areas
        report[name].face_pixels = np.zeros(len(face_areas), np.int64)
        report[name].face_marked = np.zeros(len(face_areas), np.int64)
    # Each view's camera at its own size: a mask of another size is named, whatever was read before it.
    cameras, camera_warnings = cameras_of_views(root_path, list(views)) if views else ({}, [])

    for image_id, entries in tqdm(views.items(), desc="Rendering views", unit="view",
                                  disable=True if progress is False else None):
        camera = cameras[image_id]
        shown = _masks_of_view(entries, camera, image_id, sparse)
        if not shown:
            continue
        _, hit_faces, hit_geometry, _ = cast(scene, camera.eye, camera.R_cw, camera.K, camera.width, camera.height)
        surface = hit_geometry != scene.INVALID_ID
        for name, mask in shown:
            rendered = hit_geometry == geometry[name] if name in geometry else np.zeros_like(mask)
            s = score(rendered, mask)
            agreement = report[name]
            agreement.views[image_id] = s
            if name in geometry:
                agreement.count_pixels(hit_faces[rendered].astype(np.int64), mask[rendered])
            if agreement.worst is None or s.iou < agreement.views[agreement.worst.image_id].iou:
                agreement.worst = WorstView(image_id, mask, rendered, surface)
    return [report[name] for name in names], warnings + camera_warnings
