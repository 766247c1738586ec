// Exception kinds of the graph layer. Each maps to one Python exception at the
// extension boundary: KeyError, IndexError, ValueError (and its subclass
// ValidationError for a failing model check), OSError for file problems.
#pragma once

#include <stdexcept>
#include <string>

namespace tarq {

struct KeyError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct IndexError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct ValueError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct ValidationError : ValueError {
  using ValueError::ValueError;
};
struct FileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace tarq
