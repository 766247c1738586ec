// Reading model files. The one place where model bytes are parsed from disk.
#include <google/protobuf/io/coded_stream.h>
#include <onnx/onnx_pb.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

OwnerPtr load_model(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileError(path + ": " + std::strerror(errno));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw FileError(path + ": read failed");
  auto model = std::make_unique<onnx::ModelProto>();
  google::protobuf::io::CodedInputStream stream(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                static_cast<int>(bytes.size()));
  stream.SetTotalBytesLimit(INT32_MAX);
  if (bytes.size() > static_cast<size_t>(INT32_MAX) || !model->ParseFromCodedStream(&stream) ||
      !stream.ConsumedEntireMessage()) {
    throw ValueError(path + ": not a readable ONNX model (the protobuf message does not parse)");
  }
  return std::make_shared<MessageOwner>(std::move(model));
}

}  // namespace tarq
