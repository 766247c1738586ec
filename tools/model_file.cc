// Writing a model file: beside the target first, then renamed over it, so the
// file appears complete under its name or not at all.
#include <onnx/onnx_pb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "commands.h"
#include "tarq/errors.h"

namespace tarq::cli {

void write_model(const onnx::ModelProto& model, const std::string& path) {
  if (model.ByteSizeLong() > static_cast<size_t>(INT32_MAX)) {
    throw ValueError("the model is over 2 GB, the largest a single ONNX file can hold");
  }
  const std::string tmp = path + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw OutputError("cannot write " + path + ": " + std::strerror(errno));
    if (!model.SerializeToOstream(&out) || !out.flush()) {
      std::remove(tmp.c_str());
      throw OutputError("cannot write " + path + ": " + std::strerror(errno));
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    std::remove(tmp.c_str());
    throw OutputError("cannot write " + path + ": " + std::strerror(err));
  }
}

}  // namespace tarq::cli
