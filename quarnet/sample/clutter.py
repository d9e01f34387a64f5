"""The cluttered sample scene: objects as a reconstruction gives them (marching
tetrahedra, full of slivers), sunk into a ground of 12 cm triangles before
two walls, a mug standing on a chair, the other objects 0.5 to 3 cm from a
neighbour, and hand-held cameras in front of them."""

import dataclasses
import math

import numpy as np

from quarnet.colours import object_colour
from quarnet.outputs import by_name

from .marching import march
from .shapes import GROUND, GROUND_COLOUR, smallest_scene

LAYOUTS = ("ring", "clutter")

CELL = 0.12  # ground and wall triangles' legs
KINDS = ("box", "blob", "cylinder", "torus", "box", "cylinder", "blob")
GAPS = (0.005, 0.03)  # from an object to its neighbour


# ---- signed distances (negative inside), for N x 3 points --------------------


def _box(p, centre, half):
    q = np.abs(p - centre) - half
    return np.linalg.norm(np.maximum(q, 0), axis=-1) + np.minimum(q.max(-1), 0)


def _cylinder(p, centre, r, z0, z1):
    d_r = np.hypot(p[:, 0] - centre[0], p[:, 1] - centre[1]) - r
    d_z = np.abs(p[:, 2] - (z0 + z1) / 2) - (z1 - z0) / 2
    return np.hypot(np.maximum(d_r, 0), np.maximum(d_z, 0)) + np.minimum(np.maximum(d_r, d_z), 0)


def _sphere(p, centre, r):
    return np.linalg.norm(p - centre, axis=-1) - r


def _torus(p, centre, big, small, axis=2):
    q = p - centre
    a, b = [k for k in range(3) if k != axis]
    return np.hypot(np.hypot(q[:, a], q[:, b]) - big, q[:, axis]) - small


def _above(p, z):
    return z - p[:, 2]


@dataclasses.dataclass
class _Object:
    kind: str
    sdf: object  # local frame: the footprint's centre at the origin
    half: tuple  # half extent of the footprint along x and y (a rectangle), or (r, r) with round=True
    top: float
    round: bool = False
    centre: tuple = (0.0, 0.0, 0.0)

    def world_sdf(self):
        c = np.array(self.centre)
        return lambda p: self.sdf(p - c)

    def bounds(self, pad):
        c = np.array(self.centre)
        lo = c + np.array([-self.half[0], -self.half[1], -0.05]) - pad
        hi = c + np.array([self.half[0], self.half[1], self.top]) + pad
        return lo, hi


def _chair(rng, sink):
    w, d = rng.uniform(0.40, 0.48, 2)
    seat, thick, leg, back = rng.uniform(0.43, 0.48), 0.04, rng.uniform(0.026, 0.034), rng.uniform(0.36, 0.45)
    hw, hd = w / 2, d / 2

    def sdf(p):
        parts = [_box(p, (0, 0, seat - thick / 2), (hw, hd, thick / 2))]
        for sx in (-1, 1):
            for sy in (-1, 1):
                x, y = sx * (hw - leg / 2 - 0.01), sy * (hd - leg / 2 - 0.01)
                top = seat + back if sx == 1 else seat - thick  # the back legs carry the back rest
                parts.append(_box(p, (x, y, (top - sink) / 2), (leg / 2, leg / 2, (top + sink) / 2)))
        parts.append(_box(p, (hw - leg / 2 - 0.01, 0, seat + back * 0.62), (0.012, hd - 0.01, back * 0.25)))
        return np.maximum(np.min(parts, axis=0), _above(p, -sink))

    return _Object("chair", sdf, (hw, hd), seat + back), seat


def _mug(rng, floor):
    r, h, wall = rng.uniform(0.038, 0.046), rng.uniform(0.09, 0.11), 0.006
    sink = 0.003

    def sdf(p):
        outer = _cylinder(p, (0, 0), r, floor - sink, floor + h)
        inner = _cylinder(p, (0, 0), r - wall, floor + 0.008, floor + h + 1)
        cup = np.maximum(outer, -inner)
        handle = np.maximum(_torus(p, (r + 0.012, 0, floor + h / 2), 0.03, 0.007, axis=1), -_cylinder(
            p, (0, 0), r - wall / 2, floor - 1, floor + h + 1))
        return np.minimum(cup, handle)

    return _Object("mug", sdf, (r + 0.05, r), floor + h)


def _ground_object(kind, rng, sink):
    if kind == "box":
        half = rng.uniform(0.07, 0.15, 3)
        return _Object(kind, lambda p: _box(p, (0, 0, half[2] - sink / 2), half + [0, 0, sink / 2]),  # from -sink
                       (half[0], half[1]), 2 * half[2])
    if kind == "blob":
        r = rng.uniform(0.08, 0.12)
        off = rng.uniform(-1, 1, 2)
        off = 0.55 * r * off / np.linalg.norm(off)
        sdf = lambda p: np.maximum(np.minimum(  # noqa: E731
            _sphere(p, (0, 0, 0.85 * r), r), _sphere(p, (off[0], off[1], 1.5 * r), 0.6 * r)), _above(p, -sink))
        return _Object(kind, sdf, (r, r), 2.1 * r, round=True)
    if kind == "cylinder":
        r, h = rng.uniform(0.05, 0.09), rng.uniform(0.14, 0.3)
        return _Object(kind, lambda p: _cylinder(p, (0, 0), r, -sink, h), (r, r), h, round=True)
    big, small = rng.uniform(0.08, 0.11), rng.uniform(0.03, 0.042)
    sdf = lambda p: np.maximum(_torus(p, (0, 0, small - sink / 2), big, small), _above(p, -sink))  # noqa: E731
    return _Object(kind, sdf, (big + small, big + small), 2 * small, round=True)


def _gap(a, ca, b, cb):
    """Distance between two footprints (circles or axis-aligned rectangles) centred at ca and cb."""
    d = np.abs(np.asarray(ca) - np.asarray(cb))
    if a.round and b.round:
        return float(np.hypot(*d) - a.half[0] - b.half[0])
    if not a.round and not b.round:
        return float(np.hypot(*np.maximum(d - np.add(a.half, b.half), 0)))
    rect, circle = (a, b) if b.round else (b, a)
    return float(np.hypot(*np.maximum(d - np.asarray(rect.half), 0)) - circle.half[0])


def _place(objects, shape, rng, wall):
    """A footprint centre 0.5 to 3 cm from one placed object and at least 0.5 cm
    from all others and from the walls, or None."""
    ground = [o for o in objects if o.kind != "mug"]
    for _ in range(400):
        neighbour = ground[rng.integers(len(ground))]
        gap = rng.uniform(*GAPS)
        angle = rng.uniform(0, 2 * np.pi)
        direction = np.array([math.cos(angle), math.sin(angle)])
        lo, hi = 0.0, 3.0
        for _ in range(40):  # the distance along `direction` that leaves `gap`
            mid = (lo + hi) / 2
            c = np.array(neighbour.centre[:2]) + mid * direction
            lo, hi = (mid, hi) if _gap(neighbour, neighbour.centre[:2], shape, c) < gap else (lo, mid)
        if (c + shape.half > wall - GAPS[0]).any() or (c - shape.half < -wall).any():
            continue
        if all(_gap(o, o.centre[:2], shape, c) >= GAPS[0] for o in ground if o is not neighbour):
            return c
    return None


@dataclasses.dataclass(frozen=True)
class Clutter:
    vertices: np.ndarray
    faces: np.ndarray
    labels: np.ndarray
    colours: np.ndarray
    names: list
    targets: np.ndarray  # a point of every object, for the cameras to look at
    wall: float  # the walls stand at x = wall and y = wall


def _objects(n_objects, rng):
    wall = 0.45 + 0.2 * math.sqrt(n_objects)
    chair, seat = _chair(rng, rng.uniform(0.01, 0.02))
    chair.centre = (wall - chair.half[0] - rng.uniform(*GAPS), rng.uniform(-0.3, 0.3) * wall, 0.0)
    objects = [chair]
    if n_objects > 1:
        mug = _mug(rng, seat)
        offset = rng.uniform(-0.4, 0.4, 2) * (np.array(chair.half) - mug.half)
        mug.centre = (chair.centre[0] - 0.25 * chair.half[0] + offset[0], chair.centre[1] + offset[1], 0.0)
        objects.append(mug)
    for k in range(2, n_objects):
        shape = _ground_object(KINDS[(k - 2) % len(KINDS)], rng, rng.uniform(0.01, 0.02))
        spot = _place(objects, shape, rng, wall)
        if spot is None:
            raise ValueError(f"no room for object {k} on the ground; use fewer objects")
        shape.centre = (float(spot[0]), float(spot[1]), 0.0)
        objects.append(shape)
    return objects, wall


def _flat(origin, du, dv):
    """Two triangles per CELL x CELL square of the parallelogram origin + u du + v dv."""
    nu = max(1, round(np.linalg.norm(du) / CELL))
    nv = max(1, round(np.linalg.norm(dv) / CELL))
    u, v = np.meshgrid(np.arange(nu + 1) / nu, np.arange(nv + 1) / nv, indexing="ij")
    vertices = np.asarray(origin) + u.reshape(-1, 1) * du + v.reshape(-1, 1) * dv
    g = np.arange((nu + 1) * (nv + 1)).reshape(nu + 1, nv + 1)
    a, b, c, d = g[:-1, :-1], g[1:, :-1], g[1:, 1:], g[:-1, 1:]
    faces = np.stack([np.stack([a, b, c], -1), np.stack([a, c, d], -1)], 2).reshape(-1, 3)
    return vertices, faces


def _room(wall):
    far = -wall - 1.6
    ground = _flat((far, far, 0.0), (wall + 0.1 - far, 0, 0), (0, wall + 0.1 - far, 0))
    back = _flat((wall + 0.1, far, 0.0), (0, wall + 0.1 - far, 0), (0, 0, 1.2))
    side = _flat((far, wall + 0.1, 0.0), (0, 0, 1.2), (wall + 0.1 - far, 0, 0))
    return [ground, back, side]


def _march_all(objects, step):
    parts = []
    for o in objects:
        lo, hi = o.bounds(2 * step)
        parts.append(march(o.world_sdf(), lo, hi, step))
    return parts


def too_few_faces(layout, n_objects, seed, faces):
    """Why `faces` is below the smallest scene of the layout, or None; ValueError
    when the objects find no room."""
    if layout == "ring":
        smallest, ground = smallest_scene(n_objects, seed)
        floor = f"the ground alone has {ground}"
    else:
        _, wall = _objects(n_objects, np.random.default_rng(seed))
        room = sum(len(f) for _, f in _room(wall))
        smallest, floor = room + 400 * n_objects, f"the ground and walls alone have {room}"
    if faces >= smallest:
        return None
    return f"{faces} is below the smallest scene of {n_objects} objects: {smallest} faces ({floor})"


def clutter_mesh(n_objects, faces, rng):
    """The cluttered scene with about `faces` faces (at least the room's and a
    few hundred per object)."""
    objects, wall = _objects(n_objects, rng)
    room = _room(wall)
    target = max(faces - sum(len(f) for _, f in room), 400 * n_objects)
    # Faces grow as 1 / step^2: one coarse pass, one at an eighth of the target, then the mesh.
    step = 0.02
    for share in (8, 1):
        counted = sum(len(f) for _, f in _march_all(objects, step))
        step *= math.sqrt(counted / (target / share))
        if share == 8:
            step /= math.sqrt(8)
    parts = _march_all(objects, step)

    names = [f"{o.kind}_{k}" for k, o in enumerate(objects)]
    rank = {name: r for r, name in enumerate(by_name(names))}
    vertices, tris, labels, colours, offset = [], [], [], [], 0
    for k, (v, f) in enumerate(room + parts):
        vertices.append(v)
        tris.append(f + offset)
        offset += len(v)
        label = GROUND if k < len(room) else k - len(room)
        labels.append(np.full(len(f), label, dtype=np.int32))
        if label == GROUND:
            colours.append(np.tile(GROUND_COLOUR, (len(v), 1)))
        else:
            shade = rng.uniform(0.85, 1.0, (len(v), 1))
            colours.append((object_colour(rank[names[label]]) * shade).astype(np.uint8))
    targets = np.array([[o.centre[0], o.centre[1], 0.5 * o.top] for o in objects])
    return Clutter(np.vstack(vertices), np.vstack(tris), np.concatenate(labels), np.vstack(colours), names, targets, wall)


def handheld_cameras(n, clutter, rng):
    """(eye, R_cw) of `n` hand-held cameras in front of the objects: 0.9 to
    2.2 m away, 0.9 to 1.7 m high, each aimed at an object with a shaky hand."""
    from quarnet.raycast import look_at

    cameras = []
    for _ in range(n):
        target = clutter.targets[rng.integers(len(clutter.targets))] + rng.normal(0, 0.04, 3)
        angle = rng.uniform(1.05, 1.95) * np.pi / 2 + np.pi / 2  # facing the walls' corner from the open side
        distance = rng.uniform(0.9, 2.2)
        eye = np.array([target[0] + distance * math.cos(angle), target[1] + distance * math.sin(angle),
                        rng.uniform(0.9, 1.7)])
        roll = rng.normal(0, 0.04)
        R = look_at(eye, target)
        c, s = math.cos(roll), math.sin(roll)
        cameras.append((eye, R @ np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]])))
    return cameras
