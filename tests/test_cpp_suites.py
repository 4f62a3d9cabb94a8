"""Builds the C++ unit tests of the core with CMake and runs them with ctest."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def _missing_toolchain():
    if not (ROOT / "CMakeLists.txt").exists() or not (ROOT / "src").is_dir():
        return f"the C++ sources are not beside these tests ({ROOT})"
    if shutil.which("cmake") is None:
        return "cmake is not installed"
    if not any(Path(p).exists() for p in ("/usr/include/gtest/gtest.h", "/usr/local/include/gtest/gtest.h")):
        return "GoogleTest is not installed (apt-get install libgtest-dev)"
    return None


def test_cpp_suites(tmp_path_factory):
    if os.environ.get("LINARA_CPP_TESTS") == "0":
        pytest.skip("C++ suites disabled by LINARA_CPP_TESTS=0")
    reason = _missing_toolchain()
    if reason:
        if os.environ.get("LINARA_REQUIRE_CPP_TESTS") == "1":
            pytest.fail(reason)
        pytest.skip(reason)
    build = Path(os.environ.get("LINARA_CPP_BUILD_DIR") or tmp_path_factory.mktemp("cpp-build"))
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(build),
        "-DLINARA_BUILD_MODULE=OFF", "-DLINARA_BUILD_TESTS=ON", "-DCMAKE_BUILD_TYPE=Release",
    ]
    if os.environ.get("LINARA_SANITIZE") == "1":
        configure.append("-DLINARA_SANITIZE=ON")
    # The instrumented interpreter's preload must not leak into the toolchain.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    jobs = str(os.cpu_count() or 2)
    for command in (configure,
                    ["cmake", "--build", str(build), "--parallel", jobs],
                    ["ctest", "--test-dir", str(build), "--output-on-failure", "--parallel", jobs]):
        result = subprocess.run(command, capture_output=True, text=True, env=env)
        sys.stdout.write(result.stdout[-20000:])
        assert result.returncode == 0, f"{' '.join(command)} failed:\n{result.stdout[-20000:]}\n{result.stderr[-5000:]}"
