"""What an archive holds, listed: the entry tables read from the file, values read
through the module's own methods.

`BinArchive` can read an entry at a known address but cannot list its entries. A file
names them in its pointer table and label table, so for a file the tables are read
here; an archive edited in memory is listed through its serialized form, and its label
lists by probing every slot (an empty list writes no label row, yet it is an entry).
The values themselves always come from `read_pointer`, `read_string` and
`read_labels`, so text is decoded by the module's codec, never by this package.
"""
from __future__ import annotations

import json
import re
import sys
from array import array
from dataclasses import dataclass, field
from typing import Dict, Iterable, List, Optional, Protocol, Sequence, Tuple

import orvane_core

HEADER = 32
SLOT = 4


class Archive(Protocol):
    """The part of `orvane_core.BinArchive` this package uses."""

    def size(self) -> int: ...
    def serialize(self) -> List[int]: ...
    def read_bytes(self, address: int, amount: int) -> bytes: ...
    def read_pointer(self, address: int) -> Optional[int]: ...
    def read_string(self, address: int) -> Optional[str]: ...
    def read_labels(self, address: int) -> Optional[List[str]]: ...
    def write_bytes(self, address: int, bytes: bytes) -> None: ...
    def write_pointer(self, address: int, value: Optional[int]) -> None: ...
    def write_string(self, address: int, value: Optional[str]) -> None: ...
    def write_labels(self, address: int, labels: List[str]) -> None: ...
    def allocate_at_end(self, amount: int) -> None: ...


class ToolError(Exception):
    """An expected failure: a bad file, document or translation. str() is one line."""


@dataclass
class Entries:
    """Everything an archive holds. Every mapping is keyed by address, ascending.

    `data` is the data region as the archive holds it: in a slot that carries a
    pointer or a text entry it shows what the file had there, which the writer
    replaces by the current destination or string position.
    """

    data: bytes
    pointers: Dict[int, int] = field(default_factory=dict)
    texts: Dict[int, str] = field(default_factory=dict)
    labels: Dict[int, List[str]] = field(default_factory=dict)

    @property
    def size(self) -> int:
        return len(self.data)


def new_archive() -> Archive:
    archive: Archive = orvane_core.BinArchive()
    return archive


def load(data: bytes) -> Archive:
    """`BinArchive.from_bytes`, its ValueError turned into a ToolError."""
    try:
        archive: Archive = orvane_core.BinArchive.from_bytes(bytes(data))
    except ValueError as error:
        raise ToolError(str(error)) from None
    return archive


def _words(raw: bytes) -> "array[int]":
    words = array("I")
    words.frombytes(raw)
    if sys.byteorder != "little":
        words.byteswap()
    return words


def _tables(file: bytes) -> Tuple["array[int]", "array[int]"]:
    """The pointer table and the label-table addresses of a file the module loaded."""
    data_size, pointer_count, label_count = _words(file[4:16])
    start = HEADER + data_size
    pointer_table = _words(file[start:start + SLOT * pointer_count])
    start += SLOT * pointer_count
    rows = _words(file[start:start + 8 * label_count])
    return pointer_table, rows[0::2]


def _collect(archive: Archive, data: bytes, slots: Iterable[int],
             labelled: Iterable[int]) -> Entries:
    found = Entries(data)
    for address in sorted(set(slots)):
        destination = archive.read_pointer(address)
        if destination is not None:
            found.pointers[address] = destination
        text = archive.read_string(address)
        if text is not None:
            found.texts[address] = text
    for address in sorted(set(labelled)):
        names = archive.read_labels(address)
        if names is not None:
            found.labels[address] = names
    return found


def read_file(file: bytes) -> Tuple[Archive, Entries]:
    """Loads the bytes of an archive file and lists what it holds.

    A loaded file has no empty label list and no slot with both a pointer and a text
    (both entries of one slot read the same value), so its tables name every entry.
    """
    archive = load(file)
    pointer_table, label_addresses = _tables(file)
    data = file[HEADER:HEADER + archive.size()]
    return archive, _collect(archive, data, pointer_table, label_addresses)


def entries(archive: Archive) -> Entries:
    """Everything `archive` holds, including edits made in memory.

    Pointers and texts are found through the serialized form's pointer table; when the
    archive cannot be written (a text that Shift_JIS cannot hold), and for label lists
    always, every slot is probed instead (about 15 ms per MiB of data).
    """
    size = archive.size()
    data = archive.read_bytes(0, size) if size else b""
    every_slot: Sequence[int] = range(0, size - SLOT + 1, SLOT)
    try:
        image = bytes(archive.serialize())
    except ValueError:
        slots: Iterable[int] = every_slot
    else:
        slots = _tables(image)[0]
    return _collect(archive, data, slots, every_slot)


def hex_address(value: int) -> str:
    """Addresses as the module's messages write them: 0x1A40."""
    return "0x%X" % value


def parse_address(value: object) -> int:
    """A hex string such as "0x1A40" (or a JSON integer) as an address.

    Raises ValueError with the reason; callers add the place.
    """
    if type(value) is str and _HEX.fullmatch(value):
        number = int(value, 16)
        if number < 1 << 64:
            return number
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise ValueError('expected an address such as "0x1A40", found %s' % _shown(value))
    if isinstance(value, int):
        number = value
    else:
        text = value.strip()
        if text[:2] not in ("0x", "0X") or not text[2:] or not _is_hex(text[2:]):
            raise ValueError('expected an address such as "0x1A40", found %s' % _shown(value))
        number = int(text[2:], 16)
    if not 0 <= number < 1 << 64:
        raise ValueError("address %s out of range" % _shown(value))
    return number


_HEX = re.compile(r"0[xX][0-9A-Fa-f]+")


def _is_hex(text: str) -> bool:
    return all(c in "0123456789abcdefABCDEF" for c in text)


# JSON can spell half a UTF-16 pair (\ud800) alone; no encoding holds one.
_SURROGATE = re.compile("[\ud800-\udfff]")


def lone_surrogate(text: str) -> Optional[str]:
    """"U+D800 is half of a UTF-16 pair, which is no character" for the first such half
    in `text`, else None."""
    found = _SURROGATE.search(text)
    if found is None:
        return None
    return "U+%04X is half of a UTF-16 pair, which is no character" % ord(found.group())


def _shown(value: object) -> str:
    try:
        shown = json.dumps(value, ensure_ascii=False)
    except (TypeError, ValueError):
        shown = repr(value)
    return shown if len(shown) <= 40 else shown[:37] + "..."


# json's messages end in " at" where its own text adds the position; ours puts the
# position first, so the messages are completed here.
_JSON_MESSAGES = {
    "Unterminated string starting at": "the string that starts here is not closed",
    "Invalid control character at": "control character %s inside a string "
                                     "(is the string's closing quote missing?)",
    "Extra data": "more text after the end of the JSON value",
}


def json_error(error: json.JSONDecodeError) -> str:
    """"line 910 column 26: what is wrong", for a document `json` cannot parse."""
    message = _JSON_MESSAGES.get(error.msg, error.msg)
    if "%s" in message:
        character = error.doc[error.pos:error.pos + 1]
        message %= "U+%04X" % ord(character) if character else "(none)"
    elif message.endswith(" at"):
        message = message[:-3]
    return "line %d column %d: %s" % (error.lineno, error.colno, message)


# Writability, asked of the module's own encoder: a one-slot archive holding the text
# is serialized. Shift_JIS encodes each character on its own, so a failing text is
# split into characters to name the ones at fault.

_encodable_cache: Dict[str, bool] = {}


def _encodes(text: str) -> bool:
    cached = _encodable_cache.get(text)
    if cached is not None:
        return cached
    probe = new_archive()
    probe.allocate_at_end(SLOT)
    probe.write_string(0, text)
    try:
        probe.serialize()
        verdict = True
    except ValueError:
        verdict = False
    if len(text) == 1:
        _encodable_cache[text] = verdict
    return verdict


def unwritable_characters(text: str) -> List[str]:
    """The distinct characters of `text` a file cannot hold, in order of appearance.

    U+0000 counts: it would end the string when the file is read again.
    """
    if "\0" not in text and _encodes(text):
        return []
    return [c for c in dict.fromkeys(text) if c == "\0" or not _encodes(c)]


def describe_characters(characters: Iterable[str]) -> str:
    """'🙂' (U+1F642), '\\x00' (U+0000): each character and its code point."""
    parts = []
    for c in characters:
        shown = c if c.isprintable() else ascii(c)[1:-1]
        parts.append("'%s' (U+%04X)" % (shown, ord(c)))
    return ", ".join(parts)
