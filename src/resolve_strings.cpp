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

/// One run of bytes, its terminator excluded, and the string positions inside it.
struct Run {
  ByteView bytes;
  const Position* positions;  // ascending file offsets, the first at bytes.data
  std::size_t count;

  std::size_t begin(std::size_t k) const noexcept {
    return static_cast<std::size_t>(positions[k] - positions[0]);
  }
  ByteView from(std::size_t k) const noexcept {
    return ByteView{bytes.data + begin(k), bytes.size - begin(k)};
  }
  TextEncoding encoding(std::size_t k, std::size_t& mark) const noexcept {
    return sniff_byte_order_mark(from(k), mark);
  }
};

/// For each position of `run` whose byte-order mark picks `encoding` (a mark of `mark`
/// bytes), calls each(k, size, start) with the UTF-8 length of what the run decodes to
/// from its characters' start on, or -1 where it does not decode; positions come in
/// descending order. One pass from the end of the run: the length at i follows from
/// the length just after the character that starts at i, at most kMaxCharBytes
/// further on, so a window of that many lengths serves instead of a table over the
/// whole run (8 bytes per byte, once per encoding, which a hostile file could make 32
/// times its own size), and nothing is held per position.
template <typename Each>
void suffix_sizes(const Run& run, TextEncoding encoding, std::size_t mark, Each each) {
  constexpr std::size_t kWindow = 8;  // a power of two above kMaxCharBytes
  static_assert(kWindow > kMaxCharBytes, "the window must reach past the longest character");
  auto picks = [&](std::size_t k) {
    std::size_t ignored = 0;
    return run.encoding(k, ignored) == encoding;
  };
  std::size_t lowest = 0;  // the first position of this encoding
  while (lowest < run.count && !picks(lowest)) ++lowest;
  if (lowest == run.count) return;
  const ByteView bytes = run.bytes;
  std::size_t next = run.count;  // positions[next - 1] is the next one to report
  auto skip = [&] {
    while (next > 0 && !picks(next - 1)) --next;
  };
  skip();
  std::int64_t window[kWindow];
  window[bytes.size % kWindow] = 0;
  while (next > 0 && run.begin(next - 1) + mark == bytes.size) {
    --next;
    each(next, std::int64_t{0}, bytes.size);
    skip();
  }
  for (std::size_t i = bytes.size; next > 0 && i-- > run.begin(lowest) + mark;) {
    std::size_t after = i;
    std::uint32_t code_point = 0;
    std::int64_t size = -1;
    if (next_char(encoding, bytes.data, bytes.size, after, code_point) &&
        window[after % kWindow] >= 0) {
      size = window[after % kWindow] + static_cast<std::int64_t>(utf8_length(code_point));
    }
    window[i % kWindow] = size;
    while (next > 0 && run.begin(next - 1) + mark == i) {
      --next;
      each(next, size, i);
      skip();
    }
  }
}

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
  // The encodings that occur, and each one's mark length (fixed per encoding, so the
  // starts of one encoding ascend with the positions).
  constexpr std::size_t kEncodings = 4;
  bool occurs[kEncodings] = {false, false, false, false};
  std::size_t mark_of[kEncodings] = {0, 0, 0, 0};
  for (std::size_t k = 0; k < count; ++k) {
    std::size_t mark = 0;
    const auto e = static_cast<std::size_t>(run.encoding(k, mark));
    occurs[e] = true;
    mark_of[e] = mark;
  }
  auto each_size = [&](auto each) {
    for (std::size_t e = 0; e < kEncodings; ++e) {
      if (occurs[e]) suffix_sizes(run, static_cast<TextEncoding>(e), mark_of[e], each);
    }
  };
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
  each_size([&](std::size_t k, std::int64_t size, std::size_t) {
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
  if (share) block.emplace(run.bytes, shared);
  auto finish = [&](std::size_t k, std::int64_t size, std::size_t start) {
    if (size < 0) {
      strings.emplace(first_index + k, Strings::kDoesNotDecode);
    } else if (!share || size <= static_cast<std::int64_t>(Text::kInHandle)) {
      decoded.add(first_index + k, run.from(k));
    } else {
      std::size_t mark = 0;
      const TextEncoding encoding = run.encoding(k, mark);
      strings.emplace(first_index + k, Strings::kText,
                      block->add_on_read(start, encoding, static_cast<std::uint64_t>(size)));
    }
  };
  if (!hold) {
    each_size(finish);
    return;
  }
  for (std::size_t k = 0; k < count; ++k) {
    std::size_t mark = 0;
    run.encoding(k, mark);
    finish(k, held[k], run.begin(k) + mark);
  }
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
