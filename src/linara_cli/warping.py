"""Perspective warps of whole image files: through a given inverse homography,
or rectifying a quadrilateral to an upright rectangle."""

import numpy as np

import linara

from .geometry import homography_from_corners


def rectify_corners(corners, size=None):
    """Output size (width, height) and the inverse homography (3x3) that map
    the quadrilateral `corners` (top-left, top-right, bottom-right,
    bottom-left; pixel centres on integers, as `warp_rgb` samples) onto an
    upright rectangle whose corner pixels are the four corners.

    Without `size`, the rectangle's sides are the longer of each pair of
    opposite sides of the quadrilateral.
    """
    quad = np.asarray(corners, dtype=np.float64).reshape(4, 2)
    if size is None:
        top, right, bottom, left = (np.hypot(*(quad[(i + 1) % 4] - quad[i])) for i in range(4))
        size = (int(round(max(top, bottom))) + 1, int(round(max(left, right))) + 1)
    width, height = size
    if width < 2 or height < 2:
        raise ValueError(f"the rectangle must be at least 2x2 pixels, not {width}x{height}")
    rectangle = [(0, 0), (width - 1, 0), (width - 1, height - 1), (0, height - 1)]
    # warp_rgb needs the mapping from output pixels to the source, so solve for
    # it directly instead of inverting the forward homography.
    return (width, height), homography_from_corners(rectangle, quad)


def warp_image(image, inverse, scale=1.0, offset=(0.0, 0.0), size=None):
    """Warp a gray, gray+alpha, RGB or RGBA uint8/uint16 image through
    `inverse` (nine numbers, output plane -> source) with `linara.warp_rgb`.

    The result keeps the input's channels: gray and alpha are warped like a
    colour channel. `size` (width, height) sets the output size; `warp_rgb`
    returns an image of its source's shape, so the source is padded with
    zeros or the result cropped to get it. Output pixels whose source point
    lies outside the image are 0 (and transparent where there is alpha).
    """
    if image.dtype not in (np.uint8, np.uint16):
        raise ValueError(f"warping needs 8-bit or 16-bit samples, not {image.dtype}")
    height, width = image.shape[:2]
    out_width, out_height = size if size is not None else (width, height)
    canvas_shape = (max(height, out_height), max(width, out_width))
    planes = image[:, :, None] if image.ndim == 2 else image
    inverse = [float(v) for v in np.asarray(inverse, dtype=np.float64).ravel()]
    warped = []
    for first in range(0, planes.shape[2], 3):
        group = planes[:, :, first:first + 3]
        used = group.shape[2]
        canvas = np.zeros(canvas_shape + (3,), image.dtype)
        canvas[:height, :width, :used] = group
        out = linara.warp_rgb(canvas, inverse, scale, offset[0], offset[1])
        warped.append(out[:out_height, :out_width, :used])
    result = np.concatenate(warped, axis=2)
    return result[:, :, 0] if image.ndim == 2 else result
