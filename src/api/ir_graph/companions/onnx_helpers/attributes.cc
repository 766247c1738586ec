// make_attribute and get_attribute_value.
#include <onnx/onnx_pb.h>

#include <cmath>
#include <cstring>
#include <type_traits>

#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/errors.h"

namespace tarq::helpers {

namespace {

using Attr = onnx::AttributeProto;

const char* type_name(int32_t attr_type) {
  if (onnx::AttributeProto_AttributeType_IsValid(attr_type)) {
    return onnx::AttributeProto_AttributeType_Name(
               static_cast<onnx::AttributeProto_AttributeType>(attr_type))
        .c_str();
  }
  return "UNDEFINED";
}

bool is_list_type(int32_t attr_type) {
  switch (attr_type) {
    case Attr::INTS:
    case Attr::FLOATS:
    case Attr::STRINGS:
    case Attr::TENSORS:
    case Attr::GRAPHS:
    case Attr::SPARSE_TENSORS:
    case Attr::TYPE_PROTOS:
      return true;
    default:
      return false;
  }
}

// float32 value of a double, infinite when out of range (no undefined cast).
float to_f32(double v) {
  if (std::isfinite(v) && std::fabs(v) > 3.4028234663852886e38) {
    // Rounds to the largest float below the halfway point, to infinity past it.
    const double limit = 3.4028235677973366e38;
    const float big = std::fabs(v) >= limit ? HUGE_VALF : 3.4028234663852886e38f;
    return v < 0 ? -big : big;
  }
  return static_cast<float>(v);
}

template <class M>
const M& checked(const M* p, const std::string& key) {
  if (p == nullptr) throw ValueError("attribute '" + key + "': a null message is not a value");
  return *p;
}

// The element type a list of `n` values would get: `natural` unless the
// caller named another list type, which only an empty list may take
// (besides ints given as FLOATS).
int32_t list_type(const std::string& key, size_t n, int32_t natural,
                  const std::optional<int32_t>& attr_type) {
  if (!attr_type) {
    if (n == 0) {
      throw ValueError("could not infer the type of attribute '" + key +
                       "' from an empty list; give attr_type");
    }
    return natural;
  }
  const int32_t t = *attr_type;
  if (!is_list_type(t)) {
    throw ValueError("attribute '" + key + "': a list cannot have type " + type_name(t));
  }
  if (t == natural || n == 0 || (natural == Attr::INTS && t == Attr::FLOATS)) return t;
  throw ValueError("attribute '" + key + "': values of type " + type_name(natural) +
                   " cannot be stored as " + type_name(t));
}

void fill_list(Attr& a, int32_t type, const std::vector<int64_t>& v) {
  for (int64_t x : v) {
    if (type == Attr::FLOATS) {
      a.add_floats(to_f32(static_cast<double>(x)));
    } else {
      a.add_ints(x);
    }
  }
}

// An NdArray attribute value: a one-dimensional array of integers, floats or
// strings is a list of them.
void fill_from_array(Attr& a, const std::string& key, const NdArray& arr,
                     const std::optional<int32_t>& attr_type) {
  if (arr.ndim() != 1) {
    throw ValueError("attribute '" + key + "': an array value must be one-dimensional, got " +
                     std::to_string(arr.ndim()) + " dimensions");
  }
  const int32_t et = arr.elem_type();
  int32_t natural;
  switch (et) {
    case kInt8:
    case kInt16:
    case kInt32:
    case kInt64:
    case kUint8:
    case kUint16:
    case kUint32:
    case kUint64:
      natural = Attr::INTS;
      break;
    case kFloat:
    case kDouble:
    case kFloat16:
      natural = Attr::FLOATS;
      break;
    case kString:
      natural = Attr::STRINGS;
      break;
    default:
      throw ValueError("attribute '" + key + "': " + elem_type_name(et) +
                       " arrays are not accepted attribute values");
  }
  const int32_t type = list_type(key, static_cast<size_t>(arr.size()), natural, attr_type);
  a.set_type(static_cast<onnx::AttributeProto_AttributeType>(type));
  if (natural == Attr::STRINGS) {
    for (const auto& s : arr.strings()) a.add_strings(s);
  } else if (natural == Attr::FLOATS) {
    NdArray d = arr.astype(kDouble);
    for (int64_t k = 0; k < d.size(); ++k) a.add_floats(to_f32(d.data_as<double>()[k]));
  } else {
    if (et == kUint64) {
      for (int64_t k = 0; k < arr.size(); ++k) {
        uint64_t u;
        std::memcpy(&u, static_cast<const char*>(arr.data()) + 8 * k, 8);
        if (u > static_cast<uint64_t>(INT64_MAX)) {
          throw ValueError("attribute '" + key + "': " + std::to_string(u) +
                           " does not fit in a 64-bit integer");
        }
      }
    }
    NdArray i = arr.astype(kInt64);
    std::vector<int64_t> v(i.data_as<int64_t>(), i.data_as<int64_t>() + i.size());
    fill_list(a, type, v);
  }
}

}  // namespace

onnx::AttributeProto make_attribute(const std::string& key, const AttrValue& value,
                                    const std::optional<std::string>& doc_string,
                                    std::optional<int32_t> attr_type) {
  Attr a;
  a.set_name(key);
  if (doc_string && !doc_string->empty()) a.set_doc_string(*doc_string);

  auto set_type = [&](int32_t t) {
    a.set_type(static_cast<onnx::AttributeProto_AttributeType>(t));
  };
  std::visit(
      [&](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::monostate>) {
          throw ValueError("attribute '" + key + "': None is not an accepted attribute value");
        } else if constexpr (std::is_same_v<V, int64_t>) {
          a.set_i(v), set_type(Attr::INT);
        } else if constexpr (std::is_same_v<V, double>) {
          a.set_f(to_f32(v)), set_type(Attr::FLOAT);
        } else if constexpr (std::is_same_v<V, std::string>) {
          a.set_s(v), set_type(Attr::STRING);
        } else if constexpr (std::is_same_v<V, Bytes>) {
          a.set_s(v.data), set_type(Attr::STRING);
        } else if constexpr (std::is_same_v<V, const onnx::TensorProto*>) {
          a.mutable_t()->CopyFrom(checked(v, key)), set_type(Attr::TENSOR);
        } else if constexpr (std::is_same_v<V, const onnx::GraphProto*>) {
          a.mutable_g()->CopyFrom(checked(v, key)), set_type(Attr::GRAPH);
        } else if constexpr (std::is_same_v<V, const onnx::SparseTensorProto*>) {
          a.mutable_sparse_tensor()->CopyFrom(checked(v, key)), set_type(Attr::SPARSE_TENSOR);
        } else if constexpr (std::is_same_v<V, const onnx::TypeProto*>) {
          a.mutable_tp()->CopyFrom(checked(v, key)), set_type(Attr::TYPE_PROTO);
        } else if constexpr (std::is_same_v<V, std::vector<int64_t>>) {
          const int32_t t = list_type(key, v.size(), Attr::INTS, attr_type);
          set_type(t), fill_list(a, t, v);
        } else if constexpr (std::is_same_v<V, std::vector<double>>) {
          set_type(list_type(key, v.size(), Attr::FLOATS, attr_type));
          for (double x : v) a.add_floats(to_f32(x));
        } else if constexpr (std::is_same_v<V, std::vector<std::string>>) {
          set_type(list_type(key, v.size(), Attr::STRINGS, attr_type));
          for (const auto& x : v) a.add_strings(x);
        } else if constexpr (std::is_same_v<V, std::vector<Bytes>>) {
          set_type(list_type(key, v.size(), Attr::STRINGS, attr_type));
          for (const auto& x : v) a.add_strings(x.data);
        } else if constexpr (std::is_same_v<V, std::vector<const onnx::TensorProto*>>) {
          set_type(list_type(key, v.size(), Attr::TENSORS, attr_type));
          for (const auto* x : v) a.add_tensors()->CopyFrom(checked(x, key));
        } else if constexpr (std::is_same_v<V, std::vector<const onnx::GraphProto*>>) {
          set_type(list_type(key, v.size(), Attr::GRAPHS, attr_type));
          for (const auto* x : v) a.add_graphs()->CopyFrom(checked(x, key));
        } else if constexpr (std::is_same_v<V, std::vector<const onnx::SparseTensorProto*>>) {
          set_type(list_type(key, v.size(), Attr::SPARSE_TENSORS, attr_type));
          for (const auto* x : v) a.add_sparse_tensors()->CopyFrom(checked(x, key));
        } else if constexpr (std::is_same_v<V, std::vector<const onnx::TypeProto*>>) {
          set_type(list_type(key, v.size(), Attr::TYPE_PROTOS, attr_type));
          for (const auto* x : v) a.add_type_protos()->CopyFrom(checked(x, key));
        } else if constexpr (std::is_same_v<V, NdArray>) {
          fill_from_array(a, key, v, attr_type);
        } else {
          static_assert(sizeof(V) == 0, "unhandled attribute value alternative");
        }
      },
      value);

  if (attr_type && a.type() != *attr_type) {
    throw ValueError("attribute '" + key + "': inferred type " + type_name(a.type()) +
                     " does not match the given type " + type_name(*attr_type));
  }
  return a;
}

AttrValue get_attribute_value(const onnx::AttributeProto& attr) {
  if (!attr.ref_attr_name().empty()) {
    throw ValueError("attribute '" + attr.name() + "' refers to '" + attr.ref_attr_name() +
                     "' of the enclosing function and has no value of its own");
  }
  auto pointers = [](const auto& repeated) {
    using M = std::decay_t<decltype(*repeated.begin())>;
    std::vector<const M*> out;
    out.reserve(repeated.size());
    for (const auto& m : repeated) out.push_back(&m);
    return out;
  };
  switch (attr.type()) {
    case Attr::UNDEFINED:
      return std::monostate{};
    case Attr::FLOAT:
      return static_cast<double>(attr.f());
    case Attr::INT:
      return attr.i();
    case Attr::STRING:
      return Bytes{attr.s()};
    case Attr::TENSOR:
      return &attr.t();
    case Attr::GRAPH:
      return &attr.g();
    case Attr::SPARSE_TENSOR:
      return &attr.sparse_tensor();
    case Attr::TYPE_PROTO:
      return &attr.tp();
    case Attr::FLOATS:
      return std::vector<double>(attr.floats().begin(), attr.floats().end());
    case Attr::INTS:
      return std::vector<int64_t>(attr.ints().begin(), attr.ints().end());
    case Attr::STRINGS: {
      std::vector<Bytes> out;
      out.reserve(attr.strings_size());
      for (const auto& s : attr.strings()) out.push_back(Bytes{s});
      return out;
    }
    case Attr::TENSORS:
      return pointers(attr.tensors());
    case Attr::GRAPHS:
      return pointers(attr.graphs());
    case Attr::SPARSE_TENSORS:
      return pointers(attr.sparse_tensors());
    case Attr::TYPE_PROTOS:
      return pointers(attr.type_protos());
    default:
      throw ValueError("attribute '" + attr.name() + "' has unknown type " +
                       std::to_string(static_cast<int>(attr.type())));
  }
}

}  // namespace tarq::helpers
