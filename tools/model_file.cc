// Writing output files atomically: a model file through the core's writer,
// text through a temporary file renamed over the target. Either appears
// complete under its name or not at all.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "commands.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq::cli {

void write_model(const onnx::ModelProto& model, const std::string& path) {
  try {
    save_model(model, path);
  } catch (const FileError& e) {
    throw OutputError(e.what());
  }
}

void write_text(const std::string& text, const std::string& path) {
  const std::string tmp = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (f) f.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (f) f.close();
    if (!f) {
      const std::string why = std::strerror(errno);
      std::remove(tmp.c_str());
      throw OutputError("cannot write '" + path + "': " + why);
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    std::remove(tmp.c_str());
    throw OutputError("cannot write '" + path + "': " + why);
  }
}

void prepare_output_dir(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir)) {
    throw OutputError("cannot use '" + dir + "' as the output folder: " +
                      (ec ? ec.message() : std::string("it is not a folder")));
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    throw OutputError("cannot write into the folder '" + dir + "': " + std::strerror(errno));
  }
}

}  // namespace tarq::cli
