// The floor the generator is measured against: formatting the same doubles
// with std::to_chars (shortest round-trip) into one buffer, nothing else.
// Reads raw little-endian doubles from the file named by argv[1]; prints the
// best of argv[2] (default 5) timings in seconds and the bytes written.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<double> values(raw.size() / sizeof(double));
  std::copy(raw.begin(), raw.begin() + values.size() * sizeof(double), reinterpret_cast<char*>(values.data()));
  int reps = argc > 2 ? std::atoi(argv[2]) : 5;
  std::vector<char> out(values.size() * 25 + 64);
  double best = 1e300;
  size_t written = 0;
  for (int r = 0; r < reps; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    char* p = out.data();
    for (double v : values) {
      p = std::to_chars(p, p + 25, v).ptr;
      *p++ = ',';
    }
    auto t1 = std::chrono::steady_clock::now();
    written = static_cast<size_t>(p - out.data());
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  std::printf("%.9f %zu\n", best, written);
  return 0;
}
