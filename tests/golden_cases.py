"""Golden detection results on real photographs, stored as exact hex floats.

The images are scikit-image's bundled PNG photographs (lossless, so every
platform decodes the same samples); colour ones are reduced to gray with an
integer luma so that no floating-point library is involved. Regenerate with
`python tests/golden_cases.py` only after a deliberate change of results.
"""

import json
from pathlib import Path

import numpy as np

GOLDEN_DIR = Path(__file__).resolve().parent / "golden"
FIELDS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")


def integer_luma(rgb):
    rgb = rgb[..., :3].astype(np.uint32)
    return ((77 * rgb[..., 0] + 150 * rgb[..., 1] + 29 * rgb[..., 2] + 128) >> 8).astype(np.uint8)


def _image(name):
    from skimage import data

    if name == "astronaut":
        return integer_luma(data.astronaut())
    if name == "motorcycle":
        return integer_luma(data.stereo_motorcycle()[0])
    return getattr(data, name)()


# (file stem, image name, element type, scale)
CASES = [
    ("camera_u8_default", "camera", "uint8", None),
    ("camera_u8_full", "camera", "uint8", 1.0),
    ("coins_u16_default", "coins", "uint16", None),
    ("astronaut_u8_half", "astronaut", "uint8", 0.5),
    ("motorcycle_f32_default", "motorcycle", "float32", None),
    ("page_f64_full", "page", "float64", 1.0),
]


def case_input(image_name, dtype):
    gray = _image(image_name)
    if dtype == "uint16":
        return gray.astype(np.uint16) * np.uint16(257)
    return gray.astype(dtype)


# The same samples in other memory layouts, which detect copies first.
LAYOUTS = {
    "column-major": np.asfortranarray,
    "strided": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    "rows reversed twice": lambda a: np.ascontiguousarray(a[::-1])[::-1],
}


def run_case(linara, image_name, dtype, scale, layout=None):
    gray = case_input(image_name, dtype)
    if layout is not None:
        gray = LAYOUTS[layout](gray)
    segments = linara.detect(gray) if scale is None else linara.detect(gray, scale)
    return [[float(getattr(s, f)).hex() for f in FIELDS] for s in segments]


def main():
    import linara

    GOLDEN_DIR.mkdir(exist_ok=True)
    for stem, image_name, dtype, scale in CASES:
        rows = run_case(linara, image_name, dtype, scale)
        path = GOLDEN_DIR / f"{stem}.json"
        path.write_text(json.dumps({"fields": FIELDS, "segments": rows}, separators=(",", ":")) + "\n")
        print(f"{path.name}: {len(rows)} segments")


if __name__ == "__main__":
    main()
