"""from_bytes: header checks and their order, slot checks on both tables, string reads,
and what the loaded archive holds."""
import struct

import pytest

from conftest import build_archive, load, raw_archive, write

HEADER_SHORT = "Input is not a large enough to contain an archive header."
BAD_FILE_SIZE = "Incorrect file size in archive header."
TABLES_BEYOND = (
    "Archive is not large enough to hold the amount of data and metadata indicated in the header."
)
FELL_OUT = "Fell out of buffer while reading shift-jis string."
DECODE_ERROR = "Error decoding shift-jis string."


def load_error(data):
    with pytest.raises(ValueError) as info:
        load(data)
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    return info.value.args[0]


def u32(value):
    return struct.pack("<I", value)


# --- header -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", HEADER_SHORT),
        (bytes(31), HEADER_SHORT),
        # a header that claims 31 bytes is still too short to be read at all
        (u32(31) + bytes(27), HEADER_SHORT),
        (raw_archive(file_size=33), BAD_FILE_SIZE),
        (raw_archive(file_size=31), BAD_FILE_SIZE),
        (raw_archive(file_size=0), BAD_FILE_SIZE),
        (raw_archive(data=bytes(8), file_size=32), BAD_FILE_SIZE),
        # the size field is checked before the tables it would have to hold
        (raw_archive(data_size=0xFFFFFFFF, file_size=0), BAD_FILE_SIZE),
        (raw_archive(data_size=1), TABLES_BEYOND),
        (raw_archive(pointer_count=1), TABLES_BEYOND),
        (raw_archive(label_count=1), TABLES_BEYOND),
        (raw_archive(data=bytes(8), pointer_table=[0], data_size=9), TABLES_BEYOND),
        (raw_archive(pointer_table=[0, 0], label_count=1), TABLES_BEYOND),
        # sums that wrap around in 32 bits to exactly the input length
        (raw_archive(data_size=0xFFFFFFFC, pointer_count=1), TABLES_BEYOND),
        (raw_archive(pointer_count=0x40000000), TABLES_BEYOND),
        (raw_archive(label_count=0x20000000), TABLES_BEYOND),
        (raw_archive(data_size=0xFFFFFFE0), TABLES_BEYOND),
        (
            raw_archive(data_size=0xFFFFFFFF, pointer_count=0xFFFFFFFF, label_count=0xFFFFFFFF),
            TABLES_BEYOND,
        ),
        # tables beyond the input win over a bad entry inside them
        (raw_archive(data=bytes(4), pointer_table=[8], label_count=1), TABLES_BEYOND),
    ],
)
def test_header_failures(data, message):
    assert load_error(data) == message


@pytest.mark.parametrize("reserved", [bytes(16), b"\xff" * 16, bytes(range(16))])
def test_header_only_gives_empty_archive_whatever_the_reserved_bytes(reserved):
    archive = load(raw_archive(reserved=reserved))
    assert archive.size() == 0
    assert write(archive) == u32(32) + bytes(28)


def test_tables_that_end_exactly_at_the_input_end_load():
    # no text region at all: text_start equals the input length
    archive = load(raw_archive(u32(4) + bytes(4), pointer_table=[0, 4]))
    assert archive.read_pointer(0) == 4
    assert archive.read_pointer(4) == 0
    assert archive.size() == 8


# --- slot checks ------------------------------------------------------------------


@pytest.mark.parametrize(
    "data_size, address, message",
    [
        (0x22, 0x20, "Invalid address 0x24 for archive of size 0x22."),
        (0x22, 0x22, "Invalid address 0x22 for archive of size 0x22."),
        (0x22, 0x1E, "Invalid address 0x1E expected 4 byte alignment."),
        (0x22, 0x21, "Invalid address 0x25 for archive of size 0x22."),
        (0x22, 0x01, "Invalid address 0x1 expected 4 byte alignment."),
        (58, 60, "Invalid address 0x3C for archive of size 0x3A."),
        (0, 0, "Invalid address 0x0 for archive of size 0x0."),
        (3, 0, "Invalid address 0x4 for archive of size 0x3."),
        (8, 0xFFFFFFFC, "Invalid address 0xFFFFFFFC for archive of size 0x8."),
        (0xAC, 0xAB, "Invalid address 0xAF for archive of size 0xAC."),
    ],
)
def test_bad_slot_addresses(data_size, address, message):
    data = bytes(data_size)
    assert load_error(raw_archive(data, pointer_table=[address])) == message
    # a label row names a slot too, even without a pointer there
    assert load_error(raw_archive(data, label_rows=[(address, 0)], text=b"\0")) == message


def test_first_bad_entry_in_table_order_is_reported():
    data = bytes(16)
    assert load_error(raw_archive(data, pointer_table=[0, 0x14, 0x2])) == (
        "Invalid address 0x14 for archive of size 0x10."
    )
    assert load_error(raw_archive(data, label_rows=[(0, 0), (0x2, 0), (0x14, 0)], text=b"\0")) == (
        "Invalid address 0x2 expected 4 byte alignment."
    )


def test_pointer_table_is_read_before_label_table():
    data = bytes(16)
    file = raw_archive(data, pointer_table=[0x10], label_rows=[(0x3, 0)], text=b"\0")
    assert load_error(file) == "Invalid address 0x10 for archive of size 0x10."


def test_each_pointer_entry_is_finished_before_the_next():
    # entry 0 is a text pointer with bad bytes, entry 1 a bad address: the string wins
    data = u32(8 + 2 * 4) + bytes(4)
    file = raw_archive(data, pointer_table=[0, 0x20], text=b"\xff\0")
    assert load_error(file) == DECODE_ERROR
    file = raw_archive(data, pointer_table=[0x20, 0], text=b"\xff\0")
    assert load_error(file) == "Invalid address 0x20 for archive of size 0x8."


def test_label_name_is_read_before_its_address_is_checked():
    data = bytes(16)
    assert load_error(raw_archive(data, label_rows=[(0x6, 5)], text=b"\0")) == FELL_OUT
    assert load_error(raw_archive(data, label_rows=[(0x6, 0)], text=b"\xff\0")) == DECODE_ERROR
    # and a good name still leaves the address check to fail
    assert load_error(raw_archive(data, label_rows=[(0x6, 0)], text=b"\0")) == (
        "Invalid address 0x6 expected 4 byte alignment."
    )


# --- strings ------------------------------------------------------------------------


def text_pointer_file(value, text):
    """Eight data bytes with one pointer entry at 0 whose slot holds `value`."""
    return raw_archive(u32(value) + bytes(4), pointer_table=[0], text=text)


@pytest.mark.parametrize(
    "value, text, message",
    [
        (12, b"", FELL_OUT),  # value + 32 is the input length
        (13, b"", FELL_OUT),
        (12, b"AB", FELL_OUT),  # the last byte of the input is not a terminator
        (14, b"A\0", FELL_OUT),  # just past the terminator: the end of the input
        (0xFFFFFFFF, b"A\0", FELL_OUT),
        # value + 32 wraps to 0 in 32 bits, where a string would be found
        (0xFFFFFFE0, b"A\0", FELL_OUT),
        (12, b"\xff\0", DECODE_ERROR),
        (12, b"\x81\0", DECODE_ERROR),
        (12, b"A\xa0B\0", DECODE_ERROR),
    ],
)
def test_text_pointer_string_failures(value, text, message):
    assert load_error(text_pointer_file(value, text)) == message


@pytest.mark.parametrize(
    "offset, text, message",
    [
        (2, b"A\0", FELL_OUT),
        (1, b"AB", FELL_OUT),
        (0xFFFFFFFF, b"A\0", FELL_OUT),
        (0, b"\xfd\0", DECODE_ERROR),
    ],
)
def test_label_name_failures(offset, text, message):
    assert load_error(raw_archive(bytes(4), label_rows=[(0, offset)], text=text)) == message


def test_strings_are_read_up_to_the_first_zero_and_unnamed_bytes_are_ignored():
    text = b"junk\0AB\0\0tail\0"
    base = 12 + 4 * 3 + 8 * 3  # the text region, counted from the data region
    archive = load(
        raw_archive(
            u32(base + 5) + u32(base + 8) + u32(base + 6),
            pointer_table=[0, 4, 8],
            label_rows=[(0, 5), (0, 8), (4, 6)],
            text=text,
        )
    )
    assert [archive.read_string(a) for a in (0, 4, 8)] == ["AB", "", "B"]
    assert archive.read_labels(0) == ["AB", ""]
    assert archive.read_labels(4) == ["B"]
    assert archive.read_labels(8) is None


def test_text_pointer_into_the_pointer_table_reads_the_bytes_there():
    # entry 1's address 0x34 ("4\0\0\0") is read as the string of the slot at 0
    data = bytearray(0x40)
    data[0:4] = u32(0x44)
    archive = load(raw_archive(bytes(data), pointer_table=[0, 0x34]))
    assert archive.read_string(0) == "4"
    assert archive.read_pointer(0) is None
    assert archive.read_pointer(0x34) == 0


def test_text_pointer_into_the_label_table_reads_the_bytes_there():
    data = u32(8 + 4 + 4) + bytes(4)  # points at the name offset of the one label row
    file = raw_archive(data, pointer_table=[0], label_rows=[(4, 0x43)], text=bytes(0x44))
    archive = load(file)
    assert archive.read_string(0) == "C"
    assert archive.read_labels(4) == [""]


# --- classification -----------------------------------------------------------------


@pytest.mark.parametrize("value", [0, 4, 7, 8])
def test_slot_value_up_to_data_size_is_a_data_pointer(value):
    archive = load(raw_archive(u32(value) + bytes(4), pointer_table=[0]))
    assert archive.read_pointer(0) == value
    assert archive.read_string(0) is None


def test_slot_value_data_size_plus_one_is_text_at_file_offset_data_size_plus_33():
    # the string starts at the second byte of the pointer table: entry 0x4100 -> 00 41 00 00
    data = bytearray(0x4204)
    data[0x4100:0x4104] = u32(0x4205)
    archive = load(raw_archive(bytes(data), pointer_table=[0x4100]))
    assert archive.read_string(0x4100) == "A"
    assert archive.read_pointer(0x4100) is None


def test_repeated_label_rows_add_names_in_row_order():
    file = build_archive(16, labels=[(8, b"a"), (0, b"x"), (8, b"b"), (8, b"a")])
    archive = load(file)
    assert archive.read_labels(8) == ["a", "b", "a"]
    assert archive.read_labels(0) == ["x"]


def test_repeated_pointer_table_entries_give_one_entry():
    base = 8 + 4 * 4  # data, four pointer entries, no labels
    data = u32(4) + u32(base)
    archive = load(raw_archive(data, pointer_table=[0, 4, 0, 4], text=b"T\0"))
    assert archive.read_pointer(0) == 4
    assert archive.read_string(4) == "T"
    out = write(archive)
    assert struct.unpack_from("<I", out, 8)[0] == 2  # pointer_count
    assert struct.unpack_from("<2I", out, 40) == (0, 4)


def test_slots_keep_the_file_values_after_loading():
    data = bytearray(b"\x11" * 16)
    file = build_archive(
        16, pointers={0: 12}, texts={8: b"T"}, labels=[(4, b"L")], data=bytes(data)
    )
    archive = load(file)
    text_position = struct.unpack_from("<I", file, 32 + 8)[0]
    assert archive.read_u32(0) == 12
    assert archive.read_u32(8) == text_position
    # bytes that no entry names are copied as they stand, a labelled slot included
    assert archive.read_u32(4) == 0x11111111
    assert archive.read_bytes(12, 4) == b"\x11" * 4
