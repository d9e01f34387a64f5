"""Fuzzes the scene-mesh reading of the cut step with PLY, OBJ, OFF and STL files.

Each input is written as a mesh file of one format and handed to
SceneTessaron's cut step with no objects: trimesh.load of the file, the join
of a multi-mesh file, the face check and the write of remain.ply. An ordinary
exception (Exception and its subclasses) is a rejected file and fine; a
crash, an input that runs past the time limit, memory past the limit, or any
other exception (SystemExit, KeyboardInterrupt, ...) is a finding.

    python fuzz/mesh_formats_fuzz.py --seconds N [--timeout S]
        each format for N seconds over its seed corpus fuzz/corpus/mesh_<format>/;
        new inputs go to fuzz/corpus-work/mesh_<format>/, findings to
        build/fuzz/artifacts/mesh_formats-<format>-*; exits non-zero on a finding
    python fuzz/mesh_formats_fuzz.py --format ply [libFuzzer options] [corpus folders]
        one format, as the above runs it (e.g. to replay an artifact file)
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

FORMATS = ("ply", "obj", "off", "stl")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHM = "/dev/shm" if os.path.isdir("/dev/shm") else None  # the mesh files of each input go there


def mesh_reader(fmt, folder):
    """check(data): writes data as folder/scene.<fmt> and runs the cut step on
    it with no objects, which reads it and writes folder/remain.ply; raises
    what the cut raises."""
    from quarnet.mesh_seg import Tessaron

    cut = Tessaron.SceneTessaron.process_and_visualize_mesh_with_pointcloud_and_bbox
    scene = type("Scene", (), {"mask_path": folder, "mesh_file": os.path.join(folder, f"scene.{fmt}")})()

    def check(data):
        with open(scene.mesh_file, "wb") as f:
            f.write(data)
        cut(scene, [], [], [])

    return check


def fuzz_one_format(fmt, scratch, libfuzzer_args):
    import logging
    import warnings

    import atheris

    # The module's other collaborators load uninstrumented; trimesh, whose
    # readers are under test, is instrumented for coverage.
    import cv2  # noqa: F401
    import numpy  # noqa: F401
    import open3d  # noqa: F401
    import scipy.spatial.transform  # noqa: F401
    import tqdm  # noqa: F401

    with atheris.instrument_imports(include=["trimesh"]):
        import trimesh  # noqa: F401

    logging.disable(logging.CRITICAL)  # trimesh logs what it repairs or skips,
    warnings.simplefilter("ignore")  # and numpy warns of overflowing casts
    check = mesh_reader(fmt, scratch or tempfile.mkdtemp(prefix=f"mesh_{fmt}_fuzz-", dir=SHM))

    def one_input(data):
        try:
            check(data)
        except Exception:
            pass  # a file the reader rejects

    atheris.Setup([sys.argv[0], *libfuzzer_args], one_input)
    atheris.Fuzz()


def run_all(seconds, timeout, rss_limit_mb):
    artifacts = os.path.join(ROOT, "build", "fuzz", "artifacts")
    os.makedirs(artifacts, exist_ok=True)
    failed = []
    for fmt in FORMATS:
        seeds = os.path.join(ROOT, "fuzz", "corpus", f"mesh_{fmt}")
        work = os.path.join(ROOT, "fuzz", "corpus-work", f"mesh_{fmt}")
        os.makedirs(work, exist_ok=True)
        print(f"== mesh_formats_fuzz {fmt}: {seconds}s over fuzz/corpus/mesh_{fmt}", flush=True)
        scratch = tempfile.TemporaryDirectory(prefix=f"mesh_{fmt}_fuzz-", dir=SHM)
        command = [sys.executable, os.path.abspath(__file__), "--format", fmt, "--scratch", scratch.name,
                   f"-max_total_time={seconds}",
                   f"-timeout={timeout}", f"-rss_limit_mb={rss_limit_mb}", "-max_len=4096", "-print_final_stats=1",
                   f"-artifact_prefix={os.path.join(artifacts, f'mesh_formats-{fmt}-')}", work, seeds]
        started = time.monotonic()
        try:
            # libFuzzer stops itself; the bound covers a fuzzer that cannot.
            code = subprocess.run(command, timeout=seconds + 10 * timeout + 120).returncode
        except subprocess.TimeoutExpired:
            code = "stuck"
        scratch.cleanup()
        print(f"== mesh_formats_fuzz {fmt}: exit {code} after {time.monotonic() - started:.0f}s", flush=True)
        if code != 0:
            failed.append(fmt)
    if failed:
        print(f"!! mesh_formats_fuzz found problems in: {' '.join(failed)} (see {artifacts})")
        return 1
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, help="fuzz each format this long")
    parser.add_argument("--timeout", type=int, default=20, help="seconds one input may take (default 20)")
    parser.add_argument("--rss-limit-mb", type=int, default=2048, help="memory limit (default 2048)")
    parser.add_argument("--format", choices=FORMATS, help="fuzz this format only; other arguments go to libFuzzer")
    parser.add_argument("--scratch", help="folder for the mesh file of each input (default: a new one)")
    args, rest = parser.parse_known_args(argv)
    if args.format:
        fuzz_one_format(args.format, args.scratch, rest)
        return 0
    if args.seconds is None or rest:
        parser.error("give --seconds N, or --format F with libFuzzer arguments")
    return run_all(args.seconds, args.timeout, args.rss_limit_mb)


if __name__ == "__main__":
    sys.exit(main())
