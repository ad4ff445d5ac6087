"""Alignment: which bytes of archive A became which bytes of archive B.

`allocate` and `deallocate` move every byte, entry and label behind the change, so two
versions of an archive are compared by matching their contents, not their addresses.

How the alignment decides, in this order:

1. Labels first. A labelled slot is known by the first name of its list and how many
   slots before it start with the same name (its place: `ITEMS`, `ITEMS[2]`). The
   labelled slots both archives share, with the same word (step 2) on both sides, are
   matched in the longest run that keeps the same order in both; a first name that
   starts more lists on one side than on the other is not used. Every other labelled
   slot is left to step 2.
2. Between two matched labels the data is compared as 4-byte words, since the module
   inserts and removes only whole words at word addresses. A word is its four bytes
   together with what its slot carries (a pointer and the bytes it points to, a text
   and which, labels and which); the bytes of a slot
   that holds a pointer or a text count as blank, because the file stores there a
   destination or a string position that moves whenever anything else moves. Equal
   stretches of the same length are matched at once; otherwise the common beginning
   and end are matched, and the middle is aligned with the fewest words inserted plus
   removed (Myers' algorithm). A middle too different for that within a bound (more
   than `_MAX_COST` words) is split at a block of words found once on each side, and
   failing that is compared word by word from its start.
3. Within one gap between matched words, the removed and inserted words are paired
   as changed words, as many as both sides have, at the start of the gap, or at its
   end when fewer bytes differ there; the rest is one removed or one inserted span. So an overwrite that
   keeps the length is always reported as changed bytes, never as a removal and an
   insertion, and a gap is reported as at most two items.

The result is a list of segments covering both archives in order: `same` (equal
words), `changed` (as many words on both sides, some differing), `removed` (words of A
only) and `inserted` (words of B only), and the address maps derived from it.
"""
from __future__ import annotations

import bisect
from dataclasses import dataclass
from typing import Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from ._archive import Entries

__all__ = ["Alignment", "Segment", "align"]

_UNIT = 6               # a word: its 4 bytes, what its slot carries, a digest
_POINTER, _TEXT, _LABELS = 1, 2, 4
_MAX_COST = 400         # Myers' search is quadratic in this bound
_BLOCK = 16             # words in a block used to split a large middle


@dataclass(frozen=True)
class Segment:
    """A stretch of A (`a`, `a_size` bytes) and its counterpart in B (`b`, `b_size`).
    `kind` is same, changed, removed (b_size 0) or inserted (a_size 0)."""

    kind: str
    a: int
    a_size: int
    b: int
    b_size: int


def _words(found: Entries) -> bytes:
    """The data as 6-byte words: 4 bytes (blank in pointer and text slots), a byte
    telling what the slot carries, and a byte digesting its text and label names (so
    that two neighbouring texts are told apart). A short last word is padded, its
    marker telling how many bytes it lacks."""
    data = found.data
    count = (len(data) + 3) // 4
    padded = bytearray(data)
    padded += bytes(4 * count - len(data))
    markers = bytearray(count)
    digests = bytearray(count)
    for address in found.pointers:
        if address % 4 == 0 and address + 4 <= len(data):
            padded[address:address + 4] = b"\0\0\0\0"
            markers[address >> 2] |= _POINTER
    for address, text in found.texts.items():
        if address % 4 == 0 and address + 4 <= len(data):
            padded[address:address + 4] = b"\0\0\0\0"
            markers[address >> 2] |= _TEXT
            digests[address >> 2] = hash(text) & 0xFF
    for address, names in found.labels.items():
        if address % 4 == 0 and address + 4 <= len(data):
            markers[address >> 2] |= _LABELS
            digests[address >> 2] ^= (hash(tuple(names)) >> 8) & 0xFF
    for address, target in found.pointers.items():
        # A pointer is known by the bytes it points to, which move with it.
        if address % 4 == 0 and address + 4 <= len(data):
            digests[address >> 2] ^= hash(bytes(padded[target:target + 4])) & 0xFF
    if len(data) % 4:
        markers[-1] |= (4 - len(data) % 4) << 3
    out = bytearray(_UNIT * count)
    for i in range(4):
        out[i::_UNIT] = padded[i::4]
    out[4::_UNIT] = markers
    out[5::_UNIT] = digests
    return bytes(out)


def _label_keys(labels: Mapping[int, Sequence[str]]) -> List[Tuple[Tuple[str, int], int]]:
    """(first name, its count so far) and the address of every labelled slot, by address."""
    seen: Dict[str, int] = {}
    keys = []
    for address in sorted(labels):
        names = labels[address]
        if names and address % 4 == 0:
            seen[names[0]] = seen.get(names[0], 0) + 1
            keys.append(((names[0], seen[names[0]]), address))
    return keys


def _anchors(a: Entries, b: Entries, x: bytes, y: bytes) -> List[Tuple[int, int]]:
    """Matched labelled slots as (word in A, word in B): the longest chain of shared
    label keys that rises in both archives. A first name that starts a different
    number of lists in A and B is left out (its counts no longer say which is which),
    and so is a pair whose words differ."""
    keys_a, keys_b = _label_keys(a.labels), _label_keys(b.labels)
    count_a: Dict[str, int] = {}
    count_b: Dict[str, int] = {}
    for (name, _), _address in keys_a:
        count_a[name] = count_a.get(name, 0) + 1
    for (name, _), _address in keys_b:
        count_b[name] = count_b.get(name, 0) + 1
    in_b = dict(keys_b)
    u = _UNIT
    pairs = [(address >> 2, in_b[key] >> 2) for key, address in keys_a
             if key in in_b and count_a[key[0]] == count_b[key[0]]
             and x[u * (address >> 2):u * (address >> 2) + u]
             == y[u * (in_b[key] >> 2):u * (in_b[key] >> 2) + u]]
    # Longest strictly increasing run of B words, in A order (patience sorting).
    tails: List[int] = []
    tail_at: List[int] = []
    back: List[int] = []
    for i, (_, word) in enumerate(pairs):
        k = bisect.bisect_left(tails, word)
        back.append(tail_at[k - 1] if k else -1)
        if k == len(tails):
            tails.append(word)
            tail_at.append(i)
        else:
            tails[k] = word
            tail_at[k] = i
    chain = []
    i = tail_at[-1] if tail_at else -1
    while i != -1:
        chain.append(pairs[i])
        i = back[i]
    chain.reverse()
    return chain


class _Aligner:
    def __init__(self, x: bytes, y: bytes) -> None:
        self.x = x
        self.y = y
        self.ops: List[Tuple[str, int, int, int, int]] = []  # kind, word ranges

    def equal(self, i: int, j: int, n: int) -> bool:
        u = _UNIT
        return self.x[u * i:u * (i + n)] == self.y[u * j:u * (j + n)]

    def common_prefix(self, i: int, j: int, limit: int) -> int:
        """How many words from x[i] and y[j] on are equal (at most limit)."""
        if limit <= 0 or not self.equal(i, j, 1):
            return 0
        if self.equal(i, j, limit):
            return limit
        low, step = 1, 2
        while step < limit and self.equal(i, j, step):
            low, step = step, step * 2
        high = min(step, limit)  # x[i:i+high] differs somewhere
        while high - low > 1:
            mid = (low + high) // 2
            if self.equal(i, j, mid):
                low = mid
            else:
                high = mid
        return low

    def common_suffix(self, i: int, j: int, limit: int) -> int:
        """How many words ending before x[i] and y[j] are equal (at most limit)."""
        if limit <= 0 or not self.equal(i - 1, j - 1, 1):
            return 0
        if self.equal(i - limit, j - limit, limit):
            return limit
        low, high = 1, limit
        step = 2
        while step < limit and self.equal(i - step, j - step, step):
            low, step = step, step * 2
        high = min(step, limit)
        while high - low > 1:
            mid = (low + high) // 2
            if self.equal(i - mid, j - mid, mid):
                low = mid
            else:
                high = mid
        return low

    def emit(self, kind: str, i: int, i2: int, j: int, j2: int) -> None:
        if i2 == i and j2 == j:
            return
        if self.ops and self.ops[-1][0] == kind and self.ops[-1][2] == i and self.ops[-1][4] == j:
            last = self.ops[-1]
            self.ops[-1] = (kind, last[1], i2, last[3], j2)
        else:
            self.ops.append((kind, i, i2, j, j2))

    def span(self, i: int, i2: int, j: int, j2: int) -> None:
        """Aligns x[i:i2] with y[j:j2], appending to ops."""
        n, m = i2 - i, j2 - j
        if n == m and self.equal(i, j, n):
            self.emit("same", i, i2, j, j2)
            return
        head = self.common_prefix(i, j, min(n, m))
        tail = self.common_suffix(i2, j2, min(n, m) - head)
        self.emit("same", i, i + head, j, j + head)
        self.middle(i + head, i2 - tail, j + head, j2 - tail)
        self.emit("same", i2 - tail, i2, j2 - tail, j2)

    def middle(self, i: int, i2: int, j: int, j2: int) -> None:
        if i == i2 or j == j2:
            self.emit("gap", i, i2, j, j2)
            return
        moves = self.myers(i, i2, j, j2)
        if moves is not None:
            for op in moves:
                self.emit(*op)
            return
        split = self.split(i, i2, j, j2)
        if split is not None:
            si, sj = split
            self.middle_span(i, si, j, sj)
            self.span(si, i2, sj, j2)
            return
        self.emit("gap", i, i2, j, j2)

    def middle_span(self, i: int, i2: int, j: int, j2: int) -> None:
        self.span(i, i2, j, j2)

    def split(self, i: int, i2: int, j: int, j2: int) -> Optional[Tuple[int, int]]:
        """A block of words that occurs once in x[i:i2] and once in y[j:j2]."""
        u = _UNIT
        n = i2 - i
        if n < 2 * _BLOCK or j2 - j < _BLOCK:
            return None
        for fraction in (2, 4, 4 / 3.0, 8, 8 / 7.0):
            at = i + int(n / fraction)
            at = min(max(at, i), i2 - _BLOCK)
            block = self.x[u * at:u * (at + _BLOCK)]
            if self._once(self.x, block, u * i, u * i2) is None:
                continue
            found = self._once(self.y, block, u * j, u * j2)
            if found is not None:
                return at, found // u
        return None

    @staticmethod
    def _once(data: bytes, block: bytes, start: int, end: int) -> Optional[int]:
        """The word-aligned offset of the only word-aligned occurrence of block."""
        found = None
        at = data.find(block, start, end)
        while at != -1:
            if (at - start) % _UNIT == 0:
                if found is not None:
                    return None
                found = at
            at = data.find(block, at + 1, end)
        return found

    def myers(self, i: int, i2: int, j: int, j2: int) -> Optional[List[Tuple[str, int, int, int, int]]]:
        """The fewest words removed plus inserted turning x[i:i2] into y[j:j2], as
        runs, or None above _MAX_COST."""
        n, m = i2 - i, j2 - j
        limit = min(_MAX_COST, n + m)
        v: Dict[int, int] = {1: 0}
        trace: List[Dict[int, int]] = []
        for d in range(limit + 1):
            trace.append(dict(v))
            for k in range(-d, d + 1, 2):
                if k == -d or (k != d and v[k - 1] < v[k + 1]):
                    x = v[k + 1]
                else:
                    x = v[k - 1] + 1
                y = x - k
                if x < n and y < m:
                    x += self.common_prefix(i + x, j + y, min(n - x, m - y))
                v[k] = x
                if x >= n and x - k >= m:
                    return self._path(trace, v, d, k, i, j)
        return None

    @staticmethod
    def _path(trace: List[Dict[int, int]], v_end: Dict[int, int], d: int, k: int,
              i: int, j: int) -> List[Tuple[str, int, int, int, int]]:
        x = v_end[k]
        y = x - k
        runs: List[Tuple[str, int, int, int, int]] = []
        while d > 0:
            v = trace[d]
            if k == -d or (k != d and v[k - 1] < v[k + 1]):
                prev_k = k + 1
            else:
                prev_k = k - 1
            prev_x = v[prev_k]
            prev_y = prev_x - prev_k
            start_x = prev_x if prev_k == k + 1 else prev_x + 1
            start_y = start_x - k
            if x > start_x:
                runs.append(("same", i + start_x, i + x, j + start_y, j + y))
            runs.append(("gap", i + prev_x, i + start_x, j + prev_y, j + start_y))
            x, y, k, d = prev_x, prev_y, prev_k, d - 1
        if x > 0:
            runs.append(("same", i, i + x, j, j + y))
        runs.reverse()
        return runs


class Alignment:
    """Segments covering A and B in order, and the maps between their addresses."""

    def __init__(self, segments: List[Segment], a_size: int, b_size: int) -> None:
        self.segments = segments
        self.a_size = a_size
        self.b_size = b_size
        self._a_starts = [s.a for s in segments]
        self._b_starts = [s.b for s in segments]

    def _at_a(self, address: int) -> Optional[Segment]:
        """The segment holding A's byte at address (not an inserted one)."""
        k = bisect.bisect_right(self._a_starts, address) - 1
        while k >= 0 and self.segments[k].a_size == 0:
            k -= 1
        while 0 <= k < len(self.segments) - 1 and self.segments[k].a + self.segments[k].a_size <= address:
            k += 1
        if k < 0:
            return None
        s = self.segments[k]
        return s if s.a <= address < s.a + s.a_size else None

    def to_b(self, address: int) -> Optional[int]:
        """Where A's byte at address is in B; None for a removed byte. Addresses at
        or past the end follow the end."""
        if address >= self.a_size:
            return address - self.a_size + self.b_size
        s = self._at_a(address)
        if s is None or s.kind == "removed":
            return None
        return s.b + min(address - s.a, s.b_size - 1)

    def to_a(self, address: int) -> Optional[int]:
        """Where B's byte at address came from in A; None for an inserted byte."""
        if address >= self.b_size:
            return address - self.b_size + self.a_size
        k = bisect.bisect_right(self._b_starts, address) - 1
        while k >= 0 and self.segments[k].b_size == 0:
            k -= 1
        while 0 <= k < len(self.segments) - 1 and self.segments[k].b + self.segments[k].b_size <= address:
            k += 1
        if k < 0:
            return None
        s = self.segments[k]
        if s.kind == "inserted" or not s.b <= address < s.b + s.b_size:
            return None
        return s.a + min(address - s.b, s.a_size - 1)

    def removed_at(self, address: int) -> Optional[Segment]:
        """The removed segment holding A's byte at address, if any."""
        if address >= self.a_size:
            return None
        s = self._at_a(address)
        return s if s is not None and s.kind == "removed" else None

    def inserted_at(self, address: int) -> Optional[Segment]:
        """The inserted segment holding B's byte at address, if any."""
        k = bisect.bisect_right(self._b_starts, address) - 1
        while k >= 0:
            s = self.segments[k]
            if s.b_size:
                return s if s.kind == "inserted" and address < s.b + s.b_size else None
            k -= 1
        return None


def _differing(x: bytes, i: int, y: bytes, j: int, n: int) -> int:
    """How many data bytes differ between the n words at x[i] and y[j]."""
    u = _UNIT
    a, b = x[u * i:u * (i + n)], y[u * j:u * (j + n)]
    return sum(1 for k in range(len(a)) if k % u < 4 and a[k] != b[k])


def _segments(ops: Iterable[Tuple[str, int, int, int, int]], a_size: int,
              b_size: int, x: bytes, y: bytes) -> List[Segment]:
    """Word runs as byte segments; a gap becomes changed words and the rest, the
    changed words at the start of the gap, or at its end where that leaves fewer
    bytes changed."""
    out: List[Segment] = []

    def add(kind: str, i: int, i2: int, j: int, j2: int) -> None:
        a, a_end = min(4 * i, a_size), min(4 * i2, a_size)
        b, b_end = min(4 * j, b_size), min(4 * j2, b_size)
        if a == a_end and b == b_end:
            return
        if out and out[-1].kind == kind:
            last = out[-1]
            out[-1] = Segment(kind, last.a, a_end - last.a, last.b, b_end - last.b)
        else:
            out.append(Segment(kind, a, a_end - a, b, b_end - b))

    for kind, i, i2, j, j2 in ops:
        if kind == "same":
            add("same", i, i2, j, j2)
            continue
        both = min(i2 - i, j2 - j)
        if both and i2 - i != j2 - j and both <= 4096 and \
                _differing(x, i2 - both, y, j2 - both, both) < _differing(x, i, y, j, both):
            if i2 - i > both:
                add("removed", i, i2 - both, j, j)
            else:
                add("inserted", i, i, j, j2 - both)
            add("changed", i2 - both, i2, j2 - both, j2)
            continue
        add("changed", i, i + both, j, j + both)
        if i2 - i > both:
            add("removed", i + both, i2, j + both, j + both)
        elif j2 - j > both:
            add("inserted", i + both, i + both, j + both, j2)
    return out


def align(a: Entries, b: Entries) -> Alignment:
    """The alignment of B on A (see the module's description)."""
    x, y = _words(a), _words(b)
    aligner = _Aligner(x, y)
    bounds = [(0, 0)] + _anchors(a, b, x, y) + [(len(x) // _UNIT, len(y) // _UNIT)]

    def spans(lo: int, hi: int) -> None:
        """Aligns the stretches between bounds[lo] and bounds[hi]; a run of them with
        one shift is compared in one go first."""
        (i, j), (i2, j2) = bounds[lo], bounds[hi]
        if i2 - i == j2 - j and aligner.equal(i, j, i2 - i):
            aligner.emit("same", i, i2, j, j2)
        elif hi - lo == 1:
            aligner.span(i, i2, j, j2)
        else:
            mid = (lo + hi) // 2
            spans(lo, mid)
            spans(mid, hi)

    spans(0, len(bounds) - 1)
    return Alignment(_segments(_merge(aligner.ops), len(a.data), len(b.data), x, y),
                     len(a.data), len(b.data))


def _merge(ops: List[Tuple[str, int, int, int, int]]) -> List[Tuple[str, int, int, int, int]]:
    """Adjacent runs of one kind joined, so that a gap split by recursion is one gap."""
    out: List[Tuple[str, int, int, int, int]] = []
    for op in ops:
        if op[1] == op[2] and op[3] == op[4]:
            continue
        if out and out[-1][0] == op[0]:
            last = out[-1]
            out[-1] = (op[0], last[1], op[2], last[3], op[4])
        else:
            out.append(op)
    return out
