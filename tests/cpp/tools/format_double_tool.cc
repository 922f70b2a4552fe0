// Reads one 16-hex-digit bit pattern per line on stdin and prints the text of
// that double, one per line, so an independent implementation can check the
// digits over millions of values. Blank lines are skipped; a line that is not
// a bit pattern prints "error" and makes the exit status 1.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <bit>

#include "json/format_double.h"

int main() {
  static char in_buf[1 << 16];
  std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  int status = 0;
  while (std::fgets(in_buf, sizeof(in_buf), stdin) != nullptr) {
    size_t len = std::strcspn(in_buf, "\r\n");
    if (len == 0) continue;
    uint64_t bits = 0;
    bool ok = len == 16;
    for (size_t i = 0; ok && i < len; ++i) {
      const char c = in_buf[i];
      int d;
      if (c >= '0' && c <= '9') {
        d = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        d = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        d = c - 'A' + 10;
      } else {
        ok = false;
        break;
      }
      bits = bits << 4 | static_cast<uint64_t>(d);
    }
    if (!ok) {
      std::fputs("error\n", stdout);
      status = 1;
      continue;
    }
    char out[talpen::json::kDoubleBufferSize + 1];
    const size_t n = talpen::json::format_double(std::bit_cast<double>(bits), out);
    out[n] = '\n';
    std::fwrite(out, 1, n + 1, stdout);
  }
  return status;
}
