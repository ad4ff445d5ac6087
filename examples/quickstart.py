"""Build an archive, edit it, write it, load it again: the library's main job."""
import orvane_core

archive = orvane_core.BinArchive()
archive.allocate_at_end(16)
archive.write_u32(0, 0xDEADBEEF)
archive.write_pointer(4, 12)
archive.write_string(8, "こんにちは")
archive.write_label(8, "GREETING")

data = bytes(archive.serialize())
again = orvane_core.BinArchive.from_bytes(data)
assert bytes(again.serialize()) == data
print(f"{len(data)} bytes written; data region of {again.size()} bytes")
print("pointer at 4 ->", hex(again.read_pointer(4)))
print("text at 8:", again.read_string(8))
print("label GREETING at", hex(again.find_label_address("GREETING")))
