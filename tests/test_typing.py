"""The shipped stubs against the module and against two type checkers.

stubtest (run by CI) proves every runtime name is in the stubs and nothing else is; it
cannot see parameter names, since the methods carry no signatures. The first test does:
every stub parameter is called by keyword, and every one without a default is left out
once. The checker tests need mypy and pyright (`pip install ".[typing]"`).
"""
import ast
import os
import re
import subprocess
import sys

import pytest

orvane_core = pytest.importorskip("orvane_core")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUB = os.path.join(os.path.dirname(os.path.abspath(orvane_core.__file__)), "orvane_core-stubs",
                    "__init__.pyi")
EXAMPLE = os.path.join(ROOT, "examples", "typed_usage.py")
WRONG = os.path.join(ROOT, "tests", "type_checks", "wrong_calls.py")

# A value of each annotation that converts; the call may still fail in the model.
SAMPLES = {
    "SupportsIndex": 0,
    "str": "x",
    "bytes": b"",
    "Optional[str]": None,
    "Optional[SupportsIndex]": None,
    "Sequence[str]": [],
    "Union[SupportsFloat, SupportsIndex]": 0.0,
}


def stub_methods():
    if not os.path.exists(STUB):
        pytest.skip("stubs are not installed beside the module")
    with open(STUB, encoding="utf-8") as f:
        source = f.read()
    tree = ast.parse(source)
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "BinArchive"]
    methods = {}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            args = node.args.args
            if args and args[0].arg == "self":
                args = args[1:]
            first_default = len(args) - len(node.args.defaults)
            methods[node.name] = [(a.arg, ast.get_source_segment(source, a.annotation),
                                   i >= first_default) for i, a in enumerate(args)]
    return methods


def call(name, kwargs):
    archive = orvane_core.BinArchive()
    archive.allocate_at_end(16)
    try:
        getattr(archive, name)(**kwargs)
    except ValueError:
        pass  # the model refused the value: the arguments themselves were taken


def test_stub_parameters_are_the_runtime_ones():
    methods = stub_methods()
    assert len(methods) == 34
    for name, params in methods.items():
        call(name, {p: SAMPLES[annotation] for p, annotation, _ in params})
        for p, _, optional in params:
            rest = {q: SAMPLES[a] for q, a, _ in params if q != p}
            if optional:
                call(name, rest)
            else:
                with pytest.raises(TypeError) as info:
                    call(name, rest)
                assert str(info.value) == (
                    "BinArchive.%s() missing required positional argument: %s" % (name, p))


def run_checker(tool, path):
    if tool == "mypy":
        pytest.importorskip("mypy")
        command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                   "--cache-dir", os.devnull, path]
    else:
        pytest.importorskip("pyright")
        command = [sys.executable, "-m", "pyright", "--pythonpath", sys.executable, path]
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, env=env, cwd=ROOT)
    return done.returncode, done.stdout


@pytest.mark.parametrize("tool", ["mypy", "pyright"])
def test_typed_example_passes(tool):
    code, out = run_checker(tool, EXAMPLE)
    assert code == 0, out


@pytest.mark.parametrize("tool", ["mypy", "pyright"])
def test_wrong_calls_are_reported(tool):
    with open(WRONG, encoding="utf-8") as f:
        marked = {n for n, line in enumerate(f, 1) if "# wrong:" in line}
    assert len(marked) >= 5
    code, out = run_checker(tool, WRONG)
    assert code != 0, out
    reported = {int(m) for m in re.findall(r"wrong_calls\.py:(\d+):\d*:? ?-? ?error", out)}
    assert reported == marked, out


def test_typed_example_runs():
    done = subprocess.run([sys.executable, EXAMPLE], stdout=subprocess.PIPE,
                          universal_newlines=True, check=True)
    assert done.stdout.endswith(" after editing\n")
