"""CSV translation files, for spreadsheets.

Written as UTF-8 with a byte-order mark (so that Excel opens it as UTF-8), comma
separated, one header row, rows ending in CR LF; a cell holding a line break is
quoted and keeps it. The columns are translate-toolkit's (`po2csv`, `csv2po` read
them):

    location             the references (ARCHIVE:PLACE), separated by one space
    source               the text
    target               the translation
    context              ARCHIVE:PLACE for one occurrence's own translation
    developer_comments   the labels of labelled slots, one a line
    translator_comments  the translators' notes, one a line
    fuzzy                "fuzzy" or empty
    previous_source      the text the fuzzy translation was made for
    obsolete             "obsolete" or empty (a text no archive holds any more)

Read: with or without the byte-order mark, UTF-16 (with its mark), or an encoding
the caller names (Japanese Excel saves cp932); separated by commas, semicolons or
tabs (found from the header row); only `source` is needed, other columns in any
order, translate-toolkit's other names (`original`, `translation`, ...) and the
columns of earlier per-file exports (`address,labels,text,translation`) too.

A spreadsheet may rewrite cells: LibreOffice turns CR LF inside a cell into LF, and
with default column types `0123` becomes `123`, `1/2` a date, `=SUM(A1)` its value.
`same_text` matches a cell to its source whatever its line breaks, `with_line_breaks_of`
gives a translation the source's, and `spreadsheet_altered` says what a spreadsheet
did to a cell that no longer matches.
"""
from __future__ import annotations

import codecs
import csv
import io
import json
import re
from typing import Dict, Iterable, List, Optional, Tuple

from ._archive import ToolError
from ._message import Message

__all__ = ["CSV_COLUMNS", "CsvError", "read_csv", "same_text", "spreadsheet_altered",
           "with_line_breaks_of", "write_csv"]

CSV_COLUMNS = ["location", "source", "target", "context", "developer_comments",
               "translator_comments", "fuzzy", "previous_source", "obsolete"]

# Other names of the columns: translate-toolkit's, and earlier per-file exports'.
_ALIASES = {"original": "source", "untranslated": "source", "text": "source",
            "translated": "target", "translation": "target",
            "translator comments": "translator_comments", "notes": "translator_comments",
            "developer comments": "developer_comments", "labels": "labels",
            "state": "fuzzy", "address": "address", "previous source": "previous_source"}
_KNOWN = set(CSV_COLUMNS) | set(_ALIASES)
_TRUE = {"1", "x", "true", "yes", "fuzzy", "obsolete"}
_REFERENCE = re.compile("\u2068([^\u2069]*)\u2069|(\\S+)")
_SPACE = re.compile(r"\s")


class CsvError(ToolError):
    """A CSV file that cannot be read; str() names the line."""


# Writing.

def _location(references: Iterable[str]) -> str:
    return " ".join("\u2068%s\u2069" % r if _SPACE.search(r) else r for r in references)


def write_csv(messages: Iterable[Message]) -> bytes:
    """The messages as a CSV file: UTF-8 with a byte-order mark, the columns of
    CSV_COLUMNS."""
    buffer = io.StringIO(newline="")
    writer = csv.writer(buffer, lineterminator="\r\n")
    writer.writerow(CSV_COLUMNS)
    for m in messages:
        writer.writerow([_location(m.references), m.source, m.translation, m.context or "",
                         "\n".join(m.notes), "\n".join(m.comments), "fuzzy" if m.fuzzy else "",
                         m.previous_source or "", "obsolete" if m.obsolete else ""])
    return codecs.BOM_UTF8 + buffer.getvalue().encode("utf-8")


# Reading.

def _decode(data: bytes, encoding: Optional[str]) -> str:
    if encoding is None:
        if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
            encoding = "utf-16"
        else:
            encoding = "utf-8-sig"
    try:
        codec = codecs.lookup(encoding).name
    except LookupError:
        raise CsvError("unknown encoding %s" % encoding) from None
    if codec == "utf-8":
        codec = "utf-8-sig"
    try:
        text = data.decode(codec)
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        hint = (" (a spreadsheet may have saved it in another encoding: "
                "name it with --encoding, such as cp932)" if encoding == "utf-8-sig" else "")
        raise CsvError("line %d: not valid %s%s" % (line, encoding.replace("-sig", ""), hint)
                       ) from None
    # A byte-order mark left by an encoding named without one (utf-16-le, ...).
    return text[1:] if text.startswith("\ufeff") else text


def _columns(row: List[str]) -> List[Optional[str]]:
    names: List[Optional[str]] = []
    for cell in row:
        name = cell.strip().lower()
        name = _ALIASES.get(name, name)
        names.append(name if name in _KNOWN else None)
    return names


def _dialect(text: str) -> Tuple[str, List[Optional[str]]]:
    """The separator, found as the one that splits the header row into the most known
    column names, and those names."""
    first = _BREAK.split(text, 1)[0]
    best: Tuple[int, str, List[Optional[str]]] = (-1, ",", [])
    for separator in ",;\t":
        try:
            row = next(csv.reader([first], delimiter=separator))
        except (csv.Error, StopIteration):
            continue
        names = _columns(row)
        score = sum(1 for n in names if n is not None)
        if score > best[0]:
            best = (score, separator, names)
    return best[1], best[2]


def _truthy(value: str) -> bool:
    return value.strip().lower() in _TRUE


def _references(location: str) -> List[str]:
    return [m.group(1) if m.group(1) is not None else m.group(2)
            for m in _REFERENCE.finditer(location)]


def read_csv(data: bytes, encoding: Optional[str] = None) -> List[Message]:
    """The messages of a CSV file (see the module's description); `Message.line` is the
    line its row starts on. Raises CsvError naming the line."""
    text = _decode(data, encoding)
    separator, names = _dialect(text)
    if "source" not in names:
        raise CsvError("line 1: the header row has no source column (expected %s, "
                       "separated by commas, semicolons or tabs)" % ",".join(CSV_COLUMNS[:3]))
    duplicate = [n for n in names if n is not None and names.count(n) > 1]
    if duplicate:
        raise CsvError("line 1: the header row names the %s column twice" % duplicate[0])
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=separator, strict=True)
    messages: List[Message] = []
    try:
        next(reader)
        start = reader.line_num + 1
        for row in reader:
            line, start = start, reader.line_num + 1
            if not any(cell.strip() for cell in row):
                continue
            cells: Dict[str, str] = {n: c for n, c in zip(names, row) if n is not None}
            messages.append(_message(cells, line))
    except csv.Error as error:
        raise CsvError("line %d: %s" % (start, error)) from None
    return messages


def _message(cells: Dict[str, str], line: int) -> Message:
    get = cells.get
    context: Optional[str] = get("context") or None
    notes = [n for n in _BREAK.split(get("developer_comments", "")) if n]
    if "address" in cells:
        # An earlier per-file export: the address is the context, the labels one cell.
        context = get("address", "").strip() or context
        notes += get("labels", "").split()
    return Message(
        source=get("source", ""), translation=get("target", ""), context=context,
        references=_references(get("location", "")), notes=notes,
        fuzzy=_truthy(get("fuzzy", "")), obsolete=_truthy(get("obsolete", "")),
        previous_source=get("previous_source") or None, line=line,
        comments=[c for c in _BREAK.split(get("translator_comments", "")) if c])


# Spreadsheet rewrites.

_BREAK = re.compile(r"\r\n|\r|\n")


def same_text(original: str, cell: str) -> bool:
    """Whether `cell` is `original`, once CR LF, CR and LF are taken as one line break."""
    return original == cell or _BREAK.sub("\n", original) == _BREAK.sub("\n", cell)


def with_line_breaks_of(original: str, translation: str) -> str:
    """`translation` with its line breaks written as `original` writes its own, when
    `original` uses one kind (CR LF, LF or CR); else as it is."""
    if "\r" not in original and "\r" not in translation:
        return translation  # LF or no line break: nothing to change
    kinds = set(_BREAK.findall(original))
    if len(kinds) != 1:
        return translation
    return _BREAK.sub(kinds.pop(), translation)


_NUMBER = re.compile(r"[+-]?(?:\d[\d,]*)?(?:\.\d*)?(?:[eE][+-]?\d+)?%?\Z")
_MONTHS = ["jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"]
_DATE = re.compile(r"(?:\d{1,4}[-/.]\d{1,2}(?:[-/.]\d{1,4})?|\d{1,2}:\d{2}(?::\d{2})?"
                   r"|\d{1,2}[-/ ](?:jan|feb|mar|apr|may|jun|jul|aug|sep|oct|nov|dec)[a-z]*"
                   r"|(?:jan|feb|mar|apr|may|jun|jul|aug|sep|oct|nov|dec)[a-z]*[-/ ]\d{1,4})\Z",
                   re.IGNORECASE)
_DATE_VALUE = re.compile(r"[\d/.:\- 年月日時分秒]+(?:[AP]M)?\Z|\d{1,2}[-/ ][A-Za-z]{3,9}([-/ ]\d{2,4})?\Z"
                         r"|[A-Za-z]{3,9}[-/ ]\d{1,4}\Z", re.IGNORECASE)


def _number(text: str) -> Optional[float]:
    text = text.strip()
    if not text or not any(c.isdigit() for c in text) or not _NUMBER.match(text):
        return None
    try:
        value = float(text.rstrip("%").replace(",", ""))
    except ValueError:
        return None
    return value / 100 if text.endswith("%") else value


def _close(a: float, b: float) -> bool:
    return a == b or abs(a - b) <= 1e-6 * max(abs(a), abs(b))


def _became(original: str, cell: str) -> str:
    return "%s became %s" % (_short(original), _short(cell))


def _short(text: str) -> str:
    shown = json.dumps(text, ensure_ascii=False)
    return shown if len(shown) <= 30 else shown[:27] + '..."'


_AS_TEXT = ": set the column type to Text when opening the file"


def spreadsheet_altered(original: str, cell: str) -> Optional[str]:
    """What a spreadsheet seems to have done to `cell`, whose source was `original`,
    as one phrase ("looks converted by a spreadsheet ("0123" became "123"): set the
    column type to Text ..."); None when the cell does not look like a rewrite.
    Line breaks alone are no change (see `same_text`)."""
    if same_text(original, cell):
        return None
    a, b = _BREAK.sub("\n", original), _BREAK.sub("\n", cell)
    if a.strip() == b.strip() and a.strip() != a:
        return ("looks converted by a spreadsheet (the spaces at its ends were removed): "
                "turn off trimming spaces when opening the file")
    if len(a) == len(b) and "?" in b and all(x == y or y == "?" for x, y in zip(a, b)):
        lost = next(x for x, y in zip(a, b) if x != y)
        return ("looks saved by a spreadsheet in an encoding that cannot hold every "
                "character (%s became \"?\"): save it as CSV UTF-8" % _short(lost))
    reason = "looks converted by a spreadsheet (%s)" % _became(original, cell)
    if a[:1] == "'" and a[1:] == b:
        return reason + ": a leading apostrophe marks text in a spreadsheet; " \
            "set the column type to Text when opening the file"
    if a[:1] in ("=", "+", "-", "@") and _number(a) is None and (
            not b.strip() or _number(b) is not None or b.startswith(("#", "Err:"))
            or b.strip().upper() in ("TRUE", "FALSE")):
        # A formula: the cell holds its value, or an error.
        return reason + _AS_TEXT
    x, y = _number(a), _number(b)
    if x is None and re.match(r"\(\d+(?:\.\d*)?\)\Z", a.strip()):
        x = -float(a.strip()[1:-1])   # (123): a negative number, to a spreadsheet
    if x is not None and y is not None and (_close(x, y) or _close(x / 100, y)
                                            or _close(x, y / 100)):
        return reason + _AS_TEXT
    if x is not None and y is not None and "e" in b.lower():
        # Shown in scientific notation: rounded to the digits shown.
        digits = sum(1 for c in b.lower().split("e")[0] if c.isdigit())
        if _close(float("%.*g" % (max(digits, 1), x)), y):
            return reason + _AS_TEXT
    if _DATE.match(a.strip()) and (_DATE_VALUE.match(b.strip()) or _number(b) is not None):
        # A date or time: shown again with the numbers it had (or as a serial number).
        numbers = {int(n) for n in re.findall(r"\d+", b)}
        numbers |= {_MONTHS.index(m[:3].lower()) + 1 for m in re.findall(r"[A-Za-z]{3,}", b)
                    if m[:3].lower() in _MONTHS}
        if re.fullmatch(r"\d{5}", b.strip()) or all(
                int(n) in numbers for n in re.findall(r"\d+", a)):
            return reason + _AS_TEXT
    if a.strip().lower() in ("true", "false") and b.strip().lower() == a.strip().lower():
        return reason + _AS_TEXT
    return None
