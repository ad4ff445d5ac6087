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
  /// mark included) for the next position, `position`.
  void add(std::uint64_t position, ByteView bytes) {
    std::size_t mark = 0;
    const TextEncoding encoding = sniff_byte_order_mark(bytes, mark);
    const ByteView chars{bytes.data + mark, bytes.size - mark};
    if (chars.size > kBlockBytes) {
      add_long(position, chars, encoding);
      return;
    }
    if (!chars_.empty() &&
        (chars_.size() + chars.size > kBlockBytes || pending_.size() == kBlockTexts)) {
      flush();
    }
    const std::size_t start = chars_.size();
    if (!decode_text(chars, encoding, chars_)) {
      strings_.emplace(position, Strings::kDoesNotDecode);
      return;
    }
    const std::size_t size = chars_.size() - start;
    if (size <= Text::kInHandle) {
      strings_.emplace(position, Strings::kText,
                       Text::owned(std::string_view(chars_.data() + start, size)));
      chars_.resize(start);
      return;
    }
    pending_.push_back(Pending{strings_.emplace(position, Strings::kText), start, size});
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

  void add_long(std::uint64_t position, ByteView chars, TextEncoding encoding) {
    std::uint64_t size = 0;
    std::uint32_t code_point = 0;
    for (std::size_t at = 0; at < chars.size;) {
      if (!next_char(encoding, chars.data, chars.size, at, code_point)) {
        strings_.emplace(position, Strings::kDoesNotDecode);
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
    strings_.emplace(position, Strings::kText, std::move(text));
  }

  Strings& strings_;
  std::string chars_;
  std::vector<Pending> pending_;
};

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
    encodings[k] = sniff_byte_order_mark(ByteView{whole.data + begin, whole.size - begin}, mark);
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
    if (!starts[e].empty()) suffix_sizes(whole, static_cast<TextEncoding>(e), starts[e], sizes[e]);
  }
  // Decoding each position costs the sum of the lengths that do not fit a handle;
  // sharing the run costs its bytes and a block header. A run named at a few places
  // near its end (or at its terminator) is cheaper decoded.
  std::uint64_t decoded_bytes = 0;
  std::size_t shared = 0;  // texts that would live in the run's block
  for (std::size_t e = 0; e < kEncodings; ++e) {
    for (const std::int64_t size : sizes[e]) {
      if (size > static_cast<std::int64_t>(Text::kInHandle)) {
        decoded_bytes += static_cast<std::uint64_t>(size);
        ++shared;
      }
    }
  }
  constexpr std::uint64_t kBlockHeader = 32;
  // A position that does not decode is never decoded again: that would read the rest
  // of the run once per position.
  const bool share = decoded_bytes > whole.size + kBlockHeader;
  std::optional<TextBlock> run;
  if (share) run.emplace(whole, shared);
  std::size_t taken[kEncodings] = {0, 0, 0, 0};
  for (std::size_t k = 0; k < count; ++k) {
    const auto e = static_cast<std::size_t>(encodings[k]);
    const std::size_t start = starts[e][taken[e]];
    const std::int64_t size = sizes[e][taken[e]++];
    if (size < 0) {
      strings.emplace(positions[k], Strings::kDoesNotDecode);
    } else if (!share || size <= static_cast<std::int64_t>(Text::kInHandle)) {
      const auto begin = static_cast<std::size_t>(positions[k] - first);
      decoded.add(positions[k], ByteView{whole.data + begin, whole.size - begin});
    } else {
      strings.emplace(positions[k], Strings::kText,
                      run->add_on_read(start, encodings[k], static_cast<std::uint64_t>(size)));
    }
  }
}

}  // namespace

const Text* Strings::at(std::uint64_t offset, std::uint64_t input_size, const char*& error) const {
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

}  // namespace orvane
