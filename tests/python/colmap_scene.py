"""Builds small scene folders (depths/, sparse/0) with COLMAP models on disk."""
import os

import numpy as np

from quarnet.scene import colmap_loader as cl

# Every camera model of current COLMAP, in the order of its ids: name -> (parameter
# count, focal lengths, what K = [fx, fy, cx, cy] leaves out: "distortion" when an
# extra parameter is not zero, "fisheye" always, "alpha" when EUCM's alpha is not
# zero; no K at all for EQUIRECTANGULAR, which has no focal length).
CAMERA_MODELS = {"SIMPLE_PINHOLE": (3, 1, "distortion"), "PINHOLE": (4, 2, "distortion"),
                 "SIMPLE_RADIAL": (4, 1, "distortion"), "RADIAL": (5, 1, "distortion"),
                 "OPENCV": (8, 2, "distortion"), "OPENCV_FISHEYE": (8, 2, "fisheye"),
                 "FULL_OPENCV": (12, 2, "distortion"), "FOV": (5, 2, "distortion"),
                 "SIMPLE_RADIAL_FISHEYE": (4, 1, "fisheye"), "RADIAL_FISHEYE": (5, 1, "fisheye"),
                 "THIN_PRISM_FISHEYE": (12, 2, "fisheye"), "RAD_TAN_THIN_PRISM_FISHEYE": (16, 2, "fisheye"),
                 "SIMPLE_DIVISION": (4, 1, "distortion"), "DIVISION": (5, 2, "distortion"),
                 "SIMPLE_FISHEYE": (3, 1, "fisheye"), "FISHEYE": (4, 2, "fisheye"), "EUCM": (6, 2, "alpha"),
                 "EQUIRECTANGULAR": (2, 0, None)}


def camera(cam_id=1, model="PINHOLE", params=(500.0, 500.0, 320.0, 240.0), width=640, height=480):
    return cl.Camera(cam_id, model, width, height, np.asarray(params, dtype=np.float64))


def image(image_id, name, qvec=(1.0, 0.0, 0.0, 0.0), tvec=(0.0, 0.0, 0.0), camera_id=1, points=0):
    rng = np.random.default_rng(image_id)
    return cl.Image(image_id, np.asarray(qvec, dtype=np.float64), np.asarray(tvec, dtype=np.float64), camera_id, name,
                    rng.random((points, 2)) * 100, rng.integers(-1, 1000, points))


def write_model(sparse_dir, cameras, images, binary=True, text=False):
    os.makedirs(sparse_dir, exist_ok=True)
    cams = {c.id: c for c in cameras}
    ims = {i.id: i for i in images}
    for ext, wanted in ((".bin", binary), (".txt", text)):
        if wanted:
            cl.write_model(cams, ims, sparse_dir, ext)


def make_scene(root, cameras=None, images=None, binary=True, text=False):
    """A scene root with depths/ and sparse/0; returns the root as str."""
    root = str(root)
    os.makedirs(os.path.join(root, "depths"), exist_ok=True)
    write_model(os.path.join(root, "sparse/0"), cameras if cameras is not None else [camera()],
                images if images is not None else [image(1, "0001.png")], binary=binary, text=text)
    return root
