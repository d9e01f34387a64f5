"""Triangle meshes of signed distance functions by marching tetrahedra.

Each grid cube is split into six tetrahedra around its main diagonal, so the
surface comes out as a reconstruction's does: even-sized on average, but full
of slivers where it passes near grid points. Only the coarse blocks that the
surface may cross are refined, so a few million faces take seconds.

An sdf takes an N x 3 array of points and returns N values, negative inside;
it must change by at most the distance between two points (min and max of
true distances do)."""

import itertools

import numpy as np

BLOCK = 8  # grid cells along each side of a coarse block

# The six tetrahedra of the unit cube, corners as bit codes (x = 1, y = 2, z = 4):
# 0, e_a, e_a + e_b, 7 for every order a, b, c of the axes.
_TETS = np.array([[0, 1 << a, (1 << a) | (1 << b), 7] for a, b, _ in itertools.permutations(range(3))])
_CORNERS = np.array([[(c >> 0) & 1, (c >> 1) & 1, (c >> 2) & 1] for c in range(8)])


def _case_table():
    """Per inside-pattern of a tetrahedron's four corners (bit i: corner i is
    inside), the triangles as triples of edges, each edge a pair of corners
    (inside corner first)."""
    table = []
    for case in range(16):
        inside = [i for i in range(4) if case >> i & 1]
        outside = [i for i in range(4) if not case >> i & 1]
        if len(inside) in (1, 3):
            lone = inside if len(inside) == 1 else outside
            rest = outside if len(inside) == 1 else inside
            edges = [(lone[0], r) if len(inside) == 1 else (r, lone[0]) for r in rest]
            table.append([edges])
        elif len(inside) == 2:
            (a, b), (c, d) = inside, outside
            table.append([[(a, c), (a, d), (b, d)], [(a, c), (b, d), (b, c)]])
        else:
            table.append([])
    return table


_CASES = _case_table()


def march(sdf, lower, upper, step, chunk=512):
    """(vertices, faces) of the surface sdf = 0 within the box [lower, upper]
    (which it must not leave) on a grid of spacing `step`; faces turn their
    front (counter-clockwise) outwards. Grid points where the sdf is exactly
    0 count as outside."""
    lower = np.asarray(lower, dtype=float)
    cells = np.maximum(np.ceil((np.asarray(upper, dtype=float) - lower) / step).astype(np.int64), 1)
    blocks = -(-cells // BLOCK)
    points = blocks * BLOCK + 1  # grid points along each axis (the last block may reach past `upper`)

    # Coarse blocks the surface may cross: |sdf(centre)| within the half-diagonal.
    bi = np.stack(np.meshgrid(*(np.arange(n) for n in blocks), indexing="ij"), -1).reshape(-1, 3)
    centres = lower + (bi + 0.5) * BLOCK * step
    bi = bi[np.abs(sdf(centres)) <= 0.87 * BLOCK * step + 1e-9]

    local = np.stack(np.meshgrid(*(np.arange(BLOCK + 1),) * 3, indexing="ij"), -1).reshape(-1, 3)
    keys, positions = [], []
    for start in range(0, len(bi), chunk):
        origin = bi[start:start + chunk] * BLOCK
        values = sdf((lower + (origin[:, None, :] + local[None, :, :]) * step).reshape(-1, 3))
        _march_blocks(values.reshape(-1, BLOCK + 1, BLOCK + 1, BLOCK + 1), origin, points, lower, step, keys,
                      positions)
    if not keys:
        return np.zeros((0, 3)), np.zeros((0, 3), dtype=np.int64)
    keys = np.concatenate(keys)
    positions = np.concatenate(positions)
    _, first, inverse = np.unique(keys, return_index=True, return_inverse=True)
    return positions[first], inverse.reshape(-1, 3).astype(np.int64)


def _march_blocks(values, origin, points, lower, step, keys, positions):
    n = BLOCK
    corner = [values[:, x:x + n, y:y + n, z:z + n] for x, y, z in _CORNERS]
    inside_any = np.logical_or.reduce([c < 0 for c in corner])
    inside_all = np.logical_and.reduce([c < 0 for c in corner])
    b, x, y, z = np.nonzero(inside_any & ~inside_all)
    cell = origin[b] + np.column_stack([x, y, z])  # grid index of each crossed cell's first corner
    corner_values = np.stack([values[b, x + dx, y + dy, z + dz] for dx, dy, dz in _CORNERS], -1)
    inside = corner_values < 0
    for tet in _TETS:
        tv, ti = corner_values[:, tet], inside[:, tet]
        case = ti[:, 0] | ti[:, 1] << 1 | ti[:, 2] << 2 | ti[:, 3] << 3
        for c in np.unique(case):
            if not _CASES[c]:
                continue
            rows = np.nonzero(case == c)[0]
            cells_c, values_c = cell[rows], tv[rows]
            for triangle in _CASES[c]:
                edge_keys, edge_points = [], []
                for a, b_ in triangle:
                    ca, cb = _CORNERS[tet[a]], _CORNERS[tet[b_]]
                    base = cells_c + np.minimum(ca, cb)  # corners differ by 0 or 1 along each axis
                    direction = int(np.abs(cb - ca) @ [1, 2, 4])
                    edge_keys.append(((base[:, 0] * points[1] + base[:, 1]) * points[2] + base[:, 2]) * 8 + direction)
                    fa, fb = values_c[:, a], values_c[:, b_]
                    t = (fa / (fa - fb))[:, None]
                    edge_points.append(lower + (cells_c + ca + t * (cb - ca)) * step)
                p0, p1, p2 = edge_points
                ca, cb = _CORNERS[tet[triangle[0][0]]], _CORNERS[tet[triangle[0][1]]]
                flip = np.cross(p1 - p0, p2 - p0) @ (cb - ca) < 0  # the front faces the outside corner
                k = np.stack(edge_keys, -1)
                k[flip] = k[flip][:, [0, 2, 1]]
                p = np.stack(edge_points, 1)
                p[flip] = p[flip][:, [0, 2, 1]]
                keys.append(k.ravel())
                positions.append(p.reshape(-1, 3))
