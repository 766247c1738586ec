// Subcommands of tarq-ir. Each takes the shared options and returns the exit
// code; results go to standard output, logs and progress to standard error.
#pragma once

#include <string>

namespace tarq::cli {

struct CommonOptions {
  std::string model;  // empty: the example model
  bool json = false;
  int verbosity = 0;  // -v raises, -q lowers
};

// The model the tool runs on when none is named.
std::string default_model_path(const char* argv0);

int run_info(const CommonOptions& options);

}  // namespace tarq::cli
