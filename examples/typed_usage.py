"""Every method of BinArchive once, with the types a caller sees.

Type-checked with `mypy --strict` and `pyright` against the shipped stubs, and run by
the test suite, so the stubs and the module cannot drift apart unnoticed.
"""
from typing import List, Optional

from orvane_core import BinArchive


def build() -> BinArchive:
    archive = BinArchive()
    archive.allocate_at_end(0x40)
    archive.write_u8(0x00, 0xFF)
    archive.write_i8(0x01, -1)
    archive.write_u16(0x02, 0xBEEF)
    archive.write_i16(0x04, -2)
    archive.write_u32(0x08, 0xDEADBEEF)
    archive.write_i32(0x0C, -3)
    archive.write_f32(0x10, 1.5)
    archive.write_bytes(0x14, b"\x01\x02\x03\x04")
    archive.write_pointer(0x18, 0x30)
    archive.write_string(0x1C, "名前")
    archive.write_labels(0x20, ["START", "ENTRY"])
    archive.write_label(0x24, "TABLE")
    return archive


def inspect(archive: BinArchive) -> None:
    size: int = archive.size()
    unsigned: List[int] = [archive.read_u8(0), archive.read_u16(2), archive.read_u32(8)]
    signed: List[int] = [archive.read_i8(1), archive.read_i16(4), archive.read_i32(0x0C)]
    number: float = archive.read_f32(0x10)
    raw: bytes = archive.read_bytes(0x14, 4)
    pointer: Optional[int] = archive.read_pointer(0x18)
    text: Optional[str] = archive.read_string(0x1C)
    labels: Optional[List[str]] = archive.read_labels(0x20)
    where: Optional[int] = archive.find_label_address("TABLE")
    assert size == 0x40
    assert unsigned == [0xFF, 0xBEEF, 0xDEADBEEF] and signed == [-1, -2, -3]
    assert number == 1.5 and raw == b"\x01\x02\x03\x04"
    assert pointer == 0x30 and text == "名前" and labels == ["START", "ENTRY"]
    assert where == 0x24


def edit(archive: BinArchive) -> None:
    archive.allocate(0x18, 8)  # the pointer, the text and the labels move up by 8
    assert archive.read_pointer(0x20) == 0x38
    archive.deallocate(0x18, 8)
    archive.delete_label(0x20, 0)
    archive.delete_labels(0x24)
    archive.delete_pointer(0x18)
    archive.delete_string(0x1C)
    archive.write_string(0x1C)  # no value: deletes, like delete_string
    archive.write_pointer(0x18, None)


def main() -> None:
    archive = build()
    inspect(archive)
    data: bytes = bytes(archive.serialize())
    again = BinArchive.from_bytes(data)
    assert again.read_string(0x1C) == "名前"
    edit(again)
    assert again.read_labels(0x20) == ["ENTRY"] and again.read_labels(0x24) is None
    print("%d bytes, %d after editing" % (len(data), len(again.serialize())))


if __name__ == "__main__":
    main()
