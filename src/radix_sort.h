// A stable sort by an unsigned 64-bit key in time linear in the count: the loader and
// the writer sort hundreds of thousands of addresses and offsets per call, where a
// comparison sort spends most of its time on branches it cannot predict.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvane {

/// Sorts `items` by `key_of(item)`, keeping the order of equal keys. Only as many
/// 11-bit digits as the largest key has are sorted, so 32-bit keys take three passes.
template <typename T, typename KeyOf>
void radix_sort(std::vector<T>& items, KeyOf key_of) {
  if (items.size() < 2) return;
  std::uint64_t largest = 0;
  bool sorted = true;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::uint64_t key = key_of(items[i]);
    if (key > largest) largest = key;
    if (i != 0 && key < key_of(items[i - 1])) sorted = false;
  }
  if (sorted) return;
  // Below a few thousand items, clearing and summing the buckets costs more than
  // comparing.
  if (items.size() < 2048) {
    std::stable_sort(items.begin(), items.end(),
                     [&](const T& a, const T& b) { return key_of(a) < key_of(b); });
    return;
  }
  constexpr unsigned kBits = 11;
  constexpr std::size_t kBuckets = std::size_t(1) << kBits;
  std::vector<T> other(items.size());
  std::vector<std::size_t> starts(kBuckets);
  for (unsigned shift = 0; shift < 64 && (largest >> shift) != 0; shift += kBits) {
    for (std::size_t& start : starts) start = 0;
    for (const T& item : items) ++starts[(key_of(item) >> shift) & (kBuckets - 1)];
    std::size_t running = 0;
    for (std::size_t& start : starts) {
      const std::size_t count = start;
      start = running;
      running += count;
    }
    for (T& item : items) other[starts[(key_of(item) >> shift) & (kBuckets - 1)]++] = item;
    items.swap(other);
  }
}

}  // namespace orvane
