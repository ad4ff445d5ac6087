// Shift_JIS as the WHATWG Encoding Standard defines it, in fatal mode both ways, plus
// byte-order-mark sniffing that picks UTF-8 or UTF-16 instead.
#include "shift_jis.h"

#include <algorithm>

#include "jis0208_table.h"
#include "utf.h"

namespace orvane {
namespace {

constexpr const char* kEncodeError = "Error encoding shift-jis string.";

bool is_lead_byte(std::uint8_t byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool is_trail_byte(std::uint8_t byte) {
  return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}

/// Reads one character at data[pos] (pos < size), moving `pos` past it. Fatal mode:
/// an invalid or unmapped byte fails, so the standard's "restore an ASCII trail byte"
/// step never matters here.
bool next_shift_jis_char(const std::uint8_t* data, std::size_t size, std::size_t& pos,
                         std::uint32_t& code_point) {
  const std::uint8_t lead = data[pos];
  if (lead <= 0x80) {  // ASCII, and 0x80 as U+0080
    code_point = lead;
    ++pos;
    return true;
  }
  if (lead >= 0xA1 && lead <= 0xDF) {  // half-width katakana
    code_point = 0xFF61 - 0xA1 + lead;
    ++pos;
    return true;
  }
  if (!is_lead_byte(lead) || size - pos < 2) return false;
  const std::uint8_t trail = data[pos + 1];
  if (!is_trail_byte(trail)) return false;
  const std::uint32_t pointer =
      (lead - (lead < 0xA0 ? 0x81u : 0xC1u)) * 188 + trail - (trail < 0x7F ? 0x40u : 0x41u);
  if (pointer >= 8836 && pointer <= 10715) {
    // Windows end-user-defined characters, mapped onto private use.
    code_point = 0xE000 - 8836 + pointer;
  } else {
    code_point = jis0208_code_point(pointer);
    if (code_point == 0) return false;
  }
  pos += 2;
  return true;
}

bool decode_shift_jis(const std::uint8_t* data, std::size_t size, std::string& out) {
  std::size_t i = 0;
  while (i < size) {
    if (data[i] < 0x80) {
      // Most archive text is ASCII: copy the whole run at once.
      std::size_t end = i + 1;
      while (end < size && data[end] < 0x80) ++end;
      out.append(reinterpret_cast<const char*>(data + i), end - i);
      i = end;
      continue;
    }
    std::uint32_t code_point = 0;
    if (!next_shift_jis_char(data, size, i, code_point)) return false;
    append_utf8(out, code_point);
  }
  return true;
}

}  // namespace

TextEncoding sniff_byte_order_mark(ByteView bytes, std::size_t& mark_length) noexcept {
  const std::uint8_t* p = bytes.data;
  const std::size_t n = bytes.size;
  // The mark wins over Shift_JIS, in the standard's sniffing order; only one is dropped.
  if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
    mark_length = 3;
    return TextEncoding::kUtf8;
  }
  if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
    mark_length = 2;
    return TextEncoding::kUtf16Le;
  }
  if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
    mark_length = 2;
    return TextEncoding::kUtf16Be;
  }
  mark_length = 0;
  return TextEncoding::kShiftJis;
}

bool decode_text(ByteView bytes, TextEncoding encoding, std::string& out) {
  const std::size_t original = out.size();
  bool ok = false;
  switch (encoding) {
    case TextEncoding::kShiftJis:
      out.reserve(original + bytes.size);
      ok = decode_shift_jis(bytes.data, bytes.size, out);
      break;
    case TextEncoding::kUtf8:
      ok = decode_utf8(bytes, out);
      break;
    case TextEncoding::kUtf16Le:
    case TextEncoding::kUtf16Be:
      ok = decode_utf16(bytes, encoding == TextEncoding::kUtf16Be, out);
      break;
  }
  if (!ok) out.resize(original);
  return ok;
}

bool next_char(TextEncoding encoding, const std::uint8_t* data, std::size_t size, std::size_t& pos,
               std::uint32_t& code_point) {
  switch (encoding) {
    case TextEncoding::kShiftJis:
      return next_shift_jis_char(data, size, pos, code_point);
    case TextEncoding::kUtf8:
      return next_utf8_scalar(data, size, pos, code_point);
    case TextEncoding::kUtf16Le:
      return next_utf16_scalar(data, size, pos, /*big_endian=*/false, code_point);
    case TextEncoding::kUtf16Be:
      return next_utf16_scalar(data, size, pos, /*big_endian=*/true, code_point);
  }
  return false;
}

Status encode_shift_jis_string(std::string_view text, std::vector<std::uint8_t>& out) {
  const std::size_t original = out.size();
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t size = text.size();
  // Shift_JIS never takes more bytes than UTF-8, so room for `size` more bytes is
  // enough. `out` is the writer's whole text region: room is made by doubling, as the
  // vector's own growth does, never by an exact reservation per string, which would
  // copy the region each time.
  if (out.capacity() - original < size) {
    out.reserve(std::max(original + size, original <= out.max_size() / 2 ? 2 * original : 0));
  }
  out.resize(original + size);
  std::uint8_t* const begin = out.data() + original;
  std::uint8_t* put = begin;
  std::size_t i = 0;
  while (i < size) {
    const std::uint8_t first = data[i];
    if (first < 0x80) {  // ASCII (U+0000 included) maps to itself
      *put++ = first;
      ++i;
      continue;
    }
    std::uint32_t code_point = 0;
    // Three-byte sequences without the overlong and surrogate limits of E0 and ED
    // (kana and kanji among them) are read here; every other one, malformed ones
    // included, by the full check. Text from the model is UTF-8 by contract, but
    // callers that bypass Python can hand in anything; malformed input is an
    // encoding failure, never a guess.
    if (first > 0xE0 && first <= 0xEF && first != 0xED && size - i >= 3 &&
        (data[i + 1] & 0xC0) == 0x80 && (data[i + 2] & 0xC0) == 0x80) {
      code_point = (std::uint32_t{first} & 0x0F) << 12 | (std::uint32_t{data[i + 1]} & 0x3F) << 6 |
                   (std::uint32_t{data[i + 2]} & 0x3F);
      i += 3;
    } else if (!next_utf8_scalar(data, size, i, code_point)) {
      out.resize(original);
      return fail(kEncodeError);
    }
    if (code_point == 0x80) {
      *put++ = 0x80;
      continue;
    }
    if (code_point == 0xA5) {  // YEN SIGN takes the byte of the backslash
      *put++ = 0x5C;
      continue;
    }
    if (code_point == 0x203E) {  // OVERLINE takes the byte of the tilde
      *put++ = 0x7E;
      continue;
    }
    if (code_point >= 0xFF61 && code_point <= 0xFF9F) {  // half-width katakana
      *put++ = static_cast<std::uint8_t>(code_point - 0xFF61 + 0xA1);
      continue;
    }
    if (code_point == 0x2212) code_point = 0xFF0D;  // MINUS SIGN as FULLWIDTH HYPHEN-MINUS
    const std::uint32_t pointer = jis0208_shift_jis_pointer(code_point);
    if (pointer == kNoShiftJisPointer) {
      out.resize(original);
      return fail(kEncodeError);
    }
    const std::uint32_t lead = pointer / 188;
    const std::uint32_t trail = pointer % 188;
    *put++ = static_cast<std::uint8_t>(lead + (lead < 0x1F ? 0x81 : 0xC1));
    *put++ = static_cast<std::uint8_t>(trail + (trail < 0x3F ? 0x40 : 0x41));
  }
  out.resize(original + static_cast<std::size_t>(put - begin));
  return Ok{};
}

}  // namespace orvane
