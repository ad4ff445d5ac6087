// The archive's maps from slot addresses to entries: flat storage in two arrays.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "address.h"
#include "flat_table.h"

namespace orvane {

/// Address -> Value in one dense array of (address, value) pairs, in no particular
/// order, found through a FlatIndex. Iteration walks the dense array. Every change
/// either completes or, when memory runs out (std::bad_alloc), leaves the map as it was.
template <typename Value>
class SlotMap {
 public:
  using Entry = std::pair<Address, Value>;
  using value_type = Entry;
  using const_iterator = typename std::vector<Entry>::const_iterator;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }

  /// Room for `entries` entries in all, so that inserting up to that many allocates
  /// nothing more.
  void reserve(std::size_t entries) {
    if (entries <= entries_.capacity() && entries <= index_.room()) return;
    grow_to(entries);
  }

  /// Room in the dense array only, for `entries` entries added by append_above.
  void reserve_appended(std::size_t entries) {
    if (entries > FlatIndex::kNone - 1) throw std::bad_alloc();
    entries_.reserve(entries);
  }

  const Value* find(Address address) const noexcept {
    const std::uint32_t position = locate(address);
    return position == FlatIndex::kNone ? nullptr : &entries_[position].second;
  }
  Value* find(Address address) noexcept {
    const std::uint32_t position = locate(address);
    return position == FlatIndex::kNone ? nullptr : &entries_[position].second;
  }

  /// Starts fetching what a lookup of `address` looks at first. Only a hint.
  void prefetch(Address address) const noexcept { index_.prefetch(hash(address)); }

  /// The value at `address`, default-made first when there is none.
  Value& find_or_insert(Address address) {
    const std::uint32_t position = locate(address);
    if (position != FlatIndex::kNone) return entries_[position].second;
    return append(address, Value());
  }

  void insert_or_assign(Address address, Value value) {
    const std::uint32_t position = locate(address);
    if (position != FlatIndex::kNone) {
      entries_[position].second = std::move(value);
    } else {
      append(address, std::move(value));
    }
  }

  /// For loading in address order: an entry whose address lies above every address in
  /// the map goes straight to the dense array, unindexed, and index_appended() indexes
  /// them all at once before the map is used otherwise. Returns the stored value (valid
  /// until the next change), or stores nothing and returns nullptr when the address is
  /// not above the others; the caller then calls index_appended() and goes on with
  /// insert_or_assign.
  Value* append_above(Address address, Value value) {
    if (!entries_.empty() && address <= entries_.back().first) return nullptr;
    if (entries_.size() >= FlatIndex::kNone - 1) throw std::bad_alloc();
    entries_.emplace_back(address, std::move(value));
    appended_ = true;
    return &entries_.back().second;
  }

  void index_appended() {
    if (!appended_) return;
    // Room for what the array was reserved for, so inserts up to that need no growth.
    const std::size_t keys = std::max(entries_.size(), entries_.capacity());
    if (keys > index_.room()) index_.reset(keys);
    reindex();
    appended_ = false;
  }

  /// Removes the entry at `address`, if any; the last entry takes its place.
  void erase(Address address) noexcept {
    const std::uint32_t position = locate(address);
    if (position == FlatIndex::kNone) return;
    index_.erase(hash(address), position,
                 [this](std::uint32_t at) { return hash(entries_[at].first); });
    const auto last = static_cast<std::uint32_t>(entries_.size() - 1);
    if (position != last) {
      index_.renumber(hash(entries_[last].first), last, position);
      entries_[position] = std::move(entries_[last]);
    }
    entries_.pop_back();
  }

  /// Keeps the entries that `keep(entry)` accepts, lets `move(entry)` change each kept
  /// address (to distinct addresses) and value in place, and reindexes. Allocates
  /// nothing, so it cannot fail.
  template <typename Keep, typename Move>
  void rekey(Keep keep, Move move) noexcept {
    std::size_t kept = 0;
    bool moved = false;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (!keep(static_cast<const Entry&>(entries_[i]))) continue;
      if (kept != i) entries_[kept] = std::move(entries_[i]);
      const Address before = entries_[kept].first;
      move(entries_[kept]);
      moved = moved || kept != i || entries_[kept].first != before;
      ++kept;
    }
    moved = moved || kept != entries_.size();
    while (entries_.size() > kept) entries_.pop_back();
    if (moved) reindex();
  }

 private:
  static std::uint64_t hash(Address address) noexcept { return keyed_mix(address); }

  std::uint32_t locate(Address address) const noexcept {
    return index_.find(hash(address),
                       [&](std::uint32_t at) { return entries_[at].first == address; });
  }

  Value& append(Address address, Value value) {
    if (entries_.size() >= FlatIndex::kNone - 1) throw std::bad_alloc();
    if (entries_.size() == entries_.capacity() || entries_.size() >= index_.room()) {
      grow_to(entries_.size() < 8 ? 8 : 2 * entries_.size());
    }
    // Nothing below allocates.
    const auto position = static_cast<std::uint32_t>(entries_.size());
    entries_.emplace_back(address, std::move(value));
    index_.insert(hash(address), position);
    return entries_.back().second;
  }

  /// New arrays first, then the moves, which cannot fail.
  void grow_to(std::size_t entries) {
    if (entries > FlatIndex::kNone - 1) throw std::bad_alloc();
    std::vector<Entry> bigger;
    FlatIndex index;
    if (entries > index_.room()) index.reset(entries);
    if (entries > entries_.capacity()) {
      bigger.reserve(entries);
      for (Entry& entry : entries_) bigger.push_back(std::move(entry));
      entries_.swap(bigger);
    }
    if (entries > index_.room()) {
      std::swap(index_, index);
      reindex();
    }
  }

  void reindex() noexcept {
    const HashSecret secret = hash_secret();
    index_.rebuild(entries_.size(),
                   [&](std::size_t i) { return keyed_mix(entries_[i].first, secret); });
  }

  std::vector<Entry> entries_;
  FlatIndex index_;
  bool appended_ = false;  // entries added by append_above and not indexed yet
};

}  // namespace orvane
