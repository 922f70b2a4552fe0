// The Python type Table: one of a run's four tables, named columns of equal
// length. It goes to Arrow consumers whole, without a copy, through
// `__arrow_c_stream__` (one batch) or `__arrow_c_array__` (a struct array);
// `table[name]` or `table[i]` gives one Column.
#ifndef TALPEN_COLUMNS_TABLE_TYPE_H_
#define TALPEN_COLUMNS_TABLE_TYPE_H_

#include <Python.h>

#include "tables/column_data.h"

namespace talpen::columns {

using tables::TablePtr;

// The type for `module`, created from its spec; a new reference or null.
PyObject* create_table_type(PyObject* module);

// A new Table of `table_type` over `data`, or null with an error set.
PyObject* new_table(PyObject* table_type, TablePtr data);

}  // namespace talpen::columns

#endif  // TALPEN_COLUMNS_TABLE_TYPE_H_
