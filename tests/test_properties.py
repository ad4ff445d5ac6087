"""Random edit sequences against a plain-Python model of the archive, and the file round
trip of whatever the sequences leave behind."""
import struct

import pytest

pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

from conftest import archive_from, blank_archive, load, snapshot, write  # noqa: E402

# all encodable, and each decodes back to itself
NAMES = ["", "a", "L", "名前", "ｱｲ", "x\\y", "ITEM_TABLE"]

SETTINGS = settings(max_examples=60, deadline=None)


class Model:
    """What the archive should hold, by the rules of each editing method."""

    def __init__(self, data):
        self.data = bytearray(data)
        self.pointers, self.texts, self.labels = {}, {}, {}

    def view(self):
        labels = {k: list(v) for k, v in self.labels.items()}
        return bytes(self.data), dict(self.pointers), dict(self.texts), labels

    def allocate(self, address, amount):
        self.data[address:address] = bytes(amount)

        def move(value):
            return value + amount if value >= address else value

        self.pointers = {move(k): move(d) for k, d in self.pointers.items()}
        self.texts = {move(k): t for k, t in self.texts.items()}
        self.labels = {move(k): n for k, n in self.labels.items()}

    def deallocate(self, address, amount):
        end = address + amount
        del self.data[address:end]

        def inside(value):
            return address <= value < end

        def move(value):
            return value - amount if value >= end else value

        self.pointers = {move(k): move(d) for k, d in self.pointers.items()
                         if not inside(k) and not inside(d)}
        self.texts = {move(k): t for k, t in self.texts.items() if not inside(k)}
        self.labels = {move(k): n for k, n in self.labels.items() if not inside(k)}


def initial_archives():
    """(data, pointers, texts, labels) for a small archive, entries on valid slots."""
    @st.composite
    def build(draw):
        size = draw(st.integers(0, 40))
        data = draw(st.binary(min_size=size, max_size=size))
        slots = list(range(0, size - 3, 4))
        slot = st.sampled_from(slots) if slots else st.nothing()
        pointers = draw(st.dictionaries(slot, st.integers(0, size + 0x40), max_size=len(slots)))
        texts = draw(st.dictionaries(slot, st.sampled_from(NAMES), max_size=len(slots)))
        labels = draw(st.dictionaries(slot, st.lists(st.sampled_from(NAMES), max_size=3),
                                      max_size=len(slots)))
        return data, pointers, texts, labels
    return build()


@SETTINGS
@given(initial_archives(), st.integers(0, 20), st.integers(1, 6))
def test_allocate_then_deallocate_restores(initial, where, words):
    archive = archive_from(*initial)
    size = archive.size()
    address = 4 * (where % (size // 4 + 1))
    amount = 4 * words
    before = snapshot(archive), write(archive)
    archive.allocate(address, amount)
    model = Model(initial[0])
    model.pointers, model.texts, model.labels = dict(initial[1]), dict(initial[2]), dict(
        initial[3])
    model.allocate(address, amount)
    assert snapshot(archive) == model.view()
    archive.deallocate(address, amount)
    assert (snapshot(archive), write(archive)) == before


OPERATIONS = ["u8", "u16", "u32", "f32", "bytes", "pointer", "pointer_none", "string",
              "string_none", "label", "labels", "delete_label", "delete_labels",
              "delete_string", "delete_pointer", "allocate", "deallocate", "at_end"]
SLOT_OPERATIONS = set(OPERATIONS) - {"u8", "u16", "bytes", "allocate", "at_end"}


def apply(archive, model, step):
    """Runs one edit at a valid place on both; False when the archive has no room for it."""
    name, a, b, c = step
    size = len(model.data)
    slots = size // 4
    if name in SLOT_OPERATIONS and slots == 0:
        return False
    if name in ("u8", "bytes") and size == 0:
        return False
    if name == "u16" and size < 2:
        return False
    slot = 4 * (a % slots) if slots else 0
    if name == "u8":
        address = a % size
        archive.write_u8(address, b % 256)
        model.data[address] = b % 256
    elif name == "u16":
        address = 2 * (a % (size // 2))
        archive.write_u16(address, b % 0x10000)
        model.data[address:address + 2] = struct.pack("<H", b % 0x10000)
    elif name == "u32":
        archive.write_u32(slot, b % 2**32)
        model.data[slot:slot + 4] = struct.pack("<I", b % 2**32)
    elif name == "f32":
        archive.write_f32(slot, b / 7.0)
        model.data[slot:slot + 4] = struct.pack("<f", b / 7.0)
    elif name == "bytes":
        address = a % size
        run = bytes((b + i) % 256 for i in range(c % (size - address + 1)))
        archive.write_bytes(address, run)
        model.data[address:address + len(run)] = run
    elif name == "pointer":
        archive.write_pointer(slot, b % (size + 1))
        model.pointers[slot] = b % (size + 1)
    elif name == "pointer_none":
        archive.write_pointer(slot)
        model.pointers.pop(slot, None)
    elif name == "delete_pointer":
        archive.delete_pointer(slot)
        model.pointers.pop(slot, None)
    elif name == "string":
        archive.write_string(slot, NAMES[b % len(NAMES)])
        model.texts[slot] = NAMES[b % len(NAMES)]
    elif name == "string_none":
        archive.write_string(slot, None)
        model.texts.pop(slot, None)
    elif name == "delete_string":
        archive.delete_string(slot)
        model.texts.pop(slot, None)
    elif name == "label":
        archive.write_label(slot, NAMES[b % len(NAMES)])
        model.labels[slot] = model.labels.get(slot, []) + [NAMES[b % len(NAMES)]]
    elif name == "labels":
        names = [NAMES[(b + i) % len(NAMES)] for i in range(c % 4)]
        archive.write_labels(slot, names)
        model.labels[slot] = names
    elif name == "delete_labels":
        archive.delete_labels(slot)
        model.labels.pop(slot, None)
    elif name == "delete_label":
        names = model.labels.get(slot)
        index = c % (len(names) + 1) if names is not None else c
        if names is not None and index == len(names):
            try:
                archive.delete_label(slot, index)
            except ValueError as error:
                assert error.args == ("Index %d out of bounds for bucket of size %d."
                                      % (index, len(names)),)
            else:
                raise AssertionError("delete_label past the end was accepted")
        else:
            archive.delete_label(slot, index)
            if names is not None:
                model.labels[slot] = names[:index] + names[index + 1:]
    elif name == "allocate":
        if size > 0x60:
            return False
        address = 4 * (a % (size // 4 + 1))
        archive.allocate(address, 4 * (b % 4))
        model.allocate(address, 4 * (b % 4))
    elif name == "deallocate":
        address = 4 * (a % slots)
        amount = 4 * (b % ((size - address) // 4 + 1))
        archive.deallocate(address, amount)
        model.deallocate(address, amount)
    elif name == "at_end":
        if size > 0x60:
            return False
        archive.allocate_at_end(b % 6)
        model.data += bytes(b % 6)
    return True


steps = st.lists(st.tuples(st.sampled_from(OPERATIONS), st.integers(0, 2**16),
                           st.integers(0, 2**16), st.integers(0, 8)), max_size=30)


@settings(max_examples=100, deadline=None)
@given(initial_archives(), steps)
def test_edit_sequences_follow_the_model_and_survive_a_round_trip(initial, edits):
    data, pointers, texts, labels = initial
    archive = blank_archive(len(data), data)
    model = Model(data)
    # destinations stay within the data, so the file can tell them from text positions
    for address, destination in pointers.items():
        apply(archive, model, ("pointer", address // 4, destination % (len(data) + 1), 0))
    for address, text in texts.items():
        apply(archive, model, ("string", address // 4, NAMES.index(text), 0))
    for address, names in labels.items():
        archive.write_labels(address, names)
        model.labels[address] = list(names)
    assert snapshot(archive) == model.view()
    for step in edits:
        apply(archive, model, step)
        assert snapshot(archive) == model.view(), step

    out = write(archive)
    again = load(out)
    data, pointers, texts, labels = snapshot(again)
    # the file cannot hold a data pointer and a text entry on one slot: both entries of
    # the table then point into the text region, and the pointer reads back as that text
    assert pointers == {k: d for k, d in model.pointers.items() if k not in model.texts}
    assert texts == model.texts
    assert labels == {k: n for k, n in model.labels.items() if n}
    slots = set(model.pointers) | set(model.texts)
    for address in range(len(model.data)):
        if address - address % 4 not in slots:
            assert data[address] == model.data[address]
    for address in set(model.pointers) - set(model.texts):
        assert again.read_u32(address) == model.pointers[address]
    if not set(model.pointers) & set(model.texts):
        assert write(again) == out
