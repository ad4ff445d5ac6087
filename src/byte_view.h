// A read-only run of bytes that someone else owns: what the loader reads, the codec
// decodes and read_bytes hands out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane {

/// A read-only run of bytes owned by someone else.
struct ByteView {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

}  // namespace orvane
