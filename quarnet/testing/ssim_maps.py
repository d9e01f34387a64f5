"""What the SSIM tests and benchmarks compare: the map that ssim/_ssim
average, a float64 Gaussian window, and the fused-kernel stand-in."""

import contextlib
import importlib.util
import math
from importlib.machinery import PathFinder

import torch
from torch.overrides import TorchFunctionMode


class _MeanRecorder(TorchFunctionMode):
    def __init__(self):
        super().__init__()
        self.reduced = []

    def __torch_function__(self, func, types, args=(), kwargs=None):
        if func is torch.Tensor.mean:
            self.reduced.append(args[0])
        return func(*args, **(kwargs or {}))


@contextlib.contextmanager
def recorded_means():
    """Records every tensor whose .mean() is taken inside the block (in order)."""
    with _MeanRecorder() as recorder:
        yield recorder.reduced


def ssim_map_of(function, *args, **kwargs):
    """The map that an SSIM function reduces, as it computed it."""
    with recorded_means() as reduced:
        function(*args, **kwargs)
    return reduced[0]


def gaussian_window_f64(channel, window_size=11, sigma=1.5):
    """The normalised Gaussian window, computed and kept in float64."""
    g = torch.tensor([math.exp(-((x - window_size // 2) ** 2) / (2 * sigma**2)) for x in range(window_size)],
                     dtype=torch.float64)
    g = g / g.sum()
    return (g[:, None] * g[None, :]).expand(channel, 1, window_size, window_size).contiguous()


def standin_kernels():
    """quarnet's own diff_gaussian_rasterization._C, loaded from its folder (sys.path stays as it is)."""
    from quarnet._standins import fused_ssim_path

    package = PathFinder.find_spec("diff_gaussian_rasterization", [fused_ssim_path()])
    found = PathFinder.find_spec("diff_gaussian_rasterization._C", package.submodule_search_locations)
    kernels = importlib.util.module_from_spec(found)
    found.loader.exec_module(kernels)
    return kernels
