// The classes Cursor (a run produced chunk by chunk, as JSON text, text rows
// or tables) and TableStream (one table of a run as an Arrow C stream that
// runs its own cursor).
#ifndef TALPEN_COLUMNS_CURSOR_TYPE_H_
#define TALPEN_COLUMNS_CURSOR_TYPE_H_

#include <Python.h>

namespace talpen::columns {

PyObject* create_cursor_type(PyObject* module);
PyObject* create_table_stream_type(PyObject* module);

}  // namespace talpen::columns

#endif  // TALPEN_COLUMNS_CURSOR_TYPE_H_
