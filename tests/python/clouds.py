"""Open3D point clouds for the tests."""
import numpy as np
import open3d as o3d


def cloud(points):
    """An Open3D cloud of the points (any shape holding rows of three)."""
    pcd = o3d.geometry.PointCloud()
    pcd.points = o3d.utility.Vector3dVector(np.asarray(points, dtype=float).reshape(-1, 3))
    return pcd
