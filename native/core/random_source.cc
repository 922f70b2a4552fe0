#include "core/random_source.h"

namespace talpen {

RandomSource RandomSource::from_seed(uint64_t seed) {
  RandomSource rng;
  uint64_t x = seed;
  for (uint64_t& word : rng.s_) {
    x += 0x9E3779B97F4A7C15u;
    uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    word = z ^ (z >> 31);
  }
  // Four SplitMix64 outputs are never all zero, so the state is never the
  // one fixed point of xoshiro.
  return rng;
}

}  // namespace talpen
