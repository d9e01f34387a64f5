"""Depth lifting and masked point-cloud extraction: quarnet against plain numpy/scipy/Open3D.

Generated scene: a sphere of radius 0.3 m in front of a wall, seen by 100 cameras of 1280x720
on an arc around it; per view a float32 depth map (.npy) and an 8-bit object mask (.png).

Prints
  - per view: load_depth + backproject_depth_to_points against
    np.load(...).astype(np.float32) + the numpy formula (target: 3x or more),
  - the whole extract_masked_pointclouds against the same steps written plainly (target: 1.5x or more).
"""
import contextlib
import io
import os
import pickle
import sys
import tempfile
import time

import cv2
import numpy as np
from scipy.spatial.transform import Rotation as R

from first_call import first_call, median, span
from quarnet._scene_rules import DEPTHS, depth_file
from quarnet.mesh_seg import Tessaron
from quarnet.testing.plain_pipeline import plain_backproject, plain_extract, plain_load_depth

VIEWS, WIDTH, HEIGHT = 100, 1280, 720
K = [1000.0, 1000.0, 639.5, 359.5]
RADIUS, DISTANCE, WALL = 0.3, 1.5, 3.0


def camera_pose(k):
    """Camera-to-world (t, q scalar-last) of a camera on an arc, looking at the origin."""
    angle = np.deg2rad(-60 + 120 * k / (VIEWS - 1))
    centre = np.array([DISTANCE * np.sin(angle), 0.2 * np.cos(3 * angle), -DISTANCE * np.cos(angle)])
    forward = -centre / np.linalg.norm(centre)
    right = np.cross([0.0, 1.0, 0.0], forward)
    right /= np.linalg.norm(right)
    down = np.cross(forward, right)
    rotation = np.stack([right, down, forward], axis=1)
    return centre, R.from_matrix(rotation).as_quat()


def render(t, q, rng):
    """Depth (z along the view axis) and mask of the sphere at the origin before a wall."""
    fx, fy, cx, cy = K
    u, v = np.meshgrid(np.arange(WIDTH), np.arange(HEIGHT))
    d = np.stack(((u - cx) / fx, (v - cy) / fy, np.ones_like(u, dtype=np.float64)), axis=-1)
    c = R.from_quat(q).inv().apply(-t)  # sphere centre in the camera frame
    dd = (d * d).sum(-1)
    dc = d @ c
    disc = dc * dc - dd * (c @ c - RADIUS**2)
    hit = disc > 0
    z = np.full((HEIGHT, WIDTH), WALL)
    z[hit] = (dc[hit] - np.sqrt(disc[hit])) / dd[hit]
    z += rng.normal(0, 0.001, z.shape)
    z[rng.random(z.shape) < 0.01] = 0  # holes without depth
    return z.astype(np.float32), np.where(hit, 255, 0).astype(np.uint8)


def make_scene(root):
    masks, depths = os.path.join(root, "object"), os.path.join(root, DEPTHS)
    os.makedirs(masks)
    os.makedirs(depths)
    rng = np.random.default_rng(0)
    poses = {}
    for k in range(VIEWS):
        image_id = 1 + 3 * k
        t, q = camera_pose(k)
        depth, mask = render(t, q, rng)
        np.save(depth_file(depths, image_id), depth)
        cv2.imwrite(os.path.join(masks, f"{image_id:05d}.png"), mask)
        poses[image_id] = (t, q)
    return masks, depths, poses


# ---- timing ----------------------------------------------------------------------

def best_of(repeats, *works):
    """Best time and last result of each work, running them in turn so that load changes hit both."""
    times, results = [float("inf")] * len(works), [None] * len(works)
    for _ in range(repeats):
        for k, work in enumerate(works):
            start = time.perf_counter()
            results[k] = work()
            times[k] = min(times[k], time.perf_counter() - start)
    return times, results


def lift_all(paths, load, backproject):
    for path in paths:
        backproject(load(path), K)


def main():
    with tempfile.TemporaryDirectory(prefix="bench_depth_") as root:
        print(f"generating {VIEWS} views of {WIDTH}x{HEIGHT} ...", flush=True)
        masks, depths, poses = make_scene(root)
        paths = [depth_file(depths, i) for i in sorted(poses)]
        lift_all(paths, Tessaron.load_depth, Tessaron.backproject_depth_to_points)  # warm the page cache

        (native, plain), _ = best_of(3, lambda: lift_all(paths, Tessaron.load_depth, Tessaron.backproject_depth_to_points),
                                     lambda: lift_all(paths, plain_load_depth, plain_backproject))
        (native_load, plain_load), _ = best_of(3, lambda: [Tessaron.load_depth(p) for p in paths],
                                               lambda: [plain_load_depth(p) for p in paths])
        per_view = 1e3 / VIEWS
        print(f"per view: load_depth + backproject_depth_to_points  quarnet {native * per_view:7.2f} ms   "
              f"numpy {plain * per_view:7.2f} ms   ratio {plain / native:5.2f}x  (target >= 3x)")
        print(f"  of which load_depth                               quarnet {native_load * per_view:7.2f} ms   "
              f"numpy {plain_load * per_view:7.2f} ms   ratio {plain_load / native_load:5.2f}x")

        quiet = io.StringIO()
        with contextlib.redirect_stdout(quiet), contextlib.redirect_stderr(quiet):
            (native, plain), ((cloud, _), (plain_cloud, _)) = best_of(
                3, lambda: Tessaron.extract_masked_pointclouds(masks, depths, poses, K),
                lambda: plain_extract(masks, depths, poses, K))
        same = np.array_equal(np.asarray(cloud.points), np.asarray(plain_cloud.points))
        print(f"extract_masked_pointclouds ({VIEWS} views)            quarnet {native:7.2f} s    "
              f"numpy {plain:7.2f} s    ratio {plain / native:5.2f}x  (target >= 1.5x)")
        print(f"  cleaned cloud: {len(cloud.points)} points, identical to the plain result: {same}")

        # One call as a user makes it, in a fresh process.
        paths_setup = f"import pickle\nfrom bench_depth_lifting import K\npath, masks, depths = {paths[0]!r}, {masks!r}, {depths!r}\n" \
                      f"poses = pickle.loads({pickle.dumps(poses)!r})"
        lift = first_call(f"from quarnet.mesh_seg import Tessaron as T\n{paths_setup}",
                          "T.backproject_depth_to_points(T.load_depth(path), K)")
        plain_lift = first_call(f"from quarnet.testing.plain_pipeline import plain_load_depth, plain_backproject\n{paths_setup}",
                                "plain_backproject(plain_load_depth(path), K)")
        quiet_call = "import contextlib, io\nwith contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):\n    "
        extract = first_call(f"from quarnet.mesh_seg import Tessaron as T\n{paths_setup}",
                             quiet_call + "T.extract_masked_pointclouds(masks, depths, poses, K)", runs=3)
        plain_extract_first = first_call(f"from quarnet.testing.plain_pipeline import plain_extract\n{paths_setup}",
                                         quiet_call + "plain_extract(masks, depths, poses, K)", runs=3)
        print("one call in a fresh process:")
        print(f"  load_depth + backproject_depth_to_points, one view  quarnet {span(lift, 'ms', 1e3)}   "
              f"numpy {span(plain_lift, 'ms', 1e3)}   ratio of medians {median(plain_lift) / median(lift):5.2f}x")
        print(f"  extract_masked_pointclouds ({VIEWS} views)            quarnet {span(extract)}   "
              f"numpy {span(plain_extract_first)}   ratio of medians {median(plain_extract_first) / median(extract):5.2f}x")
        return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
