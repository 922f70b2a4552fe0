#include "protocol/answer_writer.h"

#include <algorithm>
#include <new>
#include <utility>

namespace talpen::protocol {

namespace {

// Positions a long run's walk may hold ahead of the tasks, and chunks of
// bars it may lay out ahead of the caller's candles.
constexpr size_t kWalkAhead = 64;
constexpr size_t kWalkedAhead = 16;
// Work threads: one per core up to this many, and at least two, so that a
// chunk is made while the one before it is written.
constexpr unsigned kMaxWorkers = 4;

Error out_of_memory() { return Error{ErrorKind::OutOfMemory, "out of memory while writing the answer"}; }

uint64_t chunk_count(uint64_t bars, uint64_t per_chunk) { return bars / per_chunk + (bars % per_chunk != 0); }

}  // namespace

AnswerWriter::AnswerWriter(const ValidSpec& spec, AnswerKind kind, Options options)
    : spec_(spec),
      options_(options),
      bars_(spec.get().bars),
      chunks_(chunk_count(spec.get().bars, options.bars_per_chunk)) {
  if (kind == AnswerKind::GenerateStream) {
    lists_ = {RecordList::Events};
    openings_ = {"{\"events\":[", "]}"};
  } else {
    lists_ = {RecordList::Candles, RecordList::BookSnapshots, RecordList::Trades};
    openings_ = {"{\"candles\":[", "],\"book_snapshots\":[", "],\"trades\":["};
    // The answer leaves the funding list out, rather than writing [], when
    // the run has no funding point: when its interval is longer than the run.
    const auto& funding = spec.get().microstructure.funding;
    if (funding && funding->interval_bars <= bars_) {
      lists_.push_back(RecordList::Funding);
      openings_.push_back("],\"funding\":[");
    }
    openings_.push_back("]}");
  }
  // One list's positions are each taken once: they need not be kept.
  keep_all_ = lists_.size() > 1 && chunks_ <= options_.kept_positions;
  if (keep_all_) seeds_.resize(chunks_);
  walk_candles_ = keep_all_ && lists_.front() == RecordList::Candles;
  funding_list_ = lists_.back() == RecordList::Funding;
  // The candles are the caller's to write, from the walk's bars: the tasks
  // start at the next list. With no look-ahead the walk lays out one chunk
  // ahead of the caller.
  if (walk_candles_) walked_.resize(options_.lookahead_bytes == 0 ? 1 : kWalkedAhead);
  next_task_ = walk_candles_ ? chunks_ : 0;
  due_task_ = next_task_;

  const unsigned cores = std::thread::hardware_concurrency();
  const unsigned workers = std::clamp(cores, 2U, kMaxWorkers);
  slots_.resize(4 * workers + 8);
  spare_.reserve(slots_.size());  // giving a text back then never allocates
  workers_.reserve(workers);
  try {
    walker_ = std::thread(&AnswerWriter::walk, this);
    for (unsigned i = 0; i < workers; ++i) workers_.emplace_back(&AnswerWriter::work, this);
  } catch (...) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (walker_.joinable()) walker_.join();
    for (std::thread& worker : workers_) worker.join();
    throw;
  }
}

AnswerWriter::~AnswerWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (walker_.joinable()) walker_.join();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
}

// Tasks are numbered list by list, chunks_ to a list, and a task's list is
// its number over chunks_: a run may have close to 2^64 chunks, so the number
// of all tasks is never formed. (A later list's numbers would wrap only once
// 2^62 tasks or more were done, which would take centuries.)
bool AnswerWriter::position_known_locked(uint64_t task) const {
  const uint64_t list = task / chunks_;
  const uint64_t chunk = task % chunks_;
  if (!keep_all_ && walk_ != list) return false;
  return chunk >= first_position_ && chunk - first_position_ < positions_.size();
}

bool AnswerWriter::can_take_locked() const {
  if (chunks_ == 0) return false;
  const uint64_t list = next_task_ / chunks_;
  if (list >= lists_.size()) return false;
  // Funding points the walk holds need no task.
  if (funding_list_ && walk_candles_ && list + 1 == lists_.size() && (!funding_decided_ || funding_held_)) {
    return false;
  }
  if (next_task_ - due_task_ >= slots_.size()) return false;
  // The task the caller waits for next is always made; others within the budget.
  if (next_task_ != due_task_ && waiting_bytes_ >= options_.lookahead_bytes) return false;
  return position_known_locked(next_task_);
}

// The walk: the position of every chunk's first bar, for the tasks.
void AnswerWriter::walk() {
  try {
    RunBars chunk;
    const size_t walks = keep_all_ ? 1 : lists_.size();
    for (size_t w = 0; w < walks && walk_once(w, &chunk); ++w) {
    }
  } catch (...) {  // std::bad_alloc: a thread must not let an exception out
    // An early end without a failing bar's error is told as exhausted memory,
    // by the caller: making the error's text here could fail again.
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    walk_over_ = true;
    funding_decided_ = true;
  }
  changed_.notify_all();
}

bool AnswerWriter::walk_once(size_t list, RunBars* chunk) {
  {
    // A new walk replaces the positions: once the last list's tasks have all
    // been taken.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stopping_ || next_task_ / chunks_ >= list; });
    if (stopping_) return false;
    walk_ = list;
    positions_.clear();
    first_position_ = 0;
  }
  const bool candles = walk_candles_ && list == 0;
  // The funding points' text is held while it stays within the budget.
  bool funding = candles && funding_list_ && options_.lookahead_bytes > 0;
  bool funding_records = false;
  RunCursor cursor(spec_);
  cursor.skip_book_levels();
  cursor.skip_trades();
  // The seeds kept so far, within a quarter of the look-ahead budget.
  size_t seed_bytes = 0;
  for (uint64_t k = 0; k < chunks_; ++k) {
    WalkedChunk* walked = candles ? &walked_[k % walked_.size()] : nullptr;
    const RunCursor::Position at = cursor.position();
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] {
        return stopping_ || ((keep_all_ || positions_.size() < kWalkAhead) &&
                             (walked == nullptr || !walked->ready));
      });
      if (stopping_) return false;
      // A kept position comes with the chunk's seeds, once it is walked.
      if (!keep_all_) positions_.push_back(at);
    }
    changed_.notify_all();
    if (!candles && k + 1 == chunks_) break;
    std::vector<BarSeed>* seeds = nullptr;
    if (keep_all_) {
      const uint64_t bars = std::min(options_.bars_per_chunk, bars_ - at.bar);
      if (bars <= (options_.lookahead_bytes / 4 - seed_bytes) / sizeof(BarSeed)) {
        seeds = &seeds_[k];
        seeds->reserve(bars);
        seed_bytes += bars * sizeof(BarSeed);
      }
    }
    cursor.keep_seeds(seeds);
    RunBars* bars = walked != nullptr ? &walked->bars : chunk;
    Result<uint64_t> made = cursor.next(options_.bars_per_chunk, bars);
    if (!made.ok()) {
      // The candles end before the failing chunk, with the error: the first
      // list's, where the answer ends.
      std::lock_guard<std::mutex> lock(mutex_);
      walk_error_ = std::move(made).error();
      return false;
    }
    if (!candles) continue;
    if (funding && !bars->funding.empty()) {
      if (funding_records) funding_text_.put(',');
      (void)write_chunk_records(funding_text_, *bars, RecordList::Funding, nullptr);
      funding_records = true;
      if (funding_text_.size() > options_.lookahead_bytes) {  // left to the tasks
        funding = false;
        funding_text_.clear_and_free();
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (keep_all_) positions_.push_back(at);
      walked->ready = true;
    }
    changed_.notify_all();
  }
  if (candles) {
    std::lock_guard<std::mutex> lock(mutex_);
    funding_held_ = funding;
    funding_decided_ = true;
  }
  changed_.notify_all();
  return true;
}

// A work thread: takes tasks in answer order and makes their text.
void AnswerWriter::work() {
  std::optional<RunCursor> cursor;
  RunBars chunk;
  std::vector<StreamEvent> events;
  for (;;) {
    uint64_t task = 0;
    RunCursor::Position at;
    const std::vector<BarSeed>* seeds = nullptr;  // the walk's, for the chunk
    std::optional<json::JsonWriter> text;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || can_take_locked(); });
      if (stopping_) return;
      task = next_task_++;
      at = positions_[task % chunks_ - first_position_];
      if (keep_all_ && !seeds_[task % chunks_].empty()) seeds = &seeds_[task % chunks_];
      if (!keep_all_) {
        positions_.pop_front();
        ++first_position_;
      }
      slot(task).state = Slot::State::Working;
      if (!spare_.empty()) {
        text.emplace(std::move(spare_.back()));
        spare_.pop_back();
      }
    }
    changed_.notify_all();  // the walk may go on
    const RecordList kind = lists_[task / chunks_];
    std::optional<Error> failure;
    bool short_of_memory = false;
    try {
      if (!cursor) cursor.emplace(spec_);
      if (!text) text.emplace();
      cursor->skip_book_levels(!needs_book_levels(kind));
      cursor->skip_trades(!needs_trades(kind));
      text->clear();
      Result<uint64_t> made = uint64_t{0};
      if (seeds != nullptr && (kind == RecordList::BookSnapshots || kind == RecordList::Trades)) {
        // Book snapshots and trades made again without the price walk.
        cursor->replay(*seeds, at.next_seq, &chunk);
      } else {
        cursor->move_to(at);
        made = cursor->next(options_.bars_per_chunk, &chunk);
      }
      if (!made.ok()) {
        failure = std::move(made).error();
      } else {
        text->put(',');
        Status written = write_chunk_records(*text, chunk, kind, &events);
        if (!written.ok()) failure = std::move(written).error();
      }
    } catch (...) {  // std::bad_alloc: told by the caller, as for the walk
      short_of_memory = true;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Slot& s = slot(task);
      if (failure || short_of_memory) {
        s.state = Slot::State::Failed;
        s.error = std::move(failure);  // none: out of memory
      } else {
        s.state = Slot::State::Done;
        s.text = std::move(*text);
        waiting_bytes_ += s.text.size();
      }
    }
    changed_.notify_all();
  }
}

void AnswerWriter::give_back() {
  if (!out_taken_) return;
  out_taken_ = false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (spare_.size() < slots_.size()) spare_.push_back(std::move(out_));
}

std::optional<std::string_view> AnswerWriter::hand_out(json::JsonWriter piece) {
  out_ = std::move(piece);
  out_taken_ = true;
  const std::optional<std::string_view> text = hand_out(out_.view());
  if (!text) give_back();
  return text;
}

std::optional<std::string_view> AnswerWriter::hand_out(std::string_view piece) {
  ++chunk_;
  written_current_ = chunk_ == chunks_ ? bars_ : chunk_ * options_.bars_per_chunk;
  if (piece.size() <= 1) return std::nullopt;  // the chunk has no record of the list
  if (!has_records_) piece.remove_prefix(1);
  has_records_ = true;
  return piece;
}

Result<std::string_view> AnswerWriter::next() {
  give_back();
  for (;;) {
    switch (stage_) {
      case Stage::Opening:
        stage_ = Stage::Chunks;
        chunk_ = 0;
        has_records_ = false;
        return openings_[list_];
      case Stage::Chunks: {
        if (chunk_ == chunks_) {
          written_before_ += bars_;
          written_current_ = 0;
          ++list_;
          stage_ = list_ < lists_.size() ? Stage::Opening : Stage::Close;
          continue;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (walk_candles_ && list_ == 0) {
          WalkedChunk& walked = walked_[chunk_ % walked_.size()];
          changed_.wait(lock, [&] { return walked.ready || walk_over_; });
          if (!walked.ready) return fail(walk_error_ ? *walk_error_ : out_of_memory());
          lock.unlock();
          // The candles' text is made here, while the walk goes on: the walk
          // alone then sets their pace. (Nothing may leave next() by an
          // exception: its caller has let go of the interpreter.)
          try {
            candles_text_.clear();
            candles_text_.put(',');
            (void)write_chunk_records(candles_text_, walked.bars, RecordList::Candles, nullptr);
          } catch (const std::bad_alloc&) {
            return fail(out_of_memory());
          }
          lock.lock();
          walked.ready = false;
          lock.unlock();
          changed_.notify_all();
          if (std::optional<std::string_view> text = hand_out(candles_text_.view())) return *text;
          continue;
        }
        if (walk_candles_ && funding_list_ && list_ + 1 == lists_.size()) {
          changed_.wait(lock, [&] { return funding_decided_; });
          if (funding_held_) {  // the whole list, from the walk
            chunk_ = chunks_;
            written_current_ = bars_;
            if (funding_text_.size() == 0) continue;
            return funding_text_.view();
          }
        }
        const uint64_t task = list_ * chunks_ + chunk_;
        Slot& s = slot(task);
        changed_.wait(lock, [&] {
          return s.state == Slot::State::Done || s.state == Slot::State::Failed ||
                 (next_task_ <= task && walk_over_ && !position_known_locked(task));
        });
        if (s.state == Slot::State::Failed) return fail(s.error ? *s.error : out_of_memory());
        if (s.state != Slot::State::Done) return fail(walk_error_ ? *walk_error_ : out_of_memory());
        json::JsonWriter piece = std::move(s.text);
        s.state = Slot::State::Free;
        waiting_bytes_ -= piece.size();
        due_task_ = task + 1;
        lock.unlock();
        changed_.notify_all();
        if (std::optional<std::string_view> text = hand_out(std::move(piece))) return *text;
        continue;
      }
      case Stage::Close:
        stage_ = Stage::End;
        return openings_.back();
      case Stage::End:
        return std::string_view();
    }
  }
}

}  // namespace talpen::protocol
