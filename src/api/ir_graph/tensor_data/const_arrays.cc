// Constant arrays: the value of an initializer as an NdArray, from the
// weight cache when it holds the name, else from the tensor itself.
#include <onnx/onnx_pb.h>

#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

NdArray tensor_array(const onnx::TensorProto& c) {
  if (c.dims_size() == 0 && c.has_raw_data()) {
    // A scalar kept as raw bytes: read one element of its type.
    int32_t type = to_np_type(c.data_type());
    size_t size = elem_size(type);
    if (size == 0 || c.raw_data().size() < size) {
      throw ValueError("scalar constant '" + c.name() + "' holds " +
                       std::to_string(c.raw_data().size()) + " bytes of raw data, not one " +
                       elem_type_name(type));
    }
    return NdArray::from_bytes(type, {}, c.raw_data().substr(0, size));
  }
  // The conversion makes a new array, which serves as the copy as well.
  return helpers::to_array(c);
}

std::optional<NdArray> IRGraph::get_array(const onnx::TensorProto* c, bool ref) const {
  if (!c) return std::nullopt;
  // The cache may run host code: hold it, and pass it the name as a copy.
  if (const std::shared_ptr<ArrayMap> cache = initializer_dat) {
    const std::string name = c->name();
    if (cache->contains(name)) {
      NdArray cached = cache->get(name);
      return ref ? cached : cached.copy();
    }
  }
  return tensor_array(*c);
}

}  // namespace tarq
