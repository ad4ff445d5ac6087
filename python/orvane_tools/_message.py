"""One translation message, as every translation file format reads and writes it."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import List, Optional


@dataclass
class Message:
    """A source text and its translation.

    In a catalogue, `context` is None for the translation shared by every occurrence,
    and `ARCHIVE:PLACE` for one occurrence's own translation; files written per
    archive by earlier versions carry the slot's address there (`0x1A40`).
    `references` are the occurrences (`ARCHIVE:PLACE`), `notes` the extracted
    comments (the labels of labelled slots), `comments` the translators' own. `line`
    is where a reader found the message (from 1), 0 for a message not read from a file.
    """

    source: str
    translation: str = ""
    context: Optional[str] = None
    references: List[str] = field(default_factory=list)
    notes: List[str] = field(default_factory=list)
    fuzzy: bool = False
    obsolete: bool = False
    previous_source: Optional[str] = None
    line: int = 0
    comments: List[str] = field(default_factory=list)
