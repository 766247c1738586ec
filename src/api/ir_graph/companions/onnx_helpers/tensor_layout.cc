#include "tensor_layout.h"

#include "tarq/errors.h"
#include "tarq/nd_array.h"

namespace tarq::helpers::layout {

int bits_per_element(int32_t elem_type) {
  switch (elem_type) {
    case kUint2:
    case kInt2:
      return 2;
    case kUint4:
    case kInt4:
    case kFloat4e2m1:
      return 4;
    case kFloat6e2m3:
    case kFloat6e3m2:
      return 6;
    default:
      return static_cast<int>(elem_size(elem_type) * 8);
  }
}

bool is_packed(int32_t elem_type) { return bits_per_element(elem_type) < 8; }

bool is_packed_in_typed_field(int32_t elem_type) {
  return is_packed(elem_type) && elem_type != kFloat6e2m3 && elem_type != kFloat6e3m2;
}

uint64_t packed_size(int32_t elem_type, int64_t count) {
  uint64_t bits = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(count),
                             static_cast<uint64_t>(bits_per_element(elem_type)), &bits)) {
    throw ValueError("a tensor of " + std::to_string(count) + " " + elem_type_name(elem_type) +
                     " elements is too large");
  }
  return bits / 8 + (bits % 8 != 0);
}

std::string pack(int32_t elem_type, const unsigned char* in, int64_t count) {
  const uint64_t n = static_cast<uint64_t>(count);
  std::string out(packed_size(elem_type, count), '\0');
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  switch (bits_per_element(elem_type)) {
    case 4:
      for (uint64_t k = 0; k < n; ++k) o[k / 2] |= (in[k] & 0x0F) << (4 * (k % 2));
      break;
    case 2:
      for (uint64_t k = 0; k < n; ++k) o[k / 4] |= (in[k] & 0x03) << (2 * (k % 4));
      break;
    case 6:
      // Four 6-bit codes per three bytes, the first code in the low bits.
      for (uint64_t k = 0; k < n; ++k) {
        const uint64_t bit = k * 6;
        const unsigned v = in[k] & 0x3F;
        o[bit / 8] |= static_cast<unsigned char>(v << (bit % 8));
        if (bit % 8 > 2) o[bit / 8 + 1] |= static_cast<unsigned char>(v >> (8 - bit % 8));
      }
      break;
    default:
      throw ValueError(elem_type_name(elem_type) + " is not a packed element type");
  }
  return out;
}

std::string unpack(int32_t elem_type, const unsigned char* in, int64_t count) {
  const uint64_t n = static_cast<uint64_t>(count);
  std::string out(n, '\0');
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  switch (bits_per_element(elem_type)) {
    case 4:
      for (uint64_t k = 0; k < n; ++k) o[k] = (in[k / 2] >> (4 * (k % 2))) & 0x0F;
      break;
    case 2:
      for (uint64_t k = 0; k < n; ++k) o[k] = (in[k / 4] >> (2 * (k % 4))) & 0x03;
      break;
    case 6:
      for (uint64_t k = 0; k < n; ++k) {
        const uint64_t bit = k * 6;
        unsigned v = in[bit / 8] >> (bit % 8);
        if (bit % 8 > 2) v |= static_cast<unsigned>(in[bit / 8 + 1]) << (8 - bit % 8);
        o[k] = v & 0x3F;
      }
      break;
    default:
      throw ValueError(elem_type_name(elem_type) + " is not a packed element type");
  }
  return out;
}

Field storage_field(int32_t elem_type) {
  switch (elem_type) {
    case kFloat:
    case kComplex64:
      return Field::kFloat;
    case kDouble:
    case kComplex128:
      return Field::kDouble;
    case kInt64:
      return Field::kInt64;
    case kUint32:
    case kUint64:
      return Field::kUint64;
    case kString:
      return Field::kString;
    default:
      if (!is_known_elem_type(elem_type)) {
        throw ValueError("unknown tensor element type " + elem_type_name(elem_type));
      }
      return Field::kInt32;
  }
}

}  // namespace tarq::helpers::layout
