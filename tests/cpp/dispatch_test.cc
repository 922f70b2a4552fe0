#include "protocol/dispatch.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "protocol/spec_reading.h"
#include "protocol/version.h"

namespace talpen::protocol {
namespace {

constexpr std::string_view kOneBar =
    R"({"seed":3,"bars":1,"start_price":10.0,"regimes":[{"kind":"vol","len":1,"drift":0.0,"vol":0.0}],)"
    R"("microstructure":{"book_depth":1,"spread_bps":0.0,"trade_rate":0.0}})";

std::string answer(std::optional<ValidSpec>& handle, std::string_view command) {
  json::JsonWriter out;
  const Status done = dispatch_command(handle, command, out);
  EXPECT_TRUE(done.ok()) << command;
  return std::string(out.data(), out.size());
}

struct Case {
  const char* command;
  const char* answer;  // exact text
};

// With no spec held. The error texts are the envelope's whole contract.
const Case kCases[] = {
    {R"({"cmd":"set_spec"})", R"({"ok":false,"error":"bad spec: set_spec requires a spec"})"},
    {R"({"cmd":"generate"})", R"({"ok":false,"error":"bad spec: no spec set"})"},
    {R"({"cmd":"generate_stream"})", R"({"ok":false,"error":"bad spec: no spec set"})"},
    {R"({"cmd":"gen"})", R"({"ok":false,"error":"bad spec: unknown cmd: gen"})"},
    {R"({"cmd":7})", R"({"ok":false,"error":"bad spec: missing cmd"})"},
    {R"([])", R"({"ok":false,"error":"bad spec: missing cmd"})"},
    {R"({"cmd":"version",})", R"({"ok":false,"error":"parse: trailing comma at line 1 column 18"})"},
    {R"({"cmd":"generate","spec":null})",
     R"({"ok":false,"error":"parse: invalid type: null, expected struct GenSpec"})"},
    {R"({"cmd":"generate","spec":[0,0,1,0,1,[],[1,0,0]]})", R"({"ok":false,"error":"bad spec: bars must be > 0"})"},
};

class DispatchTest : public testing::TestWithParam<Case> {};

TEST_P(DispatchTest, AnswersWithoutASpec) {
  std::optional<ValidSpec> handle;
  EXPECT_EQ(answer(handle, GetParam().command), GetParam().answer);
  EXPECT_FALSE(handle.has_value());
}

INSTANTIATE_TEST_SUITE_P(Commands, DispatchTest, testing::ValuesIn(kCases));

TEST(DispatchTest, VersionAndSetSpecThenGenerate) {
  std::optional<ValidSpec> handle;
  EXPECT_EQ(answer(handle, R"({"cmd":"version"})"), R"({"version":")" + std::string(kVersion) + "\"}");
  const std::string set = R"({"cmd":"set_spec","spec":)" + std::string(kOneBar) + "}";
  EXPECT_EQ(answer(handle, set), R"({"ok":true})");
  ASSERT_TRUE(handle.has_value());
  EXPECT_EQ(handle->get().bars, 1U);
  // The held spec and the same spec given with the command run alike.
  const std::string held = answer(handle, R"({"cmd":"generate"})");
  EXPECT_TRUE(held.starts_with(R"({"candles":[{"ts":1700000000,"open":10.0,)")) << held;
  EXPECT_EQ(held, answer(handle, R"({"cmd":"generate","spec":)" + std::string(kOneBar) + "}"));
  // A failed set_spec leaves the held spec as it was.
  EXPECT_EQ(answer(handle, R"({"cmd":"set_spec","spec":{}})"),
            R"({"ok":false,"error":"parse: missing field `seed`"})");
  EXPECT_EQ(handle->get().bars, 1U);
}

TEST(DispatchTest, ExhaustedMemoryIsAnErrorValueNotAnEnvelope) {
  std::optional<ValidSpec> handle;
  json::JsonWriter out;
  const Status done = dispatch_command(
      handle,
      R"({"cmd":"generate","spec":{"seed":1,"bars":1000000000000,"start_price":1,"bar_secs":1,)"
      R"("regimes":[{"kind":"vol","len":1000000000000,"drift":0,"vol":0.01}],)"
      R"("microstructure":{"book_depth":10,"spread_bps":1,"trade_rate":0}}})",
      out);
  ASSERT_FALSE(done.ok());
  EXPECT_EQ(done.error().kind, ErrorKind::OutOfMemory);
}

}  // namespace
}  // namespace talpen::protocol
