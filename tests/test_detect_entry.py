import fractions
import math
import sys

import numpy as np
import pytest

import linara

ARRAY_ERROR = "detect expects a (height, width) array of uint8, uint16, float32 or float64"
DTYPES = (np.uint8, np.uint16, np.float32, np.float64)


def as_dtype(image, dtype):
    """The uint8 image in another element type, holding the same working values."""
    return image.astype(dtype) * 257 if dtype == np.uint16 else image.astype(dtype)


@pytest.fixture(scope="module")
def image(scene):
    return scene(60, 80, 1)


@pytest.mark.parametrize("args, kwargs, named", [
    ((), {}, "gray"),
    ((), {"scale": 1.0}, "gray"),
    ((np.zeros((5, 5)), 1.0, 2.0), {}, None),
    ((np.zeros((5, 5)),), {"gray": np.zeros((5, 5))}, "gray"),
    ((np.zeros((5, 5)),), {"sigma": 1.0}, "sigma"),
    ((1, "x"), {"scale": 2.0}, None),  # binding is checked before scale
])
def test_binding_errors(args, kwargs, named):
    with pytest.raises(TypeError, match=r"detect\(\)") as info:
        linara.detect(*args, **kwargs)
    assert named is None or f"'{named}'" in str(info.value)
    assert not hasattr(info.value, "__notes__")


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, type):
            raise self.value("no scale")
        return self.value


@pytest.mark.parametrize("gray", [np.zeros((5, 5)), "not an image"])
@pytest.mark.parametrize("scale, error", [
    ("0.5", TypeError), (None, TypeError), (b"1", TypeError), ([1.0], TypeError),
    (Floaty(ZeroDivisionError), ZeroDivisionError), (Floaty("1"), TypeError),
])
def test_scale_conversion_errors_carry_a_note(gray, scale, error):
    with pytest.raises(error) as info:
        linara.detect(gray, scale)
    assert info.value.__notes__ == ["while processing 'scale'"]


@pytest.mark.parametrize("scale", [1, np.float32(1.0), np.int64(1), Floaty(1.0), fractions.Fraction(1), True])
def test_scale_accepts_anything_convertible_to_float(image, fingerprint, scale):
    assert fingerprint(linara.detect(image, scale)) == fingerprint(linara.detect(image, 1.0))


UNUSABLE = {
    "list of lists": [[0, 255, 0]] * 5,
    "1-D": np.zeros(50, np.uint8),
    "0-D": np.zeros((), np.float64),
    "RGB": np.zeros((20, 20, 3), np.uint8),
    "3-D single channel": np.zeros((20, 20, 1), np.float64),
    **{np.dtype(t).name: np.zeros((20, 20), t) for t in (
        np.int8, np.int16, np.int32, np.int64, np.uint32, np.uint64, np.bool_,
        np.float16, np.longdouble, np.complex128, object)},
    **{f"swapped {t}": np.zeros((20, 20), t) for t in (">f8", ">f4", ">u2")},
    "record": np.zeros((20, 20), [("v", "f8")]),
}


@pytest.mark.parametrize("gray", UNUSABLE.values(), ids=UNUSABLE.keys())
def test_unusable_arrays_are_rejected(gray):
    with pytest.raises(TypeError) as info:
        linara.detect(gray)
    assert str(info.value) == ARRAY_ERROR


SWAPPED = ">" if sys.byteorder == "little" else "<"


@pytest.mark.parametrize("dtype", ["f8", "f4", "u2"])
def test_foreign_byte_order_keeps_the_fixed_error_and_names_the_fix(image, fingerprint, dtype):
    native = as_dtype(image, np.dtype(dtype))
    swapped = native.astype(SWAPPED + dtype)
    with pytest.raises(TypeError) as info:
        linara.detect(swapped)
    assert str(info.value) == ARRAY_ERROR
    [note] = info.value.__notes__
    assert "endian" in note and f"'{SWAPPED}'" in note
    fixed = eval(note.rsplit("; ", 1)[1].split()[0], {"a": swapped})
    assert fingerprint(linara.detect(fixed)) == fingerprint(linara.detect(native))


@pytest.mark.parametrize("gray", [np.zeros((5, 5), SWAPPED + "i4"), np.zeros((5, 5, 1), SWAPPED + "f8")])
def test_byte_order_note_only_when_it_is_the_one_fault(gray):
    with pytest.raises(TypeError) as info:
        linara.detect(gray)
    assert not hasattr(info.value, "__notes__")


class Tagged(np.ndarray):
    pass


def test_ndarray_subclasses_are_accepted(image, fingerprint):
    expected = fingerprint(linara.detect(image))
    assert expected
    assert fingerprint(linara.detect(image.view(Tagged))) == expected
    assert fingerprint(linara.detect(np.ma.masked_array(image))) == expected


def unaligned(a):
    raw = np.zeros(a.nbytes + 1, np.uint8)
    view = raw[1:].view(a.dtype).reshape(a.shape)
    view[...] = a
    return view


LAYOUTS = {
    "fortran": np.asfortranarray,
    "transposed": lambda a: a.T,
    "stepped": lambda a: np.repeat(np.repeat(a, 2, 0), 3, 1)[::2, ::3],
    "sparse": lambda a: a[::2, ::3],
    "rows reversed": lambda a: a[::-1],
    "columns reversed": lambda a: a[:, ::-1],
    "both reversed": lambda a: a.T[::-1, ::-1],
    "unaligned": unaligned,
    "row broadcast": lambda a: np.broadcast_to(a[a.shape[0] // 2], a.shape),
    "column broadcast": lambda a: np.broadcast_to(a[:, a.shape[1] // 2:a.shape[1] // 2 + 1], a.shape),
}


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_layouts_read_like_a_contiguous_copy(image, fingerprint, dtype, layout):
    view = layout(as_dtype(image, dtype))
    expected = fingerprint(linara.detect(np.ascontiguousarray(view), 1.0))
    assert expected
    assert fingerprint(linara.detect(view, 1.0)) == expected


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("layout", [lambda a: a, lambda a: a[:, ::-1]], ids=["in place", "copied"])
def test_read_only_input_is_accepted_and_left_alone(image, fingerprint, dtype, layout):
    data = as_dtype(image, dtype)
    pristine = data.copy()
    data.flags.writeable = False
    view = layout(data)
    assert fingerprint(linara.detect(view)) == fingerprint(linara.detect(layout(pristine)))
    assert np.array_equal(data, pristine)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape", [(0, 0), (0, 7), (7, 0), (2, 500), (500, 2), (3, 3), (100, 100)])
def test_empty_and_blank_images_give_nothing(dtype, shape):
    assert linara.detect(np.zeros(shape, dtype)) == []


def test_default_scale_and_keywords(image, fingerprint):
    assert fingerprint(linara.detect(image)) == fingerprint(linara.detect(image, 0.8))
    assert fingerprint(linara.detect(gray=image, scale=0.5)) == fingerprint(linara.detect(image, 0.5))
    assert fingerprint(linara.detect(image, 0.5)) != fingerprint(linara.detect(image))


@pytest.mark.parametrize("scale", [2.0, math.nan, math.inf, 1e300])
def test_scales_of_one_or_more_do_not_subsample(image, fingerprint, scale):
    assert fingerprint(linara.detect(image, scale)) == fingerprint(linara.detect(image, 1.0))


@pytest.mark.parametrize("scale", [0.0, -0.0, -0.5, -math.inf, 1e-300, 5e-324, 0.02])
def test_scales_too_small_to_leave_an_image_give_nothing(scene, scale):
    assert linara.detect(scene(120, 140, 2), scale) == []


@pytest.mark.parametrize("scale", [0.03, 0.05])
def test_scales_leaving_a_few_pixels_still_run(scene, scale):
    assert isinstance(linara.detect(scene(100, 100, 2), scale), list)


@pytest.mark.parametrize("dtype", DTYPES)
def test_images_of_2_to_the_32_pixels_are_refused_before_any_copy(dtype):
    huge = np.broadcast_to(np.zeros((), dtype), (70000, 70000))
    with pytest.raises(ValueError):
        linara.detect(huge, 1.0)


@pytest.mark.parametrize("scale", [0.8, 0.5, 1.0])
def test_element_types_holding_the_same_values_agree(scene, fingerprint, scale):
    image = scene(90, 120, 3)
    results = [fingerprint(linara.detect(as_dtype(image, t), scale)) for t in DTYPES]
    assert results[0]
    assert all(r == results[0] for r in results)


@pytest.mark.parametrize("seed, scale", [(0, 0.8), (1, 0.5), (3, 1.0), (4, 0.63)])
def test_results_are_longest_first_and_validated(scene, seed, scale):
    segments = linara.detect(scene(150, 200, seed), scale)
    assert len(segments) > 3
    lengths = [s.length for s in segments]
    assert lengths == sorted(lengths, reverse=True)
    for s in segments:
        mantissa, exponent = math.frexp(s.precision)
        assert mantissa == 0.5 and exponent <= -2  # 0.125 / 2**k
        assert s.log_nfa > 0
