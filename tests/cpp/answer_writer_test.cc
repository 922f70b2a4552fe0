#include "protocol/answer_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/run.h"
#include "protocol/responses.h"
#include "valid_spec.h"

namespace talpen::protocol {
namespace {

GenSpec spec_of(uint64_t bars, uint64_t depth, double trade_rate, bool funding) {
  GenSpec spec;
  spec.seed = 7;
  spec.bars = bars;
  spec.start_price = 100.0;
  spec.start_ts = 1700000000;
  spec.bar_secs = 60;
  spec.regimes = {{RegimeKind::Trend, bars / 2, 0.001, 0.01}, {RegimeKind::Range, bars - bars / 2, 0.2, 0.02}};
  spec.microstructure.book_depth = depth;
  spec.microstructure.spread_bps = 5.0;
  spec.microstructure.trade_rate = trade_rate;
  if (funding) spec.microstructure.funding = FundingSpec{8, 0.0001, 0.5};
  return spec;
}

std::string pieces_joined(const ValidSpec& spec, AnswerKind kind, uint64_t chunk, size_t lookahead,
                          uint64_t kept = AnswerWriter::Options().kept_positions) {
  AnswerWriter writer(spec, kind, {chunk, lookahead, kept});
  std::string text;
  for (;;) {
    Result<std::string_view> piece = writer.next();
    EXPECT_TRUE(piece.ok());
    if (!piece.ok() || piece.value().empty()) break;
    text += piece.value();
  }
  EXPECT_EQ(writer.bars_written(), writer.lists() * spec->bars);
  return text;
}

// Funding points held by the walk, given up part way, or made by tasks; the
// walk's seeds kept for every chunk, the first few or none; a run walked
// once or once per list: always the answer's bytes.
TEST(AnswerWriter, PiecesJoinedAreTheWholeAnswerWhateverTheBudget) {
  for (const GenSpec& raw : {spec_of(300, 3, 4.0, true), spec_of(97, 1, 0.0, false), spec_of(5, 2, 1.0, true)}) {
    const ValidSpec spec = valid(raw);
    json::JsonWriter grouped;
    write_generate_response(grouped, run_batch(spec).value());
    json::JsonWriter events;
    write_stream_response(events, run_stream(spec).value());
    for (uint64_t chunk : {1, 7, 1000}) {
      for (size_t lookahead : {size_t{0}, size_t{2000}, size_t{1} << 30}) {
        for (uint64_t kept : {uint64_t{3}, uint64_t{1} << 20}) {
          EXPECT_EQ(pieces_joined(spec, AnswerKind::Generate, chunk, lookahead, kept), grouped.view());
          EXPECT_EQ(pieces_joined(spec, AnswerKind::GenerateStream, chunk, lookahead, kept), events.view());
        }
      }
    }
  }
}

// A writer dropped part way stops its threads and frees what it held.
TEST(AnswerWriter, ADroppedWriterStopsItsThreads) {
  const ValidSpec spec = valid(spec_of(20000, 5, 5.0, true));
  for (size_t lookahead : {size_t{0}, size_t{1} << 30}) {
    AnswerWriter writer(spec, AnswerKind::Generate, {16, lookahead});
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(writer.next().ok());
  }
}

// A run that fails part way: the walk and every task of the failing chunk
// reach the failure on their own, so the text before the error is the same
// whichever got there first, walked once or per list, and it is the candles
// made before the failing chunk.
TEST(AnswerWriter, AFailedRunGivesTheSameTextBeforeItsError) {
  GenSpec raw = spec_of(60, 2, 1.0, true);
  raw.regimes = {{RegimeKind::Vol, 40, 0.0, 0.01}, {RegimeKind::Trend, 20, 800.0, 0.0}};
  const ValidSpec spec = valid(raw);
  std::string first;
  for (int round = 0; round < 20; ++round) {
    for (size_t lookahead : {size_t{0}, size_t{1} << 30}) {
      AnswerWriter writer(spec, AnswerKind::Generate, {4, lookahead, round % 2 == 0 ? 3U : 1000U});
      std::string text;
      Result<std::string_view> piece = writer.next();
      for (; piece.ok() && !piece.value().empty(); piece = writer.next()) text += piece.value();
      ASSERT_FALSE(piece.ok());
      EXPECT_EQ(piece.error().kind, ErrorKind::Numeric);
      if (first.empty()) first = text;
      ASSERT_EQ(text, first);
    }
  }
  EXPECT_EQ(first.rfind("{\"candles\":[{", 0), 0u);
  EXPECT_EQ(first.find("book_snapshots"), std::string::npos);
  EXPECT_EQ(std::count(first.begin(), first.end(), '{') - 1, 40);
}

}  // namespace
}  // namespace talpen::protocol
