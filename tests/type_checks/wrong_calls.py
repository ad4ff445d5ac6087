"""Calls the stubs must reject. Each line marked `# wrong` must draw an error from both
mypy and pyright; tests/test_typing.py checks that they do, line by line."""
from orvane_core import BinArchive

archive = BinArchive()
archive.read_u32("0x10")  # wrong: an address is an integer, not a str
archive.write_string(0, 5)  # wrong: text entries are str
archive.write_labels(0, [1, 2])  # wrong: label names are str
archive.read_bytes(0)  # wrong: amount is required
BinArchive.from_bytes("archive")  # wrong: only bytes is accepted, not str
size: str = archive.size()  # wrong: size() is an int
text: str = archive.read_string(0)  # wrong: the result may be None
archive.write_u8(address=0, byte=1)  # wrong: the parameter is called value
