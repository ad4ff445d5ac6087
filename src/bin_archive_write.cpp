// serialize: sort the maps by address, pool and encode the strings, and lay out the
// file in one buffer allocated at its final size.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <new>

#include "bin_archive.h"
#include "shift_jis.h"

namespace orvane {

namespace {

using namespace file_format;

/// Half the machine's memory, or no limit when the system cannot tell.
std::uint64_t pool_budget() noexcept {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(pages) / 2 * static_cast<std::uint64_t>(page_size);
}

/// The text region being built. Equal strings are stored once; equality is by
/// characters, before encoding. Entries loaded from one file position share one Text,
/// so an identity lookup answers most repeats without looking at the characters.
class StringPool {
 public:
  Result<std::uint64_t> intern(const Text& text) {
    auto same_object = by_object_.find(text.identity());
    if (same_object != by_object_.end()) return same_object->second;
    std::string scratch;
    std::string_view value = text.view(scratch);
    if (value.data() == scratch.data()) {
      // Text decoded on demand: keep the characters alive as long as the pool's key.
      held_ += scratch.size();
      decoded_.push_back(std::move(scratch));
      value = decoded_.back();
    }
    auto same_value = by_value_.find(value);
    std::uint64_t offset;
    if (same_value != by_value_.end()) {
      offset = same_value->second;
    } else {
      // A U+0000 would be written as the terminator and silently cut the string when
      // the file is read back, so it is refused like any character the file cannot hold.
      if (value.find('\0') != std::string_view::npos) {
        return fail("Error encoding shift-jis string.");
      }
      offset = bytes_.size();
      Status encoded = encode_shift_jis_string(value, bytes_);
      if (!encoded.ok()) return std::move(encoded).take_error();
      bytes_.push_back(0);
      by_value_.emplace(value, offset);
      held_ += bytes_.size() - offset;
    }
    by_object_.emplace(text.identity(), offset);
    // An archive loaded from a file that names one long run from many places holds
    // far more text than its file. Past half the machine's memory the pool and the
    // output it feeds will not fit, so stop with MemoryError there rather than let the
    // system kill the interpreter half-way.
    if (held_ > budget_) throw std::bad_alloc();
    return offset;
  }

  const std::vector<std::uint8_t>& bytes() const noexcept { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint64_t budget_ = pool_budget();
  std::uint64_t held_ = 0;
  std::deque<std::string> decoded_;
  std::unordered_map<const void*, std::uint64_t> by_object_;
  std::unordered_map<std::string_view, std::uint64_t> by_value_;
};

template <typename Map>
std::vector<const typename Map::value_type*> sorted_by_address(const Map& map) {
  std::vector<const typename Map::value_type*> entries;
  entries.reserve(map.size());
  for (const auto& entry : map) entries.push_back(&entry);
  std::sort(entries.begin(), entries.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  return entries;
}

/// Every key passed the slot check when it was stored; a slot outside the data would
/// be a bug in the model, not bad input.
void require_slot(Address address, std::uint64_t data_size) {
  if (data_size < kSlotSize || address > data_size - kSlotSize) {
    throw Fault("An entry's slot lies outside the data region.");
  }
}

}  // namespace

Result<std::vector<std::uint8_t>> serialize(const BinArchive& archive) {
  const std::uint64_t data_size = archive.data.size();
  const auto pointers = sorted_by_address(archive.pointers);
  // The format holds destinations in 32 bits; truncating one would silently retarget it.
  for (const auto* entry : pointers) {
    if (entry->second > kMaxU32) {
      return fail("Pointer destination 0x" + hex(entry->second) + " at 0x" + hex(entry->first) +
                  " does not fit in 32 bits.");
    }
  }

  StringPool pool;
  std::vector<std::pair<Address, std::uint64_t>> label_rows;
  for (const auto* entry : sorted_by_address(archive.labels)) {
    for (const Text& name : entry->second) {
      Result<std::uint64_t> offset = pool.intern(name);
      if (!offset.ok()) return std::move(offset).take_error();
      label_rows.emplace_back(entry->first, offset.value());
    }
  }

  // Text pointers are grouped by string, groups in order of first use, addresses
  // ascending within a group: a counting sort over the group numbers keeps it linear.
  const auto texts = sorted_by_address(archive.text);
  std::vector<std::uint64_t> text_offsets(texts.size());
  std::vector<std::size_t> text_groups(texts.size());
  std::vector<std::size_t> group_sizes;
  std::unordered_map<std::uint64_t, std::size_t> group_of_offset;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    Result<std::uint64_t> offset = pool.intern(texts[i]->second);
    if (!offset.ok()) return std::move(offset).take_error();
    text_offsets[i] = offset.value();
    auto group = group_of_offset.emplace(offset.value(), group_sizes.size());
    if (group.second) group_sizes.push_back(0);
    text_groups[i] = group.first->second;
    ++group_sizes[group.first->second];
  }

  const std::uint64_t entry_count = pointers.size() + texts.size();
  const std::uint64_t text_base =
      data_size + kPointerEntrySize * entry_count + kLabelRowSize * label_rows.size();
  const std::uint64_t file_size = kHeaderSize + text_base + pool.bytes().size();
  // A file of 2^32 bytes or more could never be loaded again: its size field would lie.
  if (file_size > kMaxU32) {
    return fail("Archive of 0x" + hex(file_size) + " bytes is too large to write.");
  }

  std::vector<std::uint8_t> out(static_cast<std::size_t>(file_size), 0);
  std::uint8_t* const base = out.data();
  store_u32(base + kFileSizeOffset, static_cast<std::uint32_t>(file_size));
  store_u32(base + kDataSizeOffset, static_cast<std::uint32_t>(data_size));
  store_u32(base + kPointerCountOffset, static_cast<std::uint32_t>(entry_count));
  store_u32(base + kLabelCountOffset, static_cast<std::uint32_t>(label_rows.size()));

  std::uint8_t* const slots = base + kHeaderSize;
  if (data_size != 0) std::memcpy(slots, archive.data.data(), static_cast<std::size_t>(data_size));
  std::uint8_t* table = slots + data_size;
  for (const auto* entry : pointers) {
    require_slot(entry->first, data_size);
    store_u32(slots + entry->first, static_cast<std::uint32_t>(entry->second));
    store_u32(table, static_cast<std::uint32_t>(entry->first));
    table += kPointerEntrySize;
  }
  // Text slots are stored after the data pointers, so a slot that has both ends up
  // holding the text pointer.
  std::vector<std::size_t> group_start(group_sizes.size());
  std::size_t running = 0;
  for (std::size_t g = 0; g < group_sizes.size(); ++g) {
    group_start[g] = running;
    running += group_sizes[g];
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const Address address = texts[i]->first;
    require_slot(address, data_size);
    store_u32(slots + address, static_cast<std::uint32_t>(text_base + text_offsets[i]));
    store_u32(table + kPointerEntrySize * group_start[text_groups[i]]++,
              static_cast<std::uint32_t>(address));
  }
  table += kPointerEntrySize * texts.size();
  for (const auto& row : label_rows) {
    store_u32(table, static_cast<std::uint32_t>(row.first));
    store_u32(table + 4, static_cast<std::uint32_t>(row.second));
    table += kLabelRowSize;
  }
  if (!pool.bytes().empty()) std::memcpy(table, pool.bytes().data(), pool.bytes().size());
  return out;
}

}  // namespace orvane
