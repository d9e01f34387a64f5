"""Reading a large images.bin: quarnet's native reader against a plain Python
struct-based reader. Prints both times (best of warm repeats, and one call
in a fresh process as a user makes it) and the ratios.

    python bench/bench_colmap_reader.py [--images 2000] [--points 5000] [--repeat 3]
"""
import argparse
import os
import struct
import tempfile
import time

import numpy as np
from first_call import first_call, median, span

from quarnet.scene import colmap_loader as cl


def python_struct_reader(path):
    """The straightforward reader: struct.unpack per record, arrays per image."""
    images = {}
    with open(path, "rb") as f:
        (count,) = struct.unpack("<Q", f.read(8))
        for _ in range(count):
            props = struct.unpack("<idddddddi", f.read(64))
            image_id, qvec, tvec, camera_id = props[0], np.array(props[1:5]), np.array(props[5:8]), props[8]
            name = b""
            c = f.read(1)
            while c != b"\x00":
                name += c
                c = f.read(1)
            (num_points,) = struct.unpack("<Q", f.read(8))
            values = struct.unpack("<" + "ddq" * num_points, f.read(24 * num_points))
            xys = np.column_stack([tuple(map(float, values[0::3])), tuple(map(float, values[1::3]))])
            ids = np.array(tuple(map(int, values[2::3])))
            images[image_id] = (image_id, qvec, tvec, camera_id, name.decode("utf-8"), xys, ids)
    return images


def best_of(repeat, fn):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
        del result
    return min(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--images", type=int, default=2000)
    ap.add_argument("--points", type=int, default=5000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "images.bin")
        xys = rng.random((args.points, 2)) * 1000
        ids = rng.integers(-1, 10**6, args.points)
        images = {i: cl.Image(i, np.array([1.0, 0, 0, 0]), np.zeros(3), 1, f"{i:06d}.png", xys, ids)
                  for i in range(1, args.images + 1)}
        cl.write_extrinsics_binary(images, path)
        del images
        size_mb = os.path.getsize(path) / 1e6

        # Same content from both readers.
        a, b = cl.read_extrinsics_binary(path), python_struct_reader(path)
        assert list(a) == list(b)
        first = next(iter(a))
        assert np.array_equal(a[first].xys, b[first][5]) and np.array_equal(a[first].point3D_ids, b[first][6])
        del a, b

        native = best_of(args.repeat, lambda: cl.read_extrinsics_binary(path))
        plain = best_of(max(1, args.repeat - 2), lambda: python_struct_reader(path))
        path_setup = f"path = {path!r}"
        native_first = first_call(f"from quarnet.scene import colmap_loader as cl\n{path_setup}",
                                  "cl.read_extrinsics_binary(path)")
        plain_first = first_call(f"from bench_colmap_reader import python_struct_reader\n{path_setup}",
                                 "python_struct_reader(path)", runs=3)

    print(f"images.bin: {args.images} images x {args.points} points ({size_mb:.0f} MB)")
    print(f"  quarnet read_extrinsics_binary : {native:8.3f} s")
    print(f"  Python struct reader           : {plain:8.3f} s")
    print(f"  ratio                          : {plain / native:8.1f}x  (target >= 10x)")
    print(f"one call in a fresh process: quarnet {span(native_first)}, Python struct reader {span(plain_first)}, "
          f"ratio of medians {median(plain_first) / median(native_first):.1f}x")


if __name__ == "__main__":
    main()
