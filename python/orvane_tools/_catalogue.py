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
import os
from dataclasses import dataclass, field
from typing import Dict, Iterable, List, Optional, Sequence, Set, Tuple, Union

from ._output import STDIO, read_input, shown_path
from ._archive import HEADER, SLOT, Archive, ToolError, _tables, _words, load
from ._jobs import run_jobs
from ._message import Message
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


def open_archive(data: bytes, name: str) -> Tuple[Archive, ArchiveTexts, Places]:
    """Loads an archive file and lists its non-empty texts, with places and labels.

    A slot's kind is decided by its value (a data pointer up to the data region's
    size, a text's position in the file beyond it), and slots with the same value
    hold the same pooled string: each string is read once.
    """
    archive = load(data)
    pointer_table, label_addresses = _tables(data)
    size = archive.size()
    words = _words(data[HEADER:HEADER + size - size % SLOT])
    labels: Dict[int, List[str]] = {}
    for address in label_addresses:
        names = archive.read_labels(address)
        if names:
            labels[address] = names
    places = Places(labels)
    starts: List[int] = []
    prefixes: List[str] = []
    for start, place in places.labelled():
        starts.append(start)
        prefixes.append(str(place))
    slots = sorted(a for a in pointer_table if words[a >> 2] > size)
    values = [words[a >> 2] for a in slots]
    read_string = archive.read_string
    strings = {v: read_string(a) or "" for v, a in dict(zip(values, slots)).items()}
    texts = [strings[v] for v in values]
    if "" in strings.values():
        kept = [i for i, t in enumerate(texts) if t]
        slots = [slots[i] for i in kept]
        texts = [texts[i] for i in kept]
    # Slots between two labelled slots are named by the first of them.
    first = bisect.bisect_left(slots, starts[0]) if starts else len(slots)
    names = ["0x%X" % a for a in slots[:first]]
    for k, start in enumerate(starts):
        end = bisect.bisect_left(slots, starts[k + 1]) if k + 1 < len(starts) else len(slots)
        if first == end:
            continue
        prefix = prefixes[k]
        if slots[first] == start:
            names.append(prefix)
            first += 1
        names += ["%s+0x%X" % (prefix, a - start) for a in slots[first:end]]
        first = end
    result = ArchiveTexts(name, slots, names, texts,
                          {a: labels[a] for a in slots if a in labels} if labels else {})
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


class _Builder:
    """Messages gathered archive by archive, in name order."""

    def __init__(self) -> None:
        self.messages: Dict[str, Message] = {}
        self.noted: Dict[str, Set[str]] = {}

    def add(self, found: ArchiveTexts) -> None:
        messages = self.messages
        prefix = found.name + ":"
        for text, reference in zip(found.texts, [prefix + p for p in found.places]):
            message = messages.get(text)
            if message is None:
                message = messages[text] = Message(text)
            message.references.append(reference)
        for address, names in found.labels.items():
            text = found.texts[bisect.bisect_left(found.addresses, address)]
            seen = self.noted.setdefault(text, set())
            for label in names:
                if label not in seen:
                    seen.add(label)
                    messages[text].notes.append(label)


def build_catalogue(archives: Iterable[ArchiveTexts]) -> List[Message]:
    """One message per distinct text: a reference per occurrence, the labels of its
    labelled slots as notes. Archives are taken in name order whatever order they
    come in."""
    builder = _Builder()
    for found in sorted(archives, key=lambda t: t.name):
        builder.add(found)
    return list(builder.messages.values())


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
    order; for one catalogue per archive), and one line per archive that failed."""

    messages: List[Message]
    archives: List[ArchiveTexts]
    failures: List[str]


def _scan_task(archive: ArchiveFile) -> Union[ArchiveTexts, str]:
    try:
        return scan_archive(archive)
    except ToolError as error:
        return str(error)


def export_catalogue(paths: Sequence[str], root: Optional[str] = None, jobs: int = 1,
                     old: Optional[Sequence[Message]] = None) -> CatalogueExport:
    """The catalogue of every archive `paths` names (see `find_archives`), merged with
    the messages of an `old` catalogue when given (`merge_catalogue`).

    An archive that cannot be read is left out and named in `failures`; `jobs`
    processes read the archives, with the same result for every number.
    """
    archives = find_archives(paths, root)
    scans: List[ArchiveTexts] = []
    failures: List[str] = []
    builder = _Builder()
    # Results come in name order: each is added while the workers read the next ones.
    for result in run_jobs(_scan_task, archives, jobs, "export"):
        if isinstance(result, str):
            failures.append(result)
        else:
            scans.append(result)
            builder.add(result)
    messages = list(builder.messages.values())
    if old is not None:
        messages = merge_catalogue(messages, old)
    return CatalogueExport(messages, scans, failures)
