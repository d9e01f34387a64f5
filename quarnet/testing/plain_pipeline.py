"""The depth pipeline written plainly with numpy, SciPy, OpenCV and Open3D, with
the module's rules: a mask's image id and a view's depth file as
quarnet._scene_rules gives them, and a point has a depth when 0 < z < inf
(0, NaN and infinite depths have none)."""

import os

import cv2
import numpy as np
import open3d as o3d
from scipy.spatial.transform import Rotation

from quarnet._scene_rules import depth_file, image_id


def plain_load_depth(depth_path):
    depth = np.load(depth_path).astype(np.float32)
    if depth.ndim == 3 and depth.shape[2] == 1:
        depth = depth[:, :, 0]
    return depth


def plain_backproject(depth, K):
    fx, fy, cx, cy = K
    h, w = depth.shape
    i, j = np.meshgrid(np.arange(w), np.arange(h))
    z = depth
    x = (i - cx) * z / fx
    y = (j - cy) * z / fy
    return np.stack((x, y, z), axis=-1).reshape(-1, 3)


def plain_view_points(depth, mask, K, pose):
    """One view's masked depth pixels that have a depth, lifted into the world by its pose (t, q)."""
    depth_masked = depth.copy()
    depth_masked[mask == 0] = 0
    points_cam = plain_backproject(depth_masked, K)
    z = points_cam[:, 2]
    points_cam = points_cam[(z > 0) & (z < np.inf)]
    t, q = pose
    return Rotation.from_quat(q).apply(points_cam) + t


def cloud(points):
    """An Open3D cloud of the points (any shape holding rows of three)."""
    pcd = o3d.geometry.PointCloud()
    pcd.points = o3d.utility.Vector3dVector(np.asarray(points, dtype=float).reshape(-1, 3))
    return pcd


def plain_merged_cloud(mask_folder, depth_folder, poses_dict, K):
    """Every view's masked depth pixels lifted into the world and merged, views in sorted mask-name order."""
    merged_pcd = o3d.geometry.PointCloud()
    for mask_name in sorted(os.listdir(mask_folder)):
        mask = cv2.imread(os.path.join(mask_folder, mask_name), cv2.IMREAD_GRAYSCALE)
        if mask is None:
            continue
        view = image_id(mask_name)
        depth = plain_load_depth(depth_file(depth_folder, view))
        merged_pcd += cloud(plain_view_points(depth, mask, K, poses_dict[view]))
    return merged_pcd


def plain_thin_and_clean(merged_pcd):
    """(thinned, cleaned): the 1 cm voxel thinning, then the radius-outlier removal (20 within 3 cm)."""
    thinned = merged_pcd.voxel_down_sample(voxel_size=0.01)
    return thinned, thinned.remove_radius_outlier(nb_points=20, radius=0.03)[0]


def plain_extract(mask_folder, depth_folder, poses_dict, K):
    """extract_masked_pointclouds written plainly: (red cleaned cloud, its box), or (None, None)."""
    merged_pcd = plain_merged_cloud(mask_folder, depth_folder, poses_dict, K)
    if len(merged_pcd.points) == 0:
        return None, None
    _, pcd_cleaned = plain_thin_and_clean(merged_pcd)
    pcd_cleaned.paint_uniform_color([1.0, 0, 0])
    return pcd_cleaned, pcd_cleaned.get_axis_aligned_bounding_box()
