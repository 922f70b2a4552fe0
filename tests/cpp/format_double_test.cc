#include "json/format_double.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace talpen::json {
namespace {

uint64_t bits_of(double v) { return std::bit_cast<uint64_t>(v); }
double from_bits(uint64_t b) { return std::bit_cast<double>(b); }

// The text must read back as exactly the same double, sign of zero included.
void expect_round_trip(double v, const std::string& text) {
  char* end = nullptr;
  const double back = std::strtod(text.c_str(), &end);
  EXPECT_EQ(end, text.c_str() + text.size()) << text;
  EXPECT_EQ(bits_of(back), bits_of(v)) << text;
}

// The shape every double text has, whatever its value.
void expect_layout_invariants(const std::string& t) {
  ASSERT_FALSE(t.empty());
  ASSERT_LE(t.size(), kDoubleBufferSize) << t;
  EXPECT_NE(t.back(), '.') << t;
  const size_t e = t.find('e');
  EXPECT_TRUE(t.find('.') != std::string::npos || e != std::string::npos) << t;
  const size_t plus = t.find('+');
  EXPECT_TRUE(plus == std::string::npos || plus == e + 1) << t;
  const std::string mantissa = t.substr(0, e);
  const size_t dot = mantissa.find('.');
  if (dot != std::string::npos && mantissa != "0.0" && mantissa != "-0.0") {
    // No trailing fraction zero except the single one of ".0".
    const bool whole = mantissa.size() == dot + 2 && mantissa.back() == '0';
    EXPECT_TRUE(whole || mantissa.back() != '0') << t;
  }
}

struct Case {
  double value;
  const char* text;
};

class FormatDoubleExamples : public ::testing::TestWithParam<Case> {};

TEST_P(FormatDoubleExamples, WritesTheTextAndReadsBack) {
  const Case& c = GetParam();
  const std::string text = format_double(c.value);
  EXPECT_EQ(text, c.text);
  expect_round_trip(c.value, text);
  expect_layout_invariants(text);
  // The buffer form writes the same bytes.
  char buf[kDoubleBufferSize];
  EXPECT_EQ(std::string(buf, format_double(c.value, buf)), c.text);
}

const double kTenthPlusFifth = 0.1 + 0.2;
const double kHundredTimesElevenTenths = 100.0 * 1.1;
const double kThreeHundredThousandths = 1e-5 * 3;

INSTANTIATE_TEST_SUITE_P(
    Zeros, FormatDoubleExamples,
    ::testing::Values(Case{0.0, "0.0"}, Case{-0.0, "-0.0"}));

INSTANTIATE_TEST_SUITE_P(
    WholeNumbers, FormatDoubleExamples,
    ::testing::Values(Case{1.0, "1.0"}, Case{-1.0, "-1.0"}, Case{100.0, "100.0"}, Case{1000.0, "1000.0"},
                      Case{1e7, "10000000.0"}, Case{1e15, "1000000000000000.0"},
                      Case{9999999999999998.0, "9999999999999998.0"},
                      Case{9007199254740992.0, "9007199254740992.0"}));

INSTANTIATE_TEST_SUITE_P(
    PlainFractions, FormatDoubleExamples,
    ::testing::Values(Case{-1.5, "-1.5"}, Case{kTenthPlusFifth, "0.30000000000000004"},
                      Case{kHundredTimesElevenTenths, "110.00000000000001"},
                      Case{123456.789, "123456.789"}, Case{99999.99999999999, "99999.99999999999"},
                      Case{0.1, "0.1"}, Case{1e-5, "0.00001"}, Case{1.2345e-5, "0.000012345"},
                      Case{1.5e-5, "0.000015"}, Case{kThreeHundredThousandths, "0.000030000000000000004"},
                      Case{-kThreeHundredThousandths, "-0.000030000000000000004"},
                      Case{1000000.5, "1000000.5"}, Case{0.12345678, "0.12345678"},
                      Case{1234567.12345678, "1234567.12345678"}));

INSTANTIATE_TEST_SUITE_P(
    ExponentNotation, FormatDoubleExamples,
    ::testing::Values(Case{1e16, "1e+16"}, Case{1.5e16, "1.5e+16"}, Case{9223372036854775808.0, "9.223372036854776e+18"},
                      Case{1e21, "1e+21"}, Case{1e23, "1e+23"}, Case{1e-6, "1e-6"}, Case{1.5e-6, "1.5e-6"},
                      Case{1e-7, "1e-7"}, Case{1.234e-6, "1.234e-6"}, Case{-1.234e-6, "-1.234e-6"},
                      Case{123456789012345680.0, "1.2345678901234568e+17"}, Case{1e100, "1e+100"},
                      Case{1e-100, "1e-100"}));

// Ties among the shortest strings go to the even last digit: 2^50 + 0.25 lies
// exactly between ...624.2 and ...624.3, and both read back as it.
INSTANTIATE_TEST_SUITE_P(
    TiesToEven, FormatDoubleExamples,
    ::testing::Values(Case{1125899906842624.25, "1125899906842624.2"},
                      Case{1125899906842624.75, "1125899906842624.8"}));

struct BitsCase {
  uint64_t bits;
  const char* text;
};

class FormatDoubleBits : public ::testing::TestWithParam<BitsCase> {};

TEST_P(FormatDoubleBits, WritesTheTextAndReadsBack) {
  const BitsCase& c = GetParam();
  const double v = from_bits(c.bits);
  const std::string text = format_double(v);
  EXPECT_EQ(text, c.text);
  expect_round_trip(v, text);
  expect_layout_invariants(text);
}

INSTANTIATE_TEST_SUITE_P(
    Extremes, FormatDoubleBits,
    ::testing::Values(BitsCase{0x0000000000000001, "5e-324"},            // smallest subnormal
                      BitsCase{0x8000000000000001, "-5e-324"},
                      BitsCase{0x0000000000000002, "1e-323"},
                      BitsCase{0x000FFFFFFFFFFFFF, "2.225073858507201e-308"},  // largest subnormal
                      BitsCase{0x0010000000000000, "2.2250738585072014e-308"},  // smallest normal
                      BitsCase{0x8010000000000000, "-2.2250738585072014e-308"},
                      BitsCase{0x7FEFFFFFFFFFFFFF, "1.7976931348623157e+308"},  // largest finite
                      BitsCase{0xFFEFFFFFFFFFFFFF, "-1.7976931348623157e+308"},
                      BitsCase{0x8000000000000000, "-0.0"}, BitsCase{0x0000000000000000, "0.0"}));

// Exact powers of two have a rounding interval half as wide below as above.
INSTANTIATE_TEST_SUITE_P(
    PowersOfTwo, FormatDoubleBits,
    ::testing::Values(BitsCase{0x3D30000000000000, "5.684341886080802e-14"},  // 2^-44
                      BitsCase{0x4350000000000000, "1.8014398509481984e+16"},  // 2^54
                      BitsCase{0x3FE0000000000000, "0.5"}, BitsCase{0x4000000000000000, "2.0"}));

TEST(FormatDouble, NonFiniteValuesGiveNull) {
  // Outside the contract, but a caller that slips still gets valid JSON.
  EXPECT_EQ(format_double(std::numeric_limits<double>::quiet_NaN()), "null");
  EXPECT_EQ(format_double(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(format_double(-std::numeric_limits<double>::infinity()), "null");
}

// Every finite bit pattern: the text reads back exactly and keeps the layout;
// the fast path, where it answers, agrees with the general one.
TEST(FormatDouble, RandomBitPatternsRoundTrip) {
  std::mt19937_64 rng(20240611);
  char fast[kDoubleBufferSize], general[kDoubleBufferSize];
  for (int i = 0; i < 1000000; ++i) {
    const double v = from_bits(rng());
    if (!std::isfinite(v)) continue;
    const std::string text = format_double(v);
    expect_round_trip(v, text);
    expect_layout_invariants(text);
    const size_t n = detail::format_double_fast(v, fast);
    if (n != 0) {
      const size_t m = detail::format_double_general(v, general);
      ASSERT_EQ(std::string(fast, n), std::string(general, m));
    }
    if (HasFailure()) break;
  }
}

double round8(double x) { return std::round(x * 1e8) / 1e8; }

// Every value in a response is a round8 value; the fast path must take each
// one in its range and write exactly what the general path writes. Its
// neighbours one ulp away are not round8 values and must be refused or, if
// taken, agree as well.
TEST(FormatDouble, FastPathAgreesWithGeneralOnRound8Values) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> log_price(std::log(1e-3), std::log(1e7));
  std::uniform_real_distribution<double> quantity(0.0, 1000.0);
  std::uniform_real_distribution<double> tiny(0.0, 2e-5);
  char fast[kDoubleBufferSize], general[kDoubleBufferSize];
  long taken = 0;
  for (int i = 0; i < 3000000; ++i) {
    double x;
    switch (i % 4) {
      case 0: x = std::exp(log_price(rng)); break;
      case 1: x = quantity(rng); break;
      case 2: x = -std::exp(log_price(rng)); break;
      default: x = (i & 8) ? tiny(rng) : std::round(quantity(rng)) * ((i & 16) ? 1 : 1e4); break;
    }
    const double v = round8(x);
    const double r = std::fabs(v * 1e8);
    const bool in_range = (std::round(r) >= 1 && std::round(r) < 1e15) || v == 0;
    const size_t m = detail::format_double_general(v, general);
    const size_t n = detail::format_double_fast(v, fast);
    ASSERT_EQ(n != 0, in_range) << std::string(general, m);
    if (n != 0) {
      ++taken;
      ASSERT_EQ(std::string(fast, n), std::string(general, m));
    }
    for (double w : {std::nextafter(v, 0.0), std::nextafter(v, 2 * v + 1)}) {
      const size_t wn = detail::format_double_fast(w, fast);
      if (wn != 0) {
        const size_t wm = detail::format_double_general(w, general);
        ASSERT_EQ(std::string(fast, wn), std::string(general, wm));
      }
    }
  }
  EXPECT_GT(taken, 2500000);
}

// The fast path writes the eight fraction digits as two halves of four, each
// worked in a lane of its own: every value of each half, beside various
// others, in each lane.
TEST(FormatDouble, FastPathFractionDigitsEveryHalf) {
  char fast[kDoubleBufferSize], general[kDoubleBufferSize];
  for (uint64_t half = 0; half < 10000; ++half) {
    for (uint64_t frac : {half * 10000 + half, half * 10000 + (9999 - half), half * 10000, half}) {
      const double v = static_cast<double>(123 * 100000000ULL + frac) / 1e8;
      const size_t n = detail::format_double_fast(v, fast);
      ASSERT_NE(n, 0U) << frac;
      const size_t m = detail::format_double_general(v, general);
      ASSERT_EQ(std::string(fast, n), std::string(general, m)) << frac;
    }
  }
}

// The whole part's length comes from its bit length: every power of ten and
// of two below 10^7, and their neighbours.
TEST(FormatDouble, FastPathWholePartLengths) {
  char fast[kDoubleBufferSize], general[kDoubleBufferSize];
  std::vector<uint64_t> wholes;
  for (uint64_t p = 1; p <= 10000000; p *= 10) wholes.insert(wholes.end(), {p - 1, p, p + 1});
  for (uint64_t p = 1; p < 10000000; p *= 2) wholes.insert(wholes.end(), {p - 1, p, p + 1});
  for (uint64_t whole : wholes) {
    if (whole >= 10000000) continue;
    for (uint64_t frac : {0ULL, 5ULL, 12345678ULL}) {
      const double v = static_cast<double>(whole * 100000000ULL + frac) / 1e8;
      const size_t n = detail::format_double_fast(v, fast);
      if (whole == 0 && frac < 1000) continue;  // zero, or written in exponent notation
      ASSERT_NE(n, 0U) << whole << " " << frac;
      const size_t m = detail::format_double_general(v, general);
      ASSERT_EQ(std::string(fast, n), std::string(general, m)) << whole << " " << frac;
    }
  }
}

// Below 10^-5 the fast path writes exponent notation from r's one to three
// digits: every such r, of either sign, and the neighbours one ulp away.
TEST(FormatDouble, FastPathTinyValuesEveryDecimal) {
  char fast[kDoubleBufferSize], general[kDoubleBufferSize];
  for (uint64_t r = 1; r < 1000; ++r) {
    const double v = static_cast<double>(r) / 1e8;
    for (double w : {v, -v, std::nextafter(v, 0.0), std::nextafter(v, 1.0)}) {
      const size_t n = detail::format_double_fast(w, fast);
      ASSERT_EQ(n != 0, w == v || w == -v) << r;
      if (n == 0) continue;
      const size_t m = detail::format_double_general(w, general);
      ASSERT_EQ(std::string(fast, n), std::string(general, m)) << r;
    }
  }
}

// The edges of the fast path's range: 10^-8 and just under 10^7.
TEST(FormatDouble, FastPathRangeEdges) {
  char buf[kDoubleBufferSize];
  struct Edge {
    double value;
    bool fast;
    const char* text;
  } edges[] = {
      {0.00001, true, "0.00001"},        {0.00000999, true, "9.99e-6"}, {9999999.99999999, true, "9999999.99999999"},
      {1e7, false, "10000000.0"},        {-0.00001, true, "-0.00001"},      {12.5, true, "12.5"},
      {0.000012345678, false, "0.000012345678"}, {1e-8, true, "1e-8"}, {5e-9, false, "5e-9"},
      {-0.00000905, true, "-9.05e-6"},   {0.0, true, "0.0"},            {-0.0, true, "-0.0"},   {0.0000009, true, "9e-7"},     {1.5e-8, false, "1.5e-8"},
  };
  for (const Edge& e : edges) {
    EXPECT_EQ(detail::format_double_fast(e.value, buf) != 0, e.fast) << e.text;
    EXPECT_EQ(format_double(e.value), e.text);
  }
}

}  // namespace
}  // namespace talpen::json
