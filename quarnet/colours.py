"""The colour of each object, one rule for every picture and for the sample
scene that paints its objects so: the palette's for the first ten, hues a
golden angle apart after them; the remainder's grey is none of them."""

from __future__ import annotations

import cv2
import numpy as np

PALETTE = np.array(
    [[214, 69, 65], [52, 152, 219], [46, 204, 113], [241, 196, 15], [155, 89, 182],
     [230, 126, 34], [26, 188, 156], [236, 112, 160], [127, 140, 41], [93, 109, 226]],
    dtype=np.uint8,
)
REMAIN_GREY = np.array([150, 150, 150], dtype=float)


def object_colour(k):
    """The RGB colour of the k-th object: the palette's, then hues a golden
    angle apart, in two saturations and two brightnesses, none grey or twice."""
    if k < len(PALETTE):
        return PALETTE[k].astype(float)
    hue = (k * 0.6180339887) % 1.0
    saturation = 0.75 if k % 2 else 0.55
    value = 0.9 if (k // 2) % 2 else 0.7
    hsv = np.uint8([[[round(hue * 180) % 180, round(saturation * 255), round(value * 255)]]])
    return cv2.cvtColor(hsv, cv2.COLOR_HSV2RGB)[0, 0].astype(float)
