#include "columns/capsules.h"

#include <memory>

#include "tables/arrow_abi.h"
#include "tables/arrow_export.h"
#include "tables/dlpack_abi.h"
#include "tables/dlpack_export.h"
#include "tables/run_stream.h"
#include "columns/guarded.h"

namespace talpen::columns {

using namespace tables;  // the data this glue lends out

namespace {

constexpr const char kSchemaName[] = "arrow_schema";
constexpr const char kArrayName[] = "arrow_array";
constexpr const char kStreamName[] = "arrow_array_stream";
constexpr const char kDlpackName[] = "dltensor";
constexpr const char kDlpackVersionedName[] = "dltensor_versioned";

// Capsule destructors run inside deallocation: they must neither raise nor
// disturb a pending exception, so they test the name instead of asking for
// the pointer under a name that may have changed.
template <class Struct, const char* kName>
void free_arrow_struct(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, kName)) return;
  auto* s = static_cast<Struct*>(PyCapsule_GetPointer(capsule, kName));
  release_if_live(s);
  delete s;
}

// Wraps a freshly filled struct; on failure it is released here.
template <class Struct, const char* kName>
PyObject* wrap_arrow(std::unique_ptr<Struct> s) {
  PyObject* capsule = PyCapsule_New(s.get(), kName, free_arrow_struct<Struct, kName>);
  if (capsule == nullptr) {
    release_if_live(s.get());
    return nullptr;
  }
  s.release();
  return capsule;
}

// An unconsumed tensor is still ours to delete; a consumed one was renamed.
void free_dlpack(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, kDlpackName)) return;
  auto* t = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(capsule, kDlpackName));
  if (t->deleter != nullptr) t->deleter(t);
}

void free_dlpack_versioned(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, kDlpackVersionedName)) return;
  auto* t = static_cast<DLManagedTensorVersioned*>(PyCapsule_GetPointer(capsule, kDlpackVersionedName));
  if (t->deleter != nullptr) t->deleter(t);
}

}  // namespace

PyObject* column_schema_capsule(const ColumnData& column) {
  auto s = std::make_unique<ArrowSchema>();
  export_column_schema(column, s.get());
  return wrap_arrow<ArrowSchema, kSchemaName>(std::move(s));
}

PyObject* column_array_capsule(const ColumnPtr& column) {
  auto a = std::make_unique<ArrowArray>();
  export_column_array(column, a.get());
  return wrap_arrow<ArrowArray, kArrayName>(std::move(a));
}

PyObject* table_schema_capsule(const TableData& table) {
  auto s = std::make_unique<ArrowSchema>();
  export_table_schema(table, s.get());
  return wrap_arrow<ArrowSchema, kSchemaName>(std::move(s));
}

PyObject* table_array_capsule(const TablePtr& table) {
  auto a = std::make_unique<ArrowArray>();
  export_table_array(table, a.get());
  return wrap_arrow<ArrowArray, kArrayName>(std::move(a));
}

PyObject* table_stream_capsule(const TablePtr& table) {
  auto s = std::make_unique<ArrowArrayStream>();
  export_table_stream(table, s.get());
  return wrap_arrow<ArrowArrayStream, kStreamName>(std::move(s));
}

PyObject* run_stream_capsule(const ValidSpec& spec, size_t index, uint64_t bars_per_chunk) {
  auto s = std::make_unique<ArrowArrayStream>();
  export_run_table_stream(spec, index, bars_per_chunk, s.get());
  return wrap_arrow<ArrowArrayStream, kStreamName>(std::move(s));
}

PyObject* dlpack_capsule(const ColumnPtr& column) {
  DLManagedTensor* t = export_dlpack(column);
  PyObject* capsule = PyCapsule_New(t, kDlpackName, free_dlpack);
  if (capsule == nullptr) t->deleter(t);
  return capsule;
}

PyObject* dlpack_versioned_capsule(const ColumnPtr& column, bool copied, bool read_only) {
  DLManagedTensorVersioned* t = export_dlpack_versioned(column, copied, read_only);
  PyObject* capsule = PyCapsule_New(t, kDlpackVersionedName, free_dlpack_versioned);
  if (capsule == nullptr) t->deleter(t);
  return capsule;
}

}  // namespace talpen::columns
