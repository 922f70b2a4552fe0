// The native module `_talpen_columns`: a run as four tables of typed columns
// for data-frame libraries. It reads a spec exactly as a generate command
// reads its "spec" member, and runs it with the interpreter lock released, so
// runs on several threads proceed side by side.
#include <Python.h>

#include <optional>
#include <string_view>
#include <utility>

#include "columns/answer_output.h"
#include "columns/column_type.h"
#include "columns/cursor_type.h"
#include "columns/guarded.h"
#include "columns/module_state.h"
#include "columns/table_type.h"
#include "columns/universe_type.h"
#include "json/writer.h"
#include "protocol/spec_reading.h"
#include "protocol/spec_writer.h"
#include "tables/run_tables.h"

namespace talpen::columns {

namespace {

using tables::RunTables;

// What a run leaves for the interpreter once it holds the lock again.
struct RunOutcome {
  enum class Status { Done, Failed, OutOfMemory, Internal };
  Status status = Status::Internal;
  RunTables tables;
  std::optional<Error> error;
};

// Runs without the interpreter: touches no Python object and lets no
// exception out.
RunOutcome run_spec_text(std::string_view text) noexcept {
  RunOutcome out;
  try {
    Result<ValidSpec> spec = protocol::read_spec_document(text);
    if (!spec.ok()) {
      out.error = std::move(spec).error();
      out.status = RunOutcome::Status::Failed;
      return out;
    }
    Result<RunTables> laid_out = tables::run_tables(spec.value());
    if (!laid_out.ok()) {
      out.error = std::move(laid_out).error();
      out.status = RunOutcome::Status::Failed;
      return out;
    }
    out.tables = std::move(laid_out).value();
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
      return guarded([&] { return pyglue::raise_error(*outcome.error); });
    case RunOutcome::Status::OutOfMemory:
      return PyErr_NoMemory();
    case RunOutcome::Status::Internal:
      internal_failure();
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
    Result<ValidSpec> spec = protocol::read_spec_document(text);
    if (!spec.ok()) return pyglue::raise_error(spec.error());
    return PyLong_FromUnsignedLongLong(spec.value()->seed);
  });
}

PyObject* normalize_spec(PyObject*, PyObject* args, PyObject* kwargs) {
  std::string_view text;
  if (!spec_text_argument(args, kwargs, "U:normalize_spec", &text)) return nullptr;
  return guarded([&]() -> PyObject* {
    Result<std::optional<ValidSpec>> spec = protocol::read_handle_spec(text);
    if (!spec.ok()) return pyglue::raise_error(spec.error());
    if (!spec.value()) Py_RETURN_NONE;
    json::JsonWriter out;
    protocol::write_spec_object(out, spec.value()->get());
    return str_from(std::string_view(out.data(), out.size()));
  });
}

PyMethodDef module_methods[] = {
    {"generate", pyglue::as_method(generate), METH_VARARGS | METH_KEYWORDS,
     "generate(spec_json)\n--\n\n"
     "Run a spec (JSON text) and return its tables (candles, book, trades, funding).\n\n"
     "The spec is read as a generate command reads its \"spec\" member, and a\n"
     "failure raises ValueError with the same text (\"parse: ...\", \"bad spec: ...\",\n"
     "\"numeric: ...\"). The run releases the interpreter lock. Exhausted memory\n"
     "raises MemoryError."},
    {"check_spec", pyglue::as_method(check_spec), METH_VARARGS | METH_KEYWORDS,
     "check_spec(spec_json)\n--\n\n"
     "Read and validate a spec (JSON text) as generate does, without running it;\n"
     "return its seed."},
    {"normalize_spec", pyglue::as_method(normalize_spec), METH_VARARGS | METH_KEYWORDS,
     "normalize_spec(spec_json)\n--\n\n"
     "Read a spec text as Synth(spec_json) does and return it in normalised form:\n"
     "JSON text of the object form with every field present (defaults filled in,\n"
     "\"funding\" null when absent), each number written so that it reads back to\n"
     "the same bits, so the normalised text runs exactly as the original.\n"
     "An empty text or exactly \"{}\" (after trimming white space) gives None.\n"
     "A spec the constructor refuses raises ValueError with the same text."},
    {"write_answer", pyglue::as_method(write_answer), METH_VARARGS | METH_KEYWORDS, kWriteAnswerDoc},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  state->column_type = create_column_type(module);
  if (state->column_type == nullptr) return -1;
  state->table_type = create_table_type(module);
  if (state->table_type == nullptr) return -1;
  state->cursor_type = create_cursor_type(module);
  if (state->cursor_type == nullptr) return -1;
  state->table_stream_type = create_table_stream_type(module);
  if (state->table_stream_type == nullptr) return -1;
  state->universe_type = create_universe_type(module);
  if (state->universe_type == nullptr) return -1;
  for (const char* name : {"generate", "check_spec", "normalize_spec", "write_answer"}) {
    Owned function(PyObject_GetAttrString(module, name));
    if (!function || pyglue::add_public(module, name, function.get()) < 0) return -1;
  }
  if (pyglue::add_public(module, "Column", state->column_type) < 0) return -1;
  if (pyglue::add_public(module, "Table", state->table_type) < 0) return -1;
  if (pyglue::add_public(module, "Cursor", state->cursor_type) < 0) return -1;
  if (pyglue::add_public(module, "TableStream", state->table_stream_type) < 0) return -1;
  return pyglue::add_public(module, "Universe", state->universe_type);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_VISIT(state->column_type);
  Py_VISIT(state->table_type);
  Py_VISIT(state->cursor_type);
  Py_VISIT(state->table_stream_type);
  Py_VISIT(state->universe_type);
  return 0;
}

int clear_module(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_CLEAR(state->column_type);
  Py_CLEAR(state->table_type);
  Py_CLEAR(state->cursor_type);
  Py_CLEAR(state->table_stream_type);
  Py_CLEAR(state->universe_type);
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
