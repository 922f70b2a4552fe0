// A column out through DLPack as a one-dimensional CPU tensor that borrows the
// column's memory (or, on request, a fresh copy of it). The tensor keeps the
// column alive until its deleter runs, from whatever thread the consumer uses.
// Category columns go out as their uint8 codes.
#ifndef TALPEN_TABLES_DLPACK_EXPORT_H_
#define TALPEN_TABLES_DLPACK_EXPORT_H_

#include "tables/column_data.h"
#include "tables/dlpack_abi.h"

namespace talpen::tables {

// The protocol before 1.0 (capsule "dltensor"). Throws std::bad_alloc.
DLManagedTensor* export_dlpack(const ColumnPtr& column);
// Protocol 1.0 (capsule "dltensor_versioned"); `copied` tells the consumer
// the memory is its own. Throws std::bad_alloc.
DLManagedTensorVersioned* export_dlpack_versioned(const ColumnPtr& column, bool copied, bool read_only);

}  // namespace talpen::tables

#endif  // TALPEN_TABLES_DLPACK_EXPORT_H_
