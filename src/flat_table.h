// The one open-addressing table of the model: positions into a dense array that its
// user owns, found by hash. The string pool and the archive's slot maps both use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace orvane {

/// Linear probing over 32-bit positions; the keys live in the user's dense array, and
/// `same(position)` / `hash_of(position)` look at them. A lookup touches one run of
/// adjacent slots instead of walking a chain of separately allocated nodes. Removal
/// shifts the following entries back, so no tombstones build up. The table holds at
/// most three quarters of its slots.
class FlatIndex {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  FlatIndex() { reset(0); }
  /// Room for `keys` keys.
  explicit FlatIndex(std::size_t keys) { reset(keys); }

  /// How many keys fit before the table must grow.
  std::size_t room() const noexcept { return slots_.size() - slots_.size() / 4; }

  /// Replaces the table by an empty one with room for `keys` keys (throws bad_alloc).
  void reset(std::size_t keys) {
    std::size_t slots = 8;
    unsigned bits = 3;
    while (slots - slots / 4 < keys) {
      if (slots > (std::size_t(1) << 33)) throw std::bad_alloc();
      slots *= 2;
      ++bits;
    }
    std::vector<std::uint32_t> fresh(slots, kNone);
    slots_.swap(fresh);
    shift_ = 64 - bits;
  }

  /// Empties every slot, keeping the size.
  void clear() noexcept {
    for (std::uint32_t& slot : slots_) slot = kNone;
  }

  /// The position whose key `same` accepts among those with this hash, or kNone.
  template <typename Same>
  std::uint32_t find(std::uint64_t hash, Same same) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = home(hash);; i = (i + 1) & mask) {
      const std::uint32_t position = slots_[i];
      if (position == kNone || same(position)) return position;
    }
  }

  /// Adds a position whose key is not in the table; the caller keeps within room().
  void insert(std::uint64_t hash, std::uint32_t position) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = home(hash);
    while (slots_[i] != kNone) i = (i + 1) & mask;
    slots_[i] = position;
  }

  /// Points the slot that holds `from` at `to` instead (a dense entry moved).
  void renumber(std::uint64_t hash, std::uint32_t from, std::uint32_t to) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = home(hash);
    while (slots_[i] != from) i = (i + 1) & mask;
    slots_[i] = to;
  }

  /// Removes `position` (present, with this hash); `hash_of` gives the hash of the
  /// key at any other position.
  template <typename HashOf>
  void erase(std::uint64_t hash, std::uint32_t position, HashOf hash_of) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t hole = home(hash);
    while (slots_[hole] != position) hole = (hole + 1) & mask;
    for (std::size_t j = (hole + 1) & mask; slots_[j] != kNone; j = (j + 1) & mask) {
      // The entry at j may fill the hole when the hole lies on its probe path, that is
      // when it sits at least as far from its home as from the hole.
      const std::size_t from_home = (j - home(hash_of(slots_[j]))) & mask;
      if (from_home >= ((j - hole) & mask)) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole] = kNone;
  }

  /// Empties the table and inserts positions 0 .. count-1, `hash_at(position)` giving
  /// each one's hash. Each slot is fetched kAhead inserts before it is written, so the
  /// cache misses overlap instead of following one another.
  template <typename HashAt>
  void rebuild(std::size_t count, HashAt hash_at) noexcept {
    clear();
    constexpr std::size_t kAhead = 32;  // a power of two
    std::uint64_t hashes[kAhead];
    const std::size_t primed = count < kAhead ? count : kAhead;
    for (std::size_t i = 0; i < primed; ++i) {
      hashes[i] = hash_at(i);
      prefetch(&slots_[home(hashes[i])]);
    }
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t hash = hashes[i % kAhead];
      if (i + kAhead < count) {
        hashes[i % kAhead] = hash_at(i + kAhead);
        prefetch(&slots_[home(hashes[i % kAhead])]);
      }
      insert(hash, static_cast<std::uint32_t>(i));
    }
  }

 private:
  static void prefetch(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address, 1);
#else
    (void)address;
#endif
  }

  std::size_t home(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>(hash >> shift_);
  }

  std::vector<std::uint32_t> slots_;
  unsigned shift_ = 64;
};

/// Spreads a 64-bit key over all bits (the table probes by the top ones).
inline std::uint64_t mix_bits(std::uint64_t x) noexcept {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

}  // namespace orvane
