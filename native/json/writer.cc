#include "json/writer.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

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

// Large buffers. A response of many megabytes is written once, front to
// back. From kMapThreshold on, the buffer is an anonymous mapping of its own,
// aligned to and advised for 2 MiB huge pages: it then costs a few hundred
// page faults instead of hundreds of thousands, and growing it moves pages
// with mremap instead of copying bytes. Elsewhere malloc/realloc serve.
#if defined(__linux__) && defined(MREMAP_MAYMOVE) && defined(MADV_HUGEPAGE)
constexpr bool kCanMap = true;
#else
constexpr bool kCanMap = false;
#endif
constexpr size_t kMapThreshold = size_t{4} << 20;
constexpr size_t kHuge = size_t{2} << 20;

// A read-write mapping of `size` bytes (a multiple of kHuge) starting on a
// kHuge boundary, or nullptr.
char* map_aligned([[maybe_unused]] size_t size) {
#if defined(__linux__) && defined(MREMAP_MAYMOVE) && defined(MADV_HUGEPAGE)
  void* raw = mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHuge - 1) & ~(uintptr_t{kHuge} - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t tail = aligned + size;
  const uintptr_t raw_end = start + size + kHuge;
  if (raw_end > tail) munmap(reinterpret_cast<void*>(tail), raw_end - tail);
  madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);  // a hint only
  return reinterpret_cast<char*>(aligned);
#else
  return nullptr;
#endif
}

void release(char* buf, size_t cap, bool mapped) {
#if defined(__linux__) && defined(MREMAP_MAYMOVE) && defined(MADV_HUGEPAGE)
  if (mapped) {
    munmap(buf, cap);
    return;
  }
#endif
  (void)cap;
  (void)mapped;
  std::free(buf);
}

}  // namespace

JsonWriter::JsonWriter() {
  buf_ = static_cast<char*>(std::malloc(kInitialCapacity));
  if (buf_ == nullptr) throw std::bad_alloc();
  cap_ = kInitialCapacity;
}

JsonWriter::~JsonWriter() { release(buf_, cap_, mapped_); }

JsonWriter::JsonWriter(JsonWriter&& other) noexcept
    : buf_(std::exchange(other.buf_, nullptr)),
      len_(std::exchange(other.len_, 0)),
      cap_(std::exchange(other.cap_, 0)),
      mapped_(std::exchange(other.mapped_, false)),
      member_bits_(std::exchange(other.member_bits_, 0)),
      depth_(std::exchange(other.depth_, 0)),
      deep_bits_(std::move(other.deep_bits_)) {
  other.deep_bits_.clear();
}

JsonWriter& JsonWriter::operator=(JsonWriter&& other) noexcept {
  if (this != &other) {
    release(buf_, cap_, mapped_);
    buf_ = std::exchange(other.buf_, nullptr);
    len_ = std::exchange(other.len_, 0);
    cap_ = std::exchange(other.cap_, 0);
    mapped_ = std::exchange(other.mapped_, false);
    member_bits_ = std::exchange(other.member_bits_, 0);
    depth_ = std::exchange(other.depth_, 0);
    deep_bits_ = std::move(other.deep_bits_);
    other.deep_bits_.clear();
  }
  return *this;
}

void JsonWriter::grow(size_t n) {
  // A request that cannot be met in the address space is exhausted memory.
  if (n > SIZE_MAX / 4 - len_) throw std::bad_alloc();
  size_t cap = cap_ < kInitialCapacity ? kInitialCapacity : cap_;
  while (cap - len_ < n) cap *= 2;
  if (kCanMap && cap >= kMapThreshold) {
    cap = (cap + kHuge - 1) & ~(kHuge - 1);
    char* p = map_aligned(cap);
    if (p == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MREMAP_MAYMOVE) && defined(MADV_HUGEPAGE)
    if (mapped_) {
      // Moves the written pages to the front of the new mapping (replacing
      // its untouched pages there); the old range is unmapped by the move.
      void* moved = mremap(buf_, cap_, cap_, MREMAP_MAYMOVE | MREMAP_FIXED, p);
      if (moved == MAP_FAILED) {
        munmap(p, cap);
        throw std::bad_alloc();
      }
    } else {
      if (len_ != 0) std::memcpy(p, buf_, len_);
      std::free(buf_);
    }
#endif
    buf_ = p;
    cap_ = cap;
    mapped_ = true;
    return;
  }
  // On failure realloc leaves the old block alone, so the writer stays whole.
  char* p = static_cast<char*>(std::realloc(buf_, cap));
  if (p == nullptr) throw std::bad_alloc();
  buf_ = p;
  cap_ = cap;
}

void JsonWriter::clear_and_free() {
  release(buf_, cap_, mapped_);
  mapped_ = false;
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
