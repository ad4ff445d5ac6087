"""The seed corpus of the Python fuzz target (fuzz/fuzz_python.py), replayed without
atheris: each file is one session of plain and hostile calls, checked as it runs."""
import os
import sys

import pytest

pytest.importorskip("hypothesis")  # the target's oracle is the differential model

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz")
CORPUS = os.path.join(ROOT, "corpus", "python")
if not os.path.isdir(CORPUS):  # the sdist leaves fuzzing to the repository
    pytest.skip("no fuzz corpus here", allow_module_level=True)
sys.path.insert(0, ROOT)
import fuzz_python  # noqa: E402


@pytest.mark.parametrize("name", sorted(os.listdir(CORPUS)))
def test_seed_session(name):
    with open(os.path.join(CORPUS, name), "rb") as handle:
        fuzz_python.run_session(handle.read())

