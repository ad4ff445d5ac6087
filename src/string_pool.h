// The writer's text region: every distinct string encoded once, in the order first met.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive_error.h"
#include "text.h"

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
  std::vector<std::uint64_t> offsets_;  // by index
  // Entries loaded from one file position share one Text, so the identity lookup
  // answers most repeats without looking at the characters.
  FlatTable<const void*> by_object_;
  // Keyed by the archive's own Text objects, which outlive the pool: text decoded on
  // read is decoded again only to compare it with a string of the same hash, instead
  // of holding a decoded copy of every distinct string for the whole call.
  FlatTable<const Text*> by_value_;
};

}  // namespace orvane
