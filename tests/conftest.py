"""Shared helpers: raw archive files built byte by byte, independent of the module."""
import ctypes
import struct

import pytest

orvane_core = pytest.importorskip("orvane_core")

HEADER = 32


def raw_archive(data=b"", pointer_table=(), label_rows=(), text=b"", file_size=None,
                data_size=None, pointer_count=None, label_count=None, reserved=bytes(16)):
    """Lays out a file exactly as given: header, data, pointer table, label rows, text.

    Header fields default to the true values; pass any of them to lie in the header.
    """
    pointer_table = list(pointer_table)
    label_rows = list(label_rows)
    body = bytes(data)
    body += b"".join(struct.pack("<I", a) for a in pointer_table)
    body += b"".join(struct.pack("<II", a, n) for a, n in label_rows)
    body += bytes(text)
    total = HEADER + len(body)
    header = struct.pack(
        "<IIII",
        total if file_size is None else file_size,
        len(data) if data_size is None else data_size,
        len(pointer_table) if pointer_count is None else pointer_count,
        len(label_rows) if label_count is None else label_count,
    )
    return header + bytes(reserved) + body


def build_archive(data_size, pointers=None, texts=None, labels=None, data=None):
    """A well-formed file from a description.

    pointers: {address: destination} stored in the slots (destination <= data_size);
    texts: {address: raw string bytes without terminator}; labels: [(address, raw name
    bytes)]. Strings are laid out in the text region in the given order, unpooled.
    """
    pointers = dict(pointers or {})
    texts = dict(texts or {})
    labels = list(labels or [])
    buf = bytearray(data if data is not None else bytes(data_size))
    assert len(buf) == data_size
    entries = list(pointers) + list(texts)
    text_base = data_size + 4 * len(entries) + 8 * len(labels)
    region = bytearray()
    rows = []
    for address, name in labels:
        rows.append((address, len(region)))
        region += name + b"\0"
    for address, dest in pointers.items():
        struct.pack_into("<I", buf, address, dest)
    for address, raw in texts.items():
        struct.pack_into("<I", buf, address, text_base + len(region))
        region += raw + b"\0"
    return raw_archive(bytes(buf), entries, rows, bytes(region))


def load(data):
    return orvane_core.BinArchive.from_bytes(bytes(data))


def write(archive):
    return bytes(archive.serialize())


@pytest.fixture
def BinArchive():
    return orvane_core.BinArchive


def blank_archive(size, data=None):
    """An archive made through the editing methods only: `size` data bytes, no entries."""
    archive = orvane_core.BinArchive()
    archive.allocate_at_end(size)
    if data is not None:
        assert len(data) == size
        if size:
            archive.write_bytes(0, bytes(data))
    return archive


def archive_from(data, pointers, texts, labels):
    """An archive made through the editing methods from {address: value} dicts."""
    archive = blank_archive(len(data), data)
    for address, destination in pointers.items():
        archive.write_pointer(address, destination)
    for address, text in texts.items():
        archive.write_string(address, text)
    for address, names in labels.items():
        archive.write_labels(address, names)
    return archive


def snapshot(archive):
    """Everything a script can observe of an archive: (data, pointers, texts, labels).

    There is no listing method, so every slot address is asked; keep archives small.
    """
    size = archive.size()
    data = archive.read_bytes(0, size) if size else b""
    pointers, texts, labels = {}, {}, {}
    for address in range(0, size - 3, 4):
        pointer = archive.read_pointer(address)
        if pointer is not None:
            pointers[address] = pointer
        text = archive.read_string(address)
        if text is not None:
            texts[address] = text
        names = archive.read_labels(address)
        if names is not None:
            labels[address] = names
    return data, pointers, texts, labels


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


def _heap_meter():
    """A function giving the bytes malloc has handed out and not yet got back, or None.

    Under AddressSanitizer its own counter (freed memory waits in quarantine there, so
    the process size says little); otherwise glibc's mallinfo2."""
    process = ctypes.CDLL(None)
    asan = getattr(process, "__sanitizer_get_current_allocated_bytes", None)
    if asan is not None:
        asan.restype = ctypes.c_size_t
        return asan
    mallinfo2 = getattr(process, "mallinfo2", None)
    if mallinfo2 is None:
        return None
    mallinfo2.restype = _MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


heap_bytes = _heap_meter()
UNDER_ASAN = hasattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes")
