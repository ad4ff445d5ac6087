#!/usr/bin/env python3
"""Writes the fuzzers' seed corpus: fuzz/corpus/load/ and fuzz/corpus/edit/.

Run from anywhere with the module installed: python3 fuzz/make_corpus.py
The output is deterministic and committed; rerun after changing this script.

load/: valid archives from the module's own writer (so the seeds follow the format
exactly), the worked example, and hand-laid files the writer never produces:
byte-order-mark strings, repeated table entries, strings read from inside the tables.
edit/: a seed archive followed by operations, in the coding documented at the top of
fuzz/fuzz_edit.cc.
"""
import os
import shutil
import struct
import sys

import orvane_core

HERE = os.path.dirname(os.path.abspath(__file__))

WORKED_EXAMPLE = bytes.fromhex(
    "3c000000080000000200000001000000" + "00" * 16 + "040000001a000000"
    "0000000004000000" "0000000000000000" "4c004100")


def raw_file(data=b"", pointer_table=(), label_rows=(), text=b""):
    """A file laid out exactly as given, with true header fields."""
    body = bytes(data)
    body += b"".join(struct.pack("<I", a) for a in pointer_table)
    body += b"".join(struct.pack("<II", a, n) for a, n in label_rows)
    body += bytes(text)
    header = struct.pack("<IIII", 32 + len(body), len(data), len(pointer_table), len(label_rows))
    return header + bytes(16) + body


def written(size, pointers=(), texts=(), labels=()):
    """An archive built through the module and written by its writer."""
    a = orvane_core.BinArchive()
    a.allocate_at_end(size)
    for address, destination in pointers:
        a.write_pointer(address, destination)
    for address, value in texts:
        a.write_string(address, value)
    for address, name in labels:
        a.write_label(address, name)
    return bytes(a.serialize())


def text_file(*strings):
    """Text pointers in the slots 0, 4, ... to each raw string (no terminator given)."""
    count = len(strings)
    size = 4 * count
    data = bytearray(size)
    region = bytearray()
    base = size + 4 * count
    for i, raw in enumerate(strings):
        struct.pack_into("<I", data, 4 * i, base + len(region))
        region += raw + b"\0"
    return raw_file(bytes(data), [4 * i for i in range(count)], (), bytes(region))


def load_seeds():
    seeds = {
        "empty": written(0),
        "worked_example": WORKED_EXAMPLE,
        "data_only_unaligned_size": written(6),
        "pointer_to_end": written(16, pointers=[(0, 16), (4, 0), (8, 12)]),
        "shared_strings": written(0x40, texts=[(0x10, "A"), (0x20, "B"), (0x30, "A")],
                                  labels=[(0x10, "A"), (0x20, "NAME"), (0x20, "NAME")]),
        "shift_jis_multibyte": written(
            0x20, texts=[(0, "日本語のテキスト"), (4, "ｱｲｳ"), (8, "①②"), (12, "＼～")],
            labels=[(0, "ラベル"), (16, "\\~\x80")]),
        "everything": written(
            0x30, pointers=[(0, 0x2C), (4, 0), (0x28, 0x30)],
            texts=[(8, "ITEM"), (12, "アイテム"), (0x10, "")],
            labels=[(0, "HEAD"), (0, "TABLE"), (0x2C, "TAIL"), (0x10, "ITEM")]),
        "bom_utf8": text_file(b"\xef\xbb\xbfA", b"\xef\xbb\xbf\xe3\x81\x82"),
        "bom_twice": text_file(b"\xef\xbb\xbf\xef\xbb\xbfA", b"\xff\xfe\xff\xfe"),
        "bom_utf16le": text_file(b"\xff\xfeA\x30B\x30", b"\xff\xfe\x12\x22"),
        "bom_utf16_pair": text_file(b"\xff\xfe\x42\xd8\x9f\xdf", b"\xfe\xff\xd8\x42\xdf\x9f"),
        "bom_utf16be": text_file(b"\xfe\xff\x30\x42", b"\xfe\xff"),
        "bom_only": text_file(b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff"),
        "bom_utf16_odd": text_file(b"\xff\xfeA"),
        "private_use_and_lossy": text_file(b"\xf0\x40", b"\x81\x7c\x5c\x7e"),
        "repeated_entries": raw_file(
            struct.pack("<II", 8, 12) + bytes(4) + b"\x01\x02\x03\x04",
            [0, 0, 4, 4], [(0, 0), (0, 0), (4, 2)], b"AB\0"),
        "string_inside_tables": raw_file(
            struct.pack("<II", 9, 0), [0, 4], [(4, 0)], b"T\0"),
        "far_pointer_table_string": raw_file(struct.pack("<I", 5), [0], (), b""),
        "label_name_mid_string": raw_file(bytes(8), (), [(0, 2), (4, 0)], b"LABEL\0"),
        "misaligned_entry": raw_file(bytes(8), [2], (), b""),
        "short": bytes(31),
    }
    return seeds


# Edit sequences. Argument helpers follow the coding in fuzz_edit.cc.
def u8(v):
    return struct.pack("<B", v & 0xFF)


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def A(v, mode=0):
    """Address: mode 0 takes v as it is."""
    return u8(mode) + u32(v)


def M(v, mode=3):
    """Amount: mode 3 takes v as it is."""
    return u8(mode) + u32(v)


def G(v, mode=None):
    """Growth: small exact amounts use mode 0 (v < 64) or 1 (4 * v)."""
    if mode is None:
        return u8(0) + u32(v) if v < 64 else u8(1) + u32(v // 4)
    return u8(mode) + u32(v)


def S(raw=None, word=None):
    """String: raw bytes (under 128) or a dictionary entry by number."""
    if word is not None:
        return u8(0x80 | word)
    return u8(len(raw)) + raw


def P(v=None, mode=2):
    if v is None:
        return u8(0) + u32(0)
    return u8(mode) + u32(v)


OPS = {name: i for i, name in enumerate(
    "read_u8 read_u16 read_u32 read_i8 read_i16 read_i32 read_f32 read_bytes write_u8 write_u16 "
    "write_u32 write_i8 write_i16 write_i32 write_f32 write_bytes read_string read_pointer "
    "read_labels delete_string delete_pointer delete_labels delete_label write_string "
    "write_pointer write_labels write_label find_label_address allocate_at_end allocate "
    "deallocate serialize reload".split())}


def op(name, *args):
    return u8(OPS[name]) + b"".join(args)


def session(seed, *ops):
    return u16(len(seed)) + seed + b"".join(ops)


def edit_seeds(load):
    ex = WORKED_EXAMPLE
    every = load["everything"]
    reads = [op(n, A(a)) for n in ("read_u8", "read_i8") for a in (0, 3, 7, 8)]
    reads += [op(n, A(a)) for n in ("read_u16", "read_i16") for a in (0, 2, 3, 6, 7)]
    reads += [op(n, A(a)) for n in ("read_u32", "read_i32", "read_f32") for a in (0, 2, 4, 5, 8)]
    return {
        "typed_reads": session(ex, *reads, op("read_bytes", A(2), M(6)),
                               op("read_bytes", A(8), M(0)), op("read_bytes", A(4), M(4, 4))),
        "typed_writes": session(
            ex, op("write_u8", A(7), u8(0xFF)), op("write_i8", A(8), u8(1)),
            op("write_u16", A(6), u16(0xBEEF)), op("write_i16", A(5), u16(1)),
            op("write_u32", A(4), u32(0xFFFFFFFE)), op("write_i32", A(6), u32(0)),
            op("write_f32", A(0), u32(0x7FC00000)), op("write_bytes", A(3), u8(5) + b"\1\2\3\4\5"),
            op("write_bytes", A(3), u8(6) + b"123456"), op("serialize")),
        "entries": session(
            every, op("read_string", A(8)), op("read_pointer", A(0)), op("read_labels", A(0)),
            op("write_string", A(0), u8(1), S("あ".encode())), op("write_string", A(4), u8(1), S(word=5)),
            op("write_pointer", A(8), P(4)), op("write_pointer", A(12), P(0x1234, 3)),
            op("write_labels", A(4), u8(3), S(b"X"), S(word=19), S(b"X")),
            op("write_labels", A(0x20), u8(0)), op("write_label", A(0x24), S(word=19)),
            op("find_label_address", S(word=19)), op("delete_label", A(4), u8(1)),
            op("delete_label", A(4), u8(5)), op("delete_label", A(0x20), u8(0)),
            op("delete_string", A(8)), op("delete_pointer", A(0)), op("delete_labels", A(0)),
            op("write_pointer", A(12), P()), op("serialize")),
        "entry_refusals": session(
            ex, op("read_string", A(2)), op("read_pointer", A(6)), op("write_label", A(8), S(b"L")),
            op("write_string", A(0, 5), u8(1), S(b"x")), op("delete_label", A(0), u8(0xFF) + bytes(8)),
            op("write_pointer", A(1, 7), P(0, 1))),
        "resize": session(
            every, op("allocate", A(8), G(16)), op("allocate", A(0x40), G(4)),
            op("deallocate", A(0), M(8)), op("deallocate", A(0x10), M(0x14)),
            op("allocate", A(6), G(4)), op("allocate", A(4), G(6)), op("allocate_at_end", G(3)),
            op("deallocate", A(4), M(0, 2)), op("reload")),
        "resize_pointers_move": session(
            every, op("allocate", A(0x2C), G(8)), op("read_pointer", A(0)),
            op("deallocate", A(0x2C), M(4)), op("read_pointer", A(0)), op("serialize")),
        "huge_amounts": session(
            ex, op("allocate_at_end", G(0, 3)), op("allocate_at_end", G(0, 7)),
            op("allocate", A(0), G(4, 7)), op("allocate", A(4), G(1, 3)),
            op("read_bytes", A(4), M(0, 4)), op("deallocate", A(4), M(0, 4)),
            op("read_u8", A(0, 5)), op("write_u32", A(0, 3), u32(1))),
        "unencodable_then_fixed": session(
            ex, op("write_string", A(4), u8(1), S(word=12)), op("serialize"),
            op("write_label", A(0), S(word=15)), op("serialize"), op("delete_string", A(4)),
            op("delete_labels", A(0)), op("reload")),
        "lossy_characters": session(
            ex, *[op("write_label", A(0), S(word=w)) for w in (5, 6, 7, 3, 4, 8)],
            op("write_string", A(4), u8(1), S(word=5)), op("reload"), op("serialize")),
        "wide_pointer": session(
            ex, op("write_pointer", A(0), P(1, 3)), op("serialize"),
            op("write_pointer", A(0), P(9)), op("reload")),
        "pointer_and_text_share_slot": session(
            ex, op("write_pointer", A(4), P(0, 1)), op("serialize"), op("reload")),
        "from_empty": session(
            b"", op("allocate_at_end", G(16)), op("write_u32", A(0), u32(8)),
            op("write_pointer", A(0, 2), P(4)), op("write_string", A(4, 6), u8(1), S(b"NAME")),
            op("write_label", A(12, 6), S(b"END")), op("allocate", A(12, 3), G(4)), op("reload")),
        "bom_seed": session(load["bom_utf8"], op("read_string", A(0)), op("reload")),
    }


def write_dir(name, seeds):
    path = os.path.join(HERE, "corpus", name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    for stem, content in sorted(seeds.items()):
        with open(os.path.join(path, stem + ".bin"), "wb") as f:
            f.write(content)
    print("%s: %d files, %d bytes" % (path, len(seeds), sum(map(len, seeds.values()))))


def main():
    # The writer must agree with the documented example, or every seed is suspect.
    a = orvane_core.BinArchive()
    a.allocate_at_end(8)
    a.write_pointer(0, 4)
    a.write_string(4, "A")
    a.write_label(0, "L")
    if bytes(a.serialize()) != WORKED_EXAMPLE:
        sys.exit("the module's writer does not produce the worked example")
    load = load_seeds()
    write_dir("load", load)
    write_dir("edit", edit_seeds(load))


if __name__ == "__main__":
    main()
