"""Python code run while a call converts its arguments (__index__, __float__, a sequence's
__iter__, __next__ and __len__) calling back into the same archive: shared beside shared
is granted, everything else is refused, and the access flag always comes back."""
import pytest

import orvane_core
from conftest import blank_archive, raw_archive


class Hook:
    """Runs `inner` when the interpreter converts it, then stands for `value`.

    With catch=True an exception from `inner` is recorded and swallowed; otherwise it is
    recorded and re-raised, so the test can check the outer call fails with that object.
    """

    def __init__(self, inner, value, catch=False):
        self.inner, self.value, self.catch = inner, value, catch
        self.outcome = None

    def fire(self):
        try:
            self.outcome = ("returned", self.inner())
        except Exception as error:
            self.outcome = ("raised", error)
            if not self.catch:
                raise

    def __index__(self):
        self.fire()
        return self.value

    def __float__(self):
        self.fire()
        return self.value


class Names:
    """A sequence of label names with a hook in one of __len__, __iter__ or __next__."""

    def __init__(self, names, hook, where):
        self.names, self.hook, self.where = list(names), hook, where
        self.position = 0

    def __getitem__(self, index):
        return self.names[index]

    def __len__(self):
        if self.where == "__len__":
            self.hook.fire()
        return len(self.names)

    def __iter__(self):
        if self.where == "__iter__":
            self.hook.fire()
        self.position = 0
        return self

    def __next__(self):
        if self.where == "__next__" and self.position == 1:
            self.hook.fire()
        if self.position == len(self.names):
            raise StopIteration
        self.position += 1
        return self.names[self.position - 1]


def archive_with_entries():
    archive = blank_archive(0x20, bytes(range(0x20)))
    archive.write_labels(0x10, ["x", "y"])
    archive.write_pointer(0x10, 4)
    return archive


# (name, access, call with the hook, check of the effect after a successful outer call)
OUTER = [
    ("read_u8 address", "S", lambda a, h: a.read_u8(h), 4,
     lambda a, result: result == 4),
    ("read_bytes amount", "S", lambda a, h: a.read_bytes(0, h), 3,
     lambda a, result: result == b"\0\1\2"),
    ("read_labels address", "S", lambda a, h: a.read_labels(address=h), 0x10,
     lambda a, result: result == ["x", "y"]),
    ("write_u8 value", "X", lambda a, h: a.write_u8(8, h), 0x77,
     lambda a, result: a.read_u8(8) == 0x77),
    ("write_u32 address", "X", lambda a, h: a.write_u32(h, 0x01020304), 8,
     lambda a, result: a.read_u32(8) == 0x01020304),
    ("write_f32 value", "X", lambda a, h: a.write_f32(8, h), 1.0,
     lambda a, result: a.read_u32(8) == 0x3F800000),
    ("write_pointer value", "X", lambda a, h: a.write_pointer(8, h), 0x1C,
     lambda a, result: a.read_pointer(8) == 0x1C),
    ("write_labels __iter__", "X",
     lambda a, h: a.write_labels(8, Names(["p", "q"], h, "__iter__")), None,
     lambda a, result: a.read_labels(8) == ["p", "q"]),
    ("write_labels __next__", "X",
     lambda a, h: a.write_labels(8, Names(["p", "q"], h, "__next__")), None,
     lambda a, result: a.read_labels(8) == ["p", "q"]),
    ("delete_label index", "X", lambda a, h: a.delete_label(0x10, h), 0,
     lambda a, result: a.read_labels(0x10) == ["y"]),
    ("allocate amount", "X", lambda a, h: a.allocate(0x10, h), 4,
     lambda a, result: a.size() == 0x24 and a.read_labels(0x14) == ["x", "y"]),
    ("deallocate amount", "X", lambda a, h: a.deallocate(0x10, h), 4,
     lambda a, result: a.size() == 0x1C and a.read_labels(0x10) is None),
    ("allocate_at_end amount", "X", lambda a, h: a.allocate_at_end(h), 2,
     lambda a, result: a.size() == 0x22),
]

# (name, access, call, result when granted)
INNER = [
    ("size", "S", lambda a: a.size(), 0x20),
    ("read_u32", "S", lambda a: a.read_u32(0), 0x03020100),
    ("read_labels", "S", lambda a: a.read_labels(0x10), ["x", "y"]),
    ("find_label_address", "S", lambda a: a.find_label_address("y"), 0x10),
    ("serialize", "S", lambda a: len(a.serialize()), 32 + 0x20 + 4 + 16 + 4),
    ("write_u8", "X", lambda a: a.write_u8(0, 9), None),
    ("write_label", "X", lambda a: a.write_label(0, "i"), None),
    ("delete_pointer", "X", lambda a: a.delete_pointer(0x10), None),
    ("allocate_at_end 0", "X", lambda a: a.allocate_at_end(0), None),
]


def refusal(outer, inner):
    """The class of the access error an overlapping call meets (no other way to get it)."""
    archive = blank_archive(4)
    hook = Hook(lambda: inner(archive), 0, catch=True)
    outer(archive, hook)
    return type(hook.outcome[1])


SharedAccessError = refusal(lambda a, h: a.write_u8(h, 0), lambda a: a.size())
ExclusiveAccessError = refusal(lambda a, h: a.read_u8(h), lambda a: a.write_u8(0, 1))


def test_access_error_classes():
    for cls, name in ((SharedAccessError, "SharedAccessError"),
                      (ExclusiveAccessError, "ExclusiveAccessError")):
        assert cls.__name__ == name
        assert cls.__module__ == "ext_runtime"
        assert cls.__bases__ == (RuntimeError,)
        assert not hasattr(orvane_core, name)


def assert_usable(archive):
    """Every kind of call is granted again: the flag went back to 0."""
    size = archive.size()
    archive.write_u8(0, 0xEE)
    assert archive.read_u8(0) == 0xEE
    archive.allocate_at_end(4)
    assert archive.size() == size + 4
    assert len(archive.serialize()) > 32


@pytest.mark.parametrize("inner_name, inner_access, inner, inner_result", INNER,
                         ids=[row[0] for row in INNER])
@pytest.mark.parametrize("outer_name, outer_access, outer, value, effect", OUTER,
                         ids=[row[0] for row in OUTER])
def test_nested_call_uncaught(outer_name, outer_access, outer, value, effect, inner_name,
                              inner_access, inner, inner_result):
    archive = archive_with_entries()
    hook = Hook(lambda: inner(archive), value)
    if outer_access == "S" and inner_access == "S":
        result = outer(archive, hook)
        assert hook.outcome == ("returned", inner_result)
        assert effect(archive, result)
    else:
        expected = ExclusiveAccessError if inner_access == "X" else SharedAccessError
        with pytest.raises(expected) as error:
            outer(archive, hook)
        assert hook.outcome[0] == "raised"
        assert error.value is hook.outcome[1]  # the inner exception, unchanged
        assert error.value.args == ()
    assert_usable(archive)


@pytest.mark.parametrize("inner_name, inner_access, inner, inner_result", INNER,
                         ids=[row[0] for row in INNER])
@pytest.mark.parametrize("outer_name, outer_access, outer, value, effect", OUTER,
                         ids=[row[0] for row in OUTER])
def test_nested_call_caught(outer_name, outer_access, outer, value, effect, inner_name,
                            inner_access, inner, inner_result):
    archive = archive_with_entries()
    hook = Hook(lambda: inner(archive), value, catch=True)
    result = outer(archive, hook)
    if outer_access == "S" and inner_access == "S":
        assert hook.outcome == ("returned", inner_result)
    else:
        expected = ExclusiveAccessError if inner_access == "X" else SharedAccessError
        assert type(hook.outcome[1]) is expected
        assert hook.outcome[1].args == ()
    assert effect(archive, result)
    assert_usable(archive)


@pytest.mark.parametrize("inner_name, inner_access, inner, inner_result", INNER,
                         ids=[row[0] for row in INNER])
def test_failure_inside_len_is_ignored(inner_name, inner_access, inner, inner_result):
    # the length is only a capacity hint: its failure is cleared and the call goes on
    archive = archive_with_entries()
    hook = Hook(lambda: inner(archive), None)
    archive.write_labels(8, Names(["p", "q"], hook, "__len__"))
    expected = ExclusiveAccessError if inner_access == "X" else SharedAccessError
    assert hook.outcome[0] == "raised" and type(hook.outcome[1]) is expected
    assert archive.read_labels(8) == ["p", "q"]
    assert_usable(archive)


def test_deeply_nested_shared_calls():
    archive = archive_with_entries()
    innermost = Hook(lambda: archive.size(), 0x10)
    middle = Hook(lambda: archive.read_labels(innermost), 2)
    outer = Hook(lambda: archive.read_bytes(0, middle), 4)
    assert archive.read_u8(outer) == 4
    assert outer.outcome == ("returned", b"\0\1")
    assert middle.outcome == ("returned", ["x", "y"])
    assert innermost.outcome == ("returned", 0x20)
    assert_usable(archive)


def test_refused_inside_nested_shared_calls():
    archive = archive_with_entries()
    refused = Hook(lambda: archive.write_u8(0, 1), 0, catch=True)
    middle = Hook(lambda: archive.read_u8(refused), 4)
    assert archive.read_u8(middle) == 4
    assert type(refused.outcome[1]) is ExclusiveAccessError
    assert middle.outcome == ("returned", 0)
    assert_usable(archive)


@pytest.mark.parametrize("outer", [
    lambda a, h: a.read_u8(h),
    lambda a, h: a.read_bytes(h, 1),
    lambda a, h: a.write_u8(h, 1),
    lambda a, h: a.allocate(h, 4),
    lambda a, h: a.write_u16(0, h),
], ids=["read_u8", "read_bytes", "write_u8", "allocate", "write_u16 value"])
def test_flag_restored_after_other_failures(outer):
    archive = archive_with_entries()

    def boom():
        raise KeyError("mine")

    with pytest.raises(KeyError) as error:
        outer(archive, Hook(boom, 0))
    assert error.value.args == ("mine",)
    assert_usable(archive)


def test_model_failure_after_a_nested_shared_call():
    archive = archive_with_entries()
    hook = Hook(lambda: archive.read_u32(0), 0x100)
    with pytest.raises(ValueError) as error:
        archive.read_u32(hook)
    assert error.value.args == ("Invalid address 0x100 for archive of size 0x20.",)
    assert hook.outcome == ("returned", 0x03020100)
    assert_usable(archive)


def test_base_exception_from_a_hook_restores_the_flag():
    archive = archive_with_entries()

    class Stop(BaseException):
        pass

    def stop():
        raise Stop()

    with pytest.raises(Stop):
        archive.write_u8(Hook(stop, 0), 1)
    with pytest.raises(Stop):
        archive.read_u8(Hook(stop, 0))
    assert_usable(archive)


def test_other_objects_are_not_blocked():
    first, second = archive_with_entries(), archive_with_entries()
    hook = Hook(lambda: (second.write_u8(1, 0x55), second.allocate(0, 4), second.size())[2], 1)
    first.write_u8(0, hook)
    assert hook.outcome == ("returned", 0x24)
    assert first.read_u8(0) == 1
    assert second.read_u8(5) == 0x55
    reader = Hook(lambda: first.write_u8(2, 0x66), 4)
    assert second.read_u8(reader) == 0
    assert first.read_u8(2) == 0x66


def test_creating_archives_needs_no_access():
    archive = archive_with_entries()
    empty_file = raw_archive()
    made = []

    def create():
        made.append(orvane_core.BinArchive())
        made.append(orvane_core.BinArchive.from_bytes(empty_file))
        made.append(archive.from_bytes(empty_file))  # static: the busy instance is ignored
        made[0].allocate_at_end(4)
        return len(made)

    archive.write_u8(Hook(create, 4), 1)
    assert archive.read_u8(4) == 1
    assert [m.size() for m in made] == [4, 0, 0]
    assert_usable(archive)
