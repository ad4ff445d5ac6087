"""Argument lists (the four messages and their precedence) and the conversion of
arguments and results."""
import math
import operator
import struct

import pytest

import orvane_core
from conftest import blank_archive

BinArchive = orvane_core.BinArchive

FLT_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
# halfway between FLT_MAX and 2**128: from here on a double rounds to infinity
OVERFLOW_THRESHOLD = 2.0 ** 128 - 2.0 ** 103


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return info.value.args


# --- argument lists -----------------------------------------------------------------

A = blank_archive(16)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: BinArchive.from_bytes(),
         "BinArchive.from_bytes() missing required positional argument: bytes"),
        (lambda: BinArchive.from_bytes(data=b""),
         "BinArchive.from_bytes() missing required positional argument: bytes"),
        (lambda: BinArchive.from_bytes(b"", b""),
         "BinArchive.from_bytes() takes at most 1 positional argument (2 given)"),
        (lambda: BinArchive.from_bytes(b"", bytes=b""),
         "BinArchive.from_bytes() got multiple values for argument: bytes"),
        (lambda: BinArchive.from_bytes(b"", foo=1),
         "BinArchive.from_bytes() got an unexpected keyword argument: foo"),
        (lambda: BinArchive.from_bytes(bytes=b"", foo=1, bar=2),
         "BinArchive.from_bytes() got an unexpected keyword argument: foo"),
        (lambda: BinArchive.from_bytes(bar=2, bytes=b"", foo=1),
         "BinArchive.from_bytes() got an unexpected keyword argument: bar"),
        (lambda: A.read_bytes(0, 1, 2),
         "BinArchive.read_bytes() takes at most 2 positional arguments (3 given)"),
        (lambda: A.read_bytes(0),
         "BinArchive.read_bytes() missing required positional argument: amount"),
        (lambda: A.read_bytes(amount=1),
         "BinArchive.read_bytes() missing required positional argument: address"),
        (lambda: A.read_u8(),
         "BinArchive.read_u8() missing required positional argument: address"),
        (lambda: A.write_u8(0, 1, 2),
         "BinArchive.write_u8() takes at most 2 positional arguments (3 given)"),
        (lambda: A.write_u8(0, address=0),
         "BinArchive.write_u8() got multiple values for argument: address"),
        (lambda: A.write_string(0, None, None),
         "BinArchive.write_string() takes at most 2 positional arguments (3 given)"),
        (lambda: A.write_string(value="x"),
         "BinArchive.write_string() missing required positional argument: address"),
        # missing beats unexpected, unexpected beats too many, multiple beats both
        (lambda: A.read_bytes(0, foo=1),
         "BinArchive.read_bytes() missing required positional argument: amount"),
        (lambda: A.read_bytes(0, 1, 2, foo=1),
         "BinArchive.read_bytes() got an unexpected keyword argument: foo"),
        (lambda: A.read_bytes(0, 1, 2, amount=1, foo=1),
         "BinArchive.read_bytes() got multiple values for argument: amount"),
        (lambda: A.write_u8(1, 2, 3, address=1),
         "BinArchive.write_u8() got multiple values for argument: address"),
        # parsing comes before converting: bad values are not looked at
        (lambda: A.write_u8("x", 2, 3),
         "BinArchive.write_u8() takes at most 2 positional arguments (3 given)"),
    ],
)
def test_argument_list_errors(call, message):
    assert type_error(call) == (message,)


def test_unexpected_key_that_is_not_valid_utf8():
    key = "\udc80"
    shown = key.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    assert "\ufffd" in shown
    assert type_error(lambda: BinArchive.from_bytes(b"", **{key: 1})) == (
        "BinArchive.from_bytes() got an unexpected keyword argument: " + shown,
    )
    assert type_error(lambda: A.read_u8(0, **{"\u3042": 1})) == (
        "BinArchive.read_u8() got an unexpected keyword argument: \u3042",
    )


def test_keywords_in_any_order_work_like_positions():
    archive = blank_archive(4)
    archive.write_u8(value=7, address=1)
    archive.write_u8(address=2, value=8)
    archive.write_u8(3, value=9)
    assert archive.read_bytes(amount=4, address=0) == b"\0\x07\x08\x09"


def test_callers_keyword_dict_is_not_changed():
    archive = blank_archive(4)
    kwargs = {"address": 0, "amount": 2}
    assert archive.read_bytes(**kwargs) == b"\0\0"
    assert kwargs == {"address": 0, "amount": 2}
    kwargs = {"bytes": b"", "foo": 1}
    type_error(lambda: BinArchive.from_bytes(**kwargs))
    assert kwargs == {"bytes": b"", "foo": 1}


def test_keyword_names_of_a_str_subclass():
    """Keys that are str subclasses take a path of their own: their __hash__ and __eq__
    are Python code, so they are matched through a dictionary of the keywords, built
    before the call takes access. Same results and messages as exact keys; an error
    from that code propagates and leaves the archive free."""
    archive = blank_archive(8)
    hashed = []

    class Key(str):
        def __hash__(self):
            archive.write_u8(0, 0xAA)  # an editing call: no access is held yet
            hashed.append(str(self))
            return str.__hash__(self)

        __eq__ = str.__eq__

    class Unhashable(str):
        def __hash__(self):
            raise LookupError("no hash")

    keywords = {Key("address"): 4, Key("value"): 9}
    del hashed[:]
    archive.write_u8(**keywords)
    assert sorted(hashed) == ["address", "value"]
    assert archive.read_bytes(address=0, **{Key("amount"): 6}) == b"\xaa\0\0\0\x09\0"
    loaded = BinArchive.from_bytes(**{Key("bytes"): bytes(archive.serialize())})
    assert loaded.read_u8(4) == 9
    prefix = "BinArchive.read_bytes() "
    assert type_error(lambda: archive.read_bytes(**{Key("amount"): 1})) == (
        prefix + "missing required positional argument: address",)
    assert type_error(lambda: archive.read_bytes(0, **{Key("address"): 0, Key("amount"): 1})) == (
        prefix + "got multiple values for argument: address",)
    assert type_error(lambda: archive.read_bytes(0, 1, **{Key("count"): 1})) == (
        prefix + "got an unexpected keyword argument: count",)
    assert type_error(lambda: archive.read_bytes(0, **{Key("count"): 1, "amount": 1})) == (
        prefix + "got an unexpected keyword argument: count",)
    with pytest.raises(LookupError, match="no hash"):
        archive.write_u8(0, **{Unhashable("value"): 1})
    archive.write_u8(1, 7)
    assert archive.read_u8(1) == 7


# --- integers -----------------------------------------------------------------------


class Int:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def interpreter_error(convert, value):
    with pytest.raises(Exception) as info:
        convert(value)
    return type(info.value), info.value.args


@pytest.mark.parametrize("value", [1.0, "1", None, b"\x01", Int(1.5)])
def test_u64_non_integers_raise_the_interpreters_type_error(value):
    archive = blank_archive(16)
    expected = interpreter_error(operator.index, value)
    assert expected[0] is TypeError
    for call in (archive.read_u8, archive.write_pointer, archive.allocate_at_end):
        with pytest.raises(TypeError) as info:
            call(value)
        assert (type(info.value), info.value.args) == expected


@pytest.mark.parametrize(
    "value, message",
    [(-1, "can't convert negative int to unsigned"), (2 ** 64, "int too big to convert")],
)
def test_u64_out_of_range_raises_the_interpreters_overflow_error(value, message):
    archive = blank_archive(16)
    for call in (lambda v: archive.read_u8(v), lambda v: archive.write_pointer(0, v),
                 lambda v: archive.write_u32(0, v), lambda v: archive.delete_label(0, v)):
        with pytest.raises(OverflowError) as info:
            call(value)
        assert info.value.args == (message,)


def test_u64_accepts_the_full_range_and_int_likes():
    archive = blank_archive(16)
    archive.write_pointer(Int(4), 2 ** 64 - 1)
    assert archive.read_pointer(4) == 2 ** 64 - 1
    archive.write_u8(True, 5)
    assert archive.read_u8(1) == 5
    archive.write_u32(0, True)
    assert archive.read_u32(0) == 1
    with pytest.raises(ValueError) as info:
        archive.read_u8(2 ** 64 - 1)
    assert info.value.args == ("Invalid address 0xFFFFFFFFFFFFFFFF for archive of size 0x10.",)


@pytest.mark.parametrize(
    "method, good, bad_bare, bad_with_message",
    [
        ("write_u8", [0, 255], [256, -1, 2 ** 31 - 1, -(2 ** 31)], [2 ** 40, -(2 ** 40)]),
        ("write_u16", [0, 65535], [65536, -1], [2 ** 31, -(2 ** 31) - 1]),
        ("write_i8", [-128, 127], [128, -129], [2 ** 40]),
        ("write_i16", [-32768, 32767], [32768, -32769], [2 ** 63]),
        ("write_i32", [-(2 ** 31), 2 ** 31 - 1], [], [2 ** 31, -(2 ** 31) - 1, 2 ** 64]),
        ("write_u32", [0, 2 ** 32 - 1], [2 ** 32, 2 ** 63], []),
    ],
)
def test_fixed_width_value_ranges(method, good, bad_bare, bad_with_message):
    archive = blank_archive(16)
    write = getattr(archive, method)
    read = getattr(archive, method.replace("write", "read"))
    for value in good:
        write(4, value)
        assert read(4) == value
    write(4, 0)
    for value in bad_bare:
        with pytest.raises(OverflowError) as info:
            write(4, value)
        assert info.value.args == (), value
    for value in bad_with_message:
        with pytest.raises(OverflowError) as info:
            write(4, value)
        assert len(info.value.args) == 1 and info.value.args[0], value
    assert read(4) == 0


@pytest.mark.parametrize("method", ["write_u8", "write_i16", "write_i32"])
def test_signed_rules_report_the_interpreters_long_overflow(method):
    archive = blank_archive(16)
    with pytest.raises(OverflowError) as info:
        getattr(archive, method)(0, 2 ** 70)
    assert info.value.args == ("Python int too large to convert to C long",)
    assert interpreter_error(lambda v: getattr(archive, method)(0, v), 1.5) == (
        interpreter_error(operator.index, 1.5)
    )


# --- floats -------------------------------------------------------------------------


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def f32_bits(value):
    archive = blank_archive(4)
    archive.write_f32(0, value)
    return archive.read_bytes(0, 4)


@pytest.mark.parametrize(
    "value, stored",
    [
        (3, struct.pack("<f", 3.0)),
        (True, struct.pack("<f", 1.0)),
        (Real(0.5), struct.pack("<f", 0.5)),
        (0.1, b"\xcd\xcc\xcc\x3d"),
        (1e40, b"\x00\x00\x80\x7f"),
        (-1e40, b"\x00\x00\x80\xff"),
        (float("inf"), b"\x00\x00\x80\x7f"),
        (2 ** 300, b"\x00\x00\x80\x7f"),
        (-0.0, b"\x00\x00\x00\x80"),
        # ties go to the even neighbour
        (1 + 2.0 ** -24, struct.pack("<f", 1.0)),
        (1 + 3 * 2.0 ** -24, struct.pack("<f", 1 + 2.0 ** -22)),
        (1 + 2.0 ** -24 + 2.0 ** -40, struct.pack("<f", 1 + 2.0 ** -23)),
        (2.0 ** -149, b"\x01\x00\x00\x00"),
        (2.0 ** -150, b"\x00\x00\x00\x00"),
        (3 * 2.0 ** -150, b"\x02\x00\x00\x00"),
        (-(2.0 ** -151), b"\x00\x00\x00\x80"),
        # the edge of the single-precision range
        (FLT_MAX, b"\xff\xff\x7f\x7f"),
        (OVERFLOW_THRESHOLD - 2.0 ** 75, b"\xff\xff\x7f\x7f"),
        (-(OVERFLOW_THRESHOLD - 2.0 ** 75), b"\xff\xff\x7f\xff"),
        (OVERFLOW_THRESHOLD, b"\x00\x00\x80\x7f"),
        (-OVERFLOW_THRESHOLD, b"\x00\x00\x80\xff"),
    ],
)
def test_f32_rounding(value, stored):
    assert f32_bits(value) == stored


def test_f32_nan_stays_nan():
    for value in (float("nan"), -float("nan")):
        bits = struct.unpack("<I", f32_bits(value))[0]
        assert bits & 0x7F800000 == 0x7F800000 and bits & 0x7FFFFF
        archive = blank_archive(4)
        archive.write_f32(0, value)
        assert math.isnan(archive.read_f32(0))


def test_f32_conversion_failures_are_the_interpreters():
    archive = blank_archive(4)
    with pytest.raises(TypeError):
        archive.write_f32(0, "1.0")
    with pytest.raises(TypeError):
        archive.write_f32(0, None)
    with pytest.raises(OverflowError):
        archive.write_f32(0, 2 ** 1024)  # too large for a double, not just a float
    error = KeyError("inner")

    class Raising:
        def __float__(self):
            raise error

    with pytest.raises(KeyError) as info:
        archive.write_f32(0, Raising())
    assert info.value is error
    assert archive.read_u32(0) == 0


@pytest.mark.parametrize(
    "bits",
    [0x3DCCCCCD, 0x00000001, 0x7F7FFFFF, 0x80000000, 0xFF800000, 0x3F800001, 0xC0490FDB],
)
def test_read_f32_widens_exactly(bits):
    archive = blank_archive(4)
    archive.write_u32(0, bits)
    value = archive.read_f32(0)
    assert type(value) is float
    assert struct.pack("<f", value) == struct.pack("<I", bits)
    expected = struct.unpack("<f", struct.pack("<I", bits))[0]
    assert value == expected and math.copysign(1, value) == math.copysign(1, expected)


# --- strings and bytes --------------------------------------------------------------


class Str(str):
    pass


def test_str_rule():
    archive = blank_archive(8)
    archive.write_string(0, Str("sub"))
    assert archive.read_string(0) == "sub" and type(archive.read_string(0)) is str
    archive.write_label(0, Str("lab"))
    assert archive.find_label_address(Str("lab")) == 0
    for call in (lambda v: archive.write_string(4, v), lambda v: archive.write_label(4, v),
                 lambda v: archive.find_label_address(v)):
        for value in (b"x", bytearray(b"x"), 1, ["x"]):
            assert type_error(lambda: call(value)) == ()
        with pytest.raises(UnicodeEncodeError) as info:
            call("a\udc80")
        assert type(info.value) is UnicodeEncodeError
        assert info.value.encoding == "utf-8"
    assert type_error(lambda: archive.write_label(4, None)) == ()
    assert type_error(lambda: archive.find_label_address(None)) == ()
    assert archive.read_string(4) is None
    assert archive.read_labels(4) is None


def test_str_keeps_every_character_including_zero():
    archive = blank_archive(4)
    archive.write_string(0, "a\0b\U0001f600")
    assert archive.read_string(0) == "a\0b\U0001f600"


@pytest.mark.parametrize(
    "method, value", [("write_string", "s"), ("write_pointer", 8), ("write_pointer", 0)]
)
def test_optional_value_omitted_or_none_deletes(method, value):
    archive = blank_archive(4)
    write = getattr(archive, method)
    read = getattr(archive, method.replace("write", "read"))
    for remove in ({}, {"value": None}):
        write(0, value)
        assert read(0) == value
        write(0, **remove)
        assert read(0) is None
    write(address=0, value=value)
    write(0, None)
    assert read(0) is None


class Bytes(bytes):
    pass


def test_bytes_rule():
    archive = blank_archive(4)
    archive.write_bytes(0, b"\0\x01\0\x02")
    assert archive.read_bytes(0, 4) == b"\0\x01\0\x02"
    archive.write_bytes(1, Bytes(b"\xff\0"))
    assert archive.read_bytes(0, 4) == b"\0\xff\0\x02"
    for value in (bytearray(b"a"), memoryview(b"a"), [1], "a", None, 1):
        assert type_error(lambda: archive.write_bytes(0, value)) == ()
    assert archive.read_bytes(0, 4) == b"\0\xff\0\x02"


# --- lists of str -------------------------------------------------------------------


class Seq:
    """A sequence only through __len__ and __getitem__."""

    def __init__(self, items, length=None):
        self.items = items
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]


class FailingIter:
    def __init__(self, error):
        self.error = error

    def __getitem__(self, i):
        raise AssertionError("iterated through __iter__ only")

    def __iter__(self):
        yield "a"
        raise self.error


@pytest.mark.parametrize(
    "labels, stored",
    [
        (["b", "a", "b"], ["b", "a", "b"]),
        ("ab", ["a", "b"]),
        ("", []),
        ([], []),
        (("x", Str("y")), ["x", "y"]),
        (Seq(["p", "q"]), ["p", "q"]),
        (Seq(["p", "q"], length=99), ["p", "q"]),  # the length is a hint only
        (Seq(["p"], length=ValueError("no length")), ["p"]),
        (Seq(["p"], length=-1), ["p"]),
    ],
)
def test_list_of_str_accepts_sequences(labels, stored):
    archive = blank_archive(4)
    archive.write_labels(0, labels)
    assert archive.read_labels(0) == stored


@pytest.mark.parametrize(
    "labels",
    [{"a": 1}, {"a"}, frozenset(), (x for x in ["a"]), None, 1, iter(["a"]),
     ["a", b"b"], ["a", None], ("a", 1)],
    ids=["dict", "set", "frozenset", "generator", "None", "int", "iterator",
         "bytes item", "None item", "int item"],
)
def test_list_of_str_refusals_store_nothing(labels):
    archive = blank_archive(4)
    archive.write_labels(0, ["old"])
    assert type_error(lambda: archive.write_labels(0, labels)) == ()
    assert archive.read_labels(0) == ["old"]


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit(),
                                   Interrupt("not an Exception")],
                         ids=["KeyboardInterrupt", "SystemExit", "GeneratorExit", "subclass"])
def test_list_of_str_size_hint_lets_non_exceptions_through(error):
    # Only an Exception from __len__ is ignored; an interrupt ends the call unchanged.
    archive = blank_archive(4)
    archive.write_labels(0, ["old"])
    with pytest.raises(BaseException) as info:
        archive.write_labels(0, Seq(["p"], length=error))
    assert info.value is error
    assert archive.read_labels(0) == ["old"]
    archive.write_labels(0, ["p"])  # the access was given back
    assert archive.read_labels(0) == ["p"]


def test_list_of_str_errors_from_items_and_iteration_propagate():
    archive = blank_archive(4)
    archive.write_labels(0, ["old"])
    with pytest.raises(UnicodeEncodeError):
        archive.write_labels(0, ["a", "\udc80"])
    error = KeyError("mid-way")
    with pytest.raises(KeyError) as info:
        archive.write_labels(0, FailingIter(error))
    assert info.value is error
    assert archive.read_labels(0) == ["old"]


# --- results --------------------------------------------------------------------------


def test_result_types():
    archive = blank_archive(8)
    archive.write_u32(0, 0xFFFFFFFF)
    archive.write_i32(4, -2)
    assert archive.read_u32(0) == 4294967295
    assert archive.read_i32(0) == -1
    assert archive.read_i32(4) == -2
    assert archive.read_u16(0) == 65535 and archive.read_i16(0) == -1
    assert archive.read_u8(0) == 255 and archive.read_i8(0) == -1
    assert type(archive.read_bytes(0, 8)) is bytes
    empty = archive.read_bytes(4, 0)
    assert type(empty) is bytes and empty == b""
    assert type(archive.serialize()) is list
    assert archive.write_u8(0, 1) is None
    assert archive.allocate_at_end(0) is None


# --- boundaries of every rule, through every way an int reaches it ------------------


class IntSub(int):
    pass


# A value equal to the interpreter's error sentinel (-1, 2**64 - 1, -1.0) is a value,
# not an error, on the exact-int path and on the __index__ / __float__ path alike.
_LONG_OVERFLOW = "Python int too large to convert to C long"
_RULES = {  # rule: (write, read, low, high); the u64 rule is checked as a pointer value
    "u64": ("write_pointer", "read_pointer", 0, 2 ** 64 - 1),
    "u32": ("write_u32", "read_u32", 0, 2 ** 32 - 1),
    "u16": ("write_u16", "read_u16", 0, 2 ** 16 - 1),
    "u8": ("write_u8", "read_u8", 0, 2 ** 8 - 1),
    "i32": ("write_i32", "read_i32", -(2 ** 31), 2 ** 31 - 1),
    "i16": ("write_i16", "read_i16", -(2 ** 15), 2 ** 15 - 1),
    "i8": ("write_i8", "read_i8", -(2 ** 7), 2 ** 7 - 1),
}
_EDGES = sorted({e + d for e in (0, 2 ** 7, 2 ** 8, 2 ** 15, 2 ** 16, 2 ** 31, 2 ** 32,
                                 2 ** 63, 2 ** 64) for d in (-1, 0)}
                | {-e + d for e in (1, 2 ** 7, 2 ** 15, 2 ** 31, 2 ** 63) for d in (-1, 0)})


def _expected(rule, value):
    """(exception class, args) or None when the value is stored."""
    _, _, low, high = _RULES[rule]
    if rule in ("u64", "u32"):
        if value < 0:
            return OverflowError, ("can't convert negative int to unsigned",)
        if value >= 2 ** 64:
            return OverflowError, ("int too big to convert",)
    elif not -(2 ** 31) <= value < 2 ** 31:
        return OverflowError, (_LONG_OVERFLOW,)
    return None if low <= value <= high else (OverflowError, ())


@pytest.mark.parametrize("rule", sorted(_RULES))
def test_integer_rule_boundaries(rule):
    write_name, read_name, _, _ = _RULES[rule]
    archive = blank_archive(8)
    write, read = getattr(archive, write_name), getattr(archive, read_name)
    wrong = []
    for value in _EDGES:
        expected = _expected(rule, value)
        for form in (int, IntSub, Int):
            write(4, 7)
            try:
                write(4, form(value))
                got = ("stored", read(4))
            except Exception as error:  # noqa: BLE001 - the class is what is compared
                got = (type(error), error.args)
            want = ("stored", value) if expected is None else expected
            if got != want or read(4) != (value if expected is None else 7):
                wrong.append((value, form.__name__, got, want))
    assert wrong == []


def test_u64_rule_boundaries_as_an_address():
    archive = blank_archive(16)
    for value in (0, 15, 16, 2 ** 32, 2 ** 63, 2 ** 64 - 1):
        for form in (int, IntSub, Int):
            if value < 16:
                assert archive.read_u8(form(value)) == 0
                continue
            with pytest.raises(ValueError) as info:
                archive.read_u8(form(value))
            assert info.value.args == (
                "Invalid address 0x%X for archive of size 0x10." % value,), form
    for value, message in ((-1, "can't convert negative int to unsigned"),
                           (2 ** 64, "int too big to convert")):
        for form in (int, IntSub, Int):
            with pytest.raises(OverflowError) as info:
                archive.read_u8(form(value))
            assert info.value.args == (message,)


class FloatSub(float):
    pass


@pytest.mark.parametrize("value", [-1.0, -1, -0.0, 0.0, 1.0, -2.0 ** -149, -FLT_MAX])
def test_f32_sentinel_values_are_values(value):
    """-1.0 is also PyFloat_AsDouble's error result: with no error set it is a value."""
    stored = struct.pack("<f", float(value))
    forms = [value, Real(float(value))]
    forms.append(FloatSub(value) if isinstance(value, float) else IntSub(value))
    for form in forms:
        assert f32_bits(form) == stored, form


# --- every method's parameters: names, required marks, positions --------------------

# Written out from the method list, not read back from the module.
_PARAMETERS = {
    "from_bytes": ["bytes"],
    **{name: ["address"] for name in (
        "read_f32", "read_u8", "read_u16", "read_u32", "read_i8", "read_i16", "read_i32",
        "read_string", "read_pointer", "read_labels", "delete_string", "delete_pointer",
        "delete_labels")},
    "read_bytes": ["address", "amount"],
    "delete_label": ["address", "index"],
    **{name: ["address", "value"] for name in (
        "write_f32", "write_u8", "write_u16", "write_u32", "write_i8", "write_i16",
        "write_i32")},
    "write_bytes": ["address", "bytes"],
    "write_string": ["address", "value?"],
    "write_pointer": ["address", "value?"],
    "write_labels": ["address", "labels"],
    "write_label": ["address", "label"],
    "allocate_at_end": ["amount_in_bytes"],
    "allocate": ["address", "amount_in_bytes"],
    "deallocate": ["address", "amount_in_bytes"],
    "find_label_address": ["target"],
}


def test_parameter_table_covers_every_method():
    methods = {n for n in dir(BinArchive) if not n.startswith("_")}
    assert methods - {"size", "serialize"} == set(_PARAMETERS)


@pytest.mark.parametrize("method", sorted(_PARAMETERS))
def test_argument_list_of_every_method(method):
    """Each required parameter missing (earlier ones by position, later ones by
    keyword), each given twice, one positional too many; an optional one left out."""
    call = getattr(blank_archive(4), method)
    names = [p.rstrip("?") for p in _PARAMETERS[method]]
    required = [not p.endswith("?") for p in _PARAMETERS[method]]
    prefix = "BinArchive.%s() " % method
    for i, name in enumerate(names):
        later = {n: object() for n in names[i + 1:]}
        before = [object()] * i
        if required[i]:
            assert type_error(lambda: call(*before, **later)) == (
                prefix + "missing required positional argument: " + name,)
        assert type_error(lambda: call(*before, object(), **{name: object()}, **later)) == (
            prefix + "got multiple values for argument: " + name,)
    k = len(names)
    assert type_error(lambda: call(*[object()] * (k + 1))) == (
        prefix + "takes at most %d positional argument%s (%d given)"
        % (k, "" if k == 1 else "s", k + 1),)
    if not all(required):
        assert call(0) is None and call(address=0) is None
