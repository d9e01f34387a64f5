"""Whether the scene mesh fits the depth maps: how far the objects' cleaned
points, lifted from the depth maps with the sparse model's cameras, lie from
the mesh's surface.

On the mesh the depth maps were made from, the points lie on the surface up
to the depth maps' noise: within FIT_WITHIN of a face on every sample scene
(noisy masks and 0.3 % depth noise included), two thirds of them at 3 %
depth noise. A mesh in another unit, another scene's mesh or a mesh in
another frame leaves at most two fifths that near, with masks that bleed
(bench/bench_mesh_fit.py), and a cut from it takes faces that are not the
objects'.
"""

from __future__ import annotations

import collections
import dataclasses

import numpy as np

from quarnet import _surface_distance

VOXEL = 0.01  # the extraction thins each object's points to one per cell of this size (the depth maps' metres)
FIT_WITHIN = 3 * VOXEL  # a point this near a face lies on the mesh
FIT_SHARE = 0.5  # the share of points that must lie on the mesh
SAMPLE = 1000  # points measured per object (every point of a smaller cloud)
SCALES = (1000.0, 100.0, 10.0, 0.1, 0.01, 0.001)  # mesh units per metre tried when the mesh does not fit
UNITS = {1000.0: "millimetres", 100.0: "centimetres"}


# A mesh's arrays alone, where the mesh itself (and its caches) need not be kept.
Surface = collections.namedtuple("Surface", "vertices faces")


@dataclasses.dataclass(frozen=True)
class Fit:
    share: float  # of the sampled points, the share within FIT_WITHIN of a face
    points: int  # how many were sampled
    objects: int  # from how many objects

    @property
    def fits(self):
        return self.points == 0 or self.share >= FIT_SHARE


def sampled_points(clouds, seed=0):
    """Up to SAMPLE points of each cloud (an Open3D point cloud or an N x 3
    array), drawn without replacement by a generator of `seed`: one N x 3
    array, and how many clouds gave points."""
    rng = np.random.default_rng(seed)
    parts = []
    for cloud in clouds:
        points = np.asarray(getattr(cloud, "points", cloud), dtype=np.float64).reshape(-1, 3)
        points = points[np.isfinite(points).all(axis=1)]
        if len(points) > SAMPLE:
            points = points[np.sort(rng.choice(len(points), SAMPLE, replace=False))]
        if len(points):
            parts.append(points)
    return (np.vstack(parts) if parts else np.zeros((0, 3))), len(parts)


def distances(mesh, points, reach):
    """Per point: the exact distance to the nearest face of `mesh` (vertices,
    faces) when one lies within `reach`, inf otherwise."""
    return _surface_distance.distances(mesh.vertices, mesh.faces, points, reach)


def measure(mesh, clouds, scale=1.0):
    """The Fit of the clouds' points to `mesh` seen in units `scale` times the
    depth maps' (1000: a mesh in millimetres)."""
    points, objects = sampled_points(clouds)
    if not len(points) or not len(mesh.faces):
        return Fit(1.0, 0, objects)
    near = distances(mesh, points * scale, FIT_WITHIN * scale) <= FIT_WITHIN * scale
    return Fit(float(np.mean(near)), len(points), objects)


def _cause(mesh, clouds):
    """The likely reason the clouds do not lie on the mesh."""
    for scale in SCALES:
        fit = measure(mesh, clouds, scale)
        if fit.fits:
            unit = (f"looks like {UNITS[scale]}" if scale in UNITS else
                    f"looks {scale:g} times too large" if scale > 1 else f"looks {1 / scale:g} times too small")
            return (f"the mesh {unit}: scaled by {1 / scale:g}, {100 * fit.share:.0f}% of the points would lie on it; "
                    "the mesh must be in the depth maps' metres")
    return ("the mesh is likely another scene's, or in another frame than the sparse model (moved, turned or "
            "scaled); or the depth maps are not in metres")


def refusal(mesh, clouds, names=None):
    """None when the objects' cleaned point clouds lie on the scene mesh (a
    trimesh mesh, a Surface, anything with vertices and faces); otherwise one
    line saying how few do and the likely cause. `names`: the objects' names,
    for the line."""
    fit = measure(mesh, clouds)
    if fit.fits:
        return None
    what = f"{fit.objects} objects" if names is None or len(names) != 1 else names[0]
    return (f"the scene mesh does not fit the depth maps: only {100 * fit.share:.1f}% of {fit.points} points of "
            f"{what} lie within {FIT_WITHIN * 100:g} cm of its surface (on the mesh the depth maps come from, "
            f"at least {100 * FIT_SHARE:.0f}% do); {_cause(mesh, clouds)}")
