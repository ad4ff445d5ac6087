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
   removed (Myers' algorithm). A large middle (over `_LARGE` words), or one too
   different for that search (more than `_MAX_COST` words inserted plus removed), is
   first cut at a block of words found once on each side; one where no such block is
   found is compared word by word from its start.
3. Within one gap between matched words, the words of both sides are paired as
   changed words, as many as both sides have, at the start of the gap or at its end,
   the rest being one removed or one inserted span; or the whole gap is one removed
   and one inserted span. The choice is the one that reports fewer items (changed
   bytes count one, a span one, each entry that differs or is inserted one); on a
   tie, changed words at the start. So an overwrite that keeps the length and the
   entries is reported as changed bytes, never as a removal and an insertion.

The result is a list of segments covering both archives in order: `same` (equal
words), `changed` (as many words on both sides, some differing), `removed` (words of A
only) and `inserted` (words of B only), and the address maps derived from it.
"""
from __future__ import annotations

import bisect
import zlib
from array import array
from dataclasses import dataclass
from typing import Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from ._archive import Entries

__all__ = ["Alignment", "Segment", "align"]

_POINTER, _TEXT, _LABELS = 1, 2, 4
_MAX_COST = 400         # Myers' search is quadratic in this bound
_BLOCK = 16             # words in a block used to split a large middle
_LARGE = 8192           # words in a middle that is split before searching


@dataclass(frozen=True)
class Segment:
    """A stretch of A (`a`, `a_size` bytes) and its counterpart in B (`b`, `b_size`).
    `kind` is same, changed, removed (b_size 0) or inserted (a_size 0)."""

    kind: str
    a: int
    a_size: int
    b: int
    b_size: int


class _Words:
    """The data as words: `data` holds their 4 bytes (blank in pointer and text
    slots), `meta` 2 bytes per word: what the slot carries, and a digest of its text,
    label names and the bytes its pointer points to (so that neighbouring entries are
    told apart). A short last word is padded, its marker telling how many bytes it
    lacks."""

    def __init__(self, found: Entries) -> None:
        data = found.data
        count = (len(data) + 3) // 4
        words = array("I")
        words.frombytes(bytes(data) + bytes(4 * count - len(data)))
        meta = bytearray(2 * count)
        size = len(data)
        for address in found.pointers:
            if address % 4 == 0 and address + 4 <= size:
                words[address >> 2] = 0
                meta[address >> 1] |= _POINTER
        # Digests are the same in every process (Python's own hash of a string is not),
        # so that two runs on the same archives align them the same way.
        for address, text in found.texts.items():
            if address % 4 == 0 and address + 4 <= size:
                k = address >> 2
                words[k] = 0
                meta[2 * k] |= _TEXT
                meta[2 * k + 1] = _digest(text)
        for address, names in found.labels.items():
            if address % 4 == 0 and address + 4 <= size:
                meta[address >> 1] |= _LABELS
                meta[(address >> 1) + 1] ^= _digest("\0".join(names)) ^ 0x5A
        if size % 4:
            meta[-2] |= (4 - size % 4) << 3
        self.raw = bytes(data) + bytes(4 * count - size)
        self.data = blanked = words.tobytes()
        for address, target in found.pointers.items():
            # A pointer is known by the bytes it points to, which move with it.
            if address % 4 == 0 and address + 4 <= size:
                meta[(address >> 1) + 1] ^= zlib.crc32(blanked[target:target + 4]) & 0xFF
        self.meta = bytes(meta)
        self.count = count


def _digest(text: str) -> int:
    """8 bits of a text, the same in every process."""
    return zlib.crc32(text.encode("utf-8", "surrogatepass")) & 0xFF


def _label_keys(labels: Mapping[int, Sequence[str]]) -> List[Tuple[Tuple[str, int], int]]:
    """(first name, its count so far) and the address of every labelled slot, by address."""
    seen: Dict[str, int] = {}
    keys = []
    addresses = list(labels)
    if any(p > q for p, q in zip(addresses, addresses[1:])):
        addresses.sort()
    get = seen.get
    for address in addresses:
        names = labels[address]
        if names and not address & 3:
            name = names[0]
            k = get(name, 0) + 1
            seen[name] = k
            keys.append(((name, k), address))
    return keys


def _anchors(a: Entries, b: Entries, x: _Words, y: _Words) -> List[Tuple[int, int]]:
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
    xd, yd, xm, ym = x.data, y.data, x.meta, y.meta
    pairs = []
    get = in_b.get
    for key, address in keys_a:
        there = get(key)
        if there is None or count_a[key[0]] != count_b[key[0]]:
            continue
        if xd[address:address + 4] == yd[there:there + 4] and \
                xm[address >> 1:(address >> 1) + 2] == ym[there >> 1:(there >> 1) + 2]:
            pairs.append((address >> 2, there >> 2))
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


def _run_length(limit: int, equal: Callable[[int, int], bool]) -> int:
    """How long a run of equal words is (at most limit), `equal(n, k)` telling whether
    the k words after the first n are: blocks that double while equal and halve when
    not, so a run of L words costs O(L) bytes compared in O(log L) steps."""
    n, step = 0, 1
    while n < limit:
        k = min(step, limit - n)
        if equal(n, k):
            n += k
            step = 2 * k
        elif k == 1:
            break
        else:
            step = k // 2
    return n


class _Aligner:
    def __init__(self, x: _Words, y: _Words) -> None:
        self.x = x.data
        self.y = y.data
        self.xm = x.meta
        self.ym = y.meta
        self.ops: List[Tuple[str, int, int, int, int]] = []  # kind, word ranges

    def equal(self, i: int, j: int, n: int) -> bool:
        return (self.x[4 * i:4 * (i + n)] == self.y[4 * j:4 * (j + n)]
                and self.xm[2 * i:2 * (i + n)] == self.ym[2 * j:2 * (j + n)])

    def common_prefix(self, i: int, j: int, limit: int) -> int:
        """How many words from x[i] and y[j] on are equal (at most limit)."""
        return _run_length(limit, lambda n, k: self.equal(i + n, j + n, k))

    def common_suffix(self, i: int, j: int, limit: int) -> int:
        """How many words ending before x[i] and y[j] are equal (at most limit)."""
        return _run_length(limit, lambda n, k: self.equal(i - n - k, j - n - k, k))

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
        if (i2 - i) + (j2 - j) > _LARGE:
            # A large middle is cut at a block found once on each side first, so that
            # the quadratic search runs on small pieces.
            split = self.split(i, i2, j, j2)
            if split is not None:
                self.span(i, split[0], j, split[1])
                self.span(split[0], i2, split[1], j2)
                return
        moves = self.myers(i, i2, j, j2)
        if moves is not None:
            for op in moves:
                self.emit(*op)
            return
        split = self.split(i, i2, j, j2)
        if split is not None:
            si, sj = split
            self.span(i, si, j, sj)
            self.span(si, i2, sj, j2)
            return
        self.emit("gap", i, i2, j, j2)

    def split(self, i: int, i2: int, j: int, j2: int) -> Optional[Tuple[int, int]]:
        """A block of words that occurs once in x[i:i2] and once in y[j:j2]."""
        u = 4
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
            if (at - start) % 4 == 0:
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
        # The segments holding bytes of A (of B), by start: the others are empty there.
        self._in_a = [s for s in segments if s.a_size]
        self._a_starts = [s.a for s in self._in_a]
        self._in_b = [s for s in segments if s.b_size]
        self._b_starts = [s.b for s in self._in_b]

    def _at_a(self, address: int) -> Optional[Segment]:
        """The segment holding A's byte at address (an address below a_size)."""
        k = bisect.bisect_right(self._a_starts, address) - 1
        return self._in_a[k] if k >= 0 else None

    def to_b(self, address: int) -> Optional[int]:
        """Where A's byte at address is in B; None for a removed byte. Addresses at
        or past the end follow the end."""
        return self._follow(address, True)

    def to_a(self, address: int) -> Optional[int]:
        """Where B's byte at address came from in A; None for an inserted byte."""
        return self._follow(address, False)

    def _follow(self, address: int, forward: bool) -> Optional[int]:
        size, other_size = (self.a_size, self.b_size) if forward else (self.b_size, self.a_size)
        if address >= size:
            return address - size + other_size
        starts, segments = (self._a_starts, self._in_a) if forward else (self._b_starts,
                                                                          self._in_b)
        s = segments[bisect.bisect_right(starts, address) - 1]
        if s.kind == ("removed" if forward else "inserted"):
            return None
        here, there, there_size = (s.a, s.b, s.b_size) if forward else (s.b, s.a, s.a_size)
        offset = address - here
        return there + offset if offset < there_size else there + there_size - 1

    def map_sorted(self, addresses: Iterable[int]) -> List[Optional[int]]:
        """`to_b` of each of the ascending addresses, in one walk over the segments."""
        out: List[Optional[int]] = []
        segments = self._in_a
        k, last = 0, len(segments) - 1
        for address in addresses:
            if address >= self.a_size:
                out.append(address - self.a_size + self.b_size)
                continue
            while k < last and segments[k + 1].a <= address:
                k += 1
            s = segments[k]
            if s.kind == "removed":
                out.append(None)
            else:
                offset = address - s.a
                out.append(s.b + offset if offset < s.b_size else s.b + s.b_size - 1)
        return out

    def removed_at(self, address: int) -> Optional[Segment]:
        """The removed segment holding A's byte at address, if any."""
        if address >= self.a_size or address < 0:
            return None
        s = self._at_a(address)
        return s if s is not None and s.kind == "removed" else None

    def inserted_at(self, address: int) -> Optional[Segment]:
        """The inserted segment holding B's byte at address, if any."""
        if address >= self.b_size or address < 0:
            return None
        k = bisect.bisect_right(self._b_starts, address) - 1
        s = self._in_b[k]
        return s if s.kind == "inserted" else None


def _items(x: _Words, i: int, y: _Words, j: int, n: int) -> int:
    """About how many items pairing the n words at x[i] and y[j] as changed reports:
    one for any bytes changed, and one per slot whose entries differ."""
    xm, ym = x.meta[2 * i:2 * (i + n)], y.meta[2 * j:2 * (j + n)]
    count = 0
    xd, yd = x.raw[4 * i:4 * (i + n)], y.raw[4 * j:4 * (j + n)]
    if xd != yd:
        # Bytes under B's pointers and texts are not compared (the file keeps the
        # destination or string position there).
        count = 1 if any(xd[4 * k:4 * k + 4] != yd[4 * k:4 * k + 4] and not ym[2 * k] & 3
                         for k in range(n)) else 0
    if xm != ym:
        for k in range(0, 2 * n, 2):
            if xm[k:k + 2] != ym[k:k + 2]:
                flags = (xm[k] ^ ym[k]) & 7
                if xm[k] & _POINTER and not ym[k] & _POINTER:
                    flags &= ~_POINTER  # most often dropped with a removed span
                count += bin(flags).count("1") or (1 if ym[k] & 7 else 0)
    return count


def _entries_in(y: _Words, j: int, j2: int) -> int:
    """How many entries the words y[j:j2] carry (each added if they are inserted)."""
    return sum(bin(f & 7).count("1") for f in y.meta[2 * j:2 * j2:2])


def _segments(ops: Iterable[Tuple[str, int, int, int, int]], a_size: int,
              b_size: int, x: _Words, y: _Words) -> List[Segment]:
    """Word runs as byte segments. A gap becomes changed words (as many as both sides
    have, at its start or at its end) and the rest removed or inserted, or all of it
    removed and inserted: whichever reports fewer items, counting one for changed
    bytes, one for the span, one per entry that differs or is inserted; on a tie,
    changed words at the start."""
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
        n, m = i2 - i, j2 - j
        both = min(n, m)
        choice = "start"
        if both and both <= 4096:
            rest = 1 if n != m else 0
            start = _items(x, i, y, j, both) + rest + _entries_in(y, j + both, j2)
            costs = [(start, 0, "start")]
            if n != m:
                costs.append((_items(x, i2 - both, y, j2 - both, both) + rest
                              + _entries_in(y, j, j2 - both), 1, "end"))
            costs.append((2 + _entries_in(y, j, j2), 2, "apart"))
            choice = min(costs)[2]
        if choice == "apart":
            add("removed", i, i2, j, j)
            add("inserted", i2, i2, j, j2)
        elif choice == "end":
            if n > both:
                add("removed", i, i2 - both, j, j)
            else:
                add("inserted", i, i, j, j2 - both)
            add("changed", i2 - both, i2, j2 - both, j2)
        else:
            add("changed", i, i + both, j, j + both)
            if n > both:
                add("removed", i + both, i2, j + both, j + both)
            elif m > both:
                add("inserted", i + both, i + both, j + both, j2)
    return out


def align(a: Entries, b: Entries) -> Alignment:
    """The alignment of B on A (see the module's description)."""
    x, y = _Words(a), _Words(b)
    aligner = _Aligner(x, y)
    bounds = [(0, 0)] + _anchors(a, b, x, y) + [(x.count, y.count)]

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
