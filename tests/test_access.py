"""Typed reads and writes of the data region: the address check of every width, byte
order, sign and float bit patterns, and that a write touches exactly its own bytes."""
import math

import pytest

from conftest import blank_archive, load, build_archive, snapshot, write

MAX = 0xFFFFFFFFFFFFFFFF


def range_error(address, size):
    return "Invalid address 0x%X for archive of size 0x%X." % (address, size)


def alignment_error(address, alignment):
    return "Invalid address 0x%X expected %d byte alignment." % (address, alignment)


def pattern(size):
    return bytes((0xA0 + i) % 256 for i in range(size))


READS = {1: ["read_u8", "read_i8"], 2: ["read_u16", "read_i16"],
         4: ["read_u32", "read_i32", "read_f32"]}
WRITES = {1: [("write_u8", 0x5A), ("write_i8", -3)],
          2: [("write_u16", 0x5A5A), ("write_i16", -3)],
          4: [("write_u32", 0x5A5A5A5A), ("write_i32", -3), ("write_f32", 2.5)]}

# (width, size, address, expected message or None when the access is allowed)
CHECKS = [
    (1, 0, 0, range_error(0, 0)),
    (1, 0x20, 0x1F, None),
    (1, 0x20, 0x20, range_error(0x20, 0x20)),
    (1, 0x20, 0x11, None),
    (1, 0x20, MAX, range_error(MAX, 0x20)),
    (2, 0, 0, range_error(0, 0)),
    (2, 0x20, 0x1E, None),
    (2, 0x20, 0x1F, range_error(0x21, 0x20)),  # the end, not the address; beats alignment
    (2, 0x20, 0x20, range_error(0x20, 0x20)),
    (2, 0x40, 0x11, alignment_error(0x11, 2)),
    (2, 0x21, 0x1F, alignment_error(0x1F, 2)),
    (2, 0x20, MAX, range_error(MAX, 0x20)),
    (4, 0, 0, range_error(0, 0)),
    (4, 0x20, 0x1C, None),
    (4, 0x20, 0x1D, range_error(0x21, 0x20)),  # size - 3 shows size + 1
    (4, 0x20, 0x1E, range_error(0x22, 0x20)),
    (4, 0x20, 0x1F, range_error(0x23, 0x20)),
    (4, 0x20, 0x20, range_error(0x20, 0x20)),
    (4, 0x40, 0x1D, alignment_error(0x1D, 4)),
    (4, 0x40, 0x1E, alignment_error(0x1E, 4)),
    (4, 0x22, 0x1E, alignment_error(0x1E, 4)),
    (4, 0x1E, 0x1C, range_error(0x20, 0x1E)),
    (4, 3, 0, range_error(4, 3)),
    (4, 0x20, MAX, range_error(MAX, 0x20)),
    (4, 0x20, MAX - 3, range_error(MAX - 3, 0x20)),
]

READ_CASES = [(name, size, address, message)
              for width, size, address, message in CHECKS for name in READS[width]]
WRITE_CASES = [(name, value, size, address, message)
               for width, size, address, message in CHECKS for name, value in WRITES[width]]


@pytest.mark.parametrize("name, size, address, message", READ_CASES)
def test_read_address_check(name, size, address, message):
    archive = blank_archive(size, pattern(size))
    if message is None:
        getattr(archive, name)(address)
        return
    with pytest.raises(ValueError) as error:
        getattr(archive, name)(address)
    assert error.value.args == (message,)


@pytest.mark.parametrize("name, value, size, address, message", WRITE_CASES)
def test_write_address_check(name, value, size, address, message):
    archive = blank_archive(size, pattern(size))
    before = snapshot(archive)
    if message is None:
        getattr(archive, name)(address, value)
        return
    with pytest.raises(ValueError) as error:
        getattr(archive, name)(address, value)
    assert error.value.args == (message,)
    assert snapshot(archive) == before


# (size, address, amount, expected message or None)
BYTE_RUN_CHECKS = [
    (0x20, 0, 0, None),
    (0x20, 0x1F, 0, None),
    (0x20, 0x20, 0, range_error(0x20, 0x20)),
    (0, 0, 0, range_error(0, 0)),
    (0x20, 0x1F, 1, None),
    (0x20, 0x1D, 3, None),  # byte runs need no alignment
    (0x20, 0x1E, 3, range_error(0x21, 0x20)),
    (0x20, 0, 0x20, None),
    (0x20, 0, 0x21, range_error(0x21, 0x20)),
    (0x20, 0x21, 1, range_error(0x21, 0x20)),
    (0x20, MAX, 1, range_error(MAX, 0x20)),
]


@pytest.mark.parametrize("size, address, amount, message", BYTE_RUN_CHECKS + [
    # the true end, not one wrapped around 2**64
    (0x20, 0x10, 2**64 - 1, "Invalid address 0x1000000000000000F for archive of size 0x20."),
    (0x20, 1, 2**64 - 1, "Invalid address 0x10000000000000000 for archive of size 0x20."),
    (0x20, 0x1F, MAX, "Invalid address 0x1000000000000001E for archive of size 0x20."),
    (0x20, 0x10, 2**63, range_error(2**63 + 0x10, 0x20)),
])
def test_read_bytes(size, address, amount, message):
    data = pattern(size)
    archive = blank_archive(size, data)
    if message is None:
        result = archive.read_bytes(address, amount)
        assert type(result) is bytes
        assert result == data[address:address + amount]
        return
    with pytest.raises(ValueError) as error:
        archive.read_bytes(address, amount)
    assert error.value.args == (message,)


@pytest.mark.parametrize("size, address, amount, message", BYTE_RUN_CHECKS)
def test_write_bytes(size, address, amount, message):
    archive = blank_archive(size, pattern(size))
    before = snapshot(archive)
    new = bytes(range(1, amount + 1))
    if message is None:
        archive.write_bytes(address, new)
        expected = bytearray(before[0])
        expected[address:address + amount] = new
        assert archive.read_bytes(0, size) == bytes(expected)
        return
    with pytest.raises(ValueError) as error:
        archive.write_bytes(address, new)
    assert error.value.args == (message,)
    assert snapshot(archive) == before


def test_write_bytes_keeps_zero_bytes():
    archive = blank_archive(8, pattern(8))
    archive.write_bytes(2, b"\0\x01\0")
    assert archive.read_bytes(0, 8) == pattern(8)[:2] + b"\0\x01\0" + pattern(8)[5:]


# (method, address, value, the bytes it stores)
WRITTEN = [
    ("write_u8", 5, 0, b"\x00"),
    ("write_u8", 5, 255, b"\xFF"),
    ("write_i8", 5, -1, b"\xFF"),
    ("write_i8", 5, -128, b"\x80"),
    ("write_i8", 5, 127, b"\x7F"),
    ("write_u16", 6, 0x1234, b"\x34\x12"),
    ("write_u16", 6, 0xFFFF, b"\xFF\xFF"),
    ("write_i16", 6, -2, b"\xFE\xFF"),
    ("write_i16", 6, -32768, b"\x00\x80"),
    ("write_u32", 8, 0x12345678, b"\x78\x56\x34\x12"),
    ("write_u32", 8, 0xFFFFFFFF, b"\xFF\xFF\xFF\xFF"),
    ("write_i32", 8, -2, b"\xFE\xFF\xFF\xFF"),
    ("write_i32", 8, -2147483648, b"\x00\x00\x00\x80"),
    ("write_i32", 8, 0x7FFFFFFF, b"\xFF\xFF\xFF\x7F"),
    ("write_f32", 8, 1.0, b"\x00\x00\x80\x3F"),
    ("write_f32", 8, 1, b"\x00\x00\x80\x3F"),
    ("write_f32", 8, -0.0, b"\x00\x00\x00\x80"),
    ("write_f32", 8, 0.1, b"\xCD\xCC\xCC\x3D"),  # rounded to nearest
    ("write_f32", 8, 1e39, b"\x00\x00\x80\x7F"),
    ("write_f32", 8, -1e39, b"\x00\x00\x80\xFF"),
    ("write_f32", 8, float("inf"), b"\x00\x00\x80\x7F"),
    ("write_f32", 8, 3.4028234663852886e38, b"\xFF\xFF\x7F\x7F"),  # largest finite
    ("write_f32", 8, 2.0**128 - 2.0**103, b"\x00\x00\x80\x7F"),  # halfway past it: even
    ("write_f32", 8, 1 + 2.0**-24, b"\x00\x00\x80\x3F"),  # a tie rounds to even (down)
    ("write_f32", 8, 1 + 3 * 2.0**-24, b"\x02\x00\x80\x3F"),  # a tie rounds to even (up)
    ("write_f32", 8, 2.0**-149, b"\x01\x00\x00\x00"),  # smallest subnormal
    ("write_f32", 8, 2.0**-150, b"\x00\x00\x00\x00"),
    ("write_f32", 8, 3 * 2.0**-150, b"\x02\x00\x00\x00"),
]


@pytest.mark.parametrize("name, address, value, stored", WRITTEN)
def test_write_stores_exactly_its_bytes(name, address, value, stored):
    size = 0x10
    archive = blank_archive(size, pattern(size))
    getattr(archive, name)(address, value)
    expected = bytearray(pattern(size))
    expected[address:address + len(stored)] = stored
    assert archive.read_bytes(0, size) == bytes(expected)
    assert archive.size() == size


def test_write_f32_nan_stays_nan():
    archive = blank_archive(4)
    archive.write_f32(0, float("nan"))
    bits = archive.read_u32(0)
    assert bits & 0x7F800000 == 0x7F800000 and bits & 0x7FFFFF != 0
    assert math.isnan(archive.read_f32(0))


# (stored bytes, read method, result)
READ_BACK = [
    (b"\x01\x02\x03\x04", "read_u8", 1),
    (b"\xFF\x02\x03\x04", "read_u8", 255),
    (b"\xFF\x02\x03\x04", "read_i8", -1),
    (b"\x80\x02\x03\x04", "read_i8", -128),
    (b"\x7F\x02\x03\x04", "read_i8", 127),
    (b"\x01\x02\x03\x04", "read_u16", 0x0201),
    (b"\xFE\xFF\x03\x04", "read_u16", 65534),
    (b"\xFE\xFF\x03\x04", "read_i16", -2),
    (b"\x00\x80\x03\x04", "read_i16", -32768),
    (b"\xFF\x7F\x03\x04", "read_i16", 32767),
    (b"\x01\x02\x03\x04", "read_u32", 0x04030201),
    (b"\xFE\xFF\xFF\xFF", "read_u32", 4294967294),
    (b"\xFE\xFF\xFF\xFF", "read_i32", -2),
    (b"\x00\x00\x00\x80", "read_i32", -2147483648),
    (b"\x00\x00\x00\x80", "read_u32", 2147483648),
    (b"\x00\x00\x80\x3F", "read_f32", 1.0),
    (b"\xCD\xCC\xCC\x3D", "read_f32", 0.10000000149011612),  # widened exactly
    (b"\x00\x00\x80\x7F", "read_f32", float("inf")),
    (b"\x00\x00\x80\xFF", "read_f32", float("-inf")),
    (b"\x01\x00\x00\x00", "read_f32", 2.0**-149),
    (b"\xFF\xFF\x7F\x7F", "read_f32", 3.4028234663852886e38),
]


@pytest.mark.parametrize("stored, name, result", READ_BACK)
def test_read_interprets_little_endian_bits(stored, name, result):
    archive = blank_archive(12)
    archive.write_bytes(4, stored)
    value = getattr(archive, name)(4)
    assert type(value) is type(result)
    assert value == result


def test_read_u16_second_half_of_word():
    archive = blank_archive(8, b"\0\0\0\0\x01\x02\x03\x04")
    assert archive.read_u16(6) == 0x0403
    assert archive.read_u8(7) == 4


@pytest.mark.parametrize("stored", [b"\x00\x00\xC0\x7F", b"\x01\x00\x80\x7F", b"\xFF\xFF\xFF\xFF"])
def test_read_f32_nan_patterns(stored):
    archive = blank_archive(4, stored)
    assert math.isnan(archive.read_f32(0))


@pytest.mark.parametrize("write_name, value, read_name, result", [
    ("write_i8", -1, "read_u8", 255),
    ("write_u8", 200, "read_i8", -56),
    ("write_i16", -1, "read_u16", 65535),
    ("write_u16", 40000, "read_i16", -25536),
    ("write_i32", -2, "read_u32", 4294967294),
    ("write_u32", 0x80000001, "read_i32", -2147483647),
    ("write_f32", -2.5, "read_u32", 0xC0200000),
    ("write_u32", 0x40490FDB, "read_f32", 3.1415927410125732),
])
def test_signed_unsigned_and_float_share_bits(write_name, value, read_name, result):
    archive = blank_archive(8)
    getattr(archive, write_name)(4, value)
    assert getattr(archive, read_name)(4) == result


def test_typed_write_at_a_pointer_slot_leaves_the_pointer():
    archive = blank_archive(8)
    archive.write_pointer(0, 4)
    archive.write_string(4, "A")
    archive.write_u32(0, 0xDEADBEEF)
    archive.write_u32(4, 0x11111111)
    assert archive.read_u32(0) == 0xDEADBEEF
    assert archive.read_pointer(0) == 4
    assert archive.read_string(4) == "A"
    out = write(archive)
    # the writer puts the map's values over the slots: the destination, and the
    # text base 8 + 4 * 2 plus the string's offset 0
    assert out[32:40] == b"\x04\x00\x00\x00\x10\x00\x00\x00"
    again = load(out)
    assert again.read_pointer(0) == 4
    assert again.read_string(4) == "A"
    # the archive itself still holds the typed values
    assert archive.read_bytes(0, 8) == b"\xEF\xBE\xAD\xDE\x11\x11\x11\x11"


def test_typed_reads_see_loaded_slot_bytes():
    archive = load(build_archive(8, pointers={0: 8}, texts={4: b"A"}))
    assert archive.read_u32(0) == 8
    assert archive.read_u32(4) == 16  # the string's position in the file, as loaded
    archive.write_pointer(0, 0)
    assert archive.read_u32(0) == 8
