"""The picture of a segmentation (what `quarnet show` and the demo draw)."""

from quarnet.colours import PALETTE, REMAIN_GREY, object_colour

from .camera import Camera, camera_from_bounds, camera_from_view, cameras_of_views
from .draw import face_colours, legend_band, read_segmentation, render, segmentation_picture, write_png, write_whole

__all__ = ["Camera", "camera_from_bounds", "camera_from_view", "cameras_of_views", "PALETTE", "REMAIN_GREY",
           "face_colours", "legend_band", "object_colour", "read_segmentation", "render", "segmentation_picture",
           "write_png", "write_whole"]
