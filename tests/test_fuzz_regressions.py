"""Replays the fuzzers' seed corpus and saved findings (fuzz/) through the Python module.

load inputs: from_bytes loads or refuses with a loader message; a loaded file writes
(or is refused with a writer message) and reads back with the same entries.
edit inputs: decoded exactly as the coding at the top of fuzz/fuzz_edit.cc says; every
operation succeeds or raises ValueError with one of its documented messages, and the
final serialize succeeds or fails with a writer message.

Run as a script with --trace FILE... to print the per-step lines that the C++ target
prints under ORVANE_FUZZ_TRACE; fuzz/run compares the two to keep the decoders in step.
"""
import glob
import os
import re
import struct
import sys

import pytest

orvane_core = pytest.importorskip("orvane_core")
BinArchive = orvane_core.BinArchive

FUZZ = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fuzz")

RANGE = r"Invalid address 0x[0-9A-F]+ for archive of size 0x[0-9A-F]+\."
ALIGN = r"Invalid address 0x[0-9A-F]+ expected [24] byte alignment\."
INDEX = r"Index \d+ out of bounds for bucket of size \d+\."
VALUE = r"Invalid value \d+ expected 4 byte alignment\."
MEMORY = r"Not enough memory to allocate \d+ bytes\."
STRING_READ = [re.escape("Fell out of buffer while reading shift-jis string."),
               re.escape("Error decoding shift-jis string.")]
LOAD = STRING_READ + [RANGE, ALIGN] + [re.escape(m) for m in (
    "Input is not a large enough to contain an archive header.",
    "Incorrect file size in archive header.",
    "Archive is not large enough to hold the amount of data and metadata indicated in the header.",
)]
WRITE = [re.escape("Error encoding shift-jis string."),
         r"Pointer destination 0x[0-9A-F]+ at 0x[0-9A-F]+ does not fit in 32 bits\.",
         re.escape("Archive is too large to write: a file holds at most 0xFFFFFFFF bytes.")]


def inputs(target):
    found = []
    for kind in ("regressions", "corpus"):
        found += sorted(glob.glob(os.path.join(FUZZ, kind, target, "*")))
    return found


def file_id(path):
    return os.path.relpath(path, FUZZ)


def call(allowed, method, *args):
    """Runs one method; returns (result or None, error text or "")."""
    try:
        return method(*args), ""
    except ValueError as e:
        message = str(e)
        assert any(re.fullmatch(p, message) for p in allowed), (method.__name__, args, message)
        return None, message


def carried(text):
    """The three characters that Shift_JIS gives back as another one."""
    return text.replace("\u00a5", "\\").replace("\u203e", "~").replace("\u2212", "\uff0d")


def table_addresses(file):
    """The slot addresses named by a loadable file's pointer table and label rows."""
    data_size, pointer_count, label_count = struct.unpack_from("<III", file, 4)
    at = 32 + data_size
    pointers = list(struct.unpack_from("<%dI" % pointer_count, file, at))
    at += 4 * pointer_count
    labels = [struct.unpack_from("<I", file, at + 8 * j)[0] for j in range(label_count)]
    return pointers, labels


def entries(archive, addresses):
    return {a: (archive.read_pointer(a), archive.read_string(a), archive.read_labels(a))
            for a in addresses}


def check_load(file):
    archive, error = call(LOAD, BinArchive.from_bytes, file)
    if error:
        return
    pointers, labels = table_addresses(file)
    keys = sorted(set(pointers + labels))
    before = entries(archive, keys)
    written, error = call(WRITE, archive.serialize)
    if error:
        return
    written = bytes(written)
    again = BinArchive.from_bytes(written)
    expected = {a: (p, None if t is None else carried(t),
                    None if n is None else [carried(x) for x in n])
                for a, (p, t, n) in before.items()}
    assert entries(again, keys) == expected
    assert again.size() == archive.size()
    rewritten = bytes(again.serialize())
    assert bytes(BinArchive.from_bytes(rewritten).serialize()) == rewritten
    if expected == before:
        assert rewritten == written


@pytest.mark.parametrize("path", inputs("load"), ids=file_id)
def test_load_input(path):
    with open(path, "rb") as f:
        file = f.read()
    check_load(file)
    if len(file) >= 32 and struct.unpack_from("<I", file)[0] != len(file):
        check_load(struct.pack("<I", len(file)) + file[4:])


# The edit coding of fuzz/fuzz_edit.cc.
DICTIONARY = [
    b"", b"A", b"L", b"\\", b"~", b"\xc2\xa5", b"\xe2\x80\xbe", b"\xe2\x88\x92", b"\xef\xbc\x8d",
    b"\xef\xbd\xb1", b"\xe6\x97\xa5\xe6\x9c\xac", b"\xc2\x80", b"\xee\x80\x80", b"\xef\xbb\xbf",
    b"\xf0\x9f\x98\x80", b"\0", b"A\0B", b"\xff", b"\xc3", b"ITEM_TABLE", b"\xe3\x81\x82",
    b"\xe2\x91\xa0", b"\xe2\x85\xb0", b"\xef\xbf\xa2", b"x" * 40,
]
MAX_SIZE = 256 * 1024
HUGE = 1 << 63
TOP = (1 << 64) - 1
OP_NAMES = (
    "read_u8 read_u16 read_u32 read_i8 read_i16 read_i32 read_f32 read_bytes write_u8 write_u16 "
    "write_u32 write_i8 write_i16 write_i32 write_f32 write_bytes read_string read_pointer "
    "read_labels delete_string delete_pointer delete_labels delete_label write_string "
    "write_pointer write_labels write_label find_label_address allocate_at_end allocate "
    "deallocate serialize reload").split()
WIDTHS = {"8": 1, "16": 2, "32": 4}


class Decoder:
    def __init__(self, data):
        self.data = data
        self.pos = 0
        self.ring = []

    def done(self):
        return self.pos >= len(self.data)

    def take(self, width):
        chunk = self.data[self.pos:self.pos + width]
        self.pos += width
        return int.from_bytes(chunk, "little")  # missing bytes are high zero bytes

    def raw(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def remember(self, address):
        self.ring.append(address)
        del self.ring[:-16]

    def address(self, size):
        s, v = self.take(1), self.take(4)
        mode = s % 8
        if mode == 0:
            a = v
        elif mode == 1:
            a = v % (size + 1)
        elif mode == 2:
            a = 4 * (v % (size // 4 + 1))
        elif mode == 3:
            a = (size - v % 16) & TOP
        elif mode == 4:
            a = size + v % 16
        elif mode == 5:
            a = TOP - v % 16
        elif mode == 6:
            a = self.ring[v % len(self.ring)] if self.ring else v % (size + 1)
        else:
            a = 4 * (v % (size // 4 + 1)) + 1 + (s >> 3) % 3
        self.remember(a)
        return a

    def amount(self, size, address):
        s, v = self.take(1), self.take(4)
        return [v % 64, 4 * (v % 64), (size - address + v % 9 - 4) & TOP, v, TOP - v % 64][s % 5]

    def growth(self):
        s, v = self.take(1), self.take(4)
        if s % 4 == 3:
            return HUGE + v if s & 4 else TOP - v
        return [v % 64, 4 * (v % 1024), 4 * (v % 16384)][s % 4]

    def text(self):
        c = self.take(1)
        return DICTIONARY[(c & 0x7F) % 25] if c & 0x80 else self.raw(c)

    def optional_text(self):
        return None if self.take(1) % 4 == 0 else self.text()

    def label_list(self):
        return [self.text() for _ in range(self.take(1) % 4)]

    def index(self):
        b = self.take(1)
        return self.take(8) if b >= 0xF8 else b % 8

    def destination(self, size):
        s, v = self.take(1), self.take(4)
        return [None, v % (size + 1), v, (1 << 32) + v][s % 4]


def hex_bytes(raw):
    return raw.hex() or "-"


def as_str(raw):
    """Python strings cannot hold malformed UTF-8; U+FFFD stands in for it, and is no
    more encodable in Shift_JIS than the bytes it replaces."""
    return raw.decode("utf-8", "replace")


def signed(bits, width):
    return bits - (1 << 8 * width) if bits >> (8 * width - 1) else bits


def replay_edit(data, trace=None):
    emit = trace if trace is not None else (lambda line: None)
    d = Decoder(data)
    seed = bytearray(d.raw(d.take(2)))
    if len(seed) >= 4:
        seed[0:4] = struct.pack("<I", len(seed))
    seed = bytes(seed)
    a, error = call(LOAD, BinArchive.from_bytes, seed)
    emit("load %d -> %s" % (len(seed), error or "ok"))
    if error:
        a = BinArchive()
    else:
        pointers, labels = table_addresses(seed)
        for address in pointers[:8] + labels[:8]:
            d.remember(address)

    def run(line, allowed, method, *args):
        result, error = call(allowed, method, *args)
        emit("%s -> %s" % (line, error or "ok"))
        return result

    def round_trip():
        """(the reloaded archive or None, serialize's error or "")"""
        written, error = call(WRITE, a.serialize)
        if error:
            return None, error
        return call(STRING_READ, BinArchive.from_bytes, bytes(written))[0], ""

    while not d.done():
        name = OP_NAMES[d.take(1) % len(OP_NAMES)]
        method = getattr(a, name, None)
        if name.startswith(("read_u", "read_i", "read_f")):
            address = d.address(a.size())
            run("%s %d" % (name, address), [RANGE, ALIGN], method, address)
        elif name.startswith(("write_u", "write_i", "write_f")):
            width = WIDTHS.get(name[7:], 4)
            address = d.address(a.size())
            bits = d.take(width)
            value = bits
            if name[6] == "i":
                value = signed(bits, width)
            elif name == "write_f32":
                value = struct.unpack("<f", struct.pack("<I", bits))[0]
            run("%s %d %d" % (name, address, bits), [RANGE, ALIGN], method, address, value)
        elif name == "read_bytes":
            address = d.address(a.size())
            amount = d.amount(a.size(), address)
            run("read_bytes %d %d" % (address, amount), [RANGE], method, address, amount)
        elif name == "write_bytes":
            address = d.address(a.size())
            raw = d.raw(d.take(1) % 64)
            run("write_bytes %d %s" % (address, hex_bytes(raw)), [RANGE], method, address, raw)
        elif name in ("read_string", "read_pointer", "read_labels", "delete_string",
                      "delete_pointer", "delete_labels"):
            address = d.address(a.size())
            run("%s %d" % (name, address), [RANGE, ALIGN], method, address)
        elif name == "delete_label":
            address = d.address(a.size())
            index = d.index()
            run("delete_label %d %d" % (address, index), [RANGE, ALIGN, INDEX], method, address,
                index)
        elif name == "write_string":
            address = d.address(a.size())
            raw = d.optional_text()
            shown = "none" if raw is None else hex_bytes(raw)
            value = None if raw is None else as_str(raw)
            run("write_string %d %s" % (address, shown), [RANGE, ALIGN], method, address, value)
        elif name == "write_pointer":
            address = d.address(a.size())
            value = d.destination(a.size())
            shown = "none" if value is None else str(value)
            run("write_pointer %d %s" % (address, shown), [RANGE, ALIGN], method, address, value)
        elif name == "write_labels":
            address = d.address(a.size())
            names = d.label_list()
            line = " ".join(["write_labels %d" % address] + [hex_bytes(n) for n in names])
            run(line, [RANGE, ALIGN], method, address, [as_str(n) for n in names])
        elif name == "write_label":
            address = d.address(a.size())
            raw = d.text()
            run("write_label %d %s" % (address, hex_bytes(raw)), [RANGE, ALIGN], method, address,
                as_str(raw))
        elif name == "find_label_address":
            raw = d.text()
            run("find_label_address %s" % hex_bytes(raw), [], method, as_str(raw))
        elif name in ("allocate_at_end", "allocate"):
            args = (d.address(a.size()),) if name == "allocate" else ()
            amount = d.growth()
            line = " ".join([name] + [str(x) for x in args + (amount,)])
            if amount < HUGE and a.size() + amount > MAX_SIZE:
                emit(line + " -> skipped")
            else:
                run(line, [RANGE, ALIGN, VALUE, MEMORY], method, *(args + (amount,)))
        elif name == "deallocate":
            address = d.address(a.size())
            amount = d.amount(a.size(), address)
            run("deallocate %d %d" % (address, amount), [RANGE, ALIGN, VALUE], method, address,
                amount)
        elif name == "serialize":
            emit("serialize -> %s" % (round_trip()[1] or "ok"))
        else:
            reloaded, error = round_trip()
            emit("reload -> %s" % (error or ("ok" if reloaded is not None else "not loaded")))
            if reloaded is not None:
                a = reloaded
    error = call(WRITE, a.serialize)[1]
    emit("end -> %s" % (error or "ok"))


@pytest.mark.parametrize("path", inputs("edit"), ids=file_id)
def test_edit_input(path):
    with open(path, "rb") as f:
        replay_edit(f.read())


def test_corpus_is_there():
    # An empty glob would make the replays above pass vacuously. The source
    # distribution ships the saved findings but not the seed corpus.
    if not os.path.isdir(os.path.join(FUZZ, "corpus")):
        pytest.skip("no seed corpus here (a source distribution leaves it out)")
    assert len(inputs("load")) >= 10 and len(inputs("edit")) >= 10


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] != "--trace":
        sys.exit("usage: test_fuzz_regressions.py --trace FILE...")
    for path in sys.argv[2:]:
        with open(path, "rb") as f:
            replay_edit(f.read(), print)
        print("====")
