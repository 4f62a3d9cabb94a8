"""Times two builds of linara against each other in one process, after
checking that they return the same segments.

    python bench/compare_builds.py BEFORE AFTER [--repeat N] [--threads T]
                                   [--scale S] [--swap] [--peers] [PHOTO ...]

BEFORE and AFTER are build directories holding linara's extension module
(or the module files themselves), for example two checkouts built with
`cmake -S . -B build -G Ninja && ninja -C build`. A change meant to make
detection faster must leave every result as it was: for every photo the
script first compares all fields of every segment of both builds and stops
at the first difference. Then it calls the two builds in turn, `--repeat`
times each (default 15), and prints the medians and AFTER / BEFORE (below 1:
AFTER is faster) per photo, and their geometric mean.

On a noisy machine, comparing two builds in separate runs mistakes the
machine's drift for the change; calls interleaved in one process see the
same machine. Whichever build is called first in a pair may still gain or
lose a little from the caches, so run it again with `--swap`, which calls
AFTER first, and take both runs together. `--peers` adds OpenCV contrib's
FastLineDetector and EdgeDrawing to the turns and prints their time divided
by each build's, as bench_detect.py does.

Photos are bench_detect.py's: the installed Debian wallpapers and
scikit-image's retina, or the image files given. The thread count is set
with RAYON_NUM_THREADS before either build is loaded (default 1).
"""

import argparse
import importlib.util
import math
import os
import struct
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
from bench_detect import PHOTOS, load_gray, peer_detectors  # noqa: E402


def load_build(path):
    """linara's module from a build directory or a module file; each call
    loads a separate copy, with its own worker pool."""
    path = Path(path)
    if not path.exists():
        raise SystemExit(f"{path} does not exist")
    if path.is_dir():
        found = sorted(path.glob("linara*.so")) + sorted(path.glob("linara*.pyd"))
        if not found:
            raise SystemExit(f"no linara module in {path}")
        path = found[0]
    spec = importlib.util.spec_from_file_location("linara", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def segment_fields(segments):
    """Every field of every segment, as bits (a NaN score equals itself)."""
    return [struct.pack("<7d", s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa) for s in segments]


def interleaved_medians(calls, repeat):
    """Median milliseconds of each named call, calling them in turn."""
    for _, call in calls:
        call()
    times = {name: [] for name, _ in calls}
    for _ in range(repeat):
        for name, call in calls:
            start = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - start)
    return {name: float(np.median(values)) * 1e3 for name, values in times.items()}


def peer_calls(threads):
    fast_line, edge_drawing = peer_detectors(threads)
    return lambda gray: [("FLD", lambda: fast_line(gray)), ("ED", lambda: edge_drawing(gray))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("photos", nargs="*", help="image files (default: installed wallpapers)")
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--scale", type=float, default=0.8)
    parser.add_argument("--swap", action="store_true", help="call AFTER first in each turn")
    parser.add_argument("--peers", action="store_true", help="time FastLineDetector and EdgeDrawing too")
    args = parser.parse_intermixed_args()

    # The pool size is read when a build first runs, so it is set before.
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    before, after = load_build(args.before), load_build(args.after)
    peers = peer_calls(args.threads) if args.peers else None
    if args.photos:
        photos = [(Path(p).name, p) for p in args.photos]
    else:
        photos = [(name, path) for name, path in PHOTOS if path.exists()] + [("retina", "retina")]

    order = "AFTER" if args.swap else "BEFORE"
    print(f"{args.threads} thread(s), scale {args.scale}, median of {args.repeat}, {order} called first")
    header = f"{'photo':<16} {'before':>8} {'after':>8} {'after/before':>12}"
    if peers:
        header += f" {'FLD':>8} {'ED':>8} {'ratio before':>12} {'ratio after':>11}"
    print(header)
    quotients = []
    for name, path in photos:
        gray = load_gray(name, path)
        if segment_fields(before.detect(gray, args.scale)) != segment_fields(after.detect(gray, args.scale)):
            raise SystemExit(f"{name}: the two builds return different segments")
        calls = [("before", lambda: before.detect(gray, args.scale)),
                 ("after", lambda: after.detect(gray, args.scale))]
        if args.swap:
            calls.reverse()
        if peers:
            calls += peers(gray)
        ms = interleaved_medians(calls, args.repeat)
        quotient = ms["after"] / ms["before"]
        quotients.append(quotient)
        line = f"{name:<16} {ms['before']:>8.1f} {ms['after']:>8.1f} {quotient:>12.3f}"
        if peers:
            peer = min(ms["FLD"], ms["ED"])
            line += f" {ms['FLD']:>8.1f} {ms['ED']:>8.1f} {peer / ms['before']:>12.2f} {peer / ms['after']:>11.2f}"
        print(line, flush=True)
    mean = math.exp(sum(math.log(q) for q in quotients) / len(quotients))
    print(f"geometric mean of after/before: {mean:.3f}")


if __name__ == "__main__":
    main()
