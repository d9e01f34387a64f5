"""A scene folder and a mask folder checked as the commands need them, before
any long step, with errors that say in English what is missing and how to
mend it:

    ROOT/depths/<image id>.npy                          the depth maps
    ROOT/sparse/0/cameras.bin, images.bin (or .txt)     the sparse model
    MASKS/<object>/<image id>.png                       one folder of masks per object
"""

import errno
import mimetypes
import os
import shlex

from quarnet._scene_rules import DEPTHS, SPARSE, object_folders
from quarnet.user_errors import UserError
from quarnet.user_input import require_folder

MODEL_PAIRS = (("cameras.bin", "images.bin"), ("cameras.txt", "images.txt"))
MODEL_FILES = tuple(name for pair in MODEL_PAIRS for name in pair) + ("points3D.bin", "points3D.txt")
MODEL = ", or ".join(" and ".join(pair) for pair in MODEL_PAIRS)


def check_scene(root=None, masks=None, *, depths=True):
    """Raises an error naming what is missing unless `root` (when given) is a
    scene folder with its sparse model in sparse/0 and, when `depths`, its
    depths/ folder, and `masks` (when given) is a mask folder whose masks sit
    in object folders."""
    if root is not None:
        require_folder(root)
        if depths:
            _require_part(os.path.join(root, DEPTHS), "the depth maps, one <image id>.npy per image")
        _require_model(root)
    if masks is not None:
        require_folder(masks)
        _require_object_folders(masks)


def _require_part(path, holds):
    if not os.path.exists(path):
        raise FileNotFoundError(errno.ENOENT, f"no such folder (where the scene keeps {holds})", path)
    if not os.path.isdir(path):
        raise NotADirectoryError(errno.ENOTDIR, f"not a folder (where the scene keeps {holds})", path)


def _model_files(folder):
    """The sparse model's files that `folder` holds, in MODEL_FILES order."""
    return [name for name in MODEL_FILES if os.path.isfile(os.path.join(folder, name))]


def _require_model(root):
    sparse = os.path.join(root, SPARSE)
    if os.path.isdir(sparse) and any(all(os.path.exists(os.path.join(sparse, n)) for n in pair)
                                     for pair in MODEL_PAIRS):
        return
    for above in (os.path.dirname(sparse), root):
        found = _model_files(above)
        if found:
            where = "no such folder" if not os.path.exists(sparse) else "holds no sparse model"
            move = " ".join(shlex.quote(os.path.join(above, name)) for name in found)
            raise UserError(f"{sparse}: {where}, but {above} holds {', '.join(found)}: the sparse model goes in "
                            f"{SPARSE}; move it there: mkdir -p {shlex.quote(sparse)} && mv {move} "
                            f"{shlex.quote(sparse)}/")
    _require_part(sparse, f"the sparse model: {MODEL}")
    found = _model_files(sparse)
    raise UserError(f"{sparse}: holds no sparse model ({', '.join(found) if found else 'none of its files'}; "
                    f"expected {MODEL})")


def _require_object_folders(masks):
    if object_folders(masks):
        return
    images = sorted(name for name in os.listdir(masks) if os.path.isfile(os.path.join(masks, name))
                    and (mimetypes.guess_type(name)[0] or "").startswith("image/"))
    if images:
        raise UserError(f"{masks}: {len(images)} images (e.g. {images[0]}) but no object folders: each object's "
                        f"masks go in a folder of their own, {os.path.join(masks, '<object>', images[0])}")
