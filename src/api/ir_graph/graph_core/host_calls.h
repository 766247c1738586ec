// Host code (a weight cache's or nodes_chg's methods, a log handler) may edit
// the model or assign another one to the graph. An operation that holds
// pointers into the model keeps the owner of the model it started on (so
// they stay valid) and, after each host call, checks that the graph still
// works on that model before it writes again.
#pragma once

#include <string>

#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

inline void still_same_model(const IRGraph& g, const OwnerPtr& kept, const char* operation) {
  if (g.model_owner() != kept) {
    throw ValueError(std::string(operation) +
                     ": the graph's model was replaced while it ran (from a weight cache, "
                     "nodes_chg or a log handler); nothing more was written");
  }
}

}  // namespace tarq
