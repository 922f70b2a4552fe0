#include "protocol/answer_writer.h"

#include <algorithm>
#include <new>
#include <utility>

namespace talpen::protocol {

namespace {

// Chunks the book thread may lag behind the first: enough to keep both busy.
constexpr size_t kSlots = 3;
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
    lists_.emplace_back(RecordList::Trades, List::Maker::OwnPass);
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
  slots_.resize(kSlots);
  first_ = std::thread(&AnswerWriter::run_first, this);
  const bool second = std::any_of(lists_.begin(), lists_.end(), [](const List& l) { return l.maker == List::Maker::Second; });
  if (second) {
    try {
      second_ = std::thread(&AnswerWriter::run_second, this);
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

bool AnswerWriter::live_locked() const {
  return std::any_of(lists_.begin(), lists_.end(), [&](const List& l) { return !l.cut && l.covered < bars_; });
}

size_t AnswerWriter::held_elsewhere_locked(size_t except) const {
  size_t bytes = 0;
  for (size_t i = 0; i < lists_.size(); ++i) {
    if (i != except) bytes += lists_[i].held_bytes;
  }
  return bytes;
}

// The first thread: runs the cursor, writes its own lists of each chunk and
// hands the chunk to the book thread.
void AnswerWriter::run_first() {
  try {
    RunCursor cursor(spec_);
    std::vector<StreamEvent> events;
    size_t s = 0;
    for (bool running = true; running;) {
      Slot* slot = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stopping_ || failure_ || slots_[s].state == SlotState::Free; });
        if (stopping_ || failure_ || !live_locked()) break;
        slot = &slots_[s];
      }
      Result<uint64_t> made = cursor.next(options_.bars_per_chunk, &slot->bars);
      if (!made.ok()) {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = std::move(made).error();
        break;
      }
      if (made.value() == 0) break;
      slot->count = made.value();
      bool hand_on = false;
      for (size_t i = 0; i < lists_.size() && running; ++i) {
        if (lists_[i].maker == List::Maker::Second) {
          hand_on = true;
        } else if (lists_[i].maker == List::Maker::First) {
          running = produce(i, slot->bars, slot->count, &events);
        }
      }
      if (running && hand_on) {
        std::lock_guard<std::mutex> lock(mutex_);
        slot->state = SlotState::ForSecond;
        s = (s + 1) % slots_.size();
      }
      changed_.notify_all();
    }
  } catch (...) {  // std::bad_alloc: a thread must not let an exception out
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_) failure_ = out_of_memory();
  }
  bool more = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    first_done_ = true;
    more = !stopping_ && !failure_;
  }
  changed_.notify_all();
  for (size_t i = 0; i < lists_.size() && more; ++i) {
    if (lists_[i].maker != List::Maker::OwnPass) continue;
    run_pass(i);
    std::lock_guard<std::mutex> lock(mutex_);
    more = !stopping_ && !failure_;
  }
}

// The book thread: writes the book snapshots of each chunk the first hands on.
void AnswerWriter::run_second() {
  try {
    size_t s = 0;
    for (;;) {
      Slot* slot = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] {
          return stopping_ || failure_ || first_done_ || slots_[s].state == SlotState::ForSecond;
        });
        if (stopping_ || failure_ || slots_[s].state != SlotState::ForSecond) break;
        slot = &slots_[s];
      }
      bool running = true;
      for (size_t i = 0; i < lists_.size() && running; ++i) {
        if (lists_[i].maker == List::Maker::Second) running = produce(i, slot->bars, slot->count, nullptr);
      }
      if (!running) break;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        slot->state = SlotState::Free;
      }
      changed_.notify_all();
      s = (s + 1) % slots_.size();
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_) failure_ = out_of_memory();
  }
  changed_.notify_all();
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
      if (stopping_ || failure_) return true;
      if (index == current_) return list.held.size() < kBacklog;
      return !own_pass || held_elsewhere_locked(current_) < options_.lookahead_bytes;
    });
    if (stopping_ || failure_) return false;
    held = index != current_;
    if (held && !own_pass && held_elsewhere_locked(current_) >= options_.lookahead_bytes) {
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
    if (!failure_) failure_ = std::move(written).error();
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

// The pass of a cut list: a cursor of its own from the run's first bar, its
// text written from where the held text ends.
void AnswerWriter::run_pass(size_t index) {
  try {
    RunCursor cursor(spec_);
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
        if (stopping_ || failure_) return;
      }
      const uint64_t done = cursor.bars_done();
      const uint64_t step = done < from ? std::min(options_.bars_per_chunk, from - done) : options_.bars_per_chunk;
      Result<uint64_t> made = cursor.next(step, &chunk);
      if (!made.ok()) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_) failure_ = std::move(made).error();
        break;
      }
      if (made.value() == 0) break;
      if (done >= from && !produce(index, chunk, made.value(), &events, true)) break;
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_) failure_ = out_of_memory();
  }
  changed_.notify_all();
}

uint64_t AnswerWriter::bars_written() const { return written_before_ + written_current_; }

Result<std::string_view> AnswerWriter::next() {
  if (out_held_) {
    out_held_ = false;
    // A large held piece is kept for later held text while, with the text
    // held for later lists, it stays within the budget; else it is let go.
    // The spares serve chunk-sized pieces.
    std::lock_guard<std::mutex> lock(mutex_);
    if (out_.text.capacity() <= kPieceRoom) {
      if (spare_.size() < kSpares) spare_.push_back(std::move(out_.text));
    } else if (held_spare_bytes_ + out_.text.capacity() + held_elsewhere_locked(current_) <=
               options_.lookahead_bytes) {
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
          return !list.held.empty() || list.covered == bars_ || failure_ || (list.cut && !list.passing);
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
        if (failure_) return fail(*failure_);
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
