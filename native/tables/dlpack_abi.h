// DLPack: the tensor-exchange structs through which NumPy (numpy.from_dlpack)
// and other array libraries borrow a column's memory without a copy. The
// layout is a fixed ABI; the consumer calls `deleter` once when done, from
// any thread.
#ifndef TALPEN_TABLES_DLPACK_ABI_H_
#define TALPEN_TABLES_DLPACK_ABI_H_

#include <cstdint>

extern "C" {

// The newest protocol version this module speaks.
constexpr uint32_t kDlpackMajor = 1;
constexpr uint32_t kDlpackMinor = 0;

constexpr int32_t kDLCPU = 1;

constexpr uint8_t kDLInt = 0;
constexpr uint8_t kDLUInt = 1;
constexpr uint8_t kDLFloat = 2;

constexpr uint64_t kDlpackFlagReadOnly = 1ULL << 0;
constexpr uint64_t kDlpackFlagIsCopied = 1ULL << 1;

struct DLPackVersion {
  uint32_t major;
  uint32_t minor;
};

struct DLDevice {
  int32_t device_type;  // an enum in the C header: int-sized
  int32_t device_id;
};

struct DLDataType {
  uint8_t code;
  uint8_t bits;
  uint16_t lanes;
};

struct DLTensor {
  void* data;
  DLDevice device;
  int32_t ndim;
  DLDataType dtype;
  int64_t* shape;
  int64_t* strides;
  uint64_t byte_offset;
};

// Protocol before 1.0: capsule name "dltensor".
struct DLManagedTensor {
  DLTensor dl_tensor;
  void* manager_ctx;
  void (*deleter)(DLManagedTensor* self);
};

// Protocol 1.0 and later: capsule name "dltensor_versioned".
struct DLManagedTensorVersioned {
  DLPackVersion version;
  void* manager_ctx;
  void (*deleter)(DLManagedTensorVersioned* self);
  uint64_t flags;
  DLTensor dl_tensor;
};

}  // extern "C"

#endif  // TALPEN_TABLES_DLPACK_ABI_H_
