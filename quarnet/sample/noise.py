"""Masks and depth maps as real pipelines give them: a segmentation model's
masks (outlines off by 1 to 3 px, mostly bleeding outwards, small holes,
false blobs, an object missed in some views) and depth with 0.3 % noise."""

import dataclasses

import cv2
import numpy as np


@dataclasses.dataclass(frozen=True)
class Noise:
    bleed: tuple = (1.0, 3.0)  # px an outline moves outwards ...
    shrink: tuple = (0.5, 1.5)  # ... or inwards, in `shrinking` of the masks
    shrinking: float = 0.2
    wobble: float = 0.8  # px of smooth variation along an outline
    holes: float = 0.3  # share of masks with 1 to 3 holes of radius 1 to 3 px
    blobs: float = 0.08  # share of masks with a false blob
    missed: float = 0.05  # share of an object's masks that miss it
    depth: float = 0.003  # relative standard deviation of depth


SEGMENTER = Noise()


def _smooth_field(shape, rng, cell=24):
    """A smooth random field in [-1, 1] over an image of `shape`."""
    h, w = shape
    coarse = rng.uniform(-1, 1, (max(2, h // cell + 2), max(2, w // cell + 2))).astype(np.float32)
    return cv2.resize(coarse, (w, h), interpolation=cv2.INTER_CUBIC).clip(-1, 1)


def noisy_mask(clean, noise, rng):
    """An 8-bit mask (255 = the object) as a segmentation model might give for
    the exact boolean mask `clean`."""
    shape = clean.shape
    if clean.any() and rng.random() < noise.missed:
        mask = np.zeros(shape, dtype=bool)
    elif clean.any():
        inside = cv2.distanceTransform(clean.astype(np.uint8), cv2.DIST_L2, 5)
        outside = cv2.distanceTransform((~clean).astype(np.uint8), cv2.DIST_L2, 5)
        signed = np.where(clean, inside - 0.5, 0.5 - outside)  # > 0 inside, outline at 0
        if rng.random() < noise.shrinking:
            offset = -rng.uniform(*noise.shrink)
        else:
            offset = rng.uniform(*noise.bleed)
        mask = (signed + offset + noise.wobble * _smooth_field(shape, rng) > 0).astype(np.uint8)
        ys, xs = np.nonzero(mask)
        if len(ys) and rng.random() < noise.holes:
            for k in rng.integers(len(ys), size=rng.integers(1, 4)):
                cv2.circle(mask, (int(xs[k]), int(ys[k])), int(rng.integers(1, 4)), 0, -1)
        mask = mask > 0
    else:
        mask = np.zeros(shape, dtype=bool)
    if rng.random() < noise.blobs:
        h, w = shape
        centre = (int(rng.integers(w)), int(rng.integers(h)))
        axes = tuple(int(a) for a in rng.integers(3, 4 + max(h, w) // 24, size=2))
        blob = np.zeros(shape, dtype=np.uint8)
        cv2.ellipse(blob, centre, axes, float(rng.uniform(0, 180)), 0, 360, 1, -1)
        mask |= blob.astype(bool)
    return np.where(mask, 255, 0).astype(np.uint8)


def noisy_depth(depth, noise, rng):
    """`depth` with relative Gaussian noise where it has a value."""
    return np.where(depth > 0, depth * (1 + rng.normal(0, noise.depth, depth.shape)), 0).astype(np.float32)
