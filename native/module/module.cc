// The native module `_talpen_synth`: its one execution step adds the version
// and the class Synth, keeping `__all__` in step with what it adds.
#include <Python.h>

#include "module/dispatch.h"
#include "module/py_ref.h"
#include "module/synth_type.h"

namespace talpen::module {

namespace {

// Appends `name` to the module's `__all__` (created as an empty list when the
// module has none) and sets the attribute. Returns -1 with an error set on
// failure.
int add_public(PyObject* module, const char* name, PyObject* value) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all) return -1;
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  PyRef key(PyUnicode_FromString(name));
  if (!key) return -1;
  if (PyList_Append(all.get(), key.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, value);
}

int exec_module(PyObject* module) {
  PyRef version(PyUnicode_FromStringAndSize(kVersion.data(), static_cast<Py_ssize_t>(kVersion.size())));
  if (!version) return -1;
  if (add_public(module, "__version__", version.get()) < 0) return -1;
  PyRef type(synth_type());
  if (!type) return -1;
  return add_public(module, "Synth", type.get());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_talpen_synth",
    .m_doc = "The native module (`talpen_synth._talpen_synth`).",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace talpen::module

PyMODINIT_FUNC PyInit__talpen_synth() { return PyModuleDef_Init(&talpen::module::module_def); }
