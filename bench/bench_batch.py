"""Times `linara detect` on a batch of photographs with --jobs 1, --jobs N and
--dask on a local cluster of N single-threaded workers (whose detectors share
the processors, as --jobs arranges for its processes), and checks that the
three tables are identical.

    python bench/bench_batch.py [--count 200] [--repeat 3] [--workers 2]

The batch is made once, in bench/data/batch-COUNT, from the wallpapers that
Debian installs under /usr/share/wallpapers and /usr/share/backgrounds (and
scikit-image's sample photographs), each resized and cropped to 1600 x 1200
and saved as JPEG. Needs linara[dask] and scikit-image.
"""

import argparse
import glob
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from timing import machine

DATA = Path(__file__).parent / "data"
WIDTH, HEIGHT = 1600, 1200


def sources():
    found = []
    for pattern in ("/usr/share/backgrounds/**/*", "/usr/share/wallpapers/**/*"):
        found += [p for p in glob.glob(pattern, recursive=True)
                  if p.lower().endswith((".jpg", ".jpeg", ".png", ".webp"))]
    import skimage
    sample = Path(skimage.__file__).parent / "data"
    found += [str(sample / n) for n in ("astronaut.png", "coffee.png", "rocket.jpg",
                                        "chelsea.png", "camera.png", "brick.png")]
    return sorted(found)


def make_batch(count):
    from PIL import Image

    folder = DATA / f"batch-{count}"
    if len(list(folder.glob("*.jpg"))) == count:
        return folder
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(0)
    photos = sources()
    for i in range(count):
        with Image.open(photos[i % len(photos)]) as picture:
            picture = picture.convert("RGB")
        w, h = picture.size
        zoom = max(WIDTH / w, HEIGHT / h) * rng.uniform(1.0, 1.5)
        picture = picture.resize((round(w * zoom), round(h * zoom)), Image.Resampling.LANCZOS)
        x = rng.integers(0, picture.size[0] - WIDTH + 1)
        y = rng.integers(0, picture.size[1] - HEIGHT + 1)
        picture.crop((x, y, x + WIDTH, y + HEIGHT)).save(folder / f"p{i:04d}.jpg", quality=90)
    return folder


def run_once(folder, extra, table):
    command = [sys.executable, "-m", "linara_cli", "detect", str(folder), "-o", str(table),
               "--force"] + extra
    start = time.perf_counter()
    subprocess.run(command, check=True)
    return time.perf_counter() - start, table.read_bytes()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    from distributed import LocalCluster

    folder = make_batch(args.count)
    model, cpus, cores = machine()
    print(f"machine: {model}, {cpus} logical processors ({cores} usable), "
          f"Python {platform.python_version()}; {args.count} photos of {WIDTH} x {HEIGHT}, "
          f"median of {args.repeat} runs")
    n = args.workers
    times, tables = {}, {}
    with tempfile.TemporaryDirectory() as scratch, \
            LocalCluster(n_workers=n, threads_per_worker=1, dashboard_address=":0",
                         env={"RAYON_NUM_THREADS": str(max(1, cores // n))}) as cluster:
        ways = {"--jobs 1": ["--jobs", "1"], f"--jobs {n}": ["--jobs", str(n)],
                f"--dask ({n} workers)": ["--dask", cluster.scheduler_address]}
        for _ in range(args.repeat):  # interleaved, so drifting load hits all alike
            for name, extra in ways.items():
                seconds, tables[name] = run_once(folder, extra, Path(scratch) / "t.csv")
                times.setdefault(name, []).append(seconds)
    rows = tables["--jobs 1"].count(b"\n") - 1
    print(f"{'way':<20} {'seconds':>8} {'photos/s':>9}")
    for name, values in times.items():
        median = statistics.median(values)
        print(f"{name:<20} {median:>8.1f} {args.count / median:>9.2f}")
    same = len(set(tables.values())) == 1
    print(f"{rows} segments; tables identical: {same}")
    if not same:
        sys.exit(1)


if __name__ == "__main__":
    main()
