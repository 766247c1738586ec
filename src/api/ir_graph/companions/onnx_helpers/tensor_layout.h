// How each element type sits in a TensorProto: packing of the sub-byte types
// and the typed field that holds values outside raw_data. Shared by the
// tensor helpers of this folder and the weight cache (which takes raw bytes
// as they are only for unpacked types).
#pragma once

#include <cstdint>
#include <string>

namespace tarq::helpers::layout {

// Bits one element takes in raw_data: 2, 4 or 6 for the packed types, else 8
// times the element size.
int bits_per_element(int32_t elem_type);
bool is_packed(int32_t elem_type);
// True for the packed types whose typed field (int32_data) holds packed bytes
// too; the float6 types are held one element per entry there.
bool is_packed_in_typed_field(int32_t elem_type);
// Bytes `count` elements take in raw_data (ceil(count * bits / 8)).
// Throws ValueError when that overflows.
uint64_t packed_size(int32_t elem_type, int64_t count);

// `count` one-byte elements at `unpacked` packed LSB-first (2, 4 or 6 bits
// each, as is_packed types store them).
std::string pack(int32_t elem_type, const unsigned char* unpacked, int64_t count);
// The inverse: `count` elements, one per byte, from `packed`, which must hold
// exactly packed_size(elem_type, count) bytes (checked by the caller).
std::string unpack(int32_t elem_type, const unsigned char* packed, int64_t count);

// The typed field that stores values of an element type outside raw_data.
enum class Field { kFloat, kInt32, kInt64, kDouble, kUint64, kString };
Field storage_field(int32_t elem_type);

}  // namespace tarq::helpers::layout
