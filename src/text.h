// Immutable text held by text entries and label lists. Text set from a caller is kept
// as UTF-8. Text loaded from a file is usually decoded at once, but where many entries
// start at different places inside one stored run, each keeps only a position in one
// shared copy of the run and is decoded when read: a file can name a few megabytes of
// bytes from a million places, and holding each decoded suffix would cost terabytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "shift_jis.h"

namespace orvane {

class Text {
 public:
  /// Text from UTF-8 the caller owns.
  static Text owned(std::string utf8);
  /// The text that run[begin..] decodes to in `encoding`. The caller has checked that
  /// it decodes, and to `utf8_size` bytes.
  static Text stored(std::shared_ptr<const std::vector<std::uint8_t>> run, std::size_t begin,
                     TextEncoding encoding, std::size_t utf8_size);

  /// The length in UTF-8 bytes, known without decoding.
  std::size_t size() const noexcept;
  /// The UTF-8 text; owned text is returned as it is, stored text is decoded into
  /// `scratch` first.
  std::string_view view(std::string& scratch) const;
  /// The UTF-8 text as a new string.
  std::string str() const;
  /// Whether the characters are `utf8`; stored text is decoded only when the lengths
  /// already match.
  bool equals(std::string_view utf8) const;
  /// Whether reading the characters means decoding them (text loaded from a run that
  /// several entries start inside).
  bool decoded_on_read() const noexcept { return node_->run != nullptr; }
  /// Equal for copies of one Text, which therefore hold the same characters.
  const void* identity() const noexcept { return node_.get(); }

  friend bool operator==(const Text& a, const Text& b);
  friend bool operator!=(const Text& a, const Text& b) { return !(a == b); }

 private:
  struct Node {
    std::string utf8;  // owned text; empty for stored text
    std::shared_ptr<const std::vector<std::uint8_t>> run;
    std::size_t begin = 0;
    std::size_t size = 0;
    TextEncoding encoding = TextEncoding::kShiftJis;
  };
  explicit Text(std::shared_ptr<const Node> node) : node_(std::move(node)) {}
  std::shared_ptr<const Node> node_;
};

}  // namespace orvane
