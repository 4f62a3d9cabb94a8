"""Times linara.warp_rgb on a 1920x1080 RGB image, uint8 and uint16, with one
thread and with every thread, next to what a user could pick instead:
Pillow's Image.transform (PERSPECTIVE, BILINEAR; uint8 only) and
scikit-image's transform.warp (ProjectiveTransform, order=1, preserve_range).

    python bench/bench_warp.py [--repeat N]

The pool size of linara is fixed per process, so each thread count runs in a
subprocess with RAYON_NUM_THREADS set. Pillow and scikit-image run on one
thread. Needs numpy, Pillow and scikit-image.
"""

import argparse
import json
import os
import subprocess
import sys

import numpy as np

from timing import machine, median_ms

WIDTH, HEIGHT = 1920, 1080


def homography():
    """A rotation by 4 degrees with some perspective, and its inverse."""
    angle = np.deg2rad(4.0)
    c, s = np.cos(angle), np.sin(angle)
    forward = np.array([[c, -s, 60.0], [s, c, -40.0], [2e-5, -1.5e-5, 1.0]])
    inverse = np.linalg.inv(forward)
    return inverse / inverse[2, 2]


def test_image(dtype):
    rng = np.random.default_rng(0)
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH]
    smooth = (np.sin(x / 37.0) + np.cos(y / 23.0) + 2) / 4
    noise = rng.uniform(0, 0.1, (HEIGHT, WIDTH, 3))
    image = np.clip(smooth[..., None] * 0.9 + noise, 0, 1)
    return np.round(image * np.iinfo(dtype).max).astype(dtype)


def time_linara(repeat):
    import linara
    inverse = homography().ravel()
    result = {}
    for dtype in (np.uint8, np.uint16):
        image = test_image(dtype)
        result[np.dtype(dtype).name] = median_ms(lambda: linara.warp_rgb(image, inverse, 1.0, 0.0, 0.0), repeat)
    return result


def time_peers(repeat):
    from PIL import Image
    from skimage.transform import ProjectiveTransform, warp

    inverse = homography()
    result = {}
    image8 = Image.fromarray(test_image(np.uint8))
    coefficients = tuple(inverse.ravel()[:8])
    result["pillow uint8"] = median_ms(
        lambda: np.asarray(image8.transform((WIDTH, HEIGHT), Image.PERSPECTIVE, coefficients, Image.BILINEAR)),
        repeat)
    transform = ProjectiveTransform(matrix=inverse)
    for dtype in (np.uint8, np.uint16):
        image = test_image(dtype)
        result[f"scikit-image {np.dtype(dtype).name}"] = median_ms(
            lambda: warp(image, transform, order=1, preserve_range=True).round().astype(dtype), max(3, repeat // 3))
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=21)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(time_linara(args.repeat)))
        return

    model, cpus, usable = machine()
    rows = []
    for threads in (1, usable):
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        run = subprocess.run([sys.executable, __file__, "--worker", "--repeat", str(args.repeat)],
                             env=env, capture_output=True, text=True, check=True)
        for dtype, ms in json.loads(run.stdout).items():
            rows.append((f"linara {dtype}, {threads} thread{'s' if threads > 1 else ''}", dtype, ms))
    peers = time_peers(args.repeat)

    print(f"machine: {model}, {cpus} logical processors ({usable} usable)")
    print(f"image: {WIDTH}x{HEIGHT}x3, median of {args.repeat} runs\n")
    print(f"{'':34} {'ms':>9}")
    for name, _, ms in rows:
        print(f"{name:34} {ms:9.2f}")
    for name, ms in peers.items():
        print(f"{name:34} {ms:9.2f}")
    print("\npeer time / linara time (higher = linara faster):")
    for peer, ms in peers.items():
        dtype = peer.split()[-1]
        ratios = [f"{ms / own:6.1f}x vs {name.split(', ')[1]}" for name, d, own in rows if d == dtype]
        print(f"  {peer:26} " + "   ".join(ratios))


if __name__ == "__main__":
    main()
