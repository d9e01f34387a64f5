"""Segments the sample scene with quarnet and shows how well it went.

Builds the sample scene (examples/sample_scene.py), runs
SceneTessaron(...).seg_scene_mesh() on it, prints per object the faces of its
sub-mesh, the share of its seen true faces recovered and the faces taken from
elsewhere, and renders the result offscreen to a PNG: the scene in its own
colours on the left, each object's sub-mesh in its own colour and the
remainder in grey on the right.

    python examples/segment_sample_scene.py [OUT_DIR] [--seed N] [--objects N] ...
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys

import cv2
import numpy as np
import trimesh

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sample_scene  # noqa: E402

from quarnet.mesh_seg.Tessaron import SceneTessaron  # noqa: E402

REMAIN_GREY = np.array([150, 150, 150], dtype=float)
BACKGROUND = np.array([250, 250, 250], dtype=float)


def _mesh(path):
    """The output mesh at `path`, None if it was not written or has no faces."""
    loaded = sample_scene.load_mesh(path)
    return loaded if loaded is not None and len(loaded.faces) else None


def render(meshes, focus, width=800, height=600):
    """Ray-casts (mesh, colour-per-face) pairs from a raised three-quarter view
    onto the box `focus` (2 x 3: lowest and highest corner); returns an RGB
    image with simple diffuse shading."""
    present = [(m, c) for m, c in meshes if m is not None]
    scene = sample_scene.raycaster_of([(m.vertices, m.faces) for m, _ in present])
    lo, hi = focus
    center = (lo + hi) / 2
    extent = np.linalg.norm(hi - lo)
    eye = center + extent * np.array([0.75, -1.2, 1.0])
    target = center
    K = sample_scene.intrinsics(width, height, fov_degrees=45.0)
    _, prim, geom, normals = sample_scene.cast(scene, eye, sample_scene._look_at(eye, target), K, width, height)

    hit = geom != scene.INVALID_ID
    image = np.tile(BACKGROUND, (height, width, 1))
    light = np.array([0.35, -0.45, 0.82])
    light /= np.linalg.norm(light)
    shade = 0.35 + 0.65 * np.abs(normals @ light)
    for g, (_, face_colours) in enumerate(present):
        sel = hit & (geom == g)
        image[sel] = face_colours[prim[sel]] * shade[sel, None]
    return np.clip(image, 0, 255).astype(np.uint8)


def _legend(image, entries):
    for k, (text, colour) in enumerate(entries):
        y = 24 + 22 * k
        cv2.rectangle(image, (12, y - 12), (26, y + 2), tuple(int(c) for c in colour), -1)
        cv2.putText(image, text, (34, y), cv2.FONT_HERSHEY_SIMPLEX, 0.5, (40, 40, 40), 1, cv2.LINE_AA)


def picture(scene, path):
    """Writes the before/after picture of a segmented sample scene."""
    original = trimesh.load(scene.mesh_file, process=False)
    _, labels, _ = sample_scene.load_ground_truth(scene.ground_truth_path)
    corners = original.vertices[original.faces[labels != sample_scene.GROUND]].reshape(-1, 3)
    focus = np.array([corners.min(axis=0), corners.max(axis=0)])
    vertex_colours = np.asarray(original.visual.vertex_colors)[:, :3].astype(float)
    before = render([(original, vertex_colours[original.faces].mean(axis=1))], focus)

    parts, legend = [], []
    for k, name in enumerate(scene.object_names):
        sub = _mesh(os.path.join(scene.mask_path, name, "sub_mesh.ply"))
        colour = sample_scene.COLOURS[k % len(sample_scene.COLOURS)].astype(float)
        if sub is not None:
            parts.append((sub, np.tile(colour, (len(sub.faces), 1))))
        legend.append((name if sub is not None else f"{name} (no sub-mesh)", colour))
    remain = _mesh(os.path.join(scene.mask_path, "remain.ply"))
    if remain is not None:
        parts.append((remain, np.tile(REMAIN_GREY, (len(remain.faces), 1))))
    legend.append(("remain", REMAIN_GREY))
    after = render(parts, focus)

    _legend(before, [("scene mesh", (90, 90, 90))])
    _legend(after, legend)
    side_by_side = np.concatenate([before, np.full((before.shape[0], 6, 3), 255, np.uint8), after], axis=1)
    if not cv2.imwrite(path, cv2.cvtColor(side_by_side, cv2.COLOR_RGB2BGR)):
        raise OSError(f"cannot write {path}")


def summary(scene):
    rows = sample_scene.evaluate(scene)
    width = max(len(r["name"]) for r in rows)
    print()
    print(f"{'object':<{width}}  sub-mesh faces  recovered (of seen)        foreign faces")
    for r in rows:
        recovered = f"{r['recovered']}/{r['seen']} ({100 * r['recall']:.1f}%)"
        foreign = f"{r['foreign']} ({100 * r['foreign_share']:.1f}%)"
        print(f"{r['name']:<{width}}  {r['faces']:>14}  {recovered:<25}  {foreign}")
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir", nargs="?", default=os.path.join("out", "sample_scene"))
    sample_scene.add_scene_options(parser)
    parser.add_argument("--picture", help="PNG to write (default: OUT_DIR/segmentation.png)")
    args = parser.parse_args(argv)

    # Start from a fresh scene: sub-meshes left by an earlier run would be
    # skipped as done, and would not match a scene built with other options.
    if os.path.isdir(args.out_dir) and os.listdir(args.out_dir):
        if not os.path.exists(os.path.join(args.out_dir, "ground_truth.npz")):
            parser.error(f"{args.out_dir} is not empty and holds no sample scene; choose another folder")
        shutil.rmtree(args.out_dir)
    scene = sample_scene.build_from_options(args.out_dir, args)
    print(f"sample scene: {scene.faces} faces, {scene.views} views, objects {', '.join(scene.object_names)}")
    SceneTessaron(scene.mask_path, scene.mesh_file, scene.root_path).seg_scene_mesh()

    summary(scene)
    path = args.picture or os.path.join(args.out_dir, "segmentation.png")
    picture(scene, path)
    print(f"\npicture: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
