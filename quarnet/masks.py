"""An object folder's mask images, as the commands read them beside the
segmentation: one 8-bit grey image per view, named by its image id (the file
name without its last extension, read as a decimal integer; leading zeros
allowed), 0 for background."""

from __future__ import annotations

import os

import numpy as np

from quarnet import _mask_reading, _scene_rules

JPEG_SIGNATURE = b"\xff\xd8\xff"
ALPHA_SAMPLES = 3  # files of each object folder, in name order, whose alpha channel is looked at


def image_id(name):
    """The image id a mask file stands for; ValueError naming the file when it is none."""
    try:
        return _scene_rules.image_id(name)
    except ValueError:
        raise ValueError(f"{name}: a mask's file name must be its image id, e.g. 00012.png") from None


def mask_files(folder):
    """(name, path) of every regular file of the object folder, in sorted name order."""
    return [(name, os.path.join(folder, name)) for name in sorted(os.listdir(folder))
            if os.path.isfile(os.path.join(folder, name))]


def mask_views(folder):
    """(image id, path) of the folder's masks, in sorted name order. As the
    segmentation does, an entry that is no image (sub_mesh.ply, say) is left
    out, and an image whose name is no image id raises ValueError; an entry
    whose name is an image id is read only later, and left out then if it
    is no image."""
    views = []
    for _, path in mask_files(folder):
        try:
            views.append((image_id(path), path))
        except ValueError:
            if read_mask(path) is not None:
                raise
    return views


def read_mask(path):
    """The mask as a boolean array (True for the object), or None when it is no image,
    read as the segmentation reads it."""
    image = _mask_reading.read_mask(path)
    return None if image is None else image != 0


def is_jpeg(path):
    try:
        with open(path, "rb") as f:
            return f.read(3) == JPEG_SIGNATURE
    except OSError:
        return False


def jpeg_warning(mask_path, object_names):
    """One warning line when some masks are JPEG files, None otherwise. JPEG's
    lossy compression leaves faint values around the object, and every value
    but 0 is the object."""
    jpeg = [path for name in object_names for _, path in mask_files(os.path.join(mask_path, name)) if is_jpeg(path)]
    if not jpeg:
        return None
    folders = {os.path.dirname(p) for p in jpeg}
    return (f"[Warning] {len(jpeg)} masks in {len(folders)} object folders are JPEG files (e.g. {jpeg[0]}): "
            "JPEG compression marks background pixels near the object as foreground (any value but 0 is the object); "
            "save the masks as PNG")


def alpha_disagreement(path):
    """(pixels the grey values mark, pixels the alpha marks) when the mask has an
    alpha channel that is not uniform and marks other pixels than its grey
    values; None otherwise (no alpha, a uniform one, or one that agrees). The
    grey values are what the segmentation reads: a cut-out export (RGB white,
    the object in the alpha) becomes the object in every pixel."""
    alpha = _mask_reading.read_alpha(path)
    if alpha is None or alpha.min() == alpha.max():
        return None
    grey = read_mask(path)
    in_alpha = alpha != 0
    if grey is None or grey.shape != in_alpha.shape or np.array_equal(grey, in_alpha):
        return None
    return int(grey.sum()), int(in_alpha.sum())


def alpha_warning(mask_path, object_names):
    """One warning line naming the first mask whose alpha channel marks other
    pixels than its grey values (of the first ALPHA_SAMPLES files of each object
    folder), None when there is none. Such masks are read as they are, as grey."""
    for name in object_names:
        for _, path in mask_files(os.path.join(mask_path, name))[:ALPHA_SAMPLES]:
            found = alpha_disagreement(path)
            if found:
                grey, alpha = found
                return (f"[Warning] mask {path} has an alpha channel that marks {alpha} pixels as the object where "
                        f"its grey values mark {grey}: masks are read as 8-bit grey (any value but 0 is the object) "
                        "and the alpha channel is ignored; if it holds the object, save the masks with the object "
                        "in their grey values")
    return None


def mask_warnings(mask_path, object_names):
    """The lines a command prints about the masks before its run: JPEG files,
    masks whose object is in the alpha channel."""
    return [line for line in (jpeg_warning(mask_path, object_names), alpha_warning(mask_path, object_names)) if line]
