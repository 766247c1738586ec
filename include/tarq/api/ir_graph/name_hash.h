// The hash of tensor and node names used by every table of the graph layer.
// Names are hashed a million times per rebuild of a large model; the
// standard library's string hash costs several times more than XXH3 on the
// 10-60 byte names models carry.
#pragma once

#include <tsl/ordered_map.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace tarq {

size_t hash_name(std::string_view name) noexcept;

struct NameHash {
  size_t operator()(std::string_view name) const noexcept { return hash_name(name); }
};

// A name with its hash, for a walk that looks the same name up in several
// tables (they all hash alike): the name is hashed once.
struct HashedName {
  explicit HashedName(std::string_view n) noexcept : name(n), hash(hash_name(n)) {}
  std::string_view name;
  size_t hash;
};

// A map keyed by views of names that live elsewhere (in the model being
// walked), for the working maps of one pass: flat storage, one hash per
// lookup, no copy of the names. The viewed strings must outlive the map and
// stay unchanged while they are keys.
template <class V>
using NameViewMap = tsl::ordered_map<std::string_view, V, NameHash, std::equal_to<std::string_view>,
                                     std::allocator<std::pair<std::string_view, V>>,
                                     std::vector<std::pair<std::string_view, V>>>;

}  // namespace tarq
