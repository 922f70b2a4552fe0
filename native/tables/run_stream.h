// One table of a run as an Arrow C stream that produces its batches chunk by
// chunk from a run cursor of its own, as the reader pulls them: a reader that
// drains one table never holds more than a chunk, and never the others.
#ifndef TALPEN_TABLES_RUN_STREAM_H_
#define TALPEN_TABLES_RUN_STREAM_H_

#include <cstddef>
#include <cstdint>

#include "core/validate.h"
#include "tables/arrow_abi.h"

namespace talpen::tables {

// Fills `*out` (the caller then owns it) with a stream of table `index`
// (table order of run_tables) in batches of `bars_per_chunk` bars.
// get_next fails with EIO and the text "numeric: …" when the run meets a
// value that is not finite, with ENOMEM when memory runs out; the stream
// then stays at its end. Throws std::bad_alloc when the stream cannot be set up.
// REQUIRES: index < 4, bars_per_chunk >= 1, the book's levels can be numbered.
void export_run_table_stream(const ValidSpec& spec, size_t index, uint64_t bars_per_chunk,
                             ArrowArrayStream* out);

}  // namespace talpen::tables

#endif  // TALPEN_TABLES_RUN_STREAM_H_
