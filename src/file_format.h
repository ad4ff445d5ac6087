// The archive file's fixed layout and its little-endian integers. Loads and stores go
// through bytes, never pointer casts, so alignment and host byte order never matter.
#pragma once

#include <cstdint>

namespace orvane {

namespace file_format {

constexpr std::uint64_t kHeaderSize = 32;
constexpr std::uint64_t kFileSizeOffset = 0;
constexpr std::uint64_t kDataSizeOffset = 4;
constexpr std::uint64_t kPointerCountOffset = 8;
constexpr std::uint64_t kLabelCountOffset = 12;
constexpr std::uint64_t kPointerEntrySize = 4;
constexpr std::uint64_t kLabelRowSize = 8;
constexpr std::uint64_t kSlotSize = 4;

/// The format holds every size, count, address and destination in 32 bits.
constexpr std::uint64_t kMaxU32 = 0xFFFFFFFFu;

}  // namespace file_format

inline std::uint32_t load_u32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void store_u32(std::uint8_t* p, std::uint32_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace orvane
