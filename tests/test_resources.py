"""Both entries under resource failure and over many calls: running out of
address space raises MemoryError and leaves the process usable, and
neither successful nor failing calls leak memory or references."""

import ctypes
import gc
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import linara

SANITIZED = os.environ.get("LINARA_SANITIZE") == "1"
IDENTITY = (1, 0, 0, 0, 1, 0, 0, 0, 1)
TILT = (0.98, 0.03, 1.5, -0.02, 1.01, -0.7, 1e-4, -2e-4, 1.0)


# The big input is made before the cap, so only the call's own allocations
# (its copy, its working buffers, its result) meet it.
BIG_CALLS = {
    "detect float32 in place, full scale": "big = np.zeros((12000, 12000), np.float32); "
                                           "call = lambda: linara.detect(big, 1.0)",
    "detect uint8 in place, sub-sampled": "big = np.zeros((12000, 12000), np.uint8); "
                                          "call = lambda: linara.detect(big)",
    "detect copied": "big = np.broadcast_to(np.zeros((12000, 1)), (12000, 24000)); "
                     "call = lambda: linara.detect(big, 1.0)",
    "warp_rgb in place": "big = np.zeros((12000, 12000, 3), np.uint16); "
                         "call = lambda: linara.warp_rgb(big, TILT, 1.0, 0.0, 0.0)",
    "warp_rgb copied": "big = np.broadcast_to(np.zeros(3, np.uint8), (30000, 30000, 3)); "
                       "call = lambda: linara.warp_rgb(big, TILT, 1.0, 0.0, 0.0)",
}


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves far more address space than any cap")
@pytest.mark.parametrize("big_call", BIG_CALLS.values(), ids=BIG_CALLS.keys())
def test_running_out_of_address_space_raises_memory_error_and_leaves_the_process_usable(
        scene, fingerprint, tmp_path, big_call):
    small = scene(120, 160, 4)
    rgb = np.random.default_rng(3).integers(0, 256, (50, 70, 3), dtype=np.uint8)
    code = textwrap.dedent(f"""
        import json, resource, sys
        import numpy as np
        import linara
        TILT = {TILT!r}
        small, rgb = np.load(sys.argv[1]), np.load(sys.argv[2])
        def run_small():
            keys = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")
            segments = [[float.hex(getattr(s, k)) for k in keys] for s in linara.detect(small)]
            return segments, linara.warp_rgb(rgb, TILT, 1.0, 0.0, 0.0).tobytes().hex()
        before = run_small()  # also starts the worker pool
        {big_call}
        with open("/proc/self/status") as status:
            size = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (size + (384 << 20), resource.RLIM_INFINITY))
        for attempt in range(3):
            try:
                call()
            except MemoryError:
                pass
            else:
                raise SystemExit("the big call fitted under the cap")
            assert run_small() == before
        print(json.dumps(before[0]))
        print(before[1])
    """)
    paths = [tmp_path / "small.npy", tmp_path / "rgb.npy"]
    np.save(paths[0], small)
    np.save(paths[1], rgb)
    environment = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
    result = subprocess.run([sys.executable, "-c", code, *map(str, paths)], capture_output=True, text=True,
                            timeout=300, env=environment)
    assert result.returncode == 0, result.stderr[-3000:]
    segments, warped = result.stdout.split("\n")[:2]
    assert json.loads(segments) == [list(s) for s in fingerprint(linara.detect(small))] != []
    assert warped == linara.warp_rgb(rgb, TILT, 1.0, 0.0, 0.0).tobytes().hex()


class Refuses:
    def __float__(self):
        raise ArithmeticError("no float")


def entry_calls(scene):
    """(name, call) pairs, each call succeeding or raising an expected error."""
    gray = scene(60, 80, 5)
    swapped = gray.astype(">u2" if sys.byteorder == "little" else "<u2")
    rgb = np.random.default_rng(1).integers(0, 256, (20, 30, 3), dtype=np.uint8)
    huge = np.broadcast_to(np.zeros(3, np.uint8), (70000, 70000, 3))
    bad_item = list(TILT[:8]) + [Refuses()]
    scale, text, rows = 0.8, "x", gray[:4].tolist()
    arguments = [gray, swapped, rgb, huge, bad_item, scale, text, rows, TILT, *bad_item]
    calls = {
        "detect": lambda: linara.detect(gray, scale),
        "detect copied": lambda: linara.detect(gray[:, ::-1], scale),
        "detect bad scale": lambda: linara.detect(gray, text),
        "detect swapped": lambda: linara.detect(swapped),
        "detect list": lambda: linara.detect(rows),
        "detect too large": lambda: linara.detect(huge[..., 0]),
        "warp_rgb": lambda: linara.warp_rgb(rgb, TILT, scale, 0.5, 0.5),
        "warp_rgb copied": lambda: linara.warp_rgb(rgb[::-1], TILT, scale, 0.5, 0.5),
        "warp_rgb bad item": lambda: linara.warp_rgb(rgb, bad_item, scale, 0.5, 0.5),
        "warp_rgb bad length": lambda: linara.warp_rgb(rgb, TILT[:8], scale, 0.5, 0.5),
        "warp_rgb bad offset": lambda: linara.warp_rgb(rgb, TILT, scale, text, 0.5),
        "warp_rgb too large": lambda: linara.warp_rgb(huge, TILT, scale, 0.5, 0.5),
    }
    return calls, arguments


def call_all(calls, times):
    for call in calls.values():
        for _ in range(times):
            try:
                call()
            except (TypeError, ValueError, ArithmeticError):
                pass


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


def heap_in_use():
    """Bytes that the C library's allocator has handed out and not got back."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def test_many_calls_leak_neither_memory_nor_references(scene):
    calls, arguments = entry_calls(scene)
    outcomes = {}
    for name, call in calls.items():
        try:
            outcomes[name] = type(call()).__name__
        except (TypeError, ValueError, ArithmeticError) as error:
            outcomes[name] = type(error).__name__
    assert outcomes == {
        "detect": "list", "detect copied": "list", "detect bad scale": "TypeError",
        "detect swapped": "TypeError", "detect list": "TypeError", "detect too large": "ValueError",
        "warp_rgb": "ndarray", "warp_rgb copied": "ndarray", "warp_rgb bad item": "ArithmeticError",
        "warp_rgb bad length": "ValueError", "warp_rgb bad offset": "TypeError",
        "warp_rgb too large": "ValueError",
    }
    times = 1000 if SANITIZED else 10000
    call_all(calls, times // 10)
    gc.collect()
    references = [sys.getrefcount(a) for a in arguments] + [sys.getrefcount(linara.Segment)]
    blocks, heap = sys.getallocatedblocks(), heap_in_use()
    call_all(calls, times)
    gc.collect()
    assert [sys.getrefcount(a) for a in arguments] + [sys.getrefcount(linara.Segment)] == references
    # One leaked object or buffer per call would add `times` blocks or bytes.
    assert sys.getallocatedblocks() - blocks < times // 2
    if not SANITIZED:  # the sanitizer's allocator keeps freed memory in quarantine
        assert heap_in_use() - heap < 256 << 10
