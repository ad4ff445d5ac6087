"""Places: every address named by exactly one place, and names that survive moves."""
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

orvane_core = pytest.importorskip("orvane_core")
from orvane_tools._places import Place, PlaceError, Places, parse_place, parse_reference  # noqa: E402

# Names a reader could misread: signs of the place syntax, spaces, quotes, addresses.
HOSTILE = ["ITEMS", "A+0x4", "B[2]", "C:D", "HP MAX", "0x10", "0X1f", '"Q"', "\\", "",
           "\t", "名前", "x\u3000y", "\x01", "[", "+", "end]", "0xZZ", "a\u2028b"]
names = st.one_of(st.sampled_from(HOSTILE), st.text(max_size=6))


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(st.integers(0, 63).map(lambda i: 4 * i),
                       st.lists(names, max_size=2), max_size=12),
       st.lists(st.integers(0, 300), max_size=20))
def test_every_address_has_one_place_that_resolves_back(labels, addresses):
    places = Places(labels)
    for address in addresses + [s for s in labels]:
        place = places.place(address)
        text = str(place)
        assert " " not in text and text.isprintable()
        assert parse_place(text) == place
        assert places.resolve(text) == address
        assert parse_reference("dir:x/a.bin:" + text) == ("dir:x/a.bin", place)


@pytest.mark.parametrize("text, place", [
    ("ITEMS", Place("ITEMS", 1, 0)),
    ("ITEMS[1]", Place("ITEMS", 1, 0)),
    ("ITEMS[2]+0x14", Place("ITEMS", 2, 0x14)),
    ("ITEMS+0x0", Place("ITEMS", 1, 0)),
    ("0x1A40", Place(None, 1, 0x1A40)),
    ('"0x10"+0x4', Place("0x10", 1, 4)),
    ('"HP\\u0020MAX"[3]', Place("HP MAX", 3, 0)),
])
def test_parse(text, place):
    assert parse_place(text) == place


@pytest.mark.parametrize("text", ["", "A B", "ITEMS[0]", "ITEMS[x]", "ITEMS+14", "ITEMS+0x",
                                  '"open', '"A"x', "A:B", "ITEMS+0x4[2]"])
def test_malformed(text):
    with pytest.raises(PlaceError, match="is not a place"):
        parse_place(text)


def test_resolve_errors():
    places = Places({0: ["A"], 8: ["A"], 4: []})
    assert places.resolve("A[2]+0x4") == 12
    with pytest.raises(PlaceError, match=r"^A\[3\]: only 2 slots are labelled A$"):
        places.resolve("A[3]")
    with pytest.raises(PlaceError, match=r'^"B\\u0020C": no slot is labelled "B\\u0020C"$'):
        places.resolve('"B C"')


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_places_survive_an_insertion(data):
    """Bytes inserted anywhere change only the places between them and their label."""
    size = 256
    a = orvane_core.BinArchive()
    a.allocate_at_end(size)
    labels = data.draw(st.dictionaries(st.integers(0, size // 4 - 1).map(lambda i: 4 * i),
                                       st.lists(st.sampled_from(HOSTILE[:6]), min_size=1,
                                                max_size=2), max_size=8))
    for address, names in labels.items():
        a.write_labels(address, names)
    at = 4 * data.draw(st.integers(0, size // 4))
    amount = 4 * data.draw(st.integers(1, 8))
    before = Places(labels)
    a.allocate(at, amount)
    after = Places({s: a.read_labels(s) for s in range(0, size + amount, 4)
                    if a.read_labels(s)})
    for address in range(0, size, 4):
        moved = address + amount if address >= at else address
        place = before.place(address)
        named_by = address - place.offset
        between = at <= address if place.label is None else named_by < at <= address
        assert (after.place(moved) == before.place(address)) != between
