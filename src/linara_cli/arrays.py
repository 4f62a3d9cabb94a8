"""Detected segments as a NumPy array."""

import numpy as np

#: Column names of `segments_to_array`, in order.
COLUMNS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa", "angle", "length")


def segments_to_array(segments):
    """Stack segments into a float64 array of shape (N, 9).

    The columns are, in order (also in `COLUMNS`):

    ========= ==========================================================
    0 x1      x of the first end point, in input-image pixels
    1 y1      y of the first end point
    2 x2      x of the second end point
    3 y2      y of the second end point
    4 width   width of the segment's rectangle, in pixels
    5 precision  probability of the model the segment was validated with
    6 log_nfa score, -log10 of the number of false alarms (higher is surer)
    7 angle   direction in degrees, in (-90, 90], 0 = horizontal
    8 length  distance between the end points, in pixels
    ========= ==========================================================

    Coordinates are those of `linara.detect`: pixel (x, y) covers the square
    [x, x+1) x [y, y+1). Every value is the segment's own attribute, so the
    array holds exactly the numbers `detect` returned; an empty input gives
    an array of shape (0, 9).
    """
    rows = [[getattr(s, name) for name in COLUMNS] for s in segments]
    return np.array(rows, dtype=np.float64).reshape(len(rows), len(COLUMNS))
