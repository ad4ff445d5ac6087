"""orvane_tools: list, decompile, translate and compare archive files.

The command line is `orvane` (or `python -m orvane_tools`); these functions do what
its commands do:

- `entries(archive)`: everything a `BinArchive` holds, sorted by address;
- `decompile(archive)` / `compile(document)`: the editable JSON form and back;
- `export_texts(archive)` / `import_texts(archive, translation)`: PO, JSON or CSV;
- `compare(a, b)`: what differs between two archives, aligned so that inserted and
  removed bytes are told from changed ones; `diff(a, b)` compares address by address;
- `make_patch(a, b)` / `apply_patch(patch, file)`: the edits as operations on places,
  carried to another version of an archive (`make_folder_patch` over folders, one
  `ArchivePatch` per archive, each applied with `apply_archive_patch`);
- `Places(labels)`: names addresses by labels (`ITEMS+0x14`) and resolves them;
- `export_catalogue(paths)`: one catalogue for the texts of many archives, merged
  with an older one (`merge_catalogue`); `import_catalogue(messages, archives)` and
  `check_catalogue(messages, archives)` apply and check it.

The names are imported on first use, so that the command starts with nothing loaded
and Ctrl-C while it starts ends it quietly (`__main__.run`).
"""
# Nothing is imported at run time here, not even `typing`: the command's guard
# against Ctrl-C (`__main__.run`) takes effect only once this file has run.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, List

    from ._apply import (ApplyOptions, ArchiveReport, ImportRun, Summary, check_catalogue,
                         import_catalogue)
    from ._archive import Archive, Entries, ToolError, entries, read_file
    from ._catalogue import (ArchiveFile, ArchiveTexts, CatalogueExport, build_catalogue,
                             export_catalogue, find_archives, merge_catalogue,
                             read_archive_texts)
    from ._align import Alignment, Segment, align
    from ._diff import Change, Comparison, Edit, compare, diff
    from ._document import compile, decompile
    from ._jobs import default_jobs
    from ._message import Message
    from ._patch import (Applied, ArchivePatch, Operation, Patch, apply_archive_patch,
                         apply_patch, make_archive_patch, make_folder_patch, make_patch,
                         read_patch)
    from ._places import Place, PlaceError, Places, parse_place
    from ._texts import Unwritable, UnwritableError, export_texts, import_texts

# Each public name and the module it comes from.
_FROM = {
    "Archive": "_archive", "Entries": "_archive", "ToolError": "_archive",
    "entries": "_archive", "read_file": "_archive",
    "ApplyOptions": "_apply", "ArchiveReport": "_apply", "ImportRun": "_apply",
    "Summary": "_apply", "check_catalogue": "_apply", "import_catalogue": "_apply",
    "ArchiveFile": "_catalogue", "ArchiveTexts": "_catalogue", "CatalogueExport": "_catalogue",
    "build_catalogue": "_catalogue", "export_catalogue": "_catalogue",
    "find_archives": "_catalogue", "merge_catalogue": "_catalogue",
    "read_archive_texts": "_catalogue",
    "default_jobs": "_jobs", "Message": "_message",
    "Alignment": "_align", "Segment": "_align", "align": "_align",
    "Change": "_diff", "Comparison": "_diff", "Edit": "_diff", "compare": "_diff",
    "diff": "_diff",
    "Applied": "_patch", "ArchivePatch": "_patch", "Operation": "_patch", "Patch": "_patch",
    "apply_archive_patch": "_patch", "apply_patch": "_patch", "make_archive_patch": "_patch",
    "make_folder_patch": "_patch", "make_patch": "_patch", "read_patch": "_patch",
    "compile": "_document", "decompile": "_document",
    "Place": "_places", "PlaceError": "_places", "Places": "_places", "parse_place": "_places",
    "Unwritable": "_texts", "UnwritableError": "_texts", "export_texts": "_texts",
    "import_texts": "_texts",
}

__all__ = sorted(_FROM)


def __getattr__(name: str) -> "Any":
    module = _FROM.get(name)
    if module is None:
        raise AttributeError("module %r has no attribute %r" % (__name__, name))
    from importlib import import_module
    value = getattr(import_module("." + module, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> "List[str]":
    return sorted(set(globals()) | set(_FROM))
