"""The picture of a segmentation (what `quarnet show` and the demo draw)."""

from .camera import Camera, camera_from_bounds, camera_from_view
from .draw import PALETTE, REMAIN_GREY, draw_legend, face_colours, object_colour, render, segmentation_picture, write_png

__all__ = ["Camera", "camera_from_bounds", "camera_from_view", "PALETTE", "REMAIN_GREY", "draw_legend",
           "face_colours", "object_colour", "render", "segmentation_picture", "write_png"]
