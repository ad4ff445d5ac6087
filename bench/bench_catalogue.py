"""Times the catalogue commands on a generated game, each beside its floor.

The game: 500 archives holding 500,000 text entries in all, repeated as a game
repeats them: every record names one of 30 speakers, menus use a few hundred system
strings, most lines come from a shared pool and a few percent are distinct.

| work | floor | goal |
|---|---|---|
| texts export DIR -o game.po --jobs 1 | read + `from_bytes` of every archive | <= 2x |
| texts import --catalogue game.po DIR --out-dir OUT --jobs 1 (every message translated) | read + `from_bytes` + `serialize` + write of every archive | <= 1.5x |
| export / import --jobs 2 | the same with --jobs 1 | <= 0.6x (needs two free cores) |

An extra row sets import beside its floor with each file flushed to disk (`fsync`)
before it is renamed into place, as the command writes its archives.

Each command runs through main(argv) in this process (its workers are processes of
their own), best of N. Usage: python3 bench/bench_catalogue.py [--quick] [--repeats N]
"""
import argparse
import contextlib
import io
import os
import random
import resource
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import best_of, ms, print_table, ratio  # noqa: E402

import orvane_core  # noqa: E402
from orvane_tools._cli import main  # noqa: E402
from orvane_tools._formats import read_messages, write_messages  # noqa: E402

SPEAKERS = ["話者%02d" % n for n in range(28)] + ["???", "Narrator"]
SYSTEM = ["システム%03d" % n for n in range(300)] + ["はい", "いいえ", "Continue?"]


def make_game(root, archives, texts_per_archive, seed=1):
    """Writes the game under root; returns the number of text entries and of distinct
    texts."""
    rng = random.Random(seed)
    shared_lines = ["共通の台詞 %05d です。" % n for n in range(4000)]
    total = 0
    distinct = set()
    records = (texts_per_archive * 4 // 5) // 2
    menu = texts_per_archive - 2 * records
    for n in range(archives):
        own = ["シーン%03dの台詞 %03d。" % (n, k) for k in range(20)]
        a = orvane_core.BinArchive()
        size = 8 + 12 * records + 4 * menu
        a.allocate_at_end(size)
        a.write_labels(0, ["HEADER"])
        a.write_u32(0, records)
        for r in range(records):
            base = 8 + 12 * r
            a.write_string(base, rng.choice(SPEAKERS))
            line = rng.choice(own) if rng.random() < 0.3 else rng.choice(shared_lines)
            a.write_string(base + 4, line)
            a.write_u32(base + 8, r)
            if r % 8 == 0:
                a.write_labels(base, ["EVENT"])
        start = 8 + 12 * records
        a.write_labels(start, ["MENU"])
        for k in range(menu):
            text = rng.choice(SYSTEM)
            a.write_string(start + 4 * k, text)
        found = [a.read_string(8 + 12 * r + 4) for r in range(records)]
        distinct.update(found)
        distinct.update(a.read_string(8 + 12 * r) for r in range(records))
        distinct.update(a.read_string(start + 4 * k) for k in range(menu))
        total += 2 * records + menu
        folder = os.path.join(root, "area%02d" % (n % 20))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "scene%04d.bin" % n), "wb") as f:
            f.write(bytes(a.serialize()))
    return total, len(distinct)


def files_under(root):
    return sorted(os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs)


def cpu_of(fn, repeats):
    """Minimum CPU time of fn() over `repeats` runs, in seconds: this process's and its
    finished workers' together. Steadier than wall time on a busy machine, and the
    total work whatever the number of workers."""
    best = float("inf")
    for _ in range(repeats):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.process_time()
        fn()
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        children = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
        best = min(best, time.process_time() - start + children)
    return best


def quiet(argv):
    def call():
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            status = main(argv)
        assert status == 0, argv
    return call


def run():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="50 archives, 50,000 texts")
    parser.add_argument("--repeats", type=int, default=3)
    options = parser.parse_args()
    archives = 50 if options.quick else 500
    repeats = options.repeats
    with tempfile.TemporaryDirectory(prefix="orvane_bench_") as tmp:
        game = os.path.join(tmp, "game")
        total, distinct = make_game(game, archives, 1000)
        paths = files_under(game)
        out = os.path.join(tmp, "out")
        po = os.path.join(tmp, "game.po")
        en = os.path.join(tmp, "en.po")

        def load_all():
            for path in paths:
                with open(path, "rb") as f:
                    orvane_core.BinArchive.from_bytes(f.read())

        def load_write_all(sync=False):
            for path in paths:
                with open(path, "rb") as f:
                    data = bytes(orvane_core.BinArchive.from_bytes(f.read()).serialize())
                target = os.path.join(out, os.path.relpath(path, game))
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target + ".tmp", "wb") as f:
                    f.write(data)
                    if sync:
                        f.flush()
                        os.fsync(f.fileno())
                os.replace(target + ".tmp", target)

        export = {}
        cpu = {}
        for jobs in (1, 2):
            command = quiet(["texts", "export", game, "-o", po, "--jobs", str(jobs)])
            export[jobs] = best_of(command, repeats)
            cpu["export", jobs] = cpu_of(command, repeats)
        load = best_of(load_all, repeats)
        cpu["load"] = cpu_of(load_all, repeats)
        with open(po, "rb") as f:
            messages = read_messages(f.read(), "po")
        for m in messages:
            m.translation = "EN " + m.source
        with open(en, "wb") as f:
            f.write(write_messages(messages, "po", "en"))
        imports = {}
        for jobs in (1, 2):
            shutil.rmtree(out, ignore_errors=True)
            command = quiet(["texts", "import", "--catalogue", en, game, "--out-dir", out,
                             "--jobs", str(jobs)])
            imports[jobs] = best_of(command, repeats)
            cpu["import", jobs] = cpu_of(command, repeats)
        shutil.rmtree(out, ignore_errors=True)
        load_write = best_of(load_write_all, repeats)
        cpu["load_write"] = cpu_of(load_write_all, repeats)
        shutil.rmtree(out, ignore_errors=True)
        load_write_sync = best_of(lambda: load_write_all(True), repeats)

    print("%d archives, %d text entries, %d distinct texts (%.1f %%), %d messages; best of %d"
          % (archives, total, distinct, 100.0 * distinct / total, len(messages), repeats))
    rows = [
        ("export --jobs 1", ms(export[1]), "load every archive", ms(load),
         ratio(export[1], load), "<= 2.0", "yes" if export[1] <= 2 * load else "NO"),
        ("import --jobs 1", ms(imports[1]), "load + serialize + write", ms(load_write),
         ratio(imports[1], load_write), "<= 1.5",
         "yes" if imports[1] <= 1.5 * load_write else "NO"),
        ("import --jobs 1", ms(imports[1]), "the same + fsync each file", ms(load_write_sync),
         ratio(imports[1], load_write_sync), "-", "-"),
        ("export --jobs 2", ms(export[2]), "export --jobs 1", ms(export[1]),
         ratio(export[2], export[1]), "<= 0.6", "yes" if export[2] <= 0.6 * export[1] else "NO"),
        ("import --jobs 2", ms(imports[2]), "import --jobs 1", ms(imports[1]),
         ratio(imports[2], imports[1]), "<= 0.6",
         "yes" if imports[2] <= 0.6 * imports[1] else "NO"),
    ]
    print_table(["work", "ms", "floor", "floor ms", "x", "goal", "met"], rows)
    print()
    print("CPU time, this process and its workers (best of %d):" % repeats)
    print_table(["work", "cpu ms", "floor", "floor cpu ms", "x"], [
        ("export --jobs 1", ms(cpu["export", 1]), "load every archive", ms(cpu["load"]),
         ratio(cpu["export", 1], cpu["load"])),
        ("export --jobs 2", ms(cpu["export", 2]), "export --jobs 1", ms(cpu["export", 1]),
         ratio(cpu["export", 2], cpu["export", 1])),
        ("import --jobs 1", ms(cpu["import", 1]), "load + serialize + write",
         ms(cpu["load_write"]), ratio(cpu["import", 1], cpu["load_write"])),
        ("import --jobs 2", ms(cpu["import", 2]), "import --jobs 1", ms(cpu["import", 1]),
         ratio(cpu["import", 2], cpu["import", 1])),
    ])


if __name__ == "__main__":
    run()
