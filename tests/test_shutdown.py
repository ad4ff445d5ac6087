"""Daemon threads inside the module while the interpreter exits: the process ends with
the main thread's status, as it does for a daemon thread in any blocking C call.

The interpreter ends a daemon thread that wants the GIL back once it is finalizing,
and before 3.14 it does so by unwinding the thread's stack; a module frame that cannot
be unwound then aborts the whole process. Each script keeps daemon threads busy in one
place that could give up the GIL (a large load, or freeing a large archive) and exits
while a cyclic object's __del__ sleeps in the final collection, so the threads are let
run while the interpreter finalizes. Several runs each: the window is met by chance,
but on a build with that fault nearly every run aborts (measured on 3.8, 3.11, 3.13)."""
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent("""
    import struct, sys, threading, time
    from orvane_core import BinArchive

    SIZE = 2 << 20  # well above the size from which a load gives up the GIL
    DATA = struct.pack("<8I", 32 + SIZE, SIZE, 0, 0, 0, 0, 0, 0) + bytes(SIZE)

    def load():
        while True:
            BinArchive.from_bytes(DATA)

    def free():
        while True:
            archive = BinArchive()
            archive.allocate_at_end(SIZE)
            del archive

    for _ in range(2):
        threading.Thread(target={work}, daemon=True).start()
    time.sleep(0.02)

    class Slow:
        def __del__(self):
            time.sleep(0.02)

    cycle = Slow()
    cycle.me = cycle
    del cycle
    sys.exit(3)
""")

RUNS = 3


@pytest.mark.parametrize("work", ["load", "free"])
def test_daemon_threads_at_exit(work):
    outcomes = []
    for _ in range(RUNS):
        run = subprocess.run([sys.executable, "-c", SCRIPT.format(work=work)],
                             capture_output=True, timeout=60)
        outcomes.append((run.returncode, run.stdout.decode(errors="replace"),
                         run.stderr.decode(errors="replace")))
    assert outcomes == [(3, "", "")] * RUNS
