// from_bytes: header checks, the data region, then one pass over each table.
#include <unistd.h>

#include <algorithm>
#include <new>

#include "bin_archive.h"
#include "shift_jis.h"

namespace orvane {

namespace {

using namespace file_format;

/// Free physical memory now, or 0 when the system cannot tell.
std::uint64_t free_memory() noexcept {
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

/// Decodes each distinct string position of the input once. Files commonly point many
/// entries at one string, and a hostile file may point all of them at one long run;
/// without this the load would cost entries x length instead of the file size.
///
/// Entries at *different* positions inside one long run still decode to different
/// strings, each held on its own, so such a file can ask for far more memory than its
/// size. Rather than let the system kill the interpreter for it, the load fails with
/// MemoryError once the decoded text outgrows both three times the input (the most a
/// file whose bytes each belong to one string can decode to) and the free memory.
class StringCache {
 public:
  explicit StringCache(ByteView input)
      : input_(input), budget_(std::max<std::uint64_t>(3 * input.size + 4096, free_memory())) {}

  Result<Text> read(std::uint64_t offset) {
    auto found = by_offset_.find(offset);
    if (found != by_offset_.end()) return found->second;
    Result<std::string> decoded = read_shift_jis_string(input_, offset);
    if (!decoded.ok()) return std::move(decoded).take_error();
    decoded_bytes_ += decoded.value().size();
    if (decoded_bytes_ > budget_) throw std::bad_alloc();
    Text text = make_text(std::move(decoded).value());
    by_offset_.emplace(offset, text);
    return text;
  }

 private:
  ByteView input_;
  std::uint64_t budget_;
  std::uint64_t decoded_bytes_ = 0;
  std::unordered_map<std::uint64_t, Text> by_offset_;
};

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
  const std::uint64_t file_size = load_u32(bytes + kFileSizeOffset);
  const std::uint64_t data_size = load_u32(bytes + kDataSizeOffset);
  const std::uint64_t pointer_count = load_u32(bytes + kPointerCountOffset);
  const std::uint64_t label_count = load_u32(bytes + kLabelCountOffset);
  if (file_size != length) return fail("Incorrect file size in archive header.");
  // Each term is below 2^35, so the 64-bit sum cannot overflow.
  const std::uint64_t pointer_table = kHeaderSize + data_size;
  const std::uint64_t label_table = pointer_table + kPointerEntrySize * pointer_count;
  const std::uint64_t text_start = label_table + kLabelRowSize * label_count;
  if (text_start > length) {
    return fail(
        "Archive is not large enough to hold the amount of data and metadata indicated in the "
        "header.");
  }

  BinArchive archive;
  archive.data.assign(bytes + kHeaderSize, bytes + kHeaderSize + data_size);
  // Both counts are bounded by the input length, so these reservations are too.
  archive.pointers.reserve(static_cast<std::size_t>(pointer_count));
  archive.labels.reserve(static_cast<std::size_t>(label_count));
  StringCache strings(input);

  for (std::uint64_t i = 0; i < pointer_count; ++i) {
    const Address address = load_u32(bytes + pointer_table + kPointerEntrySize * i);
    Status slot = check_address(data_size, address, kSlotSize, kSlotSize);
    if (!slot.ok()) return std::move(slot).take_error();
    const std::uint64_t value = load_u32(archive.data.data() + address);
    if (value <= data_size) {
      archive.pointers.insert_or_assign(address, value);
    } else {
      Result<Text> text = strings.read(value + kHeaderSize);
      if (!text.ok()) return std::move(text).take_error();
      archive.text.insert_or_assign(address, std::move(text).value());
    }
  }

  for (std::uint64_t j = 0; j < label_count; ++j) {
    const std::uint8_t* row = bytes + label_table + kLabelRowSize * j;
    const Address address = load_u32(row);
    const std::uint64_t name_offset = load_u32(row + 4);
    Result<Text> name = strings.read(text_start + name_offset);
    if (!name.ok()) return std::move(name).take_error();
    Status slot = check_address(data_size, address, kSlotSize, kSlotSize);
    if (!slot.ok()) return std::move(slot).take_error();
    archive.labels[address].push_back(std::move(name).value());
  }
  return archive;
}

}  // namespace orvane
