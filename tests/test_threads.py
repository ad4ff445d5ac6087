"""Several threads on one archive, their argument conversions releasing the GIL
mid-call: every call either runs or is refused with the access error of its kind and
without effect, and the archive holds exactly what the successful calls wrote."""
import random
import sys
import threading
import time

from conftest import blank_archive

THREADS = 4
SECONDS = 2.0


class Yielding:
    """An int-like argument whose conversion lets other threads run."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


def _access_error_classes(archive):
    found = {}

    class Probe:
        def __init__(self, call):
            self.call = call

        def __index__(self):
            try:
                self.call()
            except RuntimeError as error:
                found[self.call] = type(error)
            return 0

    inner_shared, inner_exclusive = archive.size, lambda: archive.write_u8(0, 0)
    archive.write_u8(Probe(inner_shared), 0)
    archive.read_u8(Probe(inner_exclusive))
    return found[inner_shared], found[inner_exclusive]


def test_threads_calling_one_archive():
    archive = blank_archive(4 * THREADS + 4)
    shared_error, exclusive_error = _access_error_classes(archive)
    assert (shared_error.__name__, exclusive_error.__name__) == (
        "SharedAccessError", "ExclusiveAccessError")
    written = [0] * THREADS  # the model: the last value each thread wrote successfully
    counts = [[0, 0, 0, 0] for _ in range(THREADS)]  # reads, writes, refused r/w
    problems = []
    stop = time.monotonic() + SECONDS

    def worker(index):
        rng = random.Random(index)
        slot = 4 * index
        attempt = 0
        while time.monotonic() < stop and not problems:
            time.sleep(0)  # a gap holding no access, so writers get their turn too
            if rng.random() < 0.3:
                try:
                    value = archive.read_u32(Yielding(slot))
                except shared_error as error:
                    counts[index][2] += 1
                    if error.args != ():
                        problems.append(("shared refusal with args", error.args))
                    continue
                except BaseException as error:  # noqa: BLE001
                    problems.append(("read", repr(error)))
                    return
                counts[index][0] += 1
                if value != written[index]:
                    problems.append(("read", index, value, written[index]))
            else:
                attempt += 1
                try:
                    archive.write_u32(Yielding(slot), Yielding(attempt))
                except exclusive_error as error:
                    counts[index][3] += 1
                    if error.args != ():
                        problems.append(("exclusive refusal with args", error.args))
                    continue
                except BaseException as error:  # noqa: BLE001
                    problems.append(("write", repr(error)))
                    return
                counts[index][1] += 1
                written[index] = attempt

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(SECONDS + 30)
    finally:
        sys.setswitchinterval(interval)
    assert problems == []
    assert not any(thread.is_alive() for thread in threads)
    totals = [sum(c[k] for c in counts) for k in range(4)]
    assert all(totals), counts  # reads, writes and both kinds of refusal all happened
    # The flag is back at zero: an exclusive call goes through, and the slots hold
    # exactly the successful writes (a refused write would show a later attempt).
    archive.write_u32(4 * THREADS, 1)
    assert [archive.read_u32(4 * i) for i in range(THREADS)] == written
    assert archive.size() == 4 * THREADS + 4
