"""Places: addresses named by labels, so that they survive bytes moving.

A place names an address by the nearest labelled slot at or before it: `ITEMS+0x14`
is 0x14 bytes past the slot labelled `ITEMS`, and `ITEMS` is that slot itself. The
name used is the first of the slot's label list. When several slots start their
lists with the same name, the k-th of them in address order (counting from 1) is
`ITEMS[k]`; the first is written plain `ITEMS`, and `ITEMS[1]` is read as the same.
An address with no labelled slot at or before it is named by itself: `0x1A40`.

Inserting or removing bytes (`allocate`, `deallocate`) moves labels with their
bytes, so a place stays the same unless the bytes go in between the address and
the label it is named by (or, for a place that is an address, anywhere before it).

Every label name works. A name that could be misread (empty, holding white space,
`+`, `[`, `]`, `:`, `"`, `\\`, a character that does not print, or looking like an
address) is written as a JSON string, with white space escaped so that a place never
holds a space (PO references are separated by spaces): the label `HP MAX` at 0x20,
then `"HP\\u0020MAX"+0x4` for 0x24.
"""
from __future__ import annotations

import bisect
import functools
import json
import re
from dataclasses import dataclass
from typing import Dict, List, Mapping, Optional, Sequence, Tuple, Union

from ._archive import ToolError, hex_address

__all__ = ["Place", "PlaceError", "Places", "format_reference", "parse_place",
           "parse_reference"]


class PlaceError(ToolError):
    """A place that is malformed, or that names no slot of an archive."""


_ADDRESS = re.compile(r"0[xX][0-9A-Fa-f]+\Z")
_TAIL = re.compile(r"(?:\[([1-9][0-9]*)\])?(?:\+0[xX]([0-9A-Fa-f]+))?\Z")
_SPECIAL = frozenset(' +[]:"\\')


@functools.lru_cache(maxsize=1024)
def _bare(name: str) -> bool:
    """Whether a label name can be written as it is."""
    return (bool(name) and name.isprintable() and not any(c.isspace() for c in name)
            and not (_SPECIAL & set(name)) and not _ADDRESS.match(name))


def _quoted(name: str) -> str:
    shown = json.dumps(name, ensure_ascii=False)
    return "".join(_escaped(c) if c.isspace() or not c.isprintable() else c for c in shown)


def _escaped(c: str) -> str:
    """A character as a JSON escape (a surrogate pair beyond U+FFFF)."""
    escaped: str = json.dumps(c)[1:-1]
    return escaped if escaped != c else "\\u%04x" % ord(c)


@dataclass(frozen=True)
class Place:
    """A named address: `offset` bytes past the `index`-th slot (from 1) whose label
    list starts with `label`; with `label` None, `offset` is the address itself."""

    label: Optional[str]
    index: int
    offset: int

    def __str__(self) -> str:
        if self.label is None:
            return hex_address(self.offset)
        text = self.label if _bare(self.label) else _quoted(self.label)
        if self.index != 1:
            text += "[%d]" % self.index
        if self.offset:
            text += "+" + hex_address(self.offset)
        return text


def parse_place(text: str) -> Place:
    """The place a string names (the inverse of `str(place)`). Raises PlaceError."""
    if _ADDRESS.match(text):
        return Place(None, 1, int(text[2:], 16))
    if text.startswith('"'):
        try:
            name, end = json.JSONDecoder().raw_decode(text)
        except ValueError:
            raise PlaceError("%s is not a place: its quoted name does not end"
                             % json.dumps(text, ensure_ascii=False)) from None
    else:
        end = len(text)
        for stop in "[+":
            found = text.find(stop)
            if found != -1:
                end = min(end, found)
        name = text[:end]
        if not _bare(name):
            raise PlaceError('%s is not a place (LABEL, LABEL+0x14, LABEL[2]+0x14 or 0x1A40; '
                             'a name with spaces or signs is quoted: "A B"+0x4)'
                             % json.dumps(text, ensure_ascii=False))
    tail = _TAIL.match(text, end)
    if tail is None or not isinstance(name, str):
        raise PlaceError("%s is not a place (LABEL, LABEL+0x14, LABEL[2]+0x14 or 0x1A40)"
                         % json.dumps(text, ensure_ascii=False))
    index, offset = tail.groups()
    return Place(name, int(index or 1), int(offset or "0", 16))


class Places:
    """Names and resolves the places of one archive, given its label lists
    (address to names, as `Entries.labels` holds them). Empty lists name nothing."""

    def __init__(self, labels: Mapping[int, Sequence[str]]) -> None:
        self._slots: List[int] = sorted(a for a, names in labels.items() if names)
        self._names: List[str] = [labels[a][0] for a in self._slots]
        self._indexes: List[int] = []
        self._by_name: Dict[str, List[int]] = {}
        for address, name in zip(self._slots, self._names):
            same = self._by_name.setdefault(name, [])
            same.append(address)
            self._indexes.append(len(same))

    def place(self, address: int) -> Place:
        """The place of `address`: named by the nearest labelled slot at or before it."""
        at = bisect.bisect_right(self._slots, address) - 1
        if at < 0:
            return Place(None, 1, address)
        return Place(self._names[at], self._indexes[at], address - self._slots[at])

    def name(self, address: int) -> str:
        """`str(self.place(address))`."""
        return str(self.place(address))

    def resolve(self, place: Union[Place, str]) -> int:
        """The address a place names. Raises PlaceError when no slot carries its label
        often enough."""
        if isinstance(place, str):
            place = parse_place(place)
        if place.label is None:
            return place.offset
        same = self._by_name.get(place.label)
        if not same:
            raise PlaceError("%s: no slot is labelled %s" % (place, _name_shown(place.label)))
        if place.index > len(same):
            raise PlaceError("%s: only %d slot%s labelled %s" % (
                place, len(same), " is" if len(same) == 1 else "s are",
                _name_shown(place.label)))
        return same[place.index - 1] + place.offset

    def labelled(self) -> List[Tuple[int, Place]]:
        """Every labelled slot and its place, by address."""
        return [(a, Place(n, k, 0)) for a, n, k in zip(self._slots, self._names, self._indexes)]

    def labelled_names(self) -> Tuple[List[int], List[str]]:
        """Every labelled slot, by address, and its place as `str` writes it."""
        return self._slots, list(map(_labelled_name, self._names, self._indexes))


@functools.lru_cache(maxsize=4096)
def _labelled_name(label: str, index: int) -> str:
    return str(Place(label, index, 0))


def _name_shown(name: str) -> str:
    return name if _bare(name) else _quoted(name)


def format_reference(archive: str, place: Union[Place, str]) -> str:
    """`ARCHIVE:PLACE`, as catalogue references write an occurrence."""
    return "%s:%s" % (archive, place)


def parse_reference(reference: str) -> Tuple[str, Place]:
    """The archive and place of `ARCHIVE:PLACE`. The archive part may hold colons: the
    split is at the first colon after which a place follows."""
    start = 0
    while True:
        colon = reference.find(":", start)
        if colon == -1:
            raise PlaceError("%s is not a reference (ARCHIVE:PLACE)"
                             % json.dumps(reference, ensure_ascii=False))
        if colon:
            try:
                return reference[:colon], parse_place(reference[colon + 1:])
            except PlaceError:
                pass
        start = colon + 1
