"""quarnet: per-object training data from reconstructed 3-D scenes.

Modules: quarnet.mesh_seg.Tessaron (scene mesh segmentation),
quarnet.gaussian_seg.Vorlantide (batch training driver), and the top-level
module morlith (image-similarity losses).
"""


def version():
    """The installed package's version."""
    from importlib import metadata

    try:
        return metadata.version("quarnet")
    except metadata.PackageNotFoundError:
        return "unknown (not installed)"
