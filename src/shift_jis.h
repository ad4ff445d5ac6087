// Text at the file boundary: zero-terminated Shift_JIS strings (or UTF-8 / UTF-16
// behind a byte-order mark) in, Shift_JIS out. Inside the model all text is UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive_error.h"
#include "byte_view.h"

namespace orvane {

/// The encodings a stored string can be in: Shift_JIS, or what a byte-order mark picks.
enum class TextEncoding : std::uint8_t { kShiftJis, kUtf8, kUtf16Le, kUtf16Be };

/// The encoding of stored bytes (no terminator) by their byte-order mark, in the
/// standard's sniffing order; `mark_length` gets the number of bytes the mark takes.
TextEncoding sniff_byte_order_mark(ByteView bytes, std::size_t& mark_length) noexcept;

/// Appends the UTF-8 form of `bytes` (no mark, no terminator) decoded in `encoding`,
/// fatal mode. Returns false on the first malformed or unmapped sequence, with `out`
/// at its original length.
bool decode_text(ByteView bytes, TextEncoding encoding, std::string& out);

/// Reads one character of `encoding` at data[pos] (pos < size), fatal mode, and moves
/// `pos` past it (by at most kMaxCharBytes). Returns false on a malformed or unmapped
/// sequence; `pos` is then unspecified.
bool next_char(TextEncoding encoding, const std::uint8_t* data, std::size_t size, std::size_t& pos,
               std::uint32_t& code_point);

/// The most bytes one character takes in any of the encodings.
constexpr std::size_t kMaxCharBytes = 4;

/// Appends the Shift_JIS form of `text` (UTF-8) to `out`, without terminator.
/// Error: "Error encoding shift-jis string." for a character with no Shift_JIS form or
/// for text that is not valid UTF-8; `out` then has its original length again.
Status encode_shift_jis_string(std::string_view text, std::vector<std::uint8_t>& out);

}  // namespace orvane
