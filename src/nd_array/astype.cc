// NdArray::astype: element-wise conversion between element types.
#include <cmath>
#include <cstring>

#include "narrow_floats.h"
#include "tarq/errors.h"
#include "tarq/nd_array.h"

namespace tarq {

namespace {

enum class Kind { kSigned, kUnsigned, kFloat, kComplex };

// One element on its way from one type to another.
struct Scalar {
  Kind kind = Kind::kSigned;
  int64_t i = 0;          // kSigned (booleans read as 0/1)
  uint64_t u = 0;         // kUnsigned
  double re = 0, im = 0;  // kFloat, kComplex
};

template <class T>
T load(const unsigned char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
void store(unsigned char* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

Scalar read(int32_t type, const unsigned char* p) {
  Scalar s;
  auto sgn = [&](int64_t v) { s.kind = Kind::kSigned, s.i = v; };
  auto uns = [&](uint64_t v) { s.kind = Kind::kUnsigned, s.u = v; };
  auto flt = [&](double v) { s.kind = Kind::kFloat, s.re = v; };
  switch (type) {
    case kBool:
      sgn(*p != 0);
      break;
    case kInt8:
      sgn(load<int8_t>(p));
      break;
    case kInt16:
      sgn(load<int16_t>(p));
      break;
    case kInt32:
      sgn(load<int32_t>(p));
      break;
    case kInt64:
      sgn(load<int64_t>(p));
      break;
    case kInt4:
      sgn(static_cast<int64_t>(*p & 0xF) - ((*p & 0x8) ? 16 : 0));
      break;
    case kInt2:
      sgn(static_cast<int64_t>(*p & 0x3) - ((*p & 0x2) ? 4 : 0));
      break;
    case kUint8:
      uns(*p);
      break;
    case kUint16:
      uns(load<uint16_t>(p));
      break;
    case kUint32:
      uns(load<uint32_t>(p));
      break;
    case kUint64:
      uns(load<uint64_t>(p));
      break;
    case kUint4:
      uns(*p & 0xF);
      break;
    case kUint2:
      uns(*p & 0x3);
      break;
    case kFloat:
      flt(load<float>(p));
      break;
    case kDouble:
      flt(load<double>(p));
      break;
    case kFloat16:
    case kBfloat16:
      flt(narrow::decode(type, load<uint16_t>(p)));
      break;
    case kComplex64:
      s.kind = Kind::kComplex, s.re = load<float>(p), s.im = load<float>(p + 4);
      break;
    case kComplex128:
      s.kind = Kind::kComplex, s.re = load<double>(p), s.im = load<double>(p + 8);
      break;
    default:
      flt(narrow::decode(type, *p));
      break;  // the one-byte floats
  }
  return s;
}

double as_double(const Scalar& s) {
  switch (s.kind) {
    case Kind::kSigned:
      return static_cast<double>(s.i);
    case Kind::kUnsigned:
      return static_cast<double>(s.u);
    default:
      return s.re;
  }
}

float as_float32(const Scalar& s) {
  switch (s.kind) {
    case Kind::kSigned:
      return static_cast<float>(s.i);
    case Kind::kUnsigned:
      return static_cast<float>(s.u);
    default:
      return narrow::to_float32(s.re);
  }
}

// Two's-complement bits of the value as an integer. Floats truncate toward
// zero; NaN and values outside the 64-bit range give the bit pattern of the
// most negative int64, as the hardware conversion does.
uint64_t as_int_bits(const Scalar& s) {
  switch (s.kind) {
    case Kind::kSigned:
      return static_cast<uint64_t>(s.i);
    case Kind::kUnsigned:
      return s.u;
    default: {
      const double v = s.re;
      if (v >= -9223372036854775808.0 && v < 9223372036854775808.0) {
        return static_cast<uint64_t>(static_cast<int64_t>(v));
      }
      if (v >= 0 && v < 18446744073709551616.0) return static_cast<uint64_t>(v);
      return uint64_t{1} << 63;
    }
  }
}

bool is_nonzero(const Scalar& s) {
  switch (s.kind) {
    case Kind::kSigned:
      return s.i != 0;
    case Kind::kUnsigned:
      return s.u != 0;
    case Kind::kFloat:
      return s.re != 0;  // NaN is true
    case Kind::kComplex:
      return s.re != 0 || s.im != 0;
  }
  return false;
}

void write(int32_t type, unsigned char* p, const Scalar& s) {
  switch (type) {
    case kBool:
      *p = is_nonzero(s) ? 1 : 0;
      break;
    case kInt8:
    case kUint8:
      *p = static_cast<uint8_t>(as_int_bits(s));
      break;
    case kInt16:
    case kUint16:
      store(p, static_cast<uint16_t>(as_int_bits(s)));
      break;
    case kInt32:
    case kUint32:
      store(p, static_cast<uint32_t>(as_int_bits(s)));
      break;
    case kInt64:
    case kUint64:
      store(p, as_int_bits(s));
      break;
    case kInt4:
    case kUint4:
      *p = static_cast<uint8_t>(as_int_bits(s) & 0xF);
      break;
    case kInt2:
    case kUint2:
      *p = static_cast<uint8_t>(as_int_bits(s) & 0x3);
      break;
    case kFloat:
      store(p, as_float32(s));
      break;
    case kDouble:
      store(p, as_double(s));
      break;
    case kFloat16:
    case kBfloat16:
      store(p, narrow::encode(type, as_double(s)));
      break;
    case kComplex64:
      store(p, as_float32(s));
      store(p + 4, narrow::to_float32(s.kind == Kind::kComplex ? s.im : 0.0));
      break;
    case kComplex128:
      store(p, as_double(s));
      store(p + 8, s.kind == Kind::kComplex ? s.im : 0.0);
      break;
    default:
      *p = static_cast<uint8_t>(narrow::encode(type, as_double(s)));
      break;
  }
}

}  // namespace

NdArray NdArray::astype(int32_t elem_type) const {
  if (!is_known_elem_type(elem_type)) {
    throw ValueError("cannot convert an array to unknown element type " +
                     elem_type_name(elem_type));
  }
  if (elem_type == elem_type_) return copy();
  if (elem_type == kString || elem_type_ == kString) {
    throw ValueError("cannot convert a " + elem_type_name(elem_type_) + " array to " +
                     elem_type_name(elem_type));
  }
  NdArray out(elem_type, shape_);
  const size_t in_size = tarq::elem_size(elem_type_);
  const size_t out_size = tarq::elem_size(elem_type);
  const auto* src = static_cast<const unsigned char*>(data_);
  auto* dst = static_cast<unsigned char*>(out.mutable_data());
  for (int64_t k = 0; k < size_; ++k) {
    write(elem_type, dst + k * out_size, read(elem_type_, src + k * in_size));
  }
  return out;
}

}  // namespace tarq
