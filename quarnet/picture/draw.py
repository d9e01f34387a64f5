"""The two-panel picture of a segmentation: the scene mesh in its own colours
on the left; each object's sub-mesh in its own colour and the remainder in
grey on the right; the legends in a band below the panels."""

from __future__ import annotations

import os

import cv2
import numpy as np

from quarnet import outputs
from quarnet.output_file import write_whole
from quarnet.colours import REMAIN_GREY, object_colour
from quarnet.raycast import cast, raycaster_of

# Peak bytes per pixel of one panel while a picture is drawn (the rays, the
# hits, the float image and shading of a render, both panels in turn and the
# picture itself): bench/bench_show.py --widths measures 142-148 on widths of
# 1600 to 6400 pixels.
BYTES_PER_PIXEL = 160
UNCOLOURED = np.array([200, 200, 200], dtype=float)
BACKGROUND = np.array([250, 250, 250], dtype=float)
SCENE_LEGEND = (90, 90, 90)
GAP = 6  # white pixels between the panels
LEGEND_ROW = 22  # pixels per legend line
LEGEND_FONT = 0.5


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


def available_memory():
    """Bytes the process may still take: the kernel's estimate of memory
    available (MemAvailable), and the control group's limit less its use
    where one is set, the smaller; None where neither can be read."""
    found = []
    try:
        with open("/proc/meminfo") as f:
            found += [int(line.split()[1]) * 1024 for line in f if line.startswith("MemAvailable:")]
    except (OSError, ValueError, IndexError):
        pass
    try:
        with open("/sys/fs/cgroup/memory.max") as f, open("/sys/fs/cgroup/memory.current") as g:
            limit = f.read().strip()
            if limit != "max":
                found.append(int(limit) - int(g.read()))
    except (OSError, ValueError):
        pass
    return min(found) if found else None


def require_memory(width, height):
    """ValueError, one line, when drawing a picture of two panels of `width` x
    `height` pixels would take more memory than the process may still take."""
    need, free = BYTES_PER_PIXEL * width * height, available_memory()
    if free is not None and need > free:
        raise ValueError(f"a picture of two {width}x{height} panels needs about {need / 2**30:.1f} GiB of memory, "
                         f"{max(free, 0) / 2**30:.1f} GiB are available: ask for a smaller width")


def _text_width(text):
    return cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, LEGEND_FONT, 1)[0][0]


def legend_band(width, entries):
    """A white band `width` pixels wide listing (text, RGB colour) entries in
    as many columns as fit, row by row; tall enough for all of them."""
    column = max(_text_width(text) for text, _ in entries) + 40 if entries else width
    columns = max(1, min(len(entries), width // column)) if entries else 1
    rows = -(-len(entries) // columns)
    band = np.full((8 + LEGEND_ROW * rows, width, 3), 255, np.uint8)
    for k, (text, colour) in enumerate(entries):
        x, y = 12 + (k % columns) * column, 20 + LEGEND_ROW * (k // columns)
        cv2.rectangle(band, (x, y - 12), (x + 14, y + 2), tuple(int(c) for c in colour), -1)
        cv2.putText(band, text, (x + 22, y), cv2.FONT_HERSHEY_SIMPLEX, LEGEND_FONT, (40, 40, 40), 1, cv2.LINE_AA)
    return band


def _with_faces(mesh):
    return mesh if mesh is not None and len(mesh.faces) else None


def read_segmentation(mask_path, object_names, problems=None):
    """The outputs of the segmentation in `mask_path`: one (name, colour,
    sub-mesh or None, unreadable) row per object of `object_names`, in that
    order, and (remainder or None, unreadable). A file that cannot be read
    counts as missing, and its message, naming it, is appended to the list
    `problems`."""
    def read(path):
        mesh, problem = outputs.try_load_mesh(path)
        if problem is not None and problems is not None:
            problems.append(problem)
        return _with_faces(mesh), problem is not None

    read_rows = [(name, object_colour(k), *read(os.path.join(mask_path, name, outputs.SUB_MESH)))
                 for k, name in enumerate(object_names)]
    return read_rows, read(os.path.join(mask_path, outputs.REMAIN))


def segmentation_picture(scene_mesh, mask_path, object_names, camera, problems=None, read=None):
    """The picture of the segmentation in `mask_path` of `scene_mesh`, objects
    coloured and listed in the order of `object_names`. Returns the RGB image
    and one (name, colour, sub-mesh or None) row per object, then the
    remainder's row. An output file that cannot be read is drawn as missing
    and its message, naming it, is appended to the list `problems`. `read`:
    what read_segmentation returned for them, where the caller read it already."""
    before = render([(scene_mesh, face_colours(scene_mesh))], camera)
    read_rows, (remain_mesh, remain_unreadable) = read or read_segmentation(mask_path, object_names, problems)
    rows = [row[:3] for row in read_rows]
    remain = ("remain", REMAIN_GREY, remain_mesh)
    after = render([(mesh, np.tile(colour, (len(mesh.faces), 1))) for _, colour, mesh in rows + [remain]
                    if mesh is not None], camera)
    left = legend_band(camera.width, [("scene mesh", SCENE_LEGEND)])
    legend = [(name if mesh is not None else f"{name} ({'unreadable' if bad else 'no sub-mesh'})", colour)
              for name, colour, mesh, bad in read_rows]
    right = legend_band(camera.width, legend + [("remain (unreadable)" if remain_unreadable else "remain", REMAIN_GREY)])
    band = max(left.shape[0], right.shape[0])
    left, right = (np.pad(b, ((0, band - b.shape[0]), (0, 0), (0, 0)), constant_values=255) for b in (left, right))
    gap = np.full((camera.height + band, GAP, 3), 255, np.uint8)
    panels = [np.concatenate([before, left]), gap, np.concatenate([after, right])]
    return np.concatenate(panels, axis=1), rows + [remain]


def write_png(path, image):
    """Writes an RGB image as PNG, as output_file.write_whole writes bytes."""
    ok, data = cv2.imencode(".png", cv2.cvtColor(image, cv2.COLOR_RGB2BGR))
    if not ok:
        raise ValueError(f"{path}: cannot encode the picture as PNG")
    write_whole(path, data.tobytes())
