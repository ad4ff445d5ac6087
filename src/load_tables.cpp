// from_bytes: header checks, the strings the tables name, then one pass over each
// table in file order, so the first failure reported is the same as if every entry had
// read its own string in turn. The data region is copied last.
#include <algorithm>
#include <optional>
#include <utility>

#include "bin_archive.h"
#include "file_format.h"
#include "resolve_strings.h"

namespace orvane {

namespace {

using namespace file_format;

constexpr Address kNoAddress = ~Address{0};  // never a slot: slots are 4-aligned

struct Layout {
  std::uint64_t data_size;
  std::uint64_t pointer_count;
  std::uint64_t label_count;
  std::uint64_t pointer_table;
  std::uint64_t label_table;
  std::uint64_t text_start;
};

/// Upper bounds on the distinct slots of each map, to reserve once: entries whose slot
/// differs from the previous entry's of the same kind (exact for a file as the writer
/// lays it out), and never more than the data region has slots.
struct EntryCounts {
  std::uint64_t texts = 0, pointers = 0, labels = 0;
};

/// The string positions the tables name, up to the first entry whose slot check fails
/// (the load stops there, so later strings could never be reported).
std::vector<Position> string_positions(ByteView input, const Layout& layout, EntryCounts& counts) {
  const std::uint8_t* bytes = input.data;
  const std::uint64_t slots = layout.data_size / kSlotSize;
  std::vector<Position> positions;
  positions.reserve(static_cast<std::size_t>(layout.label_count));
  Address last_text = kNoAddress, last_pointer = kNoAddress, last_label = kNoAddress;
  auto finish = [&] {
    counts.texts = std::min(counts.texts, slots);
    counts.pointers = std::min(counts.pointers, slots);
    counts.labels = std::min(counts.labels, slots);
    return std::move(positions);
  };
  for (std::uint64_t i = 0; i < layout.pointer_count; ++i) {
    const Address address = load_u32(bytes + layout.pointer_table + kPointerEntrySize * i);
    if (!check_address(layout.data_size, address, kSlotSize, kSlotSize).ok()) return finish();
    const std::uint64_t value = load_u32(bytes + kHeaderSize + address);
    if (value > layout.data_size) {
      positions.push_back(clamp_position(value + kHeaderSize, input.size));
      counts.texts += address != std::exchange(last_text, address);
    } else {
      counts.pointers += address != std::exchange(last_pointer, address);
    }
  }
  for (std::uint64_t j = 0; j < layout.label_count; ++j) {
    const std::uint8_t* row = bytes + layout.label_table + kLabelRowSize * j;
    positions.push_back(clamp_position(layout.text_start + load_u32(row + 4), input.size));
    const Address address = load_u32(row);
    if (!check_address(layout.data_size, address, kSlotSize, kSlotSize).ok()) break;
    counts.labels += address != std::exchange(last_label, address);
  }
  return finish();
}

}  // namespace

std::uint64_t size(const BinArchive& archive) noexcept {
  return archive.data.size();
}

namespace {
/// The three maps from the tables, their lookup tables not built yet; the data
/// region is left to the caller.
Status read_entries(ByteView input, const Layout& layout, BinArchive& archive);
}  // namespace

Result<BinArchive> from_bytes(ByteView input) {
  const std::uint64_t length = input.size;
  if (length < kHeaderSize) {
    return fail("Input is not a large enough to contain an archive header.");
  }
  const std::uint8_t* bytes = input.data;
  Layout layout;
  const std::uint64_t file_size = load_u32(bytes + kFileSizeOffset);
  layout.data_size = load_u32(bytes + kDataSizeOffset);
  layout.pointer_count = load_u32(bytes + kPointerCountOffset);
  layout.label_count = load_u32(bytes + kLabelCountOffset);
  if (file_size != length) return fail("Incorrect file size in archive header.");
  // Each term is below 2^35, so the 64-bit sum cannot overflow.
  layout.pointer_table = kHeaderSize + layout.data_size;
  layout.label_table = layout.pointer_table + kPointerEntrySize * layout.pointer_count;
  layout.text_start = layout.label_table + kLabelRowSize * layout.label_count;
  if (layout.text_start > length) {
    return fail(
        "Archive is not large enough to hold the amount of data and metadata indicated in the "
        "header.");
  }

  BinArchive archive;
  Status entries = read_entries(input, layout, archive);
  if (!entries.ok()) return std::move(entries).take_error();
  // Indexed and copied last, once the table of strings is gone, so they never coexist.
  archive.pointers.index_appended();
  archive.text.index_appended();
  archive.labels.index_appended();
  archive.data.assign(bytes + kHeaderSize, bytes + layout.pointer_table);
  return archive;
}

namespace {

Status read_entries(ByteView input, const Layout& layout, BinArchive& archive) {
  const std::uint8_t* bytes = input.data;
  const std::uint64_t length = input.size;
  EntryCounts entries;
  const Strings strings = resolve_strings(input, string_positions(input, layout, entries));
  archive.text.reserve_appended(static_cast<std::size_t>(entries.texts));
  archive.pointers.reserve_appended(static_cast<std::size_t>(entries.pointers));
  archive.labels.reserve_appended(static_cast<std::size_t>(entries.labels));

  // A file laid out by the writer lists data pointers in address order: those go to
  // the map unindexed and are indexed once at the end. An entry out of order switches
  // its map to indexed inserts. A repeated slot holds the same value both times.
  bool pointers_in_order = true, text_in_order = true;
  // The slot an entry names, and its place in a map's lookup table once the map takes
  // indexed inserts, are fetched some entries ahead, so their cache misses overlap.
  constexpr std::uint64_t kAhead = 16;
  const std::uint8_t* const table = bytes + layout.pointer_table;
  for (std::uint64_t i = 0; i < layout.pointer_count; ++i) {
    if (i + kAhead < layout.pointer_count) {
      const Address ahead = load_u32(table + kPointerEntrySize * (i + kAhead));
      if (ahead < layout.data_size) prefetch_line(bytes + kHeaderSize + ahead);
      if (!text_in_order) archive.text.prefetch(ahead);
      if (!pointers_in_order) archive.pointers.prefetch(ahead);
    }
    const Address address = load_u32(table + kPointerEntrySize * i);
    Status slot = check_address(layout.data_size, address, kSlotSize, kSlotSize);
    if (!slot.ok()) return std::move(slot).take_error();
    const std::uint64_t value = load_u32(bytes + kHeaderSize + address);
    if (value <= layout.data_size) {
      if (pointers_in_order && archive.pointers.append_above(address, value)) continue;
      if (pointers_in_order) archive.pointers.index_appended();
      pointers_in_order = false;
      archive.pointers.insert_or_assign(address, value);
    } else {
      const char* error = nullptr;
      const Text* text = strings.at(value + kHeaderSize, length, error);
      if (text == nullptr) return fail(error);
      if (text_in_order && archive.text.append_above(address, *text)) continue;
      if (text_in_order) archive.text.index_appended();
      text_in_order = false;
      archive.text.insert_or_assign(address, *text);
    }
  }

  // Label rows come in address order too, a slot's names one after another.
  bool in_order = true;
  LabelList* last = nullptr;
  Address last_address = kNoAddress;
  for (std::uint64_t j = 0; j < layout.label_count; ++j) {
    const std::uint8_t* row = bytes + layout.label_table + kLabelRowSize * j;
    const Address address = load_u32(row);
    const char* error = nullptr;
    const Text* name = strings.at(layout.text_start + load_u32(row + 4), length, error);
    if (name == nullptr) return fail(error);
    Status slot = check_address(layout.data_size, address, kSlotSize, kSlotSize);
    if (!slot.ok()) return std::move(slot).take_error();
    if (in_order) {
      if (last != nullptr && address == last_address) {
        last->push_back(*name);
        continue;
      }
      last = archive.labels.append_above(address, LabelList());
      if (last != nullptr) {
        last_address = address;
        last->push_back(*name);
        continue;
      }
      archive.labels.index_appended();
      in_order = false;
    }
    archive.labels.find_or_insert(address).push_back(*name);
  }
  return Ok{};
}

}  // namespace

}  // namespace orvane
