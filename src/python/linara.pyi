"""Validated line segments in grayscale images and a perspective warp for RGB images."""

from collections.abc import Sequence
from typing import Any, final, overload

import numpy as np
import numpy.typing as npt

__all__ = ["Segment", "detect", "warp_rgb"]

@final
class Segment:
    """One detected line segment, in input-image coordinates.

    Pixel (x, y) of the image covers the square from (x, y) to (x + 1, y + 1),
    so the centre of the top-left pixel is (0.5, 0.5); x grows to the right
    and y downwards.

    The segment runs from (x1, y1) to (x2, y2). Which end comes first follows
    the contrast: walking from the first end point to the second on the
    image as shown (y downwards), the brighter side lies on the left. A
    dark-to-bright and a bright-to-dark edge along the same line therefore
    run in opposite directions; `angle` is the same for both.

    Segments are made only by `detect`; they cannot be created, changed or
    subclassed.
    """

    @property
    def x1(self) -> float:
        """x of the first end point, in input-image pixels."""

    @property
    def y1(self) -> float:
        """y of the first end point, in input-image pixels (downwards)."""

    @property
    def x2(self) -> float:
        """x of the second end point, in input-image pixels."""

    @property
    def y2(self) -> float:
        """y of the second end point, in input-image pixels (downwards)."""

    @property
    def width(self) -> float:
        """Full width of the segment's rectangle across the line, in input-image pixels.

        The extent across the line of the pixels that support the segment:
        at least one pixel of the image detected on (1 / scale input pixels
        when scale < 1), wider for a blurred edge, and down to half that
        when a narrower rectangle made the segment more significant.
        """

    @property
    def precision(self) -> float:
        """Probability that one pixel's direction agrees with the segment by chance.

        The segment was validated by counting pixels whose gradient direction
        lies within precision x 180 degrees of the segment's direction. It is
        0.125 (22.5 degrees) unless a finer power-of-two fraction (0.0625,
        0.03125, ...) gave a more significant segment.
        """

    @property
    def log_nfa(self) -> float:
        """Significance: -log10 of the segment's number of false alarms.

        The number of false alarms is how many segments at least this well
        aligned a pure-noise image of the same size is expected to hold.
        Every detected segment has log_nfa > 0 (fewer than one); larger is
        more significant: at 10, noise would give 1e-10 such segments. NaN
        is possible for degenerate scores.
        """

    @property
    def angle(self) -> float:
        """Direction in degrees, -90 to 90, 0 = horizontal.

        In (-90, 90]: 90 is vertical, and a positive angle runs down to the
        right, since y grows downwards. The same for both end-point orders.
        """

    @property
    def length(self) -> float:
        """Length in pixels: the distance between the end points.

        `detect` returns segments longest first by this value.
        """

    def __repr__(self) -> str:
        """Segment((x1, y1)-(x2, y2), width=w), each number with one decimal."""

def detect(
    gray: npt.NDArray[np.uint8 | np.uint16 | np.floating[Any]],
    scale: float = 0.8,
) -> list[Segment]:
    """Find the validated line segments of a grayscale image.

    gray: a 2-D array (height, width) of uint8, uint16, float32 or float64,
    in any memory layout (a row-major array without gaps is read in place,
    anything else is copied once). Other element types, other dimensions
    and lists raise TypeError.

    Samples are taken on a 0-255 scale: the gradient threshold assumes
    8-bit contrast. uint16 samples are divided by 257 first; float samples
    are used as they are, so an image in [0, 1] gives no segments at all.
    Multiply it by 255 (and N-bit integer data by 255 / (2**N - 1)) first.

    scale: sub-sampling before detection. Below 1, the image is blurred
    with a Gaussian (sigma = 0.6 / scale) and resampled to scale times its
    size, which suppresses noise and the staircase of aliased edges; the
    default 0.8 suits most photographs. 1 or more (or NaN) works on the
    image as it is. Results are always in input-image coordinates.

    Returns a new list, longest segment first. The same image and scale give
    the same segments, bit for bit, whatever the number of threads. The
    interpreter lock is released while detecting.
    """

@overload
def warp_rgb(
    src: npt.NDArray[np.uint8],
    inverse: Sequence[float] | npt.NDArray[Any],
    scale: float,
    off_x: float,
    off_y: float,
) -> npt.NDArray[np.uint8]:
    """Perspective-warp an RGB image through an inverse homography.

    src: a (height, width, 3) array of uint8 or uint16, any layout; the
    channels are warped independently. The result is a new array of the
    same shape and element type.

    Output pixel (x, y) stands for the plane point
    (X, Y) = (x / scale + off_x, y / scale + off_y). inverse holds the nine
    entries of a 3 x 3 matrix, row by row (a flat sequence or a 1-D array;
    not nested), that maps that point to the source point
    (sx, sy) = ((h0 X + h1 Y + h2) / w, (h3 X + h4 Y + h5) / w) with
    w = h6 X + h7 Y + h8. The pixel gets the bilinear interpolation of the
    four source pixels around (sx, sy), rounded half up.

    Pixel centres sit on integer coordinates here: source pixel (i, j) is
    the point (i, j). (detect puts it at (i + 0.5, j + 0.5).) Points outside
    0 <= sx <= width - 1, 0 <= sy <= height - 1, and those where w is 0 or a
    coordinate is NaN, give 0 in all three channels.
    """

@overload
def warp_rgb(
    src: npt.NDArray[np.uint16],
    inverse: Sequence[float] | npt.NDArray[Any],
    scale: float,
    off_x: float,
    off_y: float,
) -> npt.NDArray[np.uint16]: ...
@overload
def warp_rgb(
    src: npt.NDArray[np.uint8 | np.uint16],
    inverse: Sequence[float] | npt.NDArray[Any],
    scale: float,
    off_x: float,
    off_y: float,
) -> npt.NDArray[np.uint8 | np.uint16]: ...
