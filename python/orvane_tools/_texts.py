"""Texts for translators: export to PO, JSON or CSV, import the translations back.

Each text entry becomes one message: its address (0x1A40) as the PO msgctxt, its
text as the msgid, the labels of its slot as extracted comments. Importing applies
every non-empty, non-fuzzy translation through `write_string` and writes the file with
`serialize`; a translation the file cannot hold is reported with its address, the
character and its code point, and nothing is written.
"""
from __future__ import annotations

import csv
import io
import json
import os
import tempfile
from dataclasses import dataclass
from typing import Any, Dict, List, NoReturn, Optional, Union

import polib

from ._archive import (Archive, Entries, ToolError, _shown, describe_characters, entries,
                       hex_address, json_error, parse_address, unwritable_characters)

FORMATS = ("po", "json", "csv")
CSV_COLUMNS = ["address", "labels", "text", "translation"]


@dataclass
class Translation:
    address: int
    source: str
    text: str
    place: str


@dataclass
class Unwritable:
    """A translation the file cannot hold, and the characters at fault."""

    address: int
    text: str
    characters: List[str]

    def __str__(self) -> str:
        return "%s: %s cannot be written in Shift_JIS" % (
            hex_address(self.address), describe_characters(self.characters))


class UnwritableError(ToolError):
    """Raised by `import_texts` when translations cannot be written; lists them all."""

    def __init__(self, problems: List[Unwritable]) -> None:
        self.problems = problems
        super().__init__("%d translation%s cannot be written; nothing written "
                         "(--skip-unwritable keeps the original text for those)"
                         % (len(problems), "" if len(problems) == 1 else "s"))


@dataclass
class ImportResult:
    data: bytes
    applied: int
    skipped: List[Unwritable]


# Export.

def _po_string(text: str) -> str:
    return '"%s"' % polib.escape(text)


def _export_po(found: Entries, name: str) -> str:
    out = ["# Texts of %s; msgctxt is the address of each text's slot." % (name or "an archive"),
           'msgid ""', 'msgstr ""', '"Content-Type: text/plain; charset=UTF-8\\n"',
           '"Content-Transfer-Encoding: 8bit\\n"', ""]
    labels = found.labels
    for address, text in found.texts.items():
        for label in labels.get(address, ()):
            out.append("#. " + label.replace("\n", " "))
        out.append('msgctxt "%s"' % hex_address(address))
        out.append("msgid " + _po_string(text))
        out.append('msgstr ""')
        out.append("")
    return "\n".join(out)


def _export_json(found: Entries) -> str:
    labels = found.labels
    rows = [json.dumps({"address": hex_address(a), "labels": labels.get(a, []), "text": t,
                        "translation": ""}, ensure_ascii=False)
            for a, t in found.texts.items()]
    return "[\n" + ",\n".join("  " + r for r in rows) + ("\n]\n" if rows else "]\n")


def _export_csv(found: Entries) -> str:
    buffer = io.StringIO(newline="")
    writer = csv.writer(buffer)
    writer.writerow(CSV_COLUMNS)
    labels = found.labels
    for address, text in found.texts.items():
        writer.writerow([hex_address(address), " ".join(labels.get(address, [])), text, ""])
    return buffer.getvalue()


def export_texts(source: Union[Archive, Entries], format: str = "po", name: str = "") -> str:
    """The texts of an archive as a translation file (po, json or csv), as text.

    `name` (the archive's file name) goes into the PO file's opening comment.
    """
    found = source if isinstance(source, Entries) else entries(source)
    if format == "po":
        return _export_po(found, name)
    if format == "json":
        return _export_json(found)
    if format == "csv":
        return _export_csv(found)
    raise ToolError("unknown format %s (use po, json or csv)" % _shown(format))


# Reading translation files.

def _fail(place: str, reason: str) -> NoReturn:
    raise ToolError("%s: %s" % (place, reason))


def _address(place: str, value: object) -> int:
    try:
        return parse_address(value)
    except ValueError as error:
        _fail(place, str(error))


# str.splitlines, which polib uses on a string it is given, also breaks lines at these
# characters; PO has no escape for them, so such a document is read from a file, where
# only \n and \r end a line (and the writer escapes \r).
_SPLITLINES_ONLY = "\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029"


def _read_po(content: str, path: Optional[str]) -> List[Translation]:
    temp = None
    try:
        if path is None and any(c in content for c in _SPLITLINES_ONLY):
            handle, temp = tempfile.mkstemp(suffix=".po")
            with os.fdopen(handle, "w", encoding="utf-8", newline="") as f:
                f.write(content)
        source = temp or path or content
        try:
            po = polib.pofile(source, encoding="utf-8", wrapwidth=0)
        except (OSError, ValueError) as error:
            raise ToolError(str(error).replace(" %s" % source, "")) from None
    finally:
        if temp is not None:
            os.unlink(temp)
    found = []
    for entry in po:
        if entry.obsolete or not entry.msgstr or "fuzzy" in entry.flags:
            continue
        place = "line %d" % max(entry.linenum or 0, 1)  # polib counts the first entry as 0
        if entry.msgctxt is None:
            _fail(place, "the entry has no msgctxt (the address of its text)")
        found.append(Translation(_address(place, entry.msgctxt), entry.msgid, entry.msgstr,
                                 place))
    return found


def _record(place: str, row: Dict[str, Any]) -> Optional[Translation]:
    for key in ("address", "text", "translation"):
        if key not in row:
            _fail(place, "no %s" % key)
    for key in ("text", "translation"):
        if not isinstance(row[key], str):
            _fail(place, "%s: expected a string, found %s" % (key, _shown(row[key])))
    if not row["translation"] or row.get("fuzzy") in (True, "true", "yes", "1"):
        return None
    return Translation(_address(place, row["address"]), row["text"], row["translation"], place)


def _read_json(content: str) -> List[Translation]:
    try:
        rows = json.loads(content)
    except json.JSONDecodeError as error:
        raise ToolError(json_error(error)) from None
    if not isinstance(rows, list):
        raise ToolError("expected a JSON list of entries")
    found = []
    for index, row in enumerate(rows):
        place = "entry %d" % index
        if not isinstance(row, dict):
            _fail(place, "expected an object, found %s" % _shown(row))
        item = _record(place, row)
        if item is not None:
            found.append(item)
    return found


def _read_csv(content: str) -> List[Translation]:
    reader = csv.DictReader(io.StringIO(content, newline=""))
    found = []
    try:
        missing = [c for c in ("address", "text", "translation") if c not in (reader.fieldnames or [])]
        if missing:
            raise ToolError("line 1: the header row has no %s column" % missing[0])
        for row in reader:
            place = "line %d" % reader.line_num
            item = _record(place, {k: v for k, v in row.items() if v is not None})
            if item is not None:
                found.append(item)
    except csv.Error as error:
        raise ToolError("line %d: %s" % (reader.line_num, error)) from None
    return found


def read_translations(content: str, format: str, path: Optional[str] = None) -> List[Translation]:
    """The translations to apply from a translation file: non-empty and not fuzzy."""
    if format == "po":
        return _read_po(content, path)
    if format == "json":
        return _read_json(content)
    if format == "csv":
        return _read_csv(content)
    raise ToolError("unknown format %s (use po, json or csv)" % _shown(format))


# Import.

def _own_unwritable(archive: Archive) -> ToolError:
    """The archive cannot be written even without the translations: say where."""
    found = entries(archive)
    strings = [("text at %s" % hex_address(a), t) for a, t in found.texts.items()]
    strings += [("label at %s" % hex_address(a), n) for a, ns in found.labels.items() for n in ns]
    for place, text in strings:
        bad = [c for c in unwritable_characters(text) if c != "\0"]
        if bad:
            return ToolError("the archive's own %s holds %s, which Shift_JIS cannot encode"
                             % (place, describe_characters(bad)))
    return ToolError("the archive cannot be written")


def apply_translations(archive: Archive, translations: List[Translation],
                       skip_unwritable: bool = False) -> ImportResult:
    """Writes the translations into `archive`, serializes, and puts the originals back."""
    originals: Dict[int, str] = {}
    wanted: Dict[int, Translation] = {}
    for item in translations:
        try:
            current = archive.read_string(item.address)
        except ValueError as error:
            _fail(item.place, "%s: %s" % (hex_address(item.address), error))
        if current is None:
            _fail(item.place, "%s is not a text entry of this archive" % hex_address(item.address))
        if item.source != current:
            _fail(item.place, "the source text of %s is %s, but the archive holds %s "
                  "(was the file exported from another archive?)"
                  % (hex_address(item.address), _shown(item.source), _shown(current)))
        if item.address in wanted:
            _fail(item.place, "%s is translated twice" % hex_address(item.address))
        wanted[item.address] = item
        originals[item.address] = current
    try:
        for address, item in wanted.items():
            archive.write_string(address, item.text)
        problems: List[Unwritable] = []
        try:
            if any("\0" in item.text for item in wanted.values()):
                raise ValueError("a translation holds U+0000")
            data: Optional[bytes] = bytes(archive.serialize())
        except ValueError:
            data = None
            for address, item in wanted.items():
                bad = unwritable_characters(item.text)
                if bad:
                    problems.append(Unwritable(address, item.text, bad))
        if problems and not skip_unwritable:
            raise UnwritableError(problems)
        if data is None:
            for problem in problems:
                archive.write_string(problem.address, originals[problem.address])
            try:
                data = bytes(archive.serialize())
            except ValueError:
                for address, text in originals.items():
                    archive.write_string(address, text)
                raise _own_unwritable(archive) from None
        applied = sum(1 for a, item in wanted.items() if item.text != originals[a]) - len(problems)
        return ImportResult(data, applied, problems)
    finally:
        for address, text in originals.items():
            archive.write_string(address, text)


def import_texts(archive: Archive, translation: str, format: str = "po",
                 skip_unwritable: bool = False) -> ImportResult:
    """The file `archive` becomes with the translations of `translation` (file contents).

    The archive itself is left as it was. Raises UnwritableError listing every
    translation the file cannot hold, unless skip_unwritable keeps the original text for
    those (they are then listed in the result's `skipped`); ToolError for a malformed
    translation file, naming the line or entry.
    """
    return apply_translations(archive, read_translations(translation, format), skip_unwritable)
