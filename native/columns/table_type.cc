#include "columns/table_type.h"

#include <new>
#include <string>
#include <utility>

#include "columns/capsules.h"
#include "columns/column_type.h"
#include "columns/module_state.h"
#include "columns/guarded.h"

namespace talpen::columns {

using namespace tables;  // the data this glue lends out

namespace {

struct TableObject {
  PyObject_HEAD
  TablePtr data;
};

TableObject* as_table(PyObject* self) { return reinterpret_cast<TableObject*>(self); }
const TablePtr& data_of(PyObject* self) { return as_table(self)->data; }

void table_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_table(self)->data.~TablePtr();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* table_repr(PyObject* self) {
  const TableData& t = *data_of(self);
  return PyUnicode_FromFormat("<Table '%s': %zd columns, %zd rows>", t.name.c_str(),
                              static_cast<Py_ssize_t>(t.columns.size()), static_cast<Py_ssize_t>(t.rows));
}

Py_ssize_t table_length(PyObject* self) { return static_cast<Py_ssize_t>(data_of(self)->rows); }

PyObject* column_at(PyObject* self, size_t index) {
  ModuleState* state = state_of_type(Py_TYPE(self));
  if (state == nullptr) return nullptr;
  if (state->column_type == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "talpen_synth._talpen_columns is being torn down");
    return nullptr;
  }
  return new_column(state->column_type, data_of(self)->columns[index]);
}

// By name (KeyError when there is none) or by position (IndexError past
// either end; negative positions count from the end).
PyObject* table_subscript(PyObject* self, PyObject* key) {
  const TableData& t = *data_of(self);
  const auto n = static_cast<Py_ssize_t>(t.columns.size());
  if (PyUnicode_Check(key)) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &size);
    if (name == nullptr) return nullptr;
    ptrdiff_t found = t.find({name, static_cast<size_t>(size)});
    if (found < 0) {
      PyErr_SetObject(PyExc_KeyError, key);
      return nullptr;
    }
    return column_at(self, static_cast<size_t>(found));
  }
  Owned index_obj(PyNumber_Index(key));
  if (!index_obj) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "a table's columns are indexed by name (str) or position (int)");
    return nullptr;
  }
  Py_ssize_t i = PyLong_AsSsize_t(index_obj.get());
  if (i == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    i = n;  // far out of range either way
  }
  if (i < 0) i += n;
  if (i < 0 || i >= n) {
    PyErr_SetString(PyExc_IndexError, "column index out of range");
    return nullptr;
  }
  return column_at(self, static_cast<size_t>(i));
}

PyObject* get_name(PyObject* self, void*) { return str_from(data_of(self)->name); }
PyObject* get_num_rows(PyObject* self, void*) { return PyLong_FromSize_t(data_of(self)->rows); }
PyObject* get_nbytes(PyObject* self, void*) { return PyLong_FromSize_t(data_of(self)->nbytes()); }
PyObject* get_column_names(PyObject* self, void*) {
  const TableData& t = *data_of(self);
  Owned names(PyTuple_New(static_cast<Py_ssize_t>(t.columns.size())));
  if (!names) return nullptr;
  for (size_t i = 0; i < t.columns.size(); ++i) {
    PyObject* name = str_from(t.columns[i]->name());
    if (name == nullptr) return nullptr;
    PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(i), name);  // steals
  }
  return names.release();
}

PyObject* arrow_c_schema(PyObject* self, PyObject*) {
  return guarded([&] { return table_schema_capsule(*data_of(self)); });
}

// Requested schemas are hints a producer may ignore; consumers check.
bool parse_requested_schema(PyObject* args, PyObject* kwargs, const char* format) {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &requested) != 0;
}

PyObject* arrow_c_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!parse_requested_schema(args, kwargs, "|O:__arrow_c_array__")) return nullptr;
  return guarded([&]() -> PyObject* {
    Owned schema(table_schema_capsule(*data_of(self)));
    if (!schema) return nullptr;
    Owned array(table_array_capsule(data_of(self)));
    if (!array) return nullptr;
    return PyTuple_Pack(2, schema.get(), array.get());
  });
}

PyObject* arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!parse_requested_schema(args, kwargs, "|O:__arrow_c_stream__")) return nullptr;
  return guarded([&] { return table_stream_capsule(data_of(self)); });
}

constexpr const char kTableDoc[] =
    "One table of a run: named, equally long typed columns.\n\n"
    "Arrow consumers take it whole and without a copy (pyarrow.table, Polars,\n"
    "DuckDB) through `__arrow_c_stream__`; `table[name]` or `table[i]` gives\n"
    "one Column; len(table) is its number of rows.";

PyMethodDef table_methods[] = {
    {"__arrow_c_schema__", arrow_c_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe table's schema as an Arrow struct type, in an \"arrow_schema\" "
     "capsule."},
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_c_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"
     "The table as one Arrow struct array: \"arrow_schema\" and \"arrow_array\" capsules."},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_c_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The table as an Arrow stream of one batch, in an \"arrow_array_stream\" capsule."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"name", get_name, nullptr, "\"candles\", \"book\", \"trades\" or \"funding\".", nullptr},
    {"num_rows", get_num_rows, nullptr, "The number of rows.", nullptr},
    {"column_names", get_column_names, nullptr, "The column names, in order.", nullptr},
    {"nbytes", get_nbytes, nullptr, "The size of all columns' values in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTableDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getset},
    {Py_mp_length, reinterpret_cast<void*>(table_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(table_subscript)},
    {0, nullptr},
};

PyType_Spec table_spec = {
    .name = "talpen_synth._talpen_columns.Table",
    .basicsize = sizeof(TableObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = table_slots,
};

}  // namespace

PyObject* create_table_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &table_spec, nullptr); }

PyObject* new_table(PyObject* table_type, TablePtr data) {
  auto* type = reinterpret_cast<PyTypeObject*>(table_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_table(self)->data) TablePtr(std::move(data));
  return self;
}

}  // namespace talpen::columns
