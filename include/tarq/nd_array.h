// NdArray: an n-dimensional array of one ONNX element type.
//
// Ownership: the bytes live in a shared, reference-counted buffer. Copies of
// an NdArray and views made by reshape()/view() share that buffer; copy()
// makes an independent, writable one. A buffer may be owned by something
// else entirely (a stolen protobuf string, a numpy array): the owner handle
// keeps it alive for as long as any NdArray refers to it.
//
// Layout: contiguous, row-major, little-endian. Sub-byte types (INT4, UINT4,
// FLOAT4E2M1, INT2, UINT2, FLOAT6E2M3, FLOAT6E3M2) are held unpacked, one
// element per byte in its low bits, as numpy holds them; packing happens only
// at the TensorProto boundary. STRING arrays hold std::string elements (UTF-8
// or raw bytes) instead of bytes.
//
// Element bytes are not necessarily aligned for their type when the memory
// came from elsewhere (from_external); read them with memcpy when in doubt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarq {

// ONNX element-type codes (TensorProto.DataType); the array element type is
// the code itself, so no mapping is needed at the ONNX boundary.
enum ElemType : int32_t {
  kUndefined = 0,
  kFloat = 1,
  kUint8 = 2,
  kInt8 = 3,
  kUint16 = 4,
  kInt16 = 5,
  kInt32 = 6,
  kInt64 = 7,
  kString = 8,
  kBool = 9,
  kFloat16 = 10,
  kDouble = 11,
  kUint32 = 12,
  kUint64 = 13,
  kComplex64 = 14,
  kComplex128 = 15,
  kBfloat16 = 16,
  kFloat8e4m3fn = 17,
  kFloat8e4m3fnuz = 18,
  kFloat8e5m2 = 19,
  kFloat8e5m2fnuz = 20,
  kUint4 = 21,
  kInt4 = 22,
  kFloat4e2m1 = 23,
  kFloat8e8m0 = 24,
  kUint2 = 25,
  kInt2 = 26,
  kFloat6e2m3 = 27,
  kFloat6e3m2 = 28,
};

// True for every code above except kUndefined.
bool is_known_elem_type(int32_t code);
// Bytes one element takes in memory (1 for the unpacked sub-byte types);
// 0 for kString and kUndefined. Throws ValueError for an unknown code.
size_t elem_size(int32_t code);
// Upper-case ONNX name ("FLOAT", "BFLOAT16"); "UNDEFINED" for 0, and
// "<code>" for an unknown code.
std::string elem_type_name(int32_t code);

using Extents = std::vector<int64_t>;

// Product of the extents (1 for a scalar). Throws ValueError for a negative
// extent or an overflowing product.
int64_t element_count(const Extents& shape);

class NdArray {
 public:
  // An empty FLOAT array of shape [0].
  NdArray();
  // A zero-filled (empty strings for kString) writable array.
  NdArray(int32_t elem_type, Extents shape);

  // Takes the bytes without copying (the string is moved into the buffer).
  // bytes.size() must equal element_count(shape) * elem_size(elem_type).
  static NdArray from_bytes(int32_t elem_type, Extents shape, std::string bytes);
  // Zero-copy view of memory owned by `owner`; nothing is copied or freed
  // here. `data` must hold element_count(shape) * elem_size(elem_type) bytes.
  static NdArray from_external(int32_t elem_type, Extents shape, std::shared_ptr<const void> owner,
                               const void* data, bool readonly);
  static NdArray from_strings(Extents shape, std::vector<std::string> values);

  int32_t elem_type() const { return elem_type_; }
  const Extents& shape() const { return shape_; }
  size_t ndim() const { return shape_.size(); }
  int64_t size() const { return size_; }
  // Bytes of element data (0 for kString).
  size_t nbytes() const;

  bool readonly() const { return readonly_; }
  void set_readonly(bool readonly) { readonly_ = readonly; }

  const void* data() const { return data_; }
  // Throws ValueError when the array is read-only.
  void* mutable_data();
  template <class T>
  const T* data_as() const {
    return static_cast<const T*>(data_);
  }
  template <class T>
  T* mutable_data_as() {
    return static_cast<T*>(mutable_data());
  }

  // kString only: the elements, shared with views of this array.
  const std::vector<std::string>& strings() const;
  std::vector<std::string>& mutable_strings();

  // The handle that keeps the storage alive (shared by views).
  const std::shared_ptr<const void>& owner() const { return owner_; }

  // Same storage, other shape; one extent may be -1. Throws ValueError when
  // the element counts differ.
  NdArray reshape(Extents shape) const;
  // Same storage, same shape, same read-only flag.
  NdArray view() const { return *this; }
  // Independent writable copy.
  NdArray copy() const;
  // Independent writable copy converted to `elem_type`, element by element,
  // with numpy's casting: integers wrap, floats truncate toward zero into
  // integers, anything nonzero is true, complex drops the imaginary part, and
  // narrow floats round to nearest even (through float32 for bfloat16, the
  // float8/float6/float4 types; FLOAT8E8M0 rounds up and saturates). Out of
  // range and NaN give a defined value, never undefined behaviour. Throws
  // ValueError between STRING and any other type.
  NdArray astype(int32_t elem_type) const;
  // Element-wise equality of type, shape and bytes (or strings).
  bool equals(const NdArray& other) const;

 private:
  int32_t elem_type_ = kFloat;
  Extents shape_{0};
  int64_t size_ = 0;
  std::shared_ptr<const void> owner_;
  const void* data_ = nullptr;                // element bytes (non-string types)
  std::vector<std::string>* strs_ = nullptr;  // kString elements
  bool readonly_ = false;
};

}  // namespace tarq
