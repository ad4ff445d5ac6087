"""Random editing sessions run against the module and against a plain-Python model of
the archive kept here (a bytearray and three dicts), compared after every step.

The model implements the documented rules on its own: the address check and its
messages, the slot rules of the entry operations, allocate/deallocate with their
shifting and dropping, and the argument conversions up to the exception they raise.
A failing call must leave both sides exactly as they were, so every step also checks
that a refused operation changed nothing.
"""

import math
import operator
import struct

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.stateful import (  # noqa: E402
    RuleBasedStateMachine,
    initialize,
    invariant,
    precondition,
    rule,
)

from conftest import build_archive, load, orvane_core  # noqa: E402

U64_LIMIT = 2 ** 64
MAX_SIZE = 64  # small enough that the whole state is compared after every step
F32_OVERFLOW = float.fromhex("0x1.ffffffp127")  # from here on a double rounds to inf


class AnyText(object):
    """Stands for an interpreter-written message: the type must match, the text is theirs."""

    def __repr__(self):
        return "<any message>"


ANY = AnyText()


# --- argument conversions, as the binding documents them --------------------------


def conv_u64(x):
    x = operator.index(x)
    if x < 0 or x >= U64_LIMIT:
        raise OverflowError(ANY)
    return x


def conv_u32(x):
    x = conv_u64(x)
    if x >= 2 ** 32:
        raise OverflowError()
    return x


def conv_signed32(x, low, high):
    x = operator.index(x)
    if not -2 ** 31 <= x < 2 ** 31:
        raise OverflowError(ANY)
    if not low <= x <= high:
        raise OverflowError()
    return x


def conv_f32_bits(x):
    if isinstance(x, (str, bytes, bytearray)):
        raise TypeError(ANY)  # float() parses text; the interpreter's C conversion does not
    try:
        value = float(x)
    except (TypeError, OverflowError) as error:
        raise type(error)(ANY)
    if abs(value) >= F32_OVERFLOW:
        return struct.pack("<f", math.copysign(math.inf, value))
    return struct.pack("<f", value)


def conv_str(x):
    if not isinstance(x, str):
        raise TypeError()
    try:
        x.encode("utf-8")
    except UnicodeEncodeError:
        raise UnicodeEncodeError("utf-8", "", 0, 1, "surrogates not allowed")
    return x


def conv_optional(convert):
    def run(x=None):
        return None if x is None else convert(x)

    return run


def conv_bytes(x):
    if not isinstance(x, bytes):
        raise TypeError()
    return bytes(x)


def conv_str_list(x):
    if isinstance(x, (dict, set, frozenset)) or not hasattr(type(x), "__getitem__"):
        raise TypeError()
    return [conv_str(item) for item in x]


INT_WRITES = {
    # name: (width, argument conversion, bytes of the converted value)
    "write_u8": (1, lambda v: conv_signed32(v, 0, 255), lambda v: struct.pack("<B", v)),
    "write_i8": (1, lambda v: conv_signed32(v, -128, 127), lambda v: struct.pack("<b", v)),
    "write_u16": (2, lambda v: conv_signed32(v, 0, 65535), lambda v: struct.pack("<H", v)),
    "write_i16": (2, lambda v: conv_signed32(v, -32768, 32767), lambda v: struct.pack("<h", v)),
    "write_u32": (4, conv_u32, lambda v: struct.pack("<I", v)),
    "write_i32": (4, lambda v: conv_signed32(v, -2 ** 31, 2 ** 31 - 1),
                  lambda v: struct.pack("<i", v)),
}

READS = {
    "read_u8": (1, "<B"),
    "read_i8": (1, "<b"),
    "read_u16": (2, "<H"),
    "read_i16": (2, "<h"),
    "read_u32": (4, "<I"),
    "read_i32": (4, "<i"),
    "read_f32": (4, "<f"),
}


# --- the model ---------------------------------------------------------------------


def range_message(address, size):
    return "Invalid address 0x%X for archive of size 0x%X." % (address, size)


def alignment_message(address, alignment):
    return "Invalid address 0x%X expected %d byte alignment." % (address, alignment)


class Model(object):
    def __init__(self, data=b"", pointers=None, text=None, labels=None):
        self.data = bytearray(data)
        self.pointers = dict(pointers or {})
        self.text = dict(text or {})
        self.labels = {a: list(n) for a, n in (labels or {}).items()}

    def snapshot(self):
        return (bytes(self.data), dict(self.pointers), dict(self.text),
                {a: list(n) for a, n in self.labels.items()})

    def check(self, address, width, alignment):
        size = len(self.data)
        if address >= size:
            raise ValueError(range_message(address, size))
        if width > 1 and address + width > size:
            # The true sum, even past 2^64: the message names the real end.
            raise ValueError(range_message(address + width, size))
        if alignment > 1 and address % alignment:
            raise ValueError(alignment_message(address, alignment))

    def slot(self, address):
        self.check(address, 4, 4)

    # typed access

    def read(self, name, address):
        address = conv_u64(address)
        width, fmt = READS[name]
        self.check(address, width, width)
        return struct.unpack_from(fmt, self.data, address)[0]

    def read_bytes(self, address, amount):
        address, amount = conv_u64(address), conv_u64(amount)
        self.check(address, amount, 1)
        return bytes(self.data[address:address + amount])

    def write_int(self, name, address, value):
        width, convert, pack = INT_WRITES[name]
        address, value = conv_u64(address), convert(value)
        self.check(address, width, width)
        self.data[address:address + width] = pack(value)

    def write_f32(self, address, value):
        address, bits = conv_u64(address), conv_f32_bits(value)
        self.check(address, 4, 4)
        self.data[address:address + 4] = bits

    def write_bytes(self, address, value):
        address, value = conv_u64(address), conv_bytes(value)
        self.check(address, len(value), 1)
        self.data[address:address + len(value)] = value

    # entries

    def read_string(self, address):
        address = conv_u64(address)
        self.slot(address)
        return self.text.get(address)

    def read_pointer(self, address):
        address = conv_u64(address)
        self.slot(address)
        return self.pointers.get(address)

    def read_labels(self, address):
        address = conv_u64(address)
        self.slot(address)
        names = self.labels.get(address)
        return None if names is None else list(names)

    def write_string(self, address, *value):
        address, value = conv_u64(address), conv_optional(conv_str)(*value)
        self.slot(address)
        if value is None:
            self.text.pop(address, None)
        else:
            self.text[address] = value

    def write_pointer(self, address, *value):
        address, value = conv_u64(address), conv_optional(conv_u64)(*value)
        self.slot(address)
        if value is None:
            self.pointers.pop(address, None)
        else:
            self.pointers[address] = value

    def write_labels(self, address, labels):
        address, labels = conv_u64(address), conv_str_list(labels)
        self.slot(address)
        self.labels[address] = labels

    def write_label(self, address, label):
        address, label = conv_u64(address), conv_str(label)
        self.slot(address)
        self.labels.setdefault(address, []).append(label)

    def delete_string(self, address):
        self.write_string(address)

    def delete_pointer(self, address):
        self.write_pointer(address)

    def delete_labels(self, address):
        address = conv_u64(address)
        self.slot(address)
        self.labels.pop(address, None)

    def delete_label(self, address, index):
        address, index = conv_u64(address), conv_u64(index)
        self.slot(address)
        names = self.labels.get(address)
        if names is None:
            return
        if index >= len(names):
            raise ValueError("Index %d out of bounds for bucket of size %d." % (index, len(names)))
        del names[index]

    def find_label_address(self, target):
        target = conv_str(target)
        found = [a for a, names in self.labels.items() if target in names]
        # The module documents its choice among several carriers: the lowest address.
        return min(found) if found else None

    # growing and shrinking

    def allocate_at_end(self, amount):
        amount = conv_u64(amount)
        if amount >= 2 ** 63:
            raise ValueError(ANY)  # beyond any vector: refused, with the module's own text
        self.data += bytes(amount)

    def allocate(self, address, amount):
        address, amount = conv_u64(address), conv_u64(amount)
        size = len(self.data)
        if address > size:
            raise ValueError(range_message(address, size))
        if address % 4:
            raise ValueError(alignment_message(address, 4))
        if amount % 4:
            raise ValueError("Invalid value %d expected 4 byte alignment." % amount)
        if amount >= 2 ** 63:
            raise ValueError(ANY)
        for slot in sorted(self.pointers):
            destination = self.pointers[slot]
            if destination >= address and destination + amount >= U64_LIMIT:
                raise ValueError("Pointer destination 0x%X at 0x%X cannot move by %d bytes."
                                 % (destination, slot, amount))

        def move(value):
            return value + amount if value >= address else value

        self.data[address:address] = bytes(amount)
        self.text = {move(k): v for k, v in self.text.items()}
        self.labels = {move(k): v for k, v in self.labels.items()}
        self.pointers = {move(k): move(v) for k, v in self.pointers.items()}

    def deallocate(self, address, amount):
        address, amount = conv_u64(address), conv_u64(amount)
        self.check(address, amount, 4)
        if amount % 4:
            raise ValueError("Invalid value %d expected 4 byte alignment." % amount)
        end = address + amount

        def inside(value):
            return address <= value < end

        def move(value):
            return value - amount if value >= end else value

        del self.data[address:end]
        self.text = {move(k): v for k, v in self.text.items() if not inside(k)}
        self.labels = {move(k): v for k, v in self.labels.items() if not inside(k)}
        self.pointers = {move(k): move(v) for k, v in self.pointers.items()
                         if not inside(k) and not inside(v)}


# --- strategies --------------------------------------------------------------------

HUGE = [2 ** 64 - 1, 2 ** 64 - 4, 2 ** 63, 2 ** 32, 2 ** 32 + 4, -1, 2 ** 64]


class Where(object):
    """An address chosen relative to the size at the time of the call, so that most
    calls reach the model whatever the archive has grown or shrunk to."""

    def __init__(self, kind, n):
        self.kind, self.n = kind, n

    def resolve(self, size):
        if self.kind == "slot":
            return 4 * (self.n % max(1, size // 4))
        if self.kind == "byte":
            return self.n % max(1, size)
        if self.kind == "room":  # an amount that fits from the address (set by the rule)
            return 4 * (self.n % (max(0, size - self.base) // 4 + 1))
        return max(0, size + self.n)  # "end": around the end of the data

    def __repr__(self):
        return "Where(%r, %d)" % (self.kind, self.n)


def resolve(value, size):
    return value.resolve(size) if isinstance(value, Where) else value


slots = st.builds(Where, st.just("slot"), st.integers(0, MAX_SIZE))
addresses = st.one_of(
    slots,
    slots,
    slots,
    st.builds(Where, st.just("byte"), st.integers(0, MAX_SIZE)),
    st.builds(Where, st.just("end"), st.integers(-5, 4)),
    st.integers(0, MAX_SIZE + 8),
    st.sampled_from(HUGE + ["0", 4.0]),
)
amounts = st.one_of(
    st.integers(0, 4).map(lambda n: 4 * n),
    st.integers(0, 17),
    st.sampled_from(HUGE),
)
# Growth is kept tiny: a valid amount of gigabytes would really be allocated.
growth = st.one_of(
    st.integers(0, 4).map(lambda n: 4 * n),
    st.integers(0, 4).map(lambda n: 4 * n),
    st.integers(0, 17),
    st.sampled_from([2 ** 64 - 4, 2 ** 64 - 1, 2 ** 63, 2 ** 63 + 4, -1, 2 ** 64]),
)
NAMES = ["a", "b", "ab", "", "\u30e9\u30d9\u30eb", "x\x00y", "\u00e9", "\U0001f600"]
names = st.sampled_from(NAMES)
bad_strs = st.sampled_from([b"a", 1, None, "\ud800"])
maybe_bad_names = st.one_of(names, names, names, bad_strs)
int_values = st.one_of(
    st.integers(-128, 127),
    st.integers(0, 255),
    st.integers(-128, 255),
    st.integers(-2 ** 15, 2 ** 16),
    st.integers(-2 ** 31 - 2, 2 ** 32 + 2),
    st.sampled_from([2 ** 63, -2 ** 63 - 1, 2 ** 64, 2 ** 70, True, 1.0, "1"]),
)
float_values = st.one_of(
    st.floats(allow_nan=False),
    st.floats(allow_nan=False),
    st.integers(-2 ** 130, 2 ** 130),
    st.sampled_from([F32_OVERFLOW, -F32_OVERFLOW, float.fromhex("0x1.fffffefffffffp127"),
                     2 ** 1024, "1.0", None]),
)
label_lists = st.one_of(
    st.lists(names, max_size=3),
    st.lists(names, max_size=3),
    st.lists(names, max_size=3).map(tuple),
    st.sampled_from(["ab", "", {"a": 1}, {"a"}, None, ["a", 1], ["\ud800"], iter(["a"])]),
)


# --- comparison --------------------------------------------------------------------


def outcome(call):
    try:
        return ("ok", call())
    except (ValueError, TypeError, OverflowError, UnicodeEncodeError) as error:
        return ("error", type(error), error.args)


def same_value(expected, actual):
    if isinstance(expected, float) and isinstance(actual, float):
        if math.isnan(expected) or math.isnan(actual):
            return math.isnan(expected) and math.isnan(actual)
        return struct.pack("<d", expected) == struct.pack("<d", actual)
    return type(expected) is type(actual) and expected == actual


def assert_same_outcome(expected, actual, what):
    if expected[0] == "ok":
        assert actual[0] == "ok", (what, expected, actual)
        assert same_value(expected[1], actual[1]), (what, expected, actual)
        return
    assert actual[0] == "error", (what, expected, actual)
    kind, args = expected[1], expected[2]
    # UnicodeEncodeError is a ValueError: compare the exact class, not isinstance.
    assert actual[1] is kind, (what, expected, actual)
    if len(args) == 1 and args[0] is ANY:
        assert actual[2], (what, "expected a message", actual)
    elif kind is not UnicodeEncodeError:
        assert actual[2] == args, (what, expected, actual)


class ArchiveSession(RuleBasedStateMachine):
    """One archive, edited by random calls; the model mirrors every call."""

    def __init__(self):
        super(ArchiveSession, self).__init__()
        self.archive = None
        self.model = None

    @initialize(start=st.one_of(
        st.just(None),
        *[st.tuples(
            sizes,
            st.binary(min_size=40, max_size=40),
            st.lists(st.tuples(st.integers(0, 9), st.sampled_from(["p", "t", "l"]),
                               st.integers(0, 40), st.sampled_from(["a", "b", "ab", ""])),
                     max_size=8),
        ) for sizes in (st.integers(0, 40), st.integers(12, 40), st.integers(24, 40))]
    ))
    def start(self, start):
        if start is None:
            self.archive = orvane_core.BinArchive()
            self.model = Model()
            return
        size, noise, entries = start
        pointers, texts, labels = {}, {}, []
        for slot, kind, destination, name in entries:
            address = 4 * slot
            if address + 4 > size:
                continue
            if kind == "p" and address not in texts:
                pointers[address] = min(destination, size)
            elif kind == "t" and address not in pointers:
                texts[address] = name.encode("ascii")
            elif kind == "l":
                labels.append((address, name.encode("ascii")))
        raw = build_archive(size, pointers, texts, labels, data=noise[:size])
        self.archive = load(raw)
        grouped = {}
        for address, name in labels:
            grouped.setdefault(address, []).append(name.decode("ascii"))
        # The data region as the file holds it, slot values included.
        self.model = Model(raw[32:32 + size], pointers,
                           {a: t.decode("ascii") for a, t in texts.items()}, grouped)

    def apply(self, name, model_call, *args):
        args = tuple(resolve(arg, len(self.model.data)) for arg in args)
        before = self.model.snapshot()
        expected = outcome(lambda: model_call(*args))
        if expected[0] == "error":
            assert self.model.snapshot() == before, "the model changed on a failure"
        actual = outcome(lambda: getattr(self.archive, name)(*args))
        assert_same_outcome(expected, actual, (name, args))

    # typed access

    @rule(name=st.sampled_from(sorted(INT_WRITES)), address=addresses, value=int_values)
    def write_int(self, name, address, value):
        self.apply(name, lambda a, v: self.model.write_int(name, a, v), address, value)

    @rule(address=addresses, value=float_values)
    def write_f32(self, address, value):
        self.apply("write_f32", self.model.write_f32, address, value)

    @rule(address=addresses, value=st.one_of(st.binary(max_size=9), st.sampled_from(
        [bytearray(b"ab"), memoryview(b"ab"), [1], "ab"])))
    def write_bytes(self, address, value):
        self.apply("write_bytes", self.model.write_bytes, address, value)

    @rule(name=st.sampled_from(sorted(READS)), address=addresses)
    def read_number(self, name, address):
        self.apply(name, lambda a: self.model.read(name, a), address)

    @rule(address=addresses, amount=amounts)
    def read_bytes(self, address, amount):
        self.apply("read_bytes", self.model.read_bytes, address, amount)

    # entries

    @rule(address=addresses, value=st.one_of(maybe_bad_names, st.just(())))
    def write_string(self, address, value):
        args = (address,) if value == () else (address, value)
        self.apply("write_string", self.model.write_string, *args)

    @rule(address=addresses, value=st.one_of(
        slots, st.builds(Where, st.just("end"), st.integers(-4, 0)), st.integers(0, MAX_SIZE + 8),
        st.sampled_from(HUGE + [None, "1", ()])))
    def write_pointer(self, address, value):
        args = (address,) if value == () else (address, value)
        self.apply("write_pointer", self.model.write_pointer, *args)

    @rule(address=addresses, labels=label_lists)
    def write_labels(self, address, labels):
        if isinstance(labels, type(iter([]))):
            labels = iter(["a"])  # a fresh one per call; an iterator is no sequence
        self.apply("write_labels", self.model.write_labels, address, labels)

    @rule(address=addresses, label=maybe_bad_names)
    def write_label(self, address, label):
        self.apply("write_label", self.model.write_label, address, label)

    @rule(name=st.sampled_from(["delete_string", "delete_pointer", "delete_labels"]),
          address=addresses)
    def delete_entry(self, name, address):
        self.apply(name, getattr(self.model, name), address)

    @rule(address=addresses, index=st.one_of(st.integers(0, 4), st.sampled_from([2 ** 64 - 1, -1])))
    def delete_label(self, address, index):
        self.apply("delete_label", self.model.delete_label, address, index)

    @rule(address=addresses)
    def read_entry(self, address):
        for name in ("read_string", "read_pointer", "read_labels"):
            self.apply(name, getattr(self.model, name), address)

    @rule(name=maybe_bad_names)
    def find_label_address(self, name):
        self.apply("find_label_address", self.model.find_label_address, name)

    # growing and shrinking; growth stops at MAX_SIZE so the state stays cheap to scan

    @precondition(lambda self: len(self.model.data) <= MAX_SIZE - 16)
    @rule(amount=growth)
    def allocate_at_end(self, amount):
        self.apply("allocate_at_end", self.model.allocate_at_end, amount)

    @precondition(lambda self: len(self.model.data) <= MAX_SIZE - 17)
    @rule(address=addresses, amount=growth)
    def allocate(self, address, amount):
        self.apply("allocate", self.model.allocate, address, amount)

    @rule(address=addresses, amount=st.one_of(
        st.builds(Where, st.just("room"), st.integers(0, MAX_SIZE)), amounts))
    def deallocate(self, address, amount):
        if isinstance(amount, Where):
            amount.base = resolve(address, len(self.model.data))
            if not isinstance(amount.base, int):
                amount.base = 0
        self.apply("deallocate", self.model.deallocate, address, amount)

    # The same two with arguments that pass the checks, so that entries and destinations
    # at, inside and behind the changed range are common.

    @precondition(lambda self: len(self.model.data) <= MAX_SIZE - 16)
    @rule(address=slots, amount=st.integers(1, 4).map(lambda n: 4 * n))
    def allocate_inside(self, address, amount):
        self.apply("allocate", self.model.allocate, address, amount)

    @rule(address=slots, amount=st.integers(1, MAX_SIZE))
    def deallocate_inside(self, address, amount):
        amount = Where("room", amount)
        amount.base = resolve(address, len(self.model.data))
        self.apply("deallocate", self.model.deallocate, address, amount)

    # the whole state, after every step

    @invariant()
    def same_state(self):
        if self.model is None:
            return
        a, m = self.archive, self.model
        size = len(m.data)
        assert a.size() == size
        if size:
            assert a.read_bytes(0, size) == bytes(m.data)
        slots = range(0, size - 3, 4)
        for keys in (m.pointers, m.text, m.labels):
            assert set(keys) <= set(slots), "model keys left the slots"
        for address in slots:
            assert a.read_pointer(address) == m.pointers.get(address), address
            assert a.read_string(address) == m.text.get(address), address
            assert a.read_labels(address) == m.labels.get(address), address
        for name in NAMES:
            assert a.find_label_address(name) == m.find_label_address(name), name


ArchiveSession.TestCase.settings = settings(
    max_examples=100,
    stateful_step_count=50,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestArchiveSession = ArchiveSession.TestCase


# A few fixed sessions that the random ones reach only rarely, replayed step by step.
SCRIPTS = [
    # allocate then deallocate the same range restores everything
    [("allocate_at_end", 16), ("write_pointer", 4, 8), ("write_pointer", 8, 16),
     ("write_label", 12, "a"), ("allocate", 8, 8), ("deallocate", 8, 8)],
    # deallocate drops entries keyed in or pointing into the range, keeps the end
    [("allocate_at_end", 24), ("write_pointer", 0, 8), ("write_pointer", 4, 12),
     ("write_pointer", 16, 16), ("write_string", 8, "x"), ("write_label", 12, "l"),
     ("deallocate", 8, 8)],
    # a pointer to the end of the data moves with allocate at the end
    [("allocate_at_end", 8), ("write_pointer", 4, 8), ("allocate", 8, 4),
     ("allocate_at_end", 4)],
    # the same name at several addresses: the lowest one is found
    [("allocate_at_end", 32), ("write_label", 24, "n"), ("write_label", 8, "n"),
     ("write_labels", 16, ["m", "n"]), ("delete_label", 8, 0), ("deallocate", 16, 4)],
]


@pytest.mark.parametrize("script", SCRIPTS)
def test_fixed_sessions_match_the_model(script):
    session = ArchiveSession()
    session.start(None)
    for step in script:
        name, args = step[0], step[1:]
        model_call = getattr(session.model, name)
        session.apply(name, model_call, *args)
        session.same_state()
