"""A small PNG encoder (NumPy and the standard library only).

It serves the SVG overlays, which embed the image without needing Pillow,
and 16-bit colour output, which Pillow cannot write.
"""

import struct
import zlib

import numpy as np

_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_COLOUR_TYPE = {1: 0, 2: 4, 3: 2, 4: 6}  # channels -> gray, gray+alpha, RGB, RGBA


def _chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def _paeth_filter(raw, bpp):
    """Rows of `raw` (uint8, one image row of bytes each) filtered with the
    Paeth predictor, each preceded by its filter byte 4."""
    cur = raw.astype(np.int16)
    left = np.zeros_like(cur)
    left[:, bpp:] = cur[:, :-bpp]
    up = np.zeros_like(cur)
    up[1:] = cur[:-1]
    up_left = np.zeros_like(cur)
    up_left[1:, bpp:] = cur[:-1, :-bpp]
    p = left + up - up_left
    pa, pb, pc = np.abs(p - left), np.abs(p - up), np.abs(p - up_left)
    predicted = np.where((pa <= pb) & (pa <= pc), left, np.where(pb <= pc, up, up_left))
    filtered = ((cur - predicted) & 0xFF).astype(np.uint8)
    return np.concatenate([np.full((raw.shape[0], 1), 4, np.uint8), filtered], axis=1)


def encode_png(image, level=6):
    """PNG bytes of a (height, width) or (height, width, channels) uint8 or
    uint16 array with 1 to 4 channels (gray, gray+alpha, RGB, RGBA)."""
    image = np.asarray(image)
    if image.dtype not in (np.uint8, np.uint16):
        raise TypeError(f"PNG holds uint8 or uint16 samples, not {image.dtype}")
    if image.ndim == 2:
        image = image[:, :, None]
    if image.ndim != 3 or image.shape[2] not in _COLOUR_TYPE:
        raise ValueError(f"cannot store an array of shape {image.shape} as PNG")
    height, width, channels = image.shape
    if height == 0 or width == 0:
        raise ValueError("PNG cannot hold an empty image")
    big_endian = image.astype(image.dtype.newbyteorder(">"), copy=False)
    raw = np.ascontiguousarray(big_endian).view(np.uint8).reshape(height, -1)
    bpp = channels * image.dtype.itemsize
    header = struct.pack(">IIBBBBB", width, height, 8 * image.dtype.itemsize,
                         _COLOUR_TYPE[channels], 0, 0, 0)
    data = zlib.compress(_paeth_filter(raw, bpp).tobytes(), level)
    return _SIGNATURE + _chunk(b"IHDR", header) + _chunk(b"IDAT", data) + _chunk(b"IEND", b"")
