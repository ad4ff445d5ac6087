"""The module, the class and the call frame: what import defines, the class's limits,
from_bytes/size/serialize, the per-object access flag and the exception classes."""
import importlib
import os
import shutil
import subprocess
import sys
import sysconfig
import weakref

import pytest

import orvane_core
from conftest import blank_archive, raw_archive, write

BinArchive = orvane_core.BinArchive



class Index:
    """An int-like argument whose conversion runs `hook` first."""

    def __init__(self, hook, value=0):
        self.hook = hook
        self.value = value

    def __index__(self):
        self.hook()
        return self.value


# --- module and class ---------------------------------------------------------------


def test_module_defines_only_doc_and_the_class():
    assert orvane_core.__all__ == ["__doc__", "BinArchive"]
    assert orvane_core.__doc__ == ""
    own = {n for n in vars(orvane_core) if n not in ("__name__", "__loader__", "__package__",
                                                    "__spec__", "__file__")}
    assert own == {"__all__", "__doc__", "BinArchive"}


def test_reload_and_second_import_keep_the_module_intact():
    module = importlib.reload(orvane_core)
    assert module.__all__ == ["__doc__", "BinArchive"]
    saved = sys.modules.pop("orvane_core")
    try:
        fresh = importlib.import_module("orvane_core")
        assert fresh.__all__ == ["__doc__", "BinArchive"]
        assert fresh.__doc__ == ""
        archive = fresh.BinArchive()
        archive.allocate_at_end(4)
        assert archive.size() == 4
    finally:
        sys.modules["orvane_core"] = saved


def test_class_identity():
    assert BinArchive.__name__ == "BinArchive"
    assert BinArchive.__qualname__ == "BinArchive"
    assert BinArchive.__bases__ == (object,)
    assert BinArchive.__doc__ is None


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3}), ((b"\0" * 40,), {})])
def test_constructor_ignores_its_arguments(args, kwargs):
    archive = BinArchive(*args, **kwargs)
    assert type(archive) is BinArchive
    assert archive.size() == 0
    assert write(archive) == write(BinArchive())


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (BinArchive,), {})


def test_instances_have_no_attributes_of_their_own():
    archive = BinArchive()
    with pytest.raises(AttributeError):
        archive.extra = 1
    with pytest.raises(AttributeError):
        archive.size = 1
    assert not hasattr(archive, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(archive)


# --- from_bytes, size, serialize ----------------------------------------------------


class BytesSub(bytes):
    pass


def test_from_bytes_on_the_class_an_instance_and_with_a_bytes_subclass():
    file = raw_archive(bytes(8), pointer_table=[0])
    other = blank_archive(4)
    for archive in (BinArchive.from_bytes(file), other.from_bytes(file),
                    BinArchive.from_bytes(BytesSub(file))):
        assert type(archive) is BinArchive
        assert archive is not other
        assert archive.size() == 8
        assert archive.read_pointer(0) == 0
    assert other.size() == 4


@pytest.mark.parametrize(
    "value",
    [bytearray(32), memoryview(bytes(32)), list(bytes(32)), "x" * 32, None, 32],
    ids=["bytearray", "memoryview", "list", "str", "None", "int"],
)
def test_from_bytes_takes_only_bytes(value):
    with pytest.raises(TypeError) as info:
        BinArchive.from_bytes(value)
    assert type(info.value) is TypeError
    assert info.value.args == ()


def test_from_bytes_reads_embedded_zero_bytes():
    # the content is taken by length, not up to the first 0x00
    archive = BinArchive.from_bytes(raw_archive(b"\0\0\x01\0"))
    assert archive.read_u32(0) == 0x10000


@pytest.mark.parametrize("method", ["size", "serialize"])
def test_methods_without_parameters_refuse_arguments(method):
    archive = BinArchive()
    with pytest.raises(TypeError):
        getattr(archive, method)(1)
    with pytest.raises(TypeError):
        getattr(archive, method)(x=1)
    assert archive.size() == 0


def test_size_and_serialize_results():
    archive = blank_archive(5)
    assert archive.size() == 5
    out = archive.serialize()
    assert type(out) is list
    assert all(type(b) is int and 0 <= b <= 255 for b in out)
    assert out == list(bytes(out))
    assert out is not archive.serialize()


def test_model_errors_are_value_errors_with_the_message_only():
    with pytest.raises(ValueError) as info:
        BinArchive.from_bytes(b"")
    assert type(info.value) is ValueError
    assert info.value.args == ("Input is not a large enough to contain an archive header.",)
    archive = blank_archive(4)
    with pytest.raises(ValueError) as info:
        archive.read_u32(4)
    assert info.value.args == ("Invalid address 0x4 for archive of size 0x4.",)


# --- access flag (nested calls of every kind are in test_reentrancy.py) --------------


def refused(call):
    """Runs `call`, which must be refused, and returns the exception."""
    with pytest.raises(RuntimeError) as info:
        call()
    assert info.value.args == ()
    return info.value


def assert_free(archive):
    """Shared and exclusive calls both work: the flag is back at 0."""
    archive.size()
    archive.write_u8(0, archive.read_u8(0))


def test_refusals_leave_the_outer_access_in_place():
    archive = blank_archive(4)
    seen = []

    def inside_shared():
        for _ in range(2):
            seen.append(type(refused(lambda: archive.write_u8(0, 1))).__name__)
            seen.append(archive.size())  # still shared

    archive.read_u8(Index(inside_shared))

    def inside_exclusive():
        for _ in range(2):
            seen.append(type(refused(archive.size)).__name__)
            seen.append(type(refused(lambda: archive.delete_labels(0))).__name__)

    archive.write_u8(Index(inside_exclusive), 5)
    assert seen == ["ExclusiveAccessError", 4] * 2 + [
        "SharedAccessError",
        "ExclusiveAccessError",
    ] * 2
    assert archive.read_u8(0) == 5
    assert_free(archive)


def test_access_refused_before_the_argument_list_is_looked_at():
    archive = blank_archive(4)
    seen = []

    def hook():
        for call in (lambda: archive.write_u8(), lambda: archive.serialize(),
                     lambda: archive.read_bytes(1, 2, 3, 4)):
            seen.append(type(refused(call)).__name__)

    archive.write_u8(Index(hook), 1)
    assert seen == ["ExclusiveAccessError", "SharedAccessError", "SharedAccessError"]


def test_access_is_given_back_after_every_kind_of_outcome():
    archive = blank_archive(4)
    archive.write_u32(0, 1)  # success
    with pytest.raises(ValueError):
        archive.write_u32(2, 1)  # model error
    with pytest.raises(ValueError):
        archive.read_u32(8)
    with pytest.raises(TypeError):
        archive.write_u32(0)  # argument list
    with pytest.raises(OverflowError):
        archive.write_u32(0, -1)  # conversion
    with pytest.raises(RuntimeError):
        archive.write_u32(Index(archive.size), 0)  # inner refusal
    archive.write_string(0, "\U0001f600")
    with pytest.raises(ValueError):
        archive.serialize()  # model error under shared access
    archive.delete_string(0)
    assert archive.read_u32(0) == 1
    assert_free(archive)



# --- results the interpreter cannot create ------------------------------------------

try:
    import _testcapi
except ImportError:
    _testcapi = None


def failing_one_allocation(call, n):
    """call() with the interpreter's n-th allocation (from 0) refused; the outcome."""
    _testcapi.set_nomemory(n, n + 1)
    try:
        return ("returned", call())
    except BaseException as error:  # noqa: B902 - InternalFault is not an Exception
        return ("raised", error)
    finally:
        _testcapi.remove_mem_hooks()


def result_archive():
    archive = blank_archive(0x2000)
    archive.write_u32(0x1000, 0xFFFFFFFF)
    archive.write_bytes(0x1004, b"abcd")
    archive.write_string(0x1008, "text " * 8)
    archive.write_labels(0x1000, ["name " * 8])
    return archive


# Each makes one fresh result object: an int beyond the shared small ones, bytes, str,
# a list of str, the list of serialize, the new object of from_bytes.
RESULTS = [
    ("int", lambda a: a.read_u32(0x1000)),
    ("bytes", lambda a: a.read_bytes(0x1004, 4)),
    ("str", lambda a: a.read_string(0x1008)),
    ("list of str", lambda a: a.read_labels(0x1000)),
    ("address", lambda a: a.find_label_address("name " * 8)),
    ("serialize", lambda a: a.serialize()),
    ("from_bytes", lambda a, data=write(blank_archive(8)): BinArchive.from_bytes(data)),
]


@pytest.mark.skipif(_testcapi is None or not hasattr(_testcapi, "set_nomemory"),
                    reason="needs _testcapi.set_nomemory")
@pytest.mark.parametrize("call", [row[1] for row in RESULTS], ids=[row[0] for row in RESULTS])
def test_result_the_interpreter_cannot_create_is_an_internal_fault(call):
    archive = result_archive()
    expected = call(archive)
    faults = []
    for n in range(200):
        outcome, value = failing_one_allocation(lambda: call(archive), n)
        if outcome == "returned":
            break
        if type(value).__name__ == "InternalFault":
            faults.append(value)
        else:  # the interpreter's own allocations around the call
            assert isinstance(value, MemoryError)
    else:
        pytest.fail("the call never succeeded")
    assert value == expected or type(value) is BinArchive
    assert faults, "no refused allocation surfaced as InternalFault"
    cls = type(faults[0])
    assert (cls.__module__, cls.__qualname__, cls.__bases__) == (
        "ext_runtime", "InternalFault", (BaseException,))
    assert not hasattr(orvane_core, "InternalFault")
    for fault in faults:
        assert type(fault) is cls
        assert fault.args == ("The result could not be converted to a Python object.",)
    assert call(archive) == expected or type(expected) is BinArchive


# --- method rows against their binders ------------------------------------------------

ROW_SOURCE = """
#include "row_binding.h"
namespace orvane::py {
constexpr Param kParams[] = {%s};
constexpr MethodRow kRow = row<Method<&read_bytes, U64, U64>>("read_bytes", 3, Access::kShared,
                                                             kParams);
}
"""


@pytest.mark.parametrize("params, compiles", [
    ("{Name::kAddress, true}, {Name::kAmount, true}", True),
    ("{Name::kAddress, true}", False),
    ("{Name::kAddress, true}, {Name::kAmount, true}, {Name::kIndex, false}", False),
], ids=["matching", "fewer parameters", "more parameters"])
def test_a_row_whose_parameters_do_not_match_its_conversions_does_not_compile(
        params, compiles, tmp_path):
    compiler = shutil.which(os.environ.get("CXX", "c++"))
    if compiler is None:
        pytest.skip("no C++ compiler")
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
    source = tmp_path / "row.cpp"
    source.write_text(ROW_SOURCE % params)
    result = subprocess.run(
        [compiler, "-std=c++17", "-fsyntax-only", "-I", root, "-I", os.path.join(root, "binding"),
         "-I", sysconfig.get_paths()["include"], str(source)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    assert (result.returncode == 0) == compiles, result.stdout
    if not compiles:
        assert "a row needs one parameter per conversion" in result.stdout
