#include "json/reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <initializer_list>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace talpen::json {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

constexpr const char kControlMessage[] = "control character (\\u0000-\\u001F) found while parsing a string";

uint64_t bits_of(double v) { return std::bit_cast<uint64_t>(v); }

// Joins pieces of a text (building long inputs by operator+ trips a false
// -Wrestrict in GCC 12).
std::string cat(std::initializer_list<std::string_view> pieces) {
  std::string out;
  for (std::string_view p : pieces) out.append(p);
  return out;
}

// ---- Error messages and positions --------------------------------------------

struct ErrorCase {
  std::string_view text;
  const char* message;
  uint64_t line;
  uint64_t column;
};

// One minimal bad input per row; the caret marks the byte that causes the
// error, or the place just past the end of the text.
const ErrorCase kErrorCases[] = {
    // End of text where a value is expected.
    {""sv, "EOF while parsing a value", 1, 0},
    {"   "sv, "EOF while parsing a value", 1, 3},
    {"\n"sv, "EOF while parsing a value", 2, 0},
    //  [1,
    //     ^ EOF while parsing a value at line 1 column 3
    {"[1,"sv, "EOF while parsing a value", 1, 3},
    //  {"a":
    //       ^ EOF while parsing a value at line 1 column 5
    {"{\"a\":"sv, "EOF while parsing a value", 1, 5},
    //  {"a":1,
    //         ^ EOF while parsing a value at line 1 column 7
    {"{\"a\":1,"sv, "EOF while parsing a value", 1, 7},
    //  tru
    //     ^ EOF while parsing a value at line 1 column 3
    {"tru"sv, "EOF while parsing a value", 1, 3},
    //  f
    //   ^ EOF while parsing a value at line 1 column 1
    {"f"sv, "EOF while parsing a value", 1, 1},
    //  -
    //   ^ EOF while parsing a value at line 1 column 1
    {"-"sv, "EOF while parsing a value", 1, 1},
    //  1.
    //    ^ EOF while parsing a value at line 1 column 2
    {"1."sv, "EOF while parsing a value", 1, 2},
    //  1e
    //    ^ EOF while parsing a value at line 1 column 2
    {"1e"sv, "EOF while parsing a value", 1, 2},
    //  1E-
    //     ^ EOF while parsing a value at line 1 column 3
    {"1E-"sv, "EOF while parsing a value", 1, 3},
    // End of text inside an array, object or string.
    //  [
    //   ^ EOF while parsing a list at line 1 column 1
    {"["sv, "EOF while parsing a list", 1, 1},
    //  [1
    //    ^ EOF while parsing a list at line 1 column 2
    {"[1"sv, "EOF while parsing a list", 1, 2},
    //  [[]
    //     ^ EOF while parsing a list at line 1 column 3
    {"[[]"sv, "EOF while parsing a list", 1, 3},
    //  {
    //   ^ EOF while parsing an object at line 1 column 1
    {"{"sv, "EOF while parsing an object", 1, 1},
    //  {"a"
    //      ^ EOF while parsing an object at line 1 column 4
    {"{\"a\""sv, "EOF while parsing an object", 1, 4},
    //  {"a":1
    //        ^ EOF while parsing an object at line 1 column 6
    {"{\"a\":1"sv, "EOF while parsing an object", 1, 6},
    //  "abc
    //      ^ EOF while parsing a string at line 1 column 4
    {"\"abc"sv, "EOF while parsing a string", 1, 4},
    {"\"\\"sv, "EOF while parsing a string", 1, 2},
    //  "\u12
    //       ^ EOF while parsing a string at line 1 column 5
    {"\"\\u12"sv, "EOF while parsing a string", 1, 5},
    //  "\u1x"
    //        ^ EOF while parsing a string at line 1 column 6
    {"\"\\u1x\""sv, "EOF while parsing a string", 1, 6},
    //  "\uD800
    //         ^ EOF while parsing a string at line 1 column 7
    {"\"\\uD800"sv, "EOF while parsing a string", 1, 7},
    {"\"\\uD800\\"sv, "EOF while parsing a string", 1, 8},
    //  "\uD800\u
    //           ^ EOF while parsing a string at line 1 column 9
    {"\"\\uD800\\u"sv, "EOF while parsing a string", 1, 9},
    //  "\uD800\uDC0
    //              ^ EOF while parsing a string at line 1 column 12
    {"\"\\uD800\\uDC0"sv, "EOF while parsing a string", 1, 12},
    // Bytes where punctuation is expected.
    //  {"a" 1}
    //       ^ expected `:` at line 1 column 6
    {"{\"a\" 1}"sv, "expected `:`", 1, 6},
    //  {"a",1}
    //      ^ expected `:` at line 1 column 5
    {"{\"a\",1}"sv, "expected `:`", 1, 5},
    //  [1 2]
    //     ^ expected `,` or `]` at line 1 column 4
    {"[1 2]"sv, "expected `,` or `]`", 1, 4},
    //  [1}
    //    ^ expected `,` or `]` at line 1 column 3
    {"[1}"sv, "expected `,` or `]`", 1, 3},
    //  ["a" "b"]
    //       ^ expected `,` or `]` at line 1 column 6
    {"[\"a\" \"b\"]"sv, "expected `,` or `]`", 1, 6},
    //  {"a":1 "b":2}
    //         ^ expected `,` or `}` at line 1 column 8
    {"{\"a\":1 \"b\":2}"sv, "expected `,` or `}`", 1, 8},
    //  {"a":1]
    //        ^ expected `,` or `}` at line 1 column 7
    {"{\"a\":1]"sv, "expected `,` or `}`", 1, 7},
    //  {1:2}
    //   ^ key must be a string at line 1 column 2
    {"{1:2}"sv, "key must be a string", 1, 2},
    //  {'a':1}
    //   ^ key must be a string at line 1 column 2
    {"{'a':1}"sv, "key must be a string", 1, 2},
    //  {,}
    //   ^ key must be a string at line 1 column 2
    {"{,}"sv, "key must be a string", 1, 2},
    //  {"a":1,2}
    //         ^ key must be a string at line 1 column 8
    {"{\"a\":1,2}"sv, "key must be a string", 1, 8},
    //  [1,]
    //     ^ trailing comma at line 1 column 4
    {"[1,]"sv, "trailing comma", 1, 4},
    //  {"a":1,}
    //         ^ trailing comma at line 1 column 8
    {"{\"a\":1,}"sv, "trailing comma", 1, 8},
    //  {"a":1, }
    //          ^ trailing comma at line 1 column 9
    {"{\"a\":1, }"sv, "trailing comma", 1, 9},
    //  [[],]
    //      ^ trailing comma at line 1 column 5
    {"[[],]"sv, "trailing comma", 1, 5},
    // Bytes that cannot start a value.
    //  +1
    //  ^ expected value at line 1 column 1
    {"+1"sv, "expected value", 1, 1},
    //  .5
    //  ^ expected value at line 1 column 1
    {".5"sv, "expected value", 1, 1},
    //  NaN
    //  ^ expected value at line 1 column 1
    {"NaN"sv, "expected value", 1, 1},
    //  Infinity
    //  ^ expected value at line 1 column 1
    {"Infinity"sv, "expected value", 1, 1},
    //  'a'
    //  ^ expected value at line 1 column 1
    {"'a'"sv, "expected value", 1, 1},
    //  ]
    //  ^ expected value at line 1 column 1
    {"]"sv, "expected value", 1, 1},
    //  }
    //  ^ expected value at line 1 column 1
    {"}"sv, "expected value", 1, 1},
    //  [,1]
    //   ^ expected value at line 1 column 2
    {"[,1]"sv, "expected value", 1, 2},
    //  {"a":}
    //       ^ expected value at line 1 column 6
    {"{\"a\":}"sv, "expected value", 1, 6},
    //  [1,,2]
    //     ^ expected value at line 1 column 4
    {"[1,,2]"sv, "expected value", 1, 4},
    //  trUe
    //    ^ expected ident at line 1 column 3
    {"trUe"sv, "expected ident", 1, 3},
    //  nulL
    //     ^ expected ident at line 1 column 4
    {"nulL"sv, "expected ident", 1, 4},
    //  fals3
    //      ^ expected ident at line 1 column 5
    {"fals3"sv, "expected ident", 1, 5},
    // Numbers.
    //  01
    //   ^ invalid number at line 1 column 2
    {"01"sv, "invalid number", 1, 2},
    //  -01
    //    ^ invalid number at line 1 column 3
    {"-01"sv, "invalid number", 1, 3},
    //  1.e5
    //    ^ invalid number at line 1 column 3
    {"1.e5"sv, "invalid number", 1, 3},
    //  [1.]
    //     ^ invalid number at line 1 column 4
    {"[1.]"sv, "invalid number", 1, 4},
    //  -x
    //   ^ invalid number at line 1 column 2
    {"-x"sv, "invalid number", 1, 2},
    //  -.5
    //   ^ invalid number at line 1 column 2
    {"-.5"sv, "invalid number", 1, 2},
    //  1e+x
    //     ^ invalid number at line 1 column 4
    {"1e+x"sv, "invalid number", 1, 4},
    //  1e400
    //      ^ number out of range at line 1 column 5
    {"1e400"sv, "number out of range", 1, 5},
    //  -1e400
    //       ^ number out of range at line 1 column 6
    {"-1e400"sv, "number out of range", 1, 6},
    //  [1e309]
    //       ^ number out of range at line 1 column 6
    {"[1e309]"sv, "number out of range", 1, 6},
    //  10e308
    //       ^ number out of range at line 1 column 6
    {"10e308"sv, "number out of range", 1, 6},
    //  1.8e308
    //        ^ number out of range at line 1 column 7
    {"1.8e308"sv, "number out of range", 1, 7},
    //  0.1e310
    //        ^ number out of range at line 1 column 7
    {"0.1e310"sv, "number out of range", 1, 7},
    //  1e2147483647
    //             ^ number out of range at line 1 column 12
    {"1e2147483647"sv, "number out of range", 1, 12},
    //  1e99999999999
    //              ^ number out of range at line 1 column 13
    {"1e99999999999"sv, "number out of range", 1, 13},
    // Strings.
    //  "\x"
    //    ^ invalid escape at line 1 column 3
    {"\"\\x\""sv, "invalid escape", 1, 3},
    //  "\U0041"
    //    ^ invalid escape at line 1 column 3
    {"\"\\U0041\""sv, "invalid escape", 1, 3},
    //  "\u12G4"
    //        ^ invalid escape at line 1 column 7
    {"\"\\u12G4\""sv, "invalid escape", 1, 7},
    //  "\uD800\uDC0Z"
    //              ^ invalid escape at line 1 column 13
    {"\"\\uD800\\uDC0Z\""sv, "invalid escape", 1, 13},
    //  "\uD800"
    //         ^ unexpected end of hex escape at line 1 column 8
    {"\"\\uD800\""sv, "unexpected end of hex escape", 1, 8},
    //  "\uD800\n"
    //          ^ unexpected end of hex escape at line 1 column 9
    {"\"\\uD800\\n\""sv, "unexpected end of hex escape", 1, 9},
    //  "\uDC00"
    //        ^ lone leading surrogate in hex escape at line 1 column 7
    {"\"\\uDC00\""sv, "lone leading surrogate in hex escape", 1, 7},
    //  "\uD800\u0041"
    //              ^ lone leading surrogate in hex escape at line 1 column 13
    {"\"\\uD800\\u0041\""sv, "lone leading surrogate in hex escape", 1, 13},
    //  "\uD800\uD800"
    //              ^ lone leading surrogate in hex escape at line 1 column 13
    {"\"\\uD800\\uD800\""sv, "lone leading surrogate in hex escape", 1, 13},
    {"\"a\t"sv, kControlMessage, 1, 3},
    {"\"a\n"sv, kControlMessage, 2, 0},
    {"\"\x01" "\""sv, kControlMessage, 1, 2},
    {"[\"a\x1f" "\"]"sv, kControlMessage, 1, 4},
    {"{\"k\x00" "\":1}"sv, kControlMessage, 1, 4},
    // After the document.
    //  {"cmd":"version"} x
    //                    ^ trailing characters at line 1 column 19
    {"{\"cmd\":\"version\"} x"sv, "trailing characters", 1, 19},
    //  1 2
    //    ^ trailing characters at line 1 column 3
    {"1 2"sv, "trailing characters", 1, 3},
    //  nullx
    //      ^ trailing characters at line 1 column 5
    {"nullx"sv, "trailing characters", 1, 5},
    //  "a""b"
    //     ^ trailing characters at line 1 column 4
    {"\"a\"\"b\""sv, "trailing characters", 1, 4},
    //  1.5.3
    //     ^ trailing characters at line 1 column 4
    {"1.5.3"sv, "trailing characters", 1, 4},
    {"1\x0c" ""sv, "trailing characters", 1, 2},
    // Positions over several lines.
    {"[\n1,\n]"sv, "trailing comma", 3, 1},
    {"{\n  \"a\": tru"sv, "EOF while parsing a value", 2, 10},
    {"[1,\r\n2\r\n"sv, "EOF while parsing a list", 3, 0},
    {"\n\n  @"sv, "expected value", 3, 3},
};

class ReaderErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ReaderErrors, MessageAndPosition) {
  const ErrorCase& c = GetParam();
  const auto r = parse_json(c.text);
  ASSERT_FALSE(r.ok()) << c.text;
  EXPECT_EQ(r.error().message, c.message) << c.text;
  EXPECT_EQ(r.error().line, c.line) << c.text;
  EXPECT_EQ(r.error().column, c.column) << c.text;
}

INSTANTIATE_TEST_SUITE_P(Table, ReaderErrors, ::testing::ValuesIn(kErrorCases));

TEST(ReaderErrorText, AppendsThePosition) {
  const auto r = parse_json("[1,]");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().located(), "trailing comma at line 1 column 4");
}

TEST(ReaderErrors, LongNumbersReportTheirLastByte) {
  // 400 integer digits: the significand overflows and the exponent grows past
  // the largest double.
  const std::string big = cat({"1", std::string(400, '0')});
  auto r = parse_json(big);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "number out of range");
  EXPECT_EQ(r.error().column, 401U);
  // The exponent overflows 32 bits: the error waits for its last digit.
  r = parse_json(cat({"[1e", std::string(30, '9'), "]"}));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "number out of range");
  EXPECT_EQ(r.error().column, 33U);
}

TEST(ReaderErrors, OnlyFourBytesAreWhitespace) {
  EXPECT_TRUE(parse_json(" \t\r\n{\"cmd\":\"version\"} \t\r\n ").ok());
  for (std::string_view ws : {"\f"sv, "\v"sv, "\xC2\xA0"sv, "\xEF\xBB\xBF"sv}) {
    const auto before = parse_json(cat({ws, "1"}));
    ASSERT_FALSE(before.ok());
    EXPECT_EQ(before.error().message, "expected value");
    EXPECT_EQ(before.error().column, 1U);
    const auto after = parse_json(cat({"1", ws}));
    ASSERT_FALSE(after.ok());
    EXPECT_EQ(after.error().message, "trailing characters");
    EXPECT_EQ(after.error().column, 2U);
  }
}

// ---- Nesting -------------------------------------------------------------------

TEST(ReaderNesting, HundredTwentySevenLevelsParse) {
  const std::string arrays = std::string(127, '[') + std::string(127, ']');
  EXPECT_TRUE(parse_json(arrays).ok());
  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  objects += "1" + std::string(127, '}');
  EXPECT_TRUE(parse_json(objects).ok());
}

TEST(ReaderNesting, TheHundredTwentyEighthBracketFails) {
  for (const std::string& text : {std::string(128, '['), std::string(100000, '['),
                                  std::string(127, '[') + "{}" + std::string(127, ']')}) {
    const auto r = parse_json(text);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "recursion limit exceeded");
    EXPECT_EQ(r.error().line, 1U);
    EXPECT_EQ(r.error().column, 128U);
  }
  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  objects += "{";
  const auto r = parse_json(objects);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "recursion limit exceeded");
  EXPECT_EQ(r.error().column, 127U * 5 + 1);
}

TEST(ReaderNesting, ClosedLevelsAreGivenBack) {
  // Many siblings each 126 deep inside one array: 127 levels at a time.
  const std::string deep = std::string(126, '[') + std::string(126, ']');
  std::string text = "[" + deep;
  for (int i = 0; i < 50; ++i) text += "," + deep;
  text += "]";
  EXPECT_TRUE(parse_json(text).ok());
}

// ---- Numbers -------------------------------------------------------------------

TEST(ReaderNumbers, IntegerClassesAtTheirLimits) {
  auto v = parse_json("18446744073709551615");
  ASSERT_TRUE(v.ok());
  ASSERT_EQ(v.value().number_class(), NumberClass::Unsigned);
  EXPECT_EQ(v.value().as_unsigned(), std::numeric_limits<uint64_t>::max());

  v = parse_json("18446744073709551616");
  ASSERT_TRUE(v.ok());
  ASSERT_EQ(v.value().number_class(), NumberClass::Double);
  EXPECT_EQ(v.value().as_double(), 18446744073709551616.0);

  v = parse_json("-9223372036854775808");
  ASSERT_TRUE(v.ok());
  ASSERT_EQ(v.value().number_class(), NumberClass::Negative);
  EXPECT_EQ(v.value().as_negative(), std::numeric_limits<int64_t>::min());

  v = parse_json("-9223372036854775809");
  ASSERT_TRUE(v.ok());
  ASSERT_EQ(v.value().number_class(), NumberClass::Double);
  EXPECT_EQ(v.value().as_double(), -9223372036854775808.0);

  v = parse_json("-18446744073709551615");
  ASSERT_TRUE(v.ok());
  ASSERT_EQ(v.value().number_class(), NumberClass::Double);
  EXPECT_EQ(v.value().as_double(), -18446744073709551616.0);

  v = parse_json("0");
  ASSERT_TRUE(v.ok());
  ASSERT_EQ(v.value().number_class(), NumberClass::Unsigned);
  EXPECT_EQ(v.value().as_unsigned(), 0U);

  v = parse_json("-1");
  ASSERT_TRUE(v.ok());
  ASSERT_EQ(v.value().number_class(), NumberClass::Negative);
  EXPECT_EQ(v.value().as_negative(), -1);

  // An integer value with a fraction or exponent is still a double.
  for (const char* text : {"1.0", "1e0", "10E-1"}) {
    v = parse_json(text);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(v.value().number_class(), NumberClass::Double) << text;
    EXPECT_EQ(v.value().as_double(), 1.0) << text;
  }
}

struct DoubleCase {
  const char* text;
  uint64_t bits;
};

class ReaderDoubles : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(ReaderDoubles, ReadsTheBitPattern) {
  const DoubleCase& c = GetParam();
  const auto v = parse_json(c.text);
  ASSERT_TRUE(v.ok()) << c.text << ": " << v.error().located();
  ASSERT_EQ(v.value().number_class(), NumberClass::Double) << c.text;
  EXPECT_EQ(bits_of(v.value().as_double()), c.bits) << c.text << " read as " << v.value().as_double();
}

INSTANTIATE_TEST_SUITE_P(
    SignedZeros, ReaderDoubles,
    ::testing::Values(DoubleCase{"-0", 0x8000000000000000ULL}, DoubleCase{"-0.0", 0x8000000000000000ULL},
                      DoubleCase{"-0e5", 0x8000000000000000ULL}, DoubleCase{"0.0", 0},
                      DoubleCase{"1e-400", 0}, DoubleCase{"-1e-400", 0x8000000000000000ULL},
                      DoubleCase{"0e999999", 0}, DoubleCase{"-0e400", 0x8000000000000000ULL},
                      DoubleCase{"123.456e-789", 0},
                      // A 32-bit exponent overflow with a zero significand or
                      // a negative exponent is zero.
                      DoubleCase{"5e-99999999999", 0}, DoubleCase{"-5e-2147483648", 0x8000000000000000ULL},
                      DoubleCase{"0e99999999999", 0}));

INSTANTIATE_TEST_SUITE_P(
    NearestWhenShortAndSmall, ReaderDoubles,
    ::testing::Values(DoubleCase{"0.1", 0x3FB999999999999AULL}, DoubleCase{"1.5", 0x3FF8000000000000ULL},
                      DoubleCase{"-2.5E-3", bits_of(-2.5e-3)}, DoubleCase{"123.456", bits_of(123.456)},
                      DoubleCase{"1e22", bits_of(1e22)}, DoubleCase{"1e-22", bits_of(1e-22)},
                      DoubleCase{"999999999999999e22", bits_of(999999999999999e22)},
                      DoubleCase{"1E+2", bits_of(100.0)},
                      DoubleCase{"0.000001", bits_of(1e-6)}));

INSTANTIATE_TEST_SUITE_P(
    Extremes, ReaderDoubles,
    ::testing::Values(DoubleCase{"5e-324", 1}, DoubleCase{"2.2250738585072014e-308", 0x0010000000000000ULL},
                      DoubleCase{"1.7976931348623157e308", 0x7FEFFFFFFFFFFFFFULL},
                      DoubleCase{"-1.7976931348623157e+308", 0xFFEFFFFFFFFFFFFFULL},
                      DoubleCase{"1e308", bits_of(1e308)}, DoubleCase{"1e-308", bits_of(1e-308)}));

// Each step rounds: s to a double, then one multiplication or division by a
// rounded power of ten (after whole 1e308 divisions for tiny numbers).
INSTANTIATE_TEST_SUITE_P(
    RoundedSteps, ReaderDoubles,
    ::testing::Values(
        DoubleCase{"7e23", bits_of(6.999999999999999e23)},
        // 17 digits: s rounds up to 90071992547409936 before the division, so
        // the tie 2^53 + 1 goes up, not to even.
        DoubleCase{"9007199254740993.0", bits_of(9007199254740994.0)},
        DoubleCase{"1e-320", bits_of(1.0 / 1e308 / 1e12)},
        DoubleCase{"4.9e-324", bits_of(49.0 / 1e308 / 1e17)},
        DoubleCase{"1e-330", 0},
        // 20 digits fit the significand; the rest raise the exponent.
        DoubleCase{"123456789012345678901234567890", bits_of(12345678901234567890.0 * 1e10)},
        DoubleCase{"1000000000000000000000000000000", bits_of(1e30)},
        // Fraction digits past the significand's capacity are dropped.
        DoubleCase{"0.1234567890123456789012345", bits_of(12345678901234567890.0 / 1e20)},
        DoubleCase{"18446744073709551616.1", bits_of(18446744073709551611.0)}));

// The power table: 1e<k> is P[k] itself and 1e-<k> one division by it, so
// both must match the C library's correctly rounded reading for every k.
TEST(ReaderNumbers, PowersOfTenAreCorrectlyRounded) {
  for (int k = 0; k <= 308; ++k) {
    const std::string up = "1e" + std::to_string(k);
    const double p = std::strtod(up.c_str(), nullptr);
    auto v = parse_json(up);
    ASSERT_TRUE(v.ok()) << up;
    EXPECT_EQ(bits_of(v.value().as_double()), bits_of(p)) << up;
    const std::string down = "1e-" + std::to_string(k);
    v = parse_json(down);
    ASSERT_TRUE(v.ok()) << down;
    EXPECT_EQ(bits_of(v.value().as_double()), bits_of(1.0 / p)) << down;
  }
}

TEST(ReaderNumbers, SevenE23IsNotTheNearestDouble) {
  const auto v = parse_json("7e23");
  ASSERT_TRUE(v.ok());
  EXPECT_NE(bits_of(v.value().as_double()), bits_of(7e23));
}

TEST(ReaderNumbers, HugeDigitStrings) {
  // Leading fraction zeros only lower the exponent.
  auto v = parse_json(cat({"0.", std::string(400, '0'), "1"}));
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(bits_of(v.value().as_double()), 0U);
  v = parse_json(cat({"1.", std::string(5000, '9')}));
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v.value().as_double(), 2.0);
  v = parse_json(cat({"-1", std::string(5000, '0'), "e-5000"}));
  ASSERT_TRUE(v.ok());
  EXPECT_NEAR(v.value().as_double(), -1.0, 1e-15);
  v = parse_json(cat({"0.", std::string(100000, '0'), "e100000"}));
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(bits_of(v.value().as_double()), 0U);
}

// ---- Strings and escapes -------------------------------------------------------

struct StringCase {
  std::string_view text;
  std::string_view bytes;
};

class ReaderStrings : public ::testing::TestWithParam<StringCase> {};

TEST_P(ReaderStrings, ResolvesEscapes) {
  const StringCase& c = GetParam();
  const auto v = parse_json(c.text);
  ASSERT_TRUE(v.ok()) << c.text << ": " << v.error().located();
  ASSERT_TRUE(v.value().is_string());
  EXPECT_EQ(v.value().as_string(), c.bytes) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReaderStrings,
    ::testing::Values(
        StringCase{R"("")", ""sv}, StringCase{R"("plain")", "plain"sv},
        StringCase{R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"sv},
        StringCase{R"("ab\ncd\\ef")", "ab\ncd\\ef"sv},
        StringCase{R"("\u0041\u00e9\u20AC\uFFFF")", "A\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF"sv},
        StringCase{R"("\u0000")", "\0"sv}, StringCase{R"("a\u0000b")", "a\0b"sv},
        StringCase{R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"sv},
        StringCase{R"("\uD800\uDC00")", "\xF0\x90\x80\x80"sv},
        StringCase{R"("\udbff\udfff")", "\xF4\x8F\xBF\xBF"sv},
        // Bytes from 0x20 up, valid UTF-8 or not, pass through unchanged.
        StringCase{"\"\x7F\xC3\xA9\xFF\x80 /\"", "\x7F\xC3\xA9\xFF\x80 /"sv}));

// The run scan looks at eight bytes at a time: put the byte that ends a run at
// every place within and across words, next to bytes one above or below the
// ones it looks for.
TEST(ReaderStrings, RunEndsAtEveryOffset) {
  for (size_t len = 0; len < 40; ++len) {
    // Neighbours of '"' (0x22), '\\' (0x5C) and 0x20, and high bytes.
    constexpr std::string_view kNear = "!#[] \x7F\x80\xDD\xFF";
    std::string body;
    for (size_t i = 0; i < len; ++i) body.push_back(kNear[i % kNear.size()]);
    // A closing quote.
    auto v = parse_json(cat({"\"", body, "\""}));
    ASSERT_TRUE(v.ok()) << len;
    EXPECT_EQ(v.value().as_string(), body);
    // An escape.
    v = parse_json(cat({"\"", body, "\\t#\""}));
    ASSERT_TRUE(v.ok()) << len;
    EXPECT_EQ(v.value().as_string(), cat({body, "\t#"}));
    // A control byte.
    auto e = parse_json(cat({"\"", body, "\x1Fxxxxxxxx\""}));
    ASSERT_FALSE(e.ok()) << len;
    EXPECT_EQ(e.error().message, kControlMessage);
    EXPECT_EQ(e.error().column, len + 2);
    // The end of the text.
    e = parse_json(cat({"\"", body}));
    ASSERT_FALSE(e.ok()) << len;
    EXPECT_EQ(e.error().message, "EOF while parsing a string");
    EXPECT_EQ(e.error().column, len + 1);
  }
}

// Random bodies of bytes near the ones that end a run, against a byte-by-byte
// reading of the same rule.
TEST(ReaderStrings, RandomBodiesMatchByteByByteScan) {
  const unsigned char pool[] = {0x00, 0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x5B, 0x5C,
                                0x5D, 0x61, 0x7F, 0x80, 0xA2, 0xDC, 0xFF};
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 20000; ++round) {
    const size_t len = rng() % 48;
    std::string body;
    for (size_t i = 0; i < len; ++i) {
      unsigned char c = pool[rng() % sizeof pool];
      // Keep backslashes out unless common: they need a valid escape after.
      if (c == 0x5C) c = 0x61;
      if (c < 0x20 && rng() % 4 != 0) c = 0x21;
      body.push_back(static_cast<char>(c));
    }
    const std::string text = cat({"\"", body, "\""});
    size_t stop = 0;
    while (stop < body.size() && body[stop] != '"' && static_cast<unsigned char>(body[stop]) >= 0x20) ++stop;
    const auto v = parse_json(text);
    if (stop == body.size()) {
      ASSERT_TRUE(v.ok()) << round;
      EXPECT_EQ(v.value().as_string(), body);
    } else if (body[stop] == '"') {
      // The string ends early; what follows is trailing or an error.
      if (v.ok()) {
        EXPECT_EQ(v.value().as_string(), body.substr(0, stop));
      }
      const auto prefix = parse_json(text.substr(0, stop + 2));
      ASSERT_TRUE(prefix.ok()) << round;
      EXPECT_EQ(prefix.value().as_string(), body.substr(0, stop));
    } else {
      ASSERT_FALSE(v.ok()) << round;
      EXPECT_EQ(v.error().message, kControlMessage);
      EXPECT_EQ(v.error().column, stop + 2);
    }
  }
}

// ---- Objects and arrays --------------------------------------------------------

TEST(ReaderObjects, KeysSortedByBytesAndTheLastRepeatWins) {
  const auto v = parse_json(R"({"b":1,"ab":2,"a":3,"":4,"\u00e9":5,"z":6,"b":7})");
  ASSERT_TRUE(v.ok());
  const auto& m = v.value().members();
  std::vector<std::string> keys;
  for (const auto& member : m) keys.push_back(member.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "a", "ab", "b", "z", "\xC3\xA9"}));
  EXPECT_EQ(v.value().find("b")->as_unsigned(), 7U);
  EXPECT_EQ(v.value().find("ab")->as_unsigned(), 2U);
}

TEST(ReaderObjects, RepeatedCmdKeepsTheLast) {
  const auto v = parse_json(R"({"cmd":"generate","cmd":"version"})");
  ASSERT_TRUE(v.ok());
  ASSERT_EQ(v.value().members().size(), 1U);
  ASSERT_NE(v.value().find("cmd"), nullptr);
  EXPECT_EQ(v.value().find("cmd")->as_string(), "version");
}

TEST(ReaderObjects, WholeDocument) {
  const auto v = parse_json(" {\"a\" : [ 1 , -2 , 3.5 , \"x\" , true , false , null , { } , [ ] ] }\n");
  ASSERT_TRUE(v.ok());
  const JsonValue expected = JsonValue::object({JsonValue::Member{
      "a", JsonValue::array({JsonValue::unsigned_integer(1), JsonValue::negative_integer(-2),
                             JsonValue::floating(3.5), JsonValue::string("x"), JsonValue::boolean(true),
                             JsonValue::boolean(false), JsonValue::null(), JsonValue::object({}),
                             JsonValue::array({})})}});
  EXPECT_TRUE(v.value() == expected);
}

TEST(ReaderObjects, CopiesAreDeep) {
  constexpr std::string_view kText =
      R"({"a":[1,-2,0.5,"a string too long to be stored inline",{"b":null}],"c":{"d":[true]}})";
  JsonValue assigned;
  {
    const auto v = parse_json(kText);
    ASSERT_TRUE(v.ok());
    assigned = v.value();
    const JsonValue constructed(v.value());
    EXPECT_TRUE(constructed == v.value());
  }
  // The original and the other copy are gone; this one must stand alone.
  const auto again = parse_json(kText);
  ASSERT_TRUE(again.ok());
  EXPECT_TRUE(assigned == again.value());
  EXPECT_EQ(assigned.find("a")->elements()[3].as_string(), "a string too long to be stored inline");
}

// ---- TextReader stepping, as the spec decoder uses it ---------------------------

// Reads `wanted` elements of the array that starts the text, then closes it.
Error read_then_finish(std::string_view text, int wanted) {
  TextReader r(text);
  EXPECT_EQ(r.peek_after_ws(), '[');
  if (!r.begin_array()) return r.error();
  bool first = true;
  for (int i = 0; i < wanted; ++i) {
    bool has = false;
    if (!r.next_element(&first, &has)) return r.error();
    if (!has) break;
    JsonValue v;
    if (!r.read_value(&v)) return r.error();
  }
  if (!r.finish_array()) return r.error();
  if (!r.finish_document()) return r.error();
  return Error{ErrorKind::Parse, "ok", 0, 0};
}

TEST(TextReaderStepping, FinishArray) {
  struct Case {
    std::string_view text;
    int wanted;
    const char* message;
    uint64_t column;
  } cases[] = {
      {"[1,2]", 2, "ok", 0},
      {"[1,2] ", 5, "ok", 0},  // fewer elements than wanted
      {"[]", 1, "ok", 0},
      //  [1,2,3]
      //       ^ trailing characters at line 1 column 6
      {"[1,2,3]", 2, "trailing characters", 6},
      //  [1,2 ,  ]
      //          ^ trailing comma at line 1 column 9
      {"[1,2 ,  ]", 2, "trailing comma", 9},
      //  [1,
      //     ^ trailing characters at line 1 column 3
      {"[1,", 1, "trailing characters", 3},
      //  [1}
      //    ^ trailing characters at line 1 column 3
      {"[1}", 1, "trailing characters", 3},
      //  [1
      //    ^ EOF while parsing a list at line 1 column 2
      {"[1", 1, "EOF while parsing a list", 2},
      //  [1,]
      //     ^ trailing comma at line 1 column 4
      {"[1,]", 2, "trailing comma", 4},
      //  [1 2]
      //     ^ expected `,` or `]` at line 1 column 4
      {"[1 2]", 2, "expected `,` or `]`", 4},
      //  [1]x
      //     ^ trailing characters at line 1 column 4
      {"[1]x", 1, "trailing characters", 4},
  };
  for (const Case& c : cases) {
    const Error e = read_then_finish(c.text, c.wanted);
    EXPECT_EQ(e.message, c.message) << c.text;
    EXPECT_EQ(e.column, c.column) << c.text;
  }
}

TEST(TextReaderStepping, KeysColonsAndFinishObject) {
  TextReader r(" { \"a\" : 1 , \"b\\n\":true } ");
  ASSERT_EQ(r.peek_after_ws(), '{');
  ASSERT_TRUE(r.begin_object());
  bool first = true;
  bool has = false;
  std::string key = "stale";
  std::vector<std::string> keys;
  for (;;) {
    ASSERT_TRUE(r.next_key(&first, &has, &key)) << r.error().message;
    if (!has) break;
    keys.push_back(key);
    ASSERT_TRUE(r.object_colon());
    JsonValue v;
    ASSERT_TRUE(r.read_value(&v));
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "b\n"}));
  ASSERT_TRUE(r.finish_object());
  EXPECT_TRUE(r.finish_document());
}

TEST(TextReaderStepping, NextKeyErrors) {
  struct Case {
    std::string_view text;
    const char* message;
    uint64_t column;
  } cases[] = {
      {"{", "EOF while parsing an object", 1},
      {"{\"a\":1", "EOF while parsing an object", 6},
      {"{\"a\":1,", "EOF while parsing a value", 7},
      {"{\"a\":1,}", "trailing comma", 8},
      {"{\"a\":1,1", "key must be a string", 8},
      {"{\"a\":1 1", "expected `,` or `}`", 8},
      {"{\"a\\q\":1}", "invalid escape", 5},
  };
  for (const Case& c : cases) {
    TextReader r(c.text);
    ASSERT_TRUE(r.begin_object());
    bool first = true;
    bool has = true;
    std::string key;
    bool ok = true;
    while (ok && has) {
      ok = r.next_key(&first, &has, &key);
      if (ok && has) {
        JsonValue v;
        ok = r.object_colon() && r.read_value(&v);
      }
    }
    ASSERT_FALSE(ok) << c.text;
    EXPECT_EQ(r.error().message, c.message) << c.text;
    EXPECT_EQ(r.error().column, c.column) << c.text;
  }
}

TEST(TextReaderStepping, CursorAndPositions) {
  TextReader r("ab\ncd");
  EXPECT_EQ(r.peek(), 'a');
  r.bump();
  r.bump();
  r.bump();
  EXPECT_EQ(r.offset(), 3U);
  // fail_here: the bytes consumed so far; fail_at_next: the byte under the
  // cursor.
  EXPECT_FALSE(r.fail_here("m"));
  EXPECT_EQ(r.error().line, 2U);
  EXPECT_EQ(r.error().column, 0U);
  EXPECT_FALSE(r.fail_at_next(ReadCode::ExpectedValue));
  EXPECT_EQ(r.error().column, 1U);
  EXPECT_EQ(r.error().message, "expected value");
  r.bump();
  r.bump();
  EXPECT_TRUE(r.at_end());
  EXPECT_EQ(r.peek(), -1);
  EXPECT_EQ(r.peek_after_ws(), -1);
  EXPECT_FALSE(r.fail_at_next(ReadCode::ExpectedValue));
  EXPECT_EQ(r.error().column, 2U);
}

TEST(TextReaderStepping, ScalarsStopRightAfterTheirToken) {
  TextReader r("-12.5e1,null]\"k\\u0041\" \"x\"");
  JsonValue v;
  ASSERT_TRUE(r.read_number(&v));
  EXPECT_EQ(v.as_double(), -125.0);
  EXPECT_EQ(r.offset(), 7U);
  r.bump();
  ASSERT_TRUE(r.read_literal(&v));
  EXPECT_TRUE(v.is_null());
  EXPECT_EQ(r.offset(), 12U);
  r.bump();
  // read_string replaces what the string held.
  std::string s = "previous";
  ASSERT_TRUE(r.read_string(&s));
  EXPECT_EQ(s, "kA");
  ASSERT_EQ(r.peek_after_ws(), '"');
  ASSERT_TRUE(r.read_string(&s));
  EXPECT_EQ(s, "x");
  EXPECT_TRUE(r.at_end());
}

TEST(TextReaderStepping, NestingBudgetCanBeSpentAndGivenBack) {
  const std::string text(200, '[');
  TextReader r(text);
  for (int i = 0; i < kNestingBudget - 1; ++i) ASSERT_TRUE(r.begin_array()) << i;
  ASSERT_FALSE(r.begin_array());
  EXPECT_EQ(r.error().message, "recursion limit exceeded");
  EXPECT_EQ(r.error().column, 128U);
  r.leave_level();
  EXPECT_TRUE(r.begin_array());
}

}  // namespace
}  // namespace talpen::json
