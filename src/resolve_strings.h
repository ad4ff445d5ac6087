// Resolving the strings a file's tables name: every distinct string position is read
// and decoded once, in ascending order, so finding each terminator costs one scan of
// the file in all. Positions inside one run of bytes share one copy of it (see text.h).
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "archive_error.h"
#include "byte_view.h"
#include "suffix_sizes.h"
#include "text.h"

namespace orvane {

/// Every position at or past the file's end fails alike, so those are all held as the
/// end: four bytes per named string instead of eight.
inline Position clamp_position(std::uint64_t offset, std::uint64_t input_size) noexcept {
  return static_cast<Position>(offset < input_size ? offset : input_size);
}

/// Every named string position (ascending, distinct) with its text or the message of
/// its failure, searched by bisection: flat arrays instead of a hash node per position.
class Strings {
 public:
  enum Outcome : std::uint8_t { kUnresolved, kText, kFellOutOfBuffer, kDoesNotDecode };

  explicit Strings(std::vector<Position> positions) : positions_(std::move(positions)) {
    texts_.resize(positions_.size());
    outcomes_.assign(positions_.size(), kUnresolved);
  }
  const std::vector<Position>& positions() const noexcept { return positions_; }

  /// Records the outcome of the k-th position, once; the text of a kText outcome may
  /// be set later with set_text.
  void emplace(std::size_t k, Outcome outcome, Text text = Text()) {
    if (k >= positions_.size() || outcomes_[k] != kUnresolved || outcome == kUnresolved) {
      throw Fault("A string position was resolved twice.");
    }
    outcomes_[k] = outcome;
    texts_[k] = std::move(text);
  }
  void set_text(std::size_t k, Text text) noexcept { texts_[k] = std::move(text); }

  /// The text at file offset `offset` (of an input of `input_size` bytes), or nullptr
  /// with `error` set to its failure's message. Not for use by two threads at once.
  const Text* at(std::uint64_t offset, std::uint64_t input_size, const char*& error) const;

 private:
  std::vector<Position> positions_;
  std::vector<Text> texts_;  // empty handles where the position failed
  std::vector<Outcome> outcomes_;
  mutable std::size_t last_ = 0;  // where `at` found the previous position
};

/// Every position in `named` (any order, repeats allowed) mapped to its text or its
/// failure.
Strings resolve_strings(ByteView input, std::vector<Position> named);

}  // namespace orvane
