// Exception kinds of the graph layer. Each maps to one Python exception at the
// extension boundary: KeyError, IndexError, ValueError (and its subclasses
// ValidationError for a failing model check and VerifyError for a table that
// disagrees with its model), OSError for file problems.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

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

// An index table that disagrees with the model it was built from (see
// IRGraph::verify): which table, which key, what the model implies and what
// the table holds. A ValueError, so callers that catch bad values catch it.
struct VerifyError : ValueError {
  VerifyError(std::string table, std::string key, std::string expected, std::string actual)
      : ValueError("verify: table '" + table + "', key '" + key + "': the model implies " +
                   expected + ", the table holds " + actual),
        table(std::move(table)),
        key(std::move(key)),
        expected(std::move(expected)),
        actual(std::move(actual)) {}
  std::string table, key, expected, actual;
};

}  // namespace tarq
