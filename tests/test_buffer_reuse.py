"""Working buffers are kept from one call for the next: no call may see what
an earlier one left in them."""

import json
import os
import subprocess
import sys

import pytest

# Images of several sizes, types and scales, large ones among small ones,
# so that later calls get blocks that earlier, larger calls filled.
CODE = """
import json, sys
import numpy as np
import linara
def scene(h, w, dtype, seed):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w]
    image = np.where((x - w / 3) ** 2 + (y - h / 2) ** 2 < (min(h, w) / 4) ** 2, 200.0, 40.0)
    image += 60.0 * ((x + 2 * y) // 37 % 2) + rng.normal(0, 6, (h, w))
    image = np.clip(image, 0, 255)
    return (image * 257).astype(dtype) if dtype == np.uint16 else image.astype(dtype)
cases = [(1200, 1600, np.uint8, 0.8), (60, 90, np.float64, 1.0), (900, 700, np.uint16, 1.0),
         (300, 1300, np.float32, 0.5), (1400, 1100, np.uint8, 1.0), (40, 40, np.uint8, 0.8),
         (800, 800, np.float64, 0.75)]
order = [int(i) for i in sys.argv[1].split(",")]
keys = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")
out = {}
for i in order:
    h, w, dtype, scale = cases[i]
    segments = linara.detect(scene(h, w, dtype, i), scale)
    out[i] = [[float.hex(getattr(s, k)) for k in keys] for s in segments]
print(json.dumps(out))
"""


def run(order, threads):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = threads
    result = subprocess.run([sys.executable, "-c", CODE, ",".join(map(str, order))], env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout)


@pytest.mark.parametrize("threads", ["1", "2"])
def test_earlier_calls_leave_nothing_behind(threads):
    forward = run(range(7), threads)
    backward = run(reversed(range(7)), threads)
    assert forward == backward
    assert sum(len(v) for v in forward.values()) > 50
    # Each case alone, in a fresh process, for the largest ones.
    for i in (0, 4):
        assert run([i], threads)[str(i)] == forward[str(i)]
