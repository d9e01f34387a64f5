"""Copies of a generated sample scene, for tests that change files in it."""
import dataclasses
import os
import shutil


def copy_of(scene, root):
    """The scene's folder copied to `root`, with the paths of the copy."""
    shutil.copytree(scene.root_path, root)
    root = str(root)
    return dataclasses.replace(scene, root_path=root, mesh_file=os.path.join(root, "mesh.ply"),
                               mask_path=os.path.join(root, "masks"),
                               ground_truth_path=os.path.join(root, "ground_truth.npz"))
