"""The orvane command line and orvane_tools API, end to end."""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

orvane_core = pytest.importorskip("orvane_core")
tools = pytest.importorskip("orvane_tools")
from orvane_tools._cli import main  # noqa: E402


def sample():
    a = orvane_core.BinArchive()
    a.allocate_at_end(40)
    a.write_bytes(16, b"hello")
    a.write_pointer(0, 8)
    a.write_string(8, "テキスト")
    a.write_string(12, "A")
    a.write_labels(8, ["GREETING", "X"])
    a.write_label(0, "START")
    return bytes(a.serialize())


@pytest.fixture
def work(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "example.bin").write_bytes(sample())
    return tmp_path


def run(capsys, *argv):
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def test_dump_text_and_json(work, capsys):
    status, out, _ = run(capsys, "dump", "example.bin")
    assert status == 0
    assert out.splitlines() == [
        "size 0x28 (40 bytes)",
        "0x0  pointer  -> 0x8 (GREETING, X)",
        "0x0  labels   START",
        '0x8  text     "テキスト"',
        "0x8  labels   GREETING X",
        '0xC  text     "A"',
    ]
    status, out, _ = run(capsys, "dump", "--json", "example.bin")
    assert json.loads(out) == {"size": 40, "pointers": [[0, 8]],
                               "texts": [[8, "テキスト"], [12, "A"]],
                               "labels": [[0, ["START"]], [8, ["GREETING", "X"]]]}
    shutil.copy("example.bin", "b.bin")
    status, out, _ = run(capsys, "dump", "--json", "example.bin", "b.bin")
    assert [json.loads(line)["file"] for line in out.splitlines()] == ["example.bin", "b.bin"]


def test_decompile_edit_compile(work, capsys):
    assert run(capsys, "decompile", "example.bin", "-o", "x.json")[0] == 0
    doc = Path("x.json").read_text(encoding="utf-8")
    assert run(capsys, "compile", "x.json", "-o", "same.bin")[0] == 0
    assert Path("same.bin").read_bytes() == sample()
    # A changed text, a changed byte and a removed label compile to just that change.
    doc = doc.replace('"A"', '"Z"').replace("68 65 6c", "68 65 6d").replace(', "X"', "")
    Path("x.json").write_text(doc, encoding="utf-8")
    assert run(capsys, "compile", "x.json", "-o", "edited.bin")[0] == 0
    status, out, _ = run(capsys, "diff", "example.bin", "edited.bin")
    assert status == 1
    assert out.splitlines() == ['labels 0x8: ["GREETING", "X"] -> ["GREETING"]',
                                'text 0xC: "A" -> "Z"',
                                'data 0x12-0x12: 6c -> 6d']
    assert run(capsys, "diff", "example.bin", "same.bin")[:2] == (0, "")


@pytest.mark.parametrize("edit, message", [
    (lambda d: d[:-3], "x.json: line 18 column 4: Expecting ',' delimiter"),
    (lambda d: d.replace('"0x00000010: 68 65', '"0x00000020: 68 65'),
     "data row 0x00000010: row is labelled 0x20"),
    (lambda d: d.replace("68 65", "68 zz"), 'data row 0x00000010: "68 zz 6c'),
    (lambda d: d.replace("68 65 ", "68 "), "data row 0x00000010: holds 15 bytes"),
    (lambda d: d.replace('["0x0", "0x8"]', '["0x0", "8"]'),
     'pointers entry 0x0: destination: expected an address such as "0x1A40", found "8"'),
    (lambda d: d.replace('["0xC", "A"]', '["0x26", "A"]'),
     "texts entry 0x26: Invalid address 0x2A for archive of size 0x28."),
    (lambda d: d.replace('["0xC", "A"]', '["0x8", "A"]'), "texts entry 0x8: address given twice"),
    (lambda d: d.replace('"A"', '"\\u0000"'), "texts entry 0xC: text holds U+0000"),
    (lambda d: d.replace('"A"', '"🙂"'),
     "texts entry 0xC: text holds '🙂' (U+1F642), which Shift_JIS cannot encode"),
    (lambda d: d.replace('"START"', "7"), "labels entry 0x0: label 0: expected a string"),
    (lambda d: d.replace('"texts"', '"text"'), "unknown key \"text\""),
])
def test_malformed_document_names_the_place(work, capsys, edit, message):
    run(capsys, "decompile", "example.bin", "-o", "x.json")
    Path("x.json").write_text(edit(Path("x.json").read_text(encoding="utf-8")), encoding="utf-8")
    status, out, err = run(capsys, "compile", "x.json", "-o", "out.bin")
    assert status == 1 and message in err and len(err.splitlines()) == 1, err
    assert not Path("out.bin").exists()


@pytest.mark.parametrize("fmt", ["po", "json", "csv"])
def test_export_translate_import(work, capsys, fmt):
    name = "t." + fmt
    assert run(capsys, "texts", "export", "example.bin", "-o", name)[0] == 0
    assert run(capsys, "texts", "import", "example.bin", name, "-o", "same.bin")[0] == 0
    assert Path("same.bin").read_bytes() == sample()
    text = Path(name).read_text(encoding="utf-8")
    if fmt == "po":
        assert '#. GREETING\n#. X\n#: example.bin:GREETING\nmsgid "テキスト"\nmsgstr ""\n' in text
        text = text.replace('msgid "A"\nmsgstr ""', 'msgid "A"\nmsgstr "Bee"')
    elif fmt == "json":
        rows = json.loads(text)
        rows[1]["translation"] = "Bee"
        text = json.dumps(rows)
    else:
        text = text.replace("GREETING+0x4,A,,", "GREETING+0x4,A,Bee,")
    Path(name).write_text(text, encoding="utf-8")
    # Importing over the input itself: written atomically, after everything was read.
    assert run(capsys, "texts", "import", "example.bin", name, "-o", "example.bin")[0] == 0
    assert tools.read_file(Path("example.bin").read_bytes())[1].texts[12] == "Bee"


def test_unwritable_translations_are_all_listed(work, capsys):
    run(capsys, "texts", "export", "example.bin", "-o", "t.po")
    po = Path("t.po").read_text(encoding="utf-8")
    po = po.replace('"テキスト"\nmsgstr ""', '"テキスト"\nmsgstr "ok 🙂 \U0001F600 🙂"')
    po = po.replace('msgid "A"\nmsgstr ""', 'msgid "A"\nmsgstr "\uE000"')
    Path("t.po").write_text(po, encoding="utf-8")
    status, _, err = run(capsys, "texts", "import", "example.bin", "t.po", "-o", "out.bin")
    assert status == 1 and not Path("out.bin").exists()
    assert err.splitlines() == [
        "orvane: example.bin:GREETING: '🙂' (U+1F642), '😀' (U+1F600) cannot be written in "
        "Shift_JIS",
        "orvane: example.bin:GREETING+0x4: '\\ue000' (U+E000) cannot be written in Shift_JIS",
        "orvane: 2 problems; nothing written (--skip-unwritable writes the rest and keeps the "
        "source text of those)",
    ]
    status, _, err = run(capsys, "texts", "import", "--skip-unwritable", "example.bin", "t.po",
                         "-o", "out.bin")
    assert status == 0 and err.count("warning") == 2
    assert Path("out.bin").read_bytes() == sample()


@pytest.mark.parametrize("po, message", [
    ('msgctxt "zz"\nmsgid "A"\nmsgstr "B"\n', "t.po: line 2: example.bin: zz: no slot is labelled"),
    ('msgctxt "0x10"\nmsgid "A"\nmsgstr "B"\n', "line 2: 0x10 is not a text entry"),
    ('msgctxt "0xC"\nmsgid "Q"\nmsgstr "B"\n', 'line 2: the source text of 0xC is "Q"'),
    ('msgctxt "example.bin:GREETING+0x4"\nmsgid "Q"\nmsgstr "B"\n',
     'line 2: the source text of example.bin:GREETING+0x4 is "Q"'),
    ('msgctxt "0xC"\nmsgid "A" x\nmsgstr "B"\n', 't.po: line 2: keyword "x" unknown'),
])
def test_bad_translation_names_the_place(work, capsys, po, message):
    Path("t.po").write_text(po, encoding="utf-8")
    status, _, err = run(capsys, "texts", "import", "example.bin", "t.po", "-o", "out.bin")
    lines = err.splitlines()
    assert status == 1 and message in lines[0] and lines[1:] in ([], [
        "orvane: 1 problem; nothing written (--skip-unwritable writes the rest and keeps the "
        "source text of those)"]), err
    assert not Path("out.bin").exists()


def test_several_files_and_expected_failures(work, capsys):
    shutil.copy("example.bin", "b.bin")
    Path("bad.bin").write_bytes(sample()[:-1])
    status, _, err = run(capsys, "texts", "export", "example.bin", "bad.bin", "b.bin",
                         "missing.bin", "--out-dir", "po")
    assert status == 1
    assert err.splitlines() == ["orvane: bad.bin: Incorrect file size in archive header.",
                                "orvane: missing.bin: No such file or directory"]
    assert sorted(os.listdir("po")) == ["b.bin.po", "example.bin.po"]
    assert run(capsys, "texts", "import", "example.bin", "b.bin", "--translations", "po",
               "--out-dir", "out")[0] == 0
    assert Path("out/b.bin").read_bytes() == sample()
    assert run(capsys, "diff", "example.bin", "bad.bin")[0] == 2
    # Leftover temporary files would show up here.
    assert sorted(os.listdir(".")) == ["b.bin", "bad.bin", "example.bin", "out", "po"]


def test_real_subprocess_and_help(work):
    env = dict(os.environ)
    for argv in ([sys.executable, "-m", "orvane_tools"], [shutil.which("orvane") or "orvane"]):
        done = subprocess.run(argv + ["diff", "example.bin", "missing.bin"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, env=env)
        assert done.returncode == 2
        assert done.stderr == "orvane: missing.bin: No such file or directory\n"
    done = subprocess.run([sys.executable, "-m", "orvane_tools", "texts", "export", "--help"],
                          stdout=subprocess.PIPE, universal_newlines=True, check=True)
    assert "orvane texts export game.bin -o game.po" in done.stdout


def test_entries_of_an_archive_edited_in_memory():
    a = orvane_core.BinArchive()
    a.allocate_at_end(16)
    a.write_pointer(0, 0x1000)      # beyond the data: a file would read it back as text
    a.write_string(0, "both")      # one slot with a pointer and a text
    a.write_labels(4, [])          # an empty list is an entry, and writes no row
    a.write_string(8, "🙂")         # cannot be written: found by probing every slot
    found = tools.entries(a)
    assert (found.pointers, found.texts, found.labels) == (
        {0: 0x1000}, {0: "both", 8: "🙂"}, {4: []})
    a.write_string(8, None)
    assert tools.compile(tools.decompile(a)) == bytes(a.serialize())


# Random archives written by the module: decompile -> compile and export -> import give
# the same bytes.
TEXT = st.text(st.sampled_from("aZ 09\\~\n\t\"'テキスト漢字ｱ\x1c\u3000"), max_size=6)


@st.composite
def archives(draw):
    slots = draw(st.integers(0, 12))
    a = orvane_core.BinArchive()
    a.allocate_at_end(4 * slots + draw(st.integers(0, 3)))
    if a.size():
        a.write_bytes(0, draw(st.binary(min_size=a.size(), max_size=a.size())))
    for slot in range(slots):
        kind = draw(st.sampled_from(["none", "pointer", "text"]))
        if kind == "pointer":
            a.write_pointer(4 * slot, draw(st.integers(0, a.size())))
        elif kind == "text":
            a.write_string(4 * slot, draw(TEXT))
        if draw(st.booleans()):
            a.write_labels(4 * slot, draw(st.lists(TEXT, min_size=1, max_size=3)))
    return bytes(a.serialize())


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(archives(), st.sampled_from(["po", "json", "csv"]))
def test_round_trips_are_byte_identical(data, fmt):
    archive, found = tools.read_file(data)
    assert tools.compile(tools.decompile(found)) == data
    assert tools.import_texts(archive, tools.export_texts(found, fmt), fmt).data == data
    assert tools.diff(found, found) == []


def test_mypy_strict_is_clean():
    api = pytest.importorskip("mypy.api")
    package = Path(__file__).resolve().parents[1] / "python" / "orvane_tools"
    out, err, status = api.run(["--strict", "--config-file", str(package.parents[1] / "pyproject.toml"),
                                str(package)])
    assert status == 0, out + err
