#include "protocol/white_space.h"

#include <cstddef>
#include <cstdint>

namespace talpen::protocol {

namespace {

bool is_white_space(uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Every White_Space character lies below U+10000, so a sequence of one to
// three bytes decides; `len` is the sequence's length taken from its lead byte.
uint32_t decode_at(std::string_view text, size_t pos, size_t len) {
  auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(text[pos + i])); };
  switch (len) {
    case 1: return byte(0);
    case 2: return ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
    case 3: return ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    default: return 0xFFFFFFFF;  // four-byte sequences are never white space
  }
}

size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  return 4;
}

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end) {
    size_t len = sequence_length(static_cast<unsigned char>(text[begin]));
    if (len > end - begin || !is_white_space(decode_at(text, begin, len))) break;
    begin += len;
  }
  while (end > begin) {
    // Step back over continuation bytes to the lead byte of the last character.
    size_t lead = end - 1;
    while (lead > begin && end - lead < 4 && is_continuation(static_cast<unsigned char>(text[lead]))) {
      --lead;
    }
    size_t len = end - lead;
    if (sequence_length(static_cast<unsigned char>(text[lead])) != len ||
        !is_white_space(decode_at(text, lead, len))) {
      break;
    }
    end = lead;
  }
  return text.substr(begin, end - begin);
}

}  // namespace talpen::protocol
