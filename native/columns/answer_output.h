// write_answer: a run's "generate" or "generate_stream" answer written to a
// Python binary file object piece by piece, in memory bounded by a few chunks,
// the text made by native threads without the interpreter lock.
#ifndef TALPEN_COLUMNS_ANSWER_OUTPUT_H_
#define TALPEN_COLUMNS_ANSWER_OUTPUT_H_

#include <Python.h>

namespace talpen::columns {

extern const char kWriteAnswerDoc[];

PyObject* write_answer(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace talpen::columns

#endif  // TALPEN_COLUMNS_ANSWER_OUTPUT_H_
