import numpy as np
import pytest

ATTRS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")


def _scene(height, width, seed=0):
    """uint8 picture of filled bars at random angles and grey levels on a flat background."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    image = np.full((height, width), 40.0)
    for _ in range(8):
        cx, cy = rng.uniform(0, width), rng.uniform(0, height)
        a = rng.uniform(0, np.pi)
        length, thickness = rng.uniform(20, width / 2), rng.uniform(4, 20)
        u = (x - cx) * np.cos(a) + (y - cy) * np.sin(a)
        v = (y - cy) * np.cos(a) - (x - cx) * np.sin(a)
        image[(abs(u) < length / 2) & (abs(v) < thickness / 2)] = rng.uniform(90, 230)
    return np.round(image).astype(np.uint8)


def _fingerprint(segments):
    """Bit-exact summary of a detection result."""
    return [tuple(float.hex(getattr(s, a)) for a in ATTRS) for s in segments]


@pytest.fixture(scope="session")
def scene():
    return _scene


@pytest.fixture(scope="session")
def fingerprint():
    return _fingerprint


def pytest_report_header():
    from libm_platform import EXACT, RECORDED_WITH

    mode = "exact" if EXACT else "close and deterministic"
    return f"results pinned to the bit: {mode} (recorded with {RECORDED_WITH})"
