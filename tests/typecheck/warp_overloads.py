"""Type checkers must give warp_rgb's result the element type of its source.

Checked by `mypy --strict` (not collected by pytest): each assert_type fails
the check when an overload picks the wrong return type, and each ignore
comment in rejected() fails it when a call that raises at run time would
pass; the reveal_type lines show what an editor displays. Running the file
checks that the arrays really have those element types.
"""

from typing import Any, assert_type, reveal_type

import numpy as np
import numpy.typing as npt

import linara

IDENTITY = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0)

src8 = np.zeros((4, 5, 3), np.uint8)
src16 = np.zeros((4, 5, 3), np.uint16)
mixed: npt.NDArray[np.uint8 | np.uint16] = src16
unknown: npt.NDArray[Any] = src8

out8 = linara.warp_rgb(src8, IDENTITY, 1.0, 0.0, 0.0)
out16 = linara.warp_rgb(src16, np.eye(3).ravel(), 2, 0.5, -1.0)
out_mixed = linara.warp_rgb(mixed, list(IDENTITY), 1.0, 0.0, 0.0)
out_unknown = linara.warp_rgb(unknown, IDENTITY, 1.0, 0.0, 0.0)

reveal_type(out8)
reveal_type(out16)
assert_type(out8, npt.NDArray[np.uint8])
assert_type(out16, npt.NDArray[np.uint16])
assert_type(out_mixed, npt.NDArray[np.uint8 | np.uint16])
assert_type(out_unknown, np.ndarray[Any, Any])  # not pinned to uint8

segments = linara.detect(src8[..., 0])
assert_type(segments, list[linara.Segment])
assert_type(linara.detect(np.zeros((8, 8), np.float32), scale=1), list[linara.Segment])
first: float = segments[0].length if segments else 0.0


def rejected() -> None:
    # Element types that raise TypeError at run time are type errors too
    # (strict mode reports an ignore comment that is not needed).
    float_rgb = np.zeros((4, 5, 3), np.float32)
    int_gray = np.zeros((8, 8), np.int32)
    linara.warp_rgb(float_rgb, IDENTITY, 1.0, 0.0, 0.0)  # type: ignore[arg-type]
    linara.detect(int_gray)  # type: ignore[arg-type]
    segments[0].x1 = 1.0  # type: ignore[misc]


if __name__ == "__main__":
    assert [a.dtype.name for a in (out8, out16, out_mixed)] == ["uint8", "uint16", "uint16"]
    print("warp_rgb keeps uint8 and uint16")
