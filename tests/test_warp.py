"""linara.warp_rgb: argument handling, array layouts, the result array, and
the warp itself against a plain NumPy rendering of the same arithmetic."""

import os
import platform
import subprocess
import sys
import threading

import numpy as np
import pytest

import linara

IDENTITY = (1, 0, 0, 0, 1, 0, 0, 0, 1)
SRC_MESSAGE = "warp_rgb expects a (height, width, 3) array of uint8 or uint16"


def reference_warp(src, inverse, scale, off_x, off_y):
    """The warp in float64 NumPy, every operation in the kernel's order."""
    h = [float(v) for v in inverse]
    height, width, _ = src.shape
    top = float(np.iinfo(src.dtype).max)
    with np.errstate(all="ignore"):
        X = (np.arange(width, dtype=np.float64) / float(scale) + float(off_x))[None, :]
        Y = (np.arange(height, dtype=np.float64) / float(scale) + float(off_y))[:, None]
        w = h[6] * X + (h[7] * Y + h[8])
        sx = (h[0] * X + (h[1] * Y + h[2])) / w
        sy = (h[3] * X + (h[4] * Y + h[5])) / w
        keep = (w != 0) & ~((sx < 0) | (sx > width - 1.0)) & ~((sy < 0) | (sy > height - 1.0))
        x0 = np.where(keep & ~np.isnan(sx), np.floor(sx), 0).astype(np.int64)
        y0 = np.where(keep & ~np.isnan(sy), np.floor(sy), 0).astype(np.int64)
        x1, y1 = np.minimum(x0 + 1, width - 1), np.minimum(y0 + 1, height - 1)
        fx, fy = (sx - x0)[..., None], (sy - y0)[..., None]
        s = src.astype(np.float64)
        v = ((s[y0, x0] * ((1 - fx) * (1 - fy)) + s[y0, x1] * (fx * (1 - fy)))
             + s[y1, x0] * ((1 - fx) * fy)) + s[y1, x1] * (fx * fy)
        v = v + 0.5
        v = np.where(v < 0, 0.0, v)
        v = np.where(v > top, top, v)
        v = np.where(keep[..., None] & ~np.isnan(v), v, 0.0)
    return np.trunc(v).astype(src.dtype)


def random_image(rng, height, width, dtype):
    return rng.integers(0, np.iinfo(dtype).max, (height, width, 3), dtype=dtype, endpoint=True)


def near_identity(rng):
    m = np.eye(3) + rng.uniform(-0.08, 0.08, (3, 3)) * [[1, 1, 0], [1, 1, 0], [0.02, 0.02, 0.5]]
    m[:2, 2] = rng.uniform(-4, 4, 2)
    return m.ravel()


@pytest.fixture
def image():
    return random_image(np.random.default_rng(7), 23, 31, np.uint8)


# ----------------------------------------------------------------- the warp

@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_random_homographies_match_the_numpy_rendering(dtype):
    rng = np.random.default_rng(11)
    for trial in range(12):
        height, width = rng.integers(16, 90, 2)
        src = random_image(rng, height, width, dtype)
        scale, off_x, off_y = (1.0, 0.0, 0.0) if trial < 4 else (rng.uniform(0.4, 2.5), *rng.uniform(-3, 3, 2))
        inverse = near_identity(rng)
        out = linara.warp_rgb(src, inverse, scale, off_x, off_y)
        assert out.dtype == dtype and out.shape == src.shape
        np.testing.assert_array_equal(out, reference_warp(src, inverse, scale, off_x, off_y))
        assert out.any()


@pytest.mark.parametrize("shape", [(0, 4, 3), (4, 0, 3), (0, 0, 3)])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_empty_images_give_empty_arrays(shape, dtype):
    out = linara.warp_rgb(np.zeros(shape, dtype), IDENTITY, 1.0, 0.0, 0.0)
    assert out.shape == shape and out.dtype == dtype and out.flags.c_contiguous and out.flags.writeable


def test_same_result_for_any_thread_count():
    script = (
        "import hashlib, numpy as np, linara\n"
        "rng = np.random.default_rng(3)\n"
        "for dtype in (np.uint8, np.uint16):\n"
        "    src = rng.integers(0, 60000, (301, 257, 3)).astype(dtype)\n"
        "    out = linara.warp_rgb(src, [1.01, 0.02, -3, -0.03, 0.98, 2, 1e-4, -2e-4, 1], 1.3, 0.5, -0.25)\n"
        "    print(hashlib.sha256(out.tobytes()).hexdigest())\n"
    )
    digests = set()
    for threads in ("1", "2", "3", "7"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
        digests.add(run.stdout)
    assert len(digests) == 1 and len(digests.pop().split()) == 2


def test_concurrent_calls_from_python_threads(image):
    expected = linara.warp_rgb(image, near_identity(np.random.default_rng(1)), 1.0, 0.0, 0.0)
    results = [None] * 8

    def work(i):
        results[i] = linara.warp_rgb(image, near_identity(np.random.default_rng(1)), 1.0, 0.0, 0.0)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        np.testing.assert_array_equal(r, expected)


# ------------------------------------------------------ layouts and the result

@pytest.mark.parametrize("view", [
    lambda a: a[::-1],
    lambda a: a[:, ::-1],
    lambda a: a[..., ::-1],
    lambda a: a[:, ::2],
    lambda a: np.asfortranarray(a),
    lambda a: a.swapaxes(0, 1),
    lambda a: a[3:4],
    lambda a: a[:, 5:6],
    lambda a: a.view(type("Subclass", (np.ndarray,), {})),
    lambda a: np.frombuffer(b"\0" + a.astype(np.uint16).tobytes(), np.uint16, offset=1).reshape(a.shape),
])
def test_every_layout_equals_its_c_contiguous_copy(view, image):
    src = view(image)
    inverse = (0.97, 0.05, 0.7, -0.04, 1.02, 0.3, 0.001, 0.002, 1.0)
    np.testing.assert_array_equal(linara.warp_rgb(src, inverse, 1.0, 0.0, 0.0),
                                  linara.warp_rgb(np.ascontiguousarray(src), inverse, 1.0, 0.0, 0.0))


def test_channel_reversal_reads_the_views_channels(image):
    out = linara.warp_rgb(image[..., ::-1], IDENTITY, 1.0, 0.0, 0.0)
    np.testing.assert_array_equal(out[..., 0], image[..., 2])


def test_read_only_source_is_accepted_and_left_alone(image):
    src = image.copy()
    src.flags.writeable = False
    np.testing.assert_array_equal(linara.warp_rgb(src, IDENTITY, 1, 0, 0), image)
    np.testing.assert_array_equal(src, image)


def test_result_is_a_new_array_owning_its_memory(image):
    src = image.copy()
    out = linara.warp_rgb(src, IDENTITY, 1.0, 0.0, 0.0)
    assert type(out) is np.ndarray and out.flags.c_contiguous and out.flags.writeable
    assert out.strides == (src.shape[1] * 3, 3, 1)
    assert not np.shares_memory(out, src) and not isinstance(out.base, np.ndarray)
    out[...] = 1
    np.testing.assert_array_equal(src, image)
    src[...] = 2
    del src
    assert (out == 1).all()


def test_keyword_call_equals_positional(image):
    m = near_identity(np.random.default_rng(2))
    np.testing.assert_array_equal(linara.warp_rgb(src=image, inverse=m, scale=1.5, off_x=0.5, off_y=1.0),
                                  linara.warp_rgb(image, m, 1.5, 0.5, 1.0))


@pytest.mark.parametrize("inverse", [
    (1, 0, 2, 0, 1, 3, 0, 0, 1),
    [1.0, 0.0, 2.0, 0.0, 1.0, 3.0, 0.0, 0.0, 1.0],
    np.array([1, 0, 2, 0, 1, 3, 0, 0, 1], np.float64),
    np.array([1, 0, 2, 0, 1, 3, 0, 0, 1], np.int32),
    [np.float32(1), 0, np.int64(2), 0, 1, 3, 0, 0, True],
])
def test_accepted_inverse_forms_agree(inverse, image):
    np.testing.assert_array_equal(linara.warp_rgb(image, inverse, np.float64(1), 0, 0),
                                  linara.warp_rgb(image, (1.0, 0.0, 2.0, 0.0, 1.0, 3.0, 0.0, 0.0, 1.0), 1.0, 0.0, 0.0))


# ------------------------------------------------------------------ errors

@pytest.mark.parametrize("args, parameter, error, message", [
    ((5, 1, 0, 0), "inverse", TypeError, "'int' object is not an instance of 'Sequence'"),
    (({}, 1, 0, 0), "inverse", TypeError, "'dict' object is not an instance of 'Sequence'"),
    ([[[1, 0, 0], [0, 1, 0], [0, 0, 1]], 1, 0, 0], "inverse", ValueError, r"expected a sequence of length 9 \(got 3\)"),
    ((np.eye(3), 1, 0, 0), "inverse", ValueError, r"expected a sequence of length 9 \(got 3\)"),
    ((IDENTITY[:8], 1, 0, 0), "inverse", ValueError, r"expected a sequence of length 9 \(got 8\)"),
    ((np.array(1.0), 1, 0, 0), "inverse", TypeError, "unsized"),
    ((IDENTITY[:8] + ("x",), 1, 0, 0), "inverse", TypeError, "str"),
    ((IDENTITY, "2", 0, 0), "scale", TypeError, "str"),
    ((IDENTITY, 1, None, 0), "off_x", TypeError, "NoneType"),
    ((IDENTITY, 1, 0, [0]), "off_y", TypeError, "list"),
    (("x" * 9, "2", None, None), "inverse", TypeError, "str"),
    ((IDENTITY, 1, None, "y"), "off_x", TypeError, "NoneType"),
])
def test_conversion_errors_carry_the_parameter_note(args, parameter, error, message):
    bad_src = [[1, 2, 3]]   # also wrong, but examined after every conversion
    with pytest.raises(error, match=message) as info:
        linara.warp_rgb(bad_src, *args)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize("src", [
    np.zeros((4, 5, 4), np.uint8),
    np.zeros((4, 5), np.uint8),
    np.zeros((2, 4, 5, 3), np.uint8),
    np.zeros((4, 5, 3), np.float32),
    np.zeros((4, 5, 3), np.int16),
    np.zeros((4, 5, 3), np.bool_),
    [[[0, 0, 0]]],
    None,
])
def test_unusable_sources_raise_the_fixed_type_error(src):
    with pytest.raises(TypeError) as info:
        linara.warp_rgb(src, IDENTITY, 1.0, 0.0, 0.0)
    assert str(info.value) == SRC_MESSAGE and not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("args, kwargs", [
    ((np.zeros((1, 1, 3), np.uint8), IDENTITY, 1, 0), {}),
    ((np.zeros((1, 1, 3), np.uint8), IDENTITY, 1, 0, 0, 0), {}),
    ((np.zeros((1, 1, 3), np.uint8), IDENTITY, 1, 0, 0), {"scale": 1}),
    ((np.zeros((1, 1, 3), np.uint8), IDENTITY, 1, 0, 0), {"extra": 1}),
])
def test_binding_errors(args, kwargs):
    with pytest.raises(TypeError, match=r"warp_rgb\(\)"):
        linara.warp_rgb(*args, **kwargs)


def test_docstring_and_signature():
    assert linara.warp_rgb.__doc__ == "Perspective-warp an RGB image through an inverse homography."
    assert linara.warp_rgb.__text_signature__ == "(src, inverse, scale, off_x, off_y)"


# ------------------------------------------------------------ row routines

def _supported_routines():
    """The row routines this processor runs: always portable, and the x86-64
    vector routines whose extensions /proc/cpuinfo lists."""
    flags = set()
    try:
        with open("/proc/cpuinfo") as f:
            flags = set(next((line for line in f if line.startswith("flags")), ":").split(":", 1)[1].split())
    except OSError:
        pass
    routines = {"portable"}
    if platform.machine().lower() in ("x86_64", "amd64"):
        if "avx2" in flags:
            routines.add("avx2")
        if {"avx512f", "avx512bw", "avx512dq", "avx512vl"} <= flags:
            routines.add("avx512")
    return routines


# Warps a fixed set of images: every width remainder modulo 8, sample points
# on the last row and column, NaN and infinite points, zero divisors, w = 1.
ROUTINE_SCRIPT = """
import sys, numpy as np, linara
rng = np.random.default_rng(17)
nan, inf = float("nan"), float("inf")
results = {}
for dtype in (np.uint8, np.uint16):
    for width in [*range(1, 18), 31, 64, 130, 1031]:
        height = int(rng.integers(1, 40))
        src = rng.integers(0, np.iinfo(dtype).max, (height, width, 3), dtype=dtype, endpoint=True)
        m = np.eye(3) + rng.uniform(-0.1, 0.1, (3, 3)) * [[1, 1, 3], [1, 1, 3], [0.01, 0.01, 0.1]]
        c, s = np.cos(0.6) / 0.7, np.sin(0.6) / 0.7
        cases = [
            (m.ravel(), rng.uniform(0.5, 2), *rng.uniform(-2, 2, 2)),
            ((c, -s, width / 2, s, c, -height / 4, 0, 0, 1), 1.0, 0.0, 0.0),
            ((1, 0, 0, 0, 1, 0, 0, 0, 1), 1.0, 0.0, 0.0),
            (((width - 1) / width, 0, 0, 0, (height - 1) / max(height, 1), 0, 0, 0, 1), 1.0, 0.0, 0.0),
            ((1, 0, 0, 0, 1, 0, 1, 0, -4), 1.0, 0.0, 0.0),
            ((1, 0, 0, 0, 1, 0, 0, 0, 0), 1.0, 0.0, 0.0),
            ((1, 0, 0, 0, 1, 0, 1 / 16, 0, 0.5), 1.0, 0.0, 0.0),
            ((1, 0, 0, 0, 1, 0, 0, 0, 1), 1.0, nan, 0.0),
            ((1, 0, 0, 0, 1, 0, 0, 0, 1), 0.0, 0.0, 0.0),
            ((1, 0, 0, 0, 1, 0, 0, 0, 1), 1.0, 0.0, -inf),
        ]
        for i, (inverse, scale, off_x, off_y) in enumerate(cases):
            out = linara.warp_rgb(src, inverse, scale, off_x, off_y)
            results[f"{np.dtype(dtype).name}-{width}-{i}"] = out
np.savez(sys.argv[1], **results)
"""


def _warp_cases(routine, path):
    env = dict(os.environ, LINARA_SIMD=routine, RAYON_NUM_THREADS="2")
    subprocess.run([sys.executable, "-c", ROUTINE_SCRIPT, str(path)], env=env, check=True)
    with np.load(path) as results:
        return {name: results[name] for name in results.files}


@pytest.mark.parametrize("routine", ["avx2", "avx512"])
def test_forced_routine_matches_the_portable_one(routine, tmp_path):
    if routine not in _supported_routines():
        pytest.skip(f"this processor cannot run the {routine} routine")
    expected = _warp_cases("portable", tmp_path / "portable.npz")
    got = _warp_cases(routine, tmp_path / f"{routine}.npz")
    assert got.keys() == expected.keys()
    for name, out in expected.items():
        np.testing.assert_array_equal(got[name], out, err_msg=name)
    assert any(out.any() for out in expected.values())


SWAPPED = ">" if sys.byteorder == "little" else "<"


@pytest.mark.parametrize("shape", [(4, 5, 3), (0, 5, 3)])
def test_foreign_byte_order_keeps_the_fixed_error_and_names_the_fix(shape):
    src = np.arange(np.prod(shape), dtype=SWAPPED + "u2").reshape(shape)
    with pytest.raises(TypeError) as info:
        linara.warp_rgb(src, IDENTITY, 1.0, 0.0, 0.0)
    assert str(info.value) == SRC_MESSAGE
    [note] = info.value.__notes__
    assert "endian" in note and f"'{SWAPPED}'" in note
    fixed = eval(note.rsplit("; ", 1)[1].split()[0], {"a": src})
    np.testing.assert_array_equal(linara.warp_rgb(fixed, IDENTITY, 1.0, 0.0, 0.0), src)


@pytest.mark.parametrize("shape", [(70000, 70000, 3), (1, 2**32, 3), (2**32, 1, 3)])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_images_of_2_to_the_32_pixels_are_refused_before_any_copy(shape, dtype):
    huge = np.broadcast_to(np.zeros(3, dtype), shape)
    with pytest.raises(ValueError, match=r"warp_rgb supports images of fewer than 2\*\*32 pixels"):
        linara.warp_rgb(huge, IDENTITY, 1.0, 0.0, 0.0)
