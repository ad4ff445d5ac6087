// The writer's text region: every distinct string encoded once, in the order first met.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive_error.h"
#include "flat_table.h"
#include "text.h"

namespace orvane {

/// Interns strings into the text region. Equality is by characters, before encoding.
class StringPool {
 public:
  struct Interned {
    std::uint64_t offset;  ///< where the string starts in the text region
    std::size_t index;     ///< 0, 1, 2, ... for distinct strings in the order first met
  };

  /// Room for `strings` calls of intern.
  explicit StringPool(std::size_t strings);

  /// The string's place in the region, encoding it first if it is new; `text` must
  /// outlive the pool (it becomes the key). Fails with
  /// "Error encoding shift-jis string." for text Shift_JIS cannot hold, U+0000 included.
  Result<Interned> intern(const Text& text);

  const std::vector<std::uint8_t>& bytes() const noexcept { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  // Entries loaded from one file position share one Text, so the identity lookup
  // answers most repeats without looking at the characters.
  std::vector<const void*> objects_;           // each distinct Text met
  std::vector<std::uint32_t> object_strings_;  // its string's index
  FlatIndex by_object_;
  // By index: the archive's own Text objects, which outlive the pool, and where each
  // string starts. Text decoded on read is decoded again only to compare it with a
  // string of the same hash, instead of holding a decoded copy of every distinct
  // string for the whole call.
  std::vector<const Text*> strings_;
  std::vector<std::uint64_t> hashes_;  // of the characters, checked before them
  std::vector<std::uint64_t> offsets_;
  FlatIndex by_value_;
  std::string scratch_;
  std::size_t room_;  // the calls of intern the tables are sized for
  std::size_t calls_ = 0;
};

}  // namespace orvane
