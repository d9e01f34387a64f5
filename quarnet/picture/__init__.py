"""The picture of a segmentation (what `quarnet show` and the demo draw)."""

from quarnet.colours import PALETTE, REMAIN_GREY, object_colour

from .camera import Camera, camera_from_bounds, camera_from_view, cameras_of_views, views_of
from .draw import (BYTES_PER_PIXEL, available_memory, face_colours, legend_band, read_segmentation, render,
                   require_memory, segmentation_picture, write_png)

__all__ = ["BYTES_PER_PIXEL", "available_memory", "Camera", "camera_from_bounds", "camera_from_view",
           "cameras_of_views", "PALETTE", "REMAIN_GREY", "face_colours", "legend_band", "object_colour",
           "read_segmentation", "render", "require_memory", "segmentation_picture", "views_of", "write_png"]
