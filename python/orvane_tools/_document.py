"""The text form of an archive: decompile to a JSON document, compile back to bytes.

The document lists the data region as rows of 16 bytes, each prefixed with its
address, and every pointer, text entry and label list on a line of its own, sorted by
address, so that a diff of two documents reads like a diff of the archives. With
places, each entry's address (and each pointer's destination) is followed by its
place, `"0x14 ITEMS+0x4"`; compiling takes an address, a place, or both (which must
agree), places resolved by the document's own labels. Compiling
builds a fresh archive through the module's editing methods and writes it with
`serialize`, so `compile(decompile(a))` is exactly `serialize(a)`.
"""
from __future__ import annotations

import json
from typing import Any, Dict, List, NoReturn, Optional, Tuple, Union

from ._archive import (Archive, Entries, ToolError, _shown, describe_characters, entries,
                       hex_address, json_error, new_archive, parse_address,
                       unwritable_characters)
from ._places import PlaceError, Places

FORMAT = "orvane-archive 1"
ROW = 16
_KEYS = ("format", "data", "pointers", "texts", "labels")


_ENCODE = json.JSONEncoder(ensure_ascii=False).encode


def decompile(source: Union[Archive, Entries], places: bool = False) -> str:
    """The document of an archive (or of its listed entries), as JSON text. With
    places, every entry's address, and every pointer's destination, is followed by its
    place (`"0x14 ITEMS+0x4"`), which `compile` reads too."""
    found = source if isinstance(source, Entries) else entries(source)
    data = found.data
    # A million rows for 16 MiB: map and zip keep the per-row work in C.
    spaced = data.hex(" ")
    starts = range(0, len(data), ROW)
    bodies = map(spaced.__getitem__, map(slice, range(0, 3 * len(data), 3 * ROW),
                                         range(3 * ROW - 1, 3 * len(data) + 3 * ROW, 3 * ROW)))
    rows = list(map('    "0x%08X: %s"'.__mod__, zip(starts, bodies)))

    dumps = _ENCODE
    if places:
        named = Places(found.labels)

        def at(address: int) -> str:
            return dumps("0x%X %s" % (address, named.name(address)))
        pointers = ['    [%s, %s]' % (at(a), at(d)) for a, d in found.pointers.items()]
        texts = ['    [%s, %s]' % (at(a), dumps(t)) for a, t in found.texts.items()]
        labels = ['    [%s, %s]' % (at(a), dumps(n)) for a, n in found.labels.items()]
    else:
        pointers = ['    ["0x%X", "0x%X"]' % pair for pair in found.pointers.items()]
        texts = ['    ["0x%X", %s]' % (a, dumps(t)) for a, t in found.texts.items()]
        labels = ['    ["0x%X", %s]' % (a, dumps(n)) for a, n in found.labels.items()]

    def block(name: str, lines: List[str]) -> str:
        if not lines:
            return '  "%s": []' % name
        return '  "%s": [\n%s\n  ]' % (name, ",\n".join(lines))

    parts = ['  "format": "%s"' % FORMAT, block("data", rows), block("pointers", pointers),
             block("texts", texts), block("labels", labels)]
    return "{\n" + ",\n".join(parts) + "\n}\n"


def _fail(place: str, reason: str) -> NoReturn:
    raise ToolError("%s: %s" % (place, reason))


def _list(document: Dict[str, Any], key: str) -> List[Any]:
    value = document.get(key, [])
    if not isinstance(value, list):
        _fail(key, "expected a list, found %s" % _shown(value))
    return value


_ROW_TEXT = 12 + 3 * ROW - 1  # "0x00000010: " and 16 bytes in hex, spaced


def _data(rows: List[Any]) -> bytes:
    """The data region from its rows; the checked slow path runs only when the rows
    are not all in the form decompile writes, to name the faulty one."""
    if rows and set(map(type, rows)) == {str} and set(map(len, rows[:-1])) <= {_ROW_TEXT}:
        prefixes = list(map("0x%08X: ".__mod__, range(0, ROW * len(rows), ROW)))
        if list(map(str.__getitem__, rows, [slice(0, 12)] * len(rows))) == prefixes:
            hex_text = " ".join(map(str.__getitem__, rows, [slice(12, None)] * len(rows)))
            try:
                # Spaces exactly between the byte pairs, so every row holds 16 bytes.
                if hex_text[2::3].strip(" "):
                    raise ValueError("not spaced as decompile writes it")
                data = bytes.fromhex(hex_text)
            except ValueError:
                pass
            else:
                if 0 < len(data) - ROW * (len(rows) - 1) <= ROW:
                    return data
    chunks = []
    for index, row in enumerate(rows):
        start = ROW * index
        place = "data row 0x%08X" % start
        if not isinstance(row, str) or ":" not in row:
            _fail(place, 'expected "0x%08X: 00 01 ...", found %s' % (start, _shown(row)))
        prefix, _, body = row.partition(":")
        try:
            address = parse_address(prefix)
        except ValueError as error:
            _fail(place, str(error))
        if address != start:
            _fail(place, "row is labelled %s; rows hold 16 bytes each, in order"
                  % hex_address(address))
        try:
            chunk = bytes.fromhex(body)
        except ValueError:
            _fail(place, "%s is not a list of bytes in hex" % _shown(body.strip()))
        last = index == len(rows) - 1
        if len(chunk) != ROW and not (last and 0 < len(chunk) < ROW):
            _fail(place, "holds %d bytes; every row but the last holds 16" % len(chunk))
        chunks.append(chunk)
    return b"".join(chunks)


def _where(value: Any, places: Optional[Places]) -> int:
    """An address written "0x14", as a place ("ITEMS+0x4", resolved by the document's
    labels) or both ("0x14 ITEMS+0x4", which must agree). Raises ValueError."""
    if not isinstance(value, str) or " " not in value.strip():
        try:
            return parse_address(value)
        except ValueError:
            if not isinstance(value, str) or places is None:
                raise
            try:
                return places.resolve(value.strip())
            except PlaceError as error:
                if "+" in value or "[" in value:
                    raise ValueError(str(error)) from None
            raise
    address_text, _, place_text = value.strip().partition(" ")
    address = parse_address(address_text)
    if places is not None:
        named = _resolved(place_text.strip(), places)
        if named != address:
            raise ValueError("%s is %s, not %s; give one of them"
                             % (place_text.strip(), hex_address(named), hex_address(address)))
    return address


def _resolved(text: str, places: Places) -> int:
    try:
        return places.resolve(text)
    except PlaceError as error:
        raise ValueError(str(error)) from None


def _pairs(document: Dict[str, Any], key: str,
           places: Optional[Places] = None) -> Dict[int, Any]:
    """The [address, value] entries of one list, checked, keyed by address."""
    found: Dict[int, Any] = {}
    for index, item in enumerate(_list(document, key)):
        place = "%s[%d]" % (key, index)
        if not isinstance(item, list) or len(item) != 2:
            _fail(place, "expected [address, value], found %s" % _shown(item))
        try:
            address = _where(item[0], places)
        except ValueError as error:
            _fail(place, str(error))
        place = "%s entry %s" % (key, hex_address(address))
        if address in found:
            _fail(place, "address given twice")
        found[address] = (place, item[1])
    return found


def _checked_text(place: str, what: str, value: Any) -> str:
    if not isinstance(value, str):
        _fail(place, "%s: expected a string, found %s" % (what, _shown(value)))
    if "\0" in value:
        _fail(place, "%s holds U+0000, which would end the string in the file" % what)
    return value


def compile(document: str) -> bytes:
    """The archive file a document describes. Raises ToolError naming the place."""
    return compile_entries(document)[0]


def compile_entries(document: str) -> Tuple[bytes, Entries]:
    """The archive file a document describes, and the entries the document lists.

    Those can differ from what the file loads back to (a pointer beyond the data
    region comes back as a text entry); `checked_archive` compares the two.
    """
    try:
        parsed = json.loads(document)
    except json.JSONDecodeError as error:
        raise ToolError(json_error(error)) from None
    if not isinstance(parsed, dict):
        raise ToolError("expected a JSON object with the keys %s" % ", ".join(_KEYS))
    unknown = [k for k in parsed if k not in _KEYS]
    if unknown:
        raise ToolError("unknown key %s (the keys are %s)" % (_shown(unknown[0]), ", ".join(_KEYS)))
    if parsed.get("format") != FORMAT:
        _fail("format", "expected %s, found %s" % (_shown(FORMAT), _shown(parsed.get("format"))))

    data = _data(_list(parsed, "data"))
    listed = Entries(data)
    archive = new_archive()
    if data:
        archive.allocate_at_end(len(data))
        archive.write_bytes(0, data)

    def apply(place: str, write: Any, address: int, value: Any) -> None:
        try:
            write(address, value)
        except ValueError as error:
            _fail(place, str(error))

    # Labels are keyed by address (a place beside it is not checked: it is named by the
    # labels themselves); the other entries may be keyed by place.
    label_pairs = _pairs(parsed, "labels")
    places = Places({a: v for a, (_, v) in label_pairs.items()
                     if isinstance(v, list) and all(isinstance(n, str) for n in v)})
    for address, (place, value) in _pairs(parsed, "pointers", places).items():
        try:
            destination = _where(value, places)
        except ValueError as error:
            _fail(place, "destination: %s" % error)
        apply(place, archive.write_pointer, address, destination)
        listed.pointers[address] = destination
    strings: List[Tuple[str, str, str]] = []
    for address, (place, value) in _pairs(parsed, "texts", places).items():
        apply(place, archive.write_string, address, _checked_text(place, "text", value))
        strings.append((place, "text", value))
        listed.texts[address] = value
    for address, (place, value) in label_pairs.items():
        if not isinstance(value, list):
            _fail(place, "expected a list of names, found %s" % _shown(value))
        names = [_checked_text(place, "label %d" % i, name) for i, name in enumerate(value)]
        apply(place, archive.write_labels, address, names)
        strings.extend((place, "label %d" % i, name) for i, name in enumerate(names))
        listed.labels[address] = names
    listed.pointers = dict(sorted(listed.pointers.items()))
    listed.texts = dict(sorted(listed.texts.items()))
    listed.labels = dict(sorted(listed.labels.items()))
    try:
        return bytes(archive.serialize()), listed
    except ValueError as error:
        # Only the encoder can fail here; name the first string it cannot encode.
        for place, what, value in strings:
            bad = unwritable_characters(value)
            if bad:
                _fail(place, "%s holds %s, which Shift_JIS cannot encode"
                      % (what, describe_characters(bad)))
        raise ToolError(str(error)) from None
