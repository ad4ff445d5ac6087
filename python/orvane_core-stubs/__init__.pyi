"""Type information for orvane_core, the binary archive library.

The extension module carries no signatures or documentation of its own; editors and
type checkers read them from here. Every method parameter can be passed by position or
by keyword under the name shown.

Common to all methods:

- An address is a byte offset into the data region (0 is the first byte after the
  32-byte file header). Integer arguments accept ``int`` and anything with
  ``__index__``; a non-integer raises the interpreter's ``TypeError``, a negative value
  or one of 2**64 or more raises ``OverflowError``.
- Refused addresses raise ``ValueError`` with one of
  "Invalid address 0x{address} for archive of size 0x{size}." or
  "Invalid address 0x{address} expected {alignment} byte alignment." (hexadecimal in
  upper case without padding, the alignment in decimal). A refused call changes
  nothing.
- Memory exhaustion raises ``MemoryError``; calling a method of an archive from inside
  an argument conversion of another call on the same archive (an ``__index__`` that
  edits it) raises ``RuntimeError``.
- n is the size of the data region, e the number of entries (data pointers, text
  entries and label names together); costs are as the archive grows.
"""
from typing import List, Optional, Sequence, SupportsFloat, SupportsIndex, Union, final

__all__ = ["__doc__", "BinArchive"]

@final
class BinArchive:
    """One archive file in memory: a data region plus the data pointers, text entries
    and labels attached to its 4-byte slots.

    ``BinArchive()`` is an empty archive (no data, no entries); load a file with
    ``BinArchive.from_bytes``, write it back with ``serialize``. The class cannot be
    subclassed and its instances take no attributes.
    """

    def __init__(self) -> None:
        """An empty archive: ``size()`` is 0 and there are no entries.

        The constructor never fails (it ignores any arguments given to it). Cost:
        constant.
        """
    @staticmethod
    def from_bytes(bytes: bytes) -> "BinArchive":
        """Loads an archive from the complete contents of an archive file.

        Raises:
            TypeError: (no message) when ``bytes`` is not a ``bytes`` object (a
                ``bytearray`` or ``memoryview`` is refused; convert it first).
            ValueError: "Input is not a large enough to contain an archive header."
                when the input is shorter than 32 bytes.
            ValueError: "Incorrect file size in archive header." when the header's
                file size differs from the input's length.
            ValueError: "Archive is not large enough to hold the amount of data and
                metadata indicated in the header." when the regions and tables the
                header announces run past the input's end.
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                or "Invalid address 0x{address} expected 4 byte alignment." when a
                pointer-table or label-table address is not a slot of the data region.
            ValueError: "Fell out of buffer while reading shift-jis string." when a
                string has no terminating zero byte before the end of the input.
            ValueError: "Error decoding shift-jis string." when a string's bytes are
                not valid Shift_JIS (or UTF-8/UTF-16 behind a byte-order mark).
            MemoryError: when the decoded archive would not fit in memory.

        Cost: linear in the input's length plus the number of table rows.
        """
    def size(self) -> int:
        """The length of the data region in bytes (not the file size).

        Cost: constant.
        """
    def serialize(self) -> List[int]:
        """The whole archive file, one int (0 to 255) per byte; ``bytes(a.serialize())``
        gives a ``bytes`` object. Every distinct string is stored once. The archive is
        unchanged.

        Raises:
            ValueError: "Error encoding shift-jis string." when a text entry or label
                name holds a character that Shift_JIS cannot represent.
            ValueError: "Pointer destination 0x{destination} at 0x{address} does not
                fit in 32 bits." when a data pointer's destination is 2**32 or more.
            ValueError: "Archive of 0x{size} bytes is too large to write." when the
                file would be 4 GiB or larger.
            MemoryError: when the output does not fit in memory.

        Cost: linear in the output's length, plus sorting the entries by address
        (e log e).
        """
    def read_f32(self, address: SupportsIndex) -> float:
        """The 32-bit IEEE 754 float at ``address``, widened exactly to a Python float.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when it runs past the
                end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant.
        """
    def read_u8(self, address: SupportsIndex) -> int:
        """The unsigned byte at ``address``, 0 to 255.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size().

        Cost: constant.
        """
    def read_u16(self, address: SupportsIndex) -> int:
        """The unsigned little-endian 16-bit value at ``address``, 0 to 65535.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 2 shown when it runs past the
                end.
            ValueError: "Invalid address 0x{address} expected 2 byte alignment." when
                address is odd.

        Cost: constant.
        """
    def read_u32(self, address: SupportsIndex) -> int:
        """The unsigned little-endian 32-bit value at ``address``, 0 to 4294967295.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when it runs past the
                end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant.
        """
    def read_i8(self, address: SupportsIndex) -> int:
        """The byte at ``address`` as a signed value, -128 to 127.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size().

        Cost: constant.
        """
    def read_i16(self, address: SupportsIndex) -> int:
        """The signed little-endian 16-bit value at ``address``, -32768 to 32767.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 2 shown when it runs past the
                end.
            ValueError: "Invalid address 0x{address} expected 2 byte alignment." when
                address is odd.

        Cost: constant.
        """
    def read_i32(self, address: SupportsIndex) -> int:
        """The signed little-endian 32-bit value at ``address``, -2147483648 to
        2147483647.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when it runs past the
                end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant.
        """
    def read_bytes(self, address: SupportsIndex, amount: SupportsIndex) -> bytes:
        """A copy of the ``amount`` bytes starting at ``address`` (empty for amount 0).

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size() (even for amount 0); with address + amount
                shown when the run ends past the data region.

        Cost: linear in ``amount``.
        """
    def read_string(self, address: SupportsIndex) -> Optional[str]:
        """The text entry of the slot at ``address``, or None when it has none.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when the slot runs past
                the end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant on average, plus the length of the string.
        """
    def read_pointer(self, address: SupportsIndex) -> Optional[int]:
        """The destination of the data pointer in the slot at ``address``, or None when
        the slot has none. The slot's bytes are not consulted.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when the slot runs past
                the end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant on average.
        """
    def read_labels(self, address: SupportsIndex) -> Optional[List[str]]:
        """A copy of the label names of the slot at ``address`` in order, or None when
        the slot has no label entry (an emptied entry gives ``[]``).

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when the slot runs past
                the end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant on average, plus the names' length.
        """
    def delete_string(self, address: SupportsIndex) -> None:
        """Removes the text entry of the slot at ``address``, if any; the slot's bytes
        stay as they are.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when the slot runs past
                the end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant on average.
        """
    def delete_pointer(self, address: SupportsIndex) -> None:
        """Removes the data pointer of the slot at ``address``, if any; the slot's bytes
        stay as they are.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when the slot runs past
                the end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant on average.
        """
    def delete_labels(self, address: SupportsIndex) -> None:
        """Removes the whole label entry of the slot at ``address``, if any.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when the slot runs past
                the end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant on average.
        """
    def delete_label(self, address: SupportsIndex, index: SupportsIndex) -> None:
        """Removes the name at position ``index`` of the slot's label list; the names
        after it move up. A slot without a label entry is left alone (no error); the
        last name removed leaves an empty list.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when the slot runs past
                the end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.
            ValueError: "Index {index} out of bounds for bucket of size {length}."
                when index >= the number of names (both decimal).
            OverflowError: when index is negative.

        Cost: constant on average, plus the number of names after ``index``.
        """
    def write_f32(self, address: SupportsIndex, value: Union[SupportsFloat, SupportsIndex]) -> None:
        """Stores ``value`` at ``address`` as a 32-bit IEEE 754 float, rounded to
        nearest (ties to even); magnitudes beyond the float range become infinities.

        Raises:
            TypeError: when value has no float conversion.
            OverflowError: when value is an int too large for a Python float.
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when it runs past the
                end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant.
        """
    def write_u8(self, address: SupportsIndex, value: SupportsIndex) -> None:
        """Stores the byte ``value`` (0 to 255) at ``address``.

        Raises:
            OverflowError: when value is outside 0 to 255.
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size().

        Cost: constant.
        """
    def write_u16(self, address: SupportsIndex, value: SupportsIndex) -> None:
        """Stores ``value`` (0 to 65535) at ``address``, little-endian.

        Raises:
            OverflowError: when value is outside 0 to 65535.
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 2 shown when it runs past the
                end.
            ValueError: "Invalid address 0x{address} expected 2 byte alignment." when
                address is odd.

        Cost: constant.
        """
    def write_u32(self, address: SupportsIndex, value: SupportsIndex) -> None:
        """Stores ``value`` (0 to 4294967295) at ``address``, little-endian. The slot of
        a pointer or text entry keeps these bytes in memory, but ``serialize`` writes
        the entry's own value there.

        Raises:
            OverflowError: when value is outside 0 to 4294967295.
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when it runs past the
                end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant.
        """
    def write_i8(self, address: SupportsIndex, value: SupportsIndex) -> None:
        """Stores ``value`` (-128 to 127) at ``address`` as a two's complement byte.

        Raises:
            OverflowError: when value is outside -128 to 127.
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size().

        Cost: constant.
        """
    def write_i16(self, address: SupportsIndex, value: SupportsIndex) -> None:
        """Stores ``value`` (-32768 to 32767) at ``address``, little-endian two's
        complement.

        Raises:
            OverflowError: when value is outside -32768 to 32767.
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 2 shown when it runs past the
                end.
            ValueError: "Invalid address 0x{address} expected 2 byte alignment." when
                address is odd.

        Cost: constant.
        """
    def write_i32(self, address: SupportsIndex, value: SupportsIndex) -> None:
        """Stores ``value`` (-2147483648 to 2147483647) at ``address``, little-endian
        two's complement.

        Raises:
            OverflowError: when value is outside -2147483648 to 2147483647.
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when it runs past the
                end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant.
        """
    def write_bytes(self, address: SupportsIndex, bytes: bytes) -> None:
        """Copies ``bytes`` into the data region from ``address`` on; the size does not
        change (use ``allocate`` to insert).

        Raises:
            TypeError: (no message) when ``bytes`` is not a ``bytes`` object.
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size() (even for empty bytes); with address +
                len(bytes) shown when the run ends past the data region.

        Cost: linear in ``len(bytes)``.
        """
    def write_string(self, address: SupportsIndex, value: Optional[str] = None) -> None:
        """Sets the text entry of the slot at ``address`` to ``value``, replacing any
        earlier one; without a value (or None) it removes the entry like
        ``delete_string``. Any str is accepted here: text Shift_JIS cannot hold fails
        the next ``serialize`` instead.

        Raises:
            TypeError: (no message) when value is neither a str nor None.
            UnicodeEncodeError: when value holds a lone surrogate.
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when the slot runs past
                the end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant on average, plus the length of the string.
        """
    def write_pointer(self, address: SupportsIndex, value: Optional[SupportsIndex] = None) -> None:
        """Makes the slot at ``address`` a data pointer to ``value``, replacing any
        earlier destination; without a value (or None) it removes the pointer like
        ``delete_pointer``. The destination is not checked (but ``serialize`` refuses
        one of 2**32 or more), and the slot's bytes do not change.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when the slot runs past
                the end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant on average.
        """
    def write_labels(self, address: SupportsIndex, labels: Sequence[str]) -> None:
        """Replaces the label list of the slot at ``address`` with ``labels``, in order
        (an empty sequence leaves an empty list). A str counts as a sequence of
        one-character names.

        Raises:
            TypeError: (no message) when labels is not a sequence (a dict, a set, a
                generator) or an item is not a str; nothing is stored then.
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when the slot runs past
                the end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant on average, plus the names' length.
        """
    def write_label(self, address: SupportsIndex, label: str) -> None:
        """Appends ``label`` to the label list of the slot at ``address`` (creating the
        list); a name already there is added again.

        Raises:
            TypeError: (no message) when label is not a str.
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + 4 shown when the slot runs past
                the end.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.

        Cost: constant on average, plus the length of the name.
        """
    def allocate_at_end(self, amount_in_bytes: SupportsIndex) -> None:
        """Appends ``amount_in_bytes`` zero bytes (any amount, 0 included); no entry
        moves, so a pointer to the old end now points at the first new byte.

        Raises:
            ValueError: "Not enough memory to allocate {amount} bytes." when the data
                region cannot grow that much.

        Cost: linear in the amount (amortised; the region grows geometrically).
        """
    def allocate(self, address: SupportsIndex, amount_in_bytes: SupportsIndex) -> None:
        """Inserts ``amount_in_bytes`` zero bytes in front of the byte at ``address``
        (at ``size()`` they are appended). Every entry keyed at or after ``address``,
        and every pointer destination at or after it, moves up by the amount.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address > size().
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.
            ValueError: "Invalid value {amount} expected 4 byte alignment." when the
                amount is not a multiple of 4.
            ValueError: "Not enough memory to allocate {amount} bytes." when the data
                region cannot grow that much.

        Cost: linear in the bytes behind ``address`` plus the number of entries (every
        entry is re-keyed).
        """
    def deallocate(self, address: SupportsIndex, amount_in_bytes: SupportsIndex) -> None:
        """Removes the ``amount_in_bytes`` bytes from ``address`` on. Entries keyed in
        the range, and pointers whose destination lies in it, are dropped; entries and
        destinations behind it move down by the amount.

        Raises:
            ValueError: "Invalid address 0x{address} for archive of size 0x{size}."
                when address >= size(); with address + amount shown when the range
                ends past the data region.
            ValueError: "Invalid address 0x{address} expected 4 byte alignment." when
                address is not a multiple of 4.
            ValueError: "Invalid value {amount} expected 4 byte alignment." when the
                amount is not a multiple of 4.

        Cost: linear in the bytes behind the range plus the number of entries.
        """
    def find_label_address(self, target: str) -> Optional[int]:
        """The address of a slot whose label list holds ``target``, or None when none
        does. When several slots carry the name, which one comes back is not defined.

        Raises:
            TypeError: (no message) when target is not a str.

        Cost: linear in the number of label names (each name compared once).
        """
