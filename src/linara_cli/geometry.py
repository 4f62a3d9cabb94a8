"""Homographies from point correspondences."""

import numpy as np


def _normalising_transform(points):
    """Similarity that moves the points' centroid to the origin and their mean
    distance from it to sqrt(2), which keeps the linear system well conditioned
    for pixel coordinates in the thousands."""
    centre = points.mean(axis=0)
    spread = np.sqrt(((points - centre) ** 2).sum(axis=1)).mean()
    s = np.sqrt(2.0) / spread
    return np.array([[s, 0.0, -s * centre[0]], [0.0, s, -s * centre[1]], [0.0, 0.0, 1.0]])


def _as_corners(points, name):
    array = np.asarray(points, dtype=np.float64)
    if array.shape != (4, 2):
        raise ValueError(f"{name} must be four (x, y) points, got shape {array.shape}")
    if not np.isfinite(array).all():
        raise ValueError(f"{name} must be finite")
    return array


def _require_general_position(points):
    """Raise ValueError when three of the four points are (nearly) collinear:
    then no invertible homography maps them onto a proper quadrilateral."""
    extent = np.ptp(points, axis=0).max()
    for skip in range(4):
        a, b, c = np.delete(points, skip, axis=0)
        area = (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0])
        if not abs(area) > 1e-9 * extent * extent:
            raise ValueError("no homography: three of the corners are collinear")


def homography_from_corners(src4, dst4):
    """The 3x3 homography H that maps each of four points `src4` onto the
    matching point of `dst4`: H @ (x, y, 1) is proportional to (x', y', 1).

    `src4` and `dst4` are four (x, y) points each (any (4, 2) array-like). The
    result is a float64 array normalised so that H[2, 2] is 1 when it is not 0.
    Raises ValueError when three of the points of either set are collinear,
    since no unique homography exists then.

    Points are taken in the pixel convention of `linara.warp_rgb`: the pixel
    in column x, row y is sampled at the point (x, y), so pixel centres lie on
    integers, as NumPy indices and most image viewers count. `linara.detect`
    instead puts pixel (x, y) on the square [x, x+1) x [y, y+1), with its
    centre at (x + 0.5, y + 0.5): subtract 0.5 from both coordinates of
    corners taken from detected segments before passing them here.

    `warp_rgb` wants the inverse mapping, from output pixels back to the
    source, so for rectifying pass the output corners first::

        inverse = homography_from_corners(output_corners, photo_corners)
        out = linara.warp_rgb(photo, inverse.ravel(), 1.0, 0.0, 0.0)
    """
    src = _as_corners(src4, "src4")
    dst = _as_corners(dst4, "dst4")
    for points in (src, dst):
        _require_general_position(points)
    ts, td = _normalising_transform(src), _normalising_transform(dst)
    s = (ts @ np.c_[src, np.ones(4)].T).T
    d = (td @ np.c_[dst, np.ones(4)].T).T
    rows = []
    for (x, y, _), (u, v, _) in zip(s, d):
        rows.append([x, y, 1.0, 0.0, 0.0, 0.0, -u * x, -u * y, -u])
        rows.append([0.0, 0.0, 0.0, x, y, 1.0, -v * x, -v * y, -v])
    # The null vector of the eight equations is the homography, up to scale.
    null_vector = np.linalg.svd(np.array(rows))[2][8]
    h = np.linalg.inv(td) @ null_vector.reshape(3, 3) @ ts
    scale = h[2, 2] if h[2, 2] != 0 else np.abs(h).max()
    return h / scale
