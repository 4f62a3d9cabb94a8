"""Writes the README's Python examples into one module, for a type checker.

The ```python blocks are joined in the order a reader meets them, so later
examples see the names earlier ones define, as in one interactive session.
Names that the README leaves to the reader (its own data) are declared with
their types first.

    python .ci/readme_examples.py README.md OUT.py
"""

import re
import sys
from pathlib import Path

GIVEN = '''\
import numpy as np
import numpy.typing as npt

# Data the README's examples take as given.
gray01: npt.NDArray[np.float64]  # a float image in [0, 1]
raw12: npt.NDArray[np.uint16]  # 12-bit camera data
'''

BLOCK = re.compile(r"^```python\n(.*?)^```", re.DOTALL | re.MULTILINE)


def main(readme, out):
    blocks = BLOCK.findall(Path(readme).read_text())
    if not blocks:
        sys.exit(f"{readme} holds no python examples")
    parts = [GIVEN] + [f"# --- example {n}\n{code}" for n, code in enumerate(blocks, 1)]
    Path(out).write_text("\n".join(parts))
    print(f"{len(blocks)} examples from {readme} written to {out}")


if __name__ == "__main__":
    main(*sys.argv[1:])
