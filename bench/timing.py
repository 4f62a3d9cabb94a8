"""Shared helpers of the benchmark scripts: median timing and the machine."""

import os
import platform
import time

import numpy as np


def median_ms(call, repeat):
    """Median wall time of `repeat` calls in milliseconds, after one warm-up
    call (first-use allocations, thread pool start)."""
    call()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return float(np.median(times) * 1e3)


def machine():
    """(CPU model, logical processors, processors usable by this process)."""
    model = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return model, os.cpu_count(), len(os.sched_getaffinity(0))
