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

#include "core/decode_text.h"
#include "core/spec.h"
#include "core/synth_error.h"
#include "core/validate.h"
#include "json/error.h"
#include "json/writer.h"
#include "module/args.h"
#include "module/borrow.h"
#include "module/dispatch.h"
#include "module/py_errors.h"
#include "module/py_ref.h"
#include "module/thread_id.h"
#include "module/white_space.h"

namespace talpen::module {

namespace {

// The instance layout. The C++ members are constructed in place once the
// interpreter has allocated the (zeroed) object, and destroyed by hand in
// dealloc.
struct PySynth {
  PyObject_HEAD
  // Absent until a spec is given; when present it passed validation when stored.
  std::optional<GenSpec> spec;
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

constexpr const char kTypeName[] = "_talpen_synth::PySynth";

PySynth* as_synth(PyObject* self) { return reinterpret_cast<PySynth*>(self); }

// `text` as a new str; the message texts may hold any UTF-8, NUL included.
PyObject* str_from(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

void raise_with_text(PyObject* type, std::string_view text) {
  PyRef message(str_from(text));
  if (message) PyErr_SetObject(type, message.get());
}

// The entry points' last line of defence: C++ exceptions must not unwind into
// the interpreter. Exhausted memory is the only one the library lets through.
void raise_from_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (...) {
    // A fixed text: building one here could throw again, out of the handler.
    raise_panic("_talpen_synth::PySynth: internal failure");
  }
}

// PanicException for a command from a thread that does not own the handle.
// Formatted into a fixed buffer: this runs outside any C++ exception handler,
// so it must not allocate.
void raise_foreign_thread(uint64_t caller, uint64_t owner) {
  char message[192];
  std::snprintf(message, sizeof message,
                "%s is unsendable, but sent to another thread (calling thread %" PRIu64
                ", owning thread %" PRIu64 ")",
                kTypeName, caller, owner);
  raise_panic(message);
}

// Decodes and validates a spec text; false with ValueError set on failure.
bool read_spec_text(std::string_view text, std::optional<GenSpec>* spec) {
  std::string_view trimmed = trim_white_space(text);
  if (trimmed.empty() || trimmed == "{}") return true;
  // Positions in messages count from the start of the trimmed text.
  auto decoded = decode_spec_text(trimmed);
  if (!decoded.ok()) {
    SynthError error{ErrorKind::Parse, json::error_text(decoded.error())};
    raise_with_text(PyExc_ValueError, error.text());
    return false;
  }
  if (auto broken = validate_spec(decoded.value())) {
    SynthError error{ErrorKind::BadSpec, std::move(*broken)};
    raise_with_text(PyExc_ValueError, error.text());
    return false;
  }
  *spec = std::move(decoded).value();
  return true;
}

PyObject* synth_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    PyObject* arg = bind_single_argument(args, kwargs, "Synth.__new__()", "spec_json");
    if (arg == nullptr) return nullptr;
    std::optional<GenSpec> spec;
    {
      std::string text;
      if (!text_argument(arg, "spec_json", &text)) return nullptr;
      if (!read_spec_text(text, &spec)) return nullptr;
    }
    auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    if (base_new == nullptr) return nullptr;
    PyRef no_args(PyTuple_New(0));
    if (!no_args) return nullptr;
    PyObject* self = base_new(type, no_args.get(), nullptr);
    if (self == nullptr) return nullptr;
    // Nothing below can fail: moving a spec does not allocate.
    PySynth* synth = as_synth(self);
    new (&synth->spec) std::optional<GenSpec>(std::move(spec));
    new (&synth->borrow_flag) BorrowFlag(kBorrowFree);
    synth->owner_thread = current_thread_id();
    return self;
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
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
PyObject* answer_command(PySynth* synth, PyObject* arg) {
  try {
    json::JsonWriter out;
    {
      std::string text;
      if (!text_argument(arg, "cmd_json", &text)) return nullptr;
      dispatch_command(synth->spec, text, out);
    }  // the argument copy goes before the answer is copied into a str
    PyObject* answer = PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    out.clear_and_free();
    return answer;
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* synth_command(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* arg = bind_single_argument(args, kwargs, "Synth.command()", "cmd_json");
  if (arg == nullptr) return nullptr;
  PySynth* synth = as_synth(self);
  uint64_t caller = current_thread_id();
  if (caller != synth->owner_thread) {
    raise_foreign_thread(caller, synth->owner_thread);
    return nullptr;
  }
  if (!try_borrow(synth->borrow_flag)) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
  }
  PyObject* answer = answer_command(synth, arg);
  release_borrow(synth->borrow_flag);
  return answer;
}

PyObject* synth_version(PyObject*, PyObject*) { return str_from(kVersion); }

PyMethodDef synth_methods[] = {
    {"command", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(synth_command)),
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
    .name = "builtins.Synth",
    .basicsize = static_cast<int>(sizeof(PySynth)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = synth_slots,
};

}  // namespace

PyObject* synth_type() {
  // One class for the process; this reference keeps it alive for good.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyType_FromSpec(&synth_spec);
    if (type == nullptr) return nullptr;
  }
  Py_INCREF(type);
  return type;
}

}  // namespace talpen::module
