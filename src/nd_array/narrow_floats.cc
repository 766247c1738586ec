#include "narrow_floats.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "tarq/errors.h"
#include "tarq/nd_array.h"

namespace tarq::narrow {

namespace {

enum class Special {
  kIeee,    // infinities and NaNs use the all-ones exponent
  kFn,      // no infinity; the all-ones pattern (either sign) is NaN
  kFnuz,    // no infinity, no negative zero; 1000...0 is the only NaN
  kFinite,  // neither infinity nor NaN
};

struct Format {
  int exp_bits;
  int man_bits;
  int bias;
  Special special;
};

bool format_of(int32_t elem_type, Format* f) {
  switch (elem_type) {
    case kFloat16:
      *f = {5, 10, 15, Special::kIeee};
      return true;
    case kBfloat16:
      *f = {8, 7, 127, Special::kIeee};
      return true;
    case kFloat8e4m3fn:
      *f = {4, 3, 7, Special::kFn};
      return true;
    case kFloat8e4m3fnuz:
      *f = {4, 3, 8, Special::kFnuz};
      return true;
    case kFloat8e5m2:
      *f = {5, 2, 15, Special::kIeee};
      return true;
    case kFloat8e5m2fnuz:
      *f = {5, 2, 16, Special::kFnuz};
      return true;
    case kFloat4e2m1:
      *f = {2, 1, 1, Special::kFinite};
      return true;
    case kFloat6e2m3:
      *f = {2, 3, 1, Special::kFinite};
      return true;
    case kFloat6e3m2:
      *f = {3, 2, 3, Special::kFinite};
      return true;
    default:
      return false;
  }
}

// Round a non-negative double holding an exact multiple of a power of two to
// the nearest integer, ties to even (independent of the FPU rounding mode).
double round_half_even(double v) {
  double r = std::floor(v);
  double frac = v - r;
  if (frac > 0.5 || (frac == 0.5 && std::fmod(r, 2.0) != 0.0)) r += 1.0;
  return r;
}

uint16_t encode_format(const Format& f, double x) {
  const int width = f.exp_bits + f.man_bits;
  const uint32_t sign = std::signbit(x) ? (1u << width) : 0u;
  const uint32_t exp_ones = (1u << f.exp_bits) - 1;
  const uint32_t nan_fn = (1u << width) - 1;  // magnitude bits all ones
  if (std::isnan(x)) {
    switch (f.special) {
      case Special::kIeee:
        return static_cast<uint16_t>(sign | (exp_ones << f.man_bits) | (1u << (f.man_bits - 1)));
      case Special::kFn:
        return static_cast<uint16_t>(sign | nan_fn);
      case Special::kFnuz:
        return static_cast<uint16_t>(1u << width);
      case Special::kFinite:
        // No NaN to give: a zero, with the sign flipped as numpy's
        // extension types do.
        return static_cast<uint16_t>(sign ^ (1u << width));
    }
  }
  // Largest finite magnitude pattern and what an overflow turns into.
  uint32_t max_code = 0, overflow = 0;
  switch (f.special) {
    case Special::kIeee:
      max_code = (exp_ones << f.man_bits) - 1;
      overflow = sign | (exp_ones << f.man_bits);
      break;
    case Special::kFn:
      max_code = nan_fn - 1;
      overflow = sign | nan_fn;
      break;
    case Special::kFnuz:
      max_code = nan_fn;
      overflow = 1u << width;
      break;
    case Special::kFinite:
      max_code = nan_fn;
      overflow = sign | max_code;
      break;
  }
  const double a = std::fabs(x);
  if (std::isinf(a)) return static_cast<uint16_t>(overflow);
  if (a == 0.0) return static_cast<uint16_t>(f.special == Special::kFnuz ? 0 : sign);

  int e2 = 0;
  std::frexp(a, &e2);  // a = m * 2^e2 with m in [0.5, 1)
  const int exp_unbiased = e2 - 1;
  const int min_normal_exp = 1 - f.bias;
  int64_t code;
  if (exp_unbiased >= min_normal_exp) {
    // A biased exponent past the all-ones one overflows whatever the rounding.
    if (exp_unbiased + f.bias > static_cast<int>(exp_ones)) return static_cast<uint16_t>(overflow);
    // Quantum of the binade: 2^(exp - man_bits); q lies in [2^M, 2^(M+1)].
    double q = round_half_even(std::ldexp(a, f.man_bits - exp_unbiased));
    int64_t biased = exp_unbiased + f.bias;
    code = (biased << f.man_bits) + static_cast<int64_t>(q) - (int64_t{1} << f.man_bits);
  } else {
    // Subnormal range: quantum 2^(min_normal_exp - man_bits).
    double scaled = std::ldexp(a, f.man_bits - min_normal_exp);
    if (scaled < 0.25) {
      code = 0;  // far below half the smallest subnormal (also avoids huge ldexp)
    } else {
      code = static_cast<int64_t>(round_half_even(scaled));
    }
  }
  if (code > static_cast<int64_t>(max_code)) return static_cast<uint16_t>(overflow);
  if (code == 0 && f.special == Special::kFnuz) return 0;
  return static_cast<uint16_t>(sign | static_cast<uint32_t>(code));
}

double decode_format(const Format& f, uint16_t bits) {
  const int width = f.exp_bits + f.man_bits;
  const uint32_t mag = bits & ((1u << width) - 1);
  const bool neg = (bits >> width) & 1;
  const uint32_t exp_ones = (1u << f.exp_bits) - 1;
  const uint32_t e = mag >> f.man_bits;
  const uint32_t m = mag & ((1u << f.man_bits) - 1);
  switch (f.special) {
    case Special::kIeee:
      if (e == exp_ones) {
        if (m != 0) return neg ? -NAN : NAN;
        return neg ? -HUGE_VAL : HUGE_VAL;
      }
      break;
    case Special::kFn:
      if (mag == (1u << width) - 1) return neg ? -NAN : NAN;
      break;
    case Special::kFnuz:
      if (neg && mag == 0) return NAN;
      break;
    case Special::kFinite:
      break;
  }
  double v;
  if (e == 0) {
    v = std::ldexp(static_cast<double>(m), 1 - f.bias - f.man_bits);
  } else {
    v = std::ldexp(static_cast<double>(m | (1u << f.man_bits)),
                   static_cast<int>(e) - f.bias - f.man_bits);
  }
  return neg ? -v : v;
}

uint32_t float_bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

uint8_t encode_e8m0(double x) {
  const uint32_t bits = float_bits(to_float32(x));
  uint32_t exponent = (bits >> 23) & 0xFF;
  if (exponent == 0xFF) return 0xFF;
  if ((bits & 0x7FFFFF) != 0 && exponent != 0xFE) ++exponent;
  return static_cast<uint8_t>(exponent);
}

}  // namespace

bool is_narrow_float(int32_t elem_type) {
  Format f;
  return elem_type == kFloat8e8m0 || format_of(elem_type, &f);
}

float to_float32(double x) {
  if (std::isfinite(x) && std::fabs(x) > FLT_MAX) {
    // Halfway between FLT_MAX and the next (unrepresentable) step rounds to
    // even, which is infinity.
    const double limit = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
    float big = std::fabs(x) >= limit ? HUGE_VALF : FLT_MAX;
    return std::signbit(x) ? -big : big;
  }
  return static_cast<float>(x);
}

uint16_t encode(int32_t elem_type, double x) {
  if (elem_type == kFloat8e8m0) return encode_e8m0(x);
  Format f;
  if (!format_of(elem_type, &f)) {
    throw ValueError("not a narrow floating-point type: " + elem_type_name(elem_type));
  }
  if (elem_type == kFloat16) return encode_format(f, x);
  return encode_format(f, static_cast<double>(to_float32(x)));
}

double decode(int32_t elem_type, uint16_t bits) {
  if (elem_type == kFloat8e8m0) {
    if ((bits & 0xFF) == 0xFF) return NAN;
    return std::ldexp(1.0, static_cast<int>(bits & 0xFF) - 127);
  }
  Format f;
  if (!format_of(elem_type, &f)) {
    throw ValueError("not a narrow floating-point type: " + elem_type_name(elem_type));
  }
  return decode_format(f, bits);
}

}  // namespace tarq::narrow
