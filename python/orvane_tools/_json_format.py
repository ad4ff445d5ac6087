"""JSON translation files: a list of objects, one per message, with the fields of the
PO and CSV forms:

    {"source": "...", "translation": "...", "context": null, "references": ["A:P"],
     "notes": ["LABEL"], "comments": [], "fuzzy": false, "previous_source": null,
     "obsolete": false}

Only `source` is needed when reading; the objects of earlier per-file exports
(`address`, `labels`, `text`, `translation`, `fuzzy`) are read too, the address as
the context. Written as UTF-8, one field a line, so that a changed field is one
changed line.
"""
from __future__ import annotations

import json
from typing import Any, Dict, Iterable, List, Optional

from ._archive import ToolError, _shown, lone_surrogate
from ._message import Message

__all__ = ["JsonError", "read_json", "write_json"]

_FIELDS = ("source", "translation", "context", "references", "notes", "comments", "fuzzy",
           "previous_source", "obsolete")
_LEGACY = ("address", "labels", "text")


class JsonError(ToolError):
    """A JSON translation file that cannot be read; str() names the line."""


def write_json(messages: Iterable[Message]) -> bytes:
    """The messages as a JSON list (UTF-8, one field a line)."""
    rows = [{"source": m.source, "translation": m.translation, "context": m.context,
             "references": m.references, "notes": m.notes, "comments": m.comments,
             "fuzzy": m.fuzzy, "previous_source": m.previous_source, "obsolete": m.obsolete}
            for m in messages]
    return (json.dumps(rows, ensure_ascii=False, indent=1) + "\n").encode("utf-8")


def _line(text: str, position: int) -> int:
    return text.count("\n", 0, position) + 1


def _characters(line: int, key: str, text: str) -> None:
    problem = lone_surrogate(text)
    if problem is not None:
        raise JsonError("line %d: %s: %s" % (line, key, problem))


def _string(line: int, row: Dict[str, Any], key: str, default: Optional[str]) -> Optional[str]:
    value = row.get(key, default)
    if value is not None and not isinstance(value, str):
        raise JsonError("line %d: %s: expected a string, found %s" % (line, key, _shown(value)))
    if value:
        _characters(line, key, value)
    return value


def _strings(line: int, row: Dict[str, Any], key: str) -> List[str]:
    value = row.get(key, [])
    if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
        raise JsonError("line %d: %s: expected a list of strings, found %s"
                        % (line, key, _shown(value)))
    _characters(line, key, "".join(value))
    return list(value)


def _flag(line: int, row: Dict[str, Any], key: str) -> bool:
    value = row.get(key, False)
    if value in ("true", "yes", "1", "fuzzy"):   # earlier exports' readers took these
        return True
    if not isinstance(value, bool):
        raise JsonError("line %d: %s: expected true or false, found %s"
                        % (line, key, _shown(value)))
    return value


def _message(line: int, row: Dict[str, Any]) -> Message:
    unknown = [k for k in row if k not in _FIELDS and k not in _LEGACY]
    if unknown:
        raise JsonError("line %d: unknown key %s" % (line, _shown(unknown[0])))
    legacy = "address" in row or "text" in row
    source = _string(line, row, "text" if legacy else "source", None)
    if source is None:
        raise JsonError("line %d: no %s" % (line, "text" if legacy else "source"))
    context = _string(line, row, "context", None)
    notes = _strings(line, row, "notes")
    if legacy:
        address = row.get("address")
        if isinstance(address, int) and not isinstance(address, bool):
            context = "0x%X" % address   # earlier readers took a JSON integer too
        elif address is not None:
            context = address if isinstance(address, str) else str(address)
        notes += _strings(line, row, "labels")
    return Message(
        source=source, translation=_string(line, row, "translation", "") or "",
        context=context, references=_strings(line, row, "references"), notes=notes,
        comments=_strings(line, row, "comments"), fuzzy=_flag(line, row, "fuzzy"),
        obsolete=_flag(line, row, "obsolete"),
        previous_source=_string(line, row, "previous_source", None), line=line)


def read_json(data: bytes) -> List[Message]:
    """The messages of a JSON translation file; `Message.line` is the line its object
    starts on. Raises JsonError naming the line."""
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise JsonError("line %d: not UTF-8" % (data.count(b"\n", 0, error.start) + 1)) from None
    # The list is walked element by element, to know the line each object starts on.
    decoder = json.JSONDecoder()
    messages: List[Message] = []
    try:
        position = _skip(text, 0)
        if text[position:position + 1] != "[":
            raise JsonError("line %d: expected a JSON list of messages" % _line(text, position))
        position = _skip(text, position + 1)
        line, counted = 1, 0
        while text[position:position + 1] != "]":
            if messages:
                if text[position:position + 1] != ",":
                    raise json.JSONDecodeError("Expecting ',' delimiter", text, position)
                position = _skip(text, position + 1)
            line += text.count("\n", counted, position)
            counted = position
            row, position = decoder.raw_decode(text, position)
            if not isinstance(row, dict):
                raise JsonError("line %d: expected an object, found %s" % (line, _shown(row)))
            messages.append(_message(line, row))
            position = _skip(text, position)
        if _skip(text, position + 1) != len(text):
            raise json.JSONDecodeError("Extra data", text, _skip(text, position + 1))
    except json.JSONDecodeError as error:
        raise JsonError("line %d column %d: %s" % (error.lineno, error.colno, error.msg)) from None
    return messages


def _skip(text: str, position: int) -> int:
    """The position of the next character that is not JSON white space."""
    while position < len(text) and text[position] in " \t\r\n":
        position += 1
    return position
