// serialize: sort the maps by address, pool and encode the strings, and lay out the
// file in one buffer allocated at its final size.
#include <algorithm>
#include <cstring>

#include "bin_archive.h"
#include "file_format.h"
#include "radix_sort.h"
#include "string_pool.h"

namespace orvane {

namespace {

using namespace file_format;

template <typename Map>
std::vector<const typename Map::value_type*> sorted_by_address(const Map& map) {
  std::vector<const typename Map::value_type*> entries;
  entries.reserve(map.size());
  for (const auto& entry : map) entries.push_back(&entry);
  radix_sort(entries, [](const auto* entry) { return entry->first; });
  return entries;
}

/// Every key passed the slot check when it was stored; a slot outside the data would
/// be a bug in the model, not bad input.
void require_slot(Address address, std::uint64_t data_size) {
  if (data_size < kSlotSize || address > data_size - kSlotSize) {
    throw Fault("An entry's slot lies outside the data region.");
  }
}

ArchiveError too_large() {
  return fail("Archive is too large to write: a file holds at most 0xFFFFFFFF bytes.");
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

  const auto labels = sorted_by_address(archive.labels);
  std::size_t name_count = 0;
  for (const auto* entry : labels) name_count += entry->second.size();
  const std::uint64_t entry_count = pointers.size() + archive.text.size();
  const std::uint64_t text_base =
      data_size + kPointerEntrySize * entry_count + kLabelRowSize * name_count;
  const std::uint64_t fixed_size = kHeaderSize + text_base;
  if (fixed_size > kMaxU32) return too_large();
  StringPool pool(name_count + archive.text.size());
  std::vector<std::pair<Address, std::uint32_t>> label_rows;  // address, string index
  label_rows.reserve(name_count);
  for (const auto* entry : labels) {
    for (const Text& name : entry->second) label_rows.emplace_back(entry->first, pool.intern(name));
  }

  // Text pointers are grouped by string, groups in order of first use, addresses
  // ascending within a group: a counting sort over the group numbers keeps it linear.
  const auto texts = sorted_by_address(archive.text);
  std::vector<std::uint32_t> text_strings(texts.size());
  std::vector<std::size_t> text_groups(texts.size());
  std::vector<std::size_t> group_sizes;
  std::vector<std::size_t> group_of_string;  // by the pool's string index
  constexpr std::size_t kNoGroup = static_cast<std::size_t>(-1);
  // Each text is reached through three cache misses (its entry, its record, its
  // slot in the pool); they are started in turn some texts ahead, so they overlap.
  constexpr std::size_t kAhead = 8;
  const std::size_t count = texts.size();
  for (std::size_t i = 0; i < count && i < 3 * kAhead; ++i) {
    prefetch_line(texts[i]);
    if (i < 2 * kAhead) texts[i]->second.prefetch();
    if (i < kAhead) pool.look_ahead(texts[i]->second);
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (i + 3 * kAhead < count) prefetch_line(texts[i + 3 * kAhead]);
    if (i + 2 * kAhead < count) texts[i + 2 * kAhead]->second.prefetch();
    if (i + kAhead < count) pool.look_ahead(texts[i + kAhead]->second);
    const std::uint32_t string = pool.intern(texts[i]->second);
    text_strings[i] = string;
    if (group_of_string.size() <= string) group_of_string.resize(string + std::size_t(1), kNoGroup);
    std::size_t& group = group_of_string[string];
    if (group == kNoGroup) {
      group = group_sizes.size();
      group_sizes.push_back(0);
    }
    text_groups[i] = group;
    ++group_sizes[group];
  }

  // The file format is the bound: a file of 2^32 bytes or more could never be loaded
  // again, since its size field would lie. The text region is encoded straight into
  // the file, which is reserved once for the most it can take (never past that bound),
  // and writing stops as soon as the bound is passed.
  const std::uint64_t region_limit = kMaxU32 - fixed_size;
  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(fixed_size + std::min(pool.most_bytes(), region_limit + 1)));
  out.resize(static_cast<std::size_t>(fixed_size), 0);
  Status written = pool.write(out, region_limit, too_large());
  if (!written.ok()) return std::move(written).take_error();
  const std::uint64_t file_size = out.size();

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
    store_u32(slots + address,
              static_cast<std::uint32_t>(text_base + pool.offset(text_strings[i])));
    store_u32(table + kPointerEntrySize * group_start[text_groups[i]]++,
              static_cast<std::uint32_t>(address));
  }
  table += kPointerEntrySize * texts.size();
  for (const auto& row : label_rows) {
    store_u32(table, static_cast<std::uint32_t>(row.first));
    store_u32(table + 4, static_cast<std::uint32_t>(pool.offset(row.second)));
    table += kLabelRowSize;
  }
  return out;
}

}  // namespace orvane
