"""orvane_tools: list, decompile, translate and compare archive files.

The command line is `orvane` (or `python -m orvane_tools`); these functions do what
its commands do:

- `entries(archive)`: everything a `BinArchive` holds, sorted by address;
- `decompile(archive)` / `compile(document)`: the editable JSON form and back;
- `export_texts(archive)` / `import_texts(archive, translation)`: PO, JSON or CSV;
- `diff(a, b)`: what differs between two archives, entry by entry;
- `Places(labels)`: names addresses by labels (`ITEMS+0x14`) and resolves them.
"""
from ._archive import Archive, Entries, ToolError, entries, read_file
from ._diff import Change, diff
from ._document import compile, decompile
from ._places import Place, PlaceError, Places, parse_place
from ._texts import Unwritable, UnwritableError, export_texts, import_texts

__all__ = [
    "Archive", "Change", "Entries", "Place", "PlaceError", "Places", "ToolError", "Unwritable", "UnwritableError",
    "compile", "decompile", "diff", "entries", "export_texts", "import_texts", "parse_place", "read_file",
]
