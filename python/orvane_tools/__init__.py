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
- `Places(labels)`: names addresses by labels (`ITEMS+0x14`) and resolves them.
"""
from ._archive import Archive, Entries, ToolError, entries, read_file
from ._align import Alignment, Segment, align
from ._diff import Change, Comparison, Edit, compare, diff
from ._document import compile, decompile
from ._patch import (Applied, ArchivePatch, Operation, Patch, apply_archive_patch, apply_patch,
                     make_archive_patch, make_folder_patch, make_patch, read_patch)
from ._places import Place, PlaceError, Places, parse_place
from ._texts import Unwritable, UnwritableError, export_texts, import_texts

__all__ = [
    "Alignment", "Applied", "Archive", "ArchivePatch", "Change", "Comparison", "Edit", "Entries",
    "Operation", "Patch", "Place", "PlaceError", "Places", "Segment", "ToolError", "Unwritable",
    "UnwritableError", "align", "apply_archive_patch", "apply_patch", "compare", "compile",
    "decompile", "diff", "entries", "export_texts", "import_texts", "make_archive_patch",
    "make_folder_patch", "make_patch", "parse_place", "read_file", "read_patch",
]
