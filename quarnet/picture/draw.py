"""The two-panel picture of a segmentation: the scene mesh in its own colours
on the left; each object's sub-mesh in its palette colour and the remainder in
grey on the right; a legend in each panel."""

from __future__ import annotations

import os
import tempfile

import cv2
import numpy as np

from quarnet import outputs
from quarnet.raycast import cast, raycaster_of

# Object k is drawn in PALETTE[k % len(PALETTE)] (the sample scene paints its objects so too).
PALETTE = np.array(
    [[214, 69, 65], [52, 152, 219], [46, 204, 113], [241, 196, 15], [155, 89, 182],
     [230, 126, 34], [26, 188, 156], [236, 112, 160], [127, 140, 41], [93, 109, 226]],
    dtype=np.uint8,
)
REMAIN_GREY = np.array([150, 150, 150], dtype=float)
UNCOLOURED = np.array([200, 200, 200], dtype=float)
BACKGROUND = np.array([250, 250, 250], dtype=float)
SCENE_LEGEND = (90, 90, 90)
GAP = 6  # white pixels between the panels


def object_colour(k):
    return PALETTE[k % len(PALETTE)].astype(float)


def face_colours(mesh):
    """RGB per face from the mesh's own vertex or face colours; grey when it has none."""
    kind = mesh.visual.kind
    if kind == "vertex":
        return np.asarray(mesh.visual.vertex_colors)[:, :3].astype(float)[mesh.faces].mean(axis=1)
    if kind == "face":
        return np.asarray(mesh.visual.face_colors)[:, :3].astype(float)
    return np.tile(UNCOLOURED, (len(mesh.faces), 1))


def render(meshes, camera):
    """Ray-casts (mesh, colour-per-face) pairs from `camera`; returns an RGB
    image with simple diffuse shading."""
    present = [(m, c) for m, c in meshes if m is not None]
    scene = raycaster_of([(m.vertices, m.faces) for m, _ in present])
    _, prim, geom, normals = cast(scene, camera.eye, camera.R_cw, camera.K, camera.width, camera.height)
    hit = geom != scene.INVALID_ID
    image = np.tile(BACKGROUND, (camera.height, camera.width, 1))
    light = np.array([0.35, -0.45, 0.82])
    light /= np.linalg.norm(light)
    shade = 0.35 + 0.65 * np.abs(normals @ light)
    for g, (_, colours) in enumerate(present):
        sel = hit & (geom == g)
        image[sel] = colours[prim[sel]] * shade[sel, None]
    return np.clip(image, 0, 255).astype(np.uint8)


def draw_legend(image, entries):
    """(text, RGB colour) entries, one per line, in the top left corner."""
    for k, (text, colour) in enumerate(entries):
        y = 24 + 22 * k
        cv2.rectangle(image, (12, y - 12), (26, y + 2), tuple(int(c) for c in colour), -1)
        cv2.putText(image, text, (34, y), cv2.FONT_HERSHEY_SIMPLEX, 0.5, (40, 40, 40), 1, cv2.LINE_AA)


def _with_faces(mesh):
    return mesh if mesh is not None and len(mesh.faces) else None


def segmentation_picture(scene_mesh, mask_path, object_names, camera, problems=None):
    """The picture of the segmentation in `mask_path` of `scene_mesh`, objects
    coloured and listed in the order of `object_names`. Returns the RGB image
    and one (name, colour, sub-mesh or None) row per object, then the
    remainder's row. An output file that cannot be read is drawn as missing
    and its message, naming it, is appended to the list `problems`."""
    def read(path):
        mesh, problem = outputs.try_load_mesh(path)
        if problem is not None and problems is not None:
            problems.append(problem)
        return _with_faces(mesh), problem is not None

    before = render([(scene_mesh, face_colours(scene_mesh))], camera)
    read_rows = [(name, object_colour(k), *read(os.path.join(mask_path, name, outputs.SUB_MESH)))
                 for k, name in enumerate(object_names)]
    remain_mesh, remain_unreadable = read(os.path.join(mask_path, outputs.REMAIN))
    rows = [row[:3] for row in read_rows]
    remain = ("remain", REMAIN_GREY, remain_mesh)
    after = render([(mesh, np.tile(colour, (len(mesh.faces), 1))) for _, colour, mesh in rows + [remain]
                    if mesh is not None], camera)
    draw_legend(before, [("scene mesh", SCENE_LEGEND)])
    legend = [(name if mesh is not None else f"{name} ({'unreadable' if bad else 'no sub-mesh'})", colour)
              for name, colour, mesh, bad in read_rows]
    draw_legend(after, legend + [("remain (unreadable)" if remain_unreadable else "remain", REMAIN_GREY)])
    gap = np.full((camera.height, GAP, 3), 255, np.uint8)
    return np.concatenate([before, gap, after], axis=1), rows + [remain]


def write_png(path, image):
    """Writes an RGB image as PNG; the file appears complete or not at all."""
    ok, data = cv2.imencode(".png", cv2.cvtColor(image, cv2.COLOR_RGB2BGR))
    if not ok:
        raise ValueError(f"{path}: cannot encode the picture as PNG")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise FileNotFoundError(2, "No such file or directory", folder)
    fd, temp = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(f.fileno(), 0o666 & ~umask)  # the mode a plain open() gives
            f.write(data.tobytes())
        os.replace(temp, path)
    except BaseException:
        if os.path.exists(temp):
            os.unlink(temp)
        raise
