"""The worker pool seen from Python: its size, fork, and many callers at once."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import linara

TIMEOUT = 120

PRELUDE = """
import json, os, sys
import numpy as np
import linara
def fp(segments):
    keys = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")
    return json.dumps([[float.hex(getattr(s, k)) for k in keys] for s in segments])
"""


def run_python(code, *args, env=None, stderr=False):
    environment = {k: v for k, v in os.environ.items()
                   if not k.startswith(("RAYON_", "LINARA_PROFILE", "LINARA_SCHEDULE"))}
    environment.update(env or {})
    result = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code), *map(str, args)],
                            env=environment, capture_output=True, text=True, timeout=TIMEOUT)
    assert result.returncode == 0, result.stderr[-3000:]
    return (result.stdout, result.stderr) if stderr else result.stdout


@pytest.fixture(scope="module")
def picture(scene, tmp_path_factory):
    path = tmp_path_factory.mktemp("threads") / "picture.npy"
    np.save(path, scene(200, 300, 7))
    return path


@pytest.mark.parametrize("threads", ["1", "2", "3", "7"])
def test_results_do_not_depend_on_the_thread_count(picture, fingerprint, threads):
    image = np.load(picture)
    expected = [json.dumps(fingerprint(linara.detect(image))),
                json.dumps(fingerprint(linara.detect(image.astype(np.float32), 0.5)))]
    assert expected[0] != "[]"
    out = run_python("""
        image = np.load(sys.argv[1])
        print(fp(linara.detect(image)))
        print(fp(linara.detect(image.astype(np.float32), 0.5)))
    """, picture, env={"RAYON_NUM_THREADS": threads})
    assert out.splitlines() == expected


# Textured photographs give tens of thousands of seeds, enough for the seed
# loop to run speculatively on several threads.
SPECULATION_CODE = """
    from skimage import data
    for name in ("brick", "grass", "camera"):
        image = getattr(data, name)()
        print(fp(linara.detect(image)))
        print(fp(linara.detect(image.astype(np.float32) * 0.9, 1.0)))
"""


@pytest.fixture(scope="module")
def sequential_result():
    pytest.importorskip("skimage")
    return run_python(SPECULATION_CODE, env={"RAYON_NUM_THREADS": "1"})


# LINARA_SCHEDULE_JITTER makes the threads pause at random where their
# order matters; the speculative loop must still give the sequential result.
@pytest.mark.parametrize("threads, jitter", [("2", "0"), ("3", "0"), ("7", "0"), ("2", "1"), ("3", "2"),
                                             ("7", "3")])
def test_speculative_seed_loop_gives_the_sequential_result(sequential_result, threads, jitter):
    out, err = run_python(SPECULATION_CODE, stderr=True, env={
        "RAYON_NUM_THREADS": threads, "LINARA_SCHEDULE_JITTER": jitter, "LINARA_PROFILE": "1"})
    assert out == sequential_result
    speculated = [int(line.split(" speculated ")[1].split()[0])
                  for line in err.splitlines() if " speculated " in line]
    assert len(speculated) == 6 and sum(speculated) > 0, err[-2000:]


DEFAULT = len(os.sched_getaffinity(0))
OTHER = str(DEFAULT + 3)


@pytest.mark.parametrize("env, expected", [
    ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": OTHER}, 3),
    ({"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": OTHER}, 1),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": OTHER}, DEFAULT),
    ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": OTHER}, DEFAULT + 3),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": OTHER}, DEFAULT + 3),
    ({"RAYON_RS_NUM_CPUS": OTHER}, DEFAULT + 3),
    ({"RAYON_RS_NUM_CPUS": "0"}, DEFAULT),
    ({}, DEFAULT),
], ids=lambda v: repr(v) if isinstance(v, dict) else None)
def test_pool_size_comes_from_the_environment(env, expected):
    # The pool starts size - 1 threads of its own on the first parallel loop;
    # the calling thread is the last member.
    out = run_python("""
        before = len(os.listdir("/proc/self/task"))
        linara.detect(np.zeros((400, 400)), 0.5)
        print(len(os.listdir("/proc/self/task")) - before + 1)
    """, env=env)
    assert int(out) == expected


def test_forked_children_build_their_own_pool(picture):
    out = run_python("""
        import threading
        image = np.load(sys.argv[1])
        sanitized = os.environ.get("LINARA_SANITIZE") == "1"
        expected = fp(linara.detect(image))  # creates the pool
        stop = threading.Event()
        def churn():
            while not stop.is_set():
                linara.detect(image, 0.5)
        try:
            for round in range(4):
                # Later forks happen while another thread uses the pool. Not
                # under AddressSanitizer: its allocator lock is not held across
                # fork, so a child can inherit it locked and hang in malloc.
                if round == 1 and not sanitized:
                    threading.Thread(target=churn).start()
                read, write = os.pipe()
                pid = os.fork()
                if pid == 0:
                    os.close(read)
                    os.write(write, fp(linara.detect(image)).encode())
                    os._exit(0)
                os.close(write)
                with os.fdopen(read, "rb") as pipe:
                    got = pipe.read().decode()
                assert os.waitpid(pid, 0)[1] == 0
                assert got == expected, round
        finally:
            stop.set()
        assert fp(linara.detect(image)) == expected
        print("done")
    """, picture, env={"RAYON_NUM_THREADS": "3"})
    assert out.strip() == "done"


def test_many_threads_detect_at_once(scene, tmp_path):
    dtypes = [np.uint8, np.uint16, np.float32, np.float64]
    images = {f"i{k}": scene(90 + 10 * k, 130, 10 + k).astype(dtypes[k % 4]) for k in range(8)}
    np.savez(tmp_path / "images.npz", **images)
    out = run_python("""
        from concurrent.futures import ThreadPoolExecutor
        images = list(np.load(sys.argv[1]).values())
        jobs = [(image, scale) for image in images for scale in (0.8, 0.5, 1.0)]
        expected = [fp(linara.detect(*job)) for job in jobs]
        assert sum(e != "[]" for e in expected) > 12
        with ThreadPoolExecutor(8) as pool:
            for _ in range(3):
                got = list(pool.map(lambda job: fp(linara.detect(*job)), jobs, timeout=60))
                assert got == expected
        print("done")
    """, tmp_path / "images.npz", env={"RAYON_NUM_THREADS": "4"})
    assert out.strip() == "done"


@pytest.mark.parametrize("finalizer_delay", [0.0, 1.0])
def test_interpreter_exit_during_a_daemon_detection(finalizer_delay):
    # With a delay, a finalizer keeps the interpreter shutting down until the
    # daemon's detection has returned and wants the interpreter lock back.
    run_python("""
        import gc, threading, time
        noise = np.random.default_rng(0).random((600, 600)) * 255
        started = threading.Event()
        def work():
            while True:
                started.set()
                linara.detect(noise, 1.0)
        threading.Thread(target=work, daemon=True).start()
        started.wait()
        class Slow:
            def __del__(self, sleep=time.sleep, delay=float(sys.argv[1])):
                sleep(delay)
        gc.disable()
        slow = Slow()
        slow.cycle = slow
        del slow
    """, finalizer_delay)
