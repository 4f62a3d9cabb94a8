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
# loop to run speculatively on several threads. Stripes along the rows make
# the helper threads run further ahead of the committing one.
SPECULATION_CODE = """
    from skimage import data
    for name in ("brick", "grass", "camera"):
        image = getattr(data, name)()
        print(fp(linara.detect(image)))
        print(fp(linara.detect(image.astype(np.float32) * 0.9, 1.0)))
    stripes = np.repeat((np.arange(300) % 2 * 255).astype(np.uint8), 4)[:, None] * np.ones(1200, np.uint8)
    print(fp(linara.detect(stripes)))
    print(fp(linara.detect(stripes, 1.0)))
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
    assert len(speculated) == 8 and sum(speculated) > 0, err[-2000:]


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


def test_many_threads_call_both_entries_at_once(scene, tmp_path):
    # Every thread walks the whole job list from its own starting point, so
    # detections and warps of all kinds overlap in time.
    dtypes = [np.uint8, np.uint16, np.float32, np.float64]
    images = {f"i{k}": scene(90 + 10 * k, 130, 10 + k).astype(dtypes[k % 4]) for k in range(8)}
    rng = np.random.default_rng(5)
    for k in range(4):
        images[f"rgb{k}"] = rng.integers(0, 65535, (40 + 30 * k, 70, 3)).astype(dtypes[k % 2])
    np.savez(tmp_path / "images.npz", **images)
    rounds = 2 if os.environ.get("LINARA_SANITIZE") == "1" else 8
    out = run_python("""
        import hashlib, threading
        images = np.load(sys.argv[1])
        rgb = [images[k] for k in images if k.startswith("rgb")]
        gray = [images[k] for k in images if not k.startswith("rgb")]
        tilt = [0.98, 0.03, 1.5, -0.02, 1.01, -0.7, 1e-4, -2e-4, 1.0]
        jobs = [lambda g=g, s=s: fp(linara.detect(g, s)) for g in gray for s in (0.8, 0.5, 1.0)]
        jobs += [lambda r=r, s=s: hashlib.sha1(linara.warp_rgb(r[:, ::-1] if s > 1 else r, tilt, s, 0.5, -1.0)
                                               .tobytes()).hexdigest()
                 for r in rgb for s in (1.0, 0.7, 1.3, 2.0)]
        expected = [job() for job in jobs]
        assert sum(e != "[]" for e in expected) > 12
        rounds = int(sys.argv[2])
        failures, calls = [], [0] * 8
        def work(t):
            for r in range(rounds):
                for k in range(len(jobs)):
                    j = (k * 7 + t * 5 + r) % len(jobs)
                    if jobs[j]() != expected[j]:
                        failures.append((t, r, j))
                    calls[t] += 1
        threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not failures, failures[:10]
        print(min(calls))
    """, tmp_path / "images.npz", rounds, env={"RAYON_NUM_THREADS": "4"})
    assert int(out) == 40 * rounds


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_multiprocessing_children_after_the_parent_used_the_pool(picture, fingerprint, tmp_path, method):
    script = tmp_path / "children.py"
    script.write_text(textwrap.dedent("""
        import hashlib, json, multiprocessing, sys
        import numpy as np
        import linara

        TILT = [0.98, 0.03, 1.5, -0.02, 1.01, -0.7, 1e-4, -2e-4, 1.0]

        def run(job):
            kind, path, scale = job
            image = np.load(path)
            if kind == "detect":
                keys = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")
                return [[float.hex(getattr(s, k)) for k in keys] for s in linara.detect(image, scale)]
            rgb = np.stack([image, image[::-1], image[:, ::-1]], axis=-1)
            return hashlib.sha1(linara.warp_rgb(rgb, TILT, scale, 0.0, 0.0).tobytes()).hexdigest()

        if __name__ == "__main__":
            jobs = [(kind, sys.argv[1], scale) for kind in ("detect", "warp") for scale in (0.8, 1.0, 0.5)]
            expected = [run(job) for job in jobs]  # the parent starts its pool first
            context = multiprocessing.get_context(sys.argv[2])
            with context.Pool(2) as pool:
                assert pool.map(run, jobs * 2) == expected * 2
            assert [run(job) for job in jobs] == expected
            print(json.dumps(expected[1]))
    """))
    environment = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    environment["RAYON_NUM_THREADS"] = "3"
    result = subprocess.run([sys.executable, str(script), str(picture), method], capture_output=True,
                            text=True, timeout=TIMEOUT, env=environment)
    assert result.returncode == 0, result.stderr[-3000:]
    expected = [list(s) for s in fingerprint(linara.detect(np.load(picture), 1.0))]
    assert json.loads(result.stdout) == expected != []


@pytest.mark.parametrize("entry", ["detect", "warp_rgb"])
@pytest.mark.parametrize("finalizer_delay", [0.0, 1.0])
def test_interpreter_exit_during_a_daemon_call(finalizer_delay, entry):
    # With a delay, a finalizer keeps the interpreter shutting down until the
    # daemon's call has returned and wants the interpreter lock back.
    run_python("""
        import gc, threading, time
        noise = np.random.default_rng(0).random((600, 600)) * 255
        rgb = np.zeros((1500, 1500, 3), np.uint16)[:, ::-1]  # copied, then warped
        call = {
            "detect": lambda: linara.detect(noise, 1.0),
            "warp_rgb": lambda: linara.warp_rgb(rgb, [1, 0.1, 0, 0, 1, 0, 0, 1e-4, 1], 1.0, 0, 0),
        }[sys.argv[2]]
        started = threading.Event()
        def work():
            while True:
                started.set()
                call()
        threading.Thread(target=work, daemon=True).start()
        started.wait()
        class Slow:
            def __del__(self, sleep=time.sleep, delay=float(sys.argv[1])):
                sleep(delay)
        gc.disable()
        slow = Slow()
        slow.cycle = slow
        del slow
    """, finalizer_delay, entry)
