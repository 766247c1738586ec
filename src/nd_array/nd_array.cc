#include "tarq/nd_array.h"

#include <cstring>
#include <string>
#include <utility>

#include "tarq/errors.h"

namespace tarq {

namespace {

std::string shape_text(const Extents& shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  return s + "]";
}

void check_elem_type(int32_t elem_type) {
  if (!is_known_elem_type(elem_type)) {
    throw ValueError("unknown array element type " + elem_type_name(elem_type));
  }
}

// Bytes needed for `count` elements of `elem_type`, refusing sizes that do not
// fit in memory addresses.
size_t byte_count(int32_t elem_type, int64_t count) {
  size_t n = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(count), elem_size(elem_type), &n)) {
    throw ValueError("an array of " + std::to_string(count) + " " + elem_type_name(elem_type) +
                     " elements does not fit in memory");
  }
  return n;
}

}  // namespace

NdArray::NdArray() : NdArray(kFloat, Extents{0}) {}

NdArray::NdArray(int32_t elem_type, Extents shape) {
  check_elem_type(elem_type);
  const int64_t count = element_count(shape);
  elem_type_ = elem_type;
  shape_ = std::move(shape);
  size_ = count;
  if (elem_type == kString) {
    auto strs = std::make_shared<std::vector<std::string>>(static_cast<size_t>(count));
    strs_ = strs.get();
    owner_ = std::move(strs);
  } else {
    auto bytes = std::make_shared<std::string>(byte_count(elem_type, count), '\0');
    data_ = bytes->data();
    owner_ = std::move(bytes);
  }
}

NdArray NdArray::from_bytes(int32_t elem_type, Extents shape, std::string bytes) {
  check_elem_type(elem_type);
  if (elem_type == kString) throw ValueError("a STRING array cannot be made from bytes");
  const int64_t count = element_count(shape);
  const size_t expected = byte_count(elem_type, count);
  if (bytes.size() != expected) {
    throw ValueError("a " + elem_type_name(elem_type) + " array of shape " + shape_text(shape) +
                     " needs " + std::to_string(expected) + " bytes, got " +
                     std::to_string(bytes.size()));
  }
  NdArray a;
  a.elem_type_ = elem_type;
  a.shape_ = std::move(shape);
  a.size_ = count;
  auto holder = std::make_shared<std::string>(std::move(bytes));
  a.data_ = holder->data();
  a.owner_ = std::move(holder);
  return a;
}

NdArray NdArray::from_external(int32_t elem_type, Extents shape, std::shared_ptr<const void> owner,
                               const void* data, bool readonly) {
  check_elem_type(elem_type);
  if (elem_type == kString) throw ValueError("a STRING array cannot view external bytes");
  const int64_t count = element_count(shape);
  if (data == nullptr && byte_count(elem_type, count) != 0) {
    throw ValueError("external array memory is null");
  }
  NdArray a;
  a.elem_type_ = elem_type;
  a.shape_ = std::move(shape);
  a.size_ = count;
  a.owner_ = std::move(owner);
  a.data_ = data;
  a.readonly_ = readonly;
  if (a.data_ == nullptr) {
    // Keep data() non-null for empty arrays, as for every other array.
    static const char kNoBytes = 0;
    a.data_ = &kNoBytes;
  }
  return a;
}

NdArray NdArray::from_strings(Extents shape, std::vector<std::string> values) {
  const int64_t count = element_count(shape);
  if (values.size() != static_cast<uint64_t>(count)) {
    throw ValueError("a STRING array of shape " + shape_text(shape) + " needs " +
                     std::to_string(count) + " strings, got " + std::to_string(values.size()));
  }
  NdArray a;
  a.elem_type_ = kString;
  a.shape_ = std::move(shape);
  a.size_ = count;
  a.data_ = nullptr;
  auto strs = std::make_shared<std::vector<std::string>>(std::move(values));
  a.strs_ = strs.get();
  a.owner_ = std::move(strs);
  return a;
}

size_t NdArray::nbytes() const {
  return elem_type_ == kString ? 0 : static_cast<size_t>(size_) * elem_size(elem_type_);
}

void* NdArray::mutable_data() {
  if (readonly_) throw ValueError("the array is read-only");
  return const_cast<void*>(data_);
}

const std::vector<std::string>& NdArray::strings() const {
  if (elem_type_ != kString) {
    throw ValueError("a " + elem_type_name(elem_type_) + " array has no string elements");
  }
  return *strs_;
}

std::vector<std::string>& NdArray::mutable_strings() {
  if (elem_type_ != kString) {
    throw ValueError("a " + elem_type_name(elem_type_) + " array has no string elements");
  }
  if (readonly_) throw ValueError("the array is read-only");
  return *strs_;
}

NdArray NdArray::reshape(Extents shape) const {
  int64_t known = 1;
  int free_axis = -1;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == -1) {
      if (free_axis >= 0) throw ValueError("reshape: only one extent may be -1");
      free_axis = static_cast<int>(i);
    } else if (shape[i] < 0) {
      throw ValueError("reshape: negative extent " + std::to_string(shape[i]));
    } else if (__builtin_mul_overflow(known, shape[i], &known)) {
      throw ValueError("reshape: the element count overflows 64 bits");
    }
  }
  if (free_axis >= 0) {
    if (known == 0 || size_ % known != 0) {
      throw ValueError("cannot reshape an array of " + std::to_string(size_) +
                       " elements into shape " + shape_text(shape));
    }
    shape[free_axis] = size_ / known;
  } else if (known != size_) {
    throw ValueError("cannot reshape an array of " + std::to_string(size_) +
                     " elements into shape " + shape_text(shape));
  }
  NdArray a = *this;
  a.shape_ = std::move(shape);
  return a;
}

NdArray NdArray::copy() const {
  if (elem_type_ == kString) return from_strings(shape_, *strs_);
  NdArray a(elem_type_, shape_);
  if (nbytes()) std::memcpy(const_cast<void*>(a.data_), data_, nbytes());
  return a;
}

bool NdArray::equals(const NdArray& other) const {
  if (elem_type_ != other.elem_type_ || shape_ != other.shape_) return false;
  if (elem_type_ == kString) return *strs_ == *other.strs_;
  return nbytes() == 0 || std::memcmp(data_, other.data_, nbytes()) == 0;
}

}  // namespace tarq
