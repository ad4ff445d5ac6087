"""Patches: the edits between two archives as operations on places, carried to
another version of the archive.

`make_patch(a, b)` turns the comparison of A and B into operations on places of A,
each with what A holds there: `insert` (bytes, and the entries B has among them),
`remove` (the bytes expected), `bytes`, `text`, `pointer` and `labels` (expected and
new value). `apply_patch(patch, c)` resolves every place in archive C by C's own
labels and checks every expectation before changing anything; only when all hold
does it carry out the operations through the module, in this order:

1. inserts and removals, from the highest address down, so that each place keeps
   naming the bytes it named (`allocate` and `deallocate` move the entries and the
   pointer destinations behind them, as they did when B was made);
2. the bytes and entries that inserts bring;
3. every other write, at the place's address after the moves. A pointer's new target
   is a place of A, resolved in C and moved the same way, or a place inside an
   inserted span.

A patch is JSON text, versioned by its "format" key; docs/tools.md describes it.
"""
from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Protocol, Sequence, Tuple, Union

from ._archive import (Archive, Entries, ToolError, _shown, entries, hex_address,
                       lone_surrogate, parse_address, read_file)
from ._diff import Comparison, Edit, blank_slots, compare
from ._output import archive_problem
from ._places import PlaceError, Places, parse_place

__all__ = ["ArchivePatch", "Applied", "Operation", "Patch", "apply_patch", "make_patch",
           "read_patch"]

FORMAT = "orvane-patch 1"
_CONTEXT = 8  # bytes after an insertion point that the patch expects
_OPS = ("insert", "remove", "bytes", "text", "pointer", "labels")


class _Editable(Archive, Protocol):
    def allocate(self, address: int, amount_in_bytes: int) -> None: ...
    def deallocate(self, address: int, amount_in_bytes: int) -> None: ...
    def delete_labels(self, address: int) -> None: ...


@dataclass
class Operation:
    """One operation at a place of A.

    op: insert, remove, bytes, text, pointer or labels. expected: what A holds there
    (bytes for remove and bytes; the text, the pointer's target place or the label
    list; None where A has no such entry). new: what B holds (bytes for insert and
    bytes; None to delete the entry). A pointer target is a place of A, or
    (insert place, offset) for a byte inside an inserted span. An insert carries in
    `entries` the pointers, texts and labels B has among its bytes, keyed by offset.
    """

    op: str
    at: str
    expected: Any = None
    new: Any = None
    entries: Dict[str, Dict[int, Any]] = field(default_factory=dict)
    note: Optional[str] = None


@dataclass
class ArchivePatch:
    """The operations for one archive; `name` is its file name (a relative path for
    patches made over folders)."""

    name: str
    operations: List[Operation]


@dataclass
class Patch:
    archives: List[ArchivePatch]

    def to_json(self) -> str:
        return _dump(self)


@dataclass
class Applied:
    """The result of `apply_patch`: the new file's bytes, or None and the conflicts
    (each `PLACE: expected ..., found ...`)."""

    data: Optional[bytes]
    conflicts: List[str]


# Making.

def _target(comparison: Comparison, places_a: Places, places_b: Places,
            destination: int) -> Any:
    alignment = comparison.alignment
    origin = alignment.to_a(destination)
    if origin is not None:
        return places_a.name(origin)
    span = alignment.inserted_at(destination)
    assert span is not None
    return {"inserted_at": places_a.name(span.a),
            "offset": hex_address(destination - span.b)}


def _hex(raw: bytes, blank: Sequence[int] = ()) -> str:
    """Bytes in hex; the 4 bytes at each offset in blank as ?? (any byte matches)."""
    shown = raw.hex(" ").split(" ") if raw else []
    for offset in blank:
        shown[offset:offset + 4] = ["??"] * len(shown[offset:offset + 4])
    return " ".join(shown)


def _pattern(text: str) -> List[Optional[int]]:
    """Hex bytes with ?? for any byte, as a list (None for ??)."""
    return [None if t == "??" else int(t, 16) for t in text.split()]


def _matches(pattern: List[Optional[int]], raw: bytes) -> bool:
    return len(pattern) == len(raw) and all(p is None or p == r for p, r in zip(pattern, raw))


def make_archive_patch(name: str, a: Entries, b: Entries) -> ArchivePatch:
    """The operations that turn archive A into archive B (named `name`)."""
    comparison = compare(a, b)
    if len(a.data) % 4 != len(b.data) % 4:
        raise ToolError("%s: the sizes differ by %d bytes, which is not whole words; "
                        "a patch inserts and removes 4-byte words only"
                        % (name, len(b.data) - len(a.data)))
    places_a, places_b = Places(a.labels), Places(b.labels)
    alignment = comparison.alignment
    operations: List[Operation] = []
    inserts: Dict[int, Operation] = {}
    for edit in comparison.edits:
        if edit.kind == "inserted":
            assert edit.b is not None
            # What follows the insertion point: applying twice, or where other bytes
            # sit at that place, is a conflict.
            after = a.data[edit.a:edit.a + _CONTEXT]
            op = Operation("insert", places_a.name(edit.a),
                           _hex(after, blank_slots(a, edit.a, len(after))), _hex(edit.new),
                           {"pointers": {}, "texts": {}, "labels": {}})
            inserts[edit.b] = op
            operations.append(op)
        elif edit.kind == "removed":
            blank = blank_slots(a, edit.a, len(edit.old))
            operations.append(Operation("remove", edit.place, _hex(edit.old, blank)))
        elif edit.kind == "bytes":
            note = "%s %d -> %d" % edit.number if edit.number else None
            operations.append(Operation("bytes", edit.place, _hex(edit.old), _hex(edit.new),
                                        note=note))
        elif edit.place_b is not None:
            assert edit.b is not None
            span = alignment.inserted_at(edit.b)
            assert span is not None
            value = edit.new
            if edit.kind == "pointer":
                value = _target(comparison, places_a, places_b, edit.new)
            kind = {"pointer": "pointers", "text": "texts", "labels": "labels"}[edit.kind]
            inserts[span.b].entries[kind][edit.b - span.b] = value
        else:
            operations.append(_entry_operation(edit, comparison, places_a, places_b))
    return ArchivePatch(name, operations)


def _entry_operation(edit: Edit, comparison: Comparison, places_a: Places,
                     places_b: Places) -> Operation:
    if edit.kind == "pointer":
        expected = None if edit.old is None else places_a.name(edit.old)
        new = None if edit.new is None else _target(comparison, places_a, places_b, edit.new)
        return Operation("pointer", edit.place, expected, new)
    return Operation(edit.kind, edit.place, edit.old, edit.new)


def make_patch(a: Union[Archive, Entries], b: Union[Archive, Entries],
               name: str = "archive") -> Patch:
    """The patch that turns archive A into archive B."""
    from ._archive import entries
    old = a if isinstance(a, Entries) else entries(a)
    new = b if isinstance(b, Entries) else entries(b)
    return Patch([make_archive_patch(name, old, new)])


# The JSON form.

def _dump(patch: Patch) -> str:
    def op_json(op: Operation) -> str:
        item: Dict[str, Any] = {"op": op.op, "at": op.at}
        if op.op == "insert":
            item["length"] = len(bytes.fromhex(op.new))
            item["before"] = op.expected
            item["new"] = op.new
            for kind in ("pointers", "texts", "labels"):
                found = op.entries.get(kind)
                if found:
                    item[kind] = [[hex_address(off), value] for off, value in sorted(found.items())]
        elif op.op == "remove":
            item["length"] = len(_pattern(op.expected))
            item["expected"] = op.expected
        else:
            item["expected"] = op.expected
            item["new"] = op.new
            if op.note:
                item["number"] = op.note
        return "      " + json.dumps(item, ensure_ascii=False)

    parts = []
    for archive in patch.archives:
        ops = ",\n".join(op_json(op) for op in archive.operations)
        parts.append('    {"archive": %s, "operations": [\n%s\n    ]}'
                     % (json.dumps(archive.name, ensure_ascii=False), ops)
                     if ops else '    {"archive": %s, "operations": []}'
                     % json.dumps(archive.name, ensure_ascii=False))
    return '{\n  "format": "%s",\n  "archives": [\n%s\n  ]\n}\n' % (FORMAT, ",\n".join(parts))


def _fail(where: str, reason: str) -> ToolError:
    return ToolError("%s: %s" % (where, reason))


def _bytes_field(where: str, value: Any, wild: bool = False) -> str:
    if not isinstance(value, str):
        raise _fail(where, "expected bytes in hex, found %s" % _shown(value))
    tokens = value.split()
    if all((len(t) == 2 and all(c in "0123456789abcdefABCDEF" for c in t))
           or (wild and t == "??") for t in tokens):
        return " ".join(t.lower() for t in tokens)
    raise _fail(where, "%s is not a list of bytes in hex, spaced%s"
                % (_shown(value), " (?? for any byte)" if wild else ""))


def _target_field(where: str, value: Any) -> Any:
    if value is None:
        return None
    if isinstance(value, str):
        parse_place(value)
        return value
    if isinstance(value, dict) and set(value) == {"inserted_at", "offset"} \
            and isinstance(value["inserted_at"], str) and isinstance(value["offset"], str):
        parse_place(value["inserted_at"])
        try:
            parse_address(value["offset"])
        except ValueError as error:
            raise _fail(where, "offset: %s" % error) from None
        return value
    raise _fail(where, 'expected a place or {"inserted_at": PLACE, "offset": "0x4"}, found %s'
                % _shown(value))


def _characters(where: str, text: str) -> str:
    problem = lone_surrogate(text)
    if problem is not None:
        raise _fail(where, "%s: %s" % (_shown(text), problem))
    return text


def _labels_field(where: str, value: Any) -> Any:
    if value is None or (isinstance(value, list) and all(isinstance(n, str) for n in value)):
        for name in value or ():
            _characters(where, name)
        return value
    raise _fail(where, "expected a list of names or null, found %s" % _shown(value))


def _text_field(where: str, value: Any) -> Any:
    if value is None:
        return value
    if isinstance(value, str):
        return _characters(where, value)
    raise _fail(where, "expected a text or null, found %s" % _shown(value))


def read_patch(text: str) -> Patch:
    """A patch from its JSON text. Raises ToolError naming the faulty operation."""
    try:
        parsed = json.loads(text)
    except json.JSONDecodeError as error:
        raise ToolError("line %d column %d: %s" % (error.lineno, error.colno, error.msg)) from None
    if not isinstance(parsed, dict) or parsed.get("format") != FORMAT:
        raise ToolError('not a patch: expected {"format": "%s", "archives": [...]}' % FORMAT)
    archives = parsed.get("archives")
    if not isinstance(archives, list):
        raise _fail("archives", "expected a list, found %s" % _shown(archives))
    out = []
    for n, item in enumerate(archives):
        where = "archives[%d]" % n
        if not isinstance(item, dict) or not isinstance(item.get("archive"), str) \
                or not isinstance(item.get("operations"), list):
            raise _fail(where, 'expected {"archive": NAME, "operations": [...]}')
        name = item["archive"]
        parts = name.replace("\\", "/").split("/")
        if not name or name.startswith(("/", "\\")) or ":" in parts[0] \
                or any(p in ("", ".", "..") for p in parts):
            raise _fail(where, "%s is not a relative path inside a folder" % _shown(name))
        operations = []
        for k, raw in enumerate(item["operations"]):
            at = "%s operation %d" % (item["archive"], k)
            if not isinstance(raw, dict) or raw.get("op") not in _OPS \
                    or not isinstance(raw.get("at"), str):
                raise _fail(at, 'expected {"op": %s, "at": PLACE, ...}, found %s'
                            % ("|".join(_OPS), _shown(raw)))
            try:
                parse_place(raw["at"])
                operations.append(_operation(at, raw))
            except PlaceError as error:
                raise _fail(at, str(error)) from None
        out.append(ArchivePatch(item["archive"], operations))
    return Patch(out)


def _operation(where: str, raw: Dict[str, Any]) -> Operation:
    op, at = raw["op"], raw["at"]
    if op == "insert":
        new = _bytes_field(where, raw.get("new"))
        entries: Dict[str, Dict[int, Any]] = {"pointers": {}, "texts": {}, "labels": {}}
        for kind, check in (("pointers", _target_field), ("texts", _text_field),
                            ("labels", _labels_field)):
            listed = raw.get(kind, [])
            if not isinstance(listed, list):
                raise _fail(where, "%s: expected a list" % kind)
            for pair in listed:
                if not isinstance(pair, list) or len(pair) != 2:
                    raise _fail(where, "%s: expected [offset, value], found %s" % (kind, _shown(pair)))
                try:
                    offset = int(pair[0], 16) if isinstance(pair[0], str) else -1
                except ValueError:
                    offset = -1
                if offset < 0 or offset + 4 > len(bytes.fromhex(new)):
                    raise _fail(where, "%s: %s is not an offset inside the inserted bytes"
                                % (kind, _shown(pair[0])))
                entries[kind][offset] = check(where, pair[1])
        return Operation(op, at, _bytes_field(where, raw.get("before"), wild=True), new,
                         entries)
    if op == "remove":
        return Operation(op, at, _bytes_field(where, raw.get("expected"), wild=True))
    if op == "bytes":
        old, new = _bytes_field(where, raw.get("expected")), _bytes_field(where, raw.get("new"))
        if len(old) != len(new):
            raise _fail(where, "expected and new hold different numbers of bytes")
        return Operation(op, at, old, new)
    check = {"text": _text_field, "pointer": _target_field, "labels": _labels_field}[op]
    return Operation(op, at, check(where, raw.get("expected")), check(where, raw.get("new")))


# Applying.

def _shown_bytes(raw: bytes) -> str:
    return raw.hex(" ") if raw else "(nothing)"


def _shown_entry(op: str, value: Any) -> str:
    if value is None:
        return "no %s" % ("pointer" if op == "pointer" else "text" if op == "text" else "labels")
    if op == "pointer":
        return str(value)
    return json.dumps(value, ensure_ascii=False)


class _Plan:
    """Addresses of C before and after the inserts and removals."""

    def __init__(self, moves: List[Tuple[int, int]]) -> None:
        # (address, +amount inserted there) or (address, -amount removed from there)
        self.moves = sorted(moves)

    def after(self, address: int) -> Optional[int]:
        """Where the byte at address ends up; None when it is removed."""
        shift = 0
        for at, amount in self.moves:
            if amount > 0 and at <= address:
                shift += amount
            elif amount < 0:
                if at - amount <= address:
                    shift += amount
                elif at <= address:
                    return None
        return address + shift

    def start(self, at: int) -> int:
        """Where the bytes inserted at `at` begin."""
        shift = 0
        for where, amount in self.moves:
            if amount > 0 and where < at:
                shift += amount
            elif amount < 0 and where - amount <= at:
                shift += amount
        return at + shift


def apply_archive_patch(patch: ArchivePatch, file: bytes) -> Applied:
    """Applies the operations to the archive file `file`: the new file's bytes when
    every place resolves and every expectation holds, else the conflicts."""
    archive, found = read_file(file)
    places = Places(found.labels)
    size = len(found.data)
    conflicts: List[str] = []
    resolved: List[Tuple[Operation, int]] = []
    moves: List[Tuple[int, int]] = []
    inserted_at: Dict[str, int] = {}

    def resolve(place: str) -> Optional[int]:
        try:
            return places.resolve(place)
        except PlaceError as error:
            conflicts.append(str(error))
            return None

    def slot(op: Operation, address: int) -> bool:
        if address % 4 or address + 4 > size:
            conflicts.append("%s: %s is not a slot of this archive (size %s)"
                             % (op.at, hex_address(address), hex_address(size)))
            return False
        return True

    targets: List[Tuple[str, Any]] = []
    for op in patch.operations:
        address = resolve(op.at)
        if address is None:
            continue
        if op.op in ("bytes", "remove"):
            expected = _pattern(op.expected)
            there = found.data[address:address + len(expected)]
            if op.op == "remove" and (address % 4 or len(expected) % 4):
                conflicts.append("%s: %s is not a word address" % (op.at, hex_address(address)))
                continue
            if not _matches(expected, there):
                shown = _shown_bytes(there) if len(there) == len(expected) else \
                    "%s (the data ends at %s)" % (_shown_bytes(there), hex_address(size))
                conflicts.append("%s: expected %s, found %s" % (op.at, op.expected, shown))
                continue
            if op.op == "remove":
                moves.append((address, -len(expected)))
        elif op.op == "insert":
            length = len(bytes.fromhex(op.new))
            if address % 4 or address > size or length % 4:
                conflicts.append("%s: cannot insert %d bytes at %s (size %s)"
                                 % (op.at, length, hex_address(address), hex_address(size)))
                continue
            expected = _pattern(op.expected)
            there = found.data[address:address + len(expected)]
            if not _matches(expected, there):
                conflicts.append("%s: expected the insertion before %s, found %s"
                                 % (op.at, op.expected or "the end of the data",
                                    _shown_bytes(there) if there else "the end of the data"))
                continue
            moves.append((address, length))
            inserted_at[op.at] = address
            targets.extend(("pointer", t) for t in op.entries.get("pointers", {}).values())
        else:
            if not slot(op, address):
                continue
            if op.op == "text":
                now: Any = found.texts.get(address)
            elif op.op == "labels":
                now = found.labels.get(address)
            else:
                destination = found.pointers.get(address)
                now = destination
                if op.expected is not None:
                    want = resolve(op.expected)
                    if want is None:
                        continue
                    if destination != want:
                        conflicts.append("%s: expected a pointer to %s, found %s"
                                         % (op.at, op.expected, _pointer_shown(places, destination)))
                        continue
                    now = op.expected
                elif destination is not None:
                    conflicts.append("%s: expected no pointer, found %s"
                                     % (op.at, _pointer_shown(places, destination)))
                    continue
                if op.new is not None:
                    targets.append((op.at, op.new))
            if now != op.expected:
                conflicts.append("%s: expected %s, found %s" % (
                    op.at, _shown_entry(op.op, op.expected), _shown_entry(op.op, now)))
                continue
        resolved.append((op, address))
    plan = _Plan(moves)
    _check_moves(plan, moves, resolved, conflicts)
    final_targets: Dict[str, int] = {}
    for where, target in targets:
        key = json.dumps(target, sort_keys=True)
        if isinstance(target, str):
            address = resolve(target)
            if address is None:
                continue
            moved = plan.after(address)
            if moved is None:
                conflicts.append("%s: its new target %s lies in bytes the patch removes"
                                 % (where, target))
                continue
        else:
            if target["inserted_at"] not in inserted_at:
                conflicts.append("%s: its new target %s is not an inserted span of this patch"
                                 % (where, target["inserted_at"]))
                continue
            moved = plan.start(inserted_at[target["inserted_at"]]) + int(target["offset"], 16)
        final_targets[key] = moved
    if conflicts:
        return Applied(None, conflicts)

    editable: _Editable = archive  # type: ignore[assignment]
    for address, amount in sorted(moves, key=lambda m: (-m[0], m[1] > 0)):
        if amount > 0:
            editable.allocate(address, amount)
        else:
            editable.deallocate(address, -amount)
    for op, address in resolved:
        if op.op == "insert":
            start = plan.start(address)
            editable.write_bytes(start, bytes.fromhex(op.new))
            for offset, value in op.entries.get("pointers", {}).items():
                editable.write_pointer(start + offset, final_targets[json.dumps(value, sort_keys=True)])
            for offset, value in op.entries.get("texts", {}).items():
                editable.write_string(start + offset, value)
            for offset, value in op.entries.get("labels", {}).items():
                editable.write_labels(start + offset, value)
    for op, address in resolved:
        if op.op in ("insert", "remove"):
            continue
        moved = plan.after(address)
        assert moved is not None
        if op.op == "bytes":
            editable.write_bytes(moved, bytes.fromhex(op.new))
        elif op.op == "text":
            editable.write_string(moved, op.new)
        elif op.op == "pointer":
            editable.write_pointer(moved, None if op.new is None
                                   else final_targets[json.dumps(op.new, sort_keys=True)])
        elif op.new is None:
            editable.delete_labels(moved)
        else:
            editable.write_labels(moved, op.new)
    try:
        data = bytes(editable.serialize())
    except ValueError as error:
        raise ToolError(str(error)) from None
    # What the file holds must load back as the edits left it (a pointer moved past the
    # end of the data would read back as a text).
    problem = archive_problem(data, entries(editable))
    if problem is not None:
        raise ToolError(problem)
    return Applied(data, [])


def _pointer_shown(places: Places, destination: Optional[int]) -> str:
    if destination is None:
        return "no pointer"
    return "a pointer to %s" % places.name(destination)


def _check_moves(plan: _Plan, moves: List[Tuple[int, int]],
                 resolved: List[Tuple[Operation, int]], conflicts: List[str]) -> None:
    """Removals that overlap, and writes into removed bytes, are conflicts."""
    removals = sorted((at, at - amount) for at, amount in moves if amount < 0)
    for (s1, e1), (s2, e2) in zip(removals, removals[1:]):
        if s2 < e1:
            conflicts.append("%s: two removals overlap" % hex_address(s2))
    for op, address in resolved:
        if op.op in ("insert", "remove"):
            if op.op == "insert" and any(s < address < e for s, e in removals):
                conflicts.append("%s: inserts into bytes the patch removes" % op.at)
            continue
        width = len(bytes.fromhex(op.new)) if op.op == "bytes" else 4
        if any(s < address + width and address < e for s, e in removals):
            conflicts.append("%s: lies in bytes the patch removes" % op.at)


def apply_patch(patch: Union[Patch, ArchivePatch], file: bytes) -> Applied:
    """Applies a one-archive patch to the archive file `file`."""
    if isinstance(patch, Patch):
        if len(patch.archives) != 1:
            raise ToolError("the patch holds %d archives; apply it to a folder"
                            % len(patch.archives))
        patch = patch.archives[0]
    return apply_archive_patch(patch, file)


# Folders.

def archive_files(folder: str) -> List[str]:
    """The files under folder, as sorted relative paths with / separators."""
    found = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in files:
            found.append(os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/"))
    return sorted(found)


def make_folder_patch(a_files: Dict[str, bytes], b_files: Dict[str, bytes]) -> Tuple[Patch, List[str]]:
    """The patch over every archive of B whose counterpart in A differs, and the
    names of B's archives that have no counterpart in A (left out)."""
    archives = []
    missing = []
    for name in sorted(b_files):
        if name not in a_files:
            missing.append(name)
            continue
        if a_files[name] == b_files[name]:
            continue
        try:
            old = read_file(a_files[name])[1]
            new = read_file(b_files[name])[1]
        except ToolError as error:
            raise ToolError("%s: %s" % (name, error)) from None
        archive = make_archive_patch(name, old, new)
        if archive.operations:
            archives.append(archive)
    return Patch(archives), missing
