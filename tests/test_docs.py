"""Runs every code block of README.md and docs/*.md, so the documentation cannot rot.

The convention, which every page follows:

- The blocks of one file run in order, in a fresh temporary working directory that
  holds `example.bin`, the sample archive made by `example_archive()` below (the
  guide describes it).
- ```python blocks run in one namespace shared by the whole file.
- ```pycon blocks are interpreter sessions (`>>> ` and `... ` prompts, expected output
  below them, tracebacks as doctest writes them), in that same namespace.
- ```console blocks: a line starting with `$ ` is a shell command run in the working
  directory; the lines after it, up to the next `$ `, are its expected output (stdout
  and stderr together), compared exactly, trailing whitespace ignored. The directory
  of the interpreter running the tests comes first on PATH, so `python3` is it.
- A block right after the line `<!-- ci-runs-this -->` is one that CI runs itself
  (the README's set-up commands); only README.md may use it.
- Any other block fails the test: there is no way to leave one out.
"""
import doctest
import glob
import os
import re
import subprocess
import sys

import pytest

orvane_core = pytest.importorskip("orvane_core")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CI_MARK = "<!-- ci-runs-this -->"
FENCE = re.compile(r"^(`{3,})([\w-]*)[ \t]*$")


def pages():
    found = [os.path.join(ROOT, "README.md")]
    found += sorted(glob.glob(os.path.join(ROOT, "docs", "**", "*.md"), recursive=True))
    return found


def blocks(path):
    """(line number, language, text, marked for CI) for each fenced block of a page."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    found = []
    i = 0
    while i < len(lines):
        match = FENCE.match(lines[i])
        if not match:
            i += 1
            continue
        fence, language = match.groups()
        marked = i > 0 and lines[i - 1].strip() == CI_MARK
        start = i + 1
        i = start
        while i < len(lines) and lines[i].rstrip() != fence:
            i += 1
        if i == len(lines):
            raise AssertionError("%s:%d: unclosed code block" % (path, start))
        found.append((start, language, "\n".join(lines[start:i]) + "\n", marked))
        i += 1
    return found


def example_archive():
    """The sample archive `example.bin`: a tiny item table.

    0x00 u32 item count (2), labelled ITEM_COUNT; 0x04 a data pointer to the first
    item (0x10), labelled ITEM_TABLE; 0x08 u32 version (1); 0x0C zero. Two items of
    16 bytes at 0x10 and 0x20, labelled ITEM_POTION and ITEM_ETHER: +0 the name (a
    text entry), +4 u32 price, +8 u16 weight, +0xA u8 stack limit, +0xB i8 heal bonus,
    +0xC f32 speed.
    """
    a = orvane_core.BinArchive()
    a.allocate_at_end(0x30)
    a.write_u32(0x00, 2)
    a.write_label(0x00, "ITEM_COUNT")
    a.write_pointer(0x04, 0x10)
    a.write_label(0x04, "ITEM_TABLE")
    a.write_u32(0x08, 1)
    items = [("ポーション", 50, 3, 99, 5, 1.5, "ITEM_POTION"),
             ("エーテル", 150, 2, 20, -5, 0.25, "ITEM_ETHER")]
    for n, (name, price, weight, stack, bonus, speed, label) in enumerate(items):
        base = 0x10 + 0x10 * n
        a.write_string(base, name)
        a.write_u32(base + 4, price)
        a.write_u16(base + 8, weight)
        a.write_u8(base + 0xA, stack)
        a.write_i8(base + 0xB, bonus)
        a.write_f32(base + 0xC, speed)
        a.write_label(base, label)
    return bytes(a.serialize())


def run_python(source, namespace, where):
    code = compile(source, where, "exec")
    exec(code, namespace)


def run_pycon(source, namespace, where):
    test = doctest.DocTestParser().get_doctest(source, namespace, where, where, 0)
    out = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=out.append, clear_globs=False)
    namespace.update(test.globs)  # the test ran on a copy of the namespace
    if runner.failures:
        raise AssertionError("".join(out))


def console_steps(source):
    """[(command, expected output lines)] of a console block."""
    steps = []
    for line in source.rstrip("\n").split("\n"):
        if line.startswith("$ "):
            steps.append((line[2:], []))
        elif steps:
            steps[-1][1].append(line.rstrip())
        elif line.strip():
            raise AssertionError("console block text before the first `$ ` command")
    return steps


def run_console(source, where):
    env = dict(os.environ, PYTHONIOENCODING="utf-8", LC_ALL="C.UTF-8", COLUMNS="80")
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    for command, expected in console_steps(source):
        done = subprocess.run(command, shell=True, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, env=env)
        got = done.stdout.decode("utf-8", "replace").split("\n")
        got = [line.rstrip() for line in got]
        while got and not got[-1]:
            got.pop()
        while expected and not expected[-1]:
            expected.pop()
        assert got == expected, "%s: `%s` printed:\n%s" % (where, command, "\n".join(got))


@pytest.mark.parametrize("path", pages(), ids=lambda p: os.path.relpath(p, ROOT))
def test_page(path, tmp_path, monkeypatch):
    assert os.path.exists(path), "missing page"
    (tmp_path / "example.bin").write_bytes(example_archive())
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__doc_page__"}
    relative = os.path.relpath(path, ROOT)
    for line, language, text, marked in blocks(path):
        where = "%s:%d" % (relative, line)
        if marked:
            assert relative == "README.md", "%s: only README.md may mark blocks for CI" % where
            continue
        if language == "python":
            run_python(text, namespace, where)
        elif language == "pycon":
            run_pycon(text, namespace, where)
        elif language == "console":
            run_console(text, where)
        else:
            raise AssertionError("%s: a ```%s block cannot be run; use python, pycon or "
                                 "console" % (where, language or "(plain)"))


def test_collector_reads_blocks(tmp_path):
    # The collector's own parsing: a miscount here would skip blocks silently.
    page = tmp_path / "page.md"
    page.write_text("text\n```python\nx = 1\n```\n" + CI_MARK + "\n```sh\nls\n```\n"
                    "````console\n$ echo a\na\n```\n$ true\n````\n", encoding="utf-8")
    assert [(n, lang, marked) for n, lang, _, marked in blocks(str(page))] == [
        (2, "python", False), (6, "sh", True), (9, "console", False)]
    assert console_steps("$ echo a\na  \n\n$ true\n") == [("echo a", ["a", ""]), ("true", [])]



def test_reference_covers_every_method():
    with open(os.path.join(ROOT, "docs", "api.md"), encoding="utf-8") as f:
        reference = f.read()
    methods = [m for m in dir(orvane_core.BinArchive) if not m.startswith("_")]
    assert len(methods) == 34
    assert [m for m in methods if "`%s(" % m not in reference
            and "`BinArchive.%s(" % m not in reference] == []
