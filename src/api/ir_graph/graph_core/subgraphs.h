// The graphs nodes hold in their attributes: If branches, Loop and Scan
// bodies, and any other GRAPH or GRAPHS attribute. A subgraph may read
// tensors of the graphs around it by name (outer scope); those reads belong
// to the node that holds the subgraph, which cannot run before the tensors
// exist and keeps them alive.
#pragma once

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarq {

// True when one of the node's attributes holds a graph.
bool has_subgraphs(const onnx::NodeProto& node);

// The names the node's subgraphs, at any depth, read from outside: inputs of
// their nodes, and their own outputs (a subgraph may output an outer tensor
// as it is), that no enclosing subgraph defines as an input, an initializer
// or a node output. Each name once, in the order first read. The views
// point into the model's strings: use them before the model changes. No
// recursion, so any depth of nesting is walked.
std::vector<std::string_view> outer_scope_reads(const onnx::NodeProto& node);

// Per node position of `nodes`: for each name a later node's subgraphs read
// from outside, the position of the last such node. The freeable-tensor
// analysis keeps such a tensor until that node has run, whatever its
// consumer count says (only If branches are linked as consumers).
struct LateReads {
  std::unordered_map<std::string_view, int64_t> last;
  int64_t at(std::string_view name) const {
    auto it = last.find(name);
    return it == last.end() ? -1 : it->second;
  }
};
LateReads late_subgraph_reads(const google::protobuf::RepeatedPtrField<onnx::NodeProto>& nodes);

}  // namespace tarq
