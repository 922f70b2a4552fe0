// AnswerWriter: the "generate" and "generate_stream" answers of a run,
// produced piece by piece for a caller to hand on (a file, a pipe), in memory
// bounded by a few chunks and a look-ahead budget, whatever the run's length.
// Joined, the pieces are byte for byte the answer text.
//
// The grouped "generate" answer lists every candle before the first book
// snapshot, yet a run makes them bar by bar. A first pass of the run cursor
// makes the chunks and writes their candles and funding points on a work
// thread, and a second thread writes their book snapshots (the largest list);
// the trades are made by a pass of their own, which the work thread starts
// once its first pass is over. So the candles are complete early and the
// caller writes book snapshots while the trades are being made, rather than
// waiting for one pass to make everything and then writing it alone. The text
// of lists not yet due is held; when it would pass the budget a list stops
// being held where it is, and once its turn comes the rest of it is made by a
// pass of its own (generating a bar costs a fraction of writing it). So a
// short run keeps two cores and the caller busy, and a long run stays within
// the budget.
#ifndef TALPEN_PROTOCOL_ANSWER_WRITER_H_
#define TALPEN_PROTOCOL_ANSWER_WRITER_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "base/result.h"
#include "core/records.h"
#include "core/run_cursor.h"
#include "core/validate.h"
#include "json/writer.h"
#include "protocol/chunk_text.h"

namespace talpen::protocol {

enum class AnswerKind : unsigned char { Generate, GenerateStream };

class AnswerWriter {
 public:
  struct Options {
    uint64_t bars_per_chunk = 4096;
    // Text of lists not yet due that may be held at once.
    size_t lookahead_bytes = size_t{160} << 20;
  };

  // Starts the work threads. REQUIRES: options.bars_per_chunk >= 1. Throws
  // std::system_error when a thread cannot start, std::bad_alloc when memory
  // runs out.
  AnswerWriter(const ValidSpec& spec, AnswerKind kind, Options options);
  // Stops the work threads at their next chunk and waits for them.
  ~AnswerWriter();
  AnswerWriter(const AnswerWriter&) = delete;
  AnswerWriter& operator=(const AnswerWriter&) = delete;

  // The next piece of the answer, waiting for it as needed; an empty view
  // once the answer is complete. A view stays valid until the next call.
  // A failed run's error (Numeric, OutOfMemory) comes after the pieces made
  // before it. Call from one thread at a time.
  Result<std::string_view> next();

  // The number of record lists, and the bars whose text has been handed out,
  // summed over the lists (up to lists() x bars).
  size_t lists() const { return lists_.size(); }
  uint64_t bars_written() const;

 private:
  struct Piece {
    json::JsonWriter text;
    uint64_t bars_end = 0;  // the list's bars covered once this piece is out
  };
  struct List {
    enum class Maker : unsigned char { First, Second, OwnPass };
    explicit List(RecordList kind, Maker maker = Maker::First) : kind(kind), maker(maker) {
      // A list made by its own pass is, for the first pass, as if cut at once.
      cut = passing = maker == Maker::OwnPass;
    }
    List(const List&) = delete;
    List& operator=(const List&) = delete;
    List(List&&) = default;
    List& operator=(List&&) = default;

    RecordList kind;
    Maker maker;  // the first thread, the book thread, or a pass of its own
    std::deque<Piece> held;
    size_t held_bytes = 0;
    uint64_t covered = 0;       // bars whose text is held or out
    bool has_records = false;   // a record is held or out: the next one needs a comma
    bool cut = false;           // no longer held: the rest is made when due
    bool passing = false;       // its own pass has started
  };
  enum class SlotState : unsigned char { Free, ForSecond };
  struct Slot {
    RunBars bars;
    SlotState state = SlotState::Free;
    uint64_t count = 0;
  };

  void run_first();
  void run_second();
  // Makes list `index` from where its text ends, with a cursor of its own.
  void run_pass(size_t index);
  // Writes `count` bars of `chunk` of list `index` unless the list is cut or
  // must be (the budget spent); a list's own pass waits instead. Returns
  // false when stopped.
  bool produce(size_t index, const RunBars& chunk, uint64_t count, std::vector<StreamEvent>* events,
               bool own_pass = false);
  bool live_locked() const;
  size_t held_elsewhere_locked(size_t except) const;

  const ValidSpec spec_;
  const Options options_;
  const uint64_t bars_;
  std::vector<List> lists_;
  std::vector<std::string_view> openings_;  // before each list; then the close

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Slot> slots_;
  bool first_done_ = false;  // the first thread has made its last chunk
  bool stopping_ = false;
  std::optional<Error> failure_;
  size_t current_ = 0;  // the list being handed out
  std::vector<json::JsonWriter> spare_;
  // Large held pieces already written out, kept to hold later text: memory
  // already faulted in costs a fraction of fresh memory.
  std::vector<json::JsonWriter> held_spare_;
  size_t held_spare_bytes_ = 0;

  // The caller's side.
  enum class Stage : unsigned char { Opening, Held, Close, End };
  Stage stage_ = Stage::Opening;
  Piece out_;
  bool out_held_ = false;  // out_ came from a list, and goes back to the spares
  uint64_t written_before_ = 0;  // bars of the lists already complete
  uint64_t written_current_ = 0;

  std::thread first_;
  std::thread second_;
  std::thread pass_;  // the pass of the cut list being handed out
};

}  // namespace talpen::protocol

#endif  // TALPEN_PROTOCOL_ANSWER_WRITER_H_
