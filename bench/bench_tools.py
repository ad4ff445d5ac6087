"""Times the orvane commands on a 16 MiB archive with 100,000 text entries.

Each command runs through main(argv) in this process, best of three, so the figures are
the command's own work (reading, writing, formatting), not interpreter start-up.
`compile` and `texts import` load the file they write again before writing it, to
check that it reads back to the entries meant; the last rows time that check alone
and say what share of those two commands it is.
Usage: python3 bench/bench_tools.py
"""
import contextlib
import io
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import MiB, best_of, make_archive, ms, print_table  # noqa: E402

from orvane_tools._archive import read_file  # noqa: E402
from orvane_tools._cli import main  # noqa: E402
from orvane_tools._output import archive_problem  # noqa: E402

LIMIT = 2.0


def timed(argv):
    def call():
        with contextlib.redirect_stdout(io.StringIO()):
            status = main(argv)
        assert status == 0, argv
    return best_of(call, 3)


def run():
    archive = make_archive(16 * MiB, pointers=50000, texts=100000, labels=100000)
    rows = []
    with tempfile.TemporaryDirectory(prefix="orvane_bench_") as tmp:
        path = os.path.join(tmp, "a.bin")
        with open(path, "wb") as f:
            f.write(archive.data)
        j = os.path.join(tmp, "a.json")
        for fmt in ("po", "json", "csv"):
            t = os.path.join(tmp, "a." + fmt)
            rows.append(("texts export (%s)" % fmt, timed(["texts", "export", path, "-o", t])))
            rows.append(("texts import (%s)" % fmt,
                         timed(["texts", "import", path, t, "-o", os.path.join(tmp, "b.bin")])))
        rows.insert(0, ("dump", timed(["dump", path])))
        rows.insert(1, ("dump --json", timed(["dump", "--json", path])))
        rows.insert(2, ("decompile", timed(["decompile", path, "-o", j])))
        rows.insert(3, ("compile", timed(["compile", j, "-o", os.path.join(tmp, "c.bin")])))
        with open(os.path.join(tmp, "c.bin"), "rb") as f:
            assert f.read() == archive.data
        rows.append(("diff (same)", timed(["diff", path, os.path.join(tmp, "c.bin")])))
    print("16 MiB archive, 50k pointers, 100k text entries, 100k labels; best of 3")
    print_table(["command", "ms", "under 2 s"],
                [(name, ms(t), "yes" if t < LIMIT else "NO") for name, t in rows])

    found = read_file(archive.data)[1]
    assert archive_problem(archive.data, found) is None
    check = best_of(lambda: archive_problem(archive.data, found), 3)
    times = dict(rows)
    print()
    print_table(["load-back check", "ms", "share"],
                [("check alone", ms(check), ""),
                 ("of compile", ms(times["compile"]), "%.0f %%" % (100 * check / times["compile"])),
                 ("of texts import (po)", ms(times["texts import (po)"]),
                  "%.0f %%" % (100 * check / times["texts import (po)"]))])


if __name__ == "__main__":
    run()
