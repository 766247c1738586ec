#include "shape_copy.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <limits>
#include <memory>

namespace tarq {

namespace {

using Initializers = google::protobuf::RepeatedPtrField<onnx::TensorProto>;

// Runs `fn` on the model with its initializer list set aside (empty), then
// puts the list back however `fn` ends: the same elements, at the same
// addresses.
template <typename Fn>
void without_initializers(onnx::ModelProto& model, Fn&& fn) {
  auto* inits = model.mutable_graph()->mutable_initializer();
  Initializers aside;
  struct Restore {
    Initializers* inits;
    Initializers* aside;
    ~Restore() { inits->Swap(aside); }
  } restore{inits, &aside};
  inits->Swap(&aside);
  fn();
}

// What the copy holds of initializer `t`: all of it when its data is small,
// else into `light` its name, element type and dims.
const onnx::TensorProto& copied(const onnx::TensorProto& t, onnx::TensorProto& light) {
  if (t.ByteSizeLong() <= kShapeCopyDataLimit) return t;
  light.set_name(t.name());
  light.set_data_type(t.data_type());
  *light.mutable_dims() = t.dims();
  return light;
}

// Appends the message's size (which frames it) and its bytes; the string
// grows once, to the size it needs. False, and nothing appended, when the
// key would pass `limit` bytes.
bool append_bytes(const google::protobuf::MessageLite& m, std::string& out, size_t limit) {
  using google::protobuf::io::CodedOutputStream;
  const size_t size = m.ByteSizeLong();
  const size_t at = out.size();  // within `limit`: only what fits is appended
  const size_t framed = CodedOutputStream::VarintSize64(size) + size;
  if (framed > limit - at) return false;
  out.resize(at + framed);
  google::protobuf::io::ArrayOutputStream stream(out.data() + at,
                                                 static_cast<int>(out.size() - at));
  CodedOutputStream coded(&stream);
  coded.SetSerializationDeterministic(true);
  coded.WriteVarint64(size);
  m.SerializeWithCachedSizes(&coded);
  return true;
}

}  // namespace

OwnerPtr shape_copy(onnx::ModelProto& model) {
  auto copy = std::make_unique<onnx::ModelProto>();
  if (!model.has_graph()) {
    *copy = model;
    return std::make_shared<MessageOwner>(std::move(copy));
  }
  without_initializers(model, [&] { *copy = model; });
  const auto& inits = model.graph().initializer();
  auto* to = copy->mutable_graph()->mutable_initializer();
  to->Reserve(inits.size());
  for (const auto& t : inits) {
    auto* added = to->Add();
    const onnx::TensorProto& kept = copied(t, *added);
    if (&kept == &t) *added = t;
  }
  return std::make_shared<MessageOwner>(std::move(copy));
}

std::optional<std::string> shape_copy_key(onnx::ModelProto& model, size_t limit) {
  limit = std::min<size_t>(limit, std::numeric_limits<int>::max());  // one stream's reach
  std::string key;
  bool fits = true;
  if (!model.has_graph()) {
    fits = append_bytes(model, key, limit);
  } else {
    without_initializers(model, [&] { fits = append_bytes(model, key, limit); });
    onnx::TensorProto light;
    for (const auto& t : model.graph().initializer()) {
      if (!fits) break;
      fits = append_bytes(copied(t, light), key, limit);
    }
  }
  if (!fits) return std::nullopt;
  return key;
}

}  // namespace tarq
