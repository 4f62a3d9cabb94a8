"""Detection on real photographs must reproduce the stored results bit for bit."""

import json

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
