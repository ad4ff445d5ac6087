// Owned text and text blocks; text decoded on read is never cached, so an archive's
// memory stays proportional to its file.
#include "text.h"

#include <cstring>
#include <new>

#include "archive_error.h"

namespace orvane {

/// The start of a block; `count` records and then `length` bytes follow it.
struct TextBlock::Header {
  std::uint64_t references;
  std::uint64_t length;
  std::uint64_t count;
  std::uint64_t used;

  Text::Record* records() noexcept { return reinterpret_cast<Text::Record*>(this + 1); }
  std::uint8_t* bytes() noexcept { return reinterpret_cast<std::uint8_t*>(records() + count); }

  static Header* of(Text::Record* record) noexcept {
    return reinterpret_cast<Header*>(record - record->in_block.index) - 1;
  }
};

Text Text::owned(std::string_view utf8) {
  if (utf8.size() <= kInHandle) {
    Text text;
    text.bits_ = 1u | static_cast<std::uint64_t>(utf8.size()) << 1;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
      text.bits_ |= static_cast<std::uint64_t>(static_cast<unsigned char>(utf8[i])) << (8 * i + 8);
    }
    return text;
  }
  if (utf8.size() > kSize) throw std::bad_alloc();
  void* block = ::operator new(sizeof(Record) + utf8.size());
  auto* record = new (block) Record;
  record->word = utf8.size();
  record->references = 1;
  if (!utf8.empty()) std::memcpy(record + 1, utf8.data(), utf8.size());
  return Text(record);
}

Text Text::owned_space(std::size_t size, std::uint8_t*& bytes) {
  if (size > kSize) throw std::bad_alloc();
  if (size <= kInHandle) throw Fault("Text space was asked for a size that fits the handle.");
  void* block = ::operator new(sizeof(Record) + size);
  auto* record = new (block) Record;
  record->word = size;
  record->references = 1;
  bytes = reinterpret_cast<std::uint8_t*>(record + 1);
  return Text(record);
}

std::uint64_t& Text::references() const noexcept {
  Record* own = record();
  if ((own->word & kInBlock) == 0) return own->references;
  return TextBlock::Header::of(own)->references;
}

void Text::release() noexcept {
  if (bits_ == 0 || in_handle()) {
    bits_ = 0;
    return;
  }
  if (--references() == 0) {
    Record* own = record();
    if ((own->word & kInBlock) == 0) {
      ::operator delete(own);
    } else {
      ::operator delete(TextBlock::Header::of(own));
    }
  }
  bits_ = 0;
}

std::string_view Text::view(std::string& scratch) const {
  if (in_handle()) {
    scratch.clear();
    for (std::size_t i = 0, n = size(); i < n; ++i) {
      scratch.push_back(static_cast<char>(bits_ >> (8 * i + 8)));
    }
    return scratch;
  }
  Record* own = record();
  const Record& record = *own;
  const std::uint64_t word = record.word;
  const auto size = static_cast<std::size_t>(word & kSize);
  if ((word & kInBlock) == 0) {
    return std::string_view(reinterpret_cast<const char*>(own + 1), size);
  }
  TextBlock::Header* block = TextBlock::Header::of(own);
  const std::uint8_t* start = block->bytes() + record.in_block.begin;
  if ((word & kOnRead) == 0) return std::string_view(reinterpret_cast<const char*>(start), size);
  scratch.clear();
  scratch.reserve(size);
  const ByteView bytes{start, static_cast<std::size_t>(block->length - record.in_block.begin)};
  const auto encoding = static_cast<TextEncoding>((word >> kEncodingShift) & 3u);
  if (!decode_text(bytes, encoding, scratch) || scratch.size() != size) {
    throw Fault("Stored text no longer decodes as it did when it was loaded.");
  }
  return scratch;
}

std::string_view Text::stored_utf8() const noexcept {
  if (in_handle()) return std::string_view();
  Record* own = record();
  const std::uint64_t word = own->word;
  const auto size = static_cast<std::size_t>(word & kSize);
  if ((word & kInBlock) == 0) return std::string_view(reinterpret_cast<const char*>(own + 1), size);
  if ((word & kOnRead) != 0) return std::string_view();
  const std::uint8_t* start = TextBlock::Header::of(own)->bytes() + own->in_block.begin;
  return std::string_view(reinterpret_cast<const char*>(start), size);
}

std::string Text::str() const {
  std::string scratch;
  const std::string_view text = view(scratch);
  return text.data() == scratch.data() ? std::move(scratch) : std::string(text);
}

bool Text::equals(std::string_view utf8) const {
  if (size() != utf8.size()) return false;
  std::string scratch;
  return view(scratch) == utf8;
}

TextBlock::TextBlock(ByteView bytes, std::size_t texts) {
  // Records find their bytes by a 32-bit offset and their block by a 32-bit index.
  if (texts > 0xFFFFFFFFu || bytes.size > 0xFFFFFFFFu) {
    throw Fault("A text block is larger than its records can address.");
  }
  void* block = ::operator new(sizeof(Header) + sizeof(Text::Record) * texts + bytes.size);
  header_ = new (block) Header{1, bytes.size, texts, 0};
  if (bytes.size != 0) std::memcpy(header_->bytes(), bytes.data, bytes.size);
}

TextBlock::~TextBlock() {
  if (--header_->references == 0) ::operator delete(header_);
}

ByteView TextBlock::bytes() const noexcept {
  return ByteView{header_->bytes(), static_cast<std::size_t>(header_->length)};
}

Text TextBlock::add(std::uint64_t word, std::size_t begin) {
  if (header_->used == header_->count || begin > header_->length) {
    throw Fault("A text block was given more texts than it has room for.");
  }
  const auto index = static_cast<std::uint32_t>(header_->used++);
  auto* record = new (header_->records() + index) Text::Record;
  record->word = word | Text::kInBlock;
  record->in_block.begin = static_cast<std::uint32_t>(begin);
  record->in_block.index = index;
  ++header_->references;
  return Text(record);
}

Text TextBlock::add_decoded(std::size_t begin, std::uint64_t size) {
  if (begin > header_->length || size > header_->length - begin)
    throw Fault("A decoded text runs past its block.");
  return add(size, begin);
}

Text TextBlock::add_on_read(std::size_t begin, TextEncoding encoding, std::uint64_t utf8_size) {
  if (utf8_size > Text::kSize) throw Fault("A stored text is larger than a record can say.");
  return add(
      utf8_size | Text::kOnRead | (static_cast<std::uint64_t>(encoding) << Text::kEncodingShift),
      begin);
}

}  // namespace orvane
