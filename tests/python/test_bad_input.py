"""Inputs a user can get wrong: the error names the file, and no output that
is already on disk is damaged or left half-written."""
import dataclasses
import errno
import json
import os
import re
import shutil
import subprocess
import sys

import cv2
import numpy as np
import open3d as o3d
import pytest
import trimesh

import quarnet.outputs
from quarnet import _scene_rules as scene_rules
from quarnet import sample
from quarnet.mesh_seg import Tessaron
from quarnet.scene import colmap_loader
from sample_copies import copy_of
from terminal import escaped_stdout

cut = Tessaron.SceneTessaron.process_and_visualize_mesh_with_pointcloud_and_bbox


# ---- scenes and snapshots ---------------------------------------------------

@pytest.fixture(scope="module")
def pristine(tmp_path_factory):
    """A small sample scene (two objects, three views), never changed."""
    return sample.build_sample_scene(tmp_path_factory.mktemp("pristine") / "scene", seed=0, faces=3000,
                                           views=3, objects=2)


@pytest.fixture
def scene(pristine, tmp_path):
    return copy_of(pristine, tmp_path / "scene")


@pytest.fixture(scope="module")
def objects(pristine):
    """Each object's cleaned cloud and box, in a fixed order, for direct calls of the cut."""
    s = tessaron(pristine)
    poses = {idx: (t, q) for idx, t, q in s.pose}
    found = []
    for name in pristine.object_names:
        pcd, box = Tessaron.extract_masked_pointclouds(os.path.join(pristine.mask_path, name), s.depths_path, poses, s.K)
        found.append((name, pcd, box))
    return found


@pytest.fixture(scope="module")
def reference(pristine, objects, tmp_path_factory):
    """The files a complete cut of `objects` writes, {relative path: bytes}."""
    ref = copy_of(pristine, tmp_path_factory.mktemp("reference") / "scene")
    run_cut(ref, objects)
    return outputs(ref)


def tessaron(scene):
    return Tessaron.SceneTessaron(scene.mask_path, scene.mesh_file, scene.root_path)


def segment(scene):
    tessaron(scene).seg_scene_mesh()


def run_cut(scene, objects):
    names, clouds, boxes = zip(*objects) if objects else ((), (), ())
    cut(tessaron_like(scene), list(clouds), list(boxes), list(names))


def tessaron_like(scene):
    return type("Self", (), {"mask_path": scene.mask_path, "mesh_file": scene.mesh_file})()


def outputs(scene):
    """{relative path: bytes} of every file in the mask folder that is not a mask."""
    found = {}
    for folder, _, files in os.walk(scene.mask_path):
        for f in files:
            if not f.endswith(".png"):
                path = os.path.join(folder, f)
                found[os.path.relpath(path, scene.mask_path)] = open(path, "rb").read()
    return found


def assert_notes(error, expected):
    """The notes an error carries, where the interpreter has notes (3.11+)."""
    if hasattr(BaseException, "add_note"):
        assert getattr(error, "__notes__", []) == expected


# ---- the scene folders ------------------------------------------------------

def test_missing_mask_folder_writes_nothing(scene):
    s = tessaron(scene)
    shutil.rmtree(scene.mask_path)
    with pytest.raises(FileNotFoundError) as info:
        s.seg_scene_mesh()
    assert info.value.filename == scene.mask_path
    assert not os.path.exists(scene.mask_path)


def test_missing_object_folder(scene, objects, capsys):
    missing = os.path.join(scene.mask_path, "ghost")
    with pytest.raises(FileNotFoundError) as info:
        Tessaron.extract_masked_pointclouds(missing, os.path.join(scene.root_path, scene_rules.DEPTHS), {}, [1.0, 1.0, 0.0, 0.0])
    assert info.value.filename == missing

    # The cut step is told of an object whose folder is gone: nothing is written.
    _, pcd, box = objects[0]
    with pytest.raises(FileNotFoundError) as info:
        run_cut(scene, [("ghost", pcd, box)])
    assert_notes(info.value, [f"while writing {missing}/sub_mesh.ply"])
    assert outputs(scene) == {}


# ---- the sparse model -------------------------------------------------------

def damage(path, how):
    """Truncates the file to half, empties it, or overwrites it with garbage of its length."""
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write({"truncated": data[: len(data) // 2], "empty": b"", "garbage": b"\xff" * len(data)}[how])


@pytest.mark.parametrize("how", ["truncated", "empty", "garbage"])
@pytest.mark.parametrize("name", ["images.bin", "cameras.bin"])
def test_damaged_binary_model(scene, model, capsys, name, how):
    sparse = os.path.join(scene.root_path, scene_rules.SPARSE)
    path = os.path.join(sparse, name)
    damage(path, how)

    # Without text files the user sees the missing text file, chained to the binary file's error.
    with pytest.raises(FileNotFoundError) as info:
        tessaron(scene)
    assert info.value.filename == os.path.join(sparse, "images.txt")
    cause = info.value.__context__
    assert isinstance(cause, ValueError) and str(cause).startswith(f"{path}: ")
    assert_notes(info.value, [f"after the binary model failed: {cause}"])  # a one-line report names both
    warning = capsys.readouterr().out.splitlines()[0]
    assert warning == f"[Warning] 读取 .bin 失败 ({cause})，尝试读取 .txt 文件..."

    # With them the scene is read from the text files.
    colmap_loader.write_model(model.cameras, model.images, sparse, ".txt")
    assert sorted(tessaron(scene).cam_extrinsics) == sorted(model.images)


@pytest.fixture(scope="module")
def model(pristine):
    return colmap_loader.read_model(os.path.join(pristine.root_path, scene_rules.SPARSE))


@pytest.mark.parametrize("name, text, message", [
    ("cameras.txt", "1 PINHOLE 320 240 277.1 abc 160 120\n", "line 1: camera parameter is not a number: 'abc'"),
    ("cameras.txt", "1 PINHOLE 320\n", "line 1: missing height"),
    ("images.txt", "1 0.5 0.5 0.5\n", "line 1: missing qvec"),
    ("images.txt", "1 1 0 0 0 0 0 0 1 00001.png\n1 2\n", "line 2: incomplete point (x, y, point3D id expected)"),
])
def test_damaged_text_model_names_the_file(scene, model, capsys, name, text, message):
    sparse = os.path.join(scene.root_path, scene_rules.SPARSE)
    os.remove(os.path.join(sparse, "images.bin"))
    colmap_loader.write_model(model.cameras, model.images, sparse, ".txt")
    path = os.path.join(sparse, name)
    with open(path, "w") as f:
        f.write(text)
    with pytest.raises(ValueError) as info:
        tessaron(scene)
    assert str(info.value) == f"{path}: {message}"


NO_ROTATION = "is no rotation (a camera pose needs a finite quaternion that is not zero)"


@pytest.mark.parametrize("qvec, tvec, problem", [
    ((0, 0, 0, 0), None, f"qvec (0, 0, 0, 0) {NO_ROTATION}"),  # was taken as the identity
    ((np.nan, 0, 0, 1), None, f"qvec (nan, 0, 0, 1) {NO_ROTATION}"),
    ((1, 0, 0, 0), (0, np.inf, 0), "tvec (0, inf, 0) is not finite"),
])
def test_a_pose_that_is_none_names_its_file_and_image(scene, model, capsys, qvec, tvec, problem):
    sparse = os.path.join(scene.root_path, scene_rules.SPARSE)
    first = next(iter(model.images.values()))
    bad = first._replace(qvec=np.array(qvec, float), tvec=np.array(tvec if tvec else first.tvec, float))
    images = {**model.images, first.id: bad}
    colmap_loader.write_extrinsics_binary(images, os.path.join(sparse, "images.bin"))
    with pytest.raises(FileNotFoundError) as info:
        tessaron(scene)
    assert_notes(info.value, [f"after the binary model failed: {sparse}/images.bin: image {first.id} '{first.name}': "
                              f"{problem}"])
    colmap_loader.write_model(model.cameras, images, sparse, ".txt")
    with pytest.raises(ValueError) as info:
        tessaron(scene)
    assert str(info.value) == f"{sparse}/images.txt: line 5: image {first.id} '{first.name}': {problem}"


@pytest.mark.parametrize("name", ["cameras.txt", "images.txt"])
def test_an_empty_text_model_file_is_named(scene, model, capsys, name):
    sparse = os.path.join(scene.root_path, scene_rules.SPARSE)
    colmap_loader.write_model(model.cameras, model.images, sparse, ".txt")
    os.remove(os.path.join(sparse, "cameras.bin"))
    open(os.path.join(sparse, name), "w").close()
    if name == "cameras.txt":
        with pytest.raises(ValueError) as info:
            tessaron(scene)
        assert str(info.value) == "期望只有 1 个相机，但实际检测到 0 个相机。"
        assert_notes(info.value, [f"the cameras of {sparse}/cameras.txt"])
    else:  # no poses at all: the first mask finds none
        mask = first_mask(scene)
        with pytest.raises(KeyError) as info:
            segment(scene)
        assert_notes(info.value, [f"mask {mask}: no camera pose for image id {scene_rules.image_id(os.path.basename(mask))}",
                                  f"the camera poses are those of the sparse model in {sparse}, which holds 0 images"])


# ---- depth maps and masks ---------------------------------------------------
# The cut runs after every object's points are gathered, so an error here
# writes nothing; what an earlier run wrote stays as it was.

@pytest.fixture
def done(scene, capsys):
    """The scene segmented once; returns its outputs."""
    segment(scene)
    capsys.readouterr()
    return outputs(scene)


def first_mask(scene):
    folder = os.path.join(scene.mask_path, scene.object_names[0])
    return os.path.join(folder, sorted(os.listdir(folder))[0])


def depth_of(scene, mask):
    return scene_rules.depth_file(os.path.join(scene.root_path, scene_rules.DEPTHS),
                                  scene_rules.image_id(os.path.basename(mask)))


def test_mask_without_depth_map(scene, done):
    mask = first_mask(scene)
    os.remove(depth_of(scene, mask))
    with pytest.raises(FileNotFoundError) as info:
        segment(scene)
    assert info.value.filename == depth_of(scene, mask)
    assert_notes(info.value, [f"mask {mask} has no depth map {depth_of(scene, mask)}"])
    assert outputs(scene) == done


@pytest.mark.parametrize("how", ["truncated", "empty", "garbage"])
def test_damaged_depth_map(scene, done, how):
    mask = first_mask(scene)
    depth = depth_of(scene, mask)
    damage(depth, how)
    with pytest.raises(ValueError) as info:
        segment(scene)
    assert str(info.value).startswith(f"{depth}: ")
    assert_notes(info.value, [f"mask {mask}: cannot read its depth map {depth}"])
    assert outputs(scene) == done


def test_depth_map_that_is_no_plane(scene, done):
    mask = first_mask(scene)
    depth = depth_of(scene, mask)
    h, w = np.load(depth).shape
    np.save(depth, np.ones((h, w, 3), np.float32))
    with pytest.raises(ValueError) as info:
        segment(scene)
    assert str(info.value) == "too many values to unpack (expected 2)"
    assert_notes(info.value, [f"mask {mask}: cannot back-project its depth map {depth} of shape ({h}, {w}, 3) "
                              "(a depth map is H x W)"])
    assert outputs(scene) == done


def test_image_name_that_is_no_image_id_names_the_image_and_the_model(scene, model, capsys):
    sparse = os.path.join(scene.root_path, scene_rules.SPARSE)
    first = next(iter(model.images.values()))
    images = {**model.images, first.id: first._replace(name="frame_a.png")}
    colmap_loader.write_extrinsics_binary(images, os.path.join(sparse, "images.bin"))
    colmap_loader.write_model(model.cameras, images, sparse, ".txt")

    def fails_naming(images_file):
        with pytest.raises(ValueError) as info:
            tessaron(scene)
        assert str(info.value) == "invalid literal for int() with base 10: 'frame_a'"
        assert_notes(info.value, [f"image {first.id} 'frame_a.png': its file name without the extension is no integer image id",
                                  f"while reading the camera poses of {images_file}"])

    fails_naming(os.path.join(sparse, "images.bin"))
    os.remove(os.path.join(sparse, "images.bin"))  # the text files are read instead
    fails_naming(os.path.join(sparse, "images.txt"))


def test_mask_without_pose(scene, done, model):
    mask = first_mask(scene)
    image_id = scene_rules.image_id(os.path.basename(mask))
    sparse = os.path.join(scene.root_path, scene_rules.SPARSE)
    images = {k: v for k, v in model.images.items() if scene_rules.image_id(v.name) != image_id}
    colmap_loader.write_extrinsics_binary(images, os.path.join(sparse, "images.bin"))
    with pytest.raises(KeyError) as info:
        segment(scene)
    assert info.value.args == (image_id,)
    assert_notes(info.value, [f"mask {mask}: no camera pose for image id {image_id}",
                              f"the camera poses are those of the sparse model in {sparse}, which holds "
                              f"{len(images)} images"])
    assert outputs(scene) == done


def test_mask_of_the_wrong_size(scene, done):
    mask = first_mask(scene)
    cv2.imwrite(mask, np.full((10, 12), 255, np.uint8))
    with pytest.raises(IndexError) as info:
        segment(scene)
    depth = depth_of(scene, mask)
    h, w = np.load(depth).shape
    assert str(info.value) == (f"mask and depth map differ in size: mask {mask} has shape (10, 12), "
                               f"depth map {depth} has shape ({h}, {w})")
    assert outputs(scene) == done


def test_mask_whose_name_is_no_image_id(scene, done):
    mask = first_mask(scene)
    renamed = os.path.join(os.path.dirname(mask), "view_1.png")
    os.rename(mask, renamed)
    with pytest.raises(ValueError) as info:
        segment(scene)
    assert str(info.value) == "invalid literal for int() with base 10: 'view_1'"
    assert_notes(info.value, [f"mask {renamed}: its name is not an image id"])
    assert outputs(scene) == done


@pytest.mark.parametrize("how", ["truncated", "empty", "garbage"])
def test_mask_that_is_not_an_image_is_skipped(scene, capsys, how):
    """Unreadable mask entries are passed over without a message; an object
    whose masks are all unreadable yields no points and writes nothing."""
    name = scene.object_names[0]
    folder = os.path.join(scene.mask_path, name)
    for mask in os.listdir(folder):
        damage(os.path.join(folder, mask), how)
    segment(scene)
    out = capsys.readouterr().out
    assert f"Files in {name}:\nNo masked points found.\n" in out
    assert sorted(outputs(scene)) == sorted([f"{n}/{f}" for n in scene.object_names[1:]
                                             for f in ("sub_mesh.ply", "sub_pcd.ply")] + ["remain.ply"])


def test_object_folder_whose_name_is_not_utf8_is_cut_like_any_other(scene, reference, monkeypatch):
    stdout = escaped_stdout(monkeypatch)
    plain = scene.object_names[0]
    odd = os.fsdecode(plain.encode() + b"\xff")
    os.rename(os.path.join(scene.mask_path, plain), os.path.join(scene.mask_path, odd))
    segment(scene)
    lines = stdout().splitlines()
    sub_mesh = os.path.join(scene.mask_path, odd, "sub_mesh.ply")
    assert f"Files in {odd}:" in lines and f"finish seg part {odd} save ply  {sub_mesh}" in lines
    with open(os.path.join(scene.mask_path, odd, "sub_pcd.ply"), "rb") as f:
        assert f.read() == reference[f"{plain}/sub_pcd.ply"]
    assert os.path.getsize(sub_mesh) > 0


# ---- files that are no regular files ------------------------------------------

NO_REGULAR_FILES = r"""
import contextlib, io, json, os, sys
import numpy as np
from quarnet.mesh_seg import Tessaron
from quarnet.scene import colmap_loader as cl

def outcome(read, path):
    try:
        result = read(path)
        return repr(np.asarray(result).tolist() if hasattr(result, "shape") else sorted(result))
    except Exception as e:
        return f"{type(e).__name__}: {e}"

folder, mask = sys.argv[1:3]
readers = {"cameras.bin": cl.read_intrinsics_binary, "images.bin": cl.read_extrinsics_binary,
           "cameras.txt": cl.read_intrinsics_text, "images.txt": cl.read_extrinsics_text,
           "depth.npy": Tessaron.load_depth}
results = {}
for name, read in readers.items():
    os.symlink("/dev/zero", os.path.join(folder, "zero-" + name))
    os.mkfifo(os.path.join(folder, "fifo-" + name))  # no writer: opening it for reading would block
    for kind in ("zero-", "fifo-"):
        results[kind + name] = outcome(read, os.path.join(folder, kind + name))
# Masks that are no regular files are entries that cannot be read as an image: skipped silently.
masks = os.path.join(folder, "masks")
os.makedirs(os.path.join(masks, "0.png"))
os.mkfifo(os.path.join(masks, "1.png"))
os.symlink("/dev/zero", os.path.join(masks, "2.png"))
os.replace(mask, os.path.join(masks, "3.png"))
np.save(os.path.join(folder, "3.npy"), np.full((6, 8), 2.0, np.float32))
with contextlib.redirect_stdout(io.StringIO()) as out, contextlib.redirect_stderr(io.StringIO()):
    Tessaron.extract_masked_pointclouds(masks, folder, {3: ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 1.0])},
                                                 [1.0, 1.0, 0.0, 0.0])
results["masks"] = [line for line in out.getvalue().splitlines() if "Open3D" not in line]
print(json.dumps(results))
"""


def test_files_that_are_no_regular_files_are_refused_at_once(tmp_path):
    """A sparse-model file or depth map that is a FIFO or a device is refused before it is
    opened, naming it; such a mask is skipped like any entry that is no image."""
    mask = str(tmp_path / "mask.png")
    cv2.imwrite(mask, np.full((6, 8), 255, np.uint8))
    child = subprocess.run([sys.executable, "-c", NO_REGULAR_FILES, str(tmp_path), mask], capture_output=True,
                           text=True, timeout=60, cwd=tmp_path)
    assert child.returncode == 0, child.stderr
    expected = {f"{kind}-{name}": f"ValueError: {tmp_path}/{kind}-{name}: {what}, not a regular file"
                for name in ("cameras.bin", "images.bin", "cameras.txt", "images.txt", "depth.npy")
                for kind, what in (("zero", "a character device"), ("fifo", "a FIFO"))}
    expected["masks"] = ["", "原始点云点数: 48", "滤波后点数: 0"]  # the one mask's 48 pixels
    assert json.loads(child.stdout) == expected


# ---- the scene mesh ---------------------------------------------------------

def face_set(mesh):
    """Faces as sorted single-precision corner triples, independent of indexing."""
    tri = np.asarray(mesh.vertices, dtype=np.float32)[np.asarray(mesh.faces)].tolist()
    return {tuple(sorted(map(tuple, t))) for t in tri}


@pytest.mark.parametrize("how", ["missing", "truncated", "empty", "garbage"])
def test_unreadable_scene_mesh_is_named(scene, done, objects, how):
    if how == "missing":
        os.remove(scene.mesh_file)
    else:
        damage(scene.mesh_file, how)
    for name in scene.object_names:  # every object is to be cut again
        os.remove(os.path.join(scene.mask_path, name, "sub_mesh.ply"))
    before = outputs(scene)
    with pytest.raises(ValueError) as info:  # trimesh's own error
        run_cut(scene, objects)
    assert_notes(info.value, [f"scene mesh {scene.mesh_file}"])
    assert outputs(scene) == before


@pytest.mark.parametrize("name, content, kind", [
    ("points.ply", lambda path: trimesh.PointCloud(np.eye(3)).export(path), "PointCloud"),
    ("points.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\n", "PointCloud"),
    ("no_faces.off", "OFF\n3 0 0\n0 0 0\n1 0 0\n0 1 0\n", "Trimesh"),
    ("empty.stl", "solid x\nendsolid x\n", "Scene"),
])
def test_mesh_without_faces_writes_nothing(scene, done, objects, name, content, kind):
    path = os.path.join(scene.root_path, name)
    if callable(content):
        content(path)
    else:
        with open(path, "w") as f:
            f.write(content)
    scene = dataclasses.replace(scene, mesh_file=path)
    before = outputs(scene)
    for objs in (objects, []):
        with pytest.raises(ValueError) as info:
            run_cut(scene, objs)
        assert str(info.value) == f"scene mesh has no faces: {path} (trimesh read a {kind})"
        assert outputs(scene) == before
    with pytest.raises(ValueError, match=f"^{re.escape(path)}: the mesh has no faces "):  # the command's check
        quarnet.outputs.scene_mesh_bounds(path)


def test_file_of_several_meshes_is_cut_as_one(scene, capsys):
    a = trimesh.creation.box(extents=(1, 1, 1))
    b = trimesh.creation.icosphere(subdivisions=2, radius=0.5)
    placed = trimesh.transformations.translation_matrix((3, 0, 0))
    multi = trimesh.Scene()
    multi.add_geometry(a, node_name="a")
    multi.add_geometry(b, node_name="b", transform=placed)
    path = os.path.join(scene.root_path, "two.glb")
    multi.export(path)
    assert isinstance(trimesh.load(path), trimesh.Scene)
    scene = dataclasses.replace(scene, mesh_file=path)
    b_placed = b.copy().apply_transform(placed)

    run_cut(scene, [])
    remain = trimesh.load(os.path.join(scene.mask_path, "remain.ply"))
    assert face_set(remain) == face_set(a) | face_set(b_placed)
    np.testing.assert_array_equal(quarnet.outputs.scene_mesh_bounds(path), remain.bounds)  # the command's reading

    pcd = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(np.asarray(b_placed.vertices)))
    run_cut(scene, [(scene.object_names[0], pcd, pcd.get_axis_aligned_bounding_box())])
    folder = os.path.join(scene.mask_path, scene.object_names[0])
    assert face_set(trimesh.load(os.path.join(folder, "sub_mesh.ply"))) == face_set(b_placed)
    assert face_set(trimesh.load(os.path.join(scene.mask_path, "remain.ply"))) == face_set(a)


# ---- the output folder ------------------------------------------------------

def staged_files(scene):
    return [f for f in outputs(scene) if ".tmp-" in f]


def real_export(mesh):
    return trimesh.Trimesh.export(mesh, file_type="ply")


@pytest.fixture
def failing_export(monkeypatch):
    """fail(predicate, code): a mesh export to a path the predicate accepts
    writes half the file, then fails with OSError(code, ..., path)."""
    export = trimesh.Trimesh.export

    def fail(predicate, code=errno.ENOSPC):
        def patched(self, file_obj=None, *args, **kwargs):
            if isinstance(file_obj, str) and predicate(file_obj):
                data = real_export(self)
                with open(file_obj, "wb") as f:
                    f.write(data[: len(data) // 2])
                raise OSError(code, os.strerror(code), file_obj)
            return export(self, file_obj, *args, **kwargs)

        monkeypatch.setattr(trimesh.Trimesh, "export", patched)

    return fail


def in_folder(folder):
    return lambda path: os.path.dirname(path) == folder


def redo(scene, names):
    """Removes the objects' outputs, as before a run that cuts them again."""
    for name in names:
        for out in ("sub_mesh.ply", "sub_pcd.ply"):
            os.remove(os.path.join(scene.mask_path, name, out))


@pytest.mark.parametrize("code", [errno.ENOSPC, errno.EROFS, errno.EACCES])
def test_failed_sub_mesh_write_keeps_earlier_objects(scene, objects, reference, failing_export, capsys, code):
    first, second = (name for name, _, _ in objects)
    failing_export(in_folder(os.path.join(scene.mask_path, second)), code)
    with pytest.raises(OSError) as info:
        run_cut(scene, objects)
    assert info.value.errno == code
    assert_notes(info.value, [f"while writing {os.path.join(scene.mask_path, second, 'sub_mesh.ply')}"])
    # the first object is complete, the second left undone, no partial or staged file
    assert outputs(scene) == {k: v for k, v in reference.items() if k.startswith(first + "/")}


def test_failed_remainder_write_keeps_the_earlier_one(scene, objects, reference, failing_export, capsys):
    run_cut(scene, objects)
    redo(scene, [name for name, _, _ in objects])
    failing_export(in_folder(scene.mask_path))
    with pytest.raises(OSError) as info:
        run_cut(scene, objects)
    assert info.value.errno == errno.ENOSPC
    assert_notes(info.value, [f"while writing {os.path.join(scene.mask_path, 'remain.ply')}"])
    assert outputs(scene) == reference


def test_failed_flush_to_disk(scene, objects, reference, monkeypatch, capsys):
    fsync = os.fsync

    def full(fd):
        if os.readlink(f"/proc/self/fd/{fd}").startswith(os.path.join(scene.mask_path, "")):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        return fsync(fd)

    monkeypatch.setattr(os, "fsync", full)
    with pytest.raises(OSError) as info:
        run_cut(scene, objects)
    first = objects[0][0]
    assert_notes(info.value, [f"while writing {os.path.join(scene.mask_path, first, 'sub_pcd.ply')}"])
    assert outputs(scene) == {}


def immutable(path):
    """Makes a folder read-only even for root (chattr +i); skips where the file system cannot."""
    if shutil.which("chattr") is None:
        pytest.skip("chattr is not installed")
    done = subprocess.run(["chattr", "+i", path], capture_output=True)
    if done.returncode != 0:
        pytest.skip(f"chattr +i is not supported here: {done.stderr.decode().strip()}")
    return path


@pytest.fixture
def read_only():
    folders = []
    yield lambda path: folders.append(immutable(path))
    for path in folders:
        subprocess.run(["chattr", "-i", path], check=True)


def test_read_only_object_folder(scene, objects, reference, read_only, capsys):
    first, second = (name for name, _, _ in objects)
    read_only(os.path.join(scene.mask_path, second))
    with pytest.raises(PermissionError) as info:
        run_cut(scene, objects)
    assert_notes(info.value, [f"while writing {os.path.join(scene.mask_path, second, 'sub_mesh.ply')}"])
    assert outputs(scene) == {k: v for k, v in reference.items() if k.startswith(first + "/")}


def test_read_only_mask_folder(scene, objects, reference, read_only, capsys):
    run_cut(scene, objects)
    redo(scene, [name for name, _, _ in objects])
    read_only(scene.mask_path)
    with pytest.raises(PermissionError) as info:
        run_cut(scene, objects)
    assert_notes(info.value, [f"while writing {os.path.join(scene.mask_path, 'remain.ply')}"])
    assert outputs(scene) == reference


# ---- writers that report success for a short file -----------------------------

def cut_short(write):
    """A writer that writes the whole file, cuts it to half and reports success."""
    def writer(*args):
        done = write(*args)
        path = args[1] if isinstance(args[0], trimesh.Trimesh) else args[0]
        os.truncate(path, os.path.getsize(path) // 2)
        return done

    return writer


@pytest.mark.parametrize("output", ["sub_mesh.ply", "sub_pcd.ply"])
def test_short_file_reported_as_written_is_refused(scene, objects, reference, monkeypatch, capsys, output):
    first, second = (name for name, _, _ in objects)
    folder = os.path.join(scene.mask_path, second)
    if output == "sub_pcd.ply":
        write = o3d.io.write_point_cloud
        monkeypatch.setattr(o3d.io, "write_point_cloud",
                            lambda path, pcd: (cut_short(write) if os.path.dirname(path) == folder else write)(path, pcd))
    else:
        export = trimesh.Trimesh.export
        monkeypatch.setattr(trimesh.Trimesh, "export", lambda self, path: (
            cut_short(export) if os.path.dirname(path) == folder else export)(self, path))
    with pytest.raises(OSError) as info:
        run_cut(scene, objects)
    # the disk has room, so the cause is not a full disk
    assert info.value.errno == errno.EIO
    assert info.value.strerror.startswith(f"{os.strerror(errno.EIO)}; incomplete PLY file: it holds ")
    assert os.path.dirname(info.value.filename) == folder and ".tmp-" in info.value.filename
    assert_notes(info.value, [f"while writing {os.path.join(folder, output)}"])
    assert outputs(scene) == {k: v for k, v in reference.items() if k.startswith(first + "/")}


# ---- a full disk ------------------------------------------------------------------

PAGE = 4096


@pytest.fixture
def small_disk(tmp_path):
    """small_disk(size): a folder on a fresh tmpfs of `size` bytes, mounted as
    root; skips the test where mounting is refused."""
    mounted = []

    def mount(size):
        folder = tmp_path / f"disk{len(mounted)}"
        folder.mkdir()
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(folder)], capture_output=True)
        if done.returncode != 0:
            pytest.skip(f"cannot mount a tmpfs here: {done.stderr.decode().strip() or done.returncode}")
        mounted.append(folder)
        return folder

    yield mount
    for folder in mounted:  # lazily: Open3D keeps the file of a failed write open
        subprocess.run(["umount", "--lazy", str(folder)], check=True)


def test_full_disk_never_leaves_a_marker_for_incomplete_files(pristine, objects, reference, small_disk, capsys):
    """The mask folder on disks too small at every write: each write in turn
    fails with ENOSPC naming its file, and what stays in place is complete."""
    order = [f"{name}/{out}" for name, _, _ in objects for out in ("sub_mesh.ply", "sub_pcd.ply")] + ["remain.ply"]
    pages = [-(-len(reference[key]) // PAGE) for key in order]
    # size=0 would mean no limit to tmpfs: one page at least
    sizes = sorted({PAGE * max(1, sum(pages[:k]) + part) for k in range(len(order)) for part in (0, pages[k] // 2, pages[k] - 1)})
    failed = set()
    for size in sizes + [PAGE * (sum(pages) + 4)]:
        masks = small_disk(size) / "masks"
        for name, _, _ in objects:
            (masks / name).mkdir(parents=True)
        on_disk = dataclasses.replace(pristine, mask_path=str(masks))
        try:
            run_cut(on_disk, objects)
        except OSError as error:
            assert error.errno == errno.ENOSPC, (size, error)
            (note,) = getattr(error, "__notes__", ["while writing ?"])
            failed.add(os.path.relpath(note.removeprefix("while writing "), masks))
        else:
            assert size > PAGE * sum(pages)
        left = outputs(on_disk)
        assert {k: v for k, v in reference.items() if k in left} == left, size  # whole files only, nothing staged
        assert all(k.replace("sub_mesh", "sub_pcd") in left for k in left), size  # no marker without its cloud
    if hasattr(BaseException, "add_note"):
        assert failed == set(order)  # every write was hit
    capsys.readouterr()
