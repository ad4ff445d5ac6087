"""The text codec, driven through from_bytes and serialize, checked exhaustively against
a reference model written here from the WHATWG rules over Debian's copy of the index
(never from the generated C++ table, so a generator fault cannot hide itself)."""

import json
import struct
from pathlib import Path

import pytest

INDEX_PATH = Path("/usr/share/javascript/text-encoding/encoding-indexes.js")
if not INDEX_PATH.exists():
    pytest.skip("needs Debian's libjs-text-encoding index", allow_module_level=True)

import orvane_core  # noqa: E402
from conftest import build_archive, load, raw_archive, write  # noqa: E402

FELL_OUT = "Fell out of buffer while reading shift-jis string."
DECODE_ERROR = "Error decoding shift-jis string."
ENCODE_ERROR = "Error encoding shift-jis string."
UTF8_BOM = b"\xef\xbb\xbf"

# --- reference model ----------------------------------------------------------------


def _load_jis0208():
    text = INDEX_PATH.read_text(encoding="utf-8")
    key = '"jis0208":'
    table, _ = json.JSONDecoder().raw_decode(text, text.index(key) + len(key))
    return table


JIS0208 = _load_jis0208()
SHIFT_JIS_POINTER = {}
for _pointer, _cp in enumerate(JIS0208):
    if _cp is not None and not 8272 <= _pointer <= 8835:
        SHIFT_JIS_POINTER.setdefault(_cp, _pointer)


def _ref_shift_jis_decode(b):
    out, i = [], 0
    while i < len(b):
        lead = b[i]
        if lead <= 0x80:
            out.append(chr(lead))
        elif 0xA1 <= lead <= 0xDF:
            out.append(chr(0xFF61 - 0xA1 + lead))
        elif (0x81 <= lead <= 0x9F or 0xE0 <= lead <= 0xFC) and i + 1 < len(b):
            trail = b[i + 1]
            if not (0x40 <= trail <= 0x7E or 0x80 <= trail <= 0xFC):
                return None
            pointer = (lead - (0x81 if lead < 0xA0 else 0xC1)) * 188 + trail
            pointer -= 0x40 if trail < 0x7F else 0x41
            if 8836 <= pointer <= 10715:
                out.append(chr(0xE000 - 8836 + pointer))
            elif pointer < len(JIS0208) and JIS0208[pointer] is not None:
                out.append(chr(JIS0208[pointer]))
            else:
                return None
            i += 1
        else:
            return None
        i += 1
    return "".join(out)


def _ref_decode(stored):
    """The string read from `stored` (bytes up to the first 0x00), None on error."""
    b = stored.split(b"\0", 1)[0]
    try:
        if b.startswith(UTF8_BOM):
            return b[3:].decode("utf-8")
        if b.startswith(b"\xff\xfe"):
            return b[2:].decode("utf-16-le")
        if b.startswith(b"\xfe\xff"):
            return b[2:].decode("utf-16-be")
    except UnicodeDecodeError:
        return None
    return _ref_shift_jis_decode(b)


def _ref_encode(s):
    out = bytearray()
    for ch in s:
        cp = ord(ch)
        if cp <= 0x80:
            out.append(cp)
        elif cp in (0xA5, 0x203E):
            out.append(0x5C if cp == 0xA5 else 0x7E)
        elif 0xFF61 <= cp <= 0xFF9F:
            out.append(cp - 0xFF61 + 0xA1)
        else:
            pointer = SHIFT_JIS_POINTER.get(0xFF0D if cp == 0x2212 else cp)
            if pointer is None:
                return None
            lead, trail = divmod(pointer, 188)
            out += bytes([lead + (0x81 if lead < 0x1F else 0xC1),
                          trail + (0x40 if trail < 0x3F else 0x41)])
    return bytes(out)


# --- archive plumbing ---------------------------------------------------------------


def _strings_archive(stored):
    """One text entry per stored byte string, slots 0, 4, ... in order."""
    return build_archive(4 * len(stored), texts={4 * i: b for i, b in enumerate(stored)})


def _text_region(file_bytes):
    _, data_size, pointer_count, label_count = struct.unpack_from("<4I", file_bytes)
    return file_bytes[32 + data_size + 4 * pointer_count + 8 * label_count:]


def _error_of(call, *args):
    try:
        call(*args)
    except ValueError as e:
        return str(e)
    return None


def _load_error(file_bytes):
    return _error_of(load, file_bytes)


def _pooled(strings):
    """The text region the writer must produce for these text entries in this order."""
    seen = {}
    for s in strings:
        seen.setdefault(s, _ref_encode(s) + b"\0")
    return b"".join(seen.values())


def _assert_none_wrong(wrong):
    assert not wrong, f"{len(wrong)} wrong; first ones: {wrong[:10]}"


def _check_decodes(stored_strings):
    """Loads the valid strings in one archive and each invalid one alone."""
    expected = [_ref_decode(s) for s in stored_strings]
    bad = [s for s, e in zip(stored_strings, expected) if e is None]
    _assert_none_wrong([(s.hex(), err) for s in bad
                        if (err := _load_error(_strings_archive([s]))) != DECODE_ERROR])

    good = [(s, e) for s, e in zip(stored_strings, expected) if e is not None]
    archive = load(_strings_archive([s for s, _ in good]))
    if hasattr(orvane_core.BinArchive, "read_string"):
        got = [(s.hex(), archive.read_string(4 * i), e) for i, (s, e) in enumerate(good)]
        _assert_none_wrong([g for g in got if g[1] != g[2]])
    # Without read_string, a wrong decode still shows where the round trip differs.
    encodable = [(s, e) for s, e in good if _ref_encode(e) is not None]
    archive = load(_strings_archive([s for s, _ in encodable]))
    assert _text_region(write(archive)) == _pooled([e for _, e in encodable])


# --- exhaustive passes ----------------------------------------------------------------

ALL_PAIRS = [bytes([a, b]) for a in range(256) for b in range(256)]


@pytest.mark.slow
@pytest.mark.parametrize("stored", [
    pytest.param([bytes([b]) for b in range(256)], id="every-byte"),
    pytest.param(ALL_PAIRS, id="every-byte-pair"),
    pytest.param([UTF8_BOM + p for p in ALL_PAIRS], id="utf8-bom-pairs"),
    pytest.param([b"\xff\xfe" + p for p in ALL_PAIRS], id="utf16le-bom-units"),
    pytest.param([b"\xfe\xff" + p for p in ALL_PAIRS], id="utf16be-bom-units"),
])
def test_decode_exhaustive(stored):
    _check_decodes(stored)


@pytest.mark.slow
def test_encode_every_bmp_code_point():
    code_points = [c for c in range(1, 0x10000) if not 0xD800 <= c <= 0xDFFF]
    encodable = [chr(c) for c in code_points if _ref_encode(chr(c)) is not None]
    stored = [UTF8_BOM + s.encode("utf-8") for s in encodable]
    archive = load(_strings_archive(stored))
    assert _text_region(write(archive)) == _pooled(encodable)

    unencodable = [c for c in code_points if _ref_encode(chr(c)) is None]
    assert len(unencodable) + len(encodable) == len(code_points)
    wrong = []
    for c in unencodable:
        archive = load(
            _strings_archive([UTF8_BOM + chr(c).encode("utf-8")]))
        if (err := _error_of(archive.serialize)) != ENCODE_ERROR:
            wrong.append((hex(c), err))
    _assert_none_wrong(wrong)


# --- edge cases -----------------------------------------------------------------------


@pytest.mark.parametrize("stored, expected", [
    (b"", ""),
    (UTF8_BOM + b"A", "A"),
    (UTF8_BOM, ""),
    (b"\xff\xfe", ""),
    (b"\xfe\xff", ""),
    (b"\xfe\xff\x00\x41", ""),  # UTF-16 text is cut at its first 0x00 byte
    (UTF8_BOM + b"\xef\xbf\xbd", "\ufffd"),
    (UTF8_BOM + UTF8_BOM + b"A", "\ufeffA"),
    (b"\xff\xfe\xff\xfe\x41\x41", "\ufeff\u4141"),
    (b"\xfe\xff\xfe\xff", "\ufeff"),
    (b"\xff\xfe\xfe\xff", "\ufffe"),
    (b"\xff\xfe\x3d\xd8\x01\xde", "\U0001f601"),
    (b"\xfe\xff\xd8\x3d\xde\x01", "\U0001f601"),
    (UTF8_BOM + b"\xf4\x8f\xbf\xbf", "\U0010ffff"),
    (b"\x5c\x7e\x80\xa1\xdf", "\\~\x80\uff61\uff9f"),
    (b"\xf0\x40\xf9\xfc", "\ue000\ue757"),
    (b"\x81\x7c\x81\x5f", "\uff0d\uff3c"),
    (b"\x41\x00\x81", "A"),
])
def test_decode_edge_cases(stored, expected):
    assert _ref_decode(stored) == expected  # the reference agrees with the hand value
    archive = load(_strings_archive([stored]))
    if hasattr(archive, "read_string"):
        assert archive.read_string(0) == expected


@pytest.mark.parametrize("stored", [
    b"\xff\xfe\x41", b"\xfe\x41", b"\xa0", b"\xfd", b"\xfe", b"\xff", b"\x81", b"\xfc",
    b"A\x9f", b"\xe0\x3f", b"\x81\x7f", b"\x81\xfd", b"\x85\x40",
    UTF8_BOM + b"\xc0\x80", UTF8_BOM + b"\xe0\x80\x80", UTF8_BOM + b"\xed\xa0\x80",
    UTF8_BOM + b"\xf4\x90\x80\x80", UTF8_BOM + b"\xf5\x80\x80\x80", UTF8_BOM + b"\xe3\x81",
    UTF8_BOM + b"\x80", UTF8_BOM + b"\xff\xfe",
    b"\xff\xfe\x3d\xd8", b"\xff\xfe\x01\xdc", b"\xff\xfe\x3d\xd8\x41\x41",
    b"\xfe\xff\xdc\x01", b"\xfe\xff\xd8\x3d\x41", b"\xff\xfe\x41\x41\x41",
    b"\xff\xfe\x01\xdc\x01\xdc", b"\xfe\xff\xdc\x01\xd8\x3d\xde\x01",
])
def test_decode_errors(stored):
    assert _ref_decode(stored) is None
    assert _load_error(_strings_archive([stored])) == DECODE_ERROR


# One slot at 0 holding `value`, pointed at by one pointer entry; text_start - 32 is
# 8 without labels and 16 with one label row.
@pytest.mark.parametrize("value, text, labels", [
    pytest.param(8, b"", (), id="offset-equals-length"),
    pytest.param(11, b"A\0", (), id="offset-past-end"),
    pytest.param(0xFFFFFFFF, b"A\0", (), id="offset-far-past-end"),
    pytest.param(8, b"AB", (), id="no-terminator"),
    pytest.param(8, b"\x81", (), id="invalid-bytes-without-terminator"),
    pytest.param(16, b"A\0", [(0, 2)], id="label-name-offset-at-end"),
    pytest.param(16, b"A\0B", [(0, 2)], id="label-name-without-terminator"),
])
def test_fell_out_of_buffer(value, text, labels):
    file_bytes = raw_archive(struct.pack("<I", value), [0], labels, text)
    assert _load_error(file_bytes) == FELL_OUT


@pytest.mark.parametrize("stored, written", [
    (UTF8_BOM + "\u00a5\u203e\u2212".encode(), b"\x5c\x7e\x81\x7c"),
    (b"\xff\xfe\x42\x30", b"\x82\xa0"),  # U+3042 read through a mark, written as Shift_JIS
    # U+2170's lowest pointer is the NEC copy at EE EF, which the encoder must skip.
    (b"\xee\xef", b"\xfa\x40"),
    (UTF8_BOM + "\u2170".encode(), b"\xfa\x40"),
])
def test_round_trip_rewrites_as_shift_jis(stored, written):
    archive = load(_strings_archive([stored]))
    assert _text_region(write(archive)) == written + b"\0"


@pytest.mark.parametrize("stored", [
    b"\xf0\x40", UTF8_BOM + b"\xe2\x82\xac", b"\xff\xfe\x3d\xd8\x01\xde", UTF8_BOM * 2,
])
def test_loads_but_cannot_serialize(stored):
    archive = load(_strings_archive([stored]))
    assert _error_of(archive.serialize) == ENCODE_ERROR



# --- strings that start inside other strings ----------------------------------------

# Bytes that make segmentation interesting: lead bytes that take ASCII or katakana
# trails, marks, invalid bytes and unmapped pairs.
_RUN_ALPHABET = [0x41, 0x5C, 0x80, 0x81, 0x82, 0x9F, 0xA0, 0xB1, 0xDF, 0xE0, 0xEF, 0xBB,
                 0xBF, 0xFE, 0xFF, 0x40, 0x7F, 0xFC, 0xF0, 0xD8, 0xDC, 0x8E, 0xA4, 0xC3]


def _run_archive(run, offsets, label_offsets=()):
    """Text entries (and label names) at `offsets` inside one terminated run."""
    stored = run + b"\0"
    data_size = 4 * max(len(offsets), 1)
    text_base = data_size + 4 * len(offsets) + 8 * len(label_offsets)
    data = bytearray(data_size)
    for i, o in enumerate(offsets):
        struct.pack_into("<I", data, 4 * i, text_base + o)
    return raw_archive(bytes(data), [4 * i for i in range(len(offsets))],
                       [(0, o) for o in label_offsets], stored)


@pytest.mark.parametrize("seed", range(40))
def test_entries_inside_one_run_decode_like_separate_strings(seed):
    import random
    rng = random.Random(seed)
    run = bytes(rng.choice(_RUN_ALPHABET) for _ in range(rng.randint(1, 48)))
    if seed % 4 == 0:
        run = UTF8_BOM + "aé€😀".encode() + run
    elif seed % 4 == 1:
        run = b"\xff\xfe" + "a€".encode("utf-16-le") + run
    offsets = list(range(len(run) + 1))
    rng.shuffle(offsets)
    expected = {o: _ref_decode(run[o:]) for o in offsets}
    first_bad = next((o for o in offsets if expected[o] is None), None)
    if first_bad is not None:
        assert _load_error(_run_archive(run, offsets)) == DECODE_ERROR
    good = [o for o in offsets if expected[o] is not None]
    a = load(_run_archive(run, good, label_offsets=good))
    assert [a.read_string(4 * i) for i in range(len(good))] == [expected[o] for o in good]
    if good:
        assert a.read_labels(0) == [expected[o] for o in good]
        for o in good:
            assert a.find_label_address(expected[o]) == 0


@pytest.mark.parametrize("run, offsets", [
    (b"\x81\x81" * 8, range(17)),            # two segmentations that never meet
    (b"\x81\x81\x81\x41" * 4, range(17)),    # segmentations that meet at every A
    (UTF8_BOM * 4 + b"x", range(14)),        # every third position is a mark
    (b"\xfe\xff\x00\x41" * 1, [0, 2]),       # UTF-16BE text cut at its own 0x00
])
def test_overlapping_strings_round_trip(run, offsets):
    offsets = list(offsets)
    expected = [_ref_decode(run[o:]) for o in offsets]
    keep = [o for o, e in zip(offsets, expected) if e is not None]
    a = load(_run_archive(run.split(b"\0")[0], keep))
    texts = [a.read_string(4 * i) for i in range(len(keep))]
    assert texts == [_ref_decode(run[o:]) for o in keep]
    # Written back, each distinct string is stored once and loads to the same text.
    if any(_ref_encode(t) is None for t in texts):
        assert _error_of(a.serialize) == ENCODE_ERROR
        return
    again = load(write(a))
    assert [again.read_string(4 * i) for i in range(len(keep))] == texts


# --- text behind each mark: every UTF-8 length, surrogate pairs, shared runs --------

# UTF-16 text cannot hold a unit with a zero byte (that byte ends the string), so its
# characters start at two UTF-8 bytes and its surrogates avoid the xx00 units.
_BEHIND_MARK = {
    "utf-8": (UTF8_BOM, ["A", "\x7f", "\x80", "\u07ff", "\u0800", "\ufeff", "\uffff",
                         "\U00010000", "\U0001f600", "\U0010ffff", "\ud7ff\ue000"]),
    "utf-16-le": (b"\xff\xfe", ["\u0101", "\u07ff", "\u0801", "\ufeff", "\uffff",
                                "\U00010401", "\U0010fc01", "\U00010bff", "\U0010ffff"]),
    "utf-16-be": (b"\xfe\xff", ["\u0101", "\u07ff", "\u0801", "\ufeff", "\uffff",
                                "\U00010401", "\U0010fc01", "\U00010bff", "\U0010ffff"]),
}


@pytest.mark.parametrize("encoding", sorted(_BEHIND_MARK))
def test_text_behind_each_mark(encoding):
    mark, chars = _BEHIND_MARK[encoding]
    pieces = [mark + c.encode(encoding) for c in chars] + [mark]
    assert all(b"\0" not in p for p in pieces)
    # Alone, each piece is decoded at load time.
    alone = load(_strings_archive(pieces))
    assert [alone.read_string(4 * i) for i in range(len(pieces))] == chars + [""]
    # Chained into one run, every piece's mark starts an entry inside it; those are
    # decoded when read, a later mark being ordinary text (U+FEFF).
    run = b"".join(pieces)
    offsets = [sum(map(len, pieces[:i])) for i in range(len(pieces))]
    expected = [run[o + len(mark):].decode(encoding) for o in offsets]
    shared = load(_run_archive(run, offsets, label_offsets=offsets))
    assert [shared.read_string(4 * i) for i in range(len(offsets))] == expected
    assert shared.read_labels(0) == expected
    for text in expected:
        assert shared.find_label_address(text) == 0
    assert shared.find_label_address(expected[0][:-1]) is None
    before = [shared.read_string(4 * i) for i in range(len(offsets))]
    assert _error_of(shared.serialize) == ENCODE_ERROR
    assert [shared.read_string(4 * i) for i in range(len(offsets))] == before


@pytest.mark.parametrize("mark, units", [
    (mark, units)
    for big in (False, True)
    for mark in ([b"\xfe\xff"] if big else [b"\xff\xfe"])
    for units in ([0xDBFF], [0xDC01], [0xDFFF, 0xD801], [0xD801, 0x4141], [0xD801, 0xD801],
                  [0xD801, 0xDC01, 0xDC01], [0x4141, 0xDBFF])
])
def test_broken_surrogates_behind_each_utf16_mark(mark, units):
    big = mark == b"\xfe\xff"
    stored = mark + b"".join(u.to_bytes(2, "big" if big else "little") for u in units)
    assert _ref_decode(stored) is None
    assert _load_error(_strings_archive([stored])) == DECODE_ERROR
    # The same bytes as the tail of a run that a good entry starts inside too.
    good = mark + "\u4141".encode("utf-16-be" if big else "utf-16-le")
    assert _load_error(_run_archive(good + stored, [0, len(good)])) == DECODE_ERROR
    assert _load_error(_run_archive(stored + good, [0, len(stored)])) == DECODE_ERROR
