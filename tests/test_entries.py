"""Pointers, text entries and labels on 4-byte slots, and find_label_address."""
import random

import pytest

from conftest import blank_archive, load, snapshot, write

ENCODE_ERROR = "Error encoding shift-jis string."


def range_error(address, size):
    return "Invalid address 0x%X for archive of size 0x%X." % (address, size)


def alignment_error(address):
    return "Invalid address 0x%X expected 4 byte alignment." % address


ENTRY_OPERATIONS = {
    "read_string": lambda a, at: a.read_string(at),
    "read_pointer": lambda a, at: a.read_pointer(at),
    "read_labels": lambda a, at: a.read_labels(at),
    "delete_string": lambda a, at: a.delete_string(at),
    "delete_pointer": lambda a, at: a.delete_pointer(at),
    "delete_labels": lambda a, at: a.delete_labels(at),
    "delete_label": lambda a, at: a.delete_label(at, 0),
    "delete_label past the end": lambda a, at: a.delete_label(at, 99),
    "write_string": lambda a, at: a.write_string(at, "x"),
    "write_string without value": lambda a, at: a.write_string(at),
    "write_string None": lambda a, at: a.write_string(at, None),
    "write_pointer": lambda a, at: a.write_pointer(at, 0),
    "write_pointer without value": lambda a, at: a.write_pointer(at),
    "write_labels": lambda a, at: a.write_labels(at, ["x"]),
    "write_labels empty": lambda a, at: a.write_labels(at, []),
    "write_label": lambda a, at: a.write_label(at, "x"),
}

# (size, address, expected message or None)
SLOT_CHECKS = [
    (0, 0, range_error(0, 0)),
    (8, 0, None),
    (8, 4, None),
    (8, 5, range_error(9, 8)),
    (8, 6, range_error(0xA, 8)),
    (8, 7, range_error(0xB, 8)),
    (8, 2, alignment_error(2)),
    (8, 1, alignment_error(1)),
    (8, 8, range_error(8, 8)),
    (8, 0xFFFFFFFFFFFFFFFC, range_error(0xFFFFFFFFFFFFFFFC, 8)),
    (8, 0xFFFFFFFFFFFFFFFF, range_error(0xFFFFFFFFFFFFFFFF, 8)),
    (6, 4, range_error(8, 6)),  # a size that is not a multiple of 4
    (0xB, 4, None),
    (0xB, 8, range_error(0xC, 0xB)),
]


def with_entries(size):
    """An archive of `size` bytes with an entry of each kind on every whole slot."""
    archive = blank_archive(size, bytes(range(1, size + 1)))
    for address in range(0, size - 3, 4):
        archive.write_pointer(address, address)
        archive.write_string(address, "s%d" % address)
        archive.write_labels(address, ["l%d" % address, "m"])
    return archive


@pytest.mark.parametrize("operation", sorted(ENTRY_OPERATIONS))
@pytest.mark.parametrize("size, address, message", SLOT_CHECKS)
def test_slot_check(operation, size, address, message):
    archive = with_entries(size)
    before = snapshot(archive)
    call = ENTRY_OPERATIONS[operation]
    if message is None:
        if operation == "delete_label past the end":
            with pytest.raises(ValueError) as error:
                call(archive, address)
            assert error.value.args == ("Index 99 out of bounds for bucket of size 2.",)
        else:
            call(archive, address)
        return
    with pytest.raises(ValueError) as error:
        call(archive, address)
    assert error.value.args == (message,)
    assert snapshot(archive) == before


@pytest.mark.parametrize("operation", sorted(ENTRY_OPERATIONS))
def test_slot_check_runs_without_an_entry(operation):
    archive = blank_archive(8)
    with pytest.raises(ValueError) as error:
        ENTRY_OPERATIONS[operation](archive, 6)
    assert error.value.args == (range_error(0xA, 8),)


def test_absent_entries_read_as_none():
    archive = blank_archive(8)
    assert archive.read_string(4) is None
    assert archive.read_pointer(4) is None
    assert archive.read_labels(4) is None


def test_write_pointer_keeps_the_data_bytes():
    archive = blank_archive(8, bytes(range(1, 9)))
    archive.write_pointer(4, 0x1000)
    assert archive.read_pointer(4) == 0x1000
    assert archive.read_bytes(0, 8) == bytes(range(1, 9))
    archive.write_string(0, "x")
    archive.write_labels(0, ["y"])
    archive.delete_pointer(4)
    archive.delete_string(0)
    archive.delete_labels(0)
    assert archive.read_bytes(0, 8) == bytes(range(1, 9))


@pytest.mark.parametrize("destination", [0, 8, 9, 0x1000, 2**32 - 1, 2**32, 2**63, 2**64 - 1])
def test_any_destination_is_stored(destination):
    archive = blank_archive(8)
    archive.write_pointer(4, destination)
    assert archive.read_pointer(4) == destination
    archive.write_pointer(4, 3)
    assert archive.read_pointer(4) == 3


def test_pointer_text_and_labels_share_one_address():
    archive = blank_archive(8)
    archive.write_pointer(4, 0)
    archive.write_string(4, "新しい名前")
    archive.write_label(4, "L")
    assert (archive.read_pointer(4), archive.read_string(4), archive.read_labels(4)) == (
        0, "新しい名前", ["L"])
    archive.delete_string(4)
    assert (archive.read_pointer(4), archive.read_string(4), archive.read_labels(4)) == (
        0, None, ["L"])
    archive.write_string(4, "again")
    archive.delete_pointer(4)
    assert (archive.read_pointer(4), archive.read_string(4), archive.read_labels(4)) == (
        None, "again", ["L"])
    archive.delete_labels(4)
    assert (archive.read_pointer(4), archive.read_string(4), archive.read_labels(4)) == (
        None, "again", None)


def test_writes_replace():
    archive = blank_archive(8)
    archive.write_string(0, "one")
    archive.write_string(0, "two")
    archive.write_pointer(0, 1)
    archive.write_pointer(0, 2)
    archive.write_labels(0, ["a", "b"])
    archive.write_labels(0, ["c"])
    assert snapshot(archive)[1:] == ({0: 2}, {0: "two"}, {0: ["c"]})


@pytest.mark.parametrize("delete", [
    lambda a: a.write_string(4),
    lambda a: a.write_string(4, None),
    lambda a: a.write_string(4, value=None),
    lambda a: a.write_string(address=4),
    lambda a: a.delete_string(4),
], ids=["omitted", "None", "keyword None", "keyword address only", "delete_string"])
def test_write_string_without_value_deletes_only_the_text(delete):
    archive = blank_archive(8)
    archive.write_string(4, "x")
    archive.write_pointer(4, 8)
    archive.write_label(4, "L")
    archive.write_string(0, "other")
    delete(archive)
    assert snapshot(archive)[1:] == ({4: 8}, {0: "other"}, {4: ["L"]})
    delete(archive)  # nothing left to delete: no error, no change
    assert snapshot(archive)[1:] == ({4: 8}, {0: "other"}, {4: ["L"]})


@pytest.mark.parametrize("delete", [
    lambda a: a.write_pointer(4),
    lambda a: a.write_pointer(4, None),
    lambda a: a.write_pointer(address=4, value=None),
    lambda a: a.delete_pointer(4),
], ids=["omitted", "None", "keyword None", "delete_pointer"])
def test_write_pointer_without_value_deletes_only_the_pointer(delete):
    archive = blank_archive(8)
    archive.write_string(4, "x")
    archive.write_pointer(4, 8)
    archive.write_label(4, "L")
    archive.write_pointer(0, 4)
    delete(archive)
    assert snapshot(archive)[1:] == ({0: 4}, {4: "x"}, {4: ["L"]})
    delete(archive)
    assert snapshot(archive)[1:] == ({0: 4}, {4: "x"}, {4: ["L"]})


def test_write_label_appends_duplicates_in_order():
    archive = blank_archive(8)
    for name in ("a", "b", "a"):
        archive.write_label(0, name)
    assert archive.read_labels(0) == ["a", "b", "a"]
    archive.delete_label(0, 0)
    assert archive.read_labels(0) == ["b", "a"]
    with pytest.raises(ValueError) as error:
        archive.delete_label(0, 2)
    assert error.value.args == ("Index 2 out of bounds for bucket of size 2.",)
    assert archive.read_labels(0) == ["b", "a"]


@pytest.mark.parametrize("index, rest", [
    (0, ["b", "c", "d"]),
    (1, ["a", "c", "d"]),
    (2, ["a", "b", "d"]),
    (3, ["a", "b", "c"]),
])
def test_delete_label_keeps_the_order_of_the_rest(index, rest):
    archive = blank_archive(8)
    archive.write_labels(4, ["a", "b", "c", "d"])
    archive.delete_label(4, index)
    assert archive.read_labels(4) == rest


@pytest.mark.parametrize("names, index, message", [
    (["a", "b"], 2, "Index 2 out of bounds for bucket of size 2."),
    (["a"], 7, "Index 7 out of bounds for bucket of size 1."),
    ([], 0, "Index 0 out of bounds for bucket of size 0."),  # an empty list is still an entry
    (["a"] * 12, 12, "Index 12 out of bounds for bucket of size 12."),
    (["a"], 2**64 - 1, "Index 18446744073709551615 out of bounds for bucket of size 1."),
])
def test_delete_label_index_out_of_bounds(names, index, message):
    archive = blank_archive(8)
    archive.write_labels(4, names)
    with pytest.raises(ValueError) as error:
        archive.delete_label(4, index)
    assert error.value.args == (message,)
    assert archive.read_labels(4) == names


def test_delete_label_without_labels_is_a_no_op():
    archive = blank_archive(8)
    archive.write_label(0, "a")
    archive.delete_label(4, 7)
    assert archive.read_labels(4) is None
    assert archive.read_labels(0) == ["a"]


def test_address_check_comes_before_the_index_check():
    archive = blank_archive(8)
    with pytest.raises(ValueError) as error:
        archive.delete_label(8, 5)
    assert error.value.args == (range_error(8, 8),)


def test_empty_label_list_stays_until_delete_labels():
    archive = blank_archive(8)
    archive.write_label(0, "only")
    archive.delete_label(0, 0)
    assert archive.read_labels(0) == []
    archive.delete_labels(0)
    assert archive.read_labels(0) is None
    archive.delete_labels(0)
    assert archive.read_labels(0) is None


def test_empty_label_list_is_not_written_to_the_file():
    archive = blank_archive(8)
    archive.write_labels(0, [])
    archive.write_labels(4, ["x"])
    assert archive.read_labels(0) == []
    again = load(write(archive))
    assert again.read_labels(0) is None
    assert again.read_labels(4) == ["x"]


@pytest.mark.parametrize("labels, stored", [
    (["a", "b"], ["a", "b"]),
    ("ab", ["a", "b"]),
    (("x", "名前", "x"), ["x", "名前", "x"]),
    ([], []),
    ((), []),
    ("", []),
    ([""], [""]),
])
def test_write_labels_sequences(labels, stored):
    archive = blank_archive(8)
    archive.write_labels(4, ["old"])
    archive.write_labels(4, labels)
    result = archive.read_labels(4)
    assert type(result) is list
    assert result == stored


def test_results_and_arguments_are_copies():
    archive = blank_archive(8)
    names = ["a", "b"]
    archive.write_labels(0, names)
    names.append("c")
    assert archive.read_labels(0) == ["a", "b"]
    returned = archive.read_labels(0)
    returned.append("d")
    returned[0] = "z"
    assert archive.read_labels(0) == ["a", "b"]
    assert archive.read_labels(0) is not archive.read_labels(0)


@pytest.mark.parametrize("text", ["\U0001F600", "\u00e9t\u00e9", "\u20ac", "a\0b", "\0"])
def test_unencodable_text_is_held_until_written(text):
    archive = blank_archive(8)
    archive.write_string(4, text)
    assert archive.read_string(4) == text
    with pytest.raises(ValueError) as error:
        write(archive)
    assert error.value.args == (ENCODE_ERROR,)
    archive.write_string(4, "fine")
    assert load(write(archive)).read_string(4) == "fine"


@pytest.mark.parametrize("name", ["\U0001F600", "\u00e9", "a\0b", "\0", "x\0"])
def test_unencodable_label_is_held_until_written(name):
    archive = blank_archive(8)
    archive.write_label(0, "ok")
    archive.write_label(0, name)
    assert archive.read_labels(0) == ["ok", name]
    assert archive.find_label_address(name) == 0
    with pytest.raises(ValueError) as error:
        write(archive)
    assert error.value.args == (ENCODE_ERROR,)
    archive.delete_label(0, 1)
    assert load(write(archive)).read_labels(0) == ["ok"]


def test_strings_with_nul_are_kept_whole():
    archive = blank_archive(8)
    archive.write_string(0, "a\0b")
    archive.write_label(4, "c\0d")
    assert archive.read_string(0) == "a\0b"
    assert archive.read_labels(4) == ["c\0d"]
    assert archive.find_label_address("c") is None
    assert archive.find_label_address("c\0d") == 4


def test_find_label_address_basics():
    assert blank_archive(0).find_label_address("x") is None  # no address check at all
    archive = blank_archive(0x20)
    assert archive.find_label_address("") is None
    archive.write_labels(12, ["other", "ITEM"])
    archive.write_labels(0, [])
    archive.write_labels(4, ["ITEMS", "ITE", "item", "名"])
    archive.write_label(8, "名前")
    assert archive.find_label_address("ITEM") == 12
    assert archive.find_label_address("名前") == 8
    assert archive.find_label_address("名") == 4
    for absent in ("", "IT", "ITEM ", " ITEM", "Item", "名前前"):
        assert archive.find_label_address(absent) is None, absent
    archive.write_label(0x1C, "")
    assert archive.find_label_address("") == 0x1C  # the empty list at 0 never matches


@pytest.mark.parametrize("seed", range(6))
def test_find_label_address_returns_the_lowest_address(seed):
    shuffle = random.Random(seed)
    addresses = list(range(0, 0x400, 4))
    carriers = sorted(shuffle.sample(addresses, 40))
    archive = blank_archive(0x400)
    order = addresses[:]
    shuffle.shuffle(order)
    for address in order:
        names = ["n%d" % address]
        if address in carriers:
            names.insert(shuffle.randrange(2), "TARGET")
        archive.write_labels(address, names)
    assert archive.find_label_address("TARGET") == carriers[0]
    # rebuilding the maps must not change the answer
    archive.allocate(0, 4)
    assert archive.find_label_address("TARGET") == carriers[0] + 4
    archive.deallocate(0, 4)
    archive.delete_labels(carriers[0])
    assert archive.find_label_address("TARGET") == carriers[1]
    archive.write_labels(carriers[2], [])
    archive.delete_label(carriers[1], archive.read_labels(carriers[1]).index("TARGET"))
    assert archive.find_label_address("TARGET") == carriers[3]


def test_find_label_address_lowest_after_load():
    archive = blank_archive(0x40)
    for address in (0x3C, 0x10, 0x24, 0x14, 0x8):
        archive.write_label(address, "T")
    assert load(write(archive)).find_label_address("T") == 8


@pytest.mark.parametrize("target", [b"T", None, 5, ["T"]])
def test_find_label_address_wants_a_str(target):
    archive = blank_archive(8)
    archive.write_label(0, "T")
    with pytest.raises(TypeError) as error:
        archive.find_label_address(target)
    assert error.value.args == ()
