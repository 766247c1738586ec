// The hash of tensor and node names used by every table of the graph layer.
// Names are hashed a million times per rebuild of a large model; the
// standard library's string hash costs several times more than XXH3 on the
// 10-60 byte names models carry.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarq {

size_t hash_name(std::string_view name) noexcept;

struct NameHash {
  size_t operator()(std::string_view name) const noexcept { return hash_name(name); }
};

}  // namespace tarq
