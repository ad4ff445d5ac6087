"""What differs between two archives, entry by entry.

Slot bytes that carry a pointer or a text entry are left out of the data comparison:
the pointer's destination is compared as a pointer, and a text slot holds a string
position that the writer recomputes, so it would only show the text layout moving.
"""
from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Union

from ._archive import SLOT, Archive, Entries, entries, hex_address

_CHUNK = 4096
_SHOWN_BYTES = 16


@dataclass
class Change:
    """One difference. `kind` is size, data, pointer, text or labels; `old` or `new` is
    None for an entry only one side has. For data, `address` is where the range starts
    and old/new are its bytes."""

    kind: str
    address: int
    old: Any
    new: Any

    def __str__(self) -> str:
        if self.kind == "size":
            return "size: %s -> %s" % (hex_address(self.old), hex_address(self.new))
        if self.kind == "data":
            end = self.address + max(len(self.old), len(self.new)) - 1
            return "data %s-%s: %s -> %s" % (hex_address(self.address), hex_address(end),
                                             _bytes(self.old), _bytes(self.new))
        show = _show_pointer if self.kind == "pointer" else _show_value
        where = "%s %s: " % (self.kind, hex_address(self.address))
        if self.old is None:
            return where + "added " + show(self.new)
        if self.new is None:
            return where + "removed " + show(self.old)
        return where + "%s -> %s" % (show(self.old), show(self.new))


def _bytes(raw: bytes) -> str:
    if not raw:
        return "(none)"
    shown = raw[:_SHOWN_BYTES].hex(" ")
    return shown + (" ..." if len(raw) > _SHOWN_BYTES else "")


def _show_pointer(value: int) -> str:
    return hex_address(value)


def _show_value(value: object) -> str:
    return json.dumps(value, ensure_ascii=False)


def _masked(data: bytes, slots: List[int]) -> bytes:
    if not slots:
        return data
    out = bytearray(data)
    for address in slots:
        out[address:address + SLOT] = bytes(SLOT)
    return bytes(out)


def _data_changes(a: Entries, b: Entries) -> List[Change]:
    common = min(a.size, b.size)
    slots = sorted(set(a.pointers) | set(a.texts) | set(b.pointers) | set(b.texts))
    slots = [s for s in slots if s < common]
    old = _masked(a.data[:common], slots)
    new = _masked(b.data[:common], slots)
    changes = []
    start: Optional[int] = None
    for base in range(0, common, _CHUNK):
        if old[base:base + _CHUNK] == new[base:base + _CHUNK]:
            if start is not None:
                changes.append(Change("data", start, old[start:base], new[start:base]))
                start = None
            continue
        for i in range(base, min(base + _CHUNK, common)):
            if old[i] != new[i]:
                if start is None:
                    start = i
            elif start is not None:
                changes.append(Change("data", start, old[start:i], new[start:i]))
                start = None
    if start is not None:
        changes.append(Change("data", start, old[start:common], new[start:common]))
    if a.size != b.size:
        changes.append(Change("data", common, a.data[common:], b.data[common:]))
    return changes


def _map_changes(kind: str, old: Dict[int, Any], new: Dict[int, Any]) -> List[Change]:
    return [Change(kind, address, old.get(address), new.get(address))
            for address in set(old) | set(new) if old.get(address) != new.get(address)]


_ORDER = {"data": 0, "pointer": 1, "text": 2, "labels": 3}


def diff(a: Union[Archive, Entries], b: Union[Archive, Entries]) -> List[Change]:
    """Every difference between two archives: the size first, then by address."""
    old = a if isinstance(a, Entries) else entries(a)
    new = b if isinstance(b, Entries) else entries(b)
    changes = _data_changes(old, new)
    changes += _map_changes("pointer", old.pointers, new.pointers)
    changes += _map_changes("text", old.texts, new.texts)
    changes += _map_changes("labels", old.labels, new.labels)
    changes.sort(key=lambda c: (c.address, _ORDER[c.kind]))
    if old.size != new.size:
        changes.insert(0, Change("size", 0, old.size, new.size))
    return changes
