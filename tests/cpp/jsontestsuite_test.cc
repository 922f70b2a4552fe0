// Runs the reader over the JSONTestSuite parsing corpus (kept in the repository
// at tests/data/jsontestsuite, with its licence): every y_ file must be
// accepted and every n_ file refused; i_ files (left to the implementation)
// must keep the outcomes recorded below. A missing corpus fails the tests
// rather than skipping them, so a broken checkout cannot pass unnoticed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "json/reader.h"

namespace talpen::json {
namespace {

namespace fs = std::filesystem;

struct Sample {
  std::string name;
  std::string bytes;
};

std::vector<Sample> load(char prefix) {
  std::vector<Sample> out;
  const fs::path dir(TALPEN_JSONTESTSUITE_DIR);
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return out;  // the callers fail on an empty list
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 2 || name[0] != prefix || name[1] != '_') continue;
    std::ifstream in(entry.path(), std::ios::binary);
    out.push_back({name, std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())});
  }
  std::sort(out.begin(), out.end(), [](const Sample& a, const Sample& b) { return a.name < b.name; });
  return out;
}

#define ASSERT_CORPUS_PRESENT(samples) \
  ASSERT_FALSE((samples).empty()) << "no corpus at " << TALPEN_JSONTESTSUITE_DIR

// Every message the reader can give.
const std::set<std::string> kReaderMessages = {
    "EOF while parsing a list", "EOF while parsing an object", "EOF while parsing a string",
    "EOF while parsing a value", "expected `:`", "expected `,` or `]`", "expected `,` or `}`",
    "expected ident", "expected value", "invalid escape", "invalid number", "number out of range",
    "control character (\\u0000-\\u001F) found while parsing a string", "key must be a string",
    "lone leading surrogate in hex escape", "trailing comma", "trailing characters",
    "unexpected end of hex escape", "recursion limit exceeded"};

TEST(JsonTestSuite, AcceptsEveryYesFile) {
  const auto samples = load('y');
  ASSERT_CORPUS_PRESENT(samples);
  for (const Sample& s : samples) {
    const auto r = parse_json(s.bytes);
    EXPECT_TRUE(r.ok()) << s.name << ": " << (r.ok() ? "" : r.error().located());
  }
}

TEST(JsonTestSuite, RefusesEveryNoFileWithAKnownMessage) {
  const auto samples = load('n');
  ASSERT_CORPUS_PRESENT(samples);
  for (const Sample& s : samples) {
    const auto r = parse_json(s.bytes);
    ASSERT_FALSE(r.ok()) << s.name;
    EXPECT_TRUE(kReaderMessages.count(r.error().message)) << s.name << ": " << r.error().message;
    EXPECT_GE(r.error().line, 1U) << s.name;
  }
}

// The implementation-defined cases: "" for accepted, else the error text.
// Strings are not checked as UTF-8 (the host has done that), so malformed
// UTF-8 and UTF-16 passes through; a byte-order mark is not whitespace;
// unpaired surrogates in \u escapes are refused; numbers too large for a
// double are refused and ones too small read as zero.
const std::map<std::string, std::string> kImplementationDefined = {
    {"i_number_double_huge_neg_exp.json", ""},
    {"i_number_huge_exp.json", "number out of range at line 1 column 136"},
    {"i_number_neg_int_huge_exp.json", "number out of range at line 1 column 9"},
    {"i_number_pos_double_huge_exp.json", "number out of range at line 1 column 10"},
    {"i_number_real_neg_overflow.json", "number out of range at line 1 column 15"},
    {"i_number_real_pos_overflow.json", "number out of range at line 1 column 14"},
    {"i_number_real_underflow.json", ""},
    {"i_number_too_big_neg_int.json", ""},
    {"i_number_too_big_pos_int.json", ""},
    {"i_number_very_big_negative_int.json", ""},
    {"i_object_key_lone_2nd_surrogate.json", "lone leading surrogate in hex escape at line 1 column 8"},
    {"i_string_1st_surrogate_but_2nd_missing.json", "unexpected end of hex escape at line 1 column 9"},
    {"i_string_1st_valid_surrogate_2nd_invalid.json", "lone leading surrogate in hex escape at line 1 column 14"},
    {"i_string_UTF-16LE_with_BOM.json", "expected value at line 1 column 1"},
    {"i_string_UTF-8_invalid_sequence.json", ""},
    {"i_string_UTF8_surrogate_U+D800.json", ""},
    {"i_string_incomplete_surrogate_and_escape_valid.json", "unexpected end of hex escape at line 1 column 10"},
    {"i_string_incomplete_surrogate_pair.json", "lone leading surrogate in hex escape at line 1 column 8"},
    {"i_string_incomplete_surrogates_escape_valid.json",
     "lone leading surrogate in hex escape at line 1 column 14"},
    {"i_string_invalid_lonely_surrogate.json", "unexpected end of hex escape at line 1 column 9"},
    {"i_string_invalid_surrogate.json", "unexpected end of hex escape at line 1 column 9"},
    {"i_string_invalid_utf-8.json", ""},
    {"i_string_inverted_surrogates_U+1D11E.json", "lone leading surrogate in hex escape at line 1 column 8"},
    {"i_string_iso_latin_1.json", ""},
    {"i_string_lone_second_surrogate.json", "lone leading surrogate in hex escape at line 1 column 8"},
    {"i_string_lone_utf8_continuation_byte.json", ""},
    {"i_string_not_in_unicode_range.json", ""},
    {"i_string_overlong_sequence_2_bytes.json", ""},
    {"i_string_overlong_sequence_6_bytes.json", ""},
    {"i_string_overlong_sequence_6_bytes_null.json", ""},
    {"i_string_truncated-utf-8.json", ""},
    {"i_string_utf16BE_no_BOM.json", "expected value at line 1 column 1"},
    {"i_string_utf16LE_no_BOM.json", "expected value at line 1 column 2"},
    {"i_structure_500_nested_arrays.json", "recursion limit exceeded at line 1 column 128"},
    {"i_structure_UTF-8_BOM_empty_object.json", "expected value at line 1 column 1"},
};

TEST(JsonTestSuite, ImplementationDefinedFilesKeepTheirOutcome) {
  const auto samples = load('i');
  ASSERT_CORPUS_PRESENT(samples);
  EXPECT_EQ(samples.size(), kImplementationDefined.size());
  for (const Sample& s : samples) {
    const auto it = kImplementationDefined.find(s.name);
    ASSERT_NE(it, kImplementationDefined.end()) << "no recorded outcome for " << s.name;
    const auto r = parse_json(s.bytes);
    EXPECT_EQ(r.ok() ? std::string() : r.error().located(), it->second) << s.name;
  }
}

}  // namespace
}  // namespace talpen::json
