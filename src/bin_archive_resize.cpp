// Growing and shrinking the data region. Everything that can fail (checks, memory for
// the bytes) happens before the first change; the maps are re-keyed in place after it,
// which cannot fail, so a call completes or leaves the archive as it was.
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>

#include "bin_archive.h"

namespace orvane {

namespace {

ArchiveError out_of_memory(std::uint64_t amount) {
  return fail("Not enough memory to allocate " + std::to_string(amount) + " bytes.");
}

ArchiveError amount_alignment_error(std::uint64_t amount) {
  return fail("Invalid value " + std::to_string(amount) + " expected 4 byte alignment.");
}

/// A destination at or after `address` that would pass 2^64 - 1 when moved up by
/// `amount` would wrap to a small value and silently point into the data; the lowest
/// such slot is reported.
Status check_destinations_move(const BinArchive& a, Address address, std::uint64_t amount) {
  const std::uint64_t highest = std::numeric_limits<std::uint64_t>::max() - amount;
  std::optional<Address> slot;
  Address destination = 0;
  for (const auto& entry : a.pointers) {
    if (entry.second < address || entry.second <= highest) continue;
    if (!slot || entry.first < *slot) {
      slot = entry.first;
      destination = entry.second;
    }
  }
  if (!slot) return Ok{};
  return fail("Pointer destination 0x" + hex(destination) + " at 0x" + hex(*slot) +
              " cannot move by " + std::to_string(amount) + " bytes.");
}

/// Makes room for `amount` more bytes without changing the data yet. Capacity grows
/// geometrically, so a script that appends a few bytes at a time pays amortised
/// constant time per byte instead of a copy of the whole region per call; when the
/// doubled size cannot be had, the exact size is tried before giving up.
Status reserve_growth(std::vector<std::uint8_t>& data, std::uint64_t amount) {
  const std::uint64_t room = data.max_size() - data.size();
  if (amount > room) return out_of_memory(amount);
  const std::size_t needed = data.size() + static_cast<std::size_t>(amount);
  if (needed <= data.capacity()) return Ok{};
  const std::size_t doubled = data.capacity() <= data.max_size() / 2 ? 2 * data.capacity() : 0;
  if (doubled > needed) {
    try {
      data.reserve(doubled);
      return Ok{};
    } catch (const std::bad_alloc&) {
      // fall through to the exact size
    }
  }
  try {
    data.reserve(needed);
  } catch (const std::bad_alloc&) {
    return out_of_memory(amount);
  } catch (const std::length_error&) {
    return out_of_memory(amount);
  }
  return Ok{};
}

/// Re-keys the three maps in place: entries whose key (and, for a pointer,
/// destination) `keep` accepts stay, with every kept key and destination moved by
/// `shift`. Nothing here allocates, so nothing can fail half-way.
template <typename Keep, typename Shift>
void rekey_maps(BinArchive& a, Keep keep, Shift shift) noexcept {
  auto keep_key = [&](const auto& entry) { return keep(entry.first); };
  auto shift_key = [&](auto& entry) { shift(entry.first); };
  a.text.rekey(keep_key, shift_key);
  a.labels.rekey(keep_key, shift_key);
  a.pointers.rekey([&](const auto& entry) { return keep(entry.first) && keep(entry.second); },
                   [&](auto& entry) {
                     shift(entry.first);
                     shift(entry.second);
                   });
}

}  // namespace

Status allocate_at_end(BinArchive& a, std::uint64_t amount) {
  Status room = reserve_growth(a.data, amount);
  if (!room.ok()) return room;
  a.data.resize(a.data.size() + static_cast<std::size_t>(amount));
  return Ok{};
}

Status allocate(BinArchive& a, Address address, std::uint64_t amount) {
  const std::uint64_t size = a.data.size();
  if (address > size) return range_error(hex(address), size);
  if (address % 4 != 0) return alignment_error(address, 4);
  if (amount % 4 != 0) return amount_alignment_error(amount);
  Status room = reserve_growth(a.data, amount);
  if (!room.ok()) return room;
  if (amount == 0) return Ok{};
  Status moves = check_destinations_move(a, address, amount);
  if (!moves.ok()) return moves;

  a.data.insert(a.data.begin() + static_cast<std::ptrdiff_t>(address),
                static_cast<std::size_t>(amount), 0);
  rekey_maps(
      a, [](Address) { return true; },
      [&](Address& value) {
        if (value >= address) value += amount;
      });
  return Ok{};
}

Status deallocate(BinArchive& a, Address address, std::uint64_t amount) {
  Status checked = check_address(a.data.size(), address, amount, 4);
  if (!checked.ok()) return checked;
  if (amount % 4 != 0) return amount_alignment_error(amount);
  if (amount == 0) return Ok{};

  const Address end = address + amount;  // cannot wrap: the check held end <= size
  a.data.erase(a.data.begin() + static_cast<std::ptrdiff_t>(address),
               a.data.begin() + static_cast<std::ptrdiff_t>(end));
  rekey_maps(
      a, [&](Address value) { return value < address || value >= end; },
      [&](Address& value) {
        if (value >= end) value -= amount;
      });
  return Ok{};
}

}  // namespace orvane
