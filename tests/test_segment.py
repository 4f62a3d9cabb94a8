import ctypes
import ctypes.util
import math
import weakref

import numpy as np
import pytest

import linara

ATTRS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa", "angle", "length")

libm = ctypes.CDLL(ctypes.util.find_library("m"))
libm.hypot.restype = ctypes.c_double
libm.hypot.argtypes = (ctypes.c_double, ctypes.c_double)


def box():
    image = np.zeros((64, 64))
    image[16:48, 20:44] = 200.0
    return image


@pytest.fixture(scope="module")
def segments(scene):
    found = linara.detect(box(), 1.0)
    for seed, scale in [(0, 0.8), (1, 0.5), (3, 1.0), (4, 0.63), (5, 0.9)]:
        found += linara.detect(scene(150, 200, seed), scale)
    return found


def test_segments_cannot_be_made_or_derived_from():
    with pytest.raises(TypeError):
        linara.Segment()
    with pytest.raises(TypeError):
        linara.Segment(0.0, 0.0, 1.0, 1.0, 1.0, 0.125, 1.0)
    with pytest.raises(TypeError):
        type("Derived", (linara.Segment,), {})


@pytest.mark.parametrize("name", ATTRS)
def test_attributes_are_read_only(segments, name):
    segment = segments[0]
    before = getattr(segment, name)
    with pytest.raises(AttributeError):
        setattr(segment, name, 1.0)
    with pytest.raises(AttributeError):
        delattr(segment, name)
    assert float.hex(getattr(segment, name)) == float.hex(before)


@pytest.mark.parametrize("change", [
    lambda cls: delattr(cls, "x1"),
    lambda cls: setattr(cls, "angle", 5),
    lambda cls: setattr(cls, "__repr__", lambda self: "changed"),
    lambda cls: setattr(cls, "extra", 1.0),
], ids=["del x1", "set angle", "set __repr__", "new attribute"])
def test_the_class_itself_cannot_be_changed(segments, change):
    segment = segments[0]
    before = (repr(segment), segment.x1, segment.angle)
    with pytest.raises(TypeError, match="immutable type"):
        change(linara.Segment)
    assert (repr(segment), segment.x1, segment.angle) == before
    assert not hasattr(linara.Segment, "extra")


def test_attributes_are_floats_that_read_the_same_every_time(segments):
    for s in segments:
        for name in ATTRS:
            first, second = getattr(s, name), getattr(s, name)
            assert type(first) is float
            assert float.hex(first) == float.hex(second)


def test_class_identity_and_docs(segments):
    cls = linara.Segment
    assert {type(s) for s in segments} == {cls}
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("linara", "Segment", "Segment")
    assert cls.__doc__ == "One detected line segment, in input-image coordinates."
    assert cls.angle.__doc__ == "Direction in degrees, -90 to 90, 0 = horizontal."
    assert cls.length.__doc__ == "Length in pixels."
    for name in ATTRS[:7]:
        assert getattr(cls, name).__doc__ is None


def test_no_instance_dict_and_no_weak_references(segments):
    segment = segments[0]
    assert not hasattr(segment, "__dict__")
    with pytest.raises(AttributeError):
        segment.note = "extra"
    with pytest.raises(TypeError):
        weakref.ref(segment)


def fold(degrees):
    if degrees > 90:
        degrees = degrees + -180.0
    if degrees <= -90:
        degrees = degrees + 180.0
    return degrees


def test_angle_and_length_follow_the_end_points(segments):
    for s in segments:
        dx, dy = s.x2 - s.x1, s.y2 - s.y1
        assert float.hex(s.angle) == float.hex(fold(math.atan2(dy, dx) * 57.29577951308232))
        assert -90 < s.angle <= 90
        assert float.hex(s.length) == float.hex(libm.hypot(dx, dy))


def test_box_sides_run_both_ways_with_angles_0_and_90():
    sides = linara.detect(box(), 1.0)
    vertical = [s for s in sides if s.x1 == s.x2]
    horizontal = [s for s in sides if abs(s.y1 - s.y2) < 1e-9]
    assert len(sides) == len(vertical) + len(horizontal) == 4
    assert {s.y2 > s.y1 for s in vertical} == {s.x2 > s.x1 for s in horizontal} == {True, False}
    assert [s.angle for s in vertical] == [90.0, 90.0]
    assert [s.angle for s in horizontal] == pytest.approx([0.0, 0.0], abs=1e-12)


def test_repr_rounds_the_exact_binary_value_to_one_decimal(segments):
    for s in segments:
        x1, y1, x2, y2, w = (format(v, ".1f") for v in (s.x1, s.y1, s.x2, s.y2, s.width))
        assert repr(s) == f"Segment(({x1}, {y1})-({x2}, {y2}), width={w})"
        assert str(s) == repr(s)

