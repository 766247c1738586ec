// The element-type table: sizes and names of the ONNX element types.
#include <string>

#include "tarq/errors.h"
#include "tarq/nd_array.h"

namespace tarq {

namespace {

struct ElemInfo {
  const char* name;
  size_t size;
};

// Indexed by the ONNX code. STRING has no byte size: its elements are
// std::string objects.
constexpr ElemInfo kElemInfo[] = {
    {"UNDEFINED", 0},      {"FLOAT", 4},        {"UINT8", 1},          {"INT8", 1},
    {"UINT16", 2},         {"INT16", 2},        {"INT32", 4},          {"INT64", 8},
    {"STRING", 0},         {"BOOL", 1},         {"FLOAT16", 2},        {"DOUBLE", 8},
    {"UINT32", 4},         {"UINT64", 8},       {"COMPLEX64", 8},      {"COMPLEX128", 16},
    {"BFLOAT16", 2},       {"FLOAT8E4M3FN", 1}, {"FLOAT8E4M3FNUZ", 1}, {"FLOAT8E5M2", 1},
    {"FLOAT8E5M2FNUZ", 1}, {"UINT4", 1},        {"INT4", 1},           {"FLOAT4E2M1", 1},
    {"FLOAT8E8M0", 1},     {"UINT2", 1},        {"INT2", 1},           {"FLOAT6E2M3", 1},
    {"FLOAT6E3M2", 1},
};
constexpr int32_t kElemCodeCount = static_cast<int32_t>(sizeof(kElemInfo) / sizeof(kElemInfo[0]));

}  // namespace

bool is_known_elem_type(int32_t code) { return code > kUndefined && code < kElemCodeCount; }

size_t elem_size(int32_t code) {
  if (code < 0 || code >= kElemCodeCount) {
    throw ValueError("unknown element type " + std::to_string(code));
  }
  return kElemInfo[code].size;
}

std::string elem_type_name(int32_t code) {
  if (code < 0 || code >= kElemCodeCount) return "<" + std::to_string(code) + ">";
  return kElemInfo[code].name;
}

int64_t element_count(const Extents& shape) {
  int64_t n = 1;
  for (int64_t d : shape) {
    if (d < 0) throw ValueError("negative extent " + std::to_string(d) + " in an array shape");
    if (__builtin_mul_overflow(n, d, &n)) {
      throw ValueError("the element count of an array shape overflows 64 bits");
    }
  }
  return n;
}

}  // namespace tarq
