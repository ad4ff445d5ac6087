// Typed reads and writes of the data region, and the operations on the pointer, text
// and label maps. Every check runs before the first change.
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bin_archive.h"
#include "file_format.h"

namespace orvane {

namespace {

using file_format::kSlotSize;

Status check_slot(const BinArchive& archive, Address address) {
  return check_address(archive.data.size(), address, kSlotSize, kSlotSize);
}

/// Reads `Width` bytes little-endian after the address check (width and alignment
/// both equal to the value's size).
template <typename T>
Result<T> read_unsigned(const BinArchive& archive, Address address) {
  Status checked = check_address(archive.data.size(), address, sizeof(T), sizeof(T));
  if (!checked.ok()) return std::move(checked).take_error();
  const std::uint8_t* p = archive.data.data() + address;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<std::uint32_t>(p[i]) << (8 * i);
  return static_cast<T>(value);
}

template <typename T>
Status write_unsigned(BinArchive& archive, Address address, T value) {
  Status checked = check_address(archive.data.size(), address, sizeof(T), sizeof(T));
  if (!checked.ok()) return checked;
  std::uint8_t* p = archive.data.data() + address;
  for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return Ok{};
}

/// Signed and float forms reinterpret the bits of the unsigned read of their width
/// (two's complement, IEEE 754 binary32).
template <typename Signed, typename Unsigned>
Result<Signed> read_bits_as(const BinArchive& archive, Address address) {
  Result<Unsigned> bits = read_unsigned<Unsigned>(archive, address);
  if (!bits.ok()) return std::move(bits).take_error();
  Signed value;
  Unsigned raw = bits.value();
  std::memcpy(&value, &raw, sizeof value);
  return value;
}

/// The bits of a signed or float value through the unsigned write of its width.
template <typename Unsigned, typename Signed>
Status write_bits_as(BinArchive& archive, Address address, Signed value) {
  Unsigned raw;
  std::memcpy(&raw, &value, sizeof raw);
  return write_unsigned<Unsigned>(archive, address, raw);
}

}  // namespace

Result<std::uint8_t> read_u8(const BinArchive& a, Address address) {
  return read_unsigned<std::uint8_t>(a, address);
}
Result<std::uint16_t> read_u16(const BinArchive& a, Address address) {
  return read_unsigned<std::uint16_t>(a, address);
}
Result<std::uint32_t> read_u32(const BinArchive& a, Address address) {
  return read_unsigned<std::uint32_t>(a, address);
}
Result<std::int8_t> read_i8(const BinArchive& a, Address address) {
  return read_bits_as<std::int8_t, std::uint8_t>(a, address);
}
Result<std::int16_t> read_i16(const BinArchive& a, Address address) {
  return read_bits_as<std::int16_t, std::uint16_t>(a, address);
}
Result<std::int32_t> read_i32(const BinArchive& a, Address address) {
  return read_bits_as<std::int32_t, std::uint32_t>(a, address);
}
Result<float> read_f32(const BinArchive& a, Address address) {
  return read_bits_as<float, std::uint32_t>(a, address);
}

Result<ByteView> read_bytes(const BinArchive& a, Address address, std::uint64_t amount) {
  Status checked = check_address(a.data.size(), address, amount, 1);
  if (!checked.ok()) return std::move(checked).take_error();
  return ByteView{a.data.data() + address, static_cast<std::size_t>(amount)};
}

Status write_u8(BinArchive& a, Address address, std::uint8_t value) {
  return write_unsigned(a, address, value);
}
Status write_u16(BinArchive& a, Address address, std::uint16_t value) {
  return write_unsigned(a, address, value);
}
Status write_u32(BinArchive& a, Address address, std::uint32_t value) {
  return write_unsigned(a, address, value);
}
Status write_i8(BinArchive& a, Address address, std::int8_t value) {
  return write_bits_as<std::uint8_t>(a, address, value);
}
Status write_i16(BinArchive& a, Address address, std::int16_t value) {
  return write_bits_as<std::uint16_t>(a, address, value);
}
Status write_i32(BinArchive& a, Address address, std::int32_t value) {
  return write_bits_as<std::uint32_t>(a, address, value);
}
Status write_f32(BinArchive& a, Address address, float value) {
  return write_bits_as<std::uint32_t>(a, address, value);
}

Status write_bytes(BinArchive& a, Address address, ByteView bytes) {
  Status checked = check_address(a.data.size(), address, bytes.size, 1);
  if (!checked.ok()) return checked;
  if (bytes.size != 0) std::memcpy(a.data.data() + address, bytes.data, bytes.size);
  return Ok{};
}

Result<std::optional<Text>> read_string(const BinArchive& a, Address address) {
  Status checked = check_slot(a, address);
  if (!checked.ok()) return std::move(checked).take_error();
  const Text* found = a.text.find(address);
  if (found == nullptr) return std::optional<Text>();
  return std::optional<Text>(*found);
}

Result<std::optional<Address>> read_pointer(const BinArchive& a, Address address) {
  Status checked = check_slot(a, address);
  if (!checked.ok()) return std::move(checked).take_error();
  const Address* found = a.pointers.find(address);
  if (found == nullptr) return std::optional<Address>();
  return std::optional<Address>(*found);
}

Result<std::optional<std::vector<Text>>> read_labels(const BinArchive& a, Address address) {
  Status checked = check_slot(a, address);
  if (!checked.ok()) return std::move(checked).take_error();
  const LabelList* found = a.labels.find(address);
  if (found == nullptr) return std::optional<std::vector<Text>>();
  return std::optional<std::vector<Text>>(found->to_vector());
}

Status delete_string(BinArchive& a, Address address) {
  Status checked = check_slot(a, address);
  if (checked.ok()) a.text.erase(address);
  return checked;
}

Status delete_pointer(BinArchive& a, Address address) {
  Status checked = check_slot(a, address);
  if (checked.ok()) a.pointers.erase(address);
  return checked;
}

Status delete_labels(BinArchive& a, Address address) {
  Status checked = check_slot(a, address);
  if (checked.ok()) a.labels.erase(address);
  return checked;
}

Status delete_label(BinArchive& a, Address address, std::uint64_t index) {
  Status checked = check_slot(a, address);
  if (!checked.ok()) return checked;
  LabelList* found = a.labels.find(address);
  if (found == nullptr) return Ok{};
  LabelList& names = *found;
  if (index >= names.size()) {
    return fail("Index " + std::to_string(index) + " out of bounds for bucket of size " +
                std::to_string(names.size()) + ".");
  }
  names.erase(static_cast<std::size_t>(index));
  return Ok{};
}

Status write_string(BinArchive& a, Address address, std::optional<std::string> value) {
  if (!value) return delete_string(a, address);
  Status checked = check_slot(a, address);
  if (!checked.ok()) return checked;
  a.text.insert_or_assign(address, Text::owned(std::move(*value)));
  return Ok{};
}

Status write_pointer(BinArchive& a, Address address, std::optional<Address> value) {
  if (!value) return delete_pointer(a, address);
  Status checked = check_slot(a, address);
  if (!checked.ok()) return checked;
  a.pointers.insert_or_assign(address, *value);
  return Ok{};
}

Status write_labels(BinArchive& a, Address address, std::vector<std::string> labels) {
  Status checked = check_slot(a, address);
  if (!checked.ok()) return checked;
  std::vector<Text> names;
  names.reserve(labels.size());
  for (std::string& label : labels) names.push_back(Text::owned(std::move(label)));
  a.labels.insert_or_assign(address, LabelList(std::move(names)));
  return Ok{};
}

Status write_label(BinArchive& a, Address address, std::string label) {
  Status checked = check_slot(a, address);
  if (!checked.ok()) return checked;
  Text name = Text::owned(std::move(label));
  LabelList* found = a.labels.find(address);
  if (found != nullptr) {
    found->push_back(std::move(name));  // strong guarantee: unchanged if it throws
  } else {
    LabelList names;
    names.push_back(std::move(name));
    a.labels.insert_or_assign(address, std::move(names));
  }
  return Ok{};
}

namespace {

/// Mixes identities with the secret: a file chooses where its texts start.
struct IdentityHash {
  std::size_t operator()(std::uint64_t identity) const noexcept {
    return static_cast<std::size_t>(keyed_mix(identity));
  }
};

/// The identities of the names of `size` UTF-8 bytes among those whose size is not
/// held (see Text::size_held): their sizes are found together, one pass over each
/// shared run.
std::unordered_set<std::uint64_t, IdentityHash> unheld_names_of_size(const BinArchive& a,
                                                                     std::size_t size) {
  std::vector<const Text*> names;
  for (const auto& entry : a.labels) {
    for (const Text& name : entry.second) {
      if (!name.size_held()) names.push_back(&name);
    }
  }
  std::vector<std::uint64_t> sizes(names.size());
  sizes_of(names.data(), names.size(), sizes.data());
  std::unordered_set<std::uint64_t, IdentityHash> fit;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (sizes[i] == size) fit.insert(names[i]->identity());
  }
  return fit;
}

}  // namespace

std::optional<Address> find_label_address(const BinArchive& a, std::string_view target) {
  // Names loaded from one file position, and copies of a name, share one Text: a file
  // can name one long string from a million rows. Each distinct Text of the target's
  // length is compared once; rows that repeat the one just compared (the usual shape)
  // cost a pointer comparison, others a lookup. Short names cost less to compare than
  // to look up.
  constexpr std::size_t kCompareDirectly = 64;
  std::optional<Address> lowest;
  const bool long_target = target.size() > kCompareDirectly;
  // Measured when the first such name is met: most archives have none.
  std::optional<std::unordered_set<std::uint64_t, IdentityHash>> unheld_fit;
  std::unordered_map<std::uint64_t, bool, IdentityHash> verdicts;
  std::uint64_t last = 0;
  bool last_verdict = false;
  for (const auto& entry : a.labels) {
    if (lowest && entry.first >= *lowest) continue;
    for (const Text& name : entry.second) {
      if (name.size_held()) {
        if (name.held_size() != target.size()) continue;
      } else {
        if (!unheld_fit) unheld_fit = unheld_names_of_size(a, target.size());
        if (unheld_fit->count(name.identity()) == 0) continue;
      }
      bool match;
      if (!long_target) {
        match = name.equals(target);
      } else if (name.identity() == last) {
        match = last_verdict;
      } else {
        auto verdict = verdicts.try_emplace(name.identity(), false);
        if (verdict.second) verdict.first->second = name.equals(target);
        match = verdict.first->second;
        last = name.identity();
        last_verdict = match;
      }
      if (match) {
        lowest = entry.first;
        break;
      }
    }
  }
  return lowest;
}

}  // namespace orvane
