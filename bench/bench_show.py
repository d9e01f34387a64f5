"""`quarnet show` on a scene of a million faces.

Builds a sample scene of about 1,000,000 faces and 10 objects (two small
views: only the mesh matters here), writes each object's true faces as its
sub_mesh.ply and the ground's as remain.ply (what a perfect segmentation would
leave), and times the installed command `quarnet show` in a fresh process,
then its phases in this one. With --widths, the peak memory of the command
at each panel width instead, per panel pixel above the narrowest width's
(the figure behind picture.BYTES_PER_PIXEL).

    python bench/bench_show.py [--faces 1000000 --objects 10] [--widths 400 1600 3200 6400]

Target: seconds for a million faces.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

from quarnet import outputs, picture, sample
from quarnet.testing.scenes import write_true_segmentation


def timed(label, fn, *args):
    start = time.perf_counter()
    value = fn(*args)
    print(f"  {label:<40}{time.perf_counter() - start:7.2f} s")
    return value


def peak_memory(command):
    """The peak resident memory of `command` in a fresh process, in bytes."""
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{command} failed")
    return usage.ru_maxrss * 1024


def memory_per_pixel(command, scene, widths, png):
    print("width   panel pixels   peak memory   bytes per panel pixel above the narrowest")
    first = None
    for width in widths:
        pixels = width * max(1, width * 3 // 4)
        peak = peak_memory([command, "show", scene.mask_path, "--mesh", scene.mesh_file, "--width", str(width),
                            "-o", png])
        first = first or (pixels, peak)
        above = f"{(peak - first[1]) / (pixels - first[0]):7.1f}" if pixels > first[0] else "      -"
        print(f"{width:>5}   {pixels:>12}   {peak / 2**20:8.0f} MB   {above}   (picture.BYTES_PER_PIXEL: "
              f"{picture.BYTES_PER_PIXEL})")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--faces", type=int, default=1_000_000)
    parser.add_argument("--objects", type=int, default=10)
    parser.add_argument("--widths", type=int, nargs="+", help="measure the peak memory at these panel widths")
    args = parser.parse_args(argv)
    command = os.path.join(os.path.dirname(sys.executable), "quarnet")
    with tempfile.TemporaryDirectory(prefix="bench_show_") as tmp:
        start = time.perf_counter()
        scene = sample.build_sample_scene(os.path.join(tmp, "scene"), faces=args.faces, views=2, width=64, height=48,
                                          objects=args.objects)
        write_true_segmentation(scene)
        print(f"scene: {scene.faces} faces, {len(scene.object_names)} objects "
              f"(generated and split in {time.perf_counter() - start:.1f} s)")
        png = os.path.join(tmp, "picture.png")
        if args.widths:
            memory_per_pixel(command, scene, args.widths, png)
            return 0

        start = time.perf_counter()
        subprocess.run([command, "show", scene.mask_path, "--mesh", scene.mesh_file, "-o", png], check=True,
                       stdout=subprocess.DEVNULL)
        total = time.perf_counter() - start
        print(f"quarnet show, a fresh process:            {total:7.2f} s   (target: seconds)")

        print("phases in this process:")
        mesh = timed("read the scene mesh", outputs.read_mesh, scene.mesh_file)
        camera = picture.camera_from_bounds(mesh.bounds)
        names = outputs.by_name(outputs.object_folders(scene.mask_path))
        image, _ = timed("read the outputs, ray-cast both panels", picture.segmentation_picture, mesh, scene.mask_path,
                         names, camera)
        timed("write the PNG", picture.write_png, png, image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
