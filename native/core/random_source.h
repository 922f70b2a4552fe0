// RandomSource: the one source of randomness of a run.
//
// Generator: xoshiro256++ (D. Blackman and S. Vigna, "Scrambled linear
// pseudorandom number generators", ACM TOMS 2021), 256 bits of state.
// Seeding: the state words are four consecutive outputs of SplitMix64
// (G. Steele, D. Lea and C. Flood, "Fast splittable pseudorandom number
// generators", OOPSLA 2014), started at the seed.
// Normal deviates: the cosine half of the Box-Muller transform (G. Box and
// M. Muller, 1958). Poisson counts: Knuth's multiplication method (TAOCP
// vol. 2, 3.4.1).
//
// Every operation is built on next_u64, one draw per call. The number of
// draws each operation consumes is part of the output: callers rely on it.
#ifndef TALPEN_CORE_RANDOM_SOURCE_H_
#define TALPEN_CORE_RANDOM_SOURCE_H_

#include <array>
#include <cmath>
#include <cstdint>

namespace talpen {

class RandomSource {
 public:
  // SplitMix64: s[i] is the mix of seed + (i + 1) * golden gamma.
  static RandomSource from_seed(uint64_t seed);
  // A source in a given state, to replay or probe a particular draw.
  // REQUIRES: not all four words zero.
  static RandomSource from_state(const std::array<uint64_t, 4>& state) {
    RandomSource rng;
    rng.s_ = state;
    return rng;
  }

  // xoshiro256++. One draw.
  uint64_t next_u64() {
    const uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  // [0, 1 - 2^-53] from the top 53 bits, exactly. One draw.
  double uniform() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

  // Two draws, u1 then u2. u1 is floored at the smallest normal double so
  // that a draw of 0 gives a large finite deviate (about 37.6) rather than an
  // infinity. The sine partner is discarded, never cached: each call depends
  // on earlier ones only through the state.
  double standard_normal() {
    const double u1 = uniform();
    const double u2 = uniform();
    const double r = std::sqrt(std::log(u1 > kMinNormal ? u1 : kMinNormal) * -2.0);
    return std::cos(u2 * 6.283185307179586) * r;
  }

  // Knuth: multiply uniforms until the product is at or below `threshold`;
  // the count is the number of factors less one, so k + 1 draws.
  // REQUIRES: threshold = exp(-rate) for a finite rate (1.0 for rate 0 gives 0).
  // Past a rate of about 745 the threshold is 0 and the loop ends on
  // underflow of the product, so counts saturate near 745.
  uint64_t poisson_count(double threshold) {
    double p = 1.0;
    uint64_t k = 0;
    do {
      p *= uniform();
      ++k;
    } while (!(threshold >= p));
    return k - 1;
  }

  const std::array<uint64_t, 4>& state() const { return s_; }

 private:
  static constexpr double kMinNormal = 2.2250738585072014e-308;

  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

  std::array<uint64_t, 4> s_{};
};

}  // namespace talpen

#endif  // TALPEN_CORE_RANDOM_SOURCE_H_
