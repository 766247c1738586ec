#include <unistd.h>

#include <climits>
#include <filesystem>

#include "commands.h"

namespace tarq::cli {

std::string default_model_path(const char* argv0) {
  namespace fs = std::filesystem;
  const char* kName = "small_cnn.onnx";
  // Installed: <prefix>/bin/tarq-ir beside <prefix>/share/tarq/examples/.
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  fs::path exe = n > 0 ? fs::path(std::string(self, static_cast<size_t>(n))) : fs::path(argv0);
  fs::path installed = exe.parent_path().parent_path() / "share" / "tarq" / "examples" / kName;
  if (fs::exists(installed)) return installed.string();
  // Build tree: the source checkout's examples/.
  return (fs::path(TARQ_SOURCE_DIR) / "examples" / kName).string();
}

}  // namespace tarq::cli
