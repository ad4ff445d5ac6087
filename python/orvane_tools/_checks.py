"""Checks of one translation against its source, before anything is written.

Each problem is one phrase; the caller adds the archive and place. A translation is
checked as it would be written: after the character map (`--charmap`, for fonts that
put other glyphs on some codes) replaced what it maps.

- characters Shift_JIS cannot hold, with their code points;
- characters the file would read back as others: asked of the module's own codec
  (each character written into a one-slot archive and read back, once per character),
  so that `¥` read back as `\\`, U+2212 as U+FF0D and U+203E as `~` are found without
  a list kept by hand;
- control characters (C0, other than line feed and tab) of the source missing from
  the translation, or added to it;
- for each placeholder pattern, matches of the source missing or added.
"""
from __future__ import annotations

import json
from collections import Counter
from typing import Callable, Dict, Iterable, List, Mapping, Optional, Pattern, Sequence, Set

import orvane_core

from ._archive import SLOT, ToolError, describe_characters, new_archive

__all__ = ["CharmapError", "apply_charmap", "check_text", "read_back", "read_back_all",
           "read_charmap"]

_CONTROLS = frozenset(chr(c) for c in range(0x20)) - {"\n", "\t"}
_read_back: Dict[str, Optional[str]] = {}
# The characters known to read back as themselves: a text of only these has no problem
# of its characters, found at C speed.
_kept: Set[str] = set()


def _unholdable(c: str) -> bool:
    """U+0000 (it would end the text) and half a UTF-16 pair (no encoding holds one)."""
    return c == "\0" or "\ud800" <= c <= "\udfff"


def _remember(c: str, back: Optional[str]) -> Optional[str]:
    _read_back[c] = back
    if back == c:
        _kept.add(c)
    return back


def read_back(c: str) -> Optional[str]:
    """What an archive file reads back for the one character `c` once written, or None
    when Shift_JIS cannot hold it (U+0000 included: it would end the text; and a lone
    surrogate, which no encoding holds)."""
    try:
        return _read_back[c]
    except KeyError:
        pass
    back: Optional[str] = None
    if not _unholdable(c):
        probe = new_archive()
        probe.allocate_at_end(SLOT)
        probe.write_string(0, c)
        try:
            data = bytes(probe.serialize())
        except ValueError:
            pass
        else:
            back = orvane_core.BinArchive.from_bytes(data).read_string(0)
    return _remember(c, back)


def read_back_all(characters: Iterable[str]) -> None:
    """Finds `read_back` of many characters at once: one archive with a slot for each,
    written and loaded once (a set holding a character Shift_JIS cannot hold does not
    serialize, and is halved until each such character is found)."""
    _read_back_all([c for c in dict.fromkeys(characters)
                    if c not in _read_back and not _unholdable(c)])


def _read_back_all(characters: List[str]) -> None:
    if len(characters) <= 4:
        for c in characters:
            read_back(c)
        return
    probe = new_archive()
    probe.allocate_at_end(SLOT * len(characters))
    for slot, c in enumerate(characters):
        probe.write_string(SLOT * slot, c)
    try:
        data = bytes(probe.serialize())
    except ValueError:
        half = len(characters) // 2
        _read_back_all(characters[:half])
        _read_back_all(characters[half:])
        return
    loaded = orvane_core.BinArchive.from_bytes(data)
    for slot, c in enumerate(characters):
        _remember(c, loaded.read_string(SLOT * slot))


def _character_problems(text: str) -> List[str]:
    if _kept.issuperset(text):
        return []
    unwritable: List[str] = []
    problems: List[str] = []
    for c in dict.fromkeys(text):
        back = read_back(c)
        if back is None:
            unwritable.append(c)
        elif back != c:
            problems.append("%s would be read back as %s" % (describe_characters(c),
                                                             describe_characters(back)))
    if unwritable:
        problems.insert(0, "%s cannot be written in Shift_JIS" % describe_characters(unwritable))
    return problems


def _difference(kind: str, source: "Counter[str]", translation: "Counter[str]",
                shown: "Callable[[str], str]") -> List[str]:
    problems = []
    for item in sorted(set(source) | set(translation), key=lambda i: (i not in source, i)):
        have, want = translation[item], source[item]
        if have == want:
            continue
        what = "missing" if have < want else "added"
        counts = "" if min(have, want) == 0 and max(have, want) == 1 else (
            " (the source has %d, the translation %d)" % (want, have))
        problems.append("%s %s %s%s" % (kind, shown(item), what, counts))
    return problems


def check_text(source: str, translation: str, placeholders: Sequence[Pattern[str]] = (),
               charmap: Optional[Mapping[str, str]] = None) -> List[str]:
    """The problems of writing `translation` where `source` is, one phrase each; none
    when it can be written as it is."""
    text = apply_charmap(translation, charmap) if charmap else translation
    problems = _character_problems(text)
    if not _CONTROLS.isdisjoint(source) or not _CONTROLS.isdisjoint(text):
        problems += _difference(
            "control character", Counter(c for c in source if c in _CONTROLS),
            Counter(c for c in text if c in _CONTROLS), describe_characters)
    for pattern in placeholders:
        problems += _difference(
            "placeholder", Counter(m.group() for m in pattern.finditer(source)),
            Counter(m.group() for m in pattern.finditer(text)), _shown)
    return problems


def _shown(text: str) -> str:
    return json.dumps(text, ensure_ascii=False)


class CharmapError(ToolError):
    """A character map file that cannot be used; str() names the line."""


def read_charmap(data: bytes) -> Dict[str, str]:
    """A character map: UTF-8 text, one `CHARACTER<TAB>REPLACEMENT` a line (blank
    lines, and lines starting with `#` that hold no tab, are skipped). Every
    replacement must be written and read back as it is."""
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise CharmapError("line %d: not UTF-8" % (data.count(b"\n", 0, error.start) + 1)) from None
    charmap: Dict[str, str] = {}
    lines: Dict[str, int] = {}
    for number, row in enumerate(text.split("\n"), 1):
        row = row[:-1] if row.endswith("\r") else row
        if not row or (row.startswith("#") and "\t" not in row):
            continue
        character, tab, replacement = row.partition("\t")
        if not tab:
            raise CharmapError("line %d: expected CHARACTER<TAB>REPLACEMENT, found %s"
                               % (number, _shown(row)))
        if len(character) != 1:
            raise CharmapError("line %d: expected one character before the tab, found %s"
                               % (number, _shown(character)))
        if character in charmap:
            raise CharmapError("line %d: %s is mapped twice (first at line %d)"
                               % (number, describe_characters(character), lines[character]))
        problems = _character_problems(replacement)
        if problems:
            raise CharmapError("line %d: the replacement of %s: %s"
                               % (number, describe_characters(character), problems[0]))
        charmap[character] = replacement
        lines[character] = number
    return charmap


def apply_charmap(text: str, charmap: Mapping[str, str]) -> str:
    """`text` with each character the map holds replaced."""
    if not charmap:
        return text
    return text.translate({ord(c): r for c, r in charmap.items()})
