// The Python type Column: one owned, immutable, contiguous column of a run's
// table. It lends its memory to consumers without a copy, through the Arrow
// PyCapsule interface (`__arrow_c_schema__`, `__arrow_c_array__`) and DLPack
// (`__dlpack__`, `__dlpack_device__`), and to NumPy through `__array__`.
#ifndef TALPEN_COLUMNS_COLUMN_TYPE_H_
#define TALPEN_COLUMNS_COLUMN_TYPE_H_

#include <Python.h>

#include "tables/column_data.h"

namespace talpen::columns {

using tables::ColumnPtr;

// The type for `module`, created from its spec; a new reference or null.
PyObject* create_column_type(PyObject* module);

// A new Column of `column_type` over `data`, or null with an error set.
PyObject* new_column(PyObject* column_type, ColumnPtr data);

}  // namespace talpen::columns

#endif  // TALPEN_COLUMNS_COLUMN_TYPE_H_
