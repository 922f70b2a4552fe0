// The native module `_talpen_columns`: a run as four tables of typed columns
// for data-frame libraries. It reads a spec exactly as a generate command
// reads its "spec" member, and runs it with the interpreter lock released, so
// runs on several threads proceed side by side.
#include <Python.h>

#include <optional>
#include <string_view>
#include <utility>

#include "columns/column_type.h"
#include "columns/module_state.h"
#include "columns/py_support.h"
#include "columns/run_tables.h"
#include "columns/table_type.h"
#include "core/synth_error.h"

namespace talpen::columns {

namespace {

// What a run leaves for the interpreter once it holds the lock again.
struct RunOutcome {
  enum class Status { Done, Failed, OutOfMemory, Internal };
  Status status = Status::Internal;
  RunTables tables;
  std::optional<SynthError> error;
};

// Runs without the interpreter: touches no Python object and lets no
// exception out.
RunOutcome run_spec_text(std::string_view text) noexcept {
  RunOutcome out;
  try {
    Result<GenSpec> spec = read_spec_json(text);
    if (!spec.ok()) {
      out.error = std::move(spec).error();
      out.status = RunOutcome::Status::Failed;
      return out;
    }
    Result<RunTables> tables = run_tables(spec.value());
    if (!tables.ok()) {
      out.error = std::move(tables).error();
      out.status = RunOutcome::Status::Failed;
      return out;
    }
    out.tables = std::move(tables).value();
    out.status = RunOutcome::Status::Done;
  } catch (const std::bad_alloc&) {
    out.status = RunOutcome::Status::OutOfMemory;
  } catch (const std::length_error&) {
    out.status = RunOutcome::Status::OutOfMemory;
  } catch (...) {
    out.status = RunOutcome::Status::Internal;
  }
  return out;
}

// ValueError with the prefixed text, as the constructor of Synth raises it.
PyObject* raise_synth_error(const SynthError& error) {
  Owned message(str_from(error.text()));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

// The spec text as UTF-8. The bytes belong to the str (cached inside it), so
// they stay valid while the caller's arguments hold it.
bool spec_text_argument(PyObject* args, PyObject* kwargs, const char* format, std::string_view* text) {
  static const char* keywords[] = {"spec_json", nullptr};
  PyObject* spec = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &spec)) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(spec, &size);
  if (utf8 == nullptr) return false;
  *text = std::string_view(utf8, static_cast<size_t>(size));
  return true;
}

PyObject* generate(PyObject* module, PyObject* args, PyObject* kwargs) {
  std::string_view text;
  if (!spec_text_argument(args, kwargs, "U:generate", &text)) return nullptr;
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr || state->table_type == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "talpen_synth._talpen_columns is being torn down");
    return nullptr;
  }

  RunOutcome outcome;
  Py_BEGIN_ALLOW_THREADS
  outcome = run_spec_text(text);
  Py_END_ALLOW_THREADS

  switch (outcome.status) {
    case RunOutcome::Status::Done:
      break;
    case RunOutcome::Status::Failed:
      return guarded([&] { return raise_synth_error(*outcome.error); });
    case RunOutcome::Status::OutOfMemory:
      return PyErr_NoMemory();
    case RunOutcome::Status::Internal:
      PyErr_SetString(PyExc_SystemError, "talpen_synth._talpen_columns: internal failure");
      return nullptr;
  }
  Owned result(PyTuple_New(static_cast<Py_ssize_t>(outcome.tables.size())));
  if (!result) return nullptr;
  for (size_t i = 0; i < outcome.tables.size(); ++i) {
    PyObject* table = new_table(state->table_type, std::move(outcome.tables[i]));
    if (table == nullptr) return nullptr;
    PyTuple_SetItem(result.get(), static_cast<Py_ssize_t>(i), table);  // steals
  }
  return result.release();
}

PyObject* check_spec(PyObject*, PyObject* args, PyObject* kwargs) {
  std::string_view text;
  if (!spec_text_argument(args, kwargs, "U:check_spec", &text)) return nullptr;
  return guarded([&]() -> PyObject* {
    Result<GenSpec> spec = read_spec_json(text);
    if (!spec.ok()) return raise_synth_error(spec.error());
    return PyLong_FromUnsignedLongLong(spec.value().seed);
  });
}

PyCFunction as_function(PyObject* (*f)(PyObject*, PyObject*, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef module_methods[] = {
    {"generate", as_function(generate), METH_VARARGS | METH_KEYWORDS,
     "generate(spec_json)\n--\n\n"
     "Run a spec (JSON text) and return its tables (candles, book, trades, funding).\n\n"
     "The spec is read as a generate command reads its \"spec\" member, and a\n"
     "failure raises ValueError with the same text (\"parse: ...\", \"bad spec: ...\",\n"
     "\"numeric: ...\"). The run releases the interpreter lock. Exhausted memory\n"
     "raises MemoryError."},
    {"check_spec", as_function(check_spec), METH_VARARGS | METH_KEYWORDS,
     "check_spec(spec_json)\n--\n\n"
     "Read and validate a spec (JSON text) as generate does, without running it;\n"
     "return its seed."},
    {nullptr, nullptr, 0, nullptr},
};

// Appends `name` to `__all__` (created when missing) and sets the attribute.
int add_public(PyObject* module, const char* name, PyObject* value) {
  Owned all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Owned(PyList_New(0));
    if (!all) return -1;
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  Owned key(PyUnicode_FromString(name));
  if (!key) return -1;
  if (PyList_Append(all.get(), key.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, value);
}

int exec_module(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  state->column_type = create_column_type(module);
  if (state->column_type == nullptr) return -1;
  state->table_type = create_table_type(module);
  if (state->table_type == nullptr) return -1;
  for (const char* name : {"generate", "check_spec"}) {
    Owned function(PyObject_GetAttrString(module, name));
    if (!function || add_public(module, name, function.get()) < 0) return -1;
  }
  if (add_public(module, "Column", state->column_type) < 0) return -1;
  return add_public(module, "Table", state->table_type);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_VISIT(state->column_type);
  Py_VISIT(state->table_type);
  return 0;
}

int clear_module(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_CLEAR(state->column_type);
  Py_CLEAR(state->table_type);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_talpen_columns",
    .m_doc = "A run as tables of typed columns (`talpen_synth._talpen_columns`).",
    .m_size = sizeof(ModuleState),
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace

}  // namespace talpen::columns

PyMODINIT_FUNC PyInit__talpen_columns() { return PyModuleDef_Init(&talpen::columns::module_def); }
