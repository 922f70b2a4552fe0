// Failures of spec decoding, each document read both ways: straight from the
// text (message and position) and through parse_json + decode_spec_value
// (message only). A '|' in a case's text marks the expected error position:
// it is removed before decoding, and the position is the number of bytes
// before it.
#include "core/decode_text.h"

#include <gtest/gtest.h>

#include <string>

#include "core/decode_value.h"
#include "base/error.h"
#include "json/reader.h"

namespace talpen {
namespace {

// The value path never sees the document: parse_json refuses it.
constexpr const char* kNotJson = "<not json>";
// The value path accepts the document.
constexpr const char* kAccepted = "<accepted>";

struct Case {
  const char* name;
  const char* text;  // with one '|' at the error position
  const char* text_error;
  const char* value_error;  // or kNotJson / kAccepted; nullptr: the same as text_error
};

#define GENSPEC_KEYS \
  "expected one of `seed`, `bars`, `start_price`, `start_ts`, `bar_secs`, `regimes`, `microstructure`"
#define REGIME_KEYS "expected one of `kind`, `len`, `drift`, `vol`"
#define VARIANTS "expected one of `trend`, `range`, `crash`, `vol`"
#define R R"({"kind":"trend","len":2,"drift":0,"vol":0.1})"
#define M R"({"book_depth":1,"spread_bps":1,"trade_rate":1})"

const Case kCases[] = {
    // The document as a whole.
    {"empty", "|", "EOF while parsing a value", kNotJson},
    {"whitespace_only", " \n |", "EOF while parsing a value", kNotJson},
    {"integer", "5|", "invalid type: integer `5`, expected struct GenSpec", nullptr},
    {"string", R"("x"|)", R"(invalid type: string "x", expected struct GenSpec)", nullptr},
    {"float", "-1.5|", "invalid type: floating point `-1.5`, expected struct GenSpec", nullptr},
    {"bad_literal", "nul|", "EOF while parsing a value", kNotJson},
    {"bad_first_byte", "+|1", "expected value", kNotJson},
    {"trailing_characters",
     R"({"seed":1,"bars":2,"start_price":100,"regimes":[)" R R"(],"microstructure":)" M "} \n x|",
     "trailing characters", kNotJson},
    {"eof_after_value", R"({"seed":1|)", "EOF while parsing an object", kNotJson},
    {"eof_after_colon", R"({"seed":|)", "EOF while parsing a value", kNotJson},
    {"missing_comma", R"({"seed":1 "|bars":2})", "expected `,` or `}`", kNotJson},
    {"trailing_comma", R"({"seed":1,}|)", "trailing comma", kNotJson},
    {"unquoted_key", R"({s|eed:1})", "key must be a string", kNotJson},

    // Object form: keys.
    {"empty_object", "{ }|", "missing field `seed`", "missing field `seed`"},
    {"only_seed", R"({"seed":1}|)", "missing field `bars`", "missing field `bars`"},
    {"missing_in_key_list_order", R"({"bars":1,"start_price":1}|)", "missing field `seed`",
     "missing field `seed`"},
    {"missing_regimes", R"({"seed":1,"bars":2,"start_price":1,"microstructure":)" M "}|",
     "missing field `regimes`", "missing field `regimes`"},
    {"unknown_field", R"({"seed":1,"sed"|:2})", "unknown field `sed`, " GENSPEC_KEYS,
     "unknown field `sed`, " GENSPEC_KEYS},
    {"unknown_field_before_missing", "{\"zz\" \t|: 1}", "unknown field `zz`, " GENSPEC_KEYS,
     "unknown field `zz`, " GENSPEC_KEYS},
    {"unknown_field_decoded_verbatim", R"({"a\"b"|:1})", "unknown field `a\"b`, " GENSPEC_KEYS,
     "unknown field `a\"b`, " GENSPEC_KEYS},
    {"escaped_key_matches", R"({"se\u0065d":-1|})", "invalid value: integer `-1`, expected u64",
     "invalid value: integer `-1`, expected u64"},
    {"duplicate_field", R"({"seed":1,"seed" |:2})", "duplicate field `seed`", "missing field `bars`"},
    {"duplicate_funding_null",
     R"({"microstructure":{"funding":null,"funding"|:null}})", "duplicate field `funding`",
     "missing field `book_depth`"},
    // Text order against the value's sorted key order.
    {"text_order_vs_sorted", R"({"seed":-1|,"bars":"x"})", "invalid value: integer `-1`, expected u64",
     R"(invalid type: string "x", expected usize)"},
    {"unknown_field_sorted_first", R"({"seed":-1|,"aaa":1})", "invalid value: integer `-1`, expected u64",
     "unknown field `aaa`, " GENSPEC_KEYS},
    {"multi_line_position", "{\n  \"seed\": -1|\n}", "invalid value: integer `-1`, expected u64",
     "invalid value: integer `-1`, expected u64"},

    // Number fields.
    {"seed_negative_zero", R"({"seed":-0|})", "invalid type: floating point `-0.0`, expected u64",
     "invalid type: floating point `-0.0`, expected u64"},
    {"seed_exponent", R"({"seed":1e1|})", "invalid type: floating point `10.0`, expected u64",
     "invalid type: floating point `10.0`, expected u64"},
    {"seed_2_pow_64", R"({"seed":18446744073709551616|})",
     "invalid type: floating point `1.8446744073709552e+19`, expected u64",
     "invalid type: floating point `1.8446744073709552e+19`, expected u64"},
    {"seed_string", R"({"seed":"1"|})", R"(invalid type: string "1", expected u64)",
     R"(invalid type: string "1", expected u64)"},
    {"seed_sequence", R"({"seed":|[1]})", "invalid type: sequence, expected u64",
     "invalid type: sequence, expected u64"},
    {"seed_map_after_space", R"({"seed": |{"a":1}})", "invalid type: map, expected u64",
     "invalid type: map, expected u64"},
    {"seed_boolean", R"({"seed":true|})", "invalid type: boolean `true`, expected u64",
     "invalid type: boolean `true`, expected u64"},
    {"seed_bad_literal", R"({"seed":nul}|)", "expected ident", kNotJson},
    {"seed_bad_byte", R"({"seed":x|})", "expected value", kNotJson},
    {"bars_float", R"({"seed":1,"bars":10.0|})", "invalid type: floating point `10.0`, expected usize",
     "invalid type: floating point `10.0`, expected usize"},
    {"bars_i64_min", R"({"seed":1,"bars":-9223372036854775808|})",
     "invalid value: integer `-9223372036854775808`, expected usize",
     "invalid value: integer `-9223372036854775808`, expected usize"},
    {"start_ts_null", R"({"start_ts":null|})", "invalid type: null, expected i64",
     "invalid type: null, expected i64"},
    {"start_ts_below_i64", R"({"start_ts":-9223372036854775809|})",
     "invalid type: floating point `-9.223372036854776e+18`, expected i64",
     "invalid type: floating point `-9.223372036854776e+18`, expected i64"},
    {"start_ts_fraction", R"({"start_ts":1.5|})", "invalid type: floating point `1.5`, expected i64",
     "invalid type: floating point `1.5`, expected i64"},
    {"bar_secs_2_pow_63", R"({"bar_secs":9223372036854775808|})",
     "invalid value: integer `9223372036854775808`, expected i64",
     "invalid value: integer `9223372036854775808`, expected i64"},
    {"start_price_string", R"({"start_price":"100"|})", R"(invalid type: string "100", expected f64)",
     R"(invalid type: string "100", expected f64)"},
    {"start_price_out_of_range", R"({"start_price":1e400|})", "number out of range", kNotJson},
    {"string_named_escaped",
     R"({"seed":"q\"b\\s\tt\nn\rr\u0000z\u0001\u007f\u0085\u2028é"|})",
     R"(invalid type: string "q\"b\\s\tt\nn\rr\0z\u{1}\u{7f}\u{85}\u{2028}é", expected u64)",
     R"(invalid type: string "q\"b\\s\tt\nn\rr\0z\u{1}\u{7f}\u{85}\u{2028}é", expected u64)"},

    // The regime list and regimes.
    {"regimes_object", R"({"regimes":|{}})", "invalid type: map, expected a sequence",
     "invalid type: map, expected a sequence"},
    {"regimes_integer", R"({"regimes":5|})", "invalid type: integer `5`, expected a sequence",
     "invalid type: integer `5`, expected a sequence"},
    {"regime_integer", R"({"regimes":[5|]})", "invalid type: integer `5`, expected struct Regime",
     "invalid type: integer `5`, expected struct Regime"},
    {"second_regime_string", R"({"regimes":[)" R R"(,"x"|]})",
     R"(invalid type: string "x", expected struct Regime)",
     R"(invalid type: string "x", expected struct Regime)"},
    {"regimes_trailing_comma", R"({"regimes":[)" R ",]|", "trailing comma", kNotJson},
    {"regimes_unclosed", R"({"regimes":[)" R "}|", "expected `,` or `]`", kNotJson},
    {"regime_unknown_field", R"({"regimes":[{"knd"|:"trend"}]})", "unknown field `knd`, " REGIME_KEYS,
     "unknown field `knd`, " REGIME_KEYS},
    {"regime_missing_len", R"({"regimes":[{"kind":"trend"}|]})", "missing field `len`",
     "missing field `len`"},
    {"regime_missing_kind", R"({"regimes":[{"len":1,"drift":0,"vol":0}|]})", "missing field `kind`",
     "missing field `kind`"},
    {"regime_drift_string", R"({"regimes":[{"drift":"x"|}]})", R"(invalid type: string "x", expected f64)",
     R"(invalid type: string "x", expected f64)"},
    {"regime_array_short", R"({"regimes":[["trend",1]|]})",
     "invalid length 2, expected struct Regime with 4 elements",
     "invalid length 2, expected struct Regime with 4 elements"},
    {"regime_array_long", R"({"regimes":[["trend",1,0,0,9|]]})", "trailing characters",
     "invalid length 5, expected fewer elements in array"},

    // Regime kinds.
    {"kind_wrong_case", R"({"regimes":[{"kind":"Trend"|}]})", "unknown variant `Trend`, " VARIANTS,
     "unknown variant `Trend`, " VARIANTS},
    {"kind_decoded_verbatim", R"({"regimes":[{"kind":"a\"b"|}]})", "unknown variant `a\"b`, " VARIANTS,
     "unknown variant `a\"b`, " VARIANTS},
    {"kind_escaped_name", R"({"regimes":[{"kind":"tr\u0065nd"}|]})", "missing field `len`",
     "missing field `len`"},
    {"kind_integer", R"({"regimes":[{"kind":5|}]})", "expected value",
     "invalid type: integer `5`, expected string or map"},
    {"kind_null", R"({"regimes":[{"kind":n|ull}]})", "expected value",
     "invalid type: null, expected string or map"},
    {"kind_sequence", R"({"regimes":[{"kind":[|"trend"]}]})", "expected value",
     "invalid type: sequence, expected string or map"},
    {"kind_empty_map", R"({"regimes":[{"kind":{ }|}]})", "expected value",
     "invalid value: map, expected map with a single key"},
    {"kind_two_members", R"({"regimes":[{"kind":{"trend":null,|"range":null}}]})", "expected value",
     "invalid value: map, expected map with a single key"},
    {"kind_unit_integer", R"({"regimes":[{"kind":{"trend":1|}}]})",
     "invalid type: integer `1`, expected unit", "invalid type: integer `1`, expected unit"},
    {"kind_unit_string", R"({"regimes":[{"kind":{"trend":"x"|}}]})",
     R"(invalid type: string "x", expected unit)", R"(invalid type: string "x", expected unit)"},
    {"kind_unit_sequence", R"({"regimes":[{"kind":{"trend": |[]}}]})",
     "invalid type: sequence, expected unit", "invalid type: sequence, expected unit"},
    {"kind_map_name_before_unit", R"({"regimes":[{"kind":{"Trend"|:1}}]})",
     "unknown variant `Trend`, " VARIANTS, "unknown variant `Trend`, " VARIANTS},
    {"kind_map_key_not_string", R"({"regimes":[{"kind":{1|:null}}]})", "key must be a string", kNotJson},
    {"kind_map_no_colon", R"({"regimes":[{"kind":{"trend" n|ull}}]})", "expected `:`", kNotJson},
    {"kind_map_bad_null", R"({"regimes":[{"kind":{"trend":ni|l}}]})", "expected ident", kNotJson},
    {"kind_map_trailing_comma", R"({"regimes":[{"kind":{"trend":null,|}}]})", "expected value",
     kNotJson},
    {"kind_eof_value", R"({"regimes":[{"kind":|)", "EOF while parsing a value", kNotJson},
    {"kind_eof_in_map", R"({"regimes":[{"kind":{ |)", "EOF while parsing an object", kNotJson},
    {"kind_eof_after_name", R"({"regimes":[{"kind":{"trend"|)", "EOF while parsing an object", kNotJson},
    {"kind_eof_after_colon", R"({"regimes":[{"kind":{"trend":|)", "EOF while parsing a value", kNotJson},
    {"kind_eof_after_unit", R"({"regimes":[{"kind":{"trend":null |)", "EOF while parsing an object",
     kNotJson},

    // Microstructure and funding.
    {"microstructure_integer", R"({"microstructure":5|})",
     "invalid type: integer `5`, expected struct Microstructure",
     "invalid type: integer `5`, expected struct Microstructure"},
    {"microstructure_unknown_field", R"({"microstructure":{"depth"|:1}})",
     "unknown field `depth`, expected one of `book_depth`, `spread_bps`, `trade_rate`, `funding`",
     "unknown field `depth`, expected one of `book_depth`, `spread_bps`, `trade_rate`, `funding`"},
    {"microstructure_missing_field", R"({"microstructure":{"book_depth":1,"trade_rate":1}|})",
     "missing field `spread_bps`", "missing field `spread_bps`"},
    {"microstructure_array_short", R"({"microstructure":[1,2]|})",
     "invalid length 2, expected struct Microstructure with 4 elements",
     "invalid length 2, expected struct Microstructure with 4 elements"},
    {"microstructure_array_long", R"({"microstructure":[1,2,3,null,5|]})", "trailing characters",
     "invalid length 5, expected fewer elements in array"},
    {"microstructure_array_trailing_comma", R"({"microstructure":[1,2,3,]|})", "trailing comma",
     kNotJson},
    {"funding_empty_map", R"({"microstructure":{"funding":{}|}})", "missing field `interval_bars`",
     "missing field `interval_bars`"},
    {"funding_bad_null", R"({"microstructure":{"funding":nul}|})", "expected ident", kNotJson},
    {"funding_boolean", R"({"microstructure":{"funding":true|}})",
     "invalid type: boolean `true`, expected struct FundingSpec",
     "invalid type: boolean `true`, expected struct FundingSpec"},
    {"funding_unknown_field", R"({"microstructure":{"funding":{"rate"|:1}}})",
     "unknown field `rate`, expected one of `interval_bars`, `base_rate`, `sensitivity`",
     "unknown field `rate`, expected one of `interval_bars`, `base_rate`, `sensitivity`"},
    {"funding_array_empty", R"({"microstructure":{"funding":[]|}})",
     "invalid length 0, expected struct FundingSpec with 3 elements",
     "invalid length 0, expected struct FundingSpec with 3 elements"},
    {"funding_array_long", R"({"microstructure":{"funding":[1,2,3, 4|]}})", "trailing characters",
     "invalid length 4, expected fewer elements in array"},

    // GenSpec array form.
    {"array_empty", "[ ]|", "invalid length 0, expected struct GenSpec with 7 elements",
     "invalid length 0, expected struct GenSpec with 7 elements"},
    {"array_three", "[1,2,3]|", "invalid length 5, expected struct GenSpec with 7 elements",
     "invalid length 5, expected struct GenSpec with 7 elements"},
    {"array_six", "[1,2,3,4,5,[]]|", "invalid length 6, expected struct GenSpec with 7 elements",
     "invalid length 6, expected struct GenSpec with 7 elements"},
    {"array_eight", "[1,2,100,0,1,[" R "]," M ",8|]", "trailing characters",
     "invalid length 8, expected fewer elements in array"},
    {"array_seven_then_comma", "[1,2,100,0,1,[" R "]," M ",|", "trailing characters", kNotJson},
    {"array_seven_then_trailing_comma", "[1,2,100,0,1,[" R "]," M ",]|", "trailing comma", kNotJson},
    {"array_unclosed", "[1,2,100,0,1,[" R "]," M "|", "EOF while parsing a list", kNotJson},
    {"array_bad_field", "[1,-2|]", "invalid value: integer `-2`, expected usize",
     "invalid value: integer `-2`, expected usize"},
};

#undef GENSPEC_KEYS
#undef REGIME_KEYS
#undef VARIANTS
#undef R
#undef M

class DecodeFailureTest : public ::testing::TestWithParam<Case> {};

TEST_P(DecodeFailureTest, TextPathMessageAndPosition) {
  const std::string marked = GetParam().text;
  const size_t p = marked.find('|');
  ASSERT_NE(p, std::string::npos);
  std::string text = marked;
  text.erase(p, 1);
  const auto got = decode_spec_text(text);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().located(),
            error_at(ErrorKind::Parse, text, p, GetParam().text_error).located());
}

TEST_P(DecodeFailureTest, ValuePathMessage) {
  std::string text = GetParam().text;
  text.erase(text.find('|'), 1);
  const auto parsed = json::parse_json(text);
  const std::string expected =
      GetParam().value_error != nullptr ? GetParam().value_error : GetParam().text_error;
  if (expected == kNotJson) {
    EXPECT_FALSE(parsed.ok());
    return;
  }
  ASSERT_TRUE(parsed.ok()) << parsed.error().located();
  const auto got = decode_spec_value(parsed.value());
  if (expected == kAccepted) {
    EXPECT_TRUE(got.ok());
    return;
  }
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().line, 0u);
  EXPECT_EQ(got.error().located(), expected);
}

INSTANTIATE_TEST_SUITE_P(Messages, DecodeFailureTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Regime lists nest below the budget, but the text path still spends and
// returns a level per bracket: a long list of kind objects must not run out.
TEST(DecodeTextTest, NestingLevelsAreReturned) {
  std::string regimes;
  for (int i = 0; i < 300; ++i) {
    if (i != 0) regimes += ',';
    regimes += R"([{"vol":null},1,0,0])";
  }
  const std::string text = R"({"seed":1,"bars":300,"start_price":1,"regimes":[)" + regimes +
                           R"(],"microstructure":[1,0,0,[1,0,0]]})";
  const auto got = decode_spec_text(text);
  ASSERT_TRUE(got.ok()) << got.error().located();
  EXPECT_EQ(got.value().regimes.size(), 300u);
  EXPECT_EQ(got.value().regimes[299].kind, RegimeKind::Vol);
}

}  // namespace
}  // namespace talpen
