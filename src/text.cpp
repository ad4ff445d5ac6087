// Owned text and text blocks; text decoded on read is never cached, so an archive's
// memory stays proportional to its file.
#include "text.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "archive_error.h"
#include "radix_sort.h"
#include "suffix_sizes.h"
#include "utf.h"

namespace orvane {

namespace {
constexpr std::uint64_t kUnnumbered = ~std::uint64_t{0};
}  // namespace

/// The start of a block; `count` records and then `length` bytes follow it. A
/// numbered block has no records.
struct TextBlock::Header {
  std::uint64_t references;
  std::uint64_t length;
  std::uint64_t count;
  std::uint64_t used;
  std::uint64_t number;  // kUnnumbered, or the number its texts name it by

  Text::Record* records() noexcept { return reinterpret_cast<Text::Record*>(this + 1); }
  std::uint8_t* bytes() noexcept {
    return reinterpret_cast<std::uint8_t*>(records() + (number == kUnnumbered ? count : 0));
  }

  static Header* of(Text::Record* record) noexcept {
    return reinterpret_cast<Header*>(record - record->in_block.index) - 1;
  }

  /// Gives back the block's number, if it has one, and its memory.
  void free() noexcept;
};

namespace {

/// The numbers that name shared-run blocks from their texts' handles, for the whole
/// process: blocks are made by loads on any thread, so the table is lock-free. A
/// number is a slot in pages that are allocated when first needed and never freed or
/// moved, so reading a slot is always safe; a live slot holds its block's address, a
/// free one (2 * next free number + 1, or 1 at the end of the list). Freed numbers
/// are reused, so the pages never hold more slots than the most blocks alive at once.
class BlockNumbers {
 public:
  static constexpr unsigned kBits = 64 - Text::kNumberShift;  // 30
  static constexpr std::uint32_t kCount = std::uint32_t{1} << kBits;

  /// A number for `header`; throws bad_alloc when none can be had (a thousand
  /// million blocks alive, or no memory for a page).
  std::uint64_t take(TextBlock::Header* header) {
    const auto address = reinterpret_cast<std::uintptr_t>(header);
    // The free list's head: a change count above the first free number + 1 (0: none),
    // so that a head popped and pushed back meanwhile is not mistaken for the same.
    std::uint64_t head = free_.load(std::memory_order_acquire);
    while ((head & 0xFFFFFFFFu) != 0) {
      const std::uint32_t number = static_cast<std::uint32_t>(head) - 1;
      // Another thread may have taken this number since: then the slot holds an
      // address, and the exchange below fails because the head changed.
      const std::uintptr_t link = slot(number).load(std::memory_order_acquire);
      const std::uint64_t next = ((head >> 32) + 1) << 32 | ((link >> 1) & 0xFFFFFFFFu);
      if (free_.compare_exchange_weak(head, next, std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
        slot(number).store(address, std::memory_order_release);
        return number;
      }
    }
    std::uint32_t number = next_.load(std::memory_order_relaxed);
    do {
      if (number >= kCount) throw std::bad_alloc();
    } while (!next_.compare_exchange_weak(number, number + 1, std::memory_order_relaxed));
    std::atomic<std::uintptr_t>* page = page_for(number);
    if (page == nullptr) throw std::bad_alloc();  // the number is never used
    page[number & (kPageSize - 1)].store(address, std::memory_order_release);
    return number;
  }

  /// Puts a number back in the free list.
  void give_back(std::uint64_t number) noexcept {
    std::atomic<std::uintptr_t>& freed = slot(static_cast<std::uint32_t>(number));
    std::uint64_t head = free_.load(std::memory_order_relaxed);
    std::uint64_t next;
    do {
      freed.store(static_cast<std::uintptr_t>((head & 0xFFFFFFFFu) << 1 | 1u),
                  std::memory_order_relaxed);
      next = ((head >> 32) + 1) << 32 | (number + 1);
    } while (!free_.compare_exchange_weak(head, next, std::memory_order_release,
                                          std::memory_order_relaxed));
  }

  TextBlock::Header* block(std::uint64_t number) const noexcept {
    return reinterpret_cast<TextBlock::Header*>(
        slot(static_cast<std::uint32_t>(number)).load(std::memory_order_acquire));
  }

 private:
  static constexpr unsigned kPageBits = 12;
  static constexpr std::size_t kPageSize = std::size_t{1} << kPageBits;
  static constexpr std::size_t kPages = std::size_t{1} << (kBits - kPageBits);

  std::atomic<std::uintptr_t>& slot(std::uint32_t number) const noexcept {
    return pages_[number >> kPageBits].load(std::memory_order_acquire)[number & (kPageSize - 1)];
  }

  std::atomic<std::uintptr_t>* page_for(std::uint32_t number) noexcept {
    std::atomic<std::atomic<std::uintptr_t>*>& home = pages_[number >> kPageBits];
    std::atomic<std::uintptr_t>* page = home.load(std::memory_order_acquire);
    if (page != nullptr) return page;
    // From the C allocator: pages are the process's, never given back, and not the
    // allocations of any one archive.
    void* memory = std::calloc(kPageSize, sizeof(std::atomic<std::uintptr_t>));
    if (memory == nullptr) return nullptr;
    auto* fresh = new (memory) std::atomic<std::uintptr_t>[kPageSize];
    if (home.compare_exchange_strong(page, fresh, std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
      return fresh;
    }
    std::free(memory);  // another thread made it first
    return page;
  }

  // Zero before any use: static storage. Pages stay until the process ends.
  std::atomic<std::atomic<std::uintptr_t>*> pages_[kPages];
  std::atomic<std::uint64_t> free_{0};
  std::atomic<std::uint32_t> next_{0};
};

BlockNumbers block_numbers;

TextBlock::Header* numbered_block(std::uint64_t bits) noexcept {
  return block_numbers.block(bits >> Text::kNumberShift);
}

/// Where a numbered text starts in its block, from its handle.
Position numbered_place(std::uint64_t bits) noexcept {
  return static_cast<Position>((bits >> 2) & 0xFFFFFFFFu);
}

/// The stored bytes of a numbered text, from its byte-order mark (if any) to the end
/// of its run.
ByteView numbered_bytes(std::uint64_t bits, std::size_t begin) noexcept {
  TextBlock::Header* block = numbered_block(bits);
  return ByteView{block->bytes() + begin, static_cast<std::size_t>(block->length - begin)};
}

}  // namespace

void TextBlock::Header::free() noexcept {
  if (number != kUnnumbered) block_numbers.give_back(number);
  ::operator delete(this);
}

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
  if (numbered()) return numbered_block(bits_)->references;
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
    if (numbered()) {
      numbered_block(bits_)->free();
    } else if ((record()->word & kInBlock) == 0) {
      ::operator delete(record());
    } else {
      TextBlock::Header::of(record())->free();
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
  if (numbered()) {
    const ByteView stored = numbered_bytes(bits_, numbered_place(bits_));
    std::size_t mark = 0;
    const TextEncoding encoding = sniff_byte_order_mark(stored, mark);
    scratch.clear();
    if (!decode_text(ByteView{stored.data + mark, stored.size - mark}, encoding, scratch)) {
      throw Fault("Stored text no longer decodes as it did when it was loaded.");
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
  const std::uint8_t* start = TextBlock::Header::of(own)->bytes() + record.in_block.begin;
  return std::string_view(reinterpret_cast<const char*>(start), size);
}

std::string_view Text::stored_utf8() const noexcept {
  if (in_handle() || numbered()) return std::string_view();
  Record* own = record();
  const std::uint64_t word = own->word;
  const auto size = static_cast<std::size_t>(word & kSize);
  if ((word & kInBlock) == 0) return std::string_view(reinterpret_cast<const char*>(own + 1), size);
  const std::uint8_t* start = TextBlock::Header::of(own)->bytes() + own->in_block.begin;
  return std::string_view(reinterpret_cast<const char*>(start), size);
}

std::string Text::str() const {
  std::string scratch;
  const std::string_view text = view(scratch);
  return text.data() == scratch.data() ? std::move(scratch) : std::string(text);
}

bool Text::equals(std::string_view utf8) const {
  std::string scratch;
  // A numbered text is decoded once, to compare, rather than once to measure first.
  if (numbered()) return view(scratch) == utf8;
  if (held_size() != utf8.size()) return false;
  return in_handle() ? view(scratch) == utf8 : stored_utf8() == utf8;
}

std::size_t Text::measured_size() const noexcept {
  const ByteView stored = numbered_bytes(bits_, numbered_place(bits_));
  std::size_t at = 0;
  const TextEncoding encoding = sniff_byte_order_mark(stored, at);
  std::size_t size = 0;
  std::uint32_t code_point = 0;
  // It decoded when it was loaded, and its bytes have not changed since.
  while (at < stored.size && next_char(encoding, stored.data, stored.size, at, code_point)) {
    size += utf8_length(code_point);
  }
  return size;
}

void sizes_of(const Text* const* texts, std::size_t count, std::uint64_t* sizes) {
  // The numbered texts, in order of block and then of place in the block.
  struct Place {
    std::uint64_t bits;  // the handle: block number above place, as the order wants
    std::size_t i;
  };
  std::vector<Place> places;
  for (std::size_t i = 0; i < count; ++i) {
    if (texts[i]->size_held()) {
      sizes[i] = texts[i]->size();
    } else {
      places.push_back(Place{texts[i]->identity(), i});
    }
  }
  radix_sort(places, [](const Place& place) { return place.bits >> 2; });
  std::vector<Position> positions;
  std::vector<std::uint64_t> found;
  for (std::size_t first = 0; first < places.size();) {
    const std::uint64_t number = places[first].bits >> Text::kNumberShift;
    std::size_t end = first;
    positions.clear();
    for (; end < places.size() && places[end].bits >> Text::kNumberShift == number; ++end) {
      const Position begin = numbered_place(places[end].bits);
      if (positions.empty() || positions.back() != begin) positions.push_back(begin);
    }
    const ByteView stored = numbered_bytes(places[first].bits, positions[0]);
    found.assign(positions.size(), 0);
    each_suffix_size(Run{stored, positions.data(), positions.size()},
                     [&](std::size_t k, std::int64_t size) {
                       found[k] = size < 0 ? 0 : static_cast<std::uint64_t>(size);
                     });
    for (std::size_t k = 0; first < end; ++first) {
      while (positions[k] != numbered_place(places[first].bits)) ++k;
      sizes[places[first].i] = found[k];
    }
  }
}

TextBlock::TextBlock(ByteView bytes, std::size_t texts, Holds holds) {
  // Records find their bytes by a 32-bit offset and their block by a 32-bit index, and
  // numbered texts hold a 32-bit offset.
  if (texts > 0xFFFFFFFFu || bytes.size > 0xFFFFFFFFu) {
    throw Fault("A text block is larger than its records can address.");
  }
  const std::size_t records = holds == kSharedRun ? 0 : texts;
  void* block = ::operator new(sizeof(Header) + sizeof(Text::Record) * records + bytes.size);
  header_ = new (block) Header{1, bytes.size, texts, 0, kUnnumbered};
  if (holds == kSharedRun) {
    try {
      header_->number = block_numbers.take(header_);
    } catch (...) {
      ::operator delete(block);
      throw;
    }
  }
  if (bytes.size != 0) std::memcpy(header_->bytes(), bytes.data, bytes.size);
}

TextBlock::~TextBlock() {
  if (--header_->references == 0) header_->free();
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

Text TextBlock::add_on_read(std::size_t position) {
  if (header_->number == kUnnumbered || header_->used == header_->count ||
      position > header_->length) {
    throw Fault("A shared run was given a text it has no room for.");
  }
  ++header_->used;
  ++header_->references;
  Text text;
  text.bits_ =
      2u | static_cast<std::uint64_t>(position) << 2 | header_->number << Text::kNumberShift;
  return text;
}

}  // namespace orvane
