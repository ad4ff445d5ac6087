// Immutable text held by text entries and label lists, as a one-word handle.
//
// Text set from a caller, and text loaded from a file where one string starts at a
// position, is kept as UTF-8 in one allocation of its exact size. Where many entries
// start at different places inside one stored run, the run is copied once into a block
// that also holds a 16-byte record per named position, and each text is decoded when
// read: a file can name a few megabytes of bytes from a million places, and holding
// each decoded suffix would cost terabytes. Copies share their record by reference
// count (not atomic: an archive's texts are only touched by the thread that holds it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "byte_view.h"
#include "shift_jis.h"

namespace orvane {

class TextRun;

class Text {
 public:
  /// An empty handle, only for filling containers; any other use is a bug.
  Text() noexcept = default;
  /// Text from UTF-8 the caller owns (copied into one allocation).
  static Text owned(std::string_view utf8);

  Text(const Text& other) noexcept : record_(other.record_) { retain(); }
  Text(Text&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
  Text& operator=(Text other) noexcept {
    std::swap(record_, other.record_);
    return *this;
  }
  ~Text() { release(); }

  /// The length in UTF-8 bytes, known without decoding.
  std::size_t size() const noexcept { return static_cast<std::size_t>(record_->size); }
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
  bool decoded_on_read() const noexcept { return (record_->tag & kStored) != 0; }
  /// Equal for copies of one Text, which therefore hold the same characters.
  const void* identity() const noexcept { return record_; }

  friend bool operator==(const Text& a, const Text& b);
  friend bool operator!=(const Text& a, const Text& b) { return !(a == b); }

 private:
  friend class TextRun;
  /// Owned text: tag 0, the characters follow the record. Stored text: tag holds the
  /// stored flag, the encoding and the record's index in its run's block.
  struct Record {
    std::uint64_t size;
    std::uint32_t begin;
    std::uint32_t tag;
  };
  static constexpr std::uint32_t kStored = 1u << 31;
  static constexpr unsigned kEncodingShift = 29;
  static constexpr std::uint32_t kIndexMask = (1u << kEncodingShift) - 1;

  explicit Text(Record* adopted) noexcept : record_(adopted) {}
  std::uint64_t& references() const noexcept;
  void retain() const noexcept {
    if (record_ != nullptr) ++references();
  }
  void release() noexcept;

  Record* record_ = nullptr;
};

/// One stored run with room for the texts that start inside it, all in one block.
class TextRun {
 public:
  /// Copies `bytes` (the run without its terminator) into a block with room for
  /// `texts` records.
  TextRun(ByteView bytes, std::size_t texts);
  TextRun(const TextRun&) = delete;
  TextRun& operator=(const TextRun&) = delete;
  ~TextRun();

  /// The run's copy, valid while any of its texts is.
  ByteView bytes() const noexcept;
  /// The next text: what bytes()[begin..] decodes to in `encoding`. The caller has
  /// checked that it decodes, and to `utf8_size` bytes.
  Text add(std::size_t begin, TextEncoding encoding, std::uint64_t utf8_size);

 private:
  friend class Text;
  struct Header;
  Header* header_;
};

}  // namespace orvane
