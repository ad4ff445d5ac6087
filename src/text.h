// Immutable text held by text entries and label lists, as a one-word handle.
//
// Text of at most seven UTF-8 bytes is held in the handle itself. Longer text set from a
// caller, and a loaded string longer than a block, is kept as UTF-8 in one allocation of
// its exact size. Other text loaded from a file lives in blocks. Strings that start at
// one position are decoded at load time and their UTF-8 packed back to back into shared
// blocks, with a 16-byte record per text. Where entries start at different places
// inside one stored run and decoding each would cost more than the run, the run is
// copied once into a block of its own and each text is decoded when read: a file can
// name a few megabytes of bytes from a million places, and holding each decoded suffix
// would cost terabytes. Such a block is numbered, and each of its texts is held in the
// handle as the block's number and where the text starts in it, so a million texts in
// one run cost no more than their handles; their length is found by decoding. A block
// lives while any of its texts does. Copies share their record or block by reference
// count (not atomic: an archive's texts are only touched by the thread that holds it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "byte_view.h"
#include "flat_table.h"
#include "shift_jis.h"

namespace orvane {

class TextBlock;

class Text {
 public:
  /// The most UTF-8 bytes held in the handle itself.
  static constexpr std::size_t kInHandle = 7;
  /// Where a numbered block's number starts in the handle of its texts.
  static constexpr unsigned kNumberShift = 34;

  /// An empty handle, only for filling containers; any other use is a bug.
  Text() noexcept = default;
  /// Text from UTF-8 the caller owns (copied into the handle, or one allocation).
  static Text owned(std::string_view utf8);
  /// Text of `size` (> kInHandle) UTF-8 bytes in one allocation, which the caller
  /// writes through `bytes` before any other use.
  static Text owned_space(std::size_t size, std::uint8_t*& bytes);

  Text(const Text& other) noexcept : bits_(other.bits_) { retain(); }
  Text(Text&& other) noexcept : bits_(std::exchange(other.bits_, 0)) {}
  Text& operator=(Text other) noexcept {
    std::swap(bits_, other.bits_);
    return *this;
  }
  ~Text() { release(); }

  /// Whether this handle holds a text (only default-made and moved-from ones do not).
  bool held() const noexcept { return bits_ != 0; }
  /// The length in UTF-8 bytes: known without decoding, but for text held by its
  /// block's number (see size_held), which is decoded to count it.
  std::size_t size() const noexcept { return numbered() ? measured_size() : held_size(); }
  /// size() of a text whose size is held.
  std::size_t held_size() const noexcept {
    return static_cast<std::size_t>(in_handle() ? (bits_ >> 1) & 7u : record()->word & kSize);
  }
  /// Whether size() is known without decoding. Where it is not, sizes_of() finds the
  /// sizes of many texts at once.
  bool size_held() const noexcept { return !numbered(); }
  /// The UTF-8 text; text held in a record as UTF-8 is returned as it is, text held in
  /// the handle or decoded on read is written into `scratch` first.
  std::string_view view(std::string& scratch) const;
  /// The UTF-8 text when it is stored as UTF-8 outside the handle; a view with no data
  /// for text held in the handle or decoded on read.
  std::string_view stored_utf8() const noexcept;
  /// Starts fetching the text's record, which size() and view() read.
  void prefetch() const noexcept {
    if (bits_ != 0 && (bits_ & 3u) == 0) prefetch_line(record());
  }
  /// The UTF-8 text as a new string.
  std::string str() const;
  /// Whether the characters are `utf8`: compared where they are stored, or, for text
  /// decoded on read, decoded once and compared.
  bool equals(std::string_view utf8) const;
  /// Whether reading the characters means decoding them (text loaded from a run that
  /// several entries start inside).
  bool decoded_on_read() const noexcept { return numbered(); }
  /// Equal for copies of one Text longer than kInHandle, which therefore hold the same
  /// characters; 0 for shorter text.
  std::uint64_t identity() const noexcept { return in_handle() ? 0 : bits_; }

 private:
  friend class TextBlock;
  /// `word` holds the UTF-8 size and the flags below. An owned record counts its own
  /// references and its characters follow it; a record in a block knows where its
  /// bytes start in the block and its own index, which leads back to the block.
  struct Record {
    std::uint64_t word;
    union {
      std::uint64_t references;
      struct {
        std::uint32_t begin;
        std::uint32_t index;
      } in_block;
    };
  };
  static constexpr std::uint64_t kInBlock = std::uint64_t{1} << 63;
  static constexpr std::uint64_t kSize = kInBlock - 1;

  explicit Text(Record* adopted) noexcept
      : bits_(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(adopted))) {}
  /// Text in the handle: bit 0 set, the size in bits 1 to 3, byte i in bits 8i + 8 on.
  bool in_handle() const noexcept { return (bits_ & 1u) != 0; }
  /// Text decoded on read from a numbered block: bits 0 and 1 are 0 and 1, the offset
  /// in the block where the text starts (its byte-order mark, if any) in bits 2 to
  /// 33, and the block's number above (see kNumberShift).
  bool numbered() const noexcept { return (bits_ & 3u) == 2u; }
  std::size_t measured_size() const noexcept;
  Record* record() const noexcept {
    return reinterpret_cast<Record*>(static_cast<std::uintptr_t>(bits_));
  }
  std::uint64_t& references() const noexcept;
  void retain() const noexcept {
    if (bits_ != 0 && !in_handle()) ++references();
  }
  void release() noexcept;

  // A Record* (records are 8-aligned), text in the handle, or a place in a numbered block.
  std::uint64_t bits_ = 0;
};

/// The sizes of `count` texts, sizes[i] = texts[i]->size(): texts held by a block's
/// number are measured in one pass over the part of each block's run from its lowest
/// such text to its end, instead of one pass per text.
void sizes_of(const Text* const* texts, std::size_t count, std::uint64_t* sizes);

/// One allocation of text records and bytes, filled once by the loader.
class TextBlock {
 public:
  /// What a block holds: decoded UTF-8 (add_decoded, a record per text), or a stored
  /// run that its texts are decoded from on each read (add_on_read; numbered).
  enum Holds { kDecodedText, kSharedRun };
  /// A block for `texts` texts and a copy of `bytes`.
  TextBlock(ByteView bytes, std::size_t texts, Holds holds = kDecodedText);
  TextBlock(const TextBlock&) = delete;
  TextBlock& operator=(const TextBlock&) = delete;
  ~TextBlock();

  /// The block's bytes, valid while any of its texts is.
  ByteView bytes() const noexcept;
  /// The next text: the UTF-8 at bytes()[begin, begin + size).
  Text add_decoded(std::size_t begin, std::uint64_t size);
  /// The start of a block (text.cpp).
  struct Header;

  /// The next text of a shared run: what bytes()[position..] decodes to (in the
  /// encoding its byte-order mark picks), decoded on each read. The caller has checked
  /// that it decodes.
  Text add_on_read(std::size_t position);

 private:
  friend class Text;
  Text add(std::uint64_t word, std::size_t begin);
  Header* header_;
};

}  // namespace orvane
