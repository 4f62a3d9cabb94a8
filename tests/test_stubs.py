"""The installed type stubs, where the CI's stub check cannot look: that
check exempts detect, whose runtime signature writes its default as "...",
and it reads only one of the two installed copies."""

import ast
import inspect
from pathlib import Path

import linara

SITE = Path(linara.__file__).parent
COPIES = [SITE / "linara.pyi", SITE / "linara-stubs" / "__init__.pyi"]


def test_both_installed_copies_are_the_same():
    assert COPIES[0].read_bytes() == COPIES[1].read_bytes()
    assert (SITE / "linara-stubs" / "py.typed").exists()


def test_detect_stub_has_the_runtime_parameters_and_the_real_default():
    tree = ast.parse(COPIES[0].read_text())
    (stub,) = [node for node in tree.body if isinstance(node, ast.FunctionDef) and node.name == "detect"]
    names = [a.arg for a in stub.args.args]
    runtime = inspect.signature(linara.detect).parameters
    assert names == list(runtime)
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in runtime.values())
    assert not (stub.args.posonlyargs or stub.args.kwonlyargs or stub.args.vararg or stub.args.kwarg)
    assert [ast.literal_eval(d) for d in stub.args.defaults] == [0.8]
