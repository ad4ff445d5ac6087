"""A whole game translated through one catalogue: export, import, check and merge.

One generated game (tens of archives in nested folders, texts repeated as in a real
game) drives most tests; they copy it before changing anything.
"""
import json
import os
import random
import shutil
import subprocess
import threading
from pathlib import Path

import pytest

orvane_core = pytest.importorskip("orvane_core")
tools = pytest.importorskip("orvane_tools")
import orvane_tools._apply  # noqa: E402
from orvane_tools._cli import main  # noqa: E402
from orvane_tools._formats import read_messages  # noqa: E402
from orvane_tools._places import Places, parse_reference  # noqa: E402

SPEAKERS = ["アリス", "ボブ", "村長", "Merchant", "???"]
SYSTEM = ["はい", "いいえ", "セーブしました。", "Continue?", "HP %d/%d", "\x1b[1mNEW\x1b[0m",
          "Line one\r\nLine two", "0123", "1/2", "x\\y"]


def scene_lines(seed):
    rng = random.Random(seed)
    common = ["……", "ありがとう！", "Where am I?", "%s joined the party."]
    return [rng.choice(common) if rng.random() < 0.5 else "台詞 %d-%d" % (seed, rng.randrange(40))
            for _ in range(rng.randrange(6, 14))]


def gettext(*argv, **kwargs):
    """Runs a GNU gettext program. CI installs gettext, so a missing one fails here;
    ORVANE_ALLOW_MISSING_TOOLS=1 lets the test skip."""
    if shutil.which(argv[0]) is None:
        if os.environ.get("ORVANE_ALLOW_MISSING_TOOLS") == "1":
            pytest.skip("%s (GNU gettext) is not installed" % argv[0])
        pytest.fail("%s (GNU gettext) is not installed (CI installs it; "
                    "ORVANE_ALLOW_MISSING_TOOLS=1 skips)" % argv[0])
    return subprocess.run(list(argv), stderr=subprocess.PIPE, universal_newlines=True, **kwargs)


def make_archive(seed, lines, extra_label=False, bare_start=False):
    """A scene: a labelled header slot, then records (speaker, line), then a menu.
    With bare_start, the first record and the header carry no label (places are
    addresses up to the first label)."""
    rng = random.Random(seed)
    menu = rng.sample(SYSTEM, 4)
    size = 8 + 8 * len(lines) + 4 * len(menu)
    a = orvane_core.BinArchive()
    a.allocate_at_end(size)
    a.write_u32(0, len(lines))
    if not bare_start:
        a.write_labels(0, ["HEADER"])
    a.write_pointer(4, 8)
    for n, line in enumerate(lines):
        base = 8 + 8 * n
        a.write_string(base, rng.choice(SPEAKERS))
        a.write_string(base + 4, line)
        if n % 4 == 0 and not (bare_start and n == 0):
            a.write_labels(base, ["EVENT"])  # the same name again: EVENT, EVENT[2], ...
    menu_at = 8 + 8 * len(lines)
    a.write_labels(menu_at, ["MENU ITEMS" if extra_label else "MENU"])
    for n, text in enumerate(menu):
        a.write_string(menu_at + 4 * n, text)
    return a


def write_game(root, version=1):
    """The game: 24 scenes in nested folders and a system archive."""
    root.mkdir(parents=True, exist_ok=True)
    for n in range(24):
        folder = root / ("maps/area%d" % (n % 3))
        folder.mkdir(parents=True, exist_ok=True)
        lines = scene_lines(n)
        a = make_archive(n, lines, extra_label=(n == 5), bare_start=(n == 7))
        (folder / ("scene%02d.bin" % n)).write_bytes(bytes(a.serialize()))
    system = orvane_core.BinArchive()
    system.allocate_at_end(4 * len(SYSTEM))
    for n, text in enumerate(SYSTEM):
        system.write_string(4 * n, text)  # no label: places are addresses
    (root / "system.bin").write_bytes(bytes(system.serialize()))


@pytest.fixture(scope="session")
def game_dir(tmp_path_factory):
    root = tmp_path_factory.mktemp("game") / "game"
    write_game(root)
    return root


@pytest.fixture
def game(game_dir, tmp_path, monkeypatch):
    """A fresh copy of the game in the working directory, as ./game."""
    shutil.copytree(str(game_dir), str(tmp_path / "game"))
    monkeypatch.chdir(tmp_path)
    return tmp_path / "game"


def archives_of(root):
    return sorted(p for p in root.rglob("*.bin"))


def texts_of(path):
    return tools.read_file(path.read_bytes())[1]


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def po_messages(path):
    return [m for m in read_messages(Path(path).read_bytes(), "po")]


def translate(text):
    return "EN[" + text + "]"


def test_export_is_one_message_per_text_and_every_reference_resolves(game, capsys):
    assert run(capsys, "texts", "export", "game", "-o", "game.po", "--language", "fr",
               "--jobs", "1")[0] == 0
    messages = po_messages("game.po")
    occurrences = {}
    for path in archives_of(game):
        found = texts_of(path)
        name = path.relative_to(game).as_posix()
        for address, text in found.texts.items():
            if text:
                occurrences.setdefault(text, []).append((name, address, found.labels))
    assert [m.source for m in messages] and {m.source for m in messages} == set(occurrences)
    assert len(messages) == len(occurrences)
    for m in messages:
        assert m.context is None and not m.translation
        assert len(m.references) == len(occurrences[m.source])
        for reference, (name, address, labels) in zip(m.references, occurrences[m.source]):
            archive, place = parse_reference(reference)
            assert archive == name
            assert Places(labels).resolve(place) == address
    shared = next(m for m in messages if m.source == "はい")
    assert len(shared.references) > 3
    assert any('"MENU\\u0020ITEMS"' in r for m in messages for r in m.references)
    assert any(r.startswith("system.bin:0x") for m in messages for r in m.references)
    assert any(r.startswith("maps/area1/scene07.bin:0x") for m in messages for r in m.references)
    assert any("EVENT[2]" in r for m in messages for r in m.references)
    # msgfmt -c accepts it without a word.
    checked = gettext("msgfmt", "-c", "-o", os.devnull, "game.po")
    assert checked.returncode == 0 and checked.stderr == ""
    # Same bytes for every number of workers and every order of the paths.
    po = Path("game.po").read_bytes()
    assert b"Language: fr" in po
    folders = ["game/system.bin", "game/maps/area2", "game/maps/area0", "game/maps/area1"]
    assert run(capsys, "texts", "export", *folders, "--root", "game", "-o", "again.po",
               "--language", "fr", "--jobs", "2")[0] == 0
    assert Path("again.po").read_bytes() == po
    # Workers that start fresh interpreters (no fork while another thread runs) agree.
    stop = threading.Event()
    waiting = threading.Thread(target=stop.wait)
    waiting.start()
    try:
        assert run(capsys, "texts", "export", "game", "-o", "spawned.po", "--language", "fr",
                   "--jobs", "2")[0] == 0
    finally:
        stop.set()
        waiting.join()
    assert Path("spawned.po").read_bytes() == po
    # JSON and CSV carry the same messages.
    for fmt in ("json", "csv"):
        assert run(capsys, "texts", "export", "game", "-o", "game." + fmt, "--jobs", "1")[0] == 0
        same = read_messages(Path("game." + fmt).read_bytes(), fmt)
        assert [(m.source, m.references, m.notes) for m in same] == [
            (m.source, m.references, m.notes) for m in messages]


def test_a_name_place_or_text_holding_nul_is_refused():
    # References travel NUL-separated from the workers; a NUL of one's own would split it.
    for bad in (("a\0b.bin", "ITEMS", "x"), ("a.bin", "0\0", "x"), ("a.bin", "ITEMS", "x\0y")):
        texts = tools.ArchiveTexts(bad[0], [8], [bad[1]], [bad[2]], {})
        with pytest.raises(tools.ToolError, match="U\\+0000"):
            tools.build_catalogue([texts])


def test_inserted_bytes_change_only_the_references_that_moved(game, capsys):
    assert run(capsys, "texts", "export", "game", "-o", "before.po", "--jobs", "1")[0] == 0
    path = game / "maps/area1/scene01.bin"
    a = orvane_core.BinArchive.from_bytes(path.read_bytes())
    a.allocate(8, 16)  # ahead of the first EVENT label: every text lies after one
    path.write_bytes(bytes(a.serialize()))
    assert run(capsys, "texts", "export", "game", "-o", "after.po", "--jobs", "1")[0] == 0
    assert Path("after.po").read_bytes() == Path("before.po").read_bytes()
    a.allocate(28, 4)  # between EVENT (now at 24) and the texts after it: those move
    path.write_bytes(bytes(a.serialize()))
    assert run(capsys, "texts", "export", "game", "-o", "after.po", "--jobs", "1")[0] == 0
    before = Path("before.po").read_text(encoding="utf-8").split("\n")
    after = Path("after.po").read_text(encoding="utf-8").split("\n")
    assert len(before) == len(after)
    changed = [(b, c) for b, c in zip(before, after) if b != c]
    assert changed and all(b.startswith("#: maps/area1/scene01.bin:EVENT+0x")
                           and c.startswith("#: maps/area1/scene01.bin:EVENT+0x")
                           for b, c in changed)


def translated_catalogue(path, out, edit=None):
    """The catalogue at `path` with every message translated (then edited)."""
    messages = po_messages(path)
    for m in messages:
        m.translation = translate(m.source).replace("\r\n", "\n")  # as an editor may save it
    if edit:
        messages = edit(messages)
    from orvane_tools._formats import write_messages
    Path(out).write_bytes(write_messages(messages, "po", "en"))
    return messages


def test_import_applies_every_translation_then_overrides(game, capsys):
    assert run(capsys, "texts", "export", "game", "-o", "game.po", "--jobs", "1")[0] == 0

    def edit(messages):
        by = {m.source: m for m in messages}
        by["いいえ"].translation = ""  # untranslated
        by["Continue?"].fuzzy = True  # not applied
        ref = by["はい"].references[0]
        messages.append(tools.Message("はい", "Oui", context=ref))  # an override
        messages.append(tools.Message("Not in the game", "Gone"))  # held by no archive
        return [m for m in messages if m.source != "1/2"]  # a text the catalogue lacks

    translated_catalogue("game.po", "en.po", edit)
    originals = {p.relative_to(game).as_posix(): texts_of(p) for p in archives_of(game)}
    outputs = []
    for jobs in ("1", "2"):
        out = "out%s" % jobs
        status, _, err = run(capsys, "texts", "import", "--catalogue", "en.po", "game",
                             "--out-dir", out, "--jobs", jobs)
        assert status == 0, err
        outputs.append({n: Path(out, n).read_bytes() for n in originals})
    assert outputs[0] == outputs[1]
    unknown = untranslated = changed = 0
    ref_archive, ref_place = parse_reference(next(
        m for m in po_messages("en.po") if m.context).context)
    for name, before in originals.items():
        after = tools.read_file(outputs[0][name])[1]
        places = Places(before.labels)
        for address, text in before.texts.items():
            if name == ref_archive and address == places.resolve(ref_place):
                expected = "Oui"
            elif text in ("いいえ", "Continue?"):
                expected = text
                untranslated += 1
            elif text == "1/2":
                expected = text
                unknown += 1
            else:
                expected = translate(text)
            assert after.texts[address] == expected, (name, address)
            changed += expected != text
    assert unknown and err.splitlines() == [
        "orvane: %d archives written, %d texts changed, %d texts untranslated, "
        "1 fuzzy message not applied, 1 message no archive holds, "
        "%d texts the catalogue does not know" % (len(originals), changed, untranslated,
                                                   unknown)]
    # CR LF in the archive, LF in the catalogue: written back with CR LF.
    assert translate("Line one\r\nLine two") in tools.read_file(
        outputs[0]["system.bin"])[1].texts.values()
    # A character map for a font with other glyphs: applied, then written.
    Path("font.map").write_text("é\t\uff45\n", encoding="utf-8")
    Path("fr.po").write_text('msgid "はい"\nmsgstr "Oui é"\n', encoding="utf-8")
    status, _, err = run(capsys, "texts", "import", "game/system.bin", "fr.po", "-o", "s.bin")
    assert status == 1 and "'é' (U+00E9)" in err
    status, _, err = run(capsys, "texts", "import", "game/system.bin", "fr.po", "-o", "s.bin",
                         "--charmap", "font.map")
    assert status == 0 and "Oui \uff45" in texts_of(Path("s.bin")).texts.values()
    # The one-archive form takes a catalogue too; --in-place writes over the archives.
    status, _, err = run(capsys, "texts", "import", "game/system.bin", "en.po", "-o", "s.bin")
    assert status == 0 and Path("s.bin").read_bytes() == outputs[0]["system.bin"]
    assert run(capsys, "texts", "import", "--catalogue", "en.po", "game", "--in-place")[0] == 0
    assert {n: (game / n).read_bytes() for n in originals} == outputs[0]


PROBLEMS = {  # source: (translation, what the problem line says)
    "はい": ("Smile 🙂", "'🙂' (U+1F642) cannot be written in Shift_JIS"),
    "x\\y": ("100¥", "'¥' (U+00A5) would be read back as '\\' (U+005C)"),
    "HP %d/%d": ("HP %d", 'placeholder "%d" missing'),
    "\x1b[1mNEW\x1b[0m": ("NEW", "control character"),
}


def test_check_names_every_problem_and_import_writes_nothing(game, capsys):
    assert run(capsys, "texts", "export", "game", "-o", "game.po", "--jobs", "1")[0] == 0

    def edit(messages):
        for m in messages:
            if m.source in PROBLEMS:
                m.translation = PROBLEMS[m.source][0]
        return messages

    messages = translated_catalogue("game.po", "en.po", edit)
    expected = sorted((r, PROBLEMS[m.source][1]) for m in messages if m.source in PROBLEMS
                      for r in m.references)
    status, out, err = run(capsys, "texts", "check", "--catalogue", "en.po", "game",
                           "--placeholder", "%[sd]", "--jobs", "1")
    lines = err.splitlines()
    assert status == 1 and len(lines) == len(expected) + 1, err
    assert lines[-1] == "orvane: %d problems" % len(expected)
    found = sorted(lines[:-1], key=lambda line: line.split(": ")[1])
    for (reference, problem), line in zip(expected, found):
        assert line.startswith("orvane: %s: " % reference) and problem in line, line
    before = {p: p.read_bytes() for p in archives_of(game)}
    status, _, err = run(capsys, "texts", "import", "--catalogue", "en.po", "game",
                         "--in-place", "--placeholder", "%[sd]", "--jobs", "2")
    assert status == 1 and err.splitlines()[-1] == (
        "orvane: %d problems; nothing written (--skip-unwritable writes the rest and keeps "
        "the source text of those)" % len(expected))
    assert {p: p.read_bytes() for p in archives_of(game)} == before
    assert sorted(os.listdir(str(game / "maps/area0"))) == sorted(
        p.name for p in archives_of(game / "maps/area0"))  # no temporary file left
    status, _, err = run(capsys, "texts", "import", "--catalogue", "en.po", "game",
                         "--in-place", "--placeholder", "%[sd]", "--skip-unwritable",
                         "--jobs", "1")
    assert status == 0 and err.count("warning: ") == len(expected)
    system = texts_of(game / "system.bin").texts.values()
    assert "はい" in system and "x\\y" in system and translate("いいえ") in system


def test_merge_keeps_translations_through_a_new_version(game, capsys):
    system = orvane_core.BinArchive.from_bytes((game / "system.bin").read_bytes())
    system.allocate_at_end(4)
    system.write_string(system.size() - 4, "Soon gone")
    (game / "system.bin").write_bytes(bytes(system.serialize()))
    assert run(capsys, "texts", "export", "game", "-o", "game.pot", "--jobs", "1")[0] == 0

    def override(messages):  # system.bin's first slot has its own translation
        return messages + [tools.Message("はい", "Oui !", context="system.bin:0x0")]

    translated_catalogue("game.pot", "old.po", override)
    # The new version: records inserted at the start of a scene, a line rewritten in
    # place, and the system archive's last text removed.
    path = game / "maps/area0/scene03.bin"
    a = orvane_core.BinArchive.from_bytes(path.read_bytes())
    old_line = a.read_string(12)
    a.allocate(8, 8)
    a.write_string(8, "Newcomer")
    a.write_string(12, "A brand new line")
    a.write_string(12 + 8, "Rewritten line")  # the old first line's slot, moved by 8
    path.write_bytes(bytes(a.serialize()))
    system.write_string(system.size() - 4, None)
    (game / "system.bin").write_bytes(bytes(system.serialize()))
    assert run(capsys, "texts", "export", "game", "--merge", "old.po", "-o", "new.po",
               "--jobs", "1")[0] == 0
    old = {m.source: m for m in po_messages("old.po") if m.context is None}
    new = po_messages("new.po")
    active = {m.source: m for m in new if not m.obsolete and m.context is None}
    for source, m in active.items():
        if source in old:
            assert (m.translation, m.fuzzy) == (old[source].translation, False), source
    assert not active["A brand new line"].translation
    rewritten = active["Rewritten line"]
    assert (rewritten.fuzzy, rewritten.previous_source) == (True, old_line)
    assert rewritten.translation == old[old_line].translation
    assert sorted((m.source, m.translation) for m in new if m.obsolete) == sorted(
        (t, translate(t)) for t in ("Soon gone", old_line))
    assert [(m.context, m.translation, m.fuzzy) for m in new if m.context] == [
        ("system.bin:0x0", "Oui !", False)]
    checked = gettext("msgfmt", "-c", "-o", os.devnull, "new.po")
    assert checked.returncode == 0 and checked.stderr == ""
    # gettext's own merge keeps the same unchanged translations.
    assert run(capsys, "texts", "export", "game", "-o", "new.pot", "--jobs", "1")[0] == 0
    gettext("msgmerge", "--quiet", "--previous", "-o", "gnu.po", "old.po", "new.pot", check=True)
    gnu = {m.source: m for m in po_messages("gnu.po") if not m.obsolete and m.context is None}
    for source, m in active.items():
        if source in old:
            assert (gnu[source].translation, gnu[source].fuzzy) == (m.translation, False)


def test_spreadsheet_rows_are_all_named_in_one_run(game, capsys):
    assert run(capsys, "texts", "export", "game", "-o", "game.csv", "--jobs", "1")[0] == 0
    text = Path("game.csv").read_bytes().decode("utf-8-sig")
    text = text.replace("Line one\r\nLine two", "Line one\nLine two")
    assert text.count(",0123,") == 1
    text = text.replace(",0123,", ",123,")  # a spreadsheet dropped its leading zero
    Path("game.csv").write_bytes(text.encode("utf-8-sig"))
    messages = read_messages(Path("game.csv").read_bytes(), "csv")
    for m in messages:
        m.translation = "T"
    from orvane_tools._formats import write_messages
    Path("t.csv").write_bytes(write_messages(messages, "csv", ""))
    status, _, err = run(capsys, "texts", "check", "--catalogue", "t.csv", "game")
    altered = [line for line in err.splitlines() if "spreadsheet" in line]
    zero = next(m for m in messages if m.source == "123")
    assert status == 1 and len(altered) == len(zero.references), err
    assert not any("Line one" in line for line in err.splitlines())


def test_a_failing_archive_is_named_and_the_others_are_done(game, capsys):
    (game / "maps/broken.bin").write_bytes(b"\0" * 7)
    status, _, err = run(capsys, "texts", "export", "game", "-o", "game.po", "--jobs", "2")
    assert status == 1
    assert err == ("orvane: game/maps/broken.bin: Input is not a large enough to contain an "
                   "archive header.\n")
    assert len(po_messages("game.po")) > 20
    translated_catalogue("game.po", "en.po")
    status, _, err = run(capsys, "texts", "import", "--catalogue", "en.po", "game",
                         "--out-dir", "out", "--jobs", "2")
    assert status == 1 and err.splitlines()[0].startswith("orvane: game/maps/broken.bin: ")
    assert len(list(Path("out").rglob("*.bin"))) == len(archives_of(game)) - 1


def test_interrupted_import_leaves_every_archive_whole(game, capsys, monkeypatch):
    assert run(capsys, "texts", "export", "game", "-o", "game.po", "--jobs", "1")[0] == 0
    translated_catalogue("game.po", "en.po")
    before = {p: p.read_bytes() for p in archives_of(game)}
    real = orvane_tools._apply.run_jobs

    def interrupted(*args, **kwargs):  # Ctrl-C once a few archives are done
        inner = real(*args, **kwargs)
        try:
            for n, result in enumerate(inner):
                if n == 5:
                    raise KeyboardInterrupt
                yield result
        finally:
            inner.close()

    monkeypatch.setattr(orvane_tools._apply, "run_jobs", interrupted)
    for jobs in ("1", "2"):
        status, _, err = run(capsys, "texts", "import", "--catalogue", "en.po", "game",
                             "--in-place", "--jobs", jobs)
        assert (status, err) == (130, "orvane: interrupted\n")
        assert {p: p.read_bytes() for p in archives_of(game)} == before
        assert sorted(p for p in game.rglob("*") if p.is_file()) == sorted(before)


def test_merge_takes_files_written_per_archive_by_text(game, capsys):
    legacy = ('msgctxt "0x0"\nmsgid "はい"\nmsgstr "Yes"\n\n'
              'msgctxt "0x4"\nmsgid "いいえ"\nmsgstr "No"\n\n'
              'msgctxt "0x8"\nmsgid "セーブしました。"\nmsgstr ""\n')
    Path("legacy.po").write_text(legacy, encoding="utf-8")
    assert run(capsys, "texts", "export", "game", "--merge", "legacy.po", "-o", "game.po",
               "--jobs", "1")[0] == 0
    translated = {m.source: m.translation for m in po_messages("game.po") if m.translation}
    assert translated == {"はい": "Yes", "いいえ": "No"}
    status, _, err = run(capsys, "texts", "import", "game/system.bin", "legacy.po", "-o", "s.bin")
    assert status == 0 and list(texts_of(Path("s.bin")).texts.values())[:2] == ["Yes", "No"]


def test_import_load_back_check_refuses_a_file_that_reads_back_other_texts():
    """The written file is read back one pooled string at a time: a slot whose text
    differs from the one meant, though another slot shares its string, is named."""
    from orvane_tools._apply import _check_written
    from orvane_tools._archive import ToolError

    meant = orvane_core.BinArchive()
    meant.allocate_at_end(16)
    for address, text in [(0, "共通"), (4, "共通"), (8, "B"), (12, "共通")]:
        meant.write_string(address, text)
    texts = ["共通", "共通", "B", "共通"]
    _check_written(bytes(meant.serialize()), meant, [0, 4, 8, 12], texts, "a.bin")
    other = orvane_core.BinArchive.from_bytes(bytes(meant.serialize()))
    other.write_string(12, "別")
    with pytest.raises(ToolError, match=r"a\.bin: texts entry 0xC: the written file reads "
                                        r'back "共通", not "別"'):
        _check_written(bytes(meant.serialize()), other, [0, 4, 8, 12],
                       texts[:3] + ["別"], "a.bin")


def _square(n):
    return n * n


@pytest.mark.parametrize("jobs", [1, 2])
def test_jobs_stopped_early_discard_every_result_not_taken(jobs):
    """Workers take items in batches: a caller that stops early gets every result not
    yet its own discarded (the last one yielded too), none twice, none lost."""
    from orvane_tools._jobs import run_jobs

    discarded = []
    results = run_jobs(_square, list(range(200)), jobs, discard=discarded.append)
    taken = [next(results) for _ in range(21)]
    results.close()
    assert taken == [n * n for n in range(21)]
    assert discarded[0] == 20 * 20
    assert sorted(discarded) == sorted(set(discarded))
    if jobs == 1:
        assert discarded == [400]
    else:  # every result computed and not taken is discarded: whole batches, in order
        assert discarded == [n * n for n in range(20, 20 + len(discarded))]
        assert len(discarded) >= 4  # 20 to 23, the rest of the batch of 12 it came in
