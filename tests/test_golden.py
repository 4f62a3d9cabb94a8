"""Detection on real photographs must reproduce the stored results bit for bit."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import linara
from golden_cases import CASES, GOLDEN_DIR, run_case

pytest.importorskip("skimage")


@pytest.mark.parametrize("stem, image_name, dtype, scale", CASES, ids=[c[0] for c in CASES])
def test_matches_golden(stem, image_name, dtype, scale):
    expected = json.loads((GOLDEN_DIR / f"{stem}.json").read_text())["segments"]
    got = run_case(linara, image_name, dtype, scale)
    assert len(got) == len(expected)
    for index, (g, e) in enumerate(zip(got, expected)):
        assert g == e, f"segment {index} differs"


# Every vector routine the processor can run gives the same bits; LINARA_SIMD
# picks a narrower one than the processor offers (an unsupported one falls
# back to the widest supported, which the test above covers).
@pytest.mark.parametrize("level", ["portable", "avx2"])
def test_every_vector_routine_matches_golden(level):
    code = ("import json, sys, linara\n"
            "from golden_cases import CASES, run_case\n"
            "print(json.dumps([run_case(linara, *case[1:]) for case in CASES]))\n")
    env = dict(os.environ, LINARA_SIMD=level, PYTHONPATH=os.pathsep.join(
        [str(Path(__file__).parent)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    got = json.loads(result.stdout)
    for (stem, *_), segments in zip(CASES, got):
        assert segments == json.loads((GOLDEN_DIR / f"{stem}.json").read_text())["segments"], stem
