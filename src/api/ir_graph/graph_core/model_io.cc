// Reading model files. The one place where model bytes are parsed from disk.
#include <fcntl.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <onnx/onnx_pb.h>
#include <unistd.h>

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
  auto status = std::filesystem::status(path, ec);
  if (!ec && std::filesystem::is_directory(status)) throw FileError(path + ": is a directory");
  if (!ec && !std::filesystem::is_regular_file(status)) {
    throw FileError(path + ": not a regular file");
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw FileError(path + ": " + std::strerror(errno));
  auto size = std::filesystem::file_size(path, ec);
  if (!ec && size > static_cast<uintmax_t>(INT32_MAX)) {
    ::close(fd);
    throw ValueError(path + ": larger than the 2 GiB a protobuf message can hold; keep the " +
                     "weights in external data files");
  }
  // Parse straight from the file in blocks: the weights are held once (in
  // the model), never also as a whole-file buffer.
  auto model = std::make_unique<onnx::ModelProto>();
  bool parsed;
  {
    google::protobuf::io::FileInputStream file(fd, 1 << 20);
    google::protobuf::io::CodedInputStream stream(&file);
    stream.SetTotalBytesLimit(INT32_MAX);
    parsed = model->ParseFromCodedStream(&stream) && stream.ConsumedEntireMessage();
    if (file.GetErrno() != 0) {
      int err = file.GetErrno();
      ::close(fd);
      throw FileError(path + ": read failed: " + std::strerror(err));
    }
  }
  ::close(fd);
  if (!parsed) {
    throw ValueError(path + ": not a readable ONNX model (the protobuf message does not parse)");
  }
  return std::make_shared<MessageOwner>(std::move(model));
}

}  // namespace tarq
