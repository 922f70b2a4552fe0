// AnswerWriter: the "generate" and "generate_stream" answers of a run,
// produced piece by piece for a caller to hand on (a file, a pipe), in memory
// bounded by a few chunks and a look-ahead budget, whatever the run's length.
// Joined, the pieces are byte for byte the answer text.
//
// The grouped "generate" answer lists every candle before the first book
// snapshot, yet a run makes them bar by bar. So each list is made by a pass
// of the run cursor of its own (generating a bar costs a fraction of writing
// it, and a pass that writes no book snapshot skips laying out the book's
// levels): a work thread makes the candles and funding points, then the
// trades; a second thread makes the book snapshots (the largest list) from
// the start. The candles are complete early, and the caller writes book
// snapshots while the trades are made. Text of a list not yet due is held, up
// to a budget over all lists: past it a pass waits for its list's turn, and a
// list of the first pass stops being held, the rest of it made by a pass of
// its own once its turn comes. So a short run keeps two cores and the caller
// busy, and a long run stays within the budget.
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
    // Who makes the list: the first thread's first pass; a pass of its own on
    // the second thread, from the start; or a pass of its own on the first
    // thread, once its first pass is over.
    enum class Maker : unsigned char { First, Second, AfterFirst };
    explicit List(RecordList kind, Maker maker = Maker::First) : kind(kind), maker(maker) {
      // A list with a pass of its own is, for the first pass, as if cut at once.
      cut = passing = maker != Maker::First;
    }
    List(const List&) = delete;
    List& operator=(const List&) = delete;
    List(List&&) = default;
    List& operator=(List&&) = default;

    RecordList kind;
    Maker maker;
    std::deque<Piece> held;
    size_t held_bytes = 0;
    uint64_t covered = 0;       // bars whose text is held or out
    bool has_records = false;   // a record is held or out: the next one needs a comma
    bool cut = false;           // no longer held: the rest is made when due
    bool passing = false;       // its own pass has started
    // The pass making the list failed (Numeric, OutOfMemory): told once the
    // text made before the failure is out. Each pass runs to its own failure,
    // so what comes before it never depends on which pass got there first.
    std::optional<Error> error;
  };

  void run_first();
  // Makes list `index` from where its text ends, with a cursor of its own.
  void run_pass(size_t index);
  // Writes `count` bars of `chunk` of list `index` unless the list is cut or
  // must be (the budget spent); a list's own pass waits instead. Returns
  // false when stopped.
  bool produce(size_t index, const RunBars& chunk, uint64_t count, std::vector<StreamEvent>* events,
               bool own_pass = false);
  bool first_pass_live_locked() const;
  size_t held_locked() const;
  // Fails the lists the first pass still makes.
  void fail_first_pass_locked(const Error& error);

  const ValidSpec spec_;
  const Options options_;
  const uint64_t bars_;
  std::vector<List> lists_;
  std::vector<std::string_view> openings_;  // before each list; then the close

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
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
  std::thread second_;  // the book snapshots' pass
  std::thread pass_;    // the pass of the cut list being handed out
};

}  // namespace talpen::protocol

#endif  // TALPEN_PROTOCOL_ANSWER_WRITER_H_
