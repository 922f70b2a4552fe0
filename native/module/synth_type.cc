#include "module/synth_type.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "base/borrow_flag.h"
#include "base/thread_id.h"
#include "core/validate.h"
#include "json/writer.h"
#include "module/args.h"
#include "module/module_state.h"
#include "module/py_errors.h"
#include "protocol/dispatch.h"
#include "protocol/spec_reading.h"
#include "protocol/version.h"
#include "pyglue/py_glue.h"

namespace talpen::module {

namespace {

using pyglue::PyRef;
using pyglue::raise_error;
using pyglue::str_from;

// The instance layout. The C++ members are constructed in place once the
// interpreter has allocated the (zeroed) object, and destroyed by hand in
// dealloc.
struct PySynth {
  PyObject_HEAD
  // Absent until a spec is given.
  std::optional<ValidSpec> spec;
  BorrowFlag borrow_flag;
  // The creating thread: the only one allowed to use or release `spec`. The
  // handle holds a stateful generator spec that is not meant to be shared.
  uint64_t owner_thread;
};

constexpr const char kClassDoc[] =
    "Synth(spec_json)\n--\n\n"
    "A synth driven by JSON commands.\n\n"
    "`unsendable`: the handle holds a stateful generator, so it is bound to the\n"
    "thread that created it.";
constexpr const char kCommandDoc[] =
    "command($self, cmd_json)\n--\n\n"
    "Apply a command JSON and return the resulting response JSON.";
constexpr const char kVersionDoc[] = "version()\n--\n\nThe library version.";

// The handle's name in panic and unraisable messages, and the class's
// qualified name "builtins.Synth" below, are fixed: callers match on these
// texts and names (logs, warnings filters, reprs), so they stay as they were
// whatever the module's layout.
constexpr const char kTypeName[] = "_talpen_synth::PySynth";

PySynth* as_synth(PyObject* self) { return reinterpret_cast<PySynth*>(self); }

PyObject* panic_type_of(PyObject* self) { return state_of_type(Py_TYPE(self))->panic_type; }

// A C++ exception other than exhausted memory (none is expected): a fixed
// text, as building one here could throw again, out of the handler.
auto internal_failure(PyObject* self) {
  return [self] { raise_panic(panic_type_of(self), "_talpen_synth::PySynth: internal failure"); };
}

// PanicException for a command from a thread that does not own the handle.
// Formatted into a fixed buffer: this runs outside any C++ exception handler,
// so it must not allocate.
void raise_foreign_thread(PyObject* self, uint64_t caller, uint64_t owner) {
  char message[192];
  std::snprintf(message, sizeof message,
                "%s is unsendable, but sent to another thread (calling thread %" PRIu64
                ", owning thread %" PRIu64 ")",
                kTypeName, caller, owner);
  raise_panic(panic_type_of(self), message);
}

PyObject* synth_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto body = [&]() -> PyObject* {
    PyObject* arg = bind_single_argument(args, kwargs, "Synth.__new__()", "spec_json");
    if (arg == nullptr) return nullptr;
    std::optional<ValidSpec> spec;
    {
      std::string text;
      if (!text_argument(arg, "spec_json", &text)) return nullptr;
      Result<std::optional<ValidSpec>> read = protocol::read_handle_spec(text);
      if (!read.ok()) return raise_error(read.error());
      spec = std::move(read).value();
    }
    auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    if (base_new == nullptr) return nullptr;
    PyRef no_args(PyTuple_New(0));
    if (!no_args) return nullptr;
    PyObject* self = base_new(type, no_args.get(), nullptr);
    if (self == nullptr) return nullptr;
    // Nothing below can fail: moving a spec does not allocate.
    PySynth* synth = as_synth(self);
    new (&synth->spec) std::optional<ValidSpec>(std::move(spec));
    new (&synth->borrow_flag) BorrowFlag(kBorrowFree);
    synth->owner_thread = current_thread_id();
    return self;
  };
  // No handle exists yet: the panic class comes from the type's module.
  return pyglue::guarded(body, [type] {
    raise_panic(state_of_type(type)->panic_type, "_talpen_synth::PySynth: internal failure");
  });
}

void synth_dealloc(PyObject* self) {
  PySynth* synth = as_synth(self);
  PyTypeObject* type = Py_TYPE(self);
  if (synth->owner_thread == current_thread_id()) {
    synth->spec.~optional();
  } else {
    // Releasing the spec here would touch it from a thread that does not own
    // it: leak it instead, and say so without disturbing any pending error.
    SavedError saved;
    std::string_view message = "_talpen_synth::PySynth is unsendable, but is being dropped on another thread";
    PyRef text(str_from(message));
    if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
    PyErr_WriteUnraisable(nullptr);
  }
  synth->borrow_flag.~BorrowFlag();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(type);
}

// The part of a command that runs with the handle in exclusive use: argument
// conversion, dispatch, and the answer str. The run and the argument copy are
// gone before the str is made, so a large answer is held twice at most.
PyObject* answer_command(PyObject* self, PyObject* arg) {
  PySynth* synth = as_synth(self);
  auto body = [&]() -> PyObject* {
    json::JsonWriter out;
    {
      std::string text;
      if (!text_argument(arg, "cmd_json", &text)) return nullptr;
      Status done = protocol::dispatch_command(synth->spec, text, out);
      if (!done.ok()) return raise_error(done.error());
    }  // the argument copy goes before the answer is copied into a str
    PyObject* answer = PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    out.clear_and_free();
    return answer;
  };
  return pyglue::guarded(body, internal_failure(self));
}

PyObject* synth_command(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* arg = bind_single_argument(args, kwargs, "Synth.command()", "cmd_json");
  if (arg == nullptr) return nullptr;
  PySynth* synth = as_synth(self);
  uint64_t caller = current_thread_id();
  if (caller != synth->owner_thread) {
    raise_foreign_thread(self, caller, synth->owner_thread);
    return nullptr;
  }
  if (!try_borrow(synth->borrow_flag)) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
  }
  PyObject* answer = answer_command(self, arg);
  release_borrow(synth->borrow_flag);
  return answer;
}

PyObject* synth_version(PyObject*, PyObject*) { return str_from(protocol::kVersion); }

PyMethodDef synth_methods[] = {
    {"command", pyglue::as_method(synth_command),
     METH_VARARGS | METH_KEYWORDS, kCommandDoc},
    {"version", synth_version, METH_STATIC | METH_NOARGS, kVersionDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot synth_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(synth_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(synth_dealloc)},
    {Py_tp_methods, synth_methods},
    {0, nullptr},
};

// Default flags only: the class cannot be subclassed and its instances, which
// refer to no Python object, are not tracked by the cycle collector.
PyType_Spec synth_spec = {
    .name = "builtins.Synth",  // fixed: see kTypeName
    .basicsize = static_cast<int>(sizeof(PySynth)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = synth_slots,
};

}  // namespace

PyObject* create_synth_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &synth_spec, nullptr);
}

}  // namespace talpen::module
