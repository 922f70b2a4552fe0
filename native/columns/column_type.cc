#include "columns/column_type.h"

#include <new>
#include <utility>

#include "columns/capsules.h"
#include "columns/guarded.h"

namespace talpen::columns {

using namespace tables;  // the data this glue lends out

namespace {

// The interpreter allocates the (zeroed) object; the shared_ptr is
// constructed in place by new_column and destroyed by hand in dealloc.
struct ColumnObject {
  PyObject_HEAD
  ColumnPtr data;
};

ColumnObject* as_column(PyObject* self) { return reinterpret_cast<ColumnObject*>(self); }
const ColumnPtr& data_of(PyObject* self) { return as_column(self)->data; }

void column_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_column(self)->data.~ColumnPtr();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* column_repr(PyObject* self) {
  const ColumnData& c = *data_of(self);
  std::string_view dtype = dtype_name(c.dtype());
  return PyUnicode_FromFormat("<Column '%s' %s[%zd]>", c.name().c_str(), dtype.data(),
                              static_cast<Py_ssize_t>(c.length()));
}

Py_ssize_t column_length(PyObject* self) { return static_cast<Py_ssize_t>(data_of(self)->length()); }

PyObject* get_name(PyObject* self, void*) { return str_from(data_of(self)->name()); }
PyObject* get_dtype(PyObject* self, void*) { return str_from(dtype_name(data_of(self)->dtype())); }
PyObject* get_nbytes(PyObject* self, void*) { return PyLong_FromSize_t(data_of(self)->nbytes()); }
PyObject* get_categories(PyObject* self, void*) {
  const Categories* categories = data_of(self)->categories();
  if (categories == nullptr) Py_RETURN_NONE;
  return Py_BuildValue("(ss)", categories->names[0], categories->names[1]);
}

PyObject* arrow_c_schema(PyObject* self, PyObject*) {
  return guarded([&] { return column_schema_capsule(*data_of(self)); });
}

// The requested schema is a hint that a producer may ignore; consumers check
// the schema they get.
PyObject* arrow_c_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_array__", const_cast<char**>(keywords),
                                   &requested)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    Owned schema(column_schema_capsule(*data_of(self)));
    if (!schema) return nullptr;
    Owned array(column_array_capsule(data_of(self)));
    if (!array) return nullptr;
    return PyTuple_Pack(2, schema.get(), array.get());
  });
}

PyObject* dlpack_device(PyObject*, PyObject*) { return Py_BuildValue("(ii)", 1, 0); }

// Reads an optional (int, int) pair; false with an error set when it is not one.
bool read_pair(PyObject* value, const char* what, int* first, int* second) {
  if (!PyTuple_Check(value) || PyTuple_Size(value) != 2) {
    PyErr_Format(PyExc_TypeError, "%s must be a pair of integers", what);
    return false;
  }
  return PyArg_ParseTuple(value, "ii", first, second) != 0;
}

PyObject* dlpack(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"stream", "max_version", "dl_device", "copy", nullptr};
  PyObject* stream = Py_None;
  PyObject* max_version = Py_None;
  PyObject* dl_device = Py_None;
  PyObject* copy = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOO:__dlpack__", const_cast<char**>(keywords), &stream,
                                   &max_version, &dl_device, &copy)) {
    return nullptr;
  }
  if (stream != Py_None) {
    PyErr_SetString(PyExc_BufferError, "a CPU column takes no stream");
    return nullptr;
  }
  if (dl_device != Py_None) {
    int type = 0;
    int id = 0;
    if (!read_pair(dl_device, "dl_device", &type, &id)) return nullptr;
    if (type != 1 || id != 0) {
      PyErr_SetString(PyExc_BufferError, "the column lives on the CPU, device (1, 0)");
      return nullptr;
    }
  }
  bool versioned = false;
  if (max_version != Py_None) {
    int major = 0;
    int minor = 0;
    if (!read_pair(max_version, "max_version", &major, &minor)) return nullptr;
    versioned = major >= 1;
  }
  int wants_copy = copy == Py_None ? 0 : PyObject_IsTrue(copy);
  if (wants_copy < 0) return nullptr;
  return guarded([&]() -> PyObject* {
    ColumnPtr source = data_of(self);
    if (wants_copy) source = source->clone();
    // A consumer that only knows the old protocol gets the old capsule; it
    // cannot be told the memory is a copy, which does it no harm.
    // A column is immutable once built: a view of it is read-only, a copy is
    // the consumer's own.
    if (versioned) return dlpack_versioned_capsule(source, wants_copy != 0, wants_copy == 0);
    return dlpack_capsule(source);
  });
}

// numpy.asarray(column) and friends: a view through DLPack, converted or
// copied only as asked.
PyObject* to_numpy(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"dtype", "copy", nullptr};
  PyObject* dtype = Py_None;
  PyObject* copy = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:__array__", const_cast<char**>(keywords), &dtype,
                                   &copy)) {
    return nullptr;
  }
  Owned numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  Owned view(PyObject_CallMethod(numpy.get(), "from_dlpack", "O", self));
  if (!view) return nullptr;
  // The column is immutable; a consumer that ignored the read-only flag of
  // the capsule still gets a view that refuses writes.
  Owned setflags(PyObject_GetAttrString(view.get(), "setflags"));
  Owned no_args(PyTuple_New(0));
  Owned write_off(Py_BuildValue("{s:O}", "write", Py_False));
  if (!setflags || !no_args || !write_off) return nullptr;
  Owned locked(PyObject_Call(setflags.get(), no_args.get(), write_off.get()));
  if (!locked) return nullptr;
  if (dtype == Py_None && copy == Py_None) return view.release();
  Owned array_fn(PyObject_GetAttrString(numpy.get(), "array"));
  if (!array_fn) return nullptr;
  Owned call_args(PyTuple_Pack(1, view.get()));
  Owned call_kwargs(PyDict_New());
  if (!call_args || !call_kwargs) return nullptr;
  if (PyDict_SetItemString(call_kwargs.get(), "dtype", dtype) < 0) return nullptr;
  if (copy != Py_None && PyDict_SetItemString(call_kwargs.get(), "copy", copy) < 0) return nullptr;
  return PyObject_Call(array_fn.get(), call_args.get(), call_kwargs.get());
}

constexpr const char kColumnDoc[] =
    "One column of a run's table: contiguous typed values, owned and immutable.\n\n"
    "It lends its memory without a copy to Arrow consumers (pyarrow.array,\n"
    "Polars, DuckDB) through `__arrow_c_array__` and to NumPy through\n"
    "`numpy.from_dlpack` or `numpy.asarray`. Every such view shares this\n"
    "column's memory and keeps it alive. Side columns hold the codes 0 and 1;\n"
    "`categories` names them, and Arrow receives them as a dictionary.";

// For a caller that holds the only reference to the column's run (the
// package's own arrays and frames): a writable view, without a copy.
PyObject* dlpack_for_owner(PyObject* self, PyObject*) {
  return guarded([&] { return dlpack_versioned_capsule(data_of(self), false, false); });
}

PyMethodDef column_methods[] = {
    {"_dlpack_for_owner", dlpack_for_owner, METH_NOARGS,
     "_dlpack_for_owner($self)\n--\n\n"
     "A versioned DLPack capsule of a writable view, for a caller that holds the\n"
     "only reference to this column's run (the package's arrays and frames)."},
    {"__arrow_c_schema__", arrow_c_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe column's Arrow type, as an \"arrow_schema\" capsule."},
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_c_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"
     "The pair of \"arrow_schema\" and \"arrow_array\" capsules, sharing the column's memory."},
    {"__dlpack__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dlpack)),
     METH_VARARGS | METH_KEYWORDS,
     "__dlpack__($self, *, stream=None, max_version=None, dl_device=None, copy=None)\n--\n\n"
     "A DLPack capsule of the column's memory (a copy when copy is true)."},
    {"__dlpack_device__", dlpack_device, METH_NOARGS,
     "__dlpack_device__($self)\n--\n\nThe device of the column's memory: (1, 0), the CPU."},
    {"__array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(to_numpy)),
     METH_VARARGS | METH_KEYWORDS,
     "__array__($self, dtype=None, copy=None)\n--\n\nThe column as a NumPy array (a view unless asked otherwise)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef column_getset[] = {
    {"name", get_name, nullptr, "The column's name.", nullptr},
    {"dtype", get_dtype, nullptr, "The value type, by NumPy's name (\"int64\", \"float64\", ...).", nullptr},
    {"nbytes", get_nbytes, nullptr, "The size of the values in bytes.", nullptr},
    {"categories", get_categories, nullptr, "The names of the codes 0 and 1 of a side column, else None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot column_slots[] = {
    {Py_tp_doc, const_cast<char*>(kColumnDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(column_repr)},
    {Py_tp_methods, column_methods},
    {Py_tp_getset, column_getset},
    {Py_mp_length, reinterpret_cast<void*>(column_length)},
    {0, nullptr},
};

PyType_Spec column_spec = {
    .name = "talpen_synth._talpen_columns.Column",
    .basicsize = sizeof(ColumnObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = column_slots,
};

}  // namespace

PyObject* create_column_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &column_spec, nullptr); }

PyObject* new_column(PyObject* column_type, ColumnPtr data) {
  auto* type = reinterpret_cast<PyTypeObject*>(column_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_column(self)->data) ColumnPtr(std::move(data));
  return self;
}

}  // namespace talpen::columns
