// Fuzz target: a sequence of editing operations on a loaded archive. Every model
// operation runs with arguments drawn from the input; each call must succeed or fail
// exactly as an independent computation of its checks says, a failed call must leave
// the archive as it was, a successful one must make exactly its change, every map key
// must stay a slot of the data region, and at the end the archive must write (or be
// refused with a documented message) and survive the round trip of fuzz_checks.h.
//
// INPUT CODING (tests/test_fuzz_regressions.py decodes it the same way in Python; keep
// the two in step). Numbers are little-endian; reading past the end of the input
// gives zero bytes, so every input decodes.
//
//   u16 N, then N bytes of seed file (fewer if the input ends). When the seed has at
//   least 4 bytes its file_size field is overwritten with its length. It is loaded with
//   from_bytes; if that fails the session starts from an empty archive.
//   Then operations until the input is used up: one opcode byte (value % 33), then the
//   operation's arguments in the order listed below.
//
//   Argument forms (size = the data region's length when the argument is read):
//   A  address: selector byte s, u32 v; by s % 8:
//        0 v                         4 size + v % 16
//        1 v % (size + 1)            5 2^64 - 1 - v % 16
//        2 4 * (v % (size / 4 + 1))  6 ring[v % ring length], or v % (size + 1) when empty
//        3 size - v % 16 (mod 2^64)  7 4 * (v % (size / 4 + 1)) + 1 + (s >> 3) % 3
//      Every address read is then appended to the ring (16 entries, oldest dropped). The
//      ring starts with up to 8 pointer-table addresses and then up to 8 label-row
//      addresses of the seed file, in table order, when the seed loaded.
//   M  amount (read_bytes, deallocate; follows its address a): s, u32 v; by s % 5:
//        0 v % 64   1 4 * (v % 64)   2 size - a + v % 9 - 4 (mod 2^64)   3 v
//        4 2^64 - 1 - v % 64
//   G  growth (allocate_at_end, allocate): s, u32 v; by s % 4:
//        0 v % 64   1 4 * (v % 1024)   2 4 * (v % 16384)
//        3 2^63 + v when s & 4, else 2^64 - 1 - v
//      A growth below 2^63 that would take the data region past 256 KiB skips the
//      operation (its arguments are still read); 2^63 and above must fail cleanly.
//   S  string: byte c; c & 0x80: kDictionary[(c & 0x7F) % 25]; else the next c raw
//      bytes (any bytes: the model holds UTF-8, but nothing stops a C++ caller).
//   O  optional string: byte f; f % 4 == 0: none; else S.
//   L  label list: byte n, then n % 4 strings S.
//   I  index: byte b; b >= 0xF8: u64; else b % 8.
//   P  optional destination: s, u32 v; by s % 4: 0 none, 1 v % (size + 1), 2 v,
//      3 2^32 + v.
//   B  byte run: byte n, then n % 64 raw bytes.
//
//   Opcodes: 0 read_u8 A, 1 read_u16 A, 2 read_u32 A, 3 read_i8 A, 4 read_i16 A,
//   5 read_i32 A, 6 read_f32 A, 7 read_bytes A M, 8 write_u8 A u8, 9 write_u16 A u16,
//   10 write_u32 A u32, 11 write_i8 A u8, 12 write_i16 A u16, 13 write_i32 A u32,
//   14 write_f32 A u32 (the float's bits), 15 write_bytes A B, 16 read_string A,
//   17 read_pointer A, 18 read_labels A, 19 delete_string A, 20 delete_pointer A,
//   21 delete_labels A, 22 delete_label A I, 23 write_string A O, 24 write_pointer A P,
//   25 write_labels A L, 26 write_label A S, 27 find_label_address S,
//   28 allocate_at_end G, 29 allocate A G, 30 deallocate A M, 31 serialize (round trip,
//   archive kept), 32 reload (round trip; the archive becomes the reloaded one if any).
//
// With ORVANE_FUZZ_TRACE set, each step prints one line (operation, arguments, result)
// to stdout; the Python replay prints the same lines, which keeps the decoders honest.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.h"

namespace {

using namespace fuzz;

constexpr std::uint64_t kMaxSize = 256 * 1024;
constexpr std::uint64_t kHuge = std::uint64_t{1} << 63;
constexpr std::size_t kRingSize = 16;
constexpr unsigned kOpCount = 33;

/// Strings worth meeting often: the lossy Shift_JIS characters, byte-order marks,
/// unencodable and malformed text, U+0000, names that repeat.
const std::string_view kDictionary[] = {
    "",
    "A",
    "L",
    "\\",
    "~",
    "\xC2\xA5",                  // U+00A5, written as 5C
    "\xE2\x80\xBE",              // U+203E, written as 7E
    "\xE2\x88\x92",              // U+2212, written as 81 7C
    "\xEF\xBC\x8D",              // U+FF0D
    "\xEF\xBD\xB1",              // half-width katakana
    "\xE6\x97\xA5\xE6\x9C\xAC",  // two kanji
    "\xC2\x80",                  // U+0080, written as 80
    "\xEE\x80\x80",              // U+E000: decodes from F0 40, never encodes
    "\xEF\xBB\xBF",              // U+FEFF
    "\xF0\x9F\x98\x80",          // outside the BMP
    std::string_view("\0", 1),
    std::string_view("A\0B", 3),
    "\xFF",  // not UTF-8
    "\xC3",  // truncated UTF-8
    "ITEM_TABLE",
    "\xE3\x81\x82",  // hiragana
    "\xE2\x91\xA0",  // circled digit one (NEC row 13)
    "\xE2\x85\xB0",  // small roman numeral one (IBM extension)
    "\xEF\xBF\xA2",  // U+FFE2, in both NEC and IBM rows
    "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx",
};
static_assert(sizeof kDictionary / sizeof kDictionary[0] == 25, "the coding names 25 entries");

bool tracing = false;

std::string hex_bytes(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out.empty() ? "-" : out;
}

/// The argument decoder; see the coding above.
class Decoder {
 public:
  Decoder(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool done() const { return pos_ >= size_; }

  std::uint64_t take(unsigned width) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
      const std::uint64_t byte = pos_ < size_ ? data_[pos_] : 0;
      ++pos_;
      value |= byte << (8 * i);
    }
    return value;
  }
  std::string raw(std::size_t n) {
    const std::size_t start = pos_ < size_ ? pos_ : size_;
    const std::size_t available = size_ - start;
    pos_ += n;
    return std::string(reinterpret_cast<const char*>(data_) + start, n < available ? n : available);
  }

  void remember(Address address) {
    ring_.push_back(address);
    if (ring_.size() > kRingSize) ring_.erase(ring_.begin());
  }

  Address address(std::uint64_t size) {
    const std::uint64_t s = take(1);
    const std::uint64_t v = take(4);
    Address a = 0;
    switch (s % 8) {
      case 0:
        a = v;
        break;
      case 1:
        a = v % (size + 1);
        break;
      case 2:
        a = 4 * (v % (size / 4 + 1));
        break;
      case 3:
        a = size - v % 16;
        break;
      case 4:
        a = size + v % 16;
        break;
      case 5:
        a = ~std::uint64_t{0} - v % 16;
        break;
      case 6:
        a = ring_.empty() ? v % (size + 1) : ring_[v % ring_.size()];
        break;
      default:
        a = 4 * (v % (size / 4 + 1)) + 1 + (s >> 3) % 3;
        break;
    }
    remember(a);
    return a;
  }

  std::uint64_t amount(std::uint64_t size, Address a) {
    const std::uint64_t s = take(1);
    const std::uint64_t v = take(4);
    switch (s % 5) {
      case 0:
        return v % 64;
      case 1:
        return 4 * (v % 64);
      case 2:
        return size - a + v % 9 - 4;
      case 3:
        return v;
      default:
        return ~std::uint64_t{0} - v % 64;
    }
  }

  std::uint64_t growth() {
    const std::uint64_t s = take(1);
    const std::uint64_t v = take(4);
    switch (s % 4) {
      case 0:
        return v % 64;
      case 1:
        return 4 * (v % 1024);
      case 2:
        return 4 * (v % 16384);
      default:
        return (s & 4) != 0 ? kHuge + v : ~std::uint64_t{0} - v;
    }
  }

  std::string text() {
    const std::uint64_t c = take(1);
    if ((c & 0x80) != 0) return std::string(kDictionary[(c & 0x7F) % 25]);
    return raw(c);
  }
  std::optional<std::string> optional_text() {
    if (take(1) % 4 == 0) return std::nullopt;
    return text();
  }
  std::vector<std::string> label_list() {
    std::vector<std::string> names(take(1) % 4);
    for (auto& name : names) name = text();
    return names;
  }
  std::uint64_t index() {
    const std::uint64_t b = take(1);
    return b >= 0xF8 ? take(8) : b % 8;
  }
  std::optional<Address> destination(std::uint64_t size) {
    const std::uint64_t s = take(1);
    const std::uint64_t v = take(4);
    switch (s % 4) {
      case 0:
        return std::nullopt;
      case 1:
        return v % (size + 1);
      case 2:
        return v;
      default:
        return (std::uint64_t{1} << 32) + v;
    }
  }
  std::string byte_run() { return raw(take(1) % 64); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  std::vector<Address> ring_;
};

/// What a modifying call may change, and so what is compared right after it: a byte
/// range of the data region or one slot's entries, besides the counts.
struct Touched {
  enum Kind { kBytes, kSlot } kind;
  Address address;
  std::uint64_t width;
};
Touched bytes_touched(Address address, std::uint64_t width) {
  return {Touched::kBytes, address, width};
}
Touched slot_touched(Address address) {
  return {Touched::kSlot, address, 0};
}

/// One fuzzing session: the archive, an independent copy of what it must hold (the
/// shadow), the decoder and the step being checked.
///
/// Comparing the whole archive after every step costs time in its size, so after a
/// step only what the call could touch is compared with the shadow, together with the
/// data length and the entry counts. A change anywhere else shows at the next whole
/// comparison (after a resize, before every round trip and at the end); a session that
/// fails one is run again with a whole comparison after every step, which names the
/// call that did it.
class Session {
 public:
  Session(const std::uint8_t* data, std::size_t size, bool every_step)
      : in_(data, size), every_step_(every_step) {}

  /// False when the archive drifted from the shadow where no step-wise check looked.
  bool run() {
    load_seed();
    while (!in_.done() && !diverged_) {
      step(static_cast<unsigned>(in_.take(1) % kOpCount));
      if (every_step_) {
        FUZZ_REQUIRE(
            snapshot(a_) == shadow_,
            last_call_ + (last_ok_ ? ": wrong change" : ": failed call changed the archive"));
      }
    }
    if (diverged_ || !whole_matches()) return false;
    const RoundTrip end = check_round_trip(a_);
    trace_line("end", end.error);
    return true;
  }

 private:
  void load_seed() {
    const std::size_t n = in_.take(2);
    std::string seed = in_.raw(n);
    if (seed.size() >= 4) {
      orvane::store_u32(reinterpret_cast<std::uint8_t*>(seed.data()),
                        static_cast<std::uint32_t>(seed.size()));
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(seed.data());
    auto loaded = orvane::from_bytes(orvane::ByteView{bytes, seed.size()});
    if (!loaded.ok()) {
      FUZZ_REQUIRE(is_load_message(loaded.error().message), "undocumented load message");
      trace_line("load " + std::to_string(seed.size()), loaded.error().message);
      return;
    }
    a_ = std::move(loaded).value();
    shadow_ = snapshot(a_);
    check_keys(shadow_);
    trace_line("load " + std::to_string(seed.size()), "");
    // The loader accepted the header and both tables lie inside the seed.
    const std::uint64_t data_size = orvane::load_u32(bytes + 4);
    const std::uint64_t pointer_count = orvane::load_u32(bytes + 8);
    const std::uint64_t label_count = orvane::load_u32(bytes + 12);
    const std::uint8_t* table = bytes + 32 + data_size;
    for (std::uint64_t i = 0; i < pointer_count && i < 8; ++i) {
      in_.remember(orvane::load_u32(table + 4 * i));
    }
    table += 4 * pointer_count;
    for (std::uint64_t j = 0; j < label_count && j < 8; ++j) {
      in_.remember(orvane::load_u32(table + 8 * j));
    }
  }

  void trace_line(const std::string& call, const std::string& error) {
    if (tracing) std::cout << call << " -> " << (error.empty() ? "ok" : error) << "\n";
  }

  std::uint64_t size() const { return shadow_.data.size(); }

  /// The whole archive against the shadow, whose keys must all be slots. A mismatch
  /// ends the session (or traps, when every step is compared anyway).
  bool whole_matches() {
    check_keys(shadow_);
    if (same(shadow_, a_)) return true;
    FUZZ_REQUIRE(!every_step_, last_call_ + ": the archive differs from its shadow");
    diverged_ = true;
    return false;
  }

  /// Checks a call's outcome against the expected error; true when it succeeded.
  template <typename R>
  bool outcome(const std::string& call, const R& result,
               const std::optional<std::string>& expected) {
    const std::string error = result.ok() ? std::string() : result.error().message;
    trace_line(call, error);
    last_call_ = call;
    last_ok_ = result.ok();
    if (expected) {
      FUZZ_REQUIRE(!result.ok(), call + " succeeded; expected: " + *expected);
      FUZZ_REQUIRE(error == *expected,
                   call + " failed with: " + error + "; expected: " + *expected);
      return false;
    }
    FUZZ_REQUIRE(result.ok(), call + " failed: " + error);
    return true;
  }

  /// For calls that change the archive: `apply` makes the expected change to the
  /// shadow when the call succeeded; then what the call touched must match it.
  template <typename R, typename Apply>
  void change(const std::string& call, const R& result, const std::optional<std::string>& expected,
              Touched touched, Apply apply) {
    const bool ok = outcome(call, result, expected);
    if (ok) apply(shadow_);
    const std::string what = call + (ok ? ": wrong change" : ": failed call changed the archive");
    FUZZ_REQUIRE(counts(a_) == shadow_.counts(), what + " (sizes)");
    if (touched.kind == Touched::kSlot) {
      FUZZ_REQUIRE(slot_entries(a_, touched.address) == shadow_.slot(touched.address), what);
      return;
    }
    const std::uint64_t end = touched.width > size() - std::min(size(), touched.address)
                                  ? size()
                                  : touched.address + touched.width;
    const orvane::ByteView data = data_of(a_);
    for (Address at = touched.address; at < end; ++at) {
      FUZZ_REQUIRE(data.data[at] == shadow_.data[at], what + " (byte 0x" + hex(at) + ")");
    }
  }

  /// For allocate and deallocate, which move everything behind their address.
  template <typename Apply>
  void resize(const std::string& call, const orvane::Status& result,
              const std::optional<std::string>& expected, Apply apply) {
    if (outcome(call, result, expected)) {
      apply(shadow_);
      whole_matches();
    } else {
      FUZZ_REQUIRE(counts(a_) == shadow_.counts(), call + ": failed call changed the archive");
    }
  }

  std::uint32_t bytes_at(Address address, unsigned width) const {
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
      value |= std::uint32_t{shadow_.data[address + i]} << (8 * i);
    }
    return value;
  }

  template <typename T, typename Read>
  void typed_read(const char* name, Read read) {
    const Address address = in_.address(size());
    const auto expected = expected_check(size(), address, sizeof(T), sizeof(T));
    auto result = read(a_, address);
    if (!outcome(std::string(name) + " " + std::to_string(address), result, expected)) return;
    const std::uint32_t bits = bytes_at(address, sizeof(T));
    T value;
    std::memcpy(&value, &bits, sizeof value);  // little-endian host, as the fuzzer runs on
    FUZZ_REQUIRE(std::memcmp(&result.value(), &value, sizeof value) == 0,
                 std::string(name) + " value");
  }

  template <typename T, typename Write>
  void typed_write(const char* name, Write write) {
    const Address address = in_.address(size());
    const std::uint32_t bits = static_cast<std::uint32_t>(in_.take(sizeof(T)));
    T value;
    std::memcpy(&value, &bits, sizeof value);
    const auto expected = expected_check(size(), address, sizeof(T), sizeof(T));
    auto result = write(a_, address, value);
    change(std::string(name) + " " + std::to_string(address) + " " + std::to_string(bits), result,
           expected, bytes_touched(address, sizeof(T)), [&](Snapshot& s) {
             for (unsigned i = 0; i < sizeof(T); ++i)
               s.data[address + i] = (bits >> (8 * i)) & 0xFF;
           });
  }

  std::optional<std::string> slot_check(Address address) const {
    return expected_check(size(), address, 4, 4);
  }

  void step(unsigned op) {
    using namespace orvane;
    switch (op) {
      case 0:
        return typed_read<std::uint8_t>("read_u8", read_u8);
      case 1:
        return typed_read<std::uint16_t>("read_u16", read_u16);
      case 2:
        return typed_read<std::uint32_t>("read_u32", read_u32);
      case 3:
        return typed_read<std::int8_t>("read_i8", read_i8);
      case 4:
        return typed_read<std::int16_t>("read_i16", read_i16);
      case 5:
        return typed_read<std::int32_t>("read_i32", read_i32);
      case 6:
        return typed_read<float>("read_f32", read_f32);
      case 7: {
        const Address address = in_.address(size());
        const std::uint64_t amount = in_.amount(size(), address);
        auto result = read_bytes(a_, address, amount);
        if (outcome("read_bytes " + std::to_string(address) + " " + std::to_string(amount), result,
                    expected_check(size(), address, amount, 1))) {
          FUZZ_REQUIRE(
              result.value().data == data_of(a_).data + address && result.value().size == amount,
              "read_bytes view");
          FUZZ_REQUIRE(amount == 0 || std::memcmp(result.value().data,
                                                  shadow_.data.data() + address, amount) == 0,
                       "read_bytes bytes");
        }
        return;
      }
      case 8:
        return typed_write<std::uint8_t>("write_u8", write_u8);
      case 9:
        return typed_write<std::uint16_t>("write_u16", write_u16);
      case 10:
        return typed_write<std::uint32_t>("write_u32", write_u32);
      case 11:
        return typed_write<std::int8_t>("write_i8", write_i8);
      case 12:
        return typed_write<std::int16_t>("write_i16", write_i16);
      case 13:
        return typed_write<std::int32_t>("write_i32", write_i32);
      case 14:
        return typed_write<float>("write_f32", write_f32);
      case 15: {
        const Address address = in_.address(size());
        const std::string bytes = in_.byte_run();
        const auto expected = expected_check(size(), address, bytes.size(), 1);
        auto result = write_bytes(
            a_, address,
            ByteView{reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
        return change("write_bytes " + std::to_string(address) + " " + hex_bytes(bytes), result,
                      expected, bytes_touched(address, bytes.size()), [&](Snapshot& s) {
                        std::copy(bytes.begin(), bytes.end(), s.data.begin() + address);
                      });
      }
      case 16: {
        const Address address = in_.address(size());
        auto result = read_string(a_, address);
        if (!outcome("read_string " + std::to_string(address), result, slot_check(address))) return;
        auto found = shadow_.text.find(address);
        FUZZ_REQUIRE(result.value().has_value() == (found != shadow_.text.end()) &&
                         (!result.value() || text_value(*result.value()) == found->second),
                     "read_string value");
        return;
      }
      case 17: {
        const Address address = in_.address(size());
        auto result = read_pointer(a_, address);
        if (!outcome("read_pointer " + std::to_string(address), result, slot_check(address)))
          return;
        auto found = shadow_.pointers.find(address);
        FUZZ_REQUIRE(result.value().has_value() == (found != shadow_.pointers.end()) &&
                         (!result.value() || *result.value() == found->second),
                     "read_pointer value");
        return;
      }
      case 18: {
        const Address address = in_.address(size());
        auto result = read_labels(a_, address);
        if (!outcome("read_labels " + std::to_string(address), result, slot_check(address))) return;
        auto found = shadow_.labels.find(address);
        FUZZ_REQUIRE(result.value().has_value() == (found != shadow_.labels.end()),
                     "read_labels presence");
        if (result.value()) {
          FUZZ_REQUIRE(result.value()->size() == found->second.size(), "read_labels length");
          for (std::size_t i = 0; i < found->second.size(); ++i) {
            FUZZ_REQUIRE(text_value((*result.value())[i]) == found->second[i], "read_labels names");
          }
        }
        return;
      }
      case 19:
      case 20:
      case 21: {
        static const char* const kNames[] = {"delete_string", "delete_pointer", "delete_labels"};
        const Address address = in_.address(size());
        Status result = op == 19   ? delete_string(a_, address)
                        : op == 20 ? delete_pointer(a_, address)
                                   : delete_labels(a_, address);
        return change(std::string(kNames[op - 19]) + " " + std::to_string(address), result,
                      slot_check(address), slot_touched(address), [&](Snapshot& s) {
                        if (op == 19) s.text.erase(address);
                        if (op == 20) s.pointers.erase(address);
                        if (op == 21) s.labels.erase(address);
                      });
      }
      case 22: {
        const Address address = in_.address(size());
        const std::uint64_t index = in_.index();
        auto expected = slot_check(address);
        auto found = shadow_.labels.find(address);
        if (!expected && found != shadow_.labels.end() && index >= found->second.size()) {
          expected = "Index " + std::to_string(index) + " out of bounds for bucket of size " +
                     std::to_string(found->second.size()) + ".";
        }
        auto result = delete_label(a_, address, index);
        return change(
            "delete_label " + std::to_string(address) + " " + std::to_string(index), result,
            expected, slot_touched(address), [&](Snapshot&) {
              if (found == shadow_.labels.end()) return;
              found->second.erase(found->second.begin() + static_cast<std::ptrdiff_t>(index));
            });
      }
      case 23: {
        const Address address = in_.address(size());
        const std::optional<std::string> value = in_.optional_text();
        auto result = write_string(a_, address, value);
        return change(
            "write_string " + std::to_string(address) + " " + (value ? hex_bytes(*value) : "none"),
            result, slot_check(address), slot_touched(address), [&](Snapshot& s) {
              if (value) {
                s.text[address] = *value;
              } else {
                s.text.erase(address);
              }
            });
      }
      case 24: {
        const Address address = in_.address(size());
        const std::optional<Address> value = in_.destination(size());
        auto result = write_pointer(a_, address, value);
        return change("write_pointer " + std::to_string(address) + " " +
                          (value ? std::to_string(*value) : "none"),
                      result, slot_check(address), slot_touched(address), [&](Snapshot& s) {
                        if (value) {
                          s.pointers[address] = *value;
                        } else {
                          s.pointers.erase(address);
                        }
                      });
      }
      case 25: {
        const Address address = in_.address(size());
        const std::vector<std::string> names = in_.label_list();
        std::string call = "write_labels " + std::to_string(address);
        for (const auto& name : names) call += " " + hex_bytes(name);
        auto result = write_labels(a_, address, names);
        return change(call, result, slot_check(address), slot_touched(address),
                      [&](Snapshot& s) { s.labels[address] = names; });
      }
      case 26: {
        const Address address = in_.address(size());
        const std::string name = in_.text();
        auto result = write_label(a_, address, name);
        return change("write_label " + std::to_string(address) + " " + hex_bytes(name), result,
                      slot_check(address), slot_touched(address),
                      [&](Snapshot& s) { s.labels[address].push_back(name); });
      }
      case 27: {
        const std::string target = in_.text();
        std::optional<Address> expected;
        for (const auto& [address, names] : shadow_.labels) {  // ascending addresses
          if (std::find(names.begin(), names.end(), target) != names.end()) {
            expected = address;
            break;
          }
        }
        const std::optional<Address> found = find_label_address(a_, target);
        trace_line("find_label_address " + hex_bytes(target), "");
        FUZZ_REQUIRE(found == expected, "find_label_address is not the lowest address");
        return;
      }
      case 28: {
        const std::uint64_t amount = in_.growth();
        const std::string call = "allocate_at_end " + std::to_string(amount);
        if (amount < kHuge && size() + amount > kMaxSize) return trace_line(call, "skipped");
        std::optional<std::string> expected;
        if (amount >= kHuge)
          expected = "Not enough memory to allocate " + std::to_string(amount) + " bytes.";
        const std::uint64_t old_size = size();
        auto result = allocate_at_end(a_, amount);
        return change(call, result, expected, bytes_touched(old_size, amount),
                      [&](Snapshot& s) { s.data.resize(s.data.size() + amount, 0); });
      }
      case 29: {
        const Address address = in_.address(size());
        const std::uint64_t amount = in_.growth();
        const std::string call =
            "allocate " + std::to_string(address) + " " + std::to_string(amount);
        if (amount < kHuge && size() + amount > kMaxSize) return trace_line(call, "skipped");
        std::optional<std::string> expected;
        if (address > size()) {
          expected = range_message(fuzz::hex(address), size());
        } else if (address % 4 != 0) {
          expected = alignment_message(address, 4);
        } else if (amount % 4 != 0) {
          expected = "Invalid value " + std::to_string(amount) + " expected 4 byte alignment.";
        } else if (amount >= kHuge) {
          expected = "Not enough memory to allocate " + std::to_string(amount) + " bytes.";
        }
        for (const auto& [slot, destination] : shadow_.pointers) {  // lowest slot first
          if (expected || destination < address || destination <= UINT64_MAX - amount) continue;
          expected = "Pointer destination 0x" + fuzz::hex(destination) + " at 0x" +
                     fuzz::hex(slot) + " cannot move by " + std::to_string(amount) + " bytes.";
        }
        auto result = allocate(a_, address, amount);
        return resize(call, result, expected,
                      [&](Snapshot& s) { s = moved(s, address, amount, true); });
      }
      case 30: {
        const Address address = in_.address(size());
        const std::uint64_t amount = in_.amount(size(), address);
        auto expected = expected_check(size(), address, amount, 4);
        if (!expected && amount % 4 != 0) {
          expected = "Invalid value " + std::to_string(amount) + " expected 4 byte alignment.";
        }
        auto result = deallocate(a_, address, amount);
        return resize("deallocate " + std::to_string(address) + " " + std::to_string(amount),
                      result, expected, [&](Snapshot& s) { s = moved(s, address, amount, false); });
      }
      case 31: {
        if (!whole_matches()) return;
        const RoundTrip round = check_round_trip(a_);
        return trace_line("serialize", round.error);
      }
      default: {
        if (!whole_matches()) return;
        RoundTrip round = check_round_trip(a_);
        trace_line("reload", round.error.empty() && !round.reloaded ? "not loaded" : round.error);
        if (round.reloaded) {
          a_ = std::move(*round.reloaded);
          shadow_ = snapshot(a_);
        }
        return;
      }
    }
  }

  /// The reference for allocate (insert) and deallocate (remove) on a snapshot.
  static Snapshot moved(const Snapshot& s, Address address, std::uint64_t amount, bool insert) {
    Snapshot out;
    const Address end = address + amount;
    out.data = s.data;
    if (insert) {
      out.data.insert(out.data.begin() + static_cast<std::ptrdiff_t>(address), amount, 0);
    } else {
      out.data.erase(out.data.begin() + static_cast<std::ptrdiff_t>(address),
                     out.data.begin() + static_cast<std::ptrdiff_t>(end));
    }
    auto gone = [&](Address value) { return !insert && value >= address && value < end; };
    auto shift = [&](Address value) -> Address {
      if (insert) return value >= address ? value + amount : value;
      return value >= end ? value - amount : value;
    };
    for (const auto& [key, text] : s.text) {
      if (!gone(key)) out.text.emplace(shift(key), text);
    }
    for (const auto& [key, names] : s.labels) {
      if (!gone(key)) out.labels.emplace(shift(key), names);
    }
    for (const auto& [key, destination] : s.pointers) {
      if (!gone(key) && !gone(destination)) out.pointers.emplace(shift(key), shift(destination));
    }
    return out;
  }

  Decoder in_;
  BinArchive a_;
  Snapshot shadow_;  // empty, like a_, until a seed loads
  const bool every_step_;
  bool diverged_ = false;
  std::string last_call_ = "load";
  bool last_ok_ = true;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tracing = std::getenv("ORVANE_FUZZ_TRACE") != nullptr;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!Session(data, size, false).run()) {
    // Replayed with a whole comparison after every step, which traps at the call that
    // made the difference.
    if (tracing) std::cout << "==== diverged; replaying step by step" << std::endl;
    Session(data, size, true).run();
    violation("the archive differs from its shadow, but not when checked after every step");
  }
  if (tracing) std::cout << "====" << std::endl;
  return 0;
}
