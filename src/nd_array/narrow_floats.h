// Encoding and decoding of the narrow floating-point element types (FLOAT16,
// BFLOAT16, the float8, float6 and float4 types) to and from double.
//
// Rounding is to nearest, ties to even. What happens out of range depends on
// the format: IEEE-like formats (FLOAT16, FLOAT8E5M2) overflow to infinity;
// the "fn" formats without infinity (FLOAT8E4M3FN) overflow to NaN, as do
// the "fnuz" formats (whose only NaN takes the place of negative zero); the
// formats without NaN (float6, float4) saturate at their largest value.
#pragma once

#include <cstdint>

namespace tarq::narrow {

// Bit pattern of `x` in the narrow type `elem_type` (a code with a narrow
// floating-point layout, see is_narrow_float). FLOAT16 rounds directly from
// double; the others round from the nearest float32 first, as numpy's
// extension types do. FLOAT8E8M0 takes the exponent of the float32 value,
// rounded up when any mantissa bit is set and kept at its largest finite value
// instead of overflowing (the sign is dropped; NaN and infinity give NaN).
uint16_t encode(int32_t elem_type, double x);
// Value of the bit pattern `bits` of the narrow type `elem_type`.
double decode(int32_t elem_type, uint16_t bits);

// True for FLOAT16, BFLOAT16, the float8, float6 and float4 types.
bool is_narrow_float(int32_t elem_type);

// `x` rounded to float32 without undefined behaviour out of range (overflow
// gives infinity exactly where IEEE rounding would).
float to_float32(double x);

}  // namespace tarq::narrow
