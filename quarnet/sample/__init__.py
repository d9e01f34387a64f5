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

from .command import SCENE_OPTIONS, add_scene_options, build_from_options, main
from .scene import SampleScene, build_sample_scene
from .scoring import evaluate, load_ground_truth
from .shapes import GROUND

__all__ = ["SCENE_OPTIONS", "add_scene_options", "build_from_options", "main", "SampleScene", "build_sample_scene",
           "evaluate", "load_ground_truth", "GROUND"]
