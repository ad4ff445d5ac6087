"""Every method, called many times through every way in and out (success, bad types,
bad values, argument-list errors, access refused, model errors), must not leak: neither
memory nor references to the objects the caller passes in.

Three meters, each as precise as the build allows: the process's resident size (the
coarse, always-available one); the bytes that malloc has handed out and not got back,
which the C++ side allocates from (glibc's counters, or AddressSanitizer's own under
ASan, where freed memory sits in quarantine and inflates the resident size); and the
interpreter's count of allocated object blocks, which a lost reference keeps alive.
"""

import gc
import os
import sys

import pytest

from conftest import UNDER_ASAN, build_archive, heap_bytes, orvane_core, raw_archive

BinArchive = orvane_core.BinArchive

WARMUP = 30
ROUNDS = 1000


# --- meters -------------------------------------------------------------------------


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def object_blocks():
    # Zero when PYTHONMALLOC=malloc: the heap meter then sees every object instead.
    return sys.getallocatedblocks() if hasattr(sys, "getallocatedblocks") else 0


def settle():
    gc.collect()
    gc.collect()


# --- the calls ----------------------------------------------------------------------


def sample_file():
    return build_archive(
        0x40,
        pointers={0x0: 0x10, 0x4: 0x40},
        texts={0x8: b"text", 0xC: b"\x82\xa0"},
        labels=[(0x0, b"L"), (0x10, b"M"), (0x10, b"L")],
    )


class Hook(object):
    """An int-like argument that runs `action` each time it is converted."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value

    def __float__(self):
        self.action()
        return float(self.value)


class Names(object):
    """A sequence whose length lies and whose iteration fails part way."""

    def __len__(self):
        return 10 ** 9

    def __getitem__(self, index):
        if index < 2:
            return "n%d" % index
        raise KeyError(index)


def expect(kind, call):
    try:
        call()
    except kind:
        return
    raise AssertionError("expected %s" % kind.__name__)


class Cases(object):
    """Shared argument objects, the archive they are used on, and the list of calls.

    Every call either fails or leaves the archive as it found it (writes rewrite the
    same value, growth is undone), so repeating a round allocates nothing that lasts.
    """

    def __init__(self):
        self.archive = BinArchive.from_bytes(sample_file())
        self.unencodable = BinArchive()
        self.unencodable.allocate_at_end(4)
        self.unencodable.write_string(0, "\U0001f600")
        # Objects the calls share: their reference counts must come back each round.
        self.address = int("1024")  # a fresh int object, not a cached small one
        self.value = int("300")
        self.text = "".join(["lab", "el"])
        self.blob = bytes(bytearray(b"\x01\x02\x03"))
        self.file = sample_file()
        self.names = ["".join(["n", str(i)]) for i in range(3)]
        self.kwargs = {"address": self.address, "value": self.value}
        self.hook_value = int("1028")
        self.plain_hook = Hook(self.hook_value, lambda: None)
        self.small_hook = Hook(100, lambda: None)  # fits every integer width
        self.shared = [self.address, self.value, self.text, self.blob, self.file, self.names,
                       self.kwargs, self.hook_value, self.plain_hook, self.small_hook, None]
        self.calls = self._build()

    def tracked(self):
        return self.shared + self.names

    def _build(self):
        a = self.archive
        at, v, text, blob, names = self.address, self.value, self.text, self.blob, self.names
        calls = []

        def ok(label, call):
            calls.append((label, call))

        def fails(label, kind, call):
            calls.append((label, lambda: expect(kind, call)))

        # The archive is 0x40 bytes; grow it to 0x800 so the shared address 1024 is valid.
        a.allocate_at_end(0x800 - a.size())

        # Constructor and from_bytes.
        ok("BinArchive()", lambda: BinArchive())
        ok("BinArchive(args)", lambda: BinArchive(at, text, key=blob))
        ok("from_bytes", lambda: BinArchive.from_bytes(self.file))
        ok("from_bytes keyword", lambda: BinArchive.from_bytes(bytes=self.file))
        fails("from_bytes bytearray", TypeError, lambda: BinArchive.from_bytes(bytearray(blob)))
        fails("from_bytes missing", TypeError, lambda: BinArchive.from_bytes())
        fails("from_bytes extra", TypeError, lambda: BinArchive.from_bytes(blob, blob))
        fails("from_bytes twice", TypeError, lambda: BinArchive.from_bytes(blob, bytes=blob))
        fails("from_bytes unknown", TypeError, lambda: BinArchive.from_bytes(data=blob))
        for label, bad in [
            ("short", bytes(31)),
            ("size", raw_archive(file_size=33)),
            ("tables", raw_archive(pointer_count=4)),
            ("slot", raw_archive(bytes(8), [6])),
            ("fell out", raw_archive(b"\x40\0\0\0\0\0\0\0", [0], text=b"ab")),
            ("decode", raw_archive(b"\x0c\0\0\0\0\0\0\0", [0], text=b"\xff\0")),
            ("label slot", raw_archive(bytes(8), [], [(8, 0)], b"\0")),
        ]:
            fails("from_bytes " + label, ValueError, lambda bad=bad: BinArchive.from_bytes(bad))

        # size and serialize.
        ok("size", a.size)
        ok("serialize", a.serialize)
        fails("size args", TypeError, lambda: a.size(at))
        fails("serialize args", TypeError, lambda: a.serialize(text))
        fails("serialize unencodable", ValueError, self.unencodable.serialize)

        # Reads. Each: success, a type the conversion refuses, a value it refuses, every
        # argument-list error, a model error, and a refused call made from __index__.
        reads = ["read_f32", "read_u8", "read_u16", "read_u32", "read_i8", "read_i16",
                 "read_i32", "read_string", "read_pointer", "read_labels"]
        for name in reads:
            m = getattr(a, name)
            ok(name, lambda m=m: m(at))
            ok(name + " keyword", lambda m=m: m(address=at))
            ok(name + " hook", lambda m=m: m(self.plain_hook))
            fails(name + " type", TypeError, lambda m=m: m(text))
            fails(name + " negative", OverflowError, lambda m=m: m(-1))
            fails(name + " huge", OverflowError, lambda m=m: m(2 ** 64))
            fails(name + " missing", TypeError, lambda m=m: m())
            fails(name + " extra", TypeError, lambda m=m: m(at, v))
            fails(name + " twice", TypeError, lambda m=m: m(at, address=at))
            fails(name + " unknown", TypeError, lambda m=m: m(at, bogus=v))
            fails(name + " range", ValueError, lambda m=m: m(0x800))
            fails(name + " refused", ExclusiveAccessError,
                  lambda m=m: m(Hook(at, lambda: a.write_u8(0, 0))))
        ok("read_labels empty slot", lambda: a.read_labels(0x20))
        ok("read_bytes", lambda: a.read_bytes(at, 16))
        ok("read_bytes keywords", lambda: a.read_bytes(amount=v, address=at))
        fails("read_bytes type", TypeError, lambda: a.read_bytes(at, blob))
        fails("read_bytes value", OverflowError, lambda: a.read_bytes(at, -1))
        fails("read_bytes missing", TypeError, lambda: a.read_bytes(at))
        fails("read_bytes extra", TypeError, lambda: a.read_bytes(at, v, v))
        fails("read_bytes range", ValueError, lambda: a.read_bytes(at, 2 ** 64 - 1))
        fails("read_bytes refused", ExclusiveAccessError,
              lambda: a.read_bytes(at, Hook(4, lambda: a.allocate_at_end(0))))
        ok("find_label_address", lambda: a.find_label_address("L"))
        ok("find_label_address absent", lambda: a.find_label_address(text))
        fails("find_label_address type", TypeError, lambda: a.find_label_address(blob))
        fails("find_label_address surrogate", UnicodeEncodeError,
              lambda: a.find_label_address("\ud800"))
        fails("find_label_address missing", TypeError, lambda: a.find_label_address())
        fails("find_label_address unknown", TypeError,
              lambda: a.find_label_address(text, label=text))

        # Typed writes: the value's own conversion failures too.
        int_writes = {"write_u8": 256, "write_u16": 65536, "write_u32": 2 ** 32,
                      "write_i8": 128, "write_i16": 32768, "write_i32": 2 ** 31}
        for name, too_big in sorted(int_writes.items()):
            m = getattr(a, name)
            ok(name, lambda m=m: m(at, 7))
            ok(name + " hook", lambda m=m: m(self.plain_hook, self.small_hook))
            if too_big > 256:  # the shared value 300 fits
                ok(name + " kwargs", lambda m=m: m(**self.kwargs))
            fails(name + " value type", TypeError, lambda m=m: m(at, 1.5))
            fails(name + " value range", OverflowError, lambda m=m, n=too_big: m(at, n))
            fails(name + " value huge", OverflowError, lambda m=m: m(at, 2 ** 80))
            fails(name + " model", ValueError, lambda m=m: m(0x800, 1))
        f32 = a.write_f32
        ok("write_f32", lambda: f32(at, 1.5))
        ok("write_f32 int", lambda: f32(at, v))
        ok("write_f32 hook", lambda: f32(at, self.plain_hook))
        fails("write_f32 type", TypeError, lambda: f32(at, text))
        fails("write_f32 huge int", OverflowError, lambda: f32(at, 2 ** 2000))
        ok("write_bytes", lambda: a.write_bytes(at, blob))
        fails("write_bytes type", TypeError, lambda: a.write_bytes(at, bytearray(blob)))
        fails("write_bytes range", ValueError, lambda: a.write_bytes(0x7FF, blob))

        # Entries.
        ok("write_string", lambda: a.write_string(at, text))
        ok("write_string none", lambda: a.write_string(at + 4, None))
        ok("write_string absent", lambda: a.write_string(at + 4))
        fails("write_string type", TypeError, lambda: a.write_string(at, blob))
        fails("write_string surrogate", UnicodeEncodeError, lambda: a.write_string(at, "\ud800"))
        ok("write_pointer", lambda: a.write_pointer(at, v))
        ok("write_pointer none", lambda: a.write_pointer(at + 4, None))
        fails("write_pointer value", OverflowError, lambda: a.write_pointer(at, -1))
        ok("write_labels", lambda: a.write_labels(at, names))
        ok("write_labels tuple", lambda: a.write_labels(at, tuple(names)))
        ok("write_labels str", lambda: a.write_labels(at, text))
        fails("write_labels dict", TypeError, lambda: a.write_labels(at, {text: v}))
        fails("write_labels item", TypeError, lambda: a.write_labels(at, [text, blob]))
        fails("write_labels iteration", KeyError, lambda: a.write_labels(at, Names()))
        fails("write_labels refused", SharedAccessError,
              lambda: a.write_labels(Hook(at, a.size), names))
        ok("write_label then delete_label", lambda: (a.write_label(at + 8, text),
                                                     a.delete_label(at + 8, 0)))
        fails("write_label type", TypeError, lambda: a.write_label(at, None))
        ok("delete_label absent", lambda: a.delete_label(at + 12, 5))
        fails("delete_label index", ValueError, lambda: a.delete_label(at, 99))
        fails("delete_label negative", OverflowError, lambda: a.delete_label(at, -1))
        ok("delete_string", lambda: a.delete_string(at + 4))
        ok("delete_pointer", lambda: a.delete_pointer(at + 4))
        ok("delete_labels", lambda: a.delete_labels(at + 4))
        for name in ["write_string", "write_pointer", "write_labels", "write_label",
                     "delete_string", "delete_pointer", "delete_labels", "delete_label"]:
            m = getattr(a, name)
            second = {"write_string": text, "write_pointer": v, "write_labels": names,
                      "write_label": text, "delete_label": 0}.get(name)
            args = (at,) if second is None else (at, second)
            fails(name + " type", TypeError, lambda m=m, args=args: m(text, *args[1:]))
            fails(name + " huge", OverflowError, lambda m=m, args=args: m(2 ** 64, *args[1:]))
            fails(name + " missing", TypeError, lambda m=m: m())
            fails(name + " extra", TypeError, lambda m=m, args=args: m(at, v, v))
            fails(name + " twice", TypeError, lambda m=m, args=args: m(*args, address=at))
            fails(name + " unknown", TypeError, lambda m=m, args=args: m(*args, bogus=text))
            fails(name + " alignment", ValueError, lambda m=m, args=args: m(at + 2, *args[1:]))
            fails(name + " range", ValueError, lambda m=m, args=args: m(0x800, *args[1:]))
            fails(name + " refused", SharedAccessError,
                  lambda m=m, args=args: m(Hook(at, a.serialize), *args[1:]))

        # Growing and shrinking, each success undone by its opposite.
        ok("allocate_at_end/deallocate", lambda: (a.allocate_at_end(8), a.deallocate(0x800, 8)))
        ok("allocate/deallocate", lambda: (a.allocate(0x10, 16), a.deallocate(0x10, 16)))
        ok("allocate_at_end 0", lambda: a.allocate_at_end(0))
        fails("allocate_at_end too much", ValueError, lambda: a.allocate_at_end(2 ** 64 - 1))
        fails("allocate too much", ValueError, lambda: a.allocate(0, 2 ** 64 - 4))
        fails("allocate range", ValueError, lambda: a.allocate(0x804, 4))
        fails("allocate value", ValueError, lambda: a.allocate(0, 6))
        fails("deallocate range", ValueError, lambda: a.deallocate(0x7F0, 0x20))
        fails("deallocate value", ValueError, lambda: a.deallocate(0, 6))
        for name in ["allocate_at_end", "allocate", "deallocate"]:
            m = getattr(a, name)
            args = (4,) if name == "allocate_at_end" else (at, 4)
            fails(name + " type", TypeError, lambda m=m, args=args: m(*args[:-1], 4.0))
            fails(name + " negative", OverflowError, lambda m=m, args=args: m(*args[:-1], -4))
            fails(name + " missing", TypeError, lambda m=m: m())
            fails(name + " extra", TypeError, lambda m=m, args=args: m(*(args + (4, 4))))
            fails(name + " unknown", TypeError, lambda m=m, args=args: m(*args, bogus=4))
            fails(name + " refused", SharedAccessError,
                  lambda m=m, args=args: m(*args[:-1], Hook(4, lambda: a.read_u8(0))))

        # Every method refused while an exclusive call is converting its arguments.
        inner = {"size": (), "serialize": (), "find_label_address": ("L",),
                 "read_bytes": (0, 4), "delete_label": (0, 9), "write_bytes": (0, blob),
                 "write_string": (0, text), "write_pointer": (0, v), "write_labels": (0, names),
                 "write_label": (0, text), "allocate_at_end": (0,), "allocate": (0, 0),
                 "deallocate": (0, 0), "write_f32": (0, 1.0)}
        methods = [n for n in dir(BinArchive) if not n.startswith("_") and n != "from_bytes"]
        assert len(methods) == 33, methods
        for name in methods:
            args = inner.get(name, (0, 1) if name.startswith("write_") else (0,))
            kind = SharedAccessError if name.startswith(("read_", "size", "serialize", "find_")) \
                else ExclusiveAccessError

            def refused(name=name, args=args, kind=kind):
                def inside():
                    expect(kind, lambda: getattr(a, name)(*args))

                a.write_u32(Hook(0x20, inside), 0)

            ok(name + " refused inside a write", refused)
        return calls

    def run_round(self):
        for _, call in self.calls:
            call()


def _exception_classes():
    """The access error classes are created on first use and are not module attributes."""
    a = BinArchive()
    a.allocate_at_end(4)
    found = {}

    def grab(method, args):
        def inside():
            try:
                getattr(a, method)(*args)
            except RuntimeError as error:
                found[method] = type(error)

        return inside

    a.write_u8(Hook(0, grab("size", ())), 0)
    a.read_u8(Hook(0, grab("write_u8", (0, 0))))
    return found["size"], found["write_u8"]


SharedAccessError, ExclusiveAccessError = _exception_classes()


@pytest.fixture(scope="module")
def cases():
    c = Cases()
    for _ in range(WARMUP):
        c.run_round()
    return c


def test_every_method_is_called(cases):
    methods = {n for n in dir(BinArchive) if not n.startswith("_")}
    assert len(methods) == 34
    labels = " ".join(label for label, _ in cases.calls)
    missing = sorted(n for n in methods if n not in labels)
    assert missing == []
    snapshot = bytes(cases.archive.serialize())
    cases.run_round()
    assert bytes(cases.archive.serialize()) == snapshot, "a round changed the archive"


def test_reference_counts_come_back(cases):
    tracked = cases.tracked()
    settle()
    before = [sys.getrefcount(x) for x in tracked]
    for _ in range(ROUNDS // 4):
        cases.run_round()
    settle()
    after = [sys.getrefcount(x) for x in tracked]
    grown = [(repr(x)[:40], b, a) for x, b, a in zip(tracked, before, after) if a != b]
    # None is shared with the whole interpreter; only growth per call would show.
    grown = [g for g in grown if not (g[0] == "None" and abs(g[2] - g[1]) < ROUNDS // 8)]
    assert grown == [], grown


def test_no_call_leaks_memory(cases):
    """Per call: a leak of one block per call shows as hundreds of blocks or bytes.

    Two windows are measured one after the other and a call counts as leaking only when
    both grow: the interpreter fills a cache or resizes a table now and then, once, while
    a leak grows in every window."""
    window = ROUNDS // 2
    leaks = []
    settle()
    # Automatic collections would run at random points; a young-generation collection
    # around each measurement is enough to free whatever cycles the calls made.
    gc.disable()
    try:
        for label, call in cases.calls:
            for _ in range(20):
                call()
            growth = []
            for _ in range(2):
                gc.collect(1)
                heap0, blocks0 = heap_bytes() if heap_bytes else 0, object_blocks()
                for _ in range(window):
                    call()
                gc.collect(1)
                heap1, blocks1 = heap_bytes() if heap_bytes else 0, object_blocks()
                growth.append((heap1 - heap0, blocks1 - blocks0))
            if all(heap > 4 * window or blocks > window // 4 for heap, blocks in growth):
                leaks.append((label, growth))
    finally:
        gc.enable()
    assert leaks == [], leaks


def test_resident_size_does_not_grow(cases):
    settle()
    rss0 = resident_bytes()
    heap0 = heap_bytes() if heap_bytes else 0
    for _ in range(ROUNDS):
        cases.run_round()
    settle()
    rss_growth = resident_bytes() - rss0
    heap_growth = (heap_bytes() if heap_bytes else 0) - heap0
    calls = ROUNDS * len(cases.calls)
    # A leak of 16 bytes per call would be several megabytes here.
    assert heap_growth < 512 * 1024, (heap_growth, calls)
    if not UNDER_ASAN:  # ASan's quarantine keeps freed memory resident on purpose
        assert rss_growth < 4 * 1024 * 1024, (rss_growth, calls)
