// from_bytes: header checks, the data region, then one pass over each table.
//
// Strings are resolved between the header checks and the pass over the tables: every
// distinct string position the tables name is decoded once, in ascending order, so
// finding each terminator costs one scan of the file in all. Positions inside one run
// of bytes share one copy of it (see text.h). The pass over the tables then meets each
// entry's check and string in file order, so the first failure reported is the same as
// if every entry had read its own string in turn.
#include <algorithm>
#include <cstring>

#include "bin_archive.h"
#include "shift_jis.h"

namespace orvane {

namespace {

using namespace file_format;

constexpr const char* kFellOut = "Fell out of buffer while reading shift-jis string.";
constexpr const char* kDecodeError = "Error decoding shift-jis string.";

struct Layout {
  std::uint64_t data_size;
  std::uint64_t pointer_count;
  std::uint64_t label_count;
  std::uint64_t pointer_table;
  std::uint64_t label_table;
  std::uint64_t text_start;
};

using Strings = std::unordered_map<std::uint64_t, Result<Text>>;

/// The string positions the tables name, up to the first entry whose slot check fails
/// (the load stops there, so later strings could never be reported).
std::vector<std::uint64_t> string_positions(ByteView input, const Layout& layout) {
  const std::uint8_t* bytes = input.data;
  std::vector<std::uint64_t> positions;
  for (std::uint64_t i = 0; i < layout.pointer_count; ++i) {
    const Address address = load_u32(bytes + layout.pointer_table + kPointerEntrySize * i);
    if (!check_address(layout.data_size, address, kSlotSize, kSlotSize).ok()) return positions;
    const std::uint64_t value = load_u32(bytes + kHeaderSize + address);
    if (value > layout.data_size) positions.push_back(value + kHeaderSize);
  }
  for (std::uint64_t j = 0; j < layout.label_count; ++j) {
    const std::uint8_t* row = bytes + layout.label_table + kLabelRowSize * j;
    positions.push_back(layout.text_start + load_u32(row + 4));
    if (!check_address(layout.data_size, load_u32(row), kSlotSize, kSlotSize).ok()) break;
  }
  return positions;
}

/// Decodes the strings at `positions` (ascending, distinct), which all end at the
/// 0x00 byte at `terminator`.
void decode_run(ByteView input, const std::uint64_t* positions, std::size_t count,
                std::uint64_t terminator, Strings& strings) {
  const std::uint64_t first = positions[0];
  const ByteView whole{input.data + first, static_cast<std::size_t>(terminator - first)};
  if (count == 1) {  // the usual case: one string, decoded now
    Result<std::string> text = decode_shift_jis_bytes(whole);
    if (text.ok()) {
      strings.emplace(first, Text::owned(std::move(text).value()));
    } else {
      strings.emplace(first, fail(kDecodeError));
    }
    return;
  }
  auto run = std::make_shared<const std::vector<std::uint8_t>>(whole.data, whole.data + whole.size);
  const ByteView bytes{run->data(), run->size()};
  std::vector<std::int64_t> sizes[4];  // per encoding, computed when first needed
  for (std::size_t k = 0; k < count; ++k) {
    const auto begin = static_cast<std::size_t>(positions[k] - first);
    std::size_t mark = 0;
    const TextEncoding encoding =
        sniff_byte_order_mark(ByteView{bytes.data + begin, bytes.size - begin}, mark);
    std::vector<std::int64_t>& table = sizes[static_cast<int>(encoding)];
    if (table.empty()) table = decoded_suffix_sizes(bytes, encoding);
    const std::int64_t size = table[begin + mark];
    if (size < 0) {
      strings.emplace(positions[k], fail(kDecodeError));
    } else {
      strings.emplace(positions[k],
                      Text::stored(run, begin + mark, encoding, static_cast<std::size_t>(size)));
    }
  }
}

/// Every named string position mapped to its text or its failure.
Strings resolve_strings(ByteView input, std::vector<std::uint64_t> positions) {
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  Strings strings;
  strings.reserve(positions.size());
  std::size_t k = 0;
  while (k < positions.size()) {
    const std::uint64_t start = positions[k];
    const void* zero =
        start < input.size
            ? std::memchr(input.data + start, 0, static_cast<std::size_t>(input.size - start))
            : nullptr;
    if (zero == nullptr) {  // no terminator before the end: nor for any later position
      for (; k < positions.size(); ++k) strings.emplace(positions[k], fail(kFellOut));
      break;
    }
    const auto terminator =
        static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(zero) - input.data);
    std::size_t end = k;
    while (end < positions.size() && positions[end] <= terminator) ++end;
    decode_run(input, positions.data() + k, end - k, terminator, strings);
    k = end;
  }
  return strings;
}

const Result<Text>& string_at(const Strings& strings, std::uint64_t position) {
  auto found = strings.find(position);
  if (found == strings.end()) throw Fault("A string position was not resolved before use.");
  return found->second;
}

}  // namespace

std::uint64_t size(const BinArchive& archive) noexcept {
  return archive.data.size();
}

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

  const Strings strings = resolve_strings(input, string_positions(input, layout));
  BinArchive archive;
  archive.data.assign(bytes + kHeaderSize, bytes + layout.pointer_table);
  // Both counts are bounded by the input length, so these reservations are too.
  archive.pointers.reserve(static_cast<std::size_t>(layout.pointer_count));
  archive.labels.reserve(static_cast<std::size_t>(layout.label_count));

  for (std::uint64_t i = 0; i < layout.pointer_count; ++i) {
    const Address address = load_u32(bytes + layout.pointer_table + kPointerEntrySize * i);
    Status slot = check_address(layout.data_size, address, kSlotSize, kSlotSize);
    if (!slot.ok()) return std::move(slot).take_error();
    const std::uint64_t value = load_u32(archive.data.data() + address);
    if (value <= layout.data_size) {
      archive.pointers.insert_or_assign(address, value);
    } else {
      const Result<Text>& text = string_at(strings, value + kHeaderSize);
      if (!text.ok()) return text.error();
      archive.text.insert_or_assign(address, text.value());
    }
  }

  for (std::uint64_t j = 0; j < layout.label_count; ++j) {
    const std::uint8_t* row = bytes + layout.label_table + kLabelRowSize * j;
    const Address address = load_u32(row);
    const Result<Text>& name = string_at(strings, layout.text_start + load_u32(row + 4));
    if (!name.ok()) return name.error();
    Status slot = check_address(layout.data_size, address, kSlotSize, kSlotSize);
    if (!slot.ok()) return std::move(slot).take_error();
    archive.labels[address].push_back(name.value());
  }
  return archive;
}

}  // namespace orvane
