"""Reading image files into NumPy arrays, and bringing them to the sample
range the detector expects."""

import os

import numpy as np

#: Luma weights applied to red, green and blue (ITU-R BT.601).
LUMA_WEIGHTS = (0.299, 0.587, 0.114)
LUMA_TEXT = "gray = 0.299 R + 0.587 G + 0.114 B (ITU-R BT.601 luma, in float64)"

#: File name endings taken from directories; a file named explicitly is read
#: whatever its ending.
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".tif", ".tiff", ".pgm", ".ppm", ".pnm", ".pbm",
                  ".bmp", ".webp")

_TIFF_SUFFIXES = (".tif", ".tiff")


class ImageError(Exception):
    """A file that is not an image this tool can read; the message says why."""


class MissingDependency(Exception):
    """An optional package the command needs is not installed."""


def _pillow():
    try:
        from PIL import Image
    except ImportError:
        raise MissingDependency(
            "reading images needs Pillow: pip install 'linara[cli]'") from None
    return Image


def _png_header(path):
    """(bit depth, colour type) of a PNG file, or None for other files."""
    with open(path, "rb") as f:
        head = f.read(26)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or len(head) < 26:
        return None
    return head[24], head[25]


def _read_tiff(path):
    """The first image of a TIFF file with its own sample type, or None when
    tifffile lacks the codec (Pillow then tries)."""
    try:
        import tifffile
    except ImportError:
        return None
    try:
        with tifffile.TiffFile(path) as tif:
            page = tif.pages[0]
            deep_colour = page.samplesperpixel >= 3 and page.bitspersample > 8
            try:
                array = tif.asarray(key=0)
            except (KeyError, ValueError) as error:
                if "imagecodecs" not in str(error):
                    raise
                if deep_colour:
                    raise ImageError(
                        "this compressed colour TIFF of more than 8 bits needs the "
                        "imagecodecs package (pip install imagecodecs)") from None
                return None
            if array.ndim == 3 and page.planarconfig == 2 and array.shape[0] <= 4:
                array = np.moveaxis(array, 0, -1)  # planes stored one after another
            return array
    except tifffile.TiffFileError as error:
        raise ImageError(f"not a readable TIFF file ({error})") from None


def _from_pillow(picture):
    mode = picture.mode
    if mode in ("1", "P", "PA", "CMYK", "YCbCr", "LAB", "HSV"):
        picture = picture.convert("RGBA" if "transparency" in picture.info or mode == "PA"
                                  else ("L" if mode == "1" else "RGB"))
        mode = picture.mode
    array = np.asarray(picture)
    if mode == "I":
        # 16-bit PGM and some TIFFs arrive as 32-bit integers.
        if array.size and (array.min() < 0 or array.max() > 65535):
            raise ImageError("32-bit integer samples outside 0-65535 are not supported")
        return array.astype(np.uint16)
    if mode.startswith("I;16"):
        return array.astype(np.uint16)
    return array.astype(array.dtype.newbyteorder("="), copy=False)


def read_image(path):
    """The samples of an image file as an array: (height, width) for gray,
    (height, width, channels) for colour, as uint8, uint16 or float.

    Pixels are returned as stored: no orientation tag is applied. Raises
    OSError for files that cannot be opened and ImageError for files that are
    not readable images.
    """
    path = os.fspath(path)
    if os.path.getsize(path) == 0:
        raise ImageError("empty file")
    if path.lower().endswith(_TIFF_SUFFIXES):
        array = _read_tiff(path)
        if array is not None:
            return _squeeze_samples(array)
    header = _png_header(path)
    if header is not None and header[0] == 16 and header[1] in (2, 6):
        raise ImageError("16-bit colour PNG would be read with 8 bits only; "
                         "save it as 16-bit TIFF instead")
    Image = _pillow()
    try:
        with Image.open(path) as picture:
            picture.load()
            return _squeeze_samples(_from_pillow(picture))
    except Image.UnidentifiedImageError:
        raise ImageError("not an image file of a known format, or corrupt") from None
    except (SyntaxError, ValueError, EOFError) as error:
        raise ImageError(f"corrupt image file ({error})") from None


def _squeeze_samples(array):
    if array.ndim == 3 and array.shape[2] == 1:
        array = array[:, :, 0]
    if array.ndim not in (2, 3) or (array.ndim == 3 and array.shape[2] > 4):
        raise ImageError(f"unsupported sample layout {array.shape}")
    if array.dtype.kind == "f":
        return array
    if array.dtype == np.bool_:
        return array.astype(np.uint8) * np.uint8(255)
    if array.dtype not in (np.uint8, np.uint16):
        raise ImageError(f"unsupported sample type {array.dtype}")
    return array


def to_detector_gray(image, bit_depth=None):
    """The array to hand to `linara.detect` for an image from `read_image`.

    The detector's gradient threshold assumes samples on a 0-255 scale
    (uint16 samples are divided by 257). So:

    - colour becomes gray by `LUMA_TEXT` (alpha is ignored);
    - a float image whose samples all lie in [0, 1] is multiplied by 255;
    - with `bit_depth` N, integer samples are taken as N-bit data and
      multiplied by 255 / (2**N - 1) (for 12-bit camera data in uint16);
    - otherwise uint8, uint16 and other float images pass through unchanged,
      so a gray file gives exactly what `detect` gives for its array.
    """
    integer = image.dtype.kind == "u"
    if bit_depth is not None and integer:
        peak = (1 << bit_depth) - 1
        if image.size and int(image.max()) > peak:
            raise ImageError(f"samples above {peak} do not fit --bit-depth {bit_depth}")
    unit_float = False
    if image.dtype.kind == "f":
        finite = image[np.isfinite(image)]
        unit_float = bool(finite.size) and finite.min() >= 0.0 and finite.max() <= 1.0

    gray = image
    if image.ndim == 3 and image.shape[2] >= 3:
        gray = _luma(image)
    elif image.ndim == 3:
        gray = image[:, :, 0]

    if bit_depth is not None and integer:
        return gray.astype(np.float64) * (255.0 / ((1 << bit_depth) - 1))
    if unit_float:
        return gray.astype(np.float64) * 255.0
    if image.dtype == np.uint16 and gray.dtype == np.float64:
        return gray / 257.0  # colour luma: the division detect applies to uint16
    return gray


def _luma(image):
    """(R * 0.299 + G * 0.587) + B * 0.114 in float64, channel by channel so
    that no float64 copy of the whole colour image is made."""
    r, g, b = LUMA_WEIGHTS
    gray = np.multiply(image[:, :, 0], r, dtype=np.float64)
    term = np.multiply(image[:, :, 1], g, dtype=np.float64)
    gray += term
    np.multiply(image[:, :, 2], b, out=term, dtype=np.float64)
    gray += term
    return gray


def to_display_u8(gray):
    """An 8-bit rendering of a detector-scale gray image (for overlays)."""
    if gray.dtype == np.uint8:
        return gray
    if gray.dtype == np.uint16:
        return (gray // 257).astype(np.uint8)
    shown = np.nan_to_num(np.asarray(gray, np.float64), nan=0.0)
    return np.clip(np.rint(shown), 0, 255).astype(np.uint8)
