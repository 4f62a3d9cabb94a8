"""Times linara.warp_rgb beside OpenCV's cv2.warpPerspective (INTER_LINEAR |
WARP_INVERSE_MAP, BORDER_CONSTANT) on the same image, homography and thread
count, for uint8 and uint16 RGB images of three sizes and two homographies:
a mild perspective and a 30 degree rotation with a 0.7x zoom.

    python bench/bench_warp.py [--repeat N] [--sizes 1920x1080,...]
                               [--routine portable|avx2|avx512]

Each thread count runs in its own process (linara's pool size is fixed per
process by RAYON_NUM_THREADS; OpenCV gets cv2.setNumThreads). The two calls
alternate within a run so that both see the same machine load; the tables
show median wall times, and a line per homography the ratio of median
process CPU times, which other load on the machine disturbs less. Needs
numpy and opencv-python-headless.
"""

import argparse
import json
import os
import subprocess
import sys

import numpy as np

from timing import machine

SIZES = ((1920, 1080), (2560, 1600), (3840, 2160))
DTYPES = ("uint8", "uint16")


def homographies(width, height):
    """name -> inverse homography (output pixel -> source point), 3x3."""
    mild = np.array([[1.02, 0.05, -10.0], [0.01, 0.98, 5.0], [1e-5, 2e-5, 1.0]])
    # Source = centre + R(-30 deg) (output - centre) / 0.7: the source turned
    # by 30 degrees and shrunk to 0.7 about the image centre.
    angle = np.deg2rad(-30.0)
    c, s = np.cos(angle) / 0.7, np.sin(angle) / 0.7
    cx, cy = (width - 1) / 2, (height - 1) / 2
    rotation = np.array([[c, -s, cx - c * cx + s * cy], [s, c, cy - s * cx - c * cy], [0.0, 0.0, 1.0]])
    return {"perspective": mild, "rotation": rotation}


def test_image(width, height, dtype):
    rng = np.random.default_rng(0)
    y, x = np.mgrid[0:height, 0:width]
    smooth = (np.sin(x / 37.0) + np.cos(y / 23.0) + 2) / 4
    image = np.clip(smooth[..., None] * 0.9 + rng.uniform(0, 0.1, (height, width, 3)), 0, 1)
    return np.round(image * np.iinfo(dtype).max).astype(dtype)


def paired_medians(first, second, repeat):
    """Median wall and process CPU times in ms of two calls, alternated,
    after a warm-up: (wall first, wall second, cpu first, cpu second)."""
    from time import perf_counter, process_time

    first(), second()
    wall, cpu = ([], []), ([], [])
    for _ in range(repeat):
        for i, call in enumerate((first, second)):
            start, start_cpu = perf_counter(), process_time()
            call()
            wall[i].append(perf_counter() - start)
            cpu[i].append(process_time() - start_cpu)
    return tuple(float(np.median(t) * 1e3) for t in (*wall, *cpu))


def worker(threads, repeat, sizes):
    import cv2
    import linara

    cv2.setNumThreads(threads)
    flags = cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP
    rows = []
    for width, height in sizes:
        for dtype in DTYPES:
            image = test_image(width, height, np.dtype(dtype))
            for name, inverse in homographies(width, height).items():
                flat = inverse.ravel()
                times = paired_medians(
                    lambda: linara.warp_rgb(image, flat, 1.0, 0.0, 0.0),
                    lambda: cv2.warpPerspective(image, inverse, (width, height), flags=flags,
                                                borderMode=cv2.BORDER_CONSTANT),
                    repeat)
                rows.append((f"{width}x{height}", dtype, name, *times))
    return rows


def parse_sizes(text):
    return tuple(tuple(int(v) for v in item.split("x")) for item in text.split(","))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--sizes", type=parse_sizes, default=SIZES)
    parser.add_argument("--routine", help="force linara's row routine (LINARA_SIMD)")
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(args.worker, args.repeat, args.sizes)))
        return

    model, cpus, usable = machine()
    sizes = ",".join(f"{w}x{h}" for w, h in args.sizes)
    results = {}
    for threads in sorted({1, usable}):
        # The benchmark's NumPy does no BLAS work; idle BLAS threads would
        # only compete for the processors.
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
        if args.routine:
            env["LINARA_SIMD"] = args.routine
        run = subprocess.run([sys.executable, __file__, "--worker", str(threads), "--repeat", str(args.repeat),
                              "--sizes", sizes], env=env, capture_output=True, text=True, check=True)
        results[threads] = json.loads(run.stdout)

    print(f"machine: {model}, {cpus} logical processors ({usable} usable)")
    print(f"median of {args.repeat} alternating runs; ratio = cv2 time / linara time (>= 1: linara as fast or faster)")
    for homography in homographies(2, 2):
        print(f"\n{homography}, wall time")
        header = "| image | dtype |" + "".join(f" linara {t}t | cv2 {t}t | ratio {t}t |" for t in results)
        print(header)
        print("|" + "---|" * (header.count("|") - 1))
        cpu_ratios = []
        for size, dtype, name, *_ in results[1]:
            if name != homography:
                continue
            cells, cpu = [], []
            for threads, rows in results.items():
                own, peer, own_cpu, peer_cpu = next(r[3:] for r in rows if tuple(r[:3]) == (size, dtype, name))
                cells.append(f" {own:.1f} ms | {peer:.1f} ms | {peer / own:.2f} |")
                cpu.append(f"{peer_cpu / own_cpu:.2f} ({threads}t)")
            print(f"| {size} | {dtype} |" + "".join(cells))
            cpu_ratios.append(f"{size} {dtype} " + " ".join(cpu))
        print("process CPU time ratios (cv2 / linara): " + "; ".join(cpu_ratios))


if __name__ == "__main__":
    main()
