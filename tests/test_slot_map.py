"""The archive's flat map on its own: tests/native/slot_map_check.cpp compares it with
std::map over random inserts, removals, in-order appends and re-keying, built with
the sanitizers where the compiler has them."""
import os
import shutil
import subprocess

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "native", "slot_map_check.cpp")
SRC = os.path.join(HERE, "..", "src")


def test_flat_map_agrees_with_std_map(tmp_path):
    compiler = shutil.which(os.environ.get("CXX", "c++"))
    if compiler is None:
        pytest.skip("no C++ compiler")
    if not os.path.isdir(SRC):
        pytest.skip("the model's sources are not beside the tests")
    binary = str(tmp_path / "slot_map_check")
    base = [compiler, "-std=c++17", "-O1", "-Wall", "-Wextra", "-I", SRC, SOURCE, "-o", binary]
    built = subprocess.run(base[:1] + ["-fsanitize=address,undefined"] + base[1:],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           universal_newlines=True)
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1")
    env.pop("LD_PRELOAD", None)
    if built.returncode != 0:  # no sanitizer runtime here: check without it
        built = subprocess.run(base, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               universal_newlines=True)
    assert built.returncode == 0, built.stdout
    run = subprocess.run([binary], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True, env=env, timeout=300)
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stdout
