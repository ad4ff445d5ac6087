// The open-addressing table of the archive's slot maps and of the string pool's lookup
// by identity: positions into a dense array that its user owns, found by hash. (The
// pool's lookup by characters keeps hash bits beside each position: string_pool.h.)
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <vector>

namespace orvane {

/// Starts fetching the cache line at `address`, which is about to be read or written.
/// Only a hint: it changes no result.
inline void prefetch_line(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address, 1);
#else
  (void)address;
#endif
}

/// Linear probing over 32-bit positions; the keys live in the user's dense array, and
/// `same(position)` / `hash_of(position)` look at them. A lookup touches one run of
/// adjacent slots instead of walking a chain of separately allocated nodes. Removal
/// shifts the following entries back, so no tombstones build up. The table holds at
/// most three quarters of its slots; their count is not rounded to a power of two (a
/// hash picks its home slot by multiplying), so a table sized for the keys it gets,
/// as a loaded archive's are, costs at most 16/3 bytes per key.
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
    if (keys >= kNone) throw std::bad_alloc();
    std::size_t slots = keys + keys / 3;
    if (slots < 8) slots = 8;
    while (slots - slots / 4 < keys) ++slots;
    std::vector<std::uint32_t> fresh(slots, kNone);
    slots_.swap(fresh);
  }

  /// Empties every slot, keeping the size.
  void clear() noexcept {
    for (std::uint32_t& slot : slots_) slot = kNone;
  }

  /// The position whose key `same` accepts among those with this hash, or kNone.
  template <typename Same>
  std::uint32_t find(std::uint64_t hash, Same same) const noexcept {
    for (std::size_t i = home(hash);; i = next(i)) {
      const std::uint32_t position = slots_[i];
      if (position == kNone || same(position)) return position;
    }
  }

  /// The slot of `count` a hash starts its probe at: its top bits, scaled to the count.
  static std::size_t home_in(std::uint64_t hash, std::size_t count) noexcept {
    return static_cast<std::size_t>(mul_high(hash, count));
  }

  /// Starts fetching the slot a lookup of this hash begins at.
  void prefetch(std::uint64_t hash) const noexcept { prefetch_line(&slots_[home(hash)]); }

  /// Adds a position whose key is not in the table; the caller keeps within room().
  void insert(std::uint64_t hash, std::uint32_t position) noexcept {
    std::size_t i = home(hash);
    while (slots_[i] != kNone) i = next(i);
    slots_[i] = position;
  }

  /// Points the slot that holds `from` at `to` instead (a dense entry moved).
  void renumber(std::uint64_t hash, std::uint32_t from, std::uint32_t to) noexcept {
    std::size_t i = home(hash);
    while (slots_[i] != from) i = next(i);
    slots_[i] = to;
  }

  /// Removes `position` (present, with this hash); `hash_of` gives the hash of the
  /// key at any other position.
  template <typename HashOf>
  void erase(std::uint64_t hash, std::uint32_t position, HashOf hash_of) noexcept {
    std::size_t hole = home(hash);
    while (slots_[hole] != position) hole = next(hole);
    for (std::size_t j = next(hole); slots_[j] != kNone; j = next(j)) {
      // The entry at j may fill the hole when the hole lies on its probe path, that is
      // when it sits at least as far from its home as from the hole.
      const std::size_t from_home = behind(j, home(hash_of(slots_[j])));
      if (from_home >= behind(j, hole)) {
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
      prefetch_line(&slots_[home(hashes[i])]);
    }
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t hash = hashes[i % kAhead];
      if (i + kAhead < count) {
        hashes[i % kAhead] = hash_at(i + kAhead);
        prefetch_line(&slots_[home(hashes[i % kAhead])]);
      }
      insert(hash, static_cast<std::uint32_t>(i));
    }
  }

 private:
  /// The slot a hash starts its probe at: its top bits, scaled to the slot count.
  std::size_t home(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>(mul_high(hash, slots_.size()));
  }
  std::size_t next(std::size_t i) const noexcept { return i + 1 == slots_.size() ? 0 : i + 1; }
  /// How many slots `to` lies before `from`, going round the end.
  std::size_t behind(std::size_t from, std::size_t to) const noexcept {
    return from >= to ? from - to : from + slots_.size() - to;
  }

  static std::uint64_t mul_high(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 Wide;
    return static_cast<std::uint64_t>((static_cast<Wide>(a) * b) >> 64);
#else
    const std::uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32;
    const std::uint64_t b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
    const std::uint64_t hi_lo = a_hi * b_lo;
    const std::uint64_t cross = ((a_lo * b_lo) >> 32) + (hi_lo & 0xFFFFFFFFu) + a_lo * b_hi;
    return a_hi * b_hi + (hi_lo >> 32) + (cross >> 32);
#endif
  }

  std::vector<std::uint32_t> slots_;
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

/// A secret drawn once per process and mixed into the hash of every key a file or a
/// caller chooses (slot addresses, strings). With hashes anyone can compute, a file
/// could pick slots that all start their probe in one run of a table, and loading it
/// would take time quadratic in its entries (40,000 such slots: 1.4 s, against 5 ms
/// for slots anywhere; a million: a quarter of an hour). Tables are only ever walked
/// in the order their keys came, so no result depends on the secret.
struct HashSecret {
  std::uint64_t k0;
  std::uint64_t k1;
};

inline HashSecret draw_hash_secret() noexcept {
  HashSecret secret{0x0123456789abcdefULL, 0xfedcba9876543210ULL};
  try {
    std::random_device device;
    secret.k0 ^= (std::uint64_t{device()} << 32) ^ device();
    secret.k1 ^= (std::uint64_t{device()} << 32) ^ device();
  } catch (...) {
    // No source of randomness: the clock, and where this process's stack lies.
    const int here = 0;
    const auto now =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    secret.k0 ^= mix_bits(now);
    secret.k1 ^= mix_bits(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&here)));
  }
  return secret;
}

/// The process's secret, drawn the first time it is asked for (so before any table
/// that uses it holds a key, whatever order static objects are made in).
inline const HashSecret& hash_secret() noexcept {
  static const HashSecret secret = draw_hash_secret();
  return secret;
}

/// The hash of a key a file chooses, such as a slot address; a loop over many keys
/// passes the secret it fetched once.
inline std::uint64_t keyed_mix(std::uint64_t x, const HashSecret& secret) noexcept {
  return mix_bits(x ^ secret.k0) ^ secret.k1;
}
inline std::uint64_t keyed_mix(std::uint64_t x) noexcept {
  return keyed_mix(x, hash_secret());
}

/// SipHash-1-3 of a string under the process's secret: strings with one hash cannot be
/// made without knowing it, as they can for hashes without a key (whatever their seed).
inline std::uint64_t keyed_hash(const void* data, std::size_t size) noexcept {
  const auto rotate = [](std::uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); };
  const HashSecret& secret = hash_secret();
  std::uint64_t v0 = 0x736f6d6570736575ULL ^ secret.k0;
  std::uint64_t v1 = 0x646f72616e646f6dULL ^ secret.k1;
  std::uint64_t v2 = 0x6c7967656e657261ULL ^ secret.k0;
  std::uint64_t v3 = 0x7465646279746573ULL ^ secret.k1;
  const auto round = [&] {
    v0 += v1;
    v1 = rotate(v1, 13);
    v1 ^= v0;
    v0 = rotate(v0, 32);
    v2 += v3;
    v3 = rotate(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotate(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotate(v1, 17);
    v1 ^= v2;
    v2 = rotate(v2, 32);
  };
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, 8);  // the machine's byte order: hashes stay in-process
    v3 ^= word;
    round();
    v0 ^= word;
  }
  std::uint64_t last = static_cast<std::uint64_t>(size & 0xFF) << 56;
  for (std::size_t j = 0; i + j < size; ++j) last |= std::uint64_t{bytes[i + j]} << (8 * j);
  v3 ^= last;
  round();
  v0 ^= last;
  v2 ^= 0xFF;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace orvane
