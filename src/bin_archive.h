// The in-memory archive: the data region and the three maps of annotations on its
// 4-byte slots, with every operation on them. No Python here; failures are values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "address.h"
#include "archive_error.h"
#include "byte_view.h"
#include "label_list.h"
#include "slot_map.h"
#include "text.h"

namespace orvane {

/// The archive record. The maps are the truth for pointers and text; the bytes of a
/// slot are only overwritten with the map's value when a file is written.
struct BinArchive {
  std::vector<std::uint8_t> data;
  SlotMap<Text> text;
  SlotMap<Address> pointers;
  SlotMap<LabelList> labels;
};

// Loading and writing.

/// Loads a whole archive file. The input is only read during the call.
Result<BinArchive> from_bytes(ByteView input);
/// The length of the data region in bytes.
std::uint64_t size(const BinArchive& archive) noexcept;
/// The whole file, header to text region; the archive is only read.
Result<std::vector<std::uint8_t>> serialize(const BinArchive& archive);

// Typed access to the data region.

Result<std::uint8_t> read_u8(const BinArchive& archive, Address address);
Result<std::uint16_t> read_u16(const BinArchive& archive, Address address);
Result<std::uint32_t> read_u32(const BinArchive& archive, Address address);
Result<std::int8_t> read_i8(const BinArchive& archive, Address address);
Result<std::int16_t> read_i16(const BinArchive& archive, Address address);
Result<std::int32_t> read_i32(const BinArchive& archive, Address address);
Result<float> read_f32(const BinArchive& archive, Address address);
/// A view into the archive's bytes: copy it before the archive can change.
Result<ByteView> read_bytes(const BinArchive& archive, Address address, std::uint64_t amount);

Status write_u8(BinArchive& archive, Address address, std::uint8_t value);
Status write_u16(BinArchive& archive, Address address, std::uint16_t value);
Status write_u32(BinArchive& archive, Address address, std::uint32_t value);
Status write_i8(BinArchive& archive, Address address, std::int8_t value);
Status write_i16(BinArchive& archive, Address address, std::int16_t value);
Status write_i32(BinArchive& archive, Address address, std::int32_t value);
Status write_f32(BinArchive& archive, Address address, float value);
Status write_bytes(BinArchive& archive, Address address, ByteView bytes);

// Pointers, text entries and labels. Every operation with an address runs the slot
// check (width 4, alignment 4) first, whether or not the address has an entry.

Result<std::optional<Text>> read_string(const BinArchive& archive, Address address);
Result<std::optional<Address>> read_pointer(const BinArchive& archive, Address address);
Result<std::optional<std::vector<Text>>> read_labels(const BinArchive& archive, Address address);
Status delete_string(BinArchive& archive, Address address);
Status delete_pointer(BinArchive& archive, Address address);
Status delete_labels(BinArchive& archive, Address address);
Status delete_label(BinArchive& archive, Address address, std::uint64_t index);
/// Without a value this is delete_string.
Status write_string(BinArchive& archive, Address address, std::optional<std::string> value);
/// Without a value this is delete_pointer. The destination is not checked.
Status write_pointer(BinArchive& archive, Address address, std::optional<Address> value);
Status write_labels(BinArchive& archive, Address address, std::vector<std::string> labels);
Status write_label(BinArchive& archive, Address address, std::string label);
/// The lowest address whose label list holds `target`, so the answer never depends
/// on the maps' order.
std::optional<Address> find_label_address(const BinArchive& archive, std::string_view target);

// Growing and shrinking the data region. Each call completes or changes nothing.

Status allocate_at_end(BinArchive& archive, std::uint64_t amount_in_bytes);
Status allocate(BinArchive& archive, Address address, std::uint64_t amount_in_bytes);
Status deallocate(BinArchive& archive, Address address, std::uint64_t amount_in_bytes);

}  // namespace orvane
