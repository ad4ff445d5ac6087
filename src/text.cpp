// Owned and stored text; stored text is decoded on each read and never cached, so an
// archive's memory stays proportional to its file.
#include "text.h"

#include <cstring>
#include <new>

#include "archive_error.h"

namespace orvane {

namespace {

/// What precedes an owned record in its allocation.
struct OwnedHeader {
  std::uint64_t references;
};

}  // namespace

/// The start of a run's block; `count` records and then `length` bytes follow it.
struct TextRun::Header {
  std::uint64_t references;
  std::uint64_t length;
  std::uint64_t count;
  std::uint64_t used;

  Text::Record* records() noexcept { return reinterpret_cast<Text::Record*>(this + 1); }
  std::uint8_t* bytes() noexcept { return reinterpret_cast<std::uint8_t*>(records() + count); }

  static Header* of(Text::Record* record) noexcept {
    Text::Record* first = record - (record->tag & Text::kIndexMask);
    return reinterpret_cast<Header*>(first) - 1;
  }
};

static_assert(sizeof(OwnedHeader) % alignof(std::uint64_t) == 0, "records must stay aligned");

Text Text::owned(std::string_view utf8) {
  void* block = ::operator new(sizeof(OwnedHeader) + sizeof(Record) + utf8.size());
  auto* header = new (block) OwnedHeader{1};
  auto* record = new (header + 1) Record{utf8.size(), 0, 0};
  if (!utf8.empty()) std::memcpy(record + 1, utf8.data(), utf8.size());
  return Text(record);
}

std::uint64_t& Text::references() const noexcept {
  if ((record_->tag & kStored) == 0) return (reinterpret_cast<OwnedHeader*>(record_) - 1)->references;
  return TextRun::Header::of(record_)->references;
}

void Text::release() noexcept {
  if (record_ == nullptr) return;
  if (--references() == 0) {
    if ((record_->tag & kStored) == 0) {
      ::operator delete(reinterpret_cast<OwnedHeader*>(record_) - 1);
    } else {
      ::operator delete(TextRun::Header::of(record_));
    }
  }
  record_ = nullptr;
}

std::string_view Text::view(std::string& scratch) const {
  const Record& record = *record_;
  if ((record.tag & kStored) == 0) {
    return std::string_view(reinterpret_cast<const char*>(record_ + 1),
                            static_cast<std::size_t>(record.size));
  }
  TextRun::Header* run = TextRun::Header::of(record_);
  scratch.clear();
  scratch.reserve(static_cast<std::size_t>(record.size));
  const ByteView bytes{run->bytes() + record.begin,
                       static_cast<std::size_t>(run->length - record.begin)};
  const auto encoding = static_cast<TextEncoding>((record.tag >> kEncodingShift) & 3u);
  if (!decode_text(bytes, encoding, scratch) || scratch.size() != record.size) {
    throw Fault("Stored text no longer decodes as it did when it was loaded.");
  }
  return scratch;
}

std::string Text::str() const {
  std::string scratch;
  const std::string_view text = view(scratch);
  return decoded_on_read() ? std::move(scratch) : std::string(text);
}

bool Text::equals(std::string_view utf8) const {
  if (size() != utf8.size()) return false;
  std::string scratch;
  return view(scratch) == utf8;
}

bool operator==(const Text& a, const Text& b) {
  if (a.identity() == b.identity()) return true;
  if (a.size() != b.size()) return false;
  std::string scratch;
  return b.equals(a.view(scratch));
}

TextRun::TextRun(ByteView bytes, std::size_t texts) {
  // A file of under 2^32 bytes names fewer than 2^29 positions (each takes an 8-byte
  // table row or a 4-byte entry and its 4-byte slot), and each begins inside the run.
  if (texts > Text::kIndexMask || bytes.size > 0xFFFFFFFFu) {
    throw Fault("A stored run is larger than a file can hold.");
  }
  void* block = ::operator new(sizeof(Header) + sizeof(Text::Record) * texts + bytes.size);
  header_ = new (block) Header{1, bytes.size, texts, 0};
  if (bytes.size != 0) std::memcpy(header_->bytes(), bytes.data, bytes.size);
}

TextRun::~TextRun() {
  if (--header_->references == 0) ::operator delete(header_);
}

ByteView TextRun::bytes() const noexcept {
  return ByteView{header_->bytes(), static_cast<std::size_t>(header_->length)};
}

Text TextRun::add(std::size_t begin, TextEncoding encoding, std::uint64_t utf8_size) {
  if (header_->used == header_->count) throw Fault("A stored run was given more texts than room.");
  const auto index = static_cast<std::uint32_t>(header_->used++);
  Text::Record* record = new (header_->records() + index)
      Text::Record{utf8_size, static_cast<std::uint32_t>(begin),
                   Text::kStored | (static_cast<std::uint32_t>(encoding) << Text::kEncodingShift) |
                       index};
  ++header_->references;
  return Text(record);
}

}  // namespace orvane
