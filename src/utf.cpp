// UTF-8 and UTF-16 decoding behind a byte-order mark. Fatal mode throughout: the
// first malformed sequence fails the whole string, so no U+FFFD is ever produced.
#include "utf.h"

namespace orvane {

bool next_utf8_scalar(const std::uint8_t* data, std::size_t size, std::size_t& pos,
                      std::uint32_t& code_point) noexcept {
  const std::uint8_t first = data[pos];
  if (first < 0x80) {
    code_point = first;
    ++pos;
    return true;
  }
  // The bounds of the second byte carry the overlong, surrogate and U+10FFFF limits,
  // exactly as the standard's "lower/upper boundary" does.
  std::size_t needed = 0;
  std::uint8_t lower = 0x80;
  std::uint8_t upper = 0xBF;
  std::uint32_t value = 0;
  if (first >= 0xC2 && first <= 0xDF) {
    needed = 1;
    value = first & 0x1F;
  } else if (first >= 0xE0 && first <= 0xEF) {
    if (first == 0xE0) lower = 0xA0;
    if (first == 0xED) upper = 0x9F;
    needed = 2;
    value = first & 0x0F;
  } else if (first >= 0xF0 && first <= 0xF4) {
    if (first == 0xF0) lower = 0x90;
    if (first == 0xF4) upper = 0x8F;
    needed = 3;
    value = first & 0x07;
  } else {
    return false;
  }
  if (size - pos - 1 < needed) return false;
  for (std::size_t i = 1; i <= needed; ++i) {
    const std::uint8_t byte = data[pos + i];
    if (byte < lower || byte > upper) return false;
    lower = 0x80;
    upper = 0xBF;
    value = value << 6 | (byte & 0x3F);
  }
  pos += needed + 1;
  code_point = value;
  return true;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    const char bytes[] = {static_cast<char>(0xC0 | code_point >> 6),
                          static_cast<char>(0x80 | (code_point & 0x3F))};
    out.append(bytes, sizeof bytes);
  } else if (code_point < 0x10000) {
    const char bytes[] = {static_cast<char>(0xE0 | code_point >> 12),
                          static_cast<char>(0x80 | (code_point >> 6 & 0x3F)),
                          static_cast<char>(0x80 | (code_point & 0x3F))};
    out.append(bytes, sizeof bytes);
  } else {
    const char bytes[] = {static_cast<char>(0xF0 | code_point >> 18),
                          static_cast<char>(0x80 | (code_point >> 12 & 0x3F)),
                          static_cast<char>(0x80 | (code_point >> 6 & 0x3F)),
                          static_cast<char>(0x80 | (code_point & 0x3F))};
    out.append(bytes, sizeof bytes);
  }
}

bool decode_utf8(ByteView bytes, std::string& out) {
  // Valid input is already the output: only check it, then copy it in one go.
  std::size_t pos = 0;
  std::uint32_t code_point = 0;
  while (pos < bytes.size) {
    if (!next_utf8_scalar(bytes.data, bytes.size, pos, code_point)) return false;
  }
  out.append(reinterpret_cast<const char*>(bytes.data), bytes.size);
  return true;
}

bool next_utf16_scalar(const std::uint8_t* data, std::size_t size, std::size_t& pos,
                       bool big_endian, std::uint32_t& code_point) noexcept {
  const auto unit_at = [&](std::size_t i) -> std::uint32_t {
    const std::uint8_t* p = data + i;
    return big_endian ? static_cast<std::uint32_t>(p[0] << 8 | p[1])
                      : static_cast<std::uint32_t>(p[1] << 8 | p[0]);
  };
  if (size - pos < 2) return false;  // one odd byte left over
  const std::uint32_t unit = unit_at(pos);
  if (unit < 0xD800 || unit > 0xDFFF) {
    code_point = unit;
    pos += 2;
    return true;
  }
  // A trailing surrogate first, or a leading one without a trailing one next
  // (including at the end of the bytes), is an error.
  if (unit > 0xDBFF || size - pos < 4) return false;
  const std::uint32_t trail = unit_at(pos + 2);
  if (trail < 0xDC00 || trail > 0xDFFF) return false;
  code_point = 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00);
  pos += 4;
  return true;
}

bool decode_utf16(ByteView bytes, bool big_endian, std::string& out) {
  const std::size_t original = out.size();
  std::size_t pos = 0;
  std::uint32_t code_point = 0;
  while (pos < bytes.size) {
    if (!next_utf16_scalar(bytes.data, bytes.size, pos, big_endian, code_point)) {
      out.resize(original);
      return false;
    }
    append_utf8(out, code_point);
  }
  return true;
}

}  // namespace orvane
