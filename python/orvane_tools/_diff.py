"""What differs between two archives.

`compare(a, b)` aligns the archives (see `_align`) and reports, in order of place in
A: spans inserted and removed, bytes changed inside matched spans, pointers whose
target changed (targets compared as matched places, so a pointer whose destination
only moved with its bytes is unchanged), texts and label lists changed, added or
removed. `diff(a, b)` is the older address-by-address listing (`orvane diff
--addresses`).

In the address listing, slot bytes that carry a pointer or a text entry are left out of the data comparison:
the pointer's destination is compared as a pointer, and a text slot holds a string
position that the writer recomputes, so it would only show the text layout moving.
"""
from __future__ import annotations

import json
import struct
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple, Union

from ._align import Alignment, Segment, align
from ._archive import SLOT, Archive, Entries, entries, hex_address
from ._places import Places

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


# The aligned comparison.

FORMAT = "orvane-diff 1"
_GAP = 4      # changed bytes closer than this are one change
_KINDS = {"removed": 0, "inserted": 0, "bytes": 1, "pointer": 2, "text": 3, "labels": 4}


@dataclass
class Edit:
    """One difference found by `compare`.

    kind: inserted or removed (a span of bytes), bytes (changed inside a matched
    span), pointer, text or labels. change: for entries added, removed or changed.
    `a` is the address in A (for what only B has, the address in A where it was
    inserted); `b` the address in B, None for what only A has. `old` and `new` are the
    bytes, the destination address, the text or the label list on each side (None
    for a side without it); a span carries its bytes in `new` (inserted) or `old`.
    Changed bytes within one aligned word are shown as the whole word, and `number`
    is then (u32, old, new) (u16 or u8 where a word does not fit). `dropped` lists the slots of A whose pointers pointed into a removed span
    and are gone with it.
    """

    kind: str
    change: str
    a: int
    b: Optional[int]
    place: str
    old: Any
    new: Any
    place_b: Optional[str] = None
    number: Optional[Tuple[str, int, int]] = None
    old_target: Optional[str] = None
    new_target: Optional[str] = None
    dropped: List[str] = field(default_factory=list)
    order: Tuple[int, float, int] = (0, 0.0, 0)

    def __str__(self) -> str:
        if self.kind == "inserted":
            return "inserted %s at %s: %s" % (_count(len(self.new)), self.place,
                                              _bytes(self.new))
        if self.kind == "removed":
            text = "removed %s at %s: %s" % (_count(len(self.old)), self.place,
                                             _bytes(self.old))
            if self.dropped:
                text += " (and the pointers at %s into it)" % ", ".join(self.dropped)
            return text
        where = "%s %s: " % (self.kind, self.place)
        if self.kind == "bytes":
            text = where + "%s -> %s" % (_bytes(self.old), _bytes(self.new))
            if self.number:
                text += " (%s %d -> %d)" % self.number
            return text
        if self.kind == "pointer":
            old, new = self.old_target, self.new_target
        else:
            old = None if self.old is None else _show_value(self.old)
            new = None if self.new is None else _show_value(self.new)
        if old is None:
            return where + "added " + str(new)
        if new is None:
            return where + "removed " + old
        return where + "%s -> %s" % (old, new)

    def to_json(self) -> Dict[str, Any]:
        """The edit as the JSON schema of `Comparison.to_json` describes it."""
        out: Dict[str, Any] = {"kind": self.kind}
        if self.kind in ("inserted", "removed"):
            raw = self.new if self.kind == "inserted" else self.old
            out.update(place=self.place, address=hex_address(self.a))
            if self.kind == "inserted":
                out.update(address_b=hex_address(self.b or 0))
            out.update(length=len(raw), bytes=raw[:_SHOWN_BYTES].hex(" "))
            if self.dropped:
                out["pointers_dropped"] = list(self.dropped)
            return out
        out.update(change=self.change, place=self.place)
        out["address"] = hex_address(self.a) if self.change != "added" or self.place_b is None \
            else None
        out["address_b"] = None if self.b is None else hex_address(self.b)
        if self.place_b is not None:
            out["in_inserted"] = True
        if self.kind == "bytes":
            out.update(old=self.old.hex(" "), new=self.new.hex(" "))
            if self.number:
                out["number"] = {"type": self.number[0], "old": self.number[1],
                                 "new": self.number[2]}
        elif self.kind == "pointer":
            out.update(old=self.old_target, new=self.new_target,
                       old_address=None if self.old is None else hex_address(self.old),
                       new_address=None if self.new is None else hex_address(self.new))
        else:
            out.update(old=self.old, new=self.new)
        return out


def _count(n: int) -> str:
    return "%d byte%s" % (n, "" if n == 1 else "s")


@dataclass
class Comparison:
    """What `compare` found: the edits in order of place in A, and the alignment."""

    a_size: int
    b_size: int
    edits: List[Edit]
    alignment: Alignment

    @property
    def same(self) -> bool:
        return not self.edits

    def lines(self) -> List[str]:
        return [str(e) for e in self.edits]

    def to_json(self) -> Dict[str, Any]:
        """{"format": "orvane-diff 1", "same", "size": {"a", "b"}, "edits": [...]}; see
        docs/tools.md for the fields of each edit."""
        return {"format": FORMAT, "same": self.same,
                "size": {"a": self.a_size, "b": self.b_size},
                "edits": [e.to_json() for e in self.edits]}


def _number(old: bytes, new: bytes, start: int) -> Optional[Tuple[str, int, int]]:
    """(u8/u16/u32, old, new) when old and new fill one aligned slot exactly."""
    width = len(old)
    if width not in (1, 2, 4) or len(new) != width or start % width:
        return None
    code = {1: "<B", 2: "<H", 4: "<I"}[width]
    return ("u%d" % (8 * width), struct.unpack(code, old)[0], struct.unpack(code, new)[0])


def _widened(old: bytes, new: bytes, lo: int, hi: int, a0: int,
             blank: List[Tuple[int, int]]) -> Tuple[int, int]:
    """The run [lo, hi) widened to the aligned word (else half-word) holding it, when
    that lies in the segment and holds no blanked byte: numbers are mostly words."""
    for width in (4, 2, 1):
        start = (a0 + lo) // width * width - a0
        end = start + width
        if start >= 0 and end <= min(len(old), len(new)) and end >= hi and \
                not any(s < end and start < e for s, e in blank):
            return start, end
    return lo, hi


def _changed_runs(old: bytes, new: bytes, blank: List[Tuple[int, int]]) -> List[Tuple[int, int]]:
    """Runs [lo, hi) where old and new differ, outside the blank ranges; runs closer
    than _GAP with no blank range between are joined."""
    if blank:
        o, n = bytearray(old), bytearray(new)
        for s, e in blank:
            o[s:e] = bytes(e - s)
            n[s:e] = bytes(e - s)
        old, new = bytes(o), bytes(n)
    runs: List[Tuple[int, int]] = []
    size = min(len(old), len(new))
    for base in range(0, size, _CHUNK):
        if old[base:base + _CHUNK] == new[base:base + _CHUNK]:
            continue
        for i in range(base, min(base + _CHUNK, size)):
            if old[i] != new[i]:
                if runs and runs[-1][1] == i:
                    runs[-1] = (runs[-1][0], i + 1)
                elif runs and i - runs[-1][1] < _GAP and \
                        not any(runs[-1][1] < e and s < i for s, e in blank):
                    runs[-1] = (runs[-1][0], i + 1)
                else:
                    runs.append((i, i + 1))
    return runs


def compare(a: Union[Archive, Entries], b: Union[Archive, Entries]) -> Comparison:
    """The edits that turn archive A into archive B, found by aligning them."""
    old = a if isinstance(a, Entries) else entries(a)
    new = b if isinstance(b, Entries) else entries(b)
    alignment = align(old, new)
    places_a, places_b = Places(old.labels), Places(new.labels)
    edits: List[Edit] = []
    blank_b = set(new.pointers) | set(new.texts)

    def key(a_address: int, kind: str, b_address: Optional[int] = None,
            inserted: bool = False) -> Tuple[int, float, int]:
        return (a_address, (0.5 if inserted else 0.0) + _KINDS[kind] / 10.0,
                b_address or 0)

    removed_spans: Dict[int, Edit] = {}
    for s in alignment.segments:
        if s.kind == "inserted":
            raw = _blanked(new, s.b, s.b_size)
            edits.append(Edit("inserted", "inserted", s.a, s.b, places_b.name(s.b), b"", raw,
                              place_b=places_b.name(s.b), order=key(s.a, "inserted")))
        elif s.kind == "removed":
            raw = old.data[s.a:s.a + s.a_size]
            edit = Edit("removed", "removed", s.a, None, places_a.name(s.a), raw, b"",
                        order=key(s.a, "removed"))
            removed_spans[s.a] = edit
            edits.append(edit)
        elif s.kind == "changed":
            edits.extend(_byte_edits(old, new, s, blank_b, places_a, places_b, key))

    def a_place(address: int) -> str:
        return places_a.name(address)

    # Pointers: compare destinations as matched places.
    seen_b = set()
    keys = list(old.pointers)
    if keys != sorted(keys):
        keys.sort()
    for address, mapped in zip(keys, alignment.map_sorted(keys)):
        if mapped is None:
            continue  # gone with a removed span
        seen_b.add(mapped)
        target = old.pointers[address]
        now = new.pointers.get(mapped)
        if now is not None and alignment.to_b(target) == now:
            continue
        gone = alignment.removed_at(target)
        if now is None and gone is not None:
            removed_spans[gone.a].dropped.append(a_place(address))
            continue
        edits.append(Edit("pointer", "removed" if now is None else "changed", address, mapped,
                          a_place(address), target, now,
                          old_target=places_a.name(target),
                          new_target=None if now is None else places_b.name(now),
                          order=key(address, "pointer")))
    for address, now in new.pointers.items():
        if address not in seen_b:
            edits.append(_added(alignment, "pointer", address, now, places_a, places_b,
                                key, target=places_b.name(now)))

    maps: List[Tuple[str, Dict[int, Any], Dict[int, Any]]] = [
        ("text", old.texts, new.texts), ("labels", old.labels, new.labels)]
    for kind, old_map, new_map in maps:
        seen_b = set()
        keys = list(old_map)
        if keys != sorted(keys):
            keys.sort()
        for address, mapped in zip(keys, alignment.map_sorted(keys)):
            if mapped is None:
                continue
            seen_b.add(mapped)
            value = old_map[address]
            entry = new_map.get(mapped)
            if entry != value:
                edits.append(Edit(kind, "removed" if entry is None else "changed", address,
                                  mapped, a_place(address), value, entry,
                                  order=key(address, kind)))
        for address, entry in new_map.items():
            if address not in seen_b:
                edits.append(_added(alignment, kind, address, entry, places_a, places_b, key))
    edits.sort(key=lambda e: e.order)
    return Comparison(len(old.data), len(new.data), edits, alignment)


def _blanked(found: Entries, start: int, size: int) -> bytes:
    """The bytes at start, with the slots of pointers and texts (where the file keeps
    destinations and string positions) as zeros."""
    raw = bytearray(found.data[start:start + size])
    for slot in range(start - start % SLOT, start + size, SLOT):
        if slot >= start and (slot in found.pointers or slot in found.texts):
            raw[slot - start:slot - start + SLOT] = bytes(SLOT)
    return bytes(raw)


def blank_slots(found: Entries, start: int, size: int) -> List[int]:
    """Offsets from start of the pointer and text slots inside [start, start + size)."""
    return [slot - start for slot in range(start - start % SLOT, start + size, SLOT)
            if slot >= start and (slot in found.pointers or slot in found.texts)]


def _added(alignment: Alignment, kind: str, address: int, value: Any, places_a: Places,
           places_b: Places, key: Any, target: Optional[str] = None) -> Edit:
    """An entry only B has: at a place of A when its slot is matched, else in B."""
    origin = alignment.to_a(address)
    if origin is not None:
        return Edit(kind, "added", origin, address, places_a.name(origin), None, value,
                    new_target=target, order=key(origin, kind))
    span = alignment.inserted_at(address)
    at = span.a if span is not None else alignment.a_size
    return Edit(kind, "added", at, address, places_b.name(address), None, value,
                place_b=places_b.name(address), new_target=target,
                order=key(at, kind, address, inserted=True))


def _byte_edits(old: Entries, new: Entries, s: Segment, blank_b: set,  # type: ignore[type-arg]
                places_a: Places, places_b: Places, key: Any) -> List[Edit]:
    before = old.data[s.a:s.a + s.a_size]
    after = new.data[s.b:s.b + s.b_size]
    if len(before) != len(after):
        return [Edit("bytes", "changed", s.a, s.b, places_a.name(s.a), before, after,
                     order=key(s.a, "bytes"))]
    blank = [(slot - s.b, slot - s.b + SLOT) for slot in range(s.b - s.b % SLOT, s.b + s.b_size, SLOT)
             if slot in blank_b]
    out = []
    for lo, hi in _changed_runs(before, after, blank):
        number = None
        if hi - lo <= 4:
            lo, hi = _widened(before, after, lo, hi, s.a, blank)
            number = _number(before[lo:hi], after[lo:hi], s.a + lo)
        out.append(Edit("bytes", "changed", s.a + lo, s.b + lo, places_a.name(s.a + lo),
                        before[lo:hi], after[lo:hi], number=number,
                        order=key(s.a + lo, "bytes")))
    return out
