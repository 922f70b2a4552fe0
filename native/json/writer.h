// JsonWriter: the append-only buffer into which every response is written,
// compact (no whitespace), keys in each document's fixed order.
#ifndef TALPEN_JSON_WRITER_H_
#define TALPEN_JSON_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace talpen::json {

class JsonWriter {
 public:
  static constexpr size_t kInitialCapacity = 128;

  JsonWriter();
  ~JsonWriter();
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  // Grows geometrically with realloc; on exhausted memory throws
  // std::bad_alloc (the module boundary turns it into MemoryError).
  void reserve_more(size_t n);

  void put(char c);
  void put(std::string_view bytes);

  // Objects: begin_object writes '{' and opens a member state; write_key
  // writes ',' before every member but the first, the key, and ':'.
  void begin_object();
  void end_object();
  void write_key(std::string_view name);

  void write_string(std::string_view bytes);
  void write_i64(int64_t v);
  void write_u64(uint64_t v);
  // `null` for NaN and infinities, else format_double's text.
  void write_f64(double v);

  const char* data() const { return buf_; }
  size_t size() const { return len_; }
  std::string_view view() const { return {buf_, len_}; }
  // Releases the buffer early (after the text has been copied out).
  void clear_and_free();

 private:
  char* buf_ = nullptr;
  size_t len_ = 0;
  size_t cap_ = 0;
  // One bit per open object, innermost lowest: set once it holds a member.
  uint64_t member_bits_ = 0;
  int depth_ = 0;
};

}  // namespace talpen::json

#endif  // TALPEN_JSON_WRITER_H_
