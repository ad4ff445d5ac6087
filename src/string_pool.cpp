// The writer's string pool.
#include "string_pool.h"

#include <algorithm>

#include "shift_jis.h"

namespace orvane {

namespace {

constexpr std::size_t kShortText = 32;
// Longer text is hashed when interned, not ahead: most of it is found by identity.
constexpr std::size_t kLookAheadHash = 256;

/// Identities are addresses, which share their low bits, or places a file chose; mix
/// them with the secret before they index a table.
std::uint64_t hash_identity(std::uint64_t identity) noexcept {
  return keyed_mix(identity);
}

/// Hashing a short string costs less than the cache miss of a second table, so only
/// long text and text decoded on read is looked up by identity first.
bool by_identity(const Text& text) noexcept {
  return text.decoded_on_read() || text.held_size() > kShortText;
}

}  // namespace

StringPool::StringPool(std::size_t strings) : by_object_(strings), room_(strings) {
  if (strings >= FlatIndex::kNone) throw std::bad_alloc();
  // At most three quarters full, as FlatIndex keeps its tables.
  by_value_.assign(std::max<std::size_t>(8, strings + strings / 3 + 1), 0);
  objects_.reserve(strings);
  object_strings_.reserve(strings);
  strings_.reserve(strings);
}

void StringPool::look_ahead(const Text& text) noexcept {
  if (announced_end_ - announced_begin_ == kAhead) return;
  Announced& next = announced_[announced_end_++ % kAhead];
  next.text = &text;
  next.hashed = false;
  if (by_identity(text)) by_object_.prefetch(hash_identity(text.identity()));
  // Text held in the handle or decoded on read would need the scratch buffer.
  const std::string_view value = text.stored_utf8();
  if (value.data() == nullptr || value.size() > kLookAheadHash) return;
  next.value_hash = keyed_hash(value.data(), value.size());
  next.hashed = true;
  prefetch_line(&by_value_[FlatIndex::home_in(next.value_hash, by_value_.size())]);
}

std::uint32_t StringPool::intern(const Text& text) {
  // A table sized for fewer keys than it is given could fill and never end a probe.
  if (calls_++ == room_) {
    throw Fault("The string pool was given more strings than it was sized for.");
  }
  bool hashed = false;
  std::uint64_t announced_hash = 0;
  if (announced_begin_ != announced_end_) {
    const Announced& first = announced_[announced_begin_ % kAhead];
    if (first.text == &text) {
      ++announced_begin_;
      hashed = first.hashed;
      announced_hash = first.value_hash;
    } else {
      announced_begin_ = announced_end_;  // out of order: forget them all
    }
  }
  const bool identity_first = by_identity(text);
  const std::uint64_t identity = text.identity();
  const std::uint64_t identity_hash = identity_first ? hash_identity(identity) : 0;
  if (identity_first) {
    const std::uint32_t seen =
        by_object_.find(identity_hash, [&](std::uint32_t at) { return objects_[at] == identity; });
    if (seen != FlatIndex::kNone) return object_strings_[seen];
  }

  const std::string_view value = text.view(scratch_);
  const std::uint64_t value_hash = hashed ? announced_hash : keyed_hash(value.data(), value.size());
  const std::uint64_t low_bits = value_hash << 32;
  const std::size_t slots = by_value_.size();
  std::size_t slot = FlatIndex::home_in(value_hash, slots);
  std::uint32_t index = FlatIndex::kNone;
  for (;; slot = slot + 1 == slots ? 0 : slot + 1) {
    const std::uint64_t held = by_value_[slot];
    if (held == 0) break;
    if ((held & ~std::uint64_t{0xFFFFFFFF}) != low_bits) continue;
    const auto at = static_cast<std::uint32_t>(held - 1);
    if (strings_[at]->equals(value)) {
      index = at;
      break;
    }
  }
  if (index == FlatIndex::kNone) {
    index = static_cast<std::uint32_t>(strings_.size());
    strings_.push_back(&text);
    utf8_bytes_ += value.size();
    by_value_[slot] = low_bits | (std::uint64_t{index} + 1);
  }
  // A new object: its identity names the string's index, whether new or known.
  if (identity_first) {
    by_object_.insert(identity_hash, static_cast<std::uint32_t>(objects_.size()));
    objects_.push_back(identity);
    object_strings_.push_back(index);
  }
  return index;
}

Status StringPool::write(std::vector<std::uint8_t>& out, std::uint64_t limit,
                         const ArchiveError& too_large) {
  offsets_.resize(strings_.size());
  const std::size_t base = out.size();
  constexpr std::size_t kRecordsAhead = 8;
  for (std::size_t i = 0; i < strings_.size(); ++i) {
    if (i + kRecordsAhead < strings_.size()) strings_[i + kRecordsAhead]->prefetch();
    const std::string_view value = strings_[i]->view(scratch_);
    // A U+0000 would be written as the terminator and silently cut the string when
    // the file is read back, so it is refused like any character the file cannot hold.
    if (value.find('\0') != std::string_view::npos) {
      return fail("Error encoding shift-jis string.");
    }
    offsets_[i] = out.size() - base;
    Status encoded = encode_shift_jis_string(value, out);
    if (!encoded.ok()) return encoded;
    out.push_back(0);
    if (out.size() - base > limit) return too_large;
  }
  return Ok{};
}

}  // namespace orvane
