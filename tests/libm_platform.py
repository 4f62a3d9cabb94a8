"""The C math library that the bit-exact expectations were recorded with.

Detection calls the platform's hypot, atan2, exp, log and pow, and C
libraries differ in the last bit of some of their results. So does glibc
itself between processors: with AVX2 and FMA it runs other variants of
exp, log, pow, sin and cos than without. A last-bit difference moves a
coordinate by far less than a pixel, and rarely flips a decision that
reshapes a segment. The stored results that pin every bit were recorded
with RECORDED_WITH. Elsewhere the tests that use them check what holds on
every platform instead: the same bits for every thread count, vector
routine and array layout (each test says how), and results close to the
recorded ones (assert_close).

LINARA_LIBM_BITS=exact or LINARA_LIBM_BITS=close overrides the detection.
"""

import ctypes
import math
import os
import platform

import numpy as np

RECORDED_WITH = "glibc 2.36 on x86-64 (Debian 12), on a processor with AVX2 and FMA"


def _glibc_uses_fma_variants():
    """Whether glibc found FMA and AVX2 usable, as its math functions ask."""
    leaf = ctypes.CDLL(None).__x86_get_cpuid_feature_leaf
    leaf.argtypes = [ctypes.c_uint]
    leaf.restype = ctypes.POINTER(ctypes.c_uint * 8)  # cpuid words, then active words
    fma = leaf(0).contents[4 + 2] >> 12 & 1  # CPUID 1, ecx bit 12
    avx2 = leaf(1).contents[4 + 1] >> 5 & 1  # CPUID 7, ebx bit 5
    return bool(fma and avx2)


def _exact_here():
    choice = os.environ.get("LINARA_LIBM_BITS", "")
    if choice in ("exact", "close"):
        return choice == "exact"
    if choice:
        raise ValueError(f"LINARA_LIBM_BITS must be 'exact' or 'close', not {choice!r}")
    return (platform.libc_ver() == ("glibc", "2.36") and platform.machine() == "x86_64"
            and _glibc_uses_fma_variants())


# True where the recorded bits must come out exactly.
EXACT = _exact_here()

# Of every hundred segments, how many may lack a close partner: a flipped
# decision reshapes a segment or two. A C library that rounds one result in
# sixteen one unit differently leaves at most 2 in a hundred of the stored
# photographs' segments without one.
UNMATCHED_PER_HUNDRED = 5


def _as_matrix(segments):
    rows = [[float.fromhex(v) if isinstance(v, str) else float(v) for v in s] for s in segments]
    return np.array(rows, dtype=np.float64).reshape(len(rows), 7)


def _unmatched(a, b):
    """Rows of a without a row of b that agrees up to last-bit differences."""
    count = 0
    for row in a:
        geometry = np.all(np.abs(b[:, :5] - row[:5]) <= 1e-6 + 1e-9 * np.abs(row[:5]), axis=1)
        precision = b[:, 5] == row[5]
        score = (np.abs(b[:, 6] - row[6]) <= 1e-9 * (1.0 + abs(row[6]))) | (np.isnan(b[:, 6]) & np.isnan(row[6]))
        count += not np.any(geometry & precision & score)
    return count


def assert_close(got, want):
    """Segments (x1, y1, x2, y2, width, precision, log_nfa), as floats or hex
    strings, that agree with `want` but for last-bit rounding: a few may be
    missing, added or reshaped, every other one has a partner within 1e-6
    pixels and a relative 1e-9 of its score."""
    g, w = _as_matrix(got), _as_matrix(want)
    allowed = max(1, math.ceil(UNMATCHED_PER_HUNDRED * len(w) / 100))
    missing, extra = _unmatched(w, g), _unmatched(g, w)
    assert missing <= allowed and extra <= allowed, (
        f"{missing} of {len(w)} expected segments have no close partner and {extra} of {len(g)} "
        f"found ones are new (at most {allowed} each; recorded with {RECORDED_WITH})")
