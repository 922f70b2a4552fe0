// AnswerWriter: the "generate" and "generate_stream" answers of a run,
// produced piece by piece for a caller to hand on (a file, a pipe), in memory
// bounded by a few chunks, whatever the run's length. Joined, the pieces are
// byte for byte the answer text.
//
// The grouped "generate" answer lists every candle before the first book
// snapshot, yet a run makes them bar by bar. So the answer is cut into tasks
// in its own order, one per record list and chunk of bars, and work threads
// make them in that order, each task from the run's position at its chunk's
// first bar: a cursor moved there makes the chunk again and writes the one
// list's records. The positions come from a walk of the run on a thread of
// its own, which lays out neither book levels nor trades.
//
// A short run's walk keeps every chunk's position and serves every list. It
// lays out each chunk's candles for the caller, who writes their text while
// the walk goes on, so the candles, which lead the answer, come at the pace
// of the walk alone; it makes the funding points' text itself (they are few);
// and within a quarter of the look-ahead budget it keeps each bar's seed, from
// which a task makes the bar's book levels or trades again without its price
// walk, the larger part of a bar's cost. The caller hands the pieces on in
// order while the next ones are made, a window of tasks ahead of it: so the
// cores stay busy from the first piece to the last, and the text waiting for
// the caller is a few chunks, not whole lists. A long run's positions are
// kept a window ahead of the tasks, and the run is walked again for each
// list.
#ifndef TALPEN_PROTOCOL_ANSWER_WRITER_H_
#define TALPEN_PROTOCOL_ANSWER_WRITER_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
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
    uint64_t bars_per_chunk = 1024;
    // Text made ahead of the caller that may wait for it at once, beyond the
    // piece it waits for (0: each piece is made when it is the next due).
    size_t lookahead_bytes = size_t{160} << 20;
    // A run of at most this many chunks is walked once, every chunk's
    // position kept (a few dozen bytes each); a longer one is walked again
    // for each list.
    uint64_t kept_positions = 16384;
  };

  // Starts the threads. REQUIRES: options.bars_per_chunk >= 1. Throws
  // std::system_error when a thread cannot start, std::bad_alloc when memory
  // runs out.
  AnswerWriter(const ValidSpec& spec, AnswerKind kind, Options options);
  // Stops the threads at their next task and waits for them.
  ~AnswerWriter();
  AnswerWriter(const AnswerWriter&) = delete;
  AnswerWriter& operator=(const AnswerWriter&) = delete;

  // The next piece of the answer, waiting for it as needed; an empty view
  // once the answer is complete. A view stays valid until the next call.
  // A failed run's error (Numeric, OutOfMemory) comes after the pieces made
  // before it: the text of the run's bars before the failing chunk, in the
  // first list. Call from one thread at a time.
  Result<std::string_view> next();

  // The number of record lists, and the bars whose text has been handed out,
  // summed over the lists (up to lists() x bars).
  size_t lists() const { return lists_.size(); }
  uint64_t bars_written() const { return written_before_ + written_current_; }

 private:
  // A task's text and how it ended. The text starts with a comma, handed out
  // only when an earlier chunk of the list had records.
  struct Slot {
    enum class State : unsigned char { Free, Working, Done, Failed };
    State state = State::Free;
    json::JsonWriter text;
    std::optional<Error> error;  // Failed without one: out of memory
  };

  // A chunk of the walk's bars (candles and funding points only), for the
  // caller to write the candles of: chunk k in entry k % size.
  struct WalkedChunk {
    bool ready = false;  // laid out, the candles not yet written
    RunBars bars;
  };

  void walk();
  // One walk of the run, for list `list` (0 also makes the walk's own lists).
  // Returns false when stopped.
  bool walk_once(size_t list, RunBars* chunk);
  void work();
  // Under the lock: whether task `next_task_` may be taken now.
  bool can_take_locked() const;
  bool position_known_locked(uint64_t task) const;
  Slot& slot(uint64_t task) { return slots_[task % slots_.size()]; }
  // Hands `piece` (a chunk's text of the current list, comma first) out:
  // the text, or nothing for a chunk without records. The first form keeps
  // the task's text until the next call, then gives it back to the spares.
  std::optional<std::string_view> hand_out(json::JsonWriter piece);
  std::optional<std::string_view> hand_out(std::string_view piece);
  void give_back();

  const ValidSpec spec_;
  const Options options_;
  const uint64_t bars_;
  const uint64_t chunks_;  // chunks per list
  bool keep_all_ = false;  // the walk keeps every chunk's position
  bool walk_candles_ = false;  // the walk makes the candles (list 0)
  bool funding_list_ = false;  // the last list is the funding points
  std::vector<RecordList> lists_;
  std::vector<std::string_view> openings_;  // before each list; then the close

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  // The walk: positions of chunks [first_position_, first_position_ +
  // positions_.size()) of walk `walk_` (the list index, or 0 when kept).
  std::deque<RunCursor::Position> positions_;
  uint64_t first_position_ = 0;
  size_t walk_ = 0;
  bool walk_over_ = false;           // no position or candle beyond those held will come
  std::optional<Error> walk_error_;  // a failing bar that ended the walk early
  std::vector<WalkedChunk> walked_;  // a window of the walk's chunks, for the candles
  // Per chunk, when kept: the seeds of its bars, laid out by the walk before
  // the chunk's position is told, within a quarter of the look-ahead budget.
  std::vector<std::vector<BarSeed>> seeds_;
  // The funding points' text, made by the walk while within the look-ahead
  // budget; decided once the walk is over: held whole, or made by tasks.
  json::JsonWriter funding_text_;
  bool funding_decided_ = false;
  bool funding_held_ = false;
  uint64_t next_task_ = 0;           // the next task to take, in answer order
  uint64_t due_task_ = 0;            // the task the caller waits for
  size_t waiting_bytes_ = 0;         // text of finished tasks not yet handed out
  std::vector<Slot> slots_;          // a window of tasks from due_task_
  std::vector<json::JsonWriter> spare_;  // emptied texts, for later tasks

  // The caller's side.
  enum class Stage : unsigned char { Opening, Chunks, Close, End };
  Stage stage_ = Stage::Opening;
  size_t list_ = 0;
  uint64_t chunk_ = 0;
  bool has_records_ = false;  // the current list has handed out a record
  json::JsonWriter out_;
  json::JsonWriter candles_text_;  // the caller's own text of a chunk's candles
  bool out_taken_ = false;  // out_ is a task's text, to go back to the spares
  uint64_t written_before_ = 0;
  uint64_t written_current_ = 0;

  std::thread walker_;
  std::vector<std::thread> workers_;
};

}  // namespace talpen::protocol

#endif  // TALPEN_PROTOCOL_ANSWER_WRITER_H_
