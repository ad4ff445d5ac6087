// Checks shared by the fuzz targets: deep snapshots of an archive, the documented
// failure messages, and the serialize -> load round trip with everything the file
// format can and cannot carry spelled out. Any violation traps, so libFuzzer keeps
// the input that caused it.
#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bin_archive.h"
#include "file_format.h"

namespace fuzz {

using orvane::Address;
using orvane::BinArchive;

[[noreturn]] inline void violation(const std::string& what) {
  std::fprintf(stderr, "\n*** fuzz check failed: %s\n", what.c_str());
  std::fflush(stderr);
  __builtin_trap();
}

/// Traps unless `condition` holds. A macro so that the message, often built from
/// strings, costs nothing on the passing path, which runs per byte in places.
#define FUZZ_REQUIRE(condition, what)          \
  do {                                         \
    if (!(condition)) ::fuzz::violation(what); \
  } while (0)

/// Upper-case hexadecimal without padding, written independently of the model's own.
inline std::string hex(std::uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "%" PRIX64, value);
  return buffer;
}

/// The exact end of an access, which may need a 65th bit.
inline std::string hex_end(std::uint64_t address, std::uint64_t width) {
  const unsigned __int128 end = static_cast<unsigned __int128>(address) + width;
  if (end >> 64 == 0) return hex(static_cast<std::uint64_t>(end));
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "1%016" PRIX64, static_cast<std::uint64_t>(end));
  return buffer;
}

inline std::string range_message(const std::string& address_hex, std::uint64_t size) {
  return "Invalid address 0x" + address_hex + " for archive of size 0x" + hex(size) + ".";
}

inline std::string alignment_message(std::uint64_t address, std::uint64_t alignment) {
  return "Invalid address 0x" + hex(address) + " expected " + std::to_string(alignment) +
         " byte alignment.";
}

/// What the shared address check must answer: no value when the access is allowed.
inline std::optional<std::string> expected_check(std::uint64_t size, Address address,
                                                 std::uint64_t width, std::uint64_t alignment) {
  if (address >= size) return range_message(hex(address), size);
  const unsigned __int128 end = static_cast<unsigned __int128>(address) + width;
  if (width > 1 && end > size) return range_message(hex_end(address, width), size);
  if (alignment > 1 && address % alignment != 0) return alignment_message(address, alignment);
  return std::nullopt;
}

/// Matches `text` against `pattern`, where "%X" stands for an upper-case hexadecimal
/// number without leading zeros and "%D" for a decimal one.
inline bool matches(std::string_view text, std::string_view pattern) {
  std::size_t t = 0;
  for (std::size_t p = 0; p < pattern.size(); ++p) {
    if (pattern[p] == '%' && p + 1 < pattern.size()) {
      const bool hex_digits = pattern[++p] == 'X';
      const std::size_t start = t;
      while (t < text.size() && ((text[t] >= '0' && text[t] <= '9') ||
                                 (hex_digits && text[t] >= 'A' && text[t] <= 'F'))) {
        ++t;
      }
      if (t == start || (text[start] == '0' && t - start > 1)) return false;
    } else if (t >= text.size() || text[t++] != pattern[p]) {
      return false;
    }
  }
  return t == text.size();
}

constexpr const char* kFellOut = "Fell out of buffer while reading shift-jis string.";
constexpr const char* kDecodeError = "Error decoding shift-jis string.";
constexpr const char* kEncodeError = "Error encoding shift-jis string.";

inline bool is_load_message(const std::string& m) {
  return m == "Input is not a large enough to contain an archive header." ||
         m == "Incorrect file size in archive header." ||
         m == "Archive is not large enough to hold the amount of data and metadata indicated in "
              "the header." ||
         m == kFellOut || m == kDecodeError ||
         matches(m, "Invalid address 0x%X for archive of size 0x%X.") ||
         matches(m, "Invalid address 0x%X expected 4 byte alignment.");
}

inline bool is_serialize_message(const std::string& m) {
  return m == kEncodeError ||
         matches(m, "Pointer destination 0x%X at 0x%X does not fit in 32 bits.") ||
         m == "Archive is too large to write: a file holds at most 0xFFFFFFFF bytes.";
}

/// The characters of a text entry or label name. Loaded text may be decoded only when
/// read, so its three ways of answering must agree every time.
inline std::string text_value(const orvane::Text& text) {
  std::string value = text.str();
  std::string scratch;
  FUZZ_REQUIRE(text.size() == value.size(), "Text::size disagrees with its characters");
  FUZZ_REQUIRE(text.view(scratch) == value, "Text::view disagrees with Text::str");
  FUZZ_REQUIRE(text.equals(value), "Text::equals rejects its own characters");
  return value;
}

/// The entries one slot carries.
struct SlotEntries {
  std::optional<std::string> text;
  std::optional<Address> pointer;
  std::optional<std::vector<std::string>> labels;

  bool operator==(const SlotEntries& o) const {
    return text == o.text && pointer == o.pointer && labels == o.labels;
  }
  bool operator!=(const SlotEntries& o) const { return !(*this == o); }
};

/// The length of the data region and the number of entries in each map.
struct Counts {
  std::uint64_t data = 0, text = 0, pointers = 0, labels = 0;

  bool operator==(const Counts& o) const {
    return data == o.data && text == o.text && pointers == o.pointers && labels == o.labels;
  }
  bool operator!=(const Counts& o) const { return !(*this == o); }
};

/// A deep copy of everything an archive holds, ordered so that equality is by content.
/// The edit target also keeps one as its own independent copy of the archive.
struct Snapshot {
  std::vector<std::uint8_t> data;
  std::map<Address, std::string> text;
  std::map<Address, Address> pointers;
  std::map<Address, std::vector<std::string>> labels;

  bool operator==(const Snapshot& o) const {
    return data == o.data && text == o.text && pointers == o.pointers && labels == o.labels;
  }
  bool operator!=(const Snapshot& o) const { return !(*this == o); }

  Counts counts() const { return {data.size(), text.size(), pointers.size(), labels.size()}; }

  SlotEntries slot(Address address) const {
    SlotEntries e;
    if (auto t = text.find(address); t != text.end()) e.text = t->second;
    if (auto p = pointers.find(address); p != pointers.end()) e.pointer = p->second;
    if (auto l = labels.find(address); l != labels.end()) e.labels = l->second;
    return e;
  }
};

// The record's storage is read by the four functions below and nowhere else in fuzz/;
// everything else goes through them or through the model's operations.

inline orvane::ByteView data_of(const BinArchive& a) {
  return {a.data.data(), a.data.size()};
}

inline Counts counts(const BinArchive& a) {
  return {a.data.size(), a.text.size(), a.pointers.size(), a.labels.size()};
}

inline SlotEntries slot_entries(const BinArchive& a, Address address) {
  SlotEntries e;
  if (const auto* t = a.text.find(address)) e.text = text_value(*t);
  if (const auto* p = a.pointers.find(address)) e.pointer = *p;
  if (const auto* l = a.labels.find(address)) {
    e.labels.emplace();
    for (const auto& name : *l) e.labels->push_back(text_value(name));
  }
  return e;
}

inline Snapshot snapshot(const BinArchive& a, bool with_data = true) {
  Snapshot s;
  if (with_data) s.data = a.data;
  for (const auto& [address, text] : a.text) {
    s.text.emplace(address, text_value(text));
  }
  for (const auto& [address, destination] : a.pointers) s.pointers.emplace(address, destination);
  for (const auto& [address, names] : a.labels) {
    std::vector<std::string>& copy = s.labels[address];
    for (const auto& name : names) {
      copy.push_back(text_value(name));
    }
  }
  return s;
}

/// Whether `a` holds exactly what `s` does; the data region is compared in place.
inline bool same(const Snapshot& s, const BinArchive& a) {
  const orvane::ByteView data = data_of(a);
  if (data.size != s.data.size() ||
      (data.size != 0 && std::memcmp(data.data, s.data.data(), data.size) != 0)) {
    return false;
  }
  const Snapshot entries = snapshot(a, false);
  return entries.text == s.text && entries.pointers == s.pointers && entries.labels == s.labels;
}

/// Every key of the three maps is a whole 4-byte slot inside the data region.
inline void check_keys(const Snapshot& s) {
  const std::uint64_t size = s.data.size();
  auto check = [size](Address key, const char* map) {
    if (key % 4 != 0 || size < 4 || key > size - 4) {
      violation(std::string(map) + " key 0x" + hex(key) + " is not a slot of an archive of 0x" +
                hex(size) + " bytes");
    }
  };
  for (const auto& entry : s.text) check(entry.first, "text");
  for (const auto& entry : s.pointers) check(entry.first, "pointers");
  for (const auto& entry : s.labels) check(entry.first, "labels");
}

/// The three characters whose Shift_JIS bytes read back as another character.
inline std::string carried_text(std::string text) {
  static const std::pair<std::string_view, std::string_view> kLossy[] = {
      {"\xC2\xA5", "\\"},                // U+00A5 YEN SIGN -> U+005C
      {"\xE2\x80\xBE", "~"},             // U+203E OVERLINE -> U+007E
      {"\xE2\x88\x92", "\xEF\xBC\x8D"},  // U+2212 MINUS SIGN -> U+FF0D
  };
  for (const auto& [from, to] : kLossy) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
  }
  return text;
}

inline std::vector<std::uint8_t> must_serialize(const BinArchive& a, const char* what) {
  auto out = orvane::serialize(a);
  if (!out.ok()) violation(std::string(what) + ": serialize failed: " + out.error().message);
  return std::move(out).value();
}

inline BinArchive must_load(const std::vector<std::uint8_t>& file, const char* what) {
  auto loaded = orvane::from_bytes(orvane::ByteView{file.data(), file.size()});
  if (!loaded.ok()) violation(std::string(what) + ": reload failed: " + loaded.error().message);
  return std::move(loaded).value();
}

/// Serializes `a` and loads the result again. Serialize must succeed or fail with a
/// documented message; a file it wrote must load and give back what the format can
/// carry: a data pointer whose destination lies past the data region is read back as
/// a text pointer (or fails to load as one), a slot with both a pointer and a text
/// entry comes back with only the text, empty label lists vanish, and three characters
/// come back as their Shift_JIS twins. Once through, the archive is a fixed point:
/// writing it, loading that and writing again gives the same bytes. Returns the
/// serialize's message on failure, and the reloaded archive when there is one.
struct RoundTrip {
  std::string error;
  std::optional<BinArchive> reloaded;
};

inline RoundTrip check_round_trip(const BinArchive& a) {
  const Snapshot before = snapshot(a);
  check_keys(before);
  const std::uint64_t size = before.data.size();
  auto written = orvane::serialize(a);
  FUZZ_REQUIRE(same(before, a), "serialize changed the archive");
  std::size_t far_pointers = 0;  // destinations the file would read as text pointers
  bool wide_pointer = false;
  for (const auto& [address, destination] : before.pointers) {
    if (destination > size && before.text.count(address) == 0) ++far_pointers;
    if (destination > 0xFFFFFFFFu) wide_pointer = true;
  }
  const bool far_pointer = far_pointers != 0;
  if (!written.ok()) {
    const std::string& m = written.error().message;
    FUZZ_REQUIRE(is_serialize_message(m), "undocumented serialize message: " + m);
    if (m != kEncodeError)
      FUZZ_REQUIRE(wide_pointer || size > 0xFFFFFFF0u, "serialize refused: " + m);
    return {m, std::nullopt};
  }
  FUZZ_REQUIRE(!wide_pointer, "serialize wrote a destination that does not fit in 32 bits");
  const std::vector<std::uint8_t> file = std::move(written).value();
  FUZZ_REQUIRE(must_serialize(a, "second serialize") == file, "serialize is not deterministic");

  auto reloaded = orvane::from_bytes(orvane::ByteView{file.data(), file.size()});
  if (!reloaded.ok()) {
    const std::string& m = reloaded.error().message;
    FUZZ_REQUIRE(far_pointer && (m == kFellOut || m == kDecodeError),
                 "a written file does not load: " + m);
    return {};
  }
  BinArchive b = std::move(reloaded).value();
  const Snapshot got = snapshot(b);

  FUZZ_REQUIRE(got.data.size() == size, "data size changed in the round trip");
  // Only the slots may differ: take them from the reloaded data and compare the rest.
  std::vector<std::uint8_t> outside_slots = before.data;
  for (const auto& entry : before.pointers) {
    std::memcpy(&outside_slots[entry.first], &got.data[entry.first], 4);
  }
  for (const auto& entry : before.text) {
    std::memcpy(&outside_slots[entry.first], &got.data[entry.first], 4);
  }
  FUZZ_REQUIRE(outside_slots == got.data, "a byte outside every slot changed");
  std::size_t expected_pointers = 0;
  for (const auto& [address, destination] : before.pointers) {
    if (before.text.count(address) != 0) continue;  // the text pointer wins the slot
    if (destination > size) {
      FUZZ_REQUIRE(got.text.count(address) == 1 && got.pointers.count(address) == 0,
                   "a far pointer did not come back as text at 0x" + hex(address));
      continue;
    }
    ++expected_pointers;
    auto found = got.pointers.find(address);
    FUZZ_REQUIRE(found != got.pointers.end() && found->second == destination,
                 "pointer at 0x" + hex(address) + " did not come back");
    FUZZ_REQUIRE(orvane::load_u32(got.data.data() + address) == destination,
                 "pointer slot at 0x" + hex(address) + " does not hold its destination");
  }
  FUZZ_REQUIRE(got.pointers.size() == expected_pointers, "extra pointers after the round trip");
  for (const auto& [address, text] : before.text) {
    auto found = got.text.find(address);
    FUZZ_REQUIRE(found != got.text.end() && found->second == carried_text(text),
                 "text at 0x" + hex(address) + " did not come back");
    FUZZ_REQUIRE(orvane::load_u32(got.data.data() + address) > size,
                 "text slot at 0x" + hex(address) + " holds a data pointer's value");
  }
  std::map<Address, std::vector<std::string>> labels;
  for (const auto& [address, names] : before.labels) {
    if (names.empty()) continue;
    for (const auto& name : names) labels[address].push_back(carried_text(name));
  }
  FUZZ_REQUIRE(got.labels == labels, "labels did not come back");
  FUZZ_REQUIRE(got.text.size() == before.text.size() + far_pointers,
               "extra text entries after the round trip");

  // The fixed point. With a far pointer the reloaded text is whatever the bytes at that
  // position decode to: it need not be writable, and if a byte-order mark let in one of
  // the three lossy characters, it changes once more on the next trip.
  auto again = orvane::serialize(b);
  if (!again.ok()) {
    FUZZ_REQUIRE(far_pointer && again.error().message == kEncodeError,
                 "a reloaded archive does not write: " + again.error().message);
    return {"", std::move(b)};
  }
  const std::vector<std::uint8_t>& file_b = again.value();
  const BinArchive c = must_load(file_b, "fixed point");
  const Snapshot third = snapshot(c, false);
  bool got_carried = true;
  std::map<Address, std::string> got_text;
  for (const auto& [address, text] : got.text) {
    got_text.emplace(address, carried_text(text));
    if (got_text[address] != text) got_carried = false;
  }
  FUZZ_REQUIRE(
      third.text == got_text && third.pointers == got.pointers && third.labels == got.labels,
      "second round trip changed the entries");
  if (got_carried) {
    FUZZ_REQUIRE(must_serialize(c, "fixed point") == file_b, "writing is not a fixed point");
  }

  bool carried_exactly = !far_pointer;
  for (const auto& [address, text] : before.text) {
    if (before.pointers.count(address) != 0 || carried_text(text) != text) carried_exactly = false;
  }
  for (const auto& [address, names] : before.labels) {
    for (const auto& name : names) {
      if (carried_text(name) != name) carried_exactly = false;
    }
  }
  if (carried_exactly)
    FUZZ_REQUIRE(file_b == file, "rewriting a carried archive changed its bytes");
  return {"", std::move(b)};
}

}  // namespace fuzz
