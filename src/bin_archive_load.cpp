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
#include <optional>
#include <utility>

#include "bin_archive.h"
#include "file_format.h"
#include "radix_sort.h"
#include "shift_jis.h"
#include "utf.h"

namespace orvane {

namespace {

using namespace file_format;

constexpr const char* kFellOut = "Fell out of buffer while reading shift-jis string.";
constexpr const char* kDecodeError = "Error decoding shift-jis string.";
constexpr Address kNoAddress = ~Address{0};  // never a slot: slots are 4-aligned

/// A string's offset in the file. A file is under 4 GiB (its size field has 32 bits),
/// and every position at or past its end fails alike, so those are all held as the
/// end: four bytes per named string instead of eight.
using Position = std::uint32_t;

Position clamp_position(std::uint64_t offset, std::uint64_t input_size) noexcept {
  return static_cast<Position>(offset < input_size ? offset : input_size);
}

struct Layout {
  std::uint64_t data_size;
  std::uint64_t pointer_count;
  std::uint64_t label_count;
  std::uint64_t pointer_table;
  std::uint64_t label_table;
  std::uint64_t text_start;
};

/// Every named string position (ascending, distinct) with its text or the message of
/// its failure, filled in ascending order and searched by bisection: flat arrays
/// instead of a hash node per position.
class Strings {
 public:
  enum Outcome : std::uint8_t { kText, kFellOutOfBuffer, kDoesNotDecode };

  explicit Strings(std::vector<Position> positions) : positions_(std::move(positions)) {
    texts_.resize(positions_.size());
    outcomes_.reserve(positions_.size());
  }
  const std::vector<Position>& positions() const noexcept { return positions_; }

  /// Records the next position's outcome, in ascending order; the text of a kText
  /// outcome may be set later with set_text.
  std::size_t emplace(std::uint64_t position, Outcome outcome, Text text = Text()) {
    const std::size_t k = outcomes_.size();
    if (k >= positions_.size() || positions_[k] != position) {
      throw Fault("String positions were resolved out of order.");
    }
    outcomes_.push_back(outcome);
    texts_[k] = std::move(text);
    return k;
  }
  void set_text(std::size_t k, Text text) noexcept { texts_[k] = std::move(text); }

  /// The text at file offset `offset` (of an input of `input_size` bytes), or nullptr
  /// with `error` set to its failure's message.
  const Text* at(std::uint64_t offset, std::uint64_t input_size, const char*& error) const {
    const Position position = clamp_position(offset, input_size);
    const auto found = std::lower_bound(positions_.begin(), positions_.end(), position);
    if (found == positions_.end() || *found != position || outcomes_.size() != positions_.size()) {
      throw Fault("A string position was not resolved before use.");
    }
    const auto k = static_cast<std::size_t>(found - positions_.begin());
    switch (outcomes_[k]) {
      case kText:
        return &texts_[k];
      case kFellOutOfBuffer:
        error = kFellOut;
        return nullptr;
      default:
        error = kDecodeError;
        return nullptr;
    }
  }

 private:
  std::vector<Position> positions_;
  std::vector<Text> texts_;  // empty handles where the position failed
  std::vector<Outcome> outcomes_;
};

/// Strings that start at one position each, decoded at once and packed back to back
/// into blocks of about kBlockBytes of UTF-8 (a block lives while any of its texts
/// does, so a few big blocks would pin much memory after edits; tiny ones would cost
/// an allocation each).
class DecodedBlocks {
 public:
  static constexpr std::size_t kBlockBytes = 256 * 1024;

  DecodedBlocks(Strings& strings, std::size_t input_size) : strings_(strings) {
    chars_.reserve(input_size < kBlockBytes ? input_size : kBlockBytes);
  }

  /// Decodes `bytes` (a whole stored string) for the next position, `position`.
  void add(std::uint64_t position, ByteView bytes) {
    std::size_t mark = 0;
    const TextEncoding encoding = sniff_byte_order_mark(bytes, mark);
    const std::size_t begin = chars_.size();
    if (begin != 0 && begin + bytes.size > kBlockBytes) {
      flush();
    }
    const std::size_t start = chars_.size();
    if (!decode_text(ByteView{bytes.data + mark, bytes.size - mark}, encoding, chars_)) {
      strings_.emplace(position, Strings::kDoesNotDecode);
      return;
    }
    const std::size_t size = chars_.size() - start;
    if (chars_.size() > 0xFFFFFFFFu) {
      // A block addresses at most 4 GiB. A file holds less, but some characters
      // triple in UTF-8: such a string (alone in the buffer, see above) gets its own.
      strings_.emplace(position, Strings::kText,
                       Text::owned(std::string_view(chars_.data() + start, size)));
      chars_.resize(start);
      return;
    }
    pending_.push_back(Pending{strings_.emplace(position, Strings::kText), start, size});
  }

  /// Moves what is pending into a block of its exact size.
  void flush() {
    if (pending_.empty()) return;
    TextBlock block(ByteView{reinterpret_cast<const std::uint8_t*>(chars_.data()), chars_.size()},
                    pending_.size());
    for (const Pending& p : pending_) strings_.set_text(p.k, block.add_decoded(p.begin, p.size));
    pending_.clear();
    chars_.clear();
  }

 private:
  struct Pending {
    std::size_t k, begin, size;
  };
  Strings& strings_;
  std::string chars_;
  std::vector<Pending> pending_;
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

/// For each of `starts` (ascending offsets into `run`, none past its end), the UTF-8
/// length of what run[start..] decodes to in `encoding`, or -1 where it does not decode.
/// One pass from the end of the run: the length at i follows from the length just after
/// the character that starts at i, at most kMaxCharBytes further on, so a window of that
/// many lengths serves instead of a table over the whole run (8 bytes per byte, once per
/// encoding, which a hostile file could make 32 times its own size).
void suffix_sizes(ByteView run, TextEncoding encoding, const std::vector<Position>& starts,
                  std::vector<std::int64_t>& sizes) {
  constexpr std::size_t kWindow = 8;  // a power of two above kMaxCharBytes
  static_assert(kWindow > kMaxCharBytes, "the window must reach past the longest character");
  std::int64_t window[kWindow];
  window[run.size % kWindow] = 0;
  std::size_t next = starts.size();
  sizes.assign(starts.size(), -1);
  while (next > 0 && starts[next - 1] == run.size) sizes[--next] = 0;
  for (std::size_t i = run.size; next > 0 && i-- > starts[0];) {
    std::size_t after = i;
    std::uint32_t code_point = 0;
    std::int64_t size = -1;
    if (next_char(encoding, run.data, run.size, after, code_point) &&
        window[after % kWindow] >= 0) {
      size = window[after % kWindow] + static_cast<std::int64_t>(utf8_length(code_point));
    }
    window[i % kWindow] = size;
    while (next > 0 && starts[next - 1] == i) sizes[--next] = size;
  }
}

/// Decodes the strings at `positions` (ascending, distinct), which all end at the
/// 0x00 byte at `terminator`.
void decode_run(ByteView input, const Position* positions, std::size_t count,
                std::uint64_t terminator, Strings& strings, DecodedBlocks& decoded) {
  const std::uint64_t first = positions[0];
  const ByteView whole{input.data + first, static_cast<std::size_t>(terminator - first)};
  if (count == 1) {  // the usual case: one string, decoded now
    decoded.add(first, whole);
    return;
  }
  TextBlock run(whole, count);
  const ByteView bytes = run.bytes();
  // Each position's encoding and where its characters begin, then the decoded length
  // of every position, one pass per encoding that occurs. A mark's length is fixed per
  // encoding, so the starts of one encoding ascend with the positions.
  constexpr std::size_t kEncodings = 4;
  std::vector<Position> starts[kEncodings];  // a run lies inside the file
  std::vector<std::int64_t> sizes[kEncodings];
  std::vector<TextEncoding> encodings(count);
  std::size_t per_encoding[kEncodings] = {0, 0, 0, 0};
  std::size_t mark_of[kEncodings] = {0, 0, 0, 0};  // a mark's length is fixed per encoding
  for (std::size_t k = 0; k < count; ++k) {
    const auto begin = static_cast<std::size_t>(positions[k] - first);
    std::size_t mark = 0;
    encodings[k] = sniff_byte_order_mark(ByteView{bytes.data + begin, bytes.size - begin}, mark);
    const auto e = static_cast<std::size_t>(encodings[k]);
    ++per_encoding[e];
    mark_of[e] = mark;
  }
  for (std::size_t e = 0; e < kEncodings; ++e) starts[e].reserve(per_encoding[e]);
  for (std::size_t k = 0; k < count; ++k) {
    const auto e = static_cast<std::size_t>(encodings[k]);
    const auto begin = static_cast<std::size_t>(positions[k] - first);
    starts[e].push_back(static_cast<Position>(begin + mark_of[e]));
  }
  for (std::size_t e = 0; e < kEncodings; ++e) {
    if (!starts[e].empty()) suffix_sizes(bytes, static_cast<TextEncoding>(e), starts[e], sizes[e]);
  }
  std::size_t taken[kEncodings] = {0, 0, 0, 0};
  for (std::size_t k = 0; k < count; ++k) {
    const auto e = static_cast<std::size_t>(encodings[k]);
    const std::size_t start = starts[e][taken[e]];
    const std::int64_t size = sizes[e][taken[e]++];
    if (size < 0) {
      strings.emplace(positions[k], Strings::kDoesNotDecode);
    } else {
      strings.emplace(positions[k], Strings::kText,
                      run.add_on_read(start, encodings[k], static_cast<std::uint64_t>(size)));
    }
  }
}

/// Every named string position mapped to its text or its failure.
Strings resolve_strings(ByteView input, std::vector<Position> named) {
  radix_sort(named, [](Position position) { return position; });
  named.erase(std::unique(named.begin(), named.end()), named.end());
  Strings strings(std::move(named));
  DecodedBlocks decoded(strings, input.size);
  const std::vector<Position>& positions = strings.positions();
  std::size_t k = 0;
  while (k < positions.size()) {
    const std::uint64_t start = positions[k];
    const void* zero =
        start < input.size
            ? std::memchr(input.data + start, 0, static_cast<std::size_t>(input.size - start))
            : nullptr;
    if (zero == nullptr) {  // no terminator before the end: nor for any later position
      for (; k < positions.size(); ++k) strings.emplace(positions[k], Strings::kFellOutOfBuffer);
      break;
    }
    const auto terminator =
        static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(zero) - input.data);
    std::size_t end = k;
    while (end < positions.size() && positions[end] <= terminator) ++end;
    decode_run(input, positions.data() + k, end - k, terminator, strings, decoded);
    k = end;
  }
  decoded.flush();
  return strings;
}

}  // namespace

std::uint64_t size(const BinArchive& archive) noexcept {
  return archive.data.size();
}

namespace {
/// The three maps from the tables; the data region is left to the caller.
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
  // Copied last, once the table of strings is gone, so the two never coexist.
  archive.data.assign(bytes + kHeaderSize, bytes + layout.pointer_table);
  return archive;
}

namespace {

Status read_entries(ByteView input, const Layout& layout, BinArchive& archive) {
  const std::uint8_t* bytes = input.data;
  const std::uint64_t length = input.size;
  EntryCounts entries;
  const Strings strings = resolve_strings(input, string_positions(input, layout, entries));
  archive.text.reserve(static_cast<std::size_t>(entries.texts));
  archive.pointers.reserve(static_cast<std::size_t>(entries.pointers));
  archive.labels.reserve(static_cast<std::size_t>(entries.labels));

  // A file laid out by the writer lists data pointers in address order: those go to
  // the map unindexed and are indexed once at the end. An entry out of order switches
  // its map to indexed inserts. A repeated slot holds the same value both times.
  bool pointers_in_order = true, text_in_order = true;
  for (std::uint64_t i = 0; i < layout.pointer_count; ++i) {
    const Address address = load_u32(bytes + layout.pointer_table + kPointerEntrySize * i);
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
  archive.pointers.index_appended();
  archive.text.index_appended();

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
  archive.labels.index_appended();
  return Ok{};
}

}  // namespace

}  // namespace orvane
