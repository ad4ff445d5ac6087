#!/usr/bin/env python3
"""Coverage-guided fuzzing of BinArchive's Python surface with hostile arguments.

Each input is a session of calls read from the bytes by a small reader. Calls with
plain arguments (ints, int and str subclasses, strs, lists) are checked against the
plain-Python model of tests/test_differential.py: same result or same exception and
message, same state afterwards. Calls with hostile arguments (conversions that raise,
return the wrong type, call back into the archive or drop it; odd keywords) must raise
only documented exceptions, propagate the hook's own error, and change nothing when
they fail. Only `__main__` needs atheris; tests/test_fuzz_python_replay.py replays the
seed corpus through `run_session` without it.

    python fuzz/fuzz_python.py fuzz/corpus/python -max_total_time=45
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from test_differential import (  # noqa: E402
    HUGE, INT_WRITES, MAX_SIZE, NAMES, READS, ArchiveSession, assert_same_outcome, outcome)

from test_reentrancy import ExclusiveAccessError, SharedAccessError  # noqa: E402

ACCESS = (SharedAccessError, ExclusiveAccessError)
# Everything but shared-beside-shared is refused while a call converts its arguments.
SHARED = {"size", "serialize", "find_label_address", "read_bytes", "read_string",
          "read_pointer", "read_labels"} | set(READS)

# name: parameter kinds, in order; the keyword names come from the stubs.
METHODS = dict(
    [(n, ("addr",)) for n in list(READS) + ["read_string", "read_pointer", "read_labels",
                                             "delete_string", "delete_pointer",
                                             "delete_labels"]]
    + [(n, ("addr", "int")) for n in INT_WRITES],
    size=(), serialize=(), read_bytes=("addr", "amount"), delete_label=("addr", "amount"),
    write_f32=("addr", "float"), write_bytes=("addr", "bytes"), write_string=("addr", "str?"),
    write_pointer=("addr", "addr?"), write_labels=("addr", "labels"), write_label=("addr", "str"),
    find_label_address=("str",), allocate_at_end=("grow",), allocate=("addr", "grow"),
    deallocate=("addr", "amount"))
KEYWORDS = {"write_bytes": ("address", "bytes"), "find_label_address": ("target",),
            "write_labels": ("address", "labels"), "write_label": ("address", "label"),
            "allocate_at_end": ("amount_in_bytes",), "allocate": ("address", "amount_in_bytes"),
            "deallocate": ("address", "amount_in_bytes"), "delete_label": ("address", "index")}
ORDER = sorted(METHODS)
INNER = [("size", ()), ("serialize", ()), ("read_u8", (0,)), ("find_label_address", ("a",)),
         ("write_u8", (0, 1)), ("allocate_at_end", (0,)), ("write_label", (0, "i")),
         ("delete_labels", (0,))]


class Reader:
    """Hands out the input's bytes as small choices; zeros once the input runs out."""

    def __init__(self, data):
        self.data, self.at = data, 0

    def byte(self):
        self.at += 1
        return self.data[self.at - 1] if self.at <= len(self.data) else 0

    def pick(self, options):
        return options[self.byte() % len(options)]

    def left(self):
        return self.at < len(self.data)


class Fault(Exception):
    """The hooks' own error: the call must fail with this very object."""


class Interrupt(BaseException):
    """Like KeyboardInterrupt: no hook in the binding may swallow it."""


class IntSub(int):
    pass


class StrSub(str):
    pass


class Hook:
    """A conversion hook: raise, answer with the wrong type, call back into the archive
    (the inner call must be granted or refused as the access rules say), or drop it."""

    def __init__(self, reader, box, outer):
        self.box, self.outer = box, outer
        self.mode = reader.pick(["raise", "interrupt", "wrong", "reenter", "delete", "none"])
        self.inner = reader.pick(INNER)
        self.swallow = reader.byte() & 1
        self.raised = self.broken = None

    def fire(self, wrong):
        if self.mode in ("raise", "interrupt"):
            self.raised = Fault() if self.mode == "raise" else Interrupt()
            raise self.raised
        if self.mode == "wrong":
            return wrong
        if self.mode == "delete":
            self.box.archive = None
        elif self.mode == "reenter" and self.box.archive is not None:
            name, args = self.inner
            try:
                getattr(self.box.archive, name)(*args)
                refused = None
            except ACCESS as error:
                refused = error
            except (ValueError, TypeError):
                refused = None
            granted = self.outer in SHARED and name in SHARED
            expected = ExclusiveAccessError if name not in SHARED \
                else SharedAccessError
            if ((refused is None) if not granted else refused is not None) or \
                    (refused is not None and type(refused) is not expected):
                # Recorded, not raised: the size hint would swallow an AssertionError.
                self.broken = (self.outer, name, refused)
            if refused is not None and not self.swallow:
                self.raised = refused
                raise refused
        return None


class Number:
    def __init__(self, hook, value):
        self.hook, self.value = hook, value

    def __index__(self):
        wrong = self.hook.fire("7")
        return self.value if wrong is None else wrong

    def __float__(self):
        wrong = self.hook.fire(7)
        return float(self.value) if wrong is None else wrong


class Names:
    """A sequence of names whose __len__, __iter__ or __next__ runs the hook."""

    def __init__(self, hook, names, where):
        self.hook, self.names, self.where, self.at = hook, names, where, 0

    def __getitem__(self, index):
        return self.names[index]

    def __len__(self):
        try:
            wrong = self.hook.fire(-1) if self.where == 0 else None
        except Exception:
            self.hook.raised = None  # an Exception from the size hint is ignored by rule
            raise
        return len(self.names) if wrong is None else wrong

    def __iter__(self):
        wrong = self.hook.fire(5) if self.where == 1 else None
        self.at = 0
        return self if wrong is None else wrong

    def __next__(self):
        if self.where == 2 and self.at == 1:
            wrong = self.hook.fire(None)
            if wrong is None and self.hook.mode == "wrong":
                return 3
        if self.at == len(self.names):
            raise StopIteration
        self.at += 1
        return self.names[self.at - 1]


def plain(reader, kind, size):
    if kind in ("addr", "addr?"):
        return reader.pick([0, 4, 8, 12, size, size - 4, 1, 2 ** 1000, -2 ** 70] + HUGE)
    if kind == "grow":  # growth stays small: a valid amount of gigabytes would be real
        return reader.pick([0, 4, 8, 16, 3, 2 ** 63, 2 ** 64 - 4, -1]) if size < MAX_SIZE else 0
    if kind in ("int", "amount"):
        return reader.pick([0, 1, 4, 127, 128, 255, 256, -1, -129, 2 ** 31, -2 ** 31, 2 ** 32,
                            2 ** 64, -2 ** 64, 2 ** 200, True, IntSub(9), 1.0, "1"])
    if kind == "float":
        return reader.pick([0.0, -1.0, 1.5, 3.4e38, 1e39, -1e309, 2 ** 1024, 7, IntSub(3), "1"])
    if kind == "bytes":
        return reader.pick([b"", b"ab", b"\x00\xff\x01", bytearray(b"a"), "ab"])
    if kind == "labels":
        return [reader.pick(NAMES + ["\ud800", StrSub("s")]) for _ in range(reader.byte() % 4)]
    return reader.pick(NAMES + ["\udfff", "a\ud800b", StrSub("ab"), b"a", 1, None])


def model_form(value):
    """The value as the model sees it: subclasses as their plain base."""
    if type(value) is IntSub:
        return int(value)
    if type(value) is StrSub:
        return str(value)
    if type(value) is list:
        return [model_form(item) for item in value]
    return value


def hostile(reader, kind, value, box, outer):
    hook = Hook(reader, box, outer)
    if kind == "labels":
        return Names(hook, [str(n) for n in value], reader.byte() % 3), hook
    return Number(hook, value), hook


def resync(session):
    """After a hostile call that succeeded, the model takes the archive's state."""
    archive, model = session.archive, session.model
    size = archive.size()
    model.data = bytearray(archive.read_bytes(0, size) if size else b"")
    model.pointers, model.text, model.labels = {}, {}, {}
    for address in range(0, size - 3, 4):
        for table, read in ((model.pointers, archive.read_pointer),
                            (model.text, archive.read_string),
                            (model.labels, archive.read_labels)):
            found = read(address)
            if found is not None:
                table[address] = found


def step(session, box, reader):
    name = reader.pick(ORDER)
    kinds = METHODS[name]
    size = len(session.model.data)
    args = [plain(reader, kind, size) for kind in kinds]
    style = reader.byte() % 8
    if style < 5:  # plain arguments: the model decides the outcome
        model_call = getattr(session.model, name, None)
        if name == "size":
            model_call = lambda: len(session.model.data)  # noqa: E731
        elif name == "serialize":  # the model writes no files: go on with the reload
            written = outcome(box.archive.serialize)
            if written[0] != "ok":
                return
            reloaded = outcome(lambda: box.archive.from_bytes(bytes(written[1])))
            if reloaded[0] == "ok":  # a file the writer makes need not load or round-trip
                session.archive = reloaded[1]
                resync(session)
            return
        elif name in READS:
            model_call = lambda *a: session.model.read(name, *a)  # noqa: E731
        elif name in INT_WRITES:
            model_call = lambda *a: session.model.write_int(name, *a)  # noqa: E731
        model_args = [model_form(a) for a in args]
        expected = outcome(lambda: model_call(*model_args))
        actual = outcome(lambda: getattr(box.archive, name)(*args))
        assert_same_outcome(expected, actual, (name, args))
        session.same_state()
        return
    hooks, kwargs = [], {}
    if kinds and style < 7:
        which = reader.byte() % len(kinds)
        if kinds[which] in ("addr", "addr?", "int", "amount", "float", "grow", "labels"):
            args[which], hook = hostile(reader, kinds[which], args[which], box, name)
            hooks.append(hook)
    if style == 7:  # odd keywords: unknown, not a str, or a positional given twice
        names = KEYWORDS.get(name, ("address", "value")[:len(kinds)])
        kwargs = {reader.pick(list(names) + ["nope", 1, "address"]): reader.pick([0, 4, "a"])}
        args = args[:reader.byte() % (len(args) + 1)]
    before = outcome(box.archive.serialize)
    archive = box.archive
    try:
        getattr(archive, name)(*args, **kwargs)
        failed = None
    except (TypeError, OverflowError, ValueError, MemoryError, Fault, Interrupt) + ACCESS \
            as error:
        failed = error
    del archive
    for hook in hooks:
        assert hook.broken is None, ("access rule broken by the inner call", hook.broken)
        if hook.raised is not None:
            assert failed is hook.raised, (name, hook.mode, failed)
    if box.archive is None:  # dropped by a hook: the call kept it alive, now it is gone
        session.start(None)
        return
    if failed is not None:
        assert outcome(box.archive.serialize) == before, (name, "changed on failure", failed)
    resync(session)
    session.same_state()


def run_session(data):
    reader = Reader(data)
    session = ArchiveSession()
    session.start(None)
    for _ in range(24):
        if not reader.left():
            break
        step(session, session, reader)


if __name__ == "__main__":
    import atheris

    atheris.instrument_all()
    atheris.Setup(sys.argv, run_session)
    atheris.Fuzz()
