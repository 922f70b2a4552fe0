// Columns and tables out through the Arrow C data interface, without copying
// a value: every exported array keeps its column alive through a shared_ptr
// until the consumer releases it, from whatever thread.
//
// Types: int64 "l", uint64 "L", uint32 "I", float64 "g". A category column
// (a uint8 side code) goes out as a dictionary: its codes as int8 indices "c"
// into a two-entry utf8 dictionary ("bid"/"ask", "buy"/"sell"). A table goes
// out as a non-nullable struct "+s" whose children are its columns, or as a
// stream of one such batch. No array has nulls.
#ifndef TALPEN_TABLES_ARROW_EXPORT_H_
#define TALPEN_TABLES_ARROW_EXPORT_H_

#include "tables/arrow_abi.h"
#include "tables/column_data.h"

namespace talpen::tables {

// Each fills `*out`, which the caller then owns (its `release` is set). On a
// throw (std::bad_alloc) `*out` is untouched and nothing leaks.
void export_column_schema(const ColumnData& column, ArrowSchema* out);
void export_column_array(const ColumnPtr& column, ArrowArray* out);
void export_table_schema(const TableData& table, ArrowSchema* out);
void export_table_array(const TablePtr& table, ArrowArray* out);
void export_table_stream(const TablePtr& table, ArrowArrayStream* out);

// A struct whose `release` is null is released (or was moved out) and may
// simply be freed.
void release_if_live(ArrowSchema* schema);
void release_if_live(ArrowArray* array);
void release_if_live(ArrowArrayStream* stream);

}  // namespace talpen::tables

#endif  // TALPEN_TABLES_ARROW_EXPORT_H_
