// The decoded lengths of every string that starts inside one run of bytes, found in one
// pass from the run's end: the loader uses them to choose between sharing a run and
// decoding each string, and a lookup by name to compare only texts of the right length.
#pragma once

#include <cstddef>
#include <cstdint>

#include "byte_view.h"
#include "shift_jis.h"
#include "utf.h"

namespace orvane {

/// A string's offset in the file, or in a run of bytes. A file is under 4 GiB (its size
/// field has 32 bits), so four bytes hold any.
using Position = std::uint32_t;

/// One run of bytes, its terminator excluded, and the string positions inside it.
struct Run {
  ByteView bytes;
  const Position* positions;  // ascending offsets, the first at bytes.data
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
/// bytes), calls each(k, size) with the UTF-8 length of what the run decodes to
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
    each(next, std::int64_t{0});
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
      each(next, size);
      skip();
    }
  }
}

/// Calls each(k, size) once for every position of `run`, with the UTF-8 length of what
/// the run decodes to from there in the encoding its byte-order mark picks, or -1 where
/// it does not decode.
/// The run is walked once for each encoding that occurs, from its end down to the
/// lowest position of that encoding.
template <typename Each>
void each_suffix_size(const Run& run, Each each) {
  // The encodings that occur, and each one's mark length (fixed per encoding, so the
  // starts of one encoding ascend with the positions).
  constexpr std::size_t kEncodings = 4;
  bool occurs[kEncodings] = {false, false, false, false};
  std::size_t mark_of[kEncodings] = {0, 0, 0, 0};
  for (std::size_t k = 0; k < run.count; ++k) {
    std::size_t mark = 0;
    const auto e = static_cast<std::size_t>(run.encoding(k, mark));
    occurs[e] = true;
    mark_of[e] = mark;
  }
  for (std::size_t e = 0; e < kEncodings; ++e) {
    if (occurs[e]) suffix_sizes(run, static_cast<TextEncoding>(e), mark_of[e], each);
  }
}

}  // namespace orvane
