"""The translation file formats by name: PO, JSON and CSV read to and written from
`Message` lists."""
from __future__ import annotations

import os
from typing import List, Mapping, Optional, Sequence

from ._archive import ToolError, _shown
from ._csv_format import read_csv, write_csv
from ._json_format import read_json, write_json
from ._message import Message
from ._po import read_po, write_po

__all__ = ["FORMATS", "format_of", "read_messages", "write_messages"]

FORMATS = ("po", "json", "csv")
_EXTENSIONS = {".po": "po", ".pot": "po", ".json": "json", ".csv": "csv", ".tsv": "csv"}


def format_of(path: str) -> Optional[str]:
    """The format a file name's extension names (`.po`, `.pot`, `.json`, `.csv`, `.tsv`),
    or None."""
    return _EXTENSIONS.get(os.path.splitext(path)[1].lower())


def _check(format: str) -> None:
    if format not in FORMATS:
        raise ToolError("unknown format %s (use po, json or csv)" % _shown(format))


def read_messages(data: bytes, format: str, encoding: Optional[str] = None) -> List[Message]:
    """The messages of a translation file, obsolete ones included (PO: without the
    header). `encoding` is the CSV file's (default: UTF-8, or UTF-16 with its mark),
    or the PO file's when its header declares none; JSON is UTF-8."""
    _check(format)
    if format == "po":
        return read_po(data, encoding or "UTF-8").messages
    if format == "csv":
        return read_csv(data, encoding)
    return read_json(data)


def write_messages(messages: Sequence[Message], format: str, language: str = "",
                   header: Optional[Mapping[str, str]] = None) -> bytes:
    """A translation file holding the messages in the order given; `language` goes into
    the PO header, which keeps the fields of `header` (an earlier catalogue's) if given."""
    _check(format)
    if format == "po":
        return write_po(messages, header, language)
    if format == "csv":
        return write_csv(messages)
    return write_json(messages)
