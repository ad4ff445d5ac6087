// Text at the file boundary: zero-terminated Shift_JIS strings (or UTF-8 / UTF-16
// behind a byte-order mark) in, Shift_JIS out. Inside the model all text is UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive_error.h"
#include "file_format.h"

namespace orvane {

/// Reads the bytes at `offset` of `buffer` up to the first 0x00 and decodes them in
/// fatal mode: a byte-order mark selects UTF-8, UTF-16LE or UTF-16BE, else Shift_JIS.
/// Errors: "Fell out of buffer while reading shift-jis string." when no 0x00 byte lies
/// between offset and the end (offset >= size included); "Error decoding shift-jis
/// string." for any malformed or unmapped sequence.
Result<std::string> read_shift_jis_string(ByteView buffer, std::uint64_t offset);

/// Decodes `bytes` (no terminator) exactly as read_shift_jis_string does after it has
/// found the terminator.
Result<std::string> decode_shift_jis_bytes(ByteView bytes);

/// Appends the Shift_JIS form of `text` (UTF-8) to `out`, without terminator.
/// Error: "Error encoding shift-jis string." for a character with no Shift_JIS form or
/// for text that is not valid UTF-8; `out` then has its original length again.
Status encode_shift_jis_string(std::string_view text, std::vector<std::uint8_t>& out);

}  // namespace orvane
