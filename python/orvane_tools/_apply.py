"""Applying a catalogue to archives, and checking it first.

A catalogue's translations are looked up by text: every occurrence of a text gets
its message's translation, unless a message whose msgctxt names the occurrence
(`ARCHIVE:PLACE`, or only the place in files written per archive, such as `0x1A40`)
gives it its own. Fuzzy and empty translations are not applied. Texts are matched
with line breaks CR LF, CR and LF taken as the same (spreadsheets change them), and a
translation is written with its source's line breaks.

Every translation is checked before anything is written (`_checks.check_text`), and
so is every catalogue row whose text a spreadsheet seems to have converted; each
problem is one line naming archive and place. An archive is written to a temporary
file beside its target; the targets are replaced only when no archive has a problem
(or with `skip_unwritable`, where a problem text keeps its source and the problem is
a warning).
"""
from __future__ import annotations

import bisect
import contextlib
import dataclasses
import operator
import os
import re
from collections import Counter, deque
from itertools import chain, compress, repeat
from dataclasses import dataclass, field
from typing import Dict, List, Mapping, Optional, Pattern, Sequence, Set, Tuple, cast

from ._archive import HEADER, SLOT, Archive, ToolError, _shown, _tables, _words, hex_address, load
from ._catalogue import ArchiveFile, _pick, _place_names, _text_slots, open_archive
from ._jobs import run_jobs
from ._checks import apply_charmap, check_text, read_back_all
from ._csv_format import spreadsheet_altered, with_line_breaks_of
from ._message import Message
from ._output import Staged, make_directory, read_input, shown_path, stage_output
from ._places import PlaceError, Places, parse_place, parse_reference

__all__ = ["ApplyOptions", "ArchiveReport", "ImportRun", "Lookup", "Summary", "apply_to_archive",
           "check_catalogue", "commit_staged", "discard_staged", "import_catalogue",
           "make_lookup", "summarize"]


def text_key(text: str) -> str:
    """A text with its line breaks made LF, so CR LF, CR and LF match."""
    return text.replace("\r\n", "\n").replace("\r", "\n") if "\r" in text else text


@dataclass
class Override:
    """A message that names one occurrence (its msgctxt)."""

    place: str
    source: str
    translation: str
    context: str
    line: int


@dataclass
class Lookup:
    """A catalogue made ready to apply: what workers need, without the file."""

    catalogue: str
    shared: Dict[str, str] = field(default_factory=dict)
    known: Set[str] = field(default_factory=set)
    fuzzy: int = 0
    overrides: Dict[str, List[Override]] = field(default_factory=dict)
    any_archive: List[Override] = field(default_factory=list)


def make_lookup(messages: Sequence[Message], catalogue: str = "catalogue",
                single: Optional[str] = None) -> Lookup:
    """The translations of `messages` (read from the file named `catalogue`).

    A msgctxt that is only a place (files written per archive) names a place of the
    archive `single`; without one, it is refused. Raises ToolError naming the line.
    """
    lookup = Lookup(catalogue)
    for message in messages:
        if message.obsolete:
            continue
        line = max(message.line, 1)
        key = text_key(message.source)
        lookup.known.add(key)
        if message.context is None:
            if message.fuzzy and message.translation:
                lookup.fuzzy += 1
            elif message.translation:
                if lookup.shared.get(key, message.translation) != message.translation:
                    raise ToolError("%s: line %d: %s is translated twice, differently"
                                    % (catalogue, line, _shown(message.source)))
                lookup.shared[key] = message.translation
            continue
        if message.fuzzy:
            if message.translation:
                lookup.fuzzy += 1
            continue
        if not message.translation:
            continue
        try:
            archive, place = parse_reference(message.context)
        except PlaceError:
            try:
                place = parse_place(message.context)
            except PlaceError as error:
                raise ToolError("%s: line %d: msgctxt: %s" % (catalogue, line, error)) from None
            if single is None:
                raise ToolError("%s: line %d: msgctxt %s names a place but no archive "
                                "(ARCHIVE:PLACE)" % (catalogue, line, _shown(message.context)))
            override = Override(str(place), message.source, message.translation,
                                message.context, line)
            lookup.any_archive.append(override)
            continue
        lookup.overrides.setdefault(archive, []).append(Override(
            str(place), message.source, message.translation, message.context, line))
    return lookup


@dataclass
class ApplyOptions:
    """What `apply_to_archive` checks and where it writes."""

    placeholders: Sequence[str] = ()
    charmap: Mapping[str, str] = field(default_factory=dict)
    skip_unwritable: bool = False
    write: bool = True


@dataclass
class ArchiveReport:
    """What applying a catalogue to one archive did (or would do)."""

    name: str
    path: str
    target: Optional[str] = None
    staged: Optional[Staged] = None
    changed: int = 0
    untranslated: int = 0
    unknown: int = 0
    held: Set[str] = field(default_factory=set)
    held_overrides: int = 0
    problems: List[str] = field(default_factory=list)
    error: Optional[str] = None


# Set in each worker by `start_worker`.
_lookup: Optional[Lookup] = None
_options = ApplyOptions()
_patterns: List[Pattern[str]] = []
_decided: Dict[str, Tuple[int, Optional[str], List[str]]] = {}
# Of each text decided, taken apart so that an archive's slots are looked up at C speed:
# its state, the text to write (None: kept), the text the written file holds, and its
# key when the catalogue knows it (else None).
_states: Dict[str, int] = {}
_writes: Dict[str, Optional[str]] = {}
_finals: Dict[str, str] = {}
_keys_known: Dict[str, Optional[str]] = {}
_wrong: Set[str] = set()


def start_worker(lookup: Lookup, options: ApplyOptions) -> None:
    global _lookup, _options, _patterns
    _lookup = lookup
    _options = options
    _patterns = [re.compile(p) for p in options.placeholders]
    for table in (_decided, _states, _writes, _finals, _keys_known, _wrong):
        table.clear()
    # How each character of the translations reads back, found at once rather than
    # with an archive written and loaded for each (a game uses a few thousand kanji).
    overrides = chain(lookup.any_archive, chain.from_iterable(lookup.overrides.values()))
    read_back_all(chain(chain.from_iterable(lookup.shared.values()),
                        chain.from_iterable(o.translation for o in overrides),
                        chain.from_iterable(options.charmap.values())))


def _decide_once(text: str, lookup: Lookup) -> None:
    state, written, wrong = _decided[text] = _decide(text, lookup)
    _states[text] = state
    _writes[text] = written
    _finals[text] = text if written is None else written
    key = text_key(text)
    _keys_known[text] = key if key in lookup.known else None
    if wrong:
        _wrong.add(text)


def _decide(text: str, lookup: Lookup, own: Optional[str] = None
            ) -> Tuple[int, Optional[str], List[str]]:
    """What becomes of a text: (0 unknown, 1 untranslated or 2 translated; the text to
    write, None to keep it; the problems of its translation)."""
    key = text_key(text)
    translation = own if own is not None else lookup.shared.get(key)
    if translation is None:
        return (1 if key in lookup.known else 0), None, []
    translation = with_line_breaks_of(text, translation)
    wrong = check_text(text, translation, _patterns, _options.charmap)
    if wrong:
        return 2, None, wrong
    written = apply_charmap(translation, _options.charmap)
    return 2, (written if written != text else None), []


def apply_to_archive(task: Tuple[ArchiveFile, Optional[str]]) -> ArchiveReport:
    """Applies the worker's catalogue to one archive; with a target (and
    `options.write`), stages the written archive beside it when nothing failed."""
    archive_file, target = task
    report = ArchiveReport(archive_file.name, archive_file.path, target)
    try:
        _apply(archive_file, target, report)
    except ToolError as error:
        report.error = str(error)
    return report


def _apply(archive_file: ArchiveFile, target: Optional[str], report: ArchiveReport) -> None:
    lookup = _lookup
    assert lookup is not None, "start_worker was not called"
    options = _options
    data = read_input(archive_file.path)
    try:
        archive, slots, _, texts, labels = _text_slots(data)
    except ToolError as error:
        raise ToolError("%s: %s" % (archive_file.path, error)) from None
    places = Places(labels)
    name = archive_file.name
    problems = report.problems
    # Place names are made only to name a problem.
    named: List[List[str]] = []

    def names() -> List[str]:
        if not named:
            named.append(_place_names(slots, places))
        return named[0]

    own: Dict[int, Override] = {}
    overrides = lookup.any_archive + lookup.overrides.get(name, [])
    if overrides:
        at = dict(zip(slots, texts))
        for override in overrides:
            where = "%s: line %d: " % (lookup.catalogue, override.line)
            try:
                address = places.resolve(override.place)
            except PlaceError as error:
                problems.append(where + "%s: %s" % (name, error))
                continue
            current = at.get(address)
            if current is None:
                problems.append(where + "%s is not a text entry of %s" % (override.context, name))
            elif text_key(current) != text_key(override.source):
                problems.append(where + "the source text of %s is %s, but %s holds %s (merge "
                                "the catalogue: texts export --merge)" % (
                                    override.context, _shown(override.source), name,
                                    _shown(current)))
            elif address in own:
                problems.append(where + "%s is translated twice" % override.context)
            else:
                own[address] = override
    report.held_overrides = len(own)

    # Each distinct text is decided once per run; slots are then handled by whole-list
    # operations (map, compress, Counter), not by a Python loop.
    distinct = dict.fromkeys(texts)  # in order of first occurrence
    for text in set(distinct).difference(_decided):
        _decide_once(text, lookup)
    states = Counter(_pick(_states, texts))
    counts = [states[0], states[1], states[2]]  # unknown, untranslated, translated
    if not _wrong.isdisjoint(distinct):
        for text in distinct:
            wrong = _decided[text][2]
            if wrong:
                problems.extend("%s:%s: %s" % (name, place, p) for t, place in
                                zip(texts, names()) if t == text for p in wrong)
    writes = _pick(_writes, texts)
    expected = _pick(_finals, texts)
    chosen = list(map(operator.is_not, writes, repeat(None)))
    for address in own:
        chosen[bisect.bisect_left(slots, address)] = False
    write_string = archive.write_string
    addresses = list(compress(slots, chosen))
    deque(map(write_string, addresses, compress(writes, chosen)), maxlen=0)
    report.changed += len(addresses)
    decided = _decided
    for address, mine in own.items():
        index = bisect.bisect_left(slots, address)
        text = texts[index]
        expected[index] = text
        state, written, wrong = _decide(text, lookup, mine.translation)
        counts[decided[text][0]] -= 1
        counts[state] += 1
        if wrong:
            problems.extend("%s:%s: %s" % (name, places.name(address), p) for p in wrong)
        elif written is not None:
            write_string(address, written)
            expected[index] = written
            report.changed += 1
    report.unknown, report.untranslated = counts[0], counts[1]
    held = set(_pick(_keys_known, distinct))
    held.discard(None)
    report.held = cast(Set[str], held)
    if problems and not options.skip_unwritable:
        return
    if target is None or not options.write:
        return
    try:
        output = bytes(archive.serialize())
    except ValueError as error:
        raise ToolError("%s: cannot be written: %s" % (archive_file.path, error)) from None
    _check_written(output, archive, slots, expected, archive_file.path)
    if os.path.dirname(target):
        make_directory(os.path.dirname(target))
    report.staged = stage_output(target, output)


def _check_written(output: bytes, archive: Archive, addresses: Sequence[int],
                   expected: Sequence[str], path: str) -> None:
    """The written file must load back to the texts the archive holds now (the checks
    before it name every character that would come back as another); pointers and
    labels are the loaded file's own and come back as they were.

    First, at C speed: every address must be a text slot of the written file holding
    its `expected` text (written or kept), each pooled string read once. Should one
    not be, every address is compared with what the archive holds, to name the first
    that differs."""
    try:
        loaded = load(output)
    except ToolError as error:
        raise ToolError("%s: the written file does not load: %s" % (shown_path(path), error)) \
            from None
    if _reads_back(output, loaded, addresses, expected):
        return
    meant, read = archive.read_string, loaded.read_string
    for address in addresses:
        if read(address) != meant(address):
            raise ToolError("%s: texts entry %s: the written file reads back %s, not %s" % (
                shown_path(path), hex_address(address), _shown(read(address)),
                _shown(meant(address))))


def _reads_back(output: bytes, loaded: Archive, addresses: Sequence[int],
                expected: Sequence[str]) -> bool:
    """Whether every address is a text slot of the written file holding its expected
    text; each pooled string is read once."""
    if not addresses:
        return True
    table = _tables(output)[0]
    size = loaded.size()
    if not set(table).issuperset(addresses) or max(addresses) + SLOT > size:
        return False
    words = _words(output[HEADER:HEADER + size - size % SLOT]).tolist()
    values = _pick(words, map(operator.rshift, addresses, repeat(2)))
    if min(values) <= size:
        return False
    first = dict(zip(values, addresses))
    strings = dict(zip(first, map(loaded.read_string, first.values())))
    return _pick(strings, values) == list(expected)


def discard_staged(report: ArchiveReport) -> None:
    """Removes the temporary file of a report, if any."""
    if report.staged is not None:
        report.staged.discard()
        report.staged = None


def commit_staged(report: ArchiveReport) -> None:
    """Puts a report's staged file in place of its target."""
    if report.staged is None:
        return
    staged, report.staged = report.staged, None
    staged.commit()


@dataclass
class Summary:
    """Counts over every archive of one run."""

    archives: int = 0
    written: int = 0
    failed: int = 0
    changed: int = 0
    untranslated: int = 0
    fuzzy: int = 0
    not_held: int = 0
    unknown: int = 0
    problems: int = 0

    def __str__(self) -> str:
        def count(n: int, one: str, many: str) -> str:
            return "%d %s" % (n, one if n == 1 else many)
        return ", ".join([
            count(self.written, "archive written", "archives written"),
            count(self.changed, "text changed", "texts changed"),
            count(self.untranslated, "text untranslated", "texts untranslated"),
            count(self.fuzzy, "fuzzy message not applied", "fuzzy messages not applied"),
            count(self.not_held, "message no archive holds", "messages no archive holds"),
            count(self.unknown, "text the catalogue does not know",
                  "texts the catalogue does not know"),
        ])


def _altered_rows(messages: Sequence[Message], reports: Sequence[ArchiveReport],
                  catalogue: str) -> None:
    """Adds a problem to the report of an archive for each translated message whose
    text no archive holds but which a spreadsheet seems to have converted from the
    text at one of its references."""
    held: Set[str] = set()
    for report in reports:
        held |= report.held
    wanted: Dict[str, List[Tuple[str, str, int]]] = {}
    for message in messages:
        if message.obsolete or message.fuzzy or message.context is not None \
                or not message.translation or text_key(message.source) in held:
            continue
        for reference in message.references:
            try:
                archive, place = parse_reference(reference)
            except PlaceError:
                continue
            wanted.setdefault(archive, []).append((str(place), message.source, message.line))
    for report in reports:
        rows = wanted.get(report.name)
        if not rows or report.error is not None:
            continue
        try:
            with open(report.path, "rb") as f:
                found = open_archive(f.read(), report.name)[1]
        except (OSError, ToolError):
            continue
        at = dict(zip(found.places, found.texts))
        for named, source, line in rows:
            current = at.get(named)
            if current is None or text_key(current) == text_key(source):
                continue
            altered = spreadsheet_altered(current, source)
            if altered is not None:
                report.problems.append("%s:%s: %s: line %d: %s" % (
                    report.name, named, catalogue, max(line, 1), altered))


def summarize(lookup: Lookup, reports: Sequence[ArchiveReport]) -> Summary:
    summary = Summary(archives=len(reports), fuzzy=lookup.fuzzy)
    held: Set[str] = set()
    overrides = 0
    for report in reports:
        if report.error is not None:
            summary.failed += 1
            continue
        summary.changed += report.changed
        summary.untranslated += report.untranslated
        summary.unknown += report.unknown
        summary.problems += len(report.problems)
        held |= report.held
        overrides += report.held_overrides
    every_override = sum(len(o) for o in lookup.overrides.values())
    if lookup.any_archive:
        every_override += len(lookup.any_archive) * len(reports)
    summary.not_held = len(lookup.known - held) + max(every_override - overrides, 0)
    return summary


# The whole job, on many archives.

@dataclass
class ImportRun:
    """What `import_catalogue` or `check_catalogue` did: one report per archive (in
    the order given), the counts, and whether the archives were written."""

    reports: List[ArchiveReport]
    summary: Summary
    written: bool


def import_catalogue(messages: Sequence[Message],
                     archives: Sequence[Tuple[ArchiveFile, Optional[str]]],
                     options: Optional[ApplyOptions] = None, jobs: int = 1,
                     catalogue: str = "catalogue") -> ImportRun:
    """Applies a catalogue to archives: each `(archive, target)` is written to its
    target (None: checked only), every target replaced only once every archive is
    checked and none has a problem (with `options.skip_unwritable`, problem texts
    keep their source and the rest is written). An archive that cannot be read or
    written is named in its report's `error`; the others are still done.

    With one archive, a msgctxt that is only a place (`0x1A40`, as files written per
    archive have) names a place of it. Raises ToolError for a malformed catalogue.
    """
    options = options or ApplyOptions()
    single = archives[0][0].name if len(archives) == 1 else None
    lookup = make_lookup(messages, catalogue, single)
    reports: List[ArchiveReport] = []
    try:
        with contextlib.closing(run_jobs(apply_to_archive, archives, jobs,
                                         "check" if not options.write else "import",
                                         start_worker, (lookup, options),
                                         discard_staged)) as results:
            for report in results:
                reports.append(report)
        _altered_rows(messages, reports, catalogue)
        summary = summarize(lookup, reports)
        if summary.problems and not options.skip_unwritable:
            for report in reports:
                discard_staged(report)
            return ImportRun(reports, summary, False)
        for report in reports:
            if report.staged is not None:
                commit_staged(report)
                summary.written += 1
        return ImportRun(reports, summary, options.write)
    finally:
        for report in reports:
            discard_staged(report)


def check_catalogue(messages: Sequence[Message], archives: Sequence[ArchiveFile],
                    options: Optional[ApplyOptions] = None, jobs: int = 1,
                    catalogue: str = "catalogue") -> ImportRun:
    """`import_catalogue` without writing anything: the problems are in the reports."""
    options = dataclasses.replace(options or ApplyOptions(), write=False)
    return import_catalogue(messages, [(a, None) for a in archives], options, jobs, catalogue)
