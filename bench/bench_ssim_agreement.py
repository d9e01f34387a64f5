"""How closely the fused SSIM map (the stand-in kernels) and the windowed
map of morlith.ssim agree on natural-like image pairs, and how far each lies
from an exact evaluation (float64 images, float64 Gaussian window).

    python bench/bench_ssim_agreement.py [--seeds N]

The pairs come from quarnet.testing.natural_images: gradients, textures,
edges, bright and dark flat patches, the second image blurred, shifted and
noisy. Prints, per dtype, the largest difference over every pixel of every
pair for each comparison, and the largest difference of the means (the
loss). docs/modules.md quotes these figures.
"""

import argparse

import torch

import morlith
from quarnet.testing.natural_images import natural_pair
from quarnet.testing.ssim_maps import gaussian_window_f64, ssim_map_of, standin_kernels

SHAPES = [(1, 3, 256, 256), (2, 3, 128, 192), (1, 1, 480, 640)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=4)
    seeds = parser.parse_args().seeds
    kernels = standin_kernels()
    worst = {}
    for seed in range(seeds):
        for shape in SHAPES:
            a, b = (torch.from_numpy(x) for x in natural_pair(shape, "float64", seed))
            exact = ssim_map_of(morlith._ssim, a, b, gaussian_window_f64(shape[1]), 11, shape[1])
            for dtype in (torch.float32, torch.float64):
                x, y = a.to(dtype), b.to(dtype)
                fused = kernels.fusedssim(morlith.C1, morlith.C2, x, y).double()
                windowed = ssim_map_of(morlith.ssim, x, y).double()
                for name, value in [("fused - windowed", (fused - windowed).abs().max()),
                                    ("fused - exact", (fused - exact).abs().max()),
                                    ("windowed - exact", (windowed - exact).abs().max()),
                                    ("mean: fused - windowed", (fused.mean() - windowed.mean()).abs())]:
                    key = (str(dtype).removeprefix("torch."), name)
                    worst[key] = max(worst.get(key, 0.0), value.item())
    print(f"largest differences over {seeds} seeds x {len(SHAPES)} shapes of natural-like pairs")
    for (dtype, name), value in worst.items():
        print(f"  {dtype:8} {name:24} {value:.2e}")


if __name__ == "__main__":
    main()
