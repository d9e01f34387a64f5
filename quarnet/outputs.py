"""The files a segmentation leaves in the mask folder, read back.

    <mask_path>/<object>/sub_mesh.ply   the object's faces (its presence marks the object done)
    <mask_path>/<object>/sub_pcd.ply    the object's cleaned point cloud
    <mask_path>/remain.ply              the faces no object took
"""

import os
import re

# The file names and the object folders, as the modules see them.
from quarnet._scene_rules import REMAIN, SUB_MESH, SUB_PCD, joined_scene_mesh, object_folders  # noqa: F401
from quarnet.user_input import require_readable_file


def by_name(names):
    """Object names in natural order: the numbers in them compared as numbers (box_3 before box_11)."""
    return sorted(names, key=lambda n: ([int(t) if k % 2 else t for k, t in enumerate(re.split(r"(\d+)", n))], n))


def require_segmentation(mask_path, names):
    """ValueError naming the folder unless a segmentation has written into it
    (a sub_mesh.ply in one of the object folders `names`, or remain.ply)."""
    if os.path.exists(os.path.join(mask_path, REMAIN)):
        return
    if any(os.path.exists(os.path.join(mask_path, name, SUB_MESH)) for name in names):
        return
    raise ValueError(f"{mask_path}: no segmentation here (no {SUB_MESH} in its {len(names)} object folders, "
                     f"no {REMAIN}); run quarnet segment first")


def _load(path, **options):
    """trimesh.load(path, **options); FileNotFoundError for a missing file,
    ValueError naming the file for one that is no regular file or that
    trimesh cannot read."""
    import trimesh  # here: the commands that only list object folders start without it

    require_readable_file(path)  # a FIFO or a device is refused unopened: trimesh would block on it
    try:
        return trimesh.load(path, **options)
    except OSError:
        raise
    except Exception as e:
        raise ValueError(f"{path}: not a mesh trimesh can read ({type(e).__name__}: {e})") from e


def read_mesh(path):
    """The single mesh in a mesh file (the meshes of a multi-mesh file joined).
    Raises FileNotFoundError for a missing file and ValueError naming the file
    for one trimesh cannot read."""
    import trimesh

    loaded = _load(path, force="mesh", process=False)
    if not isinstance(loaded, trimesh.Trimesh):
        raise ValueError(f"{path}: not a mesh trimesh can read")
    return loaded


def load_mesh(path):
    """The mesh in a written output file, None if there is no such file (a
    file without faces reads as an empty mesh). Raises ValueError naming the
    file for one that is no regular file (never opened) or no mesh trimesh
    can read."""
    import trimesh

    if not os.path.lexists(path):
        return None
    if not os.path.isfile(path):
        kind = "a folder" if os.path.isdir(path) else "not a regular file"
        raise ValueError(f"{path}: {kind}, not a mesh file")
    loaded = _load(path, process=False)
    return loaded if isinstance(loaded, trimesh.Trimesh) else trimesh.Trimesh()


def try_load_mesh(path):
    """(mesh, None) as load_mesh gives it, or (None, the message naming the
    file) for an output that cannot be read."""
    try:
        return load_mesh(path), None
    except ValueError as e:
        return None, str(e)


def scene_mesh(path):
    """The scene mesh of a mesh file, read as the segmentation will read it
    (trimesh.load; a file of several meshes joined), without processing.
    Raises FileNotFoundError for a missing file and ValueError naming the
    file for one trimesh cannot read or one without faces, so that a wrong
    mesh is found before the long steps."""
    import trimesh

    loaded = _load(path, process=False)
    mesh = joined_scene_mesh(loaded)
    if not isinstance(mesh, trimesh.Trimesh) or not len(mesh.faces):
        raise ValueError(f"{path}: the mesh has no faces (trimesh read a {type(loaded).__name__})")
    return mesh


def scene_mesh_bounds(path):
    """The bounds (2 x 3) of the faces of a scene mesh file (scene_mesh)."""
    return scene_mesh(path).bounds
