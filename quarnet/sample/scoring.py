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
        sub = outputs.load_mesh(os.path.join(scene.mask_path, name, outputs.SUB_MESH))
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
