// Reading model files. The one place where model bytes are parsed from disk.
#include <google/protobuf/io/coded_stream.h>
#include <onnx/onnx_pb.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

OwnerPtr load_model(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw FileError(path + ": is a directory");
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
  if (!file) throw FileError(path + ": " + std::strerror(errno));
  std::string bytes;
  auto size = std::filesystem::file_size(path, ec);
  if (!ec) bytes.reserve(size);
  char buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), file.get())) > 0) bytes.append(buf, n);
  if (std::ferror(file.get())) throw FileError(path + ": read failed: " + std::strerror(errno));
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) {
    throw ValueError(path + ": larger than the 2 GiB a protobuf message can hold; keep the " +
                     "weights in external data files");
  }
  auto model = std::make_unique<onnx::ModelProto>();
  google::protobuf::io::CodedInputStream stream(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                static_cast<int>(bytes.size()));
  stream.SetTotalBytesLimit(INT32_MAX);
  if (!model->ParseFromCodedStream(&stream) || !stream.ConsumedEntireMessage()) {
    throw ValueError(path + ": not a readable ONNX model (the protobuf message does not parse)");
  }
  return std::make_shared<MessageOwner>(std::move(model));
}

}  // namespace tarq
