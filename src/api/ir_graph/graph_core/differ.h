// How verify() reports a difference between a table and its model.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "tarq/errors.h"

namespace tarq {

[[noreturn]] inline void differ(const char* table, std::string_view key, std::string expected,
                                std::string actual) {
  throw VerifyError(table, std::string(key), std::move(expected), std::move(actual));
}

inline std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

}  // namespace tarq
