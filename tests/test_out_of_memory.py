"""Out of memory at every allocation the interpreter makes for a call: for each method,
fail the n-th allocation (once, or from then on) for n = 0, 1, ... until the call goes
through. Each call succeeds or raises MemoryError / InternalFault, never SystemError
and never a crash, and a failed call leaves the archive writing the same file."""
import gc
import sys

import pytest

from conftest import build_archive, orvane_core

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("this interpreter cannot fail its allocations on demand",
                allow_module_level=True)

BinArchive = orvane_core.BinArchive
LIMIT = 400  # allocations tried per call; every call here needs far fewer


def sample_file():
    # A pointer, texts decoded at load, label lists; names longer than one character,
    # which the interpreter would hand out from its cache without allocating. The text
    # at 0x14 starts inside the run of the one at 0x4, so both are decoded on read.
    data_size = 0x20
    file = bytearray(build_archive(
        data_size,
        pointers={0x0: 0x10},
        texts={0x4: b"text", 0x8: b"\x82\xa0", 0xC: b"\xef\xbb\xbfrun", 0x14: b""},
        labels=[(0x0, b"Lab"), (0x10, b"Mark"), (0x10, b"Lab")],
    ))
    slot = 32 + 0x4
    inside = int.from_bytes(file[slot:slot + 4], "little") + 1
    file[32 + 0x14:32 + 0x18] = inside.to_bytes(4, "little")
    return bytes(file)


FILE = sample_file()

CALLS = [
    ("BinArchive", lambda a: BinArchive()),
    ("from_bytes", lambda a: BinArchive.from_bytes(FILE)),
    ("size", lambda a: a.size()),
    ("serialize", lambda a: a.serialize()),
    ("read_f32", lambda a: a.read_f32(0x14)),
    ("read_u8", lambda a: a.read_u8(1)),
    ("read_u16", lambda a: a.read_u16(2)),
    ("read_u32", lambda a: a.read_u32(0)),
    ("read_i8", lambda a: a.read_i8(1)),
    ("read_i16", lambda a: a.read_i16(2)),
    ("read_i32", lambda a: a.read_i32(0)),
    ("read_bytes", lambda a: a.read_bytes(0, 0x20)),
    ("read_string", lambda a: a.read_string(4)),
    ("read_string marked", lambda a: a.read_string(0xC)),
    ("read_pointer", lambda a: a.read_pointer(0)),
    ("read_labels", lambda a: a.read_labels(0x10)),
    ("delete_string", lambda a: a.delete_string(4)),
    ("delete_pointer", lambda a: a.delete_pointer(0)),
    ("delete_labels", lambda a: a.delete_labels(0x10)),
    ("delete_label", lambda a: a.delete_label(0x10, 0)),
    ("write_f32", lambda a: a.write_f32(0x14, 1.5)),
    ("write_u8", lambda a: a.write_u8(0x14, 300 - 100)),
    ("write_u16", lambda a: a.write_u16(0x14, 60000)),
    ("write_u32", lambda a: a.write_u32(0x14, 2 ** 32 - 1)),
    ("write_i8", lambda a: a.write_i8(0x14, -5)),
    ("write_i16", lambda a: a.write_i16(0x14, -30000)),
    ("write_i32", lambda a: a.write_i32(0x14, -(2 ** 31))),
    ("write_bytes", lambda a: a.write_bytes(0x14, b"\x01\x02\x03")),
    ("write_string", lambda a: a.write_string(0x14, "new text")),
    ("write_pointer", lambda a: a.write_pointer(0x14, 2 ** 40)),
    ("write_labels", lambda a: a.write_labels(0x14, ["x", "y", "z"])),
    ("write_label", lambda a: a.write_label(0x10, "Note")),
    ("allocate_at_end", lambda a: a.allocate_at_end(64)),
    ("allocate", lambda a: a.allocate(0x8, 16)),
    ("deallocate", lambda a: a.deallocate(0x4, 8)),
    ("find_label_address", lambda a: a.find_label_address("Mark")),
    ("keywords", lambda a: a.read_bytes(amount=4, address=0)),
]


def test_every_method_is_in_the_loop():
    methods = {n for n in dir(BinArchive) if not n.startswith("_")}
    assert methods <= {name.split()[0] for name, _ in CALLS}


def fresh():
    archive = BinArchive.from_bytes(FILE)
    assert archive.read_string(0xC) == "run"
    assert archive.read_string(0x14) == "ext"
    return archive


def failing_at(call, archive, start, stop):
    """The call's outcome with allocations start..stop-1 refused (stop 0: all after)."""
    _testcapi.set_nomemory(start, stop)
    try:
        call(archive)
    except BaseException as error:  # noqa: BLE001 - the class is what is checked
        _testcapi.remove_mem_hooks()
        return error
    _testcapi.remove_mem_hooks()
    return None


@pytest.mark.parametrize("mode", ["once", "from-then-on"])
@pytest.mark.parametrize("name, call", CALLS, ids=[name for name, _ in CALLS])
def test_out_of_memory_at_every_allocation(name, call, mode):
    # The second pass over every refusal must end with the interpreter holding no more
    # blocks than after the first: a reference dropped on a failure path would show
    # once per refused allocation.
    counts = []
    for _ in range(2):
        refuse_each_allocation(call, mode)
        gc.collect()
        counts.append(sys.getallocatedblocks())
    assert counts[1] - counts[0] < 8, counts


def refuse_each_allocation(call, mode):
    for n in range(LIMIT):  # the hook counts allocations from 0
        archive = fresh()
        before = bytes(archive.serialize())
        error = failing_at(call, archive, n, n + 1 if mode == "once" else 0)
        if error is None:
            if mode == "from-then-on":
                break  # nothing after allocation n-1 was needed
            continue
        assert type(error) is MemoryError or type(error).__name__ == "InternalFault", (
            n, repr(error))
        assert bytes(archive.serialize()) == before, n
        # The object stays usable with its access given back.
        archive.write_u8(0x1C, 1)
        archive.write_u8(0x1C, 0)
    else:
        if mode == "from-then-on":
            pytest.fail("the call never went through")


# --- the model's own C++ allocations (a build with ORVANE_FAULT_INJECTION=ON) --------

import ctypes  # noqa: E402

_fail_allocation = getattr(ctypes.CDLL(orvane_core.__file__), "orvane_fail_allocation", None)
needs_injection = pytest.mark.skipif(
    _fail_allocation is None, reason="needs the fault-injection build of the module")
if _fail_allocation is not None:
    _fail_allocation.argtypes = [ctypes.c_longlong, ctypes.c_int]
    _fail_allocation.restype = None
    _live_allocations = ctypes.CDLL(orvane_core.__file__).orvane_live_allocations
    _live_allocations.argtypes = []
    _live_allocations.restype = ctypes.c_longlong


@needs_injection
@pytest.mark.parametrize("mode", ["once", "from-then-on"])
@pytest.mark.parametrize("name, call", CALLS, ids=[name for name, _ in CALLS])
def test_cxx_out_of_memory_at_every_allocation(name, call, mode):
    # Every archive the loop makes is gone at the end, so every C++ allocation made
    # on the way, refused calls included, must have been given back. The count can
    # only fall below its start: std::string's members compiled into libstdc++ allocate
    # through its own operator new, which the count does not see, and some of those
    # blocks come back through ours.
    gc.collect()
    live = _live_allocations()
    refuse_each_cxx_allocation(name, call, mode)
    gc.collect()
    assert _live_allocations() <= live


def refuse_each_cxx_allocation(name, call, mode):
    for n in range(LIMIT):
        archive = fresh()
        before = bytes(archive.serialize())
        _fail_allocation(n, 0 if mode == "once" else 1)
        try:
            call(archive)
            error = None
        except BaseException as caught:  # noqa: BLE001
            error = caught
        finally:
            _fail_allocation(-1, 0)
        if error is None:
            if mode == "from-then-on":
                return
            continue
        # Growing the data region has its own memory check, reported as a model error.
        grows = name in ("allocate", "allocate_at_end") and isinstance(error, ValueError) and (
            error.args[0].startswith("Not enough memory to allocate "))
        assert type(error) is MemoryError or grows, (n, repr(error))
        assert bytes(archive.serialize()) == before, n
        archive.write_u8(0x1C, 1)
        archive.write_u8(0x1C, 0)
    if mode == "from-then-on":
        pytest.fail("the call never went through")

