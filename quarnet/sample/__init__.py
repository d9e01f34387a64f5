"""A synthetic scene for trying out quarnet's mesh segmentation.

A ground plane with several objects (boxes, spheres, cylinders, tori; some of
them touching) carrying vertex colours, seen by cameras on a ring around it.
Depth maps and per-object masks come from ray casting the mesh, and the camera
model is written as a COLMAP binary sparse model, so the scene has exactly
the layout SceneTessaron reads:

    <out>/mesh.ply                       the scene mesh (PLY, vertex colours)
    <out>/depths/<id>.npy                float32 depth along the viewing axis, 0 = no surface
    <out>/sparse/0/cameras.bin           one PINHOLE camera
    <out>/sparse/0/images.bin            one image per view, named <id padded>.png
    <out>/masks/<object>/<id padded>.png 8-bit mask, 255 = the object
    <out>/ground_truth.npz               per-face object label and visibility

Everything follows from the seed. From the shell:

    quarnet sample OUT [--seed N] [--faces N] [--views N] [--width W] [--height H] [--objects N]
    python -m quarnet.sample OUT ...     (the same)
"""

import importlib

# Loaded on first use, so that the command line can offer the options without
# importing OpenCV, Open3D and trimesh.
_EXPORTS = {
    "SCENE_OPTIONS": ".command", "add_scene_options": ".command", "build_from_options": ".command", "main": ".command",
    "SampleScene": ".scene", "build_sample_scene": ".scene",
    "evaluate": ".scoring", "load_ground_truth": ".scoring", "score_faces": ".scoring",
    "GROUND": ".shapes",
}
__all__ = list(_EXPORTS)


def __getattr__(name):
    if name not in _EXPORTS:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(_EXPORTS[name], __name__), name)


def __dir__():
    return sorted(list(globals()) + __all__)
