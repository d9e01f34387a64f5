"""Stand-ins for outside native modules that quarnet's modules call.

The fused SSIM of ``morlith`` calls ``diff_gaussian_rasterization._C``, which
the real training environment's rasteriser supplies. The wheel carries
quarnet's own implementation of those kernels in this folder, which is not on
``sys.path``, so it never shadows a real rasteriser. To use it::

    import sys
    from quarnet._standins import fused_ssim_path
    sys.path.append(fused_ssim_path())   # before the first `import morlith`

Appended at the end, it is found only where no real package of that name is
installed. (Building with ``-DQUARNET_INSTALL_FUSED_SSIM=ON`` installs it as
the top-level package instead.)
"""

import os


def fused_ssim_path():
    """The folder to put on sys.path so that diff_gaussian_rasterization._C is quarnet's stand-in."""
    # An editable install keeps the built stand-in apart from this source file;
    # the package path lists both folders.
    for folder in __path__:
        if os.path.isdir(os.path.join(folder, "diff_gaussian_rasterization")):
            return os.path.abspath(folder)
    return os.path.dirname(os.path.abspath(__file__))
