// JsonWriter: the append-only buffer into which every response is written,
// compact (no whitespace), keys in each document's fixed order.
//
// The buffer is one malloc'd block, started at 128 bytes and doubled with
// realloc as needed: large blocks then grow by remapping pages rather than by
// copying, and pages that are never written cost no memory. Each value
// reserves its worst-case size once and then writes without further checks;
// the per-value calls are inline because a generate response writes tens of
// doubles per bar.
#ifndef TALPEN_JSON_WRITER_H_
#define TALPEN_JSON_WRITER_H_

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "json/format_double.h"

namespace talpen::json {

class JsonWriter {
 public:
  static constexpr size_t kInitialCapacity = 128;
  // Scratch sizes: the longest 64-bit integer ("-9223372036854775808",
  // "18446744073709551615") and the longest double text.
  static constexpr size_t kIntegerBufferSize = 20;

  // Allocates the initial 128 bytes; throws std::bad_alloc if it cannot.
  JsonWriter();
  ~JsonWriter();
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;
  // The moved-from writer is left empty, with no buffer, and stays usable.
  JsonWriter(JsonWriter&& other) noexcept;
  JsonWriter& operator=(JsonWriter&& other) noexcept;

  // Makes room for at least `n` more bytes. Grows geometrically with realloc;
  // on exhausted memory throws std::bad_alloc (the module boundary turns it
  // into MemoryError) and leaves the text written so far intact.
  void reserve_more(size_t n) {
    if (cap_ - len_ < n) grow(n);
  }

  void put(char c) {
    reserve_more(1);
    buf_[len_++] = c;
  }
  void put(std::string_view bytes) {
    // An empty view may carry a null pointer, which memcpy must never see.
    if (bytes.empty()) return;
    reserve_more(bytes.size());
    append_unchecked(bytes.data(), bytes.size());
  }

  // Objects: begin_object writes '{' and opens a member state; write_key
  // writes ',' before every member but the first, the key, and ':'. Every
  // object, however deeply nested, starts with no member. end_object without
  // an open object only writes '}'.
  void begin_object() {
    put('{');
    push_object();
  }
  void end_object() {
    put('}');
    pop_object();
  }
  void write_key(std::string_view name) {
    if (member_bits_ & 1) put(',');
    member_bits_ |= 1;
    write_string(name);
    put(':');
  }

  // A key that needs no escaping, such as the documents' own constant keys:
  // the same bytes as write_key, without the scan of the escape table.
  // REQUIRES: no byte of `name` is '"', '\\' or below 0x20.
  template <size_t N>
  void write_plain_key(const char (&name)[N]) {
    reserve_more(N + 3);
    if (member_bits_ & 1) buf_[len_++] = ',';
    member_bits_ |= 1;
    buf_[len_++] = '"';
    append_unchecked(name, N - 1);
    buf_[len_++] = '"';
    buf_[len_++] = ':';
  }
  // Bytes that are already JSON text (a literal such as "\"sell\"").
  template <size_t N>
  void put_literal(const char (&text)[N]) {
    reserve_more(N - 1);
    append_unchecked(text, N - 1);
  }

  // Raw access for writers of fixed layouts: claim(n) makes room for n more
  // bytes and returns where they start; commit(end) takes the bytes written
  // up to `end` into the text. Nothing else may write between the two.
  char* claim(size_t n) {
    reserve_more(n);
    return buf_ + len_;
  }
  void commit(char* end) { len_ = static_cast<size_t>(end - buf_); }
  // Writes at `p` what write_f64 appends and returns the end; needs
  // kDoubleBufferSize bytes of room.
  static char* put_f64(char* p, double v) {
    if (!std::isfinite(v)) {
      std::memcpy(p, "null", 4);
      return p + 4;
    }
    return p + format_double(v, p);
  }
  // Likewise for write_i64 and write_u64; need kIntegerBufferSize + 1 bytes.
  static char* put_i64(char* p, int64_t v) {
    if (v < 0) *p++ = '-';
    const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    return p + format_u64(magnitude, p);
  }
  static char* put_u64(char* p, uint64_t v) { return p + format_u64(v, p); }
  template <size_t N>
  static char* put_bytes(char* p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    return p + (N - 1);
  }

  // A JSON string: the bytes between double quotes, with '"', '\\' and the
  // control bytes 0x00-0x1F escaped and every other byte (UTF-8 included)
  // copied unchanged. The bytes need not be valid UTF-8.
  void write_string(std::string_view bytes);

  void write_i64(int64_t v) {
    reserve_more(kIntegerBufferSize + 1);
    if (v < 0) buf_[len_++] = '-';
    // The magnitude as unsigned, so -2^63 needs no special case.
    const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    len_ += format_u64(magnitude, buf_ + len_);
  }
  void write_u64(uint64_t v) {
    reserve_more(kIntegerBufferSize);
    len_ += format_u64(v, buf_ + len_);
  }
  // `null` for NaN and infinities, else format_double's text.
  void write_f64(double v) {
    reserve_more(kDoubleBufferSize);
    if (!std::isfinite(v)) {
      std::memcpy(buf_ + len_, "null", 4);
      len_ += 4;
      return;
    }
    // The buffer has room for the longest text, so it serves as the scratch.
    len_ += format_double(v, buf_ + len_);
  }

  const char* data() const { return buf_; }
  size_t size() const { return len_; }
  size_t capacity() const { return cap_; }
  std::string_view view() const { return {buf_, len_}; }
  // Empties the text and keeps the buffer, for a writer used piece by piece.
  void clear() {
    len_ = 0;
    member_bits_ = 0;
    depth_ = 0;
    deep_bits_.clear();
  }
  // Releases the buffer early (after the text has been copied out). The
  // writer stays usable and starts afresh on the next write.
  void clear_and_free();

 private:
  void grow(size_t n);
  void append_unchecked(const char* p, size_t n) {
    std::memcpy(buf_ + len_, p, n);
    len_ += n;
  }
  void push_object() {
    if (depth_ >= 63) [[unlikely]]
      deep_bits_.push_back((member_bits_ >> 63) != 0);
    member_bits_ <<= 1;
    ++depth_;
  }
  void pop_object() {
    if (depth_ == 0) return;
    member_bits_ >>= 1;
    --depth_;
    if (depth_ >= 63) [[unlikely]] {
      if (deep_bits_.back()) member_bits_ |= uint64_t{1} << 63;
      deep_bits_.pop_back();
    }
  }
  // The number of decimal digits of v (1 for 0): from its bit length, which
  // leaves at most one power of ten to compare with. v | 1 has v's digits,
  // as no even number is one less than a power of ten.
  static size_t decimal_digits(uint64_t v) {
    static constexpr uint64_t kPowers[20] = {1ULL,
                                             10ULL,
                                             100ULL,
                                             1000ULL,
                                             10000ULL,
                                             100000ULL,
                                             1000000ULL,
                                             10000000ULL,
                                             100000000ULL,
                                             1000000000ULL,
                                             10000000000ULL,
                                             100000000000ULL,
                                             1000000000000ULL,
                                             10000000000000ULL,
                                             100000000000000ULL,
                                             1000000000000000ULL,
                                             10000000000000000ULL,
                                             100000000000000000ULL,
                                             1000000000000000000ULL,
                                             10000000000000000000ULL};
    const uint64_t w = v | 1;
    const int bits = 64 - std::countl_zero(w);
    const int below = (bits * 1233) >> 12;  // floor(bits x log10(2)): 0..19
    return static_cast<size_t>(below) + (w >= kPowers[below]);
  }
  // Writes the decimal digits of v at `out`, two at a time from the right
  // once the length is known, and returns their count (at most 20).
  static size_t format_u64(uint64_t v, char* out) {
    const size_t n = decimal_digits(v);
    char* end = out + n;
    while (v >= 100) {
      end -= 2;
      std::memcpy(end, detail::kDigitPairs + 2 * (v % 100), 2);
      v /= 100;
    }
    if (v >= 10) {
      end -= 2;
      std::memcpy(end, detail::kDigitPairs + 2 * v, 2);
    } else {
      *--end = static_cast<char>('0' + v);
    }
    return n;
  }

  char* buf_ = nullptr;
  size_t len_ = 0;
  size_t cap_ = 0;
  bool mapped_ = false;  // buf_ is a mapping of its own (large buffers), not malloc'd
  // One bit per open object, innermost lowest: set once it holds a member.
  // Bit 0 at depth 0 serves a bare top-level key sequence.
  uint64_t member_bits_ = 0;
  size_t depth_ = 0;
  // States pushed out of member_bits_ by nesting deeper than 63 objects;
  // the response documents never get there.
  std::vector<bool> deep_bits_;
};

}  // namespace talpen::json

#endif  // TALPEN_JSON_WRITER_H_
