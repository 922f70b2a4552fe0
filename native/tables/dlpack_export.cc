#include "tables/dlpack_export.h"

#include <cstdint>
#include <memory>

namespace talpen::tables {

namespace {

DLDataType data_type_of(DType dtype) {
  switch (dtype) {
    case DType::Int64:
      return {kDLInt, 64, 1};
    case DType::UInt64:
      return {kDLUInt, 64, 1};
    case DType::UInt32:
      return {kDLUInt, 32, 1};
    case DType::UInt8:
      return {kDLUInt, 8, 1};
    case DType::Float64:
      return {kDLFloat, 64, 1};
  }
  return {kDLUInt, 8, 1};
}

// The owner behind `manager_ctx`: the column and the shape and stride arrays
// that the tensor points into.
template <class Managed>
struct Holder {
  ColumnPtr column;
  int64_t shape[1];
  int64_t strides[1];
  Managed managed;
};

template <class Managed>
void delete_holder(Managed* self) {
  delete static_cast<Holder<Managed>*>(self->manager_ctx);
}

template <class Managed>
Holder<Managed>* make_holder(const ColumnPtr& column) {
  auto holder = std::make_unique<Holder<Managed>>();
  holder->column = column;
  holder->shape[0] = static_cast<int64_t>(column->length());
  // Explicit unit strides: newer consumers no longer accept null for
  // "compact".
  holder->strides[0] = 1;
  DLTensor& t = holder->managed.dl_tensor;
  t.data = const_cast<void*>(column->data());
  t.device = {kDLCPU, 0};
  t.ndim = 1;
  t.dtype = data_type_of(column->dtype());
  t.shape = holder->shape;
  t.strides = holder->strides;
  t.byte_offset = 0;
  holder->managed.manager_ctx = holder.get();
  holder->managed.deleter = delete_holder<Managed>;
  return holder.release();
}

}  // namespace

DLManagedTensor* export_dlpack(const ColumnPtr& column) {
  return &make_holder<DLManagedTensor>(column)->managed;
}

DLManagedTensorVersioned* export_dlpack_versioned(const ColumnPtr& column, bool copied, bool read_only) {
  Holder<DLManagedTensorVersioned>* holder = make_holder<DLManagedTensorVersioned>(column);
  holder->managed.version = {kDlpackMajor, kDlpackMinor};
  holder->managed.flags = (copied ? kDlpackFlagIsCopied : 0) | (read_only ? kDlpackFlagReadOnly : 0);
  return &holder->managed;
}

}  // namespace talpen::tables
