// make_tensor, make_tensor_raw, to_array, from_array.
#include <onnx/onnx_pb.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/errors.h"
#include "tensor_layout.h"

namespace tarq::helpers {

namespace {

using layout::Field;

std::string dims_text(const Extents& dims) {
  std::string s = "[";
  for (size_t i = 0; i < dims.size(); ++i) s += (i ? ", " : "") + std::to_string(dims[i]);
  return s + "]";
}

void check_data_type(int32_t data_type) {
  if (!is_known_elem_type(data_type)) {
    throw ValueError("unknown tensor data type " + elem_type_name(data_type));
  }
}

onnx::TensorProto tensor_header(const std::string& name, int32_t data_type, const Extents& dims) {
  onnx::TensorProto t;
  t.set_data_type(data_type);
  t.set_name(name);
  for (int64_t d : dims) t.add_dims(d);
  return t;
}

void check_raw_size(int32_t data_type, const Extents& dims, size_t got) {
  const uint64_t expected = layout::packed_size(data_type, element_count(dims));
  if (got != expected) {
    throw ValueError("raw data size does not match the tensor's size: " +
                     elem_type_name(data_type) + " " + dims_text(dims) + " needs " +
                     std::to_string(expected) + " bytes, got " + std::to_string(got));
  }
}

// The largest finite value of a float8 type, for the saturating conversion.
double float8_max(int32_t data_type) {
  switch (data_type) {
    case kFloat8e4m3fn:
      return 448.0;
    case kFloat8e4m3fnuz:
      return 240.0;
    default:
      return 57344.0;  // both e5m2 types
  }
}

// `vals` converted to `data_type` as the typed-field path stores it.
NdArray converted_values(const NdArray& vals, int32_t data_type) {
  switch (data_type) {
    case kFloat8e4m3fn:
    case kFloat8e4m3fnuz:
    case kFloat8e5m2:
    case kFloat8e5m2fnuz: {
      NdArray d = vals.astype(kDouble);
      const double hi = float8_max(data_type);
      auto* p = d.mutable_data_as<double>();
      for (int64_t k = 0; k < d.size(); ++k) {
        if (p[k] > hi) p[k] = hi;
        if (p[k] < -hi) p[k] = -hi;
      }
      return d.astype(data_type);
    }
    default:
      return vals.astype(data_type);
  }
}

template <class T>
T load(const unsigned char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Stores the converted, flat values in the typed field of `t`.
void store_typed(onnx::TensorProto& t, const NdArray& v) {
  const int32_t type = v.elem_type();
  const auto* p = static_cast<const unsigned char*>(v.data());
  const int64_t n = v.size();
  switch (type) {
    case kFloat:
    case kComplex64: {
      const int64_t m = type == kComplex64 ? 2 * n : n;
      for (int64_t k = 0; k < m; ++k) t.add_float_data(load<float>(p + 4 * k));
      return;
    }
    case kDouble:
    case kComplex128: {
      const int64_t m = type == kComplex128 ? 2 * n : n;
      for (int64_t k = 0; k < m; ++k) t.add_double_data(load<double>(p + 8 * k));
      return;
    }
    case kInt64:
      for (int64_t k = 0; k < n; ++k) t.add_int64_data(load<int64_t>(p + 8 * k));
      return;
    case kUint32:
      for (int64_t k = 0; k < n; ++k) t.add_uint64_data(load<uint32_t>(p + 4 * k));
      return;
    case kUint64:
      for (int64_t k = 0; k < n; ++k) t.add_uint64_data(load<uint64_t>(p + 8 * k));
      return;
    case kInt32:
      for (int64_t k = 0; k < n; ++k) t.add_int32_data(load<int32_t>(p + 4 * k));
      return;
    case kInt16:
      for (int64_t k = 0; k < n; ++k) t.add_int32_data(load<int16_t>(p + 2 * k));
      return;
    case kInt8:
      for (int64_t k = 0; k < n; ++k) t.add_int32_data(static_cast<int8_t>(p[k]));
      return;
    case kUint16:
    case kFloat16:
    case kBfloat16:
      for (int64_t k = 0; k < n; ++k) t.add_int32_data(load<uint16_t>(p + 2 * k));
      return;
    default:
      if (layout::is_packed_in_typed_field(type)) {
        const std::string packed = layout::pack(type, p, n);
        for (unsigned char c : packed) t.add_int32_data(c);
      } else {
        // One byte per element: UINT8, BOOL, the float8 types and the float6
        // types (stored unpacked outside raw_data).
        for (int64_t k = 0; k < n; ++k) t.add_int32_data(p[k]);
      }
      return;
  }
}

// Unpacked element bytes from the typed field of `t`, whose size has been
// checked against `n` elements.
std::string typed_bytes(const onnx::TensorProto& t, int32_t type, int64_t n) {
  const size_t esize = elem_size(type);
  std::string out(static_cast<size_t>(n) * esize, '\0');
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  auto put = [&](int64_t k, auto v) { std::memcpy(o + k * sizeof v, &v, sizeof v); };
  switch (type) {
    case kFloat:
    case kComplex64:
      for (int k = 0; k < t.float_data_size(); ++k) put(k, t.float_data(k));
      break;
    case kDouble:
    case kComplex128:
      for (int k = 0; k < t.double_data_size(); ++k) put(k, t.double_data(k));
      break;
    case kInt64:
      for (int k = 0; k < t.int64_data_size(); ++k) put(k, t.int64_data(k));
      break;
    case kUint32:
      for (int k = 0; k < t.uint64_data_size(); ++k)
        put(k, static_cast<uint32_t>(t.uint64_data(k)));
      break;
    case kUint64:
      for (int k = 0; k < t.uint64_data_size(); ++k) put(k, t.uint64_data(k));
      break;
    case kInt32:
      for (int k = 0; k < t.int32_data_size(); ++k) put(k, t.int32_data(k));
      break;
    case kInt16:
    case kUint16:
    case kFloat16:
    case kBfloat16:
      for (int k = 0; k < t.int32_data_size(); ++k) put(k, static_cast<uint16_t>(t.int32_data(k)));
      break;
    case kFloat6e2m3:
    case kFloat6e3m2:
      for (int k = 0; k < t.int32_data_size(); ++k) o[k] = t.int32_data(k) & 0x3F;
      break;
    default:
      if (layout::is_packed_in_typed_field(type)) {
        std::string packed(static_cast<size_t>(t.int32_data_size()), '\0');
        for (int k = 0; k < t.int32_data_size(); ++k) {
          packed[k] = static_cast<char>(static_cast<uint8_t>(t.int32_data(k)));
        }
        return layout::unpack(type, reinterpret_cast<const unsigned char*>(packed.data()), n);
      }
      // The remaining one-byte types keep the low byte of each value.
      for (int k = 0; k < t.int32_data_size(); ++k) o[k] = static_cast<uint8_t>(t.int32_data(k));
      break;
  }
  return out;
}

// Number of entries the typed field of a tensor of `type` must hold for `n`
// elements.
uint64_t typed_count(int32_t type, int64_t n) {
  if (type == kComplex64 || type == kComplex128) return 2 * static_cast<uint64_t>(n);
  if (layout::is_packed_in_typed_field(type)) {
    return layout::packed_size(type, n);
  }
  return static_cast<uint64_t>(n);
}

int typed_field_size(const onnx::TensorProto& t, Field field) {
  switch (field) {
    case Field::kFloat:
      return t.float_data_size();
    case Field::kInt32:
      return t.int32_data_size();
    case Field::kInt64:
      return t.int64_data_size();
    case Field::kDouble:
      return t.double_data_size();
    case Field::kUint64:
      return t.uint64_data_size();
    case Field::kString:
      return t.string_data_size();
  }
  return 0;
}

const char* field_name(Field field) {
  switch (field) {
    case Field::kFloat:
      return "float_data";
    case Field::kInt32:
      return "int32_data";
    case Field::kInt64:
      return "int64_data";
    case Field::kDouble:
      return "double_data";
    case Field::kUint64:
      return "uint64_data";
    case Field::kString:
      return "string_data";
  }
  return "?";
}

std::string tensor_label(const onnx::TensorProto& t) {
  return t.name().empty() ? std::string("tensor") : "tensor '" + t.name() + "'";
}

NdArray from_raw(const onnx::TensorProto& t, int32_t type, Extents dims, int64_t n,
                 std::string raw) {
  // Packed data may carry bytes past the last element; they are ignored.
  const uint64_t expected = layout::packed_size(type, n);
  if (layout::is_packed(type) ? raw.size() < expected : raw.size() != expected) {
    throw ValueError(tensor_label(t) + ": raw data holds " + std::to_string(raw.size()) +
                     " bytes, but " + elem_type_name(type) + " " + dims_text(dims) + " needs " +
                     std::to_string(expected));
  }
  if (layout::is_packed(type)) {
    raw = layout::unpack(type, reinterpret_cast<const unsigned char*>(raw.data()), n);
  }
  return NdArray::from_bytes(type, std::move(dims), std::move(raw));
}

}  // namespace

onnx::TensorProto make_tensor(const std::string& name, int32_t data_type, const Extents& dims,
                              const NdArray& vals, bool raw) {
  check_data_type(data_type);
  const int64_t n = element_count(dims);
  if (data_type == kString && raw) throw ValueError("raw data cannot hold STRING tensors");
  onnx::TensorProto t = tensor_header(name, data_type, dims);

  if (raw) {
    if (vals.elem_type() == kString) throw ValueError("raw tensor data must be bytes, not strings");
    const auto* p = static_cast<const char*>(vals.data());
    if (layout::is_packed(data_type)) {
      if (elem_size(vals.elem_type()) != 1) {
        throw ValueError("values for a raw " + elem_type_name(data_type) +
                         " tensor must take one byte each, got " +
                         elem_type_name(vals.elem_type()));
      }
      std::string packed =
          layout::pack(data_type, reinterpret_cast<const unsigned char*>(p), vals.size());
      check_raw_size(data_type, dims, packed.size());
      t.set_raw_data(std::move(packed));
    } else {
      check_raw_size(data_type, dims, vals.nbytes());
      t.set_raw_data(p, vals.nbytes());
    }
    return t;
  }

  if (vals.size() != n) {
    throw ValueError("number of values (" + std::to_string(vals.size()) +
                     ") does not match tensor dimensions " + dims_text(dims) + " requiring " +
                     std::to_string(n) + " elements");
  }
  if (data_type == kString) {
    if (vals.elem_type() != kString) {
      throw ValueError("a STRING tensor needs string values, got " +
                       elem_type_name(vals.elem_type()));
    }
    for (const auto& s : vals.strings()) t.add_string_data(s);
    return t;
  }
  if (typed_count(data_type, n) > static_cast<uint64_t>(INT32_MAX)) {
    throw ValueError("a typed field cannot hold " + std::to_string(n) + " " +
                     elem_type_name(data_type) + " values; use raw data");
  }
  store_typed(t, converted_values(vals, data_type));
  return t;
}

onnx::TensorProto make_tensor_raw(const std::string& name, int32_t data_type, const Extents& dims,
                                  std::string raw_bytes) {
  check_data_type(data_type);
  if (data_type == kString) throw ValueError("raw data cannot hold STRING tensors");
  check_raw_size(data_type, dims, raw_bytes.size());
  onnx::TensorProto t = tensor_header(name, data_type, dims);
  t.set_raw_data(std::move(raw_bytes));
  return t;
}

NdArray to_array(const onnx::TensorProto& tensor, const std::string& base_dir) {
  if (tensor.has_segment()) throw ValueError(tensor_label(tensor) + ": segments are not supported");
  const int32_t type = tensor.data_type();
  if (type == kUndefined) {
    throw ValueError(tensor_label(tensor) + ": the element type is UNDEFINED");
  }
  if (!is_known_elem_type(type)) {
    throw ValueError(tensor_label(tensor) + ": unknown element type " + elem_type_name(type));
  }
  Extents dims(tensor.dims().begin(), tensor.dims().end());
  int64_t n = 0;
  try {
    n = element_count(dims);
  } catch (const ValueError& e) {
    throw ValueError(tensor_label(tensor) + ": bad dims " + dims_text(dims) + ": " + e.what());
  }

  if (type == kString) {
    if (static_cast<uint64_t>(tensor.string_data_size()) != static_cast<uint64_t>(n)) {
      throw ValueError(tensor_label(tensor) + ": string_data holds " +
                       std::to_string(tensor.string_data_size()) + " values, dims " +
                       dims_text(dims) + " need " + std::to_string(n));
    }
    return NdArray::from_strings(std::move(dims),
                                 {tensor.string_data().begin(), tensor.string_data().end()});
  }
  if (uses_external_data(tensor)) {
    return from_raw(tensor, type, std::move(dims), n, read_external_data(tensor, base_dir));
  }
  if (tensor.has_raw_data()) return from_raw(tensor, type, std::move(dims), n, tensor.raw_data());

  const Field field = layout::storage_field(type);
  const uint64_t expected = typed_count(type, n);
  const int got = typed_field_size(tensor, field);
  const bool packed = layout::is_packed_in_typed_field(type);
  if (packed ? static_cast<uint64_t>(got) < expected : static_cast<uint64_t>(got) != expected) {
    throw ValueError(tensor_label(tensor) + ": " + field_name(field) + " holds " +
                     std::to_string(got) + " values, " + elem_type_name(type) + " " +
                     dims_text(dims) + " needs " + std::to_string(expected));
  }
  return NdArray::from_bytes(type, std::move(dims), typed_bytes(tensor, type, n));
}

onnx::TensorProto from_array(const NdArray& array, const std::optional<std::string>& name) {
  onnx::TensorProto t;
  for (int64_t d : array.shape()) t.add_dims(d);
  if (name && !name->empty()) t.set_name(*name);
  const int32_t type = array.elem_type();
  t.set_data_type(type);
  if (type == kString) {
    for (const auto& s : array.strings()) t.add_string_data(s);
    return t;
  }
  const auto* p = static_cast<const unsigned char*>(array.data());
  if (layout::is_packed(type)) {
    t.set_raw_data(layout::pack(type, p, array.size()));
  } else {
    t.set_raw_data(p, array.nbytes());
  }
  return t;
}

}  // namespace tarq::helpers
