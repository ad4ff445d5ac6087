// The writer's string pool.
#include "string_pool.h"

#include <functional>

#include "shift_jis.h"

namespace orvane {

namespace {

/// Addresses of heap objects share their low bits; mix them before they index a table.
std::uint64_t hash_pointer(const void* pointer) noexcept {
  std::uint64_t x = reinterpret_cast<std::uintptr_t>(pointer);
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

}  // namespace

StringPool::StringPool(std::size_t strings) : by_object_(strings), by_value_(strings) {}

Result<StringPool::Interned> StringPool::intern(const Text& text) {
  bool inserted = false;
  const std::uint64_t next = offsets_.size();
  std::uint64_t& known =
      by_object_.find_or_insert(hash_pointer(text.identity()), text.identity(), next, inserted);
  if (!inserted) return Interned{offsets_[known], static_cast<std::size_t>(known)};

  std::string scratch;
  const std::string_view value = text.view(scratch);
  const std::uint64_t index =
      by_value_.find_or_insert(std::hash<std::string_view>()(value), &text, next, inserted,
                               [value](const Text* stored) { return stored->equals(value); });
  if (inserted) {
    // A U+0000 would be written as the terminator and silently cut the string when
    // the file is read back, so it is refused like any character the file cannot hold.
    if (value.find('\0') != std::string_view::npos) {
      return fail("Error encoding shift-jis string.");
    }
    const std::uint64_t offset = bytes_.size();
    Status encoded = encode_shift_jis_string(value, bytes_);
    if (!encoded.ok()) return std::move(encoded).take_error();
    bytes_.push_back(0);
    offsets_.push_back(offset);
  } else {
    // A new object with known characters: its identity slot names the string's index,
    // not the one a new string would have had.
    known = index;
  }
  return Interned{offsets_[index], static_cast<std::size_t>(index)};
}

}  // namespace orvane
