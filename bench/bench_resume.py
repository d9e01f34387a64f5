"""What resuming and the write checks cost on a big mesh.

A sphere of about 1.3 million faces is cut into objects (each cloud: every
50th face centre of its slice); then the same call runs again with every
object done, so each object is skipped: its faces are found in the working
mesh from its sub_mesh.ply (no face of this mesh has a twin, so the cloud
need not be searched again) and cut out. Phases are timed by wrapping the
library calls:

  - fresh run: the search, trimesh's export and Open3D's writer against
    everything else of writing (staging, the PLY check of each file, flush,
    rename);
  - resumed run: reading each sub_mesh.ply back (trimesh.load) and the cut
    (save_nearby_faces_as_ply, as in a fresh run) against the face matching.

    python bench/bench_resume.py [--subdivisions 8 --objects 4]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import tempfile
import time
import types

import numpy as np
import open3d as o3d
import trimesh

from bench_segmentation import TIMES as spent, timed
from quarnet.mesh_seg import Tessaron


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--subdivisions", type=int, default=8)
    parser.add_argument("--objects", type=int, default=4)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as root:
        mesh = trimesh.creation.icosphere(subdivisions=args.subdivisions)
        mesh_file = os.path.join(root, "mesh.ply")
        mesh.export(mesh_file)
        masks = os.path.join(root, "masks")
        # each object: the faces whose centre lies in its slice of longitude
        angle = np.arctan2(mesh.triangles_center[:, 1], mesh.triangles_center[:, 0])
        slices = np.linspace(-np.pi, np.pi, 2 * args.objects + 1)
        faces, clouds, names = {}, [], []
        for k in range(args.objects):
            name = f"obj_{k}"
            os.makedirs(os.path.join(masks, name))
            faces[name] = np.flatnonzero((angle >= slices[2 * k]) & (angle < slices[2 * k + 1]))
            pcd = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(mesh.triangles_center[faces[name][::50]]))
            clouds.append(pcd)
            names.append(name)
        boxes = [pcd.get_axis_aligned_bounding_box() for pcd in clouds]
        self = types.SimpleNamespace(mask_path=masks, mesh_file=mesh_file)

        Tessaron.find_nearby_faces = timed("search", Tessaron.find_nearby_faces)
        Tessaron.save_nearby_faces_as_ply = timed("cut", Tessaron.save_nearby_faces_as_ply)
        Tessaron.o3d = types.SimpleNamespace(io=types.SimpleNamespace(
            write_point_cloud=timed("library writes", o3d.io.write_point_cloud)))
        trimesh.Trimesh.export = timed("library writes", trimesh.Trimesh.export)
        load = trimesh.load
        trimesh.load = lambda path, **kw: timed("read back" if kw else "scene mesh load", load)(path, **kw)
        cut = Tessaron.SceneTessaron.process_and_visualize_mesh_with_pointcloud_and_bbox

        print(f"mesh: {len(mesh.faces):,} faces; {args.objects} objects of about {len(faces[names[0]]):,} faces")
        for label in ("fresh run", "resumed run (every object done)"):
            spent.clear()
            start = time.perf_counter()
            with contextlib.redirect_stdout(io.StringIO()):
                cut(self, clouds, boxes, names)
            total = time.perf_counter() - start
            rest = total - sum(spent.values())
            print(f"\n{label}: {total:.2f} s")
            for phase, seconds in sorted(spent.items()):
                print(f"  {phase:<18} {seconds:7.2f} s")
            what = "staging, PLY checks, flush, rename" if label == "fresh run" else "face matching, array conversions"
            print(f"  {'the rest':<18} {rest:7.2f} s   ({what})")
            if label == "fresh run":
                fresh_cut = spent["cut"]
            else:
                per_object = (total - spent["scene mesh load"]) / args.objects
                print(f"  per object skipped: {per_object:.2f} s; the cut alone per object in a fresh run: "
                      f"{fresh_cut / args.objects:.2f} s")


if __name__ == "__main__":
    main()
