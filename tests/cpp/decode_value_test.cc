// Documents that decode: each is read both ways (straight from the text, and
// through parse_json + decode_spec_value) and must give the same records.
#include "core/decode_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "core/decode_text.h"
#include "base/error.h"
#include "json/reader.h"

namespace talpen {
namespace {

using json::JsonValue;

#define R R"({"kind":"trend","len":2,"drift":0,"vol":0.1})"
#define M R"({"book_depth":1,"spread_bps":1,"trade_rate":1})"
#define HEAD R"("seed":1,"bars":2,"start_price":100,)"

// The spec that `HEAD "regimes":[R],"microstructure":M` describes.
GenSpec base_spec() {
  GenSpec s;
  s.seed = 1;
  s.bars = 2;
  s.start_price = 100.0;
  s.regimes = {{RegimeKind::Trend, 2, 0.0, 0.1}};
  s.microstructure = {1, 1.0, 1.0, std::nullopt};
  return s;
}

struct Accepted {
  const char* name;
  const char* text;
  std::function<void(GenSpec&)> edit;  // applied to base_spec()
};

const Accepted kAccepted[] = {
    {"defaults", "{" HEAD R"("regimes":[)" R R"(],"microstructure":)" M "}",
     [](GenSpec& s) {
       EXPECT_EQ(s.start_ts, 1700000000);
       EXPECT_EQ(s.bar_secs, 3600);
     }},
    {"any_key_order_and_whitespace",
     " \t\r\n{ \"microstructure\" :" M " , \"regimes\" : [ " R " ] ,\"start_price\":100,"
     "\"bars\":2 ,\"seed\":1 }\n ",
     [](GenSpec&) {}},
    {"array_form", "[1,2,100,1700000000,3600,[[\"trend\",2,0,0.1]],[1,1,1]]", [](GenSpec&) {}},
    {"mixed_forms", "[1,2,100,1700000000,3600,[" R "],{\"book_depth\":1,\"spread_bps\":1,\"trade_rate\":1}]",
     [](GenSpec&) {}},
    {"integer_limits",
     R"({"seed":18446744073709551615,"bars":2,"start_price":100,"start_ts":-9223372036854775808,)"
     R"("bar_secs":9223372036854775807,"regimes":[)" R R"(],"microstructure":)" M "}",
     [](GenSpec& s) {
       s.seed = std::numeric_limits<uint64_t>::max();
       s.start_ts = std::numeric_limits<int64_t>::min();
       s.bar_secs = std::numeric_limits<int64_t>::max();
     }},
    {"doubles_from_integers",
     R"({"seed":1,"bars":2,"start_price":18446744073709551615,"regimes":[{"kind":"trend","len":2,)"
     R"("drift":-9223372036854775808,"vol":0.1}],"microstructure":)" M "}",
     [](GenSpec& s) {
       s.start_price = 18446744073709551616.0;
       s.regimes[0].drift = -9223372036854775808.0;
     }},
    {"negative_zero_price", R"({"seed":1,"bars":2,"start_price":-0,"regimes":[)" R R"(],"microstructure":)" M
                            "}",
     [](GenSpec& s) {
       s.start_price = -0.0;
       EXPECT_TRUE(std::signbit(s.start_price));
     }},
    {"empty_regime_list", "{" HEAD R"("regimes":[],"microstructure":)" M "}",
     [](GenSpec& s) { s.regimes.clear(); }},
    {"kinds_every_form",
     "{" HEAD R"("regimes":[{"kind":"range","len":1,"drift":0,"vol":0},)"
     R"({"kind":{"crash":null},"len":1,"drift":0,"vol":0},)"
     R"({"kind": { "vol" : null } ,"len":1,"drift":0,"vol":0},)"
     R"(["tr\u0065nd",1,0,0]],"microstructure":)" M "}",
     [](GenSpec& s) {
       s.regimes = {{RegimeKind::Range, 1, 0, 0},
                    {RegimeKind::Crash, 1, 0, 0},
                    {RegimeKind::Vol, 1, 0, 0},
                    {RegimeKind::Trend, 1, 0, 0}};
     }},
    {"funding_null", "{" HEAD R"("regimes":[)" R R"(],"microstructure":{"book_depth":1,"spread_bps":1,)"
                     R"("trade_rate":1,"funding":null}})",
     [](GenSpec&) {}},
    {"microstructure_three_elements", "{" HEAD R"("regimes":[)" R R"(],"microstructure":[1,1,1]})",
     [](GenSpec&) {}},
    {"microstructure_funding_null_element", "{" HEAD R"("regimes":[)" R R"(],"microstructure":[1,1,1,null]})",
     [](GenSpec&) {}},
    {"funding_object",
     "{" HEAD R"("regimes":[)" R R"(],"microstructure":{"book_depth":1,"spread_bps":1,"trade_rate":1,)"
     R"("funding":{"sensitivity":-2,"interval_bars":8,"base_rate":0.5}}})",
     [](GenSpec& s) { s.microstructure.funding = FundingSpec{8, 0.5, -2.0}; }},
    {"funding_array", "{" HEAD R"("regimes":[)" R R"(],"microstructure":[1,1,1,[8,0.5,-2]]})",
     [](GenSpec& s) { s.microstructure.funding = FundingSpec{8, 0.5, -2.0}; }},
};

#undef R
#undef M
#undef HEAD

class DecodeAcceptedTest : public ::testing::TestWithParam<Accepted> {
 protected:
  GenSpec expected() const {
    GenSpec s = base_spec();
    GetParam().edit(s);
    return s;
  }
};

TEST_P(DecodeAcceptedTest, ValuePath) {
  const auto parsed = json::parse_json(GetParam().text);
  ASSERT_TRUE(parsed.ok()) << parsed.error().located();
  const auto got = decode_spec_value(parsed.value());
  ASSERT_TRUE(got.ok()) << got.error().located();
  EXPECT_TRUE(got.value() == expected());
}

TEST_P(DecodeAcceptedTest, TextPath) {
  const auto got = decode_spec_text(GetParam().text);
  ASSERT_TRUE(got.ok()) << got.error().located();
  EXPECT_TRUE(got.value() == expected());
}

INSTANTIATE_TEST_SUITE_P(Documents, DecodeAcceptedTest, ::testing::ValuesIn(kAccepted),
                         [](const auto& info) { return std::string(info.param.name); });

// A command's spec has already lost its repeated keys: the last one counts,
// where the text path refuses the document outright.
TEST(DecodeValueTest, RepeatedKeyLastWins) {
  const std::string text =
      R"({"seed":-1,"bars":2,"start_price":100,"regimes":[{"kind":"trend","len":2,"drift":0,"vol":0}],)"
      R"("microstructure":{"book_depth":1,"spread_bps":1,"trade_rate":1},"seed":2})";
  const auto parsed = json::parse_json(text);
  ASSERT_TRUE(parsed.ok());
  const auto got = decode_spec_value(parsed.value());
  ASSERT_TRUE(got.ok()) << got.error().located();
  EXPECT_EQ(got.value().seed, 2u);

  const auto from_text = decode_spec_text(text);
  ASSERT_FALSE(from_text.ok());
  EXPECT_EQ(from_text.error().located(),
            "invalid value: integer `-1`, expected u64 at line 1 column 10");
}

// Values built in code rather than parsed: members given out of order are
// still met in sorted order, so `bars` (sorted before `seed`) is reported.
TEST(DecodeValueTest, BuiltValueMembersInSortedOrder) {
  std::vector<JsonValue::Member> members;
  members.push_back({"seed", JsonValue::negative_integer(-1)});
  members.push_back({"bars", JsonValue::string("x")});
  const auto got = decode_spec_value(JsonValue::object(std::move(members)));
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().line, 0u);
  EXPECT_EQ(got.error().located(), R"(invalid type: string "x", expected usize)");
}

TEST(DecodeValueTest, KindMemberCountBeforeName) {
  std::vector<JsonValue::Member> kind;
  kind.push_back({"Bogus", JsonValue::null()});
  kind.push_back({"trend", JsonValue::null()});
  std::vector<JsonValue::Member> regime;
  regime.push_back({"kind", JsonValue::object(std::move(kind))});
  std::vector<JsonValue> regimes;
  regimes.push_back(JsonValue::object(std::move(regime)));
  std::vector<JsonValue::Member> spec;
  spec.push_back({"regimes", JsonValue::array(std::move(regimes))});
  const auto got = decode_spec_value(JsonValue::object(std::move(spec)));
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().message, "invalid value: map, expected map with a single key");
}

}  // namespace
}  // namespace talpen
