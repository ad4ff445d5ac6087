// The UTF-8 and UTF-16 decoders that a byte-order mark selects in place of Shift_JIS,
// in the fatal error mode of the WHATWG Encoding Standard, plus the UTF-8 scalar
// reader and writer that the Shift_JIS codec shares with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "byte_view.h"

namespace orvane {

/// Reads one UTF-8 scalar value at `data[pos]` (pos < size) with the standard's rules
/// (no overlongs, no surrogates, nothing above U+10FFFF, no truncation) and moves `pos`
/// past it. Returns false on a malformed sequence; `pos` is then unspecified.
bool next_utf8_scalar(const std::uint8_t* data, std::size_t size, std::size_t& pos,
                      std::uint32_t& code_point) noexcept;

/// Reads one UTF-16 scalar value (a unit, or a surrogate pair) at `data[pos]`
/// (pos < size) and moves `pos` past it. Returns false on an unpaired surrogate or
/// when fewer bytes than a whole unit remain; `pos` is then unspecified.
bool next_utf16_scalar(const std::uint8_t* data, std::size_t size, std::size_t& pos,
                       bool big_endian, std::uint32_t& code_point) noexcept;

/// The number of UTF-8 bytes of a scalar value.
inline std::size_t utf8_length(std::uint32_t code_point) noexcept {
  return code_point < 0x80 ? 1 : code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
}

/// Appends the UTF-8 form of a scalar value (not a surrogate, at most U+10FFFF).
void append_utf8(std::string& out, std::uint32_t code_point);

/// Appends `bytes`, which must be valid UTF-8, to `out`. Returns false otherwise, with
/// `out` at its original length.
bool decode_utf8(ByteView bytes, std::string& out);

/// Appends the UTF-8 form of UTF-16 `bytes` (big- or little-endian) to `out`. Returns
/// false on an unpaired surrogate or an odd trailing byte, with `out` at its original
/// length.
bool decode_utf16(ByteView bytes, bool big_endian, std::string& out);

}  // namespace orvane
