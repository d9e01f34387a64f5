"""The picture of a check: for each object, the view where the render
agrees least with its mask, mask against render."""

from __future__ import annotations

import math

import cv2
import numpy as np

BOTH = (46, 160, 67)  # the mask and the render show the object
MASK_ONLY = (214, 39, 40)  # the mask shows it, the render shows another surface or nothing
RENDER_ONLY = (31, 119, 180)  # the render shows it, the mask does not
SURFACE = (205, 205, 205)  # another surface
BACKGROUND = (250, 250, 250)
TEXT = (40, 40, 40)
CAPTION = 24  # pixels above each tile
LEGEND = 34  # pixels below the tiles
COLUMNS = 4


def _crop(worst, aspect):
    """The window onto the object in its view: the box of its mask and render,
    grown by half its size on every side, widened to `aspect` (width / height)
    and kept within the image."""
    h, w = worst.mask.shape
    rows, cols = np.nonzero(worst.mask | worst.rendered)
    if len(rows) == 0:
        return 0, h, 0, w
    cy, cx = (rows.min() + rows.max() + 1) / 2, (cols.min() + cols.max() + 1) / 2
    half_h = max(rows.max() + 1 - rows.min(), (cols.max() + 1 - cols.min()) / aspect, 16) * 1.0
    half_h = min(half_h, h / 2, w / 2 / aspect)
    half_w = half_h * aspect
    top = int(round(min(max(cy - half_h, 0), h - 2 * half_h)))
    left = int(round(min(max(cx - half_w, 0), w - 2 * half_w)))
    return top, top + int(round(2 * half_h)), left, left + int(round(2 * half_w))


def _tile(worst, width, height):
    image = np.empty(worst.mask.shape + (3,), np.uint8)
    image[:] = BACKGROUND
    image[worst.surface] = SURFACE
    image[worst.mask & ~worst.rendered] = MASK_ONLY
    image[worst.rendered & ~worst.mask] = RENDER_ONLY
    image[worst.rendered & worst.mask] = BOTH
    top, bottom, left, right = _crop(worst, width / height)
    return cv2.resize(image[top:bottom, left:right], (width, height), interpolation=cv2.INTER_NEAREST)


def _text(image, text, x, y, scale=0.45):
    cv2.putText(image, text, (x, y), cv2.FONT_HERSHEY_SIMPLEX, scale, TEXT, 1, cv2.LINE_AA)


def worst_view_picture(agreements, tile_width=320):
    """An RGB image with one tile per object that has a view: its worst view
    around the object, captioned with the object, the view and its IoU; a
    legend below. None when no object has a view."""
    shown = [a for a in agreements if a.worst is not None]
    if not shown:
        return None
    tiles = [_tile(a.worst, tile_width, tile_width * 3 // 4) for a in shown]
    columns = min(COLUMNS, len(tiles))
    rows = math.ceil(len(tiles) / columns)
    cell_h = CAPTION + max(t.shape[0] for t in tiles)
    gap = 6
    out = np.full((rows * (cell_h + gap) + LEGEND, columns * (tile_width + gap) + gap, 3), 255, np.uint8)
    for k, (a, tile) in enumerate(zip(shown, tiles)):
        x, y = gap + (k % columns) * (tile_width + gap), (k // columns) * (cell_h + gap)
        iou = a.views[a.worst.image_id].iou
        _text(out, f"{a.name}  view {a.worst.image_id}  IoU {iou:.2f}", x, y + CAPTION - 8)
        out[y + CAPTION:y + CAPTION + tile.shape[0], x:x + tile_width] = tile
    y, x = out.shape[0] - LEGEND // 2 + 5, gap
    for colour, label in ((BOTH, "mask and render"), (MASK_ONLY, "mask only"), (RENDER_ONLY, "render only"),
                          (SURFACE, "other surfaces")):
        cv2.rectangle(out, (x, y - 11), (x + 14, y + 3), colour, -1)
        _text(out, label, x + 20, y)
        x += 40 + 9 * len(label)
    return out
