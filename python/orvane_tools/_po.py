"""PO files, read as GNU gettext reads them and written so that its tools accept them.

Reading follows gettext's own lexer: tokens may be spread over lines or share one,
a string ends on its own line (an unterminated one is refused, "line 12: end-of-line
within string"), and every escape gettext reads gives the character it gives there:
`\\n \\t \\r \\a \\b \\f \\v \\\\ \\"`, up to three octal digits (`\\101`), and `\\x`
with any number of hex digits (the last two count). Octal and hex escapes give bytes
in the file's charset, which the header's `Content-Type` declares (`charset=CP932`
works; UTF-8 when none is declared). Any other syntax error, a missing `msgstr`, a
duplicate message, or obsolete `#~` lines mixed with live ones is refused with its
line, as `msgfmt` refuses them.

Two leniencies: a UTF-8 byte-order mark at the start is skipped, and an unterminated
string is reported on its own line (msgfmt names the line after it).

Writing is UTF-8, with the header fields `msgfmt -c` asks for; strings are escaped as
gettext writes them (`\\a \\b \\t \\n \\v \\f \\r`, other control characters as they
are) and broken after each line break, never wrapped; each reference is a `#:` line
of its own, so a moved reference changes one line.
"""
from __future__ import annotations

import codecs
import operator
import re
from dataclasses import dataclass, field
from itertools import chain
from typing import Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

from ._archive import ToolError
from ._message import Message

__all__ = ["PoError", "PoFile", "po_header", "read_po", "write_po"]


class PoError(ToolError):
    """A PO file gettext would refuse; str() is "line N: reason"."""

    def __init__(self, line: int, reason: str) -> None:
        self.line = line
        self.reason = reason
        super().__init__("line %d: %s" % (line, reason))


@dataclass
class PoFile:
    """The header fields (in file order), the messages (without the header, obsolete
    ones included) and the charset the file was read in."""

    header: Dict[str, str] = field(default_factory=dict)
    messages: List[Message] = field(default_factory=list)
    charset: str = "UTF-8"


# Reading.

_TOKEN = re.compile(r"""
    (?P<space>[ \t\r\f\v]+)
  | (?P<newline>\n)
  | (?P<comment>\#[^\n]*)
  | (?P<string>"(?:[^"\\\n]|\\[^\n])*")
  | (?P<open>")
  | (?P<keyword>[A-Za-z_][A-Za-z0-9_]*(?:\[[ \t]*[0-9]+[ \t]*\])?)
  | (?P<other>.)
""", re.VERBOSE | re.DOTALL)

_SIMPLE_ESCAPES = {"n": "\n", "t": "\t", "b": "\b", "r": "\r", "f": "\f", "v": "\v",
                   "a": "\a", "\\": "\\", '"': '"'}
_ESCAPE = re.compile(r"\\(?:([ntbrfva\\\"])|([0-7]{1,3})|x([0-9A-Fa-f]+)|(.|\Z))", re.DOTALL)
_BYTE_ESCAPE = re.compile(r"\\(?:[0-7]|x[0-9A-Fa-f])")
_REFERENCE = re.compile("\u2068([^\u2069]*)\u2069|(\\S+)")
_CHARSET = re.compile(r"charset=([^\s;]+)", re.IGNORECASE)

# (kind, value, line, column, obsolete, previous); kind: "keyword", "string", "comment".
_Token = Tuple[str, str, int, int, bool, bool]


# The lines most files are made of, read without the general loop.
_KEYWORD_LINE = re.compile(r'(msgctxt|msgid|msgstr)[ \t]+"((?:[^"\\\n]|\\.)*)"[ \t\r\f\v]*\Z')
_STRING_LINE = re.compile(r'[ \t\f\v]*"((?:[^"\\\n]|\\.)*)"[ \t\r\f\v]*\Z')


def _tokens(text: str, first_line: int) -> Iterator[_Token]:
    """The tokens of a PO file's text, comments classified; raises PoError. No token
    spans lines: a string ends on its line, a comment at the line's end."""
    rows = text.split("\n")
    last = len(rows) - 1
    for number, row in enumerate(rows):
        line = first_line + number
        if row.startswith("#") and not row.startswith(("#~", "#|")):
            yield ("comment", row[:-1] if row.endswith("\r") else row, line, 1, False, False)
            continue
        m = _KEYWORD_LINE.match(row)
        if m is not None:
            yield ("keyword", m.group(1), line, 1, False, False)
            yield ("string", m.group(2), line, m.start(2), False, False)
            continue
        m = _STRING_LINE.match(row)
        if m is not None:
            yield ("string", m.group(1), line, m.start(1), False, False)
            continue
        yield from _line_tokens(row, line, number == last)


def _line_tokens(row: str, line: int, last: bool) -> Iterator[_Token]:
    """The tokens of one line, in general."""
    obsolete = previous = False
    pos = 0
    end = len(row)
    match = _TOKEN.match
    while pos < end:
        m = match(row, pos)
        assert m is not None
        kind = m.lastgroup
        value = m.group()
        pos = m.end()
        if kind == "space":
            continue
        column = m.start() + 1
        if kind == "comment":
            if value.startswith("#~"):
                obsolete = True
                pos = m.start() + 2
                if row.startswith("|", pos):
                    previous = True
                    pos += 1
                continue
            if value.startswith("#|"):
                previous = True
                pos = m.start() + 2
                continue
            yield ("comment", value[:-1] if value.endswith("\r") else value, line, column,
                   obsolete, previous)
        elif kind == "string":
            yield ("string", value[1:-1], line, column, obsolete, previous)
        elif kind == "keyword":
            yield ("keyword", value, line, column, obsolete, previous)
        elif kind == "open":
            raise PoError(line, "end-of-file within string" if last
                          else "end-of-line within string")
        else:
            raise PoError(line, "syntax error (%s at column %d)" % (_shown_char(value), column))


def _shown_char(c: str) -> str:
    return repr(c) if c.isprintable() else "U+%04X" % ord(c)


def _unescape(parts: List[str], line: int, charset: str) -> str:
    """The value of a keyword's strings: their escapes read as gettext reads them, the
    strings joined."""
    if not any("\\" in raw for raw in parts):
        return "".join(parts)
    if not any(_BYTE_ESCAPE.search(raw) for raw in parts):
        return "".join(_ESCAPE.sub(lambda m: _simple(m, line), raw) for raw in parts)
    # Octal and hex escapes give bytes of the file's charset: the strings are rebuilt as
    # bytes, each on its own (an escape ends with its string), and decoded once.
    out = bytearray()
    for raw in parts:
        pos = 0
        for m in _ESCAPE.finditer(raw):
            out += raw[pos:m.start()].encode(charset, "surrogateescape")
            pos = m.end()
            simple, octal, hexadecimal, _ = m.groups()
            if octal is not None:
                out.append(int(octal, 8) & 0xFF)
            elif hexadecimal is not None:
                out.append(int(hexadecimal, 16) & 0xFF)
            else:
                out += _simple(m, line).encode(charset)
        out += raw[pos:].encode(charset, "surrogateescape")
    try:
        text = bytes(out).decode(charset)
    except UnicodeDecodeError:
        raise PoError(line, "an octal or hex escape gives a byte sequence that is not valid %s"
                      % charset) from None
    if "\0" in text:
        raise PoError(line, "an escape gives U+0000, where gettext would end the string")
    return text


def _simple(m: "re.Match[str]", line: int) -> str:
    simple = m.group(1)
    if simple is None:
        raise PoError(line, "invalid control sequence %s" % _shown_escape(m.group()))
    return _SIMPLE_ESCAPES[simple]


def _shown_escape(escape: str) -> str:
    return escape if escape.isprintable() else "at the end of the string"


def _decode(data: bytes, charset: str, first_line: int) -> str:
    try:
        return data.decode(charset)
    except UnicodeDecodeError as error:
        line = first_line + data.count(b"\n", 0, error.start)
        raise PoError(line, "invalid multibyte sequence (the file is not valid %s)"
                      % charset) from None


def _codec(name: str, line: int) -> str:
    """A charset name as Python's codecs know it; raises PoError for an unknown one."""
    try:
        return codecs.lookup(name).name
    except LookupError:
        raise PoError(line, "the header declares charset %s, which is unknown" % name) from None


class _Parser:
    def __init__(self, tokens: List[_Token], charset: str) -> None:
        self.tokens = tokens
        self.at = 0
        self.charset = charset

    def strings(self, keyword: _Token) -> str:
        """The strings following a keyword, joined; at least one is needed."""
        parts = []
        while self.at < len(self.tokens) and self.tokens[self.at][0] == "string":
            token = self.tokens[self.at]
            if token[4] != keyword[4] or token[5] != keyword[5]:
                raise PoError(token[2], "inconsistent use of #~" if token[4] != keyword[4]
                              else "inconsistent use of #|")
            parts.append(token[1])
            self.at += 1
        if not parts:
            raise PoError(keyword[2], "%s without a string" % keyword[1])
        return _unescape(parts, keyword[2], self.charset)

    def messages(self) -> List[Message]:
        found: List[Message] = []
        tokens = self.tokens
        while self.at < len(tokens):
            message = Message("")
            comments: List[str] = []
            previous: Dict[str, str] = {}
            # Comments, then `#|` previous fields.
            while self.at < len(tokens):
                token = tokens[self.at]
                if token[0] == "comment":
                    self.at += 1
                    comments.append(token[1])
                elif token[0] == "keyword" and token[5]:
                    self.at += 1
                    if token[1] not in ("msgctxt", "msgid", "msgid_plural"):
                        raise PoError(token[2], 'keyword "%s" unknown after #|' % token[1])
                    previous[token[1]] = self.strings(token)
                elif token[0] == "string":
                    raise PoError(token[2], "syntax error (a string with no keyword before it, "
                                  "column %d)" % token[3])
                else:
                    break
            if self.at == len(tokens):
                if previous:
                    raise PoError(tokens[-1][2], "missing 'msgid' section")
                break
            keyword = tokens[self.at]
            self.at += 1
            obsolete = keyword[4]
            if keyword[1] == "msgctxt":
                message.context = self.strings(keyword)
                if self.at == len(tokens) or tokens[self.at][:2] != ("keyword", "msgid"):
                    raise PoError(keyword[2], "missing 'msgid' section")
                keyword = tokens[self.at]
                self.at += 1
            if keyword[1] != "msgid":
                if keyword[1] in ("msgstr", "msgid_plural") or keyword[1].startswith("msgstr["):
                    raise PoError(keyword[2], "missing 'msgid' section")
                raise PoError(keyword[2], 'keyword "%s" unknown' % keyword[1])
            if keyword[4] != obsolete:
                raise PoError(keyword[2], "inconsistent use of #~")
            message.line = keyword[2]
            message.source = self.strings(keyword)
            if self.at < len(tokens) and tokens[self.at][:2] == ("keyword", "msgid_plural"):
                raise PoError(tokens[self.at][2], "plural forms (msgid_plural) are not supported: "
                              "a text has one translation")
            if self.at == len(tokens) or tokens[self.at][:2] != ("keyword", "msgstr"):
                following = tokens[self.at] if self.at < len(tokens) else None
                if following is not None and following[0] == "keyword" and not (
                        following[1].startswith("msg") or following[5]):
                    raise PoError(following[2], 'keyword "%s" unknown' % following[1])
                raise PoError(keyword[2], "missing 'msgstr' section")
            keyword = tokens[self.at]
            self.at += 1
            if keyword[4] != obsolete:
                raise PoError(keyword[2], "inconsistent use of #~")
            message.translation = self.strings(keyword)
            message.obsolete = obsolete
            message.previous_source = previous.get("msgid")
            _comments(message, comments)
            found.append(message)
        return found


def _comments(message: Message, comments: List[str]) -> None:
    for comment in comments:
        kind = comment[1:2]
        if kind == ":":
            if "\u2068" not in comment:
                message.references += comment[2:].split()
                continue
            for m in _REFERENCE.finditer(comment, 2):
                message.references.append(m.group(1) if m.group(1) is not None else m.group(2))
        elif kind == ".":
            message.notes.append(comment[3:] if comment.startswith("#. ") else comment[2:])
        elif kind == ",":
            flags = [f.strip() for f in comment[2:].split(",")]
            if "fuzzy" in flags:
                message.fuzzy = True
        elif kind != "!":
            # A translator's comment: `# text`, or `#text` as gettext reads it too.
            message.comments.append(comment[2:] if kind == " " else comment[1:])
        # `#!` comments carry nothing a message keeps, as in gettext.


# Over "\n" + a block of comment lines: a literal start is found fast.
_BLOCK_REFERENCES = re.compile(r"\n#:([^\n]*)")
_BLOCK_NOTES = re.compile(r"\n#\. ?([^\n]*)")
_BLOCK_FLAGS = re.compile(r"\n#,([^\n]*)")
_BLOCK_COMMENTS = re.compile(r"\n#(?![.:,|~!]) ?([^\n]*)")


def _comment_block(message: Message, block: str, references_only: bool = False) -> None:
    """`_comments` for whole lines of comments, each ending in a line feed
    (`references_only`: every line is known to be a reference)."""
    if references_only and "\u2068" not in block:
        message.references = block[2:].replace("\n#:", " ").split()
        return
    block = "\n" + block
    if block.count("\n#:") == block.count("\n") - 1 and "\u2068" not in block:
        # References only, as most messages of a catalogue have.
        message.references = block.replace("\n#:", " ").split()
        return
    first = block.find("\n#:")
    if first != -1 and "\u2068" not in block:
        # One run of references among other comments (notes before, flags after, as
        # catalogues are written): the run is split whole, the rest read line by line.
        end = block.find("\n", block.rfind("\n#:") + 1)
        run = block[first:end]
        if run.count("\n#:") == run.count("\n"):
            message.references = run.replace("\n#:", " ").split()
            block = block[:first] + block[end:]
    if "\n#:" in block:
        references = " ".join(_BLOCK_REFERENCES.findall(block))
        if "\u2068" in references:
            _comments(message, ["#:" + references])
        else:
            message.references = references.split()
    if "\n#." in block:
        message.notes = _BLOCK_NOTES.findall(block)
    if "\n#," in block and "fuzzy" in block:
        message.fuzzy = any("fuzzy" in (f.strip() for f in flags.split(","))
                            for flags in _BLOCK_FLAGS.findall(block))
    comments = _BLOCK_COMMENTS.findall(block)
    if comments:
        message.comments = comments


def _header(message: Message) -> Dict[str, str]:
    fields: Dict[str, str] = {}
    for row in message.translation.split("\n"):
        name, colon, value = row.partition(":")
        if colon:
            fields[name.strip()] = value.strip()
    return fields


def _is_header(message: Message) -> bool:
    return message.source == "" and message.context is None and not message.obsolete


def _declared_charset(data: bytes) -> Optional[Tuple[str, int]]:
    """The charset the header declares, and the header's line, read as gettext reads
    the header: before it knows the charset, bytes as they are."""
    # The header is read from the lines up to the first blank one after a msgstr, or,
    # should it go on beyond those, from the whole file.
    cut = data.find(b"\n\n", data.find(b"msgstr"))
    if cut != -1:
        ended = not data[cut:].lstrip().startswith(b'"')
        found = _header_charset(data[:cut + 1], False, ended)
        if found != "more":
            return None if isinstance(found, str) else found
    found = _header_charset(data, True, True)
    return None if isinstance(found, str) else found


def _header_charset(head: bytes, whole: bool, ended: bool
                    ) -> Union[None, str, Tuple[str, int]]:
    """`_declared_charset` of the start of a file (or the `whole` of it); "more" when
    the header may go on beyond it. `ended`: a string at the end of `head` is the last
    of its keyword's."""
    tokens = (t for t in _tokens(head.decode("latin-1"), 1)
              if t[0] != "comment" and not t[4] and not t[5])
    try:
        msgid = next(tokens)
        if msgid[:2] != ("keyword", "msgid"):
            return None
        token = next(tokens)
        while token[0] == "string":
            if token[1]:
                return None
            token = next(tokens)
        if token[:2] != ("keyword", "msgstr"):
            return None
        parts = []
        for token in tokens:
            if token[0] != "string":
                break
            parts.append(token[1])
        else:
            if not ended:
                return "more"
        header = _unescape(parts, msgid[2], "latin-1")
    except StopIteration:
        return None if whole else "more"
    except PoError:
        return None
    m = _CHARSET.search(_header(Message("", header)).get("Content-Type", ""))
    if m is None or m.group(1).upper() == "CHARSET":
        return None
    return m.group(1), msgid[2]


# Messages laid out as gettext's tools and write_po lay them out, matched whole; the
# general tokenizer and parser take over from the first one that is not.
_STR = r'(?:[^"\\\n]|\\.)*'
_LAID_OUT = re.compile((
    r'\n*(?P<comments>(?:\#(?:[^~|\n][^\n\r]*)?\n)*)'
    r'(?:\#\| msgid "(?P<previous>S)"\n(?P<previous_more>(?:\#\| "S"\n)*))?'
    r'(?:msgctxt "(?P<context>S)"\n(?P<context_more>(?:"S"\n)*))?'
    r'msgid "(?P<source>S)"\n(?P<source_more>(?:"S"\n)*)'
    r'msgstr "(?P<translation>S)"\n(?P<translation_more>(?:"S"\n)*)'
    r'(?=\n*(?:\#|msg|\Z))').replace("S", _STR))
_MORE = re.compile(r'"(%s)"' % _STR)
# The same without the comments, which are found first by the end of their block: a
# line that does not start with `#`, or starts with `#~` or `#|`.
_LAID_OUT_FIELDS = re.compile(_LAID_OUT.pattern[_LAID_OUT.pattern.index("(?:\\#\\| msgid"):])
_COMMENTS_END = re.compile(r"\n(?!\#(?![~|]))")


def _messages(text: str, charset: str) -> List[Message]:
    found: List[Message] = []
    pos = 0
    line = 1
    end = len(text)
    match = _LAID_OUT.match
    fields = _LAID_OUT_FIELDS.match
    comments_end = _COMMENTS_END.search
    while pos < end:
        m = None
        start = pos
        references_only = False
        while text.startswith("\n", start):
            start += 1
        if text.startswith("#", start) and not text.startswith(("#~", "#|"), start):
            # A long block of references is found by its end, not matched line by line:
            # first by the next keyword at the start of a line, when every line before
            # it is a comment, else by the first line that is not one.
            comments: Optional[str] = None
            stop = text.find("\nmsg", start)
            if stop != -1:
                comments = text[start:stop + 1]
                newlines = comments.count("\n")
                if comments.startswith("#:") and comments.count("\n#:") == newlines - 1:
                    # References only, as most messages of a catalogue have: passed on
                    # as they are (`_comment_block` splits them without looking again).
                    references_only = True
                elif comments.count("\n#") != newlines - 1 \
                        or "\n#~" in comments or "\n#|" in comments:
                    comments = None
            if comments is None:
                block_end = comments_end(text, start)
                if block_end is not None:
                    stop = block_end.start()
                    comments = text[start:stop + 1]
            if comments is not None and "\r" not in comments:
                m = fields(text, stop + 1)
        else:
            m = fields(text, start)
            comments = None
        if m is None:
            m = match(text, pos)
            if m is None:
                break
            comments = m.group("comments")
            references_only = False
        line += text.count("\n", pos, m.start("source"))
        strings = {}
        for name in ("previous", "context", "source", "translation"):
            first = m.group(name)
            if first is None:
                continue
            more = m.group(name + "_more")
            strings[name] = _unescape([first] + _MORE.findall(more) if more else [first],
                                      line, charset)
        message = Message(strings["source"], strings["translation"], strings.get("context"),
                          previous_source=strings.get("previous"), line=line)
        if comments:
            _comment_block(message, comments, references_only)
        found.append(message)
        line += text.count("\n", m.start("source"), m.end())
        pos = m.end()
    if pos < end:
        found += _Parser(list(_tokens(text[pos:], text.count("\n", 0, pos) + 1)),
                         charset).messages()
    return found


def read_po(data: bytes, default_charset: str = "UTF-8") -> PoFile:
    """A PO file's header and messages, read as GNU gettext reads them.

    The charset is the one the header declares, else `default_charset`. Raises PoError
    ("line 12: end-of-line within string") for anything gettext refuses.
    """
    if data.startswith(codecs.BOM_UTF8):
        data = data[len(codecs.BOM_UTF8):]
        charset = "utf-8"
    else:
        declared = _declared_charset(data)
        charset = _codec(declared[0], declared[1]) if declared else _codec(default_charset, 1)
    messages = _messages(_decode(data, charset, 1), charset)
    po = PoFile(charset=codecs.lookup(charset).name)
    seen: Dict[Tuple[Optional[str], str], int] = {}
    for message in messages:
        key = (message.context, message.source)
        if key in seen:
            raise PoError(message.line, "duplicate message definition (the first is at line %d)"
                          % seen[key])
        seen[key] = message.line
        if _is_header(message) and not po.header:
            po.header = _header(message)
        else:
            po.messages.append(message)
    return po


# Writing.

_WRITE_ESCAPES = {"\\": "\\\\", '"': '\\"', "\a": "\\a", "\b": "\\b", "\t": "\\t",
                  "\n": "\\n", "\v": "\\v", "\f": "\\f", "\r": "\\r",
                  # gettext refuses U+0004 (its context separator) in any message; it
                  # is written so that this reader gives it back, and gettext names it.
                  "\x04": "\\004"}
_TO_ESCAPE = re.compile('[\\\\"\a\b\t\n\v\f\r\x04]')


def _quoted(text: str) -> str:
    return '"%s"' % _TO_ESCAPE.sub(lambda m: _WRITE_ESCAPES[m.group()], text)


def _field(keyword: str, text: str, prefix: str) -> List[str]:
    """`msgid "..."`, broken after each line break as gettext breaks it."""
    if "\n" not in text[:-1]:
        return ["%s%s %s" % (prefix, keyword, _quoted(text))]
    parts = text.split("\n")
    lines = [p + "\n" for p in parts[:-1]] + ([parts[-1]] if parts[-1] else [])
    return ['%s%s ""' % (prefix, keyword)] + [prefix + _quoted(p) for p in lines]


_SPACE = re.compile(r"\s")


def _reference(reference: str) -> str:
    if _SPACE.search(reference):
        return "\u2068%s\u2069" % reference
    return reference


def _has_space(texts: Iterable[str]) -> bool:
    """Whether any of the texts holds white space (as `\\s` matches it)."""
    joined = "".join(texts)
    # str.split() splits at the characters `\s` matches; it is much faster than a search.
    parts = joined.split(None, 1)
    return bool(joined) and (len(parts) != 1 or len(parts[0]) != len(joined))


_references = operator.attrgetter("references")


def _comment_lines(prefix: str, text: str) -> List[str]:
    return [prefix + " " + row if row else prefix for row in text.split("\n")]


def po_header(language: str = "") -> Dict[str, str]:
    """The header fields a catalogue is written with: those `msgfmt -c` asks for."""
    return {
        "Project-Id-Version": "",
        "PO-Revision-Date": "",
        "Last-Translator": "",
        "Language-Team": "",
        "Language": language,
        "MIME-Version": "1.0",
        "Content-Type": "text/plain; charset=UTF-8",
        "Content-Transfer-Encoding": "8bit",
    }


def write_po(messages: Iterable[Message], header: Optional[Mapping[str, str]] = None,
             language: str = "", comment: str = "") -> bytes:
    """A PO file (UTF-8) holding the messages in the order given.

    `header` None writes `po_header(language)`; a given header (an earlier catalogue's,
    keeping its translators' fields) gets the fields `msgfmt -c` asks for where it
    lacks them, `language` when one is given, and the charset UTF-8. `comment` goes
    first, as `#` lines.
    """
    return _write_po(messages, header, language, comment, None)


def _write_po(messages: Iterable[Message], header: Optional[Mapping[str, str]],
              language: str, comment: str, joined: Optional[Sequence[str]]) -> bytes:
    """`write_po`; with `joined`, the references of the i-th message are joined[i],
    joined by NUL, and its own are not looked at (a catalogue being exported has its
    references in that form: splitting them only to join them again would cost more
    than the rest of the file)."""
    fields = po_header(language)
    if header is not None:
        fields = dict(header, **{k: v for k, v in fields.items() if k not in header})
        if language:
            fields["Language"] = language
    fields["Content-Type"] = "text/plain; charset=UTF-8"
    out: List[str] = []
    if comment:
        out += _comment_lines("#", comment)
    out += ['msgid ""', 'msgstr ""']
    out += [_quoted("%s: %s\n" % (name, value)) for name, value in fields.items()]
    messages = list(messages)
    # References rarely hold white space: when none does, none is looked for per message.
    spaced = joined is None and _has_space(chain.from_iterable(map(_references, messages)))
    # Written in pieces, each encoded on its own: references (mostly ASCII) are then
    # never widened to the characters of the texts around them.
    pieces: List[bytes] = []
    for index, message in enumerate(messages):
        out.append("")
        for text in message.comments:
            out += _comment_lines("#", text)
        for note in message.notes:
            out += _comment_lines("#.", note)
        block = ""
        if joined is None:
            references = message.references
            if spaced and references and _SPACE.search("".join(references)):
                references = [_reference(r) for r in references]
        elif _has_space(joined[index:index + 1]):
            references = [_reference(r) for r in joined[index].split("\0")]
        else:
            references = []
            if joined[index]:
                block = "#: " + joined[index].replace("\0", "\n#: ")
        if references:
            block = "#: " + "\n#: ".join(references)
        if block:
            pieces.append("\n".join(out).encode("utf-8"))
            pieces.append(block.encode("utf-8"))
            out = []
        if message.fuzzy:
            out.append("#, fuzzy")
        prefix = "#~ " if message.obsolete else ""
        if message.previous_source is not None:
            out += _field("msgid", message.previous_source, prefix + "#| " if not prefix
                          else "#~| ")
        if message.context is not None:
            out += _field("msgctxt", message.context, prefix)
        out += _field("msgid", message.source, prefix)
        out += _field("msgstr", message.translation, prefix)
    out.append("")
    pieces.append("\n".join(out).encode("utf-8"))
    return b"\n".join(pieces)
