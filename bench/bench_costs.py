"""The cost of every BinArchive method as the archive grows, as a Markdown table.

Run against the installed module (`python3 -m pip install .` first):

    python3 bench/bench_costs.py            # 1k, 10k and 100k entries, seconds
    python3 bench/bench_costs.py --quick    # 1k and 10k entries

An archive of N entries has a data region of 64 x N bytes, N/2 data pointers, N/4
text entries (each its own string) and N/4 labels. Calls that touch one slot are
timed over a batch of 1,000 different addresses and shown per call; calls that take
the whole archive are timed one at a time. Each time is the best of several runs.
The floor rows are measured in the same run, on the same data, so the table stays
comparable when the machine is busy: a method's time divided by its floor is the
number to compare between runs. The output is the table of docs/api.md.
"""
import argparse
import ctypes
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import best_of, label_name, make_archive, text_value  # noqa: E402

import orvane_core  # noqa: E402

BinArchive = orvane_core.BinArchive
BATCH = 1000


class Case:
    """One archive of n entries and the addresses the timed calls use."""

    def __init__(self, n):
        self.n = n
        self.file = make_archive(64 * n, pointers=n // 2, texts=n // 4, labels=n // 4)
        self.data = self.file.data
        self.archive = BinArchive.from_bytes(self.data)
        size = self.archive.size()
        step = max(4, (size // BATCH) & ~3)
        self.slots = list(range(0, step * BATCH, step))[:BATCH]
        self.pointers = list(self.file.pointer_addresses)[:BATCH]
        self.texts = list(self.file.text_addresses)[:BATCH]
        self.labels = list(self.file.label_addresses)[:BATCH]
        self.buffer_original = self.archive.read_bytes(0, size)
        self.buffer = bytearray(self.buffer_original)
        self.dict = {a: a + 4 for a in self.file.pointer_addresses}


def per_call(fn, addresses, repeats, restore=None):
    def batch():
        for address in addresses:
            fn(address)

    best = float("inf")
    for _ in range(repeats):
        best = min(best, best_of(batch, 1))
        if restore is not None:
            restore()
    return best / len(addresses)


def once(fn, repeats, restore=None):
    best = float("inf")
    for _ in range(repeats):
        best = min(best, best_of(fn, 1))
        if restore is not None:
            restore()
    return best


def measurements(c, repeats):
    """(row name, seconds) for every method and floor, on case c."""
    a = c.archive
    rows = []

    def add(name, seconds):
        rows.append((name, seconds))

    pointer_dest = {p: a.read_pointer(p) for p in c.pointers}
    text_value_of = {t: a.read_string(t) for t in c.texts}
    label_names = {l: a.read_labels(l) for l in c.labels}

    def restore_pointers():
        for p, d in pointer_dest.items():
            a.write_pointer(p, d)

    def restore_texts():
        for t, v in text_value_of.items():
            a.write_string(t, v)

    def restore_labels():
        for l, names in label_names.items():
            a.write_labels(l, names)

    add("BinArchive()", per_call(lambda _: BinArchive(), c.slots, repeats))
    add("from_bytes", once(lambda: BinArchive.from_bytes(c.data), repeats))
    add("  floor: copy of the input", once(lambda: bytes(memoryview(c.data)), repeats))
    add("size", per_call(lambda _: a.size(), c.slots, repeats))
    add("serialize", once(a.serialize, repeats))
    add("  floor: list(file bytes)", once(lambda: list(c.data), repeats))
    for name in ("read_f32", "read_u8", "read_u16", "read_u32", "read_i8", "read_i16",
                 "read_i32"):
        add(name, per_call(getattr(a, name), c.slots, repeats))
    add("  floor: struct.unpack_from('<I')",
        per_call(lambda x: struct.unpack_from("<I", c.buffer, x), c.slots, repeats))
    add("read_bytes (16 bytes)", per_call(lambda x: a.read_bytes(x, 16), c.slots, repeats))
    add("read_string", per_call(a.read_string, c.texts, repeats))
    add("read_pointer", per_call(a.read_pointer, c.pointers, repeats))
    add("  floor: dict.get", per_call(c.dict.get, c.pointers, repeats))
    add("read_labels", per_call(a.read_labels, c.labels, repeats))
    add("delete_string", per_call(a.delete_string, c.texts, repeats, restore_texts))
    add("delete_pointer", per_call(a.delete_pointer, c.pointers, repeats, restore_pointers))
    add("delete_labels", per_call(a.delete_labels, c.labels, repeats, restore_labels))
    add("delete_label", per_call(lambda x: a.delete_label(x, 0), c.labels, repeats,
                                 restore_labels))
    for name, value in (("write_f32", 1.5), ("write_u8", 7), ("write_u16", 7),
                        ("write_u32", 7), ("write_i8", -7), ("write_i16", -7),
                        ("write_i32", -7)):
        method = getattr(a, name)
        add(name, per_call(lambda x, m=method, v=value: m(x, v), c.slots, repeats))
    add("  floor: struct.pack_into('<I')",
        per_call(lambda x: struct.pack_into("<I", c.buffer, x, 7), c.slots, repeats))
    add("write_bytes (16 bytes)",
        per_call(lambda x: a.write_bytes(x, b"0123456789abcdef"), c.slots, repeats))
    a.write_bytes(0, bytes(c.buffer_original))
    replacement = text_value(0)
    add("write_string", per_call(lambda x: a.write_string(x, replacement), c.texts, repeats,
                                 restore_texts))
    add("write_pointer", per_call(lambda x: a.write_pointer(x, 8), c.pointers, repeats,
                                  restore_pointers))
    add("write_labels", per_call(lambda x: a.write_labels(x, ["NAME"]), c.labels, repeats,
                                 restore_labels))
    add("write_label", per_call(lambda x: a.write_label(x, "EXTRA"), c.labels, repeats,
                                restore_labels))
    size = a.size()
    add("allocate_at_end (4 bytes)",
        per_call(lambda _: a.allocate_at_end(4), c.slots, repeats,
                 lambda: a.deallocate(size, a.size() - size)))
    add("allocate (16 bytes at 0)", once(lambda: a.allocate(0, 16), repeats,
                                          lambda: a.deallocate(0, 16)))
    # Sixteen fresh zero bytes to remove, so that no entry is dropped.
    a.allocate(0, 16)
    add("deallocate (16 bytes at 0)", once(lambda: a.deallocate(0, 16), repeats,
                                            lambda: a.allocate(0, 16)))
    a.deallocate(0, 16)
    region = (ctypes.c_char * (size + 16)).from_buffer(bytearray(size + 16))
    base = ctypes.addressof(region)
    add("  floor: memmove of the data region",
        once(lambda: ctypes.memmove(base + 16, base, size), repeats))
    add("find_label_address (no match)", once(lambda: a.find_label_address("LABEL_XXXXXXX"),
                                              repeats))
    all_names = [label_name(j) for j in range(len(c.file.label_addresses))]
    add("  floor: `in` over a list of the names",
        once(lambda: "LABEL_XXXXXXX" in all_names, repeats))
    assert bytes(a.serialize()) == c.data, "the benchmark changed the archive"
    return rows


def duration(seconds):
    if seconds < 1e-3:
        return "%.2f µs" % (seconds * 1e6) if seconds < 1e-5 else "%.1f µs" % (seconds * 1e6)
    return "%.2f ms" % (seconds * 1e3) if seconds < 1e-2 else "%.1f ms" % (seconds * 1e3)


def count(n):
    return "%dk" % (n // 1000) if n % 1000 == 0 else str(n)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="1k and 10k entries only")
    parser.add_argument("--repeats", type=int, default=9)
    args = parser.parse_args()
    sizes = [1000, 10000] if args.quick else [1000, 10000, 100000]
    measurements(Case(sizes[0]), 1)  # warm-up: caches, allocator, clock speed
    columns = []
    for n in sizes:
        case = Case(n)
        columns.append((case, measurements(case, args.repeats)))
    header = ["method"] + ["%s entries, %s" % (count(c.n), "%d KiB" % (len(c.data) // 1024))
                           for c, _ in columns]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for i, (name, _) in enumerate(columns[0][1]):
        cells = [duration(rows[i][1]) for _, rows in columns]
        label = name.strip()
        label = "*%s*" % label if name.startswith("  ") else "`%s`" % label
        print("| " + " | ".join([label] + cells) + " |")
    print()
    print("Python %s; per-call rows over %d addresses; best of %d." % (
        sys.version.split()[0], BATCH, args.repeats))


if __name__ == "__main__":
    main()
