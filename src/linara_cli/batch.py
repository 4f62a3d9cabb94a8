"""Detection over many files: in this process, in a pool of processes, or on
a Dask cluster. Every way runs the same `detect_file`, and results come back
in input order."""

import collections
import concurrent.futures
import dataclasses
import multiprocessing
import os
import sys

import numpy as np

import linara

from .arrays import segments_to_array
from .images import ImageError, MissingDependency, read_image, to_detector_gray
from .overlay import png_overlay, svg_overlay


class ClusterUnavailable(Exception):
    """The Dask scheduler could not be reached."""


@dataclasses.dataclass(frozen=True)
class DetectOptions:
    scale: float = 0.8
    bit_depth: int | None = None
    overlay: str | None = None  # "svg", "png" or None
    color_by: str = "angle"


@dataclasses.dataclass
class FileResult:
    path: str
    table: np.ndarray | None = None  # segments_to_array of the detection
    shape: tuple | None = None  # (height, width) of the image
    overlay: bytes | None = None
    error: str | None = None


def _reason(error):
    if isinstance(error, OSError):
        return error.strerror or str(error)
    if isinstance(error, (ImageError, MissingDependency)):
        return str(error)
    return f"{type(error).__name__}: {error}"


def detect_file(path, options):
    """Read, detect and optionally draw one file. Never raises for a bad file:
    the reason is returned in `error` instead, so one bad file cannot stop a
    batch."""
    try:
        gray = to_detector_gray(read_image(path), options.bit_depth)
        table = segments_to_array(linara.detect(gray, options.scale))
        overlay = None
        if options.overlay == "svg":
            overlay = svg_overlay(gray, table, options.color_by,
                                  title=f"{len(table)} segments in {os.path.basename(path)}")
        elif options.overlay == "png":
            overlay = png_overlay(gray, table, options.color_by)
        return FileResult(path, table, gray.shape[:2], overlay)
    except MemoryError:
        return FileResult(path, error="out of memory")
    except Exception as error:  # reported per file; the batch goes on
        return FileResult(path, error=_reason(error))


def _usable_processors():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def _set_pool_threads(threads):
    # Runs in each worker process before its first detection, so the
    # detector's thread pool is created with this size.
    if threads:
        os.environ["RAYON_NUM_THREADS"] = str(threads)


def _progress(total, enabled):
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="file", file=sys.stderr, dynamic_ncols=True)


def run_local(paths, options, jobs=1, progress=False):
    """Yield one FileResult per path, in order, using `jobs` processes.

    With several processes and no RAYON_NUM_THREADS in the environment, each
    process's detector gets an equal share of the processors, so the
    processes do not compete for them."""
    bar = _progress(len(paths), progress)
    try:
        if jobs <= 1 or len(paths) <= 1:
            for path in paths:
                result = detect_file(path, options)
                if bar is not None:
                    bar.update()
                yield result
            return
        threads = None
        if not any(os.environ.get(v, "").strip() not in ("", "0")
                   for v in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")):
            threads = max(1, _usable_processors() // jobs)
        context = multiprocessing.get_context("spawn")
        with concurrent.futures.ProcessPoolExecutor(
                max_workers=min(jobs, len(paths)), mp_context=context,
                initializer=_set_pool_threads, initargs=(threads,)) as pool:
            # A bounded window of files in flight keeps memory flat however
            # long the list and however slow its first file.
            pending = collections.deque()
            try:
                for path in paths:
                    pending.append((path, _submit(pool, path, options, bar)))
                    if len(pending) >= 4 * jobs:
                        yield _collect(*pending.popleft())
                while pending:
                    yield _collect(*pending.popleft())
            finally:
                for _, future in pending:
                    future.cancel()
    finally:
        if bar is not None:
            bar.close()


def _submit(pool, path, options, bar):
    try:
        future = pool.submit(detect_file, path, options)
    except concurrent.futures.process.BrokenProcessPool as error:
        # A worker died; the files still waiting are reported as failed.
        future = concurrent.futures.Future()
        future.set_exception(error)
    if bar is not None:
        future.add_done_callback(lambda _: bar.update())
    return future


def _collect(path, future):
    try:
        return future.result()
    except Exception as error:  # the worker itself died
        return FileResult(path, error=f"worker failed: {_reason(error)}")


def run_dask(paths, options, address, progress=False):
    """Connect to the Dask cluster whose scheduler is at `address` and return
    an iterator of one FileResult per path, in order, computed there. The
    workers read the files themselves, so the paths (made absolute here) must
    be readable on every worker."""
    try:
        from distributed import Client
    except ImportError:
        raise MissingDependency("--dask needs Dask: pip install 'linara[dask]'") from None
    try:
        client = Client(address, set_as_default=False)
    except (OSError, TimeoutError) as error:
        raise ClusterUnavailable(f"cannot reach the Dask scheduler at {address}: {error}") \
            from None
    return _dask_results(client, paths, options, progress)


def _dask_results(client, paths, options, progress):
    bar = _progress(len(paths), progress)
    try:
        absolute = [os.path.abspath(p) for p in paths]
        futures = client.map(detect_file, absolute, options=options, pure=False)
        if bar is not None:
            for future in futures:
                future.add_done_callback(lambda _: bar.update())
        try:
            for path, future in zip(paths, futures):
                result = _collect(path, future)
                result.path = path
                yield result
        finally:
            client.cancel(futures)
    finally:
        if bar is not None:
            bar.close()
        client.close()
