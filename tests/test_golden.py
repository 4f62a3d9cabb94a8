"""Detection on real photographs must reproduce the stored results bit for bit.

The stored results were recorded with the C math library that
libm_platform.RECORDED_WITH names. On another one they must come out close
to them, and with the same bits for every vector routine, thread count and
array layout as this process gets.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import linara
from golden_cases import CASES, GOLDEN_DIR, LAYOUTS, run_case
from libm_platform import EXACT, assert_close

pytest.importorskip("skimage")


def stored(stem):
    return json.loads((GOLDEN_DIR / f"{stem}.json").read_text())["segments"]


@pytest.fixture(scope="module")
def expected_bits():
    """Per case, the bits every variant must give: the stored ones where
    they were recorded, otherwise this process's own."""
    if EXACT:
        return [stored(stem) for stem, *_ in CASES]
    return [run_case(linara, *case[1:]) for case in CASES]


@pytest.mark.parametrize("stem, image_name, dtype, scale", CASES, ids=[c[0] for c in CASES])
def test_matches_golden(stem, image_name, dtype, scale):
    expected = stored(stem)
    got = run_case(linara, image_name, dtype, scale)
    if not EXACT:
        assert_close(got, expected)
        return
    assert len(got) == len(expected)
    for index, (g, e) in enumerate(zip(got, expected)):
        assert g == e, f"segment {index} differs"


def run_cases_in_subprocess(**env):
    code = ("import json, sys, linara\n"
            "from golden_cases import CASES, run_case\n"
            "print(json.dumps([run_case(linara, *case[1:]) for case in CASES]))\n")
    env = dict(os.environ, **env, PYTHONPATH=os.pathsep.join(
        [str(Path(__file__).parent)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout)


# Every vector routine the processor can run gives the same bits; LINARA_SIMD
# picks a narrower one than the processor offers (an unsupported one falls
# back to the widest supported, which the test above covers).
@pytest.mark.parametrize("level", ["portable", "avx2"])
def test_every_vector_routine_matches_golden(level, expected_bits):
    got = run_cases_in_subprocess(LINARA_SIMD=level)
    for (stem, *_), segments, expected in zip(CASES, got, expected_bits):
        assert segments == expected, stem


@pytest.mark.parametrize("threads", ["1", "3"])
def test_every_thread_count_gives_the_same_bits(threads, expected_bits):
    got = run_cases_in_subprocess(RAYON_NUM_THREADS=threads)
    for (stem, *_), segments, expected in zip(CASES, got, expected_bits):
        assert segments == expected, stem


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_every_layout_gives_the_same_bits(layout, expected_bits):
    for case, expected in zip(CASES, expected_bits):
        assert run_case(linara, *case[1:], layout=layout) == expected, case[0]
