"""allocate_at_end, allocate and deallocate: check order and messages, how entries and
destinations move or are dropped, and that a refused call changes nothing."""
import pytest

from conftest import blank_archive, load, snapshot, write

MAX = 2**64 - 1


def range_error(address, size):
    return "Invalid address 0x%X for archive of size 0x%X." % (address, size)


def alignment_error(address):
    return "Invalid address 0x%X expected 4 byte alignment." % address


def value_error(amount):
    return "Invalid value %d expected 4 byte alignment." % amount


def memory_error(amount):
    return "Not enough memory to allocate %d bytes." % amount


def pattern(size):
    return bytes((0x40 + i) % 256 for i in range(size))


def populated(size=0x20):
    """Entries of every kind before, at and after the interesting addresses."""
    archive = blank_archive(size, pattern(size))
    for address, destination in {0: 8, 4: 0xC, 8: 0, 0xC: 0x1C, 0x10: 0x10, 0x14: 4,
                                 0x18: size, 0x1C: 0x1000}.items():
        archive.write_pointer(address, destination)
    for address, text in {0: "zero", 8: "eight", 0xC: "twelve", 0x10: "名前", 0x1C: ""}.items():
        archive.write_string(address, text)
    for address, names in {4: ["c"], 8: ["a", "a2"], 0x10: ["b"], 0x14: [], 0x1C: ["end"]}.items():
        archive.write_labels(address, names)
    return archive


def state(archive):
    return snapshot(archive), write(archive)


def refused(call, archive, message):
    before = state(archive)
    with pytest.raises(ValueError) as error:
        call(archive)
    assert error.value.args == (message,)
    assert state(archive) == before


# allocate_at_end --------------------------------------------------------------------

@pytest.mark.parametrize("amount", [1, 3, 4, 5, 0x40])
def test_allocate_at_end_appends_zeros_and_moves_nothing(amount):
    archive = populated()
    data, pointers, texts, labels = snapshot(archive)
    assert archive.allocate_at_end(amount) is None
    assert archive.size() == 0x20 + amount
    assert archive.read_bytes(0, 0x20 + amount) == data + bytes(amount)
    after = snapshot(archive)
    assert after[1:] == (pointers, texts, labels)
    assert archive.read_pointer(0x18) == 0x20  # now the first appended byte


def test_allocate_at_end_odd_size_writes_and_loads():
    archive = blank_archive(0)
    archive.allocate_at_end(3)
    archive.allocate_at_end(4)
    archive.write_pointer(0, 7)
    again = load(write(archive))
    assert again.size() == 7
    assert again.read_pointer(0) == 7


@pytest.mark.parametrize("call", [
    lambda a: a.allocate_at_end(0),
    lambda a: a.allocate(0, 0),
    lambda a: a.allocate(0x10, 0),
    lambda a: a.allocate(0x20, 0),
    lambda a: a.deallocate(0, 0),
    lambda a: a.deallocate(0x1C, 0),
], ids=["at_end", "allocate 0", "allocate 0x10", "allocate at size", "deallocate 0",
        "deallocate 0x1C"])
def test_amount_zero_changes_nothing(call):
    archive = populated()
    before = state(archive)
    assert call(archive) is None
    assert state(archive) == before


@pytest.mark.parametrize("amount", [2**63, 2**63 + 4, 2**64 - 4, MAX])
def test_allocate_at_end_beyond_memory(amount):
    refused(lambda a: a.allocate_at_end(amount), populated(), memory_error(amount))


# allocate ---------------------------------------------------------------------------

@pytest.mark.parametrize("size, address, amount, message", [
    (0x20, 0x24, 4, range_error(0x24, 0x20)),
    (0x20, 0x21, 6, range_error(0x21, 0x20)),  # range before either alignment
    (0x20, MAX, 4, range_error(MAX, 0x20)),
    (0x20, 0x24, 2**63, range_error(0x24, 0x20)),
    (0x20, 0x1E, 4, alignment_error(0x1E)),
    (0x20, 6, 4, alignment_error(6)),
    (0x20, 6, 6, alignment_error(6)),  # address alignment before amount alignment
    (0x20, 2, 2**63, alignment_error(2)),
    (0x20, 4, 6, value_error(6)),
    (0x20, 0x20, 3, value_error(3)),
    (0x20, 0, MAX, value_error(MAX)),  # amount alignment before memory
    (0x20, 0, 2**63, memory_error(2**63)),
    (0x20, 0x20, 2**63, memory_error(2**63)),
    (0x20, 0x10, 2**64 - 4, memory_error(2**64 - 4)),
    (0, 4, 4, range_error(4, 0)),
    (0x1E, 0x20, 4, range_error(0x20, 0x1E)),
    (0x1E, 0x1E, 4, alignment_error(0x1E)),
])
def test_allocate_refused(size, address, amount, message):
    archive = populated(size) if size >= 0x20 else blank_archive(size, pattern(size))
    refused(lambda a: a.allocate(address, amount), archive, message)


def test_allocate_on_empty_and_odd_sizes():
    archive = blank_archive(0)
    archive.allocate(0, 4)
    assert archive.read_bytes(0, 4) == bytes(4)
    archive = blank_archive(0x1E, pattern(0x1E))
    archive.allocate(0x1C, 4)
    assert archive.read_bytes(0, 0x22) == pattern(0x1C) + bytes(4) + pattern(0x1E)[0x1C:]


# (address, amount, pointers, texts, labels after allocate on populated())
ALLOCATED = [
    (0x10, 8,
     {0: 8, 4: 0xC, 8: 0, 0xC: 0x24, 0x18: 0x18, 0x1C: 4, 0x20: 0x28, 0x24: 0x1008},
     {0: "zero", 8: "eight", 0xC: "twelve", 0x18: "名前", 0x24: ""},
     {4: ["c"], 8: ["a", "a2"], 0x18: ["b"], 0x1C: [], 0x24: ["end"]}),
    (0, 4,
     {4: 0xC, 8: 0x10, 0xC: 4, 0x10: 0x20, 0x14: 0x14, 0x18: 8, 0x1C: 0x24, 0x20: 0x1004},
     {4: "zero", 0xC: "eight", 0x10: "twelve", 0x14: "名前", 0x20: ""},
     {8: ["c"], 0xC: ["a", "a2"], 0x14: ["b"], 0x18: [], 0x20: ["end"]}),
    (0x1C, 4,
     {0: 8, 4: 0xC, 8: 0, 0xC: 0x20, 0x10: 0x10, 0x14: 4, 0x18: 0x24, 0x20: 0x1004},
     {0: "zero", 8: "eight", 0xC: "twelve", 0x10: "名前", 0x20: ""},
     {4: ["c"], 8: ["a", "a2"], 0x10: ["b"], 0x14: [], 0x20: ["end"]}),
    (0x20, 4,  # at the end: only destinations >= 0x20 move
     {0: 8, 4: 0xC, 8: 0, 0xC: 0x1C, 0x10: 0x10, 0x14: 4, 0x18: 0x24, 0x1C: 0x1004},
     {0: "zero", 8: "eight", 0xC: "twelve", 0x10: "名前", 0x1C: ""},
     {4: ["c"], 8: ["a", "a2"], 0x10: ["b"], 0x14: [], 0x1C: ["end"]}),
]


@pytest.mark.parametrize("address, amount, pointers, texts, labels", ALLOCATED)
def test_allocate_moves_entries_at_and_after_the_address(address, amount, pointers, texts,
                                                         labels):
    archive = populated()
    data = archive.read_bytes(0, 0x20)
    assert archive.allocate(address, amount) is None
    assert snapshot(archive) == (data[:address] + bytes(amount) + data[address:],
                                 pointers, texts, labels)


def test_allocate_at_size_versus_allocate_at_end():
    grown, appended = blank_archive(8, pattern(8)), blank_archive(8, pattern(8))
    for archive in (grown, appended):
        archive.write_pointer(0, 8)
        archive.write_pointer(4, 4)
    grown.allocate(8, 4)
    appended.allocate_at_end(4)
    assert grown.read_bytes(0, 12) == appended.read_bytes(0, 12) == pattern(8) + bytes(4)
    assert grown.read_pointer(0) == 12  # still the end of the data
    assert appended.read_pointer(0) == 8  # now the first appended byte
    assert grown.read_pointer(4) == appended.read_pointer(4) == 4


def test_allocate_keeps_strings_and_lists_intact():
    archive = blank_archive(8)
    long_text = "長い文字列" * 200
    archive.write_string(4, long_text)
    archive.write_labels(4, ["x"] * 50 + ["y"])
    archive.allocate(0, 0x100)
    assert archive.read_string(0x104) == long_text
    assert archive.read_labels(0x104) == ["x"] * 50 + ["y"]


# deallocate -------------------------------------------------------------------------

@pytest.mark.parametrize("size, address, amount, message", [
    (0x20, 0x20, 0, range_error(0x20, 0x20)),
    (0x20, 0x24, 0, range_error(0x24, 0x20)),
    (0x20, 0x21, 4, range_error(0x21, 0x20)),
    (0x20, MAX, 4, range_error(MAX, 0x20)),
    (0x20, 0x10, 0x14, range_error(0x24, 0x20)),  # the end, not the address
    (0x20, 0, 0x24, range_error(0x24, 0x20)),
    (0x20, 2, 0x40, range_error(0x42, 0x20)),  # range before alignment
    (0x20, 0x1C, 5, range_error(0x21, 0x20)),  # range before amount alignment
    (0x20, 0x10, 2**64 - 0x10, "Invalid address 0x10000000000000000 for archive of size 0x20."),
    (0x20, 0x1F, MAX, "Invalid address 0x1000000000000001E for archive of size 0x20."),
    (0x20, 2, 4, alignment_error(2)),
    (0x20, 2, 0, alignment_error(2)),
    (0x20, 0x1F, 1, alignment_error(0x1F)),
    (0x20, 4, 6, value_error(6)),
    (0x20, 4, 2, value_error(2)),
    (0x20, 0, 0x1F, value_error(0x1F)),
    (0, 0, 0, range_error(0, 0)),
])
def test_deallocate_refused(size, address, amount, message):
    archive = populated(size) if size else blank_archive(0)
    refused(lambda a: a.deallocate(address, amount), archive, message)


def test_deallocate_drops_what_lay_in_the_range():
    archive = populated()
    data = archive.read_bytes(0, 0x20)
    assert archive.deallocate(8, 8) is None
    # keyed at 8 or 0xC: dropped; pointing at 8 or 0xC (keys 0 and 4): dropped wherever
    # keyed; keyed at 0x10 (the end) survives and moves to 8, as does destination 0x10
    assert snapshot(archive) == (
        data[:8] + data[0x10:],
        {8: 8, 0xC: 4, 0x10: 0x18, 0x14: 0xFF8},
        {0: "zero", 8: "名前", 0x14: ""},
        {4: ["c"], 8: ["b"], 0xC: [], 0x14: ["end"]},
    )


@pytest.mark.parametrize("address, amount, pointers, texts, labels", [
    (0, 0x20, {}, {}, {}),
    (0x1C, 4, {0: 8, 4: 0xC, 8: 0, 0x10: 0x10, 0x14: 4, 0x18: 0x1C},
     {0: "zero", 8: "eight", 0xC: "twelve", 0x10: "名前"},
     {4: ["c"], 8: ["a", "a2"], 0x10: ["b"], 0x14: []}),
    (0, 4, {0: 8, 8: 0x18, 0xC: 0xC, 0x10: 0, 0x14: 0x1C, 0x18: 0xFFC},
     {4: "eight", 8: "twelve", 0xC: "名前", 0x18: ""},
     {0: ["c"], 4: ["a", "a2"], 0xC: ["b"], 0x10: [], 0x18: ["end"]}),
    (0x10, 0xC, {0: 8, 4: 0xC, 8: 0, 0xC: 0x10, 0x10: 0xFF4},
     {0: "zero", 8: "eight", 0xC: "twelve", 0x10: ""},
     {4: ["c"], 8: ["a", "a2"], 0x10: ["end"]}),
])
def test_deallocate_tables(address, amount, pointers, texts, labels):
    archive = populated()
    data = archive.read_bytes(0, 0x20)
    archive.deallocate(address, amount)
    assert snapshot(archive) == (data[:address] + data[address + amount:], pointers, texts,
                                 labels)


def test_deallocate_drops_destinations_in_range_but_not_beside_it():
    archive = blank_archive(0x20)
    for key, destination in {0: 7, 4: 8, 8: 0xB, 0xC: 0xF, 0x18: 0x10, 0x1C: 0x11}.items():
        archive.write_pointer(key, destination)
    archive.deallocate(8, 8)
    assert snapshot(archive)[1] == {0: 7, 0x10: 8, 0x14: 9}


def test_allocate_then_deallocate_restores_and_the_reverse_does_not():
    archive = populated()
    before = state(archive)
    archive.allocate(0x10, 0xC)
    archive.deallocate(0x10, 0xC)
    assert state(archive) == before
    archive.deallocate(0x8, 4)
    archive.allocate(0x8, 4)
    data, pointers, texts, labels = snapshot(archive)
    assert data[8:0xC] == bytes(4)
    assert 8 not in pointers and 8 not in texts and 8 not in labels
    assert 0 not in pointers  # its destination was removed


def wrap_error(destination, slot, amount):
    return "Pointer destination 0x%X at 0x%X cannot move by %d bytes." % (destination, slot,
                                                                          amount)


@pytest.mark.parametrize("pointers, address, amount, message", [
    # The lowest slot whose destination would pass 2^64 - 1 is named, not the first found.
    ({0x18: MAX, 4: MAX - 3, 8: 0x10}, 8, 4, wrap_error(MAX - 3, 4, 4)),
    ({0x1C: MAX - 7}, 0, 8, wrap_error(MAX - 7, 0x1C, 8)),
    # Just fits: the destination becomes 2^64 - 1.
    ({4: MAX - 4}, 0, 4, None),
    # The slot itself may lie below the address: its destination still moves.
    ({0: MAX, 0x1C: 0x10}, 0x14, 4, wrap_error(MAX, 0, 4)),
    # Address and alignment checks and the memory check come first.
    ({0: MAX}, 0x24, 4, range_error(0x24, 0x20)),
    ({0: MAX}, 2, 4, alignment_error(2)),
    ({0: MAX}, 0, 2, value_error(2)),
    ({0: MAX}, 0, 2**63, memory_error(2**63)),
    ({0: MAX}, 0, 0, None),
])
def test_allocate_refuses_to_wrap_destinations(pointers, address, amount, message):
    archive = blank_archive(0x20, pattern(0x20))
    for slot, destination in pointers.items():
        archive.write_pointer(slot, destination)
    if message is not None:
        # Such destinations cannot be written to a file: compare what reads show.
        before = snapshot(archive)
        with pytest.raises(ValueError) as error:
            archive.allocate(address, amount)
        assert error.value.args == (message,)
        assert snapshot(archive) == before
        return
    archive.allocate(address, amount)
    for slot, destination in pointers.items():
        moved = slot + amount if slot >= address else slot
        assert archive.read_pointer(moved) == (destination + amount if destination >= address
                                               else destination)
