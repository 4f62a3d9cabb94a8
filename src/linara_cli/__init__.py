"""Command-line tool and helpers built on `linara`: reading image files for
the detector, segment tables, overlays, batches and rectification."""

from .arrays import COLUMNS, segments_to_array
from .geometry import homography_from_corners
from .images import read_image, to_detector_gray

__all__ = ["COLUMNS", "homography_from_corners", "read_image", "segments_to_array",
           "to_detector_gray"]
