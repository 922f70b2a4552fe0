// The capsules of the Arrow PyCapsule interface ("arrow_schema",
// "arrow_array", "arrow_array_stream") and of DLPack ("dltensor",
// "dltensor_versioned"). A capsule owns its struct until a consumer takes it:
// an Arrow consumer moves the contents out (leaving `release` null), a DLPack
// consumer renames the capsule to "used_..." and calls the deleter itself.
// Whatever is left untaken is released when the capsule dies.
#ifndef TALPEN_COLUMNS_CAPSULES_H_
#define TALPEN_COLUMNS_CAPSULES_H_

#include <Python.h>

#include "core/validate.h"
#include "tables/column_data.h"

namespace talpen::columns {

using tables::ColumnData;
using tables::ColumnPtr;
using tables::TableData;
using tables::TablePtr;

// Each returns a new capsule, or null with an error set. May throw
// std::bad_alloc (callers run under `guarded`).
PyObject* column_schema_capsule(const ColumnData& column);
PyObject* column_array_capsule(const ColumnPtr& column);
PyObject* table_schema_capsule(const TableData& table);
PyObject* table_array_capsule(const TablePtr& table);
PyObject* table_stream_capsule(const TablePtr& table);
// A stream of one table of a run, made chunk by chunk by a cursor of its own.
PyObject* run_stream_capsule(const ValidSpec& spec, size_t index, uint64_t bars_per_chunk);
PyObject* dlpack_capsule(const ColumnPtr& column);
PyObject* dlpack_versioned_capsule(const ColumnPtr& column, bool copied, bool read_only);

}  // namespace talpen::columns

#endif  // TALPEN_COLUMNS_CAPSULES_H_
