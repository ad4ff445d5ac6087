"""The orvane command line and orvane_tools API, end to end."""
import io
import json
import os
import re
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
from orvane_tools._output import archive_problem  # noqa: E402


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
    status, out, _ = run(capsys, "diff", "--addresses", "example.bin", "edited.bin")
    assert status == 1
    assert out.splitlines() == ['labels 0x8: ["GREETING", "X"] -> ["GREETING"]',
                                'text 0xC: "A" -> "Z"',
                                'data 0x12-0x12: 6c -> 6d']
    status, out, _ = run(capsys, "diff", "example.bin", "edited.bin")
    assert status == 1
    assert out.splitlines() == ['labels GREETING: ["GREETING", "X"] -> ["GREETING"]',
                                'text GREETING+0x4: "A" -> "Z"',
                                'bytes GREETING+0x8: 68 65 6c 6c -> 68 65 6d 6c '
                                '(u32 1819043176 -> 1819108712)']
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
    assert archive_problem(data, found) is None  # what the module wrote is never refused
    assert tools.import_texts(archive, tools.export_texts(found, fmt), fmt).data == data
    assert tools.diff(found, found) == []


def test_mypy_strict_is_clean():
    api = pytest.importorskip("mypy.api")
    package = Path(__file__).resolve().parents[1] / "python" / "orvane_tools"
    out, err, status = api.run(["--strict", "--config-file", str(package.parents[1] / "pyproject.toml"),
                                str(package)])
    assert status == 0, out + err


# What the command writes, where it writes, and how it fails.

def document_with(edit):
    def prepare():
        main(["decompile", "example.bin", "-o", "x.json"])
        Path("x.json").write_text(edit(Path("x.json").read_text(encoding="utf-8")),
                                  encoding="utf-8")
    return prepare


def translation(msgstr):
    def prepare():
        main(["texts", "export", "example.bin", "-o", "t.po"])
        po = Path("t.po").read_text(encoding="utf-8")
        Path("t.po").write_text(po.replace('msgid "A"\nmsgstr ""', 'msgid "A"\nmsgstr "%s"'
                                           % msgstr), encoding="utf-8")
    return prepare


def nothing():
    pass


COMPILE = ["compile", "x.json", "-o", "out.bin"]


@pytest.mark.parametrize("prepare, argv, message", [
    # Archives that would not load back as meant.
    (document_with(lambda d: d.replace('"0x8"]', '"0xFFFFFFFF"]')), COMPILE,
     "x.json: pointers entry 0x0: destination 0xFFFFFFFF lies beyond the data region "
     "(size 0x28)"),
    (document_with(lambda d: d.replace('"0x8"]', '"0x30"]')), COMPILE,
     "x.json: pointers entry 0x0: destination 0x30 lies beyond the data region (size 0x28)"),
    (document_with(lambda d: d.replace('["0x0", "0x8"]', '["0xC", "0x8"]')), COMPILE,
     "x.json: pointers entry 0xC: the slot also holds a text entry, and a file keeps only "
     "the text"),
    (document_with(lambda d: d.replace('["START"]', "[]")), COMPILE,
     "x.json: labels entry 0x0: an empty label list is not kept in a file"),
    (document_with(lambda d: d.replace('"A"', '"\u00a5"')), COMPILE,
     "x.json: texts entry 0xC: \"\u00a5\" reads back as \"\\\\\" ('\u00a5' (U+00A5) becomes "
     "'\\' (U+005C))"),
    (translation("\u2212"), ["texts", "import", "example.bin", "t.po", "-o", "out.bin"],
     "example.bin:GREETING+0x4: '\u2212' (U+2212) would be read back as '\uff0d' (U+FF0D)\n"
     "orvane: 1 problem; nothing written (--skip-unwritable writes the rest and keeps the "
     "source text of those)"),
    # A document cut inside a string.
    (document_with(lambda d: d[:d.index("68 65")] + "\n"), COMPILE,
     "x.json: line 5 column 18: control character U+000A inside a string (is the string's "
     "closing quote missing?)"),
    # The file named once.
    (nothing, ["compile", "nosuch.json", "-o", "out.bin"],
     "nosuch.json: No such file or directory"),
    (nothing, ["texts", "import", "example.bin", "nosuch.po", "-o", "out.bin"],
     "nosuch.po: No such file or directory"),
    # Output directories and files that cannot be.
    (nothing, ["texts", "export", "example.bin", "--out-dir", "example.bin"],
     "example.bin: exists and is not a directory"),
    (nothing, ["texts", "import", "example.bin", "--translations", ".", "--out-dir",
               "example.bin/out"],
     "example.bin/out: cannot create the directory: Not a directory"),
    (document_with(lambda d: d), ["compile", "x.json", "-o", "."],
     ".: is a directory; name a file to write"),
    (nothing, ["texts", "export", "-", "--out-dir", "po"],
     "- (standard input) has no name to write in the output directory; use -o"),
    (nothing, ["diff", "-", "-"], "- (standard input) can be read only once"),
])
def test_bad_invocations_say_one_line_and_write_nothing(work, capsys, prepare, argv, message):
    prepare()
    before = sorted(os.listdir("."))
    status, _, err = run(capsys, *argv)
    assert (status, err) == (2 if argv[0] == "diff" else 1, "orvane: %s\n" % message)
    assert sorted(os.listdir(".")) == before  # no output, no temporary file


@pytest.mark.parametrize("name", ["open", "fsync", "replace"])
def test_an_interrupt_leaves_no_temporary_file(work, capsys, monkeypatch, name):
    # Ctrl-C right after the temporary file came into being (inside the call that
    # creates it, before its name is returned), while it is written, before the rename.
    real = getattr(os, name)

    def interrupted(*args, **kwargs):
        if name == "open" and args[1] & os.O_EXCL:
            os.close(real(*args, **kwargs))
        if name != "open" or args[1] & os.O_EXCL:
            raise KeyboardInterrupt
        return real(*args, **kwargs)

    with monkeypatch.context() as patch:
        patch.setattr(os, name, interrupted)
        status, _, err = run(capsys, "decompile", "example.bin", "-o", "example.bin")
    assert (status, err) == (130, "orvane: interrupted\n")
    assert sorted(os.listdir(".")) == ["example.bin"]
    assert Path("example.bin").read_bytes() == sample()


def test_outputs_go_where_they_point(work, capsys):
    # In place through a symbolic link: the real file is translated, the link stays,
    # the permissions are kept.
    os.mkdir("real")
    os.mkdir("work")
    os.rename("example.bin", "real/game.bin")
    os.chmod("real/game.bin", 0o640)
    os.symlink("../real/game.bin", "work/game.bin")
    run(capsys, "texts", "export", "work/game.bin", "-o", "t.po")
    po = Path("t.po").read_text(encoding="utf-8")
    Path("t.po").write_text(po.replace('msgid "A"\nmsgstr ""', 'msgid "A"\nmsgstr "Bee"'),
                            encoding="utf-8")
    assert run(capsys, "texts", "import", "work/game.bin", "t.po", "-o", "work/game.bin")[0] == 0
    assert os.readlink("work/game.bin") == "../real/game.bin"
    assert tools.read_file(Path("real/game.bin").read_bytes())[1].texts[12] == "Bee"
    assert os.stat("real/game.bin").st_mode & 0o777 == 0o640
    assert sorted(os.listdir("real")) == ["game.bin"]
    # Not a regular file: written to as it is. A FIFO stays a FIFO; a descriptor
    # (/dev/fd/N, as /dev/stdout is) keeps what it was given before, `>>` style.
    os.mkfifo("fifo")
    reader = os.open("fifo", os.O_RDONLY | os.O_NONBLOCK)
    try:
        assert run(capsys, "decompile", "real/game.bin", "-o", "fifo")[0] == 0
        assert os.read(reader, 1 << 16).startswith(b'{\n  "format"')
    finally:
        os.close(reader)
    assert Path("fifo").is_fifo()
    if os.path.isdir("/dev/fd"):
        with open("log", "ab") as log:
            log.write(b"before\n")
            log.flush()
            status = main(["texts", "export", "real/game.bin", "-o", "/dev/fd/%d" % log.fileno()])
        assert status == 0
        assert Path("log").read_text(encoding="utf-8").startswith("before\nmsgid \"\"\n")


def test_standard_input(work, capsys, monkeypatch):
    def stdin(data):
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))

    run(capsys, "texts", "export", "example.bin", "-o", "t.po")
    po = Path("t.po").read_text(encoding="utf-8")
    stdin(po.replace('msgid "A"\nmsgstr ""', 'msgid "A"\nmsgstr "Bee"').encode("utf-8"))
    assert run(capsys, "texts", "import", "example.bin", "-", "-o", "out.bin")[0] == 0
    assert tools.read_file(Path("out.bin").read_bytes())[1].texts[12] == "Bee"
    run(capsys, "decompile", "example.bin", "-o", "x.json")
    stdin(Path("x.json").read_bytes())
    assert run(capsys, "compile", "-", "-o", "same.bin")[0] == 0
    assert Path("same.bin").read_bytes() == sample()
    stdin(sample())
    assert run(capsys, "dump", "-")[1].startswith("size 0x28 (40 bytes)\n")
    stdin(b"")
    assert run(capsys, "dump", "-")[2] == (
        "orvane: <stdin>: Input is not a large enough to contain an archive header.\n")


@pytest.mark.parametrize("encoding", ["iso-8859-1", "euc-jp", "ascii"])
def test_a_locale_that_cannot_show_a_character(work, monkeypatch, encoding):
    a = orvane_core.BinArchive.from_bytes(sample())
    a.write_string(12, "\u2460\uff5e")  # neither is in ISO-8859-1 or EUC-JP
    Path("b.bin").write_bytes(bytes(a.serialize()))
    out = io.BytesIO()
    stdout = io.TextIOWrapper(out, encoding=encoding)
    monkeypatch.setattr(sys, "stdout", stdout)
    assert main(["dump", "b.bin"]) == 0
    assert main(["dump", "--json", "b.bin"]) == 0
    assert main(["diff", "example.bin", "b.bin"]) == 1
    stdout.flush()
    lines = out.getvalue().decode(encoding).splitlines()
    assert lines[5:] == ['0xC  text     "\\u2460\\uff5e"', lines[6],
                         'text GREETING+0x4: "A" -> "\\u2460\\uff5e"']
    assert json.loads(lines[6])["texts"] == [[8, "\u30c6\u30ad\u30b9\u30c8"],
                                             [12, "\u2460\uff5e"]]


def test_version_and_help_say_what_they_do(capsys):
    with pytest.raises(SystemExit):
        main(["--version"])
    metadata = pytest.importorskip("importlib.metadata")
    assert capsys.readouterr().out == "orvane %s\n" % metadata.version("orvane_core")
    with pytest.raises(SystemExit):
        main(["texts", "import", "--help"])
    shown = " ".join(capsys.readouterr().out.split())
    for phrase in ["DIR/NAME.bin.po", '"fuzzy": true', "a column named fuzzy holding true, "
                   "yes or 1", "the archive to write, which may be FILE itself"]:
        assert phrase in shown


def test_start_up_interrupt_and_closed_pipe(work):
    # Ctrl-C while the modules load, through both ways of starting the command: a
    # module it imports sends SIGINT to the process.
    Path("fake").mkdir()
    Path("fake/tqdm.py").write_text("import os, signal\nos.kill(os.getpid(), signal.SIGINT)\n"
                                    "import time\ntime.sleep(5)\n")
    package = os.path.dirname(os.path.dirname(tools.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(work / "fake"), package] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
    pyproject = (Path(__file__).resolve().parents[1] / "pyproject.toml").read_text()
    target = re.search(r'^orvane = "([\w.]+):(\w+)"$', pyproject, re.M).groups()
    script = "import sys; from %s import %s as run; sys.exit(run())" % target
    for argv in ([sys.executable, "-m", "orvane_tools"], [sys.executable, "-c", script]):
        done = subprocess.run(argv + ["dump", "example.bin"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True, env=env)
        assert (done.returncode, done.stderr) == (130, "orvane: interrupted\n")
    # diff whose reader has gone: the error status, not "different".
    a = orvane_core.BinArchive()
    a.allocate_at_end(4 * 4000)
    for slot in range(4000):
        a.write_string(4 * slot, "a")
    Path("a.bin").write_bytes(bytes(a.serialize()))
    for slot in range(4000):
        a.write_string(4 * slot, "b")
    Path("b.bin").write_bytes(bytes(a.serialize()))
    child = subprocess.Popen([sys.executable, "-m", "orvane_tools", "diff", "a.bin", "b.bin"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.close()  # 100 KiB of changes: more than a pipe holds
    assert (child.wait(), child.stderr.read()) == (2, b"")
    child.stderr.close()
