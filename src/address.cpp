// The shared address check and the hexadecimal form of its messages.
#include "address.h"

namespace orvane {

std::string hex(std::uint64_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  char buffer[16];
  int n = 0;
  do {
    buffer[n++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  std::string out;
  out.reserve(static_cast<std::size_t>(n));
  while (n > 0) out.push_back(buffer[--n]);
  return out;
}

std::string hex_end(std::uint64_t address, std::uint64_t width) {
  const std::uint64_t low = address + width;  // wraps modulo 2^64 by definition
  if (low >= address) return hex(low);
  // The carry is the 65th bit: "1" followed by all 16 digits of the low part.
  std::string digits = hex(low);
  return "1" + std::string(16 - digits.size(), '0') + digits;
}

ArchiveError range_error(const std::string& address_hex, std::uint64_t size) {
  return fail("Invalid address 0x" + address_hex + " for archive of size 0x" + hex(size) + ".");
}

ArchiveError alignment_error(std::uint64_t address, std::uint64_t alignment) {
  return fail("Invalid address 0x" + hex(address) + " expected " + std::to_string(alignment) +
              " byte alignment.");
}

Status check_address(std::uint64_t size, Address address, std::uint64_t width,
                     std::uint64_t alignment) {
  if (address >= size) return range_error(hex(address), size);
  // address < size, so size - address cannot wrap; this also avoids overflow of the sum.
  if (width > 1 && width > size - address) return range_error(hex_end(address, width), size);
  if (alignment > 1 && address % alignment != 0) return alignment_error(address, alignment);
  return Ok{};
}

}  // namespace orvane
