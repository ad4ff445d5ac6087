// The writer's string pool.
#include "string_pool.h"

#include <functional>

#include "shift_jis.h"

namespace orvane {

namespace {

constexpr std::size_t kShortText = 32;

/// Addresses of heap objects share their low bits; mix them before they index a table.
std::uint64_t hash_pointer(const void* pointer) noexcept {
  return mix_bits(reinterpret_cast<std::uintptr_t>(pointer));
}

}  // namespace

StringPool::StringPool(std::size_t strings)
    : by_object_(strings), by_value_(strings), room_(strings) {
  if (strings >= FlatIndex::kNone) throw std::bad_alloc();
  objects_.reserve(strings);
  object_strings_.reserve(strings);
  strings_.reserve(strings);
  hashes_.reserve(strings);
  offsets_.reserve(strings);
}

Result<StringPool::Interned> StringPool::intern(const Text& text) {
  // A table sized for fewer keys than it is given could fill and never end a probe.
  if (calls_++ == room_) {
    throw Fault("The string pool was given more strings than it was sized for.");
  }
  // Hashing a short string costs less than the cache miss of a second table, so only
  // long text and text decoded on read is looked up by identity first.
  const bool by_identity = text.size() > kShortText || text.decoded_on_read();
  const void* identity = text.identity();
  const std::uint64_t identity_hash = by_identity ? hash_pointer(identity) : 0;
  if (by_identity) {
    const std::uint32_t seen =
        by_object_.find(identity_hash, [&](std::uint32_t at) { return objects_[at] == identity; });
    if (seen != FlatIndex::kNone) {
      const std::uint32_t index = object_strings_[seen];
      return Interned{offsets_[index], index};
    }
  }

  const std::string_view value = text.view(scratch_);
  const std::uint64_t value_hash = std::hash<std::string_view>()(value);
  std::uint32_t index = by_value_.find(value_hash, [&](std::uint32_t at) {
    return hashes_[at] == value_hash && strings_[at]->equals(value);
  });
  if (index == FlatIndex::kNone) {
    // A U+0000 would be written as the terminator and silently cut the string when
    // the file is read back, so it is refused like any character the file cannot hold.
    if (value.find('\0') != std::string_view::npos) {
      return fail("Error encoding shift-jis string.");
    }
    const std::uint64_t offset = bytes_.size();
    Status encoded = encode_shift_jis_string(value, bytes_);
    if (!encoded.ok()) return std::move(encoded).take_error();
    bytes_.push_back(0);
    index = static_cast<std::uint32_t>(strings_.size());
    strings_.push_back(&text);
    hashes_.push_back(value_hash);
    offsets_.push_back(offset);
    by_value_.insert(value_hash, index);
  }
  // A new object: its identity names the string's index, whether new or known.
  if (by_identity) {
    by_object_.insert(identity_hash, static_cast<std::uint32_t>(objects_.size()));
    objects_.push_back(identity);
    object_strings_.push_back(index);
  }
  return Interned{offsets_[index], index};
}

}  // namespace orvane
