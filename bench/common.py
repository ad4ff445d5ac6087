"""Shared pieces of the benchmarks: a fast generator of archive files, best-of-N timing,
peak memory measured in a fresh process, and table printing.

The generator lays the file out with `array` slices instead of per-entry `struct`
calls, so that a 64 MiB archive with a million entries is built in about a second
and the benchmarks time the module, not the set-up. Its output is exactly what the
module's writer produces for the same contents (tables in writer order, strings
pooled, label names first), so `serialize` of a loaded file must give the input back;
the benchmarks check that as they go.
"""
import gc
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from array import array

HEADER = 32
SLOT = 4

# Shift_JIS for the katakana "テキスト" (te ki su to): the text entries carry
# two-byte characters so that loading exercises the codec's table path, not only ASCII.
TEXT_PREFIX = b"\x83\x65\x83\x4c\x83\x58\x83\x67"
TEXT_PREFIX_STR = "\u30c6\u30ad\u30b9\u30c8"
LABEL_PREFIX = "LABEL_"

if array("I").itemsize != 4:
    raise SystemExit("array('I') is not 32 bits wide on this platform")

MiB = 1024 * 1024


def label_name(j):
    """The name the generator gives to the j-th label (ascending address order)."""
    return "%s%07d" % (LABEL_PREFIX, j)


def text_value(j):
    """The string the generator gives to the j-th distinct text entry."""
    return "%s%07d" % (TEXT_PREFIX_STR, j)


class Archive:
    """A generated file and where its entries are.

    pointer_addresses, text_addresses and label_addresses are `range` objects in
    ascending order; label j carries label_name(j), distinct text j holds text_value(j).
    """

    def __init__(self, data, data_size, pointer_addresses, text_addresses, label_addresses,
                 shared_text):
        self.data = data
        self.data_size = data_size
        self.pointer_addresses = pointer_addresses
        self.text_addresses = text_addresses
        self.label_addresses = label_addresses
        self.shared_text = shared_text

    @property
    def entries(self):
        return len(self.pointer_addresses) + len(self.text_addresses) + len(self.label_addresses)


def _le(words):
    if sys.byteorder != "little":
        words.byteswap()
    return words.tobytes()


def make_archive(data_size, pointers=0, texts=0, labels=0, shared_chars=None):
    """Builds the bytes of an archive file.

    data_size: bytes in the data region, a multiple of 4.
    pointers: data pointers, on evenly spread slots, each pointing at the next slot
        (destinations stay within the data region, so they load as data pointers).
    texts: text entries on the slots after the data pointers'. Each holds its own
        string text_value(j) unless shared_chars is given: then every text entry
        points at one string of that many katakana (a multiple of 4), stored once.
    labels: one label per slot, on evenly spread slots, named label_name(j).
    """
    if data_size % SLOT:
        raise ValueError("data_size must be a multiple of 4")
    slots = data_size // SLOT
    entries = pointers + texts
    if entries > slots or labels > slots:
        raise ValueError("more entries than slots")
    entry_step = (slots // entries) if entries else 1
    label_step = (slots // labels) if labels else 1
    step_bytes = entry_step * SLOT

    pointer_addresses = range(0, pointers * step_bytes, step_bytes)
    text_addresses = range(pointers * step_bytes, entries * step_bytes, step_bytes)
    label_addresses = range(0, labels * label_step * SLOT, label_step * SLOT)

    # Text region: label names first, then the text strings in address order.
    name_len = len(LABEL_PREFIX) + 7 + 1
    names = b"".join(b"LABEL_%07d\0" % j for j in range(labels))
    shared_text = None
    if shared_chars is not None:
        if shared_chars % 4:
            raise ValueError("shared_chars must be a multiple of 4")
        shared_text = TEXT_PREFIX_STR * (shared_chars // 4)
    if shared_text is None:
        text_len = len(TEXT_PREFIX) + 7 + 1
        strings = b"".join(TEXT_PREFIX + b"%07d\0" % j for j in range(texts))
        text_offsets = range(len(names), len(names) + texts * text_len, text_len)
    else:
        strings = TEXT_PREFIX * (shared_chars // 4) + b"\0" if texts else b""
        text_offsets = [len(names)] * texts

    text_base = data_size + SLOT * entries + 8 * labels
    words = array("I", bytes(data_size))
    if pointers:
        words[0:pointers * entry_step:entry_step] = array(
            "I", range(SLOT, SLOT + pointers * step_bytes, step_bytes))
    if texts:
        start = pointers * entry_step
        words[start:entries * entry_step:entry_step] = array(
            "I", [text_base + o for o in text_offsets]
            if shared_text is not None else range(text_base + text_offsets.start,
                                                  text_base + text_offsets.stop,
                                                  text_offsets.step))

    table = array("I", pointer_addresses)
    table.extend(text_addresses)  # one group per string, ascending: the writer's order
    rows = array("I", bytes(8 * labels))
    rows[0::2] = array("I", label_addresses)
    rows[1::2] = array("I", range(0, labels * name_len, name_len))

    body = [_le(words), _le(table), _le(rows), names, strings]
    file_size = HEADER + sum(len(part) for part in body)
    header = _le(array("I", [file_size, data_size, entries, labels])) + bytes(16)
    data = b"".join([header] + body)
    assert len(data) == file_size
    return Archive(data, data_size, pointer_addresses, text_addresses, label_addresses,
                   shared_text)


# Timing.

def best_of(fn, repeats, cleanup=None):
    """Minimum wall time of fn() over `repeats` runs, in seconds.

    The minimum is the run least disturbed by other work on the machine. Garbage
    collection is off while timing; the result of fn() is released outside the timed
    region (freeing a list of 10^8 ints takes a while and is not the call's cost).
    """
    best = float("inf")
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            start = time.perf_counter()
            result = fn()
            elapsed = time.perf_counter() - start
            if cleanup is not None:
                cleanup(result)
            del result
            best = min(best, elapsed)
    finally:
        if enabled:
            gc.enable()
    return best


# Peak memory of one operation, measured in a fresh process.

def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError("no %s in /proc/self/status" % field)


def reset_peak():
    """Resets the kernel's high-water mark of this process's resident memory.

    Returns False where that is not allowed (/proc/self/clear_refs needs owner write
    rights); the caller then falls back to getrusage's ru_maxrss, which cannot be reset.
    """
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_kib():
    try:
        return _status_kib("VmHWM")
    except (OSError, RuntimeError):
        import resource
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def rss_kib():
    return _status_kib("VmRSS")


def measure_in_child(script, payload, data):
    """Runs `script` (a bench module path) with --child, the archive bytes in a temp file.

    Peak resident memory counts every allocation, the C++ heap included, which
    tracemalloc cannot see; a fresh process keeps earlier runs' peaks out of it.
    Returns the child's JSON answer.
    """
    with tempfile.NamedTemporaryFile(prefix="orvane_bench_", suffix=".bin", delete=False) as f:
        f.write(data)
        path = f.name
    try:
        payload = dict(payload, path=path)
        out = subprocess.run([sys.executable, script, "--child", json.dumps(payload)],
                             check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
        return json.loads(out.strip().splitlines()[-1])
    finally:
        os.unlink(path)


def child_main(payload):
    """In the child: loads the payload's file and reports the peak memory of its op:
    "from_bytes", "serialize" (of the loaded file), "copy" or "list", as JSON on stdout."""
    import orvane_core

    with open(payload["path"], "rb") as f:
        data = f.read()
    operations = {
        "from_bytes": lambda: lambda: orvane_core.BinArchive.from_bytes(data),
        "serialize": lambda: orvane_core.BinArchive.from_bytes(data).serialize,
        "copy": lambda: lambda: bytes(memoryview(data)),
        "list": lambda: lambda: list(data),
    }
    if payload["op"] not in operations:
        raise SystemExit("unknown op " + payload["op"])
    peak, kept, exact = child_measure(operations[payload["op"]]())
    print(json.dumps(dict(peak=peak, kept=kept, exact=exact)))


def load_one_after_another(load, files):
    for data in files:
        load(data)


def load_in_threads(load, files):
    """Each file loaded by a thread of its own, all started before any is joined."""
    threads = [threading.Thread(target=load, args=(data,)) for data in files]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def child_measure(operation):
    """In the child: runs operation() between a reset high-water mark and a read of it.

    Returns (peak above the starting resident size, resident growth kept afterwards),
    both in bytes. Memory already resident at the start (the input file, the
    interpreter) is not counted.
    """
    gc.collect()
    exact = reset_peak()
    before = rss_kib()
    if not exact:
        # Without a reset the mark is the process's lifetime peak; reading a file
        # into bytes never overshoots what stays resident, so it is still close.
        before = max(before, peak_kib())
    result = operation()
    peak = peak_kib() - before
    kept = rss_kib() - before
    del result
    return peak * 1024, kept * 1024, exact


# Output.

def print_table(headers, rows, out=None):
    """A plain fixed-width table: first column left-aligned, the rest right-aligned."""
    out = out or sys.stdout
    cells = [[str(c) for c in row] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in cells)) if cells else len(h)
              for i, h in enumerate(headers)]

    def line(values):
        parts = [values[0].ljust(widths[0])]
        parts += [v.rjust(w) for v, w in zip(values[1:], widths[1:])]
        return "  ".join(parts).rstrip()

    print(line(headers), file=out)
    print("  ".join("-" * w for w in widths), file=out)
    for row in cells:
        print(line(row), file=out)
    out.flush()


def ms(seconds):
    value = seconds * 1e3
    if value < 1:
        return "%.3f" % value
    return "%.1f" % value if value < 10000 else "%.0f" % value


def ratio(value, floor):
    return "%.2f" % (value / floor) if floor > 0 else "-"


def size_text(nbytes):
    if nbytes >= MiB and nbytes % MiB == 0:
        return "%d MiB" % (nbytes // MiB)
    if nbytes >= MiB:
        return "%.1f MiB" % (nbytes / MiB)
    if nbytes >= 1024:
        return "%d KiB" % (nbytes // 1024)
    return "%d B" % nbytes


def count_text(n):
    if n >= 1000000 and n % 1000000 == 0:
        return "%dM" % (n // 1000000)
    if n >= 1000 and n % 1000 == 0:
        return "%dk" % (n // 1000)
    if n >= 1000:
        return "%.1fk" % (n / 1000)
    return str(n)


# Text-heavy archives: many strings, half of them ASCII and half kana and kanji, some
# shared by many entries.

# Characters with the same two-byte code in the module's Shift_JIS and in cp932, so
# that CPython's cp932 codec decodes the stored bytes to the same text.
_KANA = ("\u3042\u3044\u3046\u3048\u304a\u304b\u304d\u304f\u3051\u3053"
         "\u30a2\u30a4\u30a6\u30a8\u30aa\u30ab\u30ad\u30af\u30b1\u30b3"
         "\u65e5\u672c\u8a9e\u6587\u5b57\u540d\u524d\u4e16\u754c\u5c71")
_KANA_HEAD = "\u6587\u7ae0\u306e\u30c6\u30ad\u30b9\u30c8"  # 文章のテキスト
_SHARED_HEAD = "\u5171\u6709\u306e\u540d\u524d"  # 共有の名前


def _kana_number(j, width=4):
    digits = []
    for _ in range(width):
        j, d = divmod(j, len(_KANA))
        digits.append(_KANA[d])
    return "".join(reversed(digits))


def text_heavy_value(j, shared=16, share_every=5):
    """The string of the j-th text entry (in address order) of make_text_heavy.

    One entry in `share_every` holds one of `shared` strings used by many entries;
    the others each hold their own. Strings alternate: ASCII, then kana and kanji.
    """
    if share_every and j % share_every == 0:
        k = (j // share_every) % shared
        if k % 2 == 0:
            return "Shared item name %02d" % k
        return _SHARED_HEAD + _kana_number(k, 2)
    if j % 2 == 0:
        return "Item description %07d" % j
    return _KANA_HEAD + _kana_number(j)


class TextHeavy:
    """A generated file plus what a floor needs: every string stored in its text
    region (label names and text strings, as Shift_JIS bytes without their 0x00)."""

    def __init__(self, data, data_size, pointers, texts, labels, stored_strings):
        self.data = data
        self.data_size = data_size
        self.pointers = pointers
        self.texts = texts
        self.labels = labels
        self.stored_strings = stored_strings

    @property
    def entries(self):
        return self.pointers + self.texts + self.labels


def make_text_heavy(data_size, texts=100000, labels=10000, pointer_every=None, shared=16,
                    share_every=5):
    """Builds an archive of text entries, most with their own string, laid out as the
    module's writer lays it out (so serialize of the loaded file gives it back).

    pointer_every: when given, every slot whose index is a multiple of it carries a
    data pointer to the next slot, and the text entries go on the other slots.
    Labels (one name per slot, label_name(j)) are spread evenly over all slots.
    """
    if data_size % SLOT:
        raise ValueError("data_size must be a multiple of 4")
    slots = data_size // SLOT
    if pointer_every:
        pointer_slots = range(0, slots, pointer_every)
        free = slots - len(pointer_slots)
        per = pointer_every - 1

        def free_slot(k):  # the k-th slot carrying no data pointer
            return (k // per) * pointer_every + k % per + 1
    else:
        pointer_slots = range(0)
        free = slots

        def free_slot(k):
            return k
    if texts > free or labels > slots:
        raise ValueError("more entries than slots")
    text_step = free // texts if texts else 1
    text_slots = [free_slot(j * text_step) for j in range(texts)]
    label_step = slots // labels if labels else 1
    label_slots = range(0, labels * label_step, label_step)
    entries = len(pointer_slots) + texts

    names = [b"LABEL_%07d" % j for j in range(labels)]
    offset = sum(len(n) + 1 for n in names)
    text_base = data_size + SLOT * entries + 8 * labels
    # Strings pooled in address order; pointer-table groups in order of first use.
    groups = {}
    positions = {}
    stored = []
    values = array("I", bytes(4 * texts))
    for j, slot in enumerate(text_slots):
        value = text_heavy_value(j, shared, share_every)
        position = positions.get(value)
        if position is None:
            encoded = value.encode("shift_jis")
            position = positions[value] = offset
            offset += len(encoded) + 1
            stored.append(encoded)
            groups[value] = []
        groups[value].append(slot * SLOT)
        values[j] = text_base + position

    words = array("I", bytes(data_size))
    if len(pointer_slots):
        step_bytes = SLOT * pointer_every
        words[0:slots:pointer_every] = array(
            "I", range(SLOT, SLOT + len(pointer_slots) * step_bytes, step_bytes))
    for j, slot in enumerate(text_slots):
        words[slot] = values[j]

    table = array("I", range(0, len(pointer_slots) * pointer_slots.step * SLOT,
                             pointer_slots.step * SLOT))
    for addresses in groups.values():
        table.extend(addresses)
    rows = array("I", bytes(8 * labels))
    rows[0::2] = array("I", (s * SLOT for s in label_slots))
    name_offsets = array("I", bytes(4 * labels))
    at = 0
    for j, n in enumerate(names):
        name_offsets[j] = at
        at += len(n) + 1
    rows[1::2] = name_offsets

    strings = b"".join(n + b"\0" for n in names) + b"".join(s + b"\0" for s in stored)
    body = [_le(words), _le(table), _le(rows), strings]
    file_size = HEADER + sum(len(part) for part in body)
    header = _le(array("I", [file_size, data_size, entries, labels])) + bytes(16)
    data = b"".join([header] + body)
    assert len(data) == file_size
    return TextHeavy(data, data_size, len(pointer_slots), texts, labels, names + stored)
