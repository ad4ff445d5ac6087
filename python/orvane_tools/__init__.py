"""orvane_tools: list, decompile, translate and compare archive files.

The command line is `orvane` (or `python -m orvane_tools`); these functions do what
its commands do:

- `entries(archive)`: everything a `BinArchive` holds, sorted by address;
- `decompile(archive)` / `compile(document)`: the editable JSON form and back;
- `export_texts(archive)` / `import_texts(archive, translation)`: PO, JSON or CSV;
- `diff(a, b)`: what differs between two archives, entry by entry;
- `Places(labels)`: names addresses by labels (`ITEMS+0x14`) and resolves them;
- `export_catalogue(paths)`: one catalogue for the texts of many archives, merged
  with an older one (`merge_catalogue`); `import_catalogue(messages, archives)` and
  `check_catalogue(messages, archives)` apply and check it.
"""
from ._apply import (ApplyOptions, ArchiveReport, ImportRun, Summary, check_catalogue,
                     import_catalogue)
from ._archive import Archive, Entries, ToolError, entries, read_file
from ._catalogue import (ArchiveFile, ArchiveTexts, CatalogueExport,
                         build_catalogue, export_catalogue, find_archives, merge_catalogue,
                         read_archive_texts)
from ._diff import Change, diff
from ._document import compile, decompile
from ._jobs import default_jobs
from ._message import Message
from ._places import Place, PlaceError, Places, parse_place
from ._texts import Unwritable, UnwritableError, export_texts, import_texts

__all__ = [
    "ApplyOptions", "ArchiveFile", "ArchiveReport", "ArchiveTexts", "CatalogueExport",
    "ImportRun", "Message", "Summary", "build_catalogue", "check_catalogue",
    "default_jobs", "export_catalogue", "find_archives", "import_catalogue", "merge_catalogue",
    "read_archive_texts",
    "Archive", "Change", "Entries", "Place", "PlaceError", "Places", "ToolError", "Unwritable", "UnwritableError",
    "compile", "decompile", "diff", "entries", "export_texts", "import_texts", "parse_place", "read_file",
]
