"""serialize: the exact bytes written (layout, table order, string pooling), the checks
that refuse what the file cannot hold, and round trips through from_bytes."""
import json
import random
import struct
import subprocess
import sys

import pytest

import orvane_core
from conftest import archive_from, blank_archive, load, snapshot, write

ENCODE_ERROR = "Error encoding shift-jis string."
UNENCODABLE = "\U0001f600"  # no Shift_JIS form



def header(out):
    return struct.unpack_from("<4I", out, 0)


def u32s(out, offset, count):
    return list(struct.unpack_from("<%dI" % count, out, offset))


def serialize_error(archive):
    with pytest.raises(ValueError) as info:
        archive.serialize()
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    return info.value.args[0]


WORKED_EXAMPLE = bytes.fromhex(
    "3c000000" "08000000" "02000000" "01000000" + "00" * 16
    + "04000000" "1a000000"  # data region: the two slots
    + "00000000" "04000000"  # pointer table
    + "00000000" "00000000"  # label table
    + "4c004100"  # text region: "L", "A"
)


def test_empty_archive_is_32_bytes_and_loads_back():
    out = write(orvane_core.BinArchive())
    assert out == struct.pack("<I", 32) + bytes(28)
    again = load(out)
    assert again.size() == 0
    assert write(again) == out


def test_worked_example_both_directions():
    archive = blank_archive(8)
    archive.write_pointer(0, 4)
    archive.write_string(4, "A")
    archive.write_label(0, "L")
    assert write(archive) == WORKED_EXAMPLE
    loaded = load(WORKED_EXAMPLE)
    assert loaded.size() == 8
    assert contents(loaded) == ({0: 4}, {4: "A"}, {0: ["L"]})
    assert write(loaded) == WORKED_EXAMPLE


def test_the_result_is_a_list_the_caller_owns():
    # The module fills the list's item array itself: the list must still grow, shrink
    # and be freed like any other, with one reference per item.
    archive = blank_archive(8)
    archive.write_bytes(0, bytes([200, 201, 202, 203]))
    archive.write_label(4, "L")
    expected = list(write(archive))
    references = [sys.getrefcount(v) for v in (200, 201)]
    out = archive.serialize()
    assert type(out) is list and out == expected
    out.extend(range(1000))
    del out[:len(expected)]
    out.insert(0, 7)
    assert out.pop(0) == 7 and out == list(range(1000))
    del out
    assert [sys.getrefcount(v) for v in (200, 201)] == references


def test_no_padding_after_an_unaligned_data_region():
    archive = blank_archive(6)
    archive.write_bytes(4, b"\xaa\xbb")
    archive.write_pointer(0, 6)
    archive.write_label(0, "x")
    out = write(archive)
    assert out == (
        struct.pack("<4I", 32 + 6 + 4 + 8 + 2, 6, 1, 1) + bytes(16)
        + struct.pack("<I", 6) + b"\xaa\xbb"
        + struct.pack("<I", 0)  # pointer table at file offset 38
        + struct.pack("<II", 0, 0)
        + b"x\0"
    )


def test_pointer_table_order():
    archive = blank_archive(0x40)
    for address in (0x38, 0x08, 0x2C):
        archive.write_pointer(address, 0x40 - address)
    # "B" goes first into the pool through the label, yet the text groups follow the
    # order in which the text entries (by address) first use each string
    archive.write_label(0, "B")
    for address, value in [(0x30, "A"), (0x20, "B"), (0x10, "A"), (0x3C, "C"), (0x00, "C")]:
        archive.write_string(address, value)
    out = write(archive)
    _, _, pointer_count, label_count = header(out)
    assert (pointer_count, label_count) == (8, 1)
    table = u32s(out, 32 + 0x40, 8)
    assert table == [0x08, 0x2C, 0x38, 0x00, 0x3C, 0x10, 0x30, 0x20]
    text_base = 0x40 + 4 * 8 + 8
    region = out[32 + text_base :]
    assert region == b"B\0C\0A\0"
    slot = lambda address: struct.unpack_from("<I", out, 32 + address)[0]  # noqa: E731
    assert [slot(a) - text_base for a in (0x00, 0x10, 0x20, 0x30, 0x3C)] == [2, 4, 0, 4, 2]
    assert [slot(a) for a in (0x08, 0x2C, 0x38)] == [0x38, 0x14, 0x08]


def test_label_table_by_address_then_list_order():
    archive = blank_archive(16)
    archive.write_labels(12, ["z", "y"])
    archive.write_labels(0, ["c", "a", "b"])
    archive.write_labels(4, [])  # an empty list writes no row
    out = write(archive)
    assert header(out) == (32 + 16 + 8 * 5 + 10, 16, 0, 5)
    rows = u32s(out, 48, 10)
    assert rows == [0, 0, 0, 2, 0, 4, 12, 6, 12, 8]
    assert out[88:] == b"c\0a\0b\0z\0y\0"
    again = load(out)
    assert again.read_labels(0) == ["c", "a", "b"]
    assert again.read_labels(4) is None
    assert again.read_labels(12) == ["z", "y"]


@pytest.mark.parametrize(
    "labels, texts, region",
    [
        # label names first, then texts; a text equal to a label shares its copy
        ([(0, "t"), (4, "L")], {8: "t", 12: "u"}, b"t\0L\0u\0"),
        # characters, not bytes: both encode to 5C but are different strings
        ([], {0: "\\", 4: "\u00a5", 8: "\\"}, b"\\\0\\\0"),
        ([], {0: "~", 4: "\u203e"}, b"~\0~\0"),
        # the empty string is one 0x00 byte, pooled like any other
        ([(0, ""), (4, "")], {8: "", 12: ""}, b"\0"),
        ([(0, "a"), (0, "a")], {}, b"a\0"),
        ([], {0: "\u3042", 4: "\u3042"}, b"\x82\xa0\0"),
    ],
)
def test_string_pool(labels, texts, region):
    archive = blank_archive(16)
    for address, name in labels:
        archive.write_label(address, name)
    for address, value in texts.items():
        archive.write_string(address, value)
    out = write(archive)
    file_size, _, pointer_count, label_count = header(out)
    text_start = 32 + 16 + 4 * pointer_count + 8 * label_count
    assert out[text_start:] == region
    assert file_size == len(out)


def test_shared_label_and_text_copy_have_matching_offsets():
    archive = blank_archive(8)
    archive.write_label(0, "x")
    archive.write_label(0, "shared")
    archive.write_string(4, "shared")
    out = write(archive)
    text_base = 8 + 4 + 16
    name_offset = u32s(out, 32 + 8 + 4, 4)[3]
    assert name_offset == 2
    assert struct.unpack_from("<I", out, 32 + 4)[0] - text_base == name_offset


def test_address_with_both_pointer_and_text():
    archive = blank_archive(8)
    archive.write_pointer(0, 4)
    archive.write_string(0, "T")
    out = write(archive)
    text_base = 8 + 4 * 2
    assert header(out)[2] == 2
    assert u32s(out, 40, 2) == [0, 0]
    assert struct.unpack_from("<I", out, 32)[0] == text_base  # the text pointer, stored last
    again = load(out)
    assert again.read_string(0) == "T"
    assert again.read_pointer(0) is None
    assert write(again) != out  # only one entry comes back


def test_slot_image_replaces_slot_bytes_and_keeps_the_rest():
    archive = blank_archive(12)
    archive.write_bytes(0, b"\x11" * 12)
    archive.write_pointer(4, 0)
    archive.write_label(8, "L")  # a label alone does not touch its slot
    out = write(archive)
    assert out[32:44] == b"\x11" * 4 + bytes(4) + b"\x11" * 4
    # the archive itself is untouched, and writing again gives the same bytes
    assert archive.read_bytes(0, 12) == b"\x11" * 12
    assert write(archive) == out


@pytest.mark.parametrize("destination", [9, 0x1234, 0xFFFFFFFF])
def test_destination_beyond_the_data_is_written_unchanged(destination):
    archive = blank_archive(8)
    archive.write_pointer(4, destination)
    out = write(archive)
    assert struct.unpack_from("<I", out, 36)[0] == destination


@pytest.mark.parametrize(
    "pointers, message",
    [
        ({0: 2 ** 32}, "Pointer destination 0x100000000 at 0x0 does not fit in 32 bits."),
        (
            {8: 2 ** 64 - 1, 4: 0xABCDEF012, 0: 3},
            "Pointer destination 0xABCDEF012 at 0x4 does not fit in 32 bits.",
        ),
    ],
)
def test_destination_that_does_not_fit_in_32_bits(pointers, message):
    archive = blank_archive(12)
    for address, destination in pointers.items():
        archive.write_pointer(address, destination)
    # unencodable strings are met later: the destination is reported
    archive.write_label(0, UNENCODABLE)
    archive.write_string(4, UNENCODABLE)
    assert serialize_error(archive) == message
    for address, destination in pointers.items():
        assert archive.read_pointer(address) == destination
    # once the destinations fit, the strings are what fails
    for address in pointers:
        archive.write_pointer(address, 0)
    assert serialize_error(archive) == ENCODE_ERROR


@pytest.mark.parametrize(
    "label, text",
    [
        ("\0", None),
        (None, "\0"),
        ("a\0b", None),
        (None, "a\0"),
        (UNENCODABLE, None),
        (None, "ok" + UNENCODABLE),
        ("\0", UNENCODABLE),
        (UNENCODABLE, "\0"),
        ("\ue000", None),  # private use: readable from a file, not writable
    ],
)
def test_unwritable_strings(label, text):
    archive = blank_archive(8)
    archive.write_label(0, "fine")
    if label is not None:
        archive.write_label(0, label)
    if text is not None:
        archive.write_string(4, text)
    assert serialize_error(archive) == ENCODE_ERROR
    archive.delete_labels(0)
    archive.delete_string(4)
    assert write(archive) == struct.pack("<4I", 40, 8, 0, 0) + bytes(24)


def test_same_contents_give_same_bytes_whatever_the_insertion_order():
    rng = random.Random(1234)
    size = 0x400
    slots = rng.sample(range(0, size, 4), 120)
    # pointer and text slots kept apart, so that the file also loads back unchanged
    pointers = {a: rng.randrange(size + 1) for a in slots[:60]}
    texts = {a: rng.choice(["", "a", "bb", "\u3042", "x\\"]) for a in slots[60:]}
    labels = {
        a: [rng.choice("abcdef") for _ in range(rng.randrange(4))] for a in rng.sample(slots, 60)
    }
    outputs = set()
    for _ in range(4):
        archive = blank_archive(size)
        steps = (
            [("p", a) for a in pointers] + [("t", a) for a in texts] + [("l", a) for a in labels]
        )
        rng.shuffle(steps)
        for kind, address in steps:
            if kind == "p":
                archive.write_pointer(address, pointers[address])
            elif kind == "t":
                archive.write_string(address, texts[address])
            else:
                archive.write_labels(address, labels[address])
        outputs.add(write(archive))
        outputs.add(write(load(write(archive))))
    assert len(outputs) == 1


# --- property: written files load back to the same contents and the same bytes -------

try:
    from hypothesis import given, settings
    from hypothesis import strategies as st
except ImportError:  # pragma: no cover - the CI installs it
    given = None

# characters whose Shift_JIS form reads back as the same character
ROUND_TRIP_TEXT = "".join(chr(c) for c in range(1, 0x80)) + "\u3042\u30a2\uff61\uff9f\u4e00"


def slot_addresses(size):
    return range(0, size - 3, 4)


def contents(archive):
    return snapshot(archive)[1:]


if given is not None:

    @st.composite
    def archives(draw):
        size = draw(st.integers(0, 48))
        data = draw(st.binary(min_size=size, max_size=size))
        slots = list(slot_addresses(size))
        strings = st.text(alphabet=ROUND_TRIP_TEXT, max_size=4)
        pick = st.sampled_from(slots) if slots else st.nothing()
        pointers = draw(st.dictionaries(pick, st.integers(0, size), max_size=6)) if slots else {}
        texts = draw(st.dictionaries(pick, strings, max_size=6)) if slots else {}
        labels = (
            draw(st.dictionaries(pick, st.lists(strings, max_size=3), max_size=6)) if slots else {}
        )
        return size, data, pointers, texts, labels

    @settings(max_examples=100, deadline=None)
    @given(archives())
    def test_round_trip(description):
        size, data, pointers, texts, labels = description
        archive = archive_from(data, pointers, texts, labels)
        assert contents(archive) == (pointers, texts, labels)

        out = write(archive)
        assert len(out) == header(out)[0]
        again = load(out)
        if set(pointers) & set(texts):
            # such a slot comes back with its text only; from then on the file is stable
            out = write(again)
            assert write(load(out)) == out
        else:
            assert write(again) == out
        assert again.size() == size
        expected_pointers = {a: d for a, d in pointers.items() if a not in texts}
        expected_labels = {a: names for a, names in labels.items() if names}
        assert contents(again) == (expected_pointers, texts, expected_labels)
        # outside the slots of pointers and texts the data comes back as it was
        written_slots = set(pointers) | set(texts)
        for address in range(size):
            if address - address % 4 not in written_slots:
                assert again.read_u8(address) == data[address]

else:

    def test_round_trip():
        pytest.skip("hypothesis is not installed")


TOO_LARGE = "Archive is too large to write: a file holds at most 0xFFFFFFFF bytes."
# Run in a child: the data region alone takes 4 GiB, and a machine without that memory
# skips the test instead of losing the whole run to the out-of-memory killer.
_NEAR_FOUR_GIB = r"""
import json, sys
import orvane_core
a = orvane_core.BinArchive()
try:
    a.allocate_at_end(2 ** 32 - 64)
except (MemoryError, ValueError):
    print("null"); sys.exit(0)
bad = sys.argv[1]
outcomes = []
for labels, texts in json.loads(sys.argv[2]):
    a.write_labels(0, labels)
    for address, text in texts:
        a.write_string(address, text)
    try:
        a.serialize()
        outcomes.append(None)
    except ValueError as e:
        outcomes.append(str(e))
    for address, text in texts:
        a.write_string(address, None)
print(json.dumps(outcomes))
"""


def test_the_file_format_bounds_what_serialize_writes():
    # header + data region come to 2^32 - 32; each label row adds 8, each text pointer 4.
    cases = [
        # The tables alone reach 2^32: nothing is encoded, the unencodable names unseen.
        ([UNENCODABLE] * 4, [], TOO_LARGE),
        # 2^32 - 16 before the text region: 15 characters and the terminator reach it.
        (["a" * 15, UNENCODABLE], [], TOO_LARGE),
        (["a" * 14, UNENCODABLE], [], ENCODE_ERROR),
        # Labels first, then texts: the text that passes the bound stops the call.
        (["aaa"], [(4, "b" * 15), (8, UNENCODABLE)], TOO_LARGE),
        (["aaa"], [(4, "b" * 10), (8, UNENCODABLE)], ENCODE_ERROR),
    ]
    done = subprocess.run(
        [sys.executable, "-c", _NEAR_FOUR_GIB, UNENCODABLE,
         json.dumps([[labels, texts] for labels, texts, _ in cases])],
        stdout=subprocess.PIPE, universal_newlines=True)
    if done.returncode < 0 or done.stdout.strip() == "null":
        pytest.skip("needs 4 GiB of memory")
    assert done.returncode == 0
    assert json.loads(done.stdout) == [message for _, _, message in cases]
