"""Times the aligned diff against loading the two archives it compares.

A: 16 MiB of data with 100,000 entries (30,000 pointers, 40,000 texts, 30,000
labels) and random bytes between them. B: A after one insertion of 64 bytes in the
middle and 100 other edits (u32 writes, texts, pointers, label lists) spread over the
archive. The goal: `compare` takes at most 3x the time of loading both files
(`read_file`, which loads through the module and lists the entries), measured in the
same run; the table shows loading, comparing, and diff + patch make end to end.
Usage: python3 bench/bench_diff.py [--repeats N]
"""
import argparse
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import MiB, best_of, make_archive, ms, print_table  # noqa: E402

import orvane_core  # noqa: E402
from orvane_tools import compare, make_patch, read_file  # noqa: E402

GOAL = 3.0


def archives():
    base = make_archive(16 * MiB, pointers=30000, texts=40000, labels=30000)
    a = orvane_core.BinArchive.from_bytes(base.data)
    rng = random.Random(1)
    size = a.size()
    busy = set(base.pointer_addresses) | set(base.text_addresses)
    # Random bytes everywhere but in pointer and text slots, so that the data is not
    # one long run of zeros.
    noise = bytearray(rng.getrandbits(8) for _ in range(size))
    for slot in busy:
        noise[slot:slot + 4] = a.read_bytes(slot, 4)
    a.write_bytes(0, bytes(noise))
    a_file = bytes(a.serialize())
    a = orvane_core.BinArchive.from_bytes(a_file)
    free = [4 * rng.randrange(size // 4) for _ in range(400)]
    free = [s for s in free if s not in busy][:100]
    texts = list(base.text_addresses)
    for n, slot in enumerate(sorted(free, reverse=True)):
        kind = n % 4
        if kind == 0:
            a.write_u32(slot, rng.getrandbits(32))
        elif kind == 1:
            a.write_string(rng.choice(texts), "変更%d" % n)
        elif kind == 2:
            a.write_pointer(slot, 4 * rng.randrange(size // 8))
        else:
            a.write_labels(slot, ["EDIT_%d" % n])
    a.allocate(size // 2 // 4 * 4, 64)
    a.write_bytes(size // 2 // 4 * 4, bytes(range(64)))
    return a_file, bytes(a.serialize())


def run(repeats):
    a_file, b_file = archives()
    found = {}

    def load():
        found["a"] = read_file(a_file)[1]
        found["b"] = read_file(b_file)[1]

    loading = best_of(load, repeats)
    a, b = found["a"], found["b"]
    result = {}

    def diff():
        result["c"] = compare(a, b)

    comparing = best_of(diff, repeats)
    edits = result["c"].edits
    patching = best_of(lambda: make_patch(a, b), repeats)
    kinds = {}
    for e in edits:
        kinds[e.kind] = kinds.get(e.kind, 0) + 1
    print("16 MiB, 100,000 entries; B: one 64-byte insertion and 100 other edits; best of %d"
          % repeats)
    print("reported: %s" % ", ".join("%d %s" % (n, k) for k, n in sorted(kinds.items())))
    print_table(["step", "ms", "x loading both"], [
        ("load both (read_file)", ms(loading), "1.00"),
        ("compare", ms(comparing), "%.2f" % (comparing / loading)),
        ("make_patch (compare + operations)", ms(patching), "%.2f" % (patching / loading)),
    ])
    print("goal: compare within %.0fx loading both: %s"
          % (GOAL, "yes" if comparing <= GOAL * loading else "NO"))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    run(parser.parse_args().repeats)
