"""Times linara.detect on real photographs at the default scale and at full
scale, with one thread and with every thread, next to a segment finder a user
could pick instead: scikit-image's Canny edges followed by the probabilistic
Hough transform (a different method, timed for orientation only).

    python bench/bench_detect.py [--repeat N] [PHOTO ...]

Without arguments it uses scikit-image's bundled retina photograph
(1411 x 1411) and, when Debian's mate-backgrounds package is installed
(apt-get install mate-backgrounds), its photographs Blinds.jpg (1920 x 1200)
and Wood.jpg (2560 x 1920). Colour images are reduced to gray with an integer
luma. Each thread count runs in a subprocess with RAYON_NUM_THREADS set,
since the pool size is fixed per process.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
from pathlib import Path

import numpy as np

from timing import machine, median_ms

MATE = Path("/usr/share/backgrounds/mate/nature")


def integer_luma(rgb):
    rgb = rgb[..., :3].astype(np.uint32)
    return ((77 * rgb[..., 0] + 150 * rgb[..., 1] + 29 * rgb[..., 2] + 128) >> 8).astype(np.uint8)


def load(name):
    from skimage import data, io

    image = data.retina() if name == "retina" else io.imread(name)
    return integer_luma(image) if image.ndim == 3 else image


def default_photos():
    photos = ["retina"]
    photos += [str(MATE / f) for f in ("Blinds.jpg", "Wood.jpg") if (MATE / f).exists()]
    return photos


def time_linara(photos, repeat):
    import linara

    rows = []
    for name in photos:
        gray = load(name)
        for scale in (0.8, 1.0):
            count = len(linara.detect(gray, scale))
            rows.append([name, list(gray.shape), scale, count,
                         median_ms(lambda: linara.detect(gray, scale), repeat)])
    return rows


def time_hough(photos, repeat):
    from skimage.feature import canny
    from skimage.transform import probabilistic_hough_line

    result = {}
    for name in photos:
        gray = load(name)
        call = lambda: probabilistic_hough_line(canny(gray, 2.0), threshold=10, line_length=20,
                                                line_gap=3, rng=0)
        result[name] = median_ms(call, max(1, repeat // 3))
    return result


def in_subprocess(function, threads, photos, repeat):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
    code = (f"import json, sys; sys.path.insert(0, {str(Path(__file__).parent)!r}); "
            f"import bench_detect as b; print(json.dumps(b.{function}({photos!r}, {repeat})))")
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("photos", nargs="*")
    args = parser.parse_args()
    photos = args.photos or default_photos()
    model, cpus, cores = machine()
    print(f"machine: {model}, {cpus} logical processors ({cores} usable), "
          f"Python {platform.python_version()}, median of {args.repeat} runs")

    one = in_subprocess("time_linara", 1, photos, args.repeat)
    every = in_subprocess("time_linara", cores, photos, args.repeat)
    hough = in_subprocess("time_hough", 1, photos, args.repeat)
    print(f"{'photo':<12} {'size':>11} {'scale':>5} {'segments':>8} "
          f"{'1 thread':>10} {f'{cores} threads':>10} {'canny+hough':>12} {'ratio':>6}")
    for (name, shape, scale, count, t1), (_, _, _, _, tn) in zip(one, every):
        peer = hough[name]
        print(f"{Path(name).stem:<12} {shape[1]:>5}x{shape[0]:<5} {scale:>5} {count:>8} "
              f"{t1:>8.1f}ms {tn:>8.1f}ms {peer:>10.1f}ms {peer / tn:>5.1f}x")


if __name__ == "__main__":
    main()
