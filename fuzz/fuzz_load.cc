// Fuzz target: from_bytes on arbitrary bytes. A file that loads must satisfy the
// loader's own promises (keys are slots, data pointers point inside the data region,
// every label list has a name) and survive the write -> load round trip.
//
// The loader checks file_size against the input length before anything else, and
// almost every mutation breaks that. So each input is tried as given and, when it has
// a header whose file_size is wrong, once more with its first four bytes replaced by
// its own length: that lets the fuzzer reach the tables and the text region.
//
// With ORVANE_FUZZ_TRACE set, each load prints one line to stdout: its error, or what
// the archive holds and a digest of the file it writes. Builds for other platforms
// replay the corpus with it and must print the same lines.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "fuzz_checks.h"

namespace {

using namespace fuzz;
using orvane::load_u32;

bool tracing = false;

/// FNV-1a: a digest of a written file that is the same on every platform.
std::uint64_t digest(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t hash = 0xCBF29CE484222325u;
  for (const std::uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001B3u;
  return hash;
}

void trace(std::size_t length, const orvane::Result<BinArchive>& loaded) {
  std::cout << "load " << length << " bytes: ";
  if (!loaded.ok()) {
    std::cout << loaded.error().message << "\n";
    return;
  }
  const BinArchive& a = loaded.value();
  const Counts c = counts(a);
  std::cout << "0x" << hex(c.data) << " data, " << c.text << " text, " << c.pointers
            << " pointers, " << c.labels << " labels; ";
  auto written = orvane::serialize(a);
  if (written.ok()) {
    std::cout << "writes " << written.value().size() << " bytes, digest "
              << hex(digest(written.value())) << "\n";
  } else {
    std::cout << "write fails: " << written.error().message << "\n";
  }
}

void check_load(const std::uint8_t* bytes, std::size_t length) {
  auto loaded = orvane::from_bytes(orvane::ByteView{bytes, length});
  if (tracing) trace(length, loaded);
  if (!loaded.ok()) {
    const std::string& m = loaded.error().message;
    FUZZ_REQUIRE(is_load_message(m), "undocumented load message: " + m);
    // The header checks come first and in a fixed order, so their outcome is known.
    if (length < 32) {
      FUZZ_REQUIRE(m == "Input is not a large enough to contain an archive header.", m);
    } else if (load_u32(bytes) != length) {
      FUZZ_REQUIRE(m == "Incorrect file size in archive header.", m);
    } else {
      const std::uint64_t text_start = 32 + std::uint64_t{load_u32(bytes + 4)} +
                                       4 * std::uint64_t{load_u32(bytes + 8)} +
                                       8 * std::uint64_t{load_u32(bytes + 12)};
      const bool too_short = text_start > length;
      FUZZ_REQUIRE(too_short == (m.rfind("Archive is not large enough", 0) == 0),
                   "header size check disagrees: " + m);
    }
    return;
  }
  const BinArchive& a = loaded.value();
  const Snapshot s = snapshot(a);
  const std::uint64_t size = load_u32(bytes + 4);
  FUZZ_REQUIRE(s.data.size() == size, "data region has the wrong length");
  FUZZ_REQUIRE(std::equal(s.data.begin(), s.data.end(), bytes + 32), "data region is not a copy");
  check_keys(s);
  for (const auto& [address, destination] : s.pointers) {
    FUZZ_REQUIRE(destination <= size, "loaded a data pointer past the data region");
    FUZZ_REQUIRE(load_u32(s.data.data() + address) == destination, "pointer is not its slot value");
    FUZZ_REQUIRE(s.text.count(address) == 0, "one slot loaded as both pointer and text");
  }
  for (const auto& entry : s.text) {
    FUZZ_REQUIRE(load_u32(s.data.data() + entry.first) > size, "text slot holds a data pointer");
  }
  for (const auto& entry : s.labels)
    FUZZ_REQUIRE(!entry.second.empty(), "loaded an empty label list");
  check_round_trip(a);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tracing = std::getenv("ORVANE_FUZZ_TRACE") != nullptr;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_load(data, size);
  if (size >= 32 && load_u32(data) != size) {
    std::vector<std::uint8_t> fixed(data, data + size);
    orvane::store_u32(fixed.data(), static_cast<std::uint32_t>(size));
    check_load(fixed.data(), fixed.size());
  }
  return 0;
}
