"""The files a segmentation leaves in the mask folder, read back.

    <mask_path>/<object>/sub_mesh.ply   the object's faces (its presence marks the object done)
    <mask_path>/<object>/sub_pcd.ply    the object's cleaned point cloud
    <mask_path>/remain.ply              the faces no object took
"""

import os

from quarnet._mask_folder import object_folders  # noqa: F401  (the object folders, as the modules see them)

SUB_MESH = "sub_mesh.ply"
SUB_PCD = "sub_pcd.ply"
REMAIN = "remain.ply"


def read_mesh(path):
    """The single mesh in a mesh file (the meshes of a multi-mesh file joined).
    Raises FileNotFoundError for a missing file and ValueError naming the file
    for one trimesh cannot read."""
    import trimesh  # here: the commands that only list object folders start without it

    if not os.path.exists(path):
        raise FileNotFoundError(2, "No such file or directory", path)
    try:
        loaded = trimesh.load(path, force="mesh", process=False)
    except OSError:
        raise
    except Exception as e:
        raise ValueError(f"{path}: not a mesh trimesh can read ({type(e).__name__}: {e})") from e
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
    try:
        loaded = trimesh.load(path, process=False)
    except Exception as e:
        raise ValueError(f"{path}: not a mesh trimesh can read ({type(e).__name__}: {e})") from e
    return loaded if isinstance(loaded, trimesh.Trimesh) else trimesh.Trimesh()


def try_load_mesh(path):
    """(mesh, None) as load_mesh gives it, or (None, the message naming the
    file) for an output that cannot be read."""
    try:
        return load_mesh(path), None
    except ValueError as e:
        return None, str(e)
