"""How from_bytes and serialize scale with the archive, next to the cheapest Python
operation on the same bytes, measured in the same run.

Floors: for from_bytes, a copy of the input into a new bytes object (loading has to
read every byte at least once); for serialize, list() of a bytes object as long as
the output (serialize returns a list of ints). bytes(list) is what a caller then pays
to get a bytes object back, and is shown beside them.

Peak memory is the rise of the process's resident high-water mark during one call,
measured in a fresh process per call, so it includes the C++ heap.

    python3 bench/bench_load_write.py           # sizes up to 64 MiB / 1M entries
    python3 bench/bench_load_write.py --quick   # small sizes, a smoke run
    python3 bench/bench_load_write.py --full    # twice as many sizes, more repeats
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402

# The largest archive the issue asks for; smaller ones divide every count by 4^k
# (by 2^k with --full), a geometric series.
TOP = dict(data_size=64 * common.MiB, pointers=1000000, texts=100000, labels=100000)
# A text run long enough that decoding it once per entry instead of once per string
# would be seconds, not milliseconds: 1024 katakana, 2 KiB of Shift_JIS.
SHARED_CHARS = 1024


def series(levels, factor):
    sizes = []
    for k in reversed(range(levels)):
        div = factor ** k
        sizes.append(dict(data_size=TOP["data_size"] // div // 4 * 4,
                          pointers=TOP["pointers"] // div, texts=TOP["texts"] // div,
                          labels=TOP["labels"] // div))
    return sizes


def string_cases(counts):
    """Text sharing at a fixed entry count: none, one shared string, all distinct."""
    cases = []
    for n in counts:
        data_size = max(common.MiB, 16 * n)
        cases.append(("%s ptrs, no text" % common.count_text(n),
                      dict(data_size=data_size, pointers=n)))
        cases.append(("%s texts, 1 string" % common.count_text(n),
                      dict(data_size=data_size, texts=n, shared_chars=SHARED_CHARS)))
    distinct = counts[0]
    cases.append(("%s texts, distinct" % common.count_text(distinct),
                  dict(data_size=max(common.MiB, 16 * distinct), texts=distinct)))
    return cases


def measure(label, shape, repeats, with_memory):
    import orvane_core

    archive = common.make_archive(**shape)
    data = archive.data
    entries = archive.entries
    from_bytes = orvane_core.BinArchive.from_bytes

    load = common.best_of(lambda: from_bytes(data), repeats)
    # bytes(data) would hand back the same object; a memoryview forces a real copy.
    copy = common.best_of(lambda: bytes(memoryview(data)), repeats)

    loaded = from_bytes(data)
    ser = common.best_of(loaded.serialize, repeats)
    out = loaded.serialize()
    # The output has the input's length (the generator writes what the writer writes),
    # so list(data) is the floor for a list of that many ints.
    listed = common.best_of(lambda: list(data), repeats)
    to_bytes = common.best_of(lambda: bytes(out), repeats)
    exact = bytes(out) == data
    del out, loaded

    row = [label, common.size_text(shape["data_size"]),
           "%s/%s/%s" % tuple(common.count_text(shape.get(k, 0))
                              for k in ("pointers", "texts", "labels")),
           "%.1f" % (len(data) / common.MiB),
           common.ms(load), common.ms(copy), common.ratio(load, copy),
           "%.0f" % ((load - copy) / entries * 1e9) if entries else "-",
           common.ms(ser), common.ms(listed), common.ratio(ser, listed),
           common.ms(to_bytes)]
    if with_memory:
        script = os.path.abspath(__file__)
        for op in ("from_bytes", "serialize", "list"):
            answer = common.measure_in_child(script, dict(op=op), data)
            row.append("%.1f" % (answer["peak"] / common.MiB) + ("" if answer["exact"] else "~"))
    row.append("yes" if exact else "NO")
    return row


HEADERS_TIME = ["case", "data", "ptr/text/label", "file MiB",
                "load ms", "copy ms", "x", "ns/entry", "ser ms", "list ms", "x", "bytes() ms"]
HEADERS_MEM = ["load MB", "ser MB", "list MB"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--quick", action="store_true", help="small sizes only (seconds)")
    mode.add_argument("--full", action="store_true",
                      help="a factor-2 series of sizes and 5 repeats (several minutes)")
    parser.add_argument("--repeats", type=int, help="runs per measurement (best is kept)")
    parser.add_argument("--no-memory", action="store_true",
                        help="skip the peak-memory runs in fresh processes")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        import json
        common.child_main(json.loads(args.child))
        return

    if args.quick:
        sizes, counts, repeats = series(4, 4)[:2], [10000, 100000], 3
    elif args.full:
        sizes, counts, repeats = series(7, 2), [100000, 1000000], 5
    else:
        sizes, counts, repeats = series(4, 4), [100000, 1000000], 3
    repeats = args.repeats or repeats
    with_memory = not args.no_memory

    headers = HEADERS_TIME + (HEADERS_MEM if with_memory else []) + ["exact"]
    import orvane_core
    print("orvane_core from %s" % orvane_core.__file__)
    print("Python %s, best of %d runs; ms = milliseconds per call, x = call / floor"
          % (sys.version.split()[0], repeats))
    if with_memory and not common.reset_peak():
        print("note: peak memory from ru_maxrss (cannot reset the high-water mark); '~' marks it")
    print()
    print("Growing archives (data size, pointer entries, text entries, labels):")
    rows = []
    for shape in sizes:
        rows.append(measure("growth", shape, repeats, with_memory))
    common.print_table(headers, rows)
    print()
    print("Text sharing (one string of %d katakana = %d bytes shared by every text entry):"
          % (SHARED_CHARS, 2 * SHARED_CHARS))
    rows = []
    for label, shape in string_cases(counts):
        rows.append(measure(label, shape, repeats, with_memory))
    common.print_table(headers, rows)


if __name__ == "__main__":
    main()
