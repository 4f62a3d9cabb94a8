"""Times linara.detect on images built to be hard for it, at three sizes, and
shows how the time per pixel grows with the pixel count. A detector whose cost
is linear in the pixels keeps ns/pixel flat from the smallest size to the
largest; the last column is that growth (ns/pixel at the largest size divided
by ns/pixel at the smallest), marked with '!' when it exceeds 1.3.

    python bench/bench_adversarial.py [--quick] [--repeat N] [--only NAME ...]

Sizes are 1, 4 and 16 megapixels (square), or 0.25, 1 and 4 with --quick,
which also times each case once. Scales 1.0 and the default 0.8. The pool
size is the process default (RAYON_NUM_THREADS when set).
"""

import argparse
import platform
import time

import numpy as np

from timing import machine

MEGAPIXEL_SIDES = {0.25: 500, 1: 1000, 4: 2000, 16: 4000}


def grid(side):
    y, x = np.mgrid[0:side, 0:side]
    return x, y


def uniform_noise(side, rng):
    return rng.integers(0, 256, (side, side), dtype=np.uint8)


def gaussian_noise(side, rng):
    return np.clip(np.rint(rng.normal(128.0, 40.0, (side, side))), 0, 255).astype(np.uint8)


def checkerboard(period):
    def make(side, rng):
        x, y = grid(side)
        return (((x // period + y // period) % 2) * 255).astype(np.uint8)
    make.__name__ = f"checkerboard {period}"
    return make


def stripes(period, direction):
    def make(side, rng):
        x, y = grid(side)
        coordinate = {"vertical": x, "horizontal": y, "45 degrees": x + y}[direction]
        return (((coordinate // (period // 2)) % 2) * 255).astype(np.uint8)
    make.__name__ = f"stripes {period} {direction}"
    return make


def ramp(side, rng):
    x, y = grid(side)
    return (x + y) * (255.0 / (2 * side))


def nan_and_inf(side, rng):
    return rng.choice(np.array([np.nan, np.inf, -np.inf, 0.0, 255.0]), (side, side))


def salted_photo(side, rng):
    from skimage import data
    from skimage.transform import resize

    photo = resize(data.camera().astype(np.float64), (side, side), order=1, anti_aliasing=False)
    photo = np.rint(photo).astype(np.uint8)
    salt = rng.random((side, side))
    photo[salt < 0.025] = 0
    photo[salt > 0.975] = 255
    return photo


def plain_photo(side, rng):
    from skimage import data
    from skimage.transform import resize

    photo = resize(data.camera().astype(np.float64), (side, side), order=1, anti_aliasing=False)
    return np.rint(photo).astype(np.uint8)


CASES = [uniform_noise, gaussian_noise, *(checkerboard(p) for p in (1, 2, 3, 4)),
         stripes(2, "vertical"), stripes(8, "horizontal"), stripes(8, "45 degrees"),
         ramp, nan_and_inf, salted_photo, plain_photo]


def case_name(case):
    return case.__name__.replace("_", " ")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="sizes 0.25, 1 and 4 MP, one run each")
    parser.add_argument("--repeat", type=int, default=3, help="runs per case (median); default 3")
    parser.add_argument("--only", nargs="*", help="case names (substrings) to run")
    args = parser.parse_args()
    import linara

    sizes = (0.25, 1, 4) if args.quick else (1, 4, 16)
    repeat = 1 if args.quick else args.repeat
    cases = [c for c in CASES if not args.only or any(o in case_name(c) for o in args.only)]
    model, cpus, usable = machine()
    print(f"machine: {model}, {cpus} logical processors ({usable} usable), "
          f"Python {platform.python_version()}, median of {repeat} run(s) after a warm-up; "
          f"growth = ns/px at {sizes[-1]} MP / ns/px at {sizes[0]} MP")
    head = "".join(f"{f'{s} MP ms':>11}{'ns/px':>8}" for s in sizes)
    print(f"{'image':<24}{'scale':>6}{head}{'segments':>10}{'growth':>8}")
    started = time.perf_counter()
    for case in cases:
        images = {size: case(MEGAPIXEL_SIDES[size], np.random.default_rng(1)) for size in sizes}
        for scale in (1.0, 0.8):
            cells, per_pixel, found = [], [], 0
            for size in sizes:
                image = images[size]
                found = len(linara.detect(image, scale))  # also the warm-up run
                times = []
                for _ in range(repeat):
                    start = time.perf_counter()
                    linara.detect(image, scale)
                    times.append(time.perf_counter() - start)
                ms = float(np.median(times)) * 1e3
                ns = ms * 1e6 / image.size
                cells.append(f"{ms:>11.1f}{ns:>8.1f}")
                per_pixel.append(ns)
            growth = per_pixel[-1] / per_pixel[0]
            mark = "!" if growth > 1.3 else " "
            print(f"{case_name(case):<24}{scale:>6}{''.join(cells)}{found:>10}{growth:>7.2f}{mark}",
                  flush=True)
    print(f"total {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
