#include "protocol/answer_writer.h"

#include <algorithm>
#include <new>
#include <utility>

namespace talpen::protocol {

namespace {

// Pieces of the list being handed out that may wait for the caller.
constexpr size_t kBacklog = 8;
// Emptied pieces kept for the next chunks.
constexpr size_t kSpares = 16;
// Room each piece starts with: enough that the writer maps it on its own,
// advised for huge pages. A held list's text is fresh memory, and taking it
// a huge page at a time rather than 4 KiB at a time halves its cost.
constexpr size_t kPieceRoom = size_t{4} << 20;
// A held piece takes further chunks of its list up to this size.
constexpr size_t kHeldPiece = size_t{16} << 20;

Error out_of_memory() { return Error{ErrorKind::OutOfMemory, "out of memory while writing the answer"}; }

bool needs_book_levels(RecordList kind) { return kind == RecordList::BookSnapshots || kind == RecordList::Events; }

}  // namespace

AnswerWriter::AnswerWriter(const ValidSpec& spec, AnswerKind kind, Options options)
    : spec_(spec), options_(options), bars_(spec.get().bars) {
  if (kind == AnswerKind::GenerateStream) {
    lists_.emplace_back(RecordList::Events);
    openings_ = {"{\"events\":[", "]}"};
  } else {
    lists_.reserve(4);
    lists_.emplace_back(RecordList::Candles);
    lists_.emplace_back(RecordList::BookSnapshots, List::Maker::Second);
    lists_.emplace_back(RecordList::Trades, List::Maker::AfterFirst);
    openings_ = {"{\"candles\":[", "],\"book_snapshots\":[", "],\"trades\":["};
    // The answer leaves the funding list out, rather than writing [], when
    // the run has no funding point: when its interval is longer than the run.
    const auto& funding = spec.get().microstructure.funding;
    if (funding && funding->interval_bars <= bars_) {
      lists_.emplace_back(RecordList::Funding);
      openings_.push_back("],\"funding\":[");
    }
    openings_.push_back("]}");
  }
  first_ = std::thread(&AnswerWriter::run_first, this);
  for (size_t i = 0; i < lists_.size(); ++i) {
    if (lists_[i].maker != List::Maker::Second) continue;
    try {
      second_ = std::thread(&AnswerWriter::run_pass, this, i);
    } catch (...) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
      }
      changed_.notify_all();
      first_.join();
      throw;
    }
  }
}

AnswerWriter::~AnswerWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (first_.joinable()) first_.join();
  if (second_.joinable()) second_.join();
  if (pass_.joinable()) pass_.join();
}

bool AnswerWriter::first_pass_live_locked() const {
  return std::any_of(lists_.begin(), lists_.end(), [&](const List& l) {
    return l.maker == List::Maker::First && !l.cut && l.covered < bars_;
  });
}

size_t AnswerWriter::held_locked() const {
  size_t bytes = 0;
  for (const List& list : lists_) bytes += list.held_bytes;
  return bytes;
}

void AnswerWriter::fail_first_pass_locked(const Error& error) {
  for (List& list : lists_) {
    if (list.maker == List::Maker::First && !list.cut && list.covered < bars_ && !list.error) list.error = error;
  }
}

// The first thread: the first pass, which makes the lists of no pass of their
// own, then the passes of the lists that come after it.
void AnswerWriter::run_first() {
  bool failed = false;
  try {
    RunCursor cursor(spec_);
    if (std::none_of(lists_.begin(), lists_.end(), [](const List& l) {
          return l.maker == List::Maker::First && needs_book_levels(l.kind);
        })) {
      cursor.skip_book_levels();
    }
    RunBars chunk;
    std::vector<StreamEvent> events;
    for (bool running = true; running;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || !first_pass_live_locked()) break;
      }
      Result<uint64_t> made = cursor.next(options_.bars_per_chunk, &chunk);
      if (!made.ok()) {
        std::lock_guard<std::mutex> lock(mutex_);
        fail_first_pass_locked(made.error());
        failed = true;
        break;
      }
      if (made.value() == 0) break;
      for (size_t i = 0; i < lists_.size() && running; ++i) {
        if (lists_[i].maker != List::Maker::First) continue;
        running = produce(i, chunk, made.value(), &events);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running && lists_[i].error) {  // its text failed: so does the pass
          fail_first_pass_locked(Error(*lists_[i].error));
          failed = true;
        }
      }
    }
  } catch (...) {  // std::bad_alloc: a thread must not let an exception out
    std::lock_guard<std::mutex> lock(mutex_);
    fail_first_pass_locked(out_of_memory());
    failed = true;
  }
  changed_.notify_all();
  for (size_t i = 0; i < lists_.size() && !failed; ++i) {
    if (lists_[i].maker != List::Maker::AfterFirst) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
    }
    run_pass(i);
  }
}

bool AnswerWriter::produce(size_t index, const RunBars& chunk, uint64_t count, std::vector<StreamEvent>* events,
                           bool own_pass) {
  List& list = lists_[index];
  json::JsonWriter text;
  bool comma = false;
  bool held = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // Once cut, a list is the business of its own pass alone.
    if (list.cut && !own_pass) return true;
    // The list being handed out waits for the caller; any other is held. A
    // pass cannot leave a gap, so past the budget it waits for its turn.
    changed_.wait(lock, [&] {
      if (stopping_) return true;
      if (index == current_) return list.held.size() < kBacklog;
      return !own_pass || held_locked() < options_.lookahead_bytes;
    });
    if (stopping_) return false;
    held = index != current_;
    if (held && !own_pass && held_locked() >= options_.lookahead_bytes) {
      list.cut = true;
      changed_.notify_all();
      return true;
    }
    comma = list.has_records;
    if (held && !list.held.empty() && list.held.back().text.size() < kHeldPiece) {
      // Held text grows in a few large pieces: less fresh memory to fault in.
      text = std::move(list.held.back().text);
      list.held.pop_back();
    } else if (held && !held_spare_.empty()) {
      text = std::move(held_spare_.back());
      held_spare_.pop_back();
      held_spare_bytes_ -= text.capacity();
      text.clear();
    } else if (!spare_.empty()) {
      text = std::move(spare_.back());
      spare_.pop_back();
      text.clear();
    }
  }
  if (held && text.size() == 0) text.reserve_more(kPieceRoom);
  const size_t before = text.size();
  if (comma) text.put(',');
  const size_t empty_size = text.size();
  Status written = write_chunk_records(text, chunk, list.kind, events);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!written.ok()) {
    if (!list.error) list.error = std::move(written).error();
    changed_.notify_all();
    if (before != 0) {  // the held text taken out to extend goes back
      text.commit(text.claim(0) - (text.size() - before));
      list.held.push_back(Piece{std::move(text), list.covered});
    }
    return false;
  }
  list.covered += count;
  if (text.size() == empty_size) {
    text.commit(text.claim(0) - (empty_size - before));  // no record: no comma
  } else {
    list.has_records = true;
  }
  list.held_bytes += text.size() - before;
  if (text.size() != 0) {
    list.held.push_back(Piece{std::move(text), list.covered});
  } else if (spare_.size() < kSpares) {
    spare_.push_back(std::move(text));
  }
  changed_.notify_all();
  return true;
}

// A list's own pass: a cursor of its own from the run's first bar, its text
// written from where the held text ends.
void AnswerWriter::run_pass(size_t index) {
  std::optional<Error> failure;
  try {
    RunCursor cursor(spec_);
    if (!needs_book_levels(lists_[index].kind)) cursor.skip_book_levels();
    RunBars chunk;
    std::vector<StreamEvent> events;
    uint64_t from = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      from = lists_[index].covered;
    }
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
      }
      const uint64_t done = cursor.bars_done();
      const uint64_t step = done < from ? std::min(options_.bars_per_chunk, from - done) : options_.bars_per_chunk;
      Result<uint64_t> made = cursor.next(step, &chunk);
      if (!made.ok()) {
        failure = std::move(made).error();
        break;
      }
      if (made.value() == 0) break;
      if (done >= from && !produce(index, chunk, made.value(), &events, true)) break;
    }
  } catch (...) {
    failure = out_of_memory();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure && !lists_[index].error) lists_[index].error = std::move(failure);
  }
  changed_.notify_all();
}

uint64_t AnswerWriter::bars_written() const { return written_before_ + written_current_; }

Result<std::string_view> AnswerWriter::next() {
  if (out_held_) {
    out_held_ = false;
    // A large held piece is kept for later held text while, with the text
    // still held, it stays within the budget; else it is let go.
    // The spares serve chunk-sized pieces.
    std::lock_guard<std::mutex> lock(mutex_);
    if (out_.text.capacity() <= kPieceRoom) {
      if (spare_.size() < kSpares) spare_.push_back(std::move(out_.text));
    } else if (held_spare_bytes_ + out_.text.capacity() + held_locked() <= options_.lookahead_bytes) {
      held_spare_bytes_ += out_.text.capacity();
      held_spare_.push_back(std::move(out_.text));
    }
    out_.text = json::JsonWriter();
  }
  for (;;) {
    switch (stage_) {
      case Stage::Opening:
        stage_ = Stage::Held;
        return openings_[current_];
      case Stage::Held: {
        std::unique_lock<std::mutex> lock(mutex_);
        List& list = lists_[current_];
        changed_.wait(lock, [&] {
          return !list.held.empty() || list.covered == bars_ || list.error || (list.cut && !list.passing);
        });
        if (!list.held.empty()) {
          out_ = std::move(list.held.front());
          list.held.pop_front();
          list.held_bytes -= out_.text.size();
          out_held_ = true;
          written_current_ = out_.bars_end;
          lock.unlock();
          changed_.notify_all();
          return out_.text.view();
        }
        if (list.covered == bars_) {
          ++current_;
          lock.unlock();
          changed_.notify_all();
          if (pass_.joinable()) pass_.join();
          written_before_ += bars_;
          written_current_ = 0;
          stage_ = current_ < lists_.size() ? Stage::Opening : Stage::Close;
          continue;
        }
        if (list.error) return fail(*list.error);
        // Cut: the rest of the list comes from a pass of its own, from where
        // the held text ends, on a thread of its own while this one writes.
        list.passing = true;
        lock.unlock();
        if (pass_.joinable()) pass_.join();
        pass_ = std::thread(&AnswerWriter::run_pass, this, current_);
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
