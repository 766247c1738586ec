// The graphs nodes hold in their attributes: If branches, Loop and Scan
// bodies, and any other GRAPH or GRAPHS attribute. A subgraph may read
// tensors of the graphs around it by name (outer scope); those reads belong
// to the node that holds the subgraph, which cannot run before the tensors
// exist and keeps them alive.
#pragma once

#include <onnx/onnx_pb.h>

#include <string_view>
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

}  // namespace tarq
