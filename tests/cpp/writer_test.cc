#include "json/writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace talpen::json {
namespace {

using namespace std::string_literals;

struct StringCase {
  std::string in;
  std::string out;
};

class WriteString : public ::testing::TestWithParam<StringCase> {};

TEST_P(WriteString, EscapesByTheTable) {
  JsonWriter w;
  w.write_string(GetParam().in);
  EXPECT_EQ(w.view(), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, WriteString,
    ::testing::Values(StringCase{"", R"("")"}, StringCase{"plain", R"("plain")"},
                      StringCase{"\"\\\t\x01", R"("\"\\\t\u0001")"},
                      StringCase{"\0"s, R"("\u0000")"},
                      // Unescaped runs between escapes keep their bytes and order.
                      StringCase{"ab\"cd\\ef\ngh", R"("ab\"cd\\ef\ngh")"}));

INSTANTIATE_TEST_SUITE_P(
    Unchanged, WriteString,
    ::testing::Values(StringCase{"a/b", "\"a/b\""}, StringCase{"\x7f", "\"\x7f\""},
                      StringCase{"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},
                      // Not valid UTF-8: still copied byte for byte.
                      StringCase{"\xff\xfe\x80", "\"\xff\xfe\x80\""}));

TEST(WriteString, EveryByteValue) {
  for (int c = 0; c < 256; ++c) {
    JsonWriter w;
    w.write_string(std::string(1, static_cast<char>(c)));
    std::string expected;
    switch (c) {
      case '"': expected = R"(\")"; break;
      case '\\': expected = R"(\\)"; break;
      case '\b': expected = R"(\b)"; break;
      case '\t': expected = R"(\t)"; break;
      case '\n': expected = R"(\n)"; break;
      case '\f': expected = R"(\f)"; break;
      case '\r': expected = R"(\r)"; break;
      default: {
        if (c < 0x20) {
          static const char hex[] = "0123456789abcdef";
          expected = "\\u00"s + hex[c >> 4] + hex[c & 15];
        } else {
          expected = std::string(1, static_cast<char>(c));
        }
      }
    }
    EXPECT_EQ(w.view(), "\"" + expected + "\"") << "byte " << c;
  }
}

// An empty view may have a null data pointer, and a moved-from writer has a
// null buffer: neither may reach memcpy (the sanitizer build aborts on it).
TEST(WriteString, NullEmptyViews) {
  JsonWriter w;
  w.write_string(std::string_view());
  w.write_key(std::string_view());
  EXPECT_EQ(w.view(), "\"\"\"\":");
  JsonWriter moved(std::move(w));
  w.put(std::string_view());
  EXPECT_EQ(w.size(), 0u);
  w.write_string(std::string_view());
  EXPECT_EQ(w.view(), "\"\"");
}

// A long string of nothing but escapes grows the buffer well past what the
// first reservation covered.
TEST(WriteString, LongEscapedStringGrowsTheBuffer) {
  std::string in, out = "\"";
  for (int i = 0; i < 20000; ++i) {
    in += (i % 3 == 0) ? '\x01' : (i % 3 == 1) ? '"' : 'x';
    out += (i % 3 == 0) ? "\\u0001" : (i % 3 == 1) ? "\\\"" : "x";
  }
  out += '"';
  JsonWriter w;
  w.put('[');
  w.write_string(in);
  EXPECT_EQ(w.view(), "[" + out);
}

TEST(WriteInteger, SignedAndUnsignedRanges) {
  struct {
    int64_t v;
    const char* text;
  } signed_cases[] = {{0, "0"},
                      {1700000000000, "1700000000000"},
                      {std::numeric_limits<int64_t>::max(), "9223372036854775807"},
                      {std::numeric_limits<int64_t>::min(), "-9223372036854775808"}};
  for (const auto& c : signed_cases) {
    JsonWriter w;
    w.write_i64(c.v);
    EXPECT_EQ(w.view(), c.text);
  }
  struct {
    uint64_t v;
    const char* text;
  } unsigned_cases[] = {{0, "0"},
                        {std::numeric_limits<uint64_t>::max(), "18446744073709551615"}};
  for (const auto& c : unsigned_cases) {
    JsonWriter w;
    w.write_u64(c.v);
    EXPECT_EQ(w.view(), c.text);
  }
}

// Every digit count, at the edges where the pairs and the odd leading digit
// meet, and every bit length, from which the digit count is worked out.
TEST(WriteInteger, PowersOfTenAndNeighbours) {
  std::vector<uint64_t> edges;
  uint64_t p = 1;
  for (int k = 0; k < 20; ++k, p *= 10) edges.push_back(p);
  for (int k = 0; k < 64; ++k) edges.push_back(uint64_t{1} << k);
  for (uint64_t edge : edges) {
    for (uint64_t u : {edge - 1, edge, edge + 1}) {
      JsonWriter w;
      w.write_u64(u);
      EXPECT_EQ(w.view(), std::to_string(u));
      if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        JsonWriter s;
        s.write_i64(-static_cast<int64_t>(u));
        EXPECT_EQ(s.view(), std::to_string(-static_cast<int64_t>(u)));
      }
    }
  }
}

TEST(WriteF64, NonFiniteIsNullFiniteIsShortestText) {
  JsonWriter w;
  w.put('[');
  const double values[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(), 1.0, -0.0, 0.1 + 0.2, 1e16, 5e-324,
                           100.12345678};
  bool first = true;
  for (double v : values) {
    if (!first) w.put(',');
    first = false;
    w.write_f64(v);
  }
  w.put(']');
  EXPECT_EQ(w.view(), "[null,null,null,1.0,-0.0,0.30000000000000004,1e+16,5e-324,100.12345678]");
}

// Every written double reads back as the same bits.
TEST(WriteF64, RoundTripsThroughStrtod) {
  JsonWriter w;
  uint64_t state = 0x9E3779B97F4A7C15u;
  for (int i = 0; i < 100000; ++i) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    const double v = std::bit_cast<double>(state);
    if (!std::isfinite(v)) continue;
    const size_t start = w.size();
    w.write_f64(v);
    const std::string text(w.data() + start, w.size() - start);
    EXPECT_EQ(std::bit_cast<uint64_t>(std::strtod(text.c_str(), nullptr)), std::bit_cast<uint64_t>(v)) << text;
    w.put(',');
  }
}

TEST(Objects, CommasBetweenMembersAndFreshNestedState) {
  JsonWriter w;
  w.begin_object();
  w.write_key("a");
  w.write_i64(1);
  w.write_key("candles");
  w.put('[');
  for (int i = 0; i < 2; ++i) {
    if (i) w.put(',');
    w.begin_object();  // a record inside an array: its first member has no comma
    w.write_key("ts");
    w.write_i64(i);
    w.write_key("o");
    w.write_f64(1.5);
    w.end_object();
  }
  w.put(']');
  w.write_key("inner");
  w.begin_object();
  w.end_object();
  w.write_key("k\"q");
  w.write_string("v");
  w.end_object();
  EXPECT_EQ(w.view(), R"({"a":1,"candles":[{"ts":0,"o":1.5},{"ts":1,"o":1.5}],"inner":{},"k\"q":"v"})");
}

// Nesting deeper than the 64 bits of inline state still restores each outer
// object's state on the way out.
TEST(Objects, DeepNestingKeepsEveryLevelsState) {
  constexpr int kDepth = 150;
  JsonWriter w;
  std::string expected;
  for (int i = 0; i < kDepth; ++i) {
    w.begin_object();
    w.write_key("a");
    w.write_i64(i);
    w.write_key("n");
    expected += "{\"a\":" + std::to_string(i) + ",\"n\":";
  }
  w.begin_object();
  w.end_object();
  expected += "{}";
  for (int i = kDepth - 1; i >= 0; --i) {
    w.write_key("z");
    w.write_u64(i);
    w.end_object();
    expected += ",\"z\":" + std::to_string(i) + "}";
  }
  EXPECT_EQ(w.view(), expected);
}

TEST(Buffer, GrowsFromInitialCapacityAndKeepsContents) {
  JsonWriter w;
  std::string expected;
  for (int i = 0; i < 200000; ++i) {
    w.write_i64(i);
    w.put(',');
    expected += std::to_string(i) + ",";
  }
  EXPECT_EQ(w.view(), expected);
}

// Past a few megabytes the buffer moves to a mapping of its own and then
// grows by moving pages: the text written before each move must survive it,
// and moving or freeing such a writer must release the right kind of block.
TEST(Buffer, LargeBuffersKeepContentsAcrossEveryGrowth) {
  JsonWriter w;
  std::string expected;
  std::string chunk;
  for (int i = 0; i < 1000; ++i) chunk += static_cast<char>('a' + i % 26);
  for (int i = 0; i < 40000; ++i) {  // 40 MB, several growths past the switch
    w.put(chunk);
    w.write_u64(static_cast<uint64_t>(i));
    expected += chunk;
    expected += std::to_string(i);
  }
  ASSERT_EQ(w.size(), expected.size());
  EXPECT_TRUE(w.view() == expected);
  JsonWriter moved(std::move(w));
  EXPECT_TRUE(moved.view() == expected);
  JsonWriter other;
  other.put("small");
  other = std::move(moved);
  EXPECT_EQ(other.size(), expected.size());
  other.clear_and_free();
  other.put("again");
  EXPECT_EQ(other.view(), "again");
}

TEST(Buffer, MoveAndClearLeaveUsableWriters) {
  JsonWriter a;
  a.write_string("x");
  JsonWriter b(std::move(a));
  EXPECT_EQ(b.view(), "\"x\"");
  EXPECT_EQ(a.size(), 0u);
  a.put("again");  // a moved-from writer allocates afresh
  EXPECT_EQ(a.view(), "again");
  b = std::move(a);
  EXPECT_EQ(b.view(), "again");
  b.clear_and_free();
  EXPECT_EQ(b.size(), 0u);
  b.begin_object();
  b.write_key("k");
  b.write_u64(1);
  b.end_object();
  EXPECT_EQ(b.view(), R"({"k":1})");
}

TEST(Buffer, ImpossibleReservationThrowsBadAlloc) {
  JsonWriter w;
  w.put("kept");
  EXPECT_THROW(w.reserve_more(std::numeric_limits<size_t>::max()), std::bad_alloc);
  EXPECT_EQ(w.view(), "kept");
}

}  // namespace
}  // namespace talpen::json
