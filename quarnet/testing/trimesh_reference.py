"""trimesh's own face search and cut, as the module calls them: what its
native paths must equal element for element and mesh for mesh."""

import numpy as np
import trimesh


def trimesh_face_ids(mesh, points, batch_size=10000, verbose=False):
    """find_nearby_faces' ids: per batch of points, trimesh.proximity.nearby_faces,
    at most the first 20 faces of each point, flattened in query order; with
    `verbose`, printing find_nearby_faces' lines."""
    say = print if verbose else lambda *args: None
    points = np.asarray(points)
    say("Total points:", len(points))
    ids = []
    for start in range(0, len(points), batch_size):
        end = min(start + batch_size, len(points))
        say(f"Processing points from {start} to {end} (Batch size: {end - start})")
        candidates = trimesh.proximity.nearby_faces(mesh, points[start:end])
        say(f"Batch {start}-{end}: Found {len(candidates)} candidate face groups")
        for group in candidates:
            ids.extend(int(f) for f in group[:20])
    say("Total face IDs found:", len(ids))
    return ids


def trimesh_cut(mesh, ids):
    """save_nearby_faces_as_ply's (sub-mesh, remainder): the listed faces once each,
    in order of first appearance, and the others; None for an empty part, and
    (None, None), the remainder not computed, when no sub-mesh is built."""
    ids = np.asarray(ids, dtype=int)
    _, first = np.unique(ids, return_index=True)
    once = ids[np.sort(first)]
    sub = mesh.submesh([once], only_watertight=False)
    if not sub:
        return None, None
    rest = mesh.submesh([np.setdiff1d(np.arange(len(mesh.faces)), once)], only_watertight=False)
    return sub[0], (rest[0] if rest else None)
