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
  label-suffix
          label rows each starting at a different byte of one run, and the same lookup
          (each name's length is found by decoding, all of them in one pass)
  own-empty        text entries, each naming its own empty string
  label-own-empty  label rows on one slot, each naming its own empty string
  pairs-text, pairs-label
          entries / 2 runs "A\0", each named on its "A" and on its terminator
  katakana one string of `run` bytes of half-width katakana (three UTF-8 bytes each)
  marks-M label rows starting inside one long run in each encoding of the mix M (any of
          sjis, utf8, le, be joined by "+", or "all"): two rows on the byte-order marks
          of each encoding in M, two inside the plain text for sjis; the run decodes in
          every one of them, so the file loads

    python3 tools/hostile_costs.py --marks [--run MiB]

measures only the marks cases, every mix of encodings, and prints peak memory against
the file's size.

Each measurement runs in a fresh child process so that peak memory is its own.
Reported: file size; "text named", the total length of the strings the entries hold
(what reading every entry back, or writing the file, must produce); load time; growth
of the child's peak resident size during the load; bytes malloc holds for the loaded
archive; both of those over the file size; and, where asked, one near-miss lookup and
one serialize(). The load-memory bound is a peak of 4 times the file and 3.2 times
held after the load (plus a few hundred KiB of pages and arenas on small files).
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
from typing import Callable, Iterable, List, Tuple

HEADER = 32


def archive_file(data: bytes, pointer_table: Iterable[int] = (),
                 label_rows: Iterable[Tuple[int, int]] = (), text: bytes = b"") -> bytes:
    table, rows = list(pointer_table), list(label_rows)
    body = bytes(data)
    body += struct.pack("<%dI" % len(table), *table)
    body += b"".join(struct.pack("<II", a, n) for a, n in rows)
    body += text
    header = struct.pack("<IIII", HEADER + len(body), len(data), len(table), len(rows))
    return header + bytes(16) + body


def text_entries_file(entries: int, run: bytes, offset_of: Callable[[int], int]) -> bytes:
    data_size = 4 * entries
    text_base = data_size + 4 * entries
    data = struct.pack("<%dI" % entries, *(text_base + offset_of(i) for i in range(entries)))
    return archive_file(data, range(0, data_size, 4), text=run)


MARKS = {"le": b"\xff\xfe", "be": b"\xfe\xff", "utf8": b"\xef\xbb\xbf"}
ENCODINGS = ("sjis", "utf8", "le", "be")


def marks_run(mix: str, length: int) -> Tuple[bytes, List[int]]:
    """A run of about `length` bytes and the offsets that start strings inside it.

    The marks come first, UTF-16 before UTF-8 (UTF-8 cannot hold the bytes FF and FE,
    UTF-16 holds anything of even length), each twice, so every position on a mark
    reads the other marks as text; then plain "A"s, which all four encodings take."""
    encodings = ENCODINGS if mix == "all" else tuple(mix.split("+"))
    head, starts = b"", []  # type: Tuple[bytes, List[int]]
    for name in ("le", "be", "utf8"):
        if name in encodings:
            for _ in range(2):
                starts.append(len(head))
                head += MARKS[name]
    body = b"A" * (length - len(head) - length % 2)
    if "sjis" in encodings:
        starts += [len(head), len(head) + len(body) // 2]
    return head + body + b"\0", starts


def build(case: str, entries: int, length: int) -> Tuple[bytes, int]:
    if case.startswith("marks-"):
        run, starts = marks_run(case[len("marks-"):], length)
        slots = 4
        rows = [(4 * (i % slots), offset) for i, offset in enumerate(starts)]
        return archive_file(bytes(4 * slots), [], rows, run), sum(len(run) - s for s in starts)
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
    if case == "label-suffix":
        slots, step = 16, length // entries
        rows = [(4 * (i * slots // entries), i * step) for i in range(entries)]
        return (archive_file(bytes(4 * slots), [], rows, run),
                sum(length - i * step for i in range(entries)))
    if case == "own-empty":
        return text_entries_file(entries, bytes(entries), lambda i: i), 0
    if case == "label-own-empty":
        return archive_file(bytes(4), [], [(0, i) for i in range(entries)], bytes(entries)), 0
    if case in ("pairs-text", "pairs-label"):
        # entries / 2 runs "A\0", each named by two entries (one on the "A", one on
        # the terminator), so every run has two positions inside it.
        runs = entries // 2
        if case == "pairs-text":
            return text_entries_file(2 * runs, b"A\0" * runs, lambda i: i), runs
        rows = [(4 * (i % 16), i) for i in range(2 * runs)]
        return archive_file(bytes(64), [], rows, b"A\0" * runs), runs
    if case == "katakana":
        # One string of half-width katakana: every byte decodes to three of UTF-8.
        run = bytes(0xB1 + i % 45 for i in range(length)) + b"\0"
        return text_entries_file(1, run, lambda i: 0), 3 * length
    raise ValueError(case)


def heap_in_use() -> int:
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
    return int(info.uordblks + info.hblkhd)


def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def reset_peak() -> bool:
    """Starts the peak resident size afresh from the current one (Linux 4.0 and later),
    so that building the input does not hide the load's own peak. Memory freed while
    building goes back to the system first, or the load would reuse it unseen."""
    trim = getattr(ctypes.CDLL(None), "malloc_trim", None)
    if trim is not None:
        trim(0)
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_rss() -> int:
    try:
        return status_kib("VmHWM")
    except (OSError, KeyError):
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def child(case: str, entries: int, length: int, serialize: bool) -> None:
    import orvane_core  # type: ignore[import-not-found]

    data, decoded = build(case, entries, length)
    rss_before = status_kib("VmRSS") if reset_peak() else peak_rss()
    heap_before = heap_in_use()
    start = time.perf_counter()
    archive = orvane_core.BinArchive.from_bytes(data)
    load_seconds = time.perf_counter() - start
    result = {
        "case": case, "entries": entries, "run": length, "file": len(data),
        "decoded": decoded, "load_s": load_seconds,
        "heap_held": heap_in_use() - heap_before,
        "peak_rss_growth": peak_rss() - rss_before,
    }
    if case in ("labels", "label-suffix"):
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


def human(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(n) < 1024 or unit == "GiB":
            break
        n /= 1024.0
    return "%.0f %s" % (n, unit) if unit == "B" else "%.1f %s" % (n, unit)


def run_child(case: str, entries: int, length: int,
              serialize: bool = False) -> "subprocess.CompletedProcess[str]":
    command = [sys.executable, os.path.abspath(__file__), "--child", case, str(entries),
               str(length)] + (["--serialize"] if serialize else [])
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)


def marks_table(length: int) -> None:
    mixes = []
    for mask in range(1, 1 << len(ENCODINGS)):
        mixes.append("+".join(e for i, e in enumerate(ENCODINGS) if mask >> i & 1))
    print("%-20s %10s %11s %11s %9s %9s %9s" % ("mix", "file", "peak RSS+", "heap held",
                                                    "peak/file", "held/file", "load"))
    for mix in mixes:
        done = run_child("marks-" + mix, 0, length)
        if done.returncode != 0:
            print("%-20s failed: %s" % (mix, done.stderr.strip().splitlines()[-1:]))
            continue
        r = json.loads(done.stdout)
        print("%-20s %10s %11s %11s %9.2f %9.2f %8.3fs" % (
            mix, human(r["file"]), human(r["peak_rss_growth"]), human(r["heap_held"]),
            r["peak_rss_growth"] / r["file"], r["heap_held"] / r["file"], r["load_s"]))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-output", type=int, default=1024,
                        help="skip cases whose decoded text exceeds this many MiB")
    parser.add_argument("--serialize", action="store_true",
                        help="also time serialize() where the file it writes stays under "
                        "--max-written MiB (its result is a list with one int per byte)")
    parser.add_argument("--max-written", type=int, default=128)
    parser.add_argument("--marks", action="store_true",
                        help="only the marks cases, every mix of encodings")
    parser.add_argument("--run", type=int, default=8, help="run length (MiB) for --marks")
    parser.add_argument("--child", nargs=3, metavar=("CASE", "ENTRIES", "RUN"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]), int(args.child[2]), args.serialize)
        return

    if args.marks:
        marks_table(args.run << 20)
        return

    grid = []
    for case in ("shared", "suffix", "prefix"):
        for length in (64 << 10, 256 << 10, 1 << 20):
            for entries in (1000, 4000, 16000):
                grid.append((case, entries, length))
    for entries in (1000, 10000, 100000, 1000000):
        grid.append(("labels", entries, 1 << 20))
    # Tables only, where per-entry bookkeeping weighs most against the file.
    tables_only = ("suffix", 1000000, 1 << 20)  # a position at every byte of the run
    grid.append(tables_only)
    grid.append(("label-suffix", 1000000, 1 << 20))
    for case in ("own-empty", "label-own-empty", "pairs-text", "pairs-label"):
        grid.append((case, 1000000, 0))
    grid.append(("katakana", 0, 32 << 20))

    print("%-15s %7s %9s %10s %11s %9s %11s %11s %5s %5s %s" % (
        "case", "entries", "run", "file", "text named", "load", "peak RSS+", "heap held",
        "peak/", "held/", "extra"))
    for case, entries, length in grid:
        decoded = 0
        if case in ("suffix", "prefix", "label-suffix"):
            decoded = build(case, min(entries, 10), length)[1] * entries // min(entries, 10)
        if (case in ("suffix", "prefix") and decoded > args.max_output << 20 and
                (case, entries, length) != tables_only):
            print("%-15s %7d %9s   skipped: about %s of text named" % (
                case, entries, human(length), human(decoded)))
            continue
        # What serialize writes: every distinct string once.
        written = length if case in ("shared", "labels") else decoded
        if case == "katakana":
            written = length
        serialize = args.serialize and written <= args.max_written << 20
        done = run_child(case, entries, length, serialize)
        if done.returncode != 0:
            print("%-15s %7d %9s   failed: %s" % (case, entries, human(length),
                                                 done.stderr.strip().splitlines()[-1:]))
            continue
        r = json.loads(done.stdout)
        extra = []
        if "lookup_s" in r:
            extra.append("near-miss lookup %.3f s" % r["lookup_s"])
        if "serialize_s" in r:
            extra.append("serialize %.3f s -> %s" % (r["serialize_s"], human(r["written"])))
        print("%-15s %7d %9s %10s %11s %8.3fs %11s %11s %5.2f %5.2f %s" % (
            case, entries, human(length), human(r["file"]), human(r["decoded"]), r["load_s"],
            human(r["peak_rss_growth"]), human(r["heap_held"]), r["peak_rss_growth"] / r["file"],
            r["heap_held"] / r["file"], "; ".join(extra)))


if __name__ == "__main__":
    main()
