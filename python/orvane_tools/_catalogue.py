"""The catalogue of a game: one message per distinct text of many archives.

Each archive is named by its path relative to a root (`data/town.bin`, with `/`
separators on every system); each occurrence of a text is the reference
`ARCHIVE:PLACE` (places: `_places.py`). A message's msgid is the text itself and it
has no msgctxt, so GNU gettext's own tools (`msgmerge`, compendia) match translations
by text; a message with `msgctxt "ARCHIVE:PLACE"` is one occurrence's own
translation.

Messages come in the order of their text's first occurrence (archives by name, texts
by address), references in that same order, so the same archives always give the
same catalogue, and inserting bytes into an archive changes only the references
whose place changed.
"""
from __future__ import annotations

import bisect
import operator
import os
from collections import deque
from dataclasses import dataclass, field
from itertools import chain, compress, repeat
from typing import Any, Dict, Iterable, List, Optional, Sequence, Set, Tuple, Union

from ._output import STDIO, read_input, shown_path
from ._archive import HEADER, SLOT, Archive, ToolError, _tables, _words, load
from ._jobs import run_jobs
from ._message import Message
from ._po import _write_po
from ._places import PlaceError, Places, format_reference, parse_place, parse_reference

__all__ = ["ArchiveFile", "ArchiveTexts", "CatalogueExport", "build_catalogue", "export_catalogue",
           "find_archives",
           "merge_catalogue", "open_archive", "read_archive_texts", "scan_archive"]


@dataclass(frozen=True)
class ArchiveFile:
    """An archive to work on: its catalogue name (relative to the root, `/`-separated)
    and the path it is read from."""

    name: str
    path: str


@dataclass
class ArchiveTexts:
    """The non-empty texts of one archive, in address order: `addresses[i]` holds
    `texts[i]` and is named `places[i]`; `labels` are the label lists of the
    labelled slots among them."""

    name: str
    addresses: List[int] = field(default_factory=list)
    places: List[str] = field(default_factory=list)
    texts: List[str] = field(default_factory=list)
    labels: Dict[int, List[str]] = field(default_factory=dict)


def _name(path: str, root: str) -> str:
    relative = os.path.relpath(path, root)
    if relative == os.curdir or relative == os.pardir or relative.startswith(os.pardir + os.sep):
        raise ToolError("%s is not inside the root %s" % (path, root))
    return relative.replace(os.sep, "/")


def find_archives(paths: Sequence[str], root: Optional[str] = None) -> List[ArchiveFile]:
    """The archives `paths` name: files as they are, folders walked recursively (every
    file in them, hidden ones and symbolic links to folders left out), sorted by name.

    Names are relative to `root`; without one, to each folder given, or to the folder
    of each file given. Two archives with one name are refused.
    """
    found: Dict[str, ArchiveFile] = {}

    def add(path: str, base: str) -> None:
        archive = ArchiveFile(_name(path, base), path)
        other = found.get(archive.name)
        if other is not None and os.path.realpath(other.path) != os.path.realpath(path):
            raise ToolError("%s and %s are both named %s in the catalogue (give --root)"
                            % (other.path, path, archive.name))
        found[archive.name] = archive

    for path in paths:
        if path == STDIO:
            # Standard input is read once, in this process: it has no name of its own.
            if len(paths) > 1:
                raise ToolError("- (standard input) is read alone, not beside other paths")
            return [ArchiveFile("stdin", STDIO)]
        if os.path.isdir(path):
            base = root if root is not None else path
            walked = []
            for folder, subfolders, files in os.walk(path):
                subfolders[:] = [d for d in subfolders if not d.startswith(".")]
                walked += [os.path.join(folder, f) for f in files if not f.startswith(".")]
            if not walked:
                raise ToolError("%s: no files in this folder" % path)
            for file in walked:
                add(file, base)
        else:
            add(path, root if root is not None else (os.path.dirname(path) or os.curdir))
    return [found[name] for name in sorted(found)]


def _text_slots(data: bytes) -> Tuple[Archive, List[int], List[int], List[str], Dict[int, List[str]]]:
    """Loads an archive file: the archive, its non-empty text slots in address order,
    their values (string positions), their texts, and its label lists.

    A slot's kind is decided by its value (a data pointer up to the data region's
    size, a text's position in the file beyond it), and slots with the same value
    hold the same pooled string: each string is read once. Per-slot work is done by
    whole-list operations (map, itemgetter, compress), not by a Python loop.
    """
    archive = load(data)
    pointer_table, label_addresses = _tables(data)
    size = archive.size()
    labels: Dict[int, List[str]] = {}
    read_labels = archive.read_labels
    for address in label_addresses:
        names = read_labels(address)
        if names:
            labels[address] = names
    slots = pointer_table.tolist()
    slots.sort()
    if not slots:
        return archive, [], [], [], labels
    words = _words(data[HEADER:HEADER + size - size % SLOT]).tolist()
    values = _pick(words, map(operator.rshift, slots, repeat(2)))
    if min(values) <= size:
        kept = list(map(operator.lt, repeat(size), values))
        slots = list(compress(slots, kept))
        values = list(compress(values, kept))
    # One slot per pooled string: each is read once.
    first = dict(zip(values, slots))
    strings = dict(zip(first, map(archive.read_string, first.values())))
    texts = _pick(strings, values)
    if "" in strings.values() or None in strings.values():
        kept = list(map(bool, texts))
        slots = list(compress(slots, kept))
        values = list(compress(values, kept))
        texts = list(compress(texts, kept))
    return archive, slots, values, texts, labels


def _pick(table: Any, keys: Iterable[Any]) -> List[Any]:
    """[table[k] for k in keys], at C speed."""
    keys = list(keys)
    if len(keys) < 2:
        return [table[k] for k in keys]
    return list(operator.itemgetter(*keys)(table))


# "+0x14" by offset, shared by every archive (at most 65,536); 0 is the labelled slot.
_OFFSETS: Dict[int, str] = {0: ""}


def _place_names(slots: List[int], places: Places) -> List[str]:
    """The place of each slot (ascending addresses)."""
    starts, prefixes = places.labelled_names()
    # Slots between two labelled slots are named by the first of them.
    bounds = list(map(bisect.bisect_left, repeat(slots), starts))
    first = bounds[0] if bounds else len(slots)
    names = list(map("0x%X".__mod__, slots[:first]))
    if first == len(slots):
        return names
    counts = list(map(operator.sub, bounds[1:] + [len(slots)], bounds))
    shifted = list(map(operator.sub, slots[first:],
                       chain.from_iterable(map(repeat, starts, counts))))
    offsets = _OFFSETS
    distinct = set(shifted)
    if len(offsets) + len(distinct) > 1 << 16:
        offsets = {0: ""}  # offsets of a large archive are not kept
    for offset in distinct.difference(offsets):
        offsets[offset] = "+0x%X" % offset
    names += map(operator.add, chain.from_iterable(map(repeat, prefixes, counts)),
                 _pick(offsets, shifted))
    return names


def open_archive(data: bytes, name: str) -> Tuple[Archive, ArchiveTexts, Places]:
    """Loads an archive file and lists its non-empty texts, with places and labels."""
    archive, slots, _, texts, labels = _text_slots(data)
    places = Places(labels)
    result = ArchiveTexts(name, slots, _place_names(slots, places), texts,
                          {a: labels[a] for a in sorted(set(slots).intersection(labels))})
    return archive, result, places


def read_archive_texts(data: bytes, name: str) -> ArchiveTexts:
    """The non-empty texts of the archive file `data`, with places and labels."""
    return open_archive(data, name)[1]


def scan_archive(archive: ArchiveFile) -> ArchiveTexts:
    """`read_archive_texts` of a file; a ToolError names the file."""
    data = read_input(archive.path)
    try:
        return read_archive_texts(data, archive.name)
    except ToolError as error:
        raise ToolError("%s: %s" % (shown_path(archive.path), error)) from None


@dataclass
class _Share:
    """One archive's share of a catalogue, as a worker hands it over: its distinct
    texts in order of first occurrence, joined by NUL (which no text holds); the
    references of each text in address order, joined by NUL (which neither an
    archive's name nor a place holds), one text's after another's with two NULs
    between them; and the label lists of its labelled text slots, as (text, labels)
    by address.

    Two long strings cost the process that gathers them far less than many short ones
    (unpickled, appended and joined one by one). A share may be that of several
    archives, following one another in name order (`failures` names those that could
    not be read)."""

    texts: str
    references: str
    notes: List[Tuple[str, List[str]]]
    failures: List[str] = field(default_factory=list)


def _share(found: ArchiveTexts) -> _Share:
    texts = found.texts
    prefix = found.name + ":"
    # The places of each text, by one list.append per occurrence run by map rather than
    # by a Python loop; each text's references are then one join.
    groups: Dict[str, List[str]] = dict(zip(dict.fromkeys(texts), iter(list, None)))
    deque(map(list.append, _pick(groups, texts), found.places), maxlen=0)
    notes = [(texts[bisect.bisect_left(found.addresses, address)], names)
             for address, names in found.labels.items()]
    references = ("\0\0" + prefix).join(map(("\0" + prefix).join, groups.values()))
    return _Share("\0".join(groups), prefix + references if groups else "", notes)


class _Builder:
    """Messages gathered archive by archive, in name order."""

    def __init__(self) -> None:
        self.references: Dict[str, List[str]] = {}  # by text, one string an archive
        self.notes: Dict[str, List[str]] = {}
        self.noted: Dict[str, Set[str]] = {}

    def add(self, found: ArchiveTexts) -> None:
        """Adds an archive's texts, which may have been made by hand (those read from a
        file hold no NUL)."""
        if "\0" in found.name or "\0" in "".join(found.places) or "\0" in "".join(found.texts):
            raise ToolError("%s: an archive name, place or text holds U+0000" % found.name)
        self.add_share(_share(found))

    def add_share(self, share: _Share) -> None:
        references = self.references
        if not share.texts:
            return
        texts = share.texts.split("\0")
        for text in compress(texts, map(operator.not_, map(references.__contains__, texts))):
            references[text] = []
        deque(map(list.append, _pick(references, texts), share.references.split("\0\0")),
              maxlen=0)
        for text, names in share.notes:
            seen = self.noted.setdefault(text, set())
            for label in names:
                if label not in seen:
                    seen.add(label)
                    self.notes.setdefault(text, []).append(label)

    def share(self, failures: List[str]) -> _Share:
        """What was gathered, as one share."""
        return _Share("\0".join(self.references), "\0\0".join(self.joined()),
                      list(self.notes.items()), failures)

    def joined(self) -> List[str]:
        """The references of each message, joined by NUL."""
        return list(map("\0".join, self.references.values()))

    def catalogue(self, references: bool = True) -> List[Message]:
        """The messages, each with its references (or, without `references`, with none:
        for `joined`)."""
        notes = self.notes
        if not references:
            return [Message(text, notes=notes.get(text, [])) for text in self.references]
        found = map(str.split, self.joined(), repeat("\0"))
        return [Message(text, references=refs, notes=notes.get(text, []))
                for text, refs in zip(self.references, found)]


def build_catalogue(archives: Iterable[ArchiveTexts]) -> List[Message]:
    """One message per distinct text: a reference per occurrence, the labels of its
    labelled slots as notes. Archives are taken in name order whatever order they
    come in."""
    builder = _Builder()
    for found in sorted(archives, key=lambda t: t.name):
        builder.add(found)
    return builder.catalogue()


def _is_place(context: str) -> bool:
    """Whether a msgctxt is only a place (files written per archive: `0x1A40`)."""
    try:
        parse_reference(context)
        return False
    except PlaceError:
        pass
    try:
        parse_place(context)
        return True
    except PlaceError:
        return False


def _canonical(reference: str) -> str:
    """A reference as the catalogue writes it (`ITEMS[1]+0x04` is `ITEMS+0x4`)."""
    try:
        archive, place = parse_reference(reference)
    except PlaceError:
        return reference
    return format_reference(archive, place)


def merge_catalogue(new: Sequence[Message], old: Sequence[Message]) -> List[Message]:
    """`new` (a catalogue just built) with the translations of `old`.

    - A text the old catalogue translated keeps its translation (and its fuzzy flag,
      if it had one).
    - A text the old catalogue did not hold, in a slot whose place held another text
      the old catalogue translated, gets that translation, fuzzy, with the old text
      as its previous msgid.
    - An occurrence's own translation (msgctxt `ARCHIVE:PLACE`) stays while its place
      holds its text; it turns fuzzy (previous msgid, the new text) when the place
      holds another text, and obsolete when the place is gone.
    - Translations of texts no archive holds any more are kept as obsolete messages,
      at the end, with those the old catalogue already had.
    - A file written per archive (msgctxt = the address) gives its translations by
      text.
    """
    shared: Dict[str, Message] = {}
    at_place: Dict[str, str] = {}
    overrides: List[Message] = []
    per_archive: List[Message] = []
    for message in old:
        if message.obsolete:
            continue
        if message.context is None:
            shared.setdefault(message.source, message)
            for reference in message.references:
                at_place.setdefault(reference, message.source)
        elif _is_place(message.context):
            per_archive.append(message)
        else:
            overrides.append(message)
    obsolete: List[Message] = []
    # Files written per archive (msgctxt = the address) give their translations by
    # text; one that differs from the text's first is kept as obsolete.
    for message in per_archive:
        if not message.translation:
            continue
        before = shared.get(message.source)
        if before is None or not before.translation:
            shared[message.source] = Message(message.source, message.translation,
                                             fuzzy=message.fuzzy, comments=message.comments)
        elif before.translation != message.translation:
            obsolete.append(Message(message.source, message.translation, message.context,
                                    fuzzy=message.fuzzy, obsolete=True,
                                    comments=list(message.comments)))
    text_at: Dict[str, str] = {}
    for message in new:
        for reference in message.references:
            text_at[reference] = message.source

    own: Dict[str, List[Message]] = {}
    for message in overrides:
        if not message.translation:
            continue
        context = _canonical(message.context or "")
        current = text_at.get(context)
        comments = list(message.comments)
        if current is None:
            obsolete.append(Message(message.source, message.translation, message.context,
                                    fuzzy=message.fuzzy, obsolete=True, comments=comments))
        elif current == message.source:
            own.setdefault(current, []).append(Message(
                current, message.translation, context, [context], fuzzy=message.fuzzy,
                previous_source=message.previous_source if message.fuzzy else None,
                comments=comments))
        else:
            own.setdefault(current, []).append(Message(
                current, message.translation, context, [context], fuzzy=True,
                previous_source=message.source, comments=comments))

    merged: List[Message] = []
    held: Set[str] = set()
    for message in new:
        held.add(message.source)
        result = Message(message.source, references=list(message.references),
                         notes=list(message.notes))
        before = shared.get(message.source)
        if before is not None:
            result.comments = list(before.comments)
        if before is not None and before.translation:
            result.translation = before.translation
            result.fuzzy = before.fuzzy
            result.previous_source = before.previous_source if before.fuzzy else None
        else:
            for reference in message.references:
                previous = at_place.get(reference)
                if previous is not None and previous != message.source \
                        and shared[previous].translation:
                    result.translation = shared[previous].translation
                    result.fuzzy = True
                    result.previous_source = previous
                    break
        merged.append(result)
        for override in sorted(own.get(message.source, ()), key=lambda m: m.context or ""):
            merged.append(override)

    active: Set[Tuple[Optional[str], str]] = {(m.context, m.source) for m in merged}
    for message in old:
        if message.context is None and not message.obsolete and message.translation \
                and message.source not in held:
            obsolete.append(Message(message.source, message.translation,
                                    fuzzy=message.fuzzy, obsolete=True,
                                    comments=list(message.comments)))
    obsolete += [Message(m.source, m.translation, m.context, fuzzy=m.fuzzy, obsolete=True,
                         comments=list(m.comments))
                 for m in old if m.obsolete and m.translation]
    for message in obsolete:
        key = (message.context, message.source)
        if key not in active:
            active.add(key)
            merged.append(message)
    return merged


# The whole job, on many archives.

@dataclass
class CatalogueExport:
    """What `export_catalogue` found: the catalogue, each archive's texts (in name
    order; only when asked for, for one catalogue per archive), and one line per
    archive that failed."""

    messages: List[Message]
    archives: List[ArchiveTexts]
    failures: List[str]


def _scan_task(archive: ArchiveFile) -> Union[ArchiveTexts, str]:
    try:
        return scan_archive(archive)
    except ToolError as error:
        return str(error)


def _share_task(archives: List[ArchiveFile]) -> _Share:
    """The share of archives following one another in name order. Several are
    gathered into one in the worker, which leaves the process that gathers every
    share (and runs alone) a step per text of the batch instead of one per text of
    each archive."""
    shares: List[_Share] = []
    failures: List[str] = []
    for archive in archives:
        try:
            shares.append(_share(scan_archive(archive)))
        except ToolError as error:
            failures.append(str(error))
    if len(shares) == 1:
        shares[0].failures = failures
        return shares[0]
    builder = _Builder()
    for share in shares:
        builder.add_share(share)
    return builder.share(failures)


def _gather(paths: Sequence[str], root: Optional[str], jobs: int, per_archive: bool
            ) -> Tuple[_Builder, List[ArchiveTexts], List[str]]:
    archives = find_archives(paths, root)
    scans: List[ArchiveTexts] = []
    failures: List[str] = []
    builder = _Builder()
    # Results come in name order: each is added while the workers read the next ones.
    # Workers group each archive's references by text, so that this process, which
    # gathers them, does one step per text of an archive rather than per occurrence.
    if per_archive:
        for result in run_jobs(_scan_task, archives, jobs, "export"):
            if isinstance(result, str):
                failures.append(result)
            else:
                scans.append(result)
                builder.add(result)
    else:
        size = 1 if jobs <= 1 else max(1, min(16, len(archives) // (16 * jobs)))
        batches = [archives[k:k + size] for k in range(0, len(archives), size)]
        for share in run_jobs(_share_task, batches, jobs, "export", weight=len):
            failures += share.failures
            builder.add_share(share)
    return builder, scans, failures


def export_catalogue(paths: Sequence[str], root: Optional[str] = None, jobs: int = 1,
                     old: Optional[Sequence[Message]] = None,
                     per_archive: bool = False) -> CatalogueExport:
    """The catalogue of every archive `paths` names (see `find_archives`), merged with
    the messages of an `old` catalogue when given (`merge_catalogue`).

    With `per_archive`, the texts of each archive are kept in `archives` as well (for
    one catalogue per archive: `build_catalogue([texts])`); without, `archives` is
    empty. An archive that cannot be read is left out and named in `failures`; `jobs`
    processes read the archives, with the same result for every number.
    """
    builder, scans, failures = _gather(paths, root, jobs, per_archive)
    messages = builder.catalogue()
    if old is not None:
        messages = merge_catalogue(messages, old)
    return CatalogueExport(messages, scans, failures)


def export_po(paths: Sequence[str], root: Optional[str] = None, jobs: int = 1,
              language: str = "") -> Tuple[bytes, List[str]]:
    """`write_po(export_catalogue(paths, root, jobs).messages, language=language)`, made
    without a Python string for each reference, and the archives that failed."""
    builder, _, failures = _gather(paths, root, jobs, False)
    return _write_po(builder.catalogue(references=False), None, language, "",
                     builder.joined()), failures
