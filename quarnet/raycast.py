"""Pinhole cameras cast against triangle meshes with Open3D's RaycastingScene.

Used for the sample scene's depth maps and for the segmentation picture. A
camera is a pose (eye, R_cw) and intrinsics K = [fx, fy, cx, cy]; R_cw holds
the camera's x (right), y (down) and z (forward) axes in world coordinates as
its columns, and pixel (u, v) looks along (u - cx) / fx, (v - cy) / fy, 1.
"""

import math

import numpy as np
import open3d as o3d


def intrinsics(width, height, fov_degrees=60.0):
    """[fx, fy, cx, cy] of a pinhole camera with the given horizontal field of view."""
    f = 0.5 * width / math.tan(math.radians(fov_degrees) / 2)
    return [f, f, width / 2, height / 2]


def look_at(eye, target, up=(0.0, 0.0, 1.0)):
    """R_cw of a camera at `eye` looking at `target`, with `up` pointing up in the image."""
    forward = np.asarray(target, dtype=float) - eye
    forward /= np.linalg.norm(forward)
    right = np.cross(forward, up)
    right /= np.linalg.norm(right)
    down = np.cross(forward, right)
    return np.column_stack([right, down, forward])


def raycaster_of(meshes):
    """A ray-casting scene of (vertices, faces) pairs; geometry ids follow the order."""
    scene = o3d.t.geometry.RaycastingScene()
    for vertices, faces in meshes:
        scene.add_triangles(o3d.core.Tensor(np.asarray(vertices, dtype=np.float32)),
                            o3d.core.Tensor(np.asarray(faces, dtype=np.uint32)))
    return scene


def cast(raycaster, eye, R_cw, K, width, height):
    """Casts one ray per pixel; returns depth along the viewing axis (0 where
    nothing is hit), the hit primitive ids, the hit geometry ids and the hit
    normals, each of the image's height and width."""
    fx, fy, cx, cy = K
    u, v = np.meshgrid(np.arange(width), np.arange(height))
    cam = np.stack([(u - cx) / fx, (v - cy) / fy, np.ones_like(u, dtype=float)], axis=-1)
    directions = cam @ R_cw.T
    rays = np.concatenate([np.broadcast_to(eye, directions.shape), directions], axis=-1).astype(np.float32)
    hit = raycaster.cast_rays(o3d.core.Tensor(rays))
    t = hit["t_hit"].numpy()
    depth = np.where(np.isfinite(t), t, 0).astype(np.float32)  # unit z in the camera frame: t is the depth
    return depth, hit["primitive_ids"].numpy(), hit["geometry_ids"].numpy(), hit["primitive_normals"].numpy()
