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

/// Interns strings, then writes the text region. Equality is by characters, before
/// encoding. Interning only finds each string's index; encoding waits until every
/// string is known, so the region is written once, straight into the file, into room
/// reserved before its first byte.
class StringPool {
 public:
  /// Room for `strings` calls of intern.
  explicit StringPool(std::size_t strings);

  /// The string's index: 0, 1, 2, ... for distinct strings in the order first met.
  /// `text` must outlive the pool (it becomes the key).
  std::uint32_t intern(const Text& text);

  /// Announces that intern(text) will come soon, after the calls already announced:
  /// the table slots it will look at are fetched now, so a run of interns does not
  /// wait on one cache miss after another. Only a hint; intern works without it.
  void look_ahead(const Text& text) noexcept;

  /// How many distinct strings were interned.
  std::size_t count() const noexcept { return strings_.size(); }
  /// The most bytes the text region can take: Shift_JIS is never longer than UTF-8,
  /// and each string ends with a 0x00.
  std::uint64_t most_bytes() const noexcept { return utf8_bytes_ + strings_.size(); }

  /// Appends the text region to `out`: each distinct string encoded, in index order,
  /// with its 0x00. Stops with "Error encoding shift-jis string." at the first string
  /// Shift_JIS cannot hold (U+0000 included), or with `too_large` as soon as the
  /// region passes `limit` bytes.
  Status write(std::vector<std::uint8_t>& out, std::uint64_t limit, const ArchiveError& too_large);

  /// Where the string of this index starts in the text region (after write).
  std::uint64_t offset(std::uint32_t index) const noexcept { return offsets_[index]; }

 private:
  // Entries loaded from one file position share one Text, so the identity lookup
  // answers most repeats without looking at the characters.
  std::vector<std::uint64_t> objects_;         // each distinct Text met
  std::vector<std::uint32_t> object_strings_;  // its string's index
  FlatIndex by_object_;
  // By index: the archive's own Text objects, which outlive the pool, and where each
  // string starts. Text decoded on read is decoded again only to compare it with a
  // string of the same hash, instead of holding a decoded copy of every distinct
  // string for the whole call.
  std::vector<const Text*> strings_;
  std::vector<std::uint64_t> offsets_;
  // Linear probing by the hash of the characters. A slot holds the hash's low 32 bits
  // above index + 1 (0: empty), so a probe compares characters only when those bits
  // match, without fetching anything else.
  std::vector<std::uint64_t> by_value_;
  std::uint64_t utf8_bytes_ = 0;
  std::string scratch_;
  std::size_t room_;  // the calls of intern the tables are sized for
  std::size_t calls_ = 0;
  // Texts announced by look_ahead and not interned yet, with the hash of their
  // characters when it could be had without decoding.
  static constexpr std::size_t kAhead = 16;  // a power of two
  struct Announced {
    const Text* text;
    std::uint64_t value_hash;
    bool hashed;
  };
  Announced announced_[kAhead];
  std::size_t announced_begin_ = 0;
  std::size_t announced_end_ = 0;
};

}  // namespace orvane
