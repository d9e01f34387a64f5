"""Scoring a segmentation of the sample scene against its ground truth."""

import os

import numpy as np
import trimesh

from quarnet import outputs


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


def score_faces(labels, seen, faces_of_object, areas=None):
    """The score of each object k given the scene-mesh face ids it was given
    (faces_of_object[k], None for no sub-mesh): faces, how many of the
    object's seen faces they hold (recall), and how many of them are not the
    object's own (ground or other objects). With the faces' `areas`, also
    the area of the faces given and the share of it that is the object's own
    (area_share; 1.0 for none given)."""
    report = []
    for k, ids in enumerate(faces_of_object):
        own_seen = int(np.count_nonzero((labels == k) & seen))
        row = {"written": ids is not None, "faces": 0, "seen": own_seen, "recovered": 0, "foreign": 0}
        if areas is not None:
            row["area"] = row["own_area"] = 0.0
        if ids is not None and len(ids):
            row["faces"] = len(ids)
            row["recovered"] = int(np.count_nonzero((labels[ids] == k) & seen[ids]))
            row["foreign"] = len(ids) - int(np.count_nonzero(labels[ids] == k))
            if areas is not None:
                row["area"] = float(areas[ids].sum())
                row["own_area"] = float(areas[ids][labels[ids] == k].sum())
        _shares(row, own_seen)
        report.append(row)
    return report


def _shares(row, own_seen):
    row["recall"] = row["recovered"] / own_seen if own_seen else 1.0
    row["foreign_share"] = row["foreign"] / row["faces"] if row["faces"] else 0.0
    if "area" in row:
        row["area_share"] = row["own_area"] / row["area"] if row["area"] else 1.0


def evaluate(scene):
    """Scores the sub_mesh.ply of every object against the ground truth (see
    score_faces); a sub-mesh face is found in the scene mesh by its corners.
    A face the scene mesh does not hold counts as foreign."""
    names, labels, seen = load_ground_truth(scene.ground_truth_path)
    mesh = trimesh.load(scene.mesh_file, process=False)
    keys = _face_keys(mesh)
    order = np.argsort(keys)
    sorted_keys = keys[order]
    faces_of_object, unmatched = [], []
    for name in names:
        sub = outputs.load_mesh(os.path.join(scene.mask_path, name, outputs.SUB_MESH))
        ids, missing, missing_area = None, 0, 0.0
        if sub is not None:
            sub_keys = _face_keys(sub) if len(sub.faces) else np.zeros(0, "V36")
            pos = np.minimum(np.searchsorted(sorted_keys, sub_keys), len(keys) - 1)
            found = sorted_keys[pos] == sub_keys
            ids, missing = order[pos[found]], int(np.count_nonzero(~found))
            missing_area = float(sub.area_faces[~found].sum()) if missing else 0.0
        faces_of_object.append(ids)
        unmatched.append((missing, missing_area))
    report = score_faces(labels, seen, faces_of_object, mesh.area_faces)
    for name, row, (missing, missing_area) in zip(names, report, unmatched):
        row["name"] = name
        row["faces"] += missing
        row["foreign"] += missing
        row["area"] += missing_area
        _shares(row, row["seen"])
    return [{"name": row.pop("name"), **row} for row in report]
