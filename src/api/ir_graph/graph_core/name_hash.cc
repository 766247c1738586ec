#include "tarq/api/ir_graph/name_hash.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace tarq {

size_t hash_name(std::string_view name) noexcept {
  return static_cast<size_t>(XXH3_64bits(name.data(), name.size()));
}

}  // namespace tarq
