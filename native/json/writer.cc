#include "json/writer.h"

#include <array>
#include <cstdlib>
#include <new>
#include <utility>

namespace talpen::json {
namespace {

// Per input byte: 0 to copy it unchanged, otherwise the byte that follows the
// backslash of its escape ('u' for the \u00xx form).
constexpr std::array<char, 256> kEscape = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['"'] = '"';
  t['\\'] = '\\';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  return t;
}();

constexpr char kHexLower[] = "0123456789abcdef";

}  // namespace

JsonWriter::JsonWriter() {
  buf_ = static_cast<char*>(std::malloc(kInitialCapacity));
  if (buf_ == nullptr) throw std::bad_alloc();
  cap_ = kInitialCapacity;
}

JsonWriter::~JsonWriter() { std::free(buf_); }

JsonWriter::JsonWriter(JsonWriter&& other) noexcept
    : buf_(std::exchange(other.buf_, nullptr)),
      len_(std::exchange(other.len_, 0)),
      cap_(std::exchange(other.cap_, 0)),
      member_bits_(std::exchange(other.member_bits_, 0)),
      depth_(std::exchange(other.depth_, 0)),
      deep_bits_(std::move(other.deep_bits_)) {
  other.deep_bits_.clear();
}

JsonWriter& JsonWriter::operator=(JsonWriter&& other) noexcept {
  if (this != &other) {
    std::free(buf_);
    buf_ = std::exchange(other.buf_, nullptr);
    len_ = std::exchange(other.len_, 0);
    cap_ = std::exchange(other.cap_, 0);
    member_bits_ = std::exchange(other.member_bits_, 0);
    depth_ = std::exchange(other.depth_, 0);
    deep_bits_ = std::move(other.deep_bits_);
    other.deep_bits_.clear();
  }
  return *this;
}

void JsonWriter::grow(size_t n) {
  // A request that cannot be met in the address space is exhausted memory.
  if (n > SIZE_MAX / 2 - len_) throw std::bad_alloc();
  size_t cap = cap_ < kInitialCapacity ? kInitialCapacity : cap_;
  while (cap - len_ < n) cap *= 2;
  // On failure realloc leaves the old block alone, so the writer stays whole.
  char* p = static_cast<char*>(std::realloc(buf_, cap));
  if (p == nullptr) throw std::bad_alloc();
  buf_ = p;
  cap_ = cap;
}

void JsonWriter::clear_and_free() {
  std::free(buf_);
  buf_ = nullptr;
  len_ = 0;
  cap_ = 0;
  member_bits_ = 0;
  depth_ = 0;
  deep_bits_.clear();
}

void JsonWriter::write_string(std::string_view bytes) {
  // Room for the common case, a string with nothing to escape; each escape
  // reserves its own few bytes.
  reserve_more(bytes.size() + 2);
  buf_[len_++] = '"';
  const char* run = bytes.data();
  const char* const end = run + bytes.size();
  for (const char* p = run; p != end; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    const char e = kEscape[c];
    if (e == 0) continue;
    // Escapes lengthen the text, so the bytes reserved above no longer
    // cover the rest: every piece from here on checks its own room.
    put(std::string_view(run, p - run));
    run = p + 1;
    reserve_more(6);
    buf_[len_++] = '\\';
    buf_[len_++] = e;
    if (e == 'u') {
      std::memcpy(buf_ + len_, "00", 2);
      buf_[len_ + 2] = kHexLower[c >> 4];
      buf_[len_ + 3] = kHexLower[c & 15];
      len_ += 4;
    }
  }
  put(std::string_view(run, end - run));
  put('"');
}

}  // namespace talpen::json
