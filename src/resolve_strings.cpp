// Resolving named strings: the terminator of each run of bytes, then its positions
// decoded at once (one position) or read through one shared copy of the run (several).
#include "resolve_strings.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>

#include "radix_sort.h"
#include "shift_jis.h"
#include "utf.h"

namespace orvane {

namespace {

constexpr const char* kFellOut = "Fell out of buffer while reading shift-jis string.";
constexpr const char* kDecodeError = "Error decoding shift-jis string.";

/// Writes the UTF-8 form of a scalar value at `out`; returns the bytes written.
std::size_t put_utf8(std::uint32_t code_point, std::uint8_t* out) noexcept {
  if (code_point < 0x80) {
    out[0] = static_cast<std::uint8_t>(code_point);
    return 1;
  }
  if (code_point < 0x800) {
    out[0] = static_cast<std::uint8_t>(0xC0 | code_point >> 6);
    out[1] = static_cast<std::uint8_t>(0x80 | (code_point & 0x3F));
    return 2;
  }
  if (code_point < 0x10000) {
    out[0] = static_cast<std::uint8_t>(0xE0 | code_point >> 12);
    out[1] = static_cast<std::uint8_t>(0x80 | (code_point >> 6 & 0x3F));
    out[2] = static_cast<std::uint8_t>(0x80 | (code_point & 0x3F));
    return 3;
  }
  out[0] = static_cast<std::uint8_t>(0xF0 | code_point >> 18);
  out[1] = static_cast<std::uint8_t>(0x80 | (code_point >> 12 & 0x3F));
  out[2] = static_cast<std::uint8_t>(0x80 | (code_point >> 6 & 0x3F));
  out[3] = static_cast<std::uint8_t>(0x80 | (code_point & 0x3F));
  return 4;
}

/// Strings decoded at load time. Text of up to Text::kInHandle bytes goes into its
/// handle. Longer strings are packed back to back into blocks of about kBlockBytes of
/// UTF-8 and at most kBlockTexts texts (a block lives while any of its texts does, so
/// a few big blocks would pin much memory after edits; tiny ones would cost an
/// allocation each). A string longer than a block is measured first and decoded
/// straight into an allocation of its exact size, so it never exists twice.
class DecodedBlocks {
 public:
  static constexpr std::size_t kBlockBytes = 256 * 1024;
  static constexpr std::size_t kBlockTexts = 8 * 1024;

  DecodedBlocks(Strings& strings, std::size_t input_size) : strings_(strings) {
    chars_.reserve(input_size < kBlockBytes ? input_size : kBlockBytes);
  }

  /// Decodes `bytes` (a stored string from its position to its terminator, byte-order
  /// mark included) for the k-th position.
  void add(std::size_t k, ByteView bytes) {
    std::size_t mark = 0;
    const TextEncoding encoding = sniff_byte_order_mark(bytes, mark);
    const ByteView chars{bytes.data + mark, bytes.size - mark};
    if (chars.size > kBlockBytes) {
      add_long(k, chars, encoding);
      return;
    }
    if (!chars_.empty() &&
        (chars_.size() + chars.size > kBlockBytes || pending_.size() == kBlockTexts)) {
      flush();
    }
    const std::size_t start = chars_.size();
    if (!decode_text(chars, encoding, chars_)) {
      strings_.emplace(k, Strings::kDoesNotDecode);
      return;
    }
    const std::size_t size = chars_.size() - start;
    if (size <= Text::kInHandle) {
      strings_.emplace(k, Strings::kText,
                       Text::owned(std::string_view(chars_.data() + start, size)));
      chars_.resize(start);
      return;
    }
    strings_.emplace(k, Strings::kText);
    pending_.push_back(Pending{k, start, size});
  }

  /// Moves what is pending into a block of its exact size.
  void flush() {
    if (pending_.empty()) {
      chars_.clear();
      return;
    }
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

  void add_long(std::size_t k, ByteView chars, TextEncoding encoding) {
    std::uint64_t size = 0;
    std::uint32_t code_point = 0;
    for (std::size_t at = 0; at < chars.size;) {
      if (!next_char(encoding, chars.data, chars.size, at, code_point)) {
        strings_.emplace(k, Strings::kDoesNotDecode);
        return;
      }
      size += utf8_length(code_point);
    }
    if (size > SIZE_MAX) throw std::bad_alloc();
    std::uint8_t* out = nullptr;
    Text text = Text::owned_space(static_cast<std::size_t>(size), out);
    for (std::size_t at = 0; at < chars.size;) {
      next_char(encoding, chars.data, chars.size, at, code_point);
      out += put_utf8(code_point, out);
    }
    strings_.emplace(k, Strings::kText, std::move(text));
  }

  Strings& strings_;
  std::string chars_;
  std::vector<Pending> pending_;
};

/// Decodes the strings at `positions` (ascending, distinct; the k-th of them is
/// position first_index + k of `strings`), which all end at the 0x00 byte at
/// `terminator`.
void decode_run(ByteView input, const Position* positions, std::size_t count,
                std::size_t first_index, std::uint64_t terminator, Strings& strings,
                DecodedBlocks& decoded) {
  const std::uint64_t first = positions[0];
  const Run run{ByteView{input.data + first, static_cast<std::size_t>(terminator - first)},
                positions, count};
  if (count == 1) {  // the usual case: one string, decoded now
    decoded.add(first_index, run.bytes);
    return;
  }
  // Decoding each position costs the sum of the lengths that do not fit a handle;
  // sharing the run costs its bytes and a block header. A run named at a few places
  // near its end (or at its terminator) is cheaper decoded. The lengths are held for
  // the second step when the positions are few, else found again: a hostile run has a
  // position at every byte.
  constexpr std::size_t kHeldSizes = 1 << 16;
  const bool hold = count <= kHeldSizes;
  std::vector<std::int64_t> held(hold ? count : 0, -1);
  std::uint64_t decoded_bytes = 0;
  std::size_t shared = 0;  // texts that would live in the run's block
  each_suffix_size(run, [&](std::size_t k, std::int64_t size) {
    if (hold) held[k] = size;
    if (size > static_cast<std::int64_t>(Text::kInHandle)) {
      decoded_bytes += static_cast<std::uint64_t>(size);
      ++shared;
    }
  });
  constexpr std::uint64_t kBlockHeader = 32;
  // A position that does not decode is never decoded again: that would read the rest
  // of the run once per position.
  const bool share = decoded_bytes > run.bytes.size + kBlockHeader;
  std::optional<TextBlock> block;
  if (share) block.emplace(run.bytes, shared, TextBlock::kSharedRun);
  auto finish = [&](std::size_t k, std::int64_t size) {
    if (size < 0) {
      strings.emplace(first_index + k, Strings::kDoesNotDecode);
    } else if (!share || size <= static_cast<std::int64_t>(Text::kInHandle)) {
      decoded.add(first_index + k, run.from(k));
    } else {
      strings.emplace(first_index + k, Strings::kText, block->add_on_read(run.begin(k)));
    }
  };
  if (!hold) {
    each_suffix_size(run, finish);
    return;
  }
  for (std::size_t k = 0; k < count; ++k) finish(k, held[k]);
}

}  // namespace

const Text* Strings::at(std::uint64_t offset, std::uint64_t input_size, const char*& error) const {
  const Position position = clamp_position(offset, input_size);
  // A file laid out by the writer names its strings in the order they are stored:
  // each entry names the string the previous one did, or the next. Those are looked at
  // first; any other position is found by bisection.
  std::size_t k = last_;
  if (k < positions_.size() && positions_[k] != position) {
    ++k;
    if (k >= positions_.size() || positions_[k] != position) {
      k = static_cast<std::size_t>(
          std::lower_bound(positions_.begin(), positions_.end(), position) - positions_.begin());
    }
  }
  if (k >= positions_.size() || positions_[k] != position || outcomes_[k] == kUnresolved) {
    throw Fault("A string position was not resolved before use.");
  }
  last_ = k;
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
      for (; k < positions.size(); ++k) strings.emplace(k, Strings::kFellOutOfBuffer);
      break;
    }
    const auto terminator =
        static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(zero) - input.data);
    std::size_t end = k;
    while (end < positions.size() && positions[end] <= terminator) ++end;
    decode_run(input, positions.data() + k, end - k, k, terminator, strings, decoded);
    k = end;
  }
  decoded.flush();
  return strings;
}

}  // namespace orvane
