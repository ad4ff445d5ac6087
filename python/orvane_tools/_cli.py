"""The `orvane` command line: dump, decompile, compile, texts export/import, diff,
patch make/apply.

Expected failures (a missing file, a file that does not load, a malformed document or
translation) print one line naming the file and exit non-zero. Inputs and outputs go
through `_output`: `-` is standard input or output, a regular file is replaced
atomically (so a failed or interrupted run leaves no partial file, even when the
output is the input), and an archive is written only if it loads back to the entries
meant.
"""
from __future__ import annotations

import argparse
import gc
import codecs
import io
import json
import os
import re
import sys
import textwrap
from typing import Callable, Dict, Iterable, List, Optional, Sequence, Tuple, TypeVar

from tqdm import tqdm

from ._archive import Archive, Entries, ToolError, hex_address, read_file
from . import _formats as formats
from ._apply import ApplyOptions, ImportRun, check_catalogue, import_catalogue
from ._catalogue import (ArchiveFile, build_catalogue, export_catalogue, export_po,
                         find_archives)
from ._checks import read_charmap
from ._diff import compare, diff
from ._document import compile_entries, decompile
from ._formats import FORMATS
from ._jobs import default_jobs
from ._message import Message
from ._output import (STDIO, checked_archive, make_directory, read_input, shown_path,
                      write_output)
from ._patch import (Patch, apply_patch, archive_files, make_folder_patch, make_patch,
                     read_patch)
from ._po import read_po

PROG = "orvane"
T = TypeVar("T")


class Failed(Exception):
    """A command gave up after reporting; carries the exit status."""

    def __init__(self, status: int = 1) -> None:
        super().__init__(status)
        self.status = status


def say(message: str) -> None:
    """One line on stderr, without breaking a progress bar."""
    tqdm.write("%s: %s" % (PROG, message), file=sys.stderr)


def progress(items: Sequence[T], what: str) -> Iterable[T]:
    if len(items) > 1 and sys.stderr.isatty():
        return tqdm(items, desc=what, unit="file", file=sys.stderr, leave=False)
    return items


def read_text(path: str) -> str:
    raw = read_input(path)
    try:
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise ToolError("%s: not UTF-8 text (byte %d)" % (shown_path(path), error.start)) from None


def load(path: str) -> Tuple[Archive, Entries]:
    data = read_input(path)
    try:
        return read_file(data)
    except ToolError as error:
        raise ToolError("%s: %s" % (shown_path(path), error)) from None


# The earlier names of the two.
read_bytes = read_input
write_atomic = write_output


def stdin_once(paths: Iterable[str]) -> None:
    if sum(1 for path in paths if path == STDIO) > 1:
        raise ToolError("- (standard input) can be read only once")


def shows(text: str) -> bool:
    """Whether standard output's encoding can write `text` as it is."""
    encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
    try:
        if codecs.lookup(encoding).name == "utf-8":
            return True
        text.encode(encoding)
    except (LookupError, UnicodeEncodeError):
        return False
    return True


def tolerant_stdout() -> None:
    """A character the terminal's encoding lacks is written as an escape (\\uff5e)
    instead of failing the command."""
    if isinstance(sys.stdout, io.TextIOWrapper) and sys.stdout.errors == "strict":
        sys.stdout.reconfigure(errors="backslashreplace")


def each_file(paths: Sequence[str], what: str, job: Callable[[str], None]) -> int:
    """Runs job on every path; a failing file is reported and the others still run."""
    status = 0
    for path in progress(paths, what):
        try:
            job(path)
        except ToolError as error:
            say(str(error))
            status = 1
        except Failed as failure:
            status = max(status, failure.status)
    return status


# dump

def dump_object(found: Entries) -> dict:  # type: ignore[type-arg]
    return {"size": found.size,
            "pointers": [[a, d] for a, d in found.pointers.items()],
            "texts": [[a, t] for a, t in found.texts.items()],
            "labels": [[a, n] for a, n in found.labels.items()]}


def dump_lines(found: Entries) -> List[str]:
    rows: List[Tuple[int, int, str, str]] = []
    for address, destination in found.pointers.items():
        names = found.labels.get(destination)
        note = " (%s)" % ", ".join(names) if names else ""
        rows.append((address, 0, "pointer", "-> %s%s" % (hex_address(destination), note)))
    for address, text in found.texts.items():
        rows.append((address, 1, "text", json.dumps(text, ensure_ascii=False)))
    for address, names in found.labels.items():
        rows.append((address, 2, "labels", " ".join(names) if names else "(empty)"))
    rows.sort()
    width = max((len(hex_address(r[0])) for r in rows), default=0)
    lines = ["size %s (%d bytes)" % (hex_address(found.size), found.size)]
    lines += ["%-*s  %-7s  %s" % (width, hex_address(a), kind, value) for a, _, kind, value in rows]
    return lines


def cmd_dump(args: argparse.Namespace) -> int:
    several = len(args.files) > 1
    stdin_once(args.files)

    def job(path: str) -> None:
        found = load(path)[1]
        if args.json:
            obj = dump_object(found)
            if several:
                obj = dict(file=path, **obj)
            text = json.dumps(obj, ensure_ascii=False)
            if not shows(text):
                text = json.dumps(obj)  # JSON's own escapes, where the locale lacks one
        else:
            lines = dump_lines(found)
            if several:
                lines.insert(0, "==> %s <==" % path)
            text = "\n".join(lines)
        sys.stdout.write(text + "\n")

    return each_file(args.files, "dump", job)


# decompile / compile

def cmd_decompile(args: argparse.Namespace) -> int:
    def job(path: str) -> None:
        write_output(args.output, decompile(load(path)[1], args.places).encode("utf-8"))
    return each_file([args.file], "decompile", job)


def cmd_compile(args: argparse.Namespace) -> int:
    def job(path: str) -> None:
        document = read_text(path)
        try:
            data, listed = compile_entries(document)
        except ToolError as error:
            raise ToolError("%s: %s" % (shown_path(path), error)) from None
        write_output(args.output, checked_archive(data, listed, path))
    return each_file([args.file], "compile", job)


# texts

def out_dir_path(directory: str, path: str, suffix: str) -> str:
    return os.path.join(directory, os.path.basename(path) + suffix)


def check_distinct_names(paths: Sequence[str]) -> None:
    seen: Dict[str, str] = {}
    for path in paths:
        if path == STDIO:
            raise ToolError("- (standard input) has no name to write in the output "
                            "directory; use -o")
        name = os.path.basename(path)
        if name in seen:
            raise ToolError("%s and %s would write the same file in the output directory"
                            % (seen[name], path))
        seen[name] = path


def read_catalogue(path: str, given: Optional[str], encoding: Optional[str]) -> List[Message]:
    """The messages of a translation file, its format from --format or its suffix."""
    fmt = given or formats.format_of(path) or "po"
    data = read_input(path)
    try:
        return formats.read_messages(data, fmt, encoding)
    except ToolError as error:
        raise ToolError("%s: %s" % (shown_path(path), error)) from None


def old_header(path: str) -> Optional[Dict[str, str]]:
    """The PO header of the catalogue merged with (its translators' fields are kept)."""
    if (formats.format_of(path) or "po") != "po":
        return None
    try:
        return dict(read_po(read_bytes(path)).header)
    except ToolError:
        return None


def cmd_texts_export(args: argparse.Namespace) -> int:
    fmt = args.format or (formats.format_of(args.output) if args.output else None) or "po"
    old = None
    if args.merge is not None:
        if args.output is None:
            raise ToolError("--merge writes one catalogue: give -o OUT")
        old = read_catalogue(args.merge, None, None)
    if args.out_dir is not None:
        check_distinct_names([path for path in args.files if path == STDIO])
    if args.output is not None and old is None and fmt == "po":
        data, failures = export_po(args.files, args.root, args.jobs, args.language or "")
        for failure in failures:
            say(failure)
        write_output(args.output, data)
        return 1 if failures else 0
    result = export_catalogue(args.files, args.root, args.jobs, old,
                              per_archive=args.out_dir is not None)
    for failure in result.failures:
        say(failure)
    if args.output is not None:
        header = old_header(args.merge) if args.merge is not None else None
        write_output(args.output, formats.write_messages(result.messages, fmt,
                                                         args.language or "", header))
    else:
        for texts in result.archives:
            target = os.path.join(args.out_dir, *(texts.name + "." + fmt).split("/"))
            make_directory(os.path.dirname(target))
            write_output(target, formats.write_messages(build_catalogue([texts]), fmt,
                                                        args.language or ""))
    return 1 if result.failures else 0


def apply_options(args: argparse.Namespace, write: bool) -> ApplyOptions:
    charmap: Dict[str, str] = {}
    if args.charmap is not None:
        try:
            charmap = read_charmap(read_bytes(args.charmap))
        except ToolError as error:
            raise ToolError("%s: %s" % (args.charmap, error)) from None
    for pattern in args.placeholder:
        try:
            re.compile(pattern)
        except re.error as error:
            raise ToolError("--placeholder %s: %s" % (pattern, error)) from None
    return ApplyOptions(list(args.placeholder), charmap,
                        bool(getattr(args, "skip_unwritable", False)), write)


def report_run(run: ImportRun, skip: bool, verb: str) -> int:
    """Prints every failure and problem, one line each, then the outcome."""
    status = 0
    problems = 0
    for report in run.reports:
        if report.error is not None:
            say(report.error)
            status = 1
        for problem in report.problems:
            say(("warning: %s (kept the source text)" % problem) if skip else problem)
            problems += 1
    if problems and not skip:
        say("%d problem%s%s" % (problems, "" if problems == 1 else "s", verb))
        return 1
    return status


def cmd_texts_import(args: argparse.Namespace) -> int:
    options = apply_options(args, True)
    if args.output is not None:
        if args.catalogue is None and len(args.files) == 2:
            archive_path, catalogue_path = args.files
        elif args.catalogue is not None and len(args.files) == 1:
            archive_path, catalogue_path = args.files[0], args.catalogue
        else:
            raise ToolError("with -o give one archive and its translation: FILE TRANSLATION "
                            "-o OUT, or --catalogue FILE ARCHIVE -o OUT")
        base = args.root if args.root is not None else (os.path.dirname(archive_path) or ".")
        archive = ArchiveFile(os.path.relpath(archive_path, base).replace(os.sep, "/"),
                              archive_path)
        return import_one(args, catalogue_path, [(archive, args.output)], options)
    if args.translations is not None:
        return import_per_archive(args, options)
    if args.catalogue is None:
        raise ToolError("give --catalogue FILE (or, for one archive, FILE TRANSLATION -o OUT)")
    check_distinct_names([path for path in args.files if path == STDIO])
    archives = find_archives(args.files, args.root)
    tasks: List[Tuple[ArchiveFile, Optional[str]]] = []
    for archive in archives:
        if args.in_place:
            tasks.append((archive, archive.path))
        else:
            target = os.path.join(args.out_dir, *archive.name.split("/"))
            make_directory(os.path.dirname(target))
            tasks.append((archive, target))
    return import_one(args, args.catalogue, tasks, options)


def import_one(args: argparse.Namespace, catalogue_path: str,
               tasks: Sequence[Tuple[ArchiveFile, Optional[str]]], options: ApplyOptions) -> int:
    messages = read_catalogue(catalogue_path, args.format, args.encoding)
    run = import_catalogue(messages, tasks, options, args.jobs, catalogue_path)
    status = report_run(run, options.skip_unwritable, "; nothing written (--skip-unwritable "
                        "writes the rest and keeps the source text of those)")
    if run.written:
        say(str(run.summary))
    return status


def import_per_archive(args: argparse.Namespace, options: ApplyOptions) -> int:
    """The earlier form: --translations DIR holds NAME.po for each archive."""
    if args.out_dir is None:
        raise ToolError("--translations DIR goes with --out-dir OUT")
    check_distinct_names(args.files)
    fmt = args.format or "po"
    make_directory(args.out_dir)

    def job(path: str) -> None:
        archive = ArchiveFile(os.path.basename(path), path)
        translation = out_dir_path(args.translations, path, "." + fmt)
        status = import_one(args, translation, [(archive, out_dir_path(args.out_dir, path, ""))],
                            options)
        if status:
            raise Failed(status)

    return each_file(args.files, "import", job)


def cmd_texts_check(args: argparse.Namespace) -> int:
    options = apply_options(args, False)
    messages = read_catalogue(args.catalogue, args.format, args.encoding)
    archives = find_archives(args.files, args.root)
    run = check_catalogue(messages, archives, options, args.jobs, args.catalogue)
    status = report_run(run, False, "")
    if status == 0:
        say("%d archive%s checked, no problem" % (len(archives), "" if len(archives) == 1 else "s"))
    return status


# diff

def cmd_diff(args: argparse.Namespace) -> int:
    try:
        stdin_once([args.a, args.b])
        old = load(args.a)[1]
        new = load(args.b)[1]
    except ToolError as error:
        say(str(error))
        return 2
    if args.addresses:
        changes = diff(old, new)
        if args.json:
            sys.stdout.write(json.dumps([_change_json(c) for c in changes], ensure_ascii=False)
                             + "\n")
        else:
            for change in changes:
                sys.stdout.write("%s\n" % change)
        return 1 if changes else 0
    comparison = compare(old, new)
    if args.json:
        sys.stdout.write(json.dumps(comparison.to_json(), ensure_ascii=False) + "\n")
    else:
        for line in comparison.lines():
            sys.stdout.write(line + "\n")
    return 0 if comparison.same else 1


def _change_json(change: object) -> dict:  # type: ignore[type-arg]
    from ._diff import Change
    assert isinstance(change, Change)
    def value(v: object) -> object:
        return v.hex(" ") if isinstance(v, bytes) else v
    return {"kind": change.kind, "address": hex_address(change.address),
            "old": value(change.old), "new": value(change.new)}


# patch

def read_folder(folder: str) -> Dict[str, bytes]:
    return {name: read_bytes(os.path.join(folder, name)) for name in archive_files(folder)}


def cmd_patch_make(args: argparse.Namespace) -> int:
    if os.path.isdir(args.a) and os.path.isdir(args.b):
        patch, missing = make_folder_patch(read_folder(args.a), read_folder(args.b))
        for name in missing:
            say("warning: %s has no counterpart in %s; left out"
                % (os.path.join(args.b, name), args.a))
    elif os.path.isdir(args.a) or os.path.isdir(args.b):
        raise ToolError("give two archives or two folders")
    else:
        old, new = load(args.a)[1], load(args.b)[1]
        try:
            patch = make_patch(old, new, os.path.basename(args.a))
        except ToolError as error:
            raise ToolError("%s: %s" % (args.b, error)) from None
    write_output(args.output, patch.to_json().encode("utf-8"))
    return 0


def cmd_patch_apply(args: argparse.Namespace) -> int:
    if args.output is None and not args.check:
        raise ToolError("give -o OUT (or --check to write nothing)")
    try:
        patch = read_patch(read_text(args.patch))
    except ToolError as error:
        raise ToolError("%s: %s" % (args.patch, error)) from None
    results: List[Tuple[str, bytes]] = []
    conflicts: List[str] = []
    if os.path.isdir(args.target):
        jobs = [(os.path.join(args.target, a.name), a.name, Patch([a])) for a in patch.archives]
    else:
        jobs = [(args.target, "", patch)]
    for path, name, one in jobs:
        try:
            applied = apply_patch(one, read_bytes(path))
        except ToolError as error:
            conflicts.append("%s: %s" % (path, error))
            continue
        conflicts += ["%s: %s" % (path, c) for c in applied.conflicts]
        if applied.data is not None:
            results.append((name, applied.data))
    if conflicts:
        for line in conflicts:
            say(line)
        say("%d conflict%s; nothing written" % (len(conflicts), "" if len(conflicts) == 1 else "s"))
        return 1
    if args.check:
        return 0
    if os.path.isdir(args.target):
        for name, data in results:
            target = os.path.join(args.output, name)
            make_directory(os.path.dirname(target) or ".")
            write_output(target, data)
    else:
        write_output(args.output, results[0][1])
    return 0


# The parser.

EPILOG = """\
examples:
  orvane dump game.bin                       list everything the archive holds
  orvane decompile game.bin -o game.json     edit game.json, then:
  orvane compile game.json -o game.bin
  orvane texts export game.bin -o game.po    translate game.po, then:
  orvane texts import game.bin game.po -o game.bin
  orvane texts export game/ -o game.po       one catalogue for a whole game, then:
  orvane texts import --catalogue game.po game/ --out-dir patched/
  orvane diff old.bin game.bin               exit status 0 same, 1 different, 2 error
  orvane patch make old.bin game.bin -o mod.json
  orvane patch apply mod.json other.bin -o other-mod.bin

A file to read may be - for standard input, an output - for standard output.
"""

IMPORT = """\
Apply translations to an archive and write the result. A translation is applied when
it is non-empty and not fuzzy: in PO the fuzzy flag marks it, in JSON the key
"fuzzy": true, in CSV a column named fuzzy holding true, yes or 1 (the column is
optional). Nothing is written when a translation cannot be written in Shift_JIS (see
--skip-unwritable), or when the file written would not load back to the texts meant.
"""


def installed_version() -> str:
    try:
        from importlib.metadata import version
        return version("orvane_core")
    except ImportError:  # PackageNotFoundError is one: run from a source tree
        return "(version unknown: not installed)"


class ShowVersion(argparse.Action):
    """--version: looks the version up only when asked."""

    def __init__(self, option_strings: List[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                         nargs=0, help="print the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: Optional[str] = None) -> None:
        sys.stdout.write("%s %s\n" % (PROG, installed_version()))
        parser.exit()


def parser() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    top = argparse.ArgumentParser(
        prog=PROG, formatter_class=raw, epilog=EPILOG,
        description="List, edit, translate and compare archive files "
                    "(data region, pointers, Shift_JIS texts, labels).")
    top.add_argument("--version", action=ShowVersion)
    commands = top.add_subparsers(dest="command", metavar="COMMAND")

    def command(group: "argparse._SubParsersAction[argparse.ArgumentParser]", name: str,
                summary: str, example: str, description: str = "") -> argparse.ArgumentParser:
        text = description or summary
        if "\n" not in text:
            text = textwrap.fill(text, 84)
        return group.add_parser(name, help=summary, description=text,
                                formatter_class=raw,
                                epilog="example:\n  " + example.replace("\n", "\n  "))

    p = command(commands, "dump", "Print everything an archive holds, in address order.",
                "orvane dump game.bin\norvane dump --json *.bin > all.jsonl")
    p.add_argument("files", nargs="+", metavar="FILE", help="archive files; - for standard input")
    p.add_argument("--json", action="store_true",
                   help='one JSON object per file: {"size", "pointers", "texts", "labels"} '
                        '(and "file" when there are several)')
    p.set_defaults(run=cmd_dump)

    p = command(commands, "decompile", "Write an archive as an editable JSON document.",
                "orvane decompile game.bin -o game.json")
    p.add_argument("file", metavar="FILE", help="the archive; - for standard input")
    p.add_argument("-o", "--output", required=True, metavar="OUT.json",
                   help="the document to write; - for standard output")
    p.add_argument("--places", action="store_true",
                   help='write each entry\'s place beside its address ("0x14 ITEMS+0x4"); '
                        'compile reads addresses, places or both')
    p.set_defaults(run=cmd_decompile)

    p = command(commands, "compile", "Build an archive from a decompiled document.",
                "orvane compile game.json -o game.bin",
                "Build an archive from a decompiled document. Nothing is written unless the "
                "file loads back to exactly the document's entries (a pointer beyond the "
                "data region, for one, would come back as a text).")
    p.add_argument("file", metavar="IN.json", help="the document; - for standard input")
    p.add_argument("-o", "--output", required=True, metavar="OUT.bin",
                   help="the archive to write; - for standard output")
    p.set_defaults(run=cmd_compile)

    p = command(commands, "texts", "Export texts for translation and import translations.",
                "orvane texts export game.bin -o game.po\n"
                "orvane texts import game.bin game.po -o game.bin")
    texts = p.add_subparsers(dest="texts_command", metavar="COMMAND")
    texts_parser = p
    p.set_defaults(run=lambda args: usage(texts_parser))

    def jobs_option(p: argparse.ArgumentParser) -> None:
        p.add_argument("--jobs", type=positive, default=default_jobs(), metavar="N",
                       help="archives read by N processes (default: the cores, %(default)s)")

    def root_option(p: argparse.ArgumentParser) -> None:
        p.add_argument("--root", metavar="DIR", help="what archive names are relative to "
                       "(default: each folder given, or the folder of each file)")

    def check_options(p: argparse.ArgumentParser) -> None:
        p.add_argument("--format", choices=FORMATS,
                       help="of the translation file; default: from its suffix, else po")
        p.add_argument("--encoding", metavar="NAME",
                       help="of a CSV file that is neither UTF-8 nor UTF-16 (cp932)")
        p.add_argument("--placeholder", action="append", default=[], metavar="REGEX",
                       help="its matches in a source must all be in the translation "
                            "(repeatable)")
        p.add_argument("--charmap", metavar="FILE", help="CHARACTER<TAB>REPLACEMENT lines, "
                       "applied to translations before the checks")

    p = command(texts, "export", "Write the texts of archives as one catalogue "
                "(PO, JSON or CSV): one message per distinct text.",
                "orvane texts export game.bin -o game.po\n"
                "orvane texts export game/ -o game.po\n"
                "orvane texts export new-game/ --merge game.po -o game.po\n"
                "orvane texts export game/ --out-dir po/    (one per archive: po/NAME.bin.po)")
    p.add_argument("files", nargs="+", metavar="PATH", help="archives, or folders of them")
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("-o", "--output", metavar="OUT",
                       help="the translation file of one archive; - for standard output")
    where.add_argument("--out-dir", metavar="DIR",
                       help="write DIR/NAME.bin.po (or .json, .csv) for each archive NAME.bin, "
                            "creating DIR if needed")
    p.add_argument("--format", choices=FORMATS, help="default: from OUT's suffix, else po")
    p.add_argument("--language", metavar="CODE", help="the catalogue's Language (ja, fr, pt_BR)")
    p.add_argument("--merge", metavar="OLD", help="keep the translations of an older catalogue")
    root_option(p)
    jobs_option(p)
    p.set_defaults(run=cmd_texts_export)

    p = command(texts, "import",
                "Apply translations (non-empty, not fuzzy) and write the archives.",
                "orvane texts import --catalogue game.po game/ --out-dir patched/\n"
                "orvane texts import --catalogue game.po game/ --in-place\n"
                "orvane texts import game.bin game.po -o game.bin\n"
                "orvane texts import *.bin --translations po/ --out-dir out/\n"
                "    (reads po/NAME.bin.po, writes out/NAME.bin)", IMPORT)
    p.add_argument("files", nargs="+", metavar="PATH", help="archives or folders; "
                   "FILE TRANSLATION with -o (either may be - for standard input)")
    p.add_argument("--catalogue", metavar="FILE", help="the translations")
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("-o", "--output", metavar="OUT.bin",
                       help="the archive to write, which may be FILE itself; - for standard "
                            "output")
    where.add_argument("--out-dir", metavar="DIR",
                       help="write DIR/NAME for each archive NAME (its path below the folder "
                            "given, or --root), creating folders as needed")
    where.add_argument("--in-place", action="store_true", help="write over the archives")
    p.add_argument("--translations", metavar="DIR",
                   help="instead of --catalogue, with --out-dir: where the translation files "
                        "are, each named after its archive: DIR/NAME.bin.po (.json or .csv "
                        "with --format)")
    check_options(p)
    p.add_argument("--skip-unwritable", action="store_true",
                   help="texts with a problem keep their source; the problems are warnings")
    root_option(p)
    jobs_option(p)
    p.set_defaults(run=cmd_texts_import)

    p = command(texts, "check", "Check a catalogue against archives; write nothing.",
                "orvane texts check --catalogue game.po game/ --placeholder '%[sd]'")
    p.add_argument("files", nargs="+", metavar="PATH", help="archives, or folders of them")
    p.add_argument("--catalogue", metavar="FILE", required=True, help="the translations")
    check_options(p)
    root_option(p)
    jobs_option(p)
    p.set_defaults(run=cmd_texts_check)

    p = command(commands, "diff", "Show what differs between two archives: bytes inserted, "
                "removed and changed, and entries, by place in A.",
                "orvane diff old.bin new.bin    (exit status 0 same, 1 different, 2 error)")
    p.add_argument("a", metavar="A", help="the old archive; - for standard input")
    p.add_argument("b", metavar="B", help="the new archive; - for standard input")
    p.add_argument("--json", action="store_true",
                   help='one JSON object: {"format": "orvane-diff 1", "same", "size", "edits"}')
    p.add_argument("--addresses", action="store_true",
                   help="compare address by address instead of aligning the archives")
    p.set_defaults(run=cmd_diff)

    p = command(commands, "patch", "Make a patch from two archives and apply it to another "
                "version.",
                "orvane patch make old.bin new.bin -o mod.json\n"
                "orvane patch apply mod.json other.bin -o other-mod.bin")
    patch = p.add_subparsers(dest="patch_command", metavar="COMMAND")
    patch_parser = p
    p.set_defaults(run=lambda args: usage(patch_parser))

    p = command(patch, "make", "Write what turns A into B as operations on places of A, each "
                "with what A holds there.",
                "orvane patch make old.bin new.bin -o mod.json\n"
                "orvane patch make old/ new/ -o mod.json   (every archive that differs)")
    p.add_argument("a", metavar="A", help="an archive, or a folder of archives")
    p.add_argument("b", metavar="B", help="an archive, or a folder of archives")
    p.add_argument("-o", "--output", required=True, metavar="PATCH.json", help="- for stdout")
    p.set_defaults(run=cmd_patch_make)

    p = command(patch, "apply", "Check every place and expectation of a patch in C, and only "
                "when all hold apply it.",
                "orvane patch apply mod.json game.bin -o game-mod.bin\n"
                "orvane patch apply mod.json game/ -o game-mod/\n"
                "orvane patch apply --check mod.json game.bin")
    p.add_argument("patch", metavar="PATCH.json")
    p.add_argument("target", metavar="C", help="an archive, or a folder of archives")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="the patched archive (a folder when C is one)")
    p.add_argument("--check", action="store_true", help="check only; write nothing")
    p.set_defaults(run=cmd_patch_apply)

    top.set_defaults(run=lambda args: usage(top))
    return top


def positive(value: str) -> int:
    try:
        number = int(value)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError("expected a whole number of at least 1, found %r" % value)
    return number


def usage(p: argparse.ArgumentParser) -> int:
    p.print_help(sys.stderr)
    return 2


def main(argv: Optional[Sequence[str]] = None) -> int:
    # diff answers 0 or 1; its trouble, a closed output included, is 2.
    trouble = 2 if list(sys.argv[1:] if argv is None else argv)[:1] == ["diff"] else 1
    try:
        tolerant_stdout()
        args = parser().parse_args(argv)
        trouble = 2 if args.command == "diff" else 1
        run: Callable[[argparse.Namespace], int] = args.run
        # A command builds what it writes (a catalogue, many archives' texts) and keeps
        # it to the end, making no cyclic garbage: collections would only go over that
        # growing heap again and again (a fifth of a catalogue export).
        collecting = gc.isenabled()
        gc.disable()
        try:
            status = run(args)
        finally:
            if collecting:
                gc.enable()
        sys.stdout.flush()  # a closed pipe shows here, not at exit
        return status
    except ToolError as error:
        say(str(error))
        return trouble
    except KeyboardInterrupt:
        say("interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (orvane dump x | head): stop quietly; what is still
        # buffered goes nowhere at exit.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return trouble
