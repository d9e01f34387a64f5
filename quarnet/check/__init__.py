"""How well a segmentation agrees with the masks it came from, without
ground truth: each object's sub-mesh, seen from the cameras of its masks."""

from .agreement import ObjectAgreement, ViewScore, check_segmentation
from .picture import worst_view_picture

__all__ = ["ObjectAgreement", "ViewScore", "check_segmentation", "worst_view_picture"]
