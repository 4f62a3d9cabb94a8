#!/usr/bin/env python3
"""Coverage-guided fuzzing of linara.detect and linara.warp_rgb.

The bytes of one input decide one call: the entry, the array (element type,
accepted or not, 0 to 4 dimensions, sizes from 0 to a few hundred with
extreme aspect ratios, contents with NaN, infinities, -0.0, subnormals and
huge values), a chain of views over it (transposes, steps, negative strides,
broadcasts, misaligned views into a byte buffer, read-only, byte-swapped,
Fortran order, subclasses), and the other arguments (scales such as 0, -1,
NaN, +-inf, 1e-300, 1e300 and just below 1; homographies with NaN, inf, 0 and
huge items; objects whose __float__ raises; sequences that fail). Every input
must give:

- no crash and no sanitizer report;
- a result, or one of the entry's documented exceptions with its documented
  message and notes;
- the same outcome as the same call on a fresh C-ordered copy of the array.

`check(data)` runs one input and raises AssertionError (or the unexpected
exception) when a property fails. Decoding uses only the bytes, so the saved
corpus means the same calls on every machine and version of the fuzzer.

Run (after building the instrumented module, see the README's "Fuzzing"):

    LD_PRELOAD=$(python -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so \\
    ASAN_OPTIONS=detect_leaks=0 python fuzz/fuzz_entries.py fuzz/corpus -max_total_time=3600
"""

import fractions
import math
import struct
import sys
import warnings

import numpy as np

import linara

DETECT_ERROR = "detect expects a (height, width) array of uint8, uint16, float32 or float64"
WARP_ERROR = "warp_rgb expects a (height, width, 3) array of uint8 or uint16"
# Largest element count of a fuzzed array (90 x 90, or 8 x 1000). Larger
# arrays reach no code that smaller ones do not, and fine diagonal patterns
# make detect's time grow faster than the pixel count, up to minutes per call
# in the instrumented build.
MAX_ELEMENTS = 1 << 13

DETECT_TYPES = ["f8", "f4", "u1", "u2"]
WARP_TYPES = ["u1", "u2"]
OTHER_TYPES = ["i1", "i2", "i4", "i8", "u4", "u8", "f2", "g", "c16", "?", "O", "S2", "V8",
               [("v", "f8")], "f8", "f4", "u2"]
SPECIAL_SAMPLES = [math.nan, math.inf, -math.inf, -0.0, 5e-324, 2.2250738585072014e-308,
                   1.401298464324817e-45, 1e308, -1e308, 3.4e38, 255.0, 65535.0, -1.0]
SPECIAL_SCALES = [1.0, 0.8, 0.0, -0.0, -0.5, -1.0, math.nan, math.inf, -math.inf, 1e-300,
                  1e300, math.nextafter(1.0, 0.0), 0.5, 5e-324, 0.03, 2.0]
SPECIAL_ITEMS = [0.0, -0.0, 1.0, -1.0, math.nan, math.inf, -math.inf, 1e308, -1e308, 1e-308,
                 5e-324, 1e154, 0.5]


class Refused(Exception):
    """Raised by the fuzzer's own hostile objects."""


class FloatRefuses:
    def __float__(self):
        raise Refused("no float")


class FloatReturnsText:
    def __float__(self):
        return "1.0"


class BrokenSequence:
    """Passes the sequence check, then fails on len() or on one item."""

    def __init__(self, fail_len, fail_at):
        self.fail_len, self.fail_at = fail_len, fail_at

    def __len__(self):
        if self.fail_len:
            raise Refused("no len")
        return 9

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Refused("no item")
        return 1.0 if i in (0, 4, 8) else 0.0


class Tagged(np.ndarray):
    pass


class Draw:
    """Reads choices from the input bytes; past the end every read is 0, so
    the first option of each choice is the ordinary one."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n):
        value = self.byte() if n <= 256 else self.byte() | self.byte() << 8 | self.byte() << 16
        return value % n

    def between(self, low, high):
        return low + self.below(high - low + 1)

    def pick(self, options):
        return options[self.below(len(options))]

    def chance(self, one_in):
        return self.below(one_in) == one_in - 1

    def take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return chunk

    def float64(self):
        return struct.unpack("<d", self.take(8).ljust(8, b"\0"))[0]


# ---------------------------------------------------------------- the array

def draw_shape(draw, entry):
    if entry == "detect":
        ndim = 2 if not draw.chance(8) else draw.pick([0, 1, 3, 4])
    else:
        ndim = 3 if not draw.chance(8) else draw.pick([0, 1, 2, 4])
    shape = []
    for _ in range(ndim):
        kind = draw.below(4)
        if kind == 0:
            shape.append(draw.between(3, 96))
        elif kind == 1:
            shape.append(draw.between(0, 4))
        elif kind == 2:
            shape.append(draw.between(0, 400))
        else:
            shape.append(draw.pick([257, 1000, 4096, 20000]))
    if entry == "warp_rgb" and ndim == 3:
        shape[2] = 3 if not draw.chance(8) else draw.pick([1, 2, 4])
    # Zero-length axes do not excuse the others: a list made of the array
    # would still hold every row.
    while math.prod(max(n, 1) for n in shape) > MAX_ELEMENTS:
        axis = shape.index(max(shape))
        shape[axis] //= 2
    return tuple(shape)


def draw_plane(draw, height, width):
    """float64 samples in about 0 ... 255."""
    kind = draw.below(4)
    if kind == 0:  # filled bars at angles on a flat background
        y, x = np.mgrid[0:height, 0:width].astype(np.float64)
        plane = np.full((height, width), float(draw.byte()))
        for _ in range(draw.between(1, 6)):
            cx, cy = draw.below(width + 1), draw.below(height + 1)
            angle = draw.byte() * math.pi / 256
            length, thickness = draw.between(2, 255), draw.between(1, 24)
            u = (x - cx) * math.cos(angle) + (y - cy) * math.sin(angle)
            v = (y - cy) * math.cos(angle) - (x - cx) * math.sin(angle)
            plane[(abs(u) < length / 2) & (abs(v) < thickness / 2)] = draw.byte()
        return plane
    if kind == 1:  # noise
        rng = np.random.default_rng(draw.below(1 << 16))
        return rng.uniform(0, 255, (height, width))
    if kind == 2:  # ramp or constant
        y, x = np.mgrid[0:height, 0:width].astype(np.float64)
        return (x * (draw.byte() - 128) + y * (draw.byte() - 128)) / 64 + draw.byte()
    raw = np.frombuffer(draw.take(draw.between(1, 64)).ljust(1, b"\0"), np.uint8)
    return np.resize(raw, (height, width)).astype(np.float64)


def draw_array(draw, entry):
    accepted = DETECT_TYPES if entry == "detect" else WARP_TYPES
    dtype = np.dtype(draw.pick(accepted) if not draw.chance(8) else draw.pick(OTHER_TYPES))
    shape = draw_shape(draw, entry)
    array = np.zeros(shape, dtype)
    if array.size == 0:
        return array
    planar = shape if len(shape) >= 2 else (1, max(1, math.prod(shape)))
    plane = draw_plane(draw, planar[0], planar[1])
    multiplier = draw.pick([1.0, 1.0, 1.0, 1 / 255, 1e300, 1e-300, -1.0])
    samples = plane * multiplier * (257.0 if dtype == np.uint16 else 1.0)
    if len(shape) >= 2:
        samples = np.broadcast_to(samples.reshape(samples.shape + (1,) * (len(shape) - 2)), shape)
    else:
        samples = samples.reshape(-1)[:math.prod(shape)].reshape(shape)
    with np.errstate(all="ignore"):
        try:
            array[...] = samples
        except (TypeError, ValueError):
            pass
        for _ in range(draw.below(9)):
            index = np.unravel_index(draw.below(array.size), shape)
            try:
                array[index] = draw.pick(SPECIAL_SAMPLES)
            except (TypeError, ValueError, OverflowError):
                pass
    return array


def misaligned(array, offset):
    raw = np.zeros(array.nbytes + 8, np.uint8)
    view = raw[offset:offset + array.nbytes].view(array.dtype).reshape(array.shape)
    view[...] = array
    return view


def apply_view(draw, a):
    op = draw.below(12)
    axis = draw.below(a.ndim) if a.ndim else None
    if op == 0 and a.ndim >= 2:
        return a.T if draw.chance(2) else a.swapaxes(0, 1)
    if op == 1 and axis is not None:
        index = [slice(None)] * a.ndim
        index[axis] = slice(None, None, draw.between(2, 4))
        return a[tuple(index)]
    if op == 2 and axis is not None:
        return np.flip(a, axis)
    if op == 3 and axis is not None and a.shape[axis] > 0:
        index = [slice(None)] * a.ndim
        at = draw.below(a.shape[axis])
        index[axis] = slice(at, at + 1)
        return np.broadcast_to(a[tuple(index)], a.shape)
    if op == 4 and a.dtype != object:
        return misaligned(a, draw.between(1, 7))
    if op == 5:
        view = a.view()
        view.flags.writeable = False
        return view
    if op == 6 and a.dtype != object:
        return a.astype(a.dtype.newbyteorder("S"))
    if op == 7:
        return np.asfortranarray(a)
    if op == 8:
        return a.view(Tagged)
    if op == 9 and axis is not None and a.shape[axis] > 1:
        index = [slice(None)] * a.ndim
        first = draw.below(a.shape[axis])
        index[axis] = slice(first, draw.between(first, a.shape[axis]))
        return a[tuple(index)]
    if op == 10:
        return a[None] if draw.chance(2) else a.reshape(a.shape + (1,))
    return a


# Shapes of 2**32 pixels or more, only ever made as broadcast views.
HUGE_SHAPES = [(65536, 65536), (70000, 70000), (1, 1 << 32), (1 << 32, 1), (1 << 31, 3)]


def draw_image(draw, entry):
    array = draw_array(draw, entry)
    for _ in range(draw.below(4)):
        array = apply_view(draw, array)
    if draw.chance(64) and array.size:
        shape = draw.pick(HUGE_SHAPES) + array.shape[2:]
        return np.broadcast_to(array.reshape(-1)[:1].reshape((1,) * len(shape)), shape)
    if draw.chance(64):
        return draw.pick([array.tolist(), None, "image", memoryview(b"abc")])
    return array


# ------------------------------------------------------------ other arguments

def draw_number(draw, specials):
    kind = draw.below(16)
    if kind < 8:
        return draw.pick(specials)
    if kind < 11:
        return draw.float64()
    if kind == 11:
        return draw.pick([0, 1, -1, 2, 10**400, -(10**400), True])
    if kind == 12:
        maker, value = draw.pick([np.float32, np.float16, np.int64, np.uint8]), draw.pick(specials[:5])
        try:
            return maker(value)
        except (ValueError, OverflowError):
            return np.float64(value)
    if kind == 13:
        return fractions.Fraction(draw.between(-8, 8), draw.between(1, 8))
    if kind == 14:
        return draw.pick([FloatRefuses(), FloatReturnsText()])
    return draw.pick(["0.5", None, [1.0], b"1", 1j, np.array([1.0, 2.0])])


def draw_item(draw, identity):
    kind = draw.below(8)
    if kind < 4:
        return identity + (draw.byte() - 128) / 1024
    return draw_number(draw, SPECIAL_ITEMS)


def draw_inverse(draw):
    kind = draw.below(16)
    items = [draw_item(draw, 1.0 if i in (0, 4, 8) else 0.0) for i in range(9)]
    if kind < 10:
        return items
    if kind == 10:
        return tuple(items)
    if kind == 11:
        try:
            return np.array(items, draw.pick([np.float64, np.float32, object]))
        except (TypeError, ValueError, OverflowError, Refused):
            return items
    if kind == 12:
        return items[:draw.pick([0, 1, 8])] + items[:draw.pick([0, 1, 3])] if draw.chance(2) \
            else [items[0:3], items[3:6], items[6:9]]
    if kind == 13:
        return draw.pick([5, None, {}, {1, 2}, 1.5, iter(items)])
    if kind == 14:
        return BrokenSequence(draw.chance(2), draw.below(9))
    return "123456789" if draw.chance(2) else b"\x01" * 9


def draw_call(draw):
    """(entry name, the arguments by parameter name in signature order, how
    many of them are passed by position; the rest go by keyword)."""
    entry = "detect" if draw.below(4) != 3 else "warp_rgb"
    image = draw_image(draw, entry)
    if entry == "detect":
        names, values = ["gray"], [image]
        if not draw.chance(4):
            names.append("scale")
            values.append(draw_number(draw, SPECIAL_SCALES))
    else:
        names = ["src", "inverse", "scale", "off_x", "off_y"]
        values = [image, draw_inverse(draw), draw_number(draw, SPECIAL_SCALES),
                  draw_number(draw, SPECIAL_ITEMS), draw_number(draw, SPECIAL_ITEMS)]
    positional = draw.below(len(names) + 1)
    return entry, dict(zip(names, values)), positional


# ------------------------------------------------------------------ checking

def outcome(entry, arguments, positional):
    """The call's result, or the exception it raised."""
    values = list(arguments.values())
    keywords = dict(list(arguments.items())[positional:])
    try:
        return getattr(linara, entry)(*values[:positional], **keywords)
    except Exception as error:  # compared and judged by the caller
        # Without its traceback the exception holds no frame, so it and the
        # arguments go away with the last reference instead of waiting for
        # the cycle collector.
        return error.with_traceback(None)


def check_exception(entry, error, arguments):
    notes = getattr(error, "__notes__", [])
    parameter_notes = [n for n in notes if n.startswith("while processing '")]
    if parameter_notes:
        assert notes == parameter_notes[:1], notes
        assert type(error) in (TypeError, ValueError, OverflowError, Refused), repr(error)
        parameter = parameter_notes[0][len("while processing '"):-1]
        assert parameter in arguments and parameter not in ("gray", "src"), notes
        if isinstance(error, ValueError) and parameter == "inverse" and "sequence" in str(error):
            assert str(error) == f"expected a sequence of length 9 (got {len(arguments['inverse'])})"
        return
    if type(error) is TypeError and str(error) in (DETECT_ERROR, WARP_ERROR):
        assert str(error) == (DETECT_ERROR if entry == "detect" else WARP_ERROR)
        image = arguments["gray" if entry == "detect" else "src"]
        for note in notes:
            assert "endian" in note and isinstance(image, np.ndarray) and image.dtype.byteorder in "<>", \
                (note, getattr(image, "dtype", None))
        return
    if type(error) is ValueError and "supports images of fewer than 2**32 pixels" in str(error):
        return
    raise AssertionError(f"undocumented exception from {entry}") from error


def comparable(entry, result, image):
    if entry == "detect":
        assert type(result) is list and all(type(s) is linara.Segment for s in result)
        keys = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa", "angle", "length")
        return [tuple(float.hex(getattr(s, k)) for k in keys) + (repr(s),) for s in result]
    assert type(result) is np.ndarray and result.shape == image.shape, (type(result), result.shape)
    assert result.dtype == image.dtype.newbyteorder("=") and result.dtype.isnative
    assert result.flags.c_contiguous and result.flags.writeable
    assert not np.shares_memory(result, image)
    return result.dtype.str, result.shape, result.tobytes()


def check(data):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        check_call(*draw_call(Draw(data)))


def check_call(entry, arguments, positional):
    image_name = "gray" if entry == "detect" else "src"
    image = arguments[image_name]
    got = outcome(entry, arguments, positional)
    copy = dict(arguments)
    if isinstance(image, np.ndarray) and image.size <= MAX_ELEMENTS:
        copy[image_name] = np.array(image, order="C", copy=True)
    expected = outcome(entry, copy, positional)
    if isinstance(got, BaseException) or isinstance(expected, BaseException):
        assert type(got) is type(expected), (got, expected)
        assert str(got) == str(expected), (got, expected)
        assert getattr(got, "__notes__", None) == getattr(expected, "__notes__", None)
        check_exception(entry, got, arguments)
        return
    assert comparable(entry, got, image) == comparable(entry, expected, copy[image_name]), \
        "a view and its C-ordered copy gave different results"


def main():
    import atheris

    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
