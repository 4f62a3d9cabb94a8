"""Replays the fuzzer's saved corpus against the installed module: every
input that once found a fault, or new coverage, keeps being checked for the
fuzzer's properties (documented exceptions only, and a view gives what its
C-ordered copy gives)."""

import importlib.util
from pathlib import Path

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"


def load_harness():
    spec = importlib.util.spec_from_file_location("fuzz_entries", FUZZ / "fuzz_entries.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_every_corpus_input_keeps_the_fuzzers_properties():
    harness = load_harness()
    inputs = sorted((FUZZ / "corpus").iterdir())
    assert len(inputs) > 20
    failures = []
    for path in inputs:
        try:
            harness.check(path.read_bytes())
        except Exception as error:  # reported with the input that raised it
            failures.append(f"{path.name}: {error!r}")
    assert not failures, "\n".join(failures[:20])
