"""Translation files as their tools write and read them, and the per-text checks.

One generated catalogue (every control code gettext takes, every character class,
long lines, every field) goes through GNU gettext's tools, polib and translate-toolkit;
each of them must give back what the file itself holds. Those tools are installed in
CI, so a missing one fails here; ORVANE_ALLOW_MISSING_TOOLS=1 lets them skip.
"""
import codecs
import csv
import io
import os
import random
import re
import shutil
import subprocess
from dataclasses import replace

import pytest

pytest.importorskip("orvane_core")
from orvane_tools import _checks  # noqa: E402
from orvane_tools._checks import (CharmapError, apply_charmap, check_text,  # noqa: E402
                                  read_back, read_back_all, read_charmap)
from orvane_tools._csv_format import (CSV_COLUMNS, read_csv, same_text,  # noqa: E402
                                      spreadsheet_altered, with_line_breaks_of, write_csv)
from orvane_tools._formats import read_messages, write_messages  # noqa: E402
from orvane_tools._message import Message  # noqa: E402
from orvane_tools._po import PoError, read_po, write_po  # noqa: E402


def missing(what):
    if os.environ.get("ORVANE_ALLOW_MISSING_TOOLS") == "1":
        pytest.skip("%s is not installed" % what)
    pytest.fail("%s is not installed (CI installs it; ORVANE_ALLOW_MISSING_TOOLS=1 skips)" % what)


def tool(name):
    path = shutil.which(name)
    if path is None:
        missing("%s (GNU gettext)" % name)
    return path


def gettext(*argv):
    done = subprocess.run([tool(argv[0])] + list(argv[1:]), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    assert done.returncode == 0, done.stderr.decode("utf-8", "replace")
    return done


def unlined(messages):
    return [replace(m, line=0) for m in messages]


def keyed(messages):
    """Messages by what tells them apart (gettext's tools write obsolete ones last)."""
    return {(m.obsolete, m.context, m.source): replace(m, line=0) for m in messages}


# U+0004 is gettext's context separator, refused in any message; U+0000 ends a text.
CONTROLS = [chr(c) for c in range(1, 0x20) if c != 4] + ["\x7f"]
# Every character class Shift_JIS holds, and the code page's second bytes 0x5C (表ソ能予十申).
CLASSES = ("".join(chr(c) for c in range(0x21, 0x7F)) + " 　テキスト漢字ｱｲｳﾞ表ソ能予十申～①ⅰ"
           "ΑαАа─")


def catalogue():
    texts = ["ctl %02X %s end" % (ord(c), c) for c in CONTROLS]
    texts += ["".join(CONTROLS), CLASSES, "x" * 200, "word " * 60, "長い行" * 50,
              "a\nb\n", "\n\nlead", "tail\n\n", "crlf\r\nline\r\n", " spaced  ", "\\n \\\\ \"q\"",
              "a\\", "\t"]
    messages = []
    for i, text in enumerate(texts):
        lead = text[:len(text) - len(text.lstrip("\n"))]   # msgfmt wants both or neither
        messages.append(Message(
            text, "%s訳%d %s" % (lead, i, text[len(lead):]) if i % 7 else "",
            references=["game/a%d.bin:ITEMS+0x%X" % (i % 5, 4 * i), "game/b.bin:\"A:B\"[2]"],
            notes=["LABEL_%d" % i] if i % 3 else [], fuzzy=i % 11 == 5,
            previous_source="old %d" % i if i % 11 == 5 else None,
            comments=["translator's note"] if i == 2 else []))
    messages.append(Message("ctl 41 A end", "own", context="game/a1.bin:ITEMS+0x4"))
    messages.append(Message("gone\nfor good", "parti", obsolete=True, notes=["OLD"]))
    return messages


# Escapes gettext reads that write_po never writes, in the file as a translator's tool
# might leave them (all of them give characters CP932 holds, for msgconv).
HAND_WRITTEN = (b'\n#!dropped\n#kept\n#, fuzzy\nmsgid "esc"\n'
                b'msgstr "\\x41\\x4142\\1012\\343\\201\\202\\x9\\11\\a\\b\\f\\v\\\\\\"\\r"\n'
                b'\nmsgid "tokens" msgstr "on" "one"\n  "line" # note\n'
                # An escape ends with its string; bytes join across strings.
                b'\nmsgid "split"\nmsgstr "\\343\\201"\n"\\202 \\1" "23"\n')


def test_gettext_polib_and_our_reader_agree(tmp_path):
    data = write_po(catalogue(), language="ja") + HAND_WRITTEN
    ours = read_po(data)
    assert ours.header["Language"] == "ja"
    assert unlined(ours.messages[:-3]) == catalogue()
    assert [m.translation for m in ours.messages[-3:]] == [
        "AB" + "A2" + "あ" + "\t\t\a\b\f\v\\\"\r", "ononeline", "あ \x0123"]
    assert ours.messages[-3].comments == ["kept"]
    path = tmp_path / "cat.po"
    path.write_bytes(data)
    written = {}
    for name, argv in [("wrapped", ["msgcat"]), ("no-wrap", ["msgcat", "--no-wrap"]),
                       ("cp932", ["msgconv", "-t", "CP932"])]:
        written[name] = tmp_path / (name + ".po")
        gettext(*argv, str(path), "-o", str(written[name]))
    assert b"charset=CP932" in written["cp932"].read_bytes()
    assert "表ソ能".encode("cp932") in written["cp932"].read_bytes()
    for name, file in written.items():
        assert keyed(read_po(file.read_bytes()).messages) == keyed(ours.messages), name
    # polib writes its own way (wrapping, control codes, previous fields).
    polib = pytest.importorskip("polib")
    po = polib.POFile(wrapwidth=78)
    po.metadata = {"Content-Type": "text/plain; charset=UTF-8"}
    for m in ours.messages:
        po.append(polib.POEntry(
            msgid=m.source, msgstr=m.translation, msgctxt=m.context, obsolete=m.obsolete,
            occurrences=[tuple(r.rsplit(":", 1)) for r in m.references],
            flags=["fuzzy"] if m.fuzzy else [], previous_msgid=m.previous_source,
            comment="\n".join(m.notes), tcomment="\n".join(m.comments)))
    expected = keyed(replace(m, notes=[]) if m.obsolete else m for m in ours.messages)
    assert keyed(read_po(po.__unicode__().encode("utf-8")).messages) == expected
    # msgfmt compiles what it would use (translated, not fuzzy); msgunfmt gives it back.
    gettext("msgfmt", "-o", str(tmp_path / "cat.mo"), str(path))
    back = read_po(gettext("msgunfmt", str(tmp_path / "cat.mo")).stdout).messages
    used = {(m.context, m.source): m.translation for m in ours.messages
            if m.translation and not m.fuzzy and not m.obsolete}
    assert {(m.context, m.source): m.translation for m in back} == used
    # The header is all msgfmt -c asks for: no warning at all.
    plain = tmp_path / "plain.po"
    plain.write_bytes(write_po([Message("テキスト", references=["a.bin:X"], notes=["X"])],
                               language="ja"))
    assert gettext("msgfmt", "-c", "-o", os.devnull, str(plain)).stderr == b""


BAD_PO = [
    ('msgid "a"\nmsgstr "Saved\n\nmsgid "b"\nmsgstr "c"\n', "line 2: end-of-line within string"),
    ('msgid "a"\nmsgstr "Saved', "line 2: end-of-file within string"),
    ('msgid "a\\q"\nmsgstr "b"\n', "line 1: invalid control sequence \\q"),
    ('msgid "a\\xg"\nmsgstr "b"\n', "line 1: invalid control sequence \\x"),
    ('msgid "a" x\nmsgstr "b"\n', 'line 1: keyword "x" unknown'),
    ('msgid "a"\n\nmsgid "b"\nmsgstr "c"\n', "line 1: missing 'msgstr' section"),
    ('msgid "a"\n# c\nmsgstr "b"\n', "line 1: missing 'msgstr' section"),
    ('msgctxt "k"\nmsgstr "b"\n', "line 1: missing 'msgid' section"),
    ('#. c\n"a"\nmsgid "a"\nmsgstr "b"\n', "line 2: syntax error"),
    ('msgid "a"\nmsgstr "b"\n\nmsgid "a"\nmsgstr "c"\n', "line 4: duplicate message definition"),
    ('msgid "a"\n#~ msgstr "b"\n', "line 2: inconsistent use of #~"),
    ('msgid "a"\nmsgstr "b" }\n', "line 2: syntax error ('}' at column 12)"),
    ('msgid "a"\nmsgstr "\xff"\n', "line 2: invalid multibyte sequence"),
]


def test_po_syntax_errors_are_refused_with_their_line_as_msgfmt_refuses_them(tmp_path):
    header = 'msgid ""\nmsgstr "Content-Type: text/plain; charset=UTF-8\\n"\n\n'
    files = []
    for number, (text, message) in enumerate(BAD_PO):
        data = (header + text).encode("latin-1")
        with pytest.raises(PoError) as error:
            read_po(data)
        shown = str(error.value)
        line = int(message.split(":")[0][5:]) + 3
        assert shown.startswith(message.replace(message.split(":")[0], "line %d" % line)), shown
        files.append(tmp_path / ("bad%d.po" % number))
        files[-1].write_bytes(data)
    # msgfmt refuses every one of them too.
    for file in files:
        done = subprocess.run([tool("msgfmt"), "-o", os.devnull, str(file)],
                              stderr=subprocess.PIPE)
        assert done.returncode != 0 and file.name in done.stderr.decode(), file.read_bytes()


PO_READS = [
    # A charset the header declares: CP932, where 0x5C is also a second byte.
    (b'msgid ""\nmsgstr "Content-Type: text/plain; charset=CP932\\n"\n\nmsgid "a"\n'
     b'msgstr "\x95\x5c\\x83\\x5c \\x5c"\n', "表ソ \\"),
    # CR LF line ends are white space; a CR inside a string is kept.
    (b'msgid "a"\r\nmsgstr "x\ry"\r\n', "x\ry"),
    # The header may follow an obsolete message; no header: UTF-8.
    (b'#~ msgid "o"\n#~ msgstr "p"\n\nmsgid ""\nmsgstr "Content-Type: text/plain; '
     b'charset=ISO-8859-1\\n"\n\nmsgid "a"\nmsgstr "\xe9"\n', "é"),
    (b'\xef\xbb\xbfmsgid "a"\nmsgstr "\xc3\xa9"\n', "é"),
    # The header's strings go on after a blank line.
    ('msgid ""\nmsgstr "Content-Type: text/plain; charset=CP932\\n"\n\n"Last-Translator: 山田\\n"'
     '\n\nmsgid "a"\nmsgstr "表"\n'.encode("cp932"), "表"),
]


@pytest.mark.parametrize("data, translation", PO_READS)
def test_po_charsets_and_line_ends(data, translation):
    live = [m for m in read_po(data).messages if not m.obsolete]
    assert [m.translation for m in live] == [translation]


# Any messages: written, then read, by each format, give the same messages. Drawn
# from a seeded generator (hypothesis costs 30 ms an example here).
ALPHABET = "aZ 09\\\"'#:~|,;\n\r\t\x01\x04\x1b\x7f\x85\u2028テ表ｱ🙂"


def random_messages(rng):
    def text(size, alphabet=ALPHABET):
        return "".join(rng.choice(alphabet) for _ in range(rng.randint(size, 8)))

    def line():   # notes, comments, archive names: no line breaks; names: no end spaces
        return text(1, "aZ 09\\\"'#:~|,;\tテ表").strip() or "n"

    def reference():
        return "%s:%s" % (line(), rng.choice(["ITEMS+0x4", "0x10", '"A B"[2]']))

    messages, keys = [], set()
    for _ in range(rng.randint(0, 4)):
        m = Message(text(1), text(0), context=rng.choice([None, reference()]),
                    references=[reference() for _ in range(rng.randint(0, 3))],
                    notes=[line() for _ in range(rng.randint(0, 2))],
                    comments=[line() for _ in range(rng.randint(0, 2))],
                    fuzzy=rng.random() < 0.5, obsolete=rng.random() < 0.3,
                    previous_source=rng.choice([None, text(1)]))
        if (m.context, m.source) not in keys:
            keys.add((m.context, m.source))
            messages.append(m)
    return messages


@pytest.mark.parametrize("fmt", ["po", "csv", "json"])
def test_every_format_gives_back_what_it_wrote(fmt):
    rng = random.Random(16)
    for _ in range(300):
        messages = random_messages(rng)
        data = write_messages(messages, fmt, "ja")
        assert unlined(read_messages(data, fmt)) == messages
        if fmt == "po":
            # CR LF line ends: the general tokenizer reads what the fast path read.
            assert read_messages(data.replace(b"\n", b"\r\n"), fmt) == read_messages(data, fmt)


# Some releases of translate-toolkit warn of control characters in a text.
@pytest.mark.filterwarnings("ignore:String contains control characters:UserWarning")
def test_translate_toolkit_round_trip_keeps_every_translation(tmp_path):
    try:
        from translate.convert import csv2po, po2csv
    except ImportError:
        missing("translate-toolkit")
    # translate-toolkit reads \a \b \f \v as the letters (its own fault): left out.
    messages = [m for m in catalogue() if not m.obsolete and not set("\a\b\f\v") & set(m.source)]
    template = tmp_path / "template.pot"
    template.write_bytes(write_po([replace(m, translation="", fuzzy=False) for m in messages]))
    translated = tmp_path / "cat.po"
    translated.write_bytes(write_po(messages))
    ours = tmp_path / "ours.csv"
    ours.write_bytes(write_csv(messages))
    expected = {(m.context, m.source): m.translation for m in messages}

    def round_trip(csv_file, translated, template):
        if csv_file == "theirs.csv":
            with open(str(translated), "rb") as po, open(str(tmp_path / csv_file), "wb") as out:
                po2csv.convertcsv(po, out, None)
        with open(str(tmp_path / csv_file), "rb") as source, open(str(template), "rb") as pot:
            back_po = io.BytesIO()
            csv2po.convertcsv(source, back_po, pot)
        return {(m.context, m.source): m.translation for m in read_po(back_po.getvalue()).messages}

    # Some releases (3.16 and 3.17 on Python 3.10) double every backslash of a
    # translation in their own po2csv + csv2po, whatever wrote the PO file: there,
    # their own round trip is checked on the other messages.
    canary = [Message("a\\b", "c\\d", references=["x:A"])]
    (tmp_path / "canary.po").write_bytes(write_po(canary))
    (tmp_path / "canary.pot").write_bytes(write_po([replace(canary[0], translation="")]))
    theirs_double = round_trip("theirs.csv", tmp_path / "canary.po",
                               tmp_path / "canary.pot") != {(None, "a\\b"): "c\\d"}
    for csv_file in ("theirs.csv", "ours.csv"):
        back = round_trip(csv_file, translated, template)
        wanted = expected
        if csv_file == "theirs.csv" and theirs_double:
            wanted = {k: v for k, v in expected.items() if "\\" not in k[1] + v}
            back = {k: v for k, v in back.items() if k in wanted}
        assert back == wanted, csv_file


def _rewritten(data, encoding="utf-8", delimiter=",", newline="\r\n", cell_newline="\n"):
    """A CSV file written by us, saved again as a spreadsheet saves it."""
    rows = list(csv.reader(io.StringIO(data.decode("utf-8-sig"), newline="")))
    out = io.StringIO(newline="")
    writer = csv.writer(out, delimiter=delimiter, lineterminator=newline)
    for row in rows:
        writer.writerow([re.sub(r"\r\n|\r|\n", cell_newline, cell) for cell in row])
    return out.getvalue().encode(encoding)


@pytest.mark.parametrize("save, encoding", [
    (lambda d: d, None),
    (lambda d: d[3:], None),                                                   # no BOM
    (lambda d: _rewritten(d, delimiter=";", newline="\n"), None),              # LibreOffice
    (lambda d: _rewritten(d, "cp932", cell_newline="\r\n"), "cp932"),          # Japanese Excel
    (lambda d: _rewritten(d, "utf-16", delimiter="\t"), None),                 # Unicode text
    (lambda d: _rewritten(d, "utf-16", delimiter="\t"), "utf-16-le"),
    (lambda d: codecs.BOM_UTF8 + _rewritten(d, delimiter="\t", newline="\n"), None),
    (lambda d: _rewritten(d, newline="\r", cell_newline="\r"), None),        # CR line ends
])
def test_csv_saved_again_by_spreadsheets_still_reads(save, encoding):
    messages = [Message("テキスト\r\n二行目", "Text\nsecond", references=["a.bin:X", "b.bin:0x4"],
                        notes=["X"], fuzzy=True, previous_source="古い"),
                Message("=SUM(A1); 0123, \"1/2\"\t", "", context="a.bin:Y+0x4"),
                Message("表ソ", "ok", obsolete=True, comments=["note"])]
    data = write_csv(messages)
    assert data.startswith(codecs.BOM_UTF8) and data.split(b"\r\n")[0] == (
        codecs.BOM_UTF8 + ",".join(CSV_COLUMNS).encode())
    back = read_csv(save(data), encoding)
    assert [m.line for m in back] == [2, 5, 6]
    for got, want in zip(back, messages):
        assert same_text(want.source, got.source) and same_text(want.translation, got.translation)
        assert replace(got, source=want.source, translation=want.translation, line=0) == want


def test_csv_of_earlier_exports_and_errors():
    legacy = b"address;labels;text;translation\r\n0xC;A B;x;y\r\n0x10;;z;\r\n"
    assert read_csv(legacy) == [Message("x", "y", context="0xC", notes=["A", "B"], line=2),
                                Message("z", "", context="0x10", line=3)]
    assert read_messages(b'[{"address": "0xC", "labels": ["A"], "text": "x", '
                         b'"translation": "y", "fuzzy": true}]', "json") == [
        Message("x", "y", context="0xC", notes=["A"], fuzzy=True, line=1)]
    for data, encoding, message in [
            (b"location;target\r\n", None, "line 1: the header row has no source column"),
            ("source\r\nテ\r\n".encode("cp932"), None, "line 2: not valid utf-8 (a spreadsheet"),
            (b'source\r\n"a\r\n', None, "line 2: unexpected end of data"),
            (b"source\r\na\r\n", "nonesuch", "unknown encoding nonesuch")]:
        with pytest.raises(Exception) as error:
            read_csv(data, encoding)
        assert str(error.value).startswith(message), str(error.value)
    for data, message in [
            (b'[\n {"source": 1}]', "line 2: source: expected a string"),
            (b'[\n {"source": "a"},\n {"sauce": "a"}]', 'line 3: unknown key "sauce"'),
            (b'[\n {"source": "a"}\n {}]', "line 3 column 2: Expecting ','"),
            (b'[{"source": "a", "translation": "b\\ud800"}]',
             "line 1: translation: U+D800 is half"),
            (b'[{"source": "a", "references": ["x", "\\udfff"]}]', "line 1: references: U+DFFF")]:
        with pytest.raises(Exception) as error:
            read_messages(data, "json")
        assert str(error.value).startswith(message), str(error.value)


@pytest.mark.parametrize("original, cell, reason", [
    ("0123", "123", '("0123" became "123"): set the column type to Text'),
    ("1.50", "1.5", '("1.50" became "1.5")'),
    ("+5", "5", '("+5" became "5")'),
    ("50%", "0.5", '("50%" became "0.5")'),
    ("12345678901234567890", "1.23457E+19", "became"),
    ("1/2", "2026-01-02", '("1/2" became "2026-01-02")'),
    ("1/2", "01/02/2026", "became"),
    ("1-2", "2-Jan", "became"),
    ("1/2", "1月2日", "became"),
    ("1/2", "44928", "became"),
    ("(123)", "-123", "became"),
    ("12:30", "12:30:00", "became"),
    ("=SUM(A1)", "0", '("=SUM(A1)" became "0")'),
    ("-abc", "#NAME?", "became"),
    ("true", "TRUE", "became"),
    ("'quoted", "quoted", "leading apostrophe"),
    ("  padded ", "padded", "the spaces at its ends were removed"),
    ("−5 ¥", "?5 ?", '("−" became "?"): save it as CSV UTF-8'),
    ("a\r\nb", "a\nb", None),
    ("Hello", "Goodbye", None),
    ("0123", "0124", None),
    ("1/2", "half", None),
    ("1/3", "1/2", None),
    ("=A1", "=B1", None),
    ("-abc", "-abd", None),
])
def test_spreadsheet_rewrites_are_named(original, cell, reason):
    found = spreadsheet_altered(original, cell)
    if reason is None:
        assert found is None
    else:
        assert found is not None and reason in found, found


@pytest.mark.parametrize("original, translation, written", [
    ("a\r\nb", "x\ny\r\nz", "x\r\ny\r\nz"),
    ("a\nb", "x\r\ny", "x\ny"),
    ("a\rb", "x\ny", "x\ry"),
    ("ab", "x\ny", "x\ny"),
    ("a\nb\r\nc", "x\r\ny", "x\r\ny"),
])
def test_translations_take_the_line_breaks_of_their_source(original, translation, written):
    assert with_line_breaks_of(original, translation) == written


def test_characters_read_back_as_others_are_found_by_the_codec():
    characters = list(map(chr, range(0x80, 0x3000)))
    changed = {c for c in characters if read_back(c) not in (c, None)}
    assert changed == {"¥", "‾", "−"}
    assert read_back("\0") is None and read_back("🙂") is None and read_back("表") == "表"
    assert read_back("\ud800") is None  # half a UTF-16 pair, as JSON can spell it
    # Found all at once (one archive, halved around what Shift_JIS cannot hold), the
    # same answers as one by one.
    one_by_one = {c: read_back(c) for c in characters}
    _checks._read_back.clear()
    _checks._kept.clear()
    read_back_all(characters[::-1] + ["\udc00", "\0"])
    assert {c: read_back(c) for c in characters} == one_by_one


@pytest.mark.parametrize("source, translation, problems", [
    ("a", "b", []),
    ("a", "🙂 x \ue000", ["'🙂' (U+1F642), '\\ue000' (U+E000) cannot be written in Shift_JIS"]),
    ("100", "100¥ −5 ‾", ["'¥' (U+00A5) would be read back as '\\' (U+005C)",
                          "'−' (U+2212) would be read back as '－' (U+FF0D)",
                          "'‾' (U+203E) would be read back as '~' (U+007E)"]),
    ("\x1b[1m\x1b[0m\n\t", "\x1b[1m\x07", ["control character '\\x1b' (U+001B) missing "
                                           "(the source has 2, the translation 1)",
                                           "control character '\\x07' (U+0007) added"]),
    ("{name} has %d", "%d {nom} {name}{name}", ['placeholder "{name}" added (the source has 1, '
                                          'the translation 2)', 'placeholder "{nom}" added']),
    ("%s and %d", "%s", ['placeholder "%d" missing']),
    ("café", "CAFÉ", []),   # with the charmap below: É is written as E
])
def test_check_text(source, translation, problems):
    charmap = read_charmap("É\tE\né\te\n".encode())
    placeholders = [re.compile(r"\{\w+\}"), re.compile(r"%[sd]")]
    assert check_text(source, translation, placeholders, charmap) == problems
    assert apply_charmap("CAFÉ café", charmap) == "CAFE cafe"


@pytest.mark.parametrize("data, message", [
    ("é\t🙂\n", "line 1: the replacement of 'é' (U+00E9): '🙂' (U+1F642) cannot be written"),
    ("é\t¥\n", "line 1: the replacement of 'é' (U+00E9): '¥' (U+00A5) would be read back"),
    ("# comment\n\nab\tc\n", 'line 3: expected one character before the tab, found "ab"'),
    ("a\tb\nc\n", 'line 2: expected CHARACTER<TAB>REPLACEMENT, found "c"'),
    ("a\tb\r\na\tc\r\n", "line 2: 'a' (U+0061) is mapped twice (first at line 1)"),
])
def test_bad_charmaps_name_the_line(data, message):
    with pytest.raises(CharmapError) as error:
        read_charmap(data.encode())
    assert str(error.value).startswith(message), str(error.value)
