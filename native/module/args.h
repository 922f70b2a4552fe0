// Argument binding and text conversion for the two entry points that take
// one text, Synth(spec_json) and Synth.command(cmd_json).
#ifndef TALPEN_MODULE_ARGS_H_
#define TALPEN_MODULE_ARGS_H_

#include <Python.h>

#include <string>

namespace talpen::module {

// Binds the single required parameter `parameter` of `function` (its full
// name, such as "Synth.command()") from a positional tuple and an optional
// keyword dictionary. Checks, in this order: more than one positional
// argument; each keyword in the dictionary's order (unknown name, or the
// parameter given twice); the parameter missing. Returns the bound value
// (borrowed), or null with TypeError set.
PyObject* bind_single_argument(PyObject* args, PyObject* kwargs, const char* function,
                               const char* parameter);

// Copies the UTF-8 encoding of `value`, a str or str subclass, into `out`.
// On failure returns false with the error set and noted "while processing
// '<parameter>'": TypeError for any other type, the interpreter's own
// UnicodeEncodeError for lone surrogates.
// May throw std::bad_alloc while copying; nothing is set then.
bool text_argument(PyObject* value, const char* parameter, std::string* out);

}  // namespace talpen::module

#endif  // TALPEN_MODULE_ARGS_H_
