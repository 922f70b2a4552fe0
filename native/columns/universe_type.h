// The class Universe: several instruments on one clock with mixed shocks,
// produced chunk by chunk as tables or as JSON lines of events.
#ifndef TALPEN_COLUMNS_UNIVERSE_TYPE_H_
#define TALPEN_COLUMNS_UNIVERSE_TYPE_H_

#include <Python.h>

namespace talpen::columns {

PyObject* create_universe_type(PyObject* module);

}  // namespace talpen::columns

#endif  // TALPEN_COLUMNS_UNIVERSE_TYPE_H_
