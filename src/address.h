// Addresses in the data region, the shared bounds-and-alignment check and its two
// messages, and the hexadecimal form every message uses.
#pragma once

#include <cstdint>
#include <string>

#include "archive_error.h"

namespace orvane {

/// A byte offset from the first byte of the data region (file offset minus 32).
using Address = std::uint64_t;

/// Upper-case hexadecimal without padding; zero is "0".
std::string hex(std::uint64_t value);

/// Hexadecimal of address + width computed without wrap-around: a sum past 2^64 - 1
/// prints its true value (a 17th digit), so the message names the real end.
std::string hex_end(std::uint64_t address, std::uint64_t width);

/// "Invalid address 0x{address} for archive of size 0x{size}."
ArchiveError range_error(const std::string& address_hex, std::uint64_t size);

/// "Invalid address 0x{address} expected {alignment} byte alignment."
ArchiveError alignment_error(std::uint64_t address, std::uint64_t alignment);

/// The one address check: below the size, the end (address + width) not past it when
/// width > 1, then aligned when alignment > 1. The first step that fails decides.
Status check_address(std::uint64_t size, Address address, std::uint64_t width,
                     std::uint64_t alignment);

}  // namespace orvane
