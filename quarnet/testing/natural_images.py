"""Image pairs like those SSIM compares in training (a render against its
photograph), made from a seed: smooth gradients, fine and coarse textures,
edges, and bright and dark flat patches, where the SSIM formula is least
forgiving (the local variance is near C2 there). The second image is the
first, slightly blurred, shifted in brightness and noisy, as a render is."""

import numpy as np


def _blur(image, passes):
    """A cheap low-pass: `passes` box filters of width 3 along both axes."""
    for _ in range(passes):
        padded = np.pad(image, ((1, 1), (1, 1)), mode="edge")
        image = (padded[:-2, 1:-1] + padded[1:-1, 1:-1] + padded[2:, 1:-1]) / 3
        padded = np.pad(image, ((1, 1), (1, 1)), mode="edge")
        image = (padded[1:-1, :-2] + padded[1:-1, 1:-1] + padded[1:-1, 2:]) / 3
    return image


def natural_plane(height, width, rng):
    """One channel in [0, 1]: gradient + soft texture + stripes + flat patches."""
    y, x = np.mgrid[0:height, 0:width] / max(height, width)
    angle = rng.uniform(0, 2 * np.pi)
    plane = 0.35 + 0.3 * (np.cos(angle) * x + np.sin(angle) * y)
    plane += 0.15 * _blur(rng.standard_normal((height, width)), 6) * 3
    frequency = rng.uniform(20, 60)
    stripes = 0.08 * np.sin(2 * np.pi * frequency * (x * np.cos(angle + 1) + y * np.sin(angle + 1)))
    band = (x > rng.uniform(0.1, 0.4)) & (x < rng.uniform(0.5, 0.8))
    plane += np.where(band, stripes, 0)
    for level in (rng.uniform(0.93, 1.0), rng.uniform(0.93, 1.0), rng.uniform(0.0, 0.05)):
        top, left = rng.integers(0, height * 3 // 4), rng.integers(0, width * 3 // 4)
        plane[top : top + height // 4, left : left + width // 4] = level  # a flat patch with hard edges
    return np.clip(plane, 0, 1)


def natural_pair(shape, dtype="float32", seed=0):
    """(img1, img2) as numpy arrays of `shape` (N, C, H, W) and `dtype`."""
    rng = np.random.default_rng(seed)
    n, c, h, w = shape
    img1 = np.stack([np.stack([natural_plane(h, w, rng) for _ in range(c)]) for _ in range(n)])
    img2 = np.empty_like(img1)
    for i in range(n):
        for k in range(c):
            render = _blur(img1[i, k], 1) * rng.uniform(0.97, 1.0) + rng.uniform(-0.01, 0.01)
            img2[i, k] = np.clip(render + 0.01 * rng.standard_normal((h, w)), 0, 1)
    return img1.astype(dtype), img2.astype(dtype)
