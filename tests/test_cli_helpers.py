"""Helpers of the command-line package that scripts use directly."""

import struct
import zlib

import numpy as np
import pytest

import linara
from linara_cli import COLUMNS, homography_from_corners, segments_to_array, to_detector_gray
from linara_cli.png import encode_png


def project(h, points):
    p = np.c_[points, np.ones(len(points))] @ h.T
    return p[:, :2] / p[:, 2:]


@pytest.mark.parametrize("seed", range(4))
def test_homography_maps_each_corner_onto_its_partner(seed):
    rng = np.random.default_rng(seed)
    src = np.array([(0, 0), (1, 0), (1, 1), (0, 1)]) * rng.uniform(100, 4000) + \
        rng.uniform(-20, 20, (4, 2))
    dst = np.array([(0, 0), (639, 0), (639, 479), (0, 479)], float)
    h = homography_from_corners(src, dst)
    assert h[2, 2] == 1.0
    np.testing.assert_allclose(project(h, src), dst, atol=1e-7)


@pytest.mark.parametrize("src", [
    [(0, 0), (1, 1), (2, 2), (0, 5)],  # three collinear
    [(3, 3)] * 4,
])
def test_homography_refuses_degenerate_corners(src):
    with pytest.raises(ValueError):
        homography_from_corners(src, [(0, 0), (1, 0), (1, 1), (0, 1)])


def test_segment_table_holds_each_attribute(scene):
    segments = linara.detect(scene(100, 100))
    table = segments_to_array(segments)
    assert table.shape == (len(segments), 9) and table.dtype == np.float64
    for row, s in zip(table, segments):
        assert row.tolist() == [getattr(s, c) for c in COLUMNS]
    assert segments_to_array([]).shape == (0, 9)


@pytest.mark.parametrize("image, expected", [
    (np.array([[0.0, 0.5, 1.0]]), [[0.0, 127.5, 255.0]]),          # unit floats scaled
    (np.array([[0.0, 2.0, 200.0]]), [[0.0, 2.0, 200.0]]),          # others kept
    (np.array([[[255, 0, 0], [0, 255, 0], [0, 0, 255]]], np.uint8),
     [[0.299 * 255, 0.587 * 255, 0.114 * 255]]),                   # BT.601 luma
    (np.full((1, 2, 3), 65535, np.uint16), [[255.0, 255.0]]),      # 16-bit colour
])
def test_detector_gray_is_on_the_0_to_255_scale(image, expected):
    np.testing.assert_allclose(to_detector_gray(image), expected, rtol=1e-12)


def decode_png(data):
    """Reference decoder for the encoder's own output (one IDAT, no interlace)."""
    width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
    channels = {0: 1, 4: 2, 2: 3, 6: 4}[colour]
    length = struct.unpack(">I", data[33:37])[0]
    raw = zlib.decompress(data[41:41 + length])
    bpp, stride = channels * depth // 8, width * channels * depth // 8
    previous, rows = bytearray(stride), []
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        assert kind == 4
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = previous[i], previous[i - bpp] if i >= bpp else 0
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append(bytes(line))
        previous = line
    dtype = ">u2" if depth == 16 else np.uint8
    return np.frombuffer(b"".join(rows), dtype).reshape(height, width, channels)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_png_encoder_round_trips(dtype, channels):
    rng = np.random.default_rng(channels)
    image = rng.integers(0, np.iinfo(dtype).max, (7, 5, channels), endpoint=True).astype(dtype)
    decoded = decode_png(encode_png(image[:, :, 0] if channels == 1 else image))
    np.testing.assert_array_equal(decoded, image)
