#!/usr/bin/env python3
"""Measures what hostile archive files cost to load, as time and memory against the
number of entries and the length of the run they point into.

    python3 tools/hostile_costs.py [--max-output MiB] [--serialize]

Cases:
  shared  every text entry names the same long string (one string position)
  suffix  entry i starts i * (run / entries) bytes into one run that is terminated only
          at its very end, so every entry decodes to a different string (a suffix of the
          run); the decoded text alone is about entries * run / 2 bytes
  prefix  the entries start at the first `entries` bytes of the run: each decodes to
          almost the whole run, about entries * run bytes of text
  labels  label rows all naming one long string, and find_label_address asked for a
          string of the same length that differs only in its last character

Each measurement runs in a fresh child process so that peak memory is its own.
Reported: file size; "text named", the total length of the strings the entries hold
(what reading every entry back, or writing the file, must produce); load time; growth
of the child's peak resident size during the load; bytes malloc holds for the loaded
archive; and, where asked, one near-miss lookup and one serialize().
"""
import argparse
import ctypes
import json
import os
import resource
import struct
import subprocess
import sys
import time

HEADER = 32


def archive_file(data, pointer_table=(), label_rows=(), text=b""):
    pointer_table, label_rows = list(pointer_table), list(label_rows)
    body = bytes(data)
    body += struct.pack("<%dI" % len(pointer_table), *pointer_table)
    body += b"".join(struct.pack("<II", a, n) for a, n in label_rows)
    body += text
    header = struct.pack("<IIII", HEADER + len(body), len(data), len(pointer_table),
                         len(label_rows))
    return header + bytes(16) + body


def text_entries_file(entries, run, offset_of):
    data_size = 4 * entries
    text_base = data_size + 4 * entries
    data = struct.pack("<%dI" % entries, *(text_base + offset_of(i) for i in range(entries)))
    return archive_file(data, range(0, data_size, 4), text=run)


def build(case, entries, length):
    run = b"A" * length + b"\0"
    if case == "shared":
        return text_entries_file(entries, run, lambda i: 0), entries * length
    if case == "suffix":
        step = length // entries
        decoded = sum(length - i * step for i in range(entries))
        return text_entries_file(entries, run, lambda i: i * step), decoded
    if case == "prefix":
        return text_entries_file(entries, run, lambda i: i), sum(length - i for i in range(entries))
    if case == "labels":
        slots = 16
        rows = [(4 * (i * slots // entries), 0) for i in range(entries)]
        return archive_file(bytes(4 * slots), [], rows, run), entries * length
    raise ValueError(case)


def heap_in_use():
    process = ctypes.CDLL(None)
    mallinfo2 = getattr(process, "mallinfo2", None)
    if mallinfo2 is None:
        return 0

    class MallInfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
            "uordblks", "fordblks", "keepcost")]

    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def child(case, entries, length, serialize):
    import orvane_core

    data, decoded = build(case, entries, length)
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    heap_before = heap_in_use()
    start = time.perf_counter()
    archive = orvane_core.BinArchive.from_bytes(data)
    load_seconds = time.perf_counter() - start
    result = {
        "case": case, "entries": entries, "run": length, "file": len(data),
        "decoded": decoded, "load_s": load_seconds,
        "heap_held": heap_in_use() - heap_before,
        "peak_rss_growth": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - rss_before,
    }
    if case == "labels":
        near_miss = "A" * (length - 1) + "B"
        start = time.perf_counter()
        assert archive.find_label_address(near_miss) is None
        result["lookup_s"] = time.perf_counter() - start
    if serialize:
        start = time.perf_counter()
        out = archive.serialize()
        result["serialize_s"] = time.perf_counter() - start
        result["written"] = len(out)
    print(json.dumps(result))


def human(n):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(n) < 1024 or unit == "GiB":
            return "%.0f %s" % (n, unit) if unit == "B" else "%.1f %s" % (n, unit)
        n /= 1024.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-output", type=int, default=1024,
                        help="skip cases whose decoded text exceeds this many MiB")
    parser.add_argument("--serialize", action="store_true",
                        help="also time serialize() where the file it writes stays under "
                        "--max-written MiB (its result is a list with one int per byte)")
    parser.add_argument("--max-written", type=int, default=128)
    parser.add_argument("--child", nargs=3, metavar=("CASE", "ENTRIES", "RUN"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]), int(args.child[2]), args.serialize)
        return

    grid = []
    for case in ("shared", "suffix", "prefix"):
        for length in (64 << 10, 256 << 10, 1 << 20):
            for entries in (1000, 4000, 16000):
                grid.append((case, entries, length))
    for entries in (1000, 10000, 100000):
        grid.append(("labels", entries, 1 << 20))

    print("%-7s %7s %9s %10s %11s %9s %11s %11s %s" % (
        "case", "entries", "run", "file", "text named", "load", "peak RSS+", "heap held",
        "extra"))
    for case, entries, length in grid:
        decoded = build(case, min(entries, 10), length)[1] * entries // min(entries, 10)
        if case in ("suffix", "prefix") and decoded > args.max_output << 20:
            print("%-7s %7d %9s   skipped: about %s of text named" % (
                case, entries, human(length), human(decoded)))
            continue
        # What serialize writes: every distinct string once.
        written = length if case in ("shared", "labels") else decoded
        serialize = args.serialize and written <= args.max_written << 20
        command = [sys.executable, os.path.abspath(__file__), "--child", case, str(entries),
                   str(length)] + (["--serialize"] if serialize else [])
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
        if done.returncode != 0:
            print("%-7s %7d %9s   failed: %s" % (case, entries, human(length),
                                                 done.stderr.strip().splitlines()[-1:]))
            continue
        r = json.loads(done.stdout)
        extra = []
        if "lookup_s" in r:
            extra.append("near-miss lookup %.3f s" % r["lookup_s"])
        if "serialize_s" in r:
            extra.append("serialize %.3f s -> %s" % (r["serialize_s"], human(r["written"])))
        print("%-7s %7d %9s %10s %11s %8.3fs %11s %11s %s" % (
            case, entries, human(length), human(r["file"]), human(r["decoded"]), r["load_s"],
            human(r["peak_rss_growth"]), human(r["heap_held"]), "; ".join(extra)))


if __name__ == "__main__":
    main()
