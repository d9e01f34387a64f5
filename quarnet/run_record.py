"""The run record: what a segmentation that quarnet starts (the quarnet
segment command in every mode, and Tessaron.seg_scene_mesh_dense) was run
with, kept beside its outputs as MASKS/quarnet-run.json:

    {"format": 1, "mode": "default" | "dense" | ..., "radius": R or null,
     "options": {a mode's other parameters},
     "mesh": {"path": ..., "size": bytes, "xxh3_64": hash of its content},
     "sparse": {"path": ".../sparse/0", "xxh3_64": hash of its camera and image files},
     "version": the quarnet that ran last, "complete": whether that run wrote remain.ply}

A run on a folder holding outputs under a record of another mode, radius,
option, mesh content or sparse model is refused before it writes anything
(begin, refusal); quarnet segment --redo starts over (start_over). The command also
refuses outputs that have no record (written by the specified
SceneTessaron.seg_scene_mesh, which keeps none, or by an older quarnet):
what they were cut with is unknown. seg_scene_mesh_dense, called from
Python, resumes such outputs as it always did, and records its own run.

At the end of a run the command checks, from the face ids the cut loop
recorded, that every face of the mesh is in exactly one of the sub-meshes
and remain.ply (partition_problem).
"""

from __future__ import annotations

import json
import os
import stat

NAME = "quarnet-run.json"
FORMAT = 1
_LARGEST = 1 << 20  # bytes of a record worth reading
_MODEL_FILES = ("cameras.bin", "images.bin", "cameras.txt", "images.txt")
_SAME = ("format", "mode", "radius", "options")  # compared as they are; mesh and sparse model by content
START_OVER = "start over with quarnet segment --redo"


def path_of(mask_path):
    return os.path.join(mask_path, NAME)


def read(mask_path):
    """The record of the mask folder as a dict (keys "mode", "radius",
    "mesh", "version", ...), None when there is none. Raises ValueError
    naming the file for one that is no regular file or no record."""
    path = path_of(mask_path)
    if not os.path.lexists(path):
        return None
    if not os.path.isfile(path):
        raise ValueError(f"{path}: not a regular file, not a run record")
    try:
        with open(path, "rb") as f:
            data = f.read(_LARGEST + 1)
        record = json.loads(data.decode("utf-8")) if len(data) <= _LARGEST else None
        valid = (isinstance(record, dict) and record.get("format") == FORMAT
                 and all(isinstance(record.get(k), dict) for k in ("mesh", "sparse", "options"))
                 and all(k in record for k in ("mode", "radius", "version", "complete")))
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise ValueError(f"{path}: not a run record quarnet can read ({e})") from None
    if not valid:
        raise ValueError(f"{path}: not a run record quarnet can read")
    return record


def _hash_file(path, h):
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            h.update(chunk)


def parameters(mode, mesh_file, sparse_path, radius=None, **options):
    """What a run of `mode` is run with: its radius and other options, the
    mesh file's path, size and content hash, the sparse model's path and the
    hash of its camera and image files."""
    import xxhash

    mesh = xxhash.xxh3_64()
    _hash_file(mesh_file, mesh)
    sparse = xxhash.xxh3_64()
    for name in _MODEL_FILES:
        path = os.path.join(sparse_path, name)
        if os.path.isfile(path):
            sparse.update(os.fsencode(name) + b"\0")
            _hash_file(path, sparse)
            sparse.update(b"\0")
    return {"format": FORMAT, "mode": mode, "radius": None if radius is None else float(radius),
            "options": dict(sorted(options.items())),
            "mesh": {"path": os.path.abspath(mesh_file), "size": os.path.getsize(mesh_file),
                     "xxh3_64": mesh.hexdigest()},
            "sparse": {"path": os.path.abspath(sparse_path), "xxh3_64": sparse.hexdigest()}}


def _cut_words(p):
    """The command-line words of a run's mode and options."""
    if p["mode"] == "default" and p["radius"] is None and not p["options"]:
        return "the default cut"
    words = [f"--{p['mode']}"] + ([f"--radius {p['radius']:g}"] if p["radius"] is not None else [])
    return " ".join(words + [f"--{k.replace('_', '-')} {v}" for k, v in p["options"].items()])


def difference(record, params):
    """What differs between a folder's record and a run's parameters, in
    words; None when the run may go on where the recorded one left off."""
    if any(record.get(k) != params[k] for k in _SAME):
        return f"it was cut with {_cut_words(record)}, this run asks for {_cut_words(params)}"
    was, now = record["mesh"], params["mesh"]
    if (was.get("size"), was.get("xxh3_64")) != (now["size"], now["xxh3_64"]):
        return (f"it was cut from the mesh {was.get('path')} ({was.get('size')} bytes), and this run's mesh "
                f"{now['path']} ({now['size']} bytes) is another")
    if record["sparse"].get("xxh3_64") != params["sparse"]["xxh3_64"]:
        return (f"it was cut with the sparse model in {record['sparse'].get('path')}, and this run's model in "
                f"{params['sparse']['path']} is another")
    return None


def _line(mask_path, why):
    return f"{mask_path}: {why}; rerun with what it was cut with, or {START_OVER}"


def has_outputs(mask_path):
    """Whether a segmentation has written into the folder: remain.ply, or a
    sub_mesh.ply in one of its object folders."""
    from quarnet.outputs import REMAIN, SUB_MESH, object_folders

    return os.path.lexists(os.path.join(mask_path, REMAIN)) or any(
        os.path.lexists(os.path.join(mask_path, name, SUB_MESH)) for name in object_folders(mask_path))


def _refused(mask_path, record, params):
    """The line refusing a run with `params` on a folder of `record`, None when it may go on
    (the same parameters, or nothing written under the record's)."""
    why = difference(record, params)
    return _line(mask_path, why) if why and has_outputs(mask_path) else None


def refusal(mask_path, params):
    """The one line refusing a run with `params` on the folder, None when it may go on."""
    try:
        record = read(mask_path)
    except ValueError as e:
        return f"{e}; {START_OVER}"
    if record is not None:
        return _refused(mask_path, record, params)
    if has_outputs(mask_path):
        return (f"{mask_path} holds outputs of a segmentation that left no run record (seg_scene_mesh from "
                f"Python, or an older quarnet): what they were cut with is unknown; {START_OVER}")
    return None


def _write(mask_path, record):
    from quarnet.mesh_seg import Tessaron

    Tessaron._write_staged(path_of(mask_path), (json.dumps(record, indent=2) + "\n").encode("ascii"))


def _version():
    from quarnet import version

    return version()


class Recorder(list):
    """The record of one run: the cut loop appends one entry per object and
    one for remain.ply (quarnet/mesh_seg/tessaron.hpp); the one for
    remain.ply marks the run complete on disk."""

    def __init__(self, mask_path, params):
        super().__init__()
        self.mask_path, self.params = mask_path, params

    def append(self, entry):
        super().append(entry)
        if entry["status"] == "remain":
            _write(self.mask_path, {**self.params, "version": _version(), "complete": True})


def begin(mask_path, params):
    """Writes the record of a run with `params` into the mask folder and
    returns its Recorder. Raises ValueError (one line, nothing written) when
    the folder holds outputs under a record of other parameters."""
    record = read(mask_path)
    refused = None if record is None else _refused(mask_path, record, params)
    if refused:
        raise ValueError(refused)
    _write(mask_path, {**params, "version": _version(), "complete": False})
    return Recorder(mask_path, params)


def _inside(path, folder):
    return os.path.commonpath([path, folder]) == folder


def _removable(path):
    """Whether `path` is absent, a regular file or a link (removed, never followed)."""
    try:
        mode = os.lstat(path).st_mode
    except FileNotFoundError:
        return True
    return stat.S_ISREG(mode) or stat.S_ISLNK(mode)


def start_over(mask_path):
    """Removes what segmentation runs wrote into the mask folder: each
    object folder's sub_mesh.ply and sub_pcd.ply, remain.ply, the record, and
    the temporary files stopped writers of these left. Nothing else is
    touched, and a link is removed, never followed out of the folder. Raises
    ValueError, having removed nothing, for an output name held by a folder
    or another non-file, or an object folder that is a link out of the mask
    folder and holds outputs. Returns the paths removed."""
    from quarnet.mesh_seg import Tessaron
    from quarnet.outputs import REMAIN, SUB_MESH, SUB_PCD

    root = os.path.realpath(mask_path)
    targets, seen = [os.path.join(mask_path, REMAIN), path_of(mask_path)], set()
    for entry in sorted(os.scandir(mask_path), key=lambda e: e.name):
        if not entry.is_dir():  # a link to a folder is an object folder too
            continue
        real = os.path.realpath(entry.path)
        here = [os.path.join(entry.path, name) for name in (SUB_MESH, SUB_PCD)]
        if not _inside(real, root):
            if any(os.path.lexists(p) for p in here):
                raise ValueError(f"{entry.path}: a link out of the mask folder (to {real}); its outputs are not "
                                 "removed by --redo: remove them, or the link, first")
            continue
        if real not in seen:
            seen.add(real)
            targets += here
    for path in targets:
        if not _removable(path):
            raise ValueError(f"{path}: not a file; remove it to start over")
    removed = []
    for path in targets:
        if os.path.lexists(path):
            os.unlink(path)
            removed.append(path)
        Tessaron._remove_staged(path)
    return removed


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def partition_problem(entries, mask_path, names):
    """None when the outputs are a partition of the mesh's faces (each in
    exactly one sub_mesh.ply or remain.ply), from the run's record `entries`
    and the object folders `names`; otherwise what breaks it, in words."""
    import numpy as np

    from quarnet.outputs import SUB_MESH, try_load_mesh

    remain = next((e for e in entries if e["status"] == "remain"), None)
    if remain is None or remain["ids"] is None:
        return "the faces of remain.ply cannot be told (the cut was not the module's)"
    count = np.zeros(remain["mesh_faces"], dtype=np.int64)
    counted = []  # the sub_mesh.ply files whose faces are counted
    for e in entries:
        if e["status"] not in ("cut", "skipped"):
            continue
        if e["status"] == "skipped" and e["faces"] == 0 and any(_same_file(e["sub_mesh"], f) for f in counted):
            continue  # another object's folder under another name: its faces are counted there
        if e["ids"] is None:
            return f"the faces taken for {e['name']} cannot be told (the cut was not the module's)"
        if e.get("misplaced"):
            return (f"{e['sub_mesh']} and the faces this run took out of the mesh for {e['name']} differ in "
                    f"{e['misplaced']} faces (the file was changed, or masks or depth maps were, since it was written)")
        count[e["ids"]] += 1
        counted.append(e["sub_mesh"])
    count[remain["ids"]] += 1
    wrong = np.flatnonzero(count != 1)
    if len(wrong):
        return (f"{len(wrong)} faces of the mesh are in {'no' if count[wrong[0]] == 0 else 'more than one'} "
                f"of the output files (face {wrong[0]}, ...)")
    visited = {e["name"] for e in entries}
    for name in names:
        path = os.path.join(mask_path, name, SUB_MESH)
        if name in visited or not os.path.lexists(path) or any(_same_file(path, f) for f in counted):
            continue
        mesh, _ = try_load_mesh(path)
        if mesh is not None and len(mesh.faces):
            return (f"{path}: this run found no points for {name}, so the faces of its sub-mesh are in remain.ply "
                    "as well")
    return None
