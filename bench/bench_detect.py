"""Times linara.detect on photographs next to the line finders a user could
pick instead: OpenCV contrib's FastLineDetector and EdgeDrawing
(detectEdges + detectLines), at the same thread count, and prints peer time /
linara time (above 1: linara is faster).

    python bench/bench_detect.py [--repeat N] [--rounds R] [--threads 1,2]
                                 [--scale S] [--stages] [--memory] [PHOTO ...]

Without PHOTO arguments it uses the Debian wallpapers below that are
installed (apt-get install plasma-workspace-wallpapers mate-backgrounds),
among them the 2560x1600 fine grey texture, the hardest photo for linara,
and scikit-image's retina. Colour images are reduced to gray with an integer
luma. Peers: pip install opencv-contrib-python-headless (benchmark only).

--rounds R times every thread count R times, alternating their order, and
reports medians across the rounds; with several thread counts it also
prints how much faster linara runs with the most threads than with the
fewest, photo by photo.

--stages adds linara's stage breakdown (LINARA_PROFILE=1; times summed over
threads, so with several threads they exceed the wall time) and its
speculation counters. --memory adds the peak extra memory of a call in bytes
per input pixel, each photo in a fresh process.

linara's pool size is fixed per process, so every thread count runs in a
subprocess with RAYON_NUM_THREADS set; OpenCV gets cv2.setNumThreads.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

from timing import machine, median_ms

WALLPAPERS = Path("/usr/share/wallpapers")
MATE = Path("/usr/share/backgrounds/mate")
PHOTOS = [
    ("grey texture", WALLPAPERS / "Grey/contents/images/2560x1600.jpg"),
    ("path", WALLPAPERS / "Path/contents/images/2560x1600.jpg"),
    ("cups", WALLPAPERS / "ColorfulCups/contents/images/2560x1600.jpg"),
    ("autumn", WALLPAPERS / "Autumn/contents/images/1920x1080.jpg"),
    ("blinds", MATE / "nature/Blinds.jpg"),
    ("wood", MATE / "nature/Wood.jpg"),
    ("altai", WALLPAPERS / "Altai/contents/images/5120x2880.png"),
    ("elephants 16MP", MATE / "abstract/Elephants_5640x3172.jpg"),
]
STAGES = ("gradient", "ordering", "growth", "fit", "refinement", "scoring", "commit")
COUNTERS = ("hypot_needed", "hypot_called", "seeds", "speculated", "accepted", "rerun", "direct", "own_chunks")


def integer_luma(rgb):
    rgb = rgb[..., :3].astype(np.uint32)
    return ((77 * rgb[..., 0] + 150 * rgb[..., 1] + 29 * rgb[..., 2] + 128) >> 8).astype(np.uint8)


def load_gray(name, path):
    if path == "retina":
        from skimage import data
        image = data.retina()
    else:
        import cv2
        image = cv2.imread(str(path), cv2.IMREAD_UNCHANGED)
        if image is None:
            raise SystemExit(f"cannot read {path}")
        if image.ndim == 3:
            image = image[..., 2::-1]  # BGR(A) to RGB
    gray = integer_luma(image) if image.ndim == 3 else image
    if name == "elephants 16MP":
        gray = gray[:, :5040]  # 5040 x 3172 = 16.0 MP
    return np.ascontiguousarray(gray)


def prepare(photos, folder):
    """Decodes every photo once into .npy files the workers load."""
    prepared = []
    for name, path in photos:
        target = Path(folder) / f"{len(prepared)}.npy"
        np.save(target, load_gray(name, path))
        prepared.append((name, str(target)))
    return prepared


def peer_detectors(threads):
    """The peers as functions of a gray image: FastLineDetector and
    EdgeDrawing (detectEdges + detectLines), OpenCV set to `threads`."""
    import cv2

    cv2.setNumThreads(threads)
    fld = cv2.ximgproc.createFastLineDetector()
    ed = cv2.ximgproc.createEdgeDrawing()

    def edge_drawing(gray):
        ed.detectEdges(gray)
        return ed.detectLines()

    return fld.detect, edge_drawing


def time_all(prepared, repeat, threads, scale):
    import linara

    fast_line, edge_drawing = peer_detectors(threads)
    rows = []
    for name, file in prepared:
        gray = np.load(file)
        row = {"name": name, "shape": list(gray.shape), "segments": len(linara.detect(gray, scale))}
        row["linara"] = median_ms(lambda: linara.detect(gray, scale), repeat)
        row["fld"] = median_ms(lambda: fast_line(gray), repeat)
        row["edge drawing"] = median_ms(lambda: edge_drawing(gray), repeat)
        rows.append(row)
    return rows


def stage_breakdown(prepared, threads, scale):
    """Average stage times and counters of a few profiled calls per photo."""
    code = ("import sys, numpy as np, linara\n"
            "for f in sys.argv[2:]:\n"
            "    g = np.load(f)\n"
            "    for _ in range(3): linara.detect(g, float(sys.argv[1]))\n"
            "    print('--', file=sys.stderr, flush=True)\n")
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), LINARA_PROFILE="1")
    err = subprocess.run([sys.executable, "-c", code, str(scale), *[f for _, f in prepared]], env=env,
                         check=True, capture_output=True, text=True).stderr
    result = []
    for block in err.split("--\n")[:len(prepared)]:
        lines = [line for line in block.splitlines() if line.startswith("linara profile:")][1:]
        values = {}
        for line in lines:
            words = line.replace("|", " ").split()
            for key in ("wall",) + STAGES + COUNTERS:
                values.setdefault(key, []).append(float(words[words.index(key) + 1]))
        result.append({k: sum(v) / len(v) for k, v in values.items()})
    return result


def peak_memory(file, scale):
    """Peak resident memory of one call above what the process held before,
    from Linux's VmHWM after resetting it (write 5 to /proc/self/clear_refs)."""
    code = ("import sys, numpy as np, linara\n"
            "def status(key):\n"
            "    for line in open('/proc/self/status'):\n"
            "        if line.startswith(key): return int(line.split()[1]) * 1024\n"
            "g = np.load(sys.argv[1]); linara.detect(g[:64, :64])\n"
            "open('/proc/self/clear_refs', 'w').write('5')\n"
            "before = status('VmRSS:')\n"
            "linara.detect(g, float(sys.argv[2]))\n"
            "print((status('VmHWM:') - before) / g.size)\n")
    out = subprocess.run([sys.executable, "-c", code, file, str(scale)], check=True,
                         capture_output=True, text=True).stdout
    return float(out)


def in_subprocess(threads, prepared, repeat, scale):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
    code = (f"import json, sys; sys.path.insert(0, {str(Path(__file__).parent)!r}); "
            f"import bench_detect as b; "
            f"print(json.dumps(b.time_all({prepared!r}, {repeat}, {threads}, {scale})))")
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def timed_rounds(counts, prepared, repeat, scale, rounds):
    """Rows per thread count, each time the median across `rounds` rounds.
    Successive rounds run the thread counts in alternating order, so that
    a machine whose speed drifts during the run (other tenants, clock
    changes) weighs on every count alike and the ratios between them stay
    fair."""
    runs = {threads: [] for threads in counts}
    for r in range(rounds):
        for threads in (counts if r % 2 == 0 else counts[::-1]):
            runs[threads].append(in_subprocess(threads, prepared, repeat, scale))
    table = {}
    for threads, rounds_rows in runs.items():
        rows = []
        for per_photo in zip(*rounds_rows):
            row = dict(per_photo[0])
            for key in ("linara", "fld", "edge drawing"):
                row[key] = float(np.median([r[key] for r in per_photo]))
            rows.append(row)
        table[threads] = rows
    return table


def print_scaling(table, few, many):
    """linara's time with `few` threads over its time with `many`, per photo."""
    print(f"\nscaling: linara's time with {few} thread{'s' if few > 1 else ''} / with {many} threads")
    print(f"{'photo':<16} {'MP':>6} {'ratio':>6}")
    for slow, fast in zip(table[few], table[many]):
        megapixels = slow["shape"][0] * slow["shape"][1] / 1e6
        print(f"{slow['name']:<16} {megapixels:>6.1f} {slow['linara'] / fast['linara']:>6.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--threads", default=None, help="comma-separated thread counts (default 1 and all)")
    parser.add_argument("--rounds", type=int, default=1,
                        help="timing rounds, the thread counts alternating in order; medians across rounds")
    parser.add_argument("--scale", type=float, default=0.8)
    parser.add_argument("--stages", action="store_true", help="print linara's stage breakdown")
    parser.add_argument("--memory", action="store_true", help="print peak extra memory per input pixel")
    parser.add_argument("photos", nargs="*", help="image files (default: installed wallpapers)")
    args = parser.parse_args()

    model, cpus, usable = machine()
    counts = [int(t) for t in args.threads.split(",")] if args.threads else sorted({1, usable})
    photos = ([(Path(p).stem, Path(p)) for p in args.photos] if args.photos else
              [(n, p) for n, p in PHOTOS if p.exists()] + [("retina", "retina")])
    missing = [str(p) for _, p in PHOTOS if not args.photos and not p.exists()]
    print(f"machine: {model}, {cpus} logical processors ({usable} usable), Python "
          f"{platform.python_version()}; scale {args.scale}; median of {args.repeat} runs" +
          (f", then of {args.rounds} rounds" if args.rounds > 1 else ""))
    if missing:
        print(f"not installed, skipped: {', '.join(missing)}")

    with tempfile.TemporaryDirectory() as folder:
        prepared = prepare(photos, folder)
        table = timed_rounds(counts, prepared, args.repeat, args.scale, args.rounds)
        for threads in counts:
            rows = table[threads]
            print(f"\n{threads} thread{'s' if threads > 1 else ''}: times in ms; ratio = fastest peer / linara")
            print(f"{'photo':<16} {'size':>10} {'segments':>8} {'linara':>8} {'FLD':>8} {'ED':>8} {'ratio':>6}")
            ratios = []
            for row in rows:
                peer = min(row["fld"], row["edge drawing"])
                ratios.append(peer / row["linara"])
                print(f"{row['name']:<16} {row['shape'][1]:>4}x{row['shape'][0]:<5} {row['segments']:>8} "
                      f"{row['linara']:>8.1f} {row['fld']:>8.1f} {row['edge drawing']:>8.1f} {ratios[-1]:>6.2f}")
            print(f"ratio: median {np.median(ratios):.2f}, worst {min(ratios):.2f}")
            if args.stages:
                print(f"\nstage breakdown, {threads} thread(s): ms summed over threads, per call")
                print(f"{'photo':<16} {'wall':>7} " + " ".join(f"{s[:9]:>9}" for s in STAGES) +
                      "  hypot calls    speculated own_chunks accepted rerun direct")
                for (name, _), stage in zip(prepared, stage_breakdown(prepared, threads, args.scale)):
                    calls = f"{stage['hypot_called']:.0f}/{stage['hypot_needed']:.0f}"
                    print(f"{name:<16} {stage['wall']:>7.1f} " +
                          " ".join(f"{stage[s]:>9.1f}" for s in STAGES) +
                          f"  {calls:>14} {stage['speculated']:>10.0f} {stage['own_chunks']:>10.0f} {stage['accepted']:>8.0f} "
                          f"{stage['rerun']:>5.0f} {stage['direct']:>6.0f}")
        if len(counts) > 1:
            print_scaling(table, counts[0], counts[-1])
        if args.memory:
            print("\npeak extra memory of one call, bytes per input pixel (uint8 input)")
            for name, file in prepared:
                print(f"{name:<16} {peak_memory(file, args.scale):6.2f}")


if __name__ == "__main__":
    main()
