"""Where the commands' inputs come from and their outputs go, and the check that an
archive they write loads back to what they meant to write.

- `read_input(path)`: the bytes of a file; `-` is standard input.
- `write_output(path, data)`: `-` is standard output. A regular file (after following
  symbolic links to the real file) is replaced atomically: a temporary file beside it
  gets the data and the file's permissions, then is renamed over it, so a failed or
  interrupted run leaves the old file or the new one, never a part, and never a
  temporary file. Anything else that can be opened for writing (a device, a FIFO,
  `/dev/stdout`) is written to directly, as other command-line tools do. A directory
  is refused.
- `stage_output(path, data)`: the same in two steps, for a command that writes many
  files only once every one is ready: `Staged.commit()` or `Staged.discard()`.
- `make_directory(path)`: `--out-dir`, created if missing.
- `checked_archive(data, expected, name)`: `data` if it loads back to exactly the
  entries of `expected`, else a ToolError naming the first entry that does not.

Every failure is a ToolError whose text is one line that names the path.
"""
from __future__ import annotations

import os
import re
import stat
import sys
from dataclasses import dataclass
from typing import Any, List, Mapping, Optional, Tuple

from ._archive import Entries, ToolError, _shown, describe_characters, hex_address, read_file

STDIO = "-"


def shown_path(path: str) -> str:
    """The name of an input or output in messages."""
    return "<stdin>" if path == STDIO else path


def _failure(path: str, error: OSError) -> ToolError:
    return ToolError("%s: %s" % (shown_path(path), error.strerror or error))


def read_input(path: str) -> bytes:
    """The bytes of the file at `path`; `-` reads standard input to its end."""
    try:
        if path == STDIO:
            return sys.stdin.buffer.read()
        with open(path, "rb") as f:
            return f.read()
    except OSError as error:
        raise _failure(path, error) from None


def make_directory(path: str) -> None:
    """Creates the directory `path` and its parents unless it exists."""
    try:
        os.makedirs(path, exist_ok=True)
    except FileExistsError:
        raise ToolError("%s: exists and is not a directory" % path) from None
    except OSError as error:
        raise ToolError("%s: cannot create the directory: %s"
                        % (path, error.strerror or error)) from None


# Names of an open descriptor rather than of a file: /dev/stdout, /dev/fd/3,
# /proc/self/fd/3. Opening one anew would truncate what the shell redirected to
# (a `>>` log included), and replacing its target would leave the shell writing into
# a file that no longer has a name; the descriptor is written to as it is.
_DESCRIPTOR = re.compile(r"/dev/(stdin|stdout|stderr|fd/(\d+))|/proc/self/fd/(\d+)")
_STANDARD = {"stdin": 0, "stdout": 1, "stderr": 2}


def _descriptor(path: str) -> Optional[int]:
    match = _DESCRIPTOR.fullmatch(os.path.normpath(os.path.abspath(path)))
    if match is None or os.name != "posix":
        return None
    name, fd, proc_fd = match.groups()
    return int(fd or proc_fd) if (fd or proc_fd) else _STANDARD[name]


def _write_descriptor(fd: int, data: bytes) -> None:
    stream = {1: sys.stdout, 2: sys.stderr}.get(fd)
    if stream is not None:
        stream.flush()
        stream.buffer.write(data)
        stream.buffer.flush()
        return
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


@dataclass
class Staged:
    """An output written but not yet in place. `commit()` puts it there (renames the
    temporary file over the real one, or writes `data` to a descriptor, device or
    FIFO); `discard()` drops it. Plain data, so a worker process can hand it back."""

    path: str
    real: str = ""
    temp: str = ""
    data: Optional[bytes] = None
    fd: Optional[int] = None

    def commit(self) -> None:
        try:
            if self.temp:
                os.replace(self.temp, self.real)
                self.temp = ""
            elif self.fd is not None and self.data is not None:
                _write_descriptor(self.fd, self.data)
            elif self.data is not None:
                with open(self.path, "wb") as f:
                    f.write(self.data)
        except OSError as error:
            self.discard()
            raise _failure(self.path, error) from None
        self.data = None

    def discard(self) -> None:
        if self.temp:
            _remove(self.temp)
            self.temp = ""
        self.data = None


def stage_output(path: str, data: bytes) -> Staged:
    """Gets `data` ready to go to `path` (see `write_output`) without touching what is
    there: a regular file's replacement waits beside it in a temporary file."""
    staged = Staged(path)
    try:
        _stage(staged, data)
    except BaseException:
        staged.discard()
        raise
    return staged


def write_output(path: str, data: bytes) -> None:
    """Writes `data` to `path`, `-` being standard output (see the module's notes)."""
    staged = Staged(path)
    try:
        _stage(staged, data)
        staged.commit()
    except BaseException:
        staged.discard()
        raise


def _stage(staged: Staged, data: bytes) -> None:
    path = staged.path
    if not path:
        raise ToolError("the output's file name is empty")
    staged.fd = 1 if path == STDIO else _descriptor(path)
    if staged.fd is not None:
        staged.data = data
        return
    try:
        try:
            found: Optional[os.stat_result] = os.stat(path)
        except FileNotFoundError:
            found = None
        if (found is not None and stat.S_ISDIR(found.st_mode)) or path.endswith(("/", os.sep)):
            raise ToolError("%s: is a directory; name a file to write" % path)
        if found is not None and not stat.S_ISREG(found.st_mode):
            staged.data = data
            return
        staged.real = os.path.realpath(path)
        if found is not None:
            same = os.stat(staged.real)
            if (same.st_dev, same.st_ino) != (found.st_dev, found.st_ino):
                # Not reachable by a name (a descriptor's deleted file): write through it.
                staged.data = data
                return
    except OSError as error:
        raise _failure(path, error) from None
    _temporary(staged, found, data)


def _new_file_mode() -> int:
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


_TEMP_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)


def _temporary(staged: Staged, found: Optional[os.stat_result], data: bytes) -> None:
    """Writes `data` to a new temporary file beside `staged.real`, with the permissions
    (and, where allowed, the owner) of `found`, and records it in `staged.temp`.

    The temporary file's name is recorded before it is created, so the caller's
    cleanup removes it even when an interrupt lands inside the `open` call, after the
    file came into being. A name that exists already belongs to someone else: another
    name is tried, and that file is never removed.
    """
    path = staged.path
    directory, base = os.path.split(staged.real)
    for _ in range(100):
        staged.temp = os.path.join(directory, ".%s.%s.tmp" % (base, os.urandom(4).hex()))
        try:
            handle = os.open(staged.temp, _TEMP_FLAGS, 0o600)
            break
        except FileExistsError:
            staged.temp = ""
        except OSError as error:
            staged.temp = ""
            if not os.path.isdir(directory):
                raise _failure(path, error) from None
            raise ToolError("%s: cannot create a temporary file beside it: %s"
                            % (path, error.strerror or error)) from None
    else:
        raise ToolError("%s: cannot create a temporary file beside it" % path)
    try:
        with os.fdopen(handle, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        if found is not None and hasattr(os, "chown") and (
                found.st_uid, found.st_gid) != (os.geteuid(), os.getegid()):
            try:
                os.chown(staged.temp, found.st_uid, found.st_gid)
            except OSError:
                pass  # only the owner's permission bits can be kept
        os.chmod(staged.temp, found.st_mode & 0o7777 if found is not None else _new_file_mode())
    except OSError as error:
        raise _failure(path, error) from None


# The check that an archive file loads back to what was meant.

_KINDS = ("pointers", "texts", "labels")


def _changed_characters(meant: str, read: str) -> str:
    """"'¥' (U+00A5) becomes '\\' (U+005C)" when only single characters differ."""
    if len(meant) != len(read):
        return ""
    pairs = list(dict.fromkeys((a, b) for a, b in zip(meant, read) if a != b))
    return "; ".join("%s becomes %s" % (describe_characters(a), describe_characters(b))
                     for a, b in pairs[:3])


def _difference(kind: str, meant: Any, read: Any) -> str:
    if read is None:
        return "not in the written file"
    if meant is None:
        return "appears in the written file, which was not meant to hold it"
    if kind == "pointers":
        return "destination %s reads back as %s" % (hex_address(meant), hex_address(read))
    if kind == "texts":
        changed = _changed_characters(meant, read)
    else:
        changed = "; ".join(filter(None, map(_changed_characters, meant, read)))
    reason = "%s reads back as %s" % (_shown(meant), _shown(read))
    return reason + (" (%s)" % changed if changed else "")


def _unkept(expected: Entries) -> List[Tuple[int, int, str]]:
    """Entries the file format cannot carry, known without writing the file."""
    size = expected.size
    found = [(a, 0, "destination %s lies beyond the data region (size %s)"
              % (hex_address(d), hex_address(size)))
             for a, d in expected.pointers.items() if d > size]
    found += [(a, 0, "the slot also holds a text entry, and a file keeps only the text")
              for a in expected.pointers.keys() & expected.texts.keys()]
    found += [(a, 2, "an empty label list is not kept in a file")
              for a, names in expected.labels.items() if not names]
    return found


def archive_problem(data: bytes, expected: Entries) -> Optional[str]:
    """Why the archive file `data` does not load back to `expected`, naming the first
    entry in address order that does not ("pointers entry 0x10: ..."); None if it does.
    """
    unkept = _unkept(expected)
    if unkept:
        address, kind, reason = min(unkept)
        return "%s entry %s: %s" % (_KINDS[kind], hex_address(address), reason)
    try:
        found = read_file(data)[1]
    except ToolError as error:
        return "the written file would not load: %s" % error
    if found.size != expected.size:
        return "the data region would have %s bytes instead of %s" % (
            hex_address(found.size), hex_address(expected.size))
    wrong: List[Tuple[int, int, str]] = []
    pairs: List[Tuple[Mapping[int, Any], Mapping[int, Any]]] = [
        (expected.pointers, found.pointers), (expected.texts, found.texts),
        (expected.labels, found.labels)]
    for kind, (meant, read) in enumerate(pairs):
        if meant != read:
            address = min(a for a in meant.keys() | read.keys() if meant.get(a) != read.get(a))
            wrong.append((address, kind, _difference(_KINDS[kind], meant.get(address),
                                                     read.get(address))))
    if not wrong:
        return None
    address, kind, reason = min(wrong)
    return "%s entry %s: %s" % (_KINDS[kind], hex_address(address), reason)


def checked_archive(data: bytes, expected: Entries, name: str) -> bytes:
    """`data`, an archive file, if it loads back to exactly the pointers, texts, label
    lists and data size of `expected`; otherwise ToolError "NAME: pointers entry 0x10:
    destination 0xFFFFFFFF lies beyond the data region (size 0x1F50)".

    The bytes of slots are not compared: the file holds each slot's destination or
    string position there, whatever `expected.data` had.
    """
    problem = archive_problem(data, expected)
    if problem is not None:
        raise ToolError("%s: %s" % (shown_path(name), problem))
    return data
