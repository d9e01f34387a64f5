"""Forward + backward of morlith.fast_ssim (native fused kernels) against
morlith.ssim (autograd through conv2d), float32 on the CPU.

    python bench/bench_ssim.py [--repeat N]

Each (case, method) runs in its own interpreter: once for the time (median of
N runs after warm-up), three times for one call as a user makes it (the first
forward + backward in a fresh interpreter), and once for the peak memory, the high-water mark of
the resident set during one warm run above the resident set before it (inputs
allocated, no gradient held; large allocations are mmapped there so that
freed memory shows as freed). The
fused kernels are quarnet's stand-in, put on the path with
quarnet._standins.fused_ssim_path(); a real rasteriser found first is used
instead. Prints one line per measurement and the ratios; target: fast_ssim
at least 4x faster.
"""

import argparse
import json
import os
import subprocess
import sys

CASES = [(1, 3, 512, 512), (4, 3, 256, 256)]
METHODS = ["ssim", "fast_ssim"]


def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not in /proc/self/status")


def child(method, shape, repeat, measure):
    import time

    from quarnet._standins import fused_ssim_path

    sys.path.append(fused_ssim_path())
    import torch

    import morlith

    if method == "fast_ssim" and not hasattr(morlith, "fusedssim"):
        raise SystemExit("the fused SSIM kernels did not load")
    function = getattr(morlith, method)
    generator = torch.Generator().manual_seed(0)
    img1 = torch.rand(*shape, generator=generator).requires_grad_()
    img2 = torch.rand(*shape, generator=generator)

    def step():
        img1.grad = None
        (1 - function(img1, img2)).backward()

    if measure == "first":  # one call as a user makes it
        start = time.perf_counter()
        step()
        return {"first_ms": 1e3 * (time.perf_counter() - start)}
    for _ in range(2):
        step()
    if measure == "memory":
        img1.grad = None
        before = rss_kib("VmRSS")
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the high-water mark
        step()
        return {"peak_mib": (rss_kib("VmHWM") - before) / 1024}
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        step()
        times.append(time.perf_counter() - start)
    times.sort()
    return {"median_ms": 1e3 * times[len(times) // 2], "min_ms": 1e3 * times[0], "threads": torch.get_num_threads()}


def run_child(method, shape, repeat, measure):
    env = dict(os.environ)
    if measure == "memory":
        env["MALLOC_MMAP_THRESHOLD_"] = "65536"
    args = [sys.executable, __file__, "--child", method, ",".join(map(str, shape)), str(repeat), measure]
    out = subprocess.run(args, env=env, capture_output=True, text=True, check=True).stdout
    return json.loads(out.splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        method, shape, repeat, measure = args.child
        print(json.dumps(child(method, tuple(map(int, shape.split(","))), int(repeat), measure)))
        return

    print(f"{'case':<18} {'method':<10} {'median ms':>10} {'min ms':>9} {'peak MiB':>9}  threads")
    for shape in CASES:
        results = {}
        for method in METHODS:
            r = run_child(method, shape, args.repeat, "time")
            r.update(run_child(method, shape, args.repeat, "memory"))
            firsts = sorted(run_child(method, shape, 1, "first")["first_ms"] for _ in range(3))
            r["first"] = firsts
            results[method] = r
            print(f"{str(shape):<18} {method:<10} {r['median_ms']:>10.1f} {r['min_ms']:>9.1f} "
                  f"{r['peak_mib']:>9.1f}  {r['threads']}")
        slow, fast = results["ssim"], results["fast_ssim"]
        speedup = slow["median_ms"] / fast["median_ms"]
        memory = slow["peak_mib"] / max(fast["peak_mib"], 1e-3)
        verdict = "meets" if speedup >= 4 else "MISSES"
        print(f"{str(shape):<18} ratio ssim/fast_ssim: time {speedup:.1f}x ({verdict} the 4x target), "
              f"peak memory {memory:.1f}x")
        first_slow, first_fast = slow["first"], fast["first"]
        print(f"{str(shape):<18} one call in a fresh process: fast_ssim {first_fast[0]:.1f}–{first_fast[-1]:.1f} ms, "
              f"ssim {first_slow[0]:.1f}–{first_slow[-1]:.1f} ms, ratio of medians {first_slow[1] / first_fast[1]:.1f}x")


if __name__ == "__main__":
    main()
