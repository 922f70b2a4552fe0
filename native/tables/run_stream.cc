#include "tables/run_stream.h"

#include <cerrno>
#include <memory>
#include <new>
#include <string>

#include "core/run_cursor.h"
#include "tables/arrow_export.h"
#include "tables/block_pool.h"
#include "tables/run_tables.h"

namespace talpen::tables {

namespace {

struct RunStreamState {
  RunStreamState(const ValidSpec& spec, size_t index, uint64_t bars_per_chunk)
      : cursor(spec), index(index), bars_per_chunk(bars_per_chunk), chunk(take_chunk_buffers()) {
    // A table reads neither the book's levels nor the trades but its own.
    if (index != kBookTable) cursor.skip_book_levels();
    if (index != kTradesTable) cursor.skip_trades();
  }
  ~RunStreamState() { give_chunk_buffers(std::move(chunk)); }
  RunStreamState(const RunStreamState&) = delete;
  RunStreamState& operator=(const RunStreamState&) = delete;

  RunCursor cursor;
  size_t index;
  uint64_t bars_per_chunk;
  RunBars chunk;  // reused from batch to batch, and by the next stream
  std::string last_error;
};

RunStreamState* state_of(ArrowArrayStream* stream) { return static_cast<RunStreamState*>(stream->private_data); }

int fail_with(RunStreamState* state, int code, std::string message) {
  state->last_error = std::move(message);
  return code;
}

int get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  RunStreamState* state = state_of(stream);
  try {
    // The schema of an empty chunk of the same run: the same columns.
    RunBars empty;
    empty.book_depth = state->cursor.spec().microstructure.book_depth;
    export_table_schema(*chunk_table(empty, state->index), out);
    return 0;
  } catch (...) {
    return fail_with(state, ENOMEM, "out of memory while exporting the schema");
  }
}

int get_next(ArrowArrayStream* stream, ArrowArray* out) {
  RunStreamState* state = state_of(stream);
  try {
    Result<uint64_t> produced = state->cursor.next(state->bars_per_chunk, &state->chunk);
    if (!produced.ok()) {
      const Error& error = produced.error();
      return fail_with(state, error.kind == ErrorKind::OutOfMemory ? ENOMEM : EIO, error.text());
    }
    if (produced.value() == 0) {
      *out = ArrowArray{};  // a released array marks the end of the stream
      return 0;
    }
    export_table_array(chunk_table(state->chunk, state->index, shared_block_pool()), out);
    return 0;
  } catch (...) {
    return fail_with(state, ENOMEM, "out of memory while producing a batch");
  }
}

const char* get_last_error(ArrowArrayStream* stream) {
  const std::string& error = state_of(stream)->last_error;
  return error.empty() ? nullptr : error.c_str();
}

void release(ArrowArrayStream* stream) {
  delete state_of(stream);
  stream->release = nullptr;
}

}  // namespace

void export_run_table_stream(const ValidSpec& spec, size_t index, uint64_t bars_per_chunk,
                             ArrowArrayStream* out) {
  auto state = std::make_unique<RunStreamState>(spec, index, bars_per_chunk);
  *out = ArrowArrayStream{get_schema, get_next, get_last_error, release, state.release()};
}

}  // namespace talpen::tables
