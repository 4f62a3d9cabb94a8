"""Pictures of detected segments drawn over their image: SVG (no extra
packages) and PNG (through Pillow)."""

import base64
import colorsys
import math
from xml.sax.saxutils import escape, quoteattr

import numpy as np

from .arrays import COLUMNS
from .images import MissingDependency, to_display_u8
from .png import encode_png

COLOR_MODES = ("angle", "log_nfa")

# Stops of a perceptually ordered dark-blue to yellow scale for log_nfa.
_SCALE_STOPS = np.array([(68, 1, 84), (59, 82, 139), (33, 145, 140), (94, 201, 98),
                         (253, 231, 37)], dtype=np.float64)
_NAN_COLOUR = (160, 160, 160)
_X1, _Y1, _X2, _Y2, _WIDTH = (COLUMNS.index(c) for c in ("x1", "y1", "x2", "y2", "width"))
_ANGLE, _LOG_NFA = COLUMNS.index("angle"), COLUMNS.index("log_nfa")


def segment_colours(table, color_by="angle"):
    """One (r, g, b) tuple of 0-255 ints per row of a `segments_to_array` table.

    By angle, the hue runs once round the colour wheel from -90 to 90 degrees,
    so a direction and its reverse share a colour. By log_nfa, the image's
    least significant segment is dark blue and its most significant yellow;
    a NaN score is gray.
    """
    if color_by == "angle":
        colours = []
        for angle in table[:, _ANGLE]:
            hue = ((angle + 90.0) / 180.0) % 1.0 if math.isfinite(angle) else 0.0
            r, g, b = colorsys.hls_to_rgb(hue, 0.5, 1.0)
            colours.append((round(r * 255), round(g * 255), round(b * 255)))
        return colours
    if color_by != "log_nfa":
        raise ValueError(f"color_by must be one of {COLOR_MODES}, not {color_by!r}")
    scores = table[:, _LOG_NFA]
    finite = scores[np.isfinite(scores)]
    low, high = (finite.min(), finite.max()) if finite.size else (0.0, 1.0)
    colours = []
    for score in scores:
        if not math.isfinite(score):
            colours.append(_NAN_COLOUR)
            continue
        t = (score - low) / (high - low) if high > low else 1.0
        position = t * (len(_SCALE_STOPS) - 1)
        i = min(int(position), len(_SCALE_STOPS) - 2)
        mix = _SCALE_STOPS[i] + (position - i) * (_SCALE_STOPS[i + 1] - _SCALE_STOPS[i])
        colours.append(tuple(int(round(c)) for c in mix))
    return colours


def _number(value):
    return f"{value:.2f}".rstrip("0").rstrip(".")


def svg_overlay(gray, table, color_by="angle", title=None):
    """SVG text showing `gray` (embedded as PNG) with the segments of `table`
    (a `segments_to_array` result) drawn as lines of their own width.

    The SVG user space is the detector's coordinate system: the image spans
    (0, 0) to (width, height), one unit per pixel, so segment coordinates are
    used unchanged.
    """
    height, width = gray.shape[:2]
    picture = base64.b64encode(encode_png(to_display_u8(gray))).decode("ascii")
    lines = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        f'<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" '
        f'width="{width}" height="{height}" viewBox="0 0 {width} {height}">',
    ]
    if title is not None:
        lines.append(f"<title>{escape(title)}</title>")
    lines.append(f'<image width="{width}" height="{height}" '
                 f'xlink:href={quoteattr("data:image/png;base64," + picture)}/>')
    lines.append('<g fill="none" stroke-opacity="0.85" stroke-linecap="butt">')
    for row, (r, g, b) in zip(table, segment_colours(table, color_by)):
        lines.append(
            f'<line x1="{_number(row[_X1])}" y1="{_number(row[_Y1])}" '
            f'x2="{_number(row[_X2])}" y2="{_number(row[_Y2])}" '
            f'stroke="#{r:02x}{g:02x}{b:02x}" stroke-width="{_number(max(row[_WIDTH], 0.5))}"/>')
    lines += ["</g>", "</svg>", ""]
    return "\n".join(lines).encode("utf-8")


def png_overlay(gray, table, color_by="angle"):
    """PNG bytes of `gray` in RGB with the segments drawn over it, the size of
    the image. Lines are drawn on a finer canvas and scaled down, which
    smooths their edges; the image itself stays as it is."""
    try:
        from PIL import Image, ImageDraw
    except ImportError:
        raise MissingDependency("PNG overlays need Pillow: pip install 'linara[cli]'") from None
    height, width = gray.shape[:2]
    # Supersample small and medium images; keep the canvas near 16 megapixels.
    factor = int(max(1, min(3, math.sqrt(16e6 / max(1, width * height)))))
    base = Image.fromarray(to_display_u8(gray), "L").convert("RGBA")
    layer = Image.new("RGBA", (width * factor, height * factor), (0, 0, 0, 0))
    draw = ImageDraw.Draw(layer)
    for row, colour in zip(table, segment_colours(table, color_by)):
        # Detector coordinates put pixel centres at +0.5; Pillow puts them on
        # integers of the (scaled) canvas.
        ends = [(row[_X1] * factor - 0.5, row[_Y1] * factor - 0.5),
                (row[_X2] * factor - 0.5, row[_Y2] * factor - 0.5)]
        if not all(math.isfinite(v) for end in ends for v in end):
            continue
        draw.line(ends, fill=colour + (217,), width=max(1, round(row[_WIDTH] * factor)))
    if factor > 1:
        layer = layer.resize((width, height), Image.Resampling.BOX)
    return encode_png(np.asarray(Image.alpha_composite(base, layer).convert("RGB")))
