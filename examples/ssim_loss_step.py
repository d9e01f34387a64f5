"""One optimisation step on an image with morlith's losses: the usual
0.8 * L1 + 0.2 * (1 - SSIM) objective, with the fused SSIM when its native
kernels are available and the windowed SSIM otherwise.

    python examples/ssim_loss_step.py

The fused kernels come from diff_gaussian_rasterization._C: a real
rasteriser if one is installed, else quarnet's stand-in, appended to the path
before morlith is imported.
"""

import sys

import torch

from quarnet._standins import fused_ssim_path

sys.path.append(fused_ssim_path())  # found only where no real rasteriser is installed
import morlith  # noqa: E402


def main():
    generator = torch.Generator().manual_seed(0)
    gt = torch.rand(1, 3, 128, 128, generator=generator)
    image = (gt + 0.1 * torch.randn(1, 3, 128, 128, generator=generator)).clamp(0, 1).requires_grad_()
    fused = hasattr(morlith, "fusedssim") and hasattr(morlith, "fusedssim_backward")
    similarity = morlith.fast_ssim if fused else morlith.ssim
    optimizer = torch.optim.Adam([image], lr=0.01)
    for step in range(3):
        optimizer.zero_grad()
        l1 = morlith.l1_loss(image, gt)
        s = similarity(image, gt)
        loss = 0.8 * l1 + 0.2 * (1 - s)
        loss.backward()
        optimizer.step()
        print(f"step {step}: L1 {l1.item():.5f}  SSIM {s.item():.5f} ({similarity.__name__})  loss {loss.item():.5f}")


if __name__ == "__main__":
    main()
