"""The sample scene's mesh: a ground plane with boxes, spheres, cylinders and
tori standing on it, some of them touching, in vertex colours."""

import dataclasses
import math

import numpy as np

from quarnet.colours import object_colour
from quarnet.outputs import by_name

GROUND = -1  # face label of the ground plane
KINDS = ("box", "sphere", "cylinder", "box", "torus", "sphere", "box", "cylinder")
ROUND = {"sphere", "cylinder", "torus"}
GROUND_COLOUR = np.array([168, 160, 148], dtype=np.uint8)


def _patch(fn, nu, nv, wrap_u=False, wrap_v=False, pole_v0=False, pole_v1=False):
    """Triangulates the parametric surface fn(u, v), u and v in [0, 1], on an
    nu x nv grid. A wrapped direction closes on itself; a pole row collapses
    to one vertex (its cells become single triangles)."""
    cols = nu if wrap_u else nu + 1
    rows = nv if wrap_v else nv + 1
    us = np.arange(cols) / nu
    vertices, grid, count = [], [], 0
    for j in range(rows):
        v = np.full(1 if (j == 0 and pole_v0) or (j == nv and pole_v1) else cols, j / nv)
        pts = fn(us[: len(v)] * (len(v) > 1), v)
        vertices.append(pts)
        grid.append(np.arange(count, count + len(pts))[np.arange(nu + 1) % len(pts)])
        count += len(pts)
    if wrap_v:
        grid.append(grid[0])
    g = np.array(grid)  # (nv + 1) x (nu + 1) vertex index of every grid corner
    a, b, c, d = g[:-1, :-1], g[:-1, 1:], g[1:, 1:], g[1:, :-1]
    tris = np.stack([np.stack([a, b, c], -1), np.stack([a, c, d], -1)], axis=2).reshape(-1, 3)
    keep = (tris[:, 0] != tris[:, 1]) & (tris[:, 1] != tris[:, 2]) & (tris[:, 0] != tris[:, 2])
    return np.vstack(vertices), tris[keep].astype(np.int64)


def _join(parts):
    vertices, faces, offset = [], [], 0
    for v, f in parts:
        vertices.append(v)
        faces.append(f + offset)
        offset += len(v)
    return np.vstack(vertices), np.vstack(faces)


def _cells(length, step):
    return max(2, math.ceil(length / step))


def _plane(origin, du, dv, step):
    origin, du, dv = (np.asarray(x, dtype=float) for x in (origin, du, dv))
    fn = lambda u, v: origin + u[:, None] * du + v[:, None] * dv  # noqa: E731
    return _patch(fn, _cells(np.linalg.norm(du), step), _cells(np.linalg.norm(dv), step))


def _box(ex, ey, ez, step):
    x0, y0 = -ex / 2, -ey / 2
    return _join([
        _plane((x0, y0, 0), (0, ey, 0), (ex, 0, 0), step),  # bottom
        _plane((x0, y0, ez), (ex, 0, 0), (0, ey, 0), step),  # top
        _plane((x0, y0, 0), (ex, 0, 0), (0, 0, ez), step),
        _plane((x0, -y0, 0), (0, 0, ez), (ex, 0, 0), step),
        _plane((x0, y0, 0), (0, 0, ez), (0, ey, 0), step),
        _plane((-x0, y0, 0), (0, ey, 0), (0, 0, ez), step),
    ])


def _sphere(r, step):
    def fn(u, v):
        theta, phi = 2 * np.pi * u, np.pi * (v - 0.5)
        return np.column_stack([r * np.cos(phi) * np.cos(theta), r * np.cos(phi) * np.sin(theta), r + r * np.sin(phi)])

    return _patch(fn, _cells(2 * np.pi * r, step), _cells(np.pi * r, step), wrap_u=True, pole_v0=True, pole_v1=True)


def _cylinder(r, h, step):
    nu = _cells(2 * np.pi * r, step)
    ring = lambda u: (np.cos(2 * np.pi * u), np.sin(2 * np.pi * u))  # noqa: E731

    def side(u, v):
        c, s = ring(u)
        return np.column_stack([r * c, r * s, h * v])

    def cap(z, flip):
        def fn(u, v):
            c, s = ring(1 - u if flip else u)
            return np.column_stack([r * v * c, r * v * s, np.full(len(u), z)])

        return fn

    nr = _cells(r, step)
    return _join([
        _patch(side, nu, _cells(h, step), wrap_u=True),
        _patch(cap(h, False), nu, nr, wrap_u=True, pole_v0=True),
        _patch(cap(0.0, True), nu, nr, wrap_u=True, pole_v0=True),
    ])


def _torus(big, small, step):
    def fn(u, v):
        theta, psi = 2 * np.pi * u, 2 * np.pi * v
        ring = big + small * np.cos(psi)
        return np.column_stack([ring * np.cos(theta), ring * np.sin(theta), small + small * np.sin(psi)])

    return _patch(fn, _cells(2 * np.pi * (big + small), step), _cells(2 * np.pi * small, step), wrap_u=True, wrap_v=True)


@dataclasses.dataclass
class _Shape:
    kind: str
    size: tuple
    reach: float  # horizontal extent from the centre (boxes: half-diagonal)
    area: float
    center: tuple = (0.0, 0.0)

    def mesh(self, step):
        build = {"box": _box, "sphere": _sphere, "cylinder": _cylinder, "torus": _torus}[self.kind]
        vertices, faces = build(*self.size, step)
        return vertices + np.array([self.center[0], self.center[1], 0.0]), faces


def _random_shape(kind, rng):
    if kind == "box":
        ex, ey, ez = rng.uniform(0.16, 0.34, 3)
        return _Shape(kind, (ex, ey, ez), math.hypot(ex, ey) / 2, 2 * (ex * ey + ex * ez + ey * ez))
    if kind == "sphere":
        r = rng.uniform(0.08, 0.15)
        return _Shape(kind, (r,), r, 4 * np.pi * r * r)
    if kind == "cylinder":
        r, h = rng.uniform(0.06, 0.11), rng.uniform(0.16, 0.34)
        return _Shape(kind, (r, h), r, 2 * np.pi * r * (r + h))
    big, small = rng.uniform(0.09, 0.13), rng.uniform(0.035, 0.05)
    return _Shape(kind, (big, small), big + small, 4 * np.pi**2 * big * small)


def _layout(shapes, rng, region):
    """Places the shapes on the ground without overlaps. A round shape that
    follows a box is set against one of the box's sides, touching it."""
    placed = []

    def free(center, reach, ignore=None):
        return all(
            other is ignore or math.dist(center, other.center) >= reach + other.reach + 0.04 for other in placed
        )

    def against_box(box, shape):
        hx, hy = box.size[0] / 2, box.size[1] / 2
        for side in rng.permutation(4):
            axis, sign = divmod(int(side), 2)
            sign = 1 if sign == 0 else -1
            offset = rng.uniform(-0.4, 0.4) * (hy if axis == 0 else hx)  # contact stays on the side face
            if axis == 0:
                c = (box.center[0] + sign * (hx + shape.reach), box.center[1] + offset)
            else:
                c = (box.center[0] + offset, box.center[1] + sign * (hy + shape.reach))
            if free(c, shape.reach, ignore=box) and math.hypot(*c) + shape.reach < region:
                return c
        return None

    for k, shape in enumerate(shapes):
        spot = None
        if placed and placed[-1].kind == "box" and shape.kind in ROUND:
            spot = against_box(placed[-1], shape)
        for _ in range(2000):
            if spot is not None:
                break
            c = tuple(rng.uniform(-region + shape.reach, region - shape.reach, 2))
            if math.hypot(*c) + shape.reach < region and free(c, shape.reach):
                spot = c
        if spot is None:
            raise ValueError(f"no room for object {k} on the ground; use fewer objects")
        shape.center = (float(spot[0]), float(spot[1]))
        placed.append(shape)
    return placed


def smallest_scene(n_objects, seed):
    """(faces of the smallest scene of `n_objects` for `seed`, faces of its
    ground): a request for fewer faces cannot be honoured."""
    _, tris, labels, *_ = scene_mesh(n_objects, 1, np.random.default_rng(seed))
    return len(tris), int(np.count_nonzero(labels == GROUND))


def scene_mesh(n_objects, faces, rng):
    """Ground plus objects: vertices, faces, per-face label, per-vertex colour,
    object names, and the radius of the region the objects stand in."""
    shapes = [_random_shape(KINDS[k % len(KINDS)], rng) for k in range(n_objects)]
    region = 0.3 + 0.22 * math.sqrt(n_objects)
    _layout(shapes, rng, region)

    half = region + 0.5
    ground = _plane((-half, -half, 0), (2 * half, 0, 0), (0, 2 * half, 0), 0.1)
    target = max(faces - len(ground[1]), 100)
    step = math.sqrt(2 * sum(s.area for s in shapes) / target)
    meshes = [shape.mesh(step) for shape in shapes]
    # Cell counts round up; one correction brings the total close to the target.
    step *= math.sqrt(sum(len(f) for _, f in meshes) / target)
    meshes = [shape.mesh(step) for shape in shapes]

    names = [f"{shape.kind}_{k}" for k, shape in enumerate(shapes)]
    # The picture lists objects by name, each in the palette colour of its
    # place there: painted so, a right segmentation looks the same in both panels.
    rank = {name: r for r, name in enumerate(by_name(names))}
    parts, labels, colours = [ground], [np.full(len(ground[1]), GROUND)], []
    colours.append(np.tile(GROUND_COLOUR, (len(ground[0]), 1)))
    for k, (name, (v, f)) in enumerate(zip(names, meshes)):
        parts.append((v, f))
        labels.append(np.full(len(f), k))
        shade = rng.uniform(0.85, 1.0, (len(v), 1))  # a little texture
        colours.append((object_colour(rank[name]) * shade).astype(np.uint8))
    vertices, tris = _join(parts)
    return vertices, tris, np.concatenate(labels).astype(np.int32), np.vstack(colours), names, region
