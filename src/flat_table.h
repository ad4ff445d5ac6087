// An open-addressing hash table sized once for a known number of keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive_error.h"

namespace orvane {

/// An open-addressing table for a number of keys known up front: it never rehashes,
/// allocates nothing per key, and keeps each hash beside its key, so a lookup touches
/// one slot instead of walking a chain of separately allocated nodes.
template <typename Key>
class FlatTable {
 public:
  explicit FlatTable(std::size_t keys) : room_(keys) {
    std::size_t slots = 16;
    while (slots < 2 * keys) slots *= 2;
    slots_.resize(slots);
    mask_ = slots - 1;
  }

  /// The value stored under `key` (whose hash is `hash`), inserting `value` first when
  /// the key is new; `inserted` tells which. At most `keys` keys may be inserted; the
  /// reference stays valid for the table's life.
  std::uint64_t& find_or_insert(std::uint64_t hash, const Key& key, std::uint64_t value,
                                bool& inserted) {
    return find_or_insert(hash, key, value, inserted,
                          [&key](const Key& stored) { return stored == key; });
  }

  /// As above, with `same(stored_key)` deciding whether a stored key with the same hash
  /// is the one looked for.
  template <typename Same>
  std::uint64_t& find_or_insert(std::uint64_t hash, const Key& key, std::uint64_t value,
                                bool& inserted, Same same) {
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (!slot.used) {
        // More keys than promised could fill the table and make this loop endless.
        if (room_ == 0) throw Fault("A table was given more keys than it was sized for.");
        --room_;
        slot = Slot{hash, key, value, true};
        inserted = true;
        return slot.value;
      }
      if (slot.hash == hash && same(slot.key)) {
        inserted = false;
        return slot.value;
      }
    }
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    Key key{};
    std::uint64_t value = 0;
    bool used = false;
  };
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t room_;
};

}  // namespace orvane
